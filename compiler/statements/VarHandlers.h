// Variable declarations and statements on variables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "encoder/Operand.h"

namespace vorak {

struct TFunction;

// A declaration: the current token is the type name.
void handle_VARTYPE();
// A statement that starts with a variable (the current token).
void handle_VAR();
// The right side of "o1 = ...": a call, a conditional value or an operand.
// Returns the encoder's result code of the last instruction (0 = success);
// the caller reports a failure with its own code.
uint32_t handle_VARASSIGN(TOperand* o1);
// "mov" o1, value for an assignment to memory (a variable, an element, a
// member, a memory operand): a narrower value widens by o1's sign, a wider
// one gives its low part with a warning, and a number beyond 32 bits into 8
// bytes of 64-bit code is stored as its two halves. Returns the encoder's
// result code.
uint32_t assignToMemory(TOperand* o1, TOperand* value);
// A "-", "~" or "!" before the value (a prefix that only a register target
// takes) stops the compile with a message that names the target.
void refuseValuePrefix(std::string_view target);
// "(condition) ? a : b" or "if (condition) ? a : b" into o1.
uint32_t handle_VARCONDITION(TOperand* o1);
// Room for a local named name of bytes in fn's body, below the locals
// declared before it; returns its address. The room is refused past 2 GiB,
// and after the first instruction of a body without a frame.
int32_t reserveLocal(TFunction* fn, const std::string& name, uint64_t bytes);

}  // namespace vorak
