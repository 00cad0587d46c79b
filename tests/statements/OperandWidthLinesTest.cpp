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

}  // namespace
}  // namespace vorak::test
