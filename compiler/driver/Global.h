// Operators and conditions of the compile-time language, with their texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorak {

enum TMathOp : uint8_t {
  moNone, moATrue, moAFalse, moAssign, moIsEqual, moNotEqual, moAdd, moSub, moMulU, moMulS,
  moDivU, moDivS, moAddBy, moSubBy, moMulByU, moMulByS, moInc, moDec, moLowerS, moHigherS,
  moLowerSEqual, moHigherSEqual, moLowerU, moHigherU, moLowerUEqual, moHigherUEqual,
  moShiftLeft, moShiftRight, moAnd, moOr, moXor, moMod, moAndEqual, moOrEqual, moXorEqual,
  moJmpOperand
};
static_assert(moJmpOperand == 35);

// Less-or-equal reads "=<"; moNone, moATrue, moAFalse and moJmpOperand have no text.
std::string_view mo2str(TMathOp op);

}  // namespace vorak
