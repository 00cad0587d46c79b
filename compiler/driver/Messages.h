// Every message the compiler, the encoder and the plug-in host print, by name:
// the rows of the message tables (the *Messages.def files, one per layer),
// made into enums here and into text tables in Messages.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vorak {

// How many bytes of a source line or a quoted piece of text (a token, a
// name, a file name) a message shows, and of a whole message text.
inline constexpr size_t kExcerptWidth = 200;
inline constexpr size_t kMessageWidth = 1000;

// text with every byte that is not part of well-formed UTF-8, and every
// control character but the tab, written as \xNN.
std::string printableText(std::string_view text);
// printableText of at most width bytes of text around byte focus, cut at
// character boundaries; "..." marks a cut end. With focus 0 this is the one
// way a message quotes text it did not write itself.
std::string boundedText(std::string_view text, size_t focus, size_t width);

// Messages with a text of their own. The text's placeholders %0 to %9 take
// the arguments in order, each quoted (cut, unprintable bytes escaped): "%n"
// a piece of at most kExcerptWidth bytes, "%*n" a whole text of at most
// kMessageWidth bytes. The code, when a row has one, goes in front as
// "[code] ".
namespace msg {

enum Id : uint16_t {
#define MSG(name, code, text) name,
#include "compiler/driver/MessageTables.def"
  Count
};

struct TRow {
  std::string_view name;
  std::string_view code;  // empty for the texts that carry none
  std::string_view text;
};

const TRow& row(Id id);

// The message as printed: "[code] " and the text with the arguments in place.
std::string format(Id id, std::initializer_list<std::string_view> args);

template <typename... A>
std::string text(Id id, const A&... args) {
  return format(id, {std::string_view(args)...});
}

}  // namespace msg

// Errors at the current token: the row gives the code and the kind, and the
// kind the fixed words around the token ("Unexpected x", "Reserved x",
// "x redeclared").
namespace unx {

enum class Kind : uint8_t { Unexpected, Reserved, Redeclared };

enum Id : uint16_t {
#define UNX(name, code, kind) name,
#include "compiler/driver/MessageTables.def"
  Count
};

struct TRow {
  std::string_view name;
  std::string_view code;  // empty for the uncoded "Unexpected x"
  Kind kind;
};

const TRow& row(Id id);

}  // namespace unx

}  // namespace vorak
