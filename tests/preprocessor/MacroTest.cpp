// Macros compiled in process: the code they leave (decoded by Capstone), the
// values of the built-ins, every error text with its position, the faults of
// shared call state, and the state that a run leaves behind.
#include <gtest/gtest.h>

#include <regex>

#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

using Lines = std::vector<std::string>;

class MacroTest : public CompileTest {
 protected:
  // The lines that #echo printed, in order.
  static Lines echoed(const std::string& out) {
    Lines lines;
    size_t at = 0;
    while (at < out.size()) {
      const size_t end = out.find_first_of("\r\n", at);
      const std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (line.rfind("#> ", 0) == 0) lines.push_back(line.substr(3));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return lines;
  }
  // Compiles body and returns what each "#echo x" printed, marked so that
  // the banner and the summary are left out.
  Lines echo(const std::string& body) { return echoed(compileBody(body)); }
};

// ---- Built-in values ----

TEST_F(MacroTest, BuiltinValues) {
  struct Case {
    const char* expr;
    const char* printed;
  } cases[] = {
      {"$strcat('ab', 'cd')", "abcd"},
      {"tokentype($strcat(\"ab\", 'cd'))", "301"},
      {"$substr('hello', 2, 3)", "ell"},
      {"$substr('hello', 0, 2)", "he"},
      {"$substr('hello', -5, 2)", "he"},
      {"$substr('hello', 4, 100)", "lo"},
      {"$substr('hello', 6, 1)", ""},
      {"$substr('hello', 2, 0)", ""},
      {"$substr('hello', 2, -1)", ""},
      {"$strindex('hello', 'll')", "3"},
      {"$strindex('abcabc', 'bc')", "2"},
      {"$strindex('hello', 'x')", "0"},
      {"$strindex('hello', '')", "0"},
      {"$log2i(1024)", "10"},
      {"$log2i(1000)", "9"},
      {"$log2i(0)", "0"},
      {"$log2(8)", "3"},
      {"$log2(2.0)", "1"},
      {"tokentype($log2(8))", "201"},
      {"$argc", "0"},
      {"$peeknexttext", ""},
      {"tokentype($_e('ecx'))", "205"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(echo(std::string("#echo $strcat('#> ', tokentext(") + c.expr + "))\n"), Lines{c.printed}) << c.expr;
  }
}

TEST_F(MacroTest, LogarithmOfAFraction) {
  const Lines out = echo("#echo $strcat('#> ', tokentext($log2(10)))\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NEAR(std::stold(out[0]), 3.32192809488736234787L, 1e-15L);
}

TEST_F(MacroTest, UniqueLabelsDifferAndSkipTakenNames) {
  const std::string echoName = "#echo $strcat('#> ', $_uniquelabel)\n";
  // The first candidates are taken by labels: the search goes past them,
  // also while the value is only peeked at.
  const Lines out = echo("___0___0:\n___1___0:\n$u = $_uniquelabel;\n#echo $strcat('#> ', $u)\n" + echoName + echoName);
  EXPECT_EQ(out, (Lines{"___2___0", "___3___0", "___4___0"}));
}

TEST_F(MacroTest, ArgumentsByPositionAndCount) {
  const std::string body =
      "inline procedure show(;) {\n"
      "  #echo $strcat('#> ', tokentext($argc))\n"
      "  #echo $strcat('#> ', tokentext($arg[1]))\n"
      "  #echo $strcat('#> ', tokentext($arg[7]))\n"
      "}\n"
      "show(1, 'two', 3);\nshow();\n";
  EXPECT_EQ(echo(body), (Lines{"3", "two", "$arg missing parameter", "0", "$arg missing parameter",
                               "$arg missing parameter"}));
}

TEST_F(MacroTest, BracesInStringsAndCommentsAreNoPartOfTheBodysFrame) {
  EXPECT_EQ(echo("inline procedure m() {\n  // a } in a comment\n  /* { */\n  #echo '#> }{'\n}\nm();\nm();\n"),
            (Lines{"}{", "}{"}));
}

TEST_F(MacroTest, NamesInAnyCaseAndVariablesBeforeParameters) {
  EXPECT_EQ(echo("inline procedure m($Name) {\n  $Var = 3;\n"
                 "  #echo $strcat('#> ', $strcat(tokentext($NAME), tokentext($var)))\n"
                 "  $name = 9;\n  #echo $strcat('#> ', tokentext($Name))\n}\nm(7);\n"),
            (Lines{"73", "9"}));
}

TEST_F(MacroTest, PeekNextTextReadsTheInvokerWithoutConsuming) {
  EXPECT_EQ(echo("inline procedure look() { #echo $strcat('#> ', $peeknexttext) }\nlook() nop\n"), Lines{"nop"});
  EXPECT_EQ(disasm(), Lines{"nop"});
}

// ---- Code left by calls (faults of shared call state) ----

TEST_F(MacroTest, NestedCallsOfOneMacroKeepTheirOwnArguments) {
  compileBody("inline function tadd($a, $b) {\n  mov ecx, $a\n  add ecx, $b\n  #return ecx;\n}\n"
              "mov eax, tadd(1, tadd(2, 3))\n");
  EXPECT_EQ(disasm(), (Lines{"mov ecx, 2", "add ecx, 3", "mov ecx, 1", "add ecx, ecx", "mov eax, ecx"}));
  EXPECT_EQ(Consts->Count(), 0u) << "no argument became a string";
}

TEST_F(MacroTest, PopsLeaveTheDeclarationAlone) {
  compileBody("inline procedure p($a, $b) {\n  mov eax, $mpop\n}\np(1, 2);\np(3, 4);\n");
  EXPECT_EQ(disasm(), (Lines{"mov eax, 2", "mov eax, 4"}));
}

TEST_F(MacroTest, ReturnInAProcedureMacroEndsTheBody) {
  compileBody("inline procedure p() {\n  nop\n  #return 5;\n  int3\n}\np();\np();\n");
  EXPECT_EQ(disasm(), (Lines{"nop", "nop"}));
}

TEST_F(MacroTest, FunctionWithoutReturnYieldsThePreviousResult) {
  compileBody("inline function f($v) {\n  #if $v == 1:\n    #return 7;\n  #end\n}\nmov eax, f(1)\nmov ecx, f(0)\n");
  EXPECT_EQ(disasm(), (Lines{"mov eax, 7", "mov ecx, 7"}));
}

TEST_F(MacroTest, AssignmentTargetIsTheCallersOnly) {
  // The flag statement's target reaches the macro it calls (a wrong flag
  // back stops the compile), but not the macros that one calls in turn.
  compileBody("inline function inner() {\n  #if tokentype($_operand) == 2:\n    #return carry_flag;\n  #end\n"
              "  #return zero_flag;\n}\n"
              "inline function outer() {\n  $x = inner();\n  #if $x == 0:\n    #return $_operand;\n  #end\n"
              "  #return sign_flag;\n}\n"
              "carry_flag = outer();\n");
  EXPECT_EQ(assignOperand, nullptr);
  reset();
  // Nor anything after the statement.
  const std::string last = fatalBody(
      "inline function leak() { #return $_operand; }\nzero_flag = leak();\n$y = leak();\n"
      "#if tokentype($y) == 2:\n  #raise 'clean'\n#end\n#raise 'leaked'\n");
  EXPECT_NE(last.find("clean in [p.vor]"), std::string::npos) << last;
}

TEST_F(MacroTest, StatementOnWhatAVariableHolds) {
  // "$f = ..." is the flag statement on the flag that $f holds; "#f = ..."
  // gives the variable a new value.
  compileBody("$f = carry_flag;\n$f = carry_flag;\n#f = zero_flag;\n$f = zero_flag;\n");
  reset();
  EXPECT_EQ(fatalBody("$f = carry_flag;\n$f = zero_flag;\n"), "[3,14]: [65742] Unexpected flag zero_flag in [p.vor]");
}

TEST_F(MacroTest, LookupDoesNotExpandAStoredName) {
  // q names nothing when p is called; inside the body it is a macro, and the
  // argument reads as that macro every time without running it.
  compileBody("inline procedure p($a) {\n  inline function q() { nop\n #return 2; }\n"
              "  #echo $strcat('#> ', tokentext($a))\n  #echo $strcat('#> ', tokentext($a))\n}\np(q);\n");
  EXPECT_TRUE(code().empty());
}

TEST_F(MacroTest, AnonymousMacroIsDefinedOnceForATextCompiledAgain) {
  compileBody("inline procedure outer() {\n  $f = inline procedure($v) { add eax, $v };\n  $f(2);\n}\n"
              "outer();\nouter();\nouter();\n");
  EXPECT_EQ(MacMan->Count(), 2u);
  EXPECT_EQ(Idents->findIdent("", Idents->CurrentScope()), nullptr) << "anonymous macros have no identifier";
}

TEST_F(MacroTest, AnonymousMacroInARepeatIsDefinedOnce) {
  // The second pass reads the definition again: "$g =" gives the variable
  // the same macro rather than calling the one it holds.
  compileBody("#repeat 2:\n$g = inline procedure() { inc eax };\n$g();\n#end\nhlt\n");
  EXPECT_EQ(disasm(), (Lines{"inc eax", "inc eax", "hlt"}));
  EXPECT_EQ(MacMan->Count(), 1u);
  reset();
  compileBody("inline procedure m() {\n#repeat 2:\n$g = inline procedure($a) { add eax, $a };\n$g(2);\n#end\n}\n"
              "m();\nm();\n");
  EXPECT_EQ(disasm(), (Lines{"add eax, 2", "add eax, 2", "add eax, 2", "add eax, 2"}));
  EXPECT_EQ(MacMan->Count(), 2u);
}

TEST_F(MacroTest, MessagesQuoteAnAnonymousMacroAsWritten) {
  // Nothing is written into the text: a message later on the line quotes
  // the line as the user wrote it, and its column is the user's.
  write("p.vor", "program TEST;\n#repeat 2:\n$g = inline procedure() { inc eax }; $g(); bogus\n#end\n");
  const std::string out = captureStdout([&] {
    EXPECT_THROW(
        {
          Compiler->LoadProject(dir() + "/p.vor");
          Compiler->Compile();
        },
        EAbort);
  });
  EXPECT_EQ(firstLine(out), "[3,48]: [9000] Unexpected ident bogus in [p.vor]");
  EXPECT_NE(out.find("\n$g = inline procedure() { inc eax }; $g(); bogus\n"), std::string::npos) << out;
}

TEST_F(MacroTest, InternalMacroIndexIsTheManagersOwn) {
  // Index 0 of the identifier table is a built-in name; of the macro
  // manager's list, the first macro.
  compileBody("inline procedure m() { nop }\n$_internal_get_macro(0)();\n");
  EXPECT_EQ(disasm(), Lines{"nop"});
}

// ---- Errors ----

const std::string kReturnOneToken =
    "[13100] #return takes one token followed by \";\": compute the value into a macro variable first "
    "($r = 2 * 3; #return $r;)";

TEST_F(MacroTest, Errors) {
  struct Case {
    const char* body;
    const char* first;
  } cases[] = {
      {"inline function max($a, $b) { #return $a; }\nmov eax, max(ebx)\n",
       "[3,17]: [32234] Macro \"max\" expected 2 params, received 1 in [p.vor]"},
      // Arguments past the count are counted, not kept: the message names all.
      {"inline procedure m($a) { }\nm(1, eax, 'x', [ebx + 4], 5);\n",
       "[3,28]: [32234] Macro \"m\" expected 1 params, received 5 in [p.vor]"},
      {"inline op procedure m($a, $b) { }\nm 1, 2, 3;\n",
       "[3,9]: [32234] Macro \"m\" expected 2 params, received 3 in [p.vor]"},
      {"inline function max($a, $b) { #return $a; }\nmov eax, max(1+2, 3)\n",
       "[3,15]: [313] Unexpected symbol + in [p.vor]"},
      {"inline procedure m($a) { }\nm 5;\n", "[3,3]: [312] Unexpected number 5 in [p.vor]"},
      // A list opened by "(" is closed by ")" for every macro that takes
      // arguments, a number of them or any.
      {"inline procedure m(;) { }\nm(1, 2\nnop\n", "[4,3]: [313] Unexpected ident nop in [p.vor]"},
      {"inline procedure m($a, ;) { }\nm(1, 2\nnop\n", "[4,3]: [313] Unexpected ident nop in [p.vor]"},
      {"inline function f(;) { #return 1; }\nmov eax, f(1, 2\nnop\n", "[4,3]: [313] Unexpected ident nop in [p.vor]"},
      {"emacro w(;) { nop }\nw(1, 2\n{ int3 }\n", "[4,1]: [313] Unexpected symbol { in [p.vor]"},
      {"inline procedure m(;) { }\nm(1,", "[3,5]: [32241] Unexpected EOF in [p.vor]"},
      // The end of the text is no argument.
      {"inline op procedure m($a) { nop }\nm", "[3,2]: [32241] Unexpected EOF in [p.vor]"},
      {"inline op procedure m($a, $b) { nop }\nm 1,", "[3,5]: [32241] Unexpected EOF in [p.vor]"},
      {"inline procedure m() { }\nm(", "[3,3]: [32241] Unexpected EOF in [p.vor]"},
      {"inline op procedure m(;) { }\n", "[2,22]: [6481] Inline op macros can not have uncounted arguments in [p.vor]"},
      {"inline foo m() { }\n", "[2,10]: [12456] Unexpected ident foo in [p.vor]"},
      {"inline procedure eax() { }\n", "[2,20]: [7444] ident eax redeclared in [p.vor]"},
      {"inline procedure m { }\n", "[2,20]: [123442] Unexpected symbol { in [p.vor]"},
      {"inline procedure m($1) { }\n", "[2,21]: [234] Unexpected number 1 in [p.vor]"},
      {"inline procedure m($a, b) { }\n", "[2,24]: [1432] Unexpected symbol b in [p.vor]"},
      {"inline procedure m($a;) { }\n", "[2,22]: [123443] Unexpected symbol ; in [p.vor]"},
      {"inline procedure m() nop\n", "[2,24]: [123444] Unexpected ident nop in [p.vor]"},
      {"inline procedure m() { nop '}'\n", "[3,1]: [12300] Unexpected EOF in [p.vor]"},
      {"inline procedure f() { f(); }\nf();\n", "[1,3]: [32235] Macro \"f\" nested deeper than 128 calls in [f]"},
      {"inline procedure g() { #mcall g, 0; }\ng();\n",
       "[1,14]: [32235] Macro \"g\" nested deeper than 128 calls in [g]"},
      {"inline procedure h() { #handlemacro(h); }\nh();\n",
       "[3,3]: [32235] Macro \"h\" nested deeper than 128 calls in [p.vor]"},
      {"#x 5;\n", "[2,2]: [19423] Unexpected symbol 5 in [p.vor]"},
      {"$x = 5 6;\n", "[2,8]: [435] Unexpected number 6 in [p.vor]"},
      {"$l = $labelref();\n$l = 5;\n", "[3,4]: [36432515] Unexpected symbol = in [p.vor]"},
      {"inline procedure m() { $l:\n $l:\n}\nm();\n", "[2,4]: [555347643] Macro label $l redeclared! in [m]"},
      {"$l = $labelref();\njmp $l\n$l:\nnop\n$l:\n", "[6,3]: [555347643] Macro label $l redeclared! in [p.vor]"},
      {"$v = 1;\n$v:\n", "[3,2]: [555347643] Macro label $v redeclared! in [p.vor]"},
      {"inline procedure m($a, $b) { mov eax, $arg[2] }\nm(1, 2);\n",
       "[1,18]: [53341] Arg 2 out of bounds [2] in [m]"},
      {"inline procedure m(;) { mov eax, $arg(1) }\nm(1);\n", "[1,16]: [346163] Unexpected symbol ( in [m]"},
      {"mov eax, $incbin\n", "[2,16]: [57333] Not implemented yet in [p.vor]"},
      {"$_internal_get_macro(3)();\n", "[2,23]: [62154] No macro of index 3 in [p.vor]"},
      {"$_internal_get_macro(-1)();\n", "[2,24]: [62154] No macro of index -1 in [p.vor]"},
      {"#return 5;\n", "[2,7]: [32237] #return outside a macro in [p.vor]"},
      {"emacro w() { nop }\nw {\n  #return 1;\n}\n",
       "[4,9]: [32238] #return inside the block of an extended macro in [p.vor]"},
      {"emacro w() { nop }\nw nop\n", "[3,5]: Unexpected ident nop in [p.vor]"},
      {"#handlemacro(x);\n", "[2,14]: [53323535] Unexpected ident x in [p.vor]"},
      {"inline procedure m() { }\n#handlemacro(m);\n", "[3,16]: [534518] #handlemacro outside a macro in [p.vor]"},
      {"#mcall nop, 1;\n", "[2,10]: [5434456] Unexpected ident nop in [p.vor]"},
      {"inline procedure m($a) { }\n#mpush 1\n#mcall m, 2;\n",
       "[4,12]: [325432] Directive mcall did not find enough parameters from parent stack. in [p.vor]"},
      {"#labelstart(nop);\n", "[2,15]: [856643] Unexpected ident nop in [p.vor]"},
      {"$l = $labelref();\n$l:\n#labelstart($l);\n", "[4,16]: [1345] Reserved label $_macro_label_l in [p.vor]"},
      {"#movenexttext[]\n", "[2,14]: [541691] Unexpected symbol [ in [p.vor]"},
      {"$mpop;\n", "[2,5]: [12003] Empty value at the start of a statement in [p.vor]"},
      {"mov eax, $log2(0)\n", "[2,17]: [7565] $log2 needs a value above 0 in [p.vor]"},
      {"$x = $labelref();\njmp $x\n", "[2,16]: [00012] Label $_macro_label_x does not exist! in [p.vor]"},
      {"inline procedure m() { }\ninline procedure m() { }\n", "[3,18]: [7444] ident m redeclared in [p.vor]"},
      // Recursion through an operand and through #return stops at the bound too.
      {"inline function f($n) { #return f($n); }\nmov eax, f(1)\n",
       "[1,11]: [32235] Macro \"f\" nested deeper than 128 calls in [f]"},
      {"inline function f($n) { mov eax, f($n) }\nf(1);\n",
       "[1,12]: [32235] Macro \"f\" nested deeper than 128 calls in [f]"},
      {"#labelstart x\n", "[2,13]: [534656] Unexpected ident x in [p.vor]"},
      {"$l = $labelref();\n#labelstart($l x\n", "[3,16]: [461435] Unexpected ident x in [p.vor]"},
      {"$l = $labelref();\n#labelstart($l) x\n", "[3,17]: [545732] Unexpected ident x in [p.vor]"},
      {"inline procedure m() { }\n#handlemacro(m x\n", "[3,16]: [534516] Unexpected ident x in [p.vor]"},
      {"inline procedure m() { }\n#handlemacro(m) x\n", "[3,17]: [534517] Unexpected ident x in [p.vor]"},
      {"inline procedure m() { }\n#mcall m 1;\n", "[3,10]: [5434457] Unexpected number 1 in [p.vor]"},
      {"inline procedure m() { }\n#mcall m, x;\n", "[3,11]: [5434458] Unexpected ident x in [p.vor]"},
      {"inline procedure m() { }\n#mcall m, 0 x\n", "[3,13]: [5434459] Unexpected ident x in [p.vor]"},
      {"#movenexttext(x\n", "[2,15]: [19819] Unexpected symbol x in [p.vor]"},
      // An evaluated text is named after the macro that runs it.
      {"inline procedure m() { #eval('bogus') }\nm();\n", "[1,5]: [9000] Unexpected ident bogus in [m.$eval]"},
      {"#eval('bogus')\n", "[1,5]: [9000] Unexpected ident bogus in [master.$eval]"},
      // A returned value is no variable of the caller's.
      {"inline function f() { $r = 7;\n#return $r; }\n$r = 1;\nf() = 9;\n",
       "[5,3]: [5234] Unexpected number 7 in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.first) << c.body;
  }
}

// #return takes one token, then ";" or the end of the text: more than that
// stops, and never yields the first token alone.
TEST_F(MacroTest, ReturnRefusesMoreThanOneToken) {
  struct Case {
    const char* body;
    const char* at;    // where the message stands
    const char* file;  // the text it stands in
  } cases[] = {
      {"inline function f() { #return 2 * 3; }\nmov eax, f()\n", "[1,11]", "f"},
      {"inline function f($a) {\n  #return $a + 1;\n}\nmov eax, f(2)\n", "[2,12]", "f"},
      {"inline function f() { $r = 1;\n  #return $r\n  nop\n}\nmov eax, f()\n", "[2,12]", "f"},
      {"inline procedure p() { #return 1 2; }\np();\n", "[1,11]", "p"},
      {"inline function f() { #eval('#return 4 5') }\nmov eax, f()\n", "[1,9]", "f.$eval"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), std::string(c.at) + ": " + kReturnOneToken + " in [" + c.file + "]") << c.body;
  }
}

TEST_F(MacroTest, ReturnEndsWithItsSemicolonOrTheText) {
  // A register returned after code that sets it, a value at the end of the
  // body, and "#return;" that leaves a procedure macro early.
  compileBody("inline function f() { mov eax, 7\n  #return eax; }\ninline function g() { #return 5 }\n"
              "inline procedure p($a) {\n  #if $a == 0:\n    #return;\n  #end\n  nop\n}\n"
              "mov ebx, f()\nmov ecx, g()\np(0);\np(1);\n");
  EXPECT_EQ(disasm(), (Lines{"mov eax, 7", "mov ebx, eax", "mov ecx, 5", "nop"}));
}

TEST_F(MacroTest, AnExpansionThatDoublesAtEveryLevelStops) {
  // 2^41 calls would never end; the budget (small here) stops them.
  MacMan->setCallBudget(1000);
  EXPECT_EQ(fatalBody("inline procedure f($n) {\n  #if $n > 0:\n    $m = $n - 1;\n    f($m);\n    f($m);\n  #end\n}\n"
                      "f(40);\n"),
            "[5,5]: [32240] More than 1000 macro calls in one compile in [f]");
  reset();
  EXPECT_EQ(MacMan->CallBudget(), TMacroManager::kDefaultCallBudget);
}

TEST_F(MacroTest, RedefinitionReportsBeforeExpanding) {
  EXPECT_EQ(fatalBody("inline function m() { mov eax, 1\n#return eax; }\ninline function m() { }\n"),
            "[4,17]: [7444] ident m redeclared in [p.vor]");
  EXPECT_TRUE(code().empty());
}

// ---- State between runs ----

TEST_F(MacroTest, NothingOfARunReachesTheNext) {
  compileBody("inline procedure m() { nop }\n$k = 5;\n#gmpush 1\n");
  EXPECT_EQ(MacMan->Count(), 1u);
  reset();
  EXPECT_EQ(MacMan->Count(), 0u);
  EXPECT_EQ(MacMan->Depth(), 0u);
  EXPECT_EQ(fatalBody("mov eax, $k\n"), "[2,10]: [3321] Unexpected symbol $ in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("m();\n"), "[2,1]: [9000] Unexpected ident m in [p.vor]");
}

TEST_F(MacroTest, AFatalErrorInsideABodyUnwindsTheCall) {
  // LeakSanitizer checks that nothing of the call is lost; the stack is
  // empty again for the next run in this process.
  EXPECT_EQ(fatalBody("inline procedure m($a) { $v = 1;\n  #mpush 2\n  #raise 'stop'\n}\nm(7);\n"),
            "[3,15]: stop in [m]");
  EXPECT_EQ(MacMan->Depth(), 0u);
  EXPECT_TRUE(MacMan->atTopLevel());
  EXPECT_TRUE(MacMan->parentStack.empty());
}

}  // namespace
}  // namespace vorak::test
