// The statement loop: plain instruction lines decoded by Capstone, the
// statements it handles itself, the dispatch of every other statement and
// the messages, with their positions, for what cannot start one.
#include <gtest/gtest.h>

#include "compiler/source/IdentManager.h"
#include "compiler/symbols/VarManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class LoopTest : public CompileTest {};

using Lines = std::vector<std::string>;

TEST_F(LoopTest, InstructionLinesAreEncodedAsWritten) {
  compileBody(
      "add eax, ebx; sub ecx, 5\n"
      "  XOR edx, EDX // a comment\n"
      "imul esi, [edi + ebx*4 + 8], 100\n"
      ";;\n"
      "lea eax, [ebp - 4]\n"
      "shl dword [eax], cl\n");
  EXPECT_EQ(disasm(), (Lines{"add eax, ebx", "sub ecx, 5", "xor edx, edx", "imul esi, dword ptr [edi + ebx*4 + 8], 0x64",
                             "lea eax, [ebp - 4]", "shl dword ptr [eax], cl"}));
}

TEST_F(LoopTest, NegativeAndWideImmediates) {
  compileBody("add eax, -1\nmov ecx, -2\nand edx, 0xFFFFFFF0\nsub al, -1\nmov dword [esi], -5\n");
  EXPECT_EQ(disasm(), (Lines{"add eax, 0xffffffff", "mov ecx, 0xfffffffe", "and edx, 0xfffffff0", "sub al, 0xff",
                             "mov dword ptr [esi], 0xfffffffb"}));
}

TEST_F(LoopTest, ImmediateTooWideForItsOperandIsRefused) {
  EXPECT_EQ(fatalBody("add eax, 0x123456789\n"), "[2,20]: [9999] Operand size mismatch! in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits 64\nmov eax, 0x123456789\n"), "[3,20]: [9999] Operand size mismatch! in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits 64\nadd rax, 0x123456789\n"), "[3,20]: [9999] Operand size mismatch! in [p.vor]");
}

TEST_F(LoopTest, WideImmediateFillsASixtyFourBitRegister) {
  compileBody("#set bits 64\nmov rax, 0x123456789\n");
  EXPECT_EQ(disasm(nullptr, 64), (Lines{"movabs rax, 0x123456789"}));
}

TEST_F(LoopTest, FloatingPointAndVectorInstructionLines) {
  compileBody(
      "fld st1\n"
      "fadd st0, st1\n"
      "fstp qword [esi]\n"
      "paddd mm0, mm1\n"
      "addps xmm2, xmm3\n"
      "movq xmm1, [eax + 8]\n");
  EXPECT_EQ(disasm(), (Lines{"fld st(1)", "fadd st(1)", "fstp qword ptr [esi]", "paddd mm0, mm1", "addps xmm2, xmm3",
                             "movq xmm1, qword ptr [eax + 8]"}));
}

TEST_F(LoopTest, OperandsAfterTheMnemonicAreOptionalOnlyWhereTheRowSaysSo) {
  // ret takes none or one: a line end, ";", "}" or the end of the text ends it.
  compileBody("ret\nret;\nret 8\nret // c\n  nop\nret }");
  EXPECT_EQ(code(), std::string("\xC3\xC3\xC2\x08\x00\xC3\x90\xC3", 8));
}

TEST_F(LoopTest, ReturnAtTheEndOfTheText) {
  compileBody("ret");
  EXPECT_EQ(code(), "\xC3");
}

TEST_F(LoopTest, NotAndNegStatements) {
  compileBody("~eax\n- ecx\n~ dword [esi]\n");
  EXPECT_EQ(disasm(), (Lines{"not eax", "neg ecx", "not dword ptr [esi]"}));
}

