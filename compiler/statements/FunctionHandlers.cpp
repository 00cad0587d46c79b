// Function prototypes and definitions with their bodies.
#include "compiler/statements/FunctionHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

TFunction* handle_PROCEDURE(bool isFunc) {
  fatalNotAvailable(isFunc ? "function declarations" : "procedure declarations");
}

TFunction* handle_FUNCDECL(int32_t dwImport, TVarType* selfType) { fatalNotAvailable("function prototypes"); }

}  // namespace vorak
