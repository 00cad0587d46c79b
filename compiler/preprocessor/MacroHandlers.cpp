// Macro definitions, macro calls and macro variables.
#include "compiler/preprocessor/MacroHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

TMacro* handle_INLINE(bool extendedm, bool anonymous) {
  fatalNotAvailable(extendedm ? "extended macros" : "inline macros");
}

void handle_MACROCALL(TMacro* macro, uint32_t count, TMacro* source) { fatalNotAvailable("macro calls"); }

void handle_DIRECTIVE_macrovar() { fatalNotAvailable("macro variables"); }

}  // namespace vorak
