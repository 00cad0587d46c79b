// Functions, variables and calls compiled by the executable with the FLAT
// builder and run in the emulator: what each program computes, and the stack
// pointer being back where it was after its calls, are the oracle.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct Program {
  const char* name;
  int mode;
  std::string source;  // between "mov <si>, <sp>" and "sub <si>, <sp>" / "ret"
  std::vector<std::pair<int, uint64_t>> regs;
};

std::ostream& operator<<(std::ostream& os, const Program& p) { return os << p.name << "/" << p.mode; }

std::string programName(const ::testing::TestParamInfo<Program>& info) {
  return std::string(info.param.name) + "_" + std::to_string(info.param.mode);
}

// The source runs with the stack pointer saved in SI: SI ends as the
// difference, 0 when every call left the stack as it found it.
FlatRun runWrapped(const Program& p) {
  const std::string si = p.mode == 16 ? "si" : p.mode == 32 ? "esi" : "rsi";
  const std::string sp = p.mode == 16 ? "sp" : p.mode == 32 ? "esp" : "rsp";
  return runFlat("mov " + si + ", " + sp + "\n" + p.source + "\nsub " + si + ", " + sp + "\nret\n", p.mode);
}

class FunctionPrograms : public ::testing::TestWithParam<Program> {};

TEST_P(FunctionPrograms, ComputeTheirResultsWithTheStackBalanced) {
  const Program& p = GetParam();
  const FlatRun r = runWrapped(p);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (const auto& [reg, value] : p.regs) EXPECT_EQ(r.reg(reg), value) << "register " << reg;
  EXPECT_EQ(r.reg(rSI), 0u) << "the stack pointer moved";
}

// Functions in each convention with parameters and locals, called from the
// main program; the same shapes in 16- and 32-bit mode (BP frames).
std::vector<Program> narrowPrograms() {
  std::vector<Program> v;
  for (int mode : {16, 32}) {
    const bool m16 = mode == 16;
    const std::string a = m16 ? "ax" : "eax", b = m16 ? "bx" : "ebx", c = m16 ? "cx" : "ecx";
    const std::string w = m16 ? "word" : "dword";
    v.push_back({"StdcallParametersInOrder", mode,
                 "function Sub2(" + w + " x, y): " + w + " {\nmov " + a + ", x\nsub " + a + ", y\n}\n" +
                     "Sub2(10, 3);\nmov " + b + ", " + a + "\nSub2(100, 1);\n",
                 {{rAX, 99}, {rBX, 7}}});
    v.push_back({"CdeclCallerRemovesArguments", mode,
                 "function cdecl Sub2(" + w + " x, y): " + w + " {\nmov " + a + ", x\nsub " + a + ", y\n}\n" +
                     "Sub2(10, 3);\nmov " + b + ", " + a + "\nSub2(" + a + ", 2);\n",
                 {{rAX, 5}, {rBX, 7}}});
    v.push_back({"LocalsBelowTheFrame", mode,
                 "function Mix(" + w + " x): " + w + " {\n" + w + " t;\n" + w + " u[2];\nmov " + a +
                     ", x\nmov t, " + a + "\nadd t, 5\nmov u[1], 100\nmov " + a + ", t\nadd " + a + ", u[1]\n}\n" +
                     "Mix(1);\n",
                 {{rAX, 106}}});
    v.push_back({"AssignedResults", mode,
                 w + " g;\n" + w + " h = 9;\nfunction Three(): " + w + " {\nmov " + a + ", 3\n}\n" +
                     "g = Three();\nh += 1;\nmov " + b + ", g\nmov " + c + ", h\n",
                 {{rBX, 3}, {rCX, 10}}});
    v.push_back({"DefaultsUsedTwiceInARow", mode,
                 "function Lin(" + w + " x; " + w + " k = 10; " + w + " d = 7): " + w + " {\nmov " + a +
                     ", x\nadd " + a + ", k\nadd " + a + ", d\n}\n" + "Lin(1);\nmov " + b + ", " + a +
                     "\nLin(2);\nadd " + b + ", " + a + "\nLin(3, 0);\nmov " + c + ", " + a + "\n",
                 {{rBX, 18 + 19}, {rCX, 10}}});
    v.push_back({"NestedCallsAsArguments", mode,
                 "function Dbl(" + w + " x): " + w + " {\nmov " + a + ", x\nadd " + a + ", " + a + "\n}\n" +
                     "function cdecl Sub2(" + w + " x, y): " + w + " {\nmov " + a + ", x\nsub " + a + ", y\n}\n" +
                     "Sub2(Dbl(Dbl(5)), Sub2(9, 4));\n",
                 {{rAX, 15}}});
    // 1000 calls deep: each level adds its argument on the way back.
    v.push_back({"RecursionThousandDeep", mode,
                 "function Sum(" + w + " n): " + w + " {\nmov " + a + ", n\ncmp " + a + ", 0\nje done\ndec " + a +
                     "\nSum(" + a + ")\nadd " + a + ", n\ndone:\n}\nSum(1000);\n",
                 {{rAX, 500500 & (m16 ? 0xFFFF : 0xFFFFFFFF)}}});
      // stdcall calls cdecl calls stdcall, each with a local of its own.
    v.push_back({"EachConventionCallsTheOther", mode,
                 "function S0(" + w + " x): " + w + " {\nmov " + a + ", x\nadd " + a + ", " + a + "\n}\n" +
                     "function cdecl C0(" + w + " x): " + w + " {\n" + w + " t;\nmov t, 1\nS0(x);\nadd " + a +
                     ", t\n}\nfunction S1(" + w + " x): " + w + " {\n" + w + " t;\nmov t, 2\nC0(x);\nadd " + a +
                     ", t\n}\nS1(5);\n",
                 {{rAX, 13}}});
    v.push_back({"ProcedureWithEarlyRet", mode,
                 "procedure Set(" + w + " x) {\nmov " + b + ", x\nret " + (m16 ? "2" : "4") + "\nmov " + b +
                     ", 0\n}\nSet(42);\n",
                 {{rBX, 42}}});
  }
  return v;
}
INSTANTIATE_TEST_SUITE_P(Narrow, FunctionPrograms, ::testing::ValuesIn(narrowPrograms()), programName);

