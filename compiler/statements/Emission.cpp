// Instruction emission: one instruction by mnemonic into a function's code,
// with the function's stack depth kept, and the epilogue before a return.
#include <algorithm>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/CaseManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// Bytes that a push (or pop) of op moves, as the encoder's push and pop rules
// emit it: a register its width; a variable its whole words; a memory block
// its words, a push rounding a partial top word up to a whole one; an
// immediate or an address one stack word. (An immediate's own size is that
// of the number written: push 5 still moves a whole word.)
uint32_t stackBytes(const TOperand& op, bool push) {
  const uint32_t word = static_cast<uint32_t>(ptrSize);
  switch (op.hint) {
    case otRegister:
      return op.size;
    case otVar:
      return op.size - op.size % word;
    case otMem: {
      const uint32_t size = op.size ? op.size : word;
      const uint32_t rem = size % word;
      return push && rem ? size - rem + word : size - rem;
    }
    default:
      return word;
  }
}

// The function a call through op reaches: the callee of a function-pointer
// operand (kept in its method field), or the label record an operand names.
TFunction* calleeOf(const TOperand* op) {
  if (!op) return nullptr;
  if (op->method) return static_cast<TFunction*>(op->method);
  if (op->hint == otLabel && FuncMan) return FuncMan->getFunc(static_cast<uint32_t>(op->value));
  return nullptr;
}

// Bytes that a row emitted as raw bytes (the flag and all-register pushes and
// pops) moves on the stack, read from the bytes themselves: 9C/9D push and pop
// one word, 60/61 eight; a 66 prefix makes the word the mode's other size
// (2 bytes, or 4 in 16-bit mode).
int32_t rawStackBytes(std::string_view code) {
  int32_t word = static_cast<int32_t>(ptrSize);
  if (!code.empty() && static_cast<uint8_t>(code[0]) == 0x66) {
    word = word == 2 ? 4 : 2;
    code.remove_prefix(1);
  }
  if (code.size() != 1) return 0;
  switch (static_cast<uint8_t>(code[0])) {
    case 0x9C: return word;
    case 0x9D: return -word;
    case 0x60: return 8 * word;
    case 0x61: return -8 * word;
    default: return 0;
  }
}

// The stack pointer named as a register, at any width (SPL included): a
// write to any part of it moves the stack.
bool isStackPointerOperand(const TOperand* op) {
  if (!op || op->hint != otRegister) return false;
  const TRegister r = op->reg_base;
  return r == REG_SP || r == REG_ESP || r == REG_RSP || r == REG_SPL;
}

// The stack pointer of the mode's width, as a whole.
bool isWholeStackPointer(const TOperand* op) {
  return isStackPointerOperand(op) && op->size == static_cast<uint32_t>(ptrSize);
}

// Whether the instruction writes its first operand (btr, bts and btc do,
// bt only reads it).
bool writesFirst(const TInstruction& inst) {
  const std::string_view name(inst.name);
  return inst.group != igPUSH && inst.group != igPOP && inst.group != igCALL && inst.group != igGOTO &&
         name != "bt" && name != "cmp" && name != "test";
}

// A jump that always leaves: the code after it is reached only by jumps.
bool unconditionalJump(const TInstruction& inst) { return inst.group == igGOTO && inst.opcode1 == jtJMP; }

// The bytes the uses statement saved below the body's pushes; the epilogue
// pops them before the return.
uint32_t savedBytes(const TFunction* fn) {
  uint32_t bytes = 0;
  for (const std::string& entry : usesList(fn)) {
    const uint8_t reg = entry == "flags" ? NOT_A_REG : strToReg(entry);
    bytes += reg == NOT_A_REG ? static_cast<uint32_t>(ptrSize) : regSize(static_cast<TRegister>(reg));
  }
  return bytes;
}

// A depth as the messages print it: the count is kept modulo 2^32, and a
// path that popped more than it pushed shows as a negative number.
std::string depthText(uint32_t depth) { return std::to_string(static_cast<int32_t>(depth)); }

