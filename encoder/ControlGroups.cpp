// Stack and control-transfer groups: push and pop (registers, immediates,
// addresses, whole variables and memory blocks word by word), call, the jump
// rows, ret and enter.
#include <cstring>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "encoder/EncoderCommon.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// A 64-bit stack word or branch offset is a 4-byte field that the processor
// sign-extends: the value must lie in the signed 32-bit range, since 64-bit
// values arrive whole (2147483648 is no -2147483648 there). false when it
// does not.
bool signExtended32(int64_t v, int64_t& out) {
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = v;
  return true;
}

// The immediate (or relative offset) width of the mode: 2, 4, and 4 again in
// 64-bit code. The value is put into the form the field holds; false when it
// does not fit.
bool modeImmediate(int64_t v, int64_t& out) {
  if (mode64()) return signExtended32(v, out);
  out = v;
  return immFits(v, ptrWidth());
}
uint8_t immField() { return mode16() ? 2 : 4; }

// The operand-size argument of emitOpReg/emitRMDigit for a stack operand of
// size bytes: 0 for the mode's stack word, 2 or 4 (16-bit code) through 66.
// There is no 32-bit push in 64-bit code, nor a byte push anywhere.
bool stackOperandSize(uint32_t size, uint32_t& opSize) {
  if (size == ptrWidth()) {
    opSize = 0;
    return true;
  }
  if (size == 2 || (size == 4 && mode16())) {
    opSize = size;
    return true;
  }
  return false;
}

// A copy of o addressing `offset` bytes further, re-based by `shift` bytes
// when it is addressed through the stack pointer. Without registers, a scale
// multiplies the displacement (an element number); the piece's offset is in
// bytes, so the scale is folded into the displacement first. The sum is kept
// whole: whether the mode's field holds it is the encoding's question.
TOperand pieceOf(const TOperand& o, int64_t offset, int64_t shift) {
  TOperand out = o;
  const bool scaledAddress = o.reg_base == REG_NONE && o.scale > 1;
  const int64_t base = o.displacement * (scaledAddress ? o.scale : 1);
  out.displacement = base + offset + (stackBased(o) ? shift : 0);
  if (scaledAddress) out.scale = 0;
  return out;
}

TRegister stackPointer() { return mode64() ? REG_RSP : REG_ESP; }

PInstruction row(std::string_view name) { return opcodeLookup(name); }

}  // namespace

// --- igPUSH, igPOP -----------------------------------------------------------------
//
// push: 50+r, 6A ib, 68 iw/id, FF /6; pop: 58+r, 8F /0 (the row holds both
// opcodes and the digit). A value wider than a stack word goes word by word.
uint32_t TVorAssembler::encodePUSHPOP(const TEncodeArgs& a) {
  const TInstruction& r = *a.row;
  const bool push = r.group == igPUSH;
  const POperand o1 = a.o1;
  switch (o1->hint) {
    case otRegister: {
      uint32_t opSize = 0;
      if (!stackOperandSize(o1->size, opSize)) return ERROR_OPERAND_INVALID;
      return emitOpReg(opByte<4>(r.opcode1), opSize, o1->reg_base);
    }
    case otImm: return push ? pushImmediate(o1) : ERROR_OPERAND_INVALID;
    case otVar: return pushPopVariable(r, o1);
    case otMem: return pushPopBlock(r, o1);
    case otMemRef: return push ? pushAddress(o1) : ERROR_OPERAND_INVALID;
    case otVarRef:
    case otLabelRef:
    case otConst: {
      if (!push) return ERROR_OPERAND_INVALID;
      // 68 with the address as the immediate (sign-extended in 64-bit code).
      addBytes(0x68u, 1);
      if (o1->hint == otVarRef)
        addFixupField(ftVar, o1->ptr, o1->data, immField(), varOffset(o1), jtJMP);
      else if (o1->hint == otLabelRef)
        addFixupField(ftLabelAbs, o1->ptr, static_cast<uint32_t>(o1->value), immField(), 0, jtJMP);
      else
        addFixupField(ftConst, o1->ptr, o1->data, immField(), 0, jtJMP);
      return ASSEMBLE_OK;
    }
    default: return ERROR_NOT_SUPPORTED;
  }
}

