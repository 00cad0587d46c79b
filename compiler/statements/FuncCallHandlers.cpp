// Calls of functions and procedures.
#include "compiler/statements/FuncCallHandlers.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/StatementLoop.h"
#include "compiler/statements/VarHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/TokenSymbols.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// A function's name as the source writes it: a method's record is named
// Type$method, written Type.method.
std::string nameOf(const TFunction* f) {
  std::string name(vorStrView(f->Name));
  const size_t dollar = name.find('$');
  if (dollar != std::string::npos) name[dollar] = '.';
  return name;
}

// One argument: an operand, or a call whose result is the argument.
struct TArg {
  std::unique_ptr<TOperand> op;
  std::string text;    // as written, for messages; empty when not one line of the source
  uint32_t depth = 0;  // the stack depth the operand was read at
  TFunction* callee = nullptr;
  std::unique_ptr<TOperand> thisOp;
  std::vector<TArg> args;
};

bool isFunctionIdent(TIdentType it) { return it == itFunc || it == itProc || it == itFuncThis || it == itProcThis; }

// A copy of the object operand of a method call: the token that owns it is
// overwritten by the next token read.
std::unique_ptr<TOperand> copyOperand(const TOperand* op) {
  return op ? std::make_unique<TOperand>(*op) : nullptr;
}

// A method declared in its record block is called once its body has begun
// (its own body may call it).
void refuseWithoutBody(const TFunction* f) {
  if (!f->DeclareOnly || Compiler->bodyFrame(f)) return;
  fatal(msg::MethodWithoutBody, nameOf(f));
}

uint32_t depthNow() { return Compiler->CurFunc() ? Compiler->CurFunc()->LocalOffset : 0; }

void readArgs(std::vector<TArg>& out);

// Calls written inside each other's argument lists, read and compiled
// recursively: a bound, not the end of the stack, stops a deeper text.
constexpr uint32_t kMaxCallNesting = 500;
uint32_t callNesting = 0;
struct NestingGuard {
  NestingGuard() {
    if (callNesting >= kMaxCallNesting)
      fatal(msg::CallsTooDeep, std::to_string(kMaxCallNesting));
    ++callNesting;
  }
  ~NestingGuard() { --callNesting; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
};

// An inner call read as an argument: the current token names the function.
TArg readInnerCall() {
  NestingGuard nesting;
  TArg a;
  a.callee = static_cast<TFunction*>(cur().F_Pointer);
  if (!a.callee) unexpected(unx::NameWithoutRecord);
  const TIdentType it = cur().F_IdentType;
  if (it == itProc || it == itProcThis) fatal(msg::InnerCallProcedure, nameOf(a.callee));
  refuseWithoutBody(a.callee);
  if (it == itFuncThis) a.thisOp = copyOperand(cur().F_Operand);
  a.depth = depthNow();
  readArgs(a.args);
  const uint32_t count = static_cast<uint32_t>(a.args.size()) + (a.thisOp ? 1 : 0);
  if (count > a.callee->ParamCount && !(a.callee->bMinParams && a.callee->CallConvention == ccCDecl))
    fatal(msg::InnerCallTooManyArgs);
  if (count < a.callee->ParamCount) fatal(msg::InnerCallTooFewArgs);
  return a;
}

// The argument list after a function's name: "(" arguments ")", or nothing.
void readArgs(std::vector<TArg>& out) {
  TAFile& f = curFile();
  if (f.peekNextRealChar(true) != '(') return;
  f.setPosition(f.lastPeek());
  if (f.peekNextRealChar(true) == ')') {
    f.setPosition(f.lastPeek());
    return;
  }
  for (;;) {
    if (f.peekNextToken(false) == ttIdent && isFunctionIdent(Compiler->PeekToken()->F_IdentType)) {
      f.moveLastPeek();
      out.push_back(readInnerCall());
    } else {
      TArg a;
      a.depth = depthNow();
      a.op = Compiler->moveNextOperand(true, false);
      a.text = Compiler->lastOperandText();
      out.push_back(std::move(a));
    }
    const char c = f.moveNextChar(true, false);
    if (c == ')') return;
    if (c != ',') {
      setCharToken(c);
      unexpected(unx::ArgSeparator);
    }
  }
}

bool isStackPointer(TRegister r) { return r == REG_SP || r == REG_ESP || r == REG_RSP; }

// An operand read before pushes that the call made since: a slot addressed
// from the stack pointer moves up by them. The depths count modulo 2^32;
// their difference is the signed distance, and a displacement it pushes
// past what the mode's field holds is the encoder's to refuse.
void followStack(TOperand& op, uint32_t depth) {
  if (op.hint == otRegister || op.hint == otImm) return;
  if (isStackPointer(op.reg_base)) op.displacement += static_cast<int32_t>(depthNow() - depth);
}

// The x86 number (0-15) of the register family r belongs to.
uint32_t familyOf(TRegister r) {
  if (r >= REG_AH && r <= REG_BH) return r - REG_AH;  // the high bytes of A..B
  if (r >= REG_R8D && r <= REG_R15D) return 8 + (r - REG_R8D);
  if (r >= REG_R8W && r <= REG_R15W) return 8 + (r - REG_R8W);
  if (r >= REG_R8B && r <= REG_R15B) return 8 + (r - REG_R8B);
  if (r >= REG_SIL && r <= REG_SPL) {
    static constexpr uint32_t kLow[4] = {6, 7, 5, 4};  // SIL, DIL, BPL, SPL
    return kLow[r - REG_SIL];
  }
  return regID(r) & 15;
}

// The register families an operand reads, as a bit mask.
uint32_t readsMask(const TOperand& op) {
  uint32_t m = 0;
  auto add = [&](TRegister r) {
    if (r != REG_NONE) m |= 1u << familyOf(r);
  };
  if (op.hint == otImm) return 0;
  add(op.reg_base);
  if (op.hint != otRegister) add(op.reg_index);
  return m;
}

// Registers that a call leaves changed: the result and the scratch registers.
uint32_t clobberedByCall() {
  uint32_t m = (1u << 0) | (1u << 1) | (1u << 2);  // A, C, D
  if (CompileFlags.cpu_bits == 64) m |= (1u << 8) | (1u << 9) | (1u << 10) | (1u << 11);
  return m;
}

std::string regName(uint32_t bit) {
  return std::string(regToStr(regScale(static_cast<TRegister>(REG_RAX + bit), static_cast<uint8_t>(ptrSize))));
}

// The lowest register of mask, as a bit number.
uint32_t firstBit(uint32_t mask) {
  uint32_t b = 0;
  while (!(mask & (1u << b))) ++b;
  return b;
}

// Encodes the instruction into fn; a refusal stops the compile with the
// message failure, whose %0 (when it has one) takes the encoder's text.
void emitOrFail(TFunction* fn, std::string_view mnemonic, TOperand* a, TOperand* b, msg::Id failure) {
  const uint32_t rc = Compiler->encodeInto(fn, opcodeLookup(mnemonic), a, b, nullptr, CompileFlags.optimise);
  if (rc != ASSEMBLE_OK) fatal(failure, TVorAssembler::errorCodeToString(rc));
  appendCode(fn, Compiler->Assembler_().popCode());
}

class TCallCompiler {
 public:
  TCallCompiler(TFunction* callee, std::vector<TArg>& args, std::unique_ptr<TOperand> thisOp, uint32_t thisDepth)
      : F(callee), args_(args), this_(std::move(thisOp)), thisDepth_(thisDepth), fn_(Compiler->CurFunc()) {}

