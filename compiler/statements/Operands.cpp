// The operand parser: one instruction operand from the source, in the form
// the encoder reads.
#include <cstdint>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DirectReader.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/TokenSymbols.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

[[noreturn]] void invalidExpression() { Log->FatalError(msg::InvalidExpression); }

// The record an identifier token points at; a name without one cannot be an
// operand.
template <typename T>
T* record(const TCurrentToken& tk) {
  if (!tk.F_Pointer) unexpected(unx::NameWithoutRecord);
  return static_cast<T*>(tk.F_Pointer);
}

// The registers of a memory expression token, rule for Count 0, 1 and 2.
void memoryExpression(TOperand& op, const TCurrentToken& tk, bool iss) {
  const int32_t size = tk.F_ByteCount;
  const auto scale = static_cast<uint8_t>(tk.F_Scale);
  void* var = tk.F_VarPtr;
  TFunction* fn = Compiler->CurFunc();
  const auto usize = static_cast<uint32_t>(size);
  switch (tk.F_Count) {
    case 0: op.setMemory(iss, usize, tk.F_Extra.Displacement, scale, {}, var, otVar, fn); break;
    case 1: op.setMemory(iss, usize, tk.F_Extra.Displacement, scale, {tk.F_Register}, var, otVar, fn); break;
    default:
      op.setMemory(iss, usize, tk.F_Extra.Displacement, scale, {tk.F_Register, tk.F_Register_2}, var, otVar, fn);
      break;
  }
}

// A string literal becomes a pooled constant, named after the pool's size.
void stringConstant(TOperand& op, const TCurrentToken& tk, bool iss) {
  const TConstType ct = tk.F_Type == ttWideString ? ctWideString : ctAnsiString;
  const std::string name = (ct == ctWideString ? "W$" : "A$") + std::to_string(Consts->Count() + 1);
  // Source text is UTF-8 already, and so is the constant's text.
  TConst* c = Consts->addConstItem(name, tk.F_String, ct);
  c->active = 1;
  op.setPointer(iss, otConst, Compiler->CurFunc(), c, 0);
}

// Numbers reach the encoder whole, as the 64-bit two's complement values
// they are: `mov rax, -1` fills RAX while `mov rax, 0xFFFFFFFF` loads
// 4294967295, and `mov bl, 0xFFFFFFFF` is refused as `mov bl, 0xFFFF` is,
// since no byte holds that number. The encoder refuses a value too wide for
// its field, or gives a 64-bit field it in full, rather than cutting it.
void immediate(TOperand& op, bool iss, int64_t value, uint32_t size) {
  op.setImm(iss, 0, size);
  op.value = value;
}

// A label operand of the record; the record is reached from CurFunc.
void labelOperand(TOperand& op, TFunction* label) {
  setCalled(label, Compiler->CurFunc());
  op.setLabel(false, Compiler->CurFunc(), label->FuncIndex);
}

// "[" on the variable's line: an element index, a number or a register
// (scaled by the element size). False when no index follows.
// name keeps the variable's text, which the index's tokens replace.
inline bool readIndex(int64_t& n, TRegister& reg, bool& isRegister, std::string& name) {
  TAFile* f = Compiler->CurFile();
  if (f->isNextLineBreak() || f->peekNextRealChar(true) != '[') return false;
  name = Compiler->CurToken()->F_String;
  f->setPosition(f->lastPeek());
  const TVorToken t = Compiler->ExpectToken({ttNumber, ttRegister});
  if (t == ttNone) unexpected(unx::IndexItem);
  n = Compiler->CurToken()->F_Integer;
  reg = Compiler->CurToken()->F_Register;
  isRegister = t == ttRegister;
  if (!Compiler->ExpectSymbol("]")) unexpected(unx::IndexNotClosed);
  return true;
}

