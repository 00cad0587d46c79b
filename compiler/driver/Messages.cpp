// The text tables of the messages and the one formatter that fills them in.
#include "compiler/driver/Messages.h"

#include <iterator>

namespace vorak {

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
  const std::string_view t = r.text;
  for (size_t i = 0; i < t.size(); ++i) {
    const size_t n = i + 1 < t.size() ? static_cast<size_t>(t[i + 1] - '0') : 10;
    if (t[i] != '%' || n > 9) {
      out += t[i];
      continue;
    }
    if (n < args.size()) out += args.begin()[n];
    ++i;
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
