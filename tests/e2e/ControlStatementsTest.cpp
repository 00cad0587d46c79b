// Control statements compiled by the executable and run in the emulator in
// 16-, 32- and 64-bit mode: what the program computes is the oracle.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct Program {
  std::string name;
  int mode;
  std::string source;
  std::vector<std::pair<int, uint64_t>> regs;  // register number, value after the run
};

void PrintTo(const Program& p, std::ostream* os) { *os << p.name << "/" << p.mode; }

// %a %b %c %d %s become the mode's AX, BX, CX, DX, SI.
std::string inMode(const std::string& text, int mode) {
  static const char* names[3][5] = {{"ax", "bx", "cx", "dx", "si"},
                                    {"eax", "ebx", "ecx", "edx", "esi"},
                                    {"rax", "rbx", "rcx", "rdx", "rsi"}};
  const int m = mode == 16 ? 0 : mode == 32 ? 1 : 2;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* k = i + 1 < text.size() && text[i] == '%' ? std::strchr("abcds", text[i + 1]) : nullptr;
    if (k && *k) {
      out += names[m][k - "abcds"];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

class ControlPrograms : public ::testing::TestWithParam<Program> {};

TEST_P(ControlPrograms, ComputeWhatTheSourceSays) {
  if (!kHaveFlatEmulator) GTEST_SKIP() << "no Unicorn";
  const Program& p = GetParam();
  const FlatRun r = runFlat(p.source, p.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  const uint64_t mask = p.mode == 16 ? 0xFFFF : p.mode == 32 ? 0xFFFFFFFF : ~0ull;
  for (const auto& [reg, value] : p.regs) EXPECT_EQ(r.reg(reg) & mask, value & mask) << "register " << reg;
  EXPECT_EQ(r.reg(rSP) & mask, flatStackTop(p.mode));
}

std::vector<Program> programs() {
  std::vector<Program> v;
  for (int mode : {16, 32, 64}) {
    auto add = [&](const std::string& name, const std::string& src, std::vector<std::pair<int, uint64_t>> regs) {
      v.push_back({name, mode, inMode(src, mode), std::move(regs)});
    };
    // Every branch of an if/elseif/else chain.
    for (int a = 1; a <= 4; ++a)
      add("IfChainBranch" + std::to_string(a),
          "mov %a, " + std::to_string(a) +
              "\nif (%a == 1) { mov %b, 10 } elseif (%a == 2) { mov %b, 20 }"
              " elseif (%a == 3) { mov %b, 30 } else { mov %b, 40 }\nret\n",
          {{rBX, 10u * a}});
    // Loops of 0, 1 and many passes.
    for (int n : {0, 1, 7}) {
      const std::string N = std::to_string(n);
      add("WhilePasses" + N, "mov %c, " + N + "\nxor %a, %a\nwhile (%c != 0) { inc %a\ndec %c }\nret\n", {{rAX, n}});
      add("PreTestedRepeatPasses" + N,
          "mov %c, " + N + "\nxor %a, %a\nrepeat if (%c != 0) { inc %a\ndec %c } until (%c == 0);\nret\n", {{rAX, n}});
    }
    for (int n : {1, 5})
      add("RepeatUntilPasses" + std::to_string(n),
          "mov %c, " + std::to_string(n) + "\nxor %a, %a\nrepeat { inc %a\ndec %c } until (%c == 0);\nret\n",
          {{rAX, n}});
    add("RepeatLeftByBreakIf", "xor %a, %a\nrepeat { inc %a\nbreak if (%a == 5); }\nret\n", {{rAX, 5}});
    add("ContinueSkipsTheRest",
        "mov %c, 6\nxor %a, %a\nxor %b, %b\nwhile (%c != 0) { dec %c\ninc %b\nif (%c < 3) { continue; }\ninc %a }\nret\n",
        {{rAX, 3}, {rBX, 6}});
    add("ContinueInRepeatRestartsTheBody",
        "xor %a, %a\nxor %b, %b\nrepeat { inc %a\nif (%a < 4) { continue; }\ninc %b\nbreak; }\nret\n",
        {{rAX, 4}, {rBX, 1}});
    add("BreakLeavesTheInnerLoopOnly",
        "xor %a, %a\nmov %c, 3\nwhile (%c != 0) { dec %c\nmov %d, 0\n"
        "while (%d < 10) { inc %d\nif (%d == 2) { break; }\ninc %a } }\nret\n",
        {{rAX, 3}, {rCX, 0}});
    // A break if inside an if inside a loop: its joins are its own.
    add("BreakIfOrInsideIf",
        "mov %d, 5\nxor %a, %a\nwhile (1 == 1) { inc %a\nif (%a < 10) { break if ((%c == 3) or (%d == 5)); } }\nret\n",
        {{rAX, 1}});
    for (int d : {4, 5})
      add("BreakIfAndInsideIf" + std::to_string(d),
          "mov %c, 3\nmov %d, " + std::to_string(d) +
              "\nxor %a, %a\nxor %b, %b\nwhile (%a < 10) { inc %a\n"
              "if (%a > 0) { break if ((%c == 3) and (%d == 5)); }\ninc %b }\nret\n",
          {{rAX, d == 5 ? 1 : 10}, {rBX, d == 5 ? 0 : 10}});
    for (int c : {0, 1})
      add("ExitIf" + std::to_string(c),
          "mov %c, " + std::to_string(c) +
              "\nxor %b, %b\nif (%a == 0) { inc %b\nexitif (%c == 1);\ninc %b\nexitif;\ninc %b }\nret\n",
          {{rBX, c ? 1u : 2u}});
    for (int d : {0, 1})
      add("ExitIfWithJoins" + std::to_string(d),
          "mov %d, " + std::to_string(d) +
              "\nxor %b, %b\nif (%a == 0) { while (%b < 5) { inc %b } \nexitif if ((%c == 1) or (%d == 1));\n"
              "mov %b, 9 }\nret\n",
          {{rBX, d ? 5u : 9u}});
    // Every state of a case: shared lines, fall-through, break, default.
    const uint64_t caseResult[] = {0, 1, 1, 110, 100, 1000};
    for (int a = 1; a <= 5; ++a)
      add("CaseState" + std::to_string(a),
          "mov %a, " + std::to_string(a) +
              "\nxor %b, %b\ncase (%a) { state 1, 2: add %b, 1\nbreak;\nstate 3: add %b, 10\n"
              "state 4: add %b, 100\nbreak;\ndefault: add %b, 1000 }\nret\n",
          {{rBX, caseResult[a]}});
    // The last state needs no break; no state matching runs none.
    for (int a : {1, 2, 7})
      add("CaseWithoutBreak" + std::to_string(a),
          "mov %a, " + std::to_string(a) + "\nxor %b, %b\ncase (%a) { state 1: inc %b\nstate 2: add %b, 2 }\nret\n",
          {{rBX, a == 1 ? 3u : a == 2 ? 2u : 0u}});
    // Relations on their boundary values, unsigned for a register on the
    // left, signed for a number on the left.
    struct Rel {
      const char* cond;
      int64_t a;
      bool holds;
    } rels[] = {{"%a < 5", 5, false},  {"%a < 5", 4, true},   {"%a =< 5", 5, true},  {"%a =< 5", 6, false},
                {"%a > 5", 5, false},  {"%a > 5", 6, true},   {"%a >= 5", 5, true},  {"%a >= 5", 4, false},
                {"%a > 1", -1, true},  {"1 < %a", -1, false}, {"1 > %a", -1, true},  {"0 =< %a", -1, false},
                {"%a != 5", 5, false}, {"%a == 0", 0, true},  {"%a != 0", 0, false}, {"0 >= %a", 0, true}};
    int k = 0;
    for (const Rel& r : rels)
      add("Relation" + std::to_string(k++),
          "mov %a, " + std::to_string(r.a) + "\nxor %b, %b\nif (" + r.cond + ") { inc %b }\nret\n",
          {{rBX, r.holds ? 1u : 0u}});
    // Flags after a compare of 0 with 1: carry, sign set; zero, overflow clear.
    struct FlagCase {
      const char* cond;
      bool holds;
    } flags[] = {{"carry_flag == 1", true},    {"carry_flag == 0", false},    {"carry_flag != 1", false},
                 {"zero_flag == 1", false},    {"zero_flag != 1", true},      {"sign_flag == 1", true},
                 {"overflow_flag == 0", true}, {"1 == carry_flag", true},     {"0 == zero_flag", true},
                 {"carry_flag == true", true}, {"parity_flag == 1", true}};
    k = 0;
    for (const FlagCase& f : flags)
      add("Flag" + std::to_string(k++),
          "xor %b, %b\nmov %a, 0\ncmp %a, 1\nif (" + std::string(f.cond) + ") { inc %b }\nret\n",
          {{rBX, f.holds ? 1u : 0u}});
    // Constants against constants are decided while compiling; "true" is any
    // value but 0, and only equality is rewritten for it.
    struct ConstCase {
      const char* pre;
      const char* cond;
      bool holds;
    } consts[] = {{"", "1 == 2", false},         {"", "2 == 2", true},          {"", "true == true", true},
                  {"", "true != true", false},   {"mov %a, 5\n", "%a == true", true},
                  {"", "%a == true", false},      {"", "%a >= true", false},     {"", "%a != true", true},
                  {"", "-1 < 1", true},           {"", "3 >= 4", false}};
    k = 0;
    for (const ConstCase& c : consts)
      add("Constant" + std::to_string(k++),
          std::string(c.pre) + "xor %b, %b\nif (" + c.cond + ") { inc %b } else { add %b, 10 }\nret\n",
          {{rBX, c.holds ? 1u : 10u}});
    // Three levels deep with an or at the top.
    add("DeepAndUnderOr", "mov %d, 1\nif ((((%a == 1) and (%b == 1)) and (%c == 1)) or (%d == 1)) { inc %s }\nret\n",
        {{rSI, 1}});
    add("MixedJoinsGroupToTheRight",
        "mov %a, 0\nmov %b, 1\nxor %s, %s\nif ((%a == 1) and (%b == 1) or (%c == 0)) { inc %s }\nret\n", {{rSI, 0}});
    // return at top level: the accumulator, then the return.
    add("ReturnValue", "mov %b, 3\nreturn 7;\nmov %b, 4\nret\n", {{rAX, 7}, {rBX, 3}});
    add("ReturnZero", "mov %a, 9\nif (%a == 9) { return 0; }\nmov %a, 5\nret\n", {{rAX, 0}});
    add("ReturnRegister", "mov %c, 12\nreturn %c;\n", {{rAX, 12}});
    add("ReturnSum", "mov %c, 5\nreturn %c + 2 - 1;\n", {{rAX, 6}});
    for (int c : {0, 1})
      add("ReturnConditional" + std::to_string(c),
          "mov %c, " + std::to_string(c) + "\nreturn (%c == 0) ? 3 : 4;\n", {{rAX, c ? 4u : 3u}});
  }
  return v;
}

INSTANTIATE_TEST_SUITE_P(Statements, ControlPrograms, ::testing::ValuesIn(programs()),
                         [](const ::testing::TestParamInfo<Program>& i) {
                           return i.param.name + "_" + std::to_string(i.param.mode);
                         });

}  // namespace
}  // namespace vorak::test
