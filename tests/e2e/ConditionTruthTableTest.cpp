// Generated and/or condition trees, each compiled inside an if with an else
// and run in the emulator over every row of its truth table: the branch taken
// must be the one the tree, evaluated here, says.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/CodeRunner.h"

namespace vorak::test {
namespace {

// A comparison of one register with a constant, written in one of several
// forms; the test's own reading of it decides its truth.
struct Leaf {
  int reg = 0;        // x86 register number
  int form = 0;       // index into kForms
  int64_t c = 0;      // the constant
  uint64_t whenTrue = 0, whenFalse = 0;  // register values that make it hold / fail
};

struct Form {
  const char* text;  // %r register, %c constant
  bool signedCmp;    // compared as signed numbers (a number on the left is signed)
  int rel;           // 0 ==, 1 !=, 2 <, 3 >=, 4 >, 5 <=  (register against constant)
  bool zero;         // the constant is 0 (test form)
};

constexpr Form kForms[] = {
    {"%r == %c", false, 0, false}, {"%r != %c", false, 1, false}, {"%r < %c", false, 2, false},
    {"%r >= %c", false, 3, false}, {"%r > %c", false, 4, false},  {"%r =< %c", false, 5, false},
    {"%c > %r", true, 2, false},   {"%c =< %r", true, 3, false},  {"%c < %r", true, 4, false},
    {"%c >= %r", true, 5, false},  {"%r == 0", false, 0, true},   {"%r != 0", false, 1, true},
};

// The truth of a form for a register value at the mode's width.
bool holds(const Form& f, int64_t c, uint64_t value, int bits) {
  const uint64_t mask = bits == 64 ? ~0ull : (1ull << bits) - 1;
  const uint64_t u = value & mask;
  const int64_t s = bits == 64 ? static_cast<int64_t>(u)
                               : static_cast<int64_t>(u << (64 - bits)) >> (64 - bits);
  const int64_t cs = c;
  const uint64_t cu = static_cast<uint64_t>(c) & mask;
  switch (f.rel) {
    case 0: return u == cu;
    case 1: return u != cu;
    case 2: return f.signedCmp ? s < cs : u < cu;
    case 3: return f.signedCmp ? s >= cs : u >= cu;
    case 4: return f.signedCmp ? s > cs : u > cu;
    default: return f.signedCmp ? s <= cs : u <= cu;
  }
}

// A group: children joined by and/or (ops[i] joins child i and i+1), or a
// leaf when it has none.
struct Node {
  int leaf = -1;
  std::vector<std::unique_ptr<Node>> kids;
  std::vector<bool> isAnd;
};

// Mixed joins at one level group to the right: a and b or c is a and (b or c).
bool eval(const Node& n, const std::vector<bool>& truth) {
  if (n.leaf >= 0) return truth[static_cast<size_t>(n.leaf)];
  bool v = eval(*n.kids.back(), truth);
  for (size_t i = n.kids.size() - 1; i-- > 0;) {
    const bool left = eval(*n.kids[i], truth);
    v = n.isAnd[i] ? (left && v) : (left || v);
  }
  return v;
}

struct Tree {
  std::unique_ptr<Node> root;
  std::vector<Leaf> leaves;
  std::string text;  // the condition inside the if's parentheses
};

class Generator {
 public:
  Generator(uint32_t seed, int bits) : rng_(seed), bits_(bits) {}

