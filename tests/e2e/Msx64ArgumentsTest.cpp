// msx64 arguments in every position, compiled by the executable with the
// FLAT builder and run in the emulator. The callee reads what arrived where
// the convention puts it (RCX, RDX, R8, R9, then the stack slots above the
// 32-byte shadow room), not through its parameter names: the emulated
// machine is the oracle.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

constexpr int kParams = 8;

// What every position not under test receives.
uint64_t filler(int k) { return 0x1000 + static_cast<uint64_t>(k); }

// Rec copies its eight arguments into got; after call number c the caller
// copies got into res[8*c ...].
std::string recorder() {
  std::string s = "qword got[8];\nqword res[" + std::to_string(kParams * kParams) + "];\n";
  s += "procedure msx64 Rec(qword a, b, c, d, e, f, g, h) {\n";
  const char* regs[4] = {"rcx", "rdx", "r8", "r9"};
  for (int k = 0; k < 4; ++k) s += "mov got[" + std::to_string(k) + "], " + regs[k] + "\n";
  // [rsp] is the return address, then the shadow room of 32 bytes.
  for (int k = 4; k < kParams; ++k)
    s += "mov rax, [rsp+" + std::to_string(8 + 8 * k) + "]\nmov got[" + std::to_string(k) + "], rax\n";
  return s + "}\n";
}

// The fillers around the argument under test are numbers, except the first,
// a register (R11, or R10 when the argument is R11), and the last, a dword
// variable that a register carries to its slot before the others are read.
std::string firstFiller(const std::string& arg) { return arg == "r11" ? "r10" : "r11"; }

std::string fillers(const std::string& arg) {
  return "mov " + firstFiller(arg) + ", " + std::to_string(filler(0)) + "\n";
}

std::string callWith(const std::string& arg, int at) {
  std::string s = "Rec(";
  for (int k = 0; k < kParams; ++k) {
    if (k) s += ", ";
    if (k == at)
      s += arg;
    else if (k == 0)
      s += firstFiller(arg);
    else if (k == kParams - 1)
      s += "fv";
    else
      s += std::to_string(filler(k));
  }
  return s + ");\n";
}

std::string copyOut(int call) {
  std::string s;
  for (int k = 0; k < kParams; ++k)
    s += "mov rbx, got[" + std::to_string(k) + "]\nmov res[" + std::to_string(call * kParams + k) + "], rbx\n";
  return s;
}

enum class Where { Global, FrameLocal, Msx64Local };

struct Kind {
  const char* name;
  std::string decl;  // declarations: globals, or the caller's locals
  std::string set;   // before each call
  std::string arg;
  uint64_t value;    // what the callee receives, all 64 bits
  int firstPosition = 1;  // a parameter register is read only before it is loaded
};

struct Case {
  Kind kind;
  Where where;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.kind.name; }

constexpr uint64_t neg(uint64_t v) { return ~v + 1; }

std::vector<Kind> numbers() {
  return {
      {"Small", "", "", "7", 7},
      {"Negative", "", "", "-5", neg(5)},
      {"LargestInt32", "", "", "0x7FFFFFFF", 0x7FFFFFFF},
      {"SmallestInt32", "", "", "-2147483648", neg(0x80000000)},
      {"Bit31", "", "", "0x80000000", 0x80000000},
      {"AllOnes32", "", "", "0xFFFFFFFF", 0xFFFFFFFF},
      {"Needs64Bits", "", "", "0x123456789ABCDEF0", 0x123456789ABCDEF0},
      {"Needs64BitsHighBit", "", "", "0xFEDCBA9876543210", 0xFEDCBA9876543210},
  };
}

std::vector<Kind> registers() {
  const std::string v = "0x8877665544332211";
  return {
      {"Rax", "", "mov rax, " + v + "\n", "rax", 0x8877665544332211},
      {"Rbx", "", "mov rbx, " + v + "\n", "rbx", 0x8877665544332211},
      {"Rcx", "", "mov rcx, " + v + "\n", "rcx", 0x8877665544332211},
      {"Rdx", "", "mov rdx, " + v + "\n", "rdx", 0x8877665544332211, 2},
      {"R8", "", "mov r8, " + v + "\n", "r8", 0x8877665544332211, 3},
      {"R9", "", "mov r9, " + v + "\n", "r9", 0x8877665544332211, 4},
      {"R10", "", "mov r10, " + v + "\n", "r10", 0x8877665544332211},
      {"R11", "", "mov r11, " + v + "\n", "r11", 0x8877665544332211},
      {"Eax", "", "mov rax, 0xFFFFFFFF80000001\n", "eax", 0x80000001},
      {"Bx", "", "mov rbx, 0xFFFFFFFFFFFF8001\n", "bx", 0x8001},
      {"Bl", "", "mov rbx, 0xFFFFFFFFFFFFFF81\n", "bl", 0x81},
      {"Bh", "", "mov rbx, 0xFFFFFFFFFFFF9281\n", "bh", 0x92},
  };
}

