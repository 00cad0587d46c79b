// MMX and SSE groups: movq, the arithmetic, logic, compare and shift rows,
// the load/store moves, and the two-operand movsd (whose bare form is the
// string move).
#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "encoder/EncoderCommon.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

constexpr uint8_t REX_W = 8, REX_R = 4, REX_B = 1;

// mm(n) only: st(n) shares the operand type and is no MMX register.
bool isMM(POperand o) { return o && o->isMMXRegister(); }
bool isXMM(POperand o) { return o && o->hint == otXMM; }
bool isMemory(POperand o) { return o && o->hint == otMem; }

// 66, F2 and F3 select the instruction of an 0F opcode (pd, sd, ss forms);
// they must come before a REX prefix, which must come right before 0F.
bool isMandatoryPrefix(uint8_t b) { return b == 0x66 || b == 0xF2 || b == 0xF3; }

// The number a register operand puts into ModRM: mm0-7, xmm0-15, or a
// general register's number with its REX bit.
bool registerNumber(POperand o, uint8_t& n) {
  switch (o->hint) {
    case otST:
      if (!o->isMMXRegister() || o->value < 0 || o->value > 7) return false;
      break;
    case otXMM:
      if (o->value < 0 || o->value > 15) return false;
      break;
    case otRegister:
      if (o->reg_base > REG_R15) return false;
      n = regID(o->reg_base);
      return true;
    default: return false;
  }
  n = static_cast<uint8_t>(o->value);
  return true;
}

// A memory operand names the width the instruction reads or writes, or none.
bool widthMatches(POperand mem, uint32_t width) { return mem->size == 0 || mem->size == width; }

// Opcode bytes as the groups lay them out, collected for emitSimd.
struct TSimdOpcode {
  uint8_t bytes[6] = {};
  uint32_t count = 0;
  void add(uint8_t b) { bytes[count++] = b; }
};

// igSSE: [B1] B2 B3 [B4]; B1 is a mandatory prefix or, for the 0F 38 rows
// written 0F 38 xx 00, the escape itself.
TSimdOpcode sseOpcode(uint32_t word, bool p66) {
  TSimdOpcode op;
  if (p66) op.add(0x66);
  if (const uint8_t b1 = opByte<1>(word)) op.add(b1);
  op.add(opByte<2>(word));
  op.add(opByte<3>(word));
  if (const uint8_t b4 = opByte<4>(word)) op.add(b4);
  return op;
}

// igMMU_MOV, igMMU_MOVQ and igMOVSD: [B1] [B2] B3 B4.
TSimdOpcode moveOpcode(uint32_t word) {
  TSimdOpcode op;
  if (const uint8_t b1 = opByte<1>(word)) op.add(b1);
  if (const uint8_t b2 = opByte<2>(word)) op.add(b2);
  op.add(opByte<3>(word));
  op.add(opByte<4>(word));
  return op;
}

// The memory width of an igSSE row. Rows with an mm form read 8 bytes with an
// mm register and 16 with an xmm one. Of the xmm-only rows, the scalar
// arithmetic (F3/F2 0F 51, 58-5F) reads a single (4) or a double (8), and
// so does comis/ucomis (0F/66 0F 2E-2F); everything else a whole register.
uint32_t sseWidth(const TInstruction& row, bool mmOperand) {
  if ((row.flags & OP_ST) && (row.flags & OP_XMM)) return mmOperand ? 8 : 16;
  const uint8_t b1 = opByte<1>(row.opcode1), op = opByte<3>(row.opcode1);
  if (opByte<2>(row.opcode1) != 0x0F) return 16;
  const bool arithmetic = op == 0x51 || (op >= 0x58 && op <= 0x5F && op != 0x5A && op != 0x5B);
  if (arithmetic && b1 == 0xF3) return 4;
  if (arithmetic && b1 == 0xF2) return 8;
  if (op == 0x2E || op == 0x2F) return b1 == 0x66 ? 8 : 4;
  return 16;
}

// The memory width of a move: the opcode is the load or the store form used.
//   0F 10/11: F3 single, F2 double, else a whole register
//   0F 12/13, 0F 16/17: the low or high quadword (and movddup's double)
//   0F E7: movntq 8, with 66 movntdq 16;  0F C3: movnti, its register's size
uint32_t moveWidth(uint32_t word, POperand reg) {
  const uint8_t b1 = opByte<1>(word);
  switch (opByte<4>(word)) {
    case 0x10:
    case 0x11: return b1 == 0xF3 ? 4 : b1 == 0xF2 ? 8 : 16;
    case 0x12:
    case 0x13:
    case 0x16:
    case 0x17: return 8;
    case 0xE7: return b1 == 0x66 ? 16 : 8;
    case 0xC3: return reg->size;
    default: return 16;
  }
}

