// Jumps in FLAT images: generated programs whose blocks lie in a shuffled
// order, each block adding its own bit to the accumulator and jumping on to
// the next block in execution order across NOP filler of random lengths (and
// alignment directives), so that jumps run forwards and backwards, span
// other jumps, and reach their targets in the short form only when the jumps
// they span are short as well. The emulator proves that every jump lands
// where it should; Capstone reads every jump back and proves it is in its
// shortest form: short wherever the target is within reach of one byte.
// An independent model of the layout, alignment filler included, proves
// that no near jump could be short: made short alone, with the code after
// it moved and the filler sized anew, it or another jump would fall out of
// reach.
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
  std::vector<int> order;    // block numbers in the order they stand in the image
  std::vector<int> filler;   // NOPs after each block's jump, in image order
  std::vector<bool> aligns;  // an #align after them, in image order
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
    l.filler.push_back(filler(rng));
    for (int k = l.filler.back(); k > 0; --k) s += "nop\n";
    l.aligns.push_back(aligns && coin(rng) == 0);
    if (l.aligns.back()) s += "#align;\n";
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

// The image as the builder lays it out, written from the source's shape,
// not from the builder: pieces of fixed length, jumps of a short and a near
// length, and alignment filler that takes what aligns the piece after it.
// The jumps take the forms the image gave them; the model then proves that
// no near jump could be short: made short alone, with the code after it
// moved and the filler sized anew, it or another jump would not reach.
class LayoutModel {
 public:
  explicit LayoutModel(int mode) : mode_(mode) {}

  void fixed(uint64_t bytes) { pieces_.push_back({Piece::Fixed, bytes}); }
  // An instruction of the image, of the length Capstone reads at offset at.
  void instruction(const std::vector<uint8_t>& image, uint64_t at) {
    const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
    fixed(decode(all.substr(at), mode_).length);
  }
  void jump(bool conditional, const std::string& target) {
    Piece p{Piece::Jump};
    p.nearLength = mode_ == 16 ? (conditional ? 4 : 3) : (conditional ? 6 : 5);
    targets_.emplace_back(pieces_.size(), target);
    pieces_.push_back(p);
  }
  void align() { pieces_.push_back({Piece::Align, static_cast<uint64_t>(mode_ / 8)}); }
  void label(const std::string& name) { labels_[name] = pieces_.size(); }

  // Gives the jumps, in order, the forms of the image's jumps and checks
  // that the model puts them where the image has them.
  void takeForms(const std::vector<Jump>& jumps, size_t imageSize) {
    ASSERT_EQ(jumps.size(), targets_.size());
    for (size_t k = 0; k < jumps.size(); ++k) {
      Piece& p = pieces_[targets_[k].first];
      ASSERT_TRUE(labels_.count(targets_[k].second)) << targets_[k].second;
      p.target = labels_[targets_[k].second];
      p.nearForm = jumps[k].length != p.shortLength;
    }
    const std::vector<uint64_t> at = layOut();
    for (size_t k = 0; k < jumps.size(); ++k)
      EXPECT_EQ(at[targets_[k].first], jumps[k].at) << "the model puts jump " << k << " elsewhere";
    EXPECT_EQ(at.back(), imageSize);
    jumps_ = jumps;
  }

  void expectNoJumpCouldShrink() {
    ASSERT_TRUE(shortJumpsReach());
    for (size_t k = 0; k < targets_.size(); ++k) {
      Piece& p = pieces_[targets_[k].first];
      if (!p.nearForm) continue;
      p.nearForm = false;
      EXPECT_FALSE(shortJumpsReach()) << "the near jump " << k << " at " << jumps_[k].at << " could be short";
      p.nearForm = true;
    }
  }

 private:
  struct Piece {
    enum Kind { Fixed, Jump, Align } kind = Fixed;
    uint64_t length = 0;  // Fixed: its bytes; Align: the alignment
    uint64_t shortLength = 2, nearLength = 0;
    size_t target = 0;  // Jump: the piece it goes to
    bool nearForm = false;
  };

