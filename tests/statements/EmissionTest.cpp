// Instruction emission: execInstruction and buildInstruction, the stack
// depth they keep, and the epilogue before every return.
#include <gtest/gtest.h>

#include "compiler/source/IdentManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/VorAssembler.h"
#include "source/SourceFixture.h"
#include "support/Disasm.h"

namespace vorak::test {
namespace {

using Lines = std::vector<std::string>;

class EmissionTest : public SourceTest {
 protected:
  void SetUp() override {
    SourceTest::SetUp();
    CompileFlags.cpu_mode = 686;
    CompileFlags.stackframe_on = 1;
    main_ = FuncMan->CreateFunction(ltProc, nullptr);
    fn_ = FuncMan->CreateFunction(ltProc, nullptr);
    Compiler->setCurFunc(fn_);
  }
  static void setBits(uint32_t bits) {
    CompileFlags.cpu_bits = bits;
    ptrSize = static_cast<int32_t>(bits / 8);
  }
  static std::string code(const TFunction* f) { return std::string(vorStrView(f->Buffer)); }
  static Lines disasm(const TFunction* f, int bits = 32) {
    Lines out;
    for (const Decoded& d : decodeAll(code(f), bits)) out.push_back(d.text);
    return out;
  }
  // Compiles the text as the body of fn.
  // A message it prints fails the test.
  // A scope of its own, as a function definition opens one.
  void body(TFunction* f, std::string_view text) {
    Idents->upScope();
    run(f, text);
  }
  // The same in the scope that is open.
  void run(TFunction* f, std::string_view text) {
    load(text);
    ::testing::internal::CaptureStdout();
    try {
      Compiler->HandleDeclarations(static_cast<int32_t>(f->FuncIndex));
    } catch (const EAbort&) {
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "") << text;
  }

  TOperand reg(TRegister r) {
    TOperand op;
    op.setRegister(false, r);
    return op;
  }
  TOperand imm(uint32_t v, uint32_t size) {
    TOperand op;
    op.setImm(false, v, size);
    return op;
  }

