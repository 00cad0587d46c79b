// Data movement groups: cases read back by the disassembler (or their
// refusal codes), the documented byte sequences, fixups with sentinel fields,
// a sweep of mov, movsx and movzx over operand combinations in every mode, and
// emulated memory-to-memory moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compiler/driver/Utils.h"
#include "support/Disasm.h"
#include "support/Emulator.h"
#include "support/EncoderFixture.h"
#include "support/OperandKit.h"

namespace vorak {
namespace {

using namespace test;

class DataMovement : public OperandKitTest {};

const Case kCases[] = {
    // register destinations
    {32, "mov", R(REG_EAX), R(REG_EBX), "mov eax, ebx"},
    {32, "mov", R(REG_AH), R(REG_DL), "mov ah, dl"},
    {16, "mov", R(REG_SI), R(REG_DI), "mov si, di"},
    {16, "mov", R(REG_EAX), R(REG_EDX), "mov eax, edx"},
    {64, "mov", R(REG_R8), R(REG_RSP), "mov r8, rsp"},
    {64, "mov", R(REG_EAX), R(REG_EAX), "mov eax, eax"},
    {32, "mov", R(REG_EAX), R(REG_BL), "movzx eax, bl"},
    {32, "mov", Signed(R(REG_EAX)), R(REG_BL), "movsx eax, bl"},
    {64, "mov", R(REG_R10), R(REG_CX), "movzx r10, cx"},
    {32, "mov", R(REG_BL), R(REG_EAX), nullptr, ERROR_OPERAND1_INVALID},
    {64, "mov", R(REG_RAX), R(REG_EBX), "mov eax, ebx"},
    {64, "mov", Signed(R(REG_RAX)), R(REG_EBX), "movsxd rax, ebx"},
    {64, "mov", Signed(R(REG_R9)), R(REG_ECX), "movsxd r9, ecx"},
    {64, "mov", R(REG_R9), M(4, {REG_R12}), "mov r9d, dword ptr [r12]"},
    {64, "mov", Signed(R(REG_R9)), M(4, {REG_R12}, 8), "movsxd r9, dword ptr [r12 + 8]"},
    {32, "mov", Signed(R(REG_EAX)), R(REG_EBX), "mov eax, ebx"},
    {64, "mov", R(REG_AH), M(1, {REG_R8}), nullptr, ERROR_OPERAND_INVALID},
    {16, "mov", R(REG_RAX), R(REG_RAX), nullptr, ERROR_OPERAND1_INVALID},
    {32, "mov", R(REG_AL), M(1, {REG_EBX}), "mov al, byte ptr [ebx]"},
    {32, "mov", R(REG_ECX), M(0, {REG_EBP}, -8), "mov ecx, dword ptr [ebp - 8]"},
    {32, "mov", R(REG_EDX), M(2, {REG_ESI, REG_EDI}, 6, 2), "movzx edx, word ptr [esi + edi*2 + 6]"},
    {16, "mov", R(REG_AX), M(2, {REG_BP, REG_SI}, 4), "mov ax, word ptr [bp + si + 4]"},
    {64, "mov", R(REG_R15), M(8, {REG_R13}), "mov r15, qword ptr [r13]"},
    {64, "mov", R(REG_EAX), M(4, {}, 0x1000), "mov eax, dword ptr [0x1000]"},
    {32, "mov", R(REG_EAX), I(300), "mov eax, 0x12c"},
    {32, "mov", R(REG_AL), I(300), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "mov", R(REG_BX), I(0xFFFF), "mov bx, 0xffff"},
    {64, "mov", R(REG_R9), I(1), "movabs r9, 1"},
    {64, "mov", R(REG_R9D), I(1), nullptr, ERROR_OPERAND1_INVALID},
    {32, "mov", R(REG_EAX), V(4), "mov eax, dword ptr [0x12345678]"},
    {32, "mov", R(REG_ECX), V(4, 8), "mov ecx, dword ptr [0x12345678]"},
    {16, "mov", R(REG_AX), V(2), "mov ax, word ptr [0x1234]"},
    {64, "mov", R(REG_EAX), V(4), "mov eax, dword ptr [0x12345678]"},
    {64, "mov", R(REG_R11), V(8), "mov r11, qword ptr [0x12345678]"},
    {32, "mov", R(REG_AL), V(4), "mov al, byte ptr [0x12345678]"},
    {32, "mov", R(REG_EAX), V(2), "movzx eax, word ptr [0x12345678]"},
    {32, "mov", R(REG_EAX), VR(), "mov eax, 0x12345678"},
    {64, "mov", R(REG_RAX), VR(), "movabs rax, 0x1122334455667788"},
    {16, "mov", R(REG_DI), C(), "mov di, 0x1234"},
    {32, "mov", R(REG_EDX), L(), "mov edx, 0x12345678"},
    {64, "mov", R(REG_R14), LR(), "movabs r14, 0x1122334455667788"},
    {32, "mov", R(REG_AX), VR(), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "mov", R(REG_EAX), C(), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", R(REG_EAX), MR({REG_EBX}, 8), "lea eax, [ebx + 8]"},
    {64, "mov", R(REG_RAX), MR({REG_RBX, REG_RSI}, 8, 4), "lea rax, [rbx + rsi*4 + 8]"},
    {16, "mov", R(REG_AX), MR({REG_BX}, 8), nullptr, ERROR_NOT_SUPPORTED},
    {32, "mov", R(REG_EAX), S(SEG_DS), nullptr, ERROR_NOT_SUPPORTED},
    // segment destinations
    {32, "mov", S(SEG_DS), R(REG_AX), "mov ds, ax"},
    {16, "mov", S(SEG_ES), R(REG_AX), "mov es, ax"},
    {16, "mov", S(SEG_SS), R(REG_EAX), "mov ss, eax"},
    {64, "mov", S(SEG_FS), R(REG_R9W), nullptr, ERROR_OPERAND2_INVALID},
    {32, "mov", S(SEG_GS), R(REG_EDI), "mov gs, edi"},
    {32, "mov", S(SEG_CS), R(REG_AX), nullptr, ERROR_OPERAND1_INVALID},
    {32, "mov", S(SEG_DS), R(REG_AL), nullptr, ERROR_NOT_SUPPORTED},
    // variable destinations
    {32, "mov", V(4), R(REG_EAX), "mov dword ptr [0x12345678], eax"},
    {32, "mov", V(1), R(REG_CL), "mov byte ptr [0x12345678], cl"},
    {16, "mov", V(2), R(REG_AX), "mov word ptr [0x1234], ax"},
    {64, "mov", V(8), R(REG_R12), "mov qword ptr [0x12345678], r12"},
    {32, "mov", V(1), R(REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", V(4), R(REG_AL), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", V(4), I(5), "mov dword ptr [0x12345678], 5"},
    {16, "mov", V(1), I(0x80), "mov byte ptr [0x1234], 0x80"},
    {64, "mov", V(8), I(-2), "mov qword ptr [0x12345678], -2"},
    {64, "mov", V(8), I(0x80000000LL), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", V(2), I(0x10000), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", V(4), VR(), "mov dword ptr [0x12345678], 0x12345678"},
    {64, "mov", V(8), LR(), "mov qword ptr [0x12345678], 0x12345678"},
    {16, "mov", V(2), C(), "mov word ptr [0x1234], 0x1234"},
    {32, "mov", V(2), C(), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", V(4), L(), nullptr, ERROR_OPERAND2_INVALID},
    {32, "mov", V(4), V2(4), "push dword ptr [0x12345678]; pop dword ptr [0x12345678]"},
    {32, "mov", V(2), V2(2),
     "push eax; mov ax, word ptr [0x12345678]; mov word ptr [0x12345678], ax; pop eax"},
    {64, "mov", V(4), V2(4),
     "push rax; mov eax, dword ptr [0x12345678]; mov dword ptr [0x12345678], eax; pop rax"},
    {32, "mov", V(4), M(1, {REG_EBX}),
     "push eax; movzx eax, byte ptr [ebx]; mov dword ptr [0x12345678], eax; pop eax"},
    // memory destinations
    {32, "mov", M(4, {REG_EBX}), R(REG_EAX), "mov dword ptr [ebx], eax"},
    {32, "mov", M(0, {REG_EBX}), R(REG_AX), "mov word ptr [ebx], ax"},
    {32, "mov", M(1, {REG_EBX}), R(REG_AX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "mov", M(1, {REG_R8}), R(REG_AH), nullptr, ERROR_OPERAND_INVALID},
    {64, "mov", M(1, {REG_RAX}), R(REG_AH), "mov byte ptr [rax], ah"},
    {32, "mov", M(0, {REG_EBX}), I(5), "mov dword ptr [ebx], 5"},
    {64, "mov", M(8, {REG_RBX}), I(5), "mov qword ptr [rbx], 5"},
    {32, "mov", M(8, {REG_EBX}), I(5), nullptr, ERROR_OPERAND_INVALID},
    {32, "mov", M(1, {REG_EBX}), I(0x100), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "mov", M(2, {REG_BX}, 2), I(0x1234), "mov word ptr [bx + 2], 0x1234"},
    {32, "mov", M(4, {REG_EBX}), C(), nullptr, ERROR_OPERAND2_INVALID},
    {32, "mov", M(2, {REG_EAX}), M(2, {REG_EBX}),
     "push ecx; mov cx, word ptr [ebx]; mov word ptr [eax], cx; pop ecx"},
    {32, "mov", M(1, {REG_EAX, REG_ECX}), M(1, {REG_EBX}),
     "push edx; mov dl, byte ptr [ebx]; mov byte ptr [eax + ecx], dl; pop edx"},
    {32, "mov", M(4, {REG_EBX}), M(4, {REG_ESI}), "push dword ptr [esi]; pop dword ptr [ebx]"},
    {32, "mov", M(8, {REG_EBX}), M(8, {REG_ESI}),
     "push dword ptr [esi + 4]; push dword ptr [esi]; pop dword ptr [ebx]; pop dword ptr [ebx + 4]"},
    {32, "mov", M(2, {REG_EBX}), M(4, {REG_ESI}), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "mov", M(4, {REG_ESP}, 4), M(4, {REG_ESP}, 8), "push dword ptr [esp + 8]; pop dword ptr [esp + 4]"},
    {32, "mov", M(2, {REG_ESP}, 4), M(2, {REG_ESP}, 8),
     "push eax; mov ax, word ptr [esp + 0xc]; mov word ptr [esp + 8], ax; pop eax"},
    {32, "mov", M(3, {REG_EBX}), M(3, {REG_ESI}), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    // Displacements: 64-bit code sign-extends the 32-bit field, so
    // 0xFFFFFFFF would be -1 and 0x80000000 the top of memory; 32-bit code
    // wraps at 32 bits, where they are the places written.
    {64, "mov", R(REG_RAX), M(8, {REG_RBX}, 0xFFFFFFFFLL), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", R(REG_RAX), M(8, {}, 0x80000000LL), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", M(8, {REG_RBX, REG_RSI}, 0x80000000LL, 8), R(REG_RCX), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", R(REG_RAX), MR({REG_RBX}, 0x80000000LL), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", R(REG_EAX), M(4, {REG_RBX}, -0x80000000LL), "mov eax, dword ptr [rbx - 0x80000000]"},
    {64, "mov", R(REG_RAX), M(8, {REG_RBX}, 0x7FFFFFFF), "mov rax, qword ptr [rbx + 0x7fffffff]"},
    {32, "mov", R(REG_EAX), M(4, {REG_EBX}, 0xFFFFFFFFLL), "mov eax, dword ptr [ebx - 1]"},
    {32, "mov", R(REG_EAX), M(4, {}, 0x80000000LL), "mov eax, dword ptr [0x80000000]"},
    // Memory to memory: each piece's displacement must fit, as the whole's.
    {64, "mov", M(8, {REG_RBX}, 0x80000000LL), M(8, {REG_RSI}), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", M(8, {REG_RBX}), M(8, {REG_RSI}, 0xFFFFFFF8LL), nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "mov", M(4, {REG_RSP}, 0x7FFFFFFC), M(4, {REG_RSI}), nullptr, ERROR_DISPLACEMENT_RANGE},
    {32, "mov", M(8, {REG_EBX}, 0xFFFFFFFCLL), M(8, {REG_ESI}),
     "push dword ptr [esi + 4]; push dword ptr [esi]; pop dword ptr [ebx - 4]; pop dword ptr [ebx]"},

    // movsx, movzx
    {32, "movzx", R(REG_EAX), M(2, {REG_EBX}), "movzx eax, word ptr [ebx]"},
    {32, "movsx", R(REG_EAX), R(REG_BL), "movsx eax, bl"},
    {16, "movzx", R(REG_AX), R(REG_BL), "movzx ax, bl"},
    {16, "movsx", R(REG_EAX), R(REG_BX), "movsx eax, bx"},
    {64, "movsx", R(REG_R9), R(REG_R10), "mov r9, r10"},
    {64, "movzx", R(REG_EAX), R(REG_BH), "movzx eax, bh"},
    {64, "movzx", R(REG_RAX), R(REG_BH), nullptr, ERROR_OPERAND_INVALID},
    {64, "movzx", R(REG_R8), R(REG_BH), nullptr, ERROR_OPERAND_INVALID},
    {32, "movzx", R(REG_EAX), V(1), "movzx eax, byte ptr [0x12345678]"},
    {64, "movsx", R(REG_RAX), V(2), "movsx rax, word ptr [0x12345678]"},
    {32, "movsx", R(REG_EBX), R(REG_ECX), "mov ebx, ecx"},
    {32, "movsx", R(REG_AL), R(REG_BX), nullptr, ERROR_OPERAND1_INVALID},
    {64, "movsx", R(REG_RAX), M(4, {REG_EBX}), nullptr, ERROR_OPERAND2_INVALID},
    {32, "movzx", M(4, {REG_EBX}), R(REG_AL), nullptr, ERROR_NOT_SUPPORTED},
    {32, "movzx", R(REG_EAX), I(1), nullptr, ERROR_NOT_SUPPORTED},
};

TEST_F(DataMovement, EachCaseDecodesAsWrittenOrIsRefused) {
  CompileFlags.m2m_reg = REG_NONE;
  for (const Case& c : kCases) check(c);
}

struct BytesCase {
  uint32_t bits;
  const char* name;
  Op o1, o2;
  const char* bytes;  // fixup fields as emitted (zero)
};

const BytesCase kDocumented[] = {
    {32, "mov", R(REG_EAX), R(REG_EBX), "8B C3"},
    {32, "mov", R(REG_AL), M(1, {REG_EBX}), "8A 03"},
    {32, "mov", M(4, {REG_EBX}), R(REG_EAX), "89 03"},
    {32, "mov", R(REG_EAX), R(REG_BL), "0F B6 C3"},
    {32, "mov", Signed(R(REG_EAX)), R(REG_BL), "0F BE C3"},
    {32, "mov", R(REG_EAX), I(300), "B8 2C 01 00 00"},
    {64, "mov", R(REG_RAX), I(1), "48 B8 01 00 00 00 00 00 00 00"},
    {64, "mov", R(REG_R9), I(1), "49 B9 01 00 00 00 00 00 00 00"},
    {32, "mov", R(REG_EAX), V(4), "A1 00 00 00 00"},
    {32, "mov", R(REG_ECX), V(4), "8B 0D 00 00 00 00"},
    {32, "mov", V(4), I(5), "C7 05 00 00 00 00 05 00 00 00"},
    {32, "mov", S(SEG_DS), R(REG_AX), "66 8E D8"},
    {32, "mov", V(4), V2(4), "FF 35 00 00 00 00 8F 05 00 00 00 00"},
    {32, "mov", M(2, {REG_EAX}), M(2, {REG_EBX}), "51 66 8B 0B 66 89 08 59"},
    {32, "movzx", R(REG_EAX), M(2, {REG_EBX}), "0F B7 03"},
};

TEST_F(DataMovement, DocumentedByteSequences) {
  CompileFlags.m2m_reg = REG_NONE;
  for (const BytesCase& c : kDocumented) {
    const Result r = run(c.bits, c.name, c.o1, c.o2);
    EXPECT_EQ(r.rc, ASSEMBLE_OK) << c.name;
    EXPECT_EQ(hexBytes(r.raw), c.bytes) << c.name << " in " << c.bits << "-bit mode";
  }
}

TEST_F(DataMovement, RegisterToItselfVanishesOnlyWhenOptimisedAndANoOp) {
  EXPECT_EQ(run(32, "mov", R(REG_EAX), R(REG_EAX)).raw, "");
  EXPECT_EQ(hexBytes(run(32, "mov", R(REG_EAX), R(REG_EAX), false).raw), "8B C0");
  // movsx of equal sizes is mov, and the inner move is optimised.
  EXPECT_EQ(run(32, "movsx", R(REG_EAX), R(REG_EAX)).raw, "");
  // In 64-bit code mov eax, eax clears the upper half of RAX.
  EXPECT_EQ(hexBytes(run(64, "mov", R(REG_EAX), R(REG_EAX)).raw), "8B C0");
  EXPECT_EQ(run(64, "mov", R(REG_RAX), R(REG_RAX)).raw, "");
}

TEST_F(DataMovement, ImmediatesRollOnlyWhenAskedTo) {
  CompileFlags.imm_roll = 0;
  EXPECT_EQ(run(32, "mov", R(REG_AL), I(300)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(run(32, "mov", R(REG_AX), I(-40000)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(hexBytes(run(32, "mov", R(REG_AX), I(-1)).raw), "66 B8 FF FF");  // -1 fits a word
  EXPECT_EQ(run(32, "mov", M(1, {REG_EBX}), I(300)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  CompileFlags.imm_roll = 1;
  EXPECT_EQ(hexBytes(run(32, "mov", R(REG_AL), I(300)).raw), "B0 2C");
  EXPECT_EQ(hexBytes(run(32, "mov", M(1, {REG_EBX}), I(300)).raw), "C6 03 2C");
  // A sign-extended field cannot roll.
  EXPECT_EQ(run(64, "mov", M(8, {REG_RBX}), I(0x100000000LL)).rc, ERROR_OPERAND_SIZE_MISMATCH);
}

// --- Fixups ----------------------------------------------------------------------

TEST_F(DataMovement, VariableFieldsAreAbsoluteWithTheirFixup) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint8_t field = bits == 16 ? 2 : 4;
    const uint32_t w = bits / 8;
    // load through the accumulator, through another register, store, store an immediate
    const struct {
      Op o1, o2;
    } forms[] = {{R(REG_AX), V(2, 6)}, {R(REG_DX), V(2, 6)}, {V(2, 6), R(REG_AX)}, {V(2, 6), R(REG_SI)},
                 {V(2, 6), I(7)}};
    for (const auto& form : forms) {
      const Result r = run(bits, "mov", form.o1, form.o2);
      ASSERT_EQ(r.rc, ASSEMBLE_OK) << bits;
      ASSERT_EQ(r.fixups.size(), 1u) << bits;
      const TFixup& f = r.fixups[0];
      EXPECT_EQ(f.hint, ftVar);
      EXPECT_EQ(f.size, field);
      EXPECT_EQ(f.offset, 6u);
      EXPECT_EQ(f.data, &variable);
      EXPECT_EQ(f.parentfunc, func);
      const Decoded d = decode(r.bytes, static_cast<int>(bits));
      ASSERT_TRUE(d.ok);
      EXPECT_EQ(d.length, r.bytes.size()) << hexBytes(r.bytes);
      const DecodedOperand& m = form.o1.kind == Op::Var ? d.ops[0] : d.ops[1];
      EXPECT_EQ(m.kind, DecodedOperand::Mem) << d.text;
      EXPECT_EQ(m.base, "") << d.text;  // never RIP-relative
      EXPECT_EQ(m.index, "") << d.text;
      EXPECT_EQ(m.disp, static_cast<int64_t>(sentinel(field))) << d.text;
      EXPECT_EQ(m.size, 2u) << d.text;
      // The field is where the decoder reads the displacement: right before
      // the immediate, or at the end.
      const size_t tail = form.o2.kind == Op::Imm ? 2 : 0;
      EXPECT_EQ(f.position, r.bytes.size() - tail - field);
    }
    (void)w;
  }
}

TEST_F(DataMovement, AddressesAsImmediatesCarryTheirFixup) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    const TRegister reg = regScale(REG_BL, static_cast<uint8_t>(w));
    const struct {
      Op op;
      TFixupType type;
      uint32_t offset;
    } forms[] = {{VR(12), ftVar, 12}, {LR(5), ftLabelAbs, 0}, {L(5), ftLabelAbs, 0}, {C(), ftConst, 0}};
    for (const auto& form : forms) {
      // Into a register: B8+r with a pointer-sized field.
      Result r = run(bits, "mov", R(reg), form.op);
      ASSERT_EQ(r.rc, ASSEMBLE_OK);
      ASSERT_EQ(r.fixups.size(), 1u);
      EXPECT_EQ(r.fixups[0].hint, form.type);
      EXPECT_EQ(r.fixups[0].size, w);
      EXPECT_EQ(r.fixups[0].offset, form.offset);
      EXPECT_EQ(r.fixups[0].position + w, r.bytes.size());
      const Decoded d = decode(r.bytes, static_cast<int>(bits));
      EXPECT_EQ(d.length, r.bytes.size());
      EXPECT_TRUE(sameImm(d.ops[1], static_cast<int64_t>(sentinel(w)), w)) << d.text;
      if (form.op.kind == Op::Label) continue;
      // Into a pointer-sized variable: C7 /0 with the address field last.
      r = run(bits, "mov", V(w), form.op);
      ASSERT_EQ(r.rc, ASSEMBLE_OK);
      ASSERT_EQ(r.fixups.size(), 2u);
      const uint8_t field = bits == 16 ? 2 : 4;
      EXPECT_EQ(r.fixups[0].hint, ftVar);
      EXPECT_EQ(r.fixups[1].hint, form.type);
      EXPECT_EQ(r.fixups[1].size, field);
      EXPECT_EQ(r.fixups[1].offset, form.offset);
      EXPECT_EQ(r.fixups[1].position + field, r.bytes.size());
      EXPECT_EQ(r.fixups[0].position + field, r.fixups[1].position);
    }
  }
}

TEST_F(DataMovement, TruncatedSourceWarnsAndRecursionIsBounded) {
  CompileFlags.m2m_reg = REG_NONE;
  Result r{};
  const std::string out = captureStdout([&] { r = run(32, "mov", V(2), M(4, {REG_EBX})); });
  EXPECT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(last2->size, 2u);
  EXPECT_NE(out.find("Operand 2 has been truncated to fit into operand 1"), std::string::npos) << out;
  // A variable whose scale says "no elements" still terminates: no endless
  // mov -> movzx -> mov.
  setMode(32);
  TOperand* v = make(V(4));
  v->scale = 0;
  TOperand* eax = make(R(REG_EAX));
  EXPECT_EQ(enc.assemble(opcodeLookup("mov"), eax, v, nullptr, true), ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(enc.popCode()), "A1 00 00 00 00");
}

TEST_F(DataMovement, AFailingInnerMoveLeavesNothing) {
  CompileFlags.m2m_reg = REG_NONE;
  // A move through the scratch register whose destination address the mode
  // cannot form fails in its second inner move, after the save of the
  // scratch register and the load with its variable fixup.
  setMode(32);
  const size_t mark = fixupMark();
  TOperand* dst = make(M(2, {REG_BX}));
  TOperand* src = make(V(2));
  EXPECT_EQ(enc.assemble(opcodeLookup("mov"), dst, src, nullptr, true), ERROR_OPERAND_INVALID);
  EXPECT_TRUE(enc.getCode().empty());
  EXPECT_EQ(fixupMark(), mark);
  // The next instruction starts clean.
  const Result r = run(32, "mov", R(REG_EAX), R(REG_EBX));
  EXPECT_EQ(hexBytes(r.raw), "8B C3");
}

// --- Sweep -----------------------------------------------------------------------

std::vector<Op> memoryForms(uint32_t bits, uint32_t size) {
  std::vector<Op> m = {M(size, {}, 0x2000)};
  if (bits == 16) {
    for (auto regs : std::vector<std::vector<TRegister>>{{REG_BX}, {REG_BP}, {REG_BX, REG_SI}, {REG_EAX}})
      m.push_back(M(size, regs, 6));
  } else {
    m.push_back(M(size, {REG_EBX}));
    m.push_back(M(size, {REG_ESP}, 8));
    m.push_back(M(size, {REG_EAX, REG_ECX}, 0x1000, 4));
    m.push_back(M(size, {REG_BX}));
    if (bits == 64) {
      m.push_back(M(size, {REG_R12, REG_R13}, 16, 8));
      m.push_back(M(size, {REG_RBP}, -200));
    }
  }
  return m;
}

bool usable(TRegister r, uint32_t bits) { return (bits == 64 || regSize(r) != 8) && (bits == 64 || regID(r) < 8); }
bool highByte(TRegister r) { return r >= REG_AH && r <= REG_BH; }
bool needsRex(TRegister r) { return regID(r) >= 8 || regSize(r) == 8; }

class MoveSweep : public DataMovement {
 protected:
  // One instruction, the whole of bytes, the expected mnemonic and operands.
  template <typename F>
  void single(const Result& r, uint32_t bits, const std::string& where, std::initializer_list<const char*> mnemonics,
              F expect) {
    const Decoded d = decode(r.bytes, static_cast<int>(bits));
    ASSERT_TRUE(d.ok) << where << " " << hexBytes(r.bytes);
    EXPECT_EQ(d.length, r.bytes.size()) << where << " " << hexBytes(r.bytes);
    EXPECT_TRUE(std::find(mnemonics.begin(), mnemonics.end(), d.mnemonic) != mnemonics.end())
        << where << " reads " << d.text;
    ASSERT_EQ(d.ops.size(), 2u) << where << " reads " << d.text;
    EXPECT_TRUE(expect(d.ops[0], d.ops[1])) << where << " reads " << d.text;
  }
  // Several instructions of the expansions, all of bytes decoded.
  void sequence(const Result& r, uint32_t bits, const std::string& where) {
    size_t length = 0;
    for (const Decoded& d : decodeAll(r.bytes, bits)) {
      length += d.length;
      const bool known = d.mnemonic == "push" || d.mnemonic == "pop" || d.mnemonic == "mov" ||
                         d.mnemonic == "movzx" || d.mnemonic == "movsx" || d.mnemonic == "movsxd";
      EXPECT_TRUE(known) << where << " has " << d.text;
    }
    EXPECT_EQ(length, r.bytes.size()) << where << " " << hexBytes(r.bytes);
  }
};

TEST_F(MoveSweep, RegisterDestinations) {
  CompileFlags.imm_roll = 0;
  const std::vector<TRegister> regs = allRegisters();
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    for (TRegister a : regs) {
      const uint32_t sa = regSize(a);
      const std::string to = std::string("mov ") + std::string(regToStr(a)) + " in " + std::to_string(bits) + ": ";
      for (TRegister b : regs) {
        const Result r = run(bits, "mov", R(a), R(b));
        const uint32_t sb = regSize(b);
        const std::string where = to + std::string(regToStr(b));
        const bool rexClash = (highByte(a) && needsRex(b)) || (highByte(b) && needsRex(a));
        const bool encodable = usable(a, bits) && usable(b, bits) && !rexClash;
        // A doubleword into a 64-bit register: a 32-bit load (unsigned).
        const bool dword64 = bits == 64 && sa == 8 && sb == 4;
        const bool widens = (sa > sb && sb <= 2 && sa >= 2) || dword64;
        EXPECT_EQ(r.rc == ASSEMBLE_OK, encodable && (sa == sb || widens)) << where;
        if (r.rc != ASSEMBLE_OK) continue;
        if (a == b && !(bits == 64 && sa == 4)) {
          EXPECT_TRUE(r.raw.empty()) << where;
          continue;
        }
        single(r, bits, where, {sa == sb || dword64 ? "mov" : "movzx"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
          return (dword64 ? x.reg == doublewordName(a) : sameReg(x, a)) && sameReg(y, b);
        });
      }
      for (int64_t v : std::initializer_list<int64_t>{0, 0x7F, 0xFF, 0x100, 0xFFFF, 0x10000, 0xFFFFFFFFLL,
                                                      0x100000000LL, -1}) {
        const Result r = run(bits, "mov", R(a), I(v));
        const std::string where = to + std::to_string(v);
        // The register takes a value whose signed or unsigned reading it
        // holds (FFFFFFFF is 4294967295, which only a dword holds).
        auto holds = [sa](int64_t x) {
          return x >= -(int64_t{1} << (8 * sa - 1)) && x <= (int64_t{1} << (8 * sa)) - 1;
        };
        const bool fits = sa == 8 || holds(v);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, usable(a, bits) && fits) << where;
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, where, {"mov", "movabs"},
                 [&](const DecodedOperand& x, const DecodedOperand& y) { return sameReg(x, a) && sameImm(y, v, sa); });
      }
      for (uint32_t size : {0u, 1u, 2u, 4u, 8u}) {
        for (const Op& m : memoryForms(bits, size)) {
          const Result r = run(bits, "mov", R(a), m);
          const std::string where = to + "memory of " + std::to_string(size);
          const uint32_t ms = size ? size : sa;
          const bool dword64 = bits == 64 && sa == 8 && ms == 4;
          const bool sizeOk = ms == sa || (sa > ms && ms <= 2 && sa >= 2) || dword64;
          if (!sizeOk || !usable(a, bits)) {
            EXPECT_NE(r.rc, ASSEMBLE_OK) << where;
          }
          if (r.rc != ASSEMBLE_OK) continue;
          EXPECT_EQ(last2->size, ms) << where;  // a size of 0 takes the register's
          const TOperand src = *last2;
          single(r, bits, where, {ms == sa || dword64 ? "mov" : "movzx"},
                 [&](const DecodedOperand& x, const DecodedOperand& y) {
                   return (dword64 ? x.reg == doublewordName(a) : sameReg(x, a)) && sameMem(y, src, m.disp, ms);
                 });
        }
      }
      for (uint32_t size : {1u, 2u, 4u, 8u}) {
        const Result r = run(bits, "mov", R(a), V(size, 4));
        const std::string where = to + "variable of " + std::to_string(size);
        const bool dword64 = bits == 64 && sa == 8 && size == 4;
        const bool sizeOk = size >= sa || (size <= 2 && sa >= 2) || dword64;
        EXPECT_EQ(r.rc == ASSEMBLE_OK, usable(a, bits) && sizeOk) << where;
        if (r.rc != ASSEMBLE_OK) continue;
        ASSERT_EQ(r.fixups.size(), 1u) << where;
        EXPECT_EQ(r.fixups[0].offset, 4u);
        const uint32_t read = size >= sa ? sa : size;
        single(r, bits, where, {size >= sa || dword64 ? "mov" : "movzx"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
          return (dword64 ? x.reg == doublewordName(a) : sameReg(x, a)) && y.kind == DecodedOperand::Mem &&
                 y.base.empty() && y.index.empty() &&
                 y.disp == static_cast<int64_t>(sentinel(bits == 16 ? 2 : 4)) && y.size == read;
        });
      }
      for (Op ref : {VR(), LR(), L(), C()}) {
        const Result r = run(bits, "mov", R(a), ref);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, usable(a, bits) && sa == w) << to << "address";
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, to + "address", {"mov", "movabs"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
            return sameReg(x, a) && sameImm(y, static_cast<int64_t>(sentinel(w)), w);
          });
      }
    }
  }
}

TEST_F(MoveSweep, MemoryVariableAndSegmentDestinations) {
  CompileFlags.imm_roll = 0;
  CompileFlags.m2m_reg = REG_NONE;
  const std::vector<TRegister> regs = allRegisters();
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint8_t field = bits == 16 ? 2 : 4;
    for (uint32_t size : {0u, 1u, 2u, 4u, 8u}) {
      std::vector<Op> dsts = memoryForms(bits, size);
      if (size) dsts.push_back(V(size, 2));
      for (const Op& dst : dsts) {
        const bool isVar = dst.kind == Op::Var;
        const std::string to = std::string("mov ") + (isVar ? "variable" : "memory") + " of " + std::to_string(size) +
                               " in " + std::to_string(bits) + ": ";
        auto dstMatches = [&](const DecodedOperand& x, uint32_t width) {
          if (isVar)
            return x.kind == DecodedOperand::Mem && x.base.empty() && x.index.empty() &&
                   x.disp == static_cast<int64_t>(sentinel(field)) && x.size == width;
          return sameMem(x, *last1, dst.disp, width);
        };
        for (TRegister b : regs) {
          const Result r = run(bits, "mov", dst, R(b));
          const std::string where = to + std::string(regToStr(b));
          if (size && size != regSize(b)) {
            EXPECT_NE(r.rc, ASSEMBLE_OK) << where;
          }
          if (!usable(b, bits)) {
            EXPECT_NE(r.rc, ASSEMBLE_OK) << where;
          }
          if (r.rc != ASSEMBLE_OK) continue;
          single(r, bits, where, {"mov"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
            return dstMatches(x, regSize(b)) && sameReg(y, b);
          });
        }
        for (int64_t v : std::initializer_list<int64_t>{0, 0x7F, 0xFF, 0x100, 0xFFFF, 0x10000, 0x7FFFFFFF,
                                                        0xFFFFFFFFLL, -2}) {
          const Result r = run(bits, "mov", dst, I(v));
          const std::string where = to + std::to_string(v);
          const uint32_t width = size ? size : 4;
          // A field takes a value whose signed or unsigned reading it holds;
          // a 32-bit pattern such as FFFFFFFF also stands for its signed value.
          auto holds = [width](int64_t x) {
            return x >= -(int64_t{1} << (8 * width - 1)) && x <= (int64_t{1} << (8 * width)) - 1;
          };
          const bool fits = width == 8 ? (v >= INT32_MIN && v <= INT32_MAX)
                                       : holds(v) || ((v >> 32) == 0 && holds(static_cast<int32_t>(v)));
          if (!fits || (width == 8 && bits != 64)) {
            EXPECT_NE(r.rc, ASSEMBLE_OK) << where;
          }
          if (r.rc != ASSEMBLE_OK) continue;
          single(r, bits, where, {"mov"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
            return dstMatches(x, width) && sameImm(y, v, width);
          });
        }
        // Memory to memory: whatever the route, every byte decodes to a
        // push, pop or move (the emulated tests below check what they do).
        for (uint32_t s2 : {0u, 1u, 2u, 4u, 8u}) {
          for (const Op& src : {M(s2, {bits == 16 ? REG_SI : REG_ESI}, 4), V2(s2 ? s2 : 4)}) {
            Result r{};
            captureStdout([&] { r = run(bits, "mov", dst, src); });  // truncation warnings
            const std::string where = to + "memory of " + std::to_string(s2);
            if (r.rc == ASSEMBLE_OK) sequence(r, bits, where);
          }
        }
      }
    }
    for (uint8_t seg = SEG_ES; seg <= SEG_GS; ++seg) {
      for (TRegister b : regs) {
        const Result r = run(bits, "mov", S(static_cast<TSegment>(seg)), R(b));
        const std::string where = "mov seg " + std::to_string(seg) + ", " + std::string(regToStr(b));
        const bool ok = seg != SEG_CS && usable(b, bits) && (regSize(b) == 2 || regSize(b) == 4);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, ok) << where;
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, where, {"mov"}, [&](const DecodedOperand& x, const DecodedOperand& y) {
            return x.kind == DecodedOperand::Reg && x.reg == std::string(segToStr(seg)) && sameReg(y, b);
          });
      }
    }
  }
}

TEST_F(MoveSweep, MovsxAndMovzx) {
  const std::vector<TRegister> regs = allRegisters();
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (const char* name : {"movsx", "movzx"}) {
      for (TRegister a : regs) {
        const uint32_t sa = regSize(a);
        for (TRegister b : regs) {
          const Result r = run(bits, name, R(a), R(b));
          const uint32_t sb = regSize(b);
          const std::string where = std::string(name) + " " + std::string(regToStr(a)) + ", " +
                                    std::string(regToStr(b)) + " in " + std::to_string(bits);
          const bool rexClash = (highByte(a) && needsRex(b)) || (highByte(b) && needsRex(a));
          const bool encodable = usable(a, bits) && usable(b, bits) && !rexClash;
          EXPECT_EQ(r.rc == ASSEMBLE_OK, encodable && (sa == sb || (sa > sb && sb <= 2))) << where;
          if (r.rc != ASSEMBLE_OK || (a == b && !(bits == 64 && sa == 4))) continue;
          single(r, bits, where, {sa == sb ? "mov" : name},
                 [&](const DecodedOperand& x, const DecodedOperand& y) { return sameReg(x, a) && sameReg(y, b); });
        }
        for (uint32_t size : {1u, 2u, 4u}) {
          for (const Op& m : memoryForms(bits, size)) {
            const Result r = run(bits, name, R(a), m);
            if (r.rc != ASSEMBLE_OK) continue;
            const TOperand src = *last2;
            single(r, bits, std::string(name) + " memory", {sa == size ? "mov" : name},
                   [&](const DecodedOperand& x, const DecodedOperand& y) {
                     return sameReg(x, a) && sameMem(y, src, m.disp, size);
                   });
          }
        }
      }
    }
  }
}

// --- Emulated memory-to-memory moves -----------------------------------------------

constexpr uint64_t kVarAddress = kEmuData + 0x800, kOtherAddress = kEmuData + 0xA00;

class MoveEmulation : public DataMovement {
 protected:
  static uint64_t regValue(uint32_t bits, int n) {
    if (n == 4) return kEmuStackTop;
    if (bits == 16) {
      switch (n) {
        case 3: return kEmuData + 0x100;  // bx
        case 5: return kEmuData + 0x300;  // bp
        case 6: return 0x20;              // si
        case 7: return 0x60;              // di
        default: break;
      }
    }
    return kEmuData + 0x100 + 0x40 * static_cast<uint64_t>(n);
  }
  uint64_t address(uint32_t bits, const Op& o) const {
    if (o.kind == Op::Var) return (o.record ? kOtherAddress : kVarAddress) + o.disp;
    const int64_t scale = o.scale > 1 ? o.scale : 1;
    int64_t a = o.disp;
    if (!o.regs.empty()) a += static_cast<int64_t>(regValue(bits, regID(o.regs[0])));
    if (o.regs.size() > 1) a += static_cast<int64_t>(regValue(bits, regID(o.regs[1]))) * scale;
    return bits == 16 ? static_cast<uint64_t>(a) & 0xFFFF : static_cast<uint64_t>(a);
  }
  // The builder's part: each variable field gets its address plus offset.
  std::string patched(const Result& r) const {
    std::string bytes = r.raw;
    for (const TFixup& f : r.fixups) {
      const uint64_t v = (f.data == &other ? kOtherAddress : kVarAddress) + f.offset;
      for (uint32_t i = 0; i < f.size; ++i) bytes[f.position + i] = static_cast<char>(static_cast<uint8_t>(v >> (8 * i)));
    }
    return bytes;
  }

