// Import blocks, export lists and the entry point.
#include "compiler/statements/ImportsHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_IMPORTS() { fatalNotAvailable("import declarations"); }

void handle_EXPORTS() { fatalNotAvailable("export declarations"); }

void handle_ENTRY() { fatalNotAvailable("the entry declaration"); }

}  // namespace vorak
