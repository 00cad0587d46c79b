// Record queries for tokens. The type, variable, constant and register-state
// records do not exist yet: until their units land these answer "unsigned",
// "not a numeric constant" and "no assumed type", and those units replace the
// bodies below with reads of the records' fields.
#include "compiler/symbols/TokenSymbols.h"

namespace vorak {

bool typeSigned(const TVarType*) { return false; }
bool varSigned(const TVar*) { return false; }
bool constIsValue(const TConst*) { return false; }
TVarType* registerAssumedType(TRegister) { return nullptr; }
int32_t typeSize(const TVarType*) { return 0; }
void markVarActive(TVar*) {}
TVar* functionCallData(void*) { return nullptr; }

}  // namespace vorak
