// Plain instruction lines are read straight from the buffer when they can be;
// the tokenizer reads everything else. Both ways must give the same code, the
// same line count and the same messages at the same positions: generated
// programs and mutated lines are compiled both ways and compared.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "encoder/InstructionTable.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

struct Outcome {
  bool built = false;
  std::string printed;  // everything the compile printed, messages with their positions
  std::string code;     // the main program's code
};

class DirectLines : public CompileTest {
 protected:
  Outcome compileWay(const std::string& text, bool direct) {
    reset();
    Compiler->setDirectLines(direct);
    write("p.vor", text);
    Outcome o;
    o.printed = captureStdout([&] {
      try {
        Compiler->LoadProject(dir() + "/p.vor");
        Compiler->Compile();
        o.built = true;
      } catch (const EAbort&) {
        o.built = false;
      }
    });
    if (o.built) {
      o.code = code();
      o.printed += "\nlines: " + std::to_string(Compiler->GetTotalLines());
    }
    return o;
  }

  // Compiles text both ways; returns the direct outcome.
  Outcome expectSame(const std::string& text) {
    const Outcome direct = compileWay(text, true);
    const Outcome tokens = compileWay(text, false);
    EXPECT_EQ(direct.built, tokens.built) << text;
    EXPECT_EQ(direct.printed, tokens.printed) << text;
    EXPECT_EQ(direct.code, tokens.code) << text;
    return direct;
  }
};

std::string header(int bits) { return "program TEST;\n#set bits " + std::to_string(bits) + "\n"; }

// Lines of the plain forms and of the forms next to them, valid in the mode.
class LineGenerator {
 public:
  LineGenerator(int bits, uint32_t seed) : bits_(bits), rng_(seed) {}

  // Labels are numbered from 1 in every program.
  void startProgram() { labels_ = 0; }

  std::string line() {
    switch (pick(10)) {
      case 0: return same("mov");
      case 1: {
        const std::string r = reg();
        return ins("add", r, number());
      }
      case 2: return ins("cmp", reg(), mem());
      case 3: return ins("mov", mem(), reg());
      case 4: return lea();
      case 5: return ins(pick(2) ? "push" : "pop", wideReg());
      case 6: return same(pick(2) ? "sub" : "xor");
      case 7: return ins(pick(2) ? "inc" : "neg", reg());
      case 8: return pick(2) ? "  nop" : "  ret";
      default: return label();
    }
  }

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  std::string spelled(std::string s) {
    switch (pick(6)) {
      case 0:
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        break;
      case 1: s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0]))); break;
      default: break;
    }
    return s;
  }
  std::string blank() {
    static const char* const kBlanks[] = {"", "", " ", " ", "  ", "\t", " \t", "\r"};
    return kBlanks[pick(8)];
  }
  std::string sep() {
    static const char* const kSeps[] = {", ", ",", " ,", "\t,\t", " , ", ",\n  ", ", /* c */ "};
    return kSeps[pick(7)];
  }

  // The width of the last register chosen; reg(0) takes that width again.
  std::string reg(int width = -1) {
    static const char* const k8[] = {"al", "bl", "cl", "dl", "ah", "bh"};
    static const char* const k16[] = {"ax", "bx", "cx", "dx", "si", "di", "bp"};
    static const char* const k32[] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "ebp"};
    static const char* const k64[] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r15"};
    // 16-bit code knows no 32-bit register names.
    if (width < 0) width_ = bits_ == 64 ? static_cast<int>(pick(3)) + 1 : static_cast<int>(pick(bits_ == 16 ? 2 : 3));
    switch (width_) {
      case 0: return spelled(k8[pick(bits_ == 64 ? 4 : 6)]);
      case 1: return spelled(k16[pick(7)]);
      case 2: return spelled(k32[pick(7)]);
      default: return spelled(k64[pick(8)]);
    }
  }
  std::string wideReg() {
    static const char* const k16[] = {"ax", "bx", "si", "bp"};
    static const char* const k32[] = {"eax", "ebx", "esi", "ebp"};
    static const char* const k64[] = {"rax", "rbx", "r9", "rbp"};
    const char* const* set = bits_ == 16 ? k16 : bits_ == 32 ? k32 : k64;
    return spelled(set[pick(4)]);
  }
  std::string baseReg() {
    if (bits_ == 16) return spelled(pick(2) ? "bx" : "bp");
    return wideReg();
  }
  std::string indexReg() {
    static const char* const k32[] = {"esi", "edi", "ecx", "edx"};
    static const char* const k64[] = {"rsi", "rdi", "rcx", "r10"};
    if (bits_ == 16) return spelled(pick(2) ? "si" : "di");
    return spelled((bits_ == 32 ? k32 : k64)[pick(4)]);
  }
  // A number the last register chosen can hold.
  std::string number() {
    if (width_ == 0) return pick(2) ? std::to_string(pick(128)) : "-" + std::to_string(pick(128) + 1);
    switch (pick(7)) {
      case 0: return std::to_string(pick(128));
      case 1: return "-" + std::to_string(pick(128) + 1);
      case 2: return std::to_string(pick(30000));
      case 3: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%X", pick(0x7FFF));
        return buf;
      }
      case 4: return "0x0";
      case 5: return "00" + std::to_string(pick(9));
      default: return std::to_string(pick(2));
    }
  }
  std::string disp() {
    static const char* const kDisps[] = {"4", "8", "16", "127", "128", "0x10", "0x7F0", "1000", "0"};
    return kDisps[pick(9)];
  }
  std::string mem() {
    std::string s = "[" + blank() + baseReg() + blank();
    const uint32_t shape = pick(5);
    if (shape >= 1) {
      s += "+" + blank() + indexReg() + blank();
      // 16-bit memory operands take no scale.
      if (shape >= 3 && bits_ != 16) {
        static const char* const kScales[] = {"1", "2", "4", "8"};
        s += "*" + blank() + kScales[pick(4)] + blank();
      }
    }
    if (pick(3)) s += (pick(3) ? "+" : "-") + blank() + disp() + blank();
    return s + "]";
  }
  std::string label() {
    ++labels_;
    const std::string name = "L" + std::to_string(labels_);
    std::string s = name + ":";
    if (labels_ > 1) s += "\n  j" + std::string(pick(2) ? "ne" : "mp") + " L" + std::to_string(labels_ - 1);
    return s;
  }
  // lea takes a 32-bit register, and 16-bit code none.
  std::string lea() {
    if (bits_ == 16) return ins("mov", reg(), mem());
    static const char* const k32[] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "ebp"};
    return ins("lea", spelled(k32[pick(7)]), mem());
  }
  // Two registers of one width.
  std::string same(const std::string& m) {
    const std::string a = reg();
    return ins(m, a, reg(0));
  }
  std::string ins(const std::string& m, const std::string& a, const std::string& b = {}) {
    std::string s = (pick(4) ? "  " : "\t") + spelled(m) + (pick(3) ? " " : "\t") + a;
    if (!b.empty()) s += sep() + b;
    switch (pick(8)) {
      case 0: s += " // note"; break;
      case 1: s += ";"; break;
      case 2: s += " ;"; break;
      case 3: s += "   "; break;
      default: break;
    }
    return s;
  }

  int bits_;
  std::mt19937 rng_;
  int width_ = 2;
  uint32_t labels_ = 0;
};

