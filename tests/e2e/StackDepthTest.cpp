// The stack as the compiler keeps track of it, run in the emulator: msx64
// reserves shared between calls only where no jump lands between them,
// the stack aligned at every msx64 call from every kind of body, locals and
// parameters read right after hand-written stack changes, the depth of a
// body without a frame followed along its paths (fixed cases and random
// bodies against the same bodies with a frame), and the caller's flags kept
// by a body that saves them.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

// ---- Random nests of structured statements with msx64 calls ----

// A statement of a generated program, and what it does: the program is run
// for every input and its checksum compared with this model's.
struct Stmt {
  enum Kind { Call, If, While, Repeat, Exitif } kind = Call;
  uint64_t value = 0;                     // Call: the argument (and result)
  std::vector<int> conds;                 // If: a condition per branch; Exitif: its condition
  std::vector<std::vector<Stmt>> bodies;  // If: a body per branch (+ else); loops: one
  bool hasElse = false;
  int loop = 0;                           // loops: the counter's number
};

// Conditions: bit b of the input (one of four registers), tested for 1 or 0.
// 0..3: bit == 1, 4..7: bit == 0.
const char* const kBitRegs[4] = {"rbx", "rsi", "r12", "r13"};

// Loop counters: registers that neither F nor a call of it with one
// argument changes (a global next to the code would make the emulator
// treat its writes as code changes).
const char* const kLoopRegs[2] = {"r10", "r11"};

std::string condText(int c) { return std::string(kBitRegs[c & 3]) + (c < 4 ? " == 1" : " == 0"); }
bool condHolds(int c, unsigned input) { return ((input >> (c & 3)) & 1u) == (c < 4 ? 1u : 0u); }

class NestGenerator {
 public:
  explicit NestGenerator(uint32_t seed) : rng_(seed) {}

  std::vector<Stmt> body(int depth, bool inIf, int loops) {
    std::vector<Stmt> v;
    const int n = 1 + pick(3);
    for (int i = 0; i < n; ++i) v.push_back(stmt(depth, inIf, loops));
    // Every branch calls: the reserve of a call is what a merge takes back.
    if (v.back().kind != Stmt::Call && pick(2)) v.push_back(call());
    return v;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  Stmt call() {
    Stmt s;
    s.kind = Stmt::Call;
    s.value = 1 + static_cast<uint64_t>(pick(1000));
    return s;
  }
  Stmt stmt(int depth, bool inIf, int loops) {
    const int r = depth >= 3 ? 0 : pick(10);
    if (r < 3) return call();
    if (r == 3 && inIf) {
      Stmt s;
      s.kind = Stmt::Exitif;
      s.conds.push_back(pick(8));
      return s;
    }
    if ((r == 8 || r == 9) && loops < 2) {
      Stmt s;
      s.kind = r == 8 ? Stmt::While : Stmt::Repeat;
      s.loop = loops;
      s.bodies.push_back(body(depth + 1, false, loops + 1));
      return s;
    }
    Stmt s;
    s.kind = Stmt::If;
    const int branches = 1 + pick(3);
    for (int b = 0; b < branches; ++b) {
      s.conds.push_back(pick(8));
      s.bodies.push_back(body(depth + 1, true, loops));
    }
    s.hasElse = pick(2) == 1;
    if (s.hasElse) s.bodies.push_back(body(depth + 1, true, loops));
    return s;
  }
  std::mt19937 rng_;
};

void emit(const std::vector<Stmt>& body, std::string& out);

void emit(const Stmt& s, std::string& out) {
  switch (s.kind) {
    case Stmt::Call:
      // Nothing between two calls: F itself adds its argument to the
      // checksum, so that the reserves of calls in a row may be shared.
      out += "F(" + std::to_string(s.value) + ");\n";
      return;
    case Stmt::Exitif:
      out += "exitif (" + condText(s.conds[0]) + ");\n";
      return;
    case Stmt::While: {
      const std::string c = kLoopRegs[s.loop];
      out += "mov " + c + ", 0\nwhile (" + c + " < 2) {\n";
      emit(s.bodies[0], out);
      out += "inc " + c + "\n}\n";
      return;
    }
    case Stmt::Repeat: {
      const std::string c = kLoopRegs[s.loop];
      out += "mov " + c + ", 0\nrepeat {\n";
      emit(s.bodies[0], out);
      out += "inc " + c + "\n} until (" + c + " == 2)\n";
      return;
    }
    case Stmt::If:
      for (size_t b = 0; b < s.conds.size(); ++b) {
        out += (b == 0 ? "if (" : "} elseif (") + condText(s.conds[b]) + ") {\n";
        emit(s.bodies[b], out);
      }
      if (s.hasElse) {
        out += "} else {\n";
        emit(s.bodies.back(), out);
      }
      out += "}\n";
      return;
  }
}

void emit(const std::vector<Stmt>& body, std::string& out) {
  for (const Stmt& s : body) emit(s, out);
}

uint64_t rol5(uint64_t v) { return (v << 5) | (v >> 59); }

// Runs the model; false when an exitif left the innermost if.
bool run(const std::vector<Stmt>& body, unsigned input, uint64_t& sum);

bool run(const Stmt& s, unsigned input, uint64_t& sum) {
  switch (s.kind) {
    case Stmt::Call:
      sum = rol5(sum) + s.value;
      return true;
    case Stmt::Exitif:
      return !condHolds(s.conds[0], input);
    case Stmt::While:
    case Stmt::Repeat:
      for (int i = 0; i < 2; ++i) run(s.bodies[0], input, sum);
      return true;
    case Stmt::If:
      for (size_t b = 0; b < s.conds.size(); ++b)
        if (condHolds(s.conds[b], input)) {
          run(s.bodies[b], input, sum);
          return true;
        }
      if (s.hasElse) run(s.bodies.back(), input, sum);
      return true;
  }
  return true;
}

bool run(const std::vector<Stmt>& body, unsigned input, uint64_t& sum) {
  for (const Stmt& s : body)
    if (!run(s, input, sum)) return false;
  return true;
}

// The input's bits into the four condition registers.
std::string splitBits(const std::string& from) {
  std::string out;
  for (int b = 0; b < 4; ++b) {
    const std::string r = kBitRegs[b];
    out += "mov " + r + ", " + from + "\n";
    if (b) out += "shr " + r + ", " + std::to_string(b) + "\n";
    out += "and " + r + ", 1\n";
  }
  return out;
}

// One program runs a nest for all sixteen inputs twice: written in the main
// program, and as the body of an msx64 function G that the main program
// calls. RDI ends as the checksum of the calls made, R14 as the stack
// pointer's drift (or-ed over every pass), R15 as the passes made.
TEST(Msx64ReserveMerge, RandomNestsRunEveryPathWithTheStackKept) {
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    NestGenerator gen(seed * 7919u);
    const std::vector<Stmt> inMain = gen.body(0, false, 0);
    const std::vector<Stmt> inG = gen.body(0, false, 0);
    std::string src = "function msx64 F(qword x): qword {\nmov rax, rcx\nrol rdi, 5\nadd rdi, rcx\n}\n";
    src += "function msx64 G(qword input): qword {\n" + splitBits("rcx");
    emit(inG, src);
    src += "}\nmov rbp, rsp\nxor rdi, rdi\nxor r14, r14\nxor r15, r15\nrepeat {\n" + splitBits("r15");
    emit(inMain, src);
    src += "mov rax, rsp\nsub rax, rbp\nor r14, rax\nrax = G(r15);\n"
           "mov rax, rsp\nsub rax, rbp\nor r14, rax\ninc r15\n} until (r15 == 16)\nret\n";
    uint64_t sum = 0;
    for (unsigned input = 0; input < 16; ++input) {
      run(inMain, input, sum);
      run(inG, input, sum);
    }
    FlatOptions options;
    options.instructionLimit = 5000000;
    const FlatRun r = runFlat(src, 64, options);
    ASSERT_TRUE(r.built) << r.compile.out << "\n" << src;
    ASSERT_TRUE(r.finished) << "seed " << seed << ": " << r.fault << " at " << r.pc << "\n" << src;
    EXPECT_EQ(r.reg(r15), 16u) << "seed " << seed << "\n" << src;
    EXPECT_EQ(r.reg(r14), 0u) << "seed " << seed << ": the stack pointer drifted\n" << src;
    EXPECT_EQ(r.reg(rDI), sum) << "seed " << seed << ": another path ran\n" << src;
  }
}