// 16- and 32-bit code push the low bytes of a number wider than a stack
// word, and say so; 64-bit code has no wider push than its sign-extended
// 4-byte field, so there such a number is refused. An operand wider than the
// stack word whose number fits is narrowed to the word it becomes, silently:
// no bit of it is lost.
uint32_t TVorAssembler::pushImmediate(POperand o1) {
  int64_t v = 0;
  const bool cut = !modeImmediate(o1->value, v);
  if (cut && mode64()) return ERROR_OPERAND_SIZE_MISMATCH;
  const bool shortForm = isImm8(ptrWidth(), v);
  if (cut) Log->Warning(msg::ImmediateTruncated);
  if (cut || (!shortForm && o1->size > ptrWidth())) o1->size = ptrWidth();
  if (shortForm) {
    addBytes(0x6Au, 1);
    emitImm(v, 1);
  } else {
    addBytes(0x68u, 1);
    emitImm(v, immField());
  }
  return ASSEMBLE_OK;
}

// A whole variable, one stack word at a time: push highest word first, pop
// lowest word first, so that a pop undoes the push of the same variable.
uint32_t TVorAssembler::pushPopVariable(const TInstruction& r, POperand o1) {
  const bool push = r.group == igPUSH;
  const uint32_t w = ptrWidth(), size = o1->size;
  if (size != w && !F_quietPush) {
    const TVar* v = static_cast<const TVar*>(o1->data);
    const std::string_view name = v && v->name ? std::string_view(v->name) : std::string_view();
    Log->Warning(msg::PushByValue, name);
  }
  if (size % w != 0) Log->FatalError(msg::PushUnevenSize);
  if (size == 0) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t words = size / w;
  for (uint32_t i = 0; i < words; ++i) {
    const uint32_t k = push ? words - 1 - i : i;
    TOperand word = pieceOf(*o1, static_cast<int64_t>(k) * w, 0);
    const uint32_t rc = emitRMDigit(opByte<4>(r.opcode2), 0, r.opcode_r, &word);
    if (rc != ASSEMBLE_OK) return rc;
  }
  return ASSEMBLE_OK;
}

// A memory block, one stack word at a time (highest first for push, lowest
// first for pop). A push of a block that is not whole words pushes its top
// bytes zero-extended into one more word first; a pop has no such step, so
// such a block is refused there. Through the stack pointer, the block is
// addressed as one push (ESP before it) or one pop (ESP after it) would
// address it: every piece is re-based by what the instruction moved so far.
uint32_t TVorAssembler::pushPopBlock(const TInstruction& r, POperand o1) {
  const bool push = r.group == igPUSH;
  const uint32_t w = ptrWidth();
  if (o1->size == 0) o1->size = w;
  const uint32_t size = o1->size, rem = size % w, words = size / w;
  if (!push && rem != 0) return ERROR_OPERAND_SIZE_MISMATCH;
  int64_t moved = 0;
  uint32_t rc = ASSEMBLE_OK;
  if (rem != 0 && (rc = pushBlockRemainder(o1, rem, moved)) != ASSEMBLE_OK) return rc;
  for (uint32_t i = 0; i < words; ++i) {
    const uint32_t k = push ? words - 1 - i : i;
    const int64_t shift = push ? moved : static_cast<int64_t>(size) - (moved + w);
    TOperand word = pieceOf(*o1, static_cast<int64_t>(k) * w, shift);
    if ((rc = emitRMDigit(opByte<4>(r.opcode2), 0, r.opcode_r, &word)) != ASSEMBLE_OK) return rc;
    moved += w;
  }
  return ASSEMBLE_OK;
}

