// Calls of functions and procedures.
#pragma once

#include "encoder/Operand.h"

namespace vorak {

// The current token is the callee; thisPar the object of a method call.
void handle_FUNCCALL(bool first, TOperand* thisPar);

}  // namespace vorak