// The shapes of the report, one by one: a reserve is shared only where no
// label lies between the two calls.
TEST(Msx64ReserveMerge, NoMergeAcrossTheEndOfABranch) {
  const std::string f = "function msx64 F(qword x): qword {\nmov rax, rcx\n}\nmov rbp, rsp\n";
  const std::string end = "mov rdx, rsp\nsub rdx, rbp\nret\n";
  struct Case {
    const char* name;
    std::string body;
    uint64_t rax;
  };
  const std::vector<Case> cases = {
      {"if", "mov rbx, 0\nif (rbx == 1) {\nrax = F(1);\n}\nrax = F(2);\n", 2},
      {"else", "mov rbx, 1\nif (rbx == 1) {\nrax = F(1);\n} else {\nrax = F(3);\n}\nrax = F(2);\n", 2},
      {"elseif", "mov rbx, 0\nif (rbx == 1) {\nrax = F(1);\n} elseif (rbx == 2) {\nrax = F(3);\n}\nrax = F(2);\n",
       2},
      {"exitif", "mov rbx, 1\nif (rbx == 1) {\nrax = F(1);\nexitif (rbx == 1);\nrax = F(3);\n}\nrax = F(2);\n", 2},
      {"body", "function msx64 G(qword x): qword {\nmov rbx, rcx\nif (rbx == 1) {\nrax = F(1);\n}\n"
               "rax = F(2);\n}\nG(0);\n",
       2},
  };
  for (const Case& c : cases) {
    const FlatRun r = runFlat(f + c.body + end, 64);
    ASSERT_TRUE(r.built) << c.name << "\n" << r.compile.out;
    ASSERT_TRUE(r.finished) << c.name << ": " << r.fault << " at " << r.pc;
    EXPECT_EQ(r.reg(rAX), c.rax) << c.name;
    EXPECT_EQ(r.reg(rDX), 0u) << c.name << ": the stack pointer moved";
  }
}

// ---- The stack depth along the paths of a body without a frame ----

struct PathCase {
  const char* name;
  int mode;
  std::string body;  // a function F(p, q) without a frame, its locals first
  uint64_t p, q;     // the arguments
  uint64_t rax;      // what F returns
};

std::ostream& operator<<(std::ostream& os, const PathCase& c) { return os << c.name; }

