// Calls of functions and procedures.
#include "compiler/statements/FuncCallHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_FUNCCALL(bool first, TOperand* thisPar) { fatalNotAvailable("function calls"); }

}  // namespace vorak
