// Calls of functions and procedures.
#pragma once

#include <cstdint>

#include "encoder/Operand.h"

namespace vorak {

struct TFunction;
struct TVar;

// The current token is the callee; thisPar the object of a method call.
void handle_FUNCCALL(bool first, TOperand* thisPar);

// The call of "dst = call": handle_FUNCCALL, with the registers of dst's
// address that the call changes kept across it, so that the result, stored
// into dst afterwards, lands where dst addressed when the statement began.
// dst may name other registers on return.
void compileCallStoredInto(TOperand& dst, TOperand* thisPar);

// "pointer = value" on the variable of a function pointer: a function's
// address must be of a function of the pointer's form.
void checkPointerValue(const TVar* pointer, const TOperand& value);

// The accumulator of a size: AL, AX, EAX or RAX; REG_NONE for another size.
TRegister accumulator(uint32_t size);

// The instructions that make a call's result readable at the size of a
// register: a function leaves its result in the accumulator of its result
// type's size, and what lies above it there is not part of it.
struct TResultWidening {
  const char* mnemonic = nullptr;  // nullptr: nothing to widen
  TOperand dst, src;
};

// How to read the result of callee, just called, into reg: when reg is wider
// than callee's result type (of 1, 2 or 4 bytes), one instruction widens the
// value from the accumulator of the type's size into reg by the type's sign
// (movzx / movsx; for a 4-byte result in 64-bit code movsxd, or a 32-bit mov
// that clears the upper half). Nothing when reg is of that size or narrower:
// the accumulator of reg's size then holds what reg reads.
TResultWidening callResultWidening(const TFunction* callee, TRegister reg);

// The instruction of callResultWidening handed to emit(mnemonic, dst, src).
// The result of emit, 0 when there was nothing to widen; widened tells
// whether there was.
template <class Emit>
uint32_t emitResultWidening(const TFunction* callee, TRegister reg, Emit&& emit, bool* widened = nullptr) {
  TResultWidening w = callResultWidening(callee, reg);
  if (widened) *widened = w.mnemonic != nullptr;
  return w.mnemonic ? emit(w.mnemonic, &w.dst, &w.src) : 0;
}

}  // namespace vorak
