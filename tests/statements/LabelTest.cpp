// Labels: defined before and after their use, the fixups that jumps, calls
// and references leave, a small resolver of those fixups running the code in
// an emulator, and the errors for labels placed twice or never.
#include <gtest/gtest.h>

#include <cstring>

#include "compiler/source/IdentManager.h"
#include "statements/CompileFixture.h"
#include "support/Emulator.h"

namespace vorak::test {
namespace {

class LabelTest : public CompileTest {};

using Lines = std::vector<std::string>;

TEST_F(LabelTest, BackwardJumpLeavesAJumpFixupToThePlacedLabel) {
  compileBody("nop\ntop: inc eax\njmp top\n");
  TFunction* top = funcNamed("top");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->Type_, ltLabel);
  EXPECT_EQ(top->Parent, Compiler->MainFunc());
  EXPECT_EQ(top->Address, 1u);  // after the nop
  EXPECT_EQ(vorStrView(top->ImportName), "top");
  ASSERT_EQ(fixups().size(), 1u);
  const TFixup* f = fixups()[0];
  EXPECT_EQ(f->hint, ftJmp);
  EXPECT_EQ(f->position, 3u);  // nop, inc eax (FF C0), then the placeholder
  EXPECT_EQ(f->size, 7);
  EXPECT_EQ(f->jmp, jtJMP);
  EXPECT_EQ(f->index, top->FuncIndex);
  EXPECT_EQ(f->parentfunc, Compiler->MainFunc());
}

TEST_F(LabelTest, ForwardJumpPlacesTheSameRecordLater) {
  compileBody("jne done\njmp done\nnop\ndone: ret\n");
  TFunction* done = funcNamed("done");
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->Type_, ltLabel);
  EXPECT_EQ(done->Parent, Compiler->MainFunc());
  EXPECT_EQ(done->Address, 15u);  // two 7-byte placeholders and the nop
  EXPECT_EQ(Compiler->labelReference(done), nullptr);
  ASSERT_EQ(fixups().size(), 2u);
  EXPECT_EQ(fixups()[0]->jmp, jtJNE);
  EXPECT_EQ(fixups()[0]->index, done->FuncIndex);
  EXPECT_EQ(fixups()[1]->jmp, jtJMP);
  EXPECT_EQ(fixups()[1]->index, done->FuncIndex);
  EXPECT_EQ(fixups()[1]->position, 7u);
  // One record for the name.
  int records = 0;
  for (const TFunction* f : FuncMan->FuncList()) records += vorStrView(f->Name) == "done";
  EXPECT_EQ(records, 1);
}

TEST_F(LabelTest, CallsAndReferencesLeaveTheirOwnFixups) {
  compileBody("call sub\npush @data\nsub: ret\ndata: nop\n");
  TFunction* sub = funcNamed("sub");
  TFunction* data = funcNamed("data");
  ASSERT_NE(sub, nullptr);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(fixups().size(), 2u);
  EXPECT_EQ(fixups()[0]->hint, ftLabel);
  EXPECT_EQ(fixups()[0]->position, 1u);
  EXPECT_EQ(fixups()[0]->index, sub->FuncIndex);
  EXPECT_EQ(fixups()[1]->hint, ftLabelAbs);
  EXPECT_EQ(fixups()[1]->position, 6u);
  EXPECT_EQ(fixups()[1]->index, data->FuncIndex);
  EXPECT_EQ(sub->Address, 10u);
  EXPECT_EQ(data->Address, 11u);
  // Reached from the main program, which is reachable.
  EXPECT_TRUE(sub->IsCalled);
  EXPECT_TRUE(data->IsCalled);
}

