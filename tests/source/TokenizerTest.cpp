// The tokenizer: token kinds, values, sizes and texts; memory operands and
// casts; operators; peeks; and the errors with their messages and positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/driver/Log.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/VarManager.h"
#include "source/SourceFixture.h"

namespace vorak {
namespace {

struct Tok {
  TVorToken kind;
  std::string text;
  int64_t value = 0;
  int32_t size = 0;
};

struct TokenCase {
  const char* name;
  std::string source;
  std::vector<Tok> tokens;  // ttEOF follows
};

void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.name; }

class TokenTable : public test::SourceTest, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(TokenTable, ReadsTheTokens) {
  const TokenCase& c = GetParam();
  TAFile* f = load(c.source);
  for (const Tok& want : c.tokens) {
    const TVorToken got = f->moveNextToken();
    ASSERT_EQ(got, want.kind) << "at text " << want.text;
    EXPECT_EQ(cur().F_String, want.text);
    if (want.kind == ttNumber || want.kind == ttFloat) {
      EXPECT_EQ(cur().F_Integer, want.value) << want.text;
    }
    EXPECT_EQ(cur().F_ByteCount, want.size) << want.text;
    EXPECT_EQ(cur().F_BitCount, want.size * 8) << want.text;
  }
  EXPECT_EQ(f->moveNextToken(), ttEOF);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
}

const TokenCase kTokenCases[] = {
    {"EscapesInAnsiString", "'a\\tb'", {{ttAnsiString, "a\tb", 0, 4}}},
    // A wide string's size is what it is stored as: UTF-16 units and a zero unit.
    {"EscapesInWideString", "\"a\\tb\"", {{ttWideString, "a\tb", 0, 8}}},
    // In a wide string "\x" gives the character of the value, its text UTF-8.
    {"HexEscapeInWideStringIsACharacter", "\"\\x233\"", {{ttWideString, "\xC3\xA9", 0, 4}}},
    {"HexEscapesInWideStringAreCharactersEach", "\"\\x0xC3\\x0xA9\"", {{ttWideString, "\xC3\x83\xC2\xA9", 0, 6}}},
    {"HexEscapeBelow128InWideString", "\"\\x65\"", {{ttWideString, "A", 0, 4}}},
    {"HexEscapeInAnsiStringIsAByte", "'\\x233'", {{ttAnsiString, "\xE9", 0, 2}}},
    {"OtherEscapes", R"('\n\r\\\'\"q')", {{ttAnsiString, "\n\r\\'\"q", 0, 7}}},
    {"HexEscapeReadsADecimalNumber", "'\\x65'", {{ttAnsiString, "A", 0, 2}}},
    {"HexEscapeWithHexLiteral", "'<\\x0x41>'", {{ttAnsiString, "<A>", 0, 4}}},
    {"HexEscapeKeepsTheLowByte", "'\\x321'", {{ttAnsiString, "A", 0, 2}}},
    {"DoubledQuoteStartsAnotherString", "'it''s'", {{ttAnsiString, "it", 0, 3}, {ttAnsiString, "s", 0, 2}}},
    {"EmptyString", "''", {{ttAnsiString, "", 0, 1}}},
    {"CommentInsideStringIsText", "'a//b/*c*/'", {{ttAnsiString, "a//b/*c*/", 0, 10}}},
    {"StringOverLines", "'a\nb'", {{ttAnsiString, "a\nb", 0, 4}}},
    {"OtherQuoteInsideString", "\"it's\"", {{ttWideString, "it's", 0, 10}}},
    {"ByteSize1", "255", {{ttNumber, "255", 255, 1}}},
    {"ByteSize2", "256", {{ttNumber, "256", 256, 2}}},
    {"ByteSize4", "65536", {{ttNumber, "65536", 65536, 4}}},
    {"NegativeIsSize8", "-1", {{ttNumber, "-1", -1, 8}}},
    {"HexOver32Bits", "0x100000000", {{ttNumber, "0x100000000", 4294967296LL, 8}}},
    {"HexDigitsBothCases", "0xfF", {{ttNumber, "0xfF", 255, 1}}},
    {"HexLeadingZerosFit", "0x00000000000000001", {{ttNumber, "0x00000000000000001", 1, 1}}},
    {"HexAllBits", "0xFFFFFFFFFFFFFFFF", {{ttNumber, "0xFFFFFFFFFFFFFFFF", -1, 8}}},
    {"Binary", "0b101", {{ttNumber, "0b101", 5, 1}}},
    {"UpperXIsNoPrefix", "0X", {{ttNumber, "0", 0, 1}, {ttIdent, "X", 0, 2}}},
    {"UpperBIsNoPrefix", "0B1", {{ttNumber, "0", 0, 1}, {ttIdent, "B1", 0, 3}}},
    {"LargestUnsignedDecimal", "18446744073709551615", {{ttNumber, "18446744073709551615", -1, 8}}},
    {"SmallestSignedDecimal", "-9223372036854775808",
     {{ttNumber, "-9223372036854775808", INT64_MIN, 8}}},
    {"Float", "1.5", {{ttFloat, "1.5", 2, 10}}},
    {"FloatTiesToEven", "2.5", {{ttFloat, "2.5", 2, 10}}},
    {"FloatWithoutFraction", "3.", {{ttFloat, "3.", 3, 10}}},
    {"SecondDotEndsTheFloat", "1.5.2", {{ttFloat, "1.5", 2, 10}, {ttSymbol, ".", 0, 1}, {ttNumber, "2", 2, 1}}},
    {"NegativeFloat", "-0.5", {{ttFloat, "-0.5", 0, 10}}},
    {"MinusBeforeDigitIsANumber", "x-5", {{ttIdent, "x", 0, 2}, {ttNumber, "-5", -5, 8}}},
    {"MinusBeforeBlankIsASymbol", "- 5", {{ttSymbol, "-", 0, 1}, {ttNumber, "5", 5, 1}}},
    {"MinusTakesOnlyTheDecimalPart", "-0x10", {{ttNumber, "-0", 0, 1}, {ttIdent, "x10", 0, 4}}},
    {"CommentJoinsANumber", "12/* c */34", {{ttNumber, "1234", 1234, 2}}},
    {"CommentJoinsAName", "ab/**/cd", {{ttIdent, "abcd", 0, 5}}},
    {"LineCommentEndsAName", "ab// c\ncd", {{ttIdent, "ab", 0, 3}, {ttIdent, "cd", 0, 3}}},
    {"DollarBeforeDigit", "$5", {{ttSymbol, "$", 0, 1}, {ttNumber, "5", 5, 1}}},
    {"DollarAlone", "$ x", {{ttSymbol, "$", 0, 1}, {ttIdent, "x", 0, 2}}},
    {"DollarNameIsLeftUnread", "$set x", {{ttSymbol, "$", 0, 1}, {ttIdent, "set", 0, 4}, {ttIdent, "x", 0, 2}}},
    {"EmptyBracketsAreTheOpeningSymbol", "[]", {{ttSymbol, "[", 0, 1}, {ttSymbol, "]", 0, 1}}},
    {"Symbols", ";,(){}:", {{ttSymbol, ";", 0, 1}, {ttSymbol, ",", 0, 1}, {ttSymbol, "(", 0, 1}, {ttSymbol, ")", 0, 1},
                            {ttSymbol, "{", 0, 1}, {ttSymbol, "}", 0, 1}, {ttSymbol, ":", 0, 1}}},
    {"HighBytesAreSymbols", "\xC3\xA9", {{ttSymbol, "\xC3", 0, 1}, {ttSymbol, "\xA9", 0, 1}}},
    {"NamesWithDigitsAndUnderscores", "_a1 B_2", {{ttIdent, "_a1", 0, 4}, {ttIdent, "B_2", 0, 4}}},
    {"RegisterAndNumbers", "mov eax, 0x10", {{ttIdent, "mov", 0, 4}, {ttRegister, "eax", REG_EAX, 4},
                                            {ttSymbol, ",", 0, 1}, {ttNumber, "0x10", 16, 1}}},
    {"BlanksAndCommentsBetween", " \t\r\n/* a */ x // b\n y",
     {{ttIdent, "x", 0, 2}, {ttIdent, "y", 0, 2}}},
};

INSTANTIATE_TEST_SUITE_P(Tokens, TokenTable, ::testing::ValuesIn(kTokenCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- memory operands ----

struct MemCase {
  const char* name;
  const char* source;
  int32_t count;
  TRegister base, index;
  int64_t disp;
  int32_t scale;
};

void PrintTo(const MemCase& c, std::ostream* os) { *os << c.name; }

class MemoryOperand : public test::SourceTest, public ::testing::WithParamInterface<MemCase> {};

TEST_P(MemoryOperand, ReadsBaseIndexScaleAndDisplacement) {
  const MemCase& c = GetParam();
  TAFile* f = load(c.source);
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_Count, c.count);
  if (c.count > 0) {
    EXPECT_EQ(cur().F_Register, c.base);
  }
  if (c.count > 1) {
    EXPECT_EQ(cur().F_Register_2, c.index);
  }
  EXPECT_EQ(cur().F_Extra.Displacement, c.disp);
  EXPECT_EQ(cur().F_Scale, c.scale);
  EXPECT_EQ(cur().F_VarPtr, nullptr);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
}

const MemCase kMemCases[] = {
    {"BaseAndDisplacement", "[ebx+4]", 1, REG_EBX, REG_NONE, 4, 0},
    {"BaseIndexScaleDisplacement", "[eax+ecx*4+8]", 2, REG_EAX, REG_ECX, 8, 4},
    {"NumberTimesRegister", "[4*ecx]", 1, REG_ECX, REG_NONE, 0, 4},
    {"RegisterTimesNumber", "[esi*2]", 1, REG_ESI, REG_NONE, 0, 2},
    {"ScaledRegisterFirstBecomesTheIndex", "[ecx*2+eax]", 2, REG_EAX, REG_ECX, 0, 2},
    {"ScaledByChainFirst", "[2*ecx+eax]", 2, REG_EAX, REG_ECX, 0, 2},
    {"NegativeDisplacement", "[ebp-8]", 1, REG_EBP, REG_NONE, -8, 0},
    {"DisplacementsAddUp", "[eax+4+8]", 1, REG_EAX, REG_NONE, 12, 0},
    {"DisplacementsSubtract", "[8-4]", 0, REG_NONE, REG_NONE, 4, 0},
    {"FirstNumberThenRegister", "[16+eax]", 1, REG_EAX, REG_NONE, 16, 0},
    {"ProductOfNumbers", "[eax+2*3*4]", 1, REG_EAX, REG_NONE, 24, 0},
    {"DisplacementOnly", "[ 1000 ]", 0, REG_NONE, REG_NONE, 1000, 0},
    {"NegativeNumberItem", "[eax+-4]", 1, REG_EAX, REG_NONE, -4, 0},
    // As written: whether that is -1 depends on the mode, which the encoder knows.
    {"AllBitsDisplacement", "[0xFFFFFFFF]", 0, REG_NONE, REG_NONE, 0xFFFFFFFFLL, 0},
    {"LowestDisplacement", "[ebx-0x80000000]", 1, REG_EBX, REG_NONE, -0x80000000LL, 0},
    {"BlanksAndLines", "[ ebx +\n esi * 8 - 0x10 ]", 2, REG_EBX, REG_ESI, -16, 8},
    {"ScaleOne", "[eax+ebx*1]", 2, REG_EAX, REG_EBX, 0, 1},
    // What stands between "[" and its first register: blanks, a line break,
    // comments, or a comment right after the name.
    {"TabBeforeRegister", "[\tesi+4]", 1, REG_ESI, REG_NONE, 4, 0},
    {"LineBreakBeforeRegister", "[\r\n esi+4]", 1, REG_ESI, REG_NONE, 4, 0},
    {"CommentBeforeRegister", "[/* c */esi+4]", 1, REG_ESI, REG_NONE, 4, 0},
    {"CommentAfterRegister", "[esi/* c */+4]", 1, REG_ESI, REG_NONE, 4, 0},
    {"LineCommentAfterRegister", "[esi // c\n+4]", 1, REG_ESI, REG_NONE, 4, 0},
    {"RegisterInCapitals", "[ESI+EAX*4]", 2, REG_ESI, REG_EAX, 0, 4},
    {"RegisterAloneBeforeTheEnd", "[ edi ]", 1, REG_EDI, REG_NONE, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Tokens, MemoryOperand, ::testing::ValuesIn(kMemCases),
                         [](const auto& info) { return std::string(info.param.name); });

using TokenizerTest = test::SourceTest;

TEST_F(TokenizerTest, MemoryOperandTextDescribesIt) {
  load("[ebx+esi*2-8]")->moveNextToken();
  EXPECT_EQ(cur().F_String, "(0) [ebx+esi*2-8]");
  EXPECT_EQ(cur().F_ByteCount, 0);
}

TEST_F(TokenizerTest, MemoryOperandRegistersHaveThePointerSize) {
  ptrSize = 8;
  CompileFlags.cpu_bits = 64;
  TAFile* f = load("[rax+r9*8]");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_Register, REG_RAX);
  EXPECT_EQ(cur().F_Register_2, REG_R9);
  EXPECT_EQ(fatalLine([&] { load("[eax]")->moveNextToken(); }),
            "[1,4]: [64524] Must be a base or index register in [t.vor]");
}

TEST_F(TokenizerTest, VariablePointerInsideBrackets) {
  TVar* v = VarMan->addVar(vmGlobal, "buf", VarMan->TypeList()[6], 4, 0);
  v->active = 0;
  TAFile* f = load("[ebx+@buf+4]");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_VarPtr, v);
  EXPECT_EQ(cur().F_Register, REG_EBX);
  EXPECT_EQ(cur().F_Extra.Displacement, 4);
  EXPECT_TRUE(v->active);
}

TEST_F(TokenizerTest, FunctionPointerInsideBracketsTakesItsCallData) {
  TVar* data = VarMan->addVar(vmGlobal, "f$", VarMan->PtrType(), 1, 0);
  TFunction* fn = FuncMan->CreateFunction(ltFunc, nullptr);
  fn->CallData = data;
  Idents->addIdent(itFunc, "f", fn);
  TFunction* plain = FuncMan->CreateFunction(ltProc, nullptr);
  Idents->addIdent(itProc, "p", plain);
  TAFile* f = load("[@f]");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_VarPtr, data);
  EXPECT_EQ(fatalLine([&] { load("[@p]")->moveNextToken(); }), "[1,3]: [6636668] Unexpected procedure p in [t.vor]");
}

