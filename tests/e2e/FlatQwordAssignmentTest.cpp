// Assignments to 8-byte variables in 64-bit code, compiled with the FLAT
// builder and run in the emulator: every integer source width and sign into
// a qword and an int64 (a global, a record member, a member reached through
// a register typed with "as", an element indexed by RAX, a local with and
// without the frame), and numbers at the edges of the
// sign-extended 32-bit immediate and of 64 bits. Each destination is filled
// with a pattern first, so a store of fewer than 8 bytes shows; the value
// expected is the source extended by the destination's sign, or the number's
// own 64 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

struct IntType {
  const char* name;
  unsigned size;
};

constexpr IntType kSources[] = {{"int8", 1},  {"byte", 1},  {"int16", 2}, {"word", 2},
                                {"int32", 4}, {"dword", 4}, {"int64", 8}, {"qword", 8}};

constexpr uint64_t kResults = 0x100000;  // where the programs copy what they stored
constexpr uint64_t kFill = 0xA5A5A5A5A5A5A5A5ull;
// RAX indexes the element destination; RCX and RDX are the other scratch
// candidates. None of them may change unless m2m_reg allows the accumulator.
constexpr uint64_t kRax = 1, kRcx = 0x1111111111111111ull, kRdx = 0x2222222222222222ull;

uint64_t maskOf(unsigned bytes) { return bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1; }

uint64_t extended(uint64_t bits, unsigned size, bool isSigned) {
  uint64_t v = bits & maskOf(size);
  if (isSigned && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~maskOf(size);
  return v;
}

// Bit patterns of a source: -3, the lowest signed value (the top bit alone)
// and a positive one.
std::vector<uint64_t> patterns(unsigned size) {
  const uint64_t top = 1ull << (8 * size - 1);
  return {static_cast<uint64_t>(int64_t{-3}) & maskOf(size), top, 0x6162636465666768ull & maskOf(size) & ~top};
}

// The numbers assigned, as written: the edges of the sign-extended 32-bit
// immediate, 2^31, 2^32 - 1, 2^32, the 64-bit edges and negative values.
struct Number {
  const char* text;
  uint64_t bits;
};

const Number kNumbers[] = {
    {"0", 0},
    {"-5", static_cast<uint64_t>(int64_t{-5})},
    {"2147483647", 0x7FFFFFFF},
    {"-2147483648", 0xFFFFFFFF80000000ull},
    {"2147483648", 0x80000000},
    {"2189762897", 2189762897},
    {"-2147483649", 0xFFFFFFFF7FFFFFFFull},
    {"4294967295", 0xFFFFFFFF},
    {"4294967296", 0x100000000ull},
    {"0x123456789ABCDEF0", 0x123456789ABCDEF0ull},
    {"9223372036854775807", 0x7FFFFFFFFFFFFFFFull},
    {"-9223372036854775808", 0x8000000000000000ull},
    {"-81985529216486895", static_cast<uint64_t>(int64_t{-81985529216486895})},
    {"0xFFFFFFFFFFFFFFFF", ~0ull},
};

enum class Dest { Global, Member, TypedRegister, Element, LocalFrame, LocalNoFrame };

struct Case {
  Dest dest;
  bool m2m;
};

const char* destName(Dest d) {
  switch (d) {
    case Dest::Global: return "Global";
    case Dest::Member: return "Member";
    case Dest::TypedRegister: return "TypedRegister";
    case Dest::Element: return "Element";
    case Dest::LocalFrame: return "LocalWithFrame";
    case Dest::LocalNoFrame: return "LocalWithoutFrame";
  }
  return "";
}

void PrintTo(const Case& c, std::ostream* os) { *os << destName(c.dest) << (c.m2m ? " with m2m_reg" : ""); }

struct Check {
  std::string what;
  uint64_t expected;
};

struct Program {
  std::string text;
  std::vector<Check> checks;  // check k is at kResults + k * 8
};

std::string hex(uint64_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int i = 60; i >= 0; i -= 4) s += digits[(v >> i) & 15];
  return s;
}

// The name of the source variable of a type and pattern; locals get "l".
std::string sourceName(const IntType& t, size_t p, bool local) {
  return std::string(local ? "l_" : "g_") + t.name + "_" + std::to_string(p);
}

