// Sources compiled by the executable with the FLAT builder and run in the
// emulator at address 0: what the program computes is the oracle, not the
// bytes we expect to have written.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e/CodeRunner.h"
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

uint32_t mixedMarker(int mode) { return 0x40u + static_cast<uint32_t>(mode); }

// One part of a file that changes mode, as a boot loader does: near and
// short jumps both ways, the loop and count-register jumps the mode has, and
// a call of a function whose locals room needs the long form of its "sub".
// The part starts after its marker; its registers end as mixedPartRegs says.
std::string mixedPart(int mode) {
  const std::string m = std::to_string(mode);
  const std::string a = mode == 16 ? "ax" : mode == 32 ? "eax" : "rax";
  const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
  const std::string c = mode == 16 ? "cx" : mode == 32 ? "ecx" : "rcx";
  const std::string d = mode == 16 ? "dx" : mode == 32 ? "edx" : "rdx";
  const std::string w = mode == 16 ? "word" : mode == 32 ? "dword" : "qword";
  // 200, 240 and 320 bytes of locals: more than an 8-bit immediate holds.
  const std::string room = mode == 16 ? "100" : mode == 32 ? "60" : "40";
  std::string s = "#set bits " + m + "\n";
  s += "function Big" + m + "(" + w + " x): " + w + " {\n" + w + " buf[" + room + "];\nmov " + a + ", x\nmov buf[30], " +
       a + "\nadd " + a + ", buf[30]\nadd " + a + ", 1\n}\n";
  s += markerLine(mixedMarker(mode), mode);
  // The part is entered with ECX = 0x10000 (16-bit code cannot name ECX):
  // jecxz sees it, jcxz sees only the zero low half.
  s += "xor " + d + ", " + d + "\njecxz n" + m + "\nadd " + d + ", 3\nn" + m + ":\n";
  if (mode != 64) s += "jcxz t" + m + "\nadd " + d + ", 4000\nt" + m + ":\n";
  s += "mov " + a + ", 5\nxor " + b + ", " + b + "\n";
  s += "if (" + a + " != 5) {\n#repeat 50:\nadd " + b + ", 1\n#end\n}\n";
  s += "if (" + a + " == 5) {\n#repeat 50:\nadd " + b + ", 2\n#end\n}\n";
  s += "mov " + c + ", 2\nwhile (" + c + " != 0) {\n#repeat 50:\nadd " + d + ", 1\n#end\ndec " +
       c + "\n}\n";
  s += "cmp " + a + ", 5\nje s" + m + "\nadd " + d + ", 1000\ns" + m + ":\n";
  s += "mov " + c + ", 3\nl" + m + ":\nadd " + d + ", 10\nloop l" + m + "\n";
  // 16-bit code clears only CX: the high half entered set stays.
  if (mode != 16) s += "xor " + c + ", " + c + "\njecxz z" + m + "\nadd " + d + ", 1000\nz" + m + ":\n";
  if (mode != 64) s += "mov " + c + ", 1\njcxz u" + m + "\nadd " + d + ", 5\nu" + m + ":\n";
  s += "Big" + m + "(3);\nmov " + c + ", 7\nret\n";
  return s;
}

TEST(FlatEndToEnd, EachPartOfAFileThatChangesModeRunsInItsOwnMode) {
  // The file ends in 64-bit mode, and in 16-bit mode: each part must be laid
  // out in the mode it was compiled in, not the one the file ends in.
  for (const std::vector<int>& order : {std::vector<int>{16, 32, 64}, std::vector<int>{64, 32, 16}}) {
    std::string project = "program FLAT;\n";
    for (int mode : order) project += mixedPart(mode);
    const std::string label = std::to_string(order[0]) + "-" + std::to_string(order[1]) + "-" + std::to_string(order[2]);
    const FlatRun r = runFlatProject(project, order[0]);
    EXPECT_TRUE(r.built) << label << "\n" << r.compile.out;
    if (!r.built) continue;
    uint64_t from = 0;
    for (int mode : order) {
      const uint64_t start = afterMarker(r.image, mixedMarker(mode), mode, from);
      ASSERT_NE(start, 0u) << label << ": the marker of the " << mode << "-bit part";
      from = start;
      CodeRunner run(r.image, mode);
      ASSERT_TRUE(run.ok());
      const CodeRunner::Result res = run.call(start, {{rCX, 0x10000}});
      ASSERT_TRUE(res.returned) << label << ", " << mode << "-bit part: " << res.fault;
      const uint64_t mask = mode == 16 ? 0xFFFF : ~0ull;
      EXPECT_EQ(res.reg(rAX) & mask, 7u) << label << ", " << mode << "-bit part: the function's result";
      EXPECT_EQ(res.reg(rBX) & mask, 100u) << label << ", " << mode << "-bit part: the near forward jumps";
      EXPECT_EQ(res.reg(rCX) & mask, 7u) << label << ", " << mode << "-bit part: the code after the last call";
      // 3 from jecxz not taken, 100 from the loop with a near backward
      // jump, 30 from loop, 5 from jcxz not taken where it exists.
      EXPECT_EQ(res.reg(rDX) & mask, mode == 64 ? 133u : 138u) << label << ", " << mode << "-bit part: the short jumps";
    }
  }
}

