// The operand parser: each kind of token read into the operand record the
// encoder takes, and the errors it stops with.
#include <gtest/gtest.h>

#include <memory>

#include "compiler/driver/Errors.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "source/SourceFixture.h"

namespace vorak::test {
namespace {

class OperandTest : public SourceTest {
 protected:
  void SetUp() override {
    SourceTest::SetUp();
    main_ = FuncMan->CreateFunction(ltProc, nullptr);
    Compiler->setCurFunc(main_);
    dword_ = type("dword");
  }

  static TVarType* type(std::string_view name) {
    const PIdent id = Idents->findIdent(name, 0);
    return id && id->type_ == itType ? static_cast<TVarType*>(id->ptr) : nullptr;
  }

  // The first operand of text.
  std::unique_ptr<TOperand> first(std::string_view text, bool regLblRef = false) {
    load(text);
    return Compiler->moveNextOperand(true, regLblRef);
  }
  // The message of an operand that cannot be read.
  std::string error(std::string_view text, bool regLblRef = false, bool isFirst = true) {
    return fatalLine([&] {
      load(text);
      Compiler->moveNextOperand(isFirst, regLblRef);
    });
  }

  TFunction* main_ = nullptr;
  TVarType* dword_ = nullptr;
};

TEST_F(OperandTest, RegistersSegmentsAndImmediates) {
  auto op = first("ecx");
  EXPECT_EQ(op->hint, otRegister);
  EXPECT_EQ(op->reg_base, REG_ECX);
  EXPECT_EQ(op->size, 4u);
  op = first("fs");
  EXPECT_EQ(op->hint, otSegment);
  EXPECT_EQ(op->seg, SEG_FS);
  op = first("300");
  EXPECT_EQ(op->hint, otImm);
  EXPECT_EQ(op->value, 300);
  EXPECT_EQ(op->size, 2u);
  EXPECT_TRUE(op->issigned);
  EXPECT_FALSE(op->istruedef);
  // A positive number that 32 bits hold stays zero-extended, as the encoder
  // reads numbers...
  op = first("0xFFFFFFFF");
  EXPECT_EQ(op->value, 0xFFFFFFFF);
  // ...while a negative one, and what 32 bits cannot hold, keeps its 64 bits,
  // so -1 fills a 64-bit register and nothing is cut silently.
  op = first("-1");
  EXPECT_EQ(op->value, -1);
  op = first("-2147483648");
  EXPECT_EQ(op->value, INT64_C(-2147483648));
  op = first("0x123456789");
  EXPECT_EQ(op->value, 0x123456789);
  EXPECT_EQ(op->size, 8u);
  op = first("-2147483649");
  EXPECT_EQ(op->value, -2147483649);
}

TEST_F(OperandTest, NumberFromTheDefineTrueIsMarked) {
  DefMan->addDefine("true", int64_t{1});
  DefMan->addDefine("one", int64_t{1});
  auto op = first("true");
  EXPECT_EQ(op->hint, otImm);
  EXPECT_EQ(op->value, 1);
  EXPECT_TRUE(op->istruedef);
  op = first("one");
  EXPECT_FALSE(op->istruedef);
}

TEST_F(OperandTest, FlagsAndFloatingRegisters) {
  auto op = first("zero_flag");
  EXPECT_EQ(op->hint, otFlag);
  EXPECT_EQ(op->value, FLAG_ZF);
  EXPECT_EQ(op->size, 1u);
  EXPECT_FALSE(op->issigned);
  op = first("st3");
  EXPECT_EQ(op->hint, otST);
  EXPECT_EQ(op->value, 3);
  EXPECT_TRUE(op->isX87Register());
  op = first("mm3");
  EXPECT_EQ(op->hint, otST);
  EXPECT_EQ(op->value, 3);
  EXPECT_TRUE(op->isMMXRegister());
  op = first("xmm7");
  EXPECT_EQ(op->hint, otXMM);
  EXPECT_EQ(op->value, 7);
}

TEST_F(OperandTest, StringLiteralsArePooled) {
  Consts->addConst("five", ctValue, 4, int64_t{5});
  auto a = first("'hello'");
  EXPECT_EQ(a->hint, otConst);
  EXPECT_EQ(a->ptr, main_);
  auto* ca = static_cast<TConst*>(a->data);
  ASSERT_NE(ca, nullptr);
  EXPECT_EQ(ca->type_, ctAnsiString);
  EXPECT_EQ(vorStrView(ca->varname), "A$2");  // one constant was pooled before
  EXPECT_EQ(vorStrView(ca->str), "hello");
  EXPECT_TRUE(ca->active);
  // The same text again: the same constant, named after the first.
  auto b = first("'hello'");
  EXPECT_EQ(b->data, ca);
  // A wide string of the same text is a constant of its own.
  auto w = first("\"hello\"");
  auto* cw = static_cast<TConst*>(w->data);
  ASSERT_NE(cw, ca);
  EXPECT_EQ(cw->type_, ctWideString);
  EXPECT_EQ(vorStrView(cw->varname), "W$3");
  // The text is kept as the UTF-8 it was written in.
  auto u = first("'\xC3\xA9t\xC3\xA9'");
  EXPECT_EQ(vorStrView(static_cast<TConst*>(u->data)->str), "\xC3\xA9t\xC3\xA9");
}

TEST_F(OperandTest, MemoryExpressions) {
  auto op = first("[ebx + esi*4 + 12]");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->reg_count, 2);
  EXPECT_EQ(op->reg_base, REG_EBX);
  EXPECT_EQ(op->reg_index, REG_ESI);
  EXPECT_EQ(op->scale, 4);
  EXPECT_EQ(op->displacement, 12);
  EXPECT_EQ(op->size, 0u);
  EXPECT_EQ(op->data, nullptr);
  op = first("[0x400]");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->reg_count, 0);
  EXPECT_EQ(op->displacement, 0x400);
  op = first("dword [eax]");
  EXPECT_EQ(op->size, 4u);
}