  // Moves dst <- src in the emulator: dst holds src's bytes (extended when
  // smaller), src and the stack pointer are unchanged, and so is every
  // register but the accumulator where m2m_reg allows it.
  // widen: as an assignment statement moves, which widens into any memory.
  void expectMove(uint32_t bits, const Op& dst, const Op& src, bool mayClobber, bool widen = false) {
    CompileFlags.m2m_reg = mayClobber ? REG_EAX : REG_NONE;
    enc.widenIntoMemory(widen);
    const Result r = run(bits, "mov", dst, src);
    enc.widenIntoMemory(false);
    const std::string where = std::to_string(bits) + "-bit, " + std::to_string(dst.size) + " <- " +
                              std::to_string(src.size) + (mayClobber ? ", m2m_reg" : "") + ": " + hexBytes(r.raw);
    ASSERT_EQ(r.rc, ASSEMBLE_OK) << where;
    const uint64_t da = address(bits, dst), sa = address(bits, src);
    ASSERT_TRUE(da + dst.size <= sa || sa + src.size <= da) << "operands overlap: " << where;
    Emulator emu(static_cast<int>(bits));
    ASSERT_TRUE(emu.ok());
    for (int n = 0; n < emu.regCount(); ++n) emu.setReg(n, regValue(bits, n));
    std::vector<uint8_t> srcBytes(src.size), dstBytes(dst.size, 0xEE);
    for (size_t i = 0; i < srcBytes.size(); ++i) srcBytes[i] = static_cast<uint8_t>(0x81 + 0x13 * i);
    emu.writeBytes(sa, srcBytes);
    emu.writeBytes(da, dstBytes);
    ASSERT_EQ(emu.run(patched(r)), UC_ERR_OK) << where;
    std::vector<uint8_t> expected = srcBytes;
    const bool negative = (srcBytes.back() & 0x80) != 0;
    expected.resize(dst.size, dst.issigned && negative ? 0xFF : 0x00);
    EXPECT_EQ(emu.read(da, dst.size), expected) << where;
    EXPECT_EQ(emu.read(sa, src.size), srcBytes) << where;
    EXPECT_EQ(emu.reg(4), kEmuStackTop) << where;
    for (int n = 0; n < emu.regCount(); ++n) {
      if (n == 4 || (n == 0 && mayClobber)) continue;
      EXPECT_EQ(emu.reg(n), regValue(bits, n)) << where << ", register " << n;
    }
  }
};

TEST_F(MoveEmulation, VariableToVariable) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (uint32_t size : {1u, 2u, 4u, 8u}) {
      if (size == 8 && bits == 16) continue;
      for (bool clobber : {false, true}) expectMove(bits, V(size, 4), V2(size, 8), clobber);
    }
  }
}

