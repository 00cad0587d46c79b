// Register, segment, memory-operand and uses statements: the instructions
// they compile to as a disassembler reads them, every message they stop
// with and where, the register assumptions and the saved-register list.
#include <gtest/gtest.h>

#include <iterator>
#include <map>

#include "compiler/source/IdentManager.h"
#include "compiler/statements/RegisterHandlers.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/VarManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

using Lines = std::vector<std::string>;

class RegisterStatementTest : public CompileTest {
 protected:
  // The main program's code for body in the given mode, as Capstone prints
  // it. A jump's target is a placeholder until the builder lays the code out,
  // so a jump reads as its mnemonic alone and the filler after it is dropped.
  Lines shape(const std::string& body, int bits) {
    const std::string text = "program TEST;\n#set bits " + std::to_string(bits) + "\n" + body;
    write("p.vor", text);
    std::string printed;
    bool stopped = false;
    printed = captureStdout([&] {
      try {
        Compiler->LoadProject(dir() + "/p.vor");
        Compiler->Compile();
      } catch (const EAbort&) {
        stopped = true;
      }
    });
    if (stopped) return {firstLine(printed)};
    // Jump placeholders by their place in the code.
    std::map<uint32_t, const TFixup*> jumps;
    for (const TFixup* f : fixups())
      if (f->hint == ftJmp) jumps[f->position] = f;
    Lines out;
    uint32_t at = 0;
    for (const Decoded& d : decodeAll(code(), bits)) {
      const uint32_t here = at;
      at += static_cast<uint32_t>(d.length);
      const auto j = jumps.lower_bound(here);
      if (j != jumps.end() && j->first < here + d.length) {
        // The first byte of a placeholder starts the jump; the rest is filler.
        if (j->first == here) out.push_back(jumpName(j->second->jmp));
        continue;
      }
      if (j != jumps.begin() && std::prev(j)->first + std::prev(j)->second->size > here) continue;
      out.push_back(d.text);
    }
    return out;
  }
  static std::string jumpName(TJmpType t) {
    static const char* const names[] = {"jo", "jno", "jb", "jae", "je", "jne", "jbe", "ja",
                                        "js", "jns", "jp", "jnp", "jl", "jge", "jle", "jg", "jmp"};
    return t <= jtJMP ? names[t] : "j?";
  }
};

struct ShapeCase {
  const char* name;
  int bits;
  const char* body;
  Lines expected;
};

