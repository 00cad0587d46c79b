// The compile-time value reader: results of expressions (precedence, word
// operators, the 64-bit integer operators, rounding), values taken as one
// token, malformed operands and arithmetic failures with their messages and
// positions, and every integer operator against the same computation done
// in 64-bit integers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "compiler/driver/Log.h"
#include "compiler/preprocessor/Evaluator.h"
#include "compiler/source/DefineManager.h"
#include "compiler/symbols/ConstManager.h"
#include "source/SourceFixture.h"

namespace vorak {
namespace {

class EvaluatorTest : public test::SourceTest {
 protected:
  // Evaluates the text and returns the token that follows the value.
  TVorToken evalThenNext(std::string_view text, std::string& nextText) {
    TAFile* f = load(text);
    handle_MACROVAR_tokens();
    result_.setCurToken(cur());
    const TVorToken t = f->moveNextToken();
    nextText = cur().F_String;
    return t;
  }

  TCurrentToken result_;
};

// ---- results of expressions ----

struct ResultCase {
  const char* name;
  const char* source;  // the value, followed by ";"
  int64_t value;
  long double exact;
  const char* text;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class EvalResult : public EvaluatorTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(EvalResult, GivesANumberOfPointerSize) {
  const ResultCase& c = GetParam();
  std::string next;
  EXPECT_EQ(evalThenNext(c.source, next), ttSymbol);
  EXPECT_EQ(next, ";") << "the whole value is read, and nothing after it";
  EXPECT_EQ(result_.F_Type, ttNumber);
  EXPECT_EQ(result_.F_Integer, c.value);
  EXPECT_EQ(result_.F_Extended, c.exact);
  EXPECT_EQ(result_.F_String, c.text);
  EXPECT_EQ(result_.F_ByteCount, 4);
  EXPECT_EQ(result_.F_BitCount, 32);
}

constexpr int64_t kMin64 = INT64_MIN;

const ResultCase kResultCases[] = {
    // The worked examples.
    {"ShiftThenAdd", "(1 shl 40) + 1;", 1099511627777, 1099511627777.0L, "1099511627777"},
    {"SevenHalvesRoundsToEven", "7 / 2;", 4, 3.5L, "4"},
    {"FiveHalvesRoundsToEven", "5 / 2;", 2, 2.5L, "2"},
    {"Mod", "7 mod 3;", 1, 1.0L, "1"},
    {"ModHasTheSignOfTheLeft", "(0 - 7) mod 3;", -1, -1.0L, "-1"},
    {"RightOfOrIsA32BitTerm", "1 or 2 * 3;", 7, 7.0L, "7"},
    {"FloatStartsAnExpression", "2.5;", 2, 2.5L, "2"},
    {"SubtractionWithBlank", "2 - 3;", -1, -1.0L, "-1"},
    // Precedence and grouping, left to right within a level.
    {"ProductBeforeSum", "2 + 3 * 4;", 14, 14.0L, "14"},
    {"Parentheses", "(2 + 3) * 4;", 20, 20.0L, "20"},
    {"SubtractionIsLeftAssociative", "10 - 2 - 3;", 5, 5.0L, "5"},
    {"DivisionIsLeftAssociative", "100 / 10 / 5;", 2, 2.0L, "2"},
    {"TwoProducts", "2 * 3 + 4 * 5;", 26, 26.0L, "26"},
    {"ShiftBindsLikeAProduct", "1 + 1 shl 4;", 17, 17.0L, "17"},
    {"NestedParentheses", "((((7))));", 7, 7.0L, "7"},
    {"ParenthesisedSumAsShiftCount", "1 shl (2 + 3);", 32, 32.0L, "32"},
    // Leading sign: only inside parentheses, and only on the first term.
    {"LeadingMinusNegatesTheProduct", "(- 2 * 3);", -6, -6.0L, "-6"},
    {"LeadingMinusOnlyOnTheFirstTerm", "(- 2 + 3);", 1, 1.0L, "1"},
    {"LeadingPlus", "(+ 5);", 5, 5.0L, "5"},
    {"NegativeNumberToken", "(-5 * 2);", -10, -10.0L, "-10"},
    // Operators as symbols and as words, words in any case.
    {"MulWord", "6 mul 7;", 42, 42.0L, "42"},
    {"MulWordUpperCase", "6 MUL 7;", 42, 42.0L, "42"},
    {"DivWord", "9 div 2;", 4, 4.5L, "4"},
    {"ModSymbol", "9 % 4;", 1, 1.0L, "1"},
    {"AndSymbol", "12 & 10;", 8, 8.0L, "8"},
    {"AndWord", "12 And 10;", 8, 8.0L, "8"},
    {"OrSymbol", "12 | 3;", 15, 15.0L, "15"},
    {"XorSymbol", "12 ^ 10;", 6, 6.0L, "6"},
    {"XorWord", "7 xor 2;", 5, 5.0L, "5"},
    {"ShiftLeftSymbol", "1 << 4;", 16, 16.0L, "16"},
    {"ShiftRightSymbol", "256 >> 4;", 16, 16.0L, "16"},
    {"ShiftRightWord", "256 shr 4;", 16, 16.0L, "16"},
    // Rounding: nearest, ties to even, in both directions.
    {"HalfRoundsToZero", "1 / 2;", 0, 0.5L, "0"},
    {"OneAndAHalfRoundsUp", "3 / 2;", 2, 1.5L, "2"},
    {"NegativeTieToEven", "(0 - 5) / 2;", -2, -2.5L, "-2"},
    {"NegativeTieUp", "(0 - 7) / 2;", -4, -3.5L, "-4"},
    {"AboveHalfRoundsUp", "11 / 4;", 3, 2.75L, "3"},
    {"BelowHalfRoundsDown", "9 / 4;", 2, 2.25L, "2"},
    {"NegativeFloat", "-2.5;", -2, -2.5L, "-2"},
    {"SmallNegativeGivesZero", "-0.25;", 0, -0.25L, "0"},
    {"FloatProductTieToEven", "1.5 * 3;", 4, 4.5L, "4"},
    // Shifts: counts 0-63, logical right shift.
    {"ShiftIntoTheSignBit", "1 shl 63;", kMin64, -9223372036854775808.0L, "-9223372036854775808"},
    {"ShiftByNothing", "5 shl 0;", 5, 5.0L, "5"},
    {"LogicalShiftRight", "-1 shr 60;", 15, 15.0L, "15"},
    {"ShiftRightBy63", "-1 shr 63;", 1, 1.0L, "1"},
    {"ShiftRightOfNegative", "(0 - 8) >> 1;", 9223372036854775804, 9223372036854775804.0L, "9223372036854775804"},
    // Integer operators on the 64-bit values of both sides.
    {"AndWithA32BitMask", "0x123456789 & 0xFFFFFFFF;", 0x23456789, 591751049.0L, "591751049"},
    {"AndWithBit31", "0x123456789 & 0x80000000;", 0, 0.0L, "0"},
    {"AndOperandOf32Bits", "5 and 4294967295;", 5, 5.0L, "5"},
    {"AndKeepsTheUpperBits", "4294967296 and -1;", 4294967296, 4294967296.0L, "4294967296"},
    {"AndWithLow32Bits", "-1 and 255;", 255, 255.0L, "255"},
    {"ModByNegative", "7 mod -3;", 1, 1.0L, "1"},
    {"NegativeModNegative", "-7 mod -3;", -1, -1.0L, "-1"},
    {"ModByMinusOneOfTheSmallest", "-9223372036854775808 mod -1;", 0, 0.0L, "0"},
    {"ModOperandFromParentheses", "100 mod (4294967296 + 7);", 100, 100.0L, "100"},
    {"ModBy2To32", "0x100000005 % 0x100000000;", 5, 5.0L, "5"},
    // The right side of or/xor: a term of the integer operators.
    {"OrOfBit32", "1 | 0x100000000;", 4294967297, 4294967297.0L, "4294967297"},
    {"XorOfBit32", "0x100000000 ^ 0x100000000;", 0, 0.0L, "0"},
    {"OrProductOf64Bits", "0 | 65536 * 65536;", 4294967296, 4294967296.0L, "4294967296"},
    {"OrProductPast32Bits", "0 or 2147483647 * 2;", 4294967294, 4294967294.0L, "4294967294"},
    {"OrDivisionTruncates", "0 or 7 / 2;", 3, 3.0L, "3"},
    {"OrDivisionTowardZero", "0 or -7 / 2;", -3, -3.0L, "-3"},
    {"OrShiftPast32Bits", "0 or 1 shl 33;", 8589934592, 8589934592.0L, "8589934592"},
    {"OrShiftIntoBit31", "0 or 1 shl 31;", 2147483648, 2147483648.0L, "2147483648"},
    {"OrLogicalShiftRight", "0 or -1 shr 28;", 68719476735, 68719476735.0L, "68719476735"},
    {"OrModulo", "0 or -7 mod 3;", -1, -1.0L, "-1"},
    {"OrModByMinusOne", "0 or -2147483648 mod -1;", 0, 0.0L, "0"},
    {"OrAnd", "0 or 12 and 10;", 8, 8.0L, "8"},
    {"OrTakesTheWholeNumber", "0 or 4294967298;", 4294967298, 4294967298.0L, "4294967298"},
    {"OrTakesTheWholeParentheses", "0 or (4294967298);", 4294967298, 4294967298.0L, "4294967298"},
    {"OrLeftIs64Bits", "4294967296 or 1;", 4294967297, 4294967297.0L, "4294967297"},
    {"XorWithSignExtendedMinusOne", "0 xor -1;", -1, -1.0L, "-1"},
    {"OrThenSum", "1 or 2 + 3;", 6, 6.0L, "6"},
    {"OrBelowShift", "1 shl 40 or 1;", 1099511627777, 1099511627777.0L, "1099511627777"},
    // 80-bit precision: every 64-bit integer is exact.
    // Beyond 64 bits and back, where 80 bits hold every bit.
    {"PowerOfTwoBeyond64Bits", "(1 shl 62) * 4 / 8;", 2305843009213693952, 2305843009213693952.0L,
     "2305843009213693952"},
    {"SumBeyond64BitsAndBack", "0x7FFFFFFFFFFFFFFF + 1 - 1;", INT64_MAX, 9223372036854775807.0L, "9223372036854775807"},
    {"FractionsStayInexact", "1 / 3 * 3;", 1, 1.0L, "1"},
    {"BeyondDoublePrecision", "9007199254740993 + 0;", 9007199254740993, 9007199254740993.0L, "9007199254740993"},
    {"LargestInt64", "9223372036854775807 - 0;", INT64_MAX, 9223372036854775807.0L, "9223372036854775807"},
    {"LargestInt64MinusOne", "9223372036854775807 - 1;", INT64_MAX - 1, 9223372036854775806.0L, "9223372036854775806"},
    {"SmallestInt64", "-9223372036854775808 + 0;", kMin64, -9223372036854775808.0L, "-9223372036854775808"},
    {"AllBitsLiteralIsMinusOne", "0xFFFFFFFFFFFFFFFF + 1;", 0, 0.0L, "0"},
    {"HexAndBinaryOperands", "0x10 + 0b11;", 19, 19.0L, "19"},
    {"CommentsBetweenOperands", "2 /* two */ * // times\n 3;", 6, 6.0L, "6"},
    {"OperandsOverLines", "1\n+\n2;", 3, 3.0L, "3"},
};

INSTANTIATE_TEST_SUITE_P(Expressions, EvalResult, ::testing::ValuesIn(kResultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EvaluatorTest, ResultTakesThePointerSize) {
  ptrSize = 8;
  std::string next;
  evalThenNext("1 + 1;", next);
  EXPECT_EQ(result_.F_Integer, 2);
  EXPECT_EQ(result_.F_ByteCount, 8);
  EXPECT_EQ(result_.F_BitCount, 64);
  ptrSize = 2;
  evalThenNext("300;", next);
  EXPECT_EQ(result_.F_Integer, 300);
  EXPECT_EQ(result_.F_ByteCount, 2);
}

TEST_F(EvaluatorTest, NamesAreResolvedAsOperands) {
  DefMan->addDefine("TEN", 10);
  Consts->addConst("two", ctValue, 1, int64_t{2});
  std::string next;
  evalThenNext("TEN * two + TEN;", next);
  EXPECT_EQ(result_.F_Integer, 30);
  EXPECT_EQ(result_.F_ByteCount, 4) << "the result's size is the pointer size, not the operands'";
  // A name that only starts the value still makes it an expression.
  evalThenNext("two shl 3;", next);
  EXPECT_EQ(result_.F_Integer, 16);
}

// ---- where an expression ends ----

struct EndCase {
  const char* name;
  const char* source;
  int64_t value;
  TVorToken nextKind;
  const char* nextText;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class EvalEnd : public EvaluatorTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EvalEnd, LeavesTheRestUnread) {
  const EndCase& c = GetParam();
  std::string next;
  EXPECT_EQ(evalThenNext(c.source, next), c.nextKind);
  EXPECT_EQ(next, c.nextText);
  EXPECT_EQ(result_.F_Type, ttNumber);
  EXPECT_EQ(result_.F_Integer, c.value);
}

const EndCase kEndCases[] = {
    {"NumberWhereAnOperatorIsExpected", "2-3;", 2, ttNumber, "-3"},
    {"Comma", "5, 6", 5, ttSymbol, ","},
    {"ClosingParenthesis", "(1 + 2)) ;", 3, ttSymbol, ")"},
    {"ComparisonIsNoOperator", "3 < 4", 3, ttSymbol, "<"},
    {"CompoundAssignmentIsNoOperator", "1 += 2", 1, ttSymbol, "+"},
    {"IncrementIsNoOperator", "1 ++", 1, ttSymbol, "+"},
    {"OrAssignIsNoOperator", "1 |= 2", 1, ttSymbol, "|"},
    {"NotIsNoOperator", "1 ! 2", 1, ttSymbol, "!"},
    {"Keyword", "5 if", 5, ttIdent, "if"},
    {"Register", "5 eax", 5, ttRegister, "eax"},
    {"OtherWord", "5 plus 1", 5, ttIdent, "plus"},
    {"OrChain", "1 or 2 or 4;", 7, ttSymbol, ";"},
    {"EndOfText", "5", 5, ttEOF, ""},
};

INSTANTIATE_TEST_SUITE_P(Expressions, EvalEnd, ::testing::ValuesIn(kEndCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- values taken as one token ----

TEST_F(EvaluatorTest, OtherValuesAreTakenAsOneToken) {
  struct Case {
    const char* source;
    TVorToken kind;
    const char* text;
    const char* next;  // the token read after the value
  };
  const Case cases[] = {
      {"eax;", ttRegister, "eax", ";"},
      {"'text';", ttAnsiString, "text", ";"},
      {"\"wide\";", ttWideString, "wide", ";"},
      {"'(';", ttAnsiString, "(", ";"},  // a string is a value even when its text is "("
      {"foo;", ttIdent, "foo", ";"},
      {"- 5;", ttSymbol, "-", "5"},
      {";", ttSymbol, ";", ""},
  };
  for (const Case& c : cases) {
    std::string next;
    evalThenNext(c.source, next);
    EXPECT_EQ(result_.F_Type, c.kind) << c.source;
    EXPECT_EQ(result_.F_String, c.text) << c.source;
    EXPECT_EQ(next, c.next) << c.source;
  }
  std::string next;
  evalThenNext("'ab' + 1", next);
  EXPECT_EQ(result_.F_Type, ttAnsiString);
  EXPECT_EQ(next, "+") << "nothing after the one token is read";
}

// ---- malformed operands ----

struct ErrorCase {
  const char* name;
  std::string source;
  const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class EvalError : public EvaluatorTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(EvalError, StopsWithMessageAndPosition) {
  load(GetParam().source);
  EXPECT_EQ(fatalLine([] { handle_MACROVAR_tokens(); }), GetParam().message);
}

const ErrorCase kErrorCases[] = {
    {"MissingClosingParenthesis", "(1 + 2;", "[1,7]: [756] Unexpected symbol ; in [t.vor]"},
    {"SymbolAsOperand", "1 + ;", "[1,5]: [723] Unexpected symbol ; in [t.vor]"},
    {"RegisterAsOperand", "1 + eax", "[1,7]: [765] Unexpected register eax in [t.vor]"},
    {"StringAsOperand", "(1 * 'a')", "[1,8]: [765] Unexpected ansi string 'a' in [t.vor]"},
    {"EndOfTextAsOperand", "(1 +", "[1,5]: [765] Unexpected EOF in [t.vor]"},
    {"SignWithoutOperand", "(-)", "[1,3]: [723] Unexpected symbol ) in [t.vor]"},
    {"IntOperandMissingParenthesis", "1 or (2 ;", "[1,9]: [876] Unexpected symbol ; in [t.vor]"},
    {"IntOperandSymbol", "1 shl ;", "[1,7]: [983] Unexpected symbol ; in [t.vor]"},
    {"IntOperandName", "1 shl x", "[1,7]: [865] Unexpected ident x in [t.vor]"},
    {"IntOperandFloat", "1 shl 2.5", "[1,9]: [865] Unexpected float 2.5 in [t.vor]"},
    {"IntOperandOfOrFloat", "1 xor\n  1.5", "[2,5]: [865] Unexpected float 1.5 in [t.vor]"},
};

INSTANTIATE_TEST_SUITE_P(Expressions, EvalError, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EvaluatorTest, NestingLimit) {
  std::string next;
  evalThenNext(std::string(199, '(') + "1" + std::string(199, ')') + ";", next);
  EXPECT_EQ(result_.F_Integer, 1);
  load(std::string(200, '(') + "1" + std::string(200, ')'));
  EXPECT_EQ(fatalLine([] { handle_MACROVAR_tokens(); }),
            "[1,200]: [7561] Expression is nested too deeply in [t.vor]");
  // Through the parentheses of a 32-bit operand as well.
  load("1 shl " + std::string(200, '(') + "1");
  EXPECT_EQ(fatalLine([] { handle_MACROVAR_tokens(); }),
            "[1,206]: [7561] Expression is nested too deeply in [t.vor]");
}

TEST_F(EvaluatorTest, NestingFarPastTheLimitStopsCleanly) {
  load(std::string(100000, '(') + "1");
  const std::string line = fatalLine([] { handle_MACROVAR_tokens(); });
  EXPECT_NE(line.find("[7561] Expression is nested too deeply"), std::string::npos) << line;
}

// ---- arithmetic failures ----

// A failure stops the compile with a message that says what happened, at
// the operand that made it happen, and names the operator as written.
const ErrorCase kFailureCases[] = {
    {"ExtendedDivisionByZero", "1 / 0;", "[1,5]: [13093] Division by zero in \"/\" in [t.vor]"},
    {"ExtendedZeroByZero", "0 / 0;", "[1,5]: [13093] Division by zero in \"/\" in [t.vor]"},
    {"ExtendedDivisionByZeroFloat", "2.5 div 0.0;", "[1,11]: [13093] Division by zero in \"div\" in [t.vor]"},
    {"RemainderByZero", "7 mod 0;", "[1,7]: [13093] Division by zero in \"mod\" in [t.vor]"},
    {"IntegerDivisionByZero", "0 or 1 / 0;", "[1,10]: [13093] Division by zero in \"/\" in [t.vor]"},
    {"IntegerRemainderByZero", "0 or 1 mod 0;", "[1,12]: [13093] Division by zero in \"mod\" in [t.vor]"},
    {"IntegerSmallestByMinusOne", "0 or -9223372036854775808 / -1;",
     "[1,30]: [13091] Result of \"/\" does not fit 64 bits in [t.vor]"},
    {"IntegerProductPast64Bits", "0 | 4294967296 * 4294967296;",
     "[1,27]: [13091] Result of \"*\" does not fit 64 bits in [t.vor]"},
    {"ResultBeyond64Bits", "0x7FFFFFFFFFFFFFFF + 1;", "[1,22]: [13091] Result of \"+\" does not fit 64 bits in [t.vor]"},
    {"NegativeResultBeyond64Bits", "-9223372036854775808 - 1;",
     "[1,24]: [13091] Result of \"-\" does not fit 64 bits in [t.vor]"},
    {"NegatedSmallest", "(- -9223372036854775808);", "[1,24]: [13091] Result of \"-\" does not fit 64 bits in [t.vor]"},
    {"ShiftOfAValueBeyond64Bits", "(9223372036854775807 + 1) shl 1;",
     "[1,29]: [13091] Result of \"+\" does not fit 64 bits in [t.vor]"},
    {"ShiftCountBeyond64Bits", "1 shl (9223372036854775807 + 1);",
     "[1,30]: [13091] Result of \"+\" does not fit 64 bits in [t.vor]"},
    {"OrOfAValueBeyond64Bits", "(9223372036854775807 * 2) or 1;",
     "[1,28]: [13091] Result of \"*\" does not fit 64 bits in [t.vor]"},
    {"ProductThatLostBits", "0x100000001 * 0x100000001 - 0x7FFFFFFFFFFFFFFF - 0x7FFFFFFFFFFFFFFF;",
     "[1,25]: [13091] Result of \"*\" does not fit 64 bits in [t.vor]"},
    {"SumThatLostBits", "0x7FFFFFFFFFFFFFFF + 0x7FFFFFFFFFFFFFFF + 3 - 0x7FFFFFFFFFFFFFFF - 0x7FFFFFFFFFFFFFFF;",
     "[1,43]: [13091] Result of \"+\" does not fit 64 bits in [t.vor]"},
    {"AFloatBeyond64Bits", "100000000000000000000.0;", "[1,23]: [13092] Value of the expression does not fit 64 bits in [t.vor]"},
    {"ExtendedOverflow", "1" + std::string(4000, '0') + ".0 * 1" + std::string(4000, '0') + ".0;",
     "[1,8009]: [13091] Result of \"*\" does not fit 64 bits in [t.vor]"},
    {"ShiftCount64", "1 shl 64;", "[1,8]: [13090] Shift count 64 of \"shl\" is outside 0 to 63 in [t.vor]"},
    {"ShiftCount65", "1 << 65;", "[1,7]: [13090] Shift count 65 of \"<<\" is outside 0 to 63 in [t.vor]"},
    {"NegativeShiftCount", "1 shl -1;", "[1,8]: [13090] Shift count -1 of \"shl\" is outside 0 to 63 in [t.vor]"},
    {"ShiftRightBy64", "-1 shr 64;", "[1,9]: [13090] Shift count 64 of \"shr\" is outside 0 to 63 in [t.vor]"},
    {"IntegerShiftCount", "0 | 1 >> 100;", "[1,12]: [13090] Shift count 100 of \">>\" is outside 0 to 63 in [t.vor]"},
};

INSTANTIATE_TEST_SUITE_P(Failures, EvalError, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every integer operator against 64-bit integers ----

// Operands at the edges of 32 and 64 bits, and small ones (counts, signs).
const int64_t kOperands[] = {0,          1,           -1,          2,          -7,         31,
                             32,         63,          64,          0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                             0x100000000, 0x123456789, -0x80000000LL, INT64_MAX,  INT64_MIN,
                             static_cast<int64_t>(0xFFFFFFFFFFFFFF80ull)};

// A number as the source may write it: in decimal, or (for some) as the
// hexadecimal digits of its 64 bits, which spell the same number.
std::string written(int64_t v, bool hex) {
  if (!hex) return std::to_string(v);
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

// One operator of the table: how it is written around two operands, and the
// 64-bit computation it must give (false: the failure that must stop it,
// with the message's code).
struct TableOp {
  const char* shape;  // %a and %b stand for the operands
  const char* code;   // the message of a failure
  bool (*compute)(int64_t a, int64_t b, int64_t& r);
};

bool inRange(__int128 v, int64_t& r) {
  if (v < INT64_MIN || v > INT64_MAX) return false;
  r = static_cast<int64_t>(v);
  return true;
}

const TableOp kTableOps[] = {
    {"%a & %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a & b, true; }},
    {"%a and %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a & b, true; }},
    {"%a | %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a | b, true; }},
    {"%a or %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a | b, true; }},
    {"%a ^ %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a ^ b, true; }},
    {"%a xor %b;", "", [](int64_t a, int64_t b, int64_t& r) { return r = a ^ b, true; }},
    {"%a << %b;", "[13090]",
     [](int64_t a, int64_t b, int64_t& r) {
       if (b < 0 || b > 63) return false;
       r = static_cast<int64_t>(static_cast<uint64_t>(a) << b);
       return true;
     }},
    {"%a shr %b;", "[13090]",
     [](int64_t a, int64_t b, int64_t& r) {
       if (b < 0 || b > 63) return false;
       r = static_cast<int64_t>(static_cast<uint64_t>(a) >> b);
       return true;
     }},
    {"%a % %b;", "[13093]",
     [](int64_t a, int64_t b, int64_t& r) {
       if (b == 0) return false;
       r = b == -1 ? 0 : a % b;
       return true;
     }},
    // The right side of | and ^: the integer level's * and /.
    {"0 | %a * %b;", "[13091]",
     [](int64_t a, int64_t b, int64_t& r) { return inRange(static_cast<__int128>(a) * b, r); }},
    {"0 xor %a div %b;", "[1309",  // 13093 by zero, 13091 for the smallest by -1
     [](int64_t a, int64_t b, int64_t& r) {
       if (b == 0 || (a == INT64_MIN && b == -1)) return false;
       r = a / b;
       return true;
     }},
    {"0 | %a shl %b;", "[13090]",
     [](int64_t a, int64_t b, int64_t& r) {
       if (b < 0 || b > 63) return false;
       r = static_cast<int64_t>(static_cast<uint64_t>(a) << b);
       return true;
     }},
    {"0 | %a mod %b & -1;", "[13093]",
     [](int64_t a, int64_t b, int64_t& r) {
       if (b == 0) return false;
       r = b == -1 ? 0 : a % b;
       return true;
     }},
    // Sums, differences and products of the extended level: exact within
    // 64 bits, refused beyond.
    {"%a + %b;", "[13091]",
     [](int64_t a, int64_t b, int64_t& r) { return inRange(static_cast<__int128>(a) + b, r); }},
    {"%a - %b;", "[13091]",
     [](int64_t a, int64_t b, int64_t& r) { return inRange(static_cast<__int128>(a) - b, r); }},
    {"%a * %b;", "[13091]",
     [](int64_t a, int64_t b, int64_t& r) { return inRange(static_cast<__int128>(a) * b, r); }},
};

std::string shaped(const char* shape, const std::string& a, const std::string& b) {
  std::string s;
  for (const char* p = shape; *p; ++p) {
    if (p[0] == '%' && (p[1] == 'a' || p[1] == 'b')) {
      s += p[1] == 'a' ? a : b;
      ++p;
    } else {
      s += *p;
    }
  }
  return s;
}

TEST_F(EvaluatorTest, EveryIntegerOperatorGivesWhat64BitIntegersGive) {
  size_t values = 0, failures = 0, n = 0;
  for (const TableOp& op : kTableOps) {
    for (int64_t a : kOperands) {
      for (int64_t b : kOperands) {
        // "- -1" is no operand: a subtraction needs a blank before a digit.
        const std::string text = shaped(op.shape, written(a, n % 3 == 1), written(b, n % 5 == 2));
        ++n;
        int64_t want = 0;
        const bool ok = op.compute(a, b, want);
        load(text);
        if (ok) {
          std::string next;
          handle_MACROVAR_tokens();
          EXPECT_EQ(cur().F_Type, ttNumber) << text;
          EXPECT_EQ(cur().F_Integer, want) << text;
          ++values;
        } else {
          const std::string line = fatalLine([] { handle_MACROVAR_tokens(); });
          EXPECT_NE(line.find(op.code), std::string::npos) << text << ": " << line;
          ++failures;
        }
      }
    }
  }
  EXPECT_EQ(values + failures, std::size(kTableOps) * std::size(kOperands) * std::size(kOperands));
  EXPECT_GT(failures, 300u);
}

}  // namespace
}  // namespace vorak