bool scalable(uint32_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// An element index after a variable token. It counts in what the token
// names: the member its field path ends at, else the whole variable. A
// number picks the s-byte element n, which must lie inside that; a register
// needs an array whose elements the processor can scale by.
struct TElementIndex {
  TRegister reg = REG_NONE;  // REG_NONE: a number
  int32_t disp = 0;          // the token's displacement, with a number's element added
  uint8_t scale = 0;         // the element size a register is scaled by
};

// Reads the index; tk is the variable's token, read before the index
// replaces it.
TElementIndex elementIndex(const TCurrentToken& tk, const TVar* v) {
  const bool member = tk.F_MemberType != nullptr;
  const uint32_t count = member ? tk.F_MemberCount : v->multiplier;
  const uint32_t elementSize = member ? tk.F_MemberType->size : v->type_ ? v->type_->size : 0;
  const auto s = static_cast<uint32_t>(tk.F_ByteCount);
  TElementIndex x;
  x.disp = tk.F_Extra.Displacement;
  int64_t n = 0;
  bool isRegister = false;
  TRegister reg = REG_NONE;
  std::string name;
  if (!readIndex(n, reg, isRegister, name)) return x;
  if (!isRegister) {
    if (n < 0 || mulCapped(static_cast<uint64_t>(n) + 1, s) > uint64_t{count} * elementSize)
      Log->FatalError(msg::OffsetInvalid);
    x.disp = static_cast<int32_t>(static_cast<uint32_t>(x.disp) + s * static_cast<uint32_t>(n));
    return x;
  }
  if (count < 2) Log->FatalError(msg::OffsetInvalid);
  // An element the processor cannot scale to is still reachable, through an
  // address written out or a typed register: the message says how.
  if (CompileFlags.cpu_bits == 16 && elementSize != 1)
    fatal(msg::IndexElementUnscaled16, name, std::to_string(elementSize), regToStr(reg));
  if (!scalable(elementSize)) fatal(msg::IndexElementUnscaled, name, std::to_string(elementSize), regToStr(reg));
  x.reg = reg;
  x.scale = static_cast<uint8_t>(elementSize);
  return x;
}

// The variable record the token names, marked as used.
TVar* usedVar(const TCurrentToken& tk) {
  TVar* v = record<TVar>(tk);
  v->active = 1;
  return v;
}

// A variable operand as its token gives it, with the element index that
// follows it read.
struct TIndexedVar {
  TVar* v;
  bool iss;
  uint32_t size;
  TElementIndex index;
};

TIndexedVar indexedVariable(const TCurrentToken& tk) {
  TVar* v = usedVar(tk);
  // Everything from the variable's token is read before the index is.
  const bool iss = tk.getSigned();
  const auto s = static_cast<uint32_t>(tk.F_ByteCount);
  return {v, iss, s, elementIndex(tk, v)};
}

// A global variable, with an optional element index in square brackets.
void globalVariable(TOperand& op, const TCurrentToken& tk) {
  const TIndexedVar g = indexedVariable(tk);
  TFunction* fn = Compiler->CurFunc();
  const TElementIndex& x = g.index;
  if (x.reg == REG_NONE) {
    op.setPointer(g.iss, otVar, fn, g.v, 0);
    op.displacement = x.disp;
    op.scale = 1;
    op.size = g.size;
    return;
  }
  op.setMemory(g.iss, g.size, x.disp, x.scale, {x.reg}, g.v, otVar, fn);
}

// A local variable or parameter, with an optional element index as a
// global's.
void localVariable(TOperand& op, const TCurrentToken& tk) {
  const TIndexedVar l = indexedVariable(tk);
  const TElementIndex& x = l.index;
  Compiler->stackSlot(op, l.iss, l.v, x.disp, l.size, nullptr);
  if (x.reg == REG_NONE) return;
  op.reg_index = x.reg;
  op.reg_count = 2;
  op.scale = x.scale;
}

// The function a function-pointer operand reaches, for the stack depth after
// a call through it.
void markCallee(TOperand& op, TFunction* callee) { op.method = callee; }

// A memory expression in square brackets.
void bracketOperand(TOperand& op, TCurrentToken& tk, bool iss) {
  if (tk.F_Count < 0 || tk.F_Count > 2) invalidExpression();
  bool signedness = iss;
  if (tk.F_VarPtr) {
    // A type name before the bracket sized it; a bare bracket is a
    // pointer-sized word.
    if (tk.F_ByteCount == 0) tk.F_ByteCount = ptrSize;
    signedness = tk.F_VarPtr->type_ && tk.F_VarPtr->type_->signed_;
  }
  memoryExpression(op, tk, signedness);
}

// The name after "@", just read (it): the address of a variable, or a label.
void referencedName(TOperand& op, const TCurrentToken& tk, TIdentType it) {
  switch (it) {
    case itGlobalVar: {
      TVar* v = usedVar(tk);
      op.setPointer(tk.getSigned(), otVarRef, Compiler->CurFunc(), v, static_cast<uint32_t>(ptrSize));
      op.displacement = tk.F_Extra.Displacement;
      break;
    }
    case itLocalVar:
      // The slot of the member and the element the operand names, read
      // whole as a global's is.
      localVariable(op, tk);
      op.hint = otMemRef;
      break;
    case itProc:
    case itFunc:
    case itLabel:
      labelOperand(op, record<TFunction>(tk));
      op.hint = otLabelRef;
      break;
    default:
      // Only a name not declared yet can become a label; anything else
      // after "@" can never be placed as one.
      if (tk.F_Type != ttIdent || tk.F_IdentType != itNone) unexpected(unx::LabelRefName);
      labelOperand(op, Compiler->createForwardLabel(tk.F_String));
      op.hint = otLabelRef;
      break;
  }
}

// "@" and what follows: a reference, the address of a variable, a memory
// expression or a label. A variable's operand is read whole into op.
void referenceOperand(std::unique_ptr<TOperand>& op, TCurrentToken& tk, bool regLblRef) {
  if (tk.F_String != "@") unexpected(unx::ReferenceSymbol);
  TAFile* f = Compiler->CurFile();
  const TVorToken ahead = f->peekNextToken(false);
  if (ahead == ttIdent && Compiler->PeekToken()->F_IdentType == itGlobalVar) {
    op = Compiler->moveNextOperand(true, regLblRef);
    op->hint = otVarRef;
    return;
  }
  if (ahead == ttBaseExp) {
    f->moveLastPeek();
    if (tk.F_Count != 1 && tk.F_Count != 2) invalidExpression();
    memoryExpression(*op, tk, tk.getSigned());
    op->hint = otMemRef;
    return;
  }
  const TIdentType it = Compiler->ExpectIdentType({itGlobalVar, itLocalVar, itProc, itFunc, itLabel});
  referencedName(*op, tk, it);
}

// A function, procedure or label by name, used in caller: its label, or,
// for a function pointer, the pointer variable that holds it.
void functionOperand(TOperand& op, const TCurrentToken& tk, bool iss, TFunction* caller) {
  auto* fn = record<TFunction>(tk);
  setCalled(fn, caller);
  TVar* pointer = fn->CallData;
  if (!pointer) {
    op.setLabel(false, caller, fn->FuncIndex);
  } else if (pointer->mode == vmGlobal) {
    op.setPointer(iss, otVar, caller, pointer, 0);
    markCallee(op, fn);
  } else {
    Compiler->stackSlot(op, iss, pointer, 0, static_cast<uint32_t>(ptrSize), fn);
    markCallee(op, fn);
  }
}

// A constant by name: a value is an immediate, any other a pooled constant.
void constOperand(TOperand& op, const TCurrentToken& tk, bool iss) {
  auto* c = record<TConst>(tk);
  if (c->type_ == ctValue) {
    immediate(op, iss, c->int_, static_cast<uint32_t>(ptrSize));
  } else {
    c->active = 1;
    op.setPointer(iss, otConst, Compiler->CurFunc(), c, 0);
  }
}

// A name, by what it names, read in the function caller.
void nameOperand(TOperand& op, const TCurrentToken& tk, bool iss, bool regLblRef, TFunction* caller) {
  switch (tk.F_IdentType) {
    case itNone:
      if (!regLblRef) fatal(msg::NameUndeclared, tk.getTokenStr());
      labelOperand(op, Compiler->createForwardLabel(tk.F_String));
      break;
    case itFunc:
    case itProc:
    case itLabel:
      functionOperand(op, tk, iss, caller);
      break;
    case itConst:
      constOperand(op, tk, iss);
      break;
    case itGlobalVar:
      globalVariable(op, tk);
      break;
    case itLocalVar:
      localVariable(op, tk);
      break;
    case itGlobalVarPtr: {
      TVar* v = usedVar(tk);
      op.setPointer(iss, otVarRef, Compiler->CurFunc(), v, static_cast<uint32_t>(ptrSize));
      // The address of the member the path names, as "@" gives it.
      op.displacement = tk.F_Extra.Displacement;
      break;
    }
    case itLocalVarPtr: {
      TVar* v = usedVar(tk);
      Compiler->stackSlot(op, iss, v, tk.F_Extra.Displacement, static_cast<uint32_t>(ptrSize), nullptr);
      op.hint = otMemRef;
      break;
    }
    case itBaseExpPtr:
      if (tk.F_Count != 1 && tk.F_Count != 2) invalidExpression();
      memoryExpression(op, tk, iss);
      op.hint = otMemRef;
      break;
    default:
      unexpected(unx::NameWithoutRecord);
  }
}

}  // namespace