TEST_F(MoveEmulation, MemoryToMemoryAvoidsTheAddressRegisters) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    std::vector<std::pair<Op, Op>> pairs;
    for (uint32_t size : {1u, 2u, 4u, 8u}) {
      if (bits == 16) {
        pairs.push_back({M(size, {REG_BX}, 4), M(size, {REG_BP, REG_SI}, 0x20)});
        pairs.push_back({M(size, {REG_BX, REG_DI}), M(size, {}, static_cast<int32_t>(kEmuData + 0x600))});
        pairs.push_back({V(size), M(size, {REG_BX})});
        pairs.push_back({M(size, {REG_SI}, 0x100), V2(size)});
        continue;
      }
      pairs.push_back({M(size, {REG_EAX}), M(size, {REG_EBX}, 0x10)});
      pairs.push_back({M(size, {REG_EAX, REG_ECX}, 0, 2), M(size, {REG_ESI})});
      pairs.push_back({M(size, {REG_ECX, REG_EAX}, 8), M(size, {REG_EDX, REG_EAX}, 0x400)});
      pairs.push_back({M(size, {REG_ESP}, 0x10), M(size, {REG_ESP}, 0x40)});
      pairs.push_back({M(size, {REG_ESP}, 0x20), M(size, {REG_EDI}, -0x20)});
      pairs.push_back({V(size), M(size, {REG_ESP}, 0x30)});
      pairs.push_back({M(size, {REG_ESP}, 0x30), V2(size, 2)});
      if (bits == 64) {
        pairs.push_back({M(size, {REG_R8, REG_RAX}), M(size, {REG_RSP}, 0x18)});
        pairs.push_back({M(size, {REG_RSP}, 0x8), M(size, {REG_R9})});
      }
    }
    for (const auto& [dst, src] : pairs) {
      if (dst.size == 8 && bits == 16) continue;
      for (bool clobber : {false, true}) expectMove(bits, dst, src, clobber);
    }
  }
}

