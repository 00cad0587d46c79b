// Variable declarations and statements on variables.
#include "compiler/statements/VarHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_VARTYPE() { fatalNotAvailable("variable declarations"); }

void handle_VAR() { fatalNotAvailable("statements on variables"); }

}  // namespace vorak