// Variables: unsigned types zero-extended, signed ones sign-extended, a
// real4 as its four bytes.
std::vector<Kind> variables() {
  return {
      {"Byte", "byte v;\n", "mov v, 200\n", "v", 200},
      {"Sbyte", "sbyte v;\n", "mov v, -2\n", "v", neg(2)},
      {"Word", "word v;\n", "mov v, 0xFFFE\n", "v", 0xFFFE},
      {"Short", "short v;\n", "mov v, -3\n", "v", neg(3)},
      {"Dword", "dword v;\n", "mov v, 0xFFFFFFF0\n", "v", 0xFFFFFFF0},
      {"Int32", "int32 v;\n", "mov v, -4\n", "v", neg(4)},
      {"Int32Positive", "int32 v;\n", "mov v, 0x7FFFFFFE\n", "v", 0x7FFFFFFE},
      {"Qword", "qword v;\n", "mov rax, 0xF123456789ABCDEF\nmov v, rax\n", "v", 0xF123456789ABCDEF},
      {"Int64", "int64 v;\n", "mov v, -6\n", "v", neg(6)},
      {"Real4", "real4 v;\n", "mov v, 0x3FC00000\n", "v", 0x3FC00000},  // 1.5
      {"Real8", "real8 v;\n", "mov rax, 0x4004000000000000\nmov v, rax\n", "v", 0x4004000000000000},
      {"SizedMemory", "dword v;\n", "mov v, 0xFFFFFFF0\nmov rbx, @v\n", "dword [rbx]", 0xFFFFFFF0},
  };
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* where[] = {"", "_FrameLocal", "_Msx64Local"};
  return std::string(info.param.kind.name) + where[static_cast<int>(info.param.where)];
}

std::vector<Case> allCases() {
  std::vector<Case> v;
  for (const Kind& k : numbers()) v.push_back({k, Where::Global});
  for (const Kind& k : registers()) v.push_back({k, Where::Global});
  for (const Kind& k : variables())
    for (Where w : {Where::Global, Where::FrameLocal, Where::Msx64Local}) v.push_back({k, w});
  return v;
}

class Msx64Arguments : public ::testing::TestWithParam<Case> {};

// The argument in each position in turn, the others fillers: the callee
// finds it in that position, extended to 64 bits as its type says, and the
// fillers where they belong.
TEST_P(Msx64Arguments, ArriveInEveryPosition) {
  const Case& c = GetParam();
  const Kind& k = c.kind;
  std::string calls;
  for (int p = k.firstPosition - 1; p < kParams; ++p) calls += fillers(k.arg) + k.set + callWith(k.arg, p) + copyOut(p);
  std::string src = "mov rsi, rsp\n" + recorder() + "dword fv = " + std::to_string(filler(kParams - 1)) + ";\n";
  switch (c.where) {
    case Where::Global: src += k.decl + calls; break;
    case Where::FrameLocal: src += "procedure Caller() {\n" + k.decl + calls + "}\nCaller();\n"; break;
    case Where::Msx64Local: src += "procedure msx64 Caller() {\n" + k.decl + calls + "}\nCaller();\n"; break;
  }
  src += "sub rsi, rsp\nmov rax, @res\nret\n";
  const FlatRun r = runFlat(src, 64, FlatOptions{{}, {}, 1000000});
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rSI), 0u) << "the stack pointer moved";
  for (int p = k.firstPosition - 1; p < kParams; ++p)
    for (int q = 0; q < kParams; ++q)
      EXPECT_EQ(r.read(r.reg(rAX) + 8 * static_cast<uint64_t>(p * kParams + q), 8), q == p ? k.value : filler(q))
          << "argument " << k.arg << " in position " << p + 1 << ", position " << q + 1 << " received";
}

INSTANTIATE_TEST_SUITE_P(Msx64, Msx64Arguments, ::testing::ValuesIn(allCases()), caseName);

// Whole argument lists where a stack argument needs a register: it takes
// one that no argument compiled after it reads, and a number that fits the
// sign-extended 32-bit field takes none.
struct Mix {
  const char* name;
  std::string decl;
  std::string set;
  std::string args;
  uint64_t want[kParams];
};

std::ostream& operator<<(std::ostream& os, const Mix& m) { return os << m.name; }

class Msx64ArgumentLists : public ::testing::TestWithParam<Mix> {};

TEST_P(Msx64ArgumentLists, ArriveWhole) {
  const Mix& m = GetParam();
  const std::string src = "mov rsi, rsp\n" + recorder() + m.decl + m.set + "Rec(" + m.args + ");\n" + copyOut(0) +
                          "sub rsi, rsp\nmov rax, @res\nret\n";
  const FlatRun r = runFlat(src, 64);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rSI), 0u) << "the stack pointer moved";
  for (int q = 0; q < kParams; ++q)
    EXPECT_EQ(r.read(r.reg(rAX) + 8 * static_cast<uint64_t>(q), 8), m.want[q]) << "position " << q + 1;
}

constexpr uint64_t kA = 0x1111222233334444, kB = 0x5555666677778888, kC = 0x99990000AAAABBBB;