TEST_F(OperandTest, MemoryExpressionOnAVariable) {
  TVar* v = VarMan->addVar(vmGlobal, "table", type("int32"), 4, 0);
  auto op = first("[@table + eax]");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->optype, otVar);
  EXPECT_EQ(op->data, v);
  EXPECT_EQ(op->ptr, main_);
  EXPECT_EQ(op->size, 4u);  // the pointer size
  EXPECT_TRUE(op->issigned);  // the variable's type is signed
  EXPECT_TRUE(v->active);
}

TEST_F(OperandTest, References) {
  TVar* g = VarMan->addVar(vmGlobal, "g", dword_, 1, 0);
  TVar* l = VarMan->addVar(vmLocal, "l", dword_, 1, 8);
  auto op = first("@g");
  EXPECT_EQ(op->hint, otVarRef);
  EXPECT_EQ(op->data, g);
  EXPECT_TRUE(g->active);
  op = first("@l");
  EXPECT_EQ(op->hint, otMemRef);
  EXPECT_EQ(op->reg_base, REG_EBP);
  EXPECT_EQ(op->displacement, 8 + 4);
  EXPECT_TRUE(l->active);
  op = first("@[esi + 4]");
  EXPECT_EQ(op->hint, otMemRef);
  EXPECT_EQ(op->reg_base, REG_ESI);
  EXPECT_EQ(op->displacement, 4);
  // A label: placed or not, the operand is its address.
  TFunction* lbl = FuncMan->CreateFunction(ltLabel, main_);
  Idents->addIdent(itLabel, "here", lbl);
  op = first("@here");
  EXPECT_EQ(op->hint, otLabelRef);
  EXPECT_EQ(op->value, lbl->FuncIndex);
  EXPECT_EQ(op->ptr, main_);
  op = first("@later");
  EXPECT_EQ(op->hint, otLabelRef);
  const PIdent later = Idents->findIdent("later", 0);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->type_, itLabel);
  auto* fwd = static_cast<TFunction*>(later->ptr);
  EXPECT_EQ(fwd->Type_, ltRef);
  EXPECT_EQ(op->value, fwd->FuncIndex);
}