TEST_F(RegisterStatementTest, StatementsCompileToTheseInstructions) {
  const ShapeCase cases[] = {
      {"ZeroIsXor", 32, "eax = 0;", {"xor eax, eax"}},
      {"NotZeroIsXorThenNot", 32, "eax = ~0;", {"xor eax, eax", "not eax"}},
      {"ZeroIntoMemoryIsAMove", 32, "dword [esi] = 0;", {"mov dword ptr [esi], 0"}},
      {"Chain", 32, "eax = ebx + 5 - ecx;", {"mov eax, ebx", "add eax, 5", "sub eax, ecx"}},
      {"NegPrefix", 32, "eax = - ebx;", {"mov eax, ebx", "neg eax"}},
      {"NotPrefix", 32, "eax = !ebx;", {"mov eax, ebx", "not eax"}},
      {"MinusSignBelongsToTheNumber", 32, "eax = -5;", {"mov eax, 0xfffffffb"}},
      {"AloneEmitsNothing", 32, "eax;", {}},
      // A move of a register into itself is dropped by default; written
      // out when optimising is off.
      {"SelfMoveDroppedByDefault", 32, "eax = eax;", {}},
      {"SelfMoveKeptWithoutOptimising", 32, "#set optimise 0\neax = eax;", {"mov eax, eax"}},
      {"Compare", 32, "eax == 5;\necx != edx;", {"cmp eax, 5", "cmp ecx, edx"}},
      {"AddSub", 32, "eax += ebx;\necx -= 2;", {"add eax, ebx", "sub ecx, 2"}},
      {"IncDec", 32, "eax++;\necx--;", {"inc eax", "dec ecx"}},
      {"Logic", 32, "eax &= ebx;\necx |= 2;\nedx ^= edx;", {"and eax, ebx", "or ecx, 2", "xor edx, edx"}},
      {"ShiftsOfAnUnsignedRegister", 32, "ecx << 2;\necx >> cl;", {"shl ecx, 2", "shr ecx, cl"}},
      // sal and shl are one instruction; only the right shift tells them apart.
      {"ShiftsOfASignedRegister", 32, "[int32] ecx >> 2;", {"sar ecx, 2"}},
      {"MulByIsTwoOperandImul", 32, "eax *= ebx;\nax *= 3;", {"imul eax, ebx", "imul ax, ax, 3"}},
      {"CarryFlag", 32, "eax = carry_flag;", {"setb al", "movzx eax, al"}},
      {"NotZeroFlag", 32, "eax = !zero_flag;", {"setne al", "movzx eax, al"}},
      {"NegatedFlag", 32, "ecx = -sign_flag;", {"sets cl", "movzx ecx, cl", "neg ecx"}},
      {"FlagIntoASignedRegister", 32, "[int32] edx = overflow_flag;", {"seto dl", "movsx edx, dl"}},
      {"FlagIntoAByte", 32, "ah = parity_flag;", {"setp ah"}},
      // SI, DI, BP and SP have no low byte that setcc reaches without REX:
      // a jump over "mov 1" loads them.
      {"FlagIntoEsi", 32, "esi = carry_flag;", {"mov esi, 0", "jae", "mov esi, 1"}},
      {"NotFlagIntoEdi", 32, "edi = !zero_flag;", {"mov edi, 0", "je", "mov edi, 1"}},
      {"FlagIntoEbpNegated", 32, "ebp = -sign_flag;", {"mov ebp, 0", "jns", "mov ebp, 1", "neg ebp"}},
      {"FlagIntoAx16", 16, "ax = carry_flag;", {"setb al", "movzx ax, al"}},
      {"FlagIntoAx32", 32, "ax = carry_flag;", {"setb al", "movzx ax, al"}},
      {"FlagIntoRax", 64, "rax = carry_flag;", {"setb al", "movzx rax, al"}},
      {"FlagIntoR8", 64, "r8 = carry_flag;", {"movabs r8, 0", "jae", "movabs r8, 1"}},
      {"FlagIntoSi16", 16, "si = zero_flag;", {"mov si, 0", "jne", "mov si, 1"}},
      {"FlagThenChain", 32, "eax = carry_flag + ebx;", {"setb al", "movzx eax, al", "add eax, ebx"}},
      {"ConditionalValue", 32, "eax = (ecx == 0) ? 1 : 2;", {"test ecx, ecx", "jne", "mov eax, 1", "jmp", "mov eax, 2"}},
      {"ConditionalValueWithIf", 32, "eax = if (ecx < 5) -ebx : ~ebx;",
       {"cmp ecx, 5", "jae", "mov eax, ebx", "neg eax", "jmp", "mov eax, ebx", "not eax"}},
      {"ConditionalValueWithoutSecond", 32, "eax = (carry_flag == 1) 1;", {"jae", "mov eax, 1", "jmp"}},
      {"ConditionalValueWithoutFirst", 32, "eax = (ecx != ebx) ? : 3;", {"cmp ecx, ebx", "je", "jmp", "mov eax, 3"}},
      {"AsAfterAssignment", 32, "eax = ebx as 0;", {"mov eax, ebx"}},
      {"AsAlone", 32, "eax as 0;", {}},
      {"SegmentLoad", 16, "ds = ax;\nes = bx;", {"mov ds, ax", "mov es, bx"}},
      {"MemoryStatements", 32,
       "dword [ebx + 8] = 5;\n[ebx + 8] += ecx;\ndword [ebx] -= 1;\ndword [ebx] == 3;\nbyte [ebx] != 3;",
       {"mov dword ptr [ebx + 8], 5", "add dword ptr [ebx + 8], ecx", "sub dword ptr [ebx], 1",
        "cmp dword ptr [ebx], 3", "cmp byte ptr [ebx], 3"}},
      // Memory shifts take no sign: a signed slot shifts logically too.
      {"MemoryShifts", 32, "dword [eax] << 2;\nint32 [eax] >> 1;",
       {"shl dword ptr [eax], 2", "shr dword ptr [eax], 1"}},
      // Increments read no value: "[esp]++;" stands complete.
      {"IncrementsOfMemoryReadNoValue", 32, "dword [esp]++;\ndword [esp]--;\nword [eax]++;",
       {"inc dword ptr [esp]", "dec dword ptr [esp]", "inc word ptr [eax]"}},
      {"IncrementOfStackSlot64", 64, "qword [rsp]++;", {"inc qword ptr [rsp]"}},
      {"MemoryAloneEmitsNothing", 32, "dword [eax];", {}},
      {"Uses", 32, "uses ebx, esi, flags;", {"push ebx", "push esi", "pushfd"}},
      {"UsesWithoutCommas", 32, "uses ebx esi;", {"push ebx", "push esi"}},
      {"UsesPoppedInReverseByRet", 32, "uses ebx, esi, flags;\nret", {"push ebx", "push esi", "pushfd", "popfd",
                                                                     "pop esi", "pop ebx", "ret"}},
      {"UsesFlags64", 64, "uses rbx, flags;\nret", {"push rbx", "pushfq", "popfq", "pop rbx", "ret"}},
      {"UsesFlags16", 16, "uses bx, flags;\nret", {"push bx", "pushfd", "popfd", "pop bx", "ret"}},
  };
  for (const ShapeCase& c : cases) {
    reset();
    EXPECT_EQ(shape(c.body, c.bits), c.expected) << c.name;
  }
}

