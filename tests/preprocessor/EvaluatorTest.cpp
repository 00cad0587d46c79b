// The compile-time value reader: results of expressions (precedence, word
// operators, 32-bit operand levels, rounding, shift counts), values taken as
// one token, malformed operands with their messages and positions, and the
// arithmetic failures that end the run through the top-level handler.
#include <gtest/gtest.h>

#include <cstdint>
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
    {"ShiftCountModulo64", "1 shl 64;", 1, 1.0L, "1"},
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
    // Shift counts: modulo 64 at the term level, logical right shift.
    {"ShiftIntoTheSignBit", "1 shl 63;", kMin64, -9223372036854775808.0L, "-9223372036854775808"},
    {"ShiftCount65", "1 shl 65;", 2, 2.0L, "2"},
    {"NegativeShiftCount", "1 shl -1;", kMin64, -9223372036854775808.0L, "-9223372036854775808"},
    {"LogicalShiftRight", "-1 shr 60;", 15, 15.0L, "15"},
    {"ShiftRightBy64IsNone", "-1 shr 64;", -1, -1.0L, "-1"},
    {"ShiftRightOfNegative", "(0 - 8) >> 1;", 9223372036854775804, 9223372036854775804.0L, "9223372036854775804"},
    // Integer-level operands of the term level: 32 bits, sign-extended.
    {"AndOperandIsSignExtended", "5 and 4294967295;", 5, 5.0L, "5"},
    {"AndKeepsTheUpperBits", "4294967296 and -1;", 4294967296, 4294967296.0L, "4294967296"},
    {"AndWithLow32Bits", "-1 and 255;", 255, 255.0L, "255"},
    {"ModByNegative", "7 mod -3;", 1, 1.0L, "1"},
    {"NegativeModNegative", "-7 mod -3;", -1, -1.0L, "-1"},
    {"ModByMinusOneOfTheSmallest", "-9223372036854775808 mod -1;", 0, 0.0L, "0"},
    {"ModOperandFromParentheses", "100 mod (4294967296 + 7);", 2, 2.0L, "2"},
    // The right side of or/xor: a 32-bit term.
    {"Or32BitProductWraps", "0 or 2147483647 * 2;", -2, -2.0L, "-2"},
    {"Or32BitDivisionTruncates", "0 or 7 / 2;", 3, 3.0L, "3"},
    {"Or32BitDivisionTowardZero", "0 or -7 / 2;", -3, -3.0L, "-3"},
    {"Or32BitShiftCountModulo32", "0 or 1 shl 33;", 2, 2.0L, "2"},
    {"Or32BitShiftIntoSignBit", "0 or 1 shl 31;", -2147483648, -2147483648.0L, "-2147483648"},
    {"Or32BitLogicalShiftRight", "0 or -1 shr 28;", 15, 15.0L, "15"},
    {"Or32BitModulo", "0 or -7 mod 3;", -1, -1.0L, "-1"},
    {"Or32BitModByMinusOne", "0 or -2147483648 mod -1;", 0, 0.0L, "0"},
    {"Or32BitAnd", "0 or 12 and 10;", 8, 8.0L, "8"},
    {"OrTakesTheLow32BitsOfANumber", "0 or 4294967298;", 2, 2.0L, "2"},
    {"OrTakesTheLow32BitsOfParentheses", "0 or (4294967298);", 2, 2.0L, "2"},
    {"OrLeftIs64Bits", "4294967296 or 1;", 4294967297, 4294967297.0L, "4294967297"},
    {"XorWithSignExtendedMinusOne", "0 xor -1;", -1, -1.0L, "-1"},
    {"OrThenSum", "1 or 2 + 3;", 6, 6.0L, "6"},
    {"OrBelowShift", "1 shl 40 or 1;", 1099511627777, 1099511627777.0L, "1099511627777"},
    // 80-bit precision: every 64-bit integer is exact.
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
  const char* source;
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

// What the top-level handler prints for the failure that f raises.
template <typename F>
std::string handlerLine(F&& f) {
  std::exception_ptr failure;
  try {
    f();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) return "no failure";
  ::testing::internal::CaptureStdout();
  reportException(failure);
  return ::testing::internal::GetCapturedStdout();
}

struct FailureCase {
  const char* name;
  std::string source;
  const char* line;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class EvalFailure : public EvaluatorTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(EvalFailure, EndsTheRunThroughTheTopLevelHandler) {
  load(GetParam().source);
  EXPECT_EQ(handlerLine([] { handle_MACROVAR_tokens(); }), GetParam().line);
}

const FailureCase kFailureCases[] = {
    {"ExtendedDivisionByZero", "1 / 0;", "EZeroDivide: Floating point division by zero\n"},
    {"ExtendedZeroByZero", "0 / 0;", "EInvalidOp: Invalid floating point operation\n"},
    {"ExtendedDivisionByZeroFloat", "2.5 div 0.0;", "EZeroDivide: Floating point division by zero\n"},
    {"RemainderByZero", "7 mod 0;", "EDivByZero: Division by zero\n"},
    {"RemainderByZeroLow32Bits", "7 mod 4294967296;", "EDivByZero: Division by zero\n"},
    {"Int32DivisionByZero", "0 or 1 / 0;", "EDivByZero: Division by zero\n"},
    {"Int32RemainderByZero", "0 or 1 mod 0;", "EDivByZero: Division by zero\n"},
    {"Int32SmallestByMinusOne", "0 or -2147483648 / -1;", "EIntOverflow: Integer overflow\n"},
    {"ResultBeyond64Bits", "9223372036854775807 + 1;", "EInvalidOp: Invalid floating point operation\n"},
    {"NegativeResultBeyond64Bits", "-9223372036854775808 - 1;", "EInvalidOp: Invalid floating point operation\n"},
    {"ShiftOfAValueBeyond64Bits", "(9223372036854775807 + 1) shl 1;", "EInvalidOp: Invalid floating point operation\n"},
    {"ShiftCountBeyond64Bits", "1 shl (9223372036854775807 + 1);", "EInvalidOp: Invalid floating point operation\n"},
    {"OrOfAValueBeyond64Bits", "(9223372036854775807 * 2) or 1;", "EInvalidOp: Invalid floating point operation\n"},
    {"ExtendedOverflow", "1" + std::string(4000, '0') + ".0 * 1" + std::string(4000, '0') + ".0;",
     "EOverflow: Floating point overflow\n"},
};

INSTANTIATE_TEST_SUITE_P(Expressions, EvalFailure, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EvaluatorTest, FailuresAreTheirOwnClasses) {
  load("1 mod 0;");
  EXPECT_THROW(handle_MACROVAR_tokens(), EDivByZero);
  load("0 or -2147483648 div -1;");
  EXPECT_THROW(handle_MACROVAR_tokens(), EIntOverflow);
  load("1 / 0;");
  EXPECT_THROW(handle_MACROVAR_tokens(), EZeroDivide);
  // None of them is the silent abort: the handler prints them.
  load("1 mod 0;");
  try {
    handle_MACROVAR_tokens();
  } catch (const EAbort&) {
    ADD_FAILURE() << "an arithmetic failure is not a fatal error of the log";
  } catch (const EVorakError&) {
  }
}

}  // namespace
}  // namespace vorak
