// Stack and control-transfer groups: cases read back by the disassembler (or
// their refusal codes), the documented byte sequences, fixups with sentinel
// fields, a sweep over operand combinations in every mode, and emulated runs
// of the multi-instruction pushes and pops.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compiler/driver/Errors.h"
#include "support/Disasm.h"
#include "support/Emulator.h"
#include "support/OperandKit.h"

namespace vorak {
namespace {

using namespace test;

class ControlGroups : public OperandKitTest {};

const Case kCases[] = {
    // push, pop: registers
    {32, "push", R(REG_EAX), {}, "push eax"},
    {32, "pop", R(REG_EBX), {}, "pop ebx"},
    {32, "push", R(REG_AX), {}, "push ax"},
    {16, "push", R(REG_AX), {}, "push ax"},
    {16, "pop", R(REG_EDI), {}, "pop edi"},
    {64, "push", R(REG_R9), {}, "push r9"},
    {64, "pop", R(REG_RBP), {}, "pop rbp"},
    {64, "push", R(REG_R13), {}, "push r13"},
    {64, "pop", R(REG_CX), {}, "pop cx"},
    {32, "push", R(REG_AL), {}, nullptr, ERROR_OPERAND_INVALID},
    {64, "push", R(REG_EAX), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "push", R(REG_RAX), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "push", R(REG_R8), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "push", S(SEG_DS), {}, nullptr, ERROR_NOT_SUPPORTED},
    // push: immediates (a 4-byte field in 64-bit code, 2 in 16-bit code)
    {32, "push", I(5), {}, "push 5"},
    {32, "push", I(200), {}, "push 0xc8"},
    {32, "push", I(-1), {}, "push -1"},
    {32, "push", I(0xFFFFFF80), {}, "push -0x80"},
    {16, "push", I(0x1234, 2), {}, "push 0x1234"},
    // Wider than the stack word: its low bytes, with a warning (below).
    {16, "push", I(0x12345, 2), {}, "push 0x2345"},
    {32, "push", I(0x123456789LL, 8), {}, "push 0x23456789"},
    {32, "push", I(0x1FFFFFFFFLL, 8), {}, "push -1"},
    {64, "push", I(0x7FFFFFFF), {}, "push 0x7fffffff"},
    {64, "push", I(-2), {}, "push -2"},
    // 4294967294 is no -2 where the field is sign-extended to 64 bits.
    {64, "push", I(0xFFFFFFFE), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "push", I(0x80000000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "push", I(0x100000000LL), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "pop", I(5), {}, nullptr, ERROR_OPERAND_INVALID},
    // push, pop: memory words and blocks
    {32, "push", M(4, {REG_EBX}), {}, "push dword ptr [ebx]"},
    {32, "pop", M(0, {REG_EBX}, 8), {}, "pop dword ptr [ebx + 8]"},
    {32, "push", M(8, {REG_EBX}), {}, "push dword ptr [ebx + 4]; push dword ptr [ebx]"},
    {32, "pop", M(8, {REG_EBX}), {}, "pop dword ptr [ebx]; pop dword ptr [ebx + 4]"},
    {32, "push", M(2, {REG_ESI}), {}, "push 0; push word ptr [esi]"},
    // A lone byte has no push: loading it would overwrite a register.
    {32, "push", M(1, {REG_ESI}), {}, nullptr, ERROR_PUSH_BYTE},
    {64, "push", M(1, {REG_RSI}), {}, nullptr, ERROR_PUSH_BYTE},
    {32, "push", M(3, {REG_ESI}), {}, "push word ptr [esi + 1]; shr word ptr [esp], 8; push word ptr [esi]"},
    {32, "pop", M(6, {REG_EBX}), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "push", M(4, {REG_BX, REG_SI}, 2), {}, "push word ptr [bx + si + 4]; push word ptr [bx + si + 2]"},
    {16, "push", M(1, {REG_DI}), {}, nullptr, ERROR_PUSH_BYTE},
    {16, "push", M(3, {REG_DI}), {}, nullptr, ERROR_PUSH_BYTE},
    {16, "push", M(2, {REG_EBX}), {}, nullptr, ERROR_OPERAND_INVALID},
    {64, "push", M(8, {REG_R12}), {}, "push qword ptr [r12]"},
    {64, "pop", M(16, {REG_RAX}), {}, "pop qword ptr [rax]; pop qword ptr [rax + 8]"},
    {64, "push", M(4, {REG_RBX}), {}, "push 0; push 0; push word ptr [rbx + 2]; push word ptr [rbx]"},
    // An element number without registers: the words follow in bytes, not
    // in elements.
    {32, "push", M(8, {}, 4, 8), {}, "push dword ptr [0x24]; push dword ptr [0x20]"},
    {32, "pop", M(8, {}, 4, 8), {}, "pop dword ptr [0x20]; pop dword ptr [0x24]"},
    {64, "push", M(16, {}, 2, 4), {}, "push qword ptr [0x10]; push qword ptr [8]"},
    {32, "push", M(3, {}, 1, 4), {}, "push word ptr [5]; shr word ptr [esp], 8; push word ptr [4]"},
    // The stack pointer moves with every word: each piece is re-based.
    {32, "push", M(8, {REG_ESP}, 4), {}, "push dword ptr [esp + 8]; push dword ptr [esp + 8]"},
    {32, "pop", M(8, {REG_ESP}, 4), {}, "pop dword ptr [esp + 8]; pop dword ptr [esp + 8]"},
    // push: addresses
    {32, "push", MR({REG_EBX}, 8), {}, "push ebx; add dword ptr [esp], 8"},
    {32, "push", MR({REG_EBX}, -8), {}, "push ebx; sub dword ptr [esp], 8"},
    {32, "push", MR({REG_EBX, REG_ESI}, 0, 4), {}, "lea eax, [ebx + esi*4]; push eax"},
    {64, "push", MR({REG_RBX}, 16), {}, "push rbx; add qword ptr [rsp], 0x10"},
    {64, "push", MR({REG_ESP}, 16), {}, "lea rax, [esp + 0x10]; push rax"},
    {16, "push", MR({REG_BX}, 2), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "pop", MR({REG_EBX}, 8), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "push", VR(8), {}, "push 0x12345678"},
    {64, "push", LR(), {}, "push 0x12345678"},
    {16, "push", C(), {}, "push 0x1234"},
    {32, "pop", VR(), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "pop", LR(), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "pop", C(), {}, nullptr, ERROR_OPERAND_INVALID},
    // push, pop: variables, word by word
    {32, "push", V(4), {}, "push dword ptr [0x12345678]"},
    {64, "push", V(8), {}, "push qword ptr [0x12345678]"},
    {16, "pop", V(2), {}, "pop word ptr [0x1234]"},
    // Displacements: 64-bit code sign-extends the 32-bit field, so a block,
    // and every word of it, must lie within -2^31 .. 2^31-1; 32-bit code
    // wraps at 32 bits, where 0xFFFFFFFC is -4.
    {64, "push", M(8, {REG_RBX}, 0xFFFFFFFFLL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "pop", M(8, {}, 0x80000000LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", M(16, {REG_RBX}, 0x7FFFFFF8), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "pop", M(16, {REG_RBX}, 0x7FFFFFF8), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", M(4, {REG_RBX}, 0x7FFFFFFE), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", M(16, {REG_RBX}, 0x7FFFFFF0), {}, "push qword ptr [rbx + 0x7ffffff8]; push qword ptr [rbx + 0x7ffffff0]"},
    {32, "push", M(8, {REG_EBX}, 0xFFFFFFFCLL), {}, "push dword ptr [ebx]; push dword ptr [ebx - 4]"},
    {32, "push", M(8, {REG_EBX}, 0x7FFFFFFC), {}, "push dword ptr [ebx - 0x80000000]; push dword ptr [ebx + 0x7ffffffc]"},
    {64, "jmp", M(8, {REG_RBX}, 0x80000000LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "call", M(8, {}, 0xFFFFFFF0LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    // The address pushed: the displacement added on the stack is the one
    // the address would hold.
    {64, "push", MR({REG_RBX}, 0x80000000LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", MR({REG_RBX}, 0xFFFFFFFFLL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", MR({REG_RBX, REG_RSI}, 0x80000000LL, 2), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "push", MR({REG_RBX}, -0x80000000LL), {}, "push rbx; add qword ptr [rsp], -0x80000000"},
    {32, "push", MR({REG_EBX}, 0xFFFFFFFFLL), {}, "push ebx; sub dword ptr [esp], 1"},
    {32, "push", MR({REG_EBX, REG_ESI}, 0xFFFFFFF0LL, 2), {}, "lea eax, [ebx + esi*2 - 0x10]; push eax"},

    // call
    {32, "call", R(REG_EAX), {}, "call eax"},
    {64, "call", R(REG_R11), {}, "call r11"},
    {16, "call", R(REG_BX), {}, "call bx"},
    {32, "call", M(4, {REG_EBX}, 4), {}, "call dword ptr [ebx + 4]"},
    {64, "call", V(8), {}, "call qword ptr [0x12345678]"},
    {32, "call", I(0x100), {}, "call 0x105"},
    {16, "call", I(0x100, 2), {}, "call 0x103"},
    {32, "call", L(), {}, "call 0x1234567d"},
    {16, "call", L(), {}, "call 0x1237"},
    {64, "call", L(), {}, "call 0x1234567d"},
    {32, "call", R(REG_AX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {64, "call", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "call", M(2, {REG_EBX}), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "call", S(SEG_CS), {}, nullptr, ERROR_NOT_SUPPORTED},

    // jumps
    {32, "jmp", R(REG_EAX), {}, "jmp eax"},
    {32, "jmp", M(0, {REG_EBX}), {}, "jmp dword ptr [ebx]"},
    {64, "jmp", M(8, {REG_RBX, REG_RCX}, 0, 8), {}, "jmp qword ptr [rbx + rcx*8]"},
    {16, "jmp", R(REG_SI), {}, "jmp si"},
    {32, "jmp", I(0x10), {}, "jmp 0x15"},
    {64, "jmp", I(-16), {}, "jmp 0xfffffffffffffff5"},
    // 4294967280 is no -16 where the field is sign-extended to 64 bits.
    {64, "jmp", I(0xFFFFFFF0), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "jmp", I(0x10, 2), {}, "jmp 0x13"},
    {32, "jmp", SL(0x401000, 0x1B), {}, "ljmp 0x1b:0x401000"},
    {16, "jmp", SL(0x100, 0xF000), {}, "ljmp 0xf000:0x100"},
    {64, "jmp", SL(0x100, 0x33), {}, nullptr, ERROR_MODE_SUPPORT},
    {32, "jmp", SL(0x100, 0x10000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "je", L(), {}, "nop; nop; nop; nop; nop; nop; nop"},
    {32, "je", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "jne", M(4, {REG_EBX}), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "goto", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "loop", I(5), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "jz", SL(0x100, 8), {}, nullptr, ERROR_NOT_SUPPORTED},
    {64, "jmp", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "jmp", R(REG_AX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "jmp", I(0x100000000LL), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},

    // ret, enter
    {32, "ret", {}, {}, "ret"},
    {32, "ret", I(8), {}, "ret 8"},
    {32, "retn", I(0), {}, "ret"},
    {16, "ret", I(0xFFFF), {}, "ret 0xffff"},
    {64, "ret", I(0x10000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "ret", R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "enter", I(16), I(0), "enter 0x10, 0"},
    {64, "enter", I(0x1000), I(31), "enter 0x1000, 0x1f"},
    {16, "enter", I(8), I(1), "enter 8, 1"},
    {32, "enter", I(0x10000), I(0), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "enter", I(16), I(256), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "enter", R(REG_EAX), I(0), nullptr, ERROR_OPERAND1_INVALID},
    {32, "enter", I(16), R(REG_EAX), nullptr, ERROR_OPERAND2_INVALID},
};

TEST_F(ControlGroups, EachCaseDecodesAsWrittenOrIsRefused) {
  for (const Case& c : kCases) check(c);
}

// The byte sequences of the push, call, jump, ret and enter rules.
struct BytesCase {
  uint32_t bits;
  const char* name;
  Op o1, o2;
  const char* bytes;
};

const BytesCase kDocumented[] = {
    {32, "push", R(REG_EAX), {}, "50"},
    {32, "pop", R(REG_EBX), {}, "5B"},
    {64, "push", R(REG_R9), {}, "41 51"},
    {32, "push", I(5), {}, "6A 05"},
    {32, "push", I(200), {}, "68 C8 00 00 00"},
    {32, "push", I(-1), {}, "6A FF"},
    {32, "push", M(8, {REG_EBX}), {}, "FF 73 04 FF 33"},
    {32, "push", M(6, {REG_EBX}), {}, "66 68 00 00 66 FF 73 04 FF 33"},
    {32, "push", MR({REG_EBX}, 8), {}, "53 83 04 24 08"},
    {32, "push", MR({REG_EBX}, -8), {}, "53 83 2C 24 08"},
    {32, "push", MR({REG_EBX, REG_ESI}, 0, 4), {}, "8D 04 B3 50"},
    {32, "call", R(REG_EAX), {}, "FF D0"},
    {32, "jmp", R(REG_EAX), {}, "FF E0"},
    {32, "jmp", M(4, {REG_EBX}), {}, "FF 23"},
    {32, "ret", {}, {}, "C3"},
    {32, "ret", I(8), {}, "C2 08 00"},
    {32, "ret", I(0), {}, "C3"},
    {32, "enter", I(16), I(0), "C8 10 00 00"},
    {32, "je", L(), {}, "90 90 90 90 90 90 90"},
};

TEST_F(ControlGroups, DocumentedByteSequences) {
  for (const BytesCase& c : kDocumented) {
    const Result r = run(c.bits, c.name, c.o1, c.o2);
    EXPECT_EQ(r.rc, ASSEMBLE_OK) << c.name;
    EXPECT_EQ(hexBytes(r.bytes), c.bytes) << c.name << " in " << c.bits << "-bit mode";
  }
}

// --- Fixups ----------------------------------------------------------------------

TEST_F(ControlGroups, JumpsToLabelsLeaveASevenBytePlaceholder) {
  const struct {
    const char* name;
    TJmpType jt;
  } rows[] = {{"jmp", jtJMP}, {"goto", jtJMP}, {"je", jtJE}, {"jnle", jtJNLE}, {"jc", jtJB},
              {"loop", jtLOOP}, {"loopnz", jtLOOPNE}, {"jecxz", jtJECXZ}, {"jcxz", jtJCXZ}};
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (const auto& row : rows) {
      const Result r = run(bits, row.name, L(42));
      if (bits == 64 && row.jt == jtJCXZ) {
        // 64-bit code counts in RCX or ECX: jcxz has no form there.
        EXPECT_EQ(r.rc, ERROR_MODE_SUPPORT);
        EXPECT_TRUE(r.bytes.empty());
        EXPECT_TRUE(r.fixups.empty());
        continue;
      }
      ASSERT_EQ(r.rc, ASSEMBLE_OK) << row.name;
      EXPECT_EQ(r.bytes, std::string(7, '\x90')) << row.name;
      ASSERT_EQ(r.fixups.size(), 1u) << row.name;
      const TFixup& f = r.fixups[0];
      EXPECT_EQ(f.hint, ftJmp);
      EXPECT_EQ(f.position, 0u);
      EXPECT_EQ(f.size, 7);
      EXPECT_EQ(f.offset, 0u);
      EXPECT_EQ(f.index, 42u);
      EXPECT_EQ(f.jmp, row.jt) << row.name;
      EXPECT_EQ(f.bits, bits) << row.name;  // the builder writes the jump in this mode
      EXPECT_EQ(f.parentfunc, func);
    }
  }
}

TEST_F(ControlGroups, CallToALabelFillsTheRelativeField) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const Result r = run(bits, "call", L(9));
    ASSERT_EQ(r.rc, ASSEMBLE_OK);
    const uint8_t field = bits == 16 ? 2 : 4;
    ASSERT_EQ(r.fixups.size(), 1u);
    EXPECT_EQ(r.fixups[0].hint, ftLabel);
    EXPECT_EQ(r.fixups[0].position, 1u);
    EXPECT_EQ(r.fixups[0].size, field);
    EXPECT_EQ(r.fixups[0].index, 9u);
    EXPECT_EQ(r.fixups[0].jmp, jtJMP);
    const Decoded d = decode(r.bytes, static_cast<int>(bits));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.length, r.bytes.size());
    ASSERT_EQ(d.ops.size(), 1u);
    // The target is the end of the instruction plus the field.
    EXPECT_EQ(maskTo(d.ops[0].imm, field), maskTo(static_cast<int64_t>(d.length + sentinel(field)), field));
  }
}

TEST_F(ControlGroups, AddressPushesCarryTheirFixup) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint8_t field = bits == 16 ? 2 : 4;
    const struct {
      Op op;
      TFixupType type;
      uint32_t offset;
    } forms[] = {{VR(12), ftVar, 12}, {LR(5), ftLabelAbs, 0}, {C(), ftConst, 0}};
    for (const auto& form : forms) {
      const Result r = run(bits, "push", form.op);
      ASSERT_EQ(r.rc, ASSEMBLE_OK);
      ASSERT_EQ(r.fixups.size(), 1u);
      const TFixup& f = r.fixups[0];
      EXPECT_EQ(f.hint, form.type);
      EXPECT_EQ(f.position, 1u);
      EXPECT_EQ(f.size, field);
      EXPECT_EQ(f.offset, form.offset);
      if (form.type == ftLabelAbs) {
        EXPECT_EQ(f.index, 5u);
      } else {
        EXPECT_EQ(f.data, form.type == ftVar ? static_cast<void*>(&variable) : static_cast<void*>(&constant));
      }
      const Decoded d = decode(r.bytes, static_cast<int>(bits));
      ASSERT_TRUE(d.ok);
      EXPECT_EQ(d.length, r.bytes.size());
      EXPECT_EQ(d.mnemonic, "push");
      EXPECT_TRUE(sameImm(d.ops[0], static_cast<int64_t>(sentinel(field)), field));
    }
  }
}

TEST_F(ControlGroups, VariablesGoWordByWordAndPopUndoesPush) {
  // 8 bytes in 32-bit code: push the high word first; pop the low word first.
  Result push{}, pop{};
  const std::string out = captureStdout([&] {
    push = run(32, "push", V(8, 16));
    pop = run(32, "pop", V(8, 16));
  });
  EXPECT_NE(out.find("[666] counter passed as value to stack, consider passing by ref"), std::string::npos) << out;
  ASSERT_EQ(push.rc, ASSEMBLE_OK);
  ASSERT_EQ(push.fixups.size(), 2u);
  EXPECT_EQ(push.fixups[0].offset, 20u);
  EXPECT_EQ(push.fixups[1].offset, 16u);
  EXPECT_EQ(push.fixups[0].position, 2u);
  EXPECT_EQ(push.fixups[1].position, 8u);
  EXPECT_EQ(hexBytes(push.bytes), "FF 35 78 56 34 12 FF 35 78 56 34 12");
  ASSERT_EQ(pop.rc, ASSEMBLE_OK);
  ASSERT_EQ(pop.fixups.size(), 2u);
  EXPECT_EQ(pop.fixups[0].offset, 16u);
  EXPECT_EQ(pop.fixups[1].offset, 20u);
  EXPECT_EQ(hexBytes(pop.bytes), "8F 05 78 56 34 12 8F 05 78 56 34 12");
  // In 64-bit code the absolute address is a SIB form, never RIP-relative.
  const Result q = run(64, "pop", V(8));
  ASSERT_EQ(q.rc, ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(q.bytes), "8F 04 25 78 56 34 12");
  // A 16-bit variable field.
  const Result w = run(16, "push", V(2, 4));
  ASSERT_EQ(w.rc, ASSEMBLE_OK);
  ASSERT_EQ(w.fixups.size(), 1u);
  EXPECT_EQ(w.fixups[0].size, 2);
  EXPECT_EQ(w.fixups[0].offset, 4u);
  EXPECT_EQ(hexBytes(w.bytes), "FF 36 34 12");
}

TEST_F(ControlGroups, AVariableOfPartWordsEndsTheCompile) {
  std::string out;
  EXPECT_THROW(out = captureStdout([&] { run(32, "push", V(6)); }), EAbort);
  setMode(32);
  TOperand* v = make(V(6));
  ::testing::internal::CaptureStdout();
  EXPECT_THROW(enc.assemble(opcodeLookup("pop"), v, nullptr, nullptr, true), EAbort);
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[534545] Invalid usage of the push instruction"), std::string::npos) << out;
  // Nothing of the refused instruction stays behind.
  EXPECT_TRUE(enc.getCode().empty());
  EXPECT_TRUE(fixupList(func).empty());
}

TEST_F(ControlGroups, FarJumpsAndTruncatedImmediatesWarnOrFix) {
  setMode(32);
  TOperand* far = make(SL(0x200, 0x08));
  far->ptr = func;
  const size_t mark = fixupMark();
  ASSERT_EQ(enc.assemble(opcodeLookup("jmp"), far, nullptr, nullptr, true), ASSEMBLE_OK);
  const std::string bytes = enc.popCode();
  const std::vector<TFixup> fx = fixupsSince(mark);
  ASSERT_EQ(fx.size(), 1u);
  EXPECT_EQ(fx[0].hint, ftRelative);
  EXPECT_EQ(fx[0].position, 1u);
  EXPECT_EQ(fx[0].size, 4);
  EXPECT_EQ(fx[0].offset, 7u);
  EXPECT_EQ(fx[0].index, 0x200u);
  EXPECT_EQ(hexBytes(bytes), "EA 00 00 00 00 08 00");
  // An immediate operand wider than a stack word whose number fits becomes
  // the stack word without a warning: no bit is lost. One that fits a signed
  // byte takes 6A.
  std::string out = captureStdout([&] {
    TOperand* wide = make(I(500, 8));
    EXPECT_EQ(enc.assemble(opcodeLookup("push"), wide, nullptr, nullptr, true), ASSEMBLE_OK);
    EXPECT_EQ(wide->size, 4u);
    EXPECT_EQ(hexBytes(enc.popCode()), "68 F4 01 00 00");
  });
  EXPECT_EQ(out, "");
  out = captureStdout([&] {
    TOperand* small = make(I(-3, 8));
    EXPECT_EQ(enc.assemble(opcodeLookup("push"), small, nullptr, nullptr, true), ASSEMBLE_OK);
    EXPECT_EQ(hexBytes(enc.popCode()), "6A FD");
  });
  EXPECT_EQ(out, "");
  // A number the stack word cannot hold is cut to its low bytes in 16- and
  // 32-bit code, whichever form the rest takes, and always with the warning.
  struct Cut {
    uint32_t bits;
    int64_t value;
    const char* bytes;
  };
  for (const Cut& c : {Cut{32, 0x123456789LL, "68 89 67 45 23"}, Cut{32, 0x1FFFFFFFFLL, "6A FF"},
                       Cut{16, 0x12345, "68 45 23"}, Cut{16, 0x7FFFF, "6A FF"}}) {
    setMode(c.bits);
    out = captureStdout([&] {
      TOperand* cut = make(I(c.value, 8));
      EXPECT_EQ(enc.assemble(opcodeLookup("push"), cut, nullptr, nullptr, true), ASSEMBLE_OK) << c.value;
      EXPECT_EQ(hexBytes(enc.popCode()), c.bytes) << c.value;
      EXPECT_EQ(cut->size, c.bits / 8) << c.value;
    });
    EXPECT_NE(out.find("Operand has been truncated to fit into DWord"), std::string::npos) << c.value << out;
  }
  // 64-bit code has no push of more than a sign-extended doubleword.
  setMode(64);
  out = captureStdout([&] {
    EXPECT_EQ(enc.assemble(opcodeLookup("push"), make(I(0x123456789LL, 8)), nullptr, nullptr, true),
              ERROR_OPERAND_SIZE_MISMATCH);
  });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(enc.popCode().empty());
}

// --- Sweep -----------------------------------------------------------------------

// The memory forms of each mode, the valid ones and some the mode cannot
// address.
std::vector<Op> memoryForms(uint32_t bits, uint32_t size) {
  std::vector<Op> m = {M(size, {}, 0x2000)};
  if (bits == 16) {
    for (auto regs : std::vector<std::vector<TRegister>>{{REG_BX}, {REG_BP}, {REG_SI}, {REG_BX, REG_SI},
                                                         {REG_BP, REG_DI}, {REG_EAX}})
      m.push_back(M(size, regs, 6));
  } else {
    m.push_back(M(size, {REG_EBX}));
    m.push_back(M(size, {REG_ESP}, 8));
    m.push_back(M(size, {REG_EBP}, -4));
    m.push_back(M(size, {REG_EAX, REG_ECX}, 0x1000, 4));
    m.push_back(M(size, {REG_BX}));
    if (bits == 64) {
      m.push_back(M(size, {REG_RSP}, 8));
      m.push_back(M(size, {REG_R12, REG_R13}, 16, 8));
      m.push_back(M(size, {REG_R8}, -200));
    }
  }
  return m;
}

bool registerInMode(TRegister r, uint32_t bits) { return bits == 64 || regSize(r) != 8; }

class ControlSweep : public ControlGroups {
 protected:
  // One accepted instruction of the expected mnemonic whose operand is the one
  // written (expect decides), the whole of bytes decoded.
  template <typename F>
  void single(const Result& r, uint32_t bits, const std::string& where, const char* mnemonic, F expect) {
    const Decoded d = decode(r.bytes, static_cast<int>(bits));
    ASSERT_TRUE(d.ok) << where << " " << hexBytes(r.bytes);
    EXPECT_EQ(d.length, r.bytes.size()) << where << " " << hexBytes(r.bytes);
    EXPECT_EQ(d.mnemonic, mnemonic) << where << " " << d.text;
    ASSERT_EQ(d.ops.size(), 1u) << where << " " << d.text;
    EXPECT_TRUE(expect(d.ops[0])) << where << " reads " << d.text;
  }
};

TEST_F(ControlSweep, PushAndPopOfRegistersImmediatesAddressesAndVariables) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    for (const char* name : {"push", "pop"}) {
      const bool push = name[1] == 'u';
      for (TRegister reg : allRegisters()) {
        const Result r = run(bits, name, R(reg));
        const uint32_t size = regSize(reg);
        const bool ok = registerInMode(reg, bits) && (regID(reg) < 8 || bits == 64) &&
                        (size == w || size == 2 || (size == 4 && bits == 16));
        const std::string where = std::string(name) + " " + std::string(regToStr(reg)) + " in " +
                                  std::to_string(bits);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, ok) << where;
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, where, name, [&](const DecodedOperand& d) { return sameReg(d, reg); });
      }
      for (int64_t v : std::initializer_list<int64_t>{0, 1, 127, 128, -128, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x10000,
                                                     0x7FFFFFFF, 0x80000000LL, 0xFFFFFFFFLL, 0x100000000LL, -1,
                                                     INT64_MIN}) {
        Result r{};
        captureStdout([&] { r = run(bits, name, I(v, w)); });  // the warnings of cut numbers
        const std::string where = std::string(name) + " " + std::to_string(v) + " in " + std::to_string(bits);
        if (!push) {
          EXPECT_EQ(r.rc, ERROR_OPERAND_INVALID) << where;
          continue;
        }
        // The value decodes as written, read as the stack word it becomes
        // (16- and 32-bit code cut a wider number to that word, with a
        // warning). In 64-bit code the 4-byte field is sign-extended: only
        // the signed 32-bit range reads back as the number written.
        const bool ok = bits != 64 || (v >= INT32_MIN && v <= INT32_MAX);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, ok) << where;
        const int64_t held = v;
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, where, "push", [&](const DecodedOperand& d) { return sameImm(d, held, w); });
        // The same number as an 8-byte operand (a number token): warned about
        // only when the stack word loses bits of it, as a signed and as an
        // unsigned number (0xFFFFFFFF is 4294967295, no word of 16-bit code);
        // 64-bit code refuses such a number instead.
        auto inWord = [&](int64_t x) { return x >= -(int64_t{1} << (8 * w - 1)) && x < (int64_t{1} << (8 * w)); };
        const bool fits = w == 8 || inWord(v);
        const std::string warned = captureStdout([&] { r = run(bits, name, I(v, 8)); });
        EXPECT_EQ(r.rc == ASSEMBLE_OK, ok) << where << " as 8 bytes";
        EXPECT_EQ(warned.find("Operand has been truncated to fit into DWord") != std::string::npos,
                  bits != 64 && !fits)
            << where << " as 8 bytes: " << warned;
      }
      for (Op ref : {VR(4), LR(), C()}) {
        const Result r = run(bits, name, ref);
        if (!push) {
          EXPECT_EQ(r.rc, ERROR_OPERAND_INVALID);
          continue;
        }
        const uint32_t field = bits == 16 ? 2 : 4;
        ASSERT_EQ(r.rc, ASSEMBLE_OK);
        ASSERT_EQ(r.fixups.size(), 1u);
        EXPECT_EQ(r.fixups[0].size, field);
        single(r, bits, "address push", "push",
               [&](const DecodedOperand& d) { return sameImm(d, static_cast<int64_t>(sentinel(field)), field); });
      }
      for (uint32_t words = 1; words <= 3; ++words) {
        Result r{};
        const std::string out = captureStdout([&] { r = run(bits, name, V(words * w, 8)); });
        EXPECT_EQ(out.find("[666]") != std::string::npos, words != 1) << out;
        ASSERT_EQ(r.rc, ASSEMBLE_OK);
        ASSERT_EQ(r.fixups.size(), words);
        const std::vector<Decoded> ds = decodeAll(r.bytes, static_cast<int>(bits));
        ASSERT_EQ(ds.size(), words);
        size_t length = 0;
        for (uint32_t i = 0; i < words; ++i) {
          const uint32_t k = push ? words - 1 - i : i;
          EXPECT_EQ(r.fixups[i].offset, 8 + k * w);
          EXPECT_EQ(r.fixups[i].hint, ftVar);
          EXPECT_EQ(ds[i].mnemonic, name);
          ASSERT_EQ(ds[i].ops.size(), 1u);
          EXPECT_EQ(ds[i].ops[0].kind, DecodedOperand::Mem);
          EXPECT_EQ(ds[i].ops[0].base, "");
          EXPECT_EQ(ds[i].ops[0].index, "");
          EXPECT_EQ(ds[i].ops[0].disp, static_cast<int64_t>(sentinel(bits == 16 ? 2 : 4)));
          EXPECT_EQ(ds[i].ops[0].size, w);
          length += ds[i].length;
        }
        EXPECT_EQ(length, r.bytes.size());
      }
      EXPECT_EQ(run(bits, name, S(SEG_ES)).rc, ERROR_NOT_SUPPORTED);
    }
  }
}

TEST_F(ControlSweep, CallAndJumpThroughRegistersMemoryAndImmediates) {
  const char* rows[] = {"call", "jmp", "goto", "je", "jnz", "loop", "jecxz"};
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    for (const char* name : rows) {
      const std::string row = name;
      const bool direct = row == "call" || row == "jmp";
      const char* mnemonic = row == "call" ? "call" : "jmp";
      for (TRegister reg : allRegisters()) {
        const Result r = run(bits, name, R(reg));
        const bool ok = direct && regSize(reg) == w && (regID(reg) < 8 || bits == 64);
        const std::string where = row + " " + std::string(regToStr(reg)) + " in " + std::to_string(bits);
        EXPECT_EQ(r.rc == ASSEMBLE_OK, ok) << where;
        if (r.rc == ASSEMBLE_OK)
          single(r, bits, where, mnemonic, [&](const DecodedOperand& d) { return sameReg(d, reg); });
      }
      for (uint32_t size : {0u, 2u, 4u, 8u}) {
        for (const Op& m : memoryForms(bits, size)) {
          const Result r = run(bits, name, m);
          const std::string where = row + " memory of " + std::to_string(size) + " in " + std::to_string(bits);
          const bool sizeOk = size == w || (size == 0 && row == "jmp");
          if (!direct || !sizeOk) {
            EXPECT_NE(r.rc, ASSEMBLE_OK) << where;
            continue;
          }
          if (r.rc != ASSEMBLE_OK) continue;  // an address the mode cannot form
          const TOperand* op = &ops_.back();
          single(r, bits, where, mnemonic,
                 [&](const DecodedOperand& d) { return sameMem(d, *op, m.disp, w); });
        }
      }
      for (int64_t v : {0LL, 0x7FLL, 0x1234LL, 0xFFFFLL, 0x12345LL, 0x7FFFFFFFLL, 0xFFFFFFF0LL, 0x100000000LL}) {
        const Result r = run(bits, name, I(v, w));
        const std::string where = row + " " + std::to_string(v) + " in " + std::to_string(bits);
        // A target is a number like any other: 0xFFFFFFF0 is no -16, so 16-bit
        // code has no word for it, and a 64-bit offset (a sign-extended
        // 4-byte field) none either.
        const bool fits = bits == 16   ? v <= 0xFFFF
                          : bits == 64 ? v <= INT32_MAX
                                       : v <= 0xFFFFFFFFLL;
        EXPECT_EQ(r.rc == ASSEMBLE_OK, direct && fits && v <= 0xFFFFFFFFLL) << where;
        if (r.rc != ASSEMBLE_OK) continue;
        const int64_t rel = v;
        single(r, bits, where, mnemonic, [&](const DecodedOperand& d) {
          return sameImm(d, static_cast<int64_t>(r.bytes.size()) + rel, w);
        });
      }
      // Variables are pointers only for call.
      const Result var = run(bits, name, V(w));
      EXPECT_EQ(var.rc == ASSEMBLE_OK, row == "call") << row;
    }
  }
}

TEST_F(ControlSweep, RetAndEnterTakeOnlyImmediatesThatFit) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    for (int64_t v : {0LL, 1LL, 8LL, 0x7FFFLL, 0xFFFFLL, 0x10000LL, -1LL}) {
      const Result r = run(bits, "ret", I(v));
      EXPECT_EQ(r.rc == ASSEMBLE_OK, v >= 0 && v <= 0xFFFF) << v;
      if (r.rc != ASSEMBLE_OK) continue;
      const Decoded d = decode(r.bytes, static_cast<int>(bits));
      EXPECT_EQ(d.length, r.bytes.size());
      EXPECT_EQ(d.mnemonic, "ret");
      if (v == 0) {
        EXPECT_TRUE(d.ops.empty());
      } else {
        ASSERT_EQ(d.ops.size(), 1u);
        EXPECT_EQ(d.ops[0].imm, v);
      }
    }
    for (int64_t size : {0LL, 0xFFLL, 0xFFFFLL, 0x10000LL}) {
      for (int64_t level : {0LL, 1LL, 31LL, 0xFFLL, 0x100LL}) {
        const Result r = run(bits, "enter", I(size), I(level));
        EXPECT_EQ(r.rc == ASSEMBLE_OK, size <= 0xFFFF && level <= 0xFF) << size << " " << level;
        if (r.rc != ASSEMBLE_OK) continue;
        const Decoded d = decode(r.bytes, static_cast<int>(bits));
        EXPECT_EQ(d.length, r.bytes.size());
        ASSERT_EQ(d.ops.size(), 2u);
        EXPECT_TRUE(sameImm(d.ops[0], size, 2)) << d.text;
        EXPECT_TRUE(sameImm(d.ops[1], level, 1)) << d.text;
      }
    }
  }
}