  void compile(bool outer);

 private:
  void fillDefaults(bool outer);
  uint32_t slotOf(size_t i) const;
  void checkReads(uint32_t reads, size_t i);
  void checkReads(const TOperand& op, size_t i) { checkReads(readsMask(op), i); }
  const TFunction* compileInnerCall(size_t i);
  void widenResult(const TFunction* callee, TRegister reg, msg::Id failure);
  TOperand& followedArg(size_t i);
  uint32_t readsOf(size_t i);
  void clobber(uint32_t mask, size_t i);
  TRegister stagingRegister(size_t i, bool low32, const std::vector<bool>& done);
  TRegister unreadRegister(size_t i, const TRegister* regs, size_t count, const std::vector<bool>* done);
  TRegister addressRegister(size_t i);
  void checkNumbers();
  std::string widenHint(const TOperand& op, size_t i) const;
  std::string textOf(size_t i) const;
  void checkRegisterSized(const TOperand& op, size_t i);
  void pushArg(size_t i);
  void pushOperand(TOperand& op, size_t i, msg::Id failure);
  void compileStack();
  void compileMSX64();
  uint32_t reserveRoom();
  void releaseRoom(uint32_t reserve);
  TOperand roomSlot(size_t i, uint32_t size) const;
  void storeSlotArg(size_t i);
  void loadRegisterArgs();
  uint32_t alignmentPad(uint32_t base) const;
  void emitTarget();
  TOperand* argOp(size_t i);