TEST_F(OperandTest, ReferenceErrors) {
  EXPECT_EQ(error("@[0x400]"), "[1,8]: Invalid expression in [t.vor]");
  // Only a name not declared can become a label.
  EXPECT_EQ(error("@5"), "[1,2]: [3322] Unexpected number 5 in [t.vor]");
  EXPECT_EQ(error("@eax"), "[1,4]: [3322] Unexpected register eax in [t.vor]");
  EXPECT_EQ(error("@"), "[1,2]: [3322] Unexpected EOF in [t.vor]");
}

TEST_F(OperandTest, UndeclaredNamesAreForwardLabelsOnlyWhereAllowed) {
  EXPECT_EQ(error("target"), "[1,6]: [1111] Unexpected ident target: nothing of this name is declared before this use; variables are declared before their first use in [t.vor]");
  EXPECT_EQ(Idents->findIdent("target", 0), nullptr);
  auto op = first("target", true);
  EXPECT_EQ(op->hint, otLabel);
  const PIdent id = Idents->findIdent("target", 0);
  ASSERT_NE(id, nullptr);
  auto* label = static_cast<TFunction*>(id->ptr);
  EXPECT_EQ(label->Type_, ltRef);
  EXPECT_EQ(label->Parent, nullptr);
  EXPECT_EQ(vorStrView(label->Name), "target");
  EXPECT_EQ(vorStrView(label->ImportName), "target");
  EXPECT_EQ(op->value, label->FuncIndex);
  EXPECT_EQ(op->ptr, main_);
  // The record keeps no position of its own; the compiler notes it.
  EXPECT_EQ(label->BufLen, 0u);
  EXPECT_EQ(label->ParamCount, 0u);
  const TLabelReference* ref = Compiler->labelReference(label);
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(ref->file, Compiler->CurFile());
  EXPECT_EQ(ref->line, 1u);
  EXPECT_EQ(ref->lineChar, 6u);
  EXPECT_EQ(ref->chr, 6u);
  // A later use of the name finds the same record.
  op = first("target", false);
  EXPECT_EQ(op->hint, otLabel);
  EXPECT_EQ(op->value, label->FuncIndex);
}

TEST_F(OperandTest, ReferenceInATemporaryTextIsNotedWhereTheTextWasInvoked) {
  TAFile* host = load("nop\nnop");
  host->moveNextToken();
  host->moveNextToken();
  // A text the file list does not own (an evaluated text) is gone by the
  // end of the compile; the note goes to the listed buffer it came from.
  TAFile text(true);
  text.loadBuffer("master.$eval", "later", host);
  Compiler->setCurFile(&text);
  auto op = Compiler->moveNextOperand(true, true);
  Compiler->setCurFile(host);
  const TLabelReference* ref = Compiler->labelReference(static_cast<TFunction*>(FuncMan->getFunc(
      static_cast<uint32_t>(op->value))));
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(ref->file, host);
  EXPECT_EQ(ref->line, 2u);
  EXPECT_EQ(ref->lineChar, 3u);
}

TEST_F(OperandTest, GlobalVariablesAndTheirElements) {
  TVar* one = VarMan->addVar(vmGlobal, "one", dword_, 1, 0);
  TVar* arr = VarMan->addVar(vmGlobal, "arr", dword_, 4, 0);
  auto op = first("one");
  EXPECT_EQ(op->hint, otVar);
  EXPECT_EQ(op->data, one);
  EXPECT_EQ(op->ptr, main_);
  EXPECT_EQ(op->displacement, 0);
  EXPECT_EQ(op->size, 4u);
  EXPECT_TRUE(one->active);
  op = first("one[0]");
  EXPECT_EQ(op->displacement, 0);
  op = first("arr[3]");
  EXPECT_EQ(op->hint, otVar);
  EXPECT_EQ(op->data, arr);
  EXPECT_EQ(op->displacement, 12);
  EXPECT_EQ(op->scale, 1);
  op = first("arr [ ecx ]");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->optype, otVar);
  EXPECT_EQ(op->data, arr);
  EXPECT_EQ(op->reg_base, REG_ECX);
  EXPECT_EQ(op->scale, 4);
  EXPECT_EQ(op->size, 4u);
}

