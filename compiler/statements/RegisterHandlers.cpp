// Statements on registers, segment registers and memory operands, and uses:
// "eax = ebx + 4;", "ecx <<= 2", "[ebx + 8] += ecx;", "ds = ax;", "uses ebx, flags;".
#include "compiler/statements/RegisterHandlers.h"

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
#include "compiler/statements/ReturnHandlers.h"
#include "compiler/statements/StatementLoop.h"
#include "compiler/statements/VarHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

using OperandPtr = std::unique_ptr<TOperand>;

void emit(std::string_view mnemonic, TOperand* a = nullptr, TOperand* b = nullptr) {
  Compiler->execInstruction(Compiler->CurFunc(), mnemonic, a, b);
  // A register statement on the stack pointer (esp -= 8;) is written in
  // the source like an instruction line.
  Compiler->followStackWrite(Compiler->CurFunc(), mnemonic, a, b);
}

// A prefix of a loaded value: "-" negates it, "~" and "!" invert it.
enum TExMode : uint8_t { exNone, exNeg, exNot };

// The target of an assignment is visible to what its right side reads (a
// macro may ask for it), and only for as long as the statement runs.
struct AssignTarget {
  AssignTarget(TOperand* op, std::string_view text) {
    assignOperand = op;
    assignOperandText.assign(text);
  }
  ~AssignTarget() {
    assignOperand = nullptr;
    assignOperandText.clear();
  }
  AssignTarget(const AssignTarget&) = delete;
  AssignTarget& operator=(const AssignTarget&) = delete;
};

// Which of the sixteen general registers r lives in (-1 for none), and
// whether it is the high byte AH..BH of it.
int registerFile(TRegister r, bool& high) {
  high = r >= REG_AH && r <= REG_BH;
  if (r <= REG_BL) return r;
  if (r <= REG_BH) return r - REG_AH;
  if (r <= REG_R15) return regID(r);
  if (r <= REG_R15D) return 8 + (r - REG_R8D);
  if (r <= REG_R15W) return 8 + (r - REG_R8W);
  if (r <= REG_R15B) return 8 + (r - REG_R8B);
  switch (r) {
    case REG_SIL: return 6;
    case REG_DIL: return 7;
    case REG_BPL: return 5;
    case REG_SPL: return 4;
    default: return -1;
  }
}

// The prefix before a value, consumed. A "-" that is the sign of a number
// belongs to the number.
TExMode readPrefix() {
  TAFile& f = curFile();
  const char c = f.peekNextRealChar(true);
  if (c == '~' || c == '!') {
    f.setPosition(f.lastPeek());
    return exNot;
  }
  if (c == '-' && f.peekNextToken(false) == ttSymbol) {
    f.setPosition(f.lastPeek());
    return exNeg;
  }
  return exNone;
}

void applyPrefix(TExMode mode, TOperand& target) {
  if (mode == exNeg) emit("neg", &target);
  if (mode == exNot) emit("not", &target);
}

bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

// The next token is the keyword as: consumed. Only a name starting with "a"
// is read ahead, so most statements read no token twice.
bool nextIsAs() {
  TAFile& f = curFile();
  const char c = f.peekNextRealChar(true);
  if (c != 'a' && c != 'A') return false;
  if (f.peekNextToken(false) != ttIdent || Compiler->PeekToken()->F_Keyword != keyAs) return false;
  f.moveLastPeek();
  return true;
}

// True, with the token consumed into the current token, when the token
// just peeked names a function or procedure (a call); false with nothing
// consumed.
bool peekedIsCall(TVorToken peeked) {
  if (peeked != ttIdent) return false;
  switch (Compiler->PeekToken()->F_IdentType) {
    case itFunc:
    case itProc:
    case itFuncThis:
    case itProcThis: break;
    default: return false;
  }
  curFile().moveLastPeek();
  return true;
}

// text, A-Z folded, is lower (which is in lower case).
bool equalsFolded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (lowerChar(text[i]) != lower[i]) return false;
  return true;
}

bool isProcedureToken() { return cur().F_IdentType == itProc || cur().F_IdentType == itProcThis; }

// Compiles the call named by the current token; its result is left in the
// accumulator.
void compileCall() { handle_FUNCCALL(true, cur().F_IdentType == itFuncThis ? cur().F_Operand : nullptr); }