  TFunction* F;
  std::vector<TArg>& args_;
  std::unique_ptr<TOperand> this_;
  uint32_t thisDepth_;
  TFunction* fn_;
  // All arguments, "this" first: an index into args_ or -1 for "this".
  std::vector<long> order_;
  std::vector<std::unique_ptr<TOperand>> defaults_;
  // Registers changed since by what was already compiled for this call,
  // and, by register number, the argument that changed each last.
  uint32_t clobbered_ = 0;
  size_t clobberedBy_[16] = {};
  // msx64: the stack depth with the room reserved, and the arguments that
  // wait in their slots for their register.
  uint32_t roomBase_ = 0;
  std::vector<bool> fromSlot_;
};

TOperand* TCallCompiler::argOp(size_t i) {
  const long k = order_[i];
  if (k < 0) return this_.get();
  if (static_cast<size_t>(k) >= args_.size()) return defaults_[static_cast<size_t>(k) - args_.size()].get();
  return args_[static_cast<size_t>(k)].op.get();
}

void TCallCompiler::fillDefaults(bool outer) {
  const uint32_t given = static_cast<uint32_t>(args_.size()) + (this_ ? 1 : 0);
  const bool uncounted = F->CallConvention == ccCDecl && F->bMinParams;
  if (outer && given > F->ParamCount && !uncounted) fatal(msg::CallTooManyArgs);
  const msg::Id missing = uncounted ? msg::CallTooFewArgsUncounted : msg::CallTooFewArgs;
  if (this_) order_.push_back(-1);
  for (size_t k = 0; k < args_.size(); ++k) order_.push_back(static_cast<long>(k));
  // The defaults of the parameters not given, each a copy of its own whose
  // fixup goes into the calling function.
  for (uint32_t i = given; i < F->ParamCount; ++i) {
    const TOperand* def = i < vorArrCount(F->DefaultParams) ? F->DefaultParams[i] : nullptr;
    if (!def) fatal(missing);
    auto copy = std::make_unique<TOperand>(*def);
    if (copy->ptr) copy->ptr = fn_;
    if (copy->hint == otLabel || copy->hint == otLabelRef)
      setCalled(FuncMan->getFunc(static_cast<uint32_t>(copy->value)), fn_);
    order_.push_back(static_cast<long>(args_.size() + defaults_.size()));
    defaults_.push_back(std::move(copy));
  }
}

// The stack bytes of parameter i; 0 for an uncounted argument.
uint32_t TCallCompiler::slotOf(size_t i) const {
  if (i >= F->ParamCount) return 0;
  const TVarType* t = F->Params[i].type_;
  return alignSize(t ? t->size : static_cast<uint32_t>(ptrSize), static_cast<uint32_t>(ptrSize));
}

// An argument must not read a register that what was compiled for this call
// before it has changed.
void TCallCompiler::checkReads(uint32_t reads, size_t i) {
  const uint32_t hit = reads & clobbered_;
  if (!hit) return;
  const uint32_t reg = firstBit(hit);
  fatal(msg::ArgReadsChanged, std::to_string(i + 1), nameOf(F), regName(reg), std::to_string(clobberedBy_[reg] + 1));
}

void TCallCompiler::clobber(uint32_t mask, size_t i) {
  clobbered_ |= mask;
  for (uint32_t b = 0; b < 16; ++b)
    if (mask & (1u << b)) clobberedBy_[b] = i;
}

// The registers an argument reads; for a call written as an argument, those
// its own arguments read, at every depth.
uint32_t readsOfCall(const TArg& a) {
  if (!a.callee) return a.op ? readsMask(*a.op) : 0;
  uint32_t m = a.thisOp ? readsMask(*a.thisOp) : 0;
  for (const TArg& x : a.args) m |= readsOfCall(x);
  return m;
}

uint32_t TCallCompiler::readsOf(size_t i) {
  const long k = order_[i];
  if (k >= 0 && static_cast<size_t>(k) < args_.size() && args_[static_cast<size_t>(k)].callee)
    return readsOfCall(args_[static_cast<size_t>(k)]);
  const TOperand* op = argOp(i);
  return op ? readsMask(*op) : 0;
}

// Argument i as written; empty for "this", a default, and an argument that
// is not one run of the source (a macro's text).
std::string TCallCompiler::textOf(size_t i) const {
  const long k = order_[i];
  return k >= 0 && static_cast<size_t>(k) < args_.size() ? args_[static_cast<size_t>(k)].text : std::string();
}

// The instructions that make argument i, narrower than a stack word, one
// that push takes: "movzx eax, bv and pass eax".
std::string TCallCompiler::widenHint(const TOperand& op, size_t i) const {
  std::string what = textOf(i);
  if (what.empty()) what = op.hint == otRegister ? std::string(regToStr(op.reg_base)) : "the operand";
  const TRegister word = accumulator(static_cast<uint32_t>(ptrSize));
  const std::string pass = std::string(" and pass ") + std::string(regToStr(word));
  // A 32-bit load clears the upper half of the 64-bit register.
  if (op.size == 4) return "mov eax, " + what + pass;
  return std::string(op.issigned ? "movsx " : "movzx ") + std::string(regToStr(word)) + ", " + what + pass;
}

// A number for a parameter of an integer type that it does not fit is
// warned about, and passed as what the callee reads: its low bytes, taken by
// the type's sign.
void TCallCompiler::checkNumbers() {
  if (CompileFlags.imm_roll) return;
  const size_t n = order_.size() < F->ParamCount ? order_.size() : F->ParamCount;
  for (size_t i = 0; i < n; ++i) {
    TOperand* op = argOp(i);
    const TVarType* t = F->Params[i].type_;
    if (!op || op->hint != otImm || !t || t->vt != dtInteger || t->fieldcount != 0) continue;
    // -5 and 200 fit a byte parameter, 300 does not.
    if (t->size == 0 || numberFits(op->value, t->size)) continue;
    const uint32_t bits = 8 * t->size;
    std::string number = textOf(i);
    if (number.empty()) number = std::to_string(op->value);
    Log->Warning(msg::ArgNumberCut, std::to_string(i + 1), nameOf(F), number,
                 vorStrView(t->name), std::to_string(bits));
    const uint64_t low = static_cast<uint64_t>(op->value) & ((uint64_t{1} << bits) - 1);
    const bool negative = typeSigned(t) && (low >> (bits - 1)) != 0;
    op->value = static_cast<int64_t>(negative ? low | ~((uint64_t{1} << bits) - 1) : low);
  }
}

void TCallCompiler::pushOperand(TOperand& op, size_t i, msg::Id failure) {
  const auto word = static_cast<uint32_t>(ptrSize);
  const uint32_t slot = slotOf(i);
  const uint32_t before = fn_->LocalOffset;
  if (op.hint == otImm && slot > word) {
    // A number for a wide parameter: its words from the top down.
    const auto v = static_cast<uint64_t>(op.value);
    for (uint32_t k = slot / word; k-- > 0;) {
      TOperand w;
      const uint64_t part = k * word * 8 < 64 ? v >> (k * word * 8) : 0;
      w.setImm(false, static_cast<uint32_t>(word == 2 ? part & 0xFFFF : part & 0xFFFFFFFF), word == 8 ? 4 : word);
      emitOrFail(fn_, "push", &w, nullptr, failure);
    }
  } else if (op.hint == otMemRef && ptrSize != 2 && TVorAssembler::addressPushUsesAccumulator(op)) {
    // push would build the address in the accumulator, which an argument
    // pushed after it may read: built here in a register none of them reads.
    TOperand via;
    via.setRegister(false, addressRegister(i));
    emitOrFail(fn_, "mov", &via, &op, failure);
    emitOrFail(fn_, "push", &via, nullptr, failure);
    clobber(1u << familyOf(via.reg_base), i);
  } else {
    // push takes a 32-bit immediate, sign-extended to a 64-bit stack word:
    // enough for a parameter of 4 bytes or less, not for a wider one.
    const TVarType* type = i < F->ParamCount ? F->Params[i].type_ : nullptr;
    const bool narrow = type && type->size <= 4;
    if (op.hint == otImm && word == 8 &&
        (op.value < INT32_MIN || op.value > (narrow ? int64_t{UINT32_MAX} : int64_t{INT32_MAX})))
      fatal(msg::ArgNumberNotPushable, std::to_string(i + 1), nameOf(F));
    // The low 4 bytes are what a narrow parameter reads: pushed sign-extended.
    if (op.hint == otImm && word == 8 && op.value > INT32_MAX)
      op.value = static_cast<int32_t>(static_cast<uint32_t>(op.value));
    const bool memory = op.hint == otVar || op.hint == otMem;
    // A memory operand written with no size is one stack word, as push reads it.
    if (op.hint == otMem && op.size == 0) op.size = word;
    if (memory && op.size < word)
      fatal(msg::ArgMemoryNotPushable, std::to_string(i + 1), nameOf(F), std::to_string(op.size),
            std::to_string(CompileFlags.cpu_bits), std::to_string(word), widenHint(op, i));
    if (op.hint == otRegister && op.size < word)
      fatal(msg::ArgNarrowRegister, std::to_string(i + 1), nameOf(F), std::to_string(op.size), regToStr(op.reg_base),
            std::to_string(CompileFlags.cpu_bits), std::to_string(word), widenHint(op, i));
    // A record (or a real10) of part words: a variable is pushed whole words
    // only; a memory block zero-extends its top bytes into one more word,
    // which 16-bit code cannot do for an odd byte.
    if (memory && word == 2 && op.size % 2 != 0)
      fatal(msg::ArgOddBytes, std::to_string(i + 1), nameOf(F), std::to_string(op.size));
    if (op.hint == otVar && op.size % word != 0)
      fatal(msg::ArgVariableUneven, std::to_string(i + 1), nameOf(F), std::to_string(op.size));
    emitOrFail(fn_, "push", &op, nullptr, failure);
  }
  const uint32_t pushed = fn_->LocalOffset - before;
  if (slot && pushed != slot)
    fatal(msg::ParamSizeMismatch, std::to_string(i + 1), nameOf(F), std::to_string(slot), std::to_string(pushed));
}

// Argument i when it is a call of its own: compiled here, its result left in
// the accumulator, and the callee returned. Nullptr for any other argument.
const TFunction* TCallCompiler::compileInnerCall(size_t i) {
  const long k = order_[i];
  if (k < 0 || static_cast<size_t>(k) >= args_.size() || !args_[static_cast<size_t>(k)].callee) return nullptr;
  TArg& a = args_[static_cast<size_t>(k)];
  // Its arguments are read after what this call compiled before it.
  checkReads(readsOfCall(a), i);
  TCallCompiler inner(a.callee, a.args, std::move(a.thisOp), a.depth);
  inner.compile(false);
  return a.callee;
}

// The result of callee, just called, made whole in reg before it is passed on.
void TCallCompiler::widenResult(const TFunction* callee, TRegister reg, msg::Id failure) {
  emitResultWidening(callee, reg, [&](const char* mnemonic, TOperand* a, TOperand* b) {
    emitOrFail(fn_, mnemonic, a, b, failure);
    return uint32_t{0};
  });
}

// The operand of argument i, moved by what this call has pushed since it was
// read, and checked against the registers changed since.
TOperand& TCallCompiler::followedArg(size_t i) {
  const long k = order_[i];
  TOperand* op = argOp(i);
  if (k < 0) {
    followStack(*op, thisDepth_);
  } else if (static_cast<size_t>(k) < args_.size()) {
    followStack(*op, args_[static_cast<size_t>(k)].depth);
  }
  checkReads(*op, i);
  return *op;
}

void TCallCompiler::pushArg(size_t i) {
  const bool frame = Compiler->usesFrame(fn_);
  const msg::Id failure = frame ? msg::ArgOperandInvalid : msg::ArgOperandInvalidNoFrame;
  if (const TFunction* inner = compileInnerCall(i)) {
    const TRegister word = accumulator(static_cast<uint32_t>(ptrSize));
    widenResult(inner, word, failure);
    TOperand acc;
    acc.setRegister(false, word);
    pushOperand(acc, i, failure);
    clobber(clobberedByCall(), i);
    return;
  }
  pushOperand(followedArg(i), i, order_[i] < 0 ? msg::ThisOperandInvalid : failure);
}

void TCallCompiler::emitTarget() {
  TOperand target;
  if (!F->CallData) {
    target.setLabel(false, fn_, F->FuncIndex);
  } else if (F->CallData->mode == vmGlobal) {
    target.setPointer(false, otVar, fn_, F->CallData, 0);
    target.method = F;
  } else {
    Compiler->stackSlot(target, false, F->CallData, 0, static_cast<uint32_t>(ptrSize), F);
    target.method = F;
  }
  emitOrFail(fn_, "call", &target, nullptr, msg::CallTargetEncode);
}

void TCallCompiler::compileStack() {
  const uint32_t before = fn_->LocalOffset;
  for (size_t i = order_.size(); i-- > 0;) pushArg(i);
  const uint32_t pushed = fn_->LocalOffset - before;
  emitTarget();
  if (F->CallConvention == ccCDecl && pushed) {
    TOperand sp, imm;
    sp.setRegister(false, regScale(REG_ESP, static_cast<uint8_t>(ptrSize)));
    imm.setImm(false, pushed, ptrSize == 8 ? 4 : static_cast<uint32_t>(ptrSize));
    emitOrFail(fn_, "add", &sp, &imm, msg::CdeclCleanupEncode);
    fn_->LocalOffset -= pushed;
  } else if (F->CallConvention == ccStdcall && pushed != F->ParamSize) {
    // The callee removes ParamSize; the depth follows what was pushed.
    fn_->LocalOffset += F->ParamSize - pushed;
  }
}

// An operand that a move reads whole into a 64-bit register: numbers,
// addresses, and registers and memory of 8 bytes or of no size.
bool readsWhole(const TOperand& op) {
  return op.hint == otImm || op.hint == otVarRef || op.hint == otMemRef || op.hint == otLabel ||
         op.hint == otLabelRef || op.hint == otConst || op.size >= 8 || op.size == 0;
}

bool isHighByte(const TOperand& op) {
  return op.hint == otRegister && op.reg_base >= REG_AH && op.reg_base <= REG_BH;
}

// A 4-byte value goes through the register's 32-bit name, which only the
// registers A to DI have here; AH to BH cannot stand beside a 64-bit one.
bool needsLow32(const TOperand& op) { return !readsWhole(op) && (op.size == 4 || isHighByte(op)); }

// Loads a 64-bit register from an operand: a value of 1, 2 or 4 bytes is
// extended to the 64 bits by its type, with its sign when it is signed.
// What needsLow32 names takes a register of A to DI.
void loadRegister(TFunction* fn, TRegister reg, TOperand& op, msg::Id failure) {
  TOperand dst;
  if (readsWhole(op)) {
    dst.setRegister(false, reg);
    emitOrFail(fn, "mov", &dst, &op, failure);
  } else if (!needsLow32(op)) {
    dst.setRegister(op.issigned, reg);
    emitOrFail(fn, op.issigned ? "movsx" : "movzx", &dst, &op, failure);
  } else {
    dst.setRegister(op.issigned, regScale(reg, 4));  // a 32-bit write clears the high half
    emitOrFail(fn, op.size == 4 ? "mov" : op.issigned ? "movsx" : "movzx", &dst, &op, failure);
    if (op.issigned) {
      // No movsxd here: the sign bit of the low half across the high half.
      TOperand wide, bits;
      wide.setRegister(false, reg);
      bits.setImm(false, 32, 1);
      emitOrFail(fn, "shl", &wide, &bits, failure);
      emitOrFail(fn, "sar", &wide, &bits, failure);
    }
  }
}

// A scratch register for argument i: one that none of the arguments
// compiled after it reads (done marks those compiled already), of A to DI
// when low32 is set. When they read every one, the first of them that reads
// the first choice is named.
TRegister TCallCompiler::stagingRegister(size_t i, bool low32, const std::vector<bool>& done) {
  static constexpr TRegister kAny[] = {REG_R11, REG_R10, REG_RAX, REG_R9, REG_R8, REG_RDX, REG_RCX};
  static constexpr TRegister kLow[] = {REG_RAX, REG_RDX, REG_RCX};
  return low32 ? unreadRegister(i, kLow, std::size(kLow), &done) : unreadRegister(i, kAny, std::size(kAny), &done);
}

// The first of regs that none of the arguments compiled after argument i
// reads (done, when given, marks those compiled already). When they read
// every one, the first of them that reads the first choice is named.
TRegister TCallCompiler::unreadRegister(size_t i, const TRegister* regs, size_t count, const std::vector<bool>* done) {
  auto pending = [&](size_t j) { return !done || !(*done)[j]; };
  uint32_t later = 0;
  for (size_t j = 0; j < i; ++j)
    if (pending(j)) later |= readsOf(j);
  for (size_t k = 0; k < count; ++k)
    if (!(later & (1u << familyOf(regs[k])))) return regs[k];
  const uint32_t first = familyOf(regs[0]);
  for (size_t j = i; j-- > 0;)
    if (pending(j) && (readsOf(j) & (1u << first)))
      fatal(msg::ArgReadsChanged, std::to_string(j + 1), nameOf(F), regName(first), std::to_string(i + 1));
  return regs[0];
}

// The register in which argument i, an address that push computes with lea,
// is built: the accumulator, or another register the call changes anyway
// when an argument pushed after it reads the accumulator.
TRegister TCallCompiler::addressRegister(size_t i) {
  static constexpr TRegister kWide[] = {REG_RAX, REG_RCX, REG_RDX, REG_R8, REG_R9, REG_R10, REG_R11};
  static constexpr TRegister kNarrow[] = {REG_EAX, REG_ECX, REG_EDX};
  if (ptrSize == 8) return unreadRegister(i, kWide, std::size(kWide), nullptr);
  return unreadRegister(i, kNarrow, std::size(kNarrow), nullptr);
}

// An msx64 argument is one register or slot: a variable or sized memory
// operand of 1, 2, 4 or 8 bytes.
void TCallCompiler::checkRegisterSized(const TOperand& op, size_t i) {
  if (op.hint != otVar && op.hint != otMem) return;
  if (op.size == 0 || op.size == 1 || op.size == 2 || op.size == 4 || op.size == 8) return;
  fatal(msg::Msx64ArgTooWide, std::to_string(i + 1), nameOf(F), std::to_string(op.size));
}

// The bytes to add to a reserve of base bytes so that the stack pointer is
// a multiple of 16 at the call. Every body is entered with it 8 bytes below
// a multiple of 16 (the return address of an aligned call); below that lie
// the saved frame pointer, the locals room and what the body has pushed
// since (LocalOffset). A body with a frame may declare locals after this
// call: its room is rounded to 16 bytes when the body ends, and counted so
// here.
uint32_t TCallCompiler::alignmentPad(uint32_t base) const {
  const TBodyFrame* body = Compiler->bodyFrame(fn_);
  uint32_t below = 8 + fn_->LocalOffset + base;
  if (body && body->frame) {
    below += static_cast<uint32_t>(ptrSize);
    Compiler->roundLocalsRoom(fn_);
  } else if (body) {
    below += fn_->LocalSize;
  }
  return (16 - below % 16) % 16;
}

// The room of an msx64 call: the shadow room of the four register
// parameters, the slots of the others above it, and the stack kept at a
// multiple of 16 at the call. The previous call's release is taken back when
// it still ends the code, and its room serves this call. Returns its bytes.
uint32_t TCallCompiler::reserveRoom() {
  const size_t n = order_.size();
  const uint32_t stackArgs = n > 4 ? static_cast<uint32_t>(n - 4) : 0;
  const uint32_t reserve = 32 + 8 * stackArgs + alignmentPad(32 + 8 * stackArgs);
  TReserveMark& mark = Compiler->reserveMark();
  if (mark.fn == fn_ && mark.end == fn_->BufLen && mark.bytes == reserve && mark.len <= fn_->BufLen &&
      mark.fixups == fixupList(fn_).size() && mark.records == FuncMan->FuncList().size() &&
      mark.placed == Compiler->labelsPlaced()) {
    const std::string_view code = vorStrView(fn_->Buffer);
    vorStrAssign(fn_->Buffer, code.substr(0, code.size() - mark.len));
    fn_->BufLen -= mark.len;
  } else {
    TOperand rsp, imm;
    rsp.setRegister(false, REG_RSP);
    imm.setImm(false, reserve, 4);
    emitOrFail(fn_, "sub", &rsp, &imm, msg::Msx64ReserveEncode);
  }
  fn_->LocalOffset += reserve;
  mark = TReserveMark{};
  roomBase_ = fn_->LocalOffset;
  return reserve;
}

// After the call: the room is released, and marked so that a next msx64 call
// right behind it can take the release back.
void TCallCompiler::releaseRoom(uint32_t reserve) {
  TOperand rsp, imm;
  rsp.setRegister(false, REG_RSP);
  imm.setImm(false, reserve, 4);
  const uint32_t releaseAt = fn_->BufLen;
  emitOrFail(fn_, "add", &rsp, &imm, msg::Msx64ReleaseEncode);
  fn_->LocalOffset -= reserve;
  Compiler->reserveMark() = TReserveMark{fn_, fn_->BufLen, reserve, fn_->BufLen - releaseAt,
                                         fixupList(fn_).size(), FuncMan->FuncList().size(), Compiler->labelsPlaced()};
}

// Slot i of this call's room, while the room is at the top of the stack.
TOperand TCallCompiler::roomSlot(size_t i, uint32_t size) const {
  TOperand m;
  m.setMemory(false, size, static_cast<int32_t>(8 * i + (fn_->LocalOffset - roomBase_)), 0, {REG_RSP}, nullptr,
              otRegister, nullptr);
  return m;
}

// Argument i of an msx64 call, when it goes through its slot: a call written
// as an argument (a register parameter is loaded from the slot later) and
// every argument from the fifth on.
void TCallCompiler::storeSlotArg(size_t i) {
  const msg::Id failure = msg::ArgOperandInvalid;
  if (const TFunction* inner = compileInnerCall(i)) {
    // The parameter is read as 64 bits.
    widenResult(inner, REG_RAX, failure);
    TOperand acc, slot = roomSlot(i, 8);
    acc.setRegister(false, REG_RAX);
    emitOrFail(fn_, "mov", &slot, &acc, failure);
    fromSlot_[i] = true;
    clobber(clobberedByCall(), i);
    return;
  }
  checkRegisterSized(*argOp(i), i);
  if (i < 4) return;
  TOperand& op = followedArg(i);
  TOperand slot = roomSlot(i, 8);
  if (op.hint == otRegister && op.size == 8) {
    emitOrFail(fn_, "mov", &slot, &op, failure);
  } else if (op.hint == otImm) {
    // A number goes in as it is: whole when the sign-extended 32-bit field
    // holds it, else as its two halves.
    TOperand num;
    num.setImm(false, 0, 4);
    if (op.value >= INT32_MIN && op.value <= INT32_MAX) {
      num.value = op.value;
      emitOrFail(fn_, "mov", &slot, &num, failure);
    } else {
      const auto v = static_cast<uint64_t>(op.value);
      TOperand half = roomSlot(i, 4);
      num.value = static_cast<int64_t>(v & 0xFFFFFFFFu);
      emitOrFail(fn_, "mov", &half, &num, failure);
      half = roomSlot(i, 4);
      half.displacement += 4;
      num.value = static_cast<int64_t>(v >> 32);
      emitOrFail(fn_, "mov", &half, &num, failure);
    }
  } else {
    // Anything else goes through a register that no argument after it reads.
    const TRegister via = stagingRegister(i, needsLow32(op), fromSlot_);
    loadRegister(fn_, via, op, failure);
    TOperand r;
    r.setRegister(false, via);
    emitOrFail(fn_, "mov", &slot, &r, failure);
    clobber(1u << (regID(via) & 15), i);
  }
}

// RCX, RDX, R8 and R9, the last first: from their slots, or from their
// operands.
void TCallCompiler::loadRegisterArgs() {
  static constexpr TRegister kParamRegs[4] = {REG_RCX, REG_RDX, REG_R8, REG_R9};
  const size_t n = order_.size();
  for (size_t i = n < 4 ? n : 4; i-- > 0;) {
    const TRegister reg = kParamRegs[i];
    if (fromSlot_[i]) {
      TOperand dst, slot = roomSlot(i, 8);
      dst.setRegister(false, reg);
      emitOrFail(fn_, "mov", &dst, &slot, msg::RegisterArgInvalid);
    } else {
      TOperand& op = followedArg(i);
      if (needsLow32(op) && regID(reg) >= 8) {
        // R8 and R9 through a register of A to DI.
        const TRegister via = stagingRegister(i, true, fromSlot_);
        loadRegister(fn_, via, op, msg::RegisterArgInvalid);
        TOperand dst, src;
        dst.setRegister(false, reg);
        src.setRegister(false, via);
        emitOrFail(fn_, "mov", &dst, &src, msg::RegisterArgInvalid);
        clobber(1u << (regID(via) & 15), i);
      } else {
        loadRegister(fn_, reg, op, msg::RegisterArgInvalid);
      }
    }
    // Later (lower) arguments must not read what this one loaded.
    clobber(1u << regID(reg), i);
  }
}

void TCallCompiler::compileMSX64() {
  if (CompileFlags.cpu_bits != 64) fatal(msg::Msx64Needs64);
  const uint32_t reserve = reserveRoom();
  fromSlot_.assign(order_.size(), false);
  for (size_t i = order_.size(); i-- > 0;) storeSlotArg(i);
  loadRegisterArgs();
  emitTarget();
  releaseRoom(reserve);
}

void TCallCompiler::compile(bool outer) {
  setCalled(F, fn_);
  fillDefaults(outer);
  checkNumbers();
  if (F->CallConvention == ccMSX64)
    compileMSX64();
  else
    compileStack();
}

}  // namespace