  Tree make(int maxDepth, int maxLeaves) {
    Tree t;
    leaves_ = &t.leaves;
    maxLeaves_ = maxLeaves;
    t.root = node(maxDepth, true);
    t.text = text(*t.root, true);
    return t;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::unique_ptr<Node> node(int depth, bool top) {
    auto n = std::make_unique<Node>();
    const int room = maxLeaves_ - static_cast<int>(leaves_->size());
    const bool group = depth > 0 && room >= 2 && (top || pick(3) != 0);
    if (!group) {
      n->leaf = static_cast<int>(leaves_->size());
      leaves_->push_back(leaf(n->leaf));
      return n;
    }
    // Now and then a group of one: a redundant pair of parentheses.
    const int kids = pick(8) == 0 ? 1 : 2 + pick(std::min(3, room - 1));
    for (int k = 0; k < kids; ++k) {
      if (static_cast<int>(leaves_->size()) >= maxLeaves_) break;
      n->kids.push_back(node(depth - 1, false));
      if (k > 0) n->isAnd.push_back(pick(2) == 0);
    }
    if (n->kids.size() == 1 && n->kids[0]->leaf >= 0 && top) return std::move(n->kids[0]);
    return n;
  }

  Leaf leaf(int index) {
    Leaf l;
    l.reg = kRegs[index];
    l.form = pick(static_cast<int>(std::size(kForms)));
    const Form& f = kForms[l.form];
    l.c = f.zero ? 0 : 1 + pick(100);
    // Candidate values around the constant and at the sign boundary.
    const uint64_t top = bits_ == 64 ? 0x8000000000000000ull : 1ull << (bits_ - 1);
    const uint64_t cands[] = {0, uint64_t(l.c - 1), uint64_t(l.c), uint64_t(l.c + 1), ~0ull, top, top - 1};
    std::vector<uint64_t> yes, no;
    for (uint64_t v : cands) (holds(f, l.c, v, bits_) ? yes : no).push_back(v);
    l.whenTrue = yes[static_cast<size_t>(pick(static_cast<int>(yes.size())))];
    l.whenFalse = no[static_cast<size_t>(pick(static_cast<int>(no.size())))];
    return l;
  }

  std::string regName(int r) const {
    static const char* n16[] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"};
    static const char* n32[] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"};
    static const char* n64[] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi"};
    return bits_ == 16 ? n16[r] : bits_ == 32 ? n32[r] : n64[r];
  }

  std::string leafText(const Leaf& l) const {
    std::string out;
    for (const char* p = kForms[l.form].text; *p; ++p) {
      if (*p == '%' && p[1] == 'r') {
        out += regName(l.reg);
        ++p;
      } else if (*p == '%' && p[1] == 'c') {
        out += std::to_string(l.c);
        ++p;
      } else {
        out += *p;
      }
    }
    return out;
  }

  // A leaf stands bare at the top and in parentheses inside a group.
  std::string text(const Node& n, bool top) const {
    if (n.leaf >= 0) return leafText((*leaves_)[static_cast<size_t>(n.leaf)]);
    std::string s;
    for (size_t i = 0; i < n.kids.size(); ++i) {
      if (i) s += n.isAnd[i - 1] ? " and " : " or ";
      s += "(" + text(*n.kids[i], false) + ")";
    }
    (void)top;
    return s;
  }

  static constexpr int kRegs[6] = {0, 3, 1, 2, 6, 7};  // eax ebx ecx edx esi edi
  std::mt19937 rng_;
  int bits_;
  std::vector<Leaf>* leaves_ = nullptr;
  int maxLeaves_ = 0;
};

struct Batch {
  int mode;
  int trees;
  uint32_t seed;
};

std::ostream& operator<<(std::ostream& os, const Batch& b) { return os << b.mode << "-bit, " << b.trees << " trees"; }

class ConditionTrees : public ::testing::TestWithParam<Batch> {};

TEST_P(ConditionTrees, TakeTheBranchTheirTruthTableGives) {
  const Batch& b = GetParam();
  Generator gen(b.seed, b.mode);
  std::vector<Tree> trees;
  // The image starts with a return, so that its own run ends at once; each
  // tree follows its marker and ends with a return of its own.
  std::string source = "ret\n";
  for (int t = 0; t < b.trees; ++t) {
    trees.push_back(gen.make(1 + t % 4, 6));
    const std::string bp = b.mode == 16 ? "bp" : "ebp";
    source += markerLine(static_cast<uint32_t>(t), b.mode);
    source += "if (" + trees.back().text + ") { mov " + bp + ", 1 } else { mov " + bp + ", 2 }\nret\n";
  }
  const FlatRun r = runFlat(source, b.mode);
  ASSERT_TRUE(r.built) << r.compile.out;
  CodeRunner run(r.image, b.mode);
  ASSERT_TRUE(run.ok());

  int rows = 0, deep = 0, mixed = 0;
  uint64_t from = 0;
  for (int t = 0; t < b.trees; ++t) {
    const Tree& tree = trees[static_cast<size_t>(t)];
    const uint64_t start = afterMarker(r.image, static_cast<uint32_t>(t), b.mode, from);
    ASSERT_NE(start, 0u) << "marker of tree " << t;
    from = start;
    const size_t n = tree.leaves.size();
    for (uint32_t row = 0; row < (1u << n); ++row) {
      std::vector<bool> truth(n);
      std::map<int, uint64_t> regs;
      for (size_t k = 0; k < n; ++k) {
        truth[k] = (row >> k) & 1;
        regs[tree.leaves[k].reg] = truth[k] ? tree.leaves[k].whenTrue : tree.leaves[k].whenFalse;
      }
      const CodeRunner::Result res = run.call(start, regs);
      ASSERT_TRUE(res.returned) << tree.text << " row " << row;
      const uint64_t expected = eval(*tree.root, truth) ? 1 : 2;
      ASSERT_EQ(res.reg(rBP) & 0xFFFF, expected) << "if (" << tree.text << ") row " << row << " (bit k = leaf k)";
      ++rows;
    }
    deep += tree.text.find("((((") != std::string::npos;
    mixed += tree.text.find(" and ") != std::string::npos && tree.text.find(" or ") != std::string::npos;
  }
  // The generator reaches what it is meant to: many rows, deep nesting, mixed joins.
  EXPECT_GT(rows, b.trees * 4);
  EXPECT_GT(deep, 0);
  EXPECT_GT(mixed, b.trees / 4);
}

// ---- Flag tests after code of their own condition ----

// Conditions that mix comparisons of registers, comparisons of two numbers
// (no code) and flag tests, with the flags each one warns about: a flag
// test reads the flags as they stand, so after a comparison of the same
// condition it reads what that comparison left.
class FlagConditions {
 public:
  explicit FlagConditions(uint32_t seed) : rng_(seed) {}