Program program(const Case& c) {
  Program p;
  const bool local = c.dest == Dest::LocalFrame || c.dest == Dest::LocalNoFrame;
  auto destOf = [&](bool isSigned) -> std::string {
    switch (c.dest) {
      case Dest::Global: return isSigned ? "gsi" : "gun";
      case Dest::Member: return isSigned ? "rec.s" : "rec.u";
      case Dest::TypedRegister: return isSigned ? "rbx.s" : "rbx.u";
      case Dest::Element: return isSigned ? "sa[rax]" : "ua[rax]";
      default: return isSigned ? "ls" : "lu";
    }
  };
  // The data the program writes lies a page away from its code: the
  // emulator tracks writes into pages that hold code.
  std::string globals = "block R {\n  dword pad;\n  qword u;\n  int64 s;\n}\nbyte gap[4096];\nR rec;\nqword gun;\nint64 gsi;\n"
                        "qword ua[3];\nint64 sa[3];\n";
  std::string body;
  // The destination filled, the assignment, then what it holds copied out.
  auto assign = [&](const std::string& dest, const std::string& value, const std::string& what, uint64_t expected) {
    const size_t k = p.checks.size();
    body += "mov r9, " + hex(kFill) + "\nmov " + dest + ", r9\n" + dest + " = " + value + ";\nmov r8, " + dest +
            "\nmov [rdi + " + std::to_string(k * 8) + "], r8\n";
    p.checks.push_back({what, expected});
  };
  for (const bool isSigned : {false, true}) {
    const std::string dest = destOf(isSigned);
    for (const bool fromLocal : {false, true}) {
      if (fromLocal && !local) continue;
      for (const IntType& t : kSources) {
        const std::vector<uint64_t> bits = patterns(t.size);
        for (size_t i = 0; i < bits.size(); ++i)
          assign(dest, sourceName(t, i, fromLocal), dest + " = " + sourceName(t, i, fromLocal) + " (" + hex(bits[i]) + ")",
                 extended(bits[i], t.size, isSigned));
      }
    }
    for (const Number& n : kNumbers) assign(dest, n.text, dest + " = " + n.text, n.bits);
    // A conditional value stores its number the same way (a memory operand
    // takes none).
    if (c.dest == Dest::TypedRegister) continue;
    assign(dest, "(rdi != 0) ? 0x123456789 : 7", dest + " = (true) ? 0x123456789 : 7", 0x123456789ull);
    assign(dest, "(rdi == 0) ? 7 : -4294967296", dest + " = (false) ? 7 : -4294967296",
           static_cast<uint64_t>(int64_t{-4294967296}));
  }
  // The global sources, and the locals copied from them.
  std::string localDecls, localInit;
  for (const IntType& t : kSources) {
    const std::vector<uint64_t> bits = patterns(t.size);
    for (size_t i = 0; i < bits.size(); ++i) {
      const std::string value = t.size == 8 ? std::to_string(static_cast<int64_t>(bits[i])) : std::to_string(bits[i]);
      globals += std::string(t.name) + " " + sourceName(t, i, false) + " = " + value + ";\n";
      localDecls += "  " + std::string(t.name) + " " + sourceName(t, i, true) + ";\n";
      localInit += sourceName(t, i, true) + " = " + sourceName(t, i, false) + ";\n";
    }
  }
  std::string main = "mov rdi, " + std::to_string(kResults) + "\nmov rax, " + std::to_string(kRax) + "\nmov rcx, " +
                     hex(kRcx) + "\nmov rdx, " + hex(kRdx) + "\nmov rbx, @rec\nrbx as R;\n";
  std::string text = "#set m2m_reg " + std::string(c.m2m ? "1" : "0") + "\n" + globals;
  if (local) {
    text += std::string(c.dest == Dest::LocalNoFrame ? "#set frame 0\n" : "") + "procedure Locals {\n  qword lu;\n  int64 ls;\n" +
            localDecls + localInit + body + "}\n";
    main += "Locals();\n";
  } else {
    main += body;
  }
  // The registers after it all, behind the checks.
  const size_t k = p.checks.size();
  main += "mov [rdi + " + std::to_string(k * 8) + "], rax\nmov [rdi + " + std::to_string(k * 8 + 8) +
          "], rcx\nmov [rdi + " + std::to_string(k * 8 + 16) + "], rdx\nret\n";
  p.text = text + main;
  return p;
}

class QwordAssignment : public ::testing::TestWithParam<Case> {};

TEST_P(QwordAssignment, StoresAllEightBytes) {
  const Case& c = GetParam();
  const Program p = program(c);
  const FlatRun r = runFlat(p.text, 64);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (size_t k = 0; k < p.checks.size(); ++k)
    EXPECT_EQ(hex(r.read(kResults + k * 8, 8)), hex(p.checks[k].expected)) << p.checks[k].what;
  const uint64_t after = kResults + p.checks.size() * 8;
  // RAX changes only where m2m_reg lets the moves use it.
  if (!c.m2m) {
    EXPECT_EQ(r.read(after, 8), kRax) << "rax";
  }
  EXPECT_EQ(hex(r.read(after + 8, 8)), hex(kRcx)) << "rcx";
  EXPECT_EQ(hex(r.read(after + 16, 8)), hex(kRdx)) << "rdx";
  EXPECT_EQ(r.reg(rSP), flatStackTop(64)) << "the stack is as it was";
}

std::vector<Case> cases() {
  std::vector<Case> v;
  for (const bool m2m : {false, true})
    for (const Dest d :
         {Dest::Global, Dest::Member, Dest::TypedRegister, Dest::Element, Dest::LocalFrame, Dest::LocalNoFrame})
      v.push_back({d, m2m});
  return v;
}

INSTANTIATE_TEST_SUITE_P(EveryDestination, QwordAssignment, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(destName(info.param.dest)) + (info.param.m2m ? "_m2m" : "");
                         });

}  // namespace
}  // namespace vorak::test
