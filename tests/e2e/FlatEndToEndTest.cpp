// Sources compiled by the executable with the FLAT builder and run in the
// emulator at address 0: what the program computes is the oracle, not the
// bytes we expect to have written.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

std::string repeat(const std::string& line, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += line;
  return s;
}

struct Program {
  const char* name;
  int mode;
  std::string source;
  std::vector<std::pair<int, uint64_t>> regs;  // register number, value after the run
};

std::ostream& operator<<(std::ostream& os, const Program& p) { return os << p.name << "/" << p.mode; }

class FlatPrograms : public ::testing::TestWithParam<Program> {};

TEST_P(FlatPrograms, RunToTheirReturnWithTheExpectedRegisters) {
  if (!kHaveFlatEmulator) GTEST_SKIP() << "no Unicorn";
  const Program& p = GetParam();
  const FlatRun r = runFlat(p.source, p.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (const auto& [reg, value] : p.regs) EXPECT_EQ(r.reg(reg), value) << "register " << reg;
  // Every run returns to its caller: the stack is as it was.
  EXPECT_EQ(r.reg(rSP) & (p.mode == 16 ? 0xFFFF : ~0ull), flatStackTop(p.mode));
}

// The same programs in every mode, with the mode's register names.
std::vector<Program> programs() {
  std::vector<Program> v;
  for (int mode : {16, 32, 64}) {
    const std::string a = mode == 16 ? "ax" : mode == 32 ? "eax" : "rax";
    const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
    const std::string c = mode == 16 ? "cx" : mode == 32 ? "ecx" : "rcx";
    v.push_back({"StraightLine", mode, "mov " + a + ", 5\nmov " + b + ", " + a + "\nadd " + b + ", 3\nret\n",
                 {{rAX, 5}, {rBX, 8}}});
    v.push_back({"ForwardJumpSkipsCode", mode,
                 "mov " + a + ", 1\njmp over\nmov " + a + ", 2\nover:\nadd " + a + ", 10\nret\n", {{rAX, 11}}});
    v.push_back({"BackwardConditionalJumpLoops", mode,
                 "mov " + c + ", 5\nmov " + a + ", 0\nagain:\nadd " + a + ", 2\ndec " + c + "\njnz again\nret\n",
                 {{rAX, 10}, {rCX, 0}}});
    v.push_back({"LoopInstruction", mode,
                 "mov " + c + ", 4\nxor " + a + ", " + a + "\nagain:\ninc " + a + "\nloop again\nret\n", {{rAX, 4}}});
    // Targets out of reach of one byte take the near forms.
    v.push_back({"NearForwardJump", mode,
                 "mov " + a + ", 1\njmp far\n" + repeat("inc " + a + "\n", 100) + "far:\nret\n", {{rAX, 1}}});
    v.push_back({"NearConditionalJumps", mode,
                 "mov " + a + ", 0\nmov " + b + ", 0\nback:\ncmp " + a + ", 1\nje far\n" + repeat("nop\n", 200) +
                     "far:\ninc " + a + "\ncmp " + a + ", 3\njne back\n" + repeat("nop\n", 130) + "inc " + b + "\nret\n",
                 {{rAX, 3}, {rBX, 1}}});
    v.push_back({"CallsToLabelsForwardAndBack", mode,
                 "jmp start\nhalve:\nshr " + a + ", 1\nret\nstart:\nmov " + a + ", 3\ncall twice\ncall twice\ncall halve\n"
                 "ret\ntwice:\nadd " + a + ", " + a + "\nret\n",
                 {{rAX, 6}}});
    v.push_back({"JumpOverCallBetweenLabels", mode,
                 "mov " + b + ", 0\ncall one\ncall two\nret\none:\ninc " + b + "\njmp done\ntwo:\nadd " + b +
                     ", 10\ndone:\nret\n",
                 {{rBX, 11}}});
  }
  // A label's address as an operand, then an indirect call through it: the
  // label stands behind the 2-byte short jump.
  v.push_back({"LabelAddressCalled", 32, "jmp start\ntarget:\nmov ebx, 7\nret\nstart:\nmov eax, target\ncall eax\nret\n",
               {{rAX, 2}, {rBX, 7}}});
  v.push_back({"LabelAddressCalled", 64, "jmp start\ntarget:\nmov ebx, 7\nret\nstart:\nmov rax, target\ncall rax\nret\n",
               {{rAX, 2}, {rBX, 7}}});
  // The count-register jumps: jecxz in 32- and 64-bit code, jcxz in 16-bit code.
  v.push_back({"JecxzTakenWhenZero", 32, "mov eax, 1\nxor ecx, ecx\njecxz skip\nmov eax, 2\nskip:\nret\n", {{rAX, 1}}});
  v.push_back({"JecxzNotTakenOtherwise", 32, "mov eax, 1\nmov ecx, 3\njecxz skip\nmov eax, 2\nskip:\nret\n", {{rAX, 2}}});
  v.push_back({"JecxzTakenWhenZero", 64, "mov eax, 1\nxor ecx, ecx\njecxz skip\nmov eax, 2\nskip:\nret\n", {{rAX, 1}}});
  v.push_back({"JcxzTakenWhenZero", 16, "mov ax, 1\nxor cx, cx\njcxz skip\nmov ax, 2\nskip:\nret\n", {{rAX, 1}}});
  v.push_back({"JcxzUsesCxOnly", 32, "mov eax, 1\nmov ecx, 0x10000\njcxz skip\nmov eax, 2\nskip:\nret\n", {{rAX, 1}}});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Modes, FlatPrograms, ::testing::ValuesIn(programs()),
                         [](const ::testing::TestParamInfo<Program>& info) {
                           return std::string(info.param.name) + "_" + std::to_string(info.param.mode);
                         });

// The bytes where a choice is made: read back with the layout the source
// implies (the header emits no code), not from a dump of our own output.
// A jump takes exactly the bytes of its form; nothing fills up behind it.
TEST(FlatEndToEnd, JumpsTakeTheShortFormWithinReachAndTheNearFormBeyond) {
  // mov eax, 1 (5 bytes), then the jump at offset 5.
  const FlatRun shortJump = runFlat("mov eax, 1\njmp over\nnop\nover:\nret\n", 32);
  ASSERT_TRUE(shortJump.built) << shortJump.compile.out;
  EXPECT_EQ(shortJump.image,
            (std::vector<uint8_t>{0xB8, 1, 0, 0, 0, 0xEB, 1, 0x90, 0xC3}));  // over the one nop

  const FlatRun nearJump = runFlat("mov eax, 1\njz over\n" + repeat("nop\n", 200) + "over:\nret\n", 32);
  ASSERT_TRUE(nearJump.built) << nearJump.compile.out;
  ASSERT_EQ(nearJump.image.size(), 5u + 6u + 200u + 1u);
  EXPECT_EQ(nearJump.image[5], 0x0F);
  EXPECT_EQ(nearJump.image[6], 0x84);
  EXPECT_EQ(nearJump.read(7, 4), 200u);  // the jump ends at 11, the 200 nops follow
  EXPECT_EQ(nearJump.image[11], 0x90);
  EXPECT_EQ(nearJump.image[211], 0xC3);

  // In 16-bit code the near forms carry a 2-byte displacement; mov ax, 1 is
  // 3 bytes there.
  const FlatRun near16 = runFlat("mov ax, 1\njmp over\n" + repeat("nop\n", 200) + "over:\nret\n", 16);
  ASSERT_TRUE(near16.built) << near16.compile.out;
  ASSERT_EQ(near16.image.size(), 3u + 3u + 200u + 1u);
  EXPECT_EQ(near16.image[3], 0xE9);
  EXPECT_EQ(near16.read(4, 2), 200u);
}

TEST(FlatEndToEnd, LoopTargetsOutOfShortReachStopWithAClearMessage) {
  const FlatRun r = runFlat("mov ecx, 3\nagain:\n" + repeat("nop\n", 130) + "loop again\nret\n", 32);
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  EXPECT_NE(r.compile.out.find("PlugSys: FLAT: the fixup at offset 135 of rtlmain: the target of loop is -132 bytes "
                               "away; it has only a short form, which reaches -128 to 127 bytes"),
            std::string::npos)
      << r.compile.out;
}

TEST(FlatEndToEnd, JcxzDoesNotExistIn64BitCode) {
  const FlatRun r = runFlat("jcxz skip\nskip:\nret\n", 64);
  EXPECT_FALSE(r.built);
  EXPECT_NE(r.compile.out.find("PlugSys: FLAT: the fixup at offset 0 of rtlmain: jcxz does not exist in 64-bit mode"),
            std::string::npos)
      << r.compile.out;
}

TEST(FlatEndToEnd, ALabelNeverPlacedIsReportedAtItsFirstReference) {
  const FlatRun r = runFlat("nop\njmp nowhere\nret\n", 32);
  EXPECT_FALSE(r.built);
  EXPECT_NE(r.compile.out.find("[4,11]: [00012] Label nowhere does not exist! in [p.vor]"), std::string::npos)
      << r.compile.out;
}

TEST(FlatEndToEnd, OnlyReachableCodeIsLaidOutAndMainComesFirst) {
  // rtlmain holds all the top-level code; with nothing else reachable the
  // image is exactly its bytes.
  const FlatRun r = runFlat("mov eax, 2\nret\n", 32);
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(r.image, (std::vector<uint8_t>{0xB8, 0x02, 0x00, 0x00, 0x00, 0xC3}));
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// The project the README's main command compiles.
TEST(FlatEndToEnd, ExampleProjectComputesItsResults) {
  if (!kHaveFlatEmulator) GTEST_SKIP() << "no Unicorn";
  TempDir dir;
  std::filesystem::copy_file(VORAK_SOURCE_DIR "/examples/sum.vor", dir.path() + "/sum.vor");
  FlatRun run;
  run.compile = runVorak({dir.path() + "/sum.vor", "-nopause"}, dir.path(), RunOptions{std::vector<std::string>{shippedPlugin("flat")}});
  ASSERT_EQ(run.compile.exitCode, 0) << run.compile.out;
  std::ifstream in(dir.path() + "/sum.bin", std::ios::binary);
  run.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ASSERT_FALSE(run.image.empty());
#ifdef VORAK_HAVE_UNICORN
  emulateFlat(run, 32);
#endif
  ASSERT_TRUE(run.finished) << run.fault << " at " << run.pc;
  // The source writes no NOP, and the image holds none.
  if (kHaveDisassembler) {
    EXPECT_TRUE(nopsIn(run.image, 32).empty());
  }
  EXPECT_EQ(run.reg(rAX), 55u);   // 1 + 2 + ... + 10
  EXPECT_EQ(run.reg(rBX), 120u);  // 5!
  EXPECT_EQ(run.reg(rCX), 0u);
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Constants and enumeration items used as operands become their values.
TEST(FlatEndToEnd, ConstantsAndEnumerationItemsAsOperands) {
  if (!kHaveFlatEmulator) GTEST_SKIP() << "no Unicorn";
  const FlatRun r = runFlat(
      "const K = 5;\n"
      "const UNUSED = 77;\n"
      "enum E : dword { a = 1, b, c };\n"
      "mov eax, K\n"
      "add eax, c\n"
      "mov ebx, b\n"
      "ret\n",
      32);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 8u);
  EXPECT_EQ(r.reg(rBX), 2u);
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// A negative number fills the whole register; a large positive one does not.
TEST(FlatEndToEnd, NegativeImmediatesFillTheRegister) {
  if (!kHaveFlatEmulator) GTEST_SKIP() << "no Unicorn";
  FlatRun r = runFlat("mov rax, -1\nmov rbx, 0xFFFFFFFF\nmov rcx, -2\nadd rcx, -3\nmov rdx, 5\nsub rdx, -1\nret\n", 64);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), ~0ull);
  EXPECT_EQ(r.reg(rBX), 0xFFFFFFFFull);
  EXPECT_EQ(r.reg(rCX), static_cast<uint64_t>(-5));
  EXPECT_EQ(r.reg(rDX), 6u);
  r = runFlat("mov eax, -1\nmov ebx, -128\nadd ebx, -1\nret\n", 32);
  ASSERT_TRUE(r.finished) << r.compile.out << r.fault;
  EXPECT_EQ(r.reg(rAX) & 0xFFFFFFFF, 0xFFFFFFFFu);
  EXPECT_EQ(r.reg(rBX) & 0xFFFFFFFF, static_cast<uint32_t>(-129));
  r = runFlat("mov ax, -1\nmov bx, -2\nret\n", 16);
  ASSERT_TRUE(r.finished) << r.compile.out << r.fault;
  EXPECT_EQ(r.reg(rAX) & 0xFFFF, 0xFFFFu);
  EXPECT_EQ(r.reg(rBX) & 0xFFFF, 0xFFFEu);
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Instructions x86 does not have, or that would mean another one than
// written, stop the compile at their line with the encoder's reason.
TEST(FlatEndToEnd, InstructionsThatWouldMeanAnotherOneAreRefusedAtTheirLine) {
  struct Case {
    int mode;
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {32, "fadd mm2", "[3,8]: [9999] Operand 1 is invalid in [p.vor]"},
      {32, "movq st0, st3", "[3,13]: [9999] Operand 1 is invalid in [p.vor]"},
      {32, "movntq [ebx+4], st3", "[3,19]: [9999] Operand 2 is invalid in [p.vor]"},
      {64, "pslld st0, 5", "[3,12]: [9999] Operand 1 is invalid in [p.vor]"},
      {64, "add rax, 0xFFFFFFFF", "[3,19]: [9999] Operand size mismatch! in [p.vor]"},
      {64, "push 2147483648", "[3,15]: [9999] Operand size mismatch! in [p.vor]"},
      {32, "push byte [ebx]",
       "[3,15]: [9999] A single byte cannot be pushed: push takes whole stack words in [p.vor]"},
  };
  for (const Case& c : cases) {
    const FlatRun r = runFlat(std::string(c.line) + "\nret\n", c.mode);
    EXPECT_FALSE(r.built) << c.line;
    EXPECT_NE(r.compile.out.find(c.message), std::string::npos) << c.line << "\n" << r.compile.out;
  }
  // The same registers where they belong.
  for (const char* line : {"fadd st2", "movq mm0, mm3", "movntq [ebx+4], mm3", "pslld mm0, 5"}) {
    const FlatRun r = runFlat(std::string(line) + "\nret\n", 32, FlatOptions{{}, {}, 1});
    EXPECT_TRUE(r.built) << line << "\n" << r.compile.out;
  }
}

}  // namespace
}  // namespace vorak::test
