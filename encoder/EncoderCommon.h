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

// An immediate fits its n-byte field by the one rule every number obeys
// (numberFits): the operand parser hands numbers over whole, so 0xFFFFFFFF
// is 4294967295 and no byte holds it. With imm_roll the program asked for
// the low bytes of any value.
inline bool immFits(int64_t v, uint32_t n) { return CompileFlags.imm_roll || numberFits(v, n); }

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
