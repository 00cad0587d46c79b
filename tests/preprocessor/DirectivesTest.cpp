// Conditional compilation and the directives around it, compiled from small
// sources: #if/#elseif/#else, #ifdef/#ifndef, #repeat, #end and the skipping
// of dead text; #eval, #echo, #depreciated, #raise, #align and #resource.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "compiler/driver/Log.h"
#include "compiler/output/ResourceManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class DirectivesTest : public CompileTest {
 protected:
  // The main program's instructions as blank-separated mnemonics, decoded
  // by Capstone. The code of a test is a few one-byte instructions, so which
  // text was compiled shows in them.
  static std::string mnemonics() {
    const std::vector<std::string> names = disasm();
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
  }

  // Compiles a program body and returns its mnemonics.
  std::string run(const std::string& body) {
    compileBody(body);
    return mnemonics();
  }
};

struct Shape {
  const char* name;
  const char* body;
  const char* expected;  // mnemonics compiled
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

class ConditionalShapeTest : public DirectivesTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(ConditionalShapeTest, CompilesExactlyTheLiveText) {
  EXPECT_EQ(run(GetParam().body), GetParam().expected) << GetParam().body;
}

// ---- #if: comparisons ----

INSTANTIATE_TEST_SUITE_P(
    IfComparisons, ConditionalShapeTest,
    ::testing::Values(
        Shape{"EqualHolds", "#if 1 == 1: nop #end int3", "nop int3"},
        Shape{"EqualFails", "#if 1 == 2: nop #end int3", "int3"},
        Shape{"NotEqual", "#if 1 != 2: nop #end", "nop"},
        Shape{"NotEqualAngle", "#if 1 <> 1: nop #end hlt", "hlt"},
        Shape{"NotEqualBang", "#if 1 =! 2: nop #end", "nop"},
        // Ordering is unsigned: -1 is the largest 64-bit value.
        Shape{"MinusOneAboveOne", "#if -1 > 1: nop #end", "nop"},
        Shape{"MinusOneNotBelowOne", "#if -1 < 1: nop #end hlt", "hlt"},
        Shape{"Lower", "#if 1 < 2: nop #end", "nop"},
        Shape{"LowerEqual", "#if 2 <= 2: nop #end", "nop"},
        Shape{"LowerEqualOtherForm", "#if 3 =< 2: nop #end hlt", "hlt"},
        Shape{"HigherEqual", "#if 2 >= 3: nop #end hlt", "hlt"},
        Shape{"HigherEqualOtherForm", "#if 3 => 3: nop #end", "nop"},
        Shape{"HexAgainstDecimal", "#if 0x10 == 16: nop #end", "nop"},
        Shape{"DefineAsOperand", "#define level 3;\n#if level >= 2: nop #end", "nop"},
        Shape{"BitsFromTheStandardInclude", "#if bits == 32: nop #end", "nop"},
        Shape{"FloatEqual", "#if 2.5 == 2.5: nop #end", "nop"},
        Shape{"FloatNotEqual", "#if 2.5 != 2.25: nop #end", "nop"},
        Shape{"NumberAgainstFloat", "#if 2 == 2.0: nop #end", "nop"},
        Shape{"StringsEqual", "#if 'abc' == 'abc': nop #end", "nop"},
        Shape{"StringsCaseMatters", "#if 'abc' == 'ABC': nop #end hlt", "hlt"},
        Shape{"AnsiAgainstWide", "#if 'ab' == \"ab\": nop #end", "nop"},
        Shape{"StringsDiffer", "#if 'a' != 'b': nop #end", "nop"},
        Shape{"SameType", "#if dword == dword: nop #end", "nop"},
        Shape{"OtherType", "#if dword == word: nop #end hlt", "hlt"},
        Shape{"TypesDiffer", "#if byte != word: nop #end", "nop"},
        // A number or float compares with A's value, whatever A is: a name
        // that names nothing, or a string, has the value 0.
        Shape{"UndefinedNameIsZero", "#if debug == 0: nop #end", "nop"},
        Shape{"UndefinedNameIsNotOne", "#if debug == 1: nop #else int3 #end", "int3"},
        Shape{"StringAgainstNumber", "#if 'a' != 0: nop #end hlt", "hlt"},
        Shape{"UndefinedNameAgainstFloat", "#if debug != 0.5: nop #end", "nop"},
        // Without an operator a number decides by its value; anything else
        // takes the branch.
        Shape{"ZeroAlone", "#if 0: nop #end hlt", "hlt"},
        Shape{"NumberAlone", "#if 5: nop #end", "nop"},
        Shape{"FloatZeroAlone", "#if 0.0: nop #end hlt", "hlt"},
        Shape{"NameAlone", "#if anything: nop #end", "nop"},
        Shape{"StringAlone", "#if 'x': nop #end", "nop"},
        Shape{"DollarForm", "$if 1 == 1: nop $end int3", "nop int3"},
        Shape{"UpperCaseNames", "#IF 1 == 2: nop #ElSe int3 #END", "int3"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- branches, chains and nesting ----

INSTANTIATE_TEST_SUITE_P(
    Branches, ConditionalShapeTest,
    ::testing::Values(
        Shape{"ElseNotTaken", "#if 1 == 1: nop #else int3 #end hlt", "nop hlt"},
        Shape{"ElseTaken", "#if 1 == 2: nop #else int3 #end hlt", "int3 hlt"},
        Shape{"ChainFirst", "#if 1 == 1: nop #elseif 1 == 1: int3 #elseif 1 == 1: hlt #else cld #end std",
              "nop std"},
        Shape{"ChainSecond", "#if 1 == 2: nop #elseif 2 == 2: int3 #elseif 1 == 1: hlt #else cld #end std",
              "int3 std"},
        Shape{"ChainThird", "#if 1 == 2: nop #elseif 2 == 3: int3 #elseif 3 == 3: hlt #else cld #end std",
              "hlt std"},
        Shape{"ChainElse", "#if 1 == 2: nop #elseif 2 == 3: int3 #elseif 3 == 4: hlt #else cld #end std",
              "cld std"},
        Shape{"ChainNone", "#if 1 == 2: nop #elseif 2 == 3: int3 #end std", "std"},
        Shape{"ChainOverLines", "#if 0 == 1:\n nop\n#elseif 1 == 1:\n int3\n int3\n#else\n hlt\n#end\ncld\n",
              "int3 int3 cld"},
        // A dead branch holding a whole conditional of another kind.
        Shape{"NestedInDeadBranch", "#if 1 == 2: #ifndef x: nop #else hlt #end cld #else int3 #end std",
              "int3 std"},
        Shape{"NestedRepeatInDeadBranch", "#if 1 == 2: #repeat 3: nop #end #end int3", "int3"},
        Shape{"NestedTakenInTaken", "#if 1 == 1: nop #if 2 == 2: int3 #else hlt #end cld #end std",
              "nop int3 cld std"},
        Shape{"NestedDeadInTaken", "#if 1 == 1: nop #if 2 == 3: int3 #else hlt #end cld #else stc #end std",
              "nop hlt cld std"},
        Shape{"NestedInElse", "#if 1 == 2: nop #else #if 1 == 1: int3 #end hlt #end", "int3 hlt"},
        Shape{"NestedElseifInTakenBranchSkipped",
              "#if 1 == 1: nop #else #if 1 == 1: int3 #elseif 1 == 1: hlt #end cld #end std", "nop std"},
        // After a taken branch every later #elseif and #else is dead.
        Shape{"LaterElseifsDead", "#if 1 == 1: nop #elseif 1 == 1: int3 #else hlt #end", "nop"},
        // The #elseif condition that follows a compiled branch is never read.
        Shape{"DeadElseifConditionNotRead", "#if 1 == 1: nop #elseif undefined_name == 1: int3 #end", "nop"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- #ifdef and #ifndef ----

INSTANTIATE_TEST_SUITE_P(
    Ifdef, ConditionalShapeTest,
    ::testing::Values(
        Shape{"Undefined", "#ifdef x: nop #else int3 #end", "int3"},
        Shape{"Defined", "#define x;\n#ifdef x: nop #else int3 #end", "nop"},
        Shape{"NotUndefined", "#ifndef x: nop #else int3 #end", "nop"},
        Shape{"NotDefined", "#define x;\n#ifndef x: nop #else int3 #end", "int3"},
        Shape{"ValueEqual", "#define x 3;\n#ifdef x == 3: nop #else int3 #end", "nop"},
        Shape{"ValueOther", "#define x 3;\n#ifdef x == 4: nop #else int3 #end", "int3"},
        Shape{"ValueNotEqual", "#define x 3;\n#ifdef x != 4: nop #end", "nop"},
        Shape{"NotValueEqual", "#define x 3;\n#ifndef x == 3: nop #else int3 #end", "int3"},
        // A comparison after an undefined name is read, and does not hold.
        Shape{"UndefinedWithComparison", "#ifdef x == 3: nop #else int3 #end", "int3"},
        Shape{"NotUndefinedWithComparison", "#ifndef x != 3: nop #else int3 #end", "nop"},
        Shape{"StandardDefine", "#ifdef MMX_SUPPORT: nop #end", "nop"},
        // An #elseif belongs to #if: in #ifdef it closes a compiled branch
        // and is passed over in dead text.
        Shape{"ElseifClosesTakenBranch", "#define x;\n#ifdef x: nop #elseif 1 == 1: int3 #else hlt #end cld",
              "nop cld"},
        Shape{"ElseifPassedOver", "#ifdef x: nop #elseif 1 == 1: int3 #else hlt #end cld", "hlt cld"},
        Shape{"DollarForms", "$ifndef x: nop $end", "nop"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- dead text ----

INSTANTIATE_TEST_SUITE_P(
    DeadText, ConditionalShapeTest,
    ::testing::Values(
        // Quotes are ordinary bytes in dead text: it need not be source.
        Shape{"ApostropheInProse", "#if 1 == 2:\n it's off\n#end\nint3", "int3"},
        Shape{"ApostrophesInTwoDeadBranches", "#if 1 == 2: it's #end\nmov eax, 1\n#if 1 == 2: don't #end int3",
              "mov eax, 1 int3"},
        Shape{"ApostropheThenOneInAComment", "#if 1 == 2: it's #end\nnop // nop's byte\n#if 1 == 2: #end int3",
              "nop int3"},
        Shape{"DoubleQuoteInProse", "#if 1 == 2: say \"hi #end int3", "int3"},
        Shape{"EndInQuotesCloses", "#if 1 == 2: x = '#end int3 //'", "int3"},
        Shape{"ElseInQuotesOpens", "#if 1 == 2: x = \"#else int3 #end", "int3"},
        // Every kind of skipping.
        Shape{"ApostropheAfterTakenBranch", "#if 1 == 1: nop #else it's #end int3", "nop int3"},
        Shape{"ApostropheInDeadElseif", "#if 1 == 2: nop #elseif 1 == 2: it's #else int3 #end", "int3"},
        Shape{"ApostropheInDeadIfdef", "#ifdef x: it's #end int3", "int3"},
        Shape{"ApostropheInDeadIfndef", "#define x;\n#ifndef x: it's #else nop #end int3", "nop int3"},
        Shape{"ApostropheInZeroRepeat", "#repeat 0: it's #end int3", "int3"},
        Shape{"EndInLineComment", "#if 1 == 2: // #end\n nop\n#end int3", "int3"},
        Shape{"EndInBlockComment", "#if 1 == 2: /* #end\n #else */ nop #end int3", "int3"},
        Shape{"QuoteInComment", "#if 1 == 2: // don't\n nop #end int3", "int3"},
        // Only a name directly after the prefix is a directive.
        Shape{"PrefixThenBlank", "#if 1 == 2: # end nop #end int3", "int3"},
        Shape{"LongerWords", "#if 1 == 2: #endx #ending #elsewhere #iffy nop #end int3", "int3"},
        Shape{"DigitsAfterPrefix", "#if 1 == 2: $1 #2 nop #end int3", "int3"},
        // Dead text is not compiled, resolved or expanded: undefined names,
        // broken statements, defines and includes do nothing there.
        Shape{"BrokenStatements", "#if 1 == 2: mov eax,, ]] @@ } { $mpop(1) nonsense #end int3", "int3"},
        Shape{"IncludeOfMissingFile", "#if 1 == 2: #include 'missing.vor' #end int3", "int3"},
        Shape{"DefineNotMade", "#if 1 == 2: #define y; #end #ifdef y: nop #else int3 #end", "int3"},
        Shape{"DeepDeadNesting",
              "#if 1 == 2: #if 1: #ifdef a: #ifndef b: #repeat 2: #if 1: nop #end #end #end #end #end #end int3",
              "int3"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- #repeat ----

INSTANTIATE_TEST_SUITE_P(
    Repeat, ConditionalShapeTest,
    ::testing::Values(
        Shape{"Zero", "#repeat 0: nop int3 #end hlt", "hlt"},
        Shape{"One", "#repeat 1: nop int3 #end hlt", "nop int3 hlt"},
        Shape{"Three", "#repeat 3: nop int3 #end hlt", "nop int3 nop int3 nop int3 hlt"},
        Shape{"Nested", "#repeat 2: cld #repeat 3: nop #end std #end", "cld nop nop nop std cld nop nop nop std"},
        Shape{"ZeroSkipsNestedConditionals", "#repeat 0: #if 1 == 1: nop #end int3 #end hlt", "hlt"},
        // With no pass there is no #else to take.
        Shape{"ZeroIgnoresElse", "#repeat 0: nop #else int3 #end hlt", "hlt"},
        Shape{"ConditionalInBody", "#repeat 2: #if 1 == 1: nop #else int3 #end #end", "nop nop"},
        Shape{"DollarForm", "$repeat 2: nop $end", "nop nop"},
        Shape{"CountFromDefine", "#define n 2;\n#repeat n: nop #end", "nop nop"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- #eval ----

INSTANTIATE_TEST_SUITE_P(
    Eval, ConditionalShapeTest,
    ::testing::Values(
        Shape{"Text", "#eval('nop') int3", "nop int3"},
        Shape{"SeveralStatements", "#eval('nop\\nint3; hlt') cld", "nop int3 hlt cld"},
        // The evaluated text ends at its own end: the branch around it goes
        // on and is closed by its own #end.
        Shape{"InsideABranch", "#if 1 == 1: #eval('int3') nop #else hlt #end cld", "int3 nop cld"},
        Shape{"InsideARepeat", "#repeat 2: #eval('int3') nop #end", "int3 nop int3 nop"},
        Shape{"ConditionalInText", "#eval('#if 1 == 2: nop #else int3 #end') hlt", "int3 hlt"},
        Shape{"RepeatInText", "#eval('#repeat 3: nop #end') hlt", "nop nop nop hlt"},
        Shape{"EvalInText", "#eval('#eval(\\'int3\\') nop') hlt", "int3 nop hlt"},
        Shape{"EmptyText", "#eval('') nop", "nop"},
        Shape{"DefineMadeInText", "#eval('#define z;') #ifdef z: nop #end", "nop"},
        // The text stands in place of the directive: what it opens may close
        // in the text around it, and what it closes may have opened there.
        Shape{"OpensAnIfClosedAround", "#eval('#if 1 == 1:') nop #end hlt", "nop hlt"},
        Shape{"OpensAnIfdefClosedAround", "#eval('#ifdef bits:') nop #end hlt", "nop hlt"},
        Shape{"OpensAnIfndefClosedAround", "#eval('#ifndef nothing:') nop #end hlt", "nop hlt"},
        Shape{"FalseConditionSkipsOnAround", "#eval('#if 1 == 2: int3') nop #end hlt", "hlt"},
        Shape{"FalseConditionTakesTheElseAround", "#eval('#if 1 == 2:') nop #else int3 #end hlt", "int3 hlt"},
        Shape{"FalseIfdefTakesTheElseAround", "#eval('#ifdef nothing:') nop #else int3 #end hlt", "int3 hlt"},
        Shape{"FalseIfTakesTheElseifAround", "#eval('#if 1 == 2:') nop #elseif 1 == 1: int3 #end hlt", "int3 hlt"},
        Shape{"ElseInTextAfterItsBranch", "#eval('#if 1 == 1: nop #else') int3 #end hlt", "nop hlt"},
        Shape{"EndInTextClosesTheBranchAround", "#if 1 == 1: nop #eval('int3 #end cld') hlt", "nop int3 cld hlt"},
        Shape{"ElseInTextEndsTheBranchAround", "#if 1 == 1: nop #eval('#else int3') int3 #end hlt", "nop hlt"},
        Shape{"ElseifInTextEndsTheBranchAround", "#if 1 == 1: nop #eval('#elseif 1 == 1: int3') int3 #end hlt",
              "nop hlt"},
        Shape{"ElseBranchInText", "#if 1 == 2: nop #else #eval('int3 #end') hlt", "int3 hlt"},
        Shape{"RepeatOpensInText", "#eval('#repeat 2: int3') nop #end hlt", "int3 nop int3 nop hlt"},
        Shape{"RepeatOfNoPassInText", "#eval('#repeat 0: int3') nop #end hlt", "hlt"},
        Shape{"NestedTextsOpenConditionals",
              "#define inner '#if 2 == 2: int3';\n#eval('#if 1 == 1: #eval(inner)') nop #end cld #end hlt",
              "int3 nop cld hlt"},
        Shape{"OpensAConditionalInEachPass", "#repeat 3: #eval('#if 1 == 1: int3') nop #end #end hlt",
              "int3 nop int3 nop int3 nop hlt"},
        Shape{"OpensAConditionalInAMacroBody",
              "inline procedure m() { #eval('#if 1 == 1: int3') nop #end }\nm(); m(); hlt", "int3 nop int3 nop hlt"},
        Shape{"ReturnInTextEndsTheBody",
              "inline function f() { #repeat 2: #eval('#if 1 == 1: #return 4;') #end #end }\n"
              "#repeat 2: mov eax, f() #end",
              "mov eax, 4 mov eax, 4"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- what ends a body ----

// An identifier that happens to be spelled "end" closes nothing.
TEST_F(DirectivesTest, ANameSpelledEndClosesNothing) {
  EXPECT_EQ(run("#ifdef end: nop #end int3"), "int3");
  reset();
  EXPECT_EQ(run("#ifndef end: nop #end int3"), "nop int3");
  reset();
  // A label named end inside a compiled branch.
  EXPECT_EQ(run("#if 1 == 1: end: nop #else int3 #end hlt"), "nop hlt");
  ASSERT_NE(funcNamed("end"), nullptr);
  EXPECT_EQ(funcNamed("end")->Address, 0u);
}

TEST_F(DirectivesTest, RepeatGoesBackIntoTheBufferItBeganIn) {
  // The first pass ends at the #end inside the included file; the second
  // starts again in the including text (the include is done by then).
  write("x.vor", "int3 #end");
  EXPECT_EQ(run("#repeat 2: #include 'x.vor' nop #end hlt"), "int3 nop hlt");
}

TEST_F(DirectivesTest, EvalBufferIsNamedAndGone) {
  EXPECT_EQ(fatalBody("nop\n#eval('nop\\n  foo')"), "[2,5]: [9000] Unexpected ident foo in [master.$eval]");
  reset();
  compileBody("#eval('nop') int3");
  // The compile went on in the project text, to its end.
  ASSERT_NE(Compiler->CurFile(), nullptr);
  EXPECT_EQ(Compiler->CurFile()->FileName(), dir() + "/p.vor");
}

TEST_F(DirectivesTest, EvaluatedTextsAreFreedOnceRead) {
  // Left at their end, left by the #end of a repeat begun in them, or left
  // unread by a #return: none outlives its reading.
  compileBody("#repeat 3: #eval('#if 1 == 1: nop') #end #end\n#eval('#repeat 2: int3') nop #end\n"
              "inline function f() { #eval('#return 4; int3') }\nmov eax, f()\nmov eax, f()\n");
  EXPECT_EQ(Compiler->EvalTextCount(), 0u);
  EXPECT_EQ(mnemonics(), "nop nop nop int3 nop int3 nop mov eax, 4 mov eax, 4");
}

TEST_F(DirectivesTest, FilesIncludedByAnEvaluatedTextForgetIt) {
  write("inc.vor", "int3\n");
  EXPECT_EQ(run("#eval('#include \\'inc.vor\\'') nop"), "int3 nop");
  bool seen = false;
  for (TAFile* f : Compiler->FileList()) {
    if (f->FileName().find("inc.vor") == std::string::npos) continue;
    seen = true;
    EXPECT_EQ(f->Parent(), nullptr);
  }
  EXPECT_TRUE(seen);
}

// ---- errors ----

struct Failure {
  const char* name;
  const char* body;  // after "program TEST;" on line 1
  const char* message;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class DirectiveFailureTest : public DirectivesTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(DirectiveFailureTest, StopsWithItsMessage) {
  EXPECT_EQ(fatalBody(GetParam().body), GetParam().message) << GetParam().body;
}

INSTANTIATE_TEST_SUITE_P(
    Conditionals, DirectiveFailureTest,
    ::testing::Values(
        Failure{"IfMissingColon", "#if 1 == 1 nop #end", "[2,14]: [7710] Unexpected ident nop in [p.vor]"},
        Failure{"IfdefMissingColon", "#define x;\n#ifdef x nop #end",
                "[3,12]: [7710] Unexpected ident nop in [p.vor]"},
        Failure{"IfRegisterOperand", "#if 1 == eax: nop #end", "[2,12]: [7798] Unexpected register eax in [p.vor]"},
        Failure{"IfSymbolOperand", "#if 1 == (: nop #end", "[2,10]: [7798] Unexpected symbol ( in [p.vor]"},
        Failure{"IfUnknownName", "#if 1 == foo: nop #end", "[2,12]: [7797] Unexpected ident foo in [p.vor]"},
        Failure{"IfTypeAgainstNumber", "#if 1 == dword: nop #end",
                "[2,14]: [4313] Types can only be compared with each other in [p.vor]"},
        Failure{"IfTypesOrdered", "#if byte < dword: nop #end",
                "[2,16]: [3413] Types can only be compared for equality in [p.vor]"},
        Failure{"IfNumberAgainstString", "#if 1 == 'a': nop #end",
                "[2,12]: [53463] First operator is not a valid ansi or wide string. in [p.vor]"},
        Failure{"IfStringsOrdered", "#if 'a' < 'b': nop #end", "[2,13]: [1222] NOT SUPPORTED YET in [p.vor]"},
        Failure{"IfIntegerXor", "#if 1 ^ 2: nop #end", "[2,9]: [1999] Math operation not valid here in [p.vor]"},
        Failure{"IfIntegerAssign", "#if 1 = 2: nop #end", "[2,9]: [1999] Math operation not valid here in [p.vor]"},
        Failure{"IfFloatsOrdered", "#if 1.5 < 2.5: nop #end",
                "[2,13]: [2000] Math operation not valid here in [p.vor]"},
        Failure{"IfdefAgainstString", "#define x 3;\n#ifdef x == \"a\": nop #end",
                "[3,15]: [1222] NOT SUPPORTED YET in [p.vor]"},
        Failure{"IfdefOrdered", "#define x 3;\n#ifdef x < 4: nop #end",
                "[3,12]: [1999] Math operation not valid here in [p.vor]"},
        Failure{"IfdefAgainstRegister", "#define x 3;\n#ifdef x == eax: nop #end",
                "[3,15]: [7798] Unexpected register eax in [p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

// What stands between a condition and its ":" is read whether the condition
// holds or not: the same mistake stops with the same message either way.
// Each pair differs only in a value, not in length, so the position is the
// same too.
struct Tail {
  const char* name;
  const char* holds;  // after "program TEST;" on line 1
  const char* fails;
  const char* message;
};

void PrintTo(const Tail& t, std::ostream* os) { *os << t.name; }

class ConditionTailTest : public DirectivesTest, public ::testing::WithParamInterface<Tail> {};

TEST_P(ConditionTailTest, StopsWhetherTheConditionHoldsOrNot) {
  EXPECT_EQ(fatalBody(GetParam().holds), GetParam().message) << GetParam().holds;
  reset();
  EXPECT_EQ(fatalBody(GetParam().fails), GetParam().message) << GetParam().fails;
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, ConditionTailTest,
    ::testing::Values(
        Tail{"ProductAfterIf", "#if 4 == 4 * 1: nop #else int3 #end", "#if 4 == 2 * 2: nop #else int3 #end",
             "[2,12]: [7710] Unexpected symbol * in [p.vor]"},
        Tail{"OrAfterIf", "#if 2 == 2 || 1 == 2: nop #end", "#if 1 == 2 || 2 == 2: nop #end",
             "[2,12]: [7710] Unexpected symbol | in [p.vor]"},
        Tail{"WordAfterIf", "#if 1 == 1 garbage: nop #end", "#if 1 == 2 garbage: nop #end",
             "[2,18]: [7710] Unexpected ident garbage in [p.vor]"},
        Tail{"NoColonAfterIf", "#if 1 == 1 nop #end int3", "#if 1 == 2 nop #end int3",
             "[2,14]: [7710] Unexpected ident nop in [p.vor]"},
        Tail{"NoColonAfterValue", "#if 1 nop #end int3", "#if 0 nop #end int3",
             "[2,9]: [7710] Unexpected ident nop in [p.vor]"},
        Tail{"ProductAfterElseif", "#if 0: int3 #elseif 4 == 4 * 1: nop #end",
             "#if 0: int3 #elseif 4 == 2 * 2: nop #end", "[2,28]: [7710] Unexpected symbol * in [p.vor]"},
        Tail{"NoColonAfterElseif", "#if 0: int3 #elseif 1 == 1 nop #end", "#if 0: int3 #elseif 1 == 2 nop #end",
             "[2,30]: [7710] Unexpected ident nop in [p.vor]"},
        Tail{"SumAfterIfdef", "#define X 1;\n#ifdef X == 1 + 2: nop #end", "#define X 3;\n#ifdef X == 1 + 2: nop #end",
             "[3,15]: [7710] Unexpected symbol + in [p.vor]"},
        Tail{"SumAfterUndefinedName", "#define X 1;\n#ifdef X == 1 + 2: nop #end",
             "#define Y 1;\n#ifdef X == 1 + 2: nop #end", "[3,15]: [7710] Unexpected symbol + in [p.vor]"},
        Tail{"NoColonAfterIfdef", "#define X;\n#ifdef X nop #end", "#define Y;\n#ifdef X nop #end",
             "[3,12]: [7710] Unexpected ident nop in [p.vor]"},
        Tail{"NoColonAfterIfndef", "#define Y;\n#ifndef X nop #end", "#define X;\n#ifndef X nop #end",
             "[3,13]: [7710] Unexpected ident nop in [p.vor]"},
        Tail{"UndefinedNameAgainstString", "#define X 3;\n#ifdef X == \"a\": nop #end",
             "#define Y 3;\n#ifdef X == \"a\": nop #end", "[3,15]: [1222] NOT SUPPORTED YET in [p.vor]"},
        Tail{"UndefinedNameOrdered", "#define X 3;\n#ifdef X <= 4: nop #end", "#define Y 3;\n#ifdef X <= 4: nop #end",
             "[3,13]: [1999] Math operation not valid here in [p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bodies, DirectiveFailureTest,
    ::testing::Values(
        // Dead text, a compiled branch or a pass that runs to the end.
        Failure{"DeadBranchToTheEnd", "#if 1 == 2: nop\nnop", "[3,4]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"DeadElseToTheEnd", "#if 1 == 1: nop #else\nnop", "[3,4]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"LiveBranchToTheEnd", "#if 1 == 1: nop\nnop", "[3,4]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"LiveElseToTheEnd", "#ifdef x: nop #else\nnop", "[3,4]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"RepeatToTheEnd", "#repeat 2: nop", "[2,15]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"EmptyRepeatToTheEnd", "#repeat 0: nop", "[2,15]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"EndOnlyInAComment", "#if 1 == 2: // #end\n", "[3,1]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"PrefixLastInText", "#if 1 == 2: #", "[2,14]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"QuoteInDeadTextToTheEnd", "#if 1 == 2:\n  x = 'abc\n", "[4,1]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"UnterminatedDeadComment", "#if 1 == 2:\n  /* #end\n", "[3,3]: [13001] Unterminated comment in [p.vor]"},
        // The nesting in dead text is counted: an inner #end closes the inner one.
        Failure{"InnerEndIsNotOurs", "#if 1 == 2: #ifdef x: #end", "[2,27]: [7652] Unexpected EOF in [p.vor]"},
        // A "}" cannot close a block from inside a conditional or repeat.
        Failure{"BraceInBranch", "#if 1 == 1: nop } #end", "[2,17]: [7714] Unexpected symbol \"}\" before #end in [p.vor]"},
        Failure{"BraceInRepeat", "#repeat 1: } #end", "[2,12]: [7714] Unexpected symbol \"}\" before #end in [p.vor]"},
        Failure{"BraceInEval", "#eval('}') nop", "[1,1]: [7716] Unexpected symbol \"}\" in evaluated text in [master.$eval]"},
        // A block begun in an evaluated text closes in that text, also when
        // a branch opened inside it read on out of the text.
        Failure{"BlockOfATextClosedInAnother",
                "xor eax, eax\n#eval('if (eax == 0) { #eval(\\'#if 1 == 1:\\') mov ebx, 1')\nmov ecx, 2\n#end\n"
                "#eval('mov edx, 3 }')",
                "[1,12]: [7716] Unexpected symbol \"}\" in evaluated text in [master.$eval]"},
        Failure{"BlockOfATextClosedInTheFile",
                "xor eax, eax\n#eval('if (eax == 0) { #eval(\\'#if 1 == 1:\\') mov ebx, 1')\nmov ecx, 2\n#end\n"
                "#eval('mov edx, 3')\n}",
                "[7,1]: [7720] Unexpected symbol \"}\": a block begun in an evaluated text must close in that text in "
                "[p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strays, DirectiveFailureTest,
    ::testing::Values(
        Failure{"EndAtTopLevel", "nop\n#end\nint3", "[3,4]: [0004] #end without an open conditional or repeat in [p.vor]"},
        Failure{"ElseAtTopLevel", "#else", "[2,5]: [0004] #else without an open conditional or repeat in [p.vor]"},
        Failure{"ElseifAtTopLevel", "$ElseIf 1 == 1:",
                "[2,7]: [0004] #elseif without an open conditional or repeat in [p.vor]"},
        Failure{"SecondEnd", "#if 1 == 1: nop #end #end",
                "[2,25]: [0004] #end without an open conditional or repeat in [p.vor]"},
        // The #end in the evaluated text closed the #if: the second is stray.
        Failure{"EndInEvaluatedText", "#if 1 == 1: #eval('nop #end') #end",
                "[2,34]: [0004] #end without an open conditional or repeat in [p.vor]"},
        Failure{"ConditionOpenedInTextNeverClosed", "#eval('#if 1 == 1:') nop", "[2,25]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"DeadTextOpenedInTextNeverClosed", "#eval('#if 1 == 2:') nop", "[2,25]: [7652] Unexpected EOF in [p.vor]"},
        Failure{"ElseAfterElse", "#if 1 == 2: nop #else int3 #else hlt #end",
                "[2,32]: [0006] #else after #else in [p.vor]"},
        Failure{"ElseifAfterElse", "#ifdef x: nop #else int3 #elseif 1 == 1: #end",
                "[2,32]: [0006] #elseif after #else in [p.vor]"},
        Failure{"ElseInRepeat", "#repeat 2: nop #else int3 #end", "[2,20]: [0007] #else inside #repeat in [p.vor]"},
        Failure{"ElseifInRepeat", "#repeat 2: nop #elseif 1: #end",
                "[2,22]: [0007] #elseif inside #repeat in [p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Repeat, DirectiveFailureTest,
    ::testing::Values(
        Failure{"NegativeCount", "#repeat -1: nop #end",
                "[2,10]: [34324] Repeat count must be from 0 to 4294967295 in [p.vor]"},
        Failure{"AllBitsSet", "#repeat 0xFFFFFFFFFFFFFFFF: nop #end",
                "[2,26]: [34324] Repeat count must be from 0 to 4294967295 in [p.vor]"},
        Failure{"CountBeyond32Bits", "#repeat 4294967296: nop #end",
                "[2,18]: [34324] Repeat count must be from 0 to 4294967295 in [p.vor]"},
        Failure{"CountNotANumber", "#repeat n: nop #end", "[2,9]: [34323] Unexpected ident n in [p.vor]"},
        Failure{"MissingColon", "#repeat 2 nop #end", "[2,13]: [3535] Unexpected ident nop in [p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Others, DirectiveFailureTest,
    ::testing::Values(
        Failure{"EvalWithoutParenthesis", "#eval 'nop'", "[2,11]: [653461] Unexpected ansi string 'nop' in [p.vor]"},
        Failure{"EvalOfWideString", "#eval(\"nop\")", "[2,11]: [53614] Unexpected wide string \"nop\" in [p.vor]"},
        Failure{"EvalOfNumber", "#eval(1)", "[2,7]: [53614] Unexpected number 1 in [p.vor]"},
        Failure{"EvalUnclosed", "#eval('nop' nop", "[2,15]: [653462] Unexpected ident nop in [p.vor]"},
        Failure{"AlignWithoutSemicolon", "#align nop", "[2,10]: [57342] Unexpected ident nop in [p.vor]"},
        Failure{"RaiseString", "nop\n  #raise 'Stop here'", "[3,20]: Stop here in [p.vor]"},
        Failure{"RaiseDefine", "#define why 42;\n#raise why", "[3,10]: 42 in [p.vor]"},
        // The text is the user's own, but control bytes still print escaped.
        Failure{"RaiseControlBytes", "#raise 'a\x1B[31mb'", "[2,16]: a\\x1B[31mb in [p.vor]"},
        Failure{"ResourceNotAString", "#resource x;", "[2,11]: [43535] Unexpected ident x in [p.vor]"},
        Failure{"ResourceWideString", "#resource \"a.res\";",
                "[2,17]: [43535] Unexpected wide string \"a.res\" in [p.vor]"},
        Failure{"ResourceMissing", "#resource 'none.res';",
                "[2,20]: [432] Resource file \"none.res\" does not exist in [p.vor]"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- 0 bytes ----

// A 0 byte before more text stops the compile where it was written, in
// every kind of text the file holds: a macro body (whether it is called or
// not), a string in one, a repeated body, dead text, an evaluated text.
TEST_F(DirectivesTest, ANulByteStopsTheCompileInEveryText) {
  using namespace std::string_literals;
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {"inline procedure m() {\n  mov eax, 1\0\n}\nm();\n"s, "[3,13]: [9903] NUL byte in the source text in [p.vor]"},
      {"inline procedure m() {\n  mov eax, 1\0\n}\n"s, "[3,13]: [9903] NUL byte in the source text in [p.vor]"},
      {"inline procedure m() { mov eax, 'a\0b' }\nm();\n"s, "[2,35]: [9903] NUL byte in the source text in [p.vor]"},
      {"mov eax, 'a\0b'\n"s, "[2,12]: [9903] NUL byte in the source text in [p.vor]"},
      {"#repeat 2: nop\0 int3 #end"s, "[2,15]: [9903] NUL byte in the source text in [p.vor]"},
      {"#if 1 == 2: nop\0 int3 #end hlt"s, "[2,16]: [9903] NUL byte in the source text in [p.vor]"},
      {"#if 1 == 2: mov eax, 'a\0b' #end hlt"s, "[2,24]: [9903] NUL byte in the source text in [p.vor]"},
      {"#eval('nop\\x0 int3')"s, "[1,4]: [9903] NUL byte in the source text in [master.$eval]"},
  };
  for (const auto& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
  }
}

// ---- bounds ----

std::string repeated(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(DirectivesTest, NestingIsBounded) {
  // 256 levels compile...
  EXPECT_EQ(run(repeated("#if 1 == 1:\n", 255) + "#repeat 1: nop\n" + repeated("#end\n", 256)), "nop");
  reset();
  // ...one more is refused with a message, not a stack overflow.
  EXPECT_EQ(fatalBody(repeated("#if 1:", 256) + "#ifdef x:" + repeated("#end", 257)),
            "[2,1542]: [7715] Conditionals and repeats nested deeper than 256 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody(repeated("#repeat 1:", 256) + "#repeat 1:" + repeated("#end", 257)),
            "[2,2567]: [7715] Conditionals and repeats nested deeper than 256 in [p.vor]");
  reset();
  // An #else branch is its conditional's level, not one more.
  EXPECT_EQ(run(repeated("#if 1 == 2: #else\n", 256) + "nop\n" + repeated("#end\n", 256)), "nop");
}

TEST_F(DirectivesTest, DeadTextNestsWithoutBound) {
  // Dead text is counted, not recursed into.
  EXPECT_EQ(run("#if 1 == 2:" + repeated("#if 1:", 100000) + repeated("#end", 100001) + "\nint3"), "int3");
}

TEST_F(DirectivesTest, LongElseifChainsAreWalkedNotRecursed) {
  EXPECT_EQ(run("#if 0 == 1: nop" + repeated(" #elseif 0 == 1: nop", 50000) + " #else int3 #end"), "int3");
  reset();
  EXPECT_EQ(run("#if 0 == 1: nop" + repeated(" #elseif 0 == 1: nop", 50000) + " #elseif 1 == 1: hlt" +
                repeated(" #elseif 1 == 1: nop", 1000) + " #end cld"),
            "hlt cld");
}

TEST_F(DirectivesTest, ManyPassesOfARepeat) {
  compileBody("#repeat 10000: nop #end");
  EXPECT_EQ(code(), std::string(10000, '\x90'));
}

// ---- #echo, #depreciated, #raise ----

TEST_F(DirectivesTest, EchoPrintsTheValuesText) {
  const std::string out = compileBody("#echo 'Hello, world'\n#define v 5;\n#echo v\n#echo eax\nnop\n");
  EXPECT_NE(out.find("Hello, world\n5\neax\n"), std::string::npos) << out;
  EXPECT_EQ(Log->warningCount(), 0u);
  EXPECT_EQ(code(), "\x90");
}

TEST_F(DirectivesTest, DepreciatedWarnsAndGoesOn) {
  const std::string out = compileBody("nop\n#depreciated 'Use the new name'\nint3\n");
  EXPECT_NE(out.find("[3,31]: Warning: Use the new name in [p.vor]"), std::string::npos) << out;
  EXPECT_EQ(Log->warningCount(), 1u);
  EXPECT_EQ(mnemonics(), "nop int3");
}

TEST_F(DirectivesTest, RaiseShowsNoSourceLine) {
  write("p.vor", "program TEST;\n#raise 'Stop'\n");
  const std::string out = captureStdout([&] {
    Compiler->LoadProject(dir() + "/p.vor");
    EXPECT_THROW(Compiler->Compile(), EAbort);
  });
  EXPECT_EQ(out.find("Code:"), std::string::npos) << out;
  // Other errors do show it.
  reset();
  write("p.vor", "program TEST;\n#repeat x: #end\n");
  const std::string other = captureStdout([&] {
    Compiler->LoadProject(dir() + "/p.vor");
    EXPECT_THROW(Compiler->Compile(), EAbort);
  });
  EXPECT_NE(other.find("Code:"), std::string::npos) << other;
}

// ---- #align ----

TEST_F(DirectivesTest, AlignPadsToThePointerSizeWithAFixup) {
  struct Case {
    int bits;
    uint8_t alignment;
  } cases[] = {{16, 2}, {32, 4}, {64, 8}};
  for (const Case& c : cases) {
    reset();
    compileBody("#set bits " + std::to_string(c.bits) + "\nint3\n#align;\nnop\n");
    EXPECT_EQ(code(), "\xCC" + std::string(c.alignment, '\x90') + "\x90") << c.bits;
    const std::vector<TFixup*>& list = fixups();
    ASSERT_EQ(list.size(), 1u) << c.bits;
    const TFixup* f = list[0];
    EXPECT_EQ(f->hint, ftAlignment);
    EXPECT_EQ(f->position, 1u);  // where the filler starts
    EXPECT_EQ(f->size, c.alignment);
    EXPECT_EQ(f->offset, 0u);
    EXPECT_EQ(f->jmp, jtJMP);
    EXPECT_EQ(f->index, 0u);
    EXPECT_EQ(f->parentfunc, Compiler->MainFunc());
  }
}

TEST_F(DirectivesTest, EachAlignHasItsOwnFixup) {
  compileBody("#align;\nnop\n#align;\n");
  const std::vector<TFixup*>& list = fixups();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->position, 0u);
  EXPECT_EQ(list[1]->position, 5u);
  EXPECT_EQ(code(), std::string(9, '\x90'));
}

// ---- #resource ----

void put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void put32(std::string& s, uint32_t v) {
  put16(s, static_cast<uint16_t>(v & 0xFFFF));
  put16(s, static_cast<uint16_t>(v >> 16));
}
uint32_t get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);  // little-endian host
  return v;
}
uint16_t get16(const std::string& s, size_t at) {
  uint16_t v = 0;
  std::memcpy(&v, s.data() + at, 2);
  return v;
}

// One .res entry by the header layout: data size, header size 32, type and
// name as numbers (marker 0xFFFF), language; the data, then zero padding to
// the next multiple of 4. Data size 0 makes the empty entry a file starts with.
std::string resEntry(uint16_t type, uint16_t name, uint16_t lang, const std::string& data) {
  std::string s;
  put32(s, static_cast<uint32_t>(data.size()));
  put32(s, 32);
  put16(s, 0xFFFF);
  put16(s, type);
  put16(s, 0xFFFF);
  put16(s, name);
  put32(s, 0);  // data version
  put16(s, 0);  // memory flags
  put16(s, lang);
  put32(s, 0);  // version
  put32(s, 0);  // characteristics
  s += data;
  while (s.size() % 4) s += '\0';
  return s;
}
std::string emptyResEntry() { return resEntry(0, 0, 0, ""); }

TEST_F(DirectivesTest, ResourceReadsTheFileIntoTheResourceSection) {
  write("app.res", emptyResEntry() + resEntry(24, 1, 1033, "<manifest/>"));
  compileBody("#resource 'app.res';\nnop\n");
  EXPECT_EQ(code(), "\x90");
  ASSERT_TRUE(ResMan->hasRes());
  ASSERT_EQ(ResMan->Count(24), 1);
  const TResource* r = ResMan->Resource(24, 0);
  EXPECT_EQ(r->id, 1);
  EXPECT_EQ(r->langID, 1033);
  EXPECT_EQ(r->dataSize, 11u);

  // The section for RVA 0x3000: the directory, 16 + (24 + 48 x 1) bytes for
  // one type with one resource, then the data.
  const std::string sec = ResMan->buildRes(0x3000);
  const uint32_t dir = 16 + 24 + 48;
  ASSERT_EQ(sec.size(), dir + 11);
  EXPECT_EQ(sec.substr(dir), "<manifest/>");
  EXPECT_EQ(get16(sec, 14), 1);                     // root: one id entry
  EXPECT_EQ(get32(sec, 16), 24u);                   // type 24
  EXPECT_EQ(get32(sec, 20), 0x80000000u + 24);      // its directory
  EXPECT_EQ(get16(sec, 24 + 14), 1);                // one name
  EXPECT_EQ(get32(sec, 40), 1u);                    // name 1
  EXPECT_EQ(get32(sec, 44), 0x80000000u + 48);      // its language directory
  EXPECT_EQ(get16(sec, 48 + 14), 1);                // one language
  EXPECT_EQ(get32(sec, 64), 1033u);                 // language 1033
  EXPECT_EQ(get32(sec, 68), 72u);                   // its data entry
  EXPECT_EQ(get32(sec, 72), 0x3000u + dir);         // data address
  EXPECT_EQ(get32(sec, 76), 11u);                   // data size
}

TEST_F(DirectivesTest, ResourceEntriesStartOnFourByteBoundaries) {
  // 22 data bytes: the second header stands at 32 + 32 + 22 rounded up, 88.
  const std::string first = emptyResEntry() + resEntry(10, 1, 1033, std::string(22, 'A'));
  ASSERT_EQ(first.size(), 88u);
  write("two.res", first + resEntry(10, 2, 1031, "xyz"));
  compileBody("#resource 'two.res';\n");
  ASSERT_EQ(ResMan->Count(10), 2);
  EXPECT_EQ(ResMan->Resource(10, 1)->id, 2);
  EXPECT_EQ(ResMan->Resource(10, 1)->langID, 1031);
  const std::string sec = ResMan->buildRes(0);
  EXPECT_EQ(sec.size(), 16u + 24 + 48 * 2 + 22 + 3);
  EXPECT_EQ(sec.substr(sec.size() - 25), std::string(22, 'A') + "xyz");
}

TEST_F(DirectivesTest, ResourcesOfSeveralFilesAndTypes) {
  write("a.res", emptyResEntry() + resEntry(16, 1, 1033, "ver"));
  write("sub/b.res", emptyResEntry() + resEntry(3, 1, 1033, "icon") + resEntry(3, 2, 1033, "icon2"));
  compileBody("#resource 'a.res';\n#resource 'sub/b.res';\n");
  EXPECT_EQ(ResMan->Count(16), 1);
  EXPECT_EQ(ResMan->Count(3), 2);
  const std::string sec = ResMan->buildRes(0);
  EXPECT_EQ(sec.size(), 16u + (24 + 48 * 1) + (24 + 48 * 2) + 3 + 4 + 5);
  // Types ascend in the root directory.
  EXPECT_EQ(get16(sec, 14), 2);
  EXPECT_EQ(get32(sec, 16), 3u);
  EXPECT_EQ(get32(sec, 24), 16u);
}

TEST_F(DirectivesTest, ResourcePathOutsideTheProject) {
  // A text that names no file in the project folder is taken as it is.
  const std::string elsewhere = dir() + "/outside/abs.res";
  write("outside/abs.res", emptyResEntry() + resEntry(5, 7, 9, "d"));
  Settings->setProjectPath(dir() + "/project/");
  compileBody("#resource '" + elsewhere + "';\n");
  ASSERT_EQ(ResMan->Count(5), 1);
  EXPECT_EQ(ResMan->Resource(5, 0)->id, 7);
}

TEST_F(DirectivesTest, ResourceNeedsItsSemicolonAndAGoodFile) {
  write("ok.res", emptyResEntry());
  EXPECT_EQ(fatalBody("#resource 'ok.res' nop"), "[2,22]: [5354] Unexpected ident nop in [p.vor]");
  reset();
  std::string bad = emptyResEntry() + resEntry(24, 1, 1033, "x");
  bad[32 + 8] = 0x30;  // a type given by name
  write("bad.res", bad);
  write("p.vor", "program TEST;\n#resource 'bad.res';");
  // Raised for the top-level handler, which prints "Exception: " and the text.
  std::string what;
  const std::string printed = captureStdout([&] {
    try {
      Compiler->LoadProject(dir() + "/p.vor");
      Compiler->Compile();
    } catch (const EException& e) {
      what = e.what();
    }
  });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(what, "This type of resource id is not supported yet, please ask a developer for details.");
}

}  // namespace
}  // namespace vorak::test