std::vector<PathCase> pathCases() {
  const std::string head = "#set frame 0\nfunction F(dword p, q): dword {\n";
  const std::string head64 = "function msx64 F(qword p, q): qword {\n";
  const std::string arms = "dword a;\nmov a, 0x11\n";
  return {
      // Each arm starts at the depth the statement started at.
      {"IfElseArms", 32, head + arms + "if (p == 1) {\npush 1\n} else {\npush 2\n}\npop ecx\nmov eax, a\nadd eax, ecx\n",
       2, 0, 0x13},
      {"ElseifArms", 32,
       head + arms + "if (p == 1) {\npush 1\n} elseif (p == 2) {\npush 2\n} else {\npush 3\n}\npop ecx\n"
                     "mov eax, a\nadd eax, ecx\n",
       2, 0, 0x13},
      {"ElseifConditionReadsItsParameter", 32,
       head + arms + "if (p == 1) {\npush 1\n} elseif (p == 3) {\npush 3\n} else {\npush 5\n}\npop eax\n", 3, 0, 3},
      {"CaseStates", 32,
       head + arms + "case (p) {\nstate 1:\npush 1\nbreak;\nstate 2:\npush 2\nbreak;\ndefault:\npush 3\n}\n"
                     "pop ecx\nmov eax, a\nadd eax, ecx\n",
       2, 0, 0x13},
      {"CaseStateValueIsALocal", 32,
       "#set frame 0\nfunction F(dword p, q): dword {\ndword a, s;\nmov a, 0x11\nmov s, 2\npush esi\n"
       "mov edx, p\ncase (edx) {\nstate 1:\npop esi\nreturn 5;\nstate s:\nmov eax, a\nbreak;\n}\npop esi\n",
       2, 0, 0x11},
      {"Msx64Arms", 64,
       head64 + "qword a;\nmov a, 0x11\nif (p == 1) {\npush 1\n} else {\npush 2\n}\npop r10\nmov rax, a\nadd rax, r10\n",
       2, 0, 0x13},
      // A path that leaves does not change the depth of the path that stays.
      {"ReturnAfterPop", 32, head + arms + "push esi\nif (p == 1) {\npop esi\nreturn 7;\n}\nmov eax, a\npop esi\n", 2, 0,
       0x11},
      {"BreakAfterPop", 32,
       "#set frame 0\nfunction F(dword p, q): dword {\ndword a, n;\nmov a, 0x11\nmov n, 3\npush esi\n"
       "while (n != 0) {\ndec n\npush ebx\nif (n == 1) {\npop ebx\nbreak;\n}\npop ebx\n}\nmov eax, a\npop esi\n",
       0, 0, 0x11},
      {"ContinueAfterPop", 32,
       "#set frame 0\nfunction F(dword p, q): dword {\ndword a, n;\nmov a, 0x11\nmov n, 3\npush esi\n"
       "while (n != 0) {\ndec n\npush ebx\nif (n == 1) {\npop ebx\ncontinue;\n}\npop ebx\n}\nmov eax, a\npop esi\n",
       0, 0, 0x11},
      {"ExitifAfterPop", 32,
       "#set frame 0\nfunction F(dword p, q): dword {\ndword a, n;\nmov a, 0x11\nmov n, p\nmov eax, 0x22\n"
       "if (p != 5) {\npush ebx\nwhile (n != 0) {\ndec n\npop ebx\nexitif;\n}\nmov eax, a\npop ebx\n}\n",
       0, 0, 0x11},
      {"JumpToALabelAfterPop", 32,
       head + arms + "push esi\ncmp p, 1\njne skip\npop esi\nmov eax, 7\njmp done\nskip:\nmov eax, a\npop esi\ndone:\n",
       2, 0, 0x11},
      {"Msx64ReturnAfterPop", 64,
       head64 + "qword a;\nmov a, 0x11\npush rsi\nif (p == 1) {\npop rsi\nreturn 7;\n}\nmov rax, a\npop rsi\n", 2, 0,
       0x11},
      // A pop into a stack slot addresses it after the pop.
      {"PopIntoALocal", 32, head + "dword a, b;\nmov a, 0x11\nmov b, 0x22\npush 7\npop b\nmov eax, a\nadd eax, b\n", 0, 0,
       0x18},
      {"PopIntoAParameter", 32, head + "dword a;\nmov a, 0x11\npush 7\npop p\nmov eax, p\nadd eax, q\nadd eax, a\n", 1,
       0x20, 0x38},
      {"PopIntoAQwordLocal", 32,
       head + "qword w;\ndword a;\nmov a, 0x11\npush 0x22\npush 0x33\npop w\npush w\npop ecx\npop edx\n"
              "mov eax, a\nadd eax, ecx\nshl edx, 8\nadd eax, edx\n",
       0, 0, 0x2244},
      {"PopIntoALocalFunctionPointer", 32,
       "function Seven(): dword {\nmov eax, 7\n}\n" + head +
           "function* FP(): dword;\ndword a;\nmov a, 0x11\npush @Seven\npop FP\nFP();\nadd eax, a\n",
       0, 0, 0x18},
      {"PopIntoALocalWithUses", 32,
       head + "dword a, b;\nuses ebx, esi;\nmov a, 0x11\nmov b, 0x22\npush 7\npop b\nmov eax, a\nadd eax, b\n", 0, 0,
       0x18},
      {"Msx64PopIntoTheLocalNearestTheReturnAddress", 64,
       head64 + "qword a;\npush 0x1234\npop a\nmov rax, a\n", 0, 0, 0x1234},
      // enter is counted: the locals are read right after it.
      {"Enter", 32, head + arms + "enter 8, 0\nmov eax, a\nadd eax, p\nadd esp, 8\npop ebp\n", 5, 0, 0x16},
  };
}

class FramelessPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(FramelessPaths, LocalsAndParametersReadRight) {
  const PathCase& c = GetParam();
  // RBX/EBX: how far the stack pointer moved over the call.
  const std::string bx = c.mode == 64 ? "rbx" : "ebx", sp = c.mode == 64 ? "rsp" : "esp";
  const std::string src = c.body + "}\n#set frame 1\nmov " + bx + ", " + sp + "\nF(" + std::to_string(c.p) + ", " +
                          std::to_string(c.q) + ");\nsub " + bx + ", " + sp + "\nret\n";
  const FlatRun r = runFlat(src, c.mode);
  ASSERT_TRUE(r.built) << r.compile.out << "\n" << src;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc << "\n" << src;
  EXPECT_EQ(r.reg(rAX) & (c.mode == 64 ? ~0ull : 0xFFFFFFFFull), c.rax) << src;
  EXPECT_EQ(r.reg(rBX), 0u) << "the stack pointer moved\n" << src;
  EXPECT_EQ(r.compile.out.find("Warning"), std::string::npos) << r.compile.out;
}

