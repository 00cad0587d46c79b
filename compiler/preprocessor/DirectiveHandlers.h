// Directives: the dispatcher over the directive names, compile options,
// includes and defines, the conditionals and the directives of the macro
// machinery.
#pragma once

#include <string_view>

namespace vorak {

// The current token holds the directive's name (read clean after "#" or
// "$"). True when the directive closes the statement loop that met it.
bool handle_DIRECTIVE();

// #set option value
void handle_DIRECTIVE_set();
// #include "file" (tryOnly false) and #tryinclude "file" (true).
void handle_DIRECTIVE_include(bool tryOnly);
// Includes name once: the first existing candidate of the search becomes the
// current buffer. Missing or unreadable files are fatal, or warnings with
// tryOnly. Used by the compile driver for the standard include as well.
void handle_DIRECTIVE_doinclude(std::string_view name, bool tryOnly);
// #define NAME; and #define NAME value;
void handle_DIRECTIVE_define();

// Conditionals and repetition.
bool handle_DIRECTIVE_if();
bool handle_DIRECTIVE_ifdef(bool reverse);
bool handle_DIRECTIVE_else();
void handle_DIRECTIVE_repeat();

// The other directives.
void handle_DIRECTIVE_eval();
void handle_DIRECTIVE_echo(bool depreciated);
void handle_DIRECTIVE_raise();
void handle_DIRECTIVE_mpush(bool master);
void handle_DIRECTIVE_mcall();
void handle_DIRECTIVE_align();
bool handle_DIRECTIVE_return();
void handle_DIRECTIVE_resource();
void handle_DIRECTIVE_labelstart();
void handle_DIRECTIVE_handlemacro();
void handle_DIRECTIVE_movenexttext();

}  // namespace vorak