// --- Emulated pushes and pops of memory blocks and addresses ------------------------

class ControlEmulation : public ControlGroups {
 protected:
  // Address registers point into the data area; every other register holds
  // a value of its own, to see that nothing else changes.
  static uint64_t initialValue(int n) { return 0x0101010101010101ull * static_cast<uint64_t>(n + 1) & 0x7FFF; }
  static uint64_t regValue(const Op& m, int n) {
    if (n == 4) return kEmuStackTop;
    if (!m.regs.empty() && regID(m.regs[0]) == n) return kEmuData + 0x100;
    if (m.regs.size() > 1 && regID(m.regs[1]) == n) return 0x40;
    return initialValue(n);
  }
  static uint64_t effectiveAddress(const Op& m, uint64_t espAtStart) {
    auto value = [&](TRegister r) {
      const int n = regID(r);
      return static_cast<int64_t>(n == 4 ? espAtStart : regValue(m, n));
    };
    const int64_t scale = m.scale > 1 ? m.scale : 1;
    int64_t a = m.disp;
    if (m.regs.size() == 1) a += value(m.regs[0]) * scale;  // a lone scaled register is an index
    if (m.regs.size() == 2) a += value(m.regs[0]) + value(m.regs[1]) * scale;
    return static_cast<uint64_t>(a);
  }
  void prepare(Emulator& emu, const Op& m) {
    for (int n = 0; n < emu.regCount(); ++n) emu.setReg(n, regValue(m, n));
  }
  static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 0x11 * (i + 1));
    return b;
  }
};

