// Record members of every integer type, reached through every kind of field
// path (a global, a nested record, a member array, a local, a register told
// the record's type, a register loaded with a record's address, an array of
// records), compiled with the FLAT builder and run in the emulator in 16-,
// 32- and 64-bit code. Each record holds a signed and an unsigned member of
// one size with the same bits; the branch every comparison takes is checked
// against the comparison of the values the members hold, and the loads that
// widen a member against its value extended by its own sign.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct IntType {
  const char* name;
  unsigned size;
  bool isSigned;
  const char* other;  // the type of the same size and the other sign
};

constexpr IntType kTypes[] = {
    {"int8", 1, true, "byte"},  {"int16", 2, true, "word"},  {"int32", 4, true, "dword"},
    {"int64", 8, true, "qword"}, {"byte", 1, false, "int8"}, {"word", 2, false, "int16"},
    {"dword", 4, false, "int32"}, {"qword", 8, false, "int64"},
};

constexpr uint64_t kResults = 0x9000;  // where the programs write what they found

uint64_t maskOf(unsigned bytes) { return bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1; }

// The bits of a member of `size` bytes read as a number of its sign, and that
// number put into `width` bytes.
uint64_t extended(uint64_t bits, unsigned size, bool isSigned, unsigned width) {
  uint64_t v = bits & maskOf(size);
  if (isSigned && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~maskOf(size);
  return v & maskOf(width);
}

enum Rel { Lower, LowerEqual, Higher, HigherEqual };
constexpr const char* kRelText[] = {"<", "<=", ">", ">="};

// Whether the member's bits, read with its sign, stand in rel to rhs (0 or a
// small positive number).
bool holds(uint64_t bits, unsigned size, bool isSigned, Rel rel, uint64_t rhs) {
  const uint64_t v = bits & maskOf(size);
  int cmp;
  if (isSigned) {
    const auto s = static_cast<int64_t>(extended(v, size, true, 8));
    cmp = s < static_cast<int64_t>(rhs) ? -1 : s > static_cast<int64_t>(rhs) ? 1 : 0;
  } else {
    cmp = v < rhs ? -1 : v > rhs ? 1 : 0;
  }
  switch (rel) {
    case Lower: return cmp < 0;
    case LowerEqual: return cmp <= 0;
    case Higher: return cmp > 0;
    case HigherEqual: return cmp >= 0;
  }
  return false;
}

std::string reg(const char* base, int mode) {
  return std::string(mode == 16 ? "" : mode == 32 ? "e" : "r") + base;
}
std::string sizedRegister(char letter, unsigned size) {
  const std::string l(1, letter);
  switch (size) {
    case 1: return l + "l";
    case 2: return l + "x";
    case 4: return "e" + l + "x";
    default: return "r" + l + "x";
  }
}

// The immediate that stores bits into a member: the pattern itself, or -5
// for 8 bytes (a move of 8 bytes takes a sign-extended 32-bit immediate).
std::string storeValue(uint64_t bits, unsigned size) {
  if (size == 8) return std::to_string(static_cast<int64_t>(bits));
  return std::to_string(bits & maskOf(size));
}

// One result byte the program writes, and what it must be.
struct Check {
  std::string what;
  uint64_t expected;
  unsigned width = 1;
};

struct Program {
  std::string text;
  std::vector<Check> checks;  // check k is at kResults + k * 8
};

// The checks of one access path: path(member) is the operand that names
// the member ("x", signed or not as `other`, or "y", of the tested type).
template <typename PathFn>
void comparisons(std::string& code, std::vector<Check>& checks, const IntType& t, const std::string& label,
                 PathFn path, int mode) {
  const std::string di = reg("di", mode);
  const std::string rhsRegister = sizedRegister('c', t.size);
  for (const char* member : {"x", "y"}) {
    const bool isSigned = member[0] == 'y' ? t.isSigned : !t.isSigned;
    const std::string m = path(member);
    for (const int64_t value : {int64_t{-5}, int64_t{5}}) {
      const auto bits = static_cast<uint64_t>(value);
      code += "mov " + m + ", " + storeValue(bits, t.size) + "\n";
      for (const Rel rel : {Lower, LowerEqual, Higher, HigherEqual}) {
        for (const int rhsKind : {0, 1, 2}) {
          // 16-bit code names no 32-bit register.
          if (rhsKind == 2 && t.size > static_cast<unsigned>(mode / 8)) continue;
          const uint64_t rhs = rhsKind == 0 ? 0 : 3;
          const std::string rhsText = rhsKind == 2 ? rhsRegister : std::to_string(rhs);
          const size_t k = checks.size();
          if (rhsKind == 2) code += "mov " + rhsRegister + ", 3\n";
          code += "if (" + m + " " + kRelText[rel] + " " + rhsText + ") { byte [" + di + " + " +
                  std::to_string(k * 8) + "] = 1; }\n";
          const std::string sign = isSigned ? "signed" : "unsigned";
          checks.push_back({label + ": " + m + " = " + std::to_string(value) + " (" + sign + "), " + m + " " +
                                kRelText[rel] + " " + rhsText,
                            holds(bits, t.size, isSigned, rel, rhs) ? 1u : 0u});
        }
      }
      // A conditional value compares the same way.
      const size_t k = checks.size();
      code += reg("ax", mode) + " = (" + m + " < 3) ? 1 : 2;\nmov byte [" + di + " + " + std::to_string(k * 8) +
              "], al\n";
      checks.push_back({label + ": " + reg("ax", mode) + " = (" + m + " < 3) ? 1 : 2 with " + m + " = " +
                            std::to_string(value),
                        holds(bits, t.size, isSigned, Lower, 3) ? 1u : 2u});
    }
  }
}

Program comparisonProgram(const IntType& t, int mode) {
  Program p;
  const std::string si = reg("si", mode);
  std::string main, locals;
  const std::string T = t.name, O = t.other;
  main += "mov " + reg("di", mode) + ", " + std::to_string(kResults) + "\n";
  comparisons(main, p.checks, t, "global", [](const std::string& m) { return "g." + m; }, mode);
  comparisons(main, p.checks, t, "nested", [](const std::string& m) { return "nq.a." + m; }, mode);
  comparisons(main, p.checks, t, "member array", [](const std::string& m) { return "g." + m + "s[2]"; }, mode);
  if (mode != 16) {
    // 16-bit addressing has no scaled index.
    main += "mov " + reg("dx", mode) + ", 1\n";
    comparisons(main, p.checks, t, "member array by register",
                [&](const std::string& m) { return "g." + m + "s[" + reg("dx", mode) + "]"; }, mode);
  }
  main += "mov " + si + ", @g\n" + si + " as Pt;\n";
  comparisons(main, p.checks, t, "register as Pt", [&](const std::string& m) { return si + "." + m; }, mode);
  main += si + " as 0;\n" + si + " = @g;\n";
  comparisons(main, p.checks, t, "register loaded with @g", [&](const std::string& m) { return si + "." + m; },
              mode);
  main += "mov " + si + ", @arr\n" + si + " as Pt;\nadd " + si + ", sizeof Pt\n";
  comparisons(main, p.checks, t, "second record of an array through a register",
              [&](const std::string& m) { return si + "." + m; }, mode);
  main += si + " as 0;\n";
  comparisons(locals, p.checks, t, "local", [](const std::string& m) { return "l." + m; }, mode);
  p.text = "block Pt {\n  " + O + " x;\n  " + T + " y;\n  " + O + " xs[3];\n  " + T + " ys[3];\n}\n" +
           "block Nest {\n  Pt a;\n  byte b;\n}\n" + "Pt g;\nPt arr[3];\nNest nq;\n" +
           "procedure Locals {\n  Pt l;\n" + locals + "}\n" + main + "Locals();\nret\n";
  return p;
}

// Loads that widen a member of 1 or 2 bytes into a larger place: the value
// handed back by return (widened by the sign of the function's type), a
// conditional value handed back by return, a member copied into a wider
// member of the same sign, and a right shift of the member.
Program wideningProgram(const IntType& t, int mode) {
  Program p;
  const unsigned word = static_cast<unsigned>(mode / 8);
  const std::string T = t.name, O = t.other;
  const std::string di = reg("di", mode), si = reg("si", mode), ax = reg("ax", mode);
  const std::string wideSigned = "int32", wideUnsigned = "dword";
  const uint64_t bits = static_cast<uint64_t>(int64_t{-6});
  std::string functions, main;
  main += "mov " + di + ", " + std::to_string(kResults) + "\n";
  auto slot = [&](size_t k) { return "[" + di + " + " + std::to_string(k * 8) + "]"; };
  for (const char* member : {"x", "y"}) {
    const bool isSigned = member[0] == 'y' ? t.isSigned : !t.isSigned;
    const std::string sign = isSigned ? "signed" : "unsigned";
    const std::string m(member);
    const std::string store = storeValue(bits, t.size);
    auto expect = [&](const std::string& what, uint64_t value, unsigned width) {
      p.checks.push_back({what + " (" + sign + " " + m + ")", value, width});
    };
    // return of a global's member, a register path, a local's member and a
    // conditional value.
    const std::pair<std::string, std::string> returns[] = {
        {"Global", "g." + m},
        {"Register", si + "." + m},
        {"Local", "l." + m},
        {"Choice", "(1 == 1) ? g." + m + " : 0"},
    };
    // A return widens by the sign of the function's type, as a variable of
    // that type takes a narrower value.
    for (const char* type : {"sysword", "sysint"})
      for (const auto& [name, value] : returns) {
        functions += "function " + name + m + type + ": " + type + " {\n";
        if (name == "Register") functions += "  mov " + si + ", @g\n  " + si + " as Pt;\n";
        if (name == "Local") functions += "  Pt l;\n  mov l." + m + ", " + store + "\n";
        functions += "  return " + value + ";\n}\n";
      }
    main += "mov g." + m + ", " + store + "\n";
    for (const char* type : {"sysword", "sysint"})
      for (const auto& [name, value] : returns) {
        const size_t k = p.checks.size();
        main += name + m + type + "();\nmov " + slot(k) + ", " + ax + "\n";
        expect("return " + value + " in a " + type + " function", extended(bits, t.size, type[3] == 'i', word),
               word);
      }
    // A copy into the wider member of the same sign, read back a word at a
    // time (16-bit code names no 32-bit register).
    {
      const size_t k = p.checks.size();
      const unsigned wide = 2 * t.size + (m == "x" ? 0 : 4);
      main += "g.w" + m + " = g." + m + ";\nmov " + si + ", @g\n";
      for (unsigned half = 0; half < 4; half += 2)
        main += "mov ax, word [" + si + " + " + std::to_string(wide + half) + "]\nmov word [" + di + " + " +
                std::to_string(k * 8 + half) + "], ax\n";
      expect("g.w" + m + " = g." + m, extended(bits, t.size, isSigned, 4), 4);
    }
    // A shift to the right: arithmetic for a signed member.
    {
      const size_t k = p.checks.size();
      const std::string r = sizedRegister('c', t.size);
      main += "g." + m + " >> 1;\nmov " + r + ", g." + m + "\nmov " + slot(k) + ", " + r + "\n";
      const auto value = static_cast<int64_t>(extended(bits, t.size, true, 8));
      const uint64_t shifted = isSigned ? static_cast<uint64_t>(value >> 1) : (bits & maskOf(t.size)) >> 1;
      expect("g." + m + " >> 1", shifted & maskOf(t.size), t.size);
      main += "mov g." + m + ", " + store + "\n";
    }
    // A register loaded from the member widens as from a variable of the
    // member's type (each load with the register's assumption cleared: a
    // load leaves the type of what it read assumed for the register).
    {
      const size_t k = p.checks.size();
      main += ax + " as 0;\n" + ax + " = g." + m + ";\nmov " + slot(k) + ", " + ax + "\n";
      const size_t k2 = k + 1;
      main += ax + " as 0;\n" + ax + " = v" + m + ";\nmov " + slot(k2) + ", " + ax + "\n";
      // Width 0: the two results are compared with each other.
      p.checks.push_back({"", 0, 0});
      p.checks.push_back({"", 0, 0});
    }
  }
  p.text = "block Pt {\n  " + O + " x;\n  " + T + " y;\n  " + (t.isSigned ? wideUnsigned : wideSigned) + " wx;\n  " +
           (t.isSigned ? wideSigned : wideUnsigned) + " wy;\n}\nPt g;\n" + O + " vx = " + storeValue(bits, t.size) +
           ";\n" + T + " vy = " + storeValue(bits, t.size) + ";\n" + functions + main + "ret\n";
  return p;
}

struct Case {
  IntType type;
  int mode;
};

std::vector<Case> cases(bool widening) {
  std::vector<Case> v;
  for (const int mode : {16, 32, 64})
    for (const IntType& t : kTypes) {
      if (t.size == 8 && mode != 64) continue;  // no 8-byte operands outside 64-bit code
      if (widening && (t.size > 2 || t.size >= static_cast<unsigned>(mode / 8))) continue;
      v.push_back({t, mode});
    }
  return v;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.type.name << " in " << c.mode << "-bit code"; }

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.type.name) + "_" + std::to_string(info.param.mode);
}