struct ErrorCase {
  const char* name;
  const char* source;
  const char* message;  // the first line printed
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class TokenError : public test::SourceTest, public ::testing::WithParamInterface<ErrorCase> {
 protected:
  void SetUp() override {
    SourceTest::SetUp();
    VarMan->addVar(vmGlobal, "v", VarMan->TypeList()[6], 1, 0);
  }
};

TEST_P(TokenError, StopsWithMessageAndPosition) {
  TAFile* f = load(GetParam().source);
  EXPECT_EQ(fatalLine([&] {
              for (int i = 0; i < 20; ++i) f->moveNextToken();
            }),
            GetParam().message);
}

const ErrorCase kErrorCases[] = {
    {"DecimalPast64Bits", "x 18446744073709551616", "[1,3]: [13003] Number does not fit 64 bits: 18446744073709551616 in [t.vor]"},
    {"NegativePast64Bits", "-9223372036854775809", "[1,1]: [13003] Number does not fit 64 bits: -9223372036854775809 in [t.vor]"},
    {"HexPast64Bits", "\n  0x10000000000000000", "[2,3]: [13003] Number does not fit 64 bits: 0x10000000000000000 in [t.vor]"},
    {"HexWithoutDigits", "a, 0x;", "[1,4]: [13009] Hexadecimal number without digits in [t.vor]"},
    {"BinaryWithoutDigits", "0b2", "[1,1]: [13010] Binary number without digits in [t.vor]"},
    {"UnterminatedAnsiString", "a\n 'abc", "[2,2]: [13005] Unterminated string in [t.vor]"},
    {"UnterminatedWideString", "\"abc\\\"", "[1,1]: [13005] Unterminated string in [t.vor]"},
    {"EscapeAtTheEnd", "'abc\\", "[1,1]: [13005] Unterminated string in [t.vor]"},
    {"ZeroByteEndsTheText", "'ab\0'", "[1,1]: [13005] Unterminated string in [t.vor]"},
    {"HexEscapeWithoutNumber", "'\\x;'", "[1,4]: [53552456] Unexpected symbol ; in [t.vor]"},
    {"UnterminatedMemoryOperand", "mov [eax", "[1,5]: [13006] Unterminated memory operand in [t.vor]"},
    {"UnterminatedAfterOperator", "[eax+\n", "[1,1]: [13006] Unterminated memory operand in [t.vor]"},
    {"UnterminatedComment", "x /* x", "[1,3]: [13001] Unterminated comment in [t.vor]"},
    {"RegisterNotPointerSized", "[ax]", "[1,3]: [64524] Must be a base or index register in [t.vor]"},
    {"ThirdRegister", "[eax+ebx+ecx]", "[1,12]: [1133] Unexpected register ecx in [t.vor]"},
    {"ChainWithoutOperand", "[2*]", "[1,4]: [4655] Unexpected symbol ] in [t.vor]"},
    {"BadByteAfterFirstNumber", "[2 eax]", "[1,4]: [2494] Unexpected symbol e in [t.vor]"},
    {"BadOperatorAfterRegister", "[eax;]", "[1,5]: [2495] Unexpected symbol ; in [t.vor]"},
    {"RegisterAfterMinus", "[eax-ebx]", "[1,8]: [2495] Unexpected register ebx in [t.vor]"},
    {"RegisterAfterStar", "[eax*ebx]", "[1,8]: [2495] Unexpected register ebx in [t.vor]"},
    {"SecondScale", "[eax*2+ebx*4]", "[1,12]: [2495] Unexpected number 4 in [t.vor]"},
    {"ScaleNotAPowerOfTwo", "[eax*3]", "[1,6]: [13007] Scale must be 1, 2, 4 or 8 in [t.vor]"},
    {"ScaleAfterANumber", "[eax+4*ebx*2]", "[1,12]: [2495] Unexpected number 2 in [t.vor]"},
    {"DisplacementPast32Bits", "[eax+0x100000000]", "[1,17]: [13008] Displacement does not fit 32 bits in [t.vor]"},
    {"DisplacementSumPast32Bits", "[0xFFFFFFFF+1]", "[1,14]: [13008] Displacement does not fit 32 bits in [t.vor]"},
    {"ProductOverflow", "[0x7FFFFFFFFFFFFFFF*4]", "[1,21]: [13008] Displacement does not fit 32 bits in [t.vor]"},
    {"OtherSymbolItem", "[eax+;]", "[1,6]: [535356] Unexpected symbol ; in [t.vor]"},
    {"OtherKindItem", "[v]", "[1,2]: [1134] Unexpected global variable v in [t.vor]"},
    {"AtWithoutIdentifier", "[@5]", "[1,3]: [6636667] Unexpected number 5 in [t.vor]"},
    {"AtWithUnknownName", "[@nope]", "[1,6]: [6636668] Unexpected ident nope in [t.vor]"},
    {"SecondVariablePointer", "[@v+@v]", "[1,5]: [53567] Only 1 variable pointer will be accepted in [t.vor]"},
    {"CastWithoutClosingBracket", "[dword eax", "[1,10]: [5643] Unexpected register eax in [t.vor]"},
    {"CastBeforeOtherSymbol", "[dword] ;", "[1,9]: [6544] Unexpected symbol ; in [t.vor]"},
    {"CastAtWithoutVariable", "[dword] @5", "[1,10]: [6543] Unexpected number 5 in [t.vor]"},
    {"CastBeforeString", "[dword] 'a'", "[1,11]: [6545] Unexpected ansi string 'a' in [t.vor]"},
};

INSTANTIATE_TEST_SUITE_P(Tokens, TokenError, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenizerTest, DeepNestingStopsBeforeTheStackEnds) {
  for (const char* open : {"[", "'\\x", "sizeof ", "tokentype("}) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += open;
    TAFile* f = load(text);
    const std::string line = fatalLine([&] { f->moveNextToken(); });
    EXPECT_NE(line.find("[13002] Tokens nested too deeply"), std::string::npos) << open << ": " << line;
  }
}

