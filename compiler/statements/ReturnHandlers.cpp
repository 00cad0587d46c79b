// The return statement.
#include "compiler/statements/ReturnHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_RETURN() { fatalNotAvailable("the return statement"); }

}  // namespace vorak
