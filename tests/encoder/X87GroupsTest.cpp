// x87 groups: table cases read back by a disassembler (or refused with their
// code), the sweep of every x87 row over generated operands, and the
// variable fixups of memory operands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/symbols/FuncManager.h"
#include "support/Disasm.h"
#include "support/EncoderFixture.h"
#include "support/EncoderSweep.h"

namespace vorak {
namespace {

using test::EncoderSweep;
using test::hexBytes;
using test::I;
using test::M;
using test::R;
using test::MM;
using test::ST;
using test::TableCase;
using test::XMM;

class X87Groups : public EncoderSweep {};

TEST_F(X87Groups, CompareForms) {
  checkTable({
      {32, "fcom", ST(0), {}, "fcom st(0)"},
      {32, "fcom", ST(3), {}, "fcom st(3)"},
      {32, "fcomp", ST(2), {}, "fcomp st(2)"},
      {32, "fcomp", ST(7), {}, "fcomp st(7)"},
      {32, "fcom", M(4, REG_EAX), {}, "fcom dword ptr [eax]"},
      {32, "fcom", M(0, REG_EAX), {}, "fcom dword ptr [eax]"},
      {32, "fcom", M(8, REG_EAX), {}, "fcom qword ptr [eax]"},
      {32, "fcomp", M(8, REG_EBX, REG_NONE, 16), {}, "fcomp qword ptr [ebx + 0x10]"},
      {64, "fcomp", M(4, REG_R13, REG_RAX, 0, 2), {}, "fcomp dword ptr [r13 + rax*2]"},
      {16, "fcom", M(8, REG_BP, REG_DI, -2), {}, "fcom QWORD PTR [bp+di-0x2]", ASSEMBLE_OK, 'o'},
      {32, "fcom", M(10, REG_EAX), {}, nullptr, ERROR_OPERAND_FLOAT_4_8},
      {32, "fcomp", M(2, REG_EAX), {}, nullptr, ERROR_OPERAND_FLOAT_4_8},
      {32, "fcom", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
      {32, "fcom", XMM(1), {}, nullptr, ERROR_NOT_SUPPORTED},
      {32, "fcom", I(1), {}, nullptr, ERROR_NOT_SUPPORTED},
      {32, "fcom", ST(8), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fcom", ST(-1), {}, nullptr, ERROR_OPERAND1_INVALID},
  });
}

TEST_F(X87Groups, ArithmeticForms) {
  checkTable({
      {32, "fadd", ST(0), ST(3), "fadd st(3)"},
      {32, "fadd", ST(3), ST(0), "fadd st(3), st(0)"},
      {32, "fadd", ST(0), {}, "fadd st(0)"},
      {32, "fadd", ST(3), {}, "fadd st(3)"},
      {32, "fmul", ST(0), ST(1), "fmul st(1)"},
      {32, "fmul", ST(6), ST(0), "fmul st(6), st(0)"},
      {32, "fdiv", ST(0), ST(0), "fdiv st(0)"},
      {32, "fadd", M(4, REG_EAX), {}, "fadd dword ptr [eax]"},
      {32, "fmul", M(8, REG_ECX, REG_EDX, 8, 8), {}, "fmul qword ptr [ecx + edx*8 + 8]"},
      {32, "fdivr", M(0, REG_ESP), {}, "fdivr dword ptr [esp]"},
      {64, "fsub", M(8, REG_NONE, REG_NONE, 0x400), {}, "fsub qword ptr [0x400]"},
      {32, "fadd", ST(2), ST(3), nullptr, ERROR_OPERAND_INVALID},
      {32, "fadd", ST(0), R(REG_EAX), nullptr, ERROR_OPERAND_INVALID},
      {32, "fadd", ST(0), M(4, REG_EAX), nullptr, ERROR_OPERAND_INVALID},
      {32, "fadd", ST(0), ST(9), nullptr, ERROR_OPERAND2_INVALID},
      {32, "fadd", M(4, REG_EAX), ST(1), nullptr, ERROR_OPERAND_COUNT_MAX},
      {32, "fadd", M(10, REG_EAX), {}, nullptr, ERROR_OPERAND_FLOAT_4_8},
      {32, "fadd", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
      {32, "fsub", I(2), ST(0), nullptr, ERROR_NOT_SUPPORTED},
  });
}

// The subtractions and divisions with st(i) first use the DC opcodes that
// swap the operands: fsub st(i), st(0) is DC E8+i. AT&T syntax names these
// the other way round, a classic source of mix-ups, so all three
// disassemblers read them.
TEST_F(X87Groups, ReversedArithmeticWithStackRegisterFirst) {
  checkTable({
      {32, "fsub", ST(2), ST(0), "fsub st(2),st", ASSEMBLE_OK, 'o'},
      {32, "fsubr", ST(4), ST(0), "fsubr st(4),st", ASSEMBLE_OK, 'o'},
      {32, "fdiv", ST(1), ST(0), "fdiv st(1),st", ASSEMBLE_OK, 'o'},
      {32, "fdivr", ST(7), ST(0), "fdivr st(7),st", ASSEMBLE_OK, 'o'},
      {32, "fsub", ST(0), ST(5), "fsub st,st(5)", ASSEMBLE_OK, 'o'},
      {32, "fsubr", ST(0), ST(2), "fsubr st,st(2)", ASSEMBLE_OK, 'o'},
      {32, "fdiv", ST(0), ST(6), "fdiv st,st(6)", ASSEMBLE_OK, 'o'},
      {32, "fdivr", ST(0), ST(1), "fdivr st,st(1)", ASSEMBLE_OK, 'o'},
      {32, "fsub", ST(2), ST(0), "fsub st(2), st(0)"},
      {32, "fsubr", ST(4), ST(0), "fsubr st(4), st(0)"},
      {32, "fdivr", ST(0), ST(5), "fdivr st(5)"},
      {64, "fsub", ST(2), ST(0), "fsub st(2), st", ASSEMBLE_OK, 'l'},
      {64, "fdivr", ST(3), ST(0), "fdivr st(3), st", ASSEMBLE_OK, 'l'},
  });
}

TEST_F(X87Groups, LoadStoreForms) {
  checkTable({
      {32, "fld", ST(2), {}, "fld st(2)"},
      {32, "fst", ST(1), {}, "fst st(1)"},
      {32, "fstp", ST(1), {}, "fstp st(1)"},
      {32, "fld", M(0, REG_EAX), {}, "fld dword ptr [eax]"},
      {32, "fld", M(8, REG_EAX), {}, "fld qword ptr [eax]"},
      {32, "fld", M(10, REG_EAX), {}, "fld xword ptr [eax]"},
      {32, "fst", M(4, REG_EDI), {}, "fst dword ptr [edi]"},
      {32, "fst", M(8, REG_EDI), {}, "fst qword ptr [edi]"},
      {32, "fstp", M(10, REG_EBP, REG_NONE, -12), {}, "fstp xword ptr [ebp - 0xc]"},
      {32, "fild", M(8, REG_EAX), {}, "fild qword ptr [eax]"},
      {32, "fistp", M(8, REG_EAX), {}, "fistp qword ptr [eax]"},
      {32, "fild", M(0, REG_EAX), {}, "fild dword ptr [eax]"},
      {32, "fild", M(2, REG_EAX), {}, "fild word ptr [eax]"},
      {32, "fist", M(2, REG_ESI), {}, "fist word ptr [esi]"},
      {32, "fist", M(4, REG_ESI), {}, "fist dword ptr [esi]"},
      {32, "fisttp", M(2, REG_EAX), {}, "fisttp word ptr [eax]"},
      {32, "fisttp", M(4, REG_EAX), {}, "fisttp dword ptr [eax]"},
      {32, "fisttp", M(8, REG_EAX), {}, "fisttp qword ptr [eax]"},
      {32, "fiadd", M(2, REG_EAX), {}, "fiadd word ptr [eax]"},
      {32, "fimul", M(4, REG_EAX), {}, "fimul dword ptr [eax]"},
      {32, "ficom", M(2, REG_EAX), {}, "ficom word ptr [eax]"},
      {32, "ficomp", M(2, REG_EBP, REG_NONE, -8), {}, "ficomp word ptr [ebp - 8]"},
      {32, "fisub", M(4, REG_EAX), {}, "fisub dword ptr [eax]"},
      {32, "fisubr", M(2, REG_EAX), {}, "fisubr word ptr [eax]"},
      {32, "fidiv", M(4, REG_EAX), {}, "fidiv dword ptr [eax]"},
      {32, "fidivr", M(4, REG_EAX), {}, "fidivr dword ptr [eax]"},
      {64, "fld", M(8, REG_R12, REG_R9, 16, 8), {}, "fld qword ptr [r12 + r9*8 + 0x10]"},
      {64, "fld", M(4, REG_NONE, REG_NONE, 0x1000), {}, "fld dword ptr [0x1000]"},
      {64, "fild", M(2, REG_EAX), {}, "fild word ptr [eax]"},
      {64, "fstp", M(10, REG_RSP, REG_NONE, 8), {}, "fstp xword ptr [rsp + 8]"},
      {16, "fld", M(8, REG_BX, REG_SI), {}, "fld QWORD PTR [bx+si]", ASSEMBLE_OK, 'o'},
      {16, "fild", M(2, REG_BP, REG_NONE, 4), {}, "fild WORD PTR [bp+0x4]", ASSEMBLE_OK, 'o'},
      {16, "fstp", M(10, REG_NONE, REG_NONE, 0x200), {}, "fstp TBYTE PTR ds:0x200", ASSEMBLE_OK, 'o'},
      {16, "fld", M(4, REG_EAX), {}, nullptr, ERROR_OPERAND_INVALID},
      // Sizes the row has no form for.
      {32, "fld", M(2, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fld", M(16, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fld", M(12, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fst", M(10, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fist", M(8, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fiadd", M(8, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fild", M(10, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fild", M(1, REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      // Operands that are no memory.
      {32, "fild", ST(1), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fild", R(REG_EAX), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fld", I(5), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fld", XMM(0), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fld", ST(8), {}, nullptr, ERROR_OPERAND1_INVALID},
      // REX only in 64-bit mode.
      {32, "fld", M(8, REG_R9), {}, nullptr, ERROR_OPERAND_INVALID},
  });
}

// The documented encodings, byte for byte.
// st and mm names share an operand type: an x87 row takes no mm register.
TEST_F(X87Groups, MmRegistersAreRefused) {
  checkTable({
      {32, "fadd", MM(2), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fadd", ST(0), MM(3), nullptr, ERROR_OPERAND2_INVALID},
      {32, "fmul", MM(1), ST(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "fcom", MM(0), {}, nullptr, ERROR_OPERAND1_INVALID},
      {64, "fld", MM(7), {}, nullptr, ERROR_OPERAND1_INVALID},
      {16, "fstp", MM(1), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fild", MM(1), {}, nullptr, ERROR_OPERAND1_INVALID},
      {32, "fadd", ST(0), ST(2), "fadd st(2)"},
  });
}

TEST_F(X87Groups, DocumentedBytes) {
  struct Bytes {
    const char* name;
    test::SweepOp o1, o2;
    const char* hex;
  };
  const Bytes cases[] = {
      {"fcom", ST(0), {}, "D8 D0"},
      {"fcom", ST(3), {}, "D8 D3"},
      {"fcomp", ST(2), {}, "D8 DA"},
      {"fadd", ST(0), ST(3), "D8 C3"},
      {"fadd", ST(3), ST(0), "DC C3"},
      {"fmul", ST(0), ST(1), "D8 C9"},
      {"fsub", ST(2), ST(0), "DC EA"},
      {"fsubr", ST(0), ST(2), "D8 EA"},
      {"fdiv", ST(1), ST(0), "DC F9"},
      {"fdivr", ST(0), ST(1), "D8 F9"},
      {"fadd", M(4, REG_EAX), {}, "D8 00"},
      {"fmul", M(8, REG_EAX), {}, "DC 08"},
      {"fld", ST(2), {}, "D9 C2"},
      {"fst", ST(1), {}, "DD D1"},
      {"fstp", ST(1), {}, "DD D9"},
      {"fild", M(8, REG_EAX), {}, "DF 28"},
      {"fistp", M(8, REG_EAX), {}, "DF 38"},
      {"fcom", M(4, REG_EAX), {}, "D8 10"},
      {"fld", M(10, REG_EAX), {}, "DB 28"},
      {"fstp", M(10, REG_EAX), {}, "DB 38"},
      {"fisttp", M(8, REG_EAX), {}, "DD 08"},
  };
  for (const Bytes& c : cases) {
    TOperand o1, o2;
    test::materialize(c.o1, o1);
    test::materialize(c.o2, o2);
    EXPECT_EQ(enc.assemble(opcodeLookup(c.name), &o1, c.o2.kind == test::SweepOp::None ? nullptr : &o2,
                           nullptr, true),
              ASSEMBLE_OK)
        << c.name;
    EXPECT_EQ(hexBytes(enc.popCode()), c.hex) << c.name;
  }
}

TEST_F(X87Groups, MemoryWithoutSizeBecomesFourBytes) {
  TOperand* op = mem(0, {REG_EAX});
  ASSERT_EQ(encode("fld", op).rc, ASSEMBLE_OK);
  EXPECT_EQ(op->size, 4u);
  op = mem(0, {REG_EAX});
  ASSERT_EQ(encode("fcom", op).rc, ASSEMBLE_OK);
  EXPECT_EQ(op->size, 4u);
}

TEST_F(X87Groups, RefusedInstructionLeavesTheBufferAsItWas) {
  enc.addBytes(uint64_t{0x90}, 1);
  EXPECT_EQ(enc.assemble(opcodeLookup("fst"), mem(10, {REG_EAX}), nullptr, nullptr, true), ERROR_OPERAND1_INVALID);
  EXPECT_EQ(enc.assemble(opcodeLookup("fadd"), st(1), st(2), nullptr, true), ERROR_OPERAND_INVALID);
  EXPECT_EQ(hexBytes(enc.popCode()), "90");
}

// --- Variable fixups ---------------------------------------------------------

class X87Fixups : public test::EncoderFixupSweep {};

TEST_F(X87Fixups, VariableAddressOperandTakesTheTypesSize) {
  if (!test::kHaveDisassembler) GTEST_SKIP();
  EXPECT_EQ(patched("fld", var(otVarRef, 4, &var_, func_), nullptr, 32, 0), "fld qword ptr [0x12345678]");
  type_.size = 10;
  EXPECT_EQ(patched("fstp", var(otVarRef, 4, &var_, func_, 6), nullptr, 32, 6), "fstp xword ptr [0x12345678]");
  type_.size = 2;
  EXPECT_EQ(patched("fiadd", var(otVarRef, 4, &var_, func_, 2), nullptr, 64, 2), "fiadd word ptr [0x12345678]");
  type_.size = 4;
  if (test::haveObjdump()) {
    EXPECT_EQ(patched("fild", var(otVarRef, 2, &var_, func_), nullptr, 16, 0, 'o'), "fild DWORD PTR ds:0x1234");
  }
}

TEST_F(X87Fixups, VariableAddressOperandBytes) {
  // fld of an 8-byte variable: DD 05, then the four bytes of the fixup.
  TOperand* op = var(otVarRef, 4, &var_, func_);
  const test::EncodeResult r = encode("fld", op);
  ASSERT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(r.bytes), "DD 05 00 00 00 00");
  EXPECT_EQ(op->size, 8u);
  ASSERT_EQ(fixups().size(), 1u);
  EXPECT_EQ(fixups()[0]->position, 2u);
}

TEST_F(X87Fixups, MemoryBasedOnAVariable) {
  if (!test::kHaveDisassembler) GTEST_SKIP();
  EXPECT_EQ(patched("fadd", memVar(8, {REG_EBX}, &var_, func_, 8), nullptr, 32, 8), "fadd qword ptr [ebx + 0x12345678]");
  EXPECT_EQ(patched("fcomp", memVar(4, {REG_ESI}, &var_, func_, 0, 4), nullptr, 32, 0),
            "fcomp dword ptr [esi*4 + 0x12345678]");
  EXPECT_EQ(patched("fild", memVar(2, {REG_R12, REG_RCX}, &var_, func_, 4, 2), nullptr, 64, 4),
            "fild word ptr [r12 + rcx*2 + 0x12345678]");
  EXPECT_EQ(patched("fstp", memVar(10, {}, &var_, func_, 16), nullptr, 64, 16), "fstp xword ptr [0x12345678]");
}

TEST_F(X87Fixups, VariableAddressWithoutRecordIsRefused) {
  EXPECT_EQ(encode("fld", var(otVarRef, 4, nullptr, func_)).rc, ERROR_OPERAND1_INVALID);
  EXPECT_EQ(encode("fld", var(otVarRef, 4, &var_, nullptr)).rc, ERROR_OPERAND1_INVALID);
  type_.size = 16;
  EXPECT_EQ(encode("fld", var(otVarRef, 4, &var_, func_)).rc, ERROR_OPERAND1_INVALID);
  EXPECT_TRUE(fixups().empty());
}

// --- The sweep ---------------------------------------------------------------

TEST_F(X87Groups, SweepIn16BitMode) {
  EXPECT_GT(sweep({igX87_FPU_S, igX87_FPU, igX87_MEM_STI, igX87_MEM}, 16), 0u);
}
TEST_F(X87Groups, SweepIn32BitMode) {
  EXPECT_GT(sweep({igX87_FPU_S, igX87_FPU, igX87_MEM_STI, igX87_MEM}, 32), 0u);
}
TEST_F(X87Groups, SweepIn64BitMode) {
  EXPECT_GT(sweep({igX87_FPU_S, igX87_FPU, igX87_MEM_STI, igX87_MEM}, 64), 0u);
}

}  // namespace
}  // namespace vorak