  TFunction* main_ = nullptr;
  TFunction* fn_ = nullptr;
};

TEST_F(EmissionTest, ExecInstructionAppendsToTheFunction) {
  TOperand a = reg(REG_EAX), five = imm(5, 1);
  EXPECT_EQ(Compiler->execInstruction(fn_, "add", &a, &five), 0u);
  EXPECT_EQ(Compiler->execInstruction(fn_, "nop"), 0u);
  EXPECT_EQ(code(main_), "");
  EXPECT_EQ(disasm(fn_), (Lines{"add eax, 5", "nop"}));
  EXPECT_EQ(fn_->BufLen, code(fn_).size());
}

TEST_F(EmissionTest, GeneratedInstructionsFollowTheOptimiseSwitch) {
  // mov of a register to itself is left out when optimising.
  TOperand a = reg(REG_EAX);
  CompileFlags.optimise = 1;
  Compiler->execInstruction(fn_, "mov", &a, &a);
  EXPECT_EQ(code(fn_), "");
  CompileFlags.optimise = 0;
  Compiler->execInstruction(fn_, "mov", &a, &a);
  EXPECT_EQ(code(fn_).size(), 2u);
}

TEST_F(EmissionTest, SourceInstructionsAreEncodedAsWritten) {
  CompileFlags.optimise = 1;
  body(fn_, "mov eax, eax\n");
  EXPECT_EQ(code(fn_).size(), 2u);
}

TEST_F(EmissionTest, UnknownMnemonicEmitsNothing) {
  EXPECT_EQ(Compiler->execInstruction(fn_, "frobnicate"), ERROR_OPCODE_UNKNOWN);
  EXPECT_EQ(code(fn_), "");
  EXPECT_EQ(Compiler->buildInstruction(fn_, "frobnicate"), "");
}

TEST_F(EmissionTest, EncoderFailureIsFatal) {
  TOperand al = reg(REG_AL), ebx = reg(REG_EBX);
  EXPECT_EQ(fatalLine([&] { Compiler->execInstruction(fn_, "add", &al, &ebx); }), "[124412] Operand size mismatch!");
  // A lone byte has no push of its own; the message says why.
  TOperand byte;
  byte.setMemory(false, 1, 0, 0, {REG_EBX}, nullptr, otRegister, nullptr);
  EXPECT_EQ(fatalLine([&] { Compiler->execInstruction(fn_, "push", &byte); }),
            "[124412] A single byte cannot be pushed: push takes whole stack words");
  // An MMX register in an x87 row, an x87 register in an MMX row.
  TOperand mm2, st3;
  mm2.setIntType(false, otST, 2);
  mm2.size = MM_REGISTER_SIZE;
  st3.setIntType(false, otST, 3);
  st3.size = ST_REGISTER_SIZE;
  EXPECT_EQ(fatalLine([&] { Compiler->execInstruction(fn_, "fadd", &mm2); }), "[124412] Operand 1 is invalid");
  EXPECT_EQ(fatalLine([&] { Compiler->execInstruction(fn_, "movq", &mm2, &st3); }), "[124412] Operand 2 is invalid");
  EXPECT_EQ(code(fn_), "");
}

TEST_F(EmissionTest, BuildInstructionHandsTheBytesBack) {
  TOperand a = reg(REG_ECX);
  const std::string bytes = Compiler->buildInstruction(fn_, "push", &a);
  EXPECT_EQ(bytes, "\x51");
  EXPECT_EQ(code(fn_), "");
  EXPECT_EQ(fn_->LocalOffset, 4u);
  // A failure is quiet and empty.
  TOperand al = reg(REG_AL);
  std::string out = captureStdout([&] { EXPECT_EQ(Compiler->buildInstruction(fn_, "push", &al), ""); });
  EXPECT_EQ(out, "");
}

TEST_F(EmissionTest, StackDepthFollowsPushesAndPops) {
  struct Case {
    const char* text;
    uint32_t depth;
  } cases[] = {
      {"push eax", 4},
      {"push eax\npop eax", 0},
      {"push ax", 2},
      {"push 5", 4},  // an immediate pushes a whole stack word
      {"push 0x12345678", 4},
      {"push dword [esi]", 4},
      {"push [esi]", 4},
      {"push qword [esi]", 8},
      {"push @[esi + 8]", 4},
      {"push 'text'", 4},
      {"push eax\npush ebx\npop ecx", 4},
      {"pop eax", static_cast<uint32_t>(-4)},  // below the frame: wraps
      {"call eax", 0},
  };
  for (const Case& c : cases) {
    fn_->LocalOffset = 0;
    body(fn_, c.text);
    EXPECT_EQ(fn_->LocalOffset, c.depth) << c.text;
  }
}

TEST_F(EmissionTest, CallToAStdcallFunctionTakesItsParametersOffTheCount) {
  TFunction* callee = FuncMan->CreateFunction(ltProc, nullptr);
  callee->ParamSize = 8;
  Idents->addIdent(itProc, "callee", callee);
  TFunction* cdeclCallee = FuncMan->CreateFunction(ltProc, nullptr);
  cdeclCallee->ParamSize = 8;
  cdeclCallee->CallConvention = ccCDecl;
  Idents->addIdent(itProc, "cfunc", cdeclCallee);
  body(fn_, "push 1\npush 2\ncall callee\n");
  EXPECT_EQ(fn_->LocalOffset, 0u);
  // The caller of a cdecl function still has the arguments pushed.
  body(fn_, "push 1\npush 2\ncall cfunc\n");
  EXPECT_EQ(fn_->LocalOffset, 8u);
}

TEST_F(EmissionTest, CallThroughAFunctionPointerCountsTheCallee) {
  TFunction* viaPointer = FuncMan->CreateFunction(ltProc, nullptr);
  viaPointer->ParamSize = 4;
  viaPointer->CallData = VarMan->addVar(vmGlobal, "fp", VarMan->PtrType(), 1, 0);
  Idents->addIdent(itProc, "viapointer", viaPointer);
  body(fn_, "push eax\ncall viapointer\n");
  EXPECT_EQ(fn_->LocalOffset, 0u);
}

TEST_F(EmissionTest, StackAddressedLocalsFollowTheDepth) {
  CompileFlags.stackframe_on = 0;
  TVarType* dword = static_cast<TVarType*>(Idents->findIdent("dword", 0)->ptr);
  Idents->upScope();
  VarMan->addVar(vmLocal, "loc", dword, 1, 8);
  run(fn_, "mov eax, loc\npush eax\nmov ecx, loc\npop edx\nmov ebx, loc\n");
  EXPECT_EQ(disasm(fn_), (Lines{"mov eax, dword ptr [esp + 8]", "push eax", "mov ecx, dword ptr [esp + 0xc]", "pop edx",
                                "mov ebx, dword ptr [esp + 8]"}));
}

// ---- The epilogue ----

TEST_F(EmissionTest, EpilogueRestoresInReverseAndTearsTheFrameDown) {
  usesList(fn_) = {"ebx", "esi", "flags"};
  fn_->LocalSize = 8;
  // The frame pointer and the three saved entries, the flags among them.
  fn_->LocalOffset = 16;
  Compiler->retTriggered(fn_);
  EXPECT_EQ(disasm(fn_), (Lines{"popfd", "pop esi", "pop ebx", "mov esp, ebp", "pop ebp"}));
  EXPECT_EQ(fn_->LocalOffset, 16u - 4 - 4 - 4 - 4);
}

TEST_F(EmissionTest, EpilogueBelowThe686IsLeave) {
  CompileFlags.cpu_mode = 586;
  usesList(fn_) = {"ebx", "esi", "flags"};
  fn_->LocalSize = 8;
  Compiler->retTriggered(fn_);
  EXPECT_EQ(disasm(fn_), (Lines{"popfd", "pop esi", "pop ebx", "leave"}));
}

TEST_F(EmissionTest, EpilogueWithoutFrameReleasesTheLocals) {
  CompileFlags.stackframe_on = 0;
  usesList(fn_) = {"ebx", "esi", "flags"};
  fn_->LocalSize = 8;
  Compiler->retTriggered(fn_);
  // The registers were pushed below the locals room: they come back first.
  // The flags popped go back to the caller unchanged: lea, not add.
  EXPECT_EQ(disasm(fn_), (Lines{"popfd", "pop esi", "pop ebx", "lea esp, [esp + 8]"}));
}

TEST_F(EmissionTest, NoFrameTeardownForTheMainProgramAndMsx64) {
  usesList(main_) = {"edi"};
  Compiler->retTriggered(main_);
  EXPECT_EQ(code(main_), "\x5F");
  fn_->CallConvention = ccMSX64;
  Compiler->retTriggered(fn_);
  EXPECT_EQ(code(fn_), "");
}

TEST_F(EmissionTest, NothingToUndoGivesNoEpilogue) {
  CompileFlags.stackframe_on = 0;
  body(fn_, "ret\n");
  EXPECT_EQ(code(fn_), "\xC3");
}

TEST_F(EmissionTest, GeneratedReturnGetsTheEpilogueToo) {
  usesList(fn_) = {"ebx"};
  TOperand eight = imm(8, 2);
  Compiler->execInstruction(fn_, "ret", &eight);
  EXPECT_EQ(disasm(fn_), (Lines{"pop ebx", "mov esp, ebp", "pop ebp", "ret 8"}));
}

TEST_F(EmissionTest, SixtyFourBitEpilogueUsesTheWideRegisters) {
  setBits(64);
  CompileFlags.stackframe_on = 0;
  usesList(fn_) = {"rbx", "flags"};
  fn_->LocalSize = 16;
  Compiler->retTriggered(fn_);
  EXPECT_EQ(disasm(fn_, 64), (Lines{"popfq", "pop rbx", "lea rsp, [rsp + 0x10]"}));
}

TEST_F(EmissionTest, UnknownRegisterInTheUsesList) {
  usesList(fn_) = {"nothing"};
  EXPECT_EQ(fatalLine([&] { Compiler->retTriggered(fn_); }), "[124414] Unknown register nothing in the uses list");
}

}  // namespace
}  // namespace vorak::test
