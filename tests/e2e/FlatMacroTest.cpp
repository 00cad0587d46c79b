// End-to-end programs built from macros, run in the emulator: every form of
// definition and call, recursion, macro labels, extended macros around
// blocks, the argument stacks and anonymous macros.
#include <gtest/gtest.h>

#include <string>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct MacroProgram {
  const char* name;
  const char* source;  // leaves its answer in eax
  uint32_t eax;
};

void PrintTo(const MacroProgram& p, std::ostream* os) { *os << p.name; }

class FlatMacros : public ::testing::TestWithParam<MacroProgram> {};

TEST_P(FlatMacros, ComputesTheAnswer) {
  const MacroProgram& p = GetParam();
  const FlatRun r = runFlat(std::string(p.source) + "\nret\n", 32);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX) & 0xFFFFFFFFu, p.eax) << r.compile.out;
}

const MacroProgram kPrograms[] = {
    {"FunctionMacroAsOperand",
     "inline function tsq($a) {\n  mov ecx, $a\n  imul ecx, ecx\n  #return ecx;\n}\nmov eax, tsq(5)\n", 25},
    {"ProcedureMacroAsStatement",
     "inline procedure addto($r, $v) { add $r, $v }\nmov eax, 4\naddto(eax, 5);\naddto(eax, 1);\n", 10},
    {"OpMacroWithoutParentheses", "inline op procedure setr($r, $v) { mov $r, $v }\nsetr eax, 7;\n", 7},
    {"ParameterNamedLikeARegister", "inline procedure p($eax) { mov eax, $eax }\np(12);\n", 12},
    {"CompileTimeNestedCalls",
     "inline function cadd($a, $b) {\n  $r = $a + $b;\n  #return $r;\n}\nmov eax, cadd(1, cadd(2, cadd(3, 4)))\n", 10},
    {"RecursionFromAConditionalBranch",
     "inline function fact($n) {\n"
     "  #if $n == 0:\n    #return 1;\n  #end\n"
     "  $m = $n - 1;\n  $p = fact($m);\n  $r = $p * $n;\n  #return $r;\n}\n"
     "mov eax, fact(6)\n",
     720},
    {"RecursionEmitsCode",
     "inline procedure addn($n) {\n  #if $n > 0:\n    $m = $n - 1;\n    addn($m);\n    add eax, $n\n  #end\n}\n"
     "xor eax, eax\naddn(10);\n",
     55},
    {"UncountedArgumentsPoppedInALoop",
     "inline procedure sum(;) {\n  #repeat $argc:\n    add eax, $mpop\n  #end\n}\nxor eax, eax\nsum(1, 2, 3, 40);\n",
     46},
    {"NamedThenUncounted",
     "inline procedure first($a, ;) { mov eax, $a\n  add eax, $argc\n  add eax, $arg[2] }\nfirst(100, 5, 7);\n",
     110},
    {"ClosingParenthesisAtTheEndOfALine",
     "inline function tget() { #return 3; }\nmov eax, tget()\nadd eax, 1\n", 4},
    {"ExtendedMacroWrapsABlockInALoop",
     "emacro times($n) {\n"
     "  #if $state == 0:\n    mov ecx, $n\n    $top:\n"
     "  #else\n    dec ecx\n    jnz $top\n  #end\n}\n"
     "xor eax, eax\ntimes(5) {\n  add eax, 3\n}\n",
     15},
    {"ExtendedMacrosNest",
     "emacro times($n) {\n"
     "  #if $state == 0:\n    push ecx\n    mov ecx, $n\n    $top:\n"
     "  #else\n    dec ecx\n    jnz $top\n    pop ecx\n  #end\n}\n"
     "xor eax, eax\ntimes(3) {\n  times(4) {\n    inc eax\n  }\n}\n",
     12},
    {"ForwardMacroLabel",
     "inline procedure skip() {\n  $l = $labelref();\n  jmp $l\n  mov eax, 99\n  $l:\n}\nmov eax, 1\nskip();\nskip();\n", 1},
    {"LabelStartPlacesAReference",
     "inline procedure skip() {\n  $l = $labelref();\n  jmp $l\n  mov eax, 99\n  #labelstart($l);\n}\n"
     "mov eax, 2\nskip();\n",
     2},
    {"PushAndCall",
     "inline procedure add2($a, $b) { add $a, $b }\n"
     "inline procedure driver() {\n  #mpush eax\n  #mpush 9\n  #mcall add2, 2;\n  #mcall add2, 2;\n}\n"
     "mov eax, 1\ndriver();\n",
     19},
    {"GlobalPushPoppedInAMacro",
     "#gmpush 30\n#gmpush 12\ninline procedure take() { add eax, $gmpop }\nxor eax, eax\ntake();\ntake();\n", 42},
    {"AnonymousMacroInABodyCompiledTwice",
     "inline procedure outer() {\n  $f = inline procedure($v) { add eax, $v };\n  $f(2);\n  $f(3);\n}\n"
     "xor eax, eax\nouter();\nouter();\n",
     10},
    {"AnonymousMacroInARepeat",
     // Once $g holds a macro, "$g" starts a call of it: "#g" names the variable.
     "xor eax, eax\n#repeat 3:\n  #g = inline function($v) { add eax, $v\n    #return eax; };\n  $g(4);\n#end\n", 12},
    {"AnonymousMacroInARepeatNamedWithDollar",
     "xor eax, eax\n#repeat 2:\n  $g = inline procedure($a) { add eax, $a };\n  $g(2);\n#end\n", 4},
    {"AnonymousMacroInARepeatInABody",
     "inline procedure m() {\n  #repeat 2:\n    $g = inline procedure() { inc eax };\n    $g();\n  #end\n}\n"
     "xor eax, eax\nm();\nm();\n",
     4},
    {"AnonymousMacroDefinedUnderASuspendedCall",
     // The outer call passes the definition as dead text and is suspended
     // past it while the inner call defines the macro.
     "inline procedure r($n) {\n"
     "  #if $n == 0:\n    $f = inline procedure() { add eax, 1 };\n    $f();\n  #end\n"
     "  #if $n == 1:\n    r(0);\n  #end\n  add eax, 100\n}\nxor eax, eax\nr(1);\nr(0);\n",
     302},
    {"TopLevelVariablesLast",
     "$k = 20;\ninline procedure p() { add eax, 1 }\np();\n$k = $k + 1;\nmov eax, $k\n", 21},
    {"ResolvedName", "mov $_e('eax'), 33\n", 33},
    {"AddressOfAMemoryExpressionAsArgument",
     "inline procedure addr($a) {\n  mov eax, $a\n  push $a\n  pop ecx\n  add eax, ecx\n}\nmov ebx, 8\naddr(@[ebx+4]);\n", 24},
    {"HandleMacroReadsTheInvokersText",
     "inline procedure setr($r, $v) { mov $r, $v }\ninline procedure via() { #handlemacro(setr); }\nvia() (eax, 8);\n",
     8},
    {"MoveNextTextConsumesFromTheInvoker",
     "inline procedure eat() { #movenexttext()\n  mov eax, 5 }\neat() 77;\n", 5},
    {"VariableHoldingARegisterIsThatRegister", "$r = eax;\nmov $r, 6\n#r = ecx;\nmov $r, 1\nadd eax, ecx\n", 7},
    {"PopOfNothingLeavesTheRestCompiled", "$x = $mpop;\nmov eax, 17\n", 17},
    // A macro variable that holds a function calls it wherever the
    // function's name would: on the right of a register, in a return.
    {"FunctionParameterCalledIntoARegister",
     "function Sq(dword x): dword {\n  eax = x;\n  imul eax, x\n}\n"
     "inline procedure callit($fn) { ebx = $fn(3); }\ncallit(Sq);\nmov eax, ebx\n",
     9},
    {"FunctionVariableCalledIntoARegister",
     "function Sq(dword x): dword {\n  eax = x;\n  imul eax, x\n}\n$f = Sq;\necx = $f(5);\nmov eax, ecx\n", 25},
    {"FunctionVariableReturned",
     "function Sq(dword x): dword {\n  eax = x;\n  imul eax, x\n}\n"
     "function Back(): dword {\n  $g = Sq;\n  return $g(4);\n}\nxor eax, eax\nedx = Back();\nmov eax, edx\n",
     16},
};

INSTANTIATE_TEST_SUITE_P(Programs, FlatMacros, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<MacroProgram>& i) { return std::string(i.param.name); });

// A macro label gets a record of its own in every expansion, in every mode.
class FlatMacroModes : public ::testing::TestWithParam<int> {};

TEST_P(FlatMacroModes, LoopsWithMacroLabels) {
  const int mode = GetParam();
  const std::string a = mode == 16 ? "ax" : mode == 32 ? "eax" : "rax";
  const std::string c = mode == 16 ? "cx" : mode == 32 ? "ecx" : "rcx";
  const FlatRun r = runFlat(
      "inline procedure count($reg, $n) {\n  mov " + c + ", $n\n  $again:\n  add $reg, 2\n  dec " + c +
          "\n  jnz $again\n}\nxor " + a + ", " + a + "\ncount(" + a + ", 3);\ncount(" + a + ", 4);\nret\n",
      mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX) & 0xFFFF, 14u);
}

INSTANTIATE_TEST_SUITE_P(Modes, FlatMacroModes, ::testing::Values(16, 32, 64),
                         [](const ::testing::TestParamInfo<int>& i) { return "Bits" + std::to_string(i.param); });

}  // namespace
}  // namespace vorak::test