INSTANTIATE_TEST_SUITE_P(Bodies, FramelessPaths, ::testing::ValuesIn(pathCases()),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

// The messages where paths meet with different depths, each at the
// statement or label where they meet.
TEST(FramelessPaths, PathsThatDisagreeAreNamed) {
  struct Case {
    std::string body;
    std::string message;
    int line;  // of the body, 1 = its first line
  };
  const std::vector<Case> cases = {
      {"if (p == 1) {\npush 1\n}\nmov eax, a\n",
       "[13061] The paths out of this if statement leave 0 and 4 bytes pushed", 3},
      {"if (p == 1) {\npush 1\nexitif (q == 2);\npop ecx\n}\n",
       "[13061] The paths out of this if statement leave 4 and 0 bytes pushed", 5},
      {"while (p != 0) {\npush 1\ndec p\n}\n", "[13062] This while loop starts with 0 bytes pushed and comes back to "
                                                 "its start with 4",
       4},
      {"repeat {\npush 1\ndec p\n} until (p == 0)\n",
       "[13062] This repeat loop starts with 0 bytes pushed and comes back to its start with 4", 4},
      {"while (p != 0) {\ndec p\npush 1\ncontinue;\n}\n",
       "[13062] This while loop starts with 0 bytes pushed and comes back to its start with 4", 4},
      {"case (p) {\nstate 1:\npush 1\nstate 2:\nmov eax, a\n}\n",
       "[13063] This state is entered with 0 bytes pushed from the case and with 4 from the state above", 4},
      {"case (p) {\nstate 1:\npush 1\nbreak;\nstate 2:\nbreak;\n}\n",
       "[13061] The paths out of this case statement leave 4 and 0 bytes pushed", 6},
      {"cmp p, 1\nje skip\npush 5\nskip:\nmov eax, a\n",
       "[13064] Label skip is reached with 0 bytes pushed on one path and with 4 on another", 4},
      {"top:\npush 5\ndec p\njnz top\n",
       "[13064] Label top is reached with 0 bytes pushed on one path and with 4 on another", 4},
      {"push 1\ncmp p, 1\nje skip\npop ecx\npop ecx\nskip:\n",
       "[13064] Label skip is reached with 4 bytes pushed on one path and with -4 on another", 6},
  };
  for (const Case& c : cases) {
    const std::string src =
        "#set frame 0\nfunction F(dword p, q): dword {\ndword a;\n" + c.body + "}\n#set frame 1\nF(1, 2);\nret\n";
    const RunResult r = runFlat(src, 32).compile;
    EXPECT_NE(r.exitCode, 0) << c.body;
    const size_t at = r.out.find("]: " + c.message);
    EXPECT_NE(at, std::string::npos) << c.message << "\n" << r.out;
    // The body starts on line 6 of the project (header, bits, frame,
    // function, locals).
    if (at != std::string::npos) {
      EXPECT_EQ(r.out.rfind("[" + std::to_string(c.line + 5) + ",", at), r.out.rfind('[', at - 1)) << c.body << r.out;
    }
    // The same body with a frame reads nothing from the stack pointer.
    const std::string framed = "function F(dword p, q): dword {\ndword a;\n" + c.body + "}\nF(1, 2);\nret\n";
    EXPECT_EQ(runFlat(framed, 32).compile.out.find("[1306"), std::string::npos) << c.body;
  }
}

// Returns and calls that leave the count wrong are warned without a frame.
TEST(FramelessPaths, ReturnsAndCallsThatLeaveBytesPushedAreWarned) {
  struct Case {
    std::string body;
    std::string warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {"push 1\nreturn 3;\n", "[13081] The function returns here with 4 bytes still pushed"},
      {"push 1\n", "[13081] The function returns here with 4 bytes still pushed"},
      {"pop ecx\n", "[13082] The function returns here with 4 bytes popped beyond what it pushed"},
      {"push 1\npop ecx\nreturn 3;\n", ""},
      {"uses ebx;\npush 1\npop ecx\n", ""},
      {"push 1\nmov eax, 0\ncall eax\n",
       "[13080] This call reaches a callee the compiler does not know with 4 bytes pushed"},
      {"push 1\ncall dword [ebx]\n",
       "[13080] This call reaches a callee the compiler does not know with 4 bytes pushed"},
      {"sub esp, 8\nmov eax, 0\ncall eax\nadd esp, 8\n", ""},
      {"uses esi;\nmov eax, 0\ncall eax\n", ""},
      {"push 1\ncall G\n", ""},
  };
  for (const Case& c : cases) {
    const std::string src = "function G(dword x): dword {\nmov eax, x\n}\n#set frame 0\nfunction F(dword p): dword {\n"
                            "dword a;\n" + c.body + "}\n#set frame 1\nret\nF(1);\n";
    const RunResult r = runFlat(src, 32).compile;
    ASSERT_EQ(r.exitCode, 0) << r.out;
    if (c.warning.empty()) {
      EXPECT_EQ(r.out.find("Warning"), std::string::npos) << c.body << "\n" << r.out;
    } else {
      EXPECT_NE(r.out.find("]: Warning: " + c.warning), std::string::npos) << c.body << "\n" << r.out;
    }
    // With a frame the epilogue releases everything the body pushed.
    const std::string framed = "function G(dword x): dword {\nmov eax, x\n}\nfunction F(dword p): dword {\ndword a;\n" +
                               c.body + "}\nret\nF(1);\n";
    EXPECT_EQ(runFlat(framed, 32).compile.out.find("Warning"), std::string::npos) << c.body;
  }
}

// ---- Random bodies without a frame ----

// A random body of pushes and pops in the arms of if, elseif and else, in
// case states, in while and repeat loops with break, continue and exitif,
// around labels and jumps of the source, with locals and parameters read
// and written at every depth. Every path has popped what it pushed where
// paths meet, so the body computes the same without a frame as with one.
// Pops go into a register or into a local (and in 32-bit code two words
// into a qword local); every value popped is mixed into the local sum, in
// order, which the body returns. Some bodies save a register with uses. No
// code is left that no path reaches.
class FramelessGenerator {
 public:
  // A mutation pushes one word more on one path into a place where paths
  // meet, which the build without a frame must refuse, naming the place.
  enum Mutation { None, IfArm, LoopBody, Label };

  FramelessGenerator(uint32_t seed, int mode, Mutation mutation = None)
      : rng_(seed), mode_(mode), mutation_(mutation) {
    acc_ = mode == 64 ? "rax" : "eax";
    scratch_ = mode == 64 ? "r10" : "ecx";
  }

  // The body of a function of two parameters p and q (0 to 3 each).
  std::string body(int fn) {
    fn_ = fn;
    out_.clear();
    d_ = 0;
    ctx_.clear();
    labels_ = 0;
    mutated_ = false;
    const std::string w = mode_ == 64 ? "qword" : "dword";
    out_ += w + " sum, a, b, c0, c1, c2, h0, h1, h2;\n";
    if (mode_ == 32) out_ += "qword w;\n";
    // Saved registers lie below the pushes of the body.
    saved_ = pick(2);
    if (saved_) out_ += mode_ == 64 ? "uses r11;\n" : "uses edx;\n";
    out_ += "mov sum, 0\nmov a, 3\nmov b, 5\n";
    if (mutation_ == Label) {
      // Two paths into a label of the source, one with a word pushed.
      const std::string l = label();
      out_ += "cmp " + param() + ", 1\nje " + l + "\npush 7\n" + l + ":\n";
      mutated_ = true;
      expectedCode_ = "[13064]";
      // The jump comes first, the path that runs into the label second;
      // depths count from the body's start, the saved register included.
      const int w = mode_ / 8;
      expected_ = "Label " + l + " is reached with " + num(saved_ * w) + " bytes pushed on one path and with " +
                  num((saved_ + 1) * w) + " on another";
    }
    sequence(0);
    out_ += "mov " + acc_ + ", sum\n";
    return out_;
  }
  bool mutated() const { return mutated_; }
  // The message's code, and words it holds.
  const std::string& expectedCode() const { return expectedCode_; }
  const std::string& expected() const { return expected_; }

 private:
  enum Kind { If, While, Repeat, Case };
  struct Ctx {
    Kind kind;
    int base;       // words pushed when the statement began
    int exits = 0;  // exits that jump to its end
  };

  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  static std::string num(int k) { return std::to_string(k); }
  std::string param() { return pick(2) ? "p" : "q"; }
  std::string local() { return pick(2) ? "a" : "b"; }
  std::string label() { return "L" + num(fn_) + "_" + num(labels_++); }
  std::string cond() {
    static const char* const kRel[4] = {" == ", " != ", " > ", " < "};
    const std::string x = pick(4) == 0 ? local() : param();
    return x + kRel[pick(4)] + num(pick(4));
  }
  // The value goes into sum after the sum so far is turned: the order of
  // the values counts.
  void mix(const std::string& reg) { out_ += "rol sum, 3\nadd sum, " + reg + "\n"; }
  void push() {
    const int r = pick(4);
    out_ += "push " + (r == 0 ? std::string("a") : r == 1 ? param() : num(1 + pick(200))) + "\n";
    ++d_;
  }
  void pop() {
    if (pick(3) == 0) {
      // Into a local, read back at once.
      const std::string v = local();
      out_ += "pop " + v + "\nmov " + acc_ + ", " + v + "\n";
      mix(acc_);
    } else {
      out_ += "pop " + scratch_ + "\n";
      mix(scratch_);
    }
    --d_;
  }
  void popTo(int base) {
    while (d_ > base) pop();
  }
  // Locals and parameters read and written at the depth of the moment.
  void compute() {
    const std::string x = pick(3) == 0 ? param() : local();
    out_ += "mov " + acc_ + ", " + x + "\nadd " + acc_ + ", " + num(1 + pick(50)) + "\nmov " + local() + ", " +
            acc_ + "\n";
    mix(acc_);
  }
  Ctx* innermost(bool loopOrCase) {
    for (size_t i = ctx_.size(); i-- > 0;)
      if ((ctx_[i].kind != If) == loopOrCase) return &ctx_[i];
    return nullptr;
  }

  // An exit: pops down to its target's depth, then leaves. A conditional
  // one goes on with fresh words pushed back. True when nothing follows.
  bool exit() {
    Ctx* rep = innermost(true);
    Ctx* ifCtx = innermost(false);
    const int r = pick(6);
    Ctx* to = nullptr;
    std::string text;
    bool ends = false;
    if (r == 0) {
      text = "return sum;\n";
      ends = true;
    } else if ((r == 1 || r == 2) && rep) {
      to = rep;
      ends = r == 1;
      text = ends ? "break;\n" : "break if (" + cond() + ");\n";
    } else if (r == 3 && rep && rep->kind == While) {
      // Not in a repeat: a continue there skips the until that ends it.
      text = "continue;\n";
      popTo(rep->base);
      out_ += text;
      return true;
    } else if ((r == 4 || r == 5) && ifCtx) {
      to = ifCtx;
      ends = r == 4;
      text = ends ? "exitif;\n" : "exitif (" + cond() + ");\n";
    } else {
      return false;
    }
    const int before = d_;
    popTo(to ? to->base : 0);
    out_ += text;
    if (to) ++to->exits;
    if (ends) return true;
    while (d_ < before) push();
    return false;
  }

  // Statements at the depth of the moment, which they leave as it was;
  // pops take only what the sequence pushed. True when the sequence ends
  // with code that nothing follows (d_ then is its depth at the start).
  bool sequence(int nest) {
    const int base = d_;
    const int n = 1 + pick(4);
    for (int i = 0; i < n; ++i) {
      if (statement(nest, base)) {
        d_ = base;
        return true;
      }
    }
    popTo(base);
    return false;
  }

  bool statement(int nest, int base) {
    switch (nest >= 3 ? pick(6) : pick(13)) {
      case 0:
      case 1:
        if (d_ < 6) push();
        return false;
      case 2:
        if (d_ > base) pop();
        return false;
      case 3: compute(); return false;
      case 4:
        // Two words popped into a qword local, pushed again and popped.
        if (mode_ == 32 && d_ - base >= 2) {
          out_ += "pop w\npush w\npop " + scratch_ + "\n";
          mix(scratch_);
          out_ += "pop " + scratch_ + "\n";
          mix(scratch_);
          d_ -= 2;
        }
        return false;
      case 5: return exit();
      case 6:
      case 7: return ifStatement(nest);
      case 8: loop(nest, While); return false;
      case 9: return loop(nest, Repeat);
      case 10: return caseStatement(nest);
      case 11: forwardJump(nest); return false;
      default: return handLoop(nest);
    }
  }

  bool ifStatement(int nest) {
    ctx_.push_back({If, d_});
    const int arms = 1 + pick(3);
    const bool hasElse = pick(2) == 1;
    bool allEnd = true;
    for (int k = 0; k < arms + (hasElse ? 1 : 0); ++k) {
      out_ += k == 0 ? "if (" + cond() + ") {\n" : k < arms ? "} elseif (" + cond() + ") {\n" : "} else {\n";
      const bool ends = sequence(nest + 1);
      allEnd = allEnd && ends;
      // The last arm of an if without else: the path past every arm is
      // the other way out.
      if (mutation_ == IfArm && !mutated_ && !hasElse && k == arms - 1 && !ends) {
        out_ += "push 7\n";
        mutated_ = true;
        // Depths count from the body's start, in bytes.
        const int base = (saved_ + ctx_.back().base) * mode_ / 8;
        expectedCode_ = "[13061]";
        expected_ = "The paths out of this if statement leave " + num(base) + " and " + num(base + mode_ / 8) +
                    " bytes pushed";
      }
    }
    out_ += "}\n";
    const bool ends = hasElse && allEnd && ctx_.back().exits == 0;
    ctx_.pop_back();
    return ends;
  }

  bool loop(int nest, Kind kind) {
    const std::string c = "c" + num(nest % 3);
    out_ += "mov " + c + ", " + num(1 + pick(3)) + "\n";
    out_ += kind == While ? "while (" + c + " != 0) {\n" : "repeat {\n";
    out_ += "dec " + c + "\n";
    ctx_.push_back({kind, d_});
    const bool ends = sequence(nest + 1);
    if (mutation_ == LoopBody && !mutated_ && !ends) {
      out_ += "push 7\n";
      mutated_ = true;
      expectedCode_ = "[13062]";
      expected_ = std::string(kind == While ? "This while loop" : "This repeat loop") + " starts with";
    }
    const int exits = ctx_.back().exits;
    ctx_.pop_back();
    out_ += kind == While ? "}\n" : "} until (" + c + " == 0)\n";
    // A while loop's condition may always fail; a repeat loop is left by
    // its until (reached only when the body runs to its end) or a break.
    return kind == Repeat && ends && exits == 0;
  }

  bool caseStatement(int nest) {
    out_ += "case (" + (pick(3) == 0 ? local() : param()) + ") {\n";
    ctx_.push_back({Case, d_});
    const int states = 1 + pick(3);
    int value = 0;
    bool lastEnds = false;
    for (int k = 0; k < states; ++k) {
      out_ += "state " + num(value++);
      if (pick(2)) out_ += ", " + num(value++);
      out_ += ":\n";
      // A state that does not leave runs into the next.
      lastEnds = sequence(nest + 1);
      if (!lastEnds && pick(2)) {
        out_ += "break;\n";
        ++ctx_.back().exits;
        lastEnds = true;
      }
    }
    const bool hasDefault = pick(2) == 1;
    if (hasDefault) {
      out_ += "default:\n";
      lastEnds = sequence(nest + 1);
    }
    const int exits = ctx_.back().exits;
    ctx_.pop_back();
    out_ += "}\n";
    // Without a default the scan runs to the end when no state matches.
    return hasDefault && lastEnds && exits == 0;
  }

  // A jump past code that pushes and pops, with a word pushed around it.
  void forwardJump(int nest) {
    const std::string l = label();
    const bool around = d_ < 6 && pick(2);
    if (around) push();
    out_ += "cmp " + param() + ", " + num(pick(4)) + "\n" + (pick(2) ? "je " : "jne ") + l + "\n";
    sequence(nest + 1);
    out_ += l + ":\n";
    if (around) pop();
  }

  // A loop of the source: a label, a body, and a jump back while a
  // counter runs down. True when the body always leaves.
  bool handLoop(int nest) {
    const std::string l = label(), h = "h" + num(nest % 3);
    out_ += "mov " + h + ", " + num(1 + pick(3)) + "\n" + l + ":\n";
    if (sequence(nest + 1)) return true;
    out_ += "dec " + h + "\njnz " + l + "\n";
    return false;
  }

  std::mt19937 rng_;
  int mode_;
  Mutation mutation_;
  std::string acc_, scratch_;
  std::string out_;
  int fn_ = 0;
  int d_ = 0;  // words pushed since the body began, uses aside
  int saved_ = 0;  // words uses saved
  std::vector<Ctx> ctx_;
  int labels_ = 0;
  bool mutated_ = false;
  std::string expectedCode_, expected_;
};

// The head of a function of the generated bodies, without a frame (an
// msx64 body in 64-bit code) or with one.
std::string framelessHead(int mode, const std::string& name, bool frame) {
  const std::string w = mode == 64 ? "qword" : "dword";
  if (mode == 64) return std::string("function ") + (frame ? "" : "msx64 ") + name + "(" + w + " p, q): " + w + " {\n";
  return std::string(frame ? "#set frame 1\n" : "#set frame 0\n") + "function " + name + "(" + w + " p, q): " + w +
         " {\n";
}

// Six bodies per program, each built without a frame (F) and with one (G),
// each called with six pairs of inputs: the checksums of the two builds
// agree, and the stack is where it was.
TEST(FramelessDepth, RandomBodiesComputeAsWithAFrame) {
  const int inputs[6][2] = {{0, 0}, {1, 2}, {2, 1}, {3, 3}, {1, 0}, {2, 3}};
  for (int mode : {32, 64}) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
      FramelessGenerator gen(seed * 104729u + static_cast<uint32_t>(mode), mode);
      std::string src, calls;
      const std::string sp = mode == 64 ? "rsp" : "esp", a = mode == 64 ? "rax" : "eax";
      const std::string sumF = mode == 64 ? "rdi" : "edi", sumG = mode == 64 ? "rsi" : "esi";
      const std::string drift = mode == 64 ? "rbx" : "ebx";
      for (int k = 0; k < 6; ++k) {
        const std::string body = gen.body(k), n = std::to_string(k);
        src += framelessHead(mode, "F" + n, false) + body + "}\n" + framelessHead(mode, "G" + n, true) + body + "}\n";
        for (const auto& in : inputs) {
          const std::string args = "(" + std::to_string(in[0]) + ", " + std::to_string(in[1]) + ");\n";
          calls += "F" + n + args + "rol " + sumF + ", 5\nadd " + sumF + ", " + a + "\n";
          calls += "G" + n + args + "rol " + sumG + ", 5\nadd " + sumG + ", " + a + "\n";
        }
      }
      src += "#set frame 1\nmov " + drift + ", " + sp + "\nxor " + sumF + ", " + sumF + "\nxor " + sumG + ", " + sumG +
             "\n" + calls + "sub " + drift + ", " + sp + "\nret\n";
      FlatOptions options;
      options.instructionLimit = 5000000;
      const FlatRun r = runFlat(src, mode, options);
      ASSERT_TRUE(r.built) << "mode " << mode << " seed " << seed << "\n" << r.compile.out << "\n" << src;
      ASSERT_TRUE(r.finished) << "mode " << mode << " seed " << seed << ": " << r.fault << " at " << r.pc << "\n"
                              << src;
      EXPECT_EQ(r.compile.out.find("Warning"), std::string::npos) << r.compile.out;
      EXPECT_EQ(r.reg(rBX), 0u) << "mode " << mode << " seed " << seed << ": the stack pointer moved\n" << src;
      EXPECT_EQ(r.reg(rDI), r.reg(rSI)) << "mode " << mode << " seed " << seed
                                        << ": a body without a frame computed otherwise\n"
                                        << src;
    }
  }
}

