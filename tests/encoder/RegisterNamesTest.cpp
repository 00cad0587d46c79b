// Register names: every name of two or three bytes that the lookup takes is a
// register's own name (in any case) and one the mode knows, and every
// register name the mode knows is taken; checked over all such names.
#include <gtest/gtest.h>

#include <string>

#include "compiler/driver/Common.h"
#include "encoder/Operand.h"

namespace vorak {
namespace {

// The least mode that knows a register by its name.
uint32_t leastMode(TRegister r) {
  if (r >= REG_EAX && r <= REG_EDI) return 32;
  if ((r >= REG_RAX && r <= REG_RDI) || (r >= REG_R10 && r <= REG_R15)) return 64;
  return 16;
}

std::string lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

class RegisterNames : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    saved_ = CompileFlags.cpu_bits;
    CompileFlags.cpu_bits = GetParam();
  }
  void TearDown() override { CompileFlags.cpu_bits = saved_; }

 private:
  uint32_t saved_ = 32;
};

TEST_P(RegisterNames, EveryShortNameTakenIsTheRegistersOwn) {
  const uint32_t bits = GetParam();
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDELRSX0123456789_";
  size_t taken = 0;
  auto check = [&](const std::string& s) {
    const uint8_t r = strToReg(s);
    if (r == NOT_A_REG) return;
    ++taken;
    ASSERT_LE(r, REG_R15) << s;
    EXPECT_EQ(lowered(s), regToStr(static_cast<TRegister>(r))) << s;
    EXPECT_GE(bits, leastMode(static_cast<TRegister>(r))) << s;
  };
  for (char a : alphabet)
    for (char b : alphabet) {
      check(std::string{a, b});
      for (char c : alphabet) check(std::string{a, b, c});
    }
  EXPECT_GT(taken, 0u);
}

TEST_P(RegisterNames, EveryRegisterTheModeKnowsIsFoundByName) {
  const uint32_t bits = GetParam();
  for (uint8_t i = REG_AL; i <= REG_R15; ++i) {
    const auto r = static_cast<TRegister>(i);
    const std::string name(regToStr(r));
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    const uint8_t want = bits >= leastMode(r) ? i : NOT_A_REG;
    EXPECT_EQ(strToReg(name), want) << name;
    EXPECT_EQ(strToReg(upper), want) << upper;
  }
  // Too short, too long, or a name with a byte more.
  EXPECT_EQ(strToReg("e"), NOT_A_REG);
  EXPECT_EQ(strToReg("eaxx"), NOT_A_REG);
  EXPECT_EQ(strToReg(std::string("ea\0", 3)), NOT_A_REG);
  EXPECT_EQ(strToReg("\x11\x10"), NOT_A_REG);
}

INSTANTIATE_TEST_SUITE_P(Modes, RegisterNames, ::testing::Values(16u, 32u, 64u),
                         [](const ::testing::TestParamInfo<uint32_t>& i) { return "Bits" + std::to_string(i.param); });

}  // namespace
}  // namespace vorak
