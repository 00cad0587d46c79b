// Jumps in FLAT images: generated programs whose blocks lie in a shuffled
// order, each block adding its own bit to the accumulator and jumping on to
// the next block in execution order across NOP filler of random lengths (and
// alignment directives), so that jumps run forwards and backwards, span
// other jumps, and reach their targets in the short form only when the jumps
// they span are short as well. The emulator proves that every jump lands
// where it should; Capstone reads every jump back and proves it is in its
// shortest form: short wherever the target is within reach of one byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"
#include "support/Disasm.h"

namespace vorak::test {
namespace {

struct Ladder {
  int mode = 32;
  int blocks = 0;
  std::string source;
  std::vector<int> order;  // block numbers in the order they stand in the image
};

std::string accumulator(int mode) { return mode == 16 ? "ax" : mode == 32 ? "eax" : "rax"; }

// Block j: "b<j>: add acc, 1 << j", then a jump to block j + 1 (jmp, or a
// jne that is always taken), then filler. The program starts with a jump to
// block 0 and ends at "done".
Ladder makeLadder(int mode, unsigned seed, int blocks, bool aligns) {
  std::mt19937 rng(seed);
  Ladder l;
  l.mode = mode;
  l.blocks = blocks;
  for (int j = 0; j < blocks; ++j) l.order.push_back(j);
  std::shuffle(l.order.begin(), l.order.end(), rng);
  const std::string a = accumulator(mode);
  std::string& s = l.source;
  s = "xor " + a + ", " + a + "\njmp b0\n";
  std::uniform_int_distribution<int> filler(10, 150), coin(0, 3);
  for (int j : l.order) {
    s += "b" + std::to_string(j) + ":\nadd " + a + ", " + std::to_string(1 << j) + "\n";
    const std::string next = j + 1 == blocks ? "done" : "b" + std::to_string(j + 1);
    s += (j % 2 ? "jmp " : "jne ") + next + "\n";
    for (int k = filler(rng); k > 0; --k) s += "nop\n";
    if (aligns && coin(rng) == 0) s += "#align;\n";
  }
  s += "done:\nret\n";
  return l;
}

// A jump's target: Capstone decoded it as if it stood at address 0, where a
// backward target wraps at the mode's address width.
uint64_t targetOf(const Decoded& d, uint64_t at, int mode) {
  const uint64_t t = static_cast<uint64_t>(d.ops[0].imm) + at;
  return mode == 16 ? t & 0xFFFF : mode == 32 ? t & 0xFFFFFFFF : t;
}

struct Jump {
  uint64_t at = 0, length = 0, target = 0;
};

// Reads the image back: the address of every block (its add) and every jump
// in image order.
void readBack(const Ladder& l, const std::vector<uint8_t>& image, std::map<int64_t, uint64_t>& blockAt,
              std::vector<Jump>& jumps, uint64_t& retAt) {
  const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
  for (size_t i = 0; i < all.size();) {
    const Decoded d = decode(all.substr(i), l.mode);
    ASSERT_TRUE(d.ok && d.length > 0) << "undecodable at " << i;
    if (d.mnemonic == "add" && d.ops.size() == 2 && d.ops[1].kind == DecodedOperand::Imm) blockAt[d.ops[1].imm] = i;
    if ((d.mnemonic == "jmp" || d.mnemonic == "jne") && d.ops.size() == 1 && d.ops[0].kind == DecodedOperand::Imm)
      jumps.push_back({i, d.length, targetOf(d, i, l.mode)});
    if (d.mnemonic == "ret") retAt = i;
    i += d.length;
  }
}

void checkLadder(const Ladder& l) {
  SCOPED_TRACE(l.source);
  const FlatRun r = runFlat(l.source, l.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  if (kHaveFlatEmulator) {
    ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
    EXPECT_EQ(r.reg(rAX), (uint64_t{1} << l.blocks) - 1);
  }
  if (!kHaveDisassembler) return;
  std::map<int64_t, uint64_t> blockAt;
  std::vector<Jump> jumps;
  uint64_t retAt = 0;
  readBack(l, r.image, blockAt, jumps, retAt);
  ASSERT_EQ(blockAt.size(), static_cast<size_t>(l.blocks));
  ASSERT_EQ(jumps.size(), static_cast<size_t>(l.blocks) + 1);
  // The first jump goes to block 0; then one jump per block, in image order.
  std::vector<uint64_t> want{blockAt[1]};
  for (int j : l.order) want.push_back(j + 1 == l.blocks ? retAt : blockAt[int64_t{1} << (j + 1)]);
  const uint64_t shortLength = 2;
  for (size_t k = 0; k < jumps.size(); ++k) {
    const Jump& jp = jumps[k];
    EXPECT_EQ(jp.target, want[k]) << "jump " << k << " at " << jp.at;
    // Near only where the short form could not reach the target.
    const int64_t shortRel = static_cast<int64_t>(jp.target) - static_cast<int64_t>(jp.at + shortLength);
    if (jp.length != shortLength) {
      EXPECT_TRUE(shortRel < -128 || shortRel > 127) << "jump " << k << " at " << jp.at << " could be short";
    }
  }
}

class FlatJumpLayout : public ::testing::TestWithParam<int> {};

TEST_P(FlatJumpLayout, ShuffledLaddersLandEveryJumpInItsShortestForm) {
  const int mode = GetParam();
  const int blocks = mode == 16 ? 14 : 16;
  for (unsigned seed = 1; seed <= 4; ++seed) checkLadder(makeLadder(mode, seed, blocks, false));
}

TEST_P(FlatJumpLayout, JumpsAcrossAlignmentFiller) {
  const int mode = GetParam();
  for (unsigned seed = 11; seed <= 13; ++seed) checkLadder(makeLadder(mode, seed, 12, true));
}

// A chain of nested jumps: jump k spans jumps k + 1 .. n and their filler,
// and all land behind the last filler. With 117 filler bytes in all, the
// first jump reaches its target (127 bytes on) only when every jump it spans
// is short; with 118, it cannot, while the others still can.
TEST_P(FlatJumpLayout, AChainOfJumpsThatReachOnlyWhenTheJumpsTheySpanAreShort) {
  const int mode = GetParam();
  const std::string a = accumulator(mode);
  for (int total : {117, 118}) {
    const int links = 6;
    std::string s = "xor " + a + ", " + a + "\n";
    for (int k = 0; k < links; ++k) {
      s += "jmp t" + std::to_string(k) + "\n";
      const int filler = total / links + (k < total % links ? 1 : 0);
      for (int n = 0; n < filler; ++n) s += "nop\n";
    }
    for (int k = links - 1; k >= 0; --k) s += "t" + std::to_string(k) + ":\n";
    s += "inc " + a + "\nret\n";
    SCOPED_TRACE(total);
    const FlatRun r = runFlat(s, mode);
    ASSERT_TRUE(r.built) << r.compile.out;
    if (kHaveFlatEmulator) {
      ASSERT_TRUE(r.finished) << r.fault;
      EXPECT_EQ(r.reg(rAX), 1u);
    }
    if (!kHaveDisassembler) continue;
    std::vector<Decoded> all;
    std::vector<uint64_t> at;
    const std::string_view bytes(reinterpret_cast<const char*>(r.image.data()), r.image.size());
    for (size_t i = 0; i < bytes.size();) {
      const Decoded d = decode(bytes.substr(i), mode);
      ASSERT_TRUE(d.ok) << "undecodable at " << i;
      all.push_back(d);
      at.push_back(i);
      i += d.length;
    }
    uint64_t incAt = 0;
    std::vector<size_t> jumps;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].mnemonic == "inc") incAt = at[i];
      if (all[i].mnemonic == "jmp") jumps.push_back(i);
    }
    ASSERT_EQ(jumps.size(), static_cast<size_t>(links));
    for (size_t k = 0; k < jumps.size(); ++k) {
      const Decoded& d = all[jumps[k]];
      ASSERT_EQ(d.ops.size(), 1u);
      EXPECT_EQ(targetOf(d, at[jumps[k]], mode), incAt) << "jump " << k;
      const bool wantNear = total == 118 && k == 0;
      const size_t nearLength = mode == 16 ? 3 : 5;
      EXPECT_EQ(d.length, wantNear ? nearLength : 2u) << "jump " << k;
    }
  }
}

