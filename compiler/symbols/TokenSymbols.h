// What a token needs to ask of the records it may point to: the signedness of
// types, variables and constants, and the type assumed for a register.
#pragma once

#include <cstdint>

#include "encoder/Operand.h"

namespace vorak {

struct TVarType;
struct TVar;
struct TConst;

// The type's signed flag (false for nil).
bool typeSigned(const TVarType* type);
// The signed flag of the variable's type (false for nil).
bool varSigned(const TVar* var);
// True when the constant is a numeric value (ctValue).
bool constIsValue(const TConst* c);
// The type currently assumed for a general register, or nil.
TVarType* registerAssumedType(TRegister reg);
// The size in bytes of one element of the type (0 for nil).
int32_t typeSize(const TVarType* type);
// Marks the variable as used (nil is ignored).
void markVarActive(TVar* var);
// The call-data variable of a function or procedure record, or nil.
TVar* functionCallData(void* func);

}  // namespace vorak