TEST_F(ControlEmulation, BlockPushesLeaveTheBlockZeroExtendedToWholeWords) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    std::vector<Op> forms;
    if (bits == 16) {
      forms = {M(0, {REG_BX}, 4), M(0, {REG_BX, REG_SI}, 2), M(0, {}, static_cast<int32_t>(kEmuData + 0x80))};
    } else {
      forms = {M(0, {REG_EBX}, 4), M(0, {REG_EBX, REG_ESI}, 2, 2), M(0, {REG_ESP}, 0x40),
               M(0, {}, static_cast<int32_t>(kEmuData + 0x80))};
      if (bits == 64) forms.push_back(M(0, {REG_RSP}, 0x24));
    }
    for (Op form : forms) {
      for (uint32_t size = 1; size <= 17; ++size) {
        form.size = size;
        const Result r = run(bits, "push", form);
        const std::string where = "push of " + std::to_string(size) + " bytes in " + std::to_string(bits) +
                                  "-bit code, bytes " + hexBytes(r.bytes);
        // A lone odd byte could only go through a register the program did
        // not name: a byte alone, or any odd byte in 16-bit code.
        if (size % w == 1 && (bits == 16 || size == 1)) {
          EXPECT_EQ(r.rc, ERROR_PUSH_BYTE) << where;
          EXPECT_TRUE(r.bytes.empty()) << where;
          continue;
        }
        ASSERT_EQ(r.rc, ASSEMBLE_OK) << where;
        Emulator emu(static_cast<int>(bits));
        ASSERT_TRUE(emu.ok());
        prepare(emu, form);
        const uint64_t ea = effectiveAddress(form, kEmuStackTop);
        const std::vector<uint8_t> block = pattern(size, static_cast<uint8_t>(size));
        emu.writeBytes(kEmuStackTop - 0x100, std::vector<uint8_t>(0x100, 0xCC));
        emu.writeBytes(ea, block);
        ASSERT_EQ(emu.run(r.bytes), UC_ERR_OK) << where;
        const uint32_t rounded = (size + w - 1) / w * w;
        EXPECT_EQ(emu.reg(4), kEmuStackTop - rounded) << where;
        std::vector<uint8_t> expected = block;
        expected.resize(rounded, 0);
        EXPECT_EQ(emu.read(kEmuStackTop - rounded, rounded), expected) << where;
        // No register but the stack pointer changes.
        for (int n = 0; n < emu.regCount(); ++n) {
          if (n == 4) continue;
          const uint64_t mask = bits == 16 ? 0xFFFF : ~0ull;
          EXPECT_EQ(emu.reg(n) & mask, regValue(form, n) & mask) << where << ", register " << n;
        }
      }
    }
  }
}