TEST_F(TokenizerTest, ANulByteBeforeMoreTextStopsTheCompile) {
  // The text behind it would be dropped without a word.
  TAFile* f = load(std::string("nop\n  \0 int3", 12));
  EXPECT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(fatalLine([&] { f->moveNextToken(); }), "[2,3]: [9903] NUL byte in the source text in [t.vor]");
  // In a peek as well.
  f = load(std::string("\0//x", 4));
  EXPECT_EQ(fatalLine([&] { f->peekNextToken(); }), "[1,1]: [9903] NUL byte in the source text in [t.vor]");
}

TEST_F(TokenizerTest, NulBytesAndBlanksAtTheEndEndTheText) {
  TAFile* f = load(std::string("nop\0\0 \r\n\0", 9));
  EXPECT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
  // Inside a comment a 0 byte is comment text.
  f = load(std::string("/* \0 */ nop", 12));
  EXPECT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_String, "nop");
  EXPECT_EQ(f->moveNextToken(), ttEOF);
}

TEST_F(TokenizerTest, FloatOutOfRange) {
  const std::string big = "1" + std::string(5000, '0') + ".0";
  TAFile* f = load("  " + big);
  const std::string line = fatalLine([&] { f->moveNextToken(); });
  // The message quotes the number, cut to the width of a message.
  EXPECT_EQ(line.rfind("[1,3]: [13004] Floating-point number out of range: 1000", 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 17), "000... in [t.vor]") << line;
  EXPECT_LT(line.size(), 1100u);
}

