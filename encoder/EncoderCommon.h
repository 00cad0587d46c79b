// Small questions every encoding family asks: the mode, the pointer width,
// whether an immediate fits its field, and the operand classes and offsets
// that several groups match and file alike.
#pragma once

#include <cstdint>

#include "compiler/driver/Common.h"
#include "encoder/Operand.h"

namespace vorak {

inline bool mode16() { return CompileFlags.cpu_bits == 16; }
inline bool mode64() { return CompileFlags.cpu_bits == 64; }
inline uint32_t ptrWidth() { return static_cast<uint32_t>(ptrSize); }

// Immediates arrive as the parser holds numbers: 32 bits, zero-extended, so
// FFFFFFFF also stands for -1. A value fits an n-byte field when one of the
// two readings lies in -2^(8n-1) .. 2^(8n)-1, so that the field decodes to the
// number written. With imm_roll the program asked for the low bytes of any
// value.
inline int64_t asSigned32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
inline bool inField(int64_t v, uint32_t n) {
  // Operands without a width, or of 10 and 16 bytes, reach here from memory
  // records; the shifts below are defined for 1 to 7 bytes only.
  if (n == 0) return false;
  if (n >= 8) return true;
  const int64_t lo = -(int64_t{1} << (8 * n - 1)), hi = (int64_t{1} << (8 * n)) - 1;
  return v >= lo && v <= hi;
}
inline bool immFits(int64_t v, uint32_t n) {
  if (CompileFlags.imm_roll) return true;
  return inField(v, n) || ((v >> 32) == 0 && inField(asSigned32(v), n));
}

// The 32-bit displacement field that addresses what d names. 64-bit code
// sign-extends the field, so only -2^31 .. 2^31-1 reach the address written
// (false for any other value); 16- and 32-bit code wrap addresses at their
// width, so there any value names the same place as its low 32 bits.
inline bool modeDisplacement(int64_t d, int32_t& field) {
  if (mode64() && (d < INT32_MIN || d > INT32_MAX)) return false;
  field = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(d)));
  return true;
}

inline bool isReg(POperand o) { return o && o->hint == otRegister; }
inline bool isMem(POperand o) { return o && (o->hint == otMem || o->hint == otVar); }
// AL, AX, EAX or RAX: register number 0 (R8 is 8).
inline bool isAccumulator(POperand o) { return isReg(o) && regID(o->reg_base) == 0; }

// The fixup offset of a variable's address: its displacement, scaled when the
// operand carries an element scale.
inline uint32_t varOffset(POperand o) {
  const int64_t scale = (o->scale == 2 || o->scale == 4 || o->scale == 8) ? o->scale : 1;
  return static_cast<uint32_t>(static_cast<int64_t>(o->displacement) * scale);
}

// ESP- or RSP-based operands move with every push and pop: a copy of one
// taken across pushes is re-based by the bytes pushed in between.
inline bool stackBased(const TOperand& o) {
  return o.hint == otMem && (o.reg_base == REG_ESP || o.reg_base == REG_RSP);
}

}  // namespace vorak