TEST_F(ControlEmulation, BlockPopsRestoreWholeWordsInOrder) {
  for (uint32_t bits : {16u, 32u, 64u}) {
    const uint32_t w = bits / 8;
    std::vector<Op> forms = bits == 16 ? std::vector<Op>{M(0, {REG_BX}, 4), M(0, {REG_BP, REG_DI}, 2)}
                                       : std::vector<Op>{M(0, {REG_EBX}, 4), M(0, {REG_ESP}, 0x40)};
    for (Op form : forms) {
      for (uint32_t words = 1; words <= 4; ++words) {
        form.size = words * w;
        const Result r = run(bits, "pop", form);
        ASSERT_EQ(r.rc, ASSEMBLE_OK);
        Emulator emu(static_cast<int>(bits));
        ASSERT_TRUE(emu.ok());
        prepare(emu, form);
        const uint64_t start = kEmuStackTop - form.size;
        emu.setReg(4, start);
        const std::vector<uint8_t> data = pattern(form.size, 3);
        emu.writeBytes(start, data);
        ASSERT_EQ(emu.run(r.bytes), UC_ERR_OK);
        EXPECT_EQ(emu.reg(4), kEmuStackTop);
        // Addressed through the stack pointer as one pop would: after it.
        EXPECT_EQ(emu.read(effectiveAddress(form, kEmuStackTop), form.size), data)
            << bits << "-bit, " << form.size << " bytes, " << hexBytes(r.bytes);
      }
    }
  }
}