// A cascade: jump k reaches its target (127 bytes on) only while jump k + 1,
// which it spans, is short, and the last jump is out of reach; so each round
// of the layout makes exactly one more jump near. Ninety of them run past
// the builder's round limit, where the rest are made near at once. Every
// jump must still land: the emulator counts the targets passed.
TEST_P(FlatJumpLayout, ACascadeLongerThanTheRoundLimitStillLands) {
  const int mode = GetParam();
  const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
  const std::string step = "add " + b + ", 1\n";  // 83 /0 ib: 3 bytes, 4 with REX.W
  const int stepBytes = mode == 64 ? 4 : 3;
  const int links = 90;
  std::string s = "xor " + b + ", " + b + "\n";
  for (int k = 1; k <= links; ++k) {
    s += "jmp t" + std::to_string(k) + "\n";
    if (k > 1) s += "t" + std::to_string(k - 1) + ":\n" + step;
    const int filler = k == links ? 200 : 125 - (k > 1 ? stepBytes : 0);
    for (int n = 0; n < filler; ++n) s += "nop\n";
  }
  s += "t" + std::to_string(links) + ":\n" + step + "ret\n";
  // Jump 1 lands behind jump 2, runs on to jump 3, and so on.
  uint64_t passed = 0;
  for (int k = 1;; k += 2) {
    ++passed;
    if (k == links) break;
    if (k + 2 > links) {
      ++passed;  // behind the last jump, on through its filler to its target
      break;
    }
  }
  const FlatRun r = runFlat(s, mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  if (kHaveFlatEmulator) {
    ASSERT_TRUE(r.finished) << r.fault;
    EXPECT_EQ(r.reg(rBX), passed);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FlatJumpLayout, ::testing::Values(16, 32, 64),
                         [](const auto& info) { return std::to_string(info.param) + "bit"; });

}  // namespace
}  // namespace vorak::test