// The keyword of a structured statement.
const char* statementWord(TBST kind) {
  switch (kind) {
    case bstIF: return "if";
    case bstWHILE: return "while";
    case bstREPEAT: return "repeat";
    default: return "case";
  }
}

// Whether label starts a state (or the default) of the case statement b.
bool isStateOf(const TBlockStackItem& b, const TFunction* label) {
  if (b.type_ != bstCASE || !b.data) return false;
  if (b.data->default_ == label) return true;
  for (const auto& state : b.data->StateList)
    if (state->code_label == label) return true;
  return false;
}

}  // namespace

// What a written instruction does to the stack pointer besides its pushes,
// pops and calls (which the emission counts): an add or sub of a number,
// and a lea of the stack pointer plus a displacement, move the stack depth
// by that many bytes. Anything else that writes the stack pointer leaves
// the depth as it was; in a body without a frame, whose locals and
// parameters are read relative to the stack pointer, that is warned.
void TCompiler::followStackWrite(TFunction* fn, const TInstruction& inst, const TOperand* o1,
                                 const TOperand* o2) {
  if (!fn || CompileFlags.peek_mode) return;
  // Most instructions touch neither the stack pointer nor the depth: they
  // leave here before any lookup.
  const bool spFirst = isStackPointerOperand(o1), spSecond = isStackPointerOperand(o2);
  if (!spFirst && !spSecond && inst.group != igCALL &&
      (inst.group != igEMIT || std::string_view(inst.name) != "leave"))
    return;
  const std::string_view name(inst.name);
  TBodyFrame* path = pathBody(fn);
  if (path && !path->dead) {
    // A callee the compiler does not know may be one that removes its
    // arguments (stdcall): what it removes cannot be counted.
    if (inst.group == igCALL && o1 && !calleeOf(o1)) {
      const uint32_t pushed = fn->LocalOffset - savedBytes(fn) - std::min(path->reserved, fn->LocalOffset);
      if (static_cast<int32_t>(pushed) > 0) Log->Warning(msg::CallMayTakeArguments, depthText(pushed));
    }
    // leave reloads the stack pointer from the frame pointer, pop esp from
    // the stack: neither leaves a depth the count could know.
    if (name == "leave" || (inst.group == igPOP && spFirst)) Log->Warning(msg::StackPointerUnfollowed, name);
  }
  const bool first = spFirst && writesFirst(inst);
  const bool second = spSecond && name == "xchg";
  if (!first && !second) return;
  if (!second && isWholeStackPointer(o1) && o2) {
    if ((name == "add" || name == "sub") && o2->hint == otImm) {
      const auto bytes = static_cast<uint32_t>(o2->value);
      fn->LocalOffset += name == "sub" ? bytes : 0u - bytes;
      // Room set aside by hand (released when negative), which no callee
      // takes as its arguments.
      if (path) {
        const int64_t room = int64_t{path->reserved} + static_cast<int32_t>(name == "sub" ? bytes : 0u - bytes);
        path->reserved = room > 0 ? static_cast<uint32_t>(room) : 0;
      }
      return;
    }
    if (name == "lea" && o2->hint == otMem && o2->reg_index == REG_NONE && o2->reg_base == o1->reg_base &&
        !o2->data) {
      fn->LocalOffset -= static_cast<uint32_t>(o2->displacement);
      return;
    }
  }
  const TBodyFrame* body = bodyFrame(fn);
  if (body && !body->frame) Log->Warning(msg::StackPointerUnfollowed, name);
}

void TCompiler::followStackWrite(TFunction* fn, std::string_view mnemonic, const TOperand* o1,
                                 const TOperand* o2) {
  if (!isStackPointerOperand(o1) && !isStackPointerOperand(o2)) return;
  if (const PInstruction inst = opcodeLookup(mnemonic)) followStackWrite(fn, *inst, o1, o2);
}

