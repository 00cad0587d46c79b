// Where the tokenizer and the identifier resolution reach the macro engine:
// "$" followed by a name, and a macro name read outside a peek.
#pragma once

#include <string_view>

#include "plugins/PluginInterface.h"

namespace vorak {

class TCurrentToken;
struct TMacro;

// "$" directly followed by name, with name peeked (clean) and not yet
// consumed: a built-in function or a variable or parameter of the running
// macro consumes the name and fills ct. A name that is none of them leaves ct
// as the symbol "$" and the name unread (so "$set" and the other directives
// reach the statement loop). Returns ct's kind.
TVorToken handle_INBUILT(std::string_view name, TCurrentToken& ct);
// The variables of the running macro, then its parameters: a copy of the
// value with the define name "$" + name, the name consumed. A name that is
// neither leaves ct as the symbol "$" and the name unread.
TVorToken handle_PARAMVAR(std::string_view name, TCurrentToken& ct);

// A macro name read outside peek mode: the macro is expanded at once and ct
// becomes a copy of its result token, or the symbol ";" when it has none.
// Returns ct's kind.
TVorToken expandMacroName(TMacro* macro, TCurrentToken& ct);

}  // namespace vorak
