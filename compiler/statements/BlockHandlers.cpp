// Type aliases and record blocks.
#include "compiler/statements/BlockHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_TYPE() { fatalNotAvailable("type declarations"); }

void handle_BLOCK() { fatalNotAvailable("block declarations"); }

}  // namespace vorak
