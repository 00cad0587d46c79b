// x87 floating-point groups that take an operand: compares, arithmetic, and
// the loads and stores of floats and integers.
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

constexpr int64_t kStackRegisters = 8;

// st(n) only: mm(n) shares the operand type and is no x87 register.
bool isX87StackRegister(POperand o) {
  return o && o->isX87Register() && o->value >= 0 && o->value < kStackRegisters;
}

uint8_t stackIndex(POperand o) { return static_cast<uint8_t>(o->value); }

}  // namespace

// m32fp: B1 /digit, m64fp: B2 /digit (D8 and DC for every row). A memory
// operand without a size is single precision, and keeps that size.
uint32_t TVorAssembler::x87FloatMemory(const TInstruction& row, POperand op) {
  if (op->size == 0) op->size = 4;
  if (op->size != 4 && op->size != 8) return ERROR_OPERAND_FLOAT_4_8;
  const uint8_t opcode = op->size == 4 ? opByte<1>(row.opcode1) : opByte<2>(row.opcode1);
  return emitRMDigit(opcode, 0, row.opcode_r, op);
}

// --- igX87_FPU_S ---------------------------------------------------------------
//
// fcom and fcomp: D8 D0+i / D8 D8+i with st(i), D8 or DC /digit with memory.
// The row's second pair (DC D0+i, DC D8+i) are undocumented aliases that
// disassemblers read as something else or not at all, so every st(i) takes
// the documented D8 form.
uint32_t TVorAssembler::encodeX87_FPU_S(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1;
  if (o1->hint == otST) {
    if (!isX87StackRegister(o1)) return ERROR_OPERAND1_INVALID;
    addBytes(opByte<1>(row.opcode1), 1);
    addBytes(static_cast<uint8_t>(opByte<3>(row.opcode1) + stackIndex(o1)), 1);
    return ASSEMBLE_OK;
  }
  if (o1->hint == otMem) {
    if (a.o2) return ERROR_OPERAND_COUNT_MAX;
    return x87FloatMemory(row, o1);
  }
  return ERROR_NOT_SUPPORTED;
}

// --- igX87_FPU -----------------------------------------------------------------
//
// fadd fmul fsub fsubr fdiv fdivr:
//   st(0), st(i)  D8 B3+i          st(i), st(0)  DC B4+i
//   m32fp         D8 /digit        m64fp         DC /digit
// B3 and B4 differ for the subtractions and divisions: the DC forms swap the
// operands, so "fsub st(i), st(0)" is DC E8+i, the opcode of fsubr's D8 form.
// One register alone is the st(0), st(i) form, as every assembler and
// disassembler reads "fadd st(i)".
uint32_t TVorAssembler::encodeX87_FPU(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1, o2 = a.o2;
  if (o1->hint == otMem) {
    // The second operand would be dropped: no memory form takes one.
    if (o2) return ERROR_OPERAND_COUNT_MAX;
    return x87FloatMemory(row, o1);
  }
  if (o1->hint != otST) return ERROR_NOT_SUPPORTED;
  if (!isX87StackRegister(o1)) return ERROR_OPERAND1_INVALID;
  if (o2 && o2->hint != otST) return ERROR_OPERAND_INVALID;
  if (o2 && !isX87StackRegister(o2)) return ERROR_OPERAND2_INVALID;
  uint8_t dst = 0, src = stackIndex(o1);
  if (o2) {
    dst = stackIndex(o1);
    src = stackIndex(o2);
  }
  if (dst == 0) {
    addBytes(opByte<1>(row.opcode1), 1);
    addBytes(static_cast<uint8_t>(opByte<3>(row.opcode1) + src), 1);
    return ASSEMBLE_OK;
  }
  // st(i), st(j) with neither being st(0) is no x87 instruction.
  if (src != 0) return ERROR_OPERAND_INVALID;
  addBytes(opByte<2>(row.opcode1), 1);
  addBytes(static_cast<uint8_t>(opByte<4>(row.opcode1) + dst), 1);
  return ASSEMBLE_OK;
}

// --- igX87_MEM_STI and igX87_MEM -----------------------------------------------
//
// fld fst fstp take st(i) as well (opcode2 B1, B2+i). The memory forms by
// size, where the row's flags allow it:
//   2 bytes  B1 of opcode1 /opcode_r     4 bytes   B2 of opcode1 /opcode_r
//   8 bytes  B3 of opcode1 /B4           10 bytes  B3 of opcode2 /B4 of opcode2
// The address of a variable (otVarRef) stands for the variable itself and
// takes the size of its type. Without a size the operand is 4 bytes.
uint32_t TVorAssembler::encodeX87_MEM(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  const POperand o1 = a.o1;
  if (row.group == igX87_MEM_STI && o1->hint == otST) {
    if (!isX87StackRegister(o1)) return ERROR_OPERAND1_INVALID;
    addBytes(opByte<1>(row.opcode2), 1);
    addBytes(static_cast<uint8_t>(opByte<2>(row.opcode2) + stackIndex(o1)), 1);
    return ASSEMBLE_OK;
  }
  if (o1->hint == otVarRef) {
    // Without its record or the function that receives the fixup, the
    // variable's address could not be filled in.
    const TVar* var = static_cast<const TVar*>(o1->data);
    if (!var || !var->type_ || !o1->ptr) return ERROR_OPERAND1_INVALID;
    o1->size = var->type_->size;
  } else if (o1->hint != otMem) {
    return ERROR_OPERAND1_INVALID;
  }
  if (o1->size == 0) o1->size = 4;

  uint8_t opcode = 0, digit = 0;
  const uint32_t flags = row.flags;
  if (o1->size == 2 && (flags & OP_FM2)) {
    opcode = opByte<1>(row.opcode1);
    digit = row.opcode_r;
  } else if (o1->size == 4 && (flags & OP_FM4)) {
    opcode = opByte<2>(row.opcode1);
    digit = row.opcode_r;
  } else if (o1->size == 8 && (flags & OP_FM8)) {
    opcode = opByte<3>(row.opcode1);
    digit = opByte<4>(row.opcode1);
  } else if (o1->size == 10 && (flags & OP_FM10)) {
    // Exactly the 80-bit format: a larger operand would be read as its first
    // ten bytes.
    opcode = opByte<3>(row.opcode2);
    digit = opByte<4>(row.opcode2);
  } else {
    return ERROR_OPERAND1_INVALID;
  }
  if (opcode == 0) return ERROR_OPERAND1_INVALID;
  return emitRMDigit(opcode, 0, digit, o1);
}

}  // namespace vorak