  // Where each piece starts, and the end of the last.
  std::vector<uint64_t> layOut() const {
    std::vector<uint64_t> at(pieces_.size() + 1, 0);
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const Piece& p = pieces_[i];
      const uint64_t len = p.kind == Piece::Fixed  ? p.length
                           : p.kind == Piece::Jump ? (p.nearForm ? p.nearLength : p.shortLength)
                                                   : (p.length - at[i] % p.length) % p.length;
      at[i + 1] = at[i] + len;
    }
    return at;
  }
  bool shortJumpsReach() const {
    const std::vector<uint64_t> at = layOut();
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const Piece& p = pieces_[i];
      if (p.kind != Piece::Jump || p.nearForm) continue;
      const int64_t rel = static_cast<int64_t>(at[p.target]) - static_cast<int64_t>(at[i + 1]);
      if (rel < -128 || rel > 127) return false;
    }
    return true;
  }

  int mode_;
  std::vector<Piece> pieces_;
  std::vector<std::pair<size_t, std::string>> targets_;  // each jump's piece and label
  std::map<std::string, size_t> labels_;
  std::vector<Jump> jumps_;
};

// Every jump of an image, in order.
std::vector<Jump> jumpsIn(const std::vector<uint8_t>& image, int mode) {
  std::vector<Jump> jumps;
  const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
  for (size_t i = 0; i < all.size();) {
    const Decoded d = decode(all.substr(i), mode);
    if (!d.ok || d.length == 0) {
      ADD_FAILURE() << "undecodable at " << i;
      break;
    }
    if (d.mnemonic[0] == 'j' && d.ops.size() == 1 && d.ops[0].kind == DecodedOperand::Imm)
      jumps.push_back({i, d.length, targetOf(d, i, mode)});
    i += d.length;
  }
  return jumps;
}

// The model of a ladder's image.
void checkLadderLayout(const Ladder& l, const std::vector<uint8_t>& image, const std::vector<Jump>& jumps,
                       std::map<int64_t, uint64_t>& blockAt) {
  LayoutModel m(l.mode);
  m.instruction(image, 0);  // xor
  m.jump(false, "b0");
  for (size_t i = 0; i < l.order.size(); ++i) {
    const int j = l.order[i];
    m.label("b" + std::to_string(j));
    m.instruction(image, blockAt[int64_t{1} << j]);  // add
    m.jump(j % 2 == 0, j + 1 == l.blocks ? "done" : "b" + std::to_string(j + 1));
    m.fixed(static_cast<uint64_t>(l.filler[i]));
    if (l.aligns[i]) m.align();
  }
  m.label("done");
  m.fixed(1);  // ret
  m.takeForms(jumps, image.size());
  m.expectNoJumpCouldShrink();
}

void checkLadder(const Ladder& l) {
  SCOPED_TRACE(l.source);
  const FlatRun r = runFlat(l.source, l.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rAX), (uint64_t{1} << l.blocks) - 1);
  std::map<int64_t, uint64_t> blockAt;
  std::vector<Jump> jumps;
  uint64_t retAt = 0;
  readBack(l, r.image, blockAt, jumps, retAt);
  ASSERT_EQ(blockAt.size(), static_cast<size_t>(l.blocks));
  ASSERT_EQ(jumps.size(), static_cast<size_t>(l.blocks) + 1);
  // The first jump goes to block 0; then one jump per block, in image order.
  std::vector<uint64_t> want{blockAt[1]};
  for (int j : l.order) want.push_back(j + 1 == l.blocks ? retAt : blockAt[int64_t{1} << (j + 1)]);
  for (size_t k = 0; k < jumps.size(); ++k) EXPECT_EQ(jumps[k].target, want[k]) << "jump " << k << " at " << jumps[k].at;
  checkLadderLayout(l, r.image, jumps, blockAt);
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
    ASSERT_TRUE(r.finished) << r.fault;
    EXPECT_EQ(r.reg(rAX), 1u);
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
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rBX), passed);
}