TEST_F(TokenizerTest, LongBinaryIsTruncatedWithAWarning) {
  TAFile* f = load("0b1" + std::string(64, '0'));
  const std::string out = captureStdout([&] { EXPECT_EQ(f->moveNextToken(), ttNumber); });
  EXPECT_EQ(cur().F_Integer, 0);
  EXPECT_NE(out.find("Warning: Binary constant (0b1"), std::string::npos);
}

TEST_F(TokenizerTest, NameAtTheEndOfALineKeepsItsLine) {
  TAFile* f = load("abc\ndef");
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(f->CurLine, 1u);
  EXPECT_EQ(f->CurLineChar, 3u);
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_String, "def");
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 3u);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
  EXPECT_EQ(f->TotalLines(), 2u);
}

TEST_F(TokenizerTest, NumberEndedByACommentStandsOnTheComment) {
  TAFile* f = load("12/* c */+");
  ASSERT_EQ(f->moveNextToken(), ttNumber);
  EXPECT_EQ(cur().F_String, "12");
  ASSERT_EQ(f->moveNextToken(), ttSymbol);
  EXPECT_EQ(cur().F_String, "+");
}

// ---- casts ----

TEST_F(TokenizerTest, CastSizesTheTokenAfterIt) {
  TVarType* dword = VarMan->TypeList()[6];
  TAFile* f = load("[dword] eax [word] 5");
  ASSERT_EQ(f->moveNextToken(), ttRegister);
  EXPECT_EQ(cur().F_Register, REG_EAX);
  EXPECT_EQ(cur().F_CastType, dword);
  EXPECT_EQ(cur().F_ByteCount, 4);
  EXPECT_EQ(cur().F_BitCount, 32);
  ASSERT_EQ(f->moveNextToken(), ttNumber);
  EXPECT_EQ(cur().F_CastType, VarMan->TypeList()[4]);
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
}