// Where a stack slot lies. With a frame: locals below the saved frame
// pointer, parameters above it and the return address. Without one: from the
// stack pointer, above the bytes pushed since the locals room was reserved
// (LocalOffset), the room itself and, for parameters, the return address.
// A parameter's address is the parameter size up to and including it, so its
// slot starts that size less its own aligned size above the first one.
void TCompiler::stackSlot(TOperand& op, bool iss, const TVar* v, int32_t disp, uint32_t size, void* record) const {
  const auto width = static_cast<uint8_t>(ptrSize);
  const auto word = static_cast<uint32_t>(ptrSize);
  const TFunction* fn = F_CurFunc;
  // Wrapping 32-bit arithmetic: displacements are 32 bits, and a stack depth
  // that went below the frame wraps back here.
  const uint32_t address = static_cast<uint32_t>(v ? v->address : 0);
  const bool param = v && v->address > 0;
  uint32_t d = static_cast<uint32_t>(disp);
  if (param) {
    const uint32_t slot = alignSize(v->type_ ? v->type_->size * v->multiplier : word, word);
    d += address - slot + word;  // the slot, above the return address
  } else {
    d += address + word;  // below the return address (and the frame pointer)
  }
  TRegister base;
  if (usesFrame(fn)) {
    if (param) d += word;  // the saved frame pointer
    base = regScale(REG_EBP, width);
  } else {
    d += fn ? fn->LocalSize + fn->LocalOffset : 0;
    // A pop forms its address after it has raised the stack pointer by
    // what it pops.
    if (F_PopTargetLoop != 0 && F_PopTargetLoop == F_LoopDepth) d -= size;
    base = regScale(REG_ESP, width);
  }
  op.setMemory(iss, size, static_cast<int32_t>(d), 0, {base}, record, otRegister, nullptr);
}