// A body whose paths meet with different depths gets the message that
// names the place and both depths, without a frame; with a frame, where
// nothing is read from the stack pointer, it builds.
TEST(FramelessDepth, PathsThatDisagreeAreRefused) {
  using M = FramelessGenerator::Mutation;
  for (int mode : {32, 64}) {
    for (M mutation : {M::IfArm, M::LoopBody, M::Label}) {
      int found = 0;
      for (uint32_t seed = 1; seed <= 200 && found < 2; ++seed) {
        FramelessGenerator gen(seed * 7907u + static_cast<uint32_t>(mutation), mode, mutation);
        const std::string body = gen.body(0);
        if (!gen.mutated()) continue;
        ++found;
        const std::string tail = "}\n#set frame 1\nF(1, 2);\nret\n";
        const RunResult r = runFlat(framelessHead(mode, "F", false) + body + tail, mode).compile;
        EXPECT_NE(r.exitCode, 0) << body;
        EXPECT_NE(r.out.find("]: " + gen.expectedCode() + " " + gen.expected()), std::string::npos)
            << gen.expectedCode() << " " << gen.expected() << "\n" << r.out << "\n" << body;
        if (mode == 32) {
          const RunResult framed = runFlat(framelessHead(mode, "F", true) + body + tail, mode).compile;
          EXPECT_EQ(framed.exitCode, 0) << framed.out << "\n" << body;
        }
      }
      EXPECT_EQ(found, 2) << "mode " << mode << ": too few bodies took mutation " << mutation;
    }
  }
}