std::vector<Mix> mixes() {
  const std::string regs =
      "mov r11, 0x1111222233334444\nmov r10, 0x5555666677778888\nmov rax, 0x99990000AAAABBBB\n";
  return {
      {"R11FirstNumbersAfter", "", regs, "r11, 1, 2, 3, 3, 4, 5, 6", {kA, 1, 2, 3, 3, 4, 5, 6}},
      {"R11ThirdWideNumberFifth", "", regs, "10, 1, r11, 2, 0x123456789, 6, 7, 8",
       {10, 1, kA, 2, 0x123456789, 6, 7, 8}},
      {"ScratchRegistersReadByTheFirstArguments", "dword d;\nint32 s;\nqword q;\n",
       regs + "mov d, 0xFFFFFFFE\nmov s, -9\nmov rbx, 0x0123456789ABCDEF\nmov q, rbx\n",
       "r11, r10, rax, s, d, s, q, -1",
       {kA, kB, kC, neg(9), 0xFFFFFFFE, neg(9), 0x0123456789ABCDEF, neg(1)}},
      {"ParameterRegistersIntoSlots", "dword d;\n",
       "mov rcx, 0x1111222233334444\nmov rdx, 0x5555666677778888\nmov r8, 7\nmov r9, 8\nmov d, 0x80000000\n",
       "d, d, d, d, rcx, rdx, r8, r9", {0x80000000, 0x80000000, 0x80000000, 0x80000000, kA, kB, 7, 8}},
      {"EveryFourByteVariableAfterRegisters", "dword d;\nreal4 f;\n",
       regs + "mov d, 0xFFFFFFFD\nmov f, 0x3FC00000\n", "r11, r10, d, f, d, f, r10, r11",
       {kA, kB, 0xFFFFFFFD, 0x3FC00000, 0xFFFFFFFD, 0x3FC00000, kB, kA}},
  };
}

INSTANTIATE_TEST_SUITE_P(Msx64, Msx64ArgumentLists, ::testing::ValuesIn(mixes()),
                         [](const ::testing::TestParamInfo<Mix>& info) { return std::string(info.param.name); });

// A result stored through an address held in a register the call changes:
// the accumulator (the result), RCX to R9 (the arguments), R10 and R11 (a
// stack argument's scratch register), each changed again by the callee. The
// element is the one the register addressed when the statement began.
TEST(Msx64Results, LandWhereTheirAddressPointedBeforeTheCall) {
  std::string src = "mov rsi, rsp\nblock Box {\nqword pad;\nqword m;\n}\nqword res[64];\n"
                    "function msx64 Id(qword x): qword {\nmov rax, rcx\nmov rdx, 0x71\nmov r8, 0x72\n"
                    "mov r9, 0x73\nmov r10, 0x74\nmov r11, 0x75\nmov rcx, 0x70\n}\n"
                    "function msx64 Id5(qword a, b, c, d, e): qword {\nrax = e;\nmov rcx, 0x70\nmov rdx, 0x71\n"
                    "mov r8, 0x72\nmov r9, 0x73\nmov r10, 0x74\nmov r11, 0x75\n}\nmov rbx, 0x1000\n";
  std::vector<std::pair<uint32_t, uint64_t>> want;  // element, value
  uint32_t e = 1;
  auto value = [&] { return 0x100 + static_cast<uint64_t>(want.size()); };
  for (const char* r : {"rax", "rcx", "rdx", "r8", "r9", "r10", "r11"}) {
    const std::string reg = r;
    auto point = [&](uint32_t element) {
      return "mov " + reg + ", @res\nadd " + reg + ", " + std::to_string(8 * element) + "\n";
    };
    want.emplace_back(e, value());
    src += "mov " + reg + ", " + std::to_string(e) + "\nres[" + reg + "] = Id(" + std::to_string(want.back().second) +
           ");\n";
    ++e;
    want.emplace_back(e, value());
    src += point(e - 1) + "qword [" + reg + " + 8] = Id(" + std::to_string(want.back().second) + ");\n";
    ++e;
    want.emplace_back(e, value());
    src += point(e - 1) + reg + " as Box;\n" + reg + ".m = Id(" + std::to_string(want.back().second) + ");\n" + reg +
           " as 0;\n";
    ++e;
    // The fifth argument is an address built in a scratch register.
    want.emplace_back(e, 0x1008);
    src += point(e) + "qword [" + reg + "] = Id5(1, 2, 3, 4, @[rbx + 8]);\n";
    ++e;
  }
  src += "sub rsi, rsp\nmov rax, @res\nret\n";
  const FlatRun r = runFlat(src, 64);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rSI), 0u) << "the stack pointer moved";
  std::vector<uint64_t> got(64, 0), expect(64, 0);
  for (const auto& [element, v] : want) expect[element] = v;
  for (uint32_t k = 0; k < 64; ++k) got[k] = r.read(r.reg(rAX) + 8 * k, 8);
  EXPECT_EQ(got, expect) << src;
}

}  // namespace
}  // namespace vorak::test
