// The const and enum statements: what they put into the constant pool and
// the identifier and define tables, and the errors with their positions.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/driver/Log.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/ConstHandlers.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "source/SourceFixture.h"

namespace vorak {
namespace {

class ConstHandlersTest : public test::SourceTest {
 protected:
  // Compiles the statements of the text as the statement loop hands them
  // over: each keyword is read, then its handler reads the rest.
  void run(std::string_view text) {
    TAFile* f = load(text);
    for (int guard = 0; guard < 100; ++guard) {
      const TVorToken t = f->moveNextToken();
      if (t == ttEOF) return;
      ASSERT_EQ(t, ttIdent) << "a statement starts with a keyword";
      if (cur().F_Keyword == keyConst) {
        handle_CONST();
      } else if (cur().F_Keyword == keyEnum) {
        handle_ENUM();
      } else {
        FAIL() << "no handler for " << cur().F_String;
      }
    }
    FAIL() << "the statements did not end";
  }

  std::string fatalOf(std::string_view text) {
    return fatalLine([&] { run(text); });
  }

  // The record that a declared name stands for.
  static TConst* constOf(std::string_view name) {
    const PIdent id = Idents->findIdent(name, Idents->CurrentScope());
    if (!id || id->type_ != itConst) return nullptr;
    return static_cast<TConst*>(id->ptr);
  }

  static std::string keyOf(const TConst* c) {
    for (uint32_t i = 0; i < Consts->Count(); ++i)
      if (Consts->getConst(i) == c) return Consts->List().GetString(i);
    return "<not pooled>";
  }
};

// ---- const ----

TEST_F(ConstHandlersTest, EqualValuesShareOneRecord) {
  const uint32_t before = Consts->Count();
  run("const A = 5; const B = 5;");
  ASSERT_EQ(Consts->Count(), before + 1);
  TConst* a = constOf("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(constOf("b"), a) << "names are found A-Z folded";
  EXPECT_EQ(vorStrView(a->varname), "A");
  EXPECT_EQ(a->type_, ctValue);
  EXPECT_EQ(a->int_, 5);
  EXPECT_EQ(a->ext, 5.0L);
  EXPECT_EQ(vorStrView(a->str), "5");
  EXPECT_EQ(a->size, 4) << "an evaluated value has the pointer size";
  EXPECT_FALSE(a->active);
  EXPECT_EQ(keyOf(a), "_V_5");
}

TEST_F(ConstHandlersTest, SameValueOfAnotherSizeIsAnotherRecord) {
  run("const A = 5;");
  ptrSize = 8;
  run("const B = 5;");
  TConst* a = constOf("A");
  TConst* b = constOf("B");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->size, 4);
  EXPECT_EQ(b->size, 8);
  EXPECT_EQ(keyOf(b), "_V_5");
}

TEST_F(ConstHandlersTest, AnsiAndWideStringsArePooledApart) {
  run("const S = 'ab'; const W = \"ab\"; const T = 'ab';");
  TConst* s = constOf("S");
  TConst* w = constOf("W");
  ASSERT_NE(s, nullptr);
  ASSERT_NE(w, nullptr);
  EXPECT_NE(s, w);
  EXPECT_EQ(constOf("T"), s);
  EXPECT_EQ(s->type_, ctAnsiString);
  EXPECT_EQ(w->type_, ctWideString);
  EXPECT_EQ(vorStrView(s->str), "ab");
  EXPECT_EQ(vorStrView(w->str), "ab");
  EXPECT_EQ(s->size, 2);
  EXPECT_EQ(keyOf(s), "_A_ab");
  EXPECT_EQ(keyOf(w), "_W_ab");
  EXPECT_EQ(vorStrView(s->varname), "S");
}

TEST_F(ConstHandlersTest, LongStringKeepsItsTextAndTheLow8BitsOfItsLength) {
  const std::string text(300, 'x');
  run("const L = '" + text + "';");
  TConst* c = constOf("L");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(vorStrView(c->str), text);
  EXPECT_EQ(c->size, 300 % 256);
}

TEST_F(ConstHandlersTest, ValuesAreEvaluated) {
  run("const K = (1 shl 40) + 1; const N = -5; const H = 0x10; const M = K mod 1000;");
  TConst* k = constOf("K");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->int_, 1099511627777);
  EXPECT_EQ(k->ext, 1099511627777.0L);
  EXPECT_EQ(vorStrView(k->str), "1099511627777");
  TConst* n = constOf("N");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->int_, -5);
  EXPECT_EQ(keyOf(n), "_V_-5");
  TConst* h = constOf("H");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->int_, 16);
  EXPECT_EQ(vorStrView(h->str), "16") << "the text is the decimal value, not the literal";
  TConst* m = constOf("M");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->int_, 1099511627777 % 1000) << "a constant is an operand of a later value";
}