class DirectLinesByMode : public DirectLines, public ::testing::WithParamInterface<int> {};

TEST_P(DirectLinesByMode, GeneratedProgramsCompileAlikeBothWays) {
  const int bits = GetParam();
  LineGenerator gen(bits, 1234u + static_cast<uint32_t>(bits));
  for (int program = 0; program < 6; ++program) {
    std::string text = header(bits);
    gen.startProgram();
    for (int i = 0; i < 150; ++i) text += gen.line() + "\n";
    const Outcome o = expectSame(text);
    // The generator writes only what the mode takes: a failure here is one
    // of the reader's, not of the program.
    EXPECT_TRUE(o.built) << o.printed;
    EXPECT_GT(o.code.size(), 150u);
    // The standard include declares nothing that would keep the direct
    // reader off.
    EXPECT_FALSE(Idents->holdsMnemonic());
  }
}

// Changes at one place of a valid line: a byte that ends, splits or joins a
// token where the direct reader has to see it (or leave the line to the
// tokenizer). Most give an error, whose text and position must not depend
// on the way the line was read.
TEST_P(DirectLinesByMode, MutatedLinesGiveTheSameCodeOrMessage) {
  const int bits = GetParam();
  static const char* const kInserts[] = {
      "?", "]", "[", "@", ",", "/*x*/", "//x\n", "\n", ".", "+", "-", "*", "0x", "x", "9", "$", ":", "\"",
      "'", " ", "\t", ";", "}", "{", "(", "eax", "0", ".5", "\\", "#"};
  LineGenerator gen(bits, 99u + static_cast<uint32_t>(bits));
  std::mt19937 rng(7u + static_cast<uint32_t>(bits));
  int built = 0;
  for (int i = 0; i < 70; ++i) {
    std::string line = gen.line();
    if (line.find(':') != std::string::npos) continue;  // labels refer to each other
    const size_t at = rng() % (line.size() + 1);
    line.insert(at, kInserts[rng() % std::size(kInserts)]);
    built += expectSame(header(bits) + "  nop\n" + line + "\n  nop\n").built;
  }
  // Both kinds of outcome are met.
  EXPECT_GT(built, 0);
  EXPECT_LT(built, 70);
}