// The same for a result stored into memory at target, whose address the call
// may change.
void compileCall(TOperand& target) {
  compileCallStoredInto(target, cur().F_IdentType == itFuncThis ? cur().F_Operand : nullptr);
}

// The result of callee, just called, widened into reg when reg is wider than
// its result type; false when the accumulator of reg's size holds it as it is.
bool widenResult(const TFunction* callee, TRegister reg) {
  bool widened = false;
  emitResultWidening(
      callee, reg,
      [](const char* mnemonic, TOperand* a, TOperand* b) {
        emit(mnemonic, a, b);
        return uint32_t{0};
      },
      &widened);
  return widened;
}

// "target = call": the call's result in target, read at target's size.
void storeResult(const TFunction* callee, TOperand& target, TRegister acc) {
  if (target.hint == otRegister && widenResult(callee, target.reg_base)) return;
  if (target.hint != otRegister) widenResult(callee, acc);
  TOperand result;
  result.setRegister(false, acc);
  emit("mov", &target, &result);
}

// A flag loaded into a register: 1 when the flag's condition holds, else 0.
struct FlagLoad {
  uint8_t bit;
  const char* set;     // sets a byte when the flag is set
  const char* setNot;  // ... when it is clear
  const char* jClear;  // jumps when the flag is clear
  const char* jSet;    // ... when it is set
};
constexpr FlagLoad kFlagLoads[] = {
    {FLAG_CF, "setc", "setnc", "jnc", "jc"}, {FLAG_PF, "setp", "setnp", "jnp", "jp"},
    {FLAG_ZF, "sete", "setne", "jne", "je"}, {FLAG_SF, "sets", "setns", "jns", "js"},
    {FLAG_OF, "seto", "setno", "jno", "jo"},
};

void jumpTo(std::string_view mnemonic, const TFunction* label) {
  TOperand op;
  op.setLabel(false, Compiler->CurFunc(), label->FuncIndex);
  emit(mnemonic, &op);
}

// "reg = flag": the set instruction writes one byte. A wider target takes it
// from its own low byte when it has one the set instruction reaches without
// a REX prefix (AL..BL); SI, DI, BP, SP and R8..R15 have none (their numbers
// would name AH..BH, or the wrong register), so they are loaded by a jump
// over "mov 1", which leaves the flags as they are.
void loadFlag(TOperand& target, const TOperand& source, TExMode mode) {
  const auto bit = static_cast<uint8_t>(source.value);
  const FlagLoad* load = nullptr;
  for (const FlagLoad& l : kFlagLoads)
    if (l.bit == bit) load = &l;
  if (!load) fatal(msg::FlagNotSupported);
  const bool whenSet = mode != exNot;
  const char* set = whenSet ? load->set : load->setNot;
  bool high = false;
  const int file = registerFile(target.reg_base, high);
  if (target.size == 1) {
    emit(set, &target);
  } else if (file >= 0 && file <= 3) {
    TOperand low;
    low.setRegister(false, static_cast<TRegister>(REG_AL + file));
    emit(set, &low);
    emit(target.issigned ? "movsx" : "movzx", &target, &low);
  } else {
    TOperand zero, one;
    zero.setImm(false, 0, 1);
    one.setImm(false, 1, 1);
    TFunction* skip = newStatementLabel("#setflag");
    emit("mov", &target, &zero);
    jumpTo(whenSet ? load->jClear : load->jSet, skip);
    emit("mov", &target, &one);
    Compiler->placeLabel(skip);
  }
  if (mode == exNeg) emit("neg", &target);
}

// An operand of a "+"/"-" chain may not read the register being assigned:
// the chain has changed it by then.
void checkChainOperand(const TOperand& target, const TOperand& op) {
  if (target.hint != otRegister) return;
  const TRegister t = target.reg_base;
  if (op.hint == otRegister) {
    if (registersOverlap(t, op.reg_base)) fatal(msg::ChainReadsTargetRegister);
    return;
  }
  if (op.hint != otMem && op.hint != otMemRef) return;
  if (op.reg_count == 1 && registersOverlap(t, op.reg_base))
    fatal(msg::ChainReadsTargetBase);
  if (op.reg_count == 2 && (registersOverlap(t, op.reg_base) || registersOverlap(t, op.reg_index)))
    fatal(msg::ChainReadsTargetIndex);
}