TEST_F(TokenizerTest, CastOfAVariablePointer) {
  TVar* g = VarMan->addVar(vmGlobal, "g", VarMan->TypeList()[0], 1, 0);
  g->active = 0;
  TAFile* f = load("[dword] @g");
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_IdentType, itGlobalVarPtr);
  EXPECT_EQ(cur().F_CastType, VarMan->TypeList()[6]);
  EXPECT_TRUE(g->active);
}

// ---- operators ----

struct OpCase {
  const char* source;
  bool isSigned;
  TMathOp op;
  const char* rest;  // the next token's text afterwards
};

void PrintTo(const OpCase& c, std::ostream* os) { *os << "'" << c.source << "'" << (c.isSigned ? " signed" : " unsigned"); }

class MathOps : public test::SourceTest, public ::testing::WithParamInterface<OpCase> {};

TEST_P(MathOps, ScansOneOrTwoBytes) {
  const OpCase& c = GetParam();
  TAFile* f = load(c.source);
  EXPECT_EQ(f->moveNextIfMathOp(c.isSigned), c.op) << c.source;
  f->moveNextToken();
  EXPECT_EQ(cur().F_String, c.rest) << c.source;
}

const OpCase kOpCases[] = {
    {"+= x", true, moAddBy, "x"},        {"+ = x", true, moAdd, "="},
    {"++x", false, moInc, "x"},          {"+x", false, moAdd, "x"},
    {"-=x", false, moSubBy, "x"},        {"--x", false, moDec, "x"},
    {"- x", false, moSub, "x"},          {"*=x", true, moMulByS, "x"},
    {"*=x", false, moMulByU, "x"},       {"*x", true, moMulS, "x"},
    {"* x", false, moMulU, "x"},         {"/ x", true, moDivS, "x"},
    {"/x", false, moDivU, "x"},          {"% x", false, moMod, "x"},
    {"&=x", false, moAndEqual, "x"},     {"&x", false, moAnd, "x"},
    {"|=x", false, moOrEqual, "x"},      {"|x", false, moOr, "x"},
    {"^=x", false, moXorEqual, "x"},     {"^x", false, moXor, "x"},
    {"!=x", false, moNotEqual, "x"},     {"<>x", false, moNotEqual, "x"},
    {"<<x", false, moShiftLeft, "x"},    {"<=x", true, moLowerSEqual, "x"},
    {"<=x", false, moLowerUEqual, "x"},  {"<x", true, moLowerS, "x"},
    {"<x", false, moLowerU, "x"},        {"==x", false, moIsEqual, "x"},
    {"=!x", false, moNotEqual, "x"},     {"=<x", true, moLowerSEqual, "x"},
    {"=>x", true, moHigherSEqual, "x"},  {"=>x", false, moHigherUEqual, "x"},
    {"= x", false, moAssign, "x"},       {">>x", false, moShiftRight, "x"},
    {">=x", true, moHigherSEqual, "x"},  {">=x", false, moHigherUEqual, "x"},
    {">x", true, moHigherS, "x"},        {">x", false, moHigherU, "x"},
    {"  \n // c\n +x", false, moAdd, "x"}, {"+/* c */=x", false, moAddBy, "x"},
    {"! x", false, moNone, "!"},          {"!", false, moNone, "!"},
    {"x", false, moNone, "x"},            {";", false, moNone, ";"},
    {"", false, moNone, ""},
};