// Every message of these statements, with the place it points at.
TEST_F(RegisterStatementTest, ErrorsAndWhereTheyPoint) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"eax 5;", "[2,3]: [423431] Expected a math operator in [p.vor]"},
      {"eax = ebx + eax;", "[2,15]: [43521] Expressions do not support referencing assignment operand in [p.vor]"},
      {"ax = bx - [eax];", "[2,15]: [43522] Expressions do not support referencing assignment operand in [p.vor]"},
      {"ecx = 1 + [ebx + ecx*2];",
       "[2,23]: [43523] Expressions do not support referencing assignment operand in [p.vor]"},
      {"eax = trap_flag;", "[2,15]: [952134] Flag not supported with operation. in [p.vor]"},
      {"eax = adjust_flag;", "[2,17]: [952134] Flag not supported with operation. in [p.vor]"},
      {"eax /= 2;", "[2,5]: [42340] Invalid math operator \"/\" in [p.vor]"},
      {"eax < 2;", "[2,5]: [42340] Invalid math operator \"<\" in [p.vor]"},
      {"al *= 2;", "[2,5]: [42340] Invalid math operator \"*=\" in [p.vor]"},
      {"dword [eax] *= 2;", "[2,14]: [42340] Invalid math operator \"*=\" in [p.vor]"},
      {"dword [eax] &= 2;", "[2,14]: [42340] Invalid math operator \"&=\" in [p.vor]"},
      {"dword [eax] |= 2;", "[2,14]: [42340] Invalid math operator \"|=\" in [p.vor]"},
      {"dword [eax] ^= 2;", "[2,14]: [42340] Invalid math operator \"^=\" in [p.vor]"},
      {"dword [eax] 5", "[2,11]: [42341] Expected a math operator in [p.vor]"},
      {"ds 5", "[2,4]: [64211] Unexpected number 5 in [p.vor]"},
      {"eax as 5;", "[2,8]: [67454] Unexpected number 5 in [p.vor]"},
      {"eax as ebx;", "[2,10]: [67452] Unexpected register ebx in [p.vor]"},
      {"eax as foo;", "[2,10]: [67453] Unexpected ident foo in [p.vor]"},
      {"eax as 0 nop", "[2,12]: [7645] Unexpected ident nop in [p.vor]"},
      {"eax = ebx as dword nop", "[2,22]: [7645] Unexpected ident nop in [p.vor]"},
      {"uses 5;", "[2,6]: [423] Unexpected number 5 in [p.vor]"},
      {"uses ebx, flag;", "[2,14]: [53763] Unexpected ident flag in [p.vor]"},
      {"uses ebx", "[2,9]: [423] Unexpected EOF in [p.vor]"},
      {"eax = p();", "[2,7]: [423] Procedures do not return values in [p.vor]"},
      {"dword [eax] = p();", "[2,15]: [4234] Procedures do not return values in [p.vor]"},
      {"eax = ", "[2,7]: [1201] Unexpected EOF in [p.vor]"},
      {"eax << ebx;", "[2,10]: [124412] Invalid operand(s) in [p.vor]"},
      {"eax = if 5;", "[2,10]: [849228] Unexpected number 5 in [p.vor]"},
      {"eax = (ecx == 0 ? 1 : 2;", "[2,17]: [849198] Unexpected symbol ? in [p.vor]"},
      {"eax = (ecx == 0) 1 2;", "[2,20]: [849200] Unexpected number 2 in [p.vor]"},
      {"eax = (ecx == 0) ? 1 : 2 3", "[2,26]: [849201] Unexpected number 3 in [p.vor]"},
      {"uses al;", "[2,7]: [124412] Invalid operand(s) in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    // A procedure the statements may name as their source.
    TFunction* proc = FuncMan->CreateFunction(ltProc, nullptr);
    Idents->addIdent(itProc, "p", proc);
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
    EXPECT_EQ(assignOperand, nullptr) << c.body;
    EXPECT_TRUE(assignOperandText.empty()) << c.body;
  }
}

