// Wide strings through the whole build: the UTF-16 units the image holds for
// a literal (escapes, and UTF-8 text of the source), and what sizeof,
// $substr and $strindex count in one. Expected values are the characters'
// UTF-16 code units, written out by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

using Units = std::vector<uint16_t>;

// The count units at addr.
Units unitsAt(const FlatRun& run, uint64_t addr, size_t count) {
  Units u;
  for (size_t i = 0; i < count; ++i) u.push_back(static_cast<uint16_t>(run.read(addr + 2 * i, 2)));
  return u;
}

struct WideCase {
  const char* name;
  const char* value;  // a wide string token as written in the source
  Units units;        // what it stands for, without the terminating zero
};

void PrintTo(const WideCase& c, std::ostream* os) { *os << c.name; }

class WideStringTest : public ::testing::TestWithParam<WideCase> {};

// ESI: the string's address; ECX: its sizeof. The image holds the units and
// a zero unit, and sizeof counts exactly those bytes.
TEST_P(WideStringTest, StoresEachCharacterAsItsUnits) {
  const WideCase& c = GetParam();
  const std::string v = c.value;
  const FlatRun run = runFlat("mov esi, " + v + "\nmov ecx, sizeof " + v + "\nret\n", 32);
  ASSERT_TRUE(run.finished) << run.compile.out << run.fault;
  Units expected = c.units;
  expected.push_back(0);
  EXPECT_EQ(unitsAt(run, run.reg(rSI), expected.size()), expected);
  EXPECT_EQ(run.reg(rCX), 2 * expected.size()) << "sizeof " << v;
}

INSTANTIATE_TEST_SUITE_P(
    Literals, WideStringTest,
    ::testing::Values(
        WideCase{"HexEscapeAbove127", R"("\x233")", {0x00E9}},
        WideCase{"TwoEscapesTwoCharacters", R"("\x0xC3\x0xA9")", {0x00C3, 0x00A9}},
        WideCase{"EscapeBetweenLetters", R"("a\x255b")", {0x0061, 0x00FF, 0x0062}},
        WideCase{"EscapeAt128", R"("\x128")", {0x0080}},
        WideCase{"EscapeBelow128", R"("\x65")", {0x0041}},
        WideCase{"EscapeTakesTheLowByte", R"("\x0x1E9")", {0x00E9}},
        WideCase{"ZeroEscapeInside", R"("a\x0!")", {0x0061, 0x0000, 0x0021}},
        WideCase{"TwoByteSourceText", "\"\xC3\xA9t\xC3\xA9\"", {0x00E9, 0x0074, 0x00E9}},
        WideCase{"ThreeByteSourceText", "\"\xE2\x82\xAC\"", {0x20AC}},
        WideCase{"FourByteSourceTextIsAPair", "\"\xF0\x9F\x98\x80!\"", {0xD83D, 0xDE00, 0x0021}},
        WideCase{"SourceByteThatStartsNothing", "\"a\xFF\"", {0x0061, 0xFFFD}},
        WideCase{"SourceSequenceCutShort", "\"\xC3z\"", {0xFFFD, 0x007A}},
        WideCase{"SubstrCountsUnits", R"($substr("\x233abc", 2, 2))", {0x0061, 0x0062}},
        WideCase{"SubstrOfEscapes", R"($substr("\x0xC3\x0xA9", 2, 1))", {0x00A9}},
        WideCase{"SubstrTakesAWholePair", "$substr(\"a\xF0\x9F\x98\x80" "b\", 2, 2)", {0xD83D, 0xDE00}},
        WideCase{"SubstrHalfAPair", "$substr(\"a\xF0\x9F\x98\x80" "b\", 3, 2)", {0xFFFD, 0x0062}},
        WideCase{"StrcatKeepsEscapes", R"($strcat("\x233", "\x255"))", {0x00E9, 0x00FF}}),
    [](const auto& info) { return std::string(info.param.name); });

struct IndexCase {
  const char* name;
  const char* expr;   // a $strindex call
  uint64_t position;  // where the text found starts, in units (bytes for 8-bit strings)
};

void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.name; }

class WideIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(WideIndexTest, CountsAsTheStringIsStored) {
  const IndexCase& c = GetParam();
  const FlatRun run = runFlat(std::string("mov eax, ") + c.expr + "\nret\n", 32);
  ASSERT_TRUE(run.finished) << run.compile.out << run.fault;
  EXPECT_EQ(run.reg(rAX), c.position) << c.expr;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, WideIndexTest,
    ::testing::Values(IndexCase{"AfterAnEscape", R"($strindex("\x233ab", "b"))", 3},
                      IndexCase{"OfAnEscape", R"($strindex("ab\x233", "\x233"))", 3},
                      IndexCase{"AfterSourceText", "$strindex(\"\xC3\xA9\xE2\x82\xAC" "x\", \"x\")", 3},
                      IndexCase{"AfterAPair", "$strindex(\"\xF0\x9F\x98\x80" "x\", \"x\")", 3},
                      IndexCase{"Absent", R"($strindex("\x233", "\x255"))", 0},
                      // An 8-bit string counts its bytes, as before.
                      IndexCase{"AnsiCountsBytes", "$strindex('\xC3\xA9x', 'x')", 3},
                      IndexCase{"AnsiEscapeIsOneByte", R"($strindex('\x233x', 'x'))", 2}),
    [](const auto& info) { return std::string(info.param.name); });

// A single-quoted string keeps the byte of an escape.
TEST(WideStringBytes, AnEightBitStringTakesTheEscapesByte) {
  const FlatRun run = runFlat("mov esi, '\\x233'\nmov ecx, sizeof '\\x233'\nret\n", 32);
  ASSERT_TRUE(run.finished) << run.compile.out << run.fault;
  EXPECT_EQ(run.read(run.reg(rSI), 2), 0x00E9u);
  EXPECT_EQ(run.reg(rCX), 2u);
}

// A wide string is no data, but a pointer-sized global takes its address:
// the main program stores it there when it runs. 32-bit code only: a 64-bit
// image is loaded where Unicorn runs it, 16-bit code has no flat addresses.
TEST(WideStringBytes, APointerSizedGlobalTakesTheAddress) {
  const FlatRun run = runFlat("pointer p = \"ab\";\ndword d = \"c\";\nmov esi, p\nmov edi, d\nret\n", 32);
  ASSERT_TRUE(run.finished) << run.compile.out << run.fault;
  EXPECT_EQ(unitsAt(run, run.reg(rSI), 3), (Units{0x61, 0x62, 0}));
  EXPECT_EQ(unitsAt(run, run.reg(rDI), 2), (Units{0x63, 0}));
}

}  // namespace
}  // namespace vorak::test
