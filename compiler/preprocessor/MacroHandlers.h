// Macro definitions, macro calls and macro variables.
#pragma once

#include <cstdint>

namespace vorak {

struct TMacro;

// After inline (extendedm false) or emacro (true); anonymous for a macro
// held in a macro variable.
TMacro* handle_INLINE(bool extendedm, bool anonymous);
// macro nil: the macro of the current token; source: the macro whose
// arguments #mcall passes on (nil for an ordinary call).
void handle_MACROCALL(TMacro* macro, uint32_t count, TMacro* source);
// A directive name that is no directive, or a statement that starts with a
// macro variable (current token: its name).
void handle_DIRECTIVE_macrovar();

}  // namespace vorak