TBodyFrame* TCompiler::pathBody(const TFunction* fn) {
  if (fn != F_PathFn) {
    const auto it = F_Bodies.find(fn);
    F_PathFn = fn;
    F_PathBody = it == F_Bodies.end() ? nullptr : &it->second;
  }
  return F_PathBody && !F_PathBody->frame ? F_PathBody : nullptr;
}

void TCompiler::followPath(TFunction* fn, PInstruction inst, const TOperand* op1, const TOperand* op2) {
  TBodyFrame* path = pathBody(fn);
  if (!path) return;
  switch (inst->group) {
    case igGOTO:
      if (path->dead) return;
      if (op1 && op1->hint == otLabel) {
        // A label of this body, placed or still to come, is reached with
        // the depth the jump carries.
        const TFunction* label = FuncMan->getFunc(static_cast<uint32_t>(op1->value));
        const bool own = label && (label->Type_ == ltRef || (label->Type_ == ltLabel && label->Parent == fn));
        if (own) {
          const auto [it, fresh] = F_LabelDepths.try_emplace(label, TLabelDepth{fn, fn->LocalOffset});
          if (!fresh && it->second.fn == fn && it->second.depth != fn->LocalOffset)
            depthsDisagree(label, it->second.depth, fn->LocalOffset, false);
          it->second = TLabelDepth{fn, fn->LocalOffset};
        }
      }
      if (unconditionalJump(*inst)) path->dead = true;
      return;
    case igRET: {
      if (path->dead) return;
      // The epilogue has popped the saved registers by now: what is left
      // was pushed by the body and is not released.
      const uint32_t left = fn->LocalOffset;
      if (static_cast<int32_t>(left) > 0) Log->Warning(msg::ReturnWithPushes, depthText(left));
      if (static_cast<int32_t>(left) < 0) Log->Warning(msg::ReturnBelowPushes, depthText(0u - left));
      path->dead = true;
      return;
    }
    case igENTER: {
      // enter n, level: the frame pointer, level - 1 frame pointers more and
      // the new one when level is not 0, then n bytes.
      if (!op1 || !op2) return;
      const auto word = static_cast<uint32_t>(ptrSize);
      const auto level = static_cast<uint32_t>(op2->value) & 31u;
      fn->LocalOffset += word * (level ? level + 1 : 1) + (static_cast<uint32_t>(op1->value) & 0xFFFFu);
      return;
    }
    default:
      return;
  }
}

void TCompiler::arriveAt(TFunction* label, bool written) {
  TFunction* fn = F_CurFunc;
  TBodyFrame* path = pathBody(fn);
  if (!path || CompileFlags.peek_mode) return;
  if (written) F_WrittenLabels.insert(label);
  const auto it = F_LabelDepths.find(label);
  const bool known = it != F_LabelDepths.end() && it->second.fn == fn;
  if (!path->dead) {
    if (known && it->second.depth != fn->LocalOffset)
      depthsDisagree(label, it->second.depth, fn->LocalOffset, written);
    F_LabelDepths[label] = TLabelDepth{fn, fn->LocalOffset};
    return;
  }
  if (known) {
    fn->LocalOffset = it->second.depth;
    path->dead = false;
  } else if (written) {
    // Reached by jumps the compiler cannot see (a table, a call): at the
    // depth the code before it had.
    path->dead = false;
    F_LabelDepths[label] = TLabelDepth{fn, fn->LocalOffset};
  }
}

void TCompiler::expectDepth(const TFunction* label, uint32_t depth) {
  if (pathBody(F_CurFunc) && !CompileFlags.peek_mode) F_LabelDepths[label] = TLabelDepth{F_CurFunc, depth};
}

