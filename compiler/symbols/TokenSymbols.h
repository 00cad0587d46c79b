// What a token needs to ask of the records it may point to: the signedness of
// types, variables and constants, and the type assumed for a register.
#pragma once

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

}  // namespace vorak