TRegister accumulator(uint32_t size) {
  return size <= 8 ? regScale(REG_EAX, static_cast<uint8_t>(size)) : REG_NONE;
}

TResultWidening callResultWidening(const TFunction* callee, TRegister reg) {
  TResultWidening w;
  const TVarType* type = callee ? callee->ReturnType : nullptr;
  const uint32_t width = regSize(reg);
  if (!type || (type->size != 1 && type->size != 2 && type->size != 4) || type->size >= width) return w;
  // No 64-bit register outside 64-bit code: such a reader is refused as it
  // was written.
  if (width == 8 && CompileFlags.cpu_bits != 64) return w;
  const bool sign = typeSigned(type);
  // mov widens by the destination's sign: movsx/movzx, or for a doubleword
  // into a 64-bit register movsxd or a 32-bit load.
  w.mnemonic = "mov";
  w.dst.setRegister(sign, reg);
  w.src.setRegister(sign, accumulator(type->size));
  return w;
}

namespace {

// The call named by the current token; thisPar, the object of a method
// call, was read at the stack depth thisDepth.
void compileCallOf(TOperand* thisPar, uint32_t thisDepth) {
  auto* F = static_cast<TFunction*>(cur().F_Pointer);
  if (!F) unexpected(unx::NameWithoutRecord);
  // Copied before anything else is read: the next token releases it.
  std::unique_ptr<TOperand> thisOp = copyOperand(thisPar);
  setCalled(F, Compiler->CurFunc());
  TAFile& f = curFile();
  if (F->CallData && f.peekNextRealChar(true) == '=') {
    // An assignment to (or comparison of) the function pointer itself.
    TVar* v = F->CallData;
    const std::string name(vorStrView(F->Name));
    TCurrentToken& tk = cur();
    tk.setNull();
    tk.F_Type = ttIdent;
    tk.F_IdentType = v->mode == vmLocal ? itLocalVar : itGlobalVar;
    tk.F_Pointer = v;
    tk.F_ByteCount = v->type_ ? static_cast<int32_t>(v->type_->size) : ptrSize;
    tk.F_BitCount = tk.F_ByteCount * 8;
    tk.F_String = name;
    handle_VAR();
    return;
  }
  refuseWithoutBody(F);
  std::vector<TArg> args;
  readArgs(args);
  TCallCompiler call(F, args, std::move(thisOp), thisDepth);
  call.compile(true);
}

}  // namespace