INSTANTIATE_TEST_SUITE_P(Tokens, MathOps, ::testing::ValuesIn(kOpCases));

TEST_F(TokenizerTest, NoOperatorLeavesThePositionAndNamesTheByte) {
  TAFile* f = load("a\n  ; b");
  f->moveNextToken();
  const TFilePos before = f->position();
  EXPECT_EQ(f->moveNextIfMathOp(false), moNone);
  EXPECT_EQ(f->position().chr, before.chr);
  EXPECT_EQ(f->position().line, before.line);
  EXPECT_EQ(f->position().lineChar, before.lineChar);
  EXPECT_EQ(f->position().totalLines, before.totalLines);
  EXPECT_EQ(cur().F_Type, ttSymbol);
  EXPECT_EQ(cur().F_String, ";");
}

TEST_F(TokenizerTest, InMathOpConsumesOnlyListedOperators) {
  TAFile* f = load("+= 1");
  const TFilePos start = f->position();
  EXPECT_EQ(f->moveNextIfInMathOp(false, {moAdd, moSub}), moNone);
  EXPECT_EQ(f->CurChar, start.chr);
  EXPECT_EQ(f->moveNextIfInMathOp(false, {moAddBy}), moAddBy);
  EXPECT_EQ(f->moveNextToken(), ttNumber);
}

