// The texts of the operators of the compile-time language.
#include "compiler/driver/Global.h"

namespace vorak {

std::string_view mo2str(TMathOp op) {
  static constexpr std::string_view texts[] = {
      "", "", "", "=", "==", "!=", "+", "-", "*", "*", "/", "/", "+=", "-=", "*=", "*=", "++", "--",
      "<", ">", "=<", ">=", "<", ">", "=<", ">=", "<<", ">>", "&", "|", "^", "%", "&=", "|=", "^=", ""};
  static_assert(std::size(texts) == moJmpOperand + 1);
  return op <= moJmpOperand ? texts[op] : std::string_view{};
}

}  // namespace vorak