TEST_F(LoopTest, NotAndNegReportTheEncodersText) {
  EXPECT_EQ(fatalBody("~ 5\n"), "[2,3]: [6519] Invalid operand(s) in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("- es\n"), "[2,4]: [6520] Invalid operand(s) in [p.vor]");
}

TEST_F(LoopTest, MessagesOfTheLoop) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"*", "[2,1]: [9900] Unexpected symbol \"*\" in [p.vor]"},
      {"nop\n  (", "[3,3]: [9900] Unexpected symbol \"(\" in [p.vor]"},
      {"# set bits 32", "[2,1]: [9902] Unexpected symbol \"#\" in [p.vor]"},
      {"#5", "[2,1]: [9902] Unexpected symbol \"#\" in [p.vor]"},
      {"$(", "[2,1]: [9902] Unexpected symbol \"$\" in [p.vor]"},
      {"foo eax", "[2,3]: [9000] Unexpected ident foo in [p.vor]"},
      {"movement", "[2,8]: [9000] Unexpected ident movement in [p.vor]"},
      {"5;", "[2,1]: [5234] Unexpected number 5 in [p.vor]"},
      {"'text';", "[2,6]: [5234] Unexpected ansi string 'text' in [p.vor]"},
      {"1.5;", "[2,3]: [5234] Unexpected float 1.5 in [p.vor]"},
      {"program X;", "[2,7]: [10000] Unexpected reserved keyword program in [p.vor]"},
      {"stdcall", "[2,7]: [11000] Unexpected reserved keyword stdcall in [p.vor]"},
      {"else", "[2,4]: [11000] Unexpected reserved keyword else in [p.vor]"},
      {"st0", "[2,3]: [12000] Unexpected x87 register st0 in [p.vor]"},
      {"add eax", "[2,7]: [9999] Not enough parameters! in [p.vor]"},
      {"add al, ebx", "[2,11]: [9999] Operand size mismatch! in [p.vor]"},
      {"add eax, ebx, ecx, edx", "[2,17]: [9999] Too many parameters! in [p.vor]"},
      {"imul eax, ebx, 5, 6", "[2,17]: [9900] Unexpected symbol \",\" in [p.vor]"},
      {"add eax ebx", "[2,7]: [9999] Not enough parameters! in [p.vor]"},
      {"#set bits 64\naaa", "[3,3]: [9998] Instruction not available in 64 bit mode! in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
  }
}

// The loop and the operand parser look ahead (for ":", ",", ";", a line
// end, "["); a message afterwards still points at what was read.
TEST_F(LoopTest, LookingAheadLeavesThePositionWhereItWas) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"ret\n\n\n   bogus", "[5,8]: [9000] Unexpected ident bogus in [p.vor]"},
      {"add eax, ebx\n\n  foo", "[4,5]: [9000] Unexpected ident foo in [p.vor]"},
      {"lbl :", "[2,3]: [9000] Unexpected ident lbl in [p.vor]"},
      {"push\n  eax\nfoo", "[4,3]: [9000] Unexpected ident foo in [p.vor]"},
      {"jmp nowhere   ; nop\n\n", "[2,11]: [00012] Label nowhere does not exist! in [p.vor]"},
      {"push @ \n [esi+4]\n  bar", "[4,5]: [9000] Unexpected ident bar in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
  }
  // Nor does a look-ahead count lines twice.
  reset();
  compileBody("ret\n\n\nret\n");
  EXPECT_EQ(Compiler->FileList()[1]->TotalLines(), 6u);
}

TEST_F(LoopTest, FlagStatement) {
  compileBody("carry_flag = carry_flag;\nzero_flag=zero_flag;\n");
  EXPECT_EQ(code(), "");
  EXPECT_EQ(assignOperand, nullptr);
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"carry_flag = zero_flag;", "[2,22]: [65742] Unexpected flag zero_flag in [p.vor]"},
      {"carry_flag 5", "[2,12]: [635523] Unexpected number 5 in [p.vor]"},
      {"carry_flag = 5", "[2,14]: [5367214] Unexpected number 5 in [p.vor]"},
      {"carry_flag = carry_flag nop", "[2,27]: [6456226] Unexpected ident nop in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
    EXPECT_EQ(assignOperand, nullptr);
  }
}

// A chain of n evaluated texts, each holding the next: e1 compiles int3,
// eK evaluates e(K-1); the body evaluates en.
std::string evalChain(int n) {
  std::string body = "#define e1 'int3';\n";
  for (int k = 2; k <= n; ++k)
    body += "#define e" + std::to_string(k) + " '#eval(e" + std::to_string(k - 1) + ")';\n";
  return body + "#eval(e" + std::to_string(n) + ")\n";
}

TEST_F(LoopTest, StatementLoopsNestUpToTheirBound) {
  // The top level and 999 evaluated texts: 1000 loops.
  compileBody(evalChain(999));
  EXPECT_EQ(code(), "\xCC");
  reset();
  EXPECT_EQ(fatalBody(evalChain(1000)),
            "[1,9]: [12002] Statement blocks nested deeper than 1000 in [master.$eval]");
}

TEST_F(LoopTest, ATextThatCompilesItselfStopsAtTheBound) {
  // Before the bound these ran until the stack overflowed.
  EXPECT_EQ(fatalBody("#define e '#eval(e)';\n#eval(e)"),
            "[1,8]: [12002] Statement blocks nested deeper than 1000 in [master.$eval]");
  reset();
  EXPECT_EQ(fatalBody("const s = ' nop #eval(s)';\n#eval(s)"),
            "[1,13]: [12002] Statement blocks nested deeper than 1000 in [master.$eval]");
}

TEST_F(LoopTest, ConstAndEnumStatementsReachTheirHandlers) {
  compileBody("const five = 5;\nenum colour: byte { red, green }\nadd eax, five\nadd ecx, green\n");
  EXPECT_EQ(disasm(), (Lines{"add eax, 5", "add ecx, 1"}));
}