TEST(FlatEndToEnd, LoopTargetsOutOfShortReachStopWithAClearMessage) {
  const FlatRun r = runFlat("mov ecx, 3\nagain:\n" + repeat("nop\n", 130) + "loop again\nret\n", 32);
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  // The build runs after the compile: the message names the function and
  // offset, and no source line (the reader stands at the end by then).
  EXPECT_NE(r.compile.out.find("\nPlugSys: FLAT: the fixup at offset 135 of rtlmain: the target of loop is -132 bytes "
                               "away; it has only a short form, which reaches -128 to 127 bytes\n"),
            std::string::npos)
      << r.compile.out;
  EXPECT_EQ(r.compile.out.find("Code:"), std::string::npos) << r.compile.out;
}

// In 16-bit code jecxz tests all of ECX: only its 67 prefix tells it from
// jcxz, which takes the jump when the low half alone is zero. 16-bit code
// cannot name ECX, so the runner sets it.
TEST(FlatEndToEnd, JecxzIn16BitCodeTestsAllOfEcx) {
  const FlatRun r = runFlat("mov ax, 1\njecxz skip\nmov ax, 2\nskip:\nret\n", 16);
  ASSERT_TRUE(r.built) << r.compile.out;
  CodeRunner run(r.image, 16);
  ASSERT_TRUE(run.ok());
  for (const auto& [ecx, ax] : {std::pair<uint64_t, uint64_t>{0, 1}, {0x10000, 2}, {0x10001, 2}}) {
    const CodeRunner::Result res = run.call(0, {{rCX, ecx}});
    ASSERT_TRUE(res.returned) << res.fault;
    EXPECT_EQ(res.reg(rAX) & 0xFFFF, ax) << "ecx " << ecx;
  }
}

// 64-bit code has no jcxz: it is refused at its own line, as every row the
// mode lacks, in the main program and in a function alike.
TEST(FlatEndToEnd, JcxzDoesNotExistIn64BitCode) {
  const FlatRun r = runFlat("jcxz skip\nskip:\nret\n", 64);
  EXPECT_FALSE(r.built);
  EXPECT_NE(r.compile.out.find("[3,9]: [9999] Instruction not available in 64 bit mode! in [p.vor]"), std::string::npos)
      << r.compile.out;
  const FlatRun inFunction = runFlat("procedure p {\nxor ecx, ecx\njcxz skip\nnop\nskip:\n}\np();\nret\n", 64);
  EXPECT_FALSE(inFunction.built);
  EXPECT_NE(inFunction.compile.out.find("[5,9]: [9999] Instruction not available in 64 bit mode! in [p.vor]"),
            std::string::npos)
      << inFunction.compile.out;
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
  TempDir dir;
  std::filesystem::copy_file(VORAK_SOURCE_DIR "/examples/sum.vor", dir.path() + "/sum.vor");
  FlatRun run;
  run.compile = runVorak({dir.path() + "/sum.vor", "-nopause"}, dir.path(), RunOptions{std::vector<std::string>{shippedPlugin("flat")}});
  ASSERT_EQ(run.compile.exitCode, 0) << run.compile.out;
  std::ifstream in(dir.path() + "/sum.bin", std::ios::binary);
  run.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ASSERT_FALSE(run.image.empty());
  emulateFlat(run, 32);
  ASSERT_TRUE(run.finished) << run.fault << " at " << run.pc;
  // The source writes no NOP, and the image holds none.
  EXPECT_TRUE(nopsIn(run.image, 32).empty());
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