void TCompiler::depthsDisagree(const TFunction* label, uint32_t earlier, uint32_t now, bool written) const {
  const std::string a = depthText(earlier), b = depthText(now);
  if (!written && blStack) {
    // A label of a statement still open: named by its role there.
    for (size_t i = blStack->Count(); i-- > 0;) {
      const TBlockStackItem& item = *blStack->at(i);
      if (isStateOf(item, label)) fatal(msg::DepthStateEntered, a, b);
      const bool start = label == item.startLbl || (item.type_ == bstREPEAT && label == item.elseLbl);
      if (start) fatal(msg::DepthLoopStart, statementWord(item.type_), a, b);
      const bool end = label == item.endLbl || (item.type_ != bstREPEAT && label == item.elseLbl) ||
                       (item.type_ == bstREPEAT && label == item.codeLbl);
      if (end) fatal(msg::DepthPathsOut, statementWord(item.type_), a, b);
    }
  }
  if (written || F_WrittenLabels.count(label)) fatal(msg::DepthLabel, vorStrView(label->Name), a, b);
  fatal(msg::DepthPathsMeet, a, b);
}

TReturnDepth::TReturnDepth(TFunction* fn, PInstruction inst)
    : F_Fn(inst && inst->group == igRET ? fn : nullptr), F_Depth(F_Fn ? F_Fn->LocalOffset : 0) {}

TReturnDepth::~TReturnDepth() {
  if (F_Fn) F_Fn->LocalOffset = F_Depth;
}

uint32_t TCompiler::encodeInto(TFunction* fn, PInstruction inst, TOperand* op1, TOperand* op2, TOperand* op3,
                               bool optimise) {
  const uint32_t rc = F_Assembler->assemble(inst, op1, op2, op3, optimise);
  if (rc != ASSEMBLE_OK || !fn || CompileFlags.peek_mode) return rc;
  if (inst->group == igRET) F_LastReturn = {fn, FuncMan->FuncList().size(), F_LabelsPlaced};
  if (inst->group == igGOTO || inst->group == igRET || inst->group == igENTER) followPath(fn, inst, op1, op2);
  if (!op1 && inst->group != igEMIT) return rc;
  // LocalOffset counts the bytes pushed since the frame was laid out;
  // unsigned arithmetic keeps a pop below the frame (or a callee that
  // removes more than was counted) exact modulo 2^32, as the 32-bit
  // displacements that read it are.
  switch (inst->group) {
    case igPUSH:
      fn->LocalOffset += stackBytes(*op1, true);
      break;
    case igPOP:
      fn->LocalOffset -= stackBytes(*op1, false);
      break;
    case igEMIT:
      fn->LocalOffset += static_cast<uint32_t>(rawStackBytes(F_Assembler->getCode()));
      break;
    case igCALL:
      // A stdcall callee removes its own parameters; the others leave them
      // to the caller, who still has them pushed after the call.
      if (const TFunction* callee = calleeOf(op1); callee && callee->CallConvention == ccStdcall)
        fn->LocalOffset -= callee->ParamSize;
      break;
    default:
      break;
  }
  return rc;
}

uint32_t TCompiler::execInstruction(TFunction* fn, std::string_view strName, TOperand* op1, TOperand* op2,
                                    TOperand* op3) {
  const PInstruction inst = opcodeLookup(strName);
  if (!inst) return ERROR_OPCODE_UNKNOWN;
  if (!fn) Log->FatalError(msg::NoFunctionToEmit, strName);
  const TReturnDepth keep(fn, inst);
  if (inst->group == igRET) retTriggered(fn);
  const uint32_t rc = encodeInto(fn, inst, op1, op2, op3, CompileFlags.optimise);
  if (rc != ASSEMBLE_OK) Log->FatalError(msg::InstructionEncode, TVorAssembler::errorCodeToString(rc));
  appendEncoded(fn, inst);
  return rc;
}