// ---- Alignment at msx64 calls ----

// Probe returns RSP modulo 16 as it finds it: 8 behind an aligned call.
// Six callers per local size, each returning what Probe saw: msx64 bodies
// and stdcall bodies with and without a frame, each without and with uses.
TEST(Msx64Alignment, EveryCallFromEveryBodyIsAligned) {
  const char* const kResults[6] = {"r12", "r13", "r14", "r15", "rbx", "rdi"};
  for (int size = 1; size <= 40; ++size) {
    const std::string odd = "byte odd[" + std::to_string(size) + "];\n";
    std::string src =
        "function msx64 Probe(): qword {\nmov rax, rsp\nand rax, 15\n}\n"
        "function msx64 Probe5(qword a, b, c, d, e): qword {\nmov rax, rsp\nand rax, 15\nadd rax, e\n}\n";
    // The callers call Probe and then Probe5 (whose fifth argument is 0),
    // and return what both saw, or-ed with 16 when they differ.
    auto bodyOf = [&](bool uses, bool lateLocal) {
      std::string b = odd;
      if (uses) b += "uses rsi;\n";
      b += "mov odd, 1\nrax = Probe();\nmov rsi, rax\n";
      if (lateLocal) b += "byte late[" + std::to_string(size % 7 + 1) + "];\n";
      b += "rax = Probe5(1, 2, 3, 4, 0);\nif (rax != rsi) {\nor rax, 16\n}\n";
      return b;
    };
    int k = 0;
    for (int kind = 0; kind < 3; ++kind) {
      for (bool uses : {false, true}) {
        const std::string name = "C" + std::to_string(k);
        if (kind == 2) src += "#set frame 0\n";
        src += std::string("function ") + (kind == 0 ? "msx64 " : "") + name + "(): qword {\n" +
               bodyOf(uses, kind == 1) + "}\n";
        if (kind == 2) src += "#set frame 1\n";
        ++k;
      }
    }
    src += "mov rbp, rsp\n";
    // A stdcall call pushes no padding: the bodies are entered as by an
    // aligned call, the contract every body's msx64 calls build on.
    for (k = 0; k < 6; ++k) {
      const bool stdcall = k >= 2;
      src += std::string(stdcall ? "sub rsp, 8\n" : "") + "C" + std::to_string(k) + "();\n" +
             (stdcall ? "add rsp, 8\n" : "") + "mov " + kResults[k] + ", rax\n";
    }
    src += "mov rax, rsp\nsub rax, rbp\nret\n";
    const FlatRun r = runFlat(src, 64);
    ASSERT_TRUE(r.built) << r.compile.out << "\n" << src;
    ASSERT_TRUE(r.finished) << "locals " << size << ": " << r.fault << " at " << r.pc;
    const int regs[6] = {r12, r13, r14, r15, rBX, rDI};
    const char* const kinds[6] = {"msx64", "msx64 with uses", "frame", "frame with uses", "frameless",
                                  "frameless with uses"};
    for (k = 0; k < 6; ++k) EXPECT_EQ(r.reg(regs[k]), 8u) << kinds[k] << ", locals " << size;
    EXPECT_EQ(r.reg(rAX), 0u) << "the stack pointer moved, locals " << size;
  }
}