TEST_F(ControlEmulation, AddressPushesPushTheEffectiveAddress) {
  for (uint32_t bits : {32u, 64u}) {
    const uint32_t w = bits / 8;
    std::vector<Op> forms = {MR({REG_EBX}, 8), MR({REG_EBX}, -8), MR({REG_EBX}, 0), MR({REG_ESP}, 12),
                             MR({REG_EBX, REG_ESI}, 4, 4), MR({REG_EAX}, 0x30)};
    if (bits == 64) {
      forms.push_back(MR({REG_RBX}, 0x70));
      forms.push_back(MR({REG_RSP}, -0x10));
      forms.push_back(MR({REG_R9, REG_RCX}, 1, 2));
    }
    for (const Op& form : forms) {
      const Result r = run(bits, "push", form);
      ASSERT_EQ(r.rc, ASSEMBLE_OK) << hexBytes(r.bytes);
      Emulator emu(static_cast<int>(bits));
      ASSERT_TRUE(emu.ok());
      prepare(emu, form);
      ASSERT_EQ(emu.run(r.bytes), UC_ERR_OK);
      EXPECT_EQ(emu.reg(4), kEmuStackTop - w);
      const std::vector<uint8_t> top = emu.read(kEmuStackTop - w, w);
      uint64_t pushed = 0;
      for (uint32_t i = 0; i < w; ++i) pushed |= static_cast<uint64_t>(top[i]) << (8 * i);
      EXPECT_EQ(pushed, effectiveAddress(form, kEmuStackTop)) << hexBytes(r.bytes);
      // One register plus a displacement changes no register; the others
      // go through the accumulator.
      const bool viaAccumulator = form.regs.size() > 1 || regSize(form.regs[0]) != w;
      for (int n = 0; n < emu.regCount(); ++n) {
        if (n == 4 || (n == 0 && viaAccumulator)) continue;
        EXPECT_EQ(emu.reg(n), regValue(form, n)) << hexBytes(r.bytes) << ", register " << n;
      }
    }
  }
}

}  // namespace
}  // namespace vorak