namespace {
// Whether op is a memory operand of a size that no integer operand of the
// mode has. Records and the floating types have sizes of their own, which
// the processor's other units read; only the integer sizes between count.
bool noOperandOfItsSize(const TOperand* op) {
  if (!op || (op->hint != otVar && op->hint != otMem) || op->size == 0) return false;
  const uint32_t size = op->size;
  if (size == 1 || size == 2 || size == 4 || (size == 8 && CompileFlags.cpu_bits == 64)) return false;
  return size <= 8;
}
}  // namespace

void TCompiler::refuseOperandSize(const TOperand* op, std::string_view text) {
  if (!noOperandOfItsSize(op)) return;
  const std::string bits = std::to_string(CompileFlags.cpu_bits);
  const std::string_view name = text.empty() ? std::string_view("the operand") : text;
  if (op->size == 8) fatal(msg::NoOperand8, name, bits);
  fatal(msg::NoOperandOfSize, name, std::to_string(op->size), bits);
}

void TCompiler::refuseOperandSize(const TOperand* op, const TOperandSpan& span) {
  if (noOperandOfItsSize(op)) refuseOperandSize(op, spanText(span));
}

// An index the operand did not take (after a register, a bracket, a number
// or an element already indexed) would start a statement of its own that
// does nothing: "eax = ebx[5];" would load EBX.
void TCompiler::strayIndex() { fatal(msg::StrayIndex); }

void TCompiler::bracketFromToken(TOperand& op) { bracketOperand(op, *F_CurToken, F_CurToken->getSigned()); }