// ---- peeks ----

TEST_F(TokenizerTest, PeekAcrossLinesLeavesEveryPositionField) {
  TAFile* f = load("first\n\n  second\nthird");
  f->moveNextToken();
  const TFilePos before = f->position();
  ASSERT_EQ(f->peekNextToken(), ttIdent);
  EXPECT_EQ(peek().F_String, "second");
  EXPECT_EQ(cur().F_String, "first");
  EXPECT_EQ(f->position().chr, before.chr);
  EXPECT_EQ(f->position().line, before.line);
  EXPECT_EQ(f->position().lineChar, before.lineChar);
  EXPECT_EQ(f->position().totalLines, before.totalLines);
  // Read again after the peek: the line breaks count once.
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(f->CurLine, 3u);
  EXPECT_EQ(f->CurLineChar, 8u);
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(f->CurLine, 4u);
  EXPECT_EQ(f->moveNextToken(), ttEOF);
  EXPECT_EQ(f->TotalLines(), 4u);
}

TEST_F(TokenizerTest, MoveLastPeekStandsWhereThePeekEnded) {
  TAFile* f = load("a\n  bb c");
  f->moveNextToken();
  f->peekNextToken();
  f->moveLastPeek();
  EXPECT_EQ(cur().F_String, "bb");
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 4u);
  EXPECT_EQ(f->CurChar, 6u);
  EXPECT_EQ(f->TotalLines(), 1u);
  f->moveNextToken();
  EXPECT_EQ(cur().F_String, "c");
}