// name [ ( [ argument { , argument } ] ) ]   |   pointer operator value ;   (the name just read)
void handle_FUNCCALL(bool first, TOperand* thisPar) {
  if (!first) return;
  compileCallOf(thisPar, depthNow());
}

void compileCallStoredInto(TOperand& dst, TOperand* thisPar) {
  // The object was read before the pushes below.
  const uint32_t depth = depthNow();
  const bool address = dst.hint == otVar || dst.hint == otMem;
  const uint32_t kept = address ? readsMask(dst) & clobberedByCall() : 0;
  if (!kept) return compileCallOf(thisPar, depth);
  // Each register pushed whole before the call (its arguments are read after
  // the push, at the depth it leaves) and popped after it: into itself, or,
  // for the accumulator, which then holds the result, into another register
  // the call changes and the address does not use, which takes its place.
  const uint32_t uses = readsMask(dst);
  const auto width = [](TRegister r) {
    return static_cast<uint8_t>(regSize(r) > static_cast<uint32_t>(ptrSize) ? regSize(r) : ptrSize);
  };
  TRegister saved[2] = {REG_NONE, REG_NONE};
  size_t n = 0;
  for (TRegister r : {dst.reg_base, dst.reg_index})
    if (r != REG_NONE && (kept & (1u << familyOf(r))) && !(n == 1 && familyOf(saved[0]) == familyOf(r)))
      saved[n++] = r;
  TFunction* fn = Compiler->CurFunc();
  for (size_t k = 0; k < n; ++k) {
    TOperand r;
    r.setRegister(false, regScale(saved[k], width(saved[k])));
    Compiler->execInstruction(fn, "push", &r);
  }
  compileCallOf(thisPar, depth);
  uint32_t into = 0;  // the register family the accumulator's value goes to
  if (uses & 1u) {
    static constexpr uint32_t kScratch[] = {2, 1, 8, 9, 10, 11};  // D, C, R8..R11
    for (uint32_t fam : kScratch)
      if ((clobberedByCall() & (1u << fam)) && !(uses & (1u << fam))) {
        into = fam;
        break;
      }
  }
  for (size_t k = n; k-- > 0;) {
    const uint32_t fam = familyOf(saved[k]);
    const uint32_t to = fam == 0 ? into : fam;
    TOperand r;
    r.setRegister(false, regScale(static_cast<TRegister>(REG_RAX + to), width(saved[k])));
    Compiler->execInstruction(fn, "pop", &r);
  }
  // The address now reads the accumulator's value where it was popped.
  const auto moved = [&](TRegister r) {
    if (r == REG_NONE || familyOf(r) != 0) return r;
    return regScale(static_cast<TRegister>(REG_RAX + into), static_cast<uint8_t>(regSize(r)));
  };
  dst.reg_base = moved(dst.reg_base);
  dst.reg_index = moved(dst.reg_index);
}