FlatRun build(const Program& p, int mode) {
  FlatRun r = runFlat(p.text, mode);
  EXPECT_TRUE(r.built) << r.compile.out << "\n" << p.text;
  EXPECT_TRUE(!r.built || r.finished) << r.fault << " at " << r.pc;
  return r;
}

class SignedMemberComparisons : public ::testing::TestWithParam<Case> {};

TEST_P(SignedMemberComparisons, BranchAsTheMembersValuesCompare) {
  const Case& c = GetParam();
  const Program p = comparisonProgram(c.type, c.mode);
  const FlatRun r = build(p, c.mode);
  if (!r.finished) return;
  for (size_t k = 0; k < p.checks.size(); ++k)
    EXPECT_EQ(r.read(kResults + k * 8, 1), p.checks[k].expected) << p.checks[k].what;
}

INSTANTIATE_TEST_SUITE_P(EveryTypeAndMode, SignedMemberComparisons, ::testing::ValuesIn(cases(false)), caseName);

class SignedMemberWidening : public ::testing::TestWithParam<Case> {};

TEST_P(SignedMemberWidening, ExtendsByTheMembersSign) {
  const Case& c = GetParam();
  const Program p = wideningProgram(c.type, c.mode);
  const FlatRun r = build(p, c.mode);
  if (!r.finished) return;
  const unsigned word = static_cast<unsigned>(c.mode / 8);
  for (size_t k = 0; k < p.checks.size(); ++k) {
    if (p.checks[k].width == 0) {
      // The member and the plain variable of its type, both loaded into the
      // accumulator, give the same value.
      EXPECT_EQ(r.read(kResults + k * 8, word), r.read(kResults + (k + 1) * 8, word))
          << "ax = g.member against ax = a variable of the member's type, check " << k;
      ++k;
      continue;
    }
    EXPECT_EQ(r.read(kResults + k * 8, p.checks[k].width), p.checks[k].expected) << p.checks[k].what;
  }
}

INSTANTIATE_TEST_SUITE_P(SmallTypesEveryMode, SignedMemberWidening, ::testing::ValuesIn(cases(true)), caseName);

}  // namespace
}  // namespace vorak::test
