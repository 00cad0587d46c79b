// The code shapes of conditions and control statements, read back by
// Capstone from the built image: jumps name the instruction they reach
// ("#k"), the builder's padding is left out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/CodeRunner.h"

namespace vorak::test {
namespace {

struct Shape {
  const char* name;
  std::string source;  // 32-bit code; a ret is appended
  std::vector<std::string> code;
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

class ControlShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(ControlShapes, DisassembleToTheirShape) {
  if (!kHaveDisassembler) GTEST_SKIP() << "no Capstone";
  const Shape& s = GetParam();
  const FlatRun r = runFlat(s.source + "\nret\n", 32);
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(shapeOf(r.image, 32, 0, r.image.size()), s.code);
}

const Shape kShapes[] = {
    {"IfElseifElse",
     "if (eax == 1) { inc ebx } elseif (eax == 2) { inc ecx } else { inc edx }",
     {"cmp eax, 1", "jne #4", "inc ebx", "jmp #9", "cmp eax, 2", "jne #8", "inc ecx", "jmp #9", "inc edx", "ret"}},
    {"OrJumpsIntoTheBody",
     "if ((eax == 1) or (ebx == 2)) { inc ecx }",
     {"cmp eax, 1", "je #4", "cmp ebx, 2", "jne #5", "inc ecx", "ret"}},
    {"AndJumpsToElse",
     "if ((eax == 1) and (ebx == 2)) { inc ecx } else { inc edx }",
     {"cmp eax, 1", "jne #6", "cmp ebx, 2", "jne #6", "inc ecx", "jmp #7", "inc edx", "ret"}},
    {"WhileTestsFirst", "while (ecx != 0) { dec ecx }", {"test ecx, ecx", "je #4", "dec ecx", "jmp #0", "ret"}},
    {"RepeatWithoutUntilLoops", "repeat { inc eax }", {"inc eax", "jmp #0", "ret"}},
    {"RepeatUntil", "repeat { inc eax } until (eax == 3);", {"inc eax", "cmp eax, 3", "jne #0", "ret"}},
    {"PreTestSkipsTheLoop",
     "repeat if (ecx != 0) { dec ecx } until (ecx == 0);",
     {"test ecx, ecx", "je #5", "dec ecx", "test ecx, ecx", "jne #2", "ret"}},
    {"ZeroIsTested", "if (eax == 0) { inc ebx }", {"test eax, eax", "jne #3", "inc ebx", "ret"}},
    {"TrueIsNotZero", "if (eax == true) { inc ebx }", {"test eax, eax", "je #3", "inc ebx", "ret"}},
    {"NumberOnTheLeftIsMirrored", "if (5 < eax) { inc ebx }", {"cmp eax, 5", "jle #3", "inc ebx", "ret"}},
    {"FalseConstantJumpsAlways", "if (1 == 2) { inc ebx }", {"jmp #2", "inc ebx", "ret"}},
    {"TrueConstantEmitsNothing", "if (2 == 2) { inc ebx }", {"inc ebx", "ret"}},
    {"CarrySet", "if (carry_flag == 1) { inc ebx }", {"jae #2", "inc ebx", "ret"}},
    {"CarryClear", "if (carry_flag == 0) { inc ebx }", {"jb #2", "inc ebx", "ret"}},
    {"FlagOnTheRight", "if (1 == zero_flag) { inc ebx }", {"jne #2", "inc ebx", "ret"}},
    {"BreakIfOnAFlag", "repeat { break if (zero_flag == 1); inc eax }", {"je #3", "inc eax", "jmp #0", "ret"}},
    {"AdjustFlagIsIgnored", "if (adjust_flag == 1) { inc ebx }", {"inc ebx", "ret"}},
    {"CaseScanAfterTheStates",
     "case (eax) { state 1, 2: inc ebx\nbreak;\nstate 3: inc ecx\ndefault: inc edx }",
     {"jmp #6", "inc ebx", "jmp #13", "inc ecx", "inc edx", "jmp #13", "cmp eax, 1", "je #1", "cmp eax, 2", "je #1",
      "cmp eax, 3", "je #3", "jmp #4", "ret"}},
    {"CaseScanOnAnUnsupportedFlag",
     "case (adjust_flag) { state 1: inc ebx }",
     {"jmp #3", "inc ebx", "jmp #3", "ret"}},
    {"ExitIfJumpsToTheEnd",
     "if (eax == 1) { exitif (ebx == 2);\ninc ecx } else { inc edx }",
     {"cmp eax, 1", "jne #6", "cmp ebx, 2", "je #7", "inc ecx", "jmp #7", "inc edx", "ret"}},
    {"DeeperAndFailsIntoTheNextDisjunct",
     "if ((((eax == 1) and (ebx == 1)) and (ecx == 1)) or (edx == 1)) { inc esi }",
     {"cmp eax, 1", "jne #6", "cmp ebx, 1", "jne #6", "cmp ecx, 1", "je #8", "cmp edx, 1", "jne #9", "inc esi",
      "ret"}},
};

INSTANTIATE_TEST_SUITE_P(Statements, ControlShapes, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace vorak::test