namespace {

std::string bytesText(uint32_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string resultText(const TFunction* f) {
  const TVarType* t = f->Type_ == ltFunc ? f->ReturnType : nullptr;
  return t ? bytesText(t->size) : "nothing";
}

}  // namespace

void checkPointerValue(const TVar* pointer, const TOperand& value) {
  if (!pointer || value.hint != otLabelRef) return;
  const TFunction* fn = FuncMan->getFunc(static_cast<uint32_t>(value.value));
  if (!fn || (fn->Type_ != ltFunc && fn->Type_ != ltProc)) return;
  const TFunction* ptr = nullptr;
  for (const TFunction* f : FuncMan->FuncList())
    if (f->CallData == pointer) ptr = f;
  if (!ptr || ptr == fn) return;
  const std::string p = nameOf(ptr), f = nameOf(fn);
  if (fn->CallConvention != ptr->CallConvention)
    fatal(msg::PointerConvention, p, f, Convention2String(fn->CallConvention), Convention2String(ptr->CallConvention));
  // Uncounted arguments ("[]") stand for parameters the other side names.
  const bool countsAgree = fn->ParamCount == ptr->ParamCount ||
                           (ptr->bMinParams && fn->ParamCount > ptr->ParamCount) ||
                           (fn->bMinParams && ptr->ParamCount > fn->ParamCount);
  if (!countsAgree)
    fatal(msg::PointerParamCount, p, f, std::to_string(fn->ParamCount), std::to_string(ptr->ParamCount));
  const uint32_t named = fn->ParamCount < ptr->ParamCount ? fn->ParamCount : ptr->ParamCount;
  for (uint32_t i = 0; i < named; ++i) {
    const TVarType* a = fn->Params[i].type_;
    const TVarType* b = ptr->Params[i].type_;
    const uint32_t sa = a ? a->size : static_cast<uint32_t>(ptrSize), sb = b ? b->size : static_cast<uint32_t>(ptrSize);
    if (sa != sb) fatal(msg::PointerParamSize, p, f, std::to_string(i + 1), bytesText(sa), bytesText(sb));
  }
  const std::string ra = resultText(fn), rb = resultText(ptr);
  if (ra != rb) fatal(msg::PointerResult, p, f, ra, rb);
}

}  // namespace vorak