// The function whose return value the next register statement loads, set
// by a return statement and taken by that statement alone (a macro in the
// value compiles register statements of its own).
const TFunction* pendingReturn = nullptr;

bool isMemoryValue(const TOperand& op) { return op.hint == otVar || op.hint == otMem; }

// A result wider than the accumulator that holds it (8 bytes outside 64-bit
// code) takes only what the accumulator holds; a value that would lose bits
// there is refused rather than cut.
void refuseCutResult(const TFunction* returning, const TOperand& target, const TOperand& value) {
  if (!returning || !returning->ReturnType || returning->ReturnType->size <= target.size) return;
  const bool cut = (isMemoryValue(value) && value.size > target.size) ||
                   (value.hint == otImm && !numberFits(value.value, target.size));
  if (!cut) return;
  const std::string_view text = Compiler->lastOperandText();
  fatal(msg::ReturnValueCut, text.empty() ? std::string_view("the value") : text, vorStrView(returning->Name),
        std::to_string(returning->ReturnType->size), regToStr(target.reg_base), std::to_string(target.size));
}

// A memory value wider than the register it is loaded into: its low part,
// as a variable takes a wider one, with the same warning.
void narrowToRegister(const TOperand& target, TOperand& value) {
  if (target.hint != otRegister || !isMemoryValue(value) || value.size <= target.size) return;
  value.size = target.size;
  Log->Warning(msg::Operand2Truncated);
}

// One value of a conditional value: an optional prefix and an operand,
// loaded into the target. A return keeps the sign of the result type.
void conditionalLoad(TOperand& target, bool fromExop, const TFunction* returning) {
  const TExMode mode = readPrefix();
  const OperandPtr value = Compiler->moveNextOperand(true, false);
  refuseCutResult(returning, target, *value);
  if (fromExop && !returning) target.issigned = value->issigned;
  narrowToRegister(target, *value);
  TCompiler::refuseOperandSize(value.get(), Compiler->lastOperandSpan());
  emit("mov", &target, value.get());
  applyPrefix(mode, target);
}

// reg = [if] ( condition ) [?] [value] [: value] ;
// The condition has its own and/or links: it goes on after its jump when it
// holds and to the second value when it fails, whatever block it stands in.
// The last look-ahead was the "(" (a character) or the keyword if (a token).
void conditionalValue(TOperand& target, bool fromExop, bool withIf, const TFunction* returning) {
  TAFile& f = curFile();
  if (withIf) {
    f.moveLastPeek();
    if (!Compiler->ExpectSymbol("(")) unexpected(unx::CondValueOpen);
  } else {
    f.setPosition(f.lastPeek());
  }
  TFunction* holds = newStatementLabel("ifcode");
  TFunction* otherwise = newStatementLabel("else");
  TFunction* done = newStatementLabel("exitif");
  // On the stack: the statement reads no nested statements, and a large heap
  // block per conditional value would cost more than the value's code.
  TCondContext cc(holds, otherwise);
  const TMathOp res = handle_IFEXPRESSION(cc, 0);
  handle_IFJUMP(true, res, otherwise);
  Compiler->placeLabel(holds);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::CondValueClose);
  if (f.peekNextRealChar(true) == '?') f.setPosition(f.lastPeek());
  if (f.peekNextRealChar(true) != ':') conditionalLoad(target, fromExop, returning);
  emitJumpTo(done);
  Compiler->placeLabel(otherwise);
  if (f.peekNextRealChar(true) != ';') {
    if (!Compiler->ExpectSymbol(":")) unexpected(unx::CondValueColon);
    if (f.peekNextRealChar(true) != ';') conditionalLoad(target, fromExop, returning);
  }
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::CondValueEnd);
  Compiler->placeLabel(done);
  updateLabelStack(cc);
}