// The top rem bytes of a block as one zero-extended stack word, built from
// the top down in 2-byte pieces: zero words (66 68 00 00) above the data,
// then an odd top byte, then word pushes (66 FF /6). The odd byte is a word
// push of the two top bytes shifted right by 8 on the stack. A block of one
// byte has no second byte to push with it, and 16-bit code cannot address
// the stack top to shift it: both would need a register loaded behind the
// program's back, so they are refused.
uint32_t TVorAssembler::pushBlockRemainder(POperand o1, uint32_t rem, int64_t& moved) {
  const uint32_t w = ptrWidth(), size = o1->size;
  const int64_t top = static_cast<int64_t>(size) - rem;  // offset of the remainder
  static const PInstruction shr = row("shr");
  if ((rem & 1) && (mode16() || size == 1)) return ERROR_PUSH_BYTE;
  const uint32_t pads = (w - rem - (rem & 1)) / 2;
  for (uint32_t i = 0; i < pads; ++i) {
    uint32_t rc = emitOpcode(0x68, 2);
    if (rc != ASSEMBLE_OK) return rc;
    emitImm(0, 2);
    moved += 2;
  }
  uint32_t evenBytes = rem;
  if (rem & 1) {
    TOperand pair = pieceOf(*o1, size - 2, moved), stackTop, eight;
    uint32_t rc = emitRMDigit(0xFF, 2, 6, &pair);
    if (rc != ASSEMBLE_OK) return rc;
    moved += 2;
    stackTop.setMemory(false, 2, 0, 0, {stackPointer()}, nullptr, otRegister, nullptr);
    eight.setImm(false, 8, 1);
    if ((rc = innerAssemble(shr, &stackTop, &eight)) != ASSEMBLE_OK) return rc;
    evenBytes = rem - 1;
  }
  for (uint32_t j = evenBytes / 2; j-- > 0;) {
    TOperand piece = pieceOf(*o1, top + 2 * static_cast<int64_t>(j), moved);
    const uint32_t rc = emitRMDigit(0xFF, 2, 6, &piece);
    if (rc != ASSEMBLE_OK) return rc;
    moved += 2;
  }
  return ASSEMBLE_OK;
}

bool TVorAssembler::addressPushUsesAccumulator(const TOperand& ref) {
  const bool oneRegister = ref.reg_base != REG_NONE && ref.reg_index == REG_NONE && ref.scale == 0 &&
                           ref.ptr == nullptr && ref.data == nullptr && ref.reg_base <= REG_R15 &&
                           regSize(ref.reg_base) == ptrWidth();
  return !oneRegister;
}

// push of an address [reg + disp]: the register pushed and the displacement
// added on the stack, which changes no register; any other address is
// computed with lea into the accumulator, which is then pushed. 16-bit code
// has neither a stack-pointer operand nor lea here.
uint32_t TVorAssembler::pushAddress(POperand o1) {
  if (mode16()) return ERROR_NOT_SUPPORTED;
  static const PInstruction push = row("push"), add = row("add"), sub = row("sub");
  if (!addressPushUsesAccumulator(*o1)) {
    TOperand base, top, amount;
    base.setRegister(o1->issigned, o1->reg_base);
    uint32_t rc = innerAssemble(push, &base, nullptr);
    if (rc != ASSEMBLE_OK) return rc;
    top.setMemory(false, ptrWidth(), 0, 0, {stackPointer()}, nullptr, otRegister, nullptr);
    // The amount is the displacement the address would have had.
    int32_t d = 0;
    if (!modeDisplacement(o1->displacement, d)) return ERROR_DISPLACEMENT_RANGE;
    // -INT32_MIN has no 32-bit form; adding the negative value is the same.
    const bool subtract = d < 0 && d != INT32_MIN;
    amount.setImm(false, 0, 4);
    amount.value = subtract ? -int64_t{d} : d;
    return innerAssemble(subtract ? sub : add, &top, &amount);
  }
  TOperand acc;
  acc.setRegister(false, regScale(REG_AL, static_cast<uint8_t>(ptrWidth())));
  uint32_t rc = loadAddress(&acc, o1);
  if (rc == ASSEMBLE_OK) rc = innerAssemble(push, &acc, nullptr);
  return rc;
}

// E8 (call) or E9 (jmp) with a number written as the relative offset, in
// the mode's field.
uint32_t TVorAssembler::emitRelativeNumber(uint8_t opcode, POperand o1) {
  int64_t v = 0;
  if (!modeImmediate(o1->value, v)) return ERROR_OPERAND_SIZE_MISMATCH;
  addBytes(opcode, 1);
  emitImm(v, immField());
  return ASSEMBLE_OK;
}

// --- igCALL ------------------------------------------------------------------------
//
// FF /2 through a pointer-sized register or memory word; E8 with a relative
// offset (2 bytes in 16-bit code, else 4).
uint32_t TVorAssembler::encodeCALL(const TEncodeArgs& a) {
  const POperand o1 = a.o1;
  switch (o1->hint) {
    case otRegister:
    case otVar:
    case otMem:
      if (o1->size != ptrWidth()) return ERROR_NOT_SUPPORTED;
      return emitRMDigit(0xFF, 0, 2, o1);
    case otImm:
      return emitRelativeNumber(0xE8, o1);
    case otLabel:
      addBytes(0xE8u, 1);
      addFixupField(ftLabel, o1->ptr, static_cast<uint32_t>(o1->value), immField(), 0, jtJMP);
      return ASSEMBLE_OK;
    default: return ERROR_NOT_SUPPORTED;
  }
}