void TCompiler::appendEncoded(TFunction* fn, PInstruction inst) {
  // Straight from the encoder's buffer into the function's code.
  const std::string_view code = F_Assembler->getCode();
  if (code.size() <= 16) {
    // The common case: one instruction of 16 bytes at most, copied as one
    // block (the encoder's buffer always holds 16 readable bytes).
    if (!CompileFlags.peek_mode && !code.empty()) {
      vorStrAppend16(fn->Buffer, code.data(), code.size());
      fn->BufLen += static_cast<uint32_t>(code.size());
    }
  } else {
    appendCode(fn, code.data(), static_cast<uint32_t>(code.size()));
  }
  F_Assembler->clearCode();
  if (inst->group == igRET && fn && !CompileFlags.peek_mode) F_ReturnEnds[fn] = fn->BufLen;
}

bool TCompiler::endsWithReturn(const TFunction* fn) const {
  const auto it = F_ReturnEnds.find(fn);
  if (it == F_ReturnEnds.end() || it->second != fn->BufLen) return false;
  for (const TFunction* f : FuncMan->FuncList())
    if (f->Parent == fn && f->Type_ == ltLabel && f->Address == fn->BufLen) return false;
  return true;
}

std::string TCompiler::buildInstruction(TFunction* fn, std::string_view strName, TOperand* op1, TOperand* op2,
                                        TOperand* op3) {
  const PInstruction inst = opcodeLookup(strName);
  if (!inst || !fn) return {};
  const TReturnDepth keep(fn, inst);
  if (inst->group == igRET) retTriggered(fn);
  if (encodeInto(fn, inst, op1, op2, op3, true) != ASSEMBLE_OK) return {};
  return F_Assembler->popCode();
}

void TCompiler::retTriggered(TFunction* fn) {
  // The stack and frame registers of the mode's width.
  const auto width = static_cast<uint8_t>(ptrSize);
  const TRegister sp = regScale(REG_ESP, width);
  const TRegister bp = regScale(REG_EBP, width);
  // The layout the body began with, whatever the frame setting is now.
  const bool frame = usesFrame(fn);
  // The saved registers were pushed below the locals room: they come back
  // first, then the room is released.
  const TUsesList& uses = usesList(fn);
  for (auto it = uses.rbegin(); it != uses.rend(); ++it) {
    if (*it == "flags") {
      // The one flags pop of the mode: popfd does not exist in 64-bit mode.
      execInstruction(fn, CompileFlags.cpu_bits == 64 ? "popfq" : "popfd");
      continue;
    }
    const uint8_t reg = strToReg(*it);
    if (reg == NOT_A_REG) Log->FatalError(msg::UsesUnknownRegister, *it);
    TOperand op;
    op.setRegister(false, static_cast<TRegister>(reg));
    execInstruction(fn, "pop", &op);
  }
  if (fn->LocalSize != 0 && !frame) {
    TOperand reg, imm;
    reg.setRegister(false, sp);
    if (std::find(uses.begin(), uses.end(), "flags") != uses.end()) {
      // The flags just popped go back to the caller as they are:
      // lea esp, [esp + LocalSize] (rsp behind REX.W), which changes none.
      // A body without a frame is 32- or 64-bit code.
      std::string lea;
      if (width == 8) lea += '\x48';
      lea += '\x8D';
      const bool short8 = fn->LocalSize <= 127;
      lea += short8 ? '\x64' : '\xA4';
      lea += '\x24';
      for (uint32_t k = 0; k < (short8 ? 1u : 4u); ++k) lea += static_cast<char>(fn->LocalSize >> (8 * k));
      appendCode(fn, lea);
    } else {
      imm.setImm(false, fn->LocalSize, width == 8 ? 4 : width);
      execInstruction(fn, "add", &reg, &imm);
    }
  }
  if (fn->CallConvention != ccMSX64 && frame && fn->FuncIndex != 0) {
    if (CompileFlags.cpu_mode >= 686) {
      TOperand spOp, bpOp;
      spOp.setRegister(false, sp);
      bpOp.setRegister(false, bp);
      execInstruction(fn, "mov", &spOp, &bpOp);
      execInstruction(fn, "pop", &bpOp);
    } else {
      appendCode(fn, "\xC9");  // leave
    }
  }
}

}  // namespace vorak
