// Variable declarations and statements on variables.
#include "compiler/statements/VarHandlers.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Global.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/statements/FuncCallHandlers.h"
#include "compiler/statements/StatementLoop.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/EncoderCommon.h"
#include "encoder/FixupManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// Encodes into CurFunc without a message of its own; the result code.
uint32_t emit(std::string_view mnemonic, TOperand* a, TOperand* b = nullptr) {
  TFunction* fn = Compiler->CurFunc();
  const uint32_t rc = Compiler->encodeInto(fn, opcodeLookup(mnemonic), a, b, nullptr, CompileFlags.optimise);
  if (rc == ASSEMBLE_OK) appendCode(fn, Compiler->Assembler_().popCode());
  return rc;
}

bool operandSized(uint32_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// The variable an assignment statement stores into, while its right side is
// compiled.
const TVar* assignedVariable = nullptr;

// "mov" o1, value for an assignment, where a smaller variable widens into
// the variable wherever it lies. A memory operand takes at most a 4-byte
// immediate, which the processor sign-extends; a number beyond that into an
// 8-byte variable of 64-bit code is stored as its two doubleword halves,
// which changes no register.
uint32_t assignValue(TOperand* o1, TOperand* value) {
  checkPointerValue(assignedVariable, *value);
  const bool memory = o1->hint == otVar || o1->hint == otMem;
  // A wider value gives its low part, wherever either lies (the encoder
  // warns so only for a variable destination of its own).
  const bool memoryValue = value->hint == otVar || value->hint == otMem;
  // No operand has 3, 5, 6 or 7 bytes: the caller names the destination.
  if (memory && o1->size < 8 && o1->size != 0 && !operandSized(o1->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  if (memory && memoryValue && operandSized(o1->size) && value->size > o1->size) {
    value->size = o1->size;
    Log->Warning(msg::Operand2Truncated);
  }
  const int64_t v = value->value;
  if (!mode64() || !memory || o1->size != 8 || value->hint != otImm || (v >= INT32_MIN && v <= INT32_MAX)) {
    struct Widening {
      TVorAssembler& a = Compiler->Assembler_();
      const bool was = a.widenIntoMemory(true);
      ~Widening() { a.widenIntoMemory(was); }
    } widening;
    return emit("mov", o1, value);
  }
  TOperand half = *o1;
  half.size = 4;
  // An address without registers counts its displacement in elements.
  if (half.reg_base == REG_NONE && half.scale > 1) {
    half.displacement *= half.scale;
    half.scale = 1;
  }
  TOperand part;
  part.setImm(false, static_cast<uint32_t>(v), 4);
  uint32_t rc = emit("mov", &half, &part);
  if (rc != ASSEMBLE_OK) return rc;
  half.displacement += 4;
  part.setImm(false, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32), 4);
  return emit("mov", &half, &part);
}

// The source text of the operand read from the current token on (the
// statement's variable, its index included), or the token's own text when
// the token did not come from the buffer as written (a define, a macro).
struct TTokenSpan {
  const TAFile* file = nullptr;
  uint32_t from = 0;
  std::string text;

  TTokenSpan() : file(Compiler->CurFile()), text(cur().F_String) {
    const uint32_t at = file ? file->CurChar : 0;
    from = at >= text.size() ? at - static_cast<uint32_t>(text.size()) : 0;
    if (!file || from > file->Buffer.size() || file->Buffer.compare(from, text.size(), text) != 0) file = nullptr;
  }
  // Where the operand ends: where the reader stands now.
  TCompiler::TOperandSpan operandSpan() const {
    if (!file || Compiler->CurFile() != file) return {};
    return {file, from, file->CurChar};
  }
  // The text of an operand that ended at span, looked up only for a message.
  std::string_view operandText(const TCompiler::TOperandSpan& span) const {
    const std::string_view whole = TCompiler::spanText(span);
    return whole.empty() ? std::string_view(text) : whole;
  }
};

// A failure of an assignment to o1 whose value is the operand read last: a
// value of a size no operand has is named (the caller names o1 when o1 is
// of such a size, whatever the value was cut to).
uint32_t checkedValue(uint32_t rc, const TOperand* o1, const TOperand* value) {
  if (rc != ASSEMBLE_OK && operandSized(o1->size))
    TCompiler::refuseOperandSize(value, Compiler->lastOperandSpan());
  return rc;
}

bool inFunction() {
  const TFunction* fn = Compiler->CurFunc();
  return fn && fn->FuncIndex != 0;
}

// A number's value as the bytes of a variable of type t: integers as their
// low bytes, floating types in their IEEE form; the other kind is converted
// by value.
void storeNumber(uint8_t* dst, uint32_t room, const TVarType* t, const TCurrentToken& tk) {
  const bool isFloat = tk.F_Type == ttFloat;
  if (t && t->vt == dtFloat) {
    const long double v = isFloat ? tk.F_Extended : static_cast<long double>(tk.F_Integer);
    if (t->size == 4 && room >= 4) {
      const float f = static_cast<float>(v);
      std::memcpy(dst, &f, 4);
    } else if (t->size == 8 && room >= 8) {
      const double d = static_cast<double>(v);
      std::memcpy(dst, &d, 8);
    } else if (t->size == 10 && room >= 10) {
      static_assert(sizeof(long double) >= 10, "80-bit extended values");
      std::memcpy(dst, &v, 10);
    }
    return;
  }
  const uint64_t v = static_cast<uint64_t>(tk.F_Integer);
  const uint32_t n = room < 8 ? room : 8;
  for (uint32_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A number its element cannot hold: one that fits the element's bytes
// neither as a signed nor as an unsigned value, as an instruction's
// immediate is judged (-1 into a dword is FF FF FF FF).
void checkNumberSize(const TVarType* t, const TCurrentToken& tk) {
  if (tk.F_Type != ttNumber || !t || t->vt == dtFloat || CompileFlags.imm_roll) return;
  if (!numberFits(tk.F_Integer, t->size)) fatal(msg::InitialiserTooLarge);
}

// A binary literal keeps its lowest 64 digits, with a warning, wherever it
// is read as a token; a single initialiser is only looked at before it is
// taken, which warns of nothing. A number the data cannot hold whole is
// refused there as a hexadecimal one is. Leading zeros count for nothing.
bool binaryPast64Bits(const TCurrentToken& tk) {
  std::string_view s = tk.F_String;
  if (tk.F_Type != ttNumber || s.size() <= 2 + 64 || s.substr(0, 2) != "0b") return false;
  s.remove_prefix(2);
  const size_t first = s.find('1');
  return first != std::string_view::npos && s.size() - first > 64;
}

uint32_t typeSize(const TVar* v) { return v->type_ ? v->type_->size : 0; }

// A floating number past the largest of a 4- or 8-byte type would be stored
// as infinity (a 10-byte type holds every number the reader takes).
void checkFloatRange(const TVar* v, const TCurrentToken& tk) {
  const TVarType* t = v->type_;
  if (tk.F_Type != ttFloat || !t || t->vt != dtFloat) return;
  const long double x = tk.F_Extended;
  const bool inf =
      t->size == 4 ? std::isinf(static_cast<float>(x)) : t->size == 8 && std::isinf(static_cast<double>(x));
  if (inf) fatal(msg::FloatInitTooLarge, tk.F_String, vorStrView(v->name), std::to_string(t->size));
}

// A wide string is no data: its characters have no form in an element.
[[noreturn]] void wideStringData(const TVar* v, const TCurrentToken& tk) {
  fatal(msg::WideStringData, tk.F_String, vorStrView(v->name));
}

[[noreturn]] void tooLarge(std::string_view name) { fatal(msg::VarTooLarge, name); }

// The element count stays within 32 bits even for elements of no size.
void growTo(TVar* v, uint64_t elements) {
  if (elements > 0xFFFFFFFFull || mulCapped(typeSize(v), elements) > 0xFFFFFFFFull) tooLarge(vorStrView(v->name));
  vorArrResize(v->content, static_cast<size_t>(typeSize(v) * elements));
  v->multiplier = static_cast<uint32_t>(elements);
}

// "[" e1 "," e2 ... "]" for a global (the "[" is next).
void listInitialiser(TVar* v, bool fixedCount, uint32_t count) {
  TAFile& f = curFile();
  const uint32_t size = typeSize(v);
  const bool pointers = v->type_ && v->type_->isPointer;
  uint32_t n = 0;
  for (;;) {
    // The "[" before the first element, a "," before every other one.
    f.moveNextChar(true, false);
    if (fixedCount && n >= count) fatal(msg::ArrayOutOfBounds);
    const TVorToken t = Compiler->ExpectToken({ttNumber, ttFloat, ttAnsiString, ttWideString});
    if (t == ttWideString) wideStringData(v, cur());
    if (t == ttNone) unexpected(unx::VarListElement);
    v->initialised = 1;
    if (!fixedCount && n >= v->multiplier) growTo(v, uint64_t{n} + 1);
    const uint32_t at = n * size;
    const TCurrentToken& tk = cur();
    if (t == ttAnsiString) {
      if (pointers) {
        TConst* c = Consts->addConstItem("", tk.F_String, ctAnsiString);
        c->active = 1;
        FixMan->addVarFixup(ftConst, v, c, static_cast<int32_t>(at), static_cast<uint8_t>(ptrSize), 0, jtJMP);
      } else {
        const size_t len = tk.F_String.size() < size ? tk.F_String.size() : size;
        std::memcpy(v->content + at, tk.F_String.data(), len);
      }
    } else {
      checkNumberSize(v->type_, tk);
      checkFloatRange(v, tk);
      storeNumber(v->content + at, size, v->type_, tk);
    }
    ++n;
    if (peekChar() != ',') break;
  }
  if (!fixedCount && n >= 2) v->multiplier = n;
  if (!Compiler->ExpectSymbol("]")) unexpected(unx::VarListClose);
}

// "= value" for a global (the "=" is read).
void initialiser(TVar* v, bool bracketed, bool uncounted) {
  TAFile& f = curFile();
  if (peekChar() == '[') return listInitialiser(v, !uncounted, v->multiplier);
  // Where the value starts, for a message about the number itself.
  const TFilePos start = f.lastPeek();
  const TVorToken next = f.peekNextToken(false);
  if (next == ttSymbol) {
    f.moveLastPeek();
    if (cur().F_String != "@") unexpected(unx::VarAddressSymbol);
    if (Compiler->ExpectIdentType({itGlobalVar}) == itNone) unexpected(unx::VarAddressTarget);
    auto* target = static_cast<TVar*>(cur().F_Pointer);
    const uint32_t member = cur().F_Extra.Offset;
    v->initialised = 1;
    if (v->multiplier != 1) fatal(msg::AddressInitCount);
    if (typeSize(v) != static_cast<uint32_t>(ptrSize)) fatal(msg::AddressInitSize);
    target->active = 1;
    delete v->fixup;
    v->fixup = TFixupManager::newOwnFixup(ftVar, target, static_cast<uint8_t>(typeSize(v)), member, jtIGNORE);
    return;
  }
  if (next == ttNumber || next == ttFloat || next == ttAnsiString) {
    f.moveLastPeek();
    v->initialised = 1;
    const TCurrentToken& tk = cur();
    if (next != ttAnsiString) {
      if (binaryPast64Bits(tk)) {
        f.setPosition(start);
        fatal(msg::NumberTooLarge, tk.F_String);
      }
      checkNumberSize(v->type_, tk);
      checkFloatRange(v, tk);
      // The value is judged by its element but written over the variable's
      // first bytes (at most eight): word x[2] = -1 sets both words.
      storeNumber(v->content, vorArrCount(v->content), v->type_, tk);
      return;
    }
    const std::string& s = tk.F_String;
    if (bracketed && uncounted && !s.empty()) growTo(v, s.size());
    const size_t room = vorArrCount(v->content);
    std::memcpy(v->content, s.data(), s.size() < room ? s.size() : room);
    return;
  }
  // The address of a wide string's constant fits a pointer-sized variable,
  // stored by code as any value known at run time; nothing else does.
  if (next == ttWideString && typeSize(v) != static_cast<uint32_t>(ptrSize)) {
    f.moveLastPeek();
    wideStringData(v, cur());
  }
  // A value known at run time: stored by code.
  v->active = 1;
  TOperand op;
  op.setPointer(v->type_ && v->type_->signed_, otVar, Compiler->CurFunc(), v, typeSize(v));
  const uint32_t rc = handle_VARASSIGN(&op);
  if (rc != ASSEMBLE_OK) {
    TCompiler::refuseOperandSize(&op, vorStrView(v->name));
    fatal(msg::VarInitEncode, TVorAssembler::errorCodeToString(rc));
  }
}

}  // namespace

void refuseValuePrefix(std::string_view target) {
  TAFile& f = curFile();
  const char c = f.peekNextRealChar(true);
  // A "-" that is the sign of a number belongs to the number.
  const bool prefix = c == '~' || c == '!' || (c == '-' && f.peekNextToken(false) == ttSymbol);
  if (prefix) fatal(msg::PrefixNeedsRegister, std::string_view(&c, 1), target.empty() ? "the variable" : target);
}

uint32_t assignToMemory(TOperand* o1, TOperand* value) { return assignValue(o1, value); }

namespace {

// Set when a conditional value has read the ";" that ends its statement.
bool conditionEndedStatement = false;

// The assignment target, valid while one statement runs.
struct TargetScope {
  explicit TargetScope(TOperand* op, const std::string& text, const TVar* var) : was(assignedVariable) {
    assignOperand = op;
    assignOperandText = text;
    assignedVariable = var;
  }
  ~TargetScope() {
    assignOperand = nullptr;
    assignOperandText.clear();
    assignedVariable = was;
  }
  TargetScope(const TargetScope&) = delete;
  TargetScope& operator=(const TargetScope&) = delete;
  const TVar* was;
};

}  // namespace

// type name { [ n ] } [ = value ] { , name { [ n ] } [ = value ] } ;   (the type just read)
void handle_VARTYPE() {
  auto* type = static_cast<TVarType*>(cur().F_Pointer);
  if (!type) unexpected(unx::VarTypeRecord);
  TFunction* fn = Compiler->CurFunc();
  const bool local = inFunction();
  for (;;) {
    if (Compiler->ExpectToken({ttIdent}) == ttNone) unexpected(unx::VarName);
    if (cur().F_Keyword != keyNone || (cur().F_IdentType != itNone && !(local && cur().F_IdentType == itGlobalVar))) {
      // A name only referred to so far (@name, a jump ahead) was taken for
      // a label still to come.
      const auto* ref = static_cast<const TFunction*>(cur().F_Pointer);
      if (cur().F_Keyword == keyNone && cur().F_IdentType == itLabel && ref && ref->Type_ == ltRef)
        fatal(msg::VarAfterLabelUse, cur().F_String);
      unexpected(unx::VarRedeclared);
    }
    const std::string name = cur().F_String;
    // Dimensions.
    uint64_t count = 1;
    bool bracketed = false, uncounted = true;
    while (peekChar() == '[') {
      takePeeked();
      bracketed = true;
      if (peekChar() == ']') {
        takePeeked();
        break;
      }
      if (Compiler->ExpectToken({ttNumber}) == ttNone) unexpected(unx::VarDimension);
      const int64_t dim = cur().F_Integer;
      if (dim < 1) fatal(msg::VarDimensionZero, name);
      count = mulCapped(count, static_cast<uint64_t>(dim));
      if (mulCapped(count, type->size ? type->size : 1) > 0xFFFFFFFFull) tooLarge(name);
      uncounted = false;
      if (!Compiler->ExpectSymbol("]")) unexpected(unx::VarDimensionClose);
    }
    const uint64_t bytes = count * type->size;
    TVar* v;
    if (local) {
      v = VarMan->addVar(vmLocal, name, type, static_cast<uint32_t>(count), reserveLocal(fn, name, bytes));
    } else {
      v = VarMan->addVar(vmGlobal, name, type, static_cast<uint32_t>(count), 0);
    }
    if (Compiler->ExpectToken({ttSymbol}) == ttNone) unexpected(unx::VarAfterName);
    const std::string sym = cur().F_String;
    if (sym == ",") continue;
    if (sym == ";") return;
    if (sym != "=") unexpected(unx::VarAfterNameSymbol);
    if (local) fatal(msg::LocalInitialised);
    conditionEndedStatement = false;
    initialiser(v, bracketed, uncounted);
    if (conditionEndedStatement) return;
    const char c = curFile().moveNextChar(true, false);
    if (c == ';') return;
    if (c != ',') {
      setCharToken(c);
      unexpected(unx::VarSeparator);
    }
  }
}

int32_t reserveLocal(TFunction* fn, const std::string& name, uint64_t bytes) {
  const TBodyFrame* body = Compiler->bodyFrame(fn);
  if (body && !body->frame && fn->BufLen != body->roomEnd)
    fatal(msg::LocalsAfterCode, name);
  if (fn->LocalSize + bytes + static_cast<uint64_t>(ptrSize) > 0x7FFFFFFFull)
    fatal(msg::LocalsTooLarge, vorStrView(fn->Name));
  const auto end = static_cast<int32_t>(fn->LocalSize + bytes);
  fn->LocalSize += static_cast<uint32_t>(bytes);
  fn->LocalCount += 1;
  return -end - ptrSize;
}

// variable operator [ value ] ;   (the variable just read)
void handle_VAR() {
  TCurrentToken& tk = cur();
  auto* v = static_cast<TVar*>(tk.F_Pointer);
  if (!v) unexpected(unx::NameWithoutRecord);
  v->active = 1;
  const TTokenSpan span;
  const std::string& text = span.text;
  // The operand from the token already read: indexes and members follow it.
  std::unique_ptr<TOperand> op = Compiler->operandFromToken(true);
  const TCompiler::TOperandSpan opSpan = span.operandSpan();
  const TMathOp mo = curFile().moveNextIfMathOp(op->issigned);
  auto value = [&](bool regLblRef) { return Compiler->moveNextOperand(true, regLblRef); };
  uint32_t rc = ASSEMBLE_OK;
  std::unique_ptr<TOperand> v2;
  switch (mo) {
    case moNone:
      if (peekChar() == ';') return;
      fatal(msg::VarExpectedOperator);
    case moAssign: {
      TargetScope target(op.get(), text, v);
      rc = handle_VARASSIGN(op.get());
      break;
    }
    case moIsEqual:
    case moNotEqual:
      v2 = value(false);
      rc = emit("cmp", op.get(), v2.get());
      break;
    case moAddBy: v2 = value(true); rc = emit("add", op.get(), v2.get()); break;
    case moSubBy: v2 = value(true); rc = emit("sub", op.get(), v2.get()); break;
    case moInc: rc = emit("inc", op.get()); break;
    case moDec: rc = emit("dec", op.get()); break;
    case moShiftLeft: v2 = value(true); rc = emit(op->issigned ? "sal" : "shl", op.get(), v2.get()); break;
    case moShiftRight: v2 = value(true); rc = emit(op->issigned ? "sar" : "shr", op.get(), v2.get()); break;
    case moAndEqual: v2 = value(true); rc = emit("and", op.get(), v2.get()); break;
    case moOrEqual: v2 = value(true); rc = emit("or", op.get(), v2.get()); break;
    case moXorEqual: v2 = value(true); rc = emit("xor", op.get(), v2.get()); break;
    case moMulByU:
    case moMulByS:
      fatal(msg::VarMultiply);
    default:
      fatal(msg::InvalidMathOperator, mo2str(mo));
  }
  if (rc != ASSEMBLE_OK) {
    TCompiler::refuseOperandSize(op.get(), span.operandText(opSpan));
    if (v2) TCompiler::refuseOperandSize(v2.get(), Compiler->lastOperandSpan());
    fatal(msg::VarStatementEncode, TVorAssembler::errorCodeToString(rc));
  }
}

// = call   |   = conditional value   |   = operand
uint32_t handle_VARASSIGN(TOperand* o1) {
  TAFile& f = curFile();
  if (f.peekNextToken(false) == ttIdent) {
    const TIdentType it = Compiler->PeekToken()->F_IdentType;
    if (it == itFunc || it == itProc || it == itFuncThis || it == itProcThis) {
      f.moveLastPeek();
      if (it == itProc || it == itProcThis) fatal(msg::VarProcedureValue);
      const auto* callee = static_cast<const TFunction*>(cur().F_Pointer);
      compileCallStoredInto(*o1, it == itFuncThis ? cur().F_Operand : nullptr);
      const TRegister acc = accumulator(o1->size);
      if (acc == REG_NONE) fatal(msg::VarCallUnknown);
      // A result narrower than the variable is widened in the accumulator.
      const uint32_t widened = emitResultWidening(callee, acc, [](const char* mnemonic, TOperand* a, TOperand* b) {
        return emit(mnemonic, a, b);
      });
      if (widened != ASSEMBLE_OK) return widened;
      TOperand a;
      a.setRegister(o1->issigned, acc);
      return emit("mov", o1, &a);
    }
    if (Compiler->PeekToken()->F_Keyword == keyIf) return handle_VARCONDITION(o1);
  }
  if (peekChar() == '(') return handle_VARCONDITION(o1);
  refuseValuePrefix(assignOperandText);
  std::unique_ptr<TOperand> value = Compiler->moveNextOperand(true, true);
  const uint32_t rc = checkedValue(assignValue(o1, value.get()), o1, value.get());
  // An address into a stack slot has no "mov" form: it goes through the
  // stack, which changes no register (pop reads its address after the pop).
  const bool address = value->hint == otLabelRef || value->hint == otVarRef || value->hint == otLabel;
  if (rc != ASSEMBLE_OK && address && o1->hint == otMem && o1->size == static_cast<uint32_t>(ptrSize)) {
    const uint32_t pushed = emit("push", value.get());
    return pushed != ASSEMBLE_OK ? pushed : emit("pop", o1);
  }
  return rc;
}

// [ if ] ( condition ) [ ? ] [ value ] [ : [ value ] ] ;
uint32_t handle_VARCONDITION(TOperand* o1) {
  TAFile& f = curFile();
  // The condition clears the target's text that a message may name.
  const std::string target = assignOperandText;
  // The keyword if, or the "(" itself, was peeked last.
  const bool withIf = Compiler->PeekToken()->F_Type == ttIdent && Compiler->PeekToken()->F_Keyword == keyIf;
  f.moveLastPeek();
  if (withIf && !Compiler->ExpectSymbol("(")) unexpected(unx::VarCondOpen);
  TFunction* holds = newStatementLabel("ifcode");
  TFunction* otherwise = newStatementLabel("else");
  TFunction* done = newStatementLabel("exitif");
  // The condition has links of its own, whatever block it stands in.
  const auto cc = std::make_unique<TCondContext>(holds, otherwise);
  handle_IFJUMP(true, handle_IFEXPRESSION(*cc, 0), otherwise);
  Compiler->placeLabel(holds);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::VarCondClose);
  if (peekChar() == '?') takePeeked();
  uint32_t rc = ASSEMBLE_OK;
  auto load = [&] {
    refuseValuePrefix(target);
    std::unique_ptr<TOperand> value = Compiler->moveNextOperand(true, false);
    rc = checkedValue(assignValue(o1, value.get()), o1, value.get());
    if (rc != ASSEMBLE_OK) {
      TCompiler::refuseOperandSize(o1, target);
      fatal(msg::VarStatementEncode, TVorAssembler::errorCodeToString(rc));
    }
  };
  if (peekChar() != ':') load();
  TOperand jump;
  jump.setLabel(false, Compiler->CurFunc(), done->FuncIndex);
  if (emit("jmp", &jump) != ASSEMBLE_OK) fatal(msg::VarCondJumpEncode);
  Compiler->placeLabel(otherwise);
  if (peekChar() != ';') {
    if (!Compiler->ExpectSymbol(":")) unexpected(unx::VarCondColon);
    if (peekChar() != ';') load();
  }
  // The ";" ends the statement here.
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::VarCondEnd);
  Compiler->placeLabel(done);
  updateLabelStack(*cc);
  conditionEndedStatement = true;
  return rc;
}

}  // namespace vorak
