// Integer arithmetic and logic groups: the operand-free rows, the ALU,
// shifts, bit tests, setcc, cmovcc and friends. Each rule matches its operand
// forms, then builds and emits through the shared primitives.
#include <cstring>

#include "compiler/driver/Common.h"
#include "encoder/EncoderCommon.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// One-byte opcodes whose operand size follows the mode: cbw/cwde, cwd/cdq,
// pushf/popf, pusha/popa and the word/dword string instructions.
bool sizeDependent(uint8_t op) {
  switch (op) {
    case 0x98: case 0x99: case 0x9C: case 0x9D: case 0x60: case 0x61:
    case 0xA5: case 0xA7: case 0xAB: case 0xAD: case 0xAF: return true;
    default: return false;
  }
}

// BCD adjustments and pusha/popa, which 64-bit mode no longer decodes.
bool goneIn64(uint8_t op) {
  switch (op) {
    case 0x27: case 0x2F: case 0x37: case 0x3F: case 0x60: case 0x61: case 0xD4: case 0xD5: return true;
    default: return false;
  }
}

// An 8-byte operand takes a 4-byte field that the processor sign-extends,
// which no setting can stretch. Numbers reach an 8-byte operand with their
// full 64 bits (a negative one keeps its sign), so 0xFFFFFFFF is 4294967295
// here and has no such field: read as -1 it would add or compare another
// number than the one written.
bool immFitsOperand(int64_t v, uint32_t opSize) {
  if (opSize != 8) return immFits(v, opSize);
  return v >= INT32_MIN && v <= INT32_MAX;
}

bool isImm(POperand o) { return o && o->hint == otImm; }
bool isRM(POperand o) { return isReg(o) || isMem(o); }
bool isCL(POperand o) { return isReg(o) && o->reg_base == REG_CL; }

// Whether an r/m operand has the width of a register operand: a register
// exactly, memory when it gives no size of its own.
bool widthAgrees(POperand rm, uint32_t size) {
  return rm->size == size || (rm->hint != otRegister && rm->size == 0);
}

// An immediate (or a variable's address) is a 4-byte field at most; the
// processor sign-extends it for an 8-byte operand.
uint32_t immWidth(uint32_t opSize) { return opSize < 4 ? opSize : 4; }

}  // namespace

// --- igEMIT --------------------------------------------------------------------

namespace {

// The rows spell the operand size of their 32-bit-mode bytes: a leading 66
// marks the 16-bit form (cbw, pushf, movsw), none the 32-bit one (cwde,
// pushfd, movsd), and 48 or a name ending in q the 64-bit one. 16-bit mode
// reads the same bytes the other way round, so there the 66 is swapped; and
// pushf/popf without 66 are 64-bit wide in 64-bit mode, where the 32-bit
// forms do not exist.
uint32_t emitRowPrefix(const TInstruction& row, bool has66, bool hasRexW, uint8_t op, bool& emit66) {
  emit66 = false;
  if (mode64() && goneIn64(op)) return ERROR_MODE_SUPPORT;
  if (!sizeDependent(op)) {
    emit66 = has66;  // a prefix the instruction needs in every mode (none such today)
    return ASSEMBLE_OK;
  }
  const size_t len = strnlen(row.name, sizeof(row.name));
  const bool q = len > 0 && row.name[len - 1] == 'q';
  const bool stackFlags = op == 0x9C || op == 0x9D;
  if (has66) {
    emit66 = !mode16();
  } else if (hasRexW || (q && stackFlags)) {
    if (!mode64()) return ERROR_MODE_SUPPORT;
  } else {
    if (mode64() && stackFlags) return ERROR_MODE_SUPPORT;
    emit66 = mode16();
  }
  return ASSEMBLE_OK;
}

}  // namespace

