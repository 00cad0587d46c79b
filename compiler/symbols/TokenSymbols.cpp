// Record queries for tokens: reads of the type, variable, constant and
// register-state records.
#include "compiler/symbols/TokenSymbols.h"

#include "compiler/driver/Common.h"
#include "compiler/symbols/RegisterManager.h"

namespace vorak {

bool typeSigned(const TVarType* type) { return type && type->signed_; }
bool varSigned(const TVar* var) { return var && typeSigned(var->type_); }
bool constIsValue(const TConst* c) { return c && c->type_ == ctValue; }
TVarType* registerAssumedType(TRegister reg) {
  return (RegMan && reg < RegMan->Registers.size()) ? RegMan->Registers[reg].assume : nullptr;
}

}  // namespace vorak
