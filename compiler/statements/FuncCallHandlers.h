// Calls of functions and procedures.
#pragma once

#include <cstdint>

#include "encoder/Operand.h"

namespace vorak {

struct TFunction;

// The current token is the callee; thisPar the object of a method call.
void handle_FUNCCALL(bool first, TOperand* thisPar);

// The accumulator of a size: AL, AX, EAX or RAX; REG_NONE for another size.
TRegister accumulator(uint32_t size);

// The instructions that make a call's result readable at the size of a
// register: a function leaves its result in the accumulator of its result
// type's size, and what lies above it there is not part of it.
struct TResultWidening {
  struct Step {
    const char* mnemonic = nullptr;
    TOperand dst, src;  // src unused for an instruction without operands
    bool hasOperands = true;
  };
  Step steps[2];
  uint8_t count = 0;
};

// How to read the result of callee, just called, into reg: when reg is wider
// than callee's result type (of 1, 2 or 4 bytes), the steps widen the value
// from the accumulator of the type's size into reg by the type's sign
// (movzx / movsx; cdqe, the accumulator's movsxd, for a signed 4-byte result
// in 64-bit code). No steps when reg is of that size or narrower: the
// accumulator of reg's size then holds what reg reads.
TResultWidening callResultWidening(const TFunction* callee, TRegister reg);

// The steps of callResultWidening handed to emit(mnemonic, dst, src), each
// handler emitting them its own way (dst and src nullptr for an instruction
// without operands); stops at the first that emit does not return 0 for.
// The last result of emit, 0 when there were no steps; widened tells whether
// there were any.
template <class Emit>
uint32_t emitResultWidening(const TFunction* callee, TRegister reg, Emit&& emit, bool* widened = nullptr) {
  TResultWidening w = callResultWidening(callee, reg);
  if (widened) *widened = w.count != 0;
  uint32_t rc = 0;
  for (uint8_t s = 0; s < w.count && rc == 0; ++s) {
    TResultWidening::Step& step = w.steps[s];
    rc = step.hasOperands ? emit(step.mnemonic, &step.dst, &step.src) : emit(step.mnemonic, nullptr, nullptr);
  }
  return rc;
}

}  // namespace vorak
