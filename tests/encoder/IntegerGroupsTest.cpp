// Integer arithmetic and logic groups: one row per case, the operands and the
// mode in, the disassembler's reading (or the refusal code) out; and the
// documented byte sequences of the integer rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Disasm.h"
#include "support/EncoderFixture.h"
#include "support/OperandKit.h"

namespace vorak {
namespace {

using test::EncodeResult;
using test::hexBytes;
using test::I;
using test::M;
using test::Op;
using test::R;

// A row of the table: up to three operands, and Capstone's reading (nullptr
// when the form is refused, with its code).
struct Case {
  uint32_t bits;
  const char* name;
  Op o1, o2, o3;
  const char* text;
  uint32_t rc = ASSEMBLE_OK;
};

class IntegerGroups : public test::OperandKitTest {
 protected:
  EncodeResult encodeCase(const Case& c) {
    setMode(c.bits);
    return encode(c.name, make(c.o1), make(c.o2), make(c.o3));
  }
  void checkCase(const Case& c) {
    const EncodeResult r = encodeCase(c);
    const std::string where = std::string(c.name) + " in " + std::to_string(c.bits) + "-bit mode";
    if (!c.text) {
      EXPECT_EQ(r.rc, c.rc) << where;
      EXPECT_TRUE(r.bytes.empty()) << where;
      return;
    }
    EXPECT_EQ(r.rc, ASSEMBLE_OK) << where << ": " << TVorAssembler::errorCodeToString(r.rc);
    if (r.rc == ASSEMBLE_OK) {
      EXPECT_EQ(test::disasmText(r.bytes, static_cast<int>(c.bits)), c.text)
          << where << ", bytes " << hexBytes(r.bytes);
    }
  }
};

const Case kCases[] = {
    // igALU
    {32, "add", R(REG_EAX), R(REG_EBX), {}, "add eax, ebx"},
    {32, "or", M(4, {REG_EBX}, 8), R(REG_ECX), {}, "or dword ptr [ebx + 8], ecx"},
    {32, "adc", R(REG_CL), M(1, {REG_ESI, REG_EDI}, 0, 2), {}, "adc cl, byte ptr [esi + edi*2]"},
    {32, "sbb", R(REG_AX), M(0, {REG_EBP}, -4), {}, "sbb ax, word ptr [ebp - 4]"},
    {32, "and", R(REG_EAX), I(0x12345678), {}, "and eax, 0x12345678"},
    {32, "sub", R(REG_AL), I(200), {}, "sub al, 0xc8"},
    {32, "xor", M(2, {REG_EAX}), I(-2), {}, "xor word ptr [eax], 0xfffe"},
    {32, "cmp", M(4, {}, 0x1000), I(100), {}, "cmp dword ptr [0x1000], 0x64"},
    {32, "sub", R(REG_EBX), I(0xFFFFFFFF), {}, "sub ebx, 0xffffffff"},
    {32, "add", R(REG_DH), R(REG_AH), {}, "add dh, ah"},
    {64, "add", R(REG_R9), R(REG_RAX), {}, "add r9, rax"},
    {64, "sub", M(8, {REG_R13}), I(-1), {}, "sub qword ptr [r13], -1"},
    {64, "xor", R(REG_R12), M(8, {REG_RSP, REG_R11}, 16, 8), {}, "xor r12, qword ptr [rsp + r11*8 + 0x10]"},
    {64, "cmp", R(REG_BL), M(1, {REG_EBX}), {}, "cmp bl, byte ptr [ebx]"},
    {64, "and", R(REG_EAX), I(0xFFFFFFFF), {}, "and eax, 0xffffffff"},
    {64, "and", R(REG_RAX), I(-1), {}, "and rax, 0xffffffffffffffff"},
    // 4294967295 does not fit the sign-extended field of a qword operand.
    {64, "and", R(REG_RAX), I(0xFFFFFFFF), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "or", M(8, {}, 0x2000), I(5), {}, "or qword ptr [0x2000], 5"},
    {64, "adc", R(REG_RAX), I(0x7FFFFFFF), {}, "adc rax, 0x7fffffff"},
    {64, "add", R(REG_AH), R(REG_BH), {}, "add ah, bh"},
    {16, "add", R(REG_AX), R(REG_BX), {}, "add ax, bx"},
    {16, "add", R(REG_EAX), R(REG_EBX), {}, "add eax, ebx"},
    {16, "cmp", M(2, {REG_BP, REG_SI}, 4), I(1000), {}, "cmp word ptr [bp + si + 4], 0x3e8"},
    {16, "sub", M(1, {}, 0x300), R(REG_AL), {}, "sub byte ptr [0x300], al"},
    {16, "xor", R(REG_EAX), I(0x12345678), {}, "xor eax, 0x12345678"},
    {32, "add", R(REG_EAX), R(REG_BL), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "add", M(2, {REG_EBX}), R(REG_EAX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "add", M(0, {REG_EBX}), I(5), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    // Memory of 10 or 16 bytes has no integer form (and must not be measured
    // as an immediate field of that width).
    {32, "add", M(10, {REG_EBX}), I(5), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "cmp", M(16, {REG_RBX}), I(-1), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "test", M(10, {REG_EBX}), I(1), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "imul", R(REG_RAX), M(16, {REG_RBX}), I(3), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    // A scaled address without registers must stay below 2 GiB in 64-bit
    // code, where the 32-bit field is sign-extended; 32-bit code reaches it.
    {64, "add", R(REG_EAX), M(4, {}, 0x10000000, 8), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "add", R(REG_EAX), M(4, {}, 0x1FFFFFFF, 4), {}, "add eax, dword ptr [0x7ffffffc]"},
    {32, "add", R(REG_EAX), M(4, {}, 0x10000000, 8), {}, "add eax, dword ptr [0x80000000]"},
    // So must any displacement: 0xFFFFFFFF would address [rbx-1] and
    // 0x80000000 the top of memory. 16- and 32-bit addresses wrap at their
    // width, where 0xFFFFFFFF is the place -1 names.
    {64, "add", R(REG_RAX), M(8, {REG_RBX}, 0xFFFFFFFFLL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "add", R(REG_RAX), M(8, {}, 0x80000000LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "cmp", M(4, {REG_RBX, REG_RSI}, 0x80000000LL, 4), I(1), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "sub", M(4, {REG_R9}, 0xFFFFFFF0LL, 8), R(REG_EAX), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "lea", R(REG_EAX), M(0, {REG_RBX}, 0x80000000LL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "lea", R(REG_EAX), M(0, {REG_EBX}, 0xFFFFFFFFLL), {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "sete", M(1, {REG_RBX}, 0x90000000LL), {}, {}, nullptr, ERROR_DISPLACEMENT_RANGE},
    {64, "add", R(REG_RAX), M(8, {REG_RBX}, 0x7FFFFFFF), {}, "add rax, qword ptr [rbx + 0x7fffffff]"},
    {64, "add", R(REG_RAX), M(8, {REG_RBX}, -0x80000000LL), {}, "add rax, qword ptr [rbx - 0x80000000]"},
    {32, "add", R(REG_EAX), M(4, {REG_EBX}, 0xFFFFFFFFLL), {}, "add eax, dword ptr [ebx - 1]"},
    {32, "lea", R(REG_EAX), M(0, {REG_EBX}, 0x80000000LL), {}, "lea eax, [ebx - 0x80000000]"},
    {16, "add", R(REG_AX), M(2, {REG_BX}, 0xFFFFFFFFLL), {}, "add ax, word ptr [bx - 1]"},
    {32, "add", R(REG_AL), I(300), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "cmp", M(1, {REG_EBX}), I(300), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "add", R(REG_RAX), I(0x100000000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "add", I(5), R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "add", R(REG_R8), R(REG_R9), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "add", R(REG_EAX), R(REG_R8), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "add", R(REG_RAX), R(REG_RBX), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "add", M(4, {REG_AX}), R(REG_EAX), {}, nullptr, ERROR_OPERAND_INVALID},
    {16, "add", M(2, {REG_EAX}), R(REG_AX), {}, nullptr, ERROR_OPERAND_INVALID},
    {64, "add", R(REG_AH), M(1, {REG_R8}), {}, nullptr, ERROR_OPERAND_INVALID},
    {64, "add", M(1, {REG_R8}), R(REG_AH), {}, nullptr, ERROR_OPERAND_INVALID},
    {64, "add", M(8, {REG_RAX, REG_ECX}), R(REG_RAX), {}, nullptr, ERROR_OPERAND_INVALID},

    // igLEA
    {32, "lea", R(REG_EAX), M(0, {REG_EBX}, 4), {}, "lea eax, [ebx + 4]"},
    {32, "lea", R(REG_EAX), I(4096), {}, "lea eax, [0x1000]"},
    {64, "lea", R(REG_EAX), M(0, {REG_R9}, 4), {}, "lea eax, [r9 + 4]"},
    {64, "lea", R(REG_EAX), I(4096), {}, "lea eax, [0x1000]"},
    {64, "lea", R(REG_EAX), M(4, {REG_EBX}), {}, "lea eax, [ebx]"},
    {32, "lea", R(REG_AX), M(0, {REG_EBX}), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "lea", R(REG_AX), M(0, {REG_BX}), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "lea", M(4, {REG_EBX}), M(4, {REG_EBX}), {}, nullptr, ERROR_OPERAND_TYPE_MISMATCH},
    {32, "lea", R(REG_EAX), R(REG_EBX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {64, "lea", R(REG_RAX), M(0, {REG_RBX}), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "lea", R(REG_EAX), I(0x100000000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},

    // igINCDEC
    {32, "inc", R(REG_EAX), {}, {}, "inc eax"},
    {32, "dec", M(1, {REG_EBX}), {}, {}, "dec byte ptr [ebx]"},
    {64, "inc", R(REG_R15), {}, {}, "inc r15"},
    {64, "dec", R(REG_CX), {}, {}, "dec cx"},
    {16, "dec", R(REG_EAX), {}, {}, "dec eax"},
    {32, "inc", M(0, {REG_EBX}), {}, {}, "inc dword ptr [ebx]"},
    {16, "inc", M(0, {REG_BX}), {}, {}, "inc word ptr [bx]"},
    {32, "inc", I(1), {}, {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "dec", M(3, {REG_EBX}), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},

    // igBT
    {32, "bt", R(REG_EAX), R(REG_EBX), {}, "bt eax, ebx"},
    {32, "bts", M(4, {REG_EAX}), R(REG_ECX), {}, "bts dword ptr [eax], ecx"},
    {32, "btr", R(REG_AX), I(3), {}, "btr ax, 3"},
    {64, "btc", R(REG_R10), I(63), {}, "btc r10, 0x3f"},
    {16, "bt", M(0, {REG_DI}), I(5), {}, "bt word ptr [di], 5"},
    {32, "bt", R(REG_EAX), R(REG_BX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "bt", R(REG_AL), R(REG_BL), {}, nullptr, ERROR_OPERAND1_INVALID},
    {32, "bt", M(0, {REG_EAX}), R(REG_BL), {}, nullptr, ERROR_OPERAND2_INVALID},
    {32, "bt", R(REG_EAX), I(256), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "bt", R(REG_EAX), M(4, {REG_EBX}), {}, nullptr, ERROR_OPERAND2_INVALID},

    // igROT
    {32, "shl", R(REG_EAX), I(1), {}, "shl eax, 1"},
    {32, "shl", R(REG_EAX), R(REG_CL), {}, "shl eax, cl"},
    {32, "shl", R(REG_EAX), I(3), {}, "shl eax, 3"},
    {64, "shl", R(REG_RAX), I(3), {}, "shl rax, 3"},
    {32, "sal", R(REG_EAX), I(3), {}, "shl eax, 3"},
    {32, "rcr", M(2, {REG_ESI}), I(1), {}, "rcr word ptr [esi], 1"},
    {32, "sar", M(1, {REG_ESI}), R(REG_CL), {}, "sar byte ptr [esi], cl"},
    {16, "rol", R(REG_BX), I(4), {}, "rol bx, 4"},
    {64, "ror", R(REG_R8), R(REG_CL), {}, "ror r8, cl"},
    {32, "shl", R(REG_EAX), R(REG_CH), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "shl", R(REG_EAX), I(256), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "shl", R(REG_EAX), M(1, {REG_ECX}), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "shr", I(1), R(REG_CL), {}, nullptr, ERROR_OPERAND_INVALID},

    // igSHLRD
    {32, "shld", R(REG_EAX), R(REG_EBX), I(4), "shld eax, ebx, 4"},
    {32, "shrd", M(2, {REG_EDI}), R(REG_DX), R(REG_CL), "shrd word ptr [edi], dx, cl"},
    {64, "shld", R(REG_R8), R(REG_R9), I(1), "shld r8, r9, 1"},
    {32, "shld", R(REG_EAX), R(REG_BX), I(4), nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "shld", R(REG_AL), R(REG_BL), I(4), nullptr, ERROR_OPERAND2_INVALID},
    {32, "shld", R(REG_EAX), I(1), I(4), nullptr, ERROR_OPERAND_INVALID},
    {32, "shrd", R(REG_EAX), R(REG_EBX), R(REG_DL), nullptr, ERROR_OPERAND_INVALID},

    // igRM_S
    {32, "sete", R(REG_AL), {}, {}, "sete al"},
    {32, "setnae", M(1, {REG_EBX}), {}, {}, "setb byte ptr [ebx]"},
    {64, "setg", M(0, {REG_R12}), {}, {}, "setg byte ptr [r12]"},
    {64, "setz", R(REG_AH), {}, {}, "sete ah"},
    {16, "setc", M(1, {REG_BX}), {}, {}, "setb byte ptr [bx]"},
    // A wider register stands for its low byte (the word registers behind 66
    // outside 16-bit code). Outside 64-bit code SP..DI and ESP..EDI have none
    // of their own number; 64-bit code reaches SPL..DIL through a REX.
    {32, "seto", R(REG_AX), {}, {}, "seto al"},
    {16, "seta", R(REG_BX), {}, {}, "seta bl"},
    {64, "setne", R(REG_DX), {}, {}, "setne dl"},
    {32, "seta", R(REG_SI), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {16, "seta", R(REG_SP), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "setz", R(REG_ECX), {}, {}, "sete cl"},
    {64, "setne", R(REG_EBX), {}, {}, "setne bl"},
    {16, "setnae", R(REG_EDX), {}, {}, "setb dl"},
    {32, "sete", R(REG_ESI), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "sete", R(REG_ESP), {}, {}, "sete spl"},
    {64, "sete", R(REG_RAX), {}, {}, "sete al"},
    {64, "setg", R(REG_R9), {}, {}, "setg r9b"},
    {32, "setg", R(REG_R9), {}, {}, nullptr, ERROR_OPERAND_INVALID},
    // setcc writes one byte: memory that names another width is refused.
    {32, "setz", M(4, {REG_EAX}), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "setz", M(2, {REG_EAX}), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {64, "setz", M(8, {REG_RAX}), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "setz", M(1, {REG_BX}), {}, {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "sets", I(1), {}, {}, nullptr, ERROR_OPERAND_INVALID},

    // igBSWAP
    {32, "bswap", R(REG_EBX), {}, {}, "bswap ebx"},
    {64, "bswap", R(REG_R9), {}, {}, "bswap r9"},
    {64, "bswap", R(REG_RDX), {}, {}, "bswap rdx"},
    {16, "bswap", R(REG_EAX), {}, {}, "bswap eax"},
    {32, "bswap", R(REG_AX), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "bswap", M(4, {REG_EAX}), {}, {}, nullptr, ERROR_OPERAND_INVALID},

    // igTEST
    {32, "test", R(REG_AL), I(1), {}, "test al, 1"},
    {32, "test", R(REG_EBX), I(1), {}, "test ebx, 1"},
    {32, "test", M(4, {REG_EAX}), R(REG_ECX), {}, "test dword ptr [eax], ecx"},
    {64, "test", R(REG_RAX), I(-1), {}, "test rax, -1"},
    {64, "test", M(1, {REG_R14}), I(0x80), {}, "test byte ptr [r14], 0x80"},
    {16, "test", R(REG_AX), I(0x8000), {}, "test ax, 0x8000"},
    {32, "test", R(REG_EAX), R(REG_BX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "test", M(0, {REG_EAX}), I(1), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "test", I(1), R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},

    // igREGMEM
    {32, "not", R(REG_EAX), {}, {}, "not eax"},
    {32, "neg", M(0, {REG_EBX}), {}, {}, "neg dword ptr [ebx]"},
    {64, "mul", R(REG_R11), {}, {}, "mul r11"},
    {32, "div", M(1, {REG_ESI}), {}, {}, "div byte ptr [esi]"},
    {16, "idiv", R(REG_CX), {}, {}, "idiv cx"},
    {32, "not", I(3), {}, {}, nullptr, ERROR_OPERAND_INVALID},

    // igXCHG
    {32, "xchg", R(REG_EAX), R(REG_ECX), {}, "xchg eax, ecx"},
    {32, "xchg", R(REG_AL), R(REG_BL), {}, "xchg al, bl"},
    {32, "xchg", R(REG_AX), R(REG_BX), {}, "xchg ax, bx"},
    {64, "xchg", R(REG_RAX), R(REG_R8), {}, "xchg rax, r8"},
    {64, "xchg", R(REG_R9), R(REG_RAX), {}, "xchg rax, r9"},
    // The accumulator with itself: 90 (read as nop) in 16- and 32-bit code.
    // In 64-bit code xchg eax, eax clears the upper half of RAX, which 90
    // does not, and REX.W 90 reads as a prefixed nop: the long form stays.
    {32, "xchg", R(REG_EAX), R(REG_EAX), {}, "nop"},
    {32, "xchg", R(REG_AX), R(REG_AX), {}, "nop"},
    {16, "xchg", R(REG_AX), R(REG_AX), {}, "nop"},
    {16, "xchg", R(REG_EAX), R(REG_EAX), {}, "nop"},
    {64, "xchg", R(REG_AX), R(REG_AX), {}, "nop"},
    {64, "xchg", R(REG_EAX), R(REG_EAX), {}, "xchg eax, eax"},
    {64, "xchg", R(REG_RAX), R(REG_RAX), {}, "xchg rax, rax"},
    {32, "xchg", R(REG_AL), R(REG_AL), {}, "xchg al, al"},
    {64, "xchg", R(REG_EAX), R(REG_EAX), {}, "xchg eax, eax"},
    {32, "xchg", M(4, {REG_EBX}), R(REG_EDX), {}, "xchg dword ptr [ebx], edx"},
    {32, "xchg", R(REG_EAX), R(REG_BL), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "xchg", R(REG_EAX), I(1), {}, nullptr, ERROR_NOT_SUPPORTED},

    // igIMUL
    {32, "imul", R(REG_ECX), {}, {}, "imul ecx"},
    {32, "imul", R(REG_EAX), R(REG_EBX), I(10), "imul eax, ebx, 0xa"},
    {32, "imul", R(REG_EAX), R(REG_EBX), {}, "imul eax, ebx"},
    {32, "imul", R(REG_EDX), I(1000), {}, "imul edx, edx, 0x3e8"},
    {32, "imul", R(REG_AX), M(2, {REG_EBX}), I(-5), "imul ax, word ptr [ebx], -5"},
    {64, "imul", R(REG_R9), M(8, {REG_RSI}), I(100000), "imul r9, qword ptr [rsi], 0x186a0"},
    {32, "imul", M(0, {REG_EBX}), {}, {}, "imul dword ptr [ebx]"},
    {64, "imul", M(0, {REG_RBX}), {}, {}, "imul qword ptr [rbx]"},
    {16, "imul", R(REG_AX), I(300), {}, "imul ax, ax, 0x12c"},
    {32, "imul", R(REG_AL), R(REG_BL), {}, nullptr, ERROR_OPERAND1_INVALID},
    {32, "imul", R(REG_EAX), R(REG_BX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "imul", M(4, {REG_EBX}), R(REG_EAX), {}, nullptr, ERROR_NOT_SUPPORTED},
    {32, "imul", R(REG_AX), I(70000), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},

    // igREG_REGMEM
    {32, "bsf", R(REG_EAX), R(REG_EBX), {}, "bsf eax, ebx"},
    {32, "popcnt", R(REG_AX), M(2, {REG_EBX}), {}, "popcnt ax, word ptr [ebx]"},
    {64, "popcnt", R(REG_R8), R(REG_R9), {}, "popcnt r8, r9"},
    {64, "cmovnle", R(REG_R8), R(REG_RAX), {}, "cmovg r8, rax"},
    {16, "cmovz", R(REG_EAX), R(REG_ECX), {}, "cmove eax, ecx"},
    {32, "bsr", R(REG_AL), R(REG_BL), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "cmove", R(REG_EAX), R(REG_BX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "bsf", M(4, {REG_EAX}), R(REG_EAX), {}, nullptr, ERROR_OPERAND_INVALID},

    // igREGMEM_REG
    {32, "xadd", M(4, {REG_EAX}), R(REG_EBX), {}, "xadd dword ptr [eax], ebx"},
    {32, "cmpxchg", R(REG_CL), R(REG_DL), {}, "cmpxchg cl, dl"},
    {64, "xadd", R(REG_RAX), R(REG_R15), {}, "xadd rax, r15"},
    {32, "xadd", R(REG_EAX), I(1), {}, nullptr, ERROR_OPERAND_INVALID},
    {32, "cmpxchg", R(REG_EAX), R(REG_BX), {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},

    // igEMIT
    {32, "int", I(21), {}, {}, "int 0x15"},
    {32, "int", I(256), {}, {}, nullptr, ERROR_OPERAND_SIZE_MISMATCH},
    {32, "int", R(REG_AL), {}, {}, nullptr, ERROR_OPERAND1_INVALID},
    {64, "aaa", {}, {}, {}, nullptr, ERROR_MODE_SUPPORT},
    {64, "pushad", {}, {}, {}, nullptr, ERROR_MODE_SUPPORT},
    {64, "pushfd", {}, {}, {}, nullptr, ERROR_MODE_SUPPORT},
    {32, "popfq", {}, {}, {}, nullptr, ERROR_MODE_SUPPORT},
    {64, "popfq", {}, {}, {}, "popfq"},
    {16, "pushfd", {}, {}, {}, "pushfd"},
    {16, "pushf", {}, {}, {}, "pushf"},
    {16, "movsw", {}, {}, {}, "movsw word ptr es:[di], word ptr [si]"},
    {16, "stosd", {}, {}, {}, "stosd dword ptr es:[di], eax"},
};

TEST_F(IntegerGroups, EachCaseDecodesAsWrittenOrIsRefused) {
  for (const Case& c : kCases) checkCase(c);
}

// The byte sequences the integer rules document (the reg,r/m form 03 /r for
// add eax, ebx, the accumulator forms, and so on).
struct BytesCase {
  uint32_t bits;
  const char* name;
  Op o1, o2, o3;
  const char* bytes;
};

const BytesCase kDocumented[] = {
    {32, "add", R(REG_EAX), R(REG_EBX), {}, "03 C3"},
    {32, "add", M(1, {REG_EBX}), R(REG_AL), {}, "00 03"},
    {32, "add", M(4, {REG_EBX}), R(REG_EAX), {}, "01 03"},
    {32, "add", R(REG_AL), M(1, {REG_EBX}), {}, "02 03"},
    {32, "add", R(REG_EAX), I(5), {}, "05 05 00 00 00"},
    {32, "add", R(REG_AL), I(5), {}, "04 05"},
    {32, "add", R(REG_EBX), I(5), {}, "83 C3 05"},
    {32, "add", R(REG_EBX), I(1000), {}, "81 C3 E8 03 00 00"},
    {64, "add", R(REG_RAX), I(5), {}, "48 05 05 00 00 00"},
    {32, "shl", R(REG_EAX), I(1), {}, "D1 E0"},
    {32, "shl", R(REG_EAX), R(REG_CL), {}, "D3 E0"},
    {32, "shl", R(REG_EAX), I(3), {}, "C1 E0 03"},
    {64, "shl", R(REG_RAX), I(3), {}, "48 C1 E0 03"},
    {32, "shld", R(REG_EAX), R(REG_EBX), I(4), "0F A4 D8 04"},
    {32, "shld", R(REG_EAX), R(REG_EBX), R(REG_CL), "0F A5 D8"},
    {32, "lea", R(REG_EAX), M(0, {REG_EBX}, 4), {}, "8D 43 04"},
    {32, "lea", R(REG_EAX), I(4096), {}, "8D 05 00 10 00 00"},
    {32, "xchg", R(REG_EAX), R(REG_ECX), {}, "91"},
    {32, "xchg", R(REG_ECX), R(REG_EAX), {}, "91"},
    {32, "xchg", R(REG_AL), R(REG_BL), {}, "86 D8"},
    {32, "xchg", R(REG_AX), R(REG_BX), {}, "66 93"},
    {32, "xchg", R(REG_SI), R(REG_BX), {}, "66 87 DE"},
    {64, "bswap", R(REG_R9), {}, {}, "49 0F C9"},
    {32, "imul", R(REG_EAX), R(REG_EBX), I(10), "6B C3 0A"},
    {32, "imul", R(REG_ECX), {}, {}, "F7 E9"},
    {32, "inc", R(REG_EAX), {}, {}, "FF C0"},
    {32, "dec", M(1, {REG_EBX}), {}, {}, "FE 0B"},
    {32, "int", I(21), {}, {}, "CD 15"},
    {32, "test", R(REG_AL), I(1), {}, "A8 01"},
    {32, "test", R(REG_EBX), I(1), {}, "F7 C3 01 00 00 00"},
    {32, "cbw", {}, {}, {}, "66 98"},
    {16, "cbw", {}, {}, {}, "98"},
    {16, "cwde", {}, {}, {}, "66 98"},
    {64, "cdqe", {}, {}, {}, "48 98"},
    {32, "fclex", {}, {}, {}, "9B DB E2"},
    {32, "pause", {}, {}, {}, "F3 90"},
    {32, "xchg", R(REG_EAX), R(REG_EAX), {}, "90"},
    {32, "xchg", R(REG_AX), R(REG_AX), {}, "66 90"},
    {16, "xchg", R(REG_AX), R(REG_AX), {}, "90"},
    {64, "xchg", R(REG_EAX), R(REG_EAX), {}, "87 C0"},
    {32, "seta", R(REG_AX), {}, {}, "66 0F 97 C0"},
    {16, "seta", R(REG_AX), {}, {}, "0F 97 C0"},
};

TEST_F(IntegerGroups, DocumentedByteSequences) {
  for (const BytesCase& c : kDocumented) {
    setMode(c.bits);
    const EncodeResult r = encode(c.name, make(c.o1), make(c.o2), make(c.o3));
    EXPECT_EQ(r.rc, ASSEMBLE_OK) << c.name;
    EXPECT_EQ(hexBytes(r.bytes), c.bytes) << c.name << " in " << c.bits << "-bit mode";
  }
}

TEST_F(IntegerGroups, ImmediatesRollOnlyWhenAskedTo) {
  // cmp with a byte operand and 300: refused, unless imm_roll keeps the low byte.
  EXPECT_EQ(encode("cmp", mem(1, {REG_EBX}), imm(300)).rc, ERROR_OPERAND_SIZE_MISMATCH);
  CompileFlags.imm_roll = 1;
  const EncodeResult r = encode("cmp", mem(1, {REG_EBX}), imm(300));
  ASSERT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(r.bytes), "80 3B 2C");
  // An 8-byte operand's field is sign-extended: no setting stretches it.
  setMode(64);
  EXPECT_EQ(encode("add", reg(REG_RAX), imm(0x100000000)).rc, ERROR_OPERAND_SIZE_MISMATCH);
}

TEST_F(IntegerGroups, NumbersArriveWithAll64Bits) {
  // -1 is all ones: FFFF for a word. FFFFFFFF is 4294967295, which no word
  // holds.
  EncodeResult r = encode("add", reg(REG_AX), imm(-1));
  ASSERT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(test::disasmText(r.bytes, 32), "add ax, 0xffff");
  r = encode("add", reg(REG_AX), imm32(0xFFFFFFFF));
  EXPECT_EQ(r.rc, ERROR_OPERAND_SIZE_MISMATCH);
  EXPECT_TRUE(r.bytes.empty());
  // The same for a qword operand: FFFFFFFE is 4294967294 there, which the
  // sign-extended field cannot hold, and -2 is -2.
  setMode(64);
  r = encode("imul", reg(REG_RCX), reg(REG_RDX), imm32(0xFFFFFFFE));
  EXPECT_EQ(r.rc, ERROR_OPERAND_SIZE_MISMATCH);
  r = encode("imul", reg(REG_RCX), reg(REG_RDX), imm(-2));
  ASSERT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(test::disasmText(r.bytes, 64), "imul rcx, rdx, -2");
}

// The address of a variable (@var) or of a memory expression (@[ebx+8]) is a
// number: it can be neither counted up nor exchanged, and it is not read as
// the place it names.
TEST_F(IntegerGroups, AddressOperandsAreNoPlacesToWrite) {
  TVar v{};
  TOperand* memRef = mem(0, {REG_EBX}, 8);
  memRef->hint = otMemRef;
  for (uint32_t bits : {16u, 32u, 64u}) {
    setMode(bits);
    TOperand* varRef = var(otVarRef, 0, &v, nullptr);
    for (const char* name : {"inc", "dec"}) {
      const EncodeResult r = encode(name, varRef);
      EXPECT_EQ(r.rc, ERROR_OPERAND_INVALID) << name << " in " << bits;
      EXPECT_TRUE(r.bytes.empty()) << name << " in " << bits;
      EXPECT_EQ(encode(name, memRef).rc, ERROR_OPERAND_INVALID) << name << " in " << bits;
    }
    const TRegister acc = bits == 16 ? REG_AX : REG_EAX;
    const EncodeResult x = encode("xchg", varRef, reg(acc));
    EXPECT_EQ(x.rc, ERROR_NOT_SUPPORTED) << bits;
    EXPECT_TRUE(x.bytes.empty()) << bits;
    EXPECT_EQ(encode("xchg", memRef, reg(acc)).rc, ERROR_NOT_SUPPORTED) << bits;
  }
  // The place itself is exchanged as usual.
  setMode(32);
  const EncodeResult r = encode("xchg", mem(4, {REG_EBX}, 8), reg(REG_EAX));
  ASSERT_EQ(r.rc, ASSEMBLE_OK);
  EXPECT_EQ(hexBytes(r.bytes), "87 43 08");
}

TEST_F(IntegerGroups, SizelessMemoryTakesTheDocumentedDefaults) {
  // not/neg/mul/div/idiv: a dword, written back into the operand.
  TOperand* m = mem(0, {REG_EBX});
  ASSERT_EQ(encode("neg", m).rc, ASSEMBLE_OK);
  EXPECT_EQ(m->size, 4u);
  // one-operand imul: the pointer size.
  setMode(64);
  TOperand* q = mem(0, {REG_RBX});
  ASSERT_EQ(encode("imul", q).rc, ASSEMBLE_OK);
  EXPECT_EQ(q->size, 8u);
  // lea: the address operand becomes 4 bytes.
  TOperand* a = mem(0, {REG_RBX}, 8);
  ASSERT_EQ(encode("lea", reg(REG_EAX), a).rc, ASSEMBLE_OK);
  EXPECT_EQ(a->size, 4u);
}

TEST_F(IntegerGroups, EmitRowsWithFixedPrefixesSwapThemIn16BitMode) {
  // Capstone names 98 "cwde" in 16-bit mode; objdump reads it right.
  setMode(16);
  const test::ObjdumpResult cbw = test::objdumpDecode(encode("cbw").bytes, 16);
  const test::ObjdumpResult cwde = test::objdumpDecode(encode("cwde").bytes, 16);
  EXPECT_EQ(cbw.text, "cbw");
  EXPECT_EQ(cbw.length, 1u);
  EXPECT_EQ(cwde.text, "cwde");
  EXPECT_EQ(cwde.length, 2u);
}

TEST_F(IntegerGroups, PopcntIn16BitModeReadByObjdump) {
  // Capstone does not decode popcnt in 16-bit mode.
  setMode(16);
  const test::ObjdumpResult rr = test::objdumpDecode(encode("popcnt", reg(REG_AX), reg(REG_CX)).bytes, 16);
  EXPECT_EQ(rr.text, "popcnt ax,cx");
  EncodeResult m = encode("popcnt", reg(REG_EAX), mem(4, {REG_BX, REG_SI}, 4));
  const test::ObjdumpResult rm = test::objdumpDecode(m.bytes, 16);
  EXPECT_EQ(rm.text, "popcnt eax,DWORD PTR [bx+si+0x4]");
  EXPECT_EQ(rm.length, m.bytes.size());
}

}  // namespace
}  // namespace vorak