std::vector<Program> wideArgumentPrograms() {
  std::vector<Program> v;
  // A qword parameter takes two stack words, read at the start of its slot.
  v.push_back({"QwordParameterStartOfSlot", 32,
               "function Hi(dword a; qword q; dword c): dword {\nmov eax, dword [ebp+12]\nadd eax, c\n"
               "mov edx, dword [ebp+16]\n}\nqword big = 0x0000000500000007;\nHi(1, big, 100);\n",
               {{rAX, 107}, {rDX, 5}}});
  v.push_back({"QwordParameterByName", 32,
               "function cdecl Lo(dword a; qword q): dword {\nmov eax, dword [ebp+12]\nadd eax, a\n"
               "mov edx, dword [ebp+16]\n}\nLo(3, 0x0000000900000004);\n",
               {{rAX, 7}, {rDX, 9}}});
  // A record parameter: its whole bytes are pushed.
  v.push_back({"RecordParameter", 32,
               "block Pair {\ndword x;\ndword y;\n}\nPair p;\nfunction Sum(Pair r): dword {\nmov eax, dword [ebp+8]\n"
               "add eax, dword [ebp+12]\n}\nmov p.x, 30\nmov p.y, 12\nSum(p);\n",
               {{rAX, 42}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(WideArguments, FunctionPrograms, ::testing::ValuesIn(wideArgumentPrograms()), programName);

// Bodies without a frame: locals and parameters from the stack pointer, also
// after pushes inside the body and while arguments are pushed.
std::vector<Program> framelessPrograms() {
  std::vector<Program> v;
  v.push_back({"LocalsAndParametersFromTheStackPointer", 32,
               "#set frame 0\nfunction Calc(dword x, y): dword {\ndword t;\ndword u;\nmov eax, x\nmov t, eax\n"
               "push ebx\nmov ebx, y\nmov u, ebx\npop ebx\nmov eax, t\nadd eax, u\n}\n#set frame 1\nCalc(20, 22);\n",
               {{rAX, 42}}});
  v.push_back({"ArgumentsReadFromSlotsWhilePushing", 32,
               "function cdecl Sub2(dword x, y): dword {\nmov eax, x\nsub eax, y\n}\n#set frame 0\n"
               "function Swap(dword x, y): dword {\ndword t;\nmov t, 1\nSub2(y, x);\nadd eax, t\n}\n#set frame 1\n"
               "Swap(5, 50);\n",
               {{rAX, 46}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Frameless, FunctionPrograms, ::testing::ValuesIn(framelessPrograms()), programName);

// 64-bit mode: msx64 passes four arguments in RCX, RDX, R8, R9 and the rest
// above the 32-byte shadow room; stdcall and cdecl push, with RBP frames.
std::vector<Program> wideModePrograms() {
  std::vector<Program> v;
  const std::string sum6 =
      "function msx64 Sum6(qword a, b, c, d, e, f): qword {\nmov rax, a\nadd rax, b\nadd rax, c\nadd rax, d\n"
      "add rax, e\nadd rax, f\n}\n";
  v.push_back({"Msx64SixArguments", 64, sum6 + "Sum6(1, 20, 300, 4000, 50000, 600000);\n", {{rAX, 654321}}});
  v.push_back({"Msx64CallsInARow", 64,
               sum6 + "Sum6(1, 2, 3, 4, 5, 6);\nmov rbx, rax\nSum6(10, 20, 30, 40, 50, 60);\nadd rbx, rax\n",
               {{rBX, 231}}});
  v.push_back({"Msx64InnerCallsOfEachConvention", 64,
               sum6 + "function Dbl(qword x): qword {\nmov rax, x\nadd rax, rax\n}\n"
                      "function cdecl Neg(qword x): qword {\nmov rax, 0\nsub rax, x\n}\n"
                      "Sum6(Dbl(1), 2, Neg(3), 4, Dbl(5), Neg(6));\n",
               {{rAX, 2 + 2 - 3 + 4 + 10 - 6}}});
  v.push_back({"StdcallAndCdeclCallMsx64", 64,
               sum6 + "function Outer(qword x): qword {\nSum6(x, x, x, x, x, x);\n}\n"
                      "function cdecl Outer2(qword x, y): qword {\nSum6(x, y, 0, 0, 0, 1);\nadd rax, y\n}\n"
                      "Outer(7);\nmov rbx, rax\nOuter2(100, 10);\n",
               {{rBX, 42}, {rAX, 121}}});
  // Slots read from the stack pointer while the call's room is reserved.
  v.push_back({"Msx64PassesItsLocalsAndStackParameters", 64,
               sum6 + "function msx64 Pass(qword a, b, c, d, e): qword {\nqword t;\nqword u;\nmov t, 100\nmov u, 20\n"
                      "Sum6(t, u, e, t, u, e);\n}\nPass(0, 0, 0, 0, 3);\n",
               {{rAX, 246}}});
  v.push_back({"Msx64LocalsWithoutFrame", 64,
               "function msx64 F(qword a, b): qword {\nqword t;\nmov t, a\nadd t, b\npush rbx\nmov rbx, t\n"
               "mov rax, rbx\npop rbx\n}\nF(40, 2);\n",
               {{rAX, 42}}});
  v.push_back({"DwordParametersPushedAsQwords", 64,
               "function Sub2(dword x, y): dword {\nmov eax, x\nsub eax, y\n}\nSub2(10, 3);\nmov ebx, eax\n"
               "Sub2(0xFFFFFFFF, 1);\n",
               {{rBX, 7}, {rAX, 0xFFFFFFFE}}});
  v.push_back({"UsesFlagsTakesEightBytes", 64,
               "function Keep(qword x): qword {\nqword t;\nuses rbx, flags;\nmov rbx, x\nmov t, rbx\nmov rax, t\n}\n"
               "#set frame 0\nfunction cdecl Bare(qword x): qword {\nqword t;\nuses rbx, flags;\nmov rbx, x\n"
               "mov t, rbx\nmov rax, t\n}\n#set frame 1\nmov rbx, 3\nKeep(40);\nmov rcx, rax\nBare(2);\n",
               {{rBX, 3}, {rCX, 40}, {rAX, 2}}});
  v.push_back({"RecursionThousandDeep", 64,
               "function msx64 Sum(qword n): qword {\nqword keep;\nmov keep, n\nmov rax, n\ncmp rax, 0\nje done\n"
               "dec rax\nSum(rax)\nadd rax, keep\ndone:\n}\nSum(1000);\n",
               {{rAX, 500500}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Wide, FunctionPrograms, ::testing::ValuesIn(wideModePrograms()), programName);

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Initial data of globals, read back by the program.
std::vector<Program> initialiserPrograms() {
  std::vector<Program> v;
  v.push_back({"StringsIntoBytes", 32,
               "byte s[] = 'abc';\nbyte t[8] = 'abc';\ndword w = 'ab';\nbyte one[1] = 'xyz';\n"
               "movzx eax, s[2]\nmov ebx, sizeof s\nmov ecx, sizeof t\nmovzx edx, t[3]\nmov edi, w\n"
               "add edx, sizeof one\n",
               {{rAX, 'c'}, {rBX, 3}, {rCX, 8}, {rDX, 1}, {rDI, 0x6261}}});
  v.push_back({"Lists", 32,
               "dword arr[] = [1, 2, 3];\ndword l = [4, 5];\nword fixed[3] = [7, 8];\n"
               "mov eax, arr[2]\nmov ebx, sizeof arr\nmov ecx, l[1]\nmovzx edx, fixed[1]\nmovzx edi, fixed[2]\n",
               {{rAX, 3}, {rBX, 12}, {rCX, 5}, {rDX, 8}, {rDI, 0}}});
  v.push_back({"FloatingValues", 32,
               "single f = 1.5;\ndouble d = -2.0;\nextended e = 1.5;\nsingle fromInt = 2;\ndword fromFloat = 3.75;\n"
               "mov eax, f\nmov ebx, @d\nmov ebx, [ebx+4]\nmov ecx, @e\nmovzx edx, word [ecx+8]\nmov ecx, [ecx+4]\n"
               "mov edi, fromInt\nadd edi, fromFloat\n",
               {{rAX, 0x3FC00000}, {rBX, 0xC0000000}, {rCX, 0xC0000000}, {rDX, 0x3FFF}, {rDI, 0x40000000 + 4}}});
  v.push_back({"AddressesOfGlobals", 32,
               "block Pair {\ndword a;\ndword b;\n}\nPair rec;\ndword g;\ndword pg = @g;\ndword pb = @rec.b;\n"
               "mov eax, pg\nmov ebx, @g\nsub eax, ebx\nmov ecx, pb\nmov edx, @rec\nadd edx, 4\nsub ecx, edx\n",
               {{rAX, 0}, {rCX, 0}}});
  v.push_back({"StringsIntoPointers", 32,
               "pointer names[] = ['ab', 'cd'];\nmov eax, names[1]\nmovzx eax, byte [eax+1]\n"
               "mov ebx, names[0]\nmovzx ebx, byte [ebx]\n",
               {{rAX, 'd'}, {rBX, 'a'}}});
  v.push_back({"RunTimeInitialisers", 32,
               "mov ecx, 77\ndword r = ecx;\nfunction Nine(): dword {\nmov eax, 9\n}\ndword n = Nine();\n"
               "mov eax, r\nmov ebx, n\n",
               {{rAX, 77}, {rBX, 9}}});
  v.push_back({"AssignmentOperators", 32,
               "dword g;\ng = 5;\ng += 3;\ng -= 1;\ng << 2;\ng++;\ng |= 0x100;\ng ^= 1;\ng &= 0x1FF;\n"
               "g >> 1;\nmov eax, g\n",
               {{rAX, (((((((5 + 3 - 1) << 2) + 1) | 0x100) ^ 1) & 0x1FF) >> 1)}}});
  v.push_back({"RecordFieldsAndLocalRecords", 32,
               "block Pair {\ndword a;\nword b[2];\nunion {\ndword u;\nbyte bytes[8];\n}\ndword after;\n}\nPair g;\n"
               "function F(): dword {\nPair l;\nmov l.a, 1\nmov l.after, 2\nmov eax, l.a\nadd eax, l.after\n}\n"
               "mov g.after, 40\nF();\nadd eax, g.after\nmov ebx, sizeof g\n",
               {{rAX, 43}, {rBX, 4 + 4 + 8 + 4}}});
  v.push_back({"TypeAlias", 32, "type counter = dword;\ncounter c = 6;\nmov eax, c\nmov ebx, sizeof c\n",
               {{rAX, 6}, {rBX, 4}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Initialisers, FunctionPrograms, ::testing::ValuesIn(initialiserPrograms()), programName);

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

struct Refused {
  const char* name;
  int mode;
  std::string source;
  int line;             // of the source given (1 = its first line)
  std::string message;  // the text between "]: " and " in ["
};

std::ostream& operator<<(std::ostream& os, const Refused& r) { return os << r.name; }

class RefusedPrograms : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedPrograms, StopWithTheirMessageAtTheirLine) {
  const Refused& r = GetParam();
  const FlatRun run = runFlat(r.source, r.mode);
  EXPECT_FALSE(run.built);
  EXPECT_NE(run.compile.exitCode, 0);
  // Two header lines stand before the source.
  const std::string where = "[" + std::to_string(r.line + 2) + ",";
  const size_t at = run.compile.out.find("]: " + r.message + " in [p.vor]");
  ASSERT_NE(at, std::string::npos) << run.compile.out;
  const size_t start = run.compile.out.rfind('[', run.compile.out.rfind(',', at));
  EXPECT_EQ(run.compile.out.compare(start, where.size(), where), 0) << run.compile.out;
}

// g(g(g(...g(1)...))) with depth calls.
std::string nestedCalls(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "g(";
  s += "1";
  return s + std::string(static_cast<size_t>(depth), ')');
}

std::vector<Refused> refused() {
  return {
      {"InitialisedLocal", 32, "function f(): dword {\ndword x = 5;\n}\n", 2,
       "[4891] Local variables can not be initialized"},
      {"TooManyArguments", 32, "procedure f(dword a) {\n}\nf(1, 2);\n", 3, "[6311] Too many parameters"},
      {"TooFewArguments", 32, "procedure f(dword a, b) {\n}\nf(1);\n", 3, "[6312] Not enough parameters"},
      {"TooFewUncounted", 32, "procedure* cdecl pr(dword a; []);\npr();\n", 2, "[6313] Not enough parameters"},
      {"ProcedureAsArgument", 32, "procedure p() {\n}\nprocedure f(dword a) {\n}\nf(p);\n", 5,
       "[31354] \"p\" is a procedure"},
      {"InnerCallTooManyArguments", 32,
       "function g(dword a): dword {\n}\nprocedure f(dword a) {\n}\nf(g(1, 2));\n", 5, "[6355] Too many parameters"},
      {"InnerCallTooFewArguments", 32,
       "function g(dword a): dword {\n}\nprocedure f(dword a) {\n}\nf(g());\n", 5, "[6355] Not enough parameters"},
      {"MissingDefaultAfterDefault", 32, "procedure f(dword a = 1; dword b) {\n}\n", 1,
       "[313533] Param \"b\" is missing default value."},
      {"UncountedOutsideCdecl", 32, "block T {\nprocedure m(dword a; []);\n}\nprocedure T.m(dword a) {\n}\n", 4,
       "[23421] Only cdecl calling convention support uncounted arguments[]"},
      {"UncountedPointerOutsideCdecl", 32, "nop\nprocedure* stdcall pr(dword a; []);\n", 2,
       "[23421] Only cdecl calling convention support uncounted arguments[]"},
      {"UncountedImportOutsideCdecl", 32, "imports ('k.dll') {\nfunction F(dword a; []): dword;\n}\n", 2,
       "[23421] Only cdecl calling convention support uncounted arguments[]"},
      {"VariableRedeclared", 32, "dword x;\ndword x;\n", 2, "[4545743] global variable x redeclared"},
      // A variable's name as declared, in any case it is written.
      {"VariableRedeclaredKeepsItsCase", 32, "dword Foo;\ndword FOO;\n", 2,
       "[4545743] global variable Foo redeclared"},
      {"VariableAsRepeatCountKeepsItsCase", 32, "dword Foo;\n#repeat foo:\n", 2,
       "[34323] Unexpected global variable Foo"},
      {"TypeAliasKeepsItsCase", 32, "type MyInt = dword;\n#repeat myint:\n", 2,
       "[34323] Unexpected data type MyInt"},
      {"LocalVariableKeepsItsCase", 32, "procedure p() {\ndword LoopCount;\n#repeat LoopCount:\n}\n", 3,
       "[34323] Unexpected local variable/parameter LoopCount"},
      // A variable used before its declaration.
      {"VariableDeclaredAfterItsAddressIsTaken", 32, "mov eax, @later\ndword later;\n", 2,
       "[4545743] \"later\" was used as a label before this declaration: variables are declared before their "
       "first use"},
      {"VariableDeclaredAfterAJumpToIt", 32, "jmp later\ndword later;\n", 2,
       "[4545743] \"later\" was used as a label before this declaration: variables are declared before their "
       "first use"},
      {"VariableUsedBeforeItsDeclaration", 32, "mov eax, later\ndword later;\n", 1,
       "[1111] Unexpected ident later: nothing of this name is declared before this use; variables are declared "
       "before their first use"},
      // A label placed before the declaration is a label, redeclared.
      {"VariableNamedAfterAPlacedLabel", 32, "here:\ndword here;\n", 2, "[4545743] label here redeclared"},
      {"ListBeyondItsCount", 32, "dword a[2] = [1, 2, 3];\n", 1, "[5322] Array out of bounds"},
      {"AddressIntoArray", 32, "dword g;\ndword p[2] = @g;\n", 2, "[356251] Constant size mismatch"},
      {"AddressIntoNarrowVariable", 32, "dword g;\nword p = @g;\n", 2, "[356252] Constant size mismatch"},
      {"NumberTooWide", 32, "byte b = 300;\n", 1, "[3452143] Initalized data size is too large"},
      {"NoOperator", 32, "dword x;\nx 5;\n", 2, "[423741] Expected a math operator"},
      {"MultiplyAssignOnVariable", 32, "dword x;\nx *= 2;\n", 2,
       "[13040] \"*=\" does not apply to a variable: multiply in a register"},
      {"ArrayOver4GiB", 32, "byte big[65536][65536];\n", 1, "[5323] big is 4 GiB or larger"},
      {"MemberArrayOfNothing", 32, "block T {\ndword a[0];\n}\n", 2, "[13043] Array dimension must be at least 1"},
      {"MemberOver4GiB", 32, "block T {\nbyte a[65536][65536];\n}\n", 2, "[13041] A member is 4 GiB or larger"},
      {"RecordOver4GiB", 32, "block T {\nbyte a[65536][32768];\nbyte b[65536][32768];\n}\n", 3,
       "[13042] The record is 4 GiB or larger"},
      {"ProcedureResultAssigned", 32, "procedure p() {\n}\ndword x = p();\n", 3,
       "[4236] Procedures do not return values"},
      {"LocalAfterFirstInstructionWithoutFrame", 32, "#set frame 0\nprocedure p() {\nnop\ndword x;\n}\n", 4,
       "[4892] x: the locals of a function without a stack frame are declared before its first instruction"},
      {"Msx64Outside64BitMode", 32, "procedure msx64 p() {\n}\n", 1,
       "[23422] The msx64 calling convention needs 64-bit mode"},
      {"MethodNotInBlock", 32, "block T {\nprocedure m();\n}\nprocedure T.x() {\n}\n", 4,
       "[35353] The var type \"T\" does not have a method \"x\""},
      {"MemberIsNoMethod", 32, "block T {\ndword a;\n}\nprocedure T.a() {\n}\n", 4,
       "[35354] T member \"a\" is not a method"},
      {"MethodDefinedTwice", 32, "block T {\nprocedure m();\n}\nprocedure T.m() {\n}\nprocedure T.m() {\n}\n", 6,
       "[35355] T:m has already been declared or is not a valid method"},
      {"Msx64ArgumentReadsALoadedRegister", 64,
       "procedure msx64 g(qword a, b) {\n}\nprocedure msx64 f(qword a, b) {\ng(b, a);\n}\n", 4,
       "[6668] Argument 1 of g reads rdx, which argument 2 of this call has changed"},
      // A stack argument that needs a register, when the arguments after it
      // read every scratch register: the one that changes it is named.
      {"Msx64NoRegisterLeftForAStackArgument", 64,
       "procedure msx64 F8(qword a, b, c, d, e, f, g, h) {\n}\nqword q;\nF8(r11, rcx, rdx, r8, r9, r10, rax, q);\n", 4,
       "[6668] Argument 1 of F8 reads r11, which argument 8 of this call has changed"},
      {"Msx64NoRegisterLeftForAFourByteArgument", 64,
       "procedure msx64 F(qword a, b, c) {\n}\ndword d;\nF(rax, [rcx+rdx], d);\n", 4,
       "[6668] Argument 1 of F reads rax, which argument 3 of this call has changed"},
      {"Msx64RecordArgument", 64, "block Pair {\nqword x;\nqword y;\n}\nPair pr;\nprocedure msx64 F(qword a) {\n}\nF(pr);\n", 8,
       "[13070] Argument 1 of F is 16 bytes, which an msx64 parameter cannot take: pass its address"},
      {"Msx64Real10Argument", 64, "real10 t;\nprocedure msx64 F5(qword a, b, c, d, e) {\n}\nF5(1, 2, 3, 4, t);\n", 4,
       "[13070] Argument 5 of F5 is 10 bytes, which an msx64 parameter cannot take: pass its address"},
      {"InnerCallReadsTheResultOfAnotherInnerCall", 32,
       "function g(dword a): dword {\n}\nprocedure f(dword a, b) {\n}\nf(g(eax), g(1));\n", 5,
       "[6668] Argument 1 of f reads eax, which argument 2 of this call has changed"},
      {"ArgumentReadsTheResultOfAnInnerCall", 32,
       "function g(dword a): dword {\n}\nprocedure f(dword a, b) {\n}\nf(eax, g(1));\n", 5,
       "[6668] Argument 1 of f reads eax, which argument 2 of this call has changed"},
      // What is narrower than a stack word names the register that takes it.
      {"NarrowMemoryArgument", 64, "byte b;\nprocedure p(dword x) {\n}\np(b);\n", 4,
       "[6670] Argument 1 of p is a 1-byte memory operand, which cannot be pushed in 64-bit mode, where a push "
       "takes 8 bytes: load it into a register first (movzx rax, b and pass rax)"},
      {"ByteVariableArgument", 32, "byte bv;\nprocedure P(byte p) {\n}\nP(bv);\n", 4,
       "[6670] Argument 1 of P is a 1-byte memory operand, which cannot be pushed in 32-bit mode, where a push "
       "takes 4 bytes: load it into a register first (movzx eax, bv and pass eax)"},
      {"SignedElementArgument", 16, "sbyte sv[4];\nprocedure P(int8 p) {\n}\nP(sv[2]);\n", 4,
       "[6670] Argument 1 of P is a 1-byte memory operand, which cannot be pushed in 16-bit mode, where a push "
       "takes 2 bytes: load it into a register first (movsx ax, sv[2] and pass ax)"},
      {"DwordVariableArgumentIn64BitMode", 64, "dword d;\nprocedure P(dword p) {\n}\nP(d);\n", 4,
       "[6670] Argument 1 of P is a 4-byte memory operand, which cannot be pushed in 64-bit mode, where a push "
       "takes 8 bytes: load it into a register first (mov eax, d and pass rax)"},
      {"ByteRegisterArgument", 32, "procedure P(byte p) {\n}\nP(al);\n", 3,
       "[6685] Argument 1 of P is the 1-byte register al, which cannot be pushed in 32-bit mode, where a push "
       "takes 4 bytes: widen it first (movzx eax, al and pass eax)"},
      {"HighByteRegisterArgument", 16, "procedure P(word a; byte p) {\n}\nP(1, bh);\n", 3,
       "[6685] Argument 2 of P is the 1-byte register bh, which cannot be pushed in 16-bit mode, where a push "
       "takes 2 bytes: widen it first (movzx ax, bh and pass ax)"},
      {"WordRegisterArgument", 32, "procedure P(word p) {\n}\nP(ax);\n", 3,
       "[6685] Argument 1 of P is the 2-byte register ax, which cannot be pushed in 32-bit mode, where a push "
       "takes 4 bytes: widen it first (movzx eax, ax and pass eax)"},
      {"DwordRegisterArgumentIn64BitMode", 64, "procedure cdecl P(dword p) {\n}\nP(ebx);\n", 3,
       "[6685] Argument 1 of P is the 4-byte register ebx, which cannot be pushed in 64-bit mode, where a push "
       "takes 8 bytes: widen it first (mov eax, ebx and pass rax)"},
      {"ByteRegisterUncountedArgument", 32, "procedure* cdecl pr(dword a; []);\npr(1, cl);\n", 2,
       "[6685] Argument 2 of pr is the 1-byte register cl, which cannot be pushed in 32-bit mode, where a push "
       "takes 4 bytes: widen it first (movzx eax, cl and pass eax)"},
      // An address argument needs a register none of the arguments pushed
      // after it reads: with EAX, ECX and EDX all read, EAX is named.
      {"AddressArgumentWithEveryScratchRegisterRead", 32,
       "function G4(dword a, b, c, d): dword {\n}\nG4(eax, ecx, edx, @[ebx+esi]);\n", 3,
       "[6668] Argument 1 of G4 reads eax, which argument 4 of this call has changed"},
      {"AddressArgumentReadByTheObject", 32,
       "dword arr[4];\nblock T {\ndword v;\nfunction Get(dword a, b, c): dword;\n}\n"
       "function T.Get(dword a, b, c): dword {\n}\neax as T;\necx = eax.Get(ecx, edx, @[@arr + ebx*4]);\n",
       9, "[6668] Argument 1 of T.Get reads eax, which argument 4 of this call has changed"},
      // A function pointer holds functions of its own form only.
      {"PointerOfAnotherConvention", 32,
       "#set defaultcc cdecl\nfunction F(dword a): dword {\nmov eax, a\n}\n#set defaultcc stdcall\n"
       "function* FP(dword a): dword;\nFP = @F;\n",
       7, "[6681] The function pointer FP cannot hold F: F is cdecl, FP is stdcall"},
      {"PointerWithMoreParameters", 64,
       "function F(qword a): qword {\n}\nfunction* FP(qword a, b): qword;\nFP = @F;\n", 4,
       "[6682] The function pointer FP cannot hold F: F takes 1 and FP 2 parameters"},
      {"PointerWithANarrowerParameter", 32,
       "function F(dword a; byte b): dword {\n}\nfunction* FP(dword a, b): dword;\nFP = @F;\n", 4,
       "[6683] The function pointer FP cannot hold F: parameter 2 of F takes 1 byte, of FP 4 bytes"},
      {"ProcedurePointerHoldingAFunction", 16,
       "function F(word a): word {\n}\nprocedure* PP(word a);\nPP = @F;\n", 4,
       "[6684] The function pointer PP cannot hold F: F returns 2 bytes, PP returns nothing"},
      {"LocalPointerOfAnotherResult", 32,
       "function F(): dword {\n}\nprocedure Q() {\nfunction* LP(): word;\nLP = @F;\n}\n", 5,
       "[6684] The function pointer LP cannot hold F: F returns 4 bytes, LP returns 2 bytes"},
      {"PointerGivenAConditionalValue", 32,
       "function F(): dword {\n}\nprocedure G() {\n}\nprocedure* PP();\nPP = (eax == 1) ? @G : @F;\n", 6,
       "[6684] The function pointer PP cannot hold F: F returns 4 bytes, PP returns nothing"},
      {"DefaultNamesAStackSlot", 32, "procedure q(dword a) {\nprocedure r(dword x = [ebp+8]) {\n}\n}\n", 2,
       "[313534] The default value of param \"x\" names a stack slot"},
      {"CallsNestedTooDeep", 32, "function g(dword a): dword {\n}\n" + nestedCalls(600) + ";\n", 3,
       "[6356] Calls nested deeper than 500 inside arguments"},
      {"WideNumberPushedIn64BitMode", 64, "procedure f(qword a) {\n}\nf(0x123456789);\n", 3,
       "[6672] Argument 1 of f is a number that a push cannot take: load it into a register first"},
      // A character read by hand at the end of the source is reported as the end.
      {"ParameterListAtTheEnd", 32, "function f(dword a", 1, "Unexpected EOF"},
      {"InitialiserAtTheEnd", 32, "dword x = 'abc'", 1, "[63542] Unexpected EOF"},
      // A body hides the blocks around its definition.
      {"BreakInABodyInsideALoop", 32, "while (eax == 0) {\nprocedure p() {\nbreak;\n}\nbreak;\n}\n", 3,
       "[4225] Break is only valid used inside block statements such as while, repeat or case statements"},
      // Sizes whose product wraps 64 bits.
      {"ArrayWrapsToNothing", 32, "qword a[2305843009213693952];\ndword b;\n", 1, "[5323] a is 4 GiB or larger"},
      {"LocalArrayWrapsToNothing", 32, "function f(): dword {\nqword a[2305843009213693952];\n}\n", 2,
       "[5323] a is 4 GiB or larger"},
      {"DimensionsWrapToNothing", 32, "byte a[4][4611686018427387904];\n", 1, "[5323] a is 4 GiB or larger"},
      {"MemberWrapsToNothing", 32, "block T {\nbyte a[4][4611686018427387904];\ndword z;\n}\n", 2,
       "[13041] A member is 4 GiB or larger"},
      {"RecordArrayWrapsToNothing", 32, "block P {\ndword x;\ndword y;\n}\nP ps[2305843009213693952];\n", 5,
       "[5323] ps is 4 GiB or larger"},
      // A record has no size while its own members are read.
      {"RecordHoldingItself", 32, "block T {\nT inner;\ndword k;\n}\n", 2,
       "[13046] The record T cannot hold a member of its own type"},
      {"UnionHoldingItsRecord", 32, "block T {\nunion {\nT a[2];\n}\n}\n", 3,
       "[13046] The record T cannot hold a member of its own type"},
      // An index the operand before it does not take would be a statement
      // of its own that does nothing.
      {"IndexAfterARegister", 32, "eax = ebx[5];\n", 1,
       "[13052] An index follows only the name of a variable or of a member array"},
      {"IndexAfterAnInstructionOperand", 32, "mov eax, ebx [5];\n", 1,
       "[13052] An index follows only the name of a variable or of a member array"},
      {"SecondIndex", 32, "dword v[4];\neax = v[1][2];\n", 2,
       "[13052] An index follows only the name of a variable or of a member array"},
      {"IndexAfterARegistersField", 32, "block B {\ndword n;\ndword a[4];\n}\nB r;\nmov esi, @r\nesi as B;\nedx = esi.a[3];\n", 8,
       "[13052] An index follows only the name of a variable or of a member array"},
      {"ParameterSlotWrapsToNothing", 32, "block Big {\nbyte a[4294967293];\n}\nprocedure f(Big b) {\n}\n", 4,
       "[313535] The parameters of f exceed 2 GiB"},
      // A method has a body before it is called, as a plain function does.
      {"MethodCalledBeforeItsBody", 32,
       "block Tb {\ndword a;\nprocedure m();\n}\nTb o;\no.m();\nprocedure Tb.m() {\n}\n", 6, "[6673] The method Tb.m has no body yet: define it above its first call"},
      {"MethodResultBeforeItsBody", 64, "block Tb {\ndword a;\nfunction m(dword x): dword;\n}\nTb o;\nebx = o.m(1);\n",
       6, "[6673] The method Tb.m has no body yet: define it above its first call"},
      {"MethodArgumentBeforeItsBody", 16,
       "block Tb {\ndword a;\nfunction m(): word;\n}\nTb o;\nprocedure f(word x) {\n}\nf(o.m());\n", 8,
       "[6673] The method Tb.m has no body yet: define it above its first call"},
      // msx64 declarations outside 64-bit code are refused where they stand.
      {"Msx64PrototypeOutside64BitMode", 32, "dword k;\nfunction* msx64 P(dword a): dword;\n", 2,
       "[23422] The msx64 calling convention needs 64-bit mode"},
      {"Msx64MethodOutside64BitMode", 16, "block Tc {\ndword a;\nprocedure msx64 m();\n}\n", 3,
       "[23422] The msx64 calling convention needs 64-bit mode"},
      // A variable of part stack words is not pushed: its address, or a
      // memory operand of its size, is.
      {"RecordArgumentOfPartWords", 32,
       "block Rec6 {\nword a;\ndword b;\n}\nRec6 v6;\nprocedure P(Rec6 x) {\n}\nP(v6);\n", 8,
       "[6674] Argument 1 of P is a 6-byte variable, which is not a whole number of stack words: pass its address, "
       "or pass it as a memory operand with its type's name before the bracket"},
      {"Real10ArgumentOfPartWords", 64, "real10 t;\nprocedure P(dword a; real10 x) {\n}\nP(1, t);\n", 4,
       "[6674] Argument 2 of P is a 10-byte variable, which is not a whole number of stack words: pass its address, "
       "or pass it as a memory operand with its type's name before the bracket"},
      {"OddRecordArgumentIn16BitMode", 16,
       "block Rec5 {\nbyte a;\ndword b;\n}\nRec5 v5;\nprocedure P(Rec5 x) {\n}\nmov bx, @v5\nP(Rec5 [bx]);\n", 9,
       "[6675] Argument 1 of P is 5 bytes, an odd number, which cannot be pushed in 16-bit mode: pass its address"},
      {"OddRecordVariableIn16BitMode", 16,
       "block Rec5 {\nbyte a;\ndword b;\n}\nRec5 v5;\nprocedure P(dword k; Rec5 x) {\n}\nP(1, v5);\n", 8,
       "[6675] Argument 2 of P is 5 bytes, an odd number, which cannot be pushed in 16-bit mode: pass its address"},
  };
}
INSTANTIATE_TEST_SUITE_P(Functions, RefusedPrograms, ::testing::ValuesIn(refused()),
                         [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

std::vector<Program> regressionPrograms() {
  std::vector<Program> v;
  // The variable statement works on the token already read: no re-reading
  // of its text, whatever produced it.
  v.push_back({"VariableFromADefineAndWithSpaces", 32,
               "block P {\ndword a;\ndword b;\n}\nP rec;\ndword counter;\n#define C counter;\nC += 5;\n"
               "rec . b = 7;\nrec/* here */.a = 1;\nmov eax, counter\nmov ebx, rec.b\nmov ecx, rec.a\n",
               {{rAX, 5}, {rBX, 7}, {rCX, 1}}});
  // A default's fixup goes into the function that calls with it.
  v.push_back({"DefaultAddressUsedInAnotherFunction", 32,
               "dword g = 31;\nfunction Deref(pointer p = @g): dword {\nmov eax, p\nmov eax, [eax]\n}\n"
               "function Caller(): dword {\nDeref();\n}\nCaller();\nmov ebx, eax\nDeref();\n",
               {{rAX, 31}, {rBX, 31}}});
  // Bytes of an instruction that look like "add rsp, 40" are no clean-up; a
  // label between two calls keeps both.
  v.push_back({"Msx64ReserveKeptWhereItMustBe", 64,
               "function msx64 One(): qword {\nmov rax, 1\n}\nxor rbx, rbx\nOne();\nmov eax, 0x28C48348\n"
               "One();\nadd rbx, rax\njmp there\nback:\nOne();\nadd rbx, rax\njmp out\nthere:\nOne();\njmp back\n"
               "out:\n",
               {{rBX, 2}}});
  // A method: "this" first, in every convention; a default in the
  // declaration is read and dropped, the definition's applies.
  v.push_back({"MethodsGetThis", 32,
               "block Acc {\ndword total;\nprocedure add(dword n = 100);\nfunction get(): dword;\n}\nAcc a;\n"
               "procedure Acc.add(dword n = 2) {\nmov eax, this\nmov ecx, n\nadd [eax], ecx\n}\n"
               "function Acc.get(): dword {\nmov eax, this\nmov eax, [eax]\n}\n"
               "a.add(5);\na.add();\na.get();\nmov ebx, eax\n",
               {{rBX, 7}}});
  v.push_back({"MethodsGetThisInRcx", 64,
               "block Acc {\nqword total;\nprocedure msx64 add(qword n);\n}\nAcc a;\n"
               "procedure msx64 Acc:add(qword n) {\nadd [this], n\n}\na.add(5);\na.add(6);\nmov rbx, a.total\n",
               {{rBX, 11}}});
  v.push_back({"LocalFunctionPointer", 32,
               "function Bump(dword x): dword {\nmov eax, x\ninc eax\n}\nfunction Via(dword x): dword {\n"
               "function* Fn(dword x): dword;\nFn = @Bump;\nFn(x);\n}\nVia(9);\n",
               {{rAX, 10}}});
  v.push_back({"LocalFunctionPointerWithoutFrame", 32,
               "function Bump(dword x): dword {\nmov eax, x\ninc eax\n}\n#set frame 0\nfunction Via(dword x): dword {\n"
               "dword t;\nfunction* Fn(dword x): dword;\nmov t, 5\nFn = @Bump;\nFn(x);\nadd eax, t\n}\n#set frame 1\n"
               "Via(9);\n",
               {{rAX, 15}}});
  v.push_back({"FunctionPointerAssignedAndCalled", 32,
               "function Bump(dword x): dword {\nmov eax, x\ninc eax\n}\nfunction* Fn(dword x): dword;\n"
               "Fn = @Bump;\nFn(41);\n",
               {{rAX, 42}}});
  // A change of the frame setting inside a body does not change how it
  // ends or how it reads its slots.
  v.push_back({"FrameSettingChangedInsideABody", 32,
               "function F(dword x): dword {\ndword t;\n#set frame 0\nmov t, 5\nmov eax, x\nadd eax, t\n}\n"
               "#set frame 1\nF(1);\n",
               {{rAX, 6}}});
  // Saved registers come back, with and without a frame, on every way out.
  v.push_back({"UsesRestoredOnEveryReturn", 32,
               "#set frame 0\nfunction Clobber(dword x): dword {\ndword t;\nuses ebx, edi, flags;\nmov t, 9\n"
               "mov ebx, 1\nmov edi, 2\nmov eax, x\ncmp eax, 0\njne other\nreturn t;\nother:\nmov eax, t\n"
               "add eax, x\n}\n#set frame 1\nfunction Framed(dword x): dword {\ndword t;\nuses ebx;\nmov ebx, 5\n"
               "mov t, ebx\nmov eax, t\n}\nmov ebx, 100\nmov edi, 200\nClobber(0);\nmov ecx, eax\nClobber(1);\n"
               "mov edx, eax\nFramed(0);\n",
               {{rBX, 100}, {rDI, 200}, {rCX, 9}, {rDX, 10}, {rAX, 5}}});
  v.push_back({"ReturnWithoutValueInAProcedure", 32,
               "procedure P(dword x) {\nmov ebx, x\nreturn;\nmov ebx, 0\n}\nP(8);\n", {{rBX, 8}}});
  v.push_back({"LabelAtTheEndGetsTheReturn", 32,
               "function F(dword x): dword {\nmov eax, x\ncmp eax, 0\nje zero\nret 4\nzero:\n}\nF(0);\nmov ebx, 1\n"
               "F(3);\n",
               {{rAX, 3}, {rBX, 1}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Regressions, FunctionPrograms, ::testing::ValuesIn(regressionPrograms()), programName);

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Results of calls into registers and memory, returns from inside a body,
// conditional values on variables.
std::vector<Program> resultPrograms() {
  std::vector<Program> v;
  for (int mode : {16, 32, 64}) {
    const bool m16 = mode == 16, m64 = mode == 64;
    const std::string a = m16 ? "ax" : m64 ? "rax" : "eax", b = m16 ? "bx" : m64 ? "rbx" : "ebx";
    const std::string d = m16 ? "di" : m64 ? "rdi" : "edi", w = m16 ? "word" : m64 ? "qword" : "dword";
    const std::string cc = m64 ? "msx64 " : "";
    v.push_back({"CallResultsIntoRegistersAndMemory", mode,
                 w + " slot;\nfunction " + cc + "Five(): " + w + " {\nmov " + a + ", 5\n}\n" + b + " = Five();\nmov " +
                     d + ", @slot\n[" + d + "] = Five();\nmov " + d + ", slot\nadd " + d + ", " + b + "\n",
                 {{rBX, 5}, {rDI, 10}}});
    v.push_back({"ReturnFromInsideABody", mode,
                 "function " + cc + "Pick(" + w + " x): " + w + " {\nmov " + a + ", x\ncmp " + a +
                     ", 3\njne other\nreturn 30;\nother:\nreturn 40;\n}\nPick(3);\nmov " + b + ", " + a +
                     "\nPick(4);\n",
                 {{rBX, 30}, {rAX, 40}}});
    v.push_back({"ReturnOfACall", mode,
                 "function " + cc + "Dbl(" + w + " x): " + w + " {\nmov " + a + ", x\nadd " + a + ", " + a + "\n}\n" +
                     "function " + cc + "Fwd(" + w + " x): " + w + " {\nreturn Dbl(x);\n}\n" +
                     "function Twice(" + w + " x): " + w + " {\nreturn Fwd(x);\n}\nTwice(3);\n",
                 {{rAX, 6}}});
    v.push_back({"ConditionalValueOnVariable", mode,
                 w + " r;\nmov " + a + ", 2\nr = (" + a + " == 2) ? 11 : 22;\nmov " + b + ", r\nr = if (" + a +
                     " == 3) 11 : 22;\nmov " + d + ", r\n",
                 {{rBX, 11}, {rDI, 22}}});
    v.push_back({"ConditionalValueInitialisesAGlobal", mode,
                 "mov " + a + ", 2\n" + w + " r = if (" + a + " == 2) 11 : 22;\n" + w + " q = 4;\nmov " + b + ", r\nadd " + b +
                     ", q\n",
                 {{rBX, 15}}});
  }
  return v;
}
INSTANTIATE_TEST_SUITE_P(Results, FunctionPrograms, ::testing::ValuesIn(resultPrograms()), programName);

// Registers a call changes, read by the statement around it: a result is
// stored where its destination pointed before the call, and an address
// argument does not overwrite a register another argument reads.
std::vector<Program> changedRegisterPrograms() {
  std::vector<Program> v;
  for (int mode : {32, 64}) {
    const bool m64 = mode == 64;
    const std::string w = m64 ? "qword" : "dword", a = m64 ? "rax" : "eax", c = m64 ? "rcx" : "ecx";
    const std::string d = m64 ? "rdx" : "edx", b = m64 ? "rbx" : "ebx", di = m64 ? "rdi" : "edi";
    const std::string k = m64 ? "8" : "4";
    // Five changes every register a call may change.
    const std::string five = "function Five(): " + w + " {\nmov " + c + ", 0x70\nmov " + d + ", 0x71\n" +
                             (m64 ? "mov r8, 0x72\nmov r9, 0x73\nmov r10, 0x74\nmov r11, 0x75\n" : "") + "mov " + a +
                             ", 5\n}\n";
    auto at = [&](int n) { return std::to_string(n * (m64 ? 8 : 4)); };
    v.push_back({"ResultThroughTheAccumulator", mode,
                 "block Box {\n" + w + " pad;\n" + w + " m;\n}\n" + w + " arr[8];\n" + five + "mov " + a +
                     ", 1\narr[" + a + "] = Five();\nmov " + a + ", @arr\n" + w + " [" + a + " + " + at(2) +
                     "] = Five();\nmov " + a + ", @arr\nadd " + a + ", " + at(2) + "\n" + a + " as Box;\n" + a +
                     ".m = Five();\n" + a + " as 0;\nmov " + di + ", @arr\nmov " + b + ", [" + di + " + " + at(1) +
                     "]\nadd " + b + ", [" + di + " + " + at(2) + "]\nadd " + b + ", [" + di + " + " + at(3) +
                     "]\nmov " + c + ", [" + di + " + " + at(5) + "]\n",
                 {{rBX, 15}, {rCX, 0}}});
    v.push_back({"ResultThroughRegistersTheCalleeChanges", mode,
                 w + " arr[8];\n" + five + "mov " + c + ", 2\narr[" + c + "] = Five();\nmov " + d +
                     ", @arr\nmov " + c + ", 3\n" + w + " [" + d + " + " + c + "*" + k + "] = Five();\n" +
                     (m64 ? "mov r9, @arr\nmov r10, 4\nqword [r9 + r10*8] = Five();\n"
                          : "mov ecx, @arr\nmov eax, 4\ndword [ecx + eax*4] = Five();\n") +
                     "mov " + di + ", @arr\nmov " + b + ", [" + di + " + " + k + "*2]\nadd " + b + ", [" + di +
                     " + " + k + "*3]\nadd " + b + ", [" + di + " + " + k + "*4]\nmov " + a + ", [" + di + " + " +
                     k + "*7]\n",
                 {{rBX, 15}, {rAX, 0}}});
    // G returns its first argument; the second is an address that push
    // builds in a register.
    const std::string g = "function G(" + w + " x, y): " + w + " {\nmov " + a + ", x\n}\n";
    v.push_back({"AddressArgumentAfterTheAccumulator", mode,
                 w + " arr[4];\n" + g + "mov " + a + ", 0x11\nmov " + b + ", 0x100\nmov " + c + ", 0x20\n" + d +
                     " = G(" + a + ", @[" + b + " + " + c + "]);\nmov " + a + ", 0x12\n" + di + " = G(" + a +
                     ", @[@arr + " + c + "*4]);\n",
                 {{rDX, 0x11}, {rDI, 0x12}}});
    // The object of a method call is pushed last: the address before it is
    // not built in its register.
    v.push_back({"AddressArgumentBeforeTheObject", mode,
                 "block T {\n" + w + " v;\nfunction Get(" + w + " p): " + w + ";\n}\nfunction T.Get(" + w + " p): " +
                     w + " {\nmov " + c + ", this\nmov " + a + ", [" + c + "]\nadd " + a + ", p\n}\n" +
                     "T obj;\nmov obj.v, 7\n" +
                     "mov " + a + ", @obj\nmov " + b + ", 0x100\nmov " + c + ", 0x20\n" + a + " as T;\n" + d + " = " +
                     a + ".Get(@[" + b + " + " + c + "]);\n" + a + " as 0;\n",
                 {{rDX, 0x127}}});
    // Uncounted arguments of a cdecl pointer.
    v.push_back({"AddressArgumentUncounted", mode,
                 "function cdecl Sum2(" + w + " x, y): " + w + " {\nmov " + a + ", x\nadd " + a + ", y\n}\n" +
                     "function* cdecl Sum(" + w + " x; []): " + w + ";\nSum = @Sum2;\nmov " + a + ", 3\nmov " + b +
                     ", 0x100\nmov " + c + ", 0x20\n" + d + " = Sum(" + a + ", @[" + b + " + " + c + "*2]);\n",
                 {{rDX, 0x143}}});
  }
  // The object of the method, a local of a body without a frame, is read
  // before the register of the address is pushed.
  v.push_back({"ResultOfAMethodOnALocalWithoutFrame", 32,
               "block Ctr {\ndword n;\nfunction Get(): dword;\n}\nfunction Ctr.Get(): dword {\nmov ecx, this\n"
               "mov eax, [ecx]\nmov edx, 0x71\n}\ndword arr[4];\n#set frame 0\nfunction Use(): dword {\nCtr c;\n"
               "mov c.n, 9\nmov eax, 2\narr[eax] = c.Get();\nmov eax, arr[2]\n}\n#set frame 1\nebx = Use();\n",
               {{rBX, 9}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(ChangedRegisters, FunctionPrograms, ::testing::ValuesIn(changedRegisterPrograms()),
                         programName);

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Sizes, indexes, sized memory operands and initial values that sit at the
// edges of their rules.
std::vector<Program> edgePrograms() {
  std::vector<Program> v;
  // A number is stored when it fits its element signed or unsigned.
  v.push_back({"NegativeInitialValues", 32,
               "int32 x = -3;\nsbyte y = -3;\ndword z = -1;\nint32 t[3] = [5, -3, 7];\nbyte hi = 255;\n"
               "sbyte lo = -128;\nword pair[2] = -1;\nmov eax, x\nmovzx ebx, y\nshl ebx, 8\nmov bl, hi\n"
               "mov ecx, z\nmov edx, t[1]\nadd edx, t[2]\nmovzx edi, lo\nshl edi, 16\nmov di, pair[1]\n"
               "add di, pair[0]\n",
               {{rAX, 0xFFFFFFFD}, {rBX, 0xFDFF}, {rCX, 0xFFFFFFFF}, {rDX, 4}, {rDI, 0x80FFFE}}});
  // An explicit size before a bracket on a variable is kept; only the bare
  // bracket takes the pointer size.
  v.push_back({"SizedBracketOnAVariable", 32,
               "dword arr[4] = [0x11111111, 0x22222222, 0x33333333, 0x44444444];\nmov ebx, 4\n"
               "mov byte [@arr + ebx + 1], 0\nmov word [@arr + 8], 0\nbyte [@arr + ebx + 3] = 0x55;\n"
               "mov [@arr + ebx + 8], 5\n"
               "cmp byte [@arr + ebx + 2], 0x22\nsete al\nmovzx eax, al\nmov ecx, arr[1]\nmov edx, arr[2]\n"
               "mov edi, arr[3]\n",
               {{rAX, 1}, {rCX, 0x55220022}, {rDX, 0x33330000}, {rDI, 5}}});
  // Elements of a record's member array, by number and by register, in a
  // global and in a local record.
  v.push_back({"MemberArrayElements", 32,
               "block B {\ndword pre;\ndword a[4];\nword w[3];\n}\nB r;\nB rs[2];\nmov r.a[1], 5\nmov ecx, 3\n"
               "mov r.a[ecx], 7\nr.w[2] = 9;\nmov rs.a[3], 11\nfunction F(): dword {\nB l;\nmov l.a[3], 20\n"
               "mov ecx, 2\nmov l.a[ecx], 22\nmov eax, l.a[3]\nadd eax, l.a[ecx]\n}\nF();\nmov ecx, eax\neax = r.a[1];\n"
               "mov ebx, r.a[3]\nmovzx edx, r.w[2]\nmov edi, rs.a[3]\nadd edi, sizeof r.a\nadd edx, sizeof r.w\n",
               {{rAX, 5}, {rBX, 7}, {rCX, 42}, {rDX, 15}, {rDI, 27}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Edges, FunctionPrograms, ::testing::ValuesIn(edgePrograms()), programName);

// A memory operand without a size, passed as an argument: a stack word.
std::vector<Program> unsizedArgumentPrograms() {
  std::vector<Program> v;
  for (int mode : {16, 32, 64}) {
    const bool m16 = mode == 16, m64 = mode == 64;
    const std::string a = m16 ? "ax" : m64 ? "rax" : "eax", b = m16 ? "bx" : m64 ? "rbx" : "ebx";
    const std::string w = m16 ? "word" : m64 ? "qword" : "dword";
    v.push_back({"UnsizedMemoryArgument", mode,
                 w + " g = 40;\nfunction Sub2(" + w + " x, y): " + w + " {\nmov " + a + ", x\nsub " + a + ", y\n}\n" +
                     "mov " + b + ", @g\nSub2([" + b + "], 2);\n",
                 {{rAX, 38}}});
  }
  // Slots of a frameless body read from the stack pointer while pushing.
  v.push_back({"StackPointerArgumentsWithoutFrame", 32,
               "function cdecl Sub2(dword x, y): dword {\nmov eax, x\nsub eax, y\n}\n#set frame 0\n"
               "function Swap(dword x, y): dword {\nSub2([esp+8], [esp+4]);\n}\n#set frame 1\nSwap(5, 50);\n",
               {{rAX, 45}}});
  return v;
}
INSTANTIATE_TEST_SUITE_P(UnsizedArguments, FunctionPrograms, ::testing::ValuesIn(unsizedArgumentPrograms()),
                         programName);

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// A call's result read wider than its function's type: every reader takes it
// from the accumulator of the type's size, widened by the type's sign, and a
// reader of that size or narrower takes its low bytes. Each function leaves
// junk above its result in the accumulator; each reader stores what it read
// into a slot of res, and the value expected there is computed here from the
// type and the reader's width.
struct ResultType {
  const char* name;
  unsigned size;
  bool sign;
  uint64_t value;  // the result, its top bit set
};
constexpr ResultType kResultTypes[] = {
    {"byte", 1, false, 0x85},     {"int8", 1, true, 0x85},         {"word", 2, false, 0x8502},
    {"int16", 2, true, 0x8502},   {"dword", 4, false, 0x85020304}, {"int32", 4, true, 0x85020304},
};
constexpr uint64_t kJunk = 0x5A5A5A5A5A5A5A5Aull;

uint64_t lowBytes(uint64_t v, unsigned size) { return size >= 8 ? v : v & ((uint64_t{1} << (8 * size)) - 1); }

// The result of t as a reader of width bytes holds it.
uint64_t readAs(const ResultType& t, unsigned width) {
  uint64_t v = lowBytes(t.value, t.size);
  if (t.sign && (v >> (8 * t.size - 1)) != 0) v |= ~lowBytes(~uint64_t{0}, t.size);
  return lowBytes(v, width);
}

struct ResultReaders {
  const char* name;
  int mode;
  std::string source;
  std::vector<std::pair<std::string, uint64_t>> slots;  // the reader's line, its value
};

std::ostream& operator<<(std::ostream& os, const ResultReaders& r) { return os << r.name << "/" << r.mode; }

std::string readersName(const ::testing::TestParamInfo<ResultReaders>& info) {
  return std::string(info.param.name) + "_" + std::to_string(info.param.mode);
}

class CallResultReaders : public ::testing::TestWithParam<ResultReaders> {};

TEST_P(CallResultReaders, ReadTheResultWidenedByItsType) {
  const ResultReaders& p = GetParam();
  const FlatRun r = runFlat(p.source, p.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  // The program keeps the address of res in DI.
  const uint64_t res = r.reg(rDI);
  for (size_t k = 0; k < p.slots.size(); ++k)
    EXPECT_EQ(r.read(res + 8 * k, 8), p.slots[k].second) << std::hex << p.slots[k].first;
}

const char* sizeName(unsigned w) { return w == 1 ? "byte" : w == 2 ? "word" : w == 4 ? "dword" : "qword"; }
std::string reg(char family, unsigned w) {
  const std::string x = std::string(1, family) + (family == 'd' ? "i" : "x");
  if (w == 1) return std::string(1, family) + "l";
  return w == 2 ? x : w == 4 ? "e" + x : "r" + x;
}

std::string hexOf(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

// The body of a function of type t: its result under junk in the accumulator.
std::string leaveResult(const ResultType& t, int mode) {
  const uint64_t full = (kJunk & ~lowBytes(~uint64_t{0}, t.size)) | t.value;
  const std::string acc = mode == 64 ? "rax" : mode == 32 ? "eax" : "ax";
  return "mov " + acc + ", " + hexOf(lowBytes(full, static_cast<unsigned>(mode / 8))) + "\n";
}

// The functions F_<type> of the mode.
std::string resultFunctions(int mode) {
  std::string s;
  for (const ResultType& t : kResultTypes)
    if (mode != 16 || t.size < 4)
      s += std::string("function F_") + t.name + "(): " + t.name + " {\n" + leaveResult(t, mode) + "}\n";
  return s;
}

std::vector<ResultReaders> resultReaders() {
  std::vector<ResultReaders> v;
  for (int mode : {16, 32, 64}) {
    const unsigned word = static_cast<unsigned>(mode / 8);
    // 16-bit code has no 32-bit registers here: results and readers of 1
    // and 2 bytes.
    std::vector<unsigned> widths{1, 2};
    if (mode != 16) widths.push_back(4);
    if (mode == 64) widths.push_back(8);
    auto inMode = [&](const ResultType& t) { return mode != 16 || t.size < 4; };
    const std::string di = reg('d', word), head = "qword res[64];\n";
    // A reader per type and width: the statement, then the store of what it
    // read into slot k.
    auto perWidth = [&](const char* name, auto&& reader, const std::string& decls = "") {
      ResultReaders r{name, mode, head + decls + resultFunctions(mode) + "mov " + di + ", @res\n", {}};
      for (const ResultType& t : kResultTypes)
        for (unsigned w : widths) {
          if (!inMode(t)) continue;
          const std::string k = std::to_string(8 * r.slots.size());
          const std::string line = reader(t, w, k);
          r.source += line;
          r.slots.emplace_back(line, readAs(t, w));
        }
      v.push_back(std::move(r));
    };
    auto store = [&](char family, unsigned w, const std::string& k) {
      return "mov [" + di + " + " + k + "], " + reg(family, w) + "\n";
    };
    perWidth("Register", [&](const ResultType& t, unsigned w, const std::string& k) {
      return reg('b', w) + " = F_" + t.name + "();\n" + store('b', w, k);
    });
    perWidth("Accumulator", [&](const ResultType& t, unsigned w, const std::string& k) {
      return reg('a', w) + " = F_" + t.name + "();\n" + store('a', w, k);
    });
    perWidth("Variable", [&](const ResultType& t, unsigned w, const std::string& k) {
      const std::string var = std::string("v") + t.name + std::to_string(w);
      return std::string(sizeName(w)) + " " + var + ";\n" + var + " = F_" + t.name + "();\nmov " + reg('b', w) +
             ", " + var + "\n" + store('b', w, k);
    });
    perWidth("Initialiser", [&](const ResultType& t, unsigned w, const std::string& k) {
      const std::string var = std::string("g") + t.name + std::to_string(w);
      return std::string(sizeName(w)) + " " + var + " = F_" + t.name + "();\nmov " + reg('b', w) + ", " + var +
             "\n" + store('b', w, k);
    });
    perWidth("Memory", [&](const ResultType& t, unsigned w, const std::string& k) {
      return std::string(sizeName(w)) + " [" + di + " + " + k + "] = F_" + t.name + "();\n";
    });
    // The accumulator holds the result after the call: the address it held
    // before is the one stored through.
    if (mode != 16)
      perWidth("MemoryThroughTheAccumulator", [&](const ResultType& t, unsigned w, const std::string& k) {
        return "mov " + reg('a', word) + ", " + di + "\n" + sizeName(w) + " [" + reg('a', word) + " + " + k +
               "] = F_" + t.name + "();\n";
      });
    // Readers of one width: an argument (a stack word, or 64 bits for an
    // msx64 parameter), the return of another function, a method, a pointer.
    auto perType = [&](const char* name, unsigned w, const std::string& decls, auto&& reader) {
      ResultReaders r{name, mode, head + resultFunctions(mode) + decls + "mov " + di + ", @res\n", {}};
      for (const ResultType& t : kResultTypes) {
        if (!inMode(t)) continue;
        const std::string k = std::to_string(8 * r.slots.size());
        const std::string line = reader(t, k);
        r.source += line;
        r.slots.emplace_back(line, readAs(t, w));
      }
      v.push_back(std::move(r));
    };
    const std::string wordType = sizeName(word), acc = reg('a', word);
    for (const char* cc : {"stdcall", "cdecl"}) {
      perType(cc[0] == 's' ? "StdcallArgument" : "CdeclArgument", word,
              std::string("function ") + cc + " Id(" + wordType + " x): " + wordType + " {\n" + acc + " = x;\n}\n",
              [&](const ResultType& t, const std::string& k) {
                return acc + " = Id(F_" + t.name + "());\n" + store('a', word, k);
              });
    }
    std::string returns;
    for (const ResultType& t : kResultTypes)
      if (inMode(t))
        returns += std::string("function R_") + t.name + "(): " + wordType + " {\nreturn F_" + t.name + "();\n}\n";
    perType("Return", word, returns, [&](const ResultType& t, const std::string& k) {
      return acc + " = R_" + t.name + "();\n" + store('a', word, k);
    });
    std::string methods;
    for (const ResultType& t : kResultTypes) {
      if (!inMode(t)) continue;
      const std::string type = std::string("Obj_") + t.name;
      methods += "block " + type + " {\ndword pad;\nfunction m(): " + t.name + ";\n}\nfunction " + type + ".m(): " +
                 t.name + " {\n" + leaveResult(t, mode) + "}\n" + type + " o_" + t.name + ";\n";
    }
    perType("Method", word, methods, [&](const ResultType& t, const std::string& k) {
      return reg('b', word) + " = o_" + t.name + ".m();\n" + store('b', word, k);
    });
    std::string pointers;
    for (const ResultType& t : kResultTypes)
      if (inMode(t))
        pointers += std::string("function* P_") + t.name + "(): " + t.name + ";\nP_" + t.name + " = @F_" +
                    t.name + ";\n";
    perType("FunctionPointer", word, pointers, [&](const ResultType& t, const std::string& k) {
      return reg('b', word) + " = P_" + t.name + "();\n" + store('b', word, k);
    });
    if (mode == 64) {
      perType("Msx64Argument", 8, "function msx64 IdM(qword x): qword {\nmov rax, rcx\n}\n",
              [&](const ResultType& t, const std::string& k) {
                return std::string("rax = IdM(F_") + t.name + "());\n" + store('a', 8, k);
              });
      perType("Msx64FifthArgument", 8, "function msx64 IdM5(qword a, b, c, d, e): qword {\nrax = e;\n}\n",
              [&](const ResultType& t, const std::string& k) {
                return std::string("rax = IdM5(1, 2, 3, 4, F_") + t.name + "());\n" + store('a', 8, k);
              });
    }
  }
  return v;
}
INSTANTIATE_TEST_SUITE_P(Widths, CallResultReaders, ::testing::ValuesIn(resultReaders()), readersName);

// A number argument is judged by its parameter's type: it fits when its
// value fits the type's bytes as a signed or as an unsigned number, and one
// that does not is warned about at its line and passed as its low bytes.
// Every integer type of the mode against numbers at each edge of its range,
// in each convention; the callee returns its parameter, and the caller
// stores the result, widened by the type, into a stack word of res.
struct NumberSweep {
  int mode;
  const char* convention;
  bool roll;  // #set imm_roll 1: the low bits are taken without a word
};

std::ostream& operator<<(std::ostream& os, const NumberSweep& n) {
  return os << n.mode << "/" << n.convention << (n.roll ? "/roll" : "");
}

class PushedNumbers : public ::testing::TestWithParam<NumberSweep> {};

TEST_P(PushedNumbers, AreJudgedByTheirParametersType) {
  const NumberSweep& p = GetParam();
  const unsigned word = static_cast<unsigned>(p.mode / 8);
  const bool msx64 = std::string(p.convention) == "msx64";
  struct Type {
    const char* name;
    unsigned size;
    bool sign;
  };
  const Type types[] = {{"byte", 1, false}, {"int8", 1, true},   {"word", 2, false},
                        {"int16", 2, true}, {"dword", 4, false}, {"int32", 4, true}};
  const std::string acc = p.mode == 64 ? "rax" : p.mode == 32 ? "eax" : "ax";
  // The header runFlat adds, and the lines before the statements.
  std::string src = std::string(p.roll ? "#set imm_roll 1\n" : "") + sizeName(word) + " res[64];\n";
  for (const Type& t : types) {
    if (p.mode == 16 && t.size == 4) continue;
    const std::string load = msx64 ? "mov rax, rcx" : "mov " + reg('a', t.size) + ", p";
    src += std::string("function ") + p.convention + " F_" + t.name + "(" + t.name + " p): " + t.name + " {\n" + load +
           "\n}\n";
  }
  src += "mov " + reg('d', word) + ", @res\n";
  std::vector<uint64_t> want;
  std::vector<int> warned;  // the lines that must warn
  int line = 3;             // "program FLAT;" and "#set bits" come first
  for (char c : src) line += c == '\n';
  for (const Type& t : types) {
    if (p.mode == 16 && t.size == 4) continue;
    const int64_t lo = -(int64_t{1} << (8 * t.size - 1)), hi = (int64_t{1} << (8 * t.size)) - 1;
    for (int64_t n : {lo - 1, lo, int64_t{-1}, int64_t{0}, -lo - 1, -lo, hi, hi + 1}) {
      src += "res[" + std::to_string(want.size()) + "] = F_" + t.name + "(" + std::to_string(n) + ");\n";
      const bool fits = n >= lo && n <= hi;
      if (!fits && !p.roll) warned.push_back(line);
      ++line;
      // What the callee reads, widened by its type, as a stack word.
      uint64_t v = static_cast<uint64_t>(n) & ((uint64_t{1} << (8 * t.size)) - 1);
      if (t.sign && (v >> (8 * t.size - 1))) v |= ~((uint64_t{1} << (8 * t.size)) - 1);
      want.push_back(lowBytes(v, word));
    }
  }
  const FlatRun r = runFlat(src + "ret\n", p.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (size_t k = 0; k < want.size(); ++k)
    EXPECT_EQ(r.read(r.reg(rDI) + word * k, word), want[k]) << "statement " << k;
  std::vector<int> said;
  for (size_t at = r.compile.out.find("Warning: [6680]"); at != std::string::npos;
       at = r.compile.out.find("Warning: [6680]", at + 1))
    said.push_back(std::stoi(r.compile.out.substr(r.compile.out.rfind('[', r.compile.out.rfind("]:", at)) + 1)));
  EXPECT_EQ(said, warned) << r.compile.out;
  EXPECT_EQ(r.compile.out.find("truncated to fit into DWord"), std::string::npos) << r.compile.out;
}

INSTANTIATE_TEST_SUITE_P(Functions, PushedNumbers,
                         ::testing::Values(NumberSweep{16, "stdcall", false}, NumberSweep{16, "cdecl", false},
                                           NumberSweep{32, "stdcall", false}, NumberSweep{32, "cdecl", false},
                                           NumberSweep{32, "stdcall", true}, NumberSweep{64, "stdcall", false},
                                           NumberSweep{64, "msx64", false}));

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Random statements that store a call's result through an address held in
// registers (an element by register, a bracket, a member through a typed
// register, two registers), with arguments over the same registers
// (registers, numbers, addresses built from registers, calls). Every
// function computes its result from its parameters and then writes junk into
// the registers a call may change (A, C, D, and R8-R11 in 64-bit code). The
// model knows every register's value when its statement begins: the result
// must land in the element the destination addressed then, and arguments
// must arrive with the values their registers held then. A statement whose
// argument reads a register that the call's own code has changed before is
// refused with [6668]; the model predicts which, and such statements are
// checked apart.
class CallStoreGenerator {
 public:
  CallStoreGenerator(uint32_t seed, int mode) : rng_(seed), mode_(mode), word_(mode / 8) {
    const char* names32[] = {"eax", "ecx", "edx", "ebx", "esi", "edi"};
    const char* names64[] = {"rax", "rcx", "rdx", "rbx", "rsi", "rdi", "r8", "r9", "r10", "r11"};
    const int families32[] = {0, 1, 2, 3, 6, 7};
    const int families64[] = {0, 1, 2, 3, 6, 7, 8, 9, 10, 11};
    for (size_t k = 0; k < (mode == 64 ? 10u : 6u); ++k)
      regs_.push_back({mode == 64 ? names64[k] : names32[k], mode == 64 ? families64[k] : families32[k]});
  }

  // A value the model knows: c plus m times the address of arr.
  struct Lin {
    uint64_t c = 0, m = 0;
  };
  struct Fn {
    std::string name;
    int params;
    bool msx64;
    uint64_t k;
  };
  struct Arg {
    std::string text;
    uint32_t reads = 0;  // register families
    Lin value;
    bool call = false;    // a call written as an argument
    bool address = false;  // an address that push builds in a register
  };
  struct Statement {
    std::string text;
    uint32_t element = 0;
    Lin value;
  };

  static constexpr uint32_t kElements = 96;  // arr's elements; the last holds the saved stack pointer

  // The functions, each "K + 1*p1 + 2*p2 + ...".
  std::string functions() {
    std::string s;
    const std::string w = word_ == 8 ? "qword" : "dword", acc = word_ == 8 ? "rax" : "eax";
    auto body = [&](const Fn& f) {
      static const char* names[] = {"a", "b", "c", "d", "e"};
      std::string b = "mov " + acc + ", " + std::to_string(f.k) + "\n";
      for (int p = 0; p < f.params; ++p)
        for (int t = 0; t <= p; ++t) b += "add " + acc + ", " + names[p] + "\n";
      b += word_ == 8 ? "mov rcx, 0x7A7A\nmov rdx, 0x6B6B\nmov r8, 0x5C5C\nmov r9, 0x4D4D\n"
                        "mov r10, 0x3E3E\nmov r11, 0x2F2F\n"
                      : "mov ecx, 0x7A7A\nmov edx, 0x6B6B\n";
      return b;
    };
    auto define = [&](const std::string& cc, const std::string& name, int params, bool msx64) {
      static const char* names[] = {"a", "b", "c", "d", "e"};
      Fn f{name, params, msx64, 1000u * (fns_.size() + 1)};
      s += "function " + cc + " " + name + "(";
      for (int p = 0; p < params; ++p) s += std::string(p ? ", " : w + " ") + names[p];
      s += "): " + w + " {\n" + body(f) + "}\n";
      return f;
    };
    for (int n = 0; n <= 3; ++n) fns_.push_back(define("stdcall", "S" + std::to_string(n), n, false));
    for (int n = 0; n <= 3; ++n) fns_.push_back(define("cdecl", "C" + std::to_string(n), n, false));
    if (mode_ == 64)
      for (int n = 0; n <= 5; ++n) fns_.push_back(define("msx64", "M" + std::to_string(n), n, true));
    inner_.push_back(define("stdcall", "I", 1, false));
    if (mode_ == 64) inner_.push_back(define("msx64", "N", 1, true));
    return s;
  }

  // A statement, or, with refused set, one the model says [6668] refuses.
  Statement next(bool& refused) {
    Statement st;
    std::string setup;
    values_.assign(16, Lin{});
    const Fn& f = fns_[pick(fns_.size())];
    // Every register starts the statement with a number of its own.
    for (const auto& [name, fam] : regs_) {
      values_[fam] = Lin{1 + pick(400), 0};
      setup += "mov " + name + ", " + std::to_string(values_[fam].c) + "\n";
    }
    const std::string dst = destination(st.element, setup);
    std::vector<Arg> args;
    for (int p = 0; p < f.params; ++p) args.push_back(argument(f.msx64, p));
    std::string call = f.name + "(";
    Lin result{f.k, 0};
    for (size_t p = 0; p < args.size(); ++p) {
      call += (p ? ", " : "") + args[p].text;
      result.c += (p + 1) * args[p].value.c;
      result.m += (p + 1) * args[p].value.m;
    }
    call += ")";
    st.value = result;
    st.text = setup + dst + " = " + call + ";\n" + cleanup_;
    refused = f.msx64 ? refusedMsx64(args) : refusedStack(args);
    used_.insert(st.element);
    return st;
  }

 private:
  uint32_t pick(size_t n) { return static_cast<uint32_t>(rng_() % n); }
  const std::pair<std::string, int>& anyReg() { return regs_[pick(regs_.size())]; }

  uint32_t freshElement() {
    for (;;) {
      const uint32_t e = 4 + pick(kElements - 8);
      if (!used_.count(e)) return e;
    }
  }

  // Points register r at element e of arr.
  void pointAt(const std::pair<std::string, int>& r, uint32_t e, std::string& setup) {
    values_[r.second] = Lin{uint64_t{word_} * e, 1};
    setup += "mov " + r.first + ", @arr\nadd " + r.first + ", " + std::to_string(word_ * e) + "\n";
  }

  std::string destination(uint32_t& e, std::string& setup) {
    const std::string w = word_ == 8 ? "qword" : "dword";
    e = freshElement();
    cleanup_.clear();
    const auto& r = anyReg();
    switch (pick(4)) {
      case 0:
        values_[r.second] = Lin{e, 0};
        setup += "mov " + r.first + ", " + std::to_string(e) + "\n";
        return "arr[" + r.first + "]";
      case 1: {
        const uint32_t k = pick(4);
        pointAt(r, e - k, setup);
        return w + " [" + r.first + " + " + std::to_string(word_ * k) + "]";
      }
      case 2:
        pointAt(r, e - 1, setup);
        cleanup_ = r.first + " as 0;\n";
        return r.first + " as Box;\n" + r.first + ".m";
      default: {
        const auto* i = &anyReg();
        while (i->second == r.second) i = &anyReg();
        const uint32_t j = 1 + pick(3);
        pointAt(r, e - j, setup);
        values_[i->second] = Lin{j, 0};
        setup += "mov " + i->first + ", " + std::to_string(j) + "\n";
        return w + " [" + r.first + " + " + i->first + "*" + std::to_string(word_) + "]";
      }
    }
  }

  Arg argument(bool msx64, int position) {
    Arg a;
    const uint32_t kind = pick(msx64 ? 5 : 6);
    auto reg = [&](Arg& x) {
      const auto& r = anyReg();
      x.text = r.first;
      x.reads = 1u << r.second;
      x.value = values_[r.second];
    };
    switch (kind) {
      case 0: {
        const uint64_t n = pick(5000);
        a.text = std::to_string(n);
        a.value = Lin{n, 0};
        return a;
      }
      case 1: reg(a); return a;
      case 2: {
        // Two registers, or one scaled: built with lea.
        const auto& r1 = anyReg();
        const auto& r2 = anyReg();
        const bool scaled = pick(2) != 0;
        a.text = "@[" + r1.first + " + " + r2.first + (scaled ? "*4" : "") + "]";
        a.reads = (1u << r1.second) | (1u << r2.second);
        const uint64_t s = scaled ? 4 : 1;
        a.value = Lin{values_[r1.second].c + s * values_[r2.second].c, values_[r1.second].m + s * values_[r2.second].m};
        a.address = true;
        return a;
      }
      case 3: {
        // A register and a displacement: pushed with no register changed.
        const auto& r = anyReg();
        a.text = "@[" + r.first + " + 8]";
        a.reads = 1u << r.second;
        a.value = Lin{values_[r.second].c + 8, values_[r.second].m};
        a.address = msx64 && position >= 4;
        return a;
      }
      case 4: {
        // arr's address and a scaled register.
        const auto& r = anyReg();
        a.text = "@[@arr + " + r.first + "*4]";
        a.reads = 1u << r.second;
        a.value = Lin{4 * values_[r.second].c, values_[r.second].m * 4 + 1};
        a.address = true;
        return a;
      }
      default: {
        const Fn& g = inner_[pick(inner_.size())];
        Arg x;
        if (pick(2)) {
          reg(x);
        } else {
          x.value = Lin{pick(5000), 0};
          x.text = std::to_string(x.value.c);
        }
        a.text = g.name + "(" + x.text + ")";
        a.reads = x.reads;
        a.value = Lin{g.k + x.value.c, x.value.m};
        a.call = true;
        return a;
      }
    }
  }

  uint32_t callChanges() const { return mode_ == 64 ? 0xF07u : 0x7u; }

  // The first of candidates (register families) that no argument before i
  // reads; -1 when they read all.
  static int unread(const std::vector<Arg>& args, size_t i, std::initializer_list<int> candidates) {
    uint32_t later = 0;
    for (size_t j = 0; j < i; ++j) later |= args[j].reads;
    for (int c : candidates)
      if (!(later & (1u << c))) return c;
    return -1;
  }

  // stdcall and cdecl: the arguments are compiled from the last to the first.
  bool refusedStack(const std::vector<Arg>& args) const {
    uint32_t changed = 0;
    for (size_t i = args.size(); i-- > 0;) {
      const Arg& a = args[i];
      if (a.reads & changed) return true;
      if (a.call) {
        changed |= callChanges();
      } else if (a.address) {
        const int via = mode_ == 64 ? unread(args, i, {0, 1, 2, 8, 9, 10, 11}) : unread(args, i, {0, 1, 2});
        if (via < 0) return true;
        changed |= 1u << via;
      }
    }
    return false;
  }

  // msx64: calls and stack arguments first (the last first), then RCX, RDX,
  // R8 and R9 (the last first).
  bool refusedMsx64(const std::vector<Arg>& args) const {
    static const int params[4] = {1, 2, 8, 9};
    uint32_t changed = 0;
    for (size_t i = args.size(); i-- > 0;) {
      const Arg& a = args[i];
      if (a.call) {
        if (a.reads & changed) return true;
        changed |= callChanges();
      } else if (i >= 4) {
        if (a.reads & changed) return true;
        if (a.address) {
          const int via = unread(args, i, {11, 10, 0, 9, 8, 2, 1});
          if (via < 0) return true;
          changed |= 1u << via;
        }
      }
    }
    for (size_t i = args.size() < 4 ? args.size() : 4; i-- > 0;) {
      if (!args[i].call && (args[i].reads & changed)) return true;
      changed |= 1u << params[i];
    }
    return false;
  }

  std::mt19937 rng_;
  int mode_;
  uint32_t word_;
  std::vector<std::pair<std::string, int>> regs_;
  std::vector<Fn> fns_, inner_;
  std::vector<Lin> values_;
  std::set<uint32_t> used_;
  std::string cleanup_;
};

TEST(CallStores, LandWhereTheirAddressPointedWithTheArgumentsOfTheStatementsStart) {
  for (int mode : {32, 64}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      CallStoreGenerator gen(seed * 2654435761u + static_cast<uint32_t>(mode), mode);
      const std::string w = mode == 64 ? "qword" : "dword", sp = mode == 64 ? "rsp" : "esp";
      const std::string last = std::to_string(CallStoreGenerator::kElements - 1);
      // arr lies on pages of its own: the emulator keeps no record of
      // writes into pages that hold code.
      std::string src = "block Box {\n" + w + " a;\n" + w + " m;\n}\nbyte gap[4096];\n" + w + " arr[" +
                        std::to_string(CallStoreGenerator::kElements) + "];\n" + gen.functions() + "mov arr[" + last +
                        "], " + sp + "\n";
      std::vector<CallStoreGenerator::Statement> kept;
      std::vector<std::string> refused;
      while (kept.size() < 28) {
        bool isRefused = false;
        CallStoreGenerator::Statement st = gen.next(isRefused);
        if (isRefused) {
          refused.push_back(st.text);
          continue;
        }
        src += st.text;
        kept.push_back(st);
      }
      src += "sub arr[" + last + "], " + sp + "\nmov " + (mode == 64 ? "rbx" : "ebx") + ", @arr\nret\n";
      const FlatRun r = runFlat(src, mode, FlatOptions{{}, {}, 1000000});
      ASSERT_TRUE(r.built) << "mode " << mode << " seed " << seed << "\n" << r.compile.out << "\n" << src;
      ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc << "\n" << src;
      const uint64_t base = r.reg(rBX);
      const unsigned word = static_cast<unsigned>(mode / 8);
      const uint64_t mask = word == 8 ? ~uint64_t{0} : 0xFFFFFFFFu;
      EXPECT_EQ(r.read(base + word * (CallStoreGenerator::kElements - 1), word), 0u)
          << "mode " << mode << " seed " << seed << ": the stack pointer moved";
      for (const auto& st : kept)
        EXPECT_EQ(r.read(base + word * st.element, word), (st.value.c + st.value.m * base) & mask)
            << "mode " << mode << " seed " << seed << ", element " << st.element << " of:\n" << st.text;
      // The statements the model refuses: each stops with [6668] alone.
      for (size_t k = 0; k < refused.size() && k < 2; ++k) {
        const FlatRun x = runFlat("block Box {\n" + w + " a;\n" + w + " m;\n}\n" + w + " arr[" +
                                      std::to_string(CallStoreGenerator::kElements) + "];\n" +
                                      CallStoreGenerator(seed, mode).functions() + refused[k],
                                  mode);
        EXPECT_FALSE(x.built) << refused[k];
        EXPECT_NE(x.compile.out.find("[6668] "), std::string::npos) << x.compile.out << "\n" << refused[k];
      }
    }
  }
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// The address of a member of a local or parameter record, taken with
// "@name.member" in every place that takes one (an instruction operand, a
// register statement, a pushed operand, an argument), in bodies with a frame,
// without one and of msx64 functions: read through, it gives the member.
struct MemberAddressBody {
  const char* name;
  int mode;
  const char* convention;  // before the function's name
  bool frame;
  bool params;  // the body has a record parameter as well
};

void PrintTo(const MemberAddressBody& b, std::ostream* os) { *os << b.name << " body in " << b.mode << "-bit code"; }

class MemberAddresses : public ::testing::TestWithParam<MemberAddressBody> {};

TEST_P(MemberAddresses, PointAtTheMember) {
  const MemberAddressBody& body = GetParam();
  const bool m64 = body.mode == 64;
  const std::string a = m64 ? "rax" : "eax", b = m64 ? "rbx" : "ebx", w = m64 ? "qword" : "dword";
  // The data the program writes lies a page away from its code: the
  // emulator tracks writes into pages that hold code.
  std::string src = "byte gap[4096];\ndword res[256];\nfunction Id(" + w + " p): " + w + " {\n" + a + " = p;\n}\n";
  if (!body.frame) src += "#set frame 0\n";
  std::vector<std::pair<std::string, uint32_t>> expected;
  std::string calls;
  for (const unsigned offset : {1u, 4u, 7u, 100u, 300u}) {
    const std::string k = std::to_string(offset);
    // A record of whole stack words, with the member at offset.
    src += "block Rec" + k + " {\nbyte pad[" + k + "];\ndword m;\nbyte tail[" + std::to_string(8 - (offset + 4) % 8) +
           "];\n}\nRec" + k + " g" + k + ";\n";
    std::vector<std::string> records{"lv"};
    if (body.params) records.emplace_back("pv");
    std::string fn = "function " + std::string(body.convention) + " F" + k + "(" +
                     (body.params ? "Rec" + k + " pv" : std::string()) + "): dword {\nRec" + k + " lv;\ndword la[5];\n";
    for (const std::string& rec : records) {
      const uint32_t value = 0x5EC00000u + offset * 16 + static_cast<uint32_t>(rec == "pv");
      fn += "mov " + rec + ".pad[0], 0x77\nmov " + rec + ".m, " + std::to_string(value) + "\n";
      const std::string at = "@" + rec + ".m";
      const std::pair<const char*, std::string> paths[] = {
          {"an instruction operand", "mov " + b + ", " + at + "\n"},
          {"a register statement", b + " = " + at + ";\n"},
          {"a pushed operand", "push " + at + "\npop " + b + "\n"},
          {"an argument", b + " = Id(" + at + ");\n"},
      };
      for (const auto& [what, load] : paths) {
        fn += load + "mov eax, dword [" + b + "]\nmov res[" + std::to_string(expected.size()) + "], eax\n";
        expected.emplace_back(at + " (offset " + k + ") as " + what, value);
      }
    }
    // An element of a local array, by a number and by a register, as a
    // global's element is taken.
    const uint32_t element = 0xE1E00000u + offset;
    fn += "mov la[3], " + std::to_string(element) + "\n";
    for (const std::string& at : {std::string("@la[3]"), "@la[" + std::string(m64 ? "rcx" : "ecx") + "]"}) {
      fn += "mov ecx, 3\nmov " + b + ", " + at + "\nmov eax, dword [" + b + "]\nmov res[" +
            std::to_string(expected.size()) + "], eax\n";
      expected.emplace_back(at + " (offset " + k + ")", element);
    }
    src += fn + "}\n";
    calls += "F" + k + "(" + (body.params ? "g" + k : std::string()) + ");\n";
  }
  const std::string di = m64 ? "rdi" : "edi";
  const FlatRun r = runFlat(src + "#set frame 1\nmov " + di + ", @res\n" + calls + "ret\n", body.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  const uint64_t res = r.reg(rDI);
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(r.read(res + 4 * i, 4), expected[i].second) << expected[i].first;
}

INSTANTIATE_TEST_SUITE_P(
    EveryBody, MemberAddresses,
    ::testing::Values(MemberAddressBody{"Frame", 32, "", true, true},
                      MemberAddressBody{"Frameless", 32, "", false, true},
                      MemberAddressBody{"Frame", 64, "", true, true},
                      MemberAddressBody{"Frameless", 64, "", false, true},
                      MemberAddressBody{"Msx64", 64, "msx64", false, false}),
    [](const ::testing::TestParamInfo<MemberAddressBody>& info) {
      return std::string(info.param.name) + "_" + std::to_string(info.param.mode);
    });

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Every form of "return value;" in functions of the 4-byte types, in every
// mode: the whole value comes back in EAX (16-bit code too, which cannot
// name EAX), a narrower value widened by the sign of the function's type.
// Each function is called with junk left in EAX by another call, and its
// result is stored into a slot through a variable and a memory operand.
struct ReturnForm {
  const char* name;
  const char* value;        // after "return"
  uint32_t asSigned;        // the result in a function of a signed type
  uint32_t asUnsigned;      // ... of an unsigned type
};
constexpr ReturnForm kReturnForms[] = {
    {"MinusTwo", "-2", 0xFFFFFFFE, 0xFFFFFFFE},
    {"Zero", "0", 0, 0},
    {"True", "true", 1, 1},
    {"Number", "0x12345678", 0x12345678, 0x12345678},
    {"SumOfAShort", "s + 1", 0xFFFFFFFE, 0x0000FFFE},
    {"Word", "w", 0xFFFFFFFA, 0x0000FFFA},
    {"Byte", "b", 0xFFFFFFF0, 0x000000F0},
    {"Dword", "d", 0x87654321, 0x87654321},
    {"WordFunction", "H()", 0x0000FFFE, 0x0000FFFE},
    {"ShortFunction", "HS()", 0xFFFFFFFE, 0xFFFFFFFE},
    {"Parameter", "a", 0x13572468, 0x13572468},
    {"Local", "l", 0x2468ACE0, 0x2468ACE0},
    {"ConditionHolds", "(w == 0xFFFA) ? 0x11112222 : 3", 0x11112222, 0x11112222},
    {"ConditionFails", "(w == 5) ? 0x11112222 : w", 0xFFFFFFFA, 0x0000FFFA},
};

struct ReturnType {
  const char* name;
  bool sign;
};
constexpr ReturnType kReturnTypes[] = {{"dword", false}, {"int32", true}, {"boolean", false}};

class ReturnForms : public ::testing::TestWithParam<int> {};

TEST_P(ReturnForms, GiveTheWholeValueInEax) {
  const int mode = GetParam();
  const std::string si = mode == 16 ? "si" : mode == 32 ? "esi" : "rsi";
  std::string src =
      // The data the program writes lies a page away from its code: the
      // emulator tracks writes into pages that hold code.
      "byte gap[4096];\nint16 s = -3;\nword w = 0xFFFA;\nbyte b = 0xF0;\ndword d = 0x87654321;\ndword res[128];\n"
      "function H(): word {\nreturn 0xFFFE;\n}\nfunction HS(): int16 {\nreturn 0xFFFE;\n}\n"
      "function Junk(): dword {\nreturn 0xA5A5A5A5;\n}\n";
  std::string main = "mov " + si + ", @res\n";
  std::vector<std::pair<std::string, uint32_t>> expected;
  for (const ReturnType& t : kReturnTypes)
    for (const ReturnForm& f : kReturnForms) {
      const std::string fn = std::string("R_") + t.name + "_" + f.name;
      src += "function " + fn + "(dword a): " + t.name + " {\ndword l;\nmov l, 0x2468ACE0\nreturn " + f.value +
             ";\n}\ndword v_" + fn + ";\n";
      // Read through a memory operand, and through a variable copied into
      // the next slot a word at a time (every mode has AX).
      const std::string at = si + " + " + std::to_string(8 * expected.size());
      main += "Junk();\ndword [" + at + "] = " + fn + "(0x13572468);\nJunk();\nv_" + fn + " = " + fn +
              "(0x13572468);\n";
      for (const char* half : {"", " + 2"})
        main += "mov ax, word [@v_" + fn + half + "]\nmov word [" + at + " + 4" + half + "], ax\n";
      expected.emplace_back(fn, t.sign ? f.asSigned : f.asUnsigned);
    }
  const FlatRun r = runFlat(src + main + "ret\n", mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  const uint64_t res = r.reg(rSI);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.read(res + 8 * i, 4), expected[i].second) << expected[i].first << " read into memory";
    EXPECT_EQ(r.read(res + 8 * i + 4, 4), expected[i].second) << expected[i].first << " read into a variable";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, ReturnForms, ::testing::Values(16, 32, 64),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "bit"; });

}  // namespace
}  // namespace vorak::test
