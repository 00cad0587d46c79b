// Directives: the dispatcher over the directive names, compile options,
// includes and defines, the conditionals and repetition, evaluated texts,
// messages, alignment, resources and the directives of the macro machinery.
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

// Conditionals and repetition: each compiles its live text with a nested
// statement loop and passes over the dead text up to its matching #end.
// They answer true when a #return ended the text they compiled: the loop that
// met the directive ends as well.
// #if A [op B]: ... [#elseif C: ...] [#else ...] #end
bool handle_DIRECTIVE_if();
// #ifdef NAME [op value]: ... [#else ...] #end; #ifndef (reverse) likewise.
bool handle_DIRECTIVE_ifdef(bool reverse);
// The #else branch, just read: compiled up to its #end.
bool handle_DIRECTIVE_else();
// #repeat N: ... #end
bool handle_DIRECTIVE_repeat();

// The other directives.
// #eval('text'): the text is compiled in place, as a buffer of its own read
// next by the loop that met the directive. Always false.
bool handle_DIRECTIVE_eval();
// #echo value (a message) and #depreciated value (a warning).
void handle_DIRECTIVE_echo(bool depreciated);
// #raise value: stops the compile with the value's text.
void handle_DIRECTIVE_raise();
void handle_DIRECTIVE_mpush(bool master);
void handle_DIRECTIVE_mcall();
// #align; pads the current function to the pointer size with an alignment
// fixup and as many bytes 90 (nop), the builder keeping what is needed.
void handle_DIRECTIVE_align();
bool handle_DIRECTIVE_return();
// #resource 'file.res'; adds the file's resources to the resource manager.
void handle_DIRECTIVE_resource();
void handle_DIRECTIVE_labelstart();
void handle_DIRECTIVE_handlemacro();
void handle_DIRECTIVE_movenexttext();

}  // namespace vorak
