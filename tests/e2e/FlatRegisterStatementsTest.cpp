// Register, memory-operand, segment and uses statements compiled with the
// FLAT builder and run in the emulator, in 16-, 32- and 64-bit mode with the
// registers of the mode's pointer size: what the code computes is the oracle.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct RegProgram {
  std::string name;
  int mode;
  std::string source;
  std::vector<std::pair<int, uint64_t>> regs;  // register number, value after the run
};

std::ostream& operator<<(std::ostream& os, const RegProgram& p) { return os << p.name << "/" << p.mode; }

// "%a" and the like become the registers of the mode's pointer size, "%T"
// the unsigned type of that size and "%S" the signed one.
std::string expand(std::string text, int mode) {
  const int i = mode == 16 ? 0 : mode == 32 ? 1 : 2;
  const std::pair<const char*, const char*> names[][3] = {
      {{"%si", "si"}, {"%si", "esi"}, {"%si", "rsi"}}, {{"%di", "di"}, {"%di", "edi"}, {"%di", "rdi"}},
      {{"%bp", "bp"}, {"%bp", "ebp"}, {"%bp", "rbp"}}, {{"%sp", "sp"}, {"%sp", "esp"}, {"%sp", "rsp"}},
      {{"%a", "ax"}, {"%a", "eax"}, {"%a", "rax"}},    {{"%b", "bx"}, {"%b", "ebx"}, {"%b", "rbx"}},
      {{"%c", "cx"}, {"%c", "ecx"}, {"%c", "rcx"}},    {{"%d", "dx"}, {"%d", "edx"}, {"%d", "rdx"}},
      {{"%T", "word"}, {"%T", "dword"}, {"%T", "qword"}}, {{"%S", "int16"}, {"%S", "int32"}, {"%S", "int64"}},
  };
  for (const auto& row : names) {
    const auto& [from, to] = row[i];
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
      text.replace(at, std::string_view(from).size(), to);
  }
  return text;
}