// The class bits of a move's operand; ok is false for an operand no class
// covers (an immediate, a label, a byte or word register, ...).
uint32_t moveClass(POperand o, bool& ok) {
  ok = true;
  switch (o->hint) {
    case otMem: return OP_MEM;
    case otST:
      if (isMM(o)) return OP_MM;
      break;
    case otXMM: return OP_XMM;
    case otRegister:
      if (o->size == 4) return OP_REG32;
      if (o->size == 8) return OP_REG64;
      break;
    default: break;
  }
  ok = false;
  return 0;
}

constexpr uint32_t kMovq2dq = 0xF30FD600;  // F3 0F D6 /r: movq2dq xmm, mm

// An x87 stack register where an MMX row reads an mm register: the two files
// share an operand type, and the bytes would name the mm register.
uint32_t refuseStackRegisters(POperand o1, POperand o2) {
  if (o1 && o1->hint == otST && !isMM(o1)) return ERROR_OPERAND1_INVALID;
  if (o2 && o2->hint == otST && !isMM(o2)) return ERROR_OPERAND2_INVALID;
  return ASSEMBLE_OK;
}

}  // namespace

uint32_t TVorAssembler::emitSimd(const uint8_t* opcode, uint32_t count, bool rexW, uint8_t reg, POperand rm) {
  if (reg > 15 || !rm) return ERROR_OPERAND_INVALID;
  TRMFields f;
  switch (rm->hint) {
    case otMem:
    case otRegister: {
      const uint32_t rc = buildRM(rm, f);
      if (rc != ASSEMBLE_OK) return rc;
      if (f.highByte) return ERROR_OPERAND_INVALID;
      break;
    }
    case otST:
    case otXMM: {
      uint8_t n = 0;
      if (!registerNumber(rm, n)) return ERROR_OPERAND_INVALID;
      f.mod = 3;
      f.rm = n & 7;
      f.rexXB = (n & 8) ? REX_B : 0;
      break;
    }
    default: return ERROR_OPERAND_INVALID;
  }
  const uint8_t rex = static_cast<uint8_t>((rexW ? REX_W : 0) | ((reg & 8) ? REX_R : 0) | f.rexXB);
  // Outside 64-bit mode 40-4F are inc and dec.
  if (rex && !mode64()) return ERROR_OPERAND_INVALID;
  if (f.addrPrefix) addBytes(0x67u, 1);
  uint32_t i = 0;
  for (; i < count && isMandatoryPrefix(opcode[i]); ++i) addBytes(opcode[i], 1);
  if (rex) addBytes(static_cast<uint64_t>(0x40 | rex), 1);
  for (; i < count; ++i) addBytes(opcode[i], 1);
  emitRMFields(reg, f);
  return ASSEMBLE_OK;
}

// --- igMMU_MOVQ ----------------------------------------------------------------
//
//   movq mm, mm/m64     0F 6F /r        movq m64, mm    0F 7F /r
//   movq xmm, xmm/m64   F3 0F 7E /r     movq m64, xmm   66 0F D6 /r
//   movq xmm, mm        F3 0F D6 /r     movq mm, xmm    F2 0F D6 /r
// The last two are the quadword moves between the register files that
// disassemblers name movq2dq and movdq2q.
uint32_t TVorAssembler::encodeMMU_MOVQ(const TEncodeArgs& a) {
  const POperand o1 = a.o1, o2 = a.o2;
  if (const uint32_t rc = refuseStackRegisters(o1, o2); rc != ASSEMBLE_OK) return rc;
  uint32_t word = 0;
  POperand regOp = o1, rmOp = o2;
  if (isMM(o1) && (isMM(o2) || isMemory(o2))) {
    word = 0x00000F6F;
  } else if (isXMM(o1) && (isXMM(o2) || isMemory(o2))) {
    word = 0xF3000F7E;
  } else if (isXMM(o1) && isMM(o2)) {
    word = 0xF3000FD6;
  } else if (isMM(o1) && isXMM(o2)) {
    word = 0xF2000FD6;
  } else if (isMemory(o1) && isXMM(o2)) {
    word = 0x66000FD6;
    regOp = o2;
    rmOp = o1;
  } else if (isMemory(o1) && isMM(o2)) {
    word = 0x00000F7F;
    regOp = o2;
    rmOp = o1;
  } else {
    return ERROR_NOT_SUPPORTED;
  }
  uint8_t reg = 0, unused = 0;
  if (!registerNumber(regOp, reg)) return regOp == o1 ? ERROR_OPERAND1_INVALID : ERROR_OPERAND2_INVALID;
  if (!isMemory(rmOp) && !registerNumber(rmOp, unused)) return ERROR_OPERAND2_INVALID;
  if (isMemory(rmOp) && !widthMatches(rmOp, 8)) return ERROR_OPERAND_SIZE_MISMATCH;
  const TSimdOpcode op = moveOpcode(word);
  return emitSimd(op.bytes, op.count, false, reg, rmOp);
}

