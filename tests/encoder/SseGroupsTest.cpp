// MMX and SSE groups and movsd: table cases read back by a disassembler (or
// refused with their code), the documented byte sequences, the sweep of every
// row over generated operands, and the variable fixups of memory operands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Disasm.h"
#include "support/EncoderFixture.h"
#include "support/EncoderSweep.h"

namespace vorak {
namespace {

using test::hexBytes;
using test::I;
using test::M;
using test::R;
using test::MM;
using test::ST;
using test::SweepOp;
using test::XMM;

class SseGroups : public test::EncoderSweep {};

TEST_F(SseGroups, MovqForms) {
  checkTable({
      {32, "movq", MM(0), MM(1), "movq mm0, mm1"},
      {32, "movq", MM(2), M(8, REG_EAX), "movq mm2, qword ptr [eax]"},
      {32, "movq", MM(2), M(0, REG_EBX, REG_ESI, 4, 2), "movq mm2, qword ptr [ebx + esi*2 + 4]"},
      {32, "movq", XMM(1), XMM(2), "movq xmm1, xmm2"},
      {32, "movq", XMM(3), M(8, REG_EBP, REG_NONE, -16), "movq xmm3, qword ptr [ebp - 0x10]"},
      {32, "movq", M(0, REG_EAX), XMM(2), "movq qword ptr [eax], xmm2"},
      {32, "movq", M(8, REG_EAX), MM(3), "movq qword ptr [eax], mm3"},
      {64, "movq", XMM(9), M(8, REG_R10), "movq xmm9, qword ptr [r10]"},
      {64, "movq", M(0, REG_NONE, REG_NONE, 0x3000), XMM(15), "movq qword ptr [0x3000], xmm15"},
      {64, "movq", MM(7), M(8, REG_R8, REG_R15, 0, 8), "movq mm7, qword ptr [r8 + r15*8]"},
      {16, "movq", XMM(1), M(8, REG_BX, REG_SI), "movq xmm1,QWORD PTR [bx+si]", ASSEMBLE_OK, 'o'},
      {16, "movq", M(0, REG_DI), XMM(6), "movq QWORD PTR [di],xmm6", ASSEMBLE_OK, 'o'},
      // Between mm and xmm the quadword moves that disassemblers name
      // movq2dq and movdq2q.
      {32, "movq", XMM(0), MM(1), "movq2dq xmm0, mm1"},
      {32, "movq", MM(0), XMM(1), "movdq2q mm0, xmm1"},
      {64, "movq", XMM(9), MM(7), "movq2dq xmm9, mm7"},
      {64, "movq", MM(2), XMM(12), "movdq2q mm2, xmm12"},
      {16, "movq", XMM(3), MM(4), "movq2dq xmm3,mm4", ASSEMBLE_OK, 'o'},
      {32, "movq", XMM(9), MM(1), nullptr, ERROR_OPERAND_INVALID},
      {64, "movq", MM(8), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movq", M(16, REG_EAX), XMM(0), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movq", MM(0), M(4, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movq", R(REG_EAX), XMM(0), nullptr, ERROR_NOT_SUPPORTED},
      {32, "movq", MM(0), I(1), nullptr, ERROR_NOT_SUPPORTED},
      {32, "movq", M(8, REG_EAX), M(8, REG_EBX), nullptr, ERROR_NOT_SUPPORTED},
      {64, "movq", MM(8), MM(1), nullptr, ERROR_OPERAND1_INVALID},
      {64, "movq", MM(0), MM(8), nullptr, ERROR_OPERAND2_INVALID},
      {64, "movq", M(8, REG_RAX), XMM(16), nullptr, ERROR_OPERAND2_INVALID},
      // xmm8-15 need a REX prefix, which only 64-bit mode has.
      {32, "movq", XMM(9), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movq", XMM(1), M(8, REG_R9), nullptr, ERROR_OPERAND_INVALID},
  });
}

TEST_F(SseGroups, ArithmeticForms) {
  checkTable({
      {32, "addps", XMM(1), XMM(2), "addps xmm1, xmm2"},
      {32, "addpd", XMM(1), XMM(2), "addpd xmm1, xmm2"},
      {32, "addsd", XMM(0), M(8, REG_EAX), "addsd xmm0, qword ptr [eax]"},
      {32, "addss", XMM(0), M(4, REG_EAX), "addss xmm0, dword ptr [eax]"},
      {32, "sqrtss", XMM(7), M(0, REG_ECX), "sqrtss xmm7, dword ptr [ecx]"},
      {32, "maxsd", XMM(2), XMM(3), "maxsd xmm2, xmm3"},
      {32, "addps", XMM(0), M(16, REG_ESP, REG_NONE, 8), "addps xmm0, xmmword ptr [esp + 8]"},
      {32, "andnpd", XMM(4), M(0, REG_NONE, REG_NONE, 0x1000), "andnpd xmm4, xmmword ptr [0x1000]"},
      {32, "haddps", XMM(1), XMM(6), "haddps xmm1, xmm6"},
      {32, "addsubpd", XMM(1), M(16, REG_EDX), "addsubpd xmm1, xmmword ptr [edx]"},
      {32, "pcmpeqd", XMM(0), XMM(7), "pcmpeqd xmm0, xmm7"},
      {32, "pmaddwd", XMM(3), XMM(4), "pmaddwd xmm3, xmm4"},
      {32, "pand", MM(1), MM(2), "pand mm1, mm2"},
      {32, "pand", XMM(1), XMM(2), "pand xmm1, xmm2"},
      {32, "paddq", MM(0), M(8, REG_EDI), "paddq mm0, qword ptr [edi]"},
      {32, "pavgw", XMM(5), M(0, REG_EDI), "pavgw xmm5, xmmword ptr [edi]"},
      {32, "pabsb", XMM(1), XMM(2), "pabsb xmm1, xmm2"},
      {32, "pabsd", MM(1), MM(2), "pabsd mm1, mm2"},
      {32, "phsubw", MM(3), M(8, REG_EAX), "phsubw mm3, qword ptr [eax]"},
      {32, "psignd", XMM(3), XMM(4), "psignd xmm3, xmm4"},
      {32, "lddqu", XMM(0), M(16, REG_EAX), "lddqu xmm0, xmmword ptr [eax]"},
      {32, "movq2dq", XMM(0), MM(1), "movq2dq xmm0, mm1"},
      {64, "addpd", XMM(8), XMM(9), "addpd xmm8, xmm9"},
      {64, "pabsb", XMM(10), M(16, REG_R8), "pabsb xmm10, xmmword ptr [r8]"},
      {64, "pand", MM(1), M(8, REG_R12), "pand mm1, qword ptr [r12]"},
      {64, "subss", XMM(15), M(4, REG_EAX), "subss xmm15, dword ptr [eax]"},
      {64, "movq2dq", XMM(11), MM(7), "movq2dq xmm11, mm7"},
      {16, "addpd", XMM(0), M(16, REG_BX, REG_SI), "addpd xmm0,XMMWORD PTR [bx+si]", ASSEMBLE_OK, 'o'},
      {16, "pand", XMM(2), XMM(3), "pand xmm2,xmm3", ASSEMBLE_OK, 'o'},
      {16, "mulsd", XMM(1), M(8, REG_BP, REG_NONE, 2), "mulsd xmm1,QWORD PTR [bp+0x2]", ASSEMBLE_OK, 'o'},
      // Capstone reads comis/ucomis as reading 16 bytes; llvm-mc knows better.
      {32, "comiss", XMM(0), M(4, REG_EAX), "comiss xmm0, dword ptr [eax]", ASSEMBLE_OK, 'l'},
      {32, "comisd", XMM(0), M(8, REG_EAX), "comisd xmm0, qword ptr [eax]", ASSEMBLE_OK, 'l'},
      {32, "ucomiss", XMM(2), M(0, REG_EAX), "ucomiss xmm2, dword ptr [eax]", ASSEMBLE_OK, 'l'},
      {32, "ucomisd", XMM(2), XMM(3), "ucomisd xmm2, xmm3"},
      // The SSE4 rows, read by both disassemblers.
      {32, "ptest", XMM(0), XMM(1), "ptest xmm0, xmm1"},
      {32, "ptest", XMM(0), XMM(1), "ptest xmm0, xmm1", ASSEMBLE_OK, 'l'},
      {32, "pcmpgtq", XMM(2), M(16, REG_EAX), "pcmpgtq xmm2, xmmword ptr [eax]", ASSEMBLE_OK, 'l'},
      {32, "pminsd", XMM(1), M(0, REG_EBX), "pminsd xmm1, xmmword ptr [ebx]", ASSEMBLE_OK, 'l'},
      {64, "pmulld", XMM(12), XMM(3), "pmulld xmm12, xmm3", ASSEMBLE_OK, 'l'},
      {64, "pmuldq", XMM(3), XMM(12), "pmuldq xmm3, xmm12"},
      // Refused.
      {32, "addps", MM(0), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "addps", XMM(0), I(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "addps", XMM(0), MM(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "addps", R(REG_EAX), XMM(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "addps", R(REG_AX), XMM(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "addps", XMM(0), R(REG_EAX), nullptr, ERROR_OPERAND2_INVALID},
      {32, "addps", XMM(0), R(REG_AL), nullptr, ERROR_OPERAND2_INVALID},
      {32, "addps", M(16, REG_EAX), XMM(0), nullptr, ERROR_OPERAND_INVALID},
      {32, "addps", XMM(0), M(4, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "addss", XMM(0), M(8, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "addsd", XMM(0), M(16, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "comiss", XMM(0), M(16, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "pand", MM(0), M(16, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "pand", XMM(0), M(8, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "pand", MM(1), XMM(2), nullptr, ERROR_OPERAND_TYPE_MISMATCH},
      {32, "pand", XMM(1), MM(2), nullptr, ERROR_OPERAND_TYPE_MISMATCH},
      {32, "pabsw", XMM(1), MM(2), nullptr, ERROR_OPERAND_TYPE_MISMATCH},
      {32, "movq2dq", XMM(0), XMM(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movq2dq", XMM(0), M(8, REG_EAX), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movq2dq", MM(0), MM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "lddqu", XMM(0), XMM(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "addpd", XMM(8), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "addpd", XMM(16), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {64, "pand", MM(8), MM(1), nullptr, ERROR_OPERAND1_INVALID},
      {64, "pand", MM(1), MM(9), nullptr, ERROR_OPERAND2_INVALID},
      {64, "addps", XMM(1), XMM(-1), nullptr, ERROR_OPERAND2_INVALID},
  });
}

TEST_F(SseGroups, ShiftForms) {
  checkTable({
      {32, "psrlw", XMM(3), I(4), "psrlw xmm3, 4"},
      {32, "psrlw", MM(3), I(4), "psrlw mm3, 4"},
      {32, "psllq", MM(0), I(63), "psllq mm0, 0x3f"},
      {32, "psrad", XMM(7), I(31), "psrad xmm7, 0x1f"},
      {32, "pslldq", XMM(1), I(3), "pslldq xmm1, 3"},
      {32, "psrldq", XMM(1), I(8), "psrldq xmm1, 8"},
      {32, "pslld", XMM(2), I(-1), "pslld xmm2, 0xff"},
      {32, "pslld", XMM(2), I(0xFFFFFFFF), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {64, "psraw", XMM(13), I(2), "psraw xmm13, 2"},
      {64, "psrldq", XMM(9), I(1), "psrldq xmm9, 1"},
      // The count from a register or from memory: the ModRM reg field is the
      // destination, not the immediate form's digit.
      {32, "psllw", MM(0), MM(1), "psllw mm0, mm1"},
      {32, "psllw", MM(0), M(8, REG_EAX), "psllw mm0, qword ptr [eax]"},
      {32, "psllw", XMM(0), M(16, REG_EAX), "psllw xmm0, xmmword ptr [eax]"},
      {32, "psrad", XMM(5), M(0, REG_ECX), "psrad xmm5, xmmword ptr [ecx]"},
      {32, "psrlq", MM(6), M(0, REG_ESI, REG_NONE, 4), "psrlq mm6, qword ptr [esi + 4]"},
      {64, "pslld", XMM(10), M(16, REG_R11), "pslld xmm10, xmmword ptr [r11]"},
      {16, "psrlw", MM(2), M(8, REG_BX), "psrlw mm2,QWORD PTR [bx]", ASSEMBLE_OK, 'o'},
      {16, "psllq", XMM(2), I(7), "psllq xmm2,0x7", ASSEMBLE_OK, 'o'},
      {32, "psllw", MM(0), I(300), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "psllw", MM(0), I(int64_t{1} << 40), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "pslldq", MM(1), I(3), nullptr, ERROR_OPERAND1_INVALID},
      {32, "pslldq", XMM(1), XMM(2), nullptr, ERROR_OPERAND2_INVALID},
      {32, "psrldq", XMM(1), M(16, REG_EAX), nullptr, ERROR_OPERAND2_INVALID},
      {32, "psllw", MM(0), M(16, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
  });
}

TEST_F(SseGroups, ShiftImmediateRollsWhenAsked) {
  CompileFlags.imm_roll = 1;
  checkTable({{32, "psllw", MM(0), I(0x105), "psllw mm0, 5"}});
}

TEST_F(SseGroups, MoveForms) {
  checkTable({
      {32, "movaps", XMM(1), M(0, REG_EAX), "movaps xmm1, xmmword ptr [eax]"},
      {32, "movaps", M(16, REG_EAX), XMM(1), "movaps xmmword ptr [eax], xmm1"},
      {32, "movaps", XMM(1), XMM(2), "movaps xmm1, xmm2"},
      {32, "movapd", XMM(0), M(16, REG_ESI, REG_EBX, 0x40, 8), "movapd xmm0, xmmword ptr [esi + ebx*8 + 0x40]"},
      {32, "movdqa", M(0, REG_ESP, REG_NONE, 32), XMM(6), "movdqa xmmword ptr [esp + 0x20], xmm6"},
      {32, "movdqu", XMM(2), M(16, REG_EAX), "movdqu xmm2, xmmword ptr [eax]"},
      {32, "movdqu", M(16, REG_EAX), XMM(2), "movdqu xmmword ptr [eax], xmm2"},
      {32, "movupd", XMM(3), XMM(4), "movupd xmm3, xmm4"},
      {32, "movups", M(0, REG_EDX), XMM(0), "movups xmmword ptr [edx], xmm0"},
      {32, "movss", XMM(0), M(4, REG_EAX), "movss xmm0, dword ptr [eax]"},
      {32, "movss", M(4, REG_EAX), XMM(0), "movss dword ptr [eax], xmm0"},
      {32, "movss", XMM(0), XMM(1), "movss xmm0, xmm1"},
      {32, "movlps", XMM(0), M(8, REG_EAX), "movlps xmm0, qword ptr [eax]"},
      {32, "movlps", M(8, REG_EAX), XMM(0), "movlps qword ptr [eax], xmm0"},
      {32, "movhps", XMM(5), M(0, REG_EBX), "movhps xmm5, qword ptr [ebx]"},
      {32, "movlpd", M(0, REG_EBX), XMM(5), "movlpd qword ptr [ebx], xmm5"},
      {32, "movhpd", XMM(1), M(8, REG_ECX), "movhpd xmm1, qword ptr [ecx]"},
      {32, "movhlps", XMM(0), XMM(1), "movhlps xmm0, xmm1"},
      {32, "movlhps", XMM(2), XMM(7), "movlhps xmm2, xmm7"},
      {32, "movntq", M(8, REG_EAX), MM(0), "movntq qword ptr [eax], mm0"},
      {32, "movnti", M(4, REG_EAX), R(REG_ECX), "movnti dword ptr [eax], ecx"},
      {32, "movntdq", M(16, REG_EAX), XMM(1), "movntdq xmmword ptr [eax], xmm1"},
      {32, "movntpd", M(0, REG_EAX), XMM(2), "movntpd xmmword ptr [eax], xmm2"},
      {32, "movntps", M(0, REG_EAX), XMM(3), "movntps xmmword ptr [eax], xmm3"},
      {32, "movddup", XMM(0), XMM(1), "movddup xmm0, xmm1"},
      {32, "movddup", XMM(0), M(8, REG_EAX), "movddup xmm0, qword ptr [eax]"},
      {32, "movdq2q", MM(0), XMM(1), "movdq2q mm0, xmm1"},
      {32, "movmskps", R(REG_EAX), XMM(1), "movmskps eax, xmm1"},
      {32, "movmskpd", R(REG_ECX), XMM(7), "movmskpd ecx, xmm7"},
      {32, "movntdqa", XMM(0), M(16, REG_EAX), "movntdqa xmm0, xmmword ptr [eax]"},
      {32, "movntdqa", XMM(0), M(16, REG_EAX), "movntdqa xmm0, xmmword ptr [eax]", ASSEMBLE_OK, 'l'},
      {64, "movnti", M(0, REG_RAX), R(REG_RAX), "movnti qword ptr [rax], rax"},
      {64, "movnti", M(8, REG_RDI), R(REG_R10), "movnti qword ptr [rdi], r10"},
      {64, "movnti", M(4, REG_RDI), R(REG_EDX), "movnti dword ptr [rdi], edx"},
      {64, "movmskpd", R(REG_EAX), XMM(12), "movmskpd eax, xmm12"},
      {64, "movaps", XMM(8), M(16, REG_R13, REG_NONE, 0x100), "movaps xmm8, xmmword ptr [r13 + 0x100]"},
      {64, "movss", M(4, REG_NONE, REG_NONE, 0x4000), XMM(9), "movss dword ptr [0x4000], xmm9"},
      {16, "movnti", M(4, REG_BX), R(REG_EAX), "movnti DWORD PTR [bx],eax", ASSEMBLE_OK, 'o'},
      {16, "movmskps", R(REG_EAX), XMM(1), "movmskps eax,xmm1", ASSEMBLE_OK, 'o'},
      {16, "movupd", XMM(1), M(16, REG_NONE, REG_NONE, 0x800), "movupd xmm1,XMMWORD PTR ds:0x800", ASSEMBLE_OK,
       'o'},
      // Refused.
      {32, "movaps", M(16, REG_EAX), M(16, REG_EBX), nullptr, ERROR_OPERAND_INVALID},
      {32, "movaps", XMM(0), I(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movaps", I(1), XMM(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movaps", XMM(0), M(8, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movss", XMM(0), M(8, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movhps", M(16, REG_EAX), XMM(0), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      // Two registers would be movhlps/movlhps (or nothing with 66).
      {32, "movlps", XMM(0), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movhps", XMM(0), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movlpd", XMM(0), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movhpd", XMM(0), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movhlps", XMM(0), M(16, REG_EAX), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movntq", MM(0), MM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movntq", M(8, REG_EAX), XMM(0), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movnti", M(4, REG_EAX), R(REG_AX), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movnti", M(8, REG_EAX), R(REG_RAX), nullptr, ERROR_OPERAND_INVALID},
      {64, "movnti", M(4, REG_RAX), R(REG_RAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movddup", M(8, REG_EAX), XMM(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movdq2q", XMM(0), MM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movdq2q", MM(0), MM(1), nullptr, ERROR_OPERAND2_INVALID},
      {64, "movdq2q", MM(8), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {64, "movdq2q", MM(0), XMM(16), nullptr, ERROR_OPERAND2_INVALID},
      {64, "movaps", M(16, REG_RAX), XMM(16), nullptr, ERROR_OPERAND2_INVALID},
      // movmskps writes a doubleword, zero-extended into a 64-bit register:
      // without REX.W, rax reads back as the eax that fills it.
      {64, "movmskps", R(REG_RAX), XMM(1), "movmskps eax, xmm1"},
      {64, "movmskpd", R(REG_R9), XMM(1), "movmskpd r9d, xmm1"},
      {64, "movmskpd", R(REG_RDI), XMM(14), "movmskpd edi, xmm14"},
      // 16- and 32-bit code have no 64-bit register to fill.
      {32, "movmskpd", R(REG_RAX), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {16, "movmskps", R(REG_RBX), XMM(1), nullptr, ERROR_OPERAND_INVALID},
      {32, "movmskps", R(REG_AX), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movmskps", M(4, REG_EAX), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movntdqa", M(16, REG_EAX), XMM(0), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movntdqa", XMM(0), XMM(1), nullptr, ERROR_OPERAND2_INVALID},
  });
}

TEST_F(SseGroups, MovsdForms) {
  checkTable({
      {32, "movsd", {}, {}, "movsd dword ptr es:[edi], dword ptr [esi]"},
      {64, "movsd", {}, {}, "movsd dword ptr [rdi], dword ptr [rsi]"},
      {16, "movsd", {}, {}, "movsd dword ptr es:[di], dword ptr [si]"},
      {32, "movsd", XMM(1), XMM(2), "movsd xmm1, xmm2"},
      {32, "movsd", XMM(0), M(8, REG_EAX), "movsd xmm0, qword ptr [eax]"},
      {32, "movsd", M(0, REG_EAX), XMM(3), "movsd qword ptr [eax], xmm3"},
      {64, "movsd", XMM(14), M(8, REG_RSP, REG_NONE, 8), "movsd xmm14, qword ptr [rsp + 8]"},
      {16, "movsd", XMM(0), M(8, REG_BP, REG_SI, 4), "movsd xmm0,QWORD PTR [bp+si+0x4]", ASSEMBLE_OK, 'o'},
      {32, "movsd", XMM(0), {}, nullptr, ERROR_OPERAND_COUNT_MIN},
      {32, "movsd", XMM(0), M(4, REG_EAX), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
      {32, "movsd", M(8, REG_EAX), M(8, REG_EBX), nullptr, ERROR_OPERAND_INVALID},
      {32, "movsd", MM(0), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movsd", XMM(0), I(1), nullptr, ERROR_OPERAND2_INVALID},
  });
  EXPECT_EQ(encode("movsd", xmm(0), xmm(1), xmm(2)).rc, ERROR_OPERAND_COUNT_MAX);
}

// The documented encodings, byte for byte.
// st and mm names share an operand type: an MMX row takes no st register.
TEST_F(SseGroups, StackRegistersAreRefused) {
  checkTable({
      {32, "movq", ST(0), ST(3), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movq", MM(0), ST(3), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movq", M(8, REG_EAX), ST(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "pslld", ST(0), I(5), nullptr, ERROR_OPERAND1_INVALID},
      {32, "pand", MM(1), ST(2), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movntq", M(8, REG_EBX, REG_NONE, 4), ST(3), nullptr, ERROR_OPERAND2_INVALID},
      {64, "movq2dq", XMM(0), ST(1), nullptr, ERROR_OPERAND2_INVALID},
      {32, "movdq2q", ST(0), XMM(1), nullptr, ERROR_OPERAND1_INVALID},
      {32, "movntq", M(8, REG_EBX, REG_NONE, 4), MM(3), "movntq qword ptr [ebx + 4], mm3"},
  });
}

TEST_F(SseGroups, DocumentedBytes) {
  struct Bytes {
    int bits;
    const char* name;
    SweepOp o1, o2;
    const char* hex;
  };
  const Bytes cases[] = {
      {32, "movq", MM(0), MM(1), "0F 6F C1"},
      {32, "movq", M(8, REG_EAX), XMM(2), "66 0F D6 10"},
      {32, "movq", XMM(1), M(8, REG_EAX), "F3 0F 7E 08"},
      {32, "movq", M(8, REG_EAX), MM(2), "0F 7F 10"},
      {32, "addps", XMM(1), XMM(2), "0F 58 CA"},
      {32, "addpd", XMM(1), XMM(2), "66 0F 58 CA"},
      {32, "pand", MM(1), MM(2), "0F DB CA"},
      {32, "pand", XMM(1), XMM(2), "66 0F DB CA"},
      {32, "psrlw", XMM(3), I(4), "66 0F 71 D3 04"},
      {32, "psrlw", MM(3), I(4), "0F 71 D3 04"},
      {32, "pabsb", XMM(1), XMM(2), "66 0F 38 1C CA"},
      {32, "movaps", XMM(1), M(0, REG_EAX), "0F 28 08"},
      {64, "movnti", M(8, REG_RAX), R(REG_RAX), "48 0F C3 00"},
      {32, "movsd", {}, {}, "A5"},
      {16, "movsd", {}, {}, "66 A5"},
      {32, "movsd", XMM(1), XMM(2), "F2 0F 10 CA"},
      {32, "movq2dq", XMM(0), MM(1), "F3 0F D6 C1"},
      {32, "movdq2q", MM(0), XMM(1), "F2 0F D6 C1"},
      {32, "movq", XMM(0), MM(1), "F3 0F D6 C1"},
      {32, "movq", MM(0), XMM(1), "F2 0F D6 C1"},
      {64, "movmskpd", R(REG_RAX), XMM(1), "66 0F 50 C1"},
      {64, "addpd", XMM(8), XMM(9), "66 45 0F 58 C1"},
      {64, "pabsb", XMM(10), M(16, REG_R8), "66 45 0F 38 1C 10"},
      {64, "addps", XMM(0), M(16, REG_EAX), "67 0F 58 00"},
      {64, "addps", XMM(0), M(16, REG_NONE, REG_NONE, 0x1234), "0F 58 04 25 34 12 00 00"},
  };
  for (const Bytes& c : cases) {
    setMode(static_cast<uint32_t>(c.bits));
    TOperand o1, o2;
    test::materialize(c.o1, o1);
    test::materialize(c.o2, o2);
    EXPECT_EQ(enc.assemble(opcodeLookup(c.name), c.o1.kind == SweepOp::None ? nullptr : &o1,
                           c.o2.kind == SweepOp::None ? nullptr : &o2, nullptr, true),
              ASSEMBLE_OK)
        << c.name;
    EXPECT_EQ(hexBytes(enc.popCode()), c.hex) << c.name << " in " << c.bits << "-bit mode";
  }
}

TEST_F(SseGroups, MemoryOperandsWithoutSizeKeepIt) {
  TOperand* op = mem(0, {REG_EAX});
  ASSERT_EQ(encode("addps", xmm(0), op).rc, ASSEMBLE_OK);
  EXPECT_EQ(op->size, 0u);
}

TEST_F(SseGroups, RefusedInstructionLeavesTheBufferAsItWas) {
  enc.addBytes(uint64_t{0x90}, 1);
  EXPECT_EQ(enc.assemble(opcodeLookup("movlps"), xmm(0), xmm(1), nullptr, true), ERROR_OPERAND_INVALID);
  EXPECT_EQ(enc.assemble(opcodeLookup("pand"), mm(0), xmm(1), nullptr, true), ERROR_OPERAND_TYPE_MISMATCH);
  EXPECT_EQ(hexBytes(enc.popCode()), "90");
}

// --- Variable fixups ---------------------------------------------------------

class SseFixups : public test::EncoderFixupSweep {};

TEST_F(SseFixups, MemoryBasedOnAVariable) {
  EXPECT_EQ(patched("addps", xmm(0), memVar(16, {REG_EBX}, &var_, func_, 8), 32, 8),
            "addps xmm0, xmmword ptr [ebx + 0x12345678]");
  EXPECT_EQ(patched("movss", memVar(4, {}, &var_, func_, 12), xmm(1), 32, 12), "movss dword ptr [0x12345678], xmm1");
  EXPECT_EQ(patched("movss", memVar(4, {}, &var_, func_), xmm(9), 64, 0), "movss dword ptr [0x12345678], xmm9");
  EXPECT_EQ(patched("movq", mm(0), memVar(8, {REG_ESI}, &var_, func_, 0, 4), 32, 0),
            "movq mm0, qword ptr [esi*4 + 0x12345678]");
  EXPECT_EQ(patched("psllw", mm(2), memVar(8, {}, &var_, func_, 4), 32, 4), "psllw mm2, qword ptr [0x12345678]");
  EXPECT_EQ(patched("movnti", memVar(8, {REG_R12}, &var_, func_), reg(REG_R8), 64, 0),
            "movnti qword ptr [r12 + 0x12345678], r8");
  EXPECT_EQ(patched("movsd", xmm(0), memVar(8, {REG_RAX, REG_RCX}, &var_, func_, 0, 8), 64, 0),
            "movsd xmm0, qword ptr [rax + rcx*8 + 0x12345678]");
  EXPECT_EQ(patched("movsd", xmm(0), memVar(8, {REG_BX}, &var_, func_, 2), 16, 2, 'o'),
            "movsd xmm0,QWORD PTR [bx+0x1234]");
  EXPECT_EQ(patched("pand", xmm(3), memVar(16, {}, &var_, func_), 16, 0, 'o'), "pand xmm3,XMMWORD PTR ds:0x1234");
}

TEST_F(SseFixups, RefusedInstructionFilesNoFixup) {
  EXPECT_EQ(encode("addps", xmm(0), memVar(8, {REG_EBX}, &var_, func_)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_EQ(encode("movlps", xmm(0), xmm(1)).rc, ERROR_OPERAND_INVALID);
  EXPECT_TRUE(fixups().empty());
}

// --- The sweep ---------------------------------------------------------------

constexpr std::initializer_list<TInstructionGroup> kSseGroups = {igMMU_MOVQ, igSSE, igMMU_MOV, igMOVSD};

TEST_F(SseGroups, SweepIn16BitMode) { EXPECT_GT(sweep(kSseGroups, 16), 0u); }
TEST_F(SseGroups, SweepIn32BitMode) { EXPECT_GT(sweep(kSseGroups, 32), 0u); }
TEST_F(SseGroups, SweepIn64BitMode) { EXPECT_GT(sweep(kSseGroups, 64), 0u); }

}  // namespace
}  // namespace vorak