std::vector<RegProgram> programs() {
  std::vector<RegProgram> v;
  for (int mode : {16, 32, 64}) {
    const uint64_t mask = mode == 16 ? 0xFFFF : mode == 32 ? 0xFFFFFFFFu : ~0ull;
    auto add = [&](const char* name, const std::string& source, std::vector<std::pair<int, uint64_t>> regs) {
      for (auto& r : regs) r.second &= mask;
      v.push_back({name, mode, expand(source, mode) + "\nret\n", std::move(regs)});
    };
    add("ZeroClears", "mov %a, 5\n%a = 0;", {{rAX, 0}});
    add("NotZeroIsAllOnes", "%a = ~0;", {{rAX, ~0ull}});
    add("NegPrefix", "mov %b, 5\n%a = -%b;", {{rAX, uint64_t(-5)}});
    add("NotPrefix", "mov %b, 5\n%a = ~%b;\n%c = !%b;", {{rAX, ~5ull}, {rCX, ~5ull}});
    add("NegativeNumber", "%a = -7;", {{rAX, uint64_t(-7)}});
    add("Chain", "mov %b, 10\nmov %c, 3\n%a = %b + 5 - %c + %b;", {{rAX, 22}});
    add("AddAndSubtract", "mov %a, 10\n%a += 5;\n%a -= 3;", {{rAX, 12}});
    add("IncrementAndDecrement", "mov %a, 10\n%a++;\n%a++;\n%a--;", {{rAX, 11}});
    add("Multiply", "mov %a, 6\nmov %b, 7\n%a *= %b;\nmov %c, -6\n%c *= 7;",
        {{rAX, 42}, {rCX, uint64_t(-42)}});
    // A variable of the register's size, wherever it lies, is the r/m
    // operand of the two-operand imul.
    add("MultiplyByVariables",
        "%T gm = 3;\n%T am[3] = [5, 7, 11];\nblock MRec {\n  %T pad;\n  %T m;\n}\nMRec mr;\n"
        "procedure Mul {\n  %T lm;\n  mov lm, 2\n  %a *= lm;\n}\nmov mr.m, 13\nmov %a, 1\nMul();\n"
        "%a *= gm;\n%a *= am[1];\n%a *= mr.m;" +
            std::string(mode == 16 ? "" : "\nmov %c, 2\n%a *= am[%c];"),
        {{rAX, mode == 16 ? 2 * 3 * 7 * 13 : 2 * 3 * 7 * 13 * 11}});
    add("ShiftLeft", "mov %a, 3\n%a << 4;", {{rAX, 48}});
    add("ShiftRightOfAnUnsignedRegister", "mov %a, -16\n%a >> 2;", {{rAX, (mask & uint64_t(-16)) >> 2}});
    add("ShiftRightOfASignedRegister", "mov %a, -16\n[%S] %a >> 2;", {{rAX, uint64_t(-4)}});
    add("Logic", "mov %a, 0xF0\n%a &= 0x3C;\n%a |= 1;\n%a ^= 0x10;", {{rAX, 0x21}});
    add("CompareSetsTheFlags", "mov %a, 5\n%a == 5;\n%b = zero_flag;\n%a != 6;\n%c = zero_flag;",
        {{rBX, 1}, {rCX, 0}});
    add("FlagSources", "mov %a, 1\ncmp %a, 2\n%b = carry_flag;\n%c = !carry_flag;\n%d = -carry_flag;",
        {{rBX, 1}, {rCX, 0}, {rDX, ~0ull}});
    // The registers without a low byte that setcc reaches: loaded whole, and
    // the flags and the registers whose bytes share their numbers stay.
    add("FlagsIntoSiDiBp",
        "mov %b, 0x7777\nmov %d, 0x7777\nmov %si, 0x55\nmov %di, 0x55\nmov %a, 1\ncmp %a, 2\n"
        "%si = carry_flag;\n%di = !carry_flag;\n%bp = -carry_flag;\n%c = carry_flag;",
        {{rSI, 1}, {rDI, 0}, {rBP, ~0ull}, {rCX, 1}, {rBX, 0x7777}, {rDX, 0x7777}});
    add("CarryIntoAx", "mov %a, 0\nmov ax, 0xFFFF\nstc\nax = carry_flag;\nclc\ncx = carry_flag;", {{rAX, 1}, {rCX, 0}});
    add("MemoryStatements",
        "mov %b, 0x8000\n%T [%b] = 40;\n%T [%b] += 2;\n%T [%b]++;\n%T [%b] -= 1;\n%T [%b] << 1;\n%T [%b]--;\n"
        "%T [%b] >> 1;\nmov %a, [%b]\n%T [%b] == 41;\n%c = zero_flag;",
        {{rAX, 41}, {rCX, 1}});
    add("UsesRestoresInReverse", "mov %b, 5\nmov %si, 6\nuses %b, %si, flags;\nmov %b, 1\nmov %si, 2\nstc\nret",
        {{rBX, 5}, {rSI, 6}});
    add("ConditionalValues", "mov %c, 0\n%a = (%c == 0) ? 1 : 2;\nmov %c, 5\n%b = if (%c == 0) 1 : 2;",
        {{rAX, 1}, {rBX, 2}});
    add("ConditionalValuesWithJoins",
        "mov %c, 3\nmov %d, 9\n%a = ((%c == 3) or (%d == 5)) ? 10 : 20;\n%b = ((%c == 3) and (%d == 5)) ? 10 : 20;\n"
        "%si = ((%c == 4) or (%d == 9)) ? -%c : ~%d;\n%di = ((%c == 4) or (%d == 8)) ? -%c : ~%d;",
        {{rAX, 10}, {rBX, 20}, {rSI, uint64_t(-3)}, {rDI, ~9ull}});
    add("ConditionalValuesOneSided", "mov %a, 7\nmov %b, 7\nmov %c, 1\n%a = (%c == 1) ? 5;\n%b = (%c == 1) : 6;\n"
        "mov %si, 7\n%si = (%c == 2) ? 5;\n",
        {{rAX, 5}, {rBX, 7}, {rSI, 7}});
    // A conditional value inside blocks jumps to its own targets, not to the
    // enclosing blocks' ones: the loop ends, the if goes on.
    add("ConditionalValuesInsideBlocks",
        "mov %c, 3\nmov %a, 1\nwhile (1 == 1) {\n if (%a == 1) {\n  %b = ((%c == 3) or (%d == 5)) ? 1 : 2;\n"
        "  %si = ((%c == 4) and (%d == 0)) ? 1 : 2;\n  %di = 9;\n }\n break;\n}",
        {{rBX, 1}, {rSI, 2}, {rDI, 9}});
    if (mode != 16) {
      // No stack-pointer base in 16-bit addressing.
      add("IncrementOfTheStackTop", "push 5\n%T [%sp]++;\n%T [%sp]++;\n%T [%sp]--;\npop %a", {{rAX, 6}});
    }
    // A store through DS = 0x100 lands 0x1000 bytes up.
    if (mode == 16)
      add("SegmentLoad", "mov ax, 0x100\nds = ax;\nmov bx, 0x10\nword [bx] = 7;\nxor ax, ax\nds = ax;\nmov si, 0x1010\nmov cx, [si]",
          {{rCX, 7}});
    if (mode == 64) {
      add("FlagsIntoR8AndR9", "mov r8, -1\nmov r9, -1\nstc\nr8 = carry_flag;\nclc\nr9 = !carry_flag;\nrax = carry_flag;",
          {{r8, 1}, {r9, 1}, {rAX, 0}});
      // A doubleword widens into a 64-bit register by the register's sign:
      // zero-extended unless typed signed.
      add("DoublewordsIntoQwordRegisters",
          "mov rbx, 0x8000\nmov dword [rbx], -3\nmov rax, -1\nmov rax, dword [rbx]\nmov r9, -1\nmov r9, dword [rbx]\n"
          "[int64] rcx = dword [rbx];\n[int64] rdx = ecx;\nmov r10, -1\n[int64] r10 = dword [rbx];\nrsi = ecx;",
          {{rAX, 0xFFFFFFFDull}, {r9, 0xFFFFFFFDull}, {rCX, uint64_t(-3)}, {rDX, uint64_t(-3)}, {r10, uint64_t(-3)},
           {rSI, 0xFFFFFFFDull}});
    }
  }
  return v;
}

