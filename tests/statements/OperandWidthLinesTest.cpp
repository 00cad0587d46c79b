// Instruction lines whose operand widths come from the source text alone: a
// number's token width as the address of lea, a bracket without a size, a
// register wider than the byte setcc writes. Each program is compiled on its
// own and Capstone reads the code back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "statements/CompileFixture.h"
#include "support/EncoderFixture.h"

namespace vorak::test {
namespace {

class OperandWidthLines : public CompileTest {
 protected:
  struct Built {
    bool ok = false;
    std::string printed;
    std::vector<Decoded> code;
  };
  Built build(int bits, const std::string& lines) {
    reset();
    Built b;
    write("p.vor", "program TEST;\n#set bits " + std::to_string(bits) + "\n" + lines + "\n");
    b.printed = captureStdout([&] {
      try {
        Compiler->LoadProject(dir() + "/p.vor");
        Compiler->Compile();
        b.ok = true;
      } catch (const EAbort&) {
      }
    });
    if (b.ok) b.code = decodeAll(code(), bits);
    return b;
  }
};

// lea with a number loads the number, whatever width its token has: 5 and
// -4 are one-byte tokens, 4096 a two-byte one, a constant has none.
TEST_F(OperandWidthLines, LeaOfANumberLoadsTheNumber) {
  struct Case {
    const char* lines;
    uint32_t value;
  };
  const Case cases[] = {{"lea eax, 4096", 4096},        {"lea eax, 5", 5},
                        {"lea eax, -4", 0xFFFFFFFC},    {"lea ecx, 0xFFFF", 0xFFFF},
                        {"lea edi, 100000", 100000},    {"const K = 4096;\nlea eax, K", 4096},
                        {"lea esp, 0", 0},              {"lea ebx, -2147483648", 0x80000000}};
  for (int bits : {32, 64}) {
    for (const Case& c : cases) {
      const Built b = build(bits, c.lines);
      const std::string label = std::string(c.lines) + " in " + std::to_string(bits) + "-bit code";
      ASSERT_TRUE(b.ok) << label << "\n" << b.printed;
      ASSERT_EQ(b.code.size(), 1u) << label;
      const Decoded& d = b.code[0];
      EXPECT_EQ(d.mnemonic, "lea") << label;
      ASSERT_EQ(d.ops.size(), 2u) << label << ": " << d.text;
      // No base: in 64-bit code not RIP either.
      EXPECT_EQ(d.ops[1].kind, DecodedOperand::Mem) << label << ": " << d.text;
      EXPECT_EQ(d.ops[1].base, "") << label << ": " << d.text;
      EXPECT_EQ(d.ops[1].index, "") << label << ": " << d.text;
      EXPECT_EQ(static_cast<uint32_t>(d.ops[1].disp), c.value) << label << ": " << d.text;
    }
  }
  // The form with a 2-byte token, byte for byte.
  ASSERT_TRUE(build(32, "lea eax, 4096").ok);
  EXPECT_EQ(hexBytes(code()), "8D 05 00 10 00 00");
}

// A bracket without a size, written in the source, takes the width of its
// group in the mode.
TEST_F(OperandWidthLines, AnUnsizedBracketTakesTheWidthOfItsGroup) {
  struct Case {
    int bits;
    const char* line;
    const char* mnemonic;
    unsigned width;
  };
  const Case cases[] = {
      {16, "not [bx]", "not", 2},     {16, "div [bx]", "div", 2},   {16, "inc [bx]", "inc", 2},
      {16, "imul [bx]", "imul", 2},   {16, "push [bx]", "push", 2}, {16, "shl [si], 1", "shl", 2},
      {32, "neg [esi]", "neg", 4},    {32, "inc [esi]", "inc", 4},  {32, "push [esi]", "push", 4},
      {64, "inc [rbx]", "inc", 4},    {64, "idiv [rbx]", "idiv", 4}, {64, "bt [rbx], 3", "bt", 4},
      {64, "imul [rbx]", "imul", 8},  {64, "push [rbx]", "push", 8}, {64, "pop [rbx]", "pop", 8},
      {64, "jmp [rbx]", "jmp", 8},
  };
  for (const Case& c : cases) {
    const Built b = build(c.bits, c.line);
    const std::string label = std::string(c.line) + " in " + std::to_string(c.bits) + "-bit code";
    ASSERT_TRUE(b.ok) << label << "\n" << b.printed;
    ASSERT_EQ(b.code.size(), 1u) << label;
    EXPECT_EQ(b.code[0].mnemonic, c.mnemonic) << label;
    ASSERT_FALSE(b.code[0].ops.empty()) << label;
    EXPECT_EQ(b.code[0].ops[0].size, c.width) << label << ": " << b.code[0].text;
  }
}

// setcc of a register wider than a byte writes its low byte.
TEST_F(OperandWidthLines, SetccOfAWideRegisterWritesItsLowByte) {
  struct Case {
    int bits;
    const char* line;
    const char* text;  // nullptr: refused
  };
  const Case cases[] = {
      {64, "setg rax", "setg al"},   {64, "setg r9", "setg r9b"}, {64, "sete r15", "sete r15b"},
      {64, "setl rsi", "setl sil"},  {64, "setg esp", "setg spl"}, {64, "setg eax", "setg al"},
      {32, "setg esi", nullptr},     {16, "setg sp", nullptr},      {32, "setg r9", nullptr},
  };
  for (const Case& c : cases) {
    const Built b = build(c.bits, c.line);
    const std::string label = std::string(c.line) + " in " + std::to_string(c.bits) + "-bit code";
    if (!c.text) {
      EXPECT_FALSE(b.ok) << label;
      EXPECT_NE(b.printed.find("[9999]"), std::string::npos) << label << "\n" << b.printed;
      continue;
    }
    ASSERT_TRUE(b.ok) << label << "\n" << b.printed;
    ASSERT_EQ(b.code.size(), 1u) << label;
    EXPECT_EQ(b.code[0].text, c.text) << label;
  }
}

// --- a number against the width of its operand ---------------------------------

// Where a number meets an operand of w bytes, and the message each place
// gives one too wide for it: {R} a register of w bytes, {T} the type of w
// bytes, {X} a signed variable type of w bytes, {B} the mode's base register,
// {V} the number.
struct NumberPlace {
  const char* text;
  const char* code;
};
const NumberPlace kNumberPlaces[] = {
    {"mov {R}, {V}", "[9999]"},
    {"add {R}, {V}", "[9999]"},
    {"{R} = {V};", "[124412]"},
    {"{R} += {V};", "[124412]"},
    {"{T} [{B}] = {V};", "[124412]"},
    {"{X} x;\nx ^= {V};", "[65158]"},
    {"{X} x;\nx += {V};", "[65158]"},
    {"if ({R} == {V}) { nop }", "[124412]"},
    {"{X} x;\nif (x == {V}) { nop }", "[124412]"},
    {"case ({R}) { state {V}: nop }", "[124412]"},
};

// Where the number comes from: the lines before the place, and what stands
// for the number in it.
struct NumberSource {
  const char* before;
  const char* name;
};
const NumberSource kNumberSources[] = {
    {"", "{V}"},
    {"const K = {V};\n", "K"},
    {"#define K {V};\n", "K"},
    {"$k = {V};\n", "$k"},
    {"enum E : int64 { K = {V} }\n", "K"},
};

std::string substitute(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

// A number as written, and the 64-bit value it is.
struct Written {
  std::string text;
  int64_t value;
};

// Numbers at the edges of w bytes, in decimal, and the two hexadecimal
// numbers whose low bits read as small negative numbers: 0xFFFFFFFF is
// 4294967295, 0xFFFFFFFFFFFFFF80 (64 bits) is -128.
std::vector<Written> edgesOf(uint32_t w) {
  const int64_t half = int64_t{1} << (8 * w - 1), whole = int64_t{1} << (8 * w);
  std::vector<Written> v;
  for (int64_t x : {-half - 1, -half, int64_t{-1}, whole - 1, whole}) v.push_back({std::to_string(x), x});
  v.push_back({"0xFFFFFFFF", 0xFFFFFFFFLL});
  v.push_back({"0xFFFFFFFFFFFFFF80", -128});
  return v;
}

bool holds(int64_t v, uint32_t w) { return v >= -(int64_t{1} << (8 * w - 1)) && v <= (int64_t{1} << (8 * w)) - 1; }

// Every place, in 16-, 32- and 64-bit code, with operands of every width
// the mode names: a number is taken when it fits the width as a signed or an
// unsigned number, and its bits are in the code (Capstone); any other stops
// with the place's own message and the encoder's "Operand size mismatch!".
// Every source of a number (a literal, const, #define, a macro variable, an
// enumeration item) gives the same: all the edges for a literal, one number
// on each side of the edge for the others.
TEST_F(OperandWidthLines, ANumberFitsItsOperandAsASignedOrAnUnsignedNumberWhereverItComesFrom) {
  const char* regs[] = {"bl", "bx", "ebx"};
  const char* types[] = {"byte", "word", "dword"};
  const char* signedTypes[] = {"sbyte", "short", "int32"};
  size_t taken = 0, refused = 0;
  for (int bits : {16, 32, 64}) {
    const char* base = bits == 16 ? "bx" : bits == 32 ? "ebx" : "rbx";
    // 16-bit code names no 32-bit register.
    for (uint32_t i = 0; i < (bits == 16 ? 2u : 3u); ++i) {
      const uint32_t w = 1u << i;
      const std::vector<Written> edges = edgesOf(w);
      for (const NumberPlace& place : kNumberPlaces) {
        std::string line = substitute(substitute(substitute(substitute(place.text, "{R}", regs[i]), "{T}", types[i]), "{X}", signedTypes[i]),
                                "{B}", base);
        for (const NumberSource& source : kNumberSources) {
          const bool literal = source.before[0] == '\0';
          for (size_t k = 0; k < edges.size(); ++k) {
            const Written& n = edges[k];
            // One number either side of the edge for a source other than a
            // literal: the least of w bytes and one above the greatest.
            if (!literal && k != 1 && k != 4) continue;
            const std::string program = substitute(source.before, "{V}", n.text) + substitute(line, "{V}", source.name);
            const std::string text = substitute(program, "{V}", n.text);
            const Built b = build(bits, text);
            const std::string label = text + "\nin " + std::to_string(bits) + "-bit code";
            if (!holds(n.value, w)) {
              EXPECT_FALSE(b.ok) << label;
              EXPECT_NE(b.printed.find(std::string(place.code) + " Operand size mismatch!"), std::string::npos)
                  << label << "\n" << b.printed;
              ++refused;
              continue;
            }
            ASSERT_TRUE(b.ok) << label << "\n" << b.printed;
            const uint64_t mask = (uint64_t{1} << (8 * w)) - 1;
            bool found = false;
            for (const Decoded& d : b.code)
              for (const DecodedOperand& o : d.ops)
                found = found || (o.kind == DecodedOperand::Imm && (static_cast<uint64_t>(o.imm) & mask) ==
                                                                        (static_cast<uint64_t>(n.value) & mask));
            EXPECT_TRUE(found) << label << ": " << hexBytes(code());
            ++taken;
          }
        }
      }
    }
  }
  // 10 places; 6 pairs of a mode and a width of 1 or 2 bytes, with 4 of 7
  // literals and 4 of 8 numbers of the other sources taken; 2 of 4 bytes,
  // with 5 of 7 and 4 of 8.
  EXPECT_EQ(taken, 10u * (6 * (4 + 4) + 2 * (5 + 4)));
  EXPECT_EQ(refused, 10u * (6 * (3 + 4) + 2 * (2 + 4)));
}

}  // namespace
}  // namespace vorak::test
