// Conditionals, #repeat, #eval and #align in programs built with the FLAT
// builder and run in the emulator: the registers after the run, and where an
// aligned label lands in the image, are the oracle.
#include <gtest/gtest.h>

#include <string>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

const char* acc(int mode) { return mode == 16 ? "ax" : mode == 32 ? "eax" : "rax"; }

class FlatDirectives : public ::testing::TestWithParam<int> {};

TEST_P(FlatDirectives, TheBranchOfTheModeIsTheOneCompiled) {
  const int mode = GetParam();
  const FlatRun r = runFlat(
      "#if bits == 64:\n  mov rax, 64\n#elseif bits == 32:\n  mov eax, 32\n#else\n  mov ax, 16\n#end\nret\n", mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), static_cast<uint64_t>(mode));
}

TEST_P(FlatDirectives, RepeatedAndEvaluatedText) {
  const int mode = GetParam();
  const std::string a = acc(mode);
  const FlatRun r = runFlat("xor " + a + ", " + a + "\n#repeat 5:\n  add " + a + ", 3\n#end\n#eval('inc " + a +
                                "')\n#repeat 0: add " + a + ", 100 #end\nret\n",
                            mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 16u);
}

TEST_P(FlatDirectives, AlignPlacesTheNextLabelOnAPointerBoundary) {
  const int mode = GetParam();
  const std::string a = acc(mode);
  const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
  // An odd number of bytes before the directive, so that filler is needed.
  const FlatRun r = runFlat("jmp start\nnop\n#align;\naligned:\n  mov " + a + ", 1\n  ret\nstart:\n  mov " + b +
                                ", aligned\n  call aligned\n  ret\n",
                            mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  const uint64_t where = r.reg(rBX);
  EXPECT_GT(where, 0u);
  EXPECT_EQ(where % static_cast<uint64_t>(mode / 8), 0u) << where;
  // The label's code ran there.
  EXPECT_EQ(r.reg(rAX), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, FlatDirectives, ::testing::Values(16, 32, 64),
                         [](const auto& info) { return std::to_string(info.param) + "bit"; });

}  // namespace
}  // namespace vorak::test