// The right side of "reg = ..." (current token: the "=", or the statement's
// first token when the target came from exop).
void assignRegister(TOperand& target, bool fromExop, std::string_view targetText, const TFunction* returning) {
  AssignTarget guard(&target, targetText);
  TAFile& f = curFile();
  // Only a name is read ahead (the keyword if, or a function to call),
  // and a macro variable, which may hold a function.
  const char c = f.peekNextRealChar(true);
  TVorToken next = ttNone;
  if (isNameStart(c) || c == '$') next = f.peekNextToken(false);
  const bool withIf = next == ttIdent && Compiler->PeekToken()->F_Keyword == keyIf;
  if (withIf || c == '(') {
    conditionalValue(target, fromExop, withIf, returning);
    return;
  }
  // What the register is known to point to follows what it is loaded with.
  TRegState scratch;
  const bool isRegister = target.hint == otRegister;
  TRegState& state = isRegister ? RegMan->Registers[target.reg_base] : scratch;

  if (peekedIsCall(next)) {
    if (isProcedureToken()) fatal(msg::RegisterProcedureValue);
    const auto* callee = static_cast<const TFunction*>(cur().F_Pointer);
    state.assume = callee ? callee->ReturnType : nullptr;
    compileCall();
    const TRegister acc = accumulator(target.size);
    if (acc == REG_NONE) fatal(msg::RegisterCallUnknown);
    // The accumulator's register operand is unsigned.
    if (fromExop && !returning) target.issigned = false;
    storeResult(callee, target, acc);
  } else {
    const TExMode mode = readPrefix();
    OperandPtr source = Compiler->moveNextOperand(true, true);
    refuseCutResult(returning, target, *source);
    // A return widens by the sign of the result type, as a variable of
    // that type takes a narrower value.
    if (fromExop && !returning) target.issigned = source->issigned;
    narrowToRegister(target, *source);
    TCompiler::refuseOperandSize(source.get(), Compiler->lastOperandSpan());
    if (source->hint == otFlag) {
      loadFlag(target, *source, mode);
    } else {
      const bool variable = (source->hint == otVar || source->hint == otVarRef) && source->data;
      state.assume = variable ? static_cast<TVar*>(source->data)->type_ : nullptr;
      if (target.hint == otRegister && source->hint == otImm && source->value == 0)
        emit("xor", &target, &target);
      else
        emit("mov", &target, source.get());
      applyPrefix(mode, target);
    }
    for (;;) {
      const TMathOp op = f.moveNextIfInMathOp(target.issigned, {moAdd, moSub});
      if (op == moNone) break;
      source = Compiler->moveNextOperand(true, true);
      refuseCutResult(returning, target, *source);
      TCompiler::refuseOperandSize(source.get(), Compiler->lastOperandSpan());
      checkChainOperand(target, *source);
      emit(op == moAdd ? "add" : "sub", &target, source.get());
    }
  }
  if (isRegister && nextIsAs()) handle_regAs(target.reg_base);
}

// An operator that a statement has no instruction for.
[[noreturn]] void invalidOperator(TMathOp op) {
  fatal(msg::InvalidMathOperator, mo2str(op));
}

}  // namespace

bool registersOverlap(TRegister a, TRegister b) {
  bool highA = false, highB = false;
  const int fa = registerFile(a, highA);
  const int fb = registerFile(b, highB);
  if (fa < 0 || fa != fb) return false;
  // AL and AH are the two separate bytes; any wider form holds both.
  if (highA != highB && regSize(a) == 1 && regSize(b) == 1) return false;
  return true;
}

