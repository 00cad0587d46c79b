// Number and text helpers, checked against values worked out by hand.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

#include "compiler/driver/Global.h"
#include "compiler/driver/Utils.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

TEST(Utils, Int64toSize) {
  const struct { int64_t v; int32_t size; } cases[] = {
      {0, 1}, {255, 1}, {256, 2}, {65535, 2}, {65536, 4}, {4294967295LL, 4},
      {4294967296LL, 8}, {-1, 8}, {std::numeric_limits<int64_t>::min(), 8},
      {std::numeric_limits<int64_t>::max(), 8}};
  for (const auto& c : cases) EXPECT_EQ(Int64toSize(c.v, true), c.size) << c.v;
}

TEST(Utils, CalcUpper) {
  EXPECT_EQ(calcUpper(0), 0u);
  EXPECT_EQ(calcUpper(1), 1u);
  EXPECT_EQ(calcUpper(8), 0xFFu);
  EXPECT_EQ(calcUpper(32), 0xFFFFFFFFu);
  EXPECT_EQ(calcUpper(63), 0x7FFFFFFFFFFFFFFFull);
  EXPECT_EQ(calcUpper(64), ~0ull);
  EXPECT_EQ(calcUpper(200), ~0ull);  // never a shift past the width
}

TEST(Utils, StrOrd) {
  EXPECT_EQ(StrOrd(""), 0);
  EXPECT_EQ(StrOrd("A"), 0x41);
  EXPECT_EQ(StrOrd("AB"), 0x4241);
  EXPECT_EQ(StrOrd("ABCD"), 0x44434241);
  EXPECT_EQ(StrOrd("ABCDE"), 0x44434241);  // only the first four bytes
  EXPECT_EQ(StrOrd("\xFF\xFF\xFF\xFF"), 0xFFFFFFFFLL);  // zero-extended, not negative
}

TEST(Utils, AlignSize) {
  const struct { uint32_t size, align, result; } cases[] = {
      {0, 4, 4}, {4, 4, 4}, {5, 4, 8}, {8, 4, 8}, {9, 16, 16}, {17, 16, 32}, {1, 1, 1}, {7, 1, 7}};
  for (const auto& c : cases) EXPECT_EQ(alignSize(c.size, c.align), c.result) << c.size << "," << c.align;
}

TEST(Utils, Log2IntMatchesBitWidth) {
  EXPECT_EQ(log2_int(0), 0);
  EXPECT_EQ(log2_int(1), 0);
  EXPECT_EQ(log2_int(2), 1);
  EXPECT_EQ(log2_int(3), 1);
  EXPECT_EQ(log2_int(static_cast<int64_t>(1ull << 63)), 63);
  EXPECT_EQ(log2_int(-1), 63);
  // Every power of two and its neighbours against the standard library.
  for (int k = 0; k < 64; ++k) {
    const uint64_t p = 1ull << k;
    for (uint64_t v : {p, p + 1, p * 2 - 1}) {
      if (v == 0) continue;
      EXPECT_EQ(log2_int(static_cast<int64_t>(v)), std::bit_width(v) - 1) << v;
    }
  }
}

TEST(Utils, FormatSeconds) {
  const struct { double s; const char* text; } cases[] = {
      {0, "0"}, {1, "1"}, {0.5, "0.5"}, {0.12345, "0.1235"}, {2.00001, "2"}, {10.25, "10.25"},
      {0.00004, "0"}};
  for (const auto& c : cases) EXPECT_EQ(formatSeconds(c.s), c.text) << c.s;
}

TEST(Utils, CaseFoldingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(lowerCase("AbZ_[@\xC4\xE4"), "abz_[@\xC4\xE4");
  EXPECT_EQ(upperCase("abz{`\xE4"), "ABZ{`\xE4");
}

TEST(Global, OperatorTexts) {
  const struct { TMathOp op; const char* text; } cases[] = {
      {moNone, ""},       {moATrue, ""},       {moAFalse, ""},          {moAssign, "="},
      {moIsEqual, "=="},  {moNotEqual, "!="},  {moMulU, "*"},           {moMulS, "*"},
      {moDivS, "/"},      {moAddBy, "+="},     {moInc, "++"},           {moDec, "--"},
      {moLowerSEqual, "=<"}, {moLowerUEqual, "=<"}, {moHigherUEqual, ">="}, {moShiftRight, ">>"},
      {moMod, "%"},       {moXorEqual, "^="},  {moJmpOperand, ""}};
  for (const auto& c : cases) EXPECT_EQ(mo2str(c.op), c.text) << int(c.op);
  EXPECT_EQ(mo2str(static_cast<TMathOp>(200)), "");
}

class BinToIntTest : public test::FreshVorak {};

TEST_F(BinToIntTest, DigitsAndTruncation) {
  EXPECT_EQ(BinToInt("101"), 5);
  EXPECT_EQ(BinToInt("1x1"), 5);  // anything but '1' is a zero bit
  EXPECT_EQ(BinToInt(""), 0);
  const std::string ones(64, '1');
  std::string out = captureStdout([&] { EXPECT_EQ(BinToInt(ones), -1); });
  EXPECT_EQ(out, "");
  // 65 digits: one warning, and the lowest 64 digits count.
  const std::string d65 = "11" + std::string(62, '0') + "1";
  out = captureStdout([&] { EXPECT_EQ(BinToInt(d65), static_cast<int64_t>((1ull << 63) | 1)); });
  EXPECT_EQ(out, "Warning: Binary constant (0b" + d65 + ") will be truncated to 64 bits\n");
  CompileFlags.peek_mode = 1;
  out = captureStdout([&] { BinToInt(d65); });
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace vorak
