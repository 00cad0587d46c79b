// Constant and enumeration declarations.
#include "compiler/statements/ConstHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_CONST() { fatalNotAvailable("constant declarations"); }

void handle_ENUM() { fatalNotAvailable("enumerations"); }

}  // namespace vorak