INSTANTIATE_TEST_SUITE_P(Modes, DirectLinesByMode, ::testing::Values(16, 32, 64),
                         [](const ::testing::TestParamInfo<int>& i) { return "Bits" + std::to_string(i.param); });

// Lines at the edges of the plain forms, each on its own.
TEST_F(DirectLines, EdgeLinesCompileAlikeBothWays) {
  const char* const kLines[] = {
      "mov eax, ebx ecx",          "mov eax, 5abc",           "mov eax, 0x",
      "mov eax, 0xZZ",             "mov eax, 0X10",           "mov eax, 0b101",
      "mov eax, [ebx+esi*3]",      "mov eax, [ebx+esi*04]",   "mov eax, [ebx+99999999999]",
      "mov eax, [ebx-4294967295]", "mov eax, [ebx+4294967295]", "mov eax, [ebx-2147483648]",
      "mov eax, [ebx-2147483649]", "mov eax, [ax]",           "mov eax, [ebx",
      "mov eax, [ebx+]",           "mov eax,, ebx",           "mov eax, ebx,",
      "add eax, 5.5",              "mov eax, ebx.x",          "mov al, ebx",
      "mov eax, -",                "mov eax, 99999999999999999999", "mov eax, 999999999999999999",
      "mov eax, 9999999999999999999", "mov eax, 0xFFFFFFFFFFFFFFFF", "mov eax, 0x1FFFFFFFFFFFFFFFF",
      "mov eax, 0x00000000000000001", "push eax junk",        "mov eax, [esp*2]",
      "lea eax, [ebx+esp*2]",      "mov eax, [esi*4+ebx]",    "mov eax, [4+ebx]",
      "mov eax, [ebx+4+esi]",      "mov eax, [ebx+esi+4+8]",  "mov eax, 0x123456789",
      "mov eax, [ebx+esi*4+16",    "mov eax, ebx/",           "mov eax, [ebx/*c*/+4]",
      "mov eax, [ebx]garbage",     "mov eax, [ebx] + 4",      "mov eax,\nebx",
      "mov eax\n, ebx",            "mov eax, [ebx\n+4]",      "mov eax, [ebx+\n4]",
      "mov eax, ebx ]",            "mov: mov eax, ebx",       "mov eax, [ ebx + esi * 2 - 0x10 ]",
      "MOV EAX, [EBX+ESI*8+0X10]", "mov eax, [ebx+0x10]",     "mov eax, -0x10",
      "mov eax, --5",              "mov eax, [ebx+-5]",       "mov eax, [ebx--5]",
      "mov eax, [ebx+esi*2*2]",    "mov eax, [ebx*2]",        "mov eax, [ebx*2+esi]",
      "imul eax, ebx, 10",         "imul eax, [ebx], -3",     "shl eax, 3,",
      "ret 8",                     "ret\n8",                  "ret // c\n",
      "ret;nop",                   "nop eax",                 "mov eax, ebx;mov ecx, edx",
      "xchg eax,ebx",              "mov eax, eax/**/",        "mov eax, 5/**/6",
      "mov eax, ebx\r",            "mov\teax,\tebx",          "movzx eax, bl",
      "mov eax, ebp.field",        "mov eax,ebx,ecx",         "mov eax, carry_flag",
      "mov eax, cs",               "mov eax, st0",            "mov eax, [ebx+esi*2+ecx]",
      "mov eax, [ebx + 1 * 4]",    "call eax",                "jmp ebx",
      "mov eax, [ebx+esi*1]",      "mov eax, [ebx+esi]",      "mov eax, 4294967295",
      "mov eax, -2147483649",      "inc",                     "push",
      "mov eax, ebx[5];",          "mov eax, [ebx] [4];",     "mov eax, 5[1]",
  };
  for (const char* line : kLines) expectSame(header(32) + "  nop\n  " + line + "\n  nop\n");
  // The source's last bytes.
  expectSame(header(32) + "  mov eax, ebx");
  expectSame(header(32) + "  mov eax, [ebx");
  expectSame(header(32) + "  mov eax, 5");
  expectSame(header(32) + "  ret");
  expectSame(header(32) + "  mov");
}