// --- igSSE ---------------------------------------------------------------------
//
// op xmm, xmm/m (the pd, ps, sd, ss and packed-integer rows), op mm, mm/m64 or
// op xmm, xmm/m128 (rows with both forms: the xmm form is the mm opcode after
// 66), and the shifts by an immediate: [66] 0F 71-73 /digit ib. Registers
// xmm8-15 and r8-r15 in an address take a REX prefix in 64-bit mode.
uint32_t TVorAssembler::encodeSSE(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1, o2 = a.o2;
  if (row.flags == 0) {
    if (Log) Log->FatalError(msg::SseFlagsNotSet);
    return ERROR_OPERAND_INVALID;
  }
  if (const uint32_t rc = refuseStackRegisters(o1, o2); rc != ASSEMBLE_OK) return rc;
  if (!isReg(o1) && !isMM(o1) && !isXMM(o1)) return ERROR_OPERAND_INVALID;
  if (isMM(o1) && !(row.flags & OP_ST)) return ERROR_OPERAND1_INVALID;
  if (isXMM(o1) && !(row.flags & OP_XMM)) return ERROR_OPERAND1_INVALID;
  if (isReg(o1)) {
    // A byte or word register has no class at all.
    const uint32_t need = o1->size == 4 ? OP_REG32 : o1->size == 8 ? OP_REG64 : 0;
    if (!(row.flags & need)) return ERROR_OPERAND1_INVALID;
  }
  uint8_t reg = 0;
  if (!registerNumber(o1, reg)) return ERROR_OPERAND1_INVALID;

  // movq2dq reads an mm register, whatever classes its row lists.
  if (row.opcode1 == kMovq2dq) {
    if (!isMM(o2)) return ERROR_OPERAND2_INVALID;
    const TSimdOpcode op = sseOpcode(row.opcode1, false);
    return emitSimd(op.bytes, op.count, false, reg, o2);
  }

  switch (o2->hint) {
    case otST:
      if (!(row.flags2 & OP_ST)) return ERROR_OPERAND2_INVALID;
      break;
    case otXMM:
      if (!(row.flags2 & OP_XMM)) return ERROR_OPERAND2_INVALID;
      break;
    case otRegister: {
      const uint32_t need = o2->size == 4 ? OP_REG32 : o2->size == 8 ? OP_REG64 : 0;
      if (!(row.flags2 & need)) return ERROR_OPERAND2_INVALID;
      break;
    }
    case otMem:
      if (!(row.flags2 & OP_MEM)) return ERROR_OPERAND2_INVALID;
      break;
    case otImm:
      if (!(row.flags2 & OP_IMM)) return ERROR_OPERAND2_INVALID;
      break;
    default: return ERROR_OPERAND1_INVALID;
  }
  // No row of the group takes a general register.
  if (isReg(o1) || isReg(o2)) return ERROR_NOT_SUPPORTED;
  uint8_t unused = 0;
  if ((isMM(o2) || isXMM(o2)) && !registerNumber(o2, unused)) return ERROR_OPERAND2_INVALID;
  // pand mm, xmm and the like: the prefix would make both operands xmm.
  if ((isMM(o2) || isXMM(o2)) && o2->hint != o1->hint) return ERROR_OPERAND_TYPE_MISMATCH;

  const bool p66 = (row.flags & OP_ST) && (row.flags & OP_XMM) && isXMM(o1);
  if (o2->hint == otImm) {
    if (row.opcode2 == 0) return ERROR_OPERAND2_INVALID;
    if (!immFits(o2->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
    const TSimdOpcode op = sseOpcode(row.opcode2, p66);
    const uint32_t rc = emitSimd(op.bytes, op.count, false, row.opcode_r, o1);
    if (rc == ASSEMBLE_OK) emitImm(o2->value, 1);
    return rc;
  }
  // The memory form of a shift takes the count from memory; the row's digit
  // belongs to the immediate form only.
  if (isMemory(o2) && !widthMatches(o2, sseWidth(row, isMM(o1)))) return ERROR_OPERAND_SIZE_MISMATCH;
  const TSimdOpcode op = sseOpcode(row.opcode1, p66);
  return emitSimd(op.bytes, op.count, false, reg, o2);
}

// --- igMMU_MOV -----------------------------------------------------------------
//
// Load form (register first) from opcode1, store form (memory first) from
// opcode2, REX.W for an 8-byte general register unless the row says OP_NOREX.
uint32_t TVorAssembler::encodeMMU_MOV(const TEncodeArgs& a) { return simdMove(*a.row, a.o1, a.o2); }

uint32_t TVorAssembler::simdMove(const TInstruction& row, POperand o1, POperand o2) {
  if (row.flags == 0 || row.flags2 == 0) {
    if (Log) Log->FatalError(msg::SimdMoveFlags);
    return ERROR_OPERAND_INVALID;
  }
  if (const uint32_t rc = refuseStackRegisters(o1, o2); rc != ASSEMBLE_OK) return rc;
  bool ok = false;
  const uint32_t c1 = moveClass(o1, ok);
  if (!ok || !(row.flags & c1)) return ERROR_OPERAND1_INVALID;
  const uint32_t c2 = moveClass(o2, ok);
  if (!ok || !(row.flags2 & c2)) return ERROR_OPERAND2_INVALID;
  if (isMemory(o1) && isMemory(o2)) return ERROR_OPERAND_INVALID;

  const bool load = !isMemory(o1);
  const uint32_t word = load ? row.opcode1 : row.opcode2;
  const POperand regOp = load ? o1 : o2, rmOp = load ? o2 : o1;
  if (word == 0) return ERROR_OPERAND_INVALID;
  // movlps, movhps, movlpd, movhpd move a quadword to or from memory; with
  // two registers 0F 12 and 0F 16 are movhlps and movlhps (and 66 0F 12/16
  // nothing at all).
  const uint8_t op4 = opByte<4>(row.opcode1);
  if (!isMemory(rmOp) && row.opcode2 != 0 && (op4 == 0x12 || op4 == 0x16)) return ERROR_OPERAND_INVALID;
  uint8_t reg = 0, unused = 0;
  if (!registerNumber(regOp, reg)) return load ? ERROR_OPERAND1_INVALID : ERROR_OPERAND2_INVALID;
  if (!isMemory(rmOp) && !registerNumber(rmOp, unused)) return ERROR_OPERAND2_INVALID;

  const bool wide1 = isReg(o1) && o1->size == 8, wide2 = isReg(o2) && o2->size == 8;
  // 16- and 32-bit code have no 64-bit register: without REX.W (refused
  // there) nothing else would keep RAX from being written as EAX.
  if ((wide1 || wide2) && !mode64()) return ERROR_OPERAND_INVALID;
  // movmskps/pd take no REX.W: the doubleword they write fills the whole
  // 64-bit register, zero-extended, so the disassembler's 32-bit name for it
  // is the same destination.
  const bool rexW = (wide1 || wide2) && !((row.flags | row.flags2) & OP_NOREX);
  if (isMemory(rmOp) && !widthMatches(rmOp, moveWidth(word, regOp))) return ERROR_OPERAND_SIZE_MISMATCH;
  const TSimdOpcode op = moveOpcode(word);
  return emitSimd(op.bytes, op.count, rexW, reg, rmOp);
}

// --- igMOVSD -------------------------------------------------------------------
//
// Bare, the string move of doublewords: A5, after 66 in 16-bit mode, whose
// A5 moves words. With two operands the scalar double move F2 0F 10 / 11.
uint32_t TVorAssembler::encodeMOVSD(const TEncodeArgs& a) {
  if (!a.o1) {
    if (mode16()) addBytes(0x66u, 1);
    addBytes(0xA5u, 1);
    return ASSEMBLE_OK;
  }
  if (!a.o2) return ERROR_OPERAND_COUNT_MIN;
  return simdMove(*a.row, a.o1, a.o2);
}

}  // namespace vorak