// A loop whose backward jump spans only alignment filler, at distances
// around the edge of the short form's reach. The jump at the start grows
// (its target lies past 200 bytes of filler), which moves the filler and,
// for some of the padding before it, lengthens it: the loop's jump must then
// be measured again, though no jump inside its span changed; or it shortens
// it, and the loop's jump, made near while the filler was longer, must be
// short again where that reaches.
TEST_P(FlatJumpLayout, ALoopAcrossFillerThatAGrowingJumpBeforeItLengthens) {
  const int mode = GetParam();
  const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
  for (int pad = 0; pad < 8; ++pad) {
    for (int filler = 114; filler <= 125; ++filler) {
      std::string s = "xor " + b + ", " + b + "\n";
      for (int n = 0; n < pad; ++n) s += "nop\n";
      s += "jmp far\ntop:\nadd " + b + ", 1\n#align;\n";
      for (int n = 0; n < filler; ++n) s += "nop\n";
      s += "cmp " + b + ", 3\njne top\nret\n";
      for (int n = 0; n < 200; ++n) s += "nop\n";
      s += "far:\njmp top\n";
      SCOPED_TRACE(std::to_string(pad) + " " + std::to_string(filler));
      const FlatRun r = runFlat(s, mode);
      ASSERT_TRUE(r.built) << r.compile.out;
      ASSERT_TRUE(r.finished) << r.fault;
      EXPECT_EQ(r.reg(rBX), 3u);
      const std::string_view all(reinterpret_cast<const char*>(r.image.data()), r.image.size());
      uint64_t topAt = 0, cmpAt = 0;
      bool sawLoop = false;
      for (size_t i = 0; i < all.size();) {
        const Decoded d = decode(all.substr(i), mode);
        ASSERT_TRUE(d.ok && d.length > 0) << "undecodable at " << i;
        if (d.mnemonic == "add" && topAt == 0) topAt = i;
        if (d.mnemonic == "cmp") cmpAt = i;
        if (d.mnemonic == "jne") {
          sawLoop = true;
          EXPECT_EQ(targetOf(d, i, mode), topAt) << "the loop's jump at " << i;
        }
        i += d.length;
      }
      EXPECT_TRUE(sawLoop);
      LayoutModel m(mode);
      m.instruction(r.image, 0);  // xor
      m.fixed(static_cast<uint64_t>(pad));
      m.jump(false, "far");
      m.label("top");
      m.instruction(r.image, topAt);
      m.align();
      m.fixed(static_cast<uint64_t>(filler));
      m.instruction(r.image, cmpAt);
      m.jump(true, "top");
      m.fixed(1 + 200);  // ret, nops
      m.label("far");
      m.jump(false, "top");
      m.takeForms(jumpsIn(r.image, mode), r.image.size());
      m.expectNoJumpCouldShrink();
    }
  }
}

// Forward jumps across alignment filler, each behind a jump that grows (its
// target lies past 200 bytes): the growth moves the filler and, for some of
// the padding before it, shortens it, so a jump made near in the first
// round comes within reach of its short form. Each instance starts aligned,
// behind its own padding, and all of them stand in one image.
TEST_P(FlatJumpLayout, ForwardJumpsAcrossFillerThatAGrowingJumpBeforeThemShortens) {
  const int mode = GetParam();
  const std::string b = mode == 16 ? "bx" : mode == 32 ? "ebx" : "rbx";
  const uint64_t op = mode == 64 ? 4 : 3;  // cmp/add b, imm8
  std::string s = "xor " + b + ", " + b + "\n";
  LayoutModel m(mode);
  m.fixed(mode == 64 ? 3 : 2);
  int instances = 0;
  for (int pad = 0; pad < mode / 8; ++pad) {
    for (int filler = 116; filler <= 127; ++filler, ++instances) {
      const std::string n = std::to_string(instances);
      s += "#align;\n";
      for (int k = 0; k < pad; ++k) s += "nop\n";
      s += "jmp far" + n + "\nback" + n + ":\ncmp " + b + ", 0\njge skip" + n + "\nadd " + b + ", 1\n#align;\n";
      for (int k = 0; k < filler; ++k) s += "nop\n";
      s += "skip" + n + ":\nadd " + b + ", 2\njmp next" + n + "\n";
      for (int k = 0; k < 200; ++k) s += "nop\n";
      s += "far" + n + ":\njmp back" + n + "\nnext" + n + ":\n";
      m.align();
      m.fixed(static_cast<uint64_t>(pad));
      m.jump(false, "far" + n);
      m.label("back" + n);
      m.fixed(op);
      m.jump(true, "skip" + n);
      m.fixed(op);
      m.align();
      m.fixed(static_cast<uint64_t>(filler));
      m.label("skip" + n);
      m.fixed(op);
      m.jump(false, "next" + n);
      m.fixed(200);
      m.label("far" + n);
      m.jump(false, "back" + n);
      m.label("next" + n);
    }
  }
  s += "ret\n";
  m.fixed(1);
  const FlatRun r = runFlat(s, mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rBX), 2u * static_cast<uint64_t>(instances));
  m.takeForms(jumpsIn(r.image, mode), r.image.size());
  m.expectNoJumpCouldShrink();
}

INSTANTIATE_TEST_SUITE_P(Modes, FlatJumpLayout, ::testing::Values(16, 32, 64),
                         [](const auto& info) { return std::to_string(info.param) + "bit"; });

}  // namespace
}  // namespace vorak::test
