// The stack as the compiler keeps track of it, run in the emulator: msx64
// reserves shared between calls only where no jump lands between them,
// the stack aligned at every msx64 call from every kind of body, locals and
// parameters read right after hand-written stack changes, and the caller's
// flags kept by a body that saves them.
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
      {"cmp esp, ebx", false, false},
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