// B1, B1 B2 or B1 B2 B3 as the row says; "int" is B1 and the operand's byte.
uint32_t TVorAssembler::encodeEMIT(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  if (row.flags & EMIT1_BYTE) {
    if (a.o1->hint != otImm) return ERROR_OPERAND1_INVALID;
    if (!immFits(a.o1->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
    addBytes(opByte<1>(row.opcode1), 1);
    emitImm(a.o1->value, 1);
    return ASSEMBLE_OK;
  }
  const uint8_t all[3] = {opByte<1>(row.opcode1), opByte<2>(row.opcode1), opByte<3>(row.opcode1)};
  const uint32_t count = (row.flags & EMIT3) ? 3 : (row.flags & EMIT2) ? 2 : 1;
  const bool has66 = count > 1 && all[0] == 0x66;
  const uint8_t* rest = all + (has66 ? 1 : 0);
  const uint32_t restCount = count - (has66 ? 1 : 0);
  const bool hasRexW = restCount > 1 && rest[0] == 0x48;
  bool emit66 = false;
  const uint32_t rc = emitRowPrefix(row, has66, hasRexW, rest[hasRexW ? 1 : 0], emit66);
  if (rc != ASSEMBLE_OK) return rc;
  if (emit66) addBytes(0x66u, 1);
  addBytes(std::span<const uint8_t>(rest, restCount), restCount);
  return ASSEMBLE_OK;
}

// --- igALU ---------------------------------------------------------------------
//
// add or adc sbb and sub xor cmp: opcode1 holds the r/m,reg opcode (00..38),
// opcode2 the immediate group 80, opcode_r the digit.
//   r/m8,r8 00   r/m,r 01   r8,r/m8 02   r,r/m 03   AL,imm8 04   eAX,imm 05
//   80 /n ib     81 /n iz   83 /n ib (sign-extended)
uint32_t TVorAssembler::encodeALU(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1, o2 = a.o2;
  if (isMem(o1) && isReg(o2)) {
    if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
    return emitRM(row.opcode1 + (o2->size == 1 ? 0 : 1), o2->size, o2->reg_base, o1);
  }
  if (isReg(o1) && isRM(o2)) {
    if (!widthAgrees(o2, o1->size)) return ERROR_OPERAND_SIZE_MISMATCH;
    return emitRM(row.opcode1 + 2 + (o1->size == 1 ? 0 : 1), o1->size, o1->reg_base, o2);
  }
  if (isRM(o1) && o2->hint == otVarRef) return aluAddressOf(row, o1, o2);
  if (isRM(o1) && isImm(o2)) return aluImmediate(row, o1, o2->value);
  return ERROR_NOT_SUPPORTED;
}

// The address of a variable as the immediate; the field is the operand's
// immediate (4 bytes at most, whatever the pointer size), filled by a fixup.
uint32_t TVorAssembler::aluAddressOf(const TInstruction& row, POperand o1, POperand o2) {
  const uint32_t size = o1->size;
  if (static_cast<uint32_t>(ptrSize) > size) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t field = immWidth(size);
  uint32_t rc = isAccumulator(o1) ? emitOpcode((size == 1 ? 4u : 5u) | (row.opcode_r << 3u), size)
                                  : emitRMDigit(row.opcode2 + 1, size, row.opcode_r, o1);
  if (rc != ASSEMBLE_OK) return rc;
  addFixupField(ftVar, o2->ptr, o2->data, static_cast<uint8_t>(field), varOffset(o2), jtJMP);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::aluImmediate(const TInstruction& row, POperand o1, int64_t value) {
  const uint32_t size = o1->size;
  // Without a size there is no telling how wide the immediate is.
  if (size == 0) return ERROR_OPERAND_SIZE_MISMATCH;
  if (!immFitsOperand(value, size)) return ERROR_OPERAND_SIZE_MISMATCH;
  if (isAccumulator(o1)) {
    uint32_t rc = emitOpcode((size == 1 ? 4u : 5u) | (row.opcode_r << 3u), size);
    if (rc == ASSEMBLE_OK) emitImm(value, immWidth(size));
    return rc;
  }
  const uint32_t n = isImm8(8, value) ? 1 : immWidth(size);
  const uint32_t opcode = size == 1 ? row.opcode2 : n == 1 ? row.opcode2 + 3 : row.opcode2 + 1;
  uint32_t rc = emitRMDigit(opcode, size, row.opcode_r, o1);
  if (rc == ASSEMBLE_OK) emitImm(value, n);
  return rc;
}

// --- igLEA ---------------------------------------------------------------------
//
// lea r32, m: 8D /r. The address may be an absolute number. A number is
// the 4-byte displacement it becomes, whatever width its token had (4096 is
// a 2-byte token, 5 and -4 one-byte ones): only its value is judged.
uint32_t TVorAssembler::encodeLEA(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (mode16()) return ERROR_NOT_SUPPORTED;
  const uint32_t addressSize = o2->hint == otImm ? 4 : o2->size;
  if (o1->size != 4 && addressSize != 4) return ERROR_OPERAND_SIZE_MISMATCH;
  if (!isReg(o1)) return ERROR_OPERAND_TYPE_MISMATCH;
  if (addressSize != 0 && addressSize != o1->size) return ERROR_OPERAND_SIZE_MISMATCH;
  o2->size = 4;
  const uint32_t opcode = opByte<1>(a.row->opcode1);
  if (o2->hint == otMem) return emitRM(opcode, o1->size, o1->reg_base, o2);
  if (o2->hint != otImm) return ERROR_NOT_SUPPORTED;
  const int64_t v = o2->value;
  const bool asSigned = v >= INT32_MIN && v <= INT32_MAX;
  if (!asSigned && !(v >= 0 && v <= static_cast<int64_t>(UINT32_MAX))) return ERROR_OPERAND_SIZE_MISMATCH;
  // A number for a 4-byte register, read as 4-byte immediates are: a
  // value held in 32 bits also stands for its signed reading, which is the
  // field 64-bit code sign-extends (the register keeps the low 32 bits).
  TOperand address;
  address.setMemory(false, 4, static_cast<int32_t>(static_cast<uint32_t>(v)), 0, {}, nullptr, otRegister,
                    nullptr);
  return emitRM(opcode, o1->size, o1->reg_base, &address);
}

// --- igINCDEC ------------------------------------------------------------------
//
// inc FE /0, FF /0; dec FE /1, FF /1. The one-byte 40+r forms are REX
// prefixes in 64-bit mode and are never used. The address of a variable is a
// number, not a place that could be counted up, so it is refused rather than
// read as the variable itself.
uint32_t TVorAssembler::encodeINCDEC(const TEncodeArgs& a) {
  const POperand o1 = a.o1;
  if (!isRM(o1)) return ERROR_OPERAND_INVALID;
  return emitRMDigit(a.row->opcode2 + (o1->size == 1 ? 0 : 1), o1->size, a.row->opcode_r, o1);
}

// --- igBT ----------------------------------------------------------------------
//
// bt btc btr bts: 0F A3/BB/B3/AB /r with a bit-number register, 0F BA /n ib
// with an immediate. There is no byte form.
uint32_t TVorAssembler::encodeBT(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isRM(o1)) return ERROR_OPERAND1_INVALID;
  if (o1->size == 1) return ERROR_OPERAND1_INVALID;
  if (isReg(o2)) {
    if (o2->size == 1) return ERROR_OPERAND2_INVALID;
    if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
    return emitRM(row.opcode1, o2->size, o2->reg_base, o1);
  }
  if (!isImm(o2)) return ERROR_OPERAND2_INVALID;
  if (!immFits(o2->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
  uint32_t rc = emitRMDigit(row.opcode2, o1->size, row.opcode_r, o1);
  if (rc == ASSEMBLE_OK) emitImm(o2->value, 1);
  return rc;
}

// --- igROT ---------------------------------------------------------------------
//
// rol ror rcl rcr shl sal shr sar, digit in opcode_r:
//   count 1: D0 (byte) / D1     count CL: D2 / D3     count imm8: C0 / C1
uint32_t TVorAssembler::encodeROT(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isRM(o1) || !(isCL(o2) || isImm(o2))) return ERROR_OPERAND_INVALID;
  const bool withImm = isImm(o2) && o2->value != 1;
  if (withImm && !immFits(o2->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
  const uint32_t opcode = (withImm ? 0xC0u : 0xD0u) | (o1->size != 1 ? 1u : 0u) | (isCL(o2) ? 2u : 0u);
  uint32_t rc = emitRMDigit(opcode, o1->size, a.row->opcode_r, o1);
  if (rc == ASSEMBLE_OK && withImm) emitImm(o2->value, 1);
  return rc;
}

// --- igSHLRD -------------------------------------------------------------------
//
// shld 0F A4 /r ib, 0F A5 /r (CL); shrd 0F AC, 0F AD. No byte form.
uint32_t TVorAssembler::encodeSHLRD(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2, o3 = a.o3;
  if (!isRM(o1) || !isReg(o2) || !(isImm(o3) || isCL(o3))) return ERROR_OPERAND_INVALID;
  if (o2->size == 1) return ERROR_OPERAND2_INVALID;
  if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  if (isImm(o3) && !immFits(o3->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
  uint32_t rc = emitRM(a.row->opcode1 + (isCL(o3) ? 1 : 0), o2->size, o2->reg_base, o1);
  if (rc == ASSEMBLE_OK && isImm(o3)) emitImm(o3->value, 1);
  return rc;
}

// --- igRM_S --------------------------------------------------------------------
//
// setcc r/m8: 0F 90..9F /0. The destination is one byte: a wider register
// stands for its low byte, and the other bytes of the register keep their
// contents. The word registers go behind 66 outside 16-bit code, which
// changes nothing of what is written. AX..BX, EAX..EBX and RAX..RBX have
// their low byte under their own number (AL..BL); R8..R15 name R8B..R15B
// through REX.B, without REX.W. SP, BP, SI, DI and their wider forms have a
// low byte (SPL..DIL) only behind a REX prefix, which 64-bit code has and the
// other modes have not: there their numbers would name AH..BH, so they are
// refused. Memory of another width than a byte is refused: the instruction
// cannot write the bytes its size names.
uint32_t TVorAssembler::encodeRM_S(const TEncodeArgs& a) {
  POperand o1 = a.o1;
  if (o1->hint != otRegister && o1->hint != otMem) return ERROR_OPERAND_INVALID;
  TOperand low;
  uint32_t opSize = 1;
  if (o1->hint == otRegister && o1->size > 1) {
    // An 8-byte register exists in 64-bit code only.
    if (o1->reg_base > REG_R15 || (o1->size == 8 && !mode64())) return ERROR_OPERAND_INVALID;
    const uint8_t id = regID(o1->reg_base);
    if (o1->size == 2) opSize = 2;
    if (id >= 4 && id <= 7) {
      if (!mode64()) return ERROR_OPERAND_SIZE_MISMATCH;
      // A REX of no bits of its own (40) turns r/m 4-7 into SPL..DIL.
      emitOpcodeBytes(false, opSize == 2, 0x40, a.row->opcode1, 0);
      emitModR(0, id);
      return ASSEMBLE_OK;
    }
    // R8..R15 stay as they are: their REX.B names the low byte as well.
    if (id < 4) {
      low.setRegister(o1->issigned, regScale(o1->reg_base, 1));
      o1 = &low;
    }
  } else if (!widthAgrees(o1, 1)) {
    return ERROR_OPERAND_SIZE_MISMATCH;
  }
  return emitRMDigit(a.row->opcode1, opSize, 0, o1);
}

// --- igBSWAP -------------------------------------------------------------------
//
// bswap r32/r64: 0F C8+r.
uint32_t TVorAssembler::encodeBSWAP(const TEncodeArgs& a) {
  const POperand o1 = a.o1;
  if (!isReg(o1)) return ERROR_OPERAND_INVALID;
  if (o1->size < 4) return ERROR_OPERAND_SIZE_MISMATCH;
  return emitOpReg((a.row->opcode1 << 8) | 0xC8, o1->size, o1->reg_base);
}

// --- igTEST --------------------------------------------------------------------
//
// test r/m,r 84/85 /r; AL/eAX,imm A8/A9; r/m,imm F6/F7 /0.
uint32_t TVorAssembler::encodeTEST(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (isRM(o1) && isReg(o2)) {
    if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
    return emitRM(o2->size == 1 ? 0x84 : 0x85, o2->size, o2->reg_base, o1);
  }
  if (!isRM(o1) || !isImm(o2)) return ERROR_NOT_SUPPORTED;
  const uint32_t size = o1->size;
  if (size == 0 || !immFitsOperand(o2->value, size)) return ERROR_OPERAND_SIZE_MISMATCH;
  uint32_t rc = isAccumulator(o1) ? emitOpcode(size == 1 ? 0xA8 : 0xA9, size)
                                  : emitRMDigit(size == 1 ? 0xF6 : 0xF7, size, 0, o1);
  if (rc == ASSEMBLE_OK) emitImm(o2->value, immWidth(size));
  return rc;
}

// --- igREGMEM ------------------------------------------------------------------
//
// not neg mul div idiv: F6 /n (byte), F7 /n. Memory without a size takes the
// width the mode gives F7 without prefixes: a word in 16-bit code, a dword
// in 32- and 64-bit code (as inc, dec, the shifts and bt do).
uint32_t TVorAssembler::encodeREGMEM(const TEncodeArgs& a) {
  const POperand o1 = a.o1;
  if (!isRM(o1)) return ERROR_OPERAND_INVALID;
  if (o1->hint == otMem && o1->size == 0) o1->size = mode16() ? 2 : 4;
  return emitRMDigit(a.row->opcode1 + (o1->size == 1 ? 0 : 1), o1->size, a.row->opcode_r, o1);
}

// --- igXCHG --------------------------------------------------------------------
//
// xchg r/m,r 86/87 /r; with the accumulator and a register 90+r, the
// accumulator with itself included (90, the byte also read as nop). In 64-bit
// code xchg eax, eax clears the upper half of RAX and 90 does not, and 90
// with REX.W reads as a prefixed nop: both keep the long form there.
// An address (of a variable or a memory expression) is a number and cannot
// take the other value, so only registers and memory are exchanged.
uint32_t TVorAssembler::encodeXCHG(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isRM(o1) || !isReg(o2)) return ERROR_NOT_SUPPORTED;
  if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  const bool self = isAccumulator(o1) && isAccumulator(o2);
  const bool shortForm = isReg(o1) && o1->size > 1 && (isAccumulator(o1) || isAccumulator(o2)) &&
                         !(self && mode64() && o2->size > 2);
  if (shortForm) return emitOpReg(0x90, o2->size, isAccumulator(o1) ? o2->reg_base : o1->reg_base);
  return emitRM(o2->size == 1 ? 0x86 : 0x87, o2->size, o2->reg_base, o1);
}

// --- igIMUL --------------------------------------------------------------------
//
// imul r/m F6/F7 /5; imul r,r/m 0F AF /r; imul r,r/m,imm 6B /r ib or 69 /r iz.
// The two- and three-operand forms have no byte form.
uint32_t TVorAssembler::encodeIMUL(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2, o3 = a.o3;
  if (!o2) {
    if (!isReg(o1) && o1->hint != otMem) return ERROR_NOT_SUPPORTED;
    if (o1->hint == otMem && o1->size == 0) o1->size = static_cast<uint32_t>(ptrSize);
    return emitRMDigit(o1->size == 1 ? 0xF6 : 0xF7, o1->size, 5, o1);
  }
  if (!isReg(o1)) return ERROR_NOT_SUPPORTED;
  // A variable is memory at its address, as for every other r/m source.
  const bool rmSource = isReg(o2) || isMem(o2);
  if (!o3) {
    if (!rmSource && !isImm(o2)) return ERROR_NOT_SUPPORTED;
  } else if (!rmSource || !isImm(o3)) {
    return ERROR_NOT_SUPPORTED;
  }
  if (o1->size == 1) return ERROR_OPERAND1_INVALID;
  if (isImm(o2)) return imulImmediate(o1, o1, o2->value);
  if (!widthAgrees(o2, o1->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  if (o3) return imulImmediate(o1, o2, o3->value);
  return emitRM(0x0FAF, o1->size, o1->reg_base, o2);
}

uint32_t TVorAssembler::imulImmediate(POperand dst, POperand src, int64_t value) {
  const uint32_t size = dst->size;
  if (!immFitsOperand(value, size)) return ERROR_OPERAND_SIZE_MISMATCH;
  const bool short8 = isImm8(size, value);
  uint32_t rc = emitRM(short8 ? 0x6B : 0x69, size, dst->reg_base, src);
  if (rc == ASSEMBLE_OK) emitImm(value, short8 ? 1 : immWidth(size));
  return rc;
}

// --- igREG_REGMEM --------------------------------------------------------------
//
// bsf 0F BC, bsr 0F BD, popcnt F3 0F B8, cmovcc 0F 40..4F: r, r/m. No byte form.
uint32_t TVorAssembler::encodeREG_REGMEM(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isReg(o1) || !(isReg(o2) || o2->hint == otMem)) return ERROR_OPERAND_INVALID;
  if (o1->size == 1) return ERROR_OPERAND_INVALID;
  if (!widthAgrees(o2, o1->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  return emitRM(a.row->opcode1, o1->size, o1->reg_base, o2);
}

// --- igREGMEM_REG --------------------------------------------------------------
//
// xadd 0F C0/C1, cmpxchg 0F B0/B1: r/m, r.
uint32_t TVorAssembler::encodeREGMEM_REG(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (!isRM(o1) || !isReg(o2)) return ERROR_OPERAND_INVALID;
  if (!widthAgrees(o1, o2->size)) return ERROR_OPERAND_SIZE_MISMATCH;
  return emitRM(a.row->opcode1 + (o2->size == 1 ? 0 : 1), o2->size, o2->reg_base, o1);
}

}  // namespace vorak