// ---- The stack depth after hand-written stack changes ----

struct HandWritten {
  const char* name;
  int mode;
  std::string source;
  uint64_t rax;
};

std::ostream& operator<<(std::ostream& os, const HandWritten& h) { return os << h.name << "/" << h.mode; }

std::vector<HandWritten> handWritten() {
  std::vector<HandWritten> v;
  for (int mode : {16, 32, 64}) {
    const std::string a = mode == 16 ? "ax" : mode == 32 ? "eax" : "rax";
    const std::string sp = mode == 16 ? "sp" : mode == 32 ? "esp" : "rsp";
    const std::string w = mode == 16 ? "word" : mode == 32 ? "dword" : "qword";
    const std::string two = std::to_string(2 * mode / 8);
    const std::string diff = "function cdecl Diff(" + w + " a, b): " + w + " {\n" + a + " = a;\n" + a + " -= b;\n}\n";
    const std::string sdiff = "function SDiff(" + w + " a, b): " + w + " {\n" + a + " = a;\n" + a + " -= b;\n}\n";
    const std::string head = "#set frame 0\nfunction F(" + w + " a): " + w + " {\n" + w + " t;\nmov t, 1000\n";
    const std::string tail = "mov " + a + ", t\nadd " + a + ", a\n}\n#set frame 1\nF(10);\n";
    v.push_back({"CdeclCallThenAdd", mode,
                 diff + head + "push 3\npush a\ncall Diff\nadd " + sp + ", " + two + "\n" + tail, 1010});
    v.push_back({"CdeclCallResultKept", mode,
                 diff + head + "push 3\npush a\ncall Diff\nadd " + sp + ", " + two + "\nadd t, " + a + "\n" + tail,
                 1017});
    v.push_back({"StdcallCall", mode, sdiff + head + "push 3\npush a\ncall SDiff\n" + tail, 1010});
    v.push_back({"SubThenAdd", mode,
                 head + "sub " + sp + ", 12\nmov " + a + ", a\nadd t, " + a + "\nadd " + sp + ", 12\n" + tail, 1020});
    v.push_back({"AddOfANegativeNumber", mode,
                 head + "add " + sp + ", -" + two + "\nadd t, 5\nsub " + sp + ", -" + two + "\n" + tail, 1015});
    if (mode == 32)
      v.push_back({"LeaOfTheStackPointer", mode,
                   head + "lea " + sp + ", [" + sp + "-" + two + "]\nadd t, 7\nlea " + sp + ", [" + sp + "+" + two +
                       "]\n" + tail,
                   1017});
  }
  return v;
}

class HandWrittenStack : public ::testing::TestWithParam<HandWritten> {};

TEST_P(HandWrittenStack, LocalsAndParametersReadRightAfterIt) {
  const HandWritten& h = GetParam();
  const FlatRun r = runFlat(h.source + "ret\n", h.mode);
  ASSERT_TRUE(r.built) << r.compile.out << "\n" << h.source;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rAX) & (h.mode == 16 ? 0xFFFF : ~0ull), h.rax) << h.source;
  EXPECT_EQ(r.compile.out.find("Warning"), std::string::npos) << r.compile.out;
}

INSTANTIATE_TEST_SUITE_P(Frameless, HandWrittenStack, ::testing::ValuesIn(handWritten()),
                         [](const ::testing::TestParamInfo<HandWritten>& info) {
                           return std::string(info.param.name) + "_" + std::to_string(info.param.mode);
                         });