TEST_F(ConstHandlersTest, IntegralFloatIsAccepted) {
  run("const F = 3.0; const G = 7 / 7.0;");
  ASSERT_NE(constOf("F"), nullptr);
  EXPECT_EQ(constOf("F")->int_, 3);
  EXPECT_EQ(constOf("F")->type_, ctValue);
  EXPECT_EQ(constOf("G")->int_, 1);
}

TEST_F(ConstHandlersTest, NewConstantHidesAnOlderName) {
  VarMan->addVar(vmGlobal, "counter", VarMan->TypeList()[6], 1, 0);
  run("const counter = 9;");
  const PIdent id = Idents->findIdent("counter", Idents->CurrentScope());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itConst);
  EXPECT_EQ(static_cast<TConst*>(id->ptr)->int_, 9);
}

TEST_F(ConstHandlersTest, DeclaredConstantReadsAsItsValue) {
  run("const two = 2; const S = 'hi';");
  TAFile* f = load("two S");
  ASSERT_EQ(f->moveNextToken(), ttNumber);
  EXPECT_EQ(cur().F_Integer, 2);
  EXPECT_EQ(cur().F_ByteCount, 4);
  ASSERT_EQ(f->moveNextToken(), ttAnsiString);
  EXPECT_EQ(cur().F_String, "hi");
}

TEST_F(ConstHandlersTest, UnusedConstantsAreDroppedAtTheEnd) {
  run("const A = 5; const B = 6; const S = 'x'; const C = 7;");
  const uint32_t before = Consts->Count();
  constOf("B")->active = 1;
  constOf("C")->active = 1;
  Consts->clearInactive();
  ASSERT_EQ(Consts->Count(), before - 2);
  // The survivors keep their order and are renumbered.
  std::vector<int64_t> kept;
  for (uint32_t i = 0; i < Consts->Count(); ++i) kept.push_back(Consts->getConst(i)->int_);
  EXPECT_EQ(kept, (std::vector<int64_t>{6, 7}));
  EXPECT_EQ(Consts->List().GetString(0), "_V_6");
}

struct ErrorCase {
  const char* name;
  const char* source;
  const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ConstError : public ConstHandlersTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ConstError, StopsWithMessageAndPosition) {
  EXPECT_EQ(fatalOf(GetParam().source), GetParam().message);
}

const ErrorCase kConstErrors[] = {
    {"FloatValue", "const F = 1.5;", "[1,13]: [5311] Unexpected float 1.5 in [t.vor]"},
    {"FractionalResult", "const F = 7 / 2;", "[1,15]: [5311] Unexpected float 3.5 in [t.vor]"},
    {"RegisterValue", "const R = eax;", "[1,13]: [5311] Unexpected register eax in [t.vor]"},
    {"NameValue", "const R = foo;", "[1,13]: [5311] Unexpected ident foo in [t.vor]"},
    {"NumberAsName", "const 5 = 1;", "[1,7]: Unexpected number 5 in [t.vor]"},
    {"RegisterAsName", "const eax = 1;", "[1,9]: Unexpected register eax in [t.vor]"},
    {"DeclaredConstantAsName", "const A = 1;\nconst A = 2;", "[2,7]: Unexpected number 1 in [t.vor]"},
    {"MissingEquals", "const A 5;", "[1,9]: Unexpected number 5 in [t.vor]"},
    {"MissingSemicolon", "const A = 5\nconst B = 6;", "[2,5]: Unexpected reserved keyword const in [t.vor]"},
    {"MinusWithoutBlank", "const A = 2-3;", "[1,13]: Unexpected number -3 in [t.vor]"},
    {"EndOfText", "const A = 'x'", "[1,14]: Unexpected EOF in [t.vor]"},
};