  // The condition's text inside its statement's parentheses; warned gets
  // the flags that must be warned about, in the order they are tested.
  std::string make(std::vector<std::string>& warned) {
    bool emitted = false;
    return node(3, emitted, warned);
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string node(int depth, bool& emitted, std::vector<std::string>& warned) {
    if (depth == 0 || pick(3) == 0) {
      static const char* const kFlags[][2] = {{"carry_flag", "carry flag"}, {"zero_flag", "zero flag"},
                                              {"sign_flag", "sign flag"},   {"overflow_flag", "overflow flag"},
                                              {"parity_flag", "parity flag"}};
      static const char* const kRegs[] = {"eax", "ecx", "edx", "esi"};
      switch (pick(4)) {
        case 0:
        case 1: {
          const auto& f = kFlags[pick(5)];
          if (emitted) warned.push_back(f[1]);
          return std::string(f[0]) + (pick(2) ? " == " : " != ") + std::to_string(pick(2));
        }
        case 2:
          // Decided while compiling: no code.
          return std::to_string(pick(3)) + " == " + std::to_string(pick(3));
        default:
          emitted = true;
          return std::string(kRegs[pick(4)]) + (pick(2) ? " == " : " < ") + std::to_string(pick(3));
      }
    }
    std::string s;
    for (int k = 0, n = 2 + pick(2); k < n; ++k) {
      if (k) s += pick(2) ? " and " : " or ";
      s += "(" + node(depth - 1, emitted, warned) + ")";
    }
    return s;
  }

  std::mt19937 rng_;
};

TEST(ConditionFlags, AFlagTestedAfterCodeOfItsConditionIsWarnedAbout) {
  FlagConditions gen(7721);
  // runFlat puts two lines in front; the source's first line is line 3.
  std::string source = "dword gd;\nret\n";
  int line = 5;
  std::map<int, std::vector<std::string>> want;
  size_t warnings = 0;
  for (int t = 0; t < 150; ++t, ++line) {
    std::vector<std::string> warned;
    const std::string c = gen.make(warned);
    switch (t % 3) {
      case 0: source += "if (" + c + ") { mov ebp, 1 }\n"; break;
      case 1: source += "ebx = (" + c + ") ? 1 : 2;\n"; break;
      default: source += "gd = (" + c + ") ? 1 : 2;\n"; break;
    }
    warnings += warned.size();
    if (!warned.empty()) want[line] = warned;
  }
  source += "ret\n";
  const FlatRun r = runFlat(source, 32);
  ASSERT_TRUE(r.built) << r.compile.out;
  // "[line,column]: Warning: [7721] <flag> tested after ... in [p.vor]"
  std::map<int, std::vector<std::string>> got;
  const std::string head = "]: Warning: [7721] ";
  const std::string tail =
      " tested after code of the same condition: it reads the flags that code left, not those from before the "
      "condition in [p.vor]";
  std::istringstream out(r.compile.out);
  for (std::string l; std::getline(out, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    const size_t h = l.find(head);
    if (h == std::string::npos) continue;
    ASSERT_EQ(l.front(), '[') << l;
    ASSERT_GE(l.size(), h + head.size() + tail.size()) << l;
    ASSERT_EQ(l.substr(l.size() - tail.size()), tail) << l;
    got[std::stoi(l.substr(1))].push_back(l.substr(h + head.size(), l.size() - tail.size() - h - head.size()));
  }
  EXPECT_EQ(got, want) << source;
  // The generator reaches both kinds of flag test.
  EXPECT_GT(warnings, 20u);
  EXPECT_LT(want.size(), 140u);
}

// The warning leaves the code as it was: the flag is tested as it stands,
// after the comparison before it; tested first, it reads the flags from
// before the condition.
TEST(ConditionFlags, AFlagIsTestedAsItStands) {
  struct Case {
    const char* line;
    uint64_t ebx;
    bool warns;
  };
  const Case cases[] = {
      // cmp eax, 1 with eax 5 clears the carry that stc set.
      {"if ((eax == 1) or (carry_flag == 1)) { mov ebx, 1 }", 0, true},
      {"ebx = ((eax == 1) or (carry_flag == 1)) ? 1 : 0;", 0, true},
      {"if ((carry_flag == 1) or (eax == 1)) { mov ebx, 1 }", 1, false},
      {"ebx = ((carry_flag == 1) and (eax == 5)) ? 1 : 0;", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const FlatRun r = runFlat(std::string("mov eax, 5\nxor ebx, ebx\nstc\n") + c.line + "\nret\n", 32);
    ASSERT_TRUE(r.built) << r.compile.out;
    ASSERT_TRUE(r.finished) << r.fault;
    EXPECT_EQ(r.reg(rBX), c.ebx);
    const bool warned = r.compile.out.find("[6,") != std::string::npos &&
                        r.compile.out.find("[7721] carry flag") != std::string::npos;
    EXPECT_EQ(warned, c.warns) << r.compile.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ConditionTrees,
                         ::testing::Values(Batch{32, 400, 1}, Batch{16, 80, 2}, Batch{64, 80, 3}),
                         [](const ::testing::TestParamInfo<Batch>& i) {
                           return "Mode" + std::to_string(i.param.mode);
                         });

}  // namespace
}  // namespace vorak::test