// What a builder does with the fixups of one function loaded at base: each
// jump placeholder becomes the near jump to its label's address, each call
// field the relative offset, each absolute field the address.
std::string resolve(const TFunction* fn, uint32_t base) {
  std::string code(vorStrView(fn->Buffer));
  for (const TFixup* f : fixupList(fn)) {
    const TFunction* target = FuncMan->getFunc(f->index);
    const uint32_t to = base + target->Address;
    uint8_t* p = reinterpret_cast<uint8_t*>(code.data()) + f->position;
    auto put32 = [](uint8_t* at, uint32_t v) { std::memcpy(at, &v, 4); };
    if (f->hint == ftJmp) {
      // 7 bytes: E9 rel32 (+2 nops) or 0F 8x rel32 (+1 nop).
      const uint32_t here = base + f->position;
      if (f->jmp == jtJMP) {
        p[0] = 0xE9;
        put32(p + 1, to - (here + 5));
      } else {
        p[0] = 0x0F;
        p[1] = static_cast<uint8_t>(0x80 + f->jmp);
        put32(p + 2, to - (here + 6));
      }
    } else if (f->hint == ftLabel) {
      put32(p, to - (base + f->position + 4));
    } else if (f->hint == ftLabelAbs) {
      put32(p, to);
    }
  }
  return code;
}

TEST_F(LabelTest, ResolvedLabelsRunAsWritten) {
  compileBody(
      "mov ecx, 5\n"
      "xor eax, eax\n"
      "again: add eax, ecx\n"
      "dec ecx\n"
      "jnz again\n"
      "call twice\n"
      "push @finish\n"
      "ret\n"
      "int3\n"
      "twice: shl eax, 1\n"
      "ret\n"
      "finish: mov edx, eax\n");
  const std::string code = resolve(Compiler->MainFunc(), static_cast<uint32_t>(kEmuCode));
  Emulator emu(32);
  ASSERT_TRUE(emu.ok());
  // "ret" jumps to the pushed address of finish, the last instruction.
  ASSERT_EQ(emu.run(code), UC_ERR_OK);
  EXPECT_EQ(emu.reg(0), 30u);  // (5+4+3+2+1) * 2
  EXPECT_EQ(emu.reg(2), 30u);
  EXPECT_EQ(emu.reg(4), kEmuStackTop);
}

TEST_F(LabelTest, PlacingALabelTwiceIsReported) {
  EXPECT_EQ(fatalBody("top: nop\ntop: nop\n"), "[3,3]: [3001] Reserved label top in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("jmp x\nx: nop\nx: nop\n"), "[4,1]: [3001] Reserved label x in [p.vor]");
}

TEST_F(LabelTest, ReferencedLabelNeedsItsColon) {
  EXPECT_EQ(fatalBody("jmp x\nx nop\n"), "[3,5]: [1212] Unexpected ident nop in [p.vor]");
}

TEST_F(LabelTest, UndeclaredSecondOperandIsNoLabel) {
  EXPECT_EQ(fatalBody("mov eax, nowhere\n"), "[2,16]: [1111] Unexpected ident nowhere: nothing of this name is declared before this use; variables are declared before their first use in [p.vor]");
}

TEST_F(LabelTest, LabelNeverPlacedIsReportedAtItsFirstReference) {
  std::string out;
  write("p.vor", "program TEST;\nnop\n  jmp nowhere\ncall nowhere\ninc eax\n");
  out = captureStdout([&] {
    Compiler->LoadProject(dir() + "/p.vor");
    EXPECT_THROW(Compiler->Compile(), EAbort);
  });
  EXPECT_EQ(out, "[3,13]: [00012] Label nowhere does not exist! in [p.vor]\r\nCode: \r\njmp nowhere\n");
  // The whole source was compiled first.
  EXPECT_EQ(disasm().back(), "inc eax");
}

TEST_F(LabelTest, LabelNeverPlacedInAnIncludedFile) {
  write("lib/inc.vor", "nop\njmp missing\n");
  EXPECT_EQ(fatalBody("#include 'lib/inc.vor'\nnop\n"), "[2,11]: [00012] Label missing does not exist! in [inc.vor]");
}

TEST_F(LabelTest, FirstUnplacedLabelInRecordOrderIsReported) {
  EXPECT_EQ(fatalBody("jmp second\njmp first\nfirst:\n"), "[2,10]: [00012] Label second does not exist! in [p.vor]");
}

TEST_F(LabelTest, IncludedFileNamedLikeALabelStaysAName) {
  write("util", "nop\n");
  compileBody("#include \"util\"\nutil: jmp util\n");
  TFunction* util = funcNamed("util");
  ASSERT_NE(util, nullptr);
  EXPECT_EQ(util->Type_, ltLabel);
  EXPECT_EQ(util->Address, 1u);
  EXPECT_EQ(code().size(), 8u);
}

}  // namespace
}  // namespace vorak::test