INSTANTIATE_TEST_SUITE_P(Const, ConstError, ::testing::ValuesIn(kConstErrors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- enum ----

struct EnumCase {
  const char* name;
  const char* source;
  std::vector<std::pair<const char*, int64_t>> items;
  uint8_t size;
};

void PrintTo(const EnumCase& c, std::ostream* os) { *os << c.name; }

class EnumItems : public ConstHandlersTest, public ::testing::WithParamInterface<EnumCase> {};

TEST_P(EnumItems, DeclareConstantsOfTheBaseTypeSize) {
  const EnumCase& c = GetParam();
  run(c.source);
  for (const auto& [name, value] : c.items) {
    TConst* k = constOf(name);
    ASSERT_NE(k, nullptr) << name;
    EXPECT_EQ(k->type_, ctValue) << name;
    EXPECT_EQ(k->int_, value) << name;
    EXPECT_EQ(k->size, c.size) << name;
    EXPECT_EQ(vorStrView(k->varname), name);
  }
}

const EnumCase kEnumCases[] = {
    {"StepOne", "enum Color : byte { Red = 1, Green, Blue }", {{"Red", 1}, {"Green", 2}, {"Blue", 3}}, 1},
    {"StepTwo", "enum E : byte (2) { A = 1, B, C }", {{"A", 1}, {"B", 3}, {"C", 5}}, 1},
    {"NegativeStep", "enum E : sbyte (-1) { A = 0, B, C }", {{"A", 0}, {"B", -1}, {"C", -2}}, 1},
    {"StepOfTheLow32Bits", "enum E : int64 (0x100000003) { A = 0, B }", {{"A", 0}, {"B", 3}}, 8},
    {"FirstItemWithoutValueIsZero", "enum E : word { A, B, C }", {{"A", 0}, {"B", 1}, {"C", 2}}, 2},
    {"ValueRestartsTheCount", "enum E : dword { A = 10, B, C = 100, D }", {{"A", 10}, {"B", 11}, {"C", 100}, {"D", 101}}, 4},
    {"EvaluatedValue", "enum E : dword { A = 1 shl 4, B = (2 + 3) * 2 }", {{"A", 16}, {"B", 10}}, 4},
    {"ConstantAsValue", "const K = 40; enum E : byte { A = K, B }", {{"A", 40}, {"B", 41}}, 1},
    {"SmallestSigned", "enum E : sbyte { A = -128, B }", {{"A", -128}, {"B", -127}}, 1},
    {"LargestUnsigned", "enum E : byte { A = 254, B }", {{"A", 254}, {"B", 255}}, 1},
    {"QwordAllBits", "enum E : qword { A = 0xFFFFFFFFFFFFFFFF }", {{"A", -1}}, 8},
    {"Int64Extremes", "enum E : int64 { A = -9223372036854775808, B = 9223372036854775807 }",
     {{"A", INT64_MIN}, {"B", INT64_MAX}}, 8},
    {"LayoutFree", "enum E\n:\nbyte\n(\n3\n)\n{\nA\n=\n1\n,\nB\n}", {{"A", 1}, {"B", 4}}, 1},
    {"CommentsBetween", "enum E : byte /* step */ (2) { A = 1 /* one */ , // next\n B }", {{"A", 1}, {"B", 3}}, 1},
};

INSTANTIATE_TEST_SUITE_P(Enum, EnumItems, ::testing::ValuesIn(kEnumCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConstHandlersTest, EnumNameStandsForItsBaseType) {
  run("enum Color : byte { Red = 1 }");
  const TCurrentToken* def = DefMan->getDefine("Color");
  ASSERT_NE(def, nullptr);
  TVarType* byteType = static_cast<TVarType*>(Idents->findIdent("byte", 0)->ptr);
  EXPECT_EQ(def->F_Type, ttIdent);
  EXPECT_EQ(def->F_IdentType, itType);
  EXPECT_EQ(def->F_Pointer, byteType);
  // Read where a type name may stand.
  TAFile* f = load("Color");
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_IdentType, itType);
  EXPECT_EQ(cur().F_Pointer, byteType);
  EXPECT_EQ(cur().F_ByteCount, 1);
}

TEST_F(ConstHandlersTest, EnumOfAnEnumTakesTheSameBase) {
  run("enum Color : sbyte { Red = -1 } enum Shade : Color { Dark = -128 }");
  ASSERT_NE(constOf("Dark"), nullptr);
  EXPECT_EQ(constOf("Dark")->size, 1);
  EXPECT_EQ(fatalOf("enum More : Color { X = 128 }"), "[1,27]: [324] Value is out of bounds in [t.vor]");
}

TEST_F(ConstHandlersTest, EmptyEnumDeclaresNoItems) {
  const uint32_t before = Consts->Count();
  run("enum E : byte { } enum F : byte (5) {}");
  EXPECT_EQ(Consts->Count(), before);
  EXPECT_NE(DefMan->getDefine("E"), nullptr);
  EXPECT_NE(DefMan->getDefine("F"), nullptr);
}

TEST_F(ConstHandlersTest, EnumItemsArePooledWithConstants) {
  run("const Two = 2; enum D : dword { A = 2 } enum B : byte { C = 2 }");
  ASSERT_NE(constOf("Two"), nullptr);
  EXPECT_EQ(constOf("A"), constOf("Two")) << "same value and size: one record";
  EXPECT_NE(constOf("C"), constOf("Two")) << "another size: another record";
  EXPECT_EQ(vorStrView(constOf("A")->varname), "Two");
}

class EnumError : public ConstHandlersTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(EnumError, StopsWithMessageAndPosition) {
  EXPECT_EQ(fatalOf(GetParam().source), GetParam().message);
}

const ErrorCase kEnumErrors[] = {
    // Bounds, compared signed or unsigned as the base type is.
    {"PastTheUpperBound", "enum E : byte { A = 255, B }", "[1,26]: [324] Value is out of bounds in [t.vor]"},
    {"NegativeInAnUnsignedType", "enum E : byte { A = -1 }", "[1,22]: [324] Value is out of bounds in [t.vor]"},
    {"BelowTheLowerBound", "enum E : sbyte { A = -129 }", "[1,25]: [324] Value is out of bounds in [t.vor]"},
    {"StepPastTheUpperBound", "enum E : sbyte (100) { A = 0, B, C }", "[1,34]: [324] Value is out of bounds in [t.vor]"},
    {"NegativeStepBelowZero", "enum E : word (-1) { A = 0, B }", "[1,29]: [324] Value is out of bounds in [t.vor]"},
    {"WordBound", "enum E : word { A = 65536 }", "[1,25]: [324] Value is out of bounds in [t.vor]"},
    // A step that wraps around the 64-bit range stays out of bounds.
    {"UnsignedWrapAround", "enum E : qword { A = 0xFFFFFFFFFFFFFFFF, B }", "[1,42]: [324] Value is out of bounds in [t.vor]"},
    {"UnsignedWrapBelowZero", "enum E : qword (-1) { A = 0, B }", "[1,30]: [324] Value is out of bounds in [t.vor]"},
    {"SignedOverflow", "enum E : int64 { A = 9223372036854775807, B }", "[1,43]: [324] Value is out of bounds in [t.vor]"},
    {"SignedUnderflow", "enum E : int64 (-1) { A = -9223372036854775808, B }", "[1,49]: [324] Value is out of bounds in [t.vor]"},
    {"FloatBaseTypeHoldsOnlyZero", "enum E : single { A = 0, B }", "[1,26]: [324] Value is out of bounds in [t.vor]"},
    // Malformed statements.
    {"NameTaken", "enum byte : byte { }", "[1,9]: [352] Reserved data type byte in [t.vor]"},
    {"KeywordAsName", "enum if : byte { }", "[1,7]: [352] Reserved reserved keyword if in [t.vor]"},
    {"NumberAsName", "enum 5 : byte { }", "[1,6]: [352] Reserved number 5 in [t.vor]"},
    {"MissingColon", "enum E byte { }", "[1,11]: [43] Unexpected data type byte in [t.vor]"},
    {"UnknownBaseType", "enum E : colour { }", "[1,15]: [243] Unexpected ident colour in [t.vor]"},
    {"StepNotANumber", "enum E : byte (x) { }", "[1,16]: [566732] Unexpected ident x in [t.vor]"},
    {"StepIsAnExpression", "enum E : byte (1 + 1) { }", "[1,18]: [64574] Unexpected symbol + in [t.vor]"},
    {"StepWithoutClosing", "enum E : byte (2 { }", "[1,18]: [64574] Unexpected symbol { in [t.vor]"},
    {"MissingOpeningBrace", "enum E : byte ;", "[1,15]: [12] Unexpected symbol ; in [t.vor]"},
    // A name already taken is named as written, not as what it stands for.
    {"ItemTaken", "enum E : byte { byte }", "[1,20]: [236322] byte redeclared in [t.vor]"},
    {"ItemDeclaredTwice", "enum E : byte { A = 1, A }", "[1,24]: [236322] A redeclared in [t.vor]"},
    {"ItemRepeatedWithoutValue", "enum E: byte { Alpha, Alpha }", "[1,27]: [236322] Alpha redeclared in [t.vor]"},
    {"ItemKeepsItsCase", "enum E : byte { Alpha, ALPHA }", "[1,28]: [236322] ALPHA redeclared in [t.vor]"},
    {"ItemNamesAConstant", "const Limit = 7;\nenum E : byte { LIMIT }", "[2,21]: [236322] LIMIT redeclared in [t.vor]"},
    {"ItemNamesARegister", "enum E : byte { eax }", "[1,19]: [236322] eax redeclared in [t.vor]"},
    {"ItemNotAName", "enum E : byte { 1 }", "[1,17]: [236322] number 1 redeclared in [t.vor]"},
    {"StringValue", "enum E : byte { A = 'x' }", "[1,23]: [53421] Unexpected ansi string 'x' in [t.vor]"},
    {"FloatValue", "enum E : byte { A = 1.5 }", "[1,23]: [53421] Unexpected float 1.5 in [t.vor]"},
    {"FractionalValue", "enum E : byte { A = 5 / 2 }", "[1,25]: [53421] Unexpected float 2.5 in [t.vor]"},
    {"BadSeparator", "enum E : byte { A = 1; B }", "[1,22]: [654] Unexpected symbol ; in [t.vor]"},
    {"NameAfterItem", "enum E : byte { A B }", "[1,19]: [654] Unexpected ident B in [t.vor]"},
    {"CommaBeforeBrace", "enum E : byte { A, }", "[1,20]: [236322] symbol } redeclared in [t.vor]"},
    {"EndOfText", "enum E : byte { A = 1", "[1,22]: [654] Unexpected EOF in [t.vor]"},
};

INSTANTIATE_TEST_SUITE_P(Enum, EnumError, ::testing::ValuesIn(kEnumErrors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConstHandlersTest, ArithmeticFailuresStopWithTheirMessage) {
  EXPECT_EQ(fatalOf("enum E : byte { A = 1 mod 0 }"), "[1,27]: [13093] Division by zero in \"mod\" in [t.vor]");
  EXPECT_EQ(fatalOf("const C = 1 / 0;"), "[1,15]: [13093] Division by zero in \"/\" in [t.vor]");
  EXPECT_EQ(fatalOf("const C = 0x7FFFFFFFFFFFFFFF + 1;"),
            "[1,32]: [13091] Result of \"+\" does not fit 64 bits in [t.vor]");
}

}  // namespace
}  // namespace vorak