// 64-bit code sign-extends a 32-bit displacement: one its field cannot hold
// is refused with the same message whichever way the line is read, and one
// it holds reads back as written. 32-bit code wraps the same numbers.
TEST_F(DirectLines, DisplacementsBeyondTheSignExtendedFieldAreRefusedBothWays) {
  const char* const kRefused[] = {
      "mov rax, [rbx+0xFFFFFFFF]",   "mov rax, [rbx + 2147483648]", "add [rbx+rsi*8+0x80000000], eax",
      "lea eax, [rbx+0x80000000]",   "push [rbx+0xFFFFFFF8]",       "mov [rsp+0x90000000], rax",
      "cmp rax, [rbx - 0 + 0xFFFFFFFF]",
  };
  for (const char* line : kRefused) {
    const Outcome o = expectSame(header(64) + "  nop\n  " + line + "\n  nop\n");
    EXPECT_FALSE(o.built) << line;
    EXPECT_NE(o.printed.find("Displacement out of range: 64-bit code takes -2147483648 .. 2147483647"),
              std::string::npos)
        << line << "\n" << o.printed;
  }
  Outcome o = expectSame(header(64) + "  mov rax, [rbx+0x7FFFFFFF]\n  mov rax, [rbx-0x80000000]\n");
  ASSERT_TRUE(o.built) << o.printed;
  EXPECT_EQ(disasm(nullptr, 64), (std::vector<std::string>{"mov rax, qword ptr [rbx + 0x7fffffff]",
                                                            "mov rax, qword ptr [rbx - 0x80000000]"}));
  o = expectSame(header(32) + "  mov eax, [ebx+0xFFFFFFFF]\n  mov eax, [ebx + 0x80000000]\n");
  ASSERT_TRUE(o.built) << o.printed;
  EXPECT_EQ(disasm(), (std::vector<std::string>{"mov eax, dword ptr [ebx - 1]",
                                                 "mov eax, dword ptr [ebx - 0x80000000]"}));
}

// A register with an assumed record type reads its fields with a path; the
// register alone is not the operand then.
TEST_F(DirectLines, RegisterFieldPathsStayOperands) {
  const Outcome o = expectSame(header(32) +
                               "block Pair {\ndword a;\nword b;\n}\nebx as Pair;\n"
                               "  mov eax, ebx.a\n  mov cx, ebx.b\n  mov edx, ebx\n");
  ASSERT_TRUE(o.built) << o.printed;
  EXPECT_EQ(disasm(), (std::vector<std::string>{"mov eax, dword ptr [ebx]", "mov cx, word ptr [ebx + 4]",
                                                 "mov edx, ebx"}));
}

// A declaration spelled like a mnemonic takes the statement from the
// instruction, whichever way lines are read.
TEST_F(DirectLines, NamesSpelledLikeMnemonicsKeepTheirMeaning) {
  const char* const kSources[] = {
      "inline op procedure push($r) { mov $r, 1 }\npush eax;\n",
      "inline op procedure Xor($a, $b) { mov $a, $b }\nxor eax, 9;\n",
      "const add = 5;\nadd eax, 1\n",
      "jmp nop\nnop:\nnop\n",
  };
  for (const char* body : kSources) expectSame(header(32) + body);
  const Outcome macro = compileWay(header(32) + kSources[0], true);
  ASSERT_TRUE(macro.built) << macro.printed;
  EXPECT_EQ(disasm(), std::vector<std::string>{"mov eax, 1"});
}

// A name that is an instruction row names nothing else in any mode: no
// keyword, register, segment, flag or x87/MMX/XMM register takes it, so the
// reader may take it as the instruction as long as no declaration does.
TEST_F(DirectLines, MnemonicsNameNothingElse) {
  for (const int bits : {16, 32, 64}) {
    CompileFlags.cpu_bits = static_cast<uint32_t>(bits);
    for (const TInstruction& row : instructions) {
      std::string name(row.name, strnlen(row.name, sizeof row.name));
      for (int spelling = 0; spelling < 2; ++spelling) {
        if (spelling == 1)
          for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        TCurrentToken tk;
        tk.setIdentifier(name);
        EXPECT_EQ(tk.F_Type, ttIdent) << name << " in " << bits << "-bit mode";
        EXPECT_EQ(tk.F_IdentType, itNone) << name << " in " << bits << "-bit mode";
        EXPECT_EQ(tk.F_Keyword, keyNone) << name;
      }
    }
  }
}

TEST_F(DirectLines, TheIdentifierTableNotesNamesSpelledLikeMnemonics) {
  Idents->addIdent(itLabel, "movement", nullptr);
  Idents->addIdent(itLabel, "L1", nullptr);
  EXPECT_FALSE(Idents->holdsMnemonic());
  Idents->addIdent(itLabel, "MovZX", nullptr);
  EXPECT_TRUE(Idents->holdsMnemonic());
}

}  // namespace
}  // namespace vorak::test
