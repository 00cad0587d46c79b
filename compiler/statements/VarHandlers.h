// Variable declarations and statements on variables.
#pragma once

#include <cstdint>

#include "encoder/Operand.h"

namespace vorak {

// A declaration: the current token is the type name.
void handle_VARTYPE();
// A statement that starts with a variable (the current token).
void handle_VAR();
// The right side of "o1 = ...": a call, a conditional value or an operand.
// Returns the encoder's result code of the last instruction (0 = success);
// the caller reports a failure with its own code.
uint32_t handle_VARASSIGN(TOperand* o1);
// "(condition) ? a : b" or "if (condition) ? a : b" into o1.
uint32_t handle_VARCONDITION(TOperand* o1);

}  // namespace vorak