// register operator [value] ;   |   register as TYPE ;
void handle_REGISTER(TOperand* exop) {
  const OperandPtr owned(exop);
  const TFunction* returning = exop ? pendingReturn : nullptr;
  pendingReturn = nullptr;
  const bool fromExop = exop != nullptr;
  TOperand local;
  TOperand* target = fromExop ? exop : &local;
  // Register names are static texts: nothing is copied per statement.
  std::string_view targetText;
  TMathOp op = moAssign;
  if (!fromExop) {
    const TCurrentToken& tk = cur();
    target->setRegister(tk.getSigned(), tk.F_Register);
    targetText = regToStr(tk.F_Register);
    if (nextIsAs()) {
      handle_regAs(target->reg_base);
      return;
    }
    op = curFile().moveNextIfMathOp(false);
    if (op == moNone) {
      if (curFile().peekNextRealChar(true) != ';') fatal(msg::RegisterExpectedOperator);
      return;
    }
  } else if (target->hint == otRegister) {
    targetText = regToStr(target->reg_base);
  }

  const char* mnemonic = nullptr;
  bool readsValue = true;
  bool labelRef = true;
  switch (op) {
    case moAssign: return assignRegister(*target, fromExop, targetText, returning);
    case moIsEqual:
    case moNotEqual:
      mnemonic = "cmp";
      labelRef = false;
      break;
    case moAddBy: mnemonic = "add"; break;
    case moSubBy: mnemonic = "sub"; break;
    case moMulByU:
    case moMulByS:
      // Two-operand imul: the low half of a product is the same signed or
      // unsigned. There is no such form for a byte register.
      if (target->size == 1) invalidOperator(op);
      mnemonic = "imul";
      break;
    case moInc:
      mnemonic = "inc";
      readsValue = false;
      break;
    case moDec:
      mnemonic = "dec";
      readsValue = false;
      break;
    case moShiftLeft: mnemonic = target->issigned ? "sal" : "shl"; break;
    case moShiftRight: mnemonic = target->issigned ? "sar" : "shr"; break;
    case moAndEqual: mnemonic = "and"; break;
    case moOrEqual: mnemonic = "or"; break;
    case moXorEqual: mnemonic = "xor"; break;
    default: invalidOperator(op);
  }
  if (!readsValue) return emit(mnemonic, target);
  const OperandPtr source = Compiler->moveNextOperand(true, labelRef);
  TCompiler::refuseOperandSize(source.get(), Compiler->lastOperandSpan());
  emit(mnemonic, target, source.get());
}

void handle_RETURNVALUE(TOperand* acc, const TFunction* fn) {
  pendingReturn = fn;
  handle_REGISTER(acc);
}

// register as TYPE ;   |   register as 0 ;   (after "as")
void handle_regAs(TRegister reg) {
  const TVorToken t = Compiler->ExpectToken({ttIdent, ttNumber});
  if (t == ttNone) unexpected(unx::RegAsType);
  const TCurrentToken& tk = cur();
  TVarType* type = nullptr;
  if (t == ttIdent) {
    if (tk.F_IdentType != itType) unexpected(unx::RegAsNotType);
    type = static_cast<TVarType*>(tk.F_Pointer);
  } else if (tk.F_Integer != 0) {
    unexpected(unx::RegAsNonZero);
  }
  if (reg < REG_NONE) RegMan->Registers[reg].assume = type;
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::RegAsEnd);
}

// segment = operand ;
void handle_SEGMENT() {
  const TCurrentToken& tk = cur();
  TOperand target;
  target.setSegment(tk.getSigned(), tk.F_Segment);
  AssignTarget guard(&target, tk.F_String);
  if (!Compiler->ExpectSymbol("=")) unexpected(unx::SegmentAssign);
  const OperandPtr source = Compiler->moveNextOperand(true, false);
  emit("mov", &target, source.get());
}