// A qword of 64-bit code takes every smaller size, a doubleword included.
TEST_F(MoveEmulation, SmallerSourceWidensIntoTheVariable) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (uint32_t to : {2u, 4u, 8u}) {
      if (to == 8 && bits != 64) continue;
      for (uint32_t from : {1u, 2u, 4u}) {
        if (from >= to) continue;
        for (bool sign : {false, true}) {
          for (bool clobber : {false, true}) {
            Op dst = V(to, 0);
            dst.issigned = sign;
            expectMove(bits, dst, bits == 16 ? M(from, {REG_BX}) : M(from, {REG_ESP}, 0x20), clobber);
            expectMove(bits, dst, V2(from), clobber);
          }
        }
      }
    }
  }
}

// An assignment widens into a destination addressed by registers too (a
// local, an element), with a scratch register its address does not use and
// the stack-based operands moved by the push that saves it. A plain mov
// between two sizes of memory stays refused.
TEST_F(MoveEmulation, SmallerSourceWidensIntoMemoryInAnAssignment) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (uint32_t to : {2u, 4u, 8u}) {
      if (to == 8 && bits != 64) continue;
      for (uint32_t from : {1u, 2u, 4u}) {
        if (from >= to) continue;
        std::vector<std::pair<Op, Op>> pairs;
        if (bits == 16) {
          pairs.push_back({M(to, {REG_BP}, 0x10), M(from, {REG_BX})});
          pairs.push_back({M(to, {REG_BX, REG_SI}), V2(from)});
        } else {
          pairs.push_back({M(to, {REG_ESP}, 0x10), M(from, {REG_ESP}, 0x40)});
          pairs.push_back({M(to, {REG_EAX}), M(from, {REG_EBX}, 0x10)});
          pairs.push_back({M(to, {REG_ECX, REG_EAX}, 8, 2), V2(from)});
          pairs.push_back({M(to, {REG_EBX}, 0x20), M(from, {REG_EAX, REG_ECX}, 0x400)});
          if (bits == 64) pairs.push_back({M(to, {REG_R8, REG_RAX}), M(from, {REG_RSP}, 0x18)});
        }
        for (auto [dst, src] : pairs) {
          EXPECT_NE(run(bits, "mov", dst, src).rc, ASSEMBLE_OK) << "a plain mov of " << to << " <- " << from;
          for (bool sign : {false, true}) {
            dst.issigned = sign;
            for (bool clobber : {false, true}) expectMove(bits, dst, src, clobber, true);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vorak
