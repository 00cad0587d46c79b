// Tests of the token record: keywords, kind texts, message descriptions,
// setters, memory-operand texts, float rounding and deep copies.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/source/CurTokenUnit.h"

namespace vorak {
namespace {

void* P(uintptr_t n) { return reinterpret_cast<void*>(n); }

struct KeywordCase {
  const char* text;
  int value;
};

// The 41 keyword texts with their values.
const KeywordCase kKeywordTable[] = {
    {"program", 1},      {"const", 2},       {"imports", 3},     {"procedure", 4},
    {"function", 5},     {"stdcall", 6},     {"if", 7},          {"elseif", 8},
    {"else", 9},         {"repeat", 10},     {"until", 11},      {"while", 12},
    {"continue", 13},    {"break", 14},      {"block", 15},      {"return", 16},
    {"uses", 17},        {"inline", 18},     {"tokentype", 19},  {"type", 20},
    {"as", 21},          {"enum", 22},       {"union", 23},      {"ord", 24},
    {"exports", 25},     {"entry", 26},      {"sizeof", 27},     {"tokentext", 28},
    {"casttype", 29},    {"isptrtype", 30},  {"issignedtype", 31}, {"exitif", 32},
    {"emacro", 33},      {"cdecl", 34},      {"msx64", 35},      {"__try", 36},
    {"__except", 37},    {"case", 38},       {"state", 39},      {"default", 40},
    {"defined", 41},
};

TEST(Keywords, EveryTextIsRecognisedInAnyCase) {
  for (const auto& k : kKeywordTable) {
    std::string upper = k.text;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    EXPECT_EQ(findKeyword(k.text), k.value) << k.text;
    EXPECT_EQ(findKeyword(upper), k.value) << upper;
    EXPECT_EQ(Key2String(static_cast<TKeyword>(k.value)), k.text);
  }
}

TEST(Keywords, EdgeCases) {
  EXPECT_EQ(findKeyword("IF"), keyIf);
  EXPECT_EQ(findKeyword("__Try"), key__Try);
  EXPECT_EQ(findKeyword("__EXCEPT"), key__Except);
  EXPECT_EQ(findKeyword("iff"), keyNone);
  EXPECT_EQ(findKeyword("i"), keyNone);
  EXPECT_EQ(findKeyword(""), keyNone);
  EXPECT_EQ(findKeyword("issignedtypes"), keyNone);
  EXPECT_EQ(findKeyword(std::string(1000, 'a')), keyNone);
  EXPECT_EQ(findKeyword(std::string("if\0", 3)), keyNone);
  EXPECT_EQ(Key2String(keyNone), "");
  EXPECT_EQ(Key2String(key__TOTAL), "");
}

// Names are tried as registers before keywords: no keyword may read as a
// register in any mode, nor any register name as a keyword.
TEST(Keywords, NoKeywordIsARegisterName) {
  const uint32_t savedBits = CompileFlags.cpu_bits;
  for (uint32_t bits : {16u, 32u, 64u}) {
    CompileFlags.cpu_bits = bits;
    for (const auto& k : kKeywordTable) EXPECT_EQ(strToReg(k.text), NOT_A_REG) << k.text << " in " << bits;
  }
  CompileFlags.cpu_bits = savedBits;
  for (int r = 0; r < REG_NONE; ++r) {
    const std::string_view name = regToStr(static_cast<TRegister>(r));
    if (!name.empty()) {
      EXPECT_EQ(findKeyword(name), keyNone) << name;
    }
  }
  for (const char* name : {"gp_ax", "gp_bx", "gp_cx", "gp_dx", "gp_sp", "gp_bp", "gp_si", "gp_di", "r8d", "r15w",
                           "r9b", "sil", "dil", "bpl", "spl"})
    EXPECT_EQ(findKeyword(name), keyNone) << name;
}

TEST(Keywords, CallingConventions) {
  EXPECT_EQ(Key2Convention(keyStdcall), ccStdcall);
  EXPECT_EQ(Key2Convention(keyCDecl), ccCDecl);
  EXPECT_EQ(Key2Convention(keyMSX64), ccMSX64);
  EXPECT_EQ(Key2Convention(keyIf), ccStdcall);
  EXPECT_EQ(Key2Convention(keyNone), ccStdcall);
}

TEST(Token2String, KindTexts) {
  const struct {
    TVorToken id;
    const char* text;
  } cases[] = {{ttNone, "<ERR 1000>"},      {ttEOF, "EOF"},
               {ttSymbol, "symbol"},        {ttNumber, "number"},
               {ttFloat, "float"},          {ttSegment, "segment"},
               {ttRegister, "register"},    {ttSTreg, "x87 register"},
               {ttXMMreg, "XMM register"},  {ttBaseExp, "expression"},
               {ttAnsiString, "ansi string"}, {ttWideString, "wide string"},
               {ttFlag, "flag"},            {ttEFlag, "eflag"},
               {0, ""},                     {4, ""},
               {202, ""},                   {-1, ""}};
  for (const auto& c : cases) EXPECT_EQ(Token2String(c.id, itNone), c.text) << c.id;
}

TEST(Token2String, IdentifierTypeTexts) {
  const struct {
    TIdentType vt;
    const char* text;
  } cases[] = {{itNone, "ident"},
               {itReservedKeyword, "reserved keyword"},
               {itConst, "const"},
               {itType, "data type"},
               {itGlobalVar, "global variable"},
               {itLocalVar, "local variable/parameter"},
               {itFunc, "function"},
               {itProc, "procedure"},
               {itLabel, "label"},
               {itDefine, "definition"},
               {itMacro, "macro"},
               {itMacroParam, "<ERR 2000>"},
               {itFuncThis, "function"},
               {itProcThis, "procedure"},
               {itGlobalVarPtr, "var pointer"},
               {itLocalVarPtr, "var pointer"},
               {itBaseExpPtr, "<ERR 2000>"},
               {200, "<ERR 2000>"}};
  for (const auto& c : cases) EXPECT_EQ(Token2String(ttIdent, c.vt), c.text) << int(c.vt);
}

TEST(CurrentToken, TokenStrForms) {
  TCurrentToken t;
  EXPECT_EQ(t.getTokenStr(), "EOF");  // a new token is at the end of input
  t.setText("ab", ttAnsiString);
  EXPECT_EQ(t.getTokenStr(), "ansi string 'ab'");
  t.setText("ab", ttWideString);
  EXPECT_EQ(t.getTokenStr(), "wide string \"ab\"");
  t.setRegister(REG_EAX, "eax");
  EXPECT_EQ(t.getTokenStr(), "register eax");
  t.setCleanIdent("foo");
  t.F_IdentType = itGlobalVar;
  EXPECT_EQ(t.getTokenStr(), "global variable foo");
  t.setSymbol('}');
  EXPECT_EQ(t.getTokenStr(), "symbol }");
  t.setInteger(4, 12, "12");
  EXPECT_EQ(t.getTokenStr(), "number 12");
  t.setNull();
  t.F_String = "ignored";
  EXPECT_EQ(t.getTokenStr(), "EOF");
}

TEST(CurrentToken, SetTextSizes) {
  TCurrentToken t;
  EXPECT_EQ(t.setText("abc", ttAnsiString), ttAnsiString);
  EXPECT_EQ(t.F_ByteCount, 4);
  EXPECT_EQ(t.F_BitCount, 32);
  t.setText("", ttWideString);
  EXPECT_EQ(t.F_Type, ttWideString);
  EXPECT_EQ(t.F_ByteCount, 2);  // the zero unit
  // UTF-8 text: an 8-bit string counts its bytes, a wide string the UTF-16
  // units it is stored as (two above U+FFFF), both with the zero at the end.
  t.setText("\xC3\xA4", ttAnsiString);
  EXPECT_EQ(t.F_ByteCount, 3);
  EXPECT_EQ(t.F_String, "\xC3\xA4");
  t.setText("\xC3\xA4", ttWideString);
  EXPECT_EQ(t.F_ByteCount, 4);
  t.setText("a\xE2\x82\xAC\xF0\x9F\x98\x80", ttWideString);
  EXPECT_EQ(t.F_ByteCount, 10);
  EXPECT_EQ(t.F_BitCount, 80);
}

TEST(CurrentToken, SetFloatRoundsTiesToEven) {
  const struct {
    long double in;
    int64_t out;
  } cases[] = {{2.5L, 2},   {3.5L, 4},   {-2.5L, -2}, {-3.5L, -4}, {0.5L, 0},  {1.5L, 2},
               {2.4L, 2},   {2.6L, 3},   {-0.4L, 0},  {-0.6L, -1}, {7.0L, 7}, {1e18L, 1000000000000000000}};
  TCurrentToken t;
  for (const auto& c : cases) {
    EXPECT_EQ(t.setFloat(10, c.in, "x"), ttFloat);
    EXPECT_EQ(t.F_Integer, c.out) << static_cast<double>(c.in);
    EXPECT_EQ(t.F_Extended, c.in);
  }
  EXPECT_EQ(t.F_ByteCount, 10);
  EXPECT_EQ(t.F_BitCount, 80);
}

TEST(CurrentToken, SetFloatOutOfRangeSaturates) {
  TCurrentToken t;
  t.setFloat(8, 1e30L, "1e30");
  EXPECT_EQ(t.F_Integer, std::numeric_limits<int64_t>::max());
  t.setFloat(8, -1e30L, "-1e30");
  EXPECT_EQ(t.F_Integer, std::numeric_limits<int64_t>::min());
  t.setFloat(8, std::numeric_limits<long double>::infinity(), "inf");
  EXPECT_EQ(t.F_Integer, std::numeric_limits<int64_t>::max());
  t.setFloat(8, std::numeric_limits<long double>::quiet_NaN(), "nan");
  EXPECT_EQ(t.F_Integer, 0);
  t.setFloat(8, -9223372036854775808.0L, "min");
  EXPECT_EQ(t.F_Integer, std::numeric_limits<int64_t>::min());
}

struct BaseExpCase {
  int32_t size, regCount;
  TRegister r1, r2;
  int32_t disp, scale;
  const char* text;
};

TEST(CurrentToken, BaseExpTexts) {
  const BaseExpCase cases[] = {
      {4, 2, REG_EBX, REG_ESI, -8, 2, "(4) [ebx+esi*2-8]"},
      {4, 1, REG_EAX, REG_NONE, 4, 0, "(4) [eax+4]"},
      {4, 0, REG_NONE, REG_NONE, 4, 0, "+4]"},
      {4, 0, REG_NONE, REG_NONE, 0, 0, "]"},
      {2, 1, REG_EBP, REG_NONE, 0, 0, "(2) [ebp]"},
      {8, 2, REG_RAX, REG_R9, 0, 8, "(8) [rax+r9*8]"},
      {1, 1, REG_ESP, REG_NONE, -2147483647 - 1, 0, "(1) [esp-2147483648]"},
      {0, 1, REG_EDI, REG_NONE, 2147483647, 0, "(0) [edi+2147483647]"},
  };
  TCurrentToken t;
  for (const auto& c : cases) {
    EXPECT_EQ(t.setBaseExp(c.size, c.regCount, c.r1, c.r2, c.disp, c.scale, nullptr), ttBaseExp);
    EXPECT_EQ(t.F_String, c.text);
    EXPECT_EQ(t.F_Count, c.regCount);
    EXPECT_EQ(t.F_Register, c.r1);
    EXPECT_EQ(t.F_Register_2, c.r2);
    EXPECT_EQ(t.F_Extra.Displacement, c.disp);
    EXPECT_EQ(t.F_Scale, c.scale);
    EXPECT_EQ(t.F_ByteCount, c.size);
    EXPECT_EQ(t.F_BitCount, c.size * 8);
  }
  t.setBaseExp(4, 1, REG_EAX, REG_NONE, 0, 0, reinterpret_cast<TVar*>(P(0x40)));
  EXPECT_EQ(t.F_VarPtr, P(0x40));
  EXPECT_EQ(t.getTokenStr(), "expression (4) [eax]");
}

TEST(CurrentToken, RegisterSegmentFlagAndSTreg) {
  TCurrentToken t;
  EXPECT_EQ(t.setRegister(REG_R8W, "r8w"), ttRegister);
  EXPECT_EQ(t.F_Register, REG_R8W);
  EXPECT_EQ(t.F_Integer, 48);
  EXPECT_EQ(t.F_ByteCount, 2);
  EXPECT_EQ(t.F_BitCount, 16);
  EXPECT_EQ(t.F_CastType, nullptr);
  t.setRegister(REG_RDX, "rdx");
  EXPECT_EQ(t.F_ByteCount, 8);
  EXPECT_EQ(t.F_Integer, 26);

  EXPECT_EQ(t.setSegment(SEG_FS, "fs"), ttSegment);
  EXPECT_EQ(t.F_Segment, SEG_FS);
  EXPECT_EQ(t.F_Integer, 4);
  EXPECT_EQ(t.F_ByteCount, 0);
  EXPECT_EQ(t.F_Register, REG_EAX);  // wiped by setNull

  EXPECT_EQ(t.setFlag(FLAG_ZF, "zero_flag"), ttFlag);
  EXPECT_EQ(t.F_Integer, 6);
  EXPECT_EQ(t.F_String, "zero_flag");
  EXPECT_EQ(t.F_ByteCount, 0);

  EXPECT_EQ(t.setType(ttSTreg, 0, 3, "st3"), ttSTreg);
  EXPECT_EQ(t.F_Integer, 3);
  EXPECT_EQ(t.F_Extended, 3.0L);
  EXPECT_EQ(t.getTokenStr(), "x87 register st3");
}

TEST(CurrentToken, IntegerIdentSymbolLabel) {
  TCurrentToken t;
  EXPECT_EQ(t.setInteger(8, -5, "-5"), ttNumber);
  EXPECT_EQ(t.F_Integer, -5);
  EXPECT_EQ(t.F_Extended, -5.0L);
  EXPECT_EQ(t.F_BitCount, 64);

  EXPECT_EQ(t.setCleanIdent("name"), ttIdent);
  EXPECT_EQ(t.F_IdentType, itNone);
  EXPECT_EQ(t.F_ByteCount, 5);
  EXPECT_EQ(t.F_Integer, 0);

  EXPECT_EQ(t.setSymbol('('), ttSymbol);
  EXPECT_EQ(t.F_String, "(");
  EXPECT_EQ(t.F_ByteCount, 1);
  EXPECT_EQ(t.F_BitCount, 8);

  const int32_t saved = ptrSize;
  ptrSize = 8;
  EXPECT_EQ(t.setLabel(P(0x10), "lbl"), ttIdent);
  ptrSize = saved;
  EXPECT_EQ(t.F_IdentType, itLabel);
  EXPECT_EQ(t.F_Pointer, P(0x10));
  EXPECT_EQ(t.F_ByteCount, 8);
  EXPECT_EQ(t.getTokenStr(), "label lbl");
}

TEST(CurrentToken, SetNullResetsAllButParType) {
  TCurrentToken t;
  t.setBaseExp(4, 2, REG_EBX, REG_ESI, 8, 4, reinterpret_cast<TVar*>(P(1)));
  t.F_Keyword = keyIf;
  t.F_IdentType = itLocalVarPtr;
  t.F_DefName = "d";
  t.F_Pointer = P(2);
  t.F_CastType = reinterpret_cast<TVarType*>(P(3));
  t.F_Segment = SEG_GS;
  t.F_Extended = 1.5L;
  t.F_ParType = ptCALLEE;
  t.F_Operand = new TOperand();
  EXPECT_EQ(t.setNull(), ttEOF);
  EXPECT_EQ(t.F_Type, ttEOF);
  EXPECT_EQ(t.F_Keyword, keyNone);
  EXPECT_EQ(t.F_IdentType, itNone);
  EXPECT_TRUE(t.F_String.empty());
  EXPECT_TRUE(t.F_DefName.empty());
  EXPECT_EQ(t.F_Register, REG_EAX);
  EXPECT_EQ(t.F_Register_2, REG_EAX);
  EXPECT_EQ(t.F_Segment, SEG_CS);
  EXPECT_EQ(t.F_Integer, 0);
  EXPECT_EQ(t.F_Count, 0);
  EXPECT_EQ(t.F_Extended, 0.0L);
  EXPECT_EQ(t.F_ByteCount, 0);
  EXPECT_EQ(t.F_BitCount, 0);
  EXPECT_EQ(t.F_Scale, 0);
  EXPECT_EQ(t.F_Extra.Offset, 0u);
  EXPECT_EQ(t.F_CastType, nullptr);
  EXPECT_EQ(t.F_Pointer, nullptr);
  EXPECT_EQ(t.F_VarPtr, nullptr);
  EXPECT_EQ(t.F_Operand, nullptr);  // released (the sanitizer would see a leak)
  EXPECT_EQ(t.F_ParType, ptCALLEE);
  t.setInteger(1, 1, "1");
  EXPECT_EQ(t.F_ParType, ptCALLEE);
}

TEST(CurrentToken, CopyOwnsItsOwnOperand) {
  auto* src = new TCurrentToken();
  src->setCleanIdent("m");
  src->F_IdentType = itFuncThis;
  src->F_Pointer = P(7);
  src->F_DefName = "def";
  src->F_ParType = ptCALLEE;
  src->F_CastType = reinterpret_cast<TVarType*>(P(9));
  src->F_Extra.Displacement = -12;
  src->F_Extended = 2.25L;
  src->F_Operand = new TOperand();
  src->F_Operand->setRegister(true, REG_ESI);

  TCurrentToken copy;
  copy.F_Operand = new TOperand();  // replaced, not leaked
  copy.setCurToken(*src);
  ASSERT_NE(copy.F_Operand, nullptr);
  EXPECT_NE(copy.F_Operand, src->F_Operand);
  EXPECT_EQ(copy.F_Type, ttIdent);
  EXPECT_EQ(copy.F_IdentType, itFuncThis);
  EXPECT_EQ(copy.F_String, "m");
  EXPECT_EQ(copy.F_Pointer, P(7));
  EXPECT_EQ(copy.F_DefName, "def");
  EXPECT_EQ(copy.F_ParType, ptCALLEE);
  EXPECT_EQ(copy.F_CastType, reinterpret_cast<TVarType*>(P(9)));
  EXPECT_EQ(copy.F_Extra.Displacement, -12);
  EXPECT_EQ(copy.F_Extended, 2.25L);
  EXPECT_EQ(copy.F_ByteCount, 2);
  delete src;
  // Reading the copy's operand after the source is gone must be valid.
  EXPECT_EQ(copy.F_Operand->reg_base, REG_ESI);
  EXPECT_TRUE(copy.F_Operand->issigned);
  EXPECT_EQ(copy.F_Operand->size, 4u);

  TCurrentToken plain;
  plain.setInteger(4, 3, "3");
  copy.setCurToken(plain);
  EXPECT_EQ(copy.F_Operand, nullptr);
  EXPECT_EQ(copy.F_Type, ttNumber);
  copy.setCurToken(copy);  // copying onto itself keeps the token
  EXPECT_EQ(copy.F_Integer, 3);
}

TEST(CurrentToken, SelfCopyKeepsOperand) {
  TCurrentToken t;
  t.F_Operand = new TOperand();
  t.F_Operand->value = 77;
  t.setCurToken(t);
  ASSERT_NE(t.F_Operand, nullptr);
  EXPECT_EQ(t.F_Operand->value, 77);
}

TEST(CurrentToken, SignedFromTheTokenAlone) {
  TCurrentToken t;
  t.setInteger(4, 1, "1");
  EXPECT_TRUE(t.getSigned());
  t.setRegister(REG_EAX, "eax");
  EXPECT_FALSE(t.getSigned());
  t.setFloat(10, 1.0L, "1.0");
  EXPECT_FALSE(t.getSigned());
  t.setText("s", ttAnsiString);
  EXPECT_FALSE(t.getSigned());
  t.setCleanIdent("x");
  EXPECT_FALSE(t.getSigned());
  t.setLabel(P(1), "l");
  EXPECT_FALSE(t.getSigned());
  // An identifier without a record behind it cannot be signed.
  t.setCleanIdent("c");
  t.F_IdentType = itConst;
  EXPECT_FALSE(t.getSigned());
  t.F_IdentType = itGlobalVar;
  EXPECT_FALSE(t.getSigned());
}

// A field path takes the sign of the data member it ends at, on a variable
// and on a register; a cast still decides over it.
TEST(CurrentToken, SignedFromTheMemberAFieldPathEndsAt) {
  TVarType record{}, signedMember{}, unsignedMember{}, signedRecord{};
  record.size = 8;
  signedMember.size = 4;
  signedMember.signed_ = 1;
  unsignedMember.size = 4;
  signedRecord.signed_ = 1;
  TVar var{};
  var.type_ = &record;
  TCurrentToken t;
  t.setCleanIdent("p");
  t.F_Pointer = &var;
  for (const TIdentType it : {itGlobalVar, itLocalVar}) {
    t.F_IdentType = it;
    t.F_MemberType = nullptr;
    EXPECT_FALSE(t.getSigned());  // the whole record
    t.F_MemberType = &signedMember;
    EXPECT_TRUE(t.getSigned());
    t.F_MemberType = &unsignedMember;
    EXPECT_FALSE(t.getSigned());
  }
  // The member decides even where the variable's own type would not.
  var.type_ = &signedRecord;
  EXPECT_FALSE(t.getSigned());
  t.F_MemberType = &signedMember;
  t.F_CastType = &unsignedMember;
  EXPECT_FALSE(t.getSigned());

  TCurrentToken r;
  r.setBaseExp(4, 1, REG_ESI, REG_NONE, 4, 0, nullptr);
  EXPECT_FALSE(r.getSigned());
  r.F_MemberType = &signedMember;
  EXPECT_TRUE(r.getSigned());
  r.F_MemberType = &unsignedMember;
  EXPECT_FALSE(r.getSigned());
}

}  // namespace
}  // namespace vorak