// --- igGOTO ------------------------------------------------------------------------
//
// To a label: a 7-byte placeholder of 90s that the builder replaces with the
// short or near form of the row's jump (its TJmpType is in opcode1). Only the
// row "jmp" has the other forms: E9 rel, FF /4, EA ptr16:16/32.
void TVorAssembler::addJumpPlaceholder(void* func, uint32_t index, TJmpType jt) {
  F_pending.push_back({ftJmp, func, true, index, nullptr, position(), 7, 0, jt});
  addBytes(0x90909090909090ull, 7);
}

uint32_t TVorAssembler::encodeGOTO(const TEncodeArgs& a) {
  const TInstruction& r = *a.row;
  const POperand o1 = a.o1;
  if (o1->hint == otLabel) {
    const auto jt = static_cast<TJmpType>(r.opcode1 & 0xFFFF);
    // 64-bit code counts in RCX or ECX (jrcxz, jecxz): CX alone has no form.
    if (jt == jtJCXZ && mode64()) return ERROR_MODE_SUPPORT;
    addJumpPlaceholder(o1->ptr, static_cast<uint32_t>(o1->value), jt);
    return ASSEMBLE_OK;
  }
  const bool jmp = std::strncmp(r.name, "jmp", sizeof(r.name)) == 0;
  if (!jmp) return ERROR_NOT_SUPPORTED;
  switch (o1->hint) {
    case otImm:
      return emitRelativeNumber(0xE9, o1);
    case otRegister:
    case otMem:
      if (o1->size != ptrWidth() && !(o1->hint == otMem && o1->size == 0)) return ERROR_NOT_SUPPORTED;
      return emitRMDigit(0xFF, 0, 4, o1);
    case otSegLabel: {
      // EA is gone from 64-bit code.
      if (mode64()) return ERROR_MODE_SUPPORT;
      if (o1->segstart > 0xFFFF) return ERROR_OPERAND_SIZE_MISMATCH;
      if (!o1->ptr && !immFits(o1->value, ptrWidth())) return ERROR_OPERAND_SIZE_MISMATCH;
      addBytes(0xEAu, 1);
      if (o1->ptr)
        addFixupField(ftRelative, o1->ptr, static_cast<uint32_t>(o1->value), static_cast<uint8_t>(ptrWidth()),
                      ptrWidth() + 3, jtJMP);
      else
        emitImm(o1->value, ptrWidth());
      emitImm(o1->segstart, 2);
      return ASSEMBLE_OK;
    }
    default: return ERROR_NOT_SUPPORTED;
  }
}

// --- igRET -------------------------------------------------------------------------
//
// C3, or C2 iw that also releases the given number of bytes of arguments.
uint32_t TVorAssembler::encodeRET(const TEncodeArgs& a) {
  const POperand o1 = a.o1;
  if (o1 && o1->hint != otImm) return ERROR_NOT_SUPPORTED;
  if (!o1 || o1->value == 0) {
    addBytes(0xC3u, 1);
    return ASSEMBLE_OK;
  }
  if (o1->value < 0 || o1->value > 0xFFFF) return ERROR_OPERAND_SIZE_MISMATCH;
  addBytes(0xC2u, 1);
  emitImm(o1->value, 2);
  return ASSEMBLE_OK;
}

// --- igENTER -----------------------------------------------------------------------
//
// C8 iw ib: the frame size and the nesting level.
uint32_t TVorAssembler::encodeENTER(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (o1->hint != otImm) return ERROR_OPERAND1_INVALID;
  if (o2->hint != otImm) return ERROR_OPERAND2_INVALID;
  if (Int64toSize(o1->value) >= 3 || Int64toSize(o2->value) != 1) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t rc = emitX86RM(a.row->opcode1, false, false, 0, nullptr, 0);
  if (rc != ASSEMBLE_OK) return rc;
  emitImm(o1->value, 2);
  emitImm(o2->value, 1);
  return ASSEMBLE_OK;
}

}  // namespace vorak