TEST_F(OperandTest, ElementIndexStandsOnTheVariablesLine) {
  VarMan->addVar(vmGlobal, "arr", dword_, 4, 0);
  auto op = first("arr\n[1]");
  EXPECT_EQ(op->hint, otVar);
  EXPECT_EQ(op->displacement, 0);
  EXPECT_EQ(Compiler->CurFile()->CurLine, 1u);
  op = first("arr // one\n[1]");
  EXPECT_EQ(op->displacement, 0);
  op = first("arr  [1]");
  EXPECT_EQ(op->displacement, 4);
}

TEST_F(OperandTest, ElementIndexesStayInsideTheVariable) {
  VarMan->addVar(vmGlobal, "one", dword_, 1, 0);
  VarMan->addVar(vmGlobal, "arr", dword_, 4, 0);
  EXPECT_EQ(error("one[3]"), "[1,6]: [6523] offset invalid in [t.vor]");
  EXPECT_EQ(error("one[1]"), "[1,6]: [6523] offset invalid in [t.vor]");
  EXPECT_EQ(error("arr[4]"), "[1,6]: [6523] offset invalid in [t.vor]");
  EXPECT_EQ(error("one[ecx]"), "[1,8]: [6523] offset invalid in [t.vor]");
  EXPECT_EQ(error("arr[x]"), "[1,5]: [65412] Unexpected ident x in [t.vor]");
  EXPECT_EQ(error("arr[1 2"), "[1,7]: [2344] Unexpected number 2 in [t.vor]");
}

// A register index is scaled by the element size, which the processor
// takes only as 1, 2, 4 or 8, and 16-bit addressing not at all: the message
// names the element size and how to reach an element instead.
TEST_F(OperandTest, RegisterIndexesNeedAnElementTheProcessorCanScaleTo) {
  TVarType* rec = VarMan->addType("Rec", 6, int64_t{0}, int64_t{0}, false, false);
  VarMan->addVar(vmGlobal, "recs", rec, 8, 0);
  const std::string unscaled =
      "[13053] recs has elements of 6 bytes, and an index register scales only by 1, 2, 4 or 8: multiply ecx by 6 "
      "and add it to the address, or point a register at the element and type it with \"as\" in [t.vor]";
  EXPECT_EQ(error("recs[ecx]"), "[1,9]: " + unscaled);
  EXPECT_EQ(error("\n\n  recs[ecx]"), "[3,11]: " + unscaled) << "at the operand's line";
  EXPECT_EQ(error("recs[8]"), "[1,7]: [6523] offset invalid in [t.vor]") << "an index past the end";
  auto op = first("recs[7]");
  EXPECT_EQ(op->displacement, 42);

  CompileFlags.cpu_bits = 16;
  ptrSize = 2;
  VarMan->addVar(vmGlobal, "wtab", type("word"), 4, 0);
  VarMan->addVar(vmGlobal, "btab", type("byte"), 4, 0);
  EXPECT_EQ(error("wtab[si]"),
            "[1,8]: [13054] 16-bit addressing has no scale, so an index register reaches only 1-byte elements, and "
            "wtab has elements of 2 bytes: multiply si by 2 and add it to the address, or point a register at the "
            "element and type it with \"as\" in [t.vor]");
  op = first("btab[si]");
  EXPECT_EQ(op->reg_base, REG_SI);
  EXPECT_EQ(op->scale, 1);
  op = first("wtab[3]");
  EXPECT_EQ(op->displacement, 6);
}