// Forms that have no instruction, refused with a message that says why and
// names what was written: a conditional value or a prefix on a target that
// is no register, an operand of a size the mode has no operand of (8 bytes
// outside 64-bit code, 3 bytes anywhere), in a statement, a condition or an
// instruction line, and a return that would cut its value.
TEST_F(RegisterStatementTest, FormsWithoutAnInstructionAreNamed) {
  const std::string cond = "A conditional value goes into a register or a variable, and ";
  const std::string condEnd = " is a memory operand: choose the value in a register (eax = (c) ? a : b;) and "
                              "store the register in [p.vor]";
  auto prefix = [](const char* p, const char* target) {
    return std::string("A \"") + p + "\" before a value applies to a register target only, and " + target +
           " is not a register: load the value into a register, apply the \"" + p +
           "\" there and store the register in [p.vor]";
  };
  auto eight = [](const char* name, int bits) {
    return std::string(name) + " is 8 bytes, and " + std::to_string(bits) +
           "-bit code has no 8-byte integer operand: there 8-byte values take only moves, pushes and arguments "
           "in [p.vor]";
  };
  const std::string three = " is 3 bytes, and 32-bit code has no integer operand of that size in [p.vor]";
  const std::string rec = "block R {\ndword a;\ndword m;\n}\nesi as R;\n";
  const std::string t3 = "block T3 {\nbyte x[3];\n}\nT3 a3[4];\n";
  struct Case {
    std::string body, message;
  } cases[] = {
      {"dword [esi] = (ecx == 0) ? 1 : 2;", "[2,13]: [45184] " + cond + "[esi]" + condEnd},
      {rec + "esi.m = if (ecx == 0) 1 : 2;", "[7,7]: [45184] " + cond + "esi.m" + condEnd},
      {"dword [esi] = -edx;", "[2,13]: [45185] " + prefix("-", "[esi]")},
      {"dword gd;\ngd = (bl == 1) ? 0 : -edx;", "[3,20]: [45185] " + prefix("-", "gd")},
      {"dword gd;\ngd = ~edx;", "[3,4]: [45185] " + prefix("~", "gd")},
      {"qword q;\nq = 5;", "[3,5]: [45182] " + eight("q", 32)},
      {"qword q;\nq += 1;", "[3,6]: [45182] " + eight("q", 32)},
      {"qword q;\nif (q > 6) { nop }", "[3,5]: [45182] " + eight("q", 32)},
      {"qword q;\ninc q", "[3,5]: [45182] " + eight("q", 32)},
      {"block Q {\ndword a;\nqword b;\n}\nQ r;\nr.b = eax;", "[7,9]: [45182] " + eight("r.b", 32)},
      {"#set bits 16\nqword q;\nq = 5;", "[4,5]: [45182] " + eight("q", 16)},
      {"block Q {\ndword a;\nqword b;\n}\nesi as Q;\nesi.b >> 5;", "[7,8]: [45182] " + eight("esi.b", 32)},
      {"qword [ebx] += 1;", "[2,14]: [45182] " + eight("[ebx]", 32)},
      {"procedure P {\nqword l;\nl = eax;\n}", "[4,7]: [45182] " + eight("l", 32)},
      {t3 + "mov eax, a3[1]", "[6,14]: [45183] a3[1]" + three},
      {t3 + "eax = a3[1];", "[6,11]: [45183] a3[1]" + three},
      {t3 + "a3[2] = eax;", "[6,11]: [45183] a3[2]" + three},
      {t3 + "if (a3[0] == 1) { nop }", "[6,9]: [45183] a3[0]" + three},
      {"qword q;\nfunction F(): qword {\nreturn q;\n}",
       "[4,8]: [45181] q does not fit the result of F: its 8-byte result comes back in eax, only the low 4 bytes, "
       "and q would lose the rest in [p.vor]"},
      {"function F(): qword {\nreturn 0x123456789;\n}",
       "[3,18]: [45181] 0x123456789 does not fit the result of F: its 8-byte result comes back in eax, only the "
       "low 4 bytes, and 0x123456789 would lose the rest in [p.vor]"},
      {"#set bits 16\nqword q;\nfunction F(): int64 {\nreturn q;\n}",
       "[5,8]: [45181] q does not fit the result of F: its 8-byte result comes back in eax, only the low 4 bytes, "
       "and q would lose the rest in [p.vor]"},
      {"#set bits 64\nblock T10 {\nbyte x[10];\n}\nT10 t;\nfunction F(): T10 {\nreturn t;\n}",
       "[8,8]: [45181] t does not fit the result of F: its 10-byte result comes back in rax, only the low 8 bytes, "
       "and t would lose the rest in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
  }
}

// A function whose uses list holds the register of its result gets the
// caller's value back there at every return: warned at the uses line.
TEST_F(RegisterStatementTest, UsesOfTheResultRegisterIsWarned) {
  struct Case {
    const char* body;
    const char* warning;  // nullptr: none
  } cases[] = {
      {"function F(): dword {\nuses ebx, eax;\n}",
       "[3,13]: Warning: [45180] uses eax in F: F returns its result in eax, and every return pops eax over it"},
      {"function F(): byte {\nuses ax;\n}",
       "[3,7]: Warning: [45180] uses ax in F: F returns its result in al, and every return pops ax over it"},
      {"#set bits 16\nfunction F(): dword {\nuses ax;\n}",
       "[4,7]: Warning: [45180] uses ax in F: F returns its result in eax, and every return pops ax over it"},
      {"#set bits 64\nfunction F(): qword {\nuses rax;\n}",
       "[4,8]: Warning: [45180] uses rax in F: F returns its result in rax, and every return pops rax over it"},
      {"function F(): dword {\nuses ebx, edx;\n}", nullptr},
      {"procedure P {\nuses eax;\n}", nullptr},
  };
  for (const Case& c : cases) {
    reset();
    const std::string out = compileBody(c.body);
    const size_t at = out.find("[45180]");
    if (!c.warning) {
      EXPECT_EQ(at, std::string::npos) << c.body << "\n" << out;
      continue;
    }
    EXPECT_NE(out.find(c.warning), std::string::npos) << c.body << "\n" << out;
  }
}

TEST_F(RegisterStatementTest, UsesRecordsTheRegistersOwnNames) {
  compileBody("uses EBX, Esi, FLAGS;\n");
  EXPECT_EQ(usesList(Compiler->MainFunc()), (TUsesList{"ebx", "esi", "flags"}));
}

TEST_F(RegisterStatementTest, AsSetsAndClearsTheAssumption) {
  // The type record of a name in the run now going.
  auto type = [](std::string_view name) {
    const PIdent id = Idents->findIdent(name, Idents->CurrentScope());
    return id ? static_cast<const TVarType*>(id->ptr) : nullptr;
  };
  compileBody("ecx as dword;\n");
  ASSERT_NE(type("dword"), nullptr);
  EXPECT_EQ(RegMan->Registers[REG_ECX].assume, type("dword"));
  reset();
  compileBody("ecx as dword;\necx as 0;\n");
  EXPECT_EQ(RegMan->Registers[REG_ECX].assume, nullptr);
  // A value that is no variable clears it as well.
  reset();
  compileBody("ecx as dword;\necx = 5;\n");
  EXPECT_EQ(RegMan->Registers[REG_ECX].assume, nullptr);
  reset();
  compileBody("ecx = 5 as word;\n");
  EXPECT_EQ(RegMan->Registers[REG_ECX].assume, type("word"));
}

// Writing the first register can change what the second holds.
TEST(RegistersOverlap, ByTheRegisterTheyLiveIn) {
  struct Case {
    TRegister a, b;
    bool overlap;
  } cases[] = {
      {REG_AX, REG_EAX, true},   {REG_EAX, REG_AL, true},   {REG_RAX, REG_AH, true},
      {REG_AL, REG_AH, false},   {REG_CH, REG_CL, false},   {REG_AH, REG_AH, true},
      {REG_AX, REG_AH, true},    {REG_ESP, REG_AH, false},  {REG_SP, REG_ESP, true},
      {REG_EDI, REG_DIL, true},  {REG_R8, REG_R8D, true},   {REG_R8W, REG_R8B, true},
      {REG_R8, REG_AX, false},   {REG_R12, REG_ESP, false}, {REG_SPL, REG_RSP, true},
      {REG_EAX, REG_NONE, false}, {REG_R15B, REG_R15, true}, {REG_EBX, REG_ECX, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(registersOverlap(c.a, c.b), c.overlap) << regToStr(c.a) << "/" << int(c.b);
    EXPECT_EQ(registersOverlap(c.b, c.a), c.overlap) << regToStr(c.b) << "/" << int(c.a);
  }
}

// A chain may read any register but the target's own.
TEST_F(RegisterStatementTest, ChainsReadOtherRegistersFreely) {
  EXPECT_EQ(shape("al = bl + ah;\nax = bx + [esi + edi];\n", 32),
            (Lines{"mov al, bl", "add al, ah", "mov ax, bx", "add ax, word ptr [esi + edi]"}));
}

}  // namespace
}  // namespace vorak::test