TEST_F(TokenizerTest, MessageAfterAPeekNamesThePositionBeforeIt) {
  TAFile* f = load("one\n two\n three");
  f->moveNextToken();
  f->peekNextToken();
  f->peekNextToken();
  EXPECT_EQ(fatalLine([] { Log->FatalError("stop"); }), "[1,3]: stop in [t.vor]");
  f->moveNextToken();
  EXPECT_EQ(fatalLine([] { Log->FatalUnexpectedToken("9"); }), "[2,4]: [9] Unexpected ident two in [t.vor]");
}

TEST_F(TokenizerTest, PeekOfACastLeavesTheCurrentToken) {
  TAFile* f = load("x [dword] eax ;");
  f->moveNextToken();
  ASSERT_EQ(f->peekNextToken(), ttRegister);
  EXPECT_EQ(peek().F_CastType, VarMan->TypeList()[6]);
  EXPECT_EQ(cur().F_String, "x");
  EXPECT_EQ(f->CurChar, 1u);
  EXPECT_FALSE(CompileFlags.peek_mode);
  f->moveLastPeek();
  EXPECT_EQ(cur().F_Type, ttRegister);
  EXPECT_EQ(cur().F_CastType, VarMan->TypeList()[6]);
  f->moveNextToken();
  EXPECT_EQ(cur().F_String, ";");
}

TEST_F(TokenizerTest, PeekOfAMemoryOperandAndOfAStringEscape) {
  TAFile* f = load("x [eax+4] '\\x65'");
  f->moveNextToken();
  ASSERT_EQ(f->peekNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_String, "x");
  f->moveLastPeek();
  EXPECT_EQ(cur().F_Extra.Displacement, 4);
  ASSERT_EQ(f->peekNextToken(), ttAnsiString);
  EXPECT_EQ(peek().F_String, "A");
  EXPECT_EQ(cur().F_Type, ttBaseExp);
}

TEST_F(TokenizerTest, PeekOfEmptyBracketsGivesTheOpeningSymbol) {
  TAFile* f = load("x [] y");
  f->moveNextToken();
  ASSERT_EQ(f->peekNextToken(), ttSymbol);
  EXPECT_EQ(peek().F_String, "[");
  EXPECT_EQ(cur().F_String, "x");
  f->moveLastPeek();
  EXPECT_EQ(cur().F_String, "[");
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
  EXPECT_EQ(cur().F_String, "]");
}

TEST_F(TokenizerTest, PeekModeIsSetOnlyDuringThePeekAndComesBackAfterAnError) {
  TAFile* f = load("[eax");
  CompileFlags.peek_mode = 0;
  EXPECT_EQ(fatalLine([&] { f->peekNextToken(); }), "[1,1]: [13006] Unterminated memory operand in [t.vor]");
  EXPECT_FALSE(CompileFlags.peek_mode);
  EXPECT_EQ(Compiler->CurToken(), &cur());
  // Nested: an outer peek_mode stays on.
  f = load("a");
  CompileFlags.peek_mode = 1;
  f->peekNextToken();
  EXPECT_TRUE(CompileFlags.peek_mode);
}

TEST_F(TokenizerTest, CleanIdentifiersAreNotResolved) {
  TAFile* f = load("eax if");
  ASSERT_EQ(f->moveNextToken(true), ttIdent);
  EXPECT_EQ(cur().F_IdentType, itNone);
  EXPECT_EQ(cur().F_String, "eax");
  ASSERT_EQ(f->moveNextToken(true), ttIdent);
  EXPECT_EQ(cur().F_Keyword, keyNone);
}

TEST_F(TokenizerTest, ReadsComeFromTheBufferBeingTokenized) {
  // A buffer that is not the current file still reads its own bracket items.
  TAFile* other = new TAFile(false);
  other->loadBuffer("o.vor", "[ebx+8]", nullptr);
  TAFile* f = load("[eax+4]");
  ASSERT_EQ(other->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_Register, REG_EBX);
  EXPECT_EQ(Compiler->CurFile(), f);
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_Register, REG_EAX);
}

}  // namespace
}  // namespace vorak