TEST_F(OperandTest, LocalVariablesOnTheFrameOrTheStack) {
  VarMan->addVar(vmLocal, "loc", dword_, 1, 8);
  auto op = first("loc");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->reg_base, REG_EBP);
  EXPECT_EQ(op->displacement, 8 + 4);
  EXPECT_EQ(op->size, 4u);
  EXPECT_EQ(op->data, nullptr);
  // Without a frame the stack pointer moves with every push.
  CompileFlags.stackframe_on = 0;
  main_->LocalOffset = 4;
  op = first("loc");
  EXPECT_EQ(op->reg_base, REG_ESP);
  EXPECT_EQ(op->displacement, 8 + 4);
  // A pop below the frame wraps, and comes out right.
  main_->LocalOffset = static_cast<uint32_t>(-4);
  op = first("loc");
  EXPECT_EQ(op->displacement, 4);
}

TEST_F(OperandTest, SixtyFourBitStackSlotsUseTheWideRegisters) {
  CompileFlags.cpu_bits = 64;
  ptrSize = 8;
  VarMan->addVar(vmLocal, "loc", dword_, 1, -16);
  auto op = first("loc");
  EXPECT_EQ(op->reg_base, REG_RBP);
  EXPECT_EQ(op->displacement, -16 + 8);
}

TEST_F(OperandTest, CallsThroughFunctionPointers) {
  TFunction* viaGlobal = FuncMan->CreateFunction(ltProc, nullptr);
  viaGlobal->CallData = VarMan->addVar(vmGlobal, "gp", dword_, 1, 0);
  Idents->addIdent(itProc, "viaglobal", viaGlobal);
  TFunction* viaLocal = FuncMan->CreateFunction(ltFunc, nullptr);
  viaLocal->CallData = VarMan->addVar(vmLocal, "lp", dword_, 1, -4);
  Idents->addIdent(itFunc, "vialocal", viaLocal);
  TFunction* direct = FuncMan->CreateFunction(ltProc, nullptr);
  Idents->addIdent(itProc, "direct", direct);

  auto op = first("viaglobal");
  EXPECT_EQ(op->hint, otVar);
  EXPECT_EQ(op->data, viaGlobal->CallData);
  EXPECT_EQ(op->method, viaGlobal);
  op = first("vialocal");
  EXPECT_EQ(op->hint, otMem);
  EXPECT_EQ(op->reg_base, REG_EBP);
  EXPECT_EQ(op->displacement, -4 + 4);
  EXPECT_EQ(op->size, 4u);
  EXPECT_EQ(op->data, viaLocal);
  EXPECT_EQ(op->method, viaLocal);
  op = first("direct");
  EXPECT_EQ(op->hint, otLabel);
  EXPECT_EQ(op->value, direct->FuncIndex);
  // The main function is reachable, so what it names is reachable too.
  main_->IsCalled = 1;
  first("direct");
  EXPECT_TRUE(direct->IsCalled);
}

TEST_F(OperandTest, LaterOperandsNeedTheirComma) {
  load("eax, 5 ecx");
  Compiler->moveNextOperand(true, false);
  auto op = Compiler->moveNextOperand(false, false);
  EXPECT_EQ(op->value, 5);
  EXPECT_EQ(fatalLine([&] { Compiler->moveNextOperand(false, false); }), "[1,10]: [3123] Unexpected register ecx in [t.vor]");
}

TEST_F(OperandTest, TokensNoOperandStartsWith) {
  EXPECT_EQ(error("1.5"), "[1,3]: [1201] Unexpected float 1.5 in [t.vor]");
  EXPECT_EQ(error(""), "[1,1]: [1201] Unexpected EOF in [t.vor]");
  EXPECT_EQ(error("*"), "[1,1]: [3321] Unexpected symbol * in [t.vor]");
  EXPECT_EQ(error("dword"), "[1,5]: [1200] Unexpected data type dword in [t.vor]");
}

}  // namespace
}  // namespace vorak::test
