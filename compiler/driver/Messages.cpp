// The text tables of the messages and the one formatter that fills them in.
#include "compiler/driver/Messages.h"

#include <iterator>

namespace vorak {

namespace {
// Length of the well-formed UTF-8 sequence at s[i], or 0 when s[i] starts none.
size_t utf8Length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return n;
}

// Start of the character that holds byte i: a continuation byte belongs to
// the sequence that starts at most three bytes before it.
size_t characterStart(std::string_view s, size_t i) {
  size_t j = i;
  while (j > 0 && i - j < 3 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) --j;
  return utf8Length(s, j) > i - j ? j : i;
}
}  // namespace

std::string printableText(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = utf8Length(text, i);
    if (n == 0 || (c < 0x20 && c != '\t') || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string boundedText(std::string_view text, size_t focus, size_t width) {
  if (text.size() <= width) return printableText(text);
  // A window of width bytes around focus, moved inside the text; an end
  // that falls inside a character drops that character.
  size_t from = focus > width / 2 ? focus - width / 2 : 0;
  if (from > text.size() - width) from = text.size() - width;
  size_t to = from + width;
  const size_t first = characterStart(text, from);
  if (first != from) from = first + utf8Length(text, first);
  if (to < text.size()) to = characterStart(text, to);
  std::string out;
  if (from > 0) out += "...";
  out += printableText(text.substr(from, to - from));
  if (to < text.size()) out += "...";
  return out;
}

namespace msg {

namespace {
constexpr TRow kRows[] = {
#define MSG(name, code, text) {#name, code, text},
#include "compiler/driver/MessageTables.def"
};
static_assert(std::size(kRows) == Count);
}  // namespace

const TRow& row(Id id) { return kRows[id]; }

std::string format(Id id, std::initializer_list<std::string_view> args) {
  const TRow& r = kRows[id];
  std::string out;
  if (!r.code.empty()) {
    out += '[';
    out += r.code;
    out += "] ";
  }
  // Every argument is quoted on its way in: "%n" a piece (a token, a name,
  // a file name, a number) cut to kExcerptWidth, "%*n" a whole text (the
  // encoder's text, a list, a plug-in's message) cut to kMessageWidth.
  const std::string_view t = r.text;
  for (size_t i = 0; i < t.size(); ++i) {
    const bool whole = t[i] == '%' && i + 1 < t.size() && t[i + 1] == '*';
    const size_t at = whole ? i + 2 : i + 1;
    const size_t n = at < t.size() ? static_cast<size_t>(t[at] - '0') : 10;
    if (t[i] != '%' || n > 9) {
      out += t[i];
      continue;
    }
    if (n < args.size()) out += boundedText(args.begin()[n], 0, whole ? kMessageWidth : kExcerptWidth);
    i = at;
  }
  return out;
}

}  // namespace msg

namespace unx {

namespace {
constexpr TRow kRows[] = {
#define UNX(name, code, kind) {#name, code, Kind::kind},
#include "compiler/driver/MessageTables.def"
};
static_assert(std::size(kRows) == Count);
}  // namespace

const TRow& row(Id id) { return kRows[id]; }

}  // namespace unx

}  // namespace vorak