// A change the compiler cannot follow is warned in a body without a frame,
// and only there.
TEST(HandWrittenStack, UnfollowedChangesAreWarnedWithoutAFrame) {
  struct Case {
    std::string line;
    bool frame;
    bool warned;
  };
  const std::vector<Case> cases = {
      {"mov esp, ebx", false, true},  {"and esp, -16", false, true}, {"sub esp, eax", false, true},
      {"xchg ebx, esp", false, true}, {"mov esp, ebx", true, false}, {"add esp, 0", false, false},
      {"cmp esp, ebx", false, false}, {"leave", false, true},       {"leave", true, false},
      {"pop esp", false, true},       {"btr esp, 2", false, true},   {"bts esp, 2", false, true},
      {"btc esp, 2", false, true},    {"bt esp, 2", false, false},  {"btr esp, 2", true, false},
  };
  for (const Case& c : cases) {
    const std::string src = std::string(c.frame ? "" : "#set frame 0\n") + "function F(dword a): dword {\ndword t;\n"
                            "mov ebx, esp\n" + c.line + "\n}\n#set frame 1\nF(1);\nret\n";
    const RunResult r = runFlat(src, 32).compile;
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const std::string mnemonic = c.line.substr(0, c.line.find(' '));
    const std::string warning =
        "]: Warning: [13060] " + mnemonic +
        " changes the stack pointer in a way the compiler cannot follow: locals and parameters read after it are "
        "not adjusted";
    const size_t at = r.out.find(warning);
    EXPECT_EQ(at != std::string::npos, c.warned) << c.line << "\n" << r.out;
    // At the line that changes the stack pointer.
    if (at != std::string::npos) {
      EXPECT_EQ(r.out.rfind("[7,", at), r.out.rfind('[', at - 1)) << r.out;
    }
    EXPECT_EQ(r.out.find("Warning") != std::string::npos, c.warned) << c.line << "\n" << r.out;
  }
}

// ---- uses flags with locals ----

struct FlagsCase {
  int mode;
  bool frame;
  bool msx64;
  int locals;  // bytes
};

std::ostream& operator<<(std::ostream& os, const FlagsCase& c) {
  return os << c.mode << (c.frame ? " frame" : " frameless") << (c.msx64 ? " msx64" : "") << " locals "
            << c.locals;
}

std::vector<FlagsCase> flagsCases() {
  std::vector<FlagsCase> v;
  for (int mode : {16, 32, 64})
    for (bool frame : {true, false})
      for (int locals : {8, 200}) v.push_back({mode, frame, false, locals});
  for (int locals : {8, 200}) v.push_back({64, false, true, locals});
  return v;
}

class UsesFlags : public ::testing::TestWithParam<FlagsCase> {};

// The caller sets CF (and, a second time, clears it); the body saves the
// flags, writes its locals and changes the flags; the caller finds its own
// flags back, and the locals hold what was written.
TEST_P(UsesFlags, KeepTheCallersFlagsWhateverTheLocals) {
  const FlagsCase& c = GetParam();
  const std::string a = c.mode == 16 ? "ax" : c.mode == 32 ? "eax" : "rax";
  const std::string b = c.mode == 16 ? "bx" : c.mode == 32 ? "ebx" : "rbx";
  const std::string w = c.mode == 16 ? "word" : c.mode == 32 ? "dword" : "qword";
  const std::string n = std::to_string(c.locals / (c.mode / 8));
  std::string src = c.frame ? "" : "#set frame 0\n";
  src += std::string("function ") + (c.msx64 ? "msx64 " : "") + "F(): " + w + " {\n" + w + " t[" + n + "];\n" +
         "uses flags;\nmov t, 7\nmov " + a + ", 1\nadd " + a + ", t\nxor " + b + ", " + b + "\n}\n#set frame 1\n";
  // The call is written by hand: a call statement may change the flags itself.
  const std::string call = c.msx64 ? "sub rsp, 40\n" : "";
  // Released after the flags are read.
  const std::string release = c.msx64 ? "add rsp, 40\n" : "";
  src += call + "stc\ncall F\nmov " + b + ", 0\nadc " + b + ", 0\nmov si, bx\n" + release + call +
         "clc\ncall F\nmov " + b + ", 0\nadc " + b + ", 0\n" + release + "ret\n";
  const FlatRun r = runFlat(src, c.mode);
  ASSERT_TRUE(r.built) << r.compile.out << "\n" << src;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  EXPECT_EQ(r.reg(rSI) & 0xFFFF, 1u) << "CF set before the call is lost";
  EXPECT_EQ(r.reg(rBX), 0u) << "CF clear before the call is lost";
  EXPECT_EQ(r.reg(rAX) & 0xFFFF, 8u) << "the local was not read back";
}

INSTANTIATE_TEST_SUITE_P(Bodies, UsesFlags, ::testing::ValuesIn(flagsCases()),
                         [](const ::testing::TestParamInfo<FlagsCase>& info) {
                           const FlagsCase& c = info.param;
                           return std::to_string(c.mode) + (c.frame ? "_frame" : "_frameless") +
                                  (c.msx64 ? "_msx64" : "") + "_" + std::to_string(c.locals);
                         });

// A body that does not save the flags keeps its "sub" room; one that does
// gets a "lea" of the same size, as the disassembler reads them.
TEST(UsesFlags, OnlyBodiesThatSaveTheFlagsChangeTheirRoom) {
  for (int mode : {16, 32, 64}) {
    for (bool flags : {false, true}) {
      const std::string w = mode == 16 ? "word" : mode == 32 ? "dword" : "qword";
      const std::string src = "function F(): " + w + " {\n" + w + " t[3];\n" + (flags ? "uses flags;\n" : "") +
                              "mov t, 1\n}\nF();\nret\n";
      const FlatRun r = runFlat(src, mode);
      ASSERT_TRUE(r.built) << r.compile.out;
      // The room follows the prologue's "mov ebp, esp".
      const std::vector<Decoded> code =
          decodeAll(std::string_view(reinterpret_cast<const char*>(r.image.data()), r.image.size()), mode);
      size_t at = 0;
      while (at < code.size() && code[at].mnemonic != "mov") ++at;
      ASSERT_LT(at + 1, code.size());
      const Decoded& room = code[at + 1];
      const int64_t bytes = 3 * mode / 8;
      if (flags) {
        EXPECT_EQ(room.mnemonic, "lea") << room.text;
        ASSERT_EQ(room.ops.size(), 2u);
        EXPECT_EQ(room.ops[1].disp, -bytes) << room.text;
      } else {
        EXPECT_EQ(room.mnemonic, "sub") << room.text;
        ASSERT_EQ(room.ops.size(), 2u);
        EXPECT_EQ(room.ops[1].imm, bytes) << room.text;
      }
    }
  }
}

}  // namespace
}  // namespace vorak::test