TEST_F(LoopTest, IdentifierOfAKindNoStatementStartsWith) {
  Idents->addIdent(itReservedKeyword, "reserved", nullptr);
  EXPECT_EQ(fatalBody("reserved;"), "[2,8]: [3002] Reserved reserved keyword reserved in [p.vor]");
}

// ---- Plug-in keywords ----

uint32_t keywordCalls = 0;

// Takes the statement: reads one number after the keyword and emits it as a
// byte.
vbool byteKeyword() {
  ++keywordCalls;
  Compiler->CurFile()->moveNextToken(false);
  const char b = static_cast<char>(Compiler->CurToken()->F_Integer);
  appendCode(Compiler->CurFunc(), &b, 1);
  return 1;
}

// Reads on and then declines: the reader must be put back.
vbool decliningKeyword() {
  ++keywordCalls;
  Compiler->CurFile()->moveNextToken(false);
  Compiler->CurFile()->moveNextToken(false);
  return 0;
}

TEST_F(LoopTest, PluginKeywordTakesTheStatement) {
  keywordCalls = 0;
  Plugins->registerKeyword("EmitByte", &byteKeyword);
  compileBody("emitbyte 0x41\nEMITBYTE 66\nnop\n");
  EXPECT_EQ(keywordCalls, 2u);
  EXPECT_EQ(code(), "AB\x90");
}

TEST_F(LoopTest, PluginKeywordComesBeforeTheBuiltInOnes) {
  keywordCalls = 0;
  Plugins->registerKeyword("nop", &byteKeyword);
  compileBody("nop 0xCC\n");
  EXPECT_EQ(code(), "\xCC");
}

TEST_F(LoopTest, DecliningPluginKeywordLeavesTheStatementAsItWas) {
  keywordCalls = 0;
  Plugins->registerKeyword("nop", &decliningKeyword);
  compileBody("nop\nnop\nint3\n");
  EXPECT_EQ(keywordCalls, 2u);
  EXPECT_EQ(code(), "\x90\x90\xCC");
  reset();
  Plugins->registerKeyword("mine", &decliningKeyword);
  // Afterwards the word is read as a name like any other.
  EXPECT_EQ(fatalBody("mine 1 2\n"), "[2,4]: [9000] Unexpected ident mine in [p.vor]");
}

// ---- Function bodies ----

TEST_F(LoopTest, FunctionBodyLoopSwitchesTheFunctionAndClosesItsScope) {
  compileBody("nop\n");
  TFunction* fn = FuncMan->CreateFunction(ltProc, nullptr);
  auto* body = new TAFile(false);
  body->loadBuffer("body", "inner: int3\n}\nnop\n", nullptr);
  Compiler->setCurFile(body);
  Idents->upScope();
  const uint32_t scope = Idents->CurrentScope();
  TFunction* before = Compiler->CurFunc();
  captureStdout([&] { Compiler->HandleDeclarations(static_cast<int32_t>(fn->FuncIndex)); });
  EXPECT_EQ(Compiler->LastLoopEnd(), TLoopEnd::Brace);
  EXPECT_EQ(code(fn), "\xCC");
  EXPECT_EQ(Compiler->CurFunc(), before);
  // The label lived in the body's scope only.
  EXPECT_EQ(Idents->CurrentScope(), scope - 1);
  EXPECT_EQ(Idents->findIdent("inner", SSL_SCOPE_MAX), nullptr);
  TFunction* inner = funcNamed("inner");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Parent, fn);
}

TEST_F(LoopTest, FunctionBodyWithoutAScopeOfItsOwnKeepsTheTopLevel) {
  compileBody("nop\n");
  TFunction* fn = FuncMan->CreateFunction(ltProc, nullptr);
  auto* body = new TAFile(false);
  body->loadBuffer("body", "int3\n", nullptr);
  Compiler->setCurFile(body);
  captureStdout([&] { Compiler->HandleDeclarations(static_cast<int32_t>(fn->FuncIndex)); });
  EXPECT_EQ(code(fn), "\xCC");
  EXPECT_NE(Idents->findIdent("dword", 0), nullptr);
  EXPECT_NE(Idents->findIdent("rtlmain", 0), nullptr);
}

TEST_F(LoopTest, ReturnInAFunctionEmitsItsEpilogueFirst) {
  compileBody("nop\n");
  TFunction* fn = FuncMan->CreateFunction(ltProc, nullptr);
  usesList(fn) = {"ebx", "flags"};
  fn->LocalSize = 8;
  auto* body = new TAFile(false);
  body->loadBuffer("body", "xor eax, eax\nret 4\n", nullptr);
  Compiler->setCurFile(body);
  captureStdout([&] { Compiler->HandleDeclarations(static_cast<int32_t>(fn->FuncIndex)); });
  EXPECT_EQ(disasm(fn), (Lines{"xor eax, eax", "popfd", "pop ebx", "mov esp, ebp", "pop ebp", "ret 4"}));
}

}  // namespace
}  // namespace vorak::test
