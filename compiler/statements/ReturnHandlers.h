// The return statement.
#pragma once

#include "encoder/Operand.h"

namespace vorak {

struct TFunction;

void handle_RETURN();

// The register that holds fn's result when it returns: the accumulator of
// its result type's size, at most the widest the mode has (EAX outside
// 64-bit code); REG_NONE for a procedure.
TRegister resultRegister(const TFunction* fn);

}  // namespace vorak