std::unique_ptr<TOperand> TCompiler::moveNextOperand(bool first, bool regLblRef) {
  if (!first && !ExpectSymbol(",")) unexpected(unx::OperandComma);
  const TAFile* file = F_CurFile;
  const uint32_t from = file ? file->CurChar : 0;
  const TVorToken kind = ExpectToken({ttFlag, ttSymbol, ttRegister, ttSegment, ttNumber, ttIdent, ttBaseExp,
                                      ttSTreg, ttXMMreg, ttAnsiString, ttWideString});
  if (kind == ttNone) unexpected(unx::OperandToken);
  std::unique_ptr<TOperand> op = operandFromToken(regLblRef);
  refuseStrayIndex();
  F_LastOperand = {file == F_CurFile ? file : nullptr, from, file == F_CurFile && file ? file->CurChar : 0};
  return op;
}

std::string_view TCompiler::spanText(const TOperandSpan& at) {
  if (!at.file || at.to <= at.from || at.to > at.file->FileLen) return {};
  std::string_view text(at.file->Buffer.data() + at.from, at.to - at.from);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  // One line of the source, as written.
  if (text.find('\n') != std::string_view::npos) return {};
  return text;
}

TOperand* TCompiler::readInstructionOperand(bool first, bool regLblRef, TOperandRoom& room,
                                            std::unique_ptr<TOperand>& owned) {
  TPlainOperand plain;
  if (!F_DirectLines || !TDirectReader(*F_CurFile).operand(first, plain)) {
    owned = moveNextOperand(first, regLblRef);
    return owned.get();
  }
  TOperand& local = room.make();
  // The operand the token of the same text gives.
  switch (plain.kind) {
    case TPlainKind::Register: {
      const TVarType* assumed = registerAssumedType(plain.reg);
      local.setRegister(assumed && typeSigned(assumed), plain.reg);
      break;
    }
    case TPlainKind::Number:
      immediate(local, true, plain.value, static_cast<uint32_t>(Int64toSize(plain.value)));
      break;
    case TPlainKind::Memory: {
      const TPlainMemory& m = plain.mem;
      const auto scale = static_cast<uint8_t>(m.scale);
      if (m.count == 1)
        local.setMemory(false, 0, m.disp, scale, {m.regs[0]}, nullptr, otVar, F_CurFunc);
      else
        local.setMemory(false, 0, m.disp, scale, {m.regs[0], m.regs[1]}, nullptr, otVar, F_CurFunc);
      break;
    }
    case TPlainKind::None:
      unexpected(unx::OperandToken);
  }
  return &local;
}

std::unique_ptr<TOperand> TCompiler::operandFromToken(bool regLblRef) {
  auto op = std::make_unique<TOperand>();
  TCurrentToken& tk = *F_CurToken;
  const bool iss = tk.getSigned();
  switch (tk.F_Type) {
    case ttRegister:
      op->setRegister(iss, tk.F_Register);
      break;
    case ttSegment:
      op->setSegment(iss, tk.F_Segment);
      break;
    case ttNumber:
      immediate(*op, iss, tk.F_Integer, static_cast<uint32_t>(tk.F_ByteCount));
      if (tk.F_DefName == "true") op->istruedef = true;
      break;
    case ttFlag:
      op->setImm(false, static_cast<uint32_t>(tk.F_Integer), 1);
      op->hint = otFlag;
      break;
    case ttSTreg:
      // The register file the name came from: x87 and MMX rows each take
      // their own.
      op->setIntType(iss, otST, tk.F_Integer);
      op->size = tk.F_ByteCount == static_cast<int32_t>(MM_REGISTER_SIZE) ? MM_REGISTER_SIZE : ST_REGISTER_SIZE;
      break;
    case ttXMMreg:
      op->setIntType(iss, otXMM, tk.F_Integer);
      break;
    case ttAnsiString:
    case ttWideString:
      stringConstant(*op, tk, iss);
      break;
    case ttBaseExp:
      bracketOperand(*op, tk, iss);
      break;
    case ttSymbol:
      referenceOperand(op, tk, regLblRef);
      break;
    case ttIdent:
      nameOperand(*op, tk, iss, regLblRef, F_CurFunc);
      break;
    default:
      unexpected(unx::OperandToken);
  }
  return op;
}

}  // namespace vorak