class FlatRegisterStatements : public ::testing::TestWithParam<RegProgram> {};

TEST_P(FlatRegisterStatements, ComputeTheirResults) {
  const RegProgram& p = GetParam();
  const FlatRun r = runFlat(p.source, p.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (const auto& [reg, value] : p.regs) EXPECT_EQ(r.reg(reg), value) << "register " << reg << "\n" << p.source;
  EXPECT_EQ(r.reg(rSP) & (p.mode == 16 ? 0xFFFF : ~0ull), flatStackTop(p.mode));
}

INSTANTIATE_TEST_SUITE_P(EveryMode, FlatRegisterStatements, ::testing::ValuesIn(programs()),
                         [](const ::testing::TestParamInfo<RegProgram>& info) {
                           return info.param.name + "_" + std::to_string(info.param.mode);
                         });

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// An assignment of a value of every integer width to a destination of every
// width, in every place a destination can lie: a member reached through a
// register typed with "as", a sized memory operand on a register, a member
// of a record variable, an element indexed by a register, a local's member
// (from a global and from another local), and a register. A narrower value
// widens by the destination's sign, a wider one gives its low bytes with the
// truncation warning, the same in every place and mode. Each destination is
// filled with a pattern first, so a store of too few bytes shows; what it
// holds is then copied into a result slot.
struct WidthType {
  const char* name;
  unsigned size;
  bool sign;
  const char* unsignedName;  // of the same size
};
constexpr WidthType kWidthTypes[] = {
    {"byte", 1, false, "byte"},   {"int8", 1, true, "byte"},    {"word", 2, false, "word"},
    {"int16", 2, true, "word"},   {"dword", 4, false, "dword"}, {"int32", 4, true, "dword"},
    {"qword", 8, false, "qword"}, {"int64", 8, true, "qword"},
};

uint64_t lowBits(uint64_t v, unsigned size) { return size >= 8 ? v : v & ((uint64_t{1} << (8 * size)) - 1); }

// The pattern a source of the type holds: its top bit set.
uint64_t sourceBits(const WidthType& t) { return lowBits(0x8A7B6C5D4E3F2011ull, t.size) | (uint64_t{1} << (8 * t.size - 1)); }

struct WidthSweep {
  int mode;
  std::string text;
  std::vector<std::pair<std::string, uint64_t>> slots;  // what, expected (low bytes of the destination)
  std::vector<unsigned> widths;
  size_t truncations = 0;
};

WidthSweep widthSweep(int mode) {
  WidthSweep s{mode, {}, {}, {}, 0};
  const auto inMode = [&](const WidthType& t) { return t.size < 8 || mode == 64; };
  const std::string si = expand("%si", mode), bx = expand("%b", mode), cx = expand("%c", mode), di = expand("%di", mode);
  // The record: every member in a slot of 8 bytes, destinations and sources.
  std::string rec = "block Slots {\n", globals, sweep;
  unsigned offset = 0;
  std::vector<std::pair<std::string, unsigned>> offsets;
  for (const char* role : {"d_", "s_"})
    for (const WidthType& t : kWidthTypes) {
      if (!inMode(t)) continue;
      rec += "  " + std::string(t.name) + " " + role + t.name + ";\n  byte pad_" + role + t.name + "[" +
             std::to_string(8 - t.size + 1) + "];\n";
      offsets.emplace_back(role + std::string(t.name), offset);
      offset += 9;
    }
  rec += "}\n";
  auto offsetOf = [&](const std::string& m) {
    for (const auto& [name, at] : offsets)
      if (name == m) return at;
    return 0u;
  };
  for (const WidthType& t : kWidthTypes) {
    if (!inMode(t)) continue;
    globals += std::string(t.name) + " g_" + t.name + " = " + std::to_string(sourceBits(t)) + ";\n" + t.name +
               " arr_" + t.name + "[3];\n";
  }
  const uint64_t fill = 0xA5A5A5A5A5A5A5A5ull;
  for (const WidthType& d : kWidthTypes) {
    if (!inMode(d)) continue;
    const std::string member = std::string("d_") + d.name;
    struct Place {
      const char* what;
      std::string dest;
      bool fromLocal;
    };
    std::vector<Place> places{
        {"a member through a typed register", si + "." + member, false},
        {"a member of a record variable", "rec." + member, false},
        {"a member of a local", "l." + member, false},
        {"a member of a local, from a local", "l." + member, true},
    };
    // A sized memory operand has no sign of its own.
    if (!d.sign)
      places.push_back({"a sized memory operand", std::string(d.name) + " [" + bx + " + " +
                                                      std::to_string(offsetOf(member)) + "]", false});
    // 16-bit addresses have no scaled index, nor CX in them.
    if (mode != 16) places.push_back({"an element indexed by a register", std::string("arr_") + d.name + "[" + cx + "]", false});
    const bool registerTarget = d.size <= static_cast<unsigned>(mode / 8) && (mode != 16 || d.size <= 2);
    for (const WidthType& src : kWidthTypes) {
      if (!inMode(src)) continue;
      uint64_t expected = sourceBits(src);
      if (src.size < d.size && d.sign && (expected >> (8 * src.size - 1)) != 0) expected |= ~lowBits(~0ull, src.size);
      expected = lowBits(expected, d.size);
      const bool cut = src.size > d.size;
      const std::string global = std::string("g_") + src.name, local = std::string("l.s_") + src.name;
      for (const Place& p : places) {
        const std::string k = std::to_string(8 * s.slots.size());
        const std::string value = p.fromLocal ? local : global;
        // Fill, assign, copy the destination's bytes into the slot.
        if (d.size == 8)
          sweep += "mov r9, " + std::to_string(fill) + "\nmov " + p.dest + ", r9\n";
        else
          sweep += "mov " + p.dest + ", " + std::to_string(lowBits(fill, d.size)) + "\n";
        sweep += p.dest + " = " + value + ";\n" + d.unsignedName + " [" + di + " + " + k + "] = " + p.dest + ";\n";
        s.slots.emplace_back(std::string(p.what) + ": " + p.dest + " = " + value, expected);
        s.widths.push_back(d.size);
        if (cut) ++s.truncations;
      }
      if (registerTarget) {
        // The register of the destination's size, typed with its sign.
        const char* names[] = {"bl", "bx", "ebx", "rbx"};
        const std::string reg = names[d.size == 1 ? 0 : d.size == 2 ? 1 : d.size == 4 ? 2 : 3];
        for (const bool fromLocal : {false, true}) {
          const std::string value = fromLocal ? local : global;
          const std::string k = std::to_string(8 * s.slots.size());
          sweep += "push " + bx + "\n[" + d.name + "] " + reg + " = " + value + ";\nmov [" + di + " + " + k + "], " +
                   reg + "\npop " + bx + "\n";
          s.slots.emplace_back("a register: " + reg + " = " + value, expected);
          s.widths.push_back(d.size);
          if (cut) ++s.truncations;
        }
      }
    }
  }
  // The local's sources copied from the globals, moves of equal size.
  std::string init;
  for (const WidthType& t : kWidthTypes)
    if (inMode(t)) init += std::string("l.s_") + t.name + " = g_" + t.name + ";\n";
  // The data the program writes lies a page away from its code: the
  // emulator tracks writes into pages that hold code.
  s.text = rec + "byte gap[4096];\nSlots rec;\n" + globals + "qword res[" + std::to_string(s.slots.size() + 1) + "];\n" +
           "procedure Sweep {\nSlots l;\n" + init + "mov " + si + ", @rec\n" + si + " as Slots;\nmov " + bx +
           ", @rec\nmov " + cx + ", 1\nmov " + di + ", @res\n" + sweep + "}\nSweep();\nret\n";
  return s;
}

class AssignmentWidths : public ::testing::TestWithParam<int> {};

TEST_P(AssignmentWidths, WidenByTheDestinationOrKeepTheLowBytes) {
  const WidthSweep s = widthSweep(GetParam());
  const FlatRun r = runFlat(s.text, s.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  const uint64_t res = r.reg(rDI);
  for (size_t k = 0; k < s.slots.size(); ++k)
    EXPECT_EQ(r.read(res + 8 * k, s.widths[k]), s.slots[k].second) << s.slots[k].first;
  size_t warnings = 0;
  for (size_t at = r.compile.out.find("Operand 2 has been truncated to fit into operand 1"); at != std::string::npos;
       at = r.compile.out.find("Operand 2 has been truncated to fit into operand 1", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, s.truncations) << "one warning for every value cut to its destination";
  EXPECT_EQ(r.reg(rSP) & (s.mode == 16 ? 0xFFFF : ~0ull), flatStackTop(s.mode));
}

INSTANTIATE_TEST_SUITE_P(EveryMode, AssignmentWidths, ::testing::Values(16, 32, 64),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "bit"; });

}  // namespace
}  // namespace vorak::test