namespace {

// A memory token's text as written for a message: "[ebx+8]", without the
// size the token's own text puts in front of it ("(4) [ebx+8]").
std::string_view bracketText(std::string_view text) {
  if (!text.empty() && text.front() == '(') {
    const size_t close = text.find(") ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return text;
}

}  // namespace

// [ memory ] operator [value] ;
void handle_BASEEXP() {
  // The operand parser's reading of the same token: a size written before
  // the bracket stays, a bare bracket on a variable is pointer-sized.
  TOperand target;
  Compiler->bracketFromToken(target);
  const TCurrentToken& tk = cur();
  // Set before the operator overwrites the token's text; it stays only for "=".
  AssignTarget guard(&target, tk.F_String);

  const TMathOp op = curFile().moveNextIfMathOp(false);
  const char* mnemonic = nullptr;
  // Only a move takes an operand of a size the mode has no operand of
  // (8 bytes outside 64-bit code, through the stack).
  if (op != moNone && op != moAssign) TCompiler::refuseOperandSize(&target, bracketText(assignOperandText));
  switch (op) {
    case moNone:
      if (curFile().peekNextRealChar(true) != ';') fatal(msg::MemoryExpectedOperator);
      return;
    case moAssign: {
      if (peekedIsCall(curFile().peekNextToken(false))) {
        if (isProcedureToken()) fatal(msg::MemoryProcedureValue);
        const auto* callee = static_cast<const TFunction*>(cur().F_Pointer);
        compileCall(target);
        // The accumulator of the slot's size; a slot of no known size takes
        // the pointer-sized one.
        TRegister acc = accumulator(target.size);
        if (acc == REG_NONE) acc = accumulator(static_cast<uint32_t>(ptrSize));
        storeResult(callee, target, acc);
        return;
      }
      // A conditional value and a prefix need a register to work in.
      const std::string_view name = bracketText(assignOperandText);
      const char c = curFile().peekNextRealChar(true);
      if (c == '(' || (isNameStart(c) && curFile().peekNextToken(false) == ttIdent &&
                       Compiler->PeekToken()->F_Keyword == keyIf))
        fatal(msg::CondValueIntoMemory, name);
      refuseValuePrefix(name);
      // A narrower value widens and a wider one gives its low part, as
      // into a variable.
      const OperandPtr value = Compiler->moveNextOperand(true, false);
      const uint32_t rc = assignToMemory(&target, value.get());
      if (rc != ASSEMBLE_OK) {
        TCompiler::refuseOperandSize(value.get(), Compiler->lastOperandSpan());
        TCompiler::refuseOperandSize(&target, name);
        fatal(msg::InstructionEncode, TVorAssembler::errorCodeToString(rc));
      }
      return;
    }
    case moIsEqual:
    case moNotEqual: mnemonic = "cmp"; break;
    case moAddBy: mnemonic = "add"; break;
    case moSubBy: mnemonic = "sub"; break;
    // Increments read no value: "[esp]++;" is complete as it stands.
    case moInc: return emit("inc", &target);
    case moDec: return emit("dec", &target);
    case moShiftLeft: mnemonic = "shl"; break;
    case moShiftRight: mnemonic = "shr"; break;
    default: invalidOperator(op);
  }
  assignOperand = nullptr;
  assignOperandText.clear();
  const OperandPtr value = Compiler->moveNextOperand(true, false);
  TCompiler::refuseOperandSize(value.get(), Compiler->lastOperandSpan());
  emit(mnemonic, &target, value.get());
}

// uses entry { [,] entry } ;   where an entry is a register or "flags"
namespace {

// A body that saves the caller's flags must reach its pushf with them
// unchanged: its locals room is marked for the builder to reserve it without
// touching them (lea instead of sub).
void keepFlagsInRoom(const TFunction* fn) {
  if (!fn || CompileFlags.peek_mode) return;
  for (TFixup* fx : fixupList(fn))
    if (fx->hint == ftLocals) fx->offset = lfKeepFlags;
}

// The epilogue pops the uses list before every return, so a register that
// holds the function's result gets the caller's value back over it.
void warnUsesResult(TRegister reg) {
  const TFunction* fn = Compiler->CurFunc();
  if (!fn || !fn->ReturnType || CompileFlags.peek_mode) return;
  const TRegister result = resultRegister(fn);
  if (result == REG_NONE || !registersOverlap(reg, result)) return;
  Log->Warning(msg::UsesResultRegister, regToStr(reg), vorStrView(fn->Name), regToStr(result));
}

}  // namespace

void handle_USES() {
  TAFile& f = curFile();
  for (;;) {
    const TVorToken t = Compiler->ExpectToken({ttIdent, ttRegister});
    if (t == ttNone) unexpected(unx::UsesItem);
    const TCurrentToken& tk = cur();
    if (t == ttIdent) {
      if (!equalsFolded(tk.F_String, "flags")) unexpected(unx::UsesName);
      // The flags word of the mode: the epilogue pops it with the same width.
      keepFlagsInRoom(Compiler->CurFunc());
      emit(CompileFlags.cpu_bits == 64 ? "pushfq" : "pushfd");
      usesList(Compiler->CurFunc()).emplace_back("flags");
    } else {
      warnUsesResult(tk.F_Register);
      TOperand reg;
      reg.setRegister(tk.getSigned(), tk.F_Register);
      emit("push", &reg);
      // The register's own name: the epilogue finds it again by that name.
      usesList(Compiler->CurFunc()).emplace_back(regToStr(tk.F_Register));
    }
    const char next = f.peekNextRealChar(true);
    if (next == ',' || next == ';') f.setPosition(f.lastPeek());
    if (next == ';') return;
  }
}

}  // namespace vorak
