// The instruction table, its length buckets, the lookup and the name list.
#include "encoder/InstructionTable.h"

#include <cstddef>
#include <array>
#include <bit>
#include <cstring>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"

namespace vorak {

// Columns: name, group, flags, flags2, minpar, maxpar, opcode1, opcode2, opcode_r.
// igGOTO rows keep their jump type in opcode1, not an opcode. Five names occur
// twice with identical rows; the lookup finds the first.
constexpr TInstruction instructions[instructionCount] = {
    // 2 characters
    {"or", igALU, 0, 0, 2, 2, 0x00000008, 0x00000080, 1},
    {"bt", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2, 0x00000FA3, 0x00000FBA, 4},
    {"jo", igGOTO, 0, 0, 1, 1, 0x00000000, 0x00000000, 0},
    {"jb", igGOTO, 0, 0, 1, 1, 0x00000002, 0x00000000, 0},
    {"jc", igGOTO, 0, 0, 1, 1, 0x00000002, 0x00000000, 0},
    {"jz", igGOTO, 0, 0, 1, 1, 0x00000004, 0x00000000, 0},
    {"je", igGOTO, 0, 0, 1, 1, 0x00000004, 0x00000000, 0},
    {"ja", igGOTO, 0, 0, 1, 1, 0x00000007, 0x00000000, 0},
    {"js", igGOTO, 0, 0, 1, 1, 0x00000008, 0x00000000, 0},
    {"jp", igGOTO, 0, 0, 1, 1, 0x0000000A, 0x00000000, 0},
    {"jl", igGOTO, 0, 0, 1, 1, 0x0000000C, 0x00000000, 0},
    {"jg", igGOTO, 0, 0, 1, 1, 0x0000000F, 0x00000000, 0},
    // 3 characters
    {"aaa", igEMIT, 0, 0, 0, 0, 0x37000000, 0x00000000, 0},
    {"aad", igEMIT, EMIT2, 0, 0, 0, 0xD50A0000, 0x00000000, 0},
    {"aam", igEMIT, EMIT2, 0, 0, 0, 0xD40A0000, 0x00000000, 0},
    {"aas", igEMIT, 0, 0, 0, 0, 0x3F000000, 0x00000000, 0},
    {"add", igALU, 0, 0, 2, 2, 0x00000000, 0x00000080, 0},
    {"adc", igALU, 0, 0, 2, 2, 0x00000010, 0x00000080, 2},
    {"and", igALU, 0, 0, 2, 2, 0x00000020, 0x00000080, 4},
    {"cmp", igALU, 0, 0, 2, 2, 0x00000038, 0x00000080, 7},
    {"cbw", igEMIT, EMIT2, 0, 0, 0, 0x66980000, 0x00000000, 0},
    {"clc", igEMIT, 0, 0, 0, 0, 0xF8000000, 0x00000000, 0},
    {"cld", igEMIT, 0, 0, 0, 0, 0xFC000000, 0x00000000, 0},
    {"cmc", igEMIT, 0, 0, 0, 0, 0xF5000000, 0x00000000, 0},
    {"daa", igEMIT, 0, 0, 0, 0, 0x27000000, 0x00000000, 0},
    {"das", igEMIT, 0, 0, 0, 0, 0x2F000000, 0x00000000, 0},
    {"jmp", igGOTO, 0, 0, 1, 1, 0x00000010, 0x00000000, 0},
    {"sbb", igALU, 0, 0, 2, 2, 0x00000018, 0x00000080, 3},
    {"sub", igALU, 0, 0, 2, 2, 0x00000028, 0x00000080, 5},
    {"lea", igLEA, 0, 0, 2, 2, 0x8D000000, 0x00000000, 0},
    {"xor", igALU, 0, 0, 2, 2, 0x00000030, 0x00000080, 6},
    {"nop", igEMIT, 0, 0, 0, 0, 0x90000000, 0x00000000, 0},
    {"ud2", igEMIT, EMIT2, 0, 0, 0, 0x0F0B0000, 0x00000000, 0},
    {"stc", igEMIT, 0, 0, 0, 0, 0xF9000000, 0x00000000, 0},
    {"std", igEMIT, 0, 0, 0, 0, 0xFD000000, 0x00000000, 0},
    {"dec", igINCDEC, 0, 0, 1, 1, 0x00000048, 0x000000FE, 1},
    {"inc", igINCDEC, 0, 0, 1, 1, 0x00000040, 0x000000FE, 0},
    {"pop", igPOP, 0, 0, 1, 1, 0x00000058, 0x0000008F, 0},
    {"bsf", igREG_REGMEM, 0, 0, 2, 2, 0x00000FBC, 0x00000000, 0},
    {"bsr", igREG_REGMEM, 0, 0, 2, 2, 0x00000FBD, 0x00000000, 0},
    {"btc", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2, 0x00000FBB, 0x00000FBA, 7},
    {"btr", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2, 0x00000FB3, 0x00000FBA, 6},
    {"bts", igBT, OP_REG16 | OP_REG32 | OP_REG64 | OP_MEM, OP_REG16 | OP_REG32 | OP_REG64 | OP_IMM, 2, 2, 0x00000FAB, 0x00000FBA, 5},
    {"shl", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 4},
    {"rcl", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 2},
    {"rol", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 0},
    {"ror", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 1},
    {"rsm", igEMIT, EMIT2, 0, 0, 0, 0x0FAA0000, 0x00000000, 0},
    {"sal", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 4},
    {"sar", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 7},
    {"shr", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 5},
    {"rcr", igROT, 0, 0, 2, 2, 0x00000000, 0x00000000, 3},
    {"mov", igMOV, 0, 0, 2, 2, 0x00000000, 0x00000000, 0},
    {"div", igREGMEM, 0, 0, 1, 1, 0x000000F6, 0x00000000, 6},
    {"mul", igREGMEM, 0, 0, 1, 1, 0x000000F6, 0x00000000, 4},
    {"neg", igREGMEM, 0, 0, 1, 1, 0x000000F6, 0x00000000, 3},
    {"not", igREGMEM, 0, 0, 1, 1, 0x000000F6, 0x00000000, 2},
    {"ret", igRET, 0, 0, 0, 1, 0x00000000, 0x00000000, 0},
    {"int", igEMIT, EMIT1_BYTE, 0, 1, 1, 0xCD000000, 0x00000000, 0},
    {"clc", igEMIT, 0, 0, 0, 0, 0xF8000000, 0x00000000, 0},
    {"cld", igEMIT, 0, 0, 0, 0, 0xFC000000, 0x00000000, 0},
    {"cli", igEMIT, 0, 0, 0, 0, 0xFA000000, 0x00000000, 0},
    {"sti", igEMIT, 0, 0, 0, 0, 0xFB000000, 0x00000000, 0},
    {"cmc", igEMIT, 0, 0, 0, 0, 0xF5000000, 0x00000000, 0},
    {"hlt", igEMIT, 0, 0, 0, 0, 0xF4000000, 0x00000000, 0},
    {"fld", igX87_MEM_STI, OP_FM4 | OP_FM8 | OP_FM10, 0, 1, 1, 0x00D9DD00, 0xD9C0DB05, 0},
    {"fst", igX87_MEM_STI, OP_FM4 | OP_FM8, 0, 1, 1, 0x00D9DD02, 0xDDD00000, 2},
    {"jne", igGOTO, 0, 0, 1, 1, 0x00000005, 0x00000000, 0},
    {"jnz", igGOTO, 0, 0, 1, 1, 0x00000005, 0x00000000, 0},
    {"jno", igGOTO, 0, 0, 1, 1, 0x00000001, 0x00000000, 0},
    {"jae", igGOTO, 0, 0, 1, 1, 0x00000003, 0x00000000, 0},
    {"jnb", igGOTO, 0, 0, 1, 1, 0x00000003, 0x00000000, 0},
    {"jnc", igGOTO, 0, 0, 1, 1, 0x00000003, 0x00000000, 0},
    {"jbe", igGOTO, 0, 0, 1, 1, 0x00000006, 0x00000000, 0},
    {"jna", igGOTO, 0, 0, 1, 1, 0x00000006, 0x00000000, 0},
    {"jns", igGOTO, 0, 0, 1, 1, 0x00000009, 0x00000000, 0},
    {"jnp", igGOTO, 0, 0, 1, 1, 0x0000000B, 0x00000000, 0},
    {"jpo", igGOTO, 0, 0, 1, 1, 0x0000000B, 0x00000000, 0},
    {"jge", igGOTO, 0, 0, 1, 1, 0x0000000D, 0x00000000, 0},
    {"jnl", igGOTO, 0, 0, 1, 1, 0x0000000D, 0x00000000, 0},
    {"jle", igGOTO, 0, 0, 1, 1, 0x0000000E, 0x00000000, 0},
    {"jng", igGOTO, 0, 0, 1, 1, 0x0000000E, 0x00000000, 0},
    {"jpe", igGOTO, 0, 0, 1, 1, 0x0000000A, 0x00000000, 0},
    {"rep", igEMIT, 0, 0, 0, 0, 0xF3000000, 0x00000000, 0},
    // 4 characters
    {"popf", igEMIT, EMIT2, 0, 0, 0, 0x669D0000, 0x00000000, 0},
    {"shld", igSHLRD, 0, 0, 3, 3, 0x00000FA4, 0x00000000, 0},
    {"shrd", igSHLRD, 0, 0, 3, 3, 0x00000FAC, 0x00000000, 0},
    {"call", igCALL, 0, 0, 1, 1, 0x00000000, 0x00000000, 0},
    {"cdqe", igEMIT, EMIT2 | MINMODE64, 0, 0, 0, 0x48980000, 0x00000000, 0},
    {"cwde", igEMIT, 0, 0, 0, 0, 0x98000000, 0x00000000, 0},
    {"emms", igEMIT, EMIT2, 0, 0, 0, 0x0F770000, 0x00000000, 0},
    {"fabs", igEMIT, EMIT2, 0, 0, 0, 0xD9E10000, 0x00000000, 0},
    {"fchs", igEMIT, EMIT2, 0, 0, 0, 0xD9E00000, 0x00000000, 0},
    {"fcos", igEMIT, EMIT2, 0, 0, 0, 0xD9FF0000, 0x00000000, 0},
    {"fld1", igEMIT, EMIT2, 0, 0, 0, 0xD9E80000, 0x00000000, 0},
    {"fldz", igEMIT, EMIT2, 0, 0, 0, 0xD9EE0000, 0x00000000, 0},
    {"fnop", igEMIT, EMIT2, 0, 0, 0, 0xD9D00000, 0x00000000, 0},
    {"fsin", igEMIT, EMIT2, 0, 0, 0, 0xD9FE0000, 0x00000000, 0},
    {"ftst", igEMIT, EMIT2, 0, 0, 0, 0xD9E40000, 0x00000000, 0},
    {"fxam", igEMIT, EMIT2, 0, 0, 0, 0xD9E50000, 0x00000000, 0},
    {"goto", igGOTO, 0, 0, 1, 1, 0x00000010, 0x00000000, 0},
    {"int3", igEMIT, 0, 0, 0, 0, 0xCC000000, 0x00000000, 0},
    {"push", igPUSH, 0, 0, 1, 1, 0x00000050, 0x000000FF, 6},
    {"sahf", igEMIT, 0, 0, 0, 0, 0x9E000000, 0x00000000, 0},
    {"seta", igRM_S, 0, 0, 1, 1, 0x00000F97, 0x00000000, 0},
    {"setb", igRM_S, 0, 0, 1, 1, 0x00000F92, 0x00000000, 0},
    {"setc", igRM_S, 0, 0, 1, 1, 0x00000F92, 0x00000000, 0},
    {"sete", igRM_S, 0, 0, 1, 1, 0x00000F94, 0x00000000, 0},
    {"setg", igRM_S, 0, 0, 1, 1, 0x00000F9F, 0x00000000, 0},
    {"setl", igRM_S, 0, 0, 1, 1, 0x00000F9C, 0x00000000, 0},
    {"seto", igRM_S, 0, 0, 1, 1, 0x00000F90, 0x00000000, 0},
    {"setp", igRM_S, 0, 0, 1, 1, 0x00000F9A, 0x00000000, 0},
    {"sets", igRM_S, 0, 0, 1, 1, 0x00000F98, 0x00000000, 0},
    {"setz", igRM_S, 0, 0, 1, 1, 0x00000F94, 0x00000000, 0},
    {"test", igTEST, 0, 0, 2, 2, 0x00000000, 0x00000000, 0},
    {"idiv", igREGMEM, 0, 0, 1, 1, 0x000000F6, 0x00000000, 7},
    {"retn", igRET, 0, 0, 0, 1, 0x00000000, 0x00000000, 0},
    {"int3", igEMIT, 0, 0, 0, 0, 0xCC000000, 0x00000000, 0},
    {"xchg", igXCHG, 0, 0, 2, 2, 0x00000000, 0x00000000, 0},
    {"imul", igIMUL, 0, 0, 1, 3, 0x00000000, 0x00000000, 0},
    {"movq", igMMU_MOVQ, 0, 0, 2, 2, 0x00000000, 0x00000000, 0},
    {"jnae", igGOTO, 0, 0, 1, 1, 0x00000002, 0x00000000, 0},
    {"jnbe", igGOTO, 0, 0, 1, 1, 0x00000007, 0x00000000, 0},
    {"jnge", igGOTO, 0, 0, 1, 1, 0x0000000C, 0x00000000, 0},
    {"jnle", igGOTO, 0, 0, 1, 1, 0x0000000F, 0x00000000, 0},
    {"jcxz", igGOTO, 0, 0, 1, 1, 0x000003E7, 0x00000000, 0},
    {"loop", igGOTO, 0, 0, 1, 1, 0x00000072, 0x00000000, 0},
    {"fcom", igX87_FPU_S, 0, 0, 1, 1, 0xD8DCD0D0, 0x00000000, 2},
    {"fadd", igX87_FPU, 0, 0, 1, 2, 0xD8DCC0C0, 0x00000000, 0},
    {"fdiv", igX87_FPU, 0, 0, 1, 2, 0xD8DCF0F8, 0x00000000, 6},
    {"fmul", igX87_FPU, 0, 0, 1, 2, 0xD8DCC8C8, 0x00000000, 1},
    {"fsub", igX87_FPU, 0, 0, 1, 2, 0xD8DCE0E8, 0x00000000, 4},
    {"fstp", igX87_MEM_STI, OP_FM4 | OP_FM8 | OP_FM10, 0, 1, 1, 0x00D9DD03, 0xDDD8DB07, 3},
    {"fild", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, 0xDFDBDF05, 0x00000000, 0},
    {"fist", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDFDB0000, 0x00000000, 2},
    {"pand", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FDB00, 0x00000000, 0},
    {"lock", igEMIT, 0, 0, 0, 0, 0xF0000000, 0x00000000, 0},
    {"repn", igEMIT, 0, 0, 0, 0, 0xF2000000, 0x00000000, 0},
    {"repe", igEMIT, 0, 0, 0, 0, 0xF3000000, 0x00000000, 0},
    {"repz", igEMIT, 0, 0, 0, 0, 0xF3000000, 0x00000000, 0},
    {"xadd", igREGMEM_REG, 0, 0, 2, 2, 0x00000FC0, 0x00000000, 0},
    // 5 characters
    {"bswap", igBSWAP, 0, 0, 1, 1, 0x0000000F, 0x00000000, 0},
    {"enter", igENTER, 0, 0, 2, 2, 0x000000C8, 0x00000000, 0},
    {"pushf", igEMIT, EMIT2, 0, 0, 0, 0x669C0000, 0x00000000, 0},
    {"popfw", igEMIT, EMIT2, 0, 0, 0, 0x669D0000, 0x00000000, 0},
    {"rdtsc", igEMIT, EMIT2, 0, 0, 0, 0x0F310000, 0x00000000, 0},
    {"rdmsr", igEMIT, EMIT2, 0, 0, 0, 0x0F320000, 0x00000000, 0},
    {"rdpmc", igEMIT, EMIT2, 0, 0, 0, 0x0F330000, 0x00000000, 0},
    {"jecxz", igGOTO, 0, 0, 1, 1, 0x00000073, 0x00000000, 0},
    {"loope", igGOTO, 0, 0, 1, 1, 0x00000071, 0x00000000, 0},
    {"loopz", igGOTO, 0, 0, 1, 1, 0x00000071, 0x00000000, 0},
    {"cmpsb", igEMIT, 0, 0, 0, 0, 0xA6000000, 0x00000000, 0},
    {"cmpsw", igEMIT, EMIT2, 0, 0, 0, 0x66A70000, 0x00000000, 0},
    {"cmpsd", igEMIT, 0, 0, 0, 0, 0xA7000000, 0x00000000, 0},
    {"repne", igEMIT, 0, 0, 0, 0, 0xF2000000, 0x00000000, 0},
    {"repnz", igEMIT, 0, 0, 0, 0, 0xF2000000, 0x00000000, 0},
    {"movsb", igEMIT, 0, 0, 0, 0, 0xA4000000, 0x00000000, 0},
    {"movsw", igEMIT, EMIT2, 0, 0, 0, 0x66A50000, 0x00000000, 0},
    {"movsd", igMOVSD, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 0, 2, 0xF2000F10, 0xF2000F11, 0},
    {"scasb", igEMIT, 0, 0, 0, 0, 0xAE000000, 0x00000000, 0},
    {"scasw", igEMIT, EMIT2, 0, 0, 0, 0x66AF0000, 0x00000000, 0},
    {"scasd", igEMIT, 0, 0, 0, 0, 0xAF000000, 0x00000000, 0},
    {"stosb", igEMIT, 0, 0, 0, 0, 0xAA000000, 0x00000000, 0},
    {"stosw", igEMIT, EMIT2, 0, 0, 0, 0x66AB0000, 0x00000000, 0},
    {"stosd", igEMIT, 0, 0, 0, 0, 0xAB000000, 0x00000000, 0},
    {"lodsb", igEMIT, 0, 0, 0, 0, 0xAC000000, 0x00000000, 0},
    {"lodsw", igEMIT, EMIT2, 0, 0, 0, 0x66AD0000, 0x00000000, 0},
    {"lodsd", igEMIT, 0, 0, 0, 0, 0xAD000000, 0x00000000, 0},
    {"cpuid", igEMIT, EMIT2 | MINMODE32, 0, 0, 0, 0x0FA20000, 0x00000000, 0},
    {"f2xm1", igEMIT, EMIT2, 0, 0, 0, 0xD9F00000, 0x00000000, 0},
    {"fclex", igEMIT, EMIT3, 0, 0, 0, 0x9BDBE200, 0x00000000, 0},
    {"femms", igEMIT, EMIT2, 0, 0, 0, 0x0F0E0000, 0x00000000, 0},
    {"finit", igEMIT, EMIT3, 0, 0, 0, 0x9BDBE300, 0x00000000, 0},
    {"fldpi", igEMIT, EMIT2, 0, 0, 0, 0xD9EB0000, 0x00000000, 0},
    {"fprem", igEMIT, EMIT2, 0, 0, 0, 0xD9F80000, 0x00000000, 0},
    {"fptan", igEMIT, EMIT2, 0, 0, 0, 0xD9F20000, 0x00000000, 0},
    {"fsqrt", igEMIT, EMIT2, 0, 0, 0, 0xD9FA0000, 0x00000000, 0},
    {"fwait", igEMIT, 0, 0, 0, 0, 0x9B000000, 0x00000000, 0},
    {"leave", igEMIT, 0, 0, 0, 0, 0xC9000000, 0x00000000, 0},
    {"mwait", igEMIT, EMIT3, 0, 0, 0, 0x0F01C900, 0x00000000, 0},
    {"pause", igEMIT, EMIT2, 0, 0, 0, 0xF3900000, 0x00000000, 0},
    {"popad", igEMIT, 0, 0, 0, 0, 0x61000000, 0x00000000, 0},
    {"popfd", igEMIT, 0, 0, 0, 0, 0x9D000000, 0x00000000, 0},
    {"popfq", igEMIT, 0, 0, 0, 0, 0x9D000000, 0x00000000, 0},
    {"fyl2x", igEMIT, EMIT2, 0, 0, 0, 0xD9F10000, 0x00000000, 0},
    {"cmova", igREG_REGMEM, 0, 0, 2, 2, 0x00000F47, 0x00000000, 0},
    {"cmovb", igREG_REGMEM, 0, 0, 2, 2, 0x00000F42, 0x00000000, 0},
    {"cmovc", igREG_REGMEM, 0, 0, 2, 2, 0x00000F42, 0x00000000, 0},
    {"cmove", igREG_REGMEM, 0, 0, 2, 2, 0x00000F44, 0x00000000, 0},
    {"cmovg", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4F, 0x00000000, 0},
    {"cmovl", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4C, 0x00000000, 0},
    {"cmovo", igREG_REGMEM, 0, 0, 2, 2, 0x00000F40, 0x00000000, 0},
    {"cmovp", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4A, 0x00000000, 0},
    {"cmovs", igREG_REGMEM, 0, 0, 2, 2, 0x00000F48, 0x00000000, 0},
    {"cmovz", igREG_REGMEM, 0, 0, 2, 2, 0x00000F44, 0x00000000, 0},
    {"setae", igRM_S, 0, 0, 1, 1, 0x00000F93, 0x00000000, 0},
    {"setbe", igRM_S, 0, 0, 1, 1, 0x00000F96, 0x00000000, 0},
    {"setge", igRM_S, 0, 0, 1, 1, 0x00000F9D, 0x00000000, 0},
    {"setle", igRM_S, 0, 0, 1, 1, 0x00000F9E, 0x00000000, 0},
    {"setna", igRM_S, 0, 0, 1, 1, 0x00000F96, 0x00000000, 0},
    {"setnb", igRM_S, 0, 0, 1, 1, 0x00000F93, 0x00000000, 0},
    {"setnc", igRM_S, 0, 0, 1, 1, 0x00000F93, 0x00000000, 0},
    {"setne", igRM_S, 0, 0, 1, 1, 0x00000F95, 0x00000000, 0},
    {"setng", igRM_S, 0, 0, 1, 1, 0x00000F9E, 0x00000000, 0},
    {"setnl", igRM_S, 0, 0, 1, 1, 0x00000F9D, 0x00000000, 0},
    {"setno", igRM_S, 0, 0, 1, 1, 0x00000F91, 0x00000000, 0},
    {"setnp", igRM_S, 0, 0, 1, 1, 0x00000F9B, 0x00000000, 0},
    {"setns", igRM_S, 0, 0, 1, 1, 0x00000F99, 0x00000000, 0},
    {"setnz", igRM_S, 0, 0, 1, 1, 0x00000F95, 0x00000000, 0},
    {"setpe", igRM_S, 0, 0, 1, 1, 0x00000F9A, 0x00000000, 0},
    {"setpo", igRM_S, 0, 0, 1, 1, 0x00000F9B, 0x00000000, 0},
    {"movsx", igMOVSX_MOVZX, 0, 0, 2, 2, 0x00000FBE, 0x00000000, 0},
    {"movzx", igMOVSX_MOVZX, 0, 0, 2, 2, 0x00000FB6, 0x00000000, 0},
    {"fcomp", igX87_FPU_S, 0, 0, 1, 1, 0xD8DCD8D8, 0x00000000, 3},
    {"fdivr", igX87_FPU, 0, 0, 1, 2, 0xD8DCF8F0, 0x00000000, 7},
    {"fsubr", igX87_FPU, 0, 0, 1, 2, 0xD8DCE8E0, 0x00000000, 5},
    {"fiadd", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 0},
    {"ficom", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 2},
    {"fidiv", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 6},
    {"fimul", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 1},
    {"fistp", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, 0xDFDBDF07, 0x00000000, 3},
    {"fisub", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 4},
    {"addpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5800, 0x00000000, 0},
    {"addps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5800, 0x00000000, 0},
    {"addsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5800, 0x00000000, 0},
    {"addss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5800, 0x00000000, 0},
    {"andpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5400, 0x00000000, 0},
    {"andps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5400, 0x00000000, 0},
    {"pslld", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FF200, 0x000F7200, 6},
    {"psllq", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FF300, 0x000F7300, 6},
    {"psllw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FF100, 0x000F7100, 6},
    {"psrad", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FE200, 0x000F7200, 4},
    {"psraw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FE100, 0x000F7100, 4},
    {"psrld", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FD200, 0x000F7200, 2},
    {"psrlq", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FD300, 0x000F7300, 2},
    {"psrlw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_IMM | OP_MEM, 2, 2, 0x000FD100, 0x000F7100, 2},
    {"psubb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FF800, 0x00000000, 0},
    {"psubd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FFA00, 0x00000000, 0},
    {"psubq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FFB00, 0x00000000, 0},
    {"maxpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5F00, 0x00000000, 0},
    {"maxps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5F00, 0x00000000, 0},
    {"maxsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5F00, 0x00000000, 0},
    {"maxss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5F00, 0x00000000, 0},
    {"minpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5D00, 0x00000000, 0},
    {"minps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5D00, 0x00000000, 0},
    {"minsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5D00, 0x00000000, 0},
    {"minss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5D00, 0x00000000, 0},
    {"pabsb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x0F381C00, 0x00000000, 0},
    {"pabsd", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x0F381E00, 0x00000000, 0},
    {"pabsw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x0F381D00, 0x00000000, 0},
    {"paddb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FFC00, 0x00000000, 0},
    {"paddd", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FFE00, 0x00000000, 0},
    {"paddq", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FD400, 0x00000000, 0},
    {"paddw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FFD00, 0x00000000, 0},
    {"pandn", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FDF00, 0x00000000, 0},
    {"pavgb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FE000, 0x00000000, 0},
    {"pavgw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FE300, 0x00000000, 0},
    {"psubw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FF900, 0x00000000, 0},
    {"ptest", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3817, 0x00000000, 0},
    {"divpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5E00, 0x00000000, 0},
    {"divps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5E00, 0x00000000, 0},
    {"divsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5E00, 0x00000000, 0},
    {"divss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5E00, 0x00000000, 0},
    {"mulpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5900, 0x00000000, 0},
    {"mulps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5900, 0x00000000, 0},
    {"mulsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5900, 0x00000000, 0},
    {"mulss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5900, 0x00000000, 0},
    {"lddqu", igSSE, OP_XMM, OP_MEM, 2, 2, 0xF20FF000, 0x00000000, 0},
    {"subpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5C00, 0x00000000, 0},
    {"subps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5C00, 0x00000000, 0},
    {"subsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5C00, 0x00000000, 0},
    {"subss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5C00, 0x00000000, 0},
    {"xorpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5700, 0x00000000, 0},
    {"xorps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5700, 0x00000000, 0},
    {"movss", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0xF3000F10, 0xF3000F11, 0},
    // 6 characters
    {"loopne", igGOTO, 0, 0, 1, 1, 0x00000070, 0x00000000, 0},
    {"loopnz", igGOTO, 0, 0, 1, 1, 0x00000070, 0x00000000, 0},
    {"pushfw", igEMIT, EMIT2, 0, 0, 0, 0x669C0000, 0x00000000, 0},
    {"pushfd", igEMIT, 0, 0, 0, 0, 0x9C000000, 0x00000000, 0},
    {"fcompp", igEMIT, EMIT2, 0, 0, 0, 0xDED90000, 0x00000000, 0},
    {"fldl2e", igEMIT, EMIT2, 0, 0, 0, 0xD9EA0000, 0x00000000, 0},
    {"fldl2t", igEMIT, EMIT2, 0, 0, 0, 0xD9E90000, 0x00000000, 0},
    {"fldlg2", igEMIT, EMIT2, 0, 0, 0, 0xD9EC0000, 0x00000000, 0},
    {"fldln2", igEMIT, EMIT2, 0, 0, 0, 0xD9ED0000, 0x00000000, 0},
    {"fnclex", igEMIT, EMIT2, 0, 0, 0, 0xDBE20000, 0x00000000, 0},
    {"fninit", igEMIT, EMIT2, 0, 0, 0, 0xDBE30000, 0x00000000, 0},
    {"fpatan", igEMIT, EMIT2, 0, 0, 0, 0xD9F30000, 0x00000000, 0},
    {"fprem1", igEMIT, EMIT2, 0, 0, 0, 0xD9F50000, 0x00000000, 0},
    {"fscale", igEMIT, EMIT2, 0, 0, 0, 0xD9FD0000, 0x00000000, 0},
    {"lfence", igEMIT, EMIT3, 0, 0, 0, 0x0FAEE800, 0x00000000, 0},
    {"mfence", igEMIT, EMIT3, 0, 0, 0, 0x0FAEF000, 0x00000000, 0},
    {"sfence", igEMIT, EMIT3, 0, 0, 0, 0x0FAEF800, 0x00000000, 0},
    {"pushad", igEMIT, 0, 0, 0, 0, 0x60000000, 0x00000000, 0},
    {"pushfd", igEMIT, 0, 0, 0, 0, 0x9C000000, 0x00000000, 0},
    {"pushfq", igEMIT, 0, 0, 0, 0, 0x9C000000, 0x00000000, 0},
    {"cmovae", igREG_REGMEM, 0, 0, 2, 2, 0x00000F43, 0x00000000, 0},
    {"cmovbe", igREG_REGMEM, 0, 0, 2, 2, 0x00000F46, 0x00000000, 0},
    {"cmovge", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4D, 0x00000000, 0},
    {"cmovle", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4E, 0x00000000, 0},
    {"cmovna", igREG_REGMEM, 0, 0, 2, 2, 0x00000F46, 0x00000000, 0},
    {"cmovnb", igREG_REGMEM, 0, 0, 2, 2, 0x00000F43, 0x00000000, 0},
    {"cmovnc", igREG_REGMEM, 0, 0, 2, 2, 0x00000F43, 0x00000000, 0},
    {"cmovne", igREG_REGMEM, 0, 0, 2, 2, 0x00000F45, 0x00000000, 0},
    {"cmovng", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4E, 0x00000000, 0},
    {"cmovnl", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4D, 0x00000000, 0},
    {"cmovno", igREG_REGMEM, 0, 0, 2, 2, 0x00000F41, 0x00000000, 0},
    {"cmovnp", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4B, 0x00000000, 0},
    {"cmovns", igREG_REGMEM, 0, 0, 2, 2, 0x00000F49, 0x00000000, 0},
    {"cmovnz", igREG_REGMEM, 0, 0, 2, 2, 0x00000F45, 0x00000000, 0},
    {"cmovpe", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4A, 0x00000000, 0},
    {"cmovpo", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4B, 0x00000000, 0},
    {"popcnt", igREG_REGMEM, 0, 0, 2, 2, 0xF3000FB8, 0x00000000, 0},
    {"setnae", igRM_S, 0, 0, 1, 1, 0x00000F92, 0x00000000, 0},
    {"setnbe", igRM_S, 0, 0, 1, 1, 0x00000F97, 0x00000000, 0},
    {"setnge", igRM_S, 0, 0, 1, 1, 0x00000F9C, 0x00000000, 0},
    {"setnle", igRM_S, 0, 0, 1, 1, 0x00000F9F, 0x00000000, 0},
    {"fisttp", igX87_MEM, OP_FM2 | OP_FM4 | OP_FM8, 0, 1, 1, 0xDFDBDD01, 0x00000000, 1},
    {"ficomp", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 3},
    {"fidivr", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 7},
    {"fisubr", igX87_MEM, OP_FM2 | OP_FM4, 0, 1, 1, 0xDEDA0000, 0x00000000, 5},
    {"andnpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5500, 0x00000000, 0},
    {"andnps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5500, 0x00000000, 0},
    {"comisd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F2F00, 0x00000000, 0},
    {"comiss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F2F00, 0x00000000, 0},
    {"haddpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F7C00, 0x00000000, 0},
    {"haddps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F7C00, 0x00000000, 0},
    {"hsubpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F7D00, 0x00000000, 0},
    {"hsubps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F7D00, 0x00000000, 0},
    {"paddsb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FEC00, 0x00000000, 0},
    {"paddsw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FED00, 0x00000000, 0},
    {"phaddw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F3801, 0x00000000, 0},
    {"phsubd", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F3806, 0x00000000, 0},
    {"phsubw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F3805, 0x00000000, 0},
    {"pmaxsb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383C, 0x00000000, 0},
    {"pmaxsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383D, 0x00000000, 0},
    {"pmaxsw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FEE00, 0x00000000, 0},
    {"pmaxub", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FDE00, 0x00000000, 0},
    {"pmaxud", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383F, 0x00000000, 0},
    {"pmaxuw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383E, 0x00000000, 0},
    {"pminsb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3838, 0x00000000, 0},
    {"pminsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3839, 0x00000000, 0},
    {"pminsw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FEA00, 0x00000000, 0},
    {"pminub", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FDA00, 0x00000000, 0},
    {"pminud", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383B, 0x00000000, 0},
    {"pminuw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F383A, 0x00000000, 0},
    {"pmuldq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3828, 0x00000000, 0},
    {"pmulhw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FE500, 0x00000000, 0},
    {"pmulld", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3840, 0x00000000, 0},
    {"pmullw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FD500, 0x00000000, 0},
    {"psignb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F3808, 0x00000000, 0},
    {"psignd", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F380A, 0x00000000, 0},
    {"psignw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000F3809, 0x00000000, 0},
    {"psubsb", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FE800, 0x00000000, 0},
    {"psubsw", igSSE, OP_XMM | OP_ST, OP_XMM | OP_ST | OP_MEM, 2, 2, 0x000FE900, 0x00000000, 0},
    {"pslldq", igSSE, OP_XMM, OP_IMM, 2, 2, 0x00000000, 0x660F7300, 7},
    {"psrldq", igSSE, OP_XMM, OP_IMM, 2, 2, 0x00000000, 0x660F7300, 3},
    {"sqrtpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F5100, 0x00000000, 0},
    {"sqrtps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F5100, 0x00000000, 0},
    {"sqrtsd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20F5100, 0x00000000, 0},
    {"sqrtss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30F5100, 0x00000000, 0},
    {"movntq", igMMU_MOV, OP_MEM, OP_MM, 2, 2, 0x00000000, 0x00000FE7, 0},
    {"movapd", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x66000F28, 0x66000F29, 0},
    {"movaps", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x00000F28, 0x00000F29, 0},
    {"movdqa", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x66000F6F, 0x66000F7F, 0},
    {"movdqu", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0xF3000F6F, 0xF3000F7F, 0},
    {"movlpd", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x66000F12, 0x66000F13, 0},
    {"movlps", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x00000F12, 0x00000F13, 0},
    {"movhpd", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x66000F16, 0x66000F17, 0},
    {"movhps", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x00000F16, 0x00000F17, 0},
    {"movupd", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x66000F10, 0x66000F11, 0},
    {"movups", igMMU_MOV, OP_XMM | OP_MEM, OP_XMM | OP_MEM, 2, 2, 0x00000F10, 0x00000F11, 0},
    {"movnti", igMMU_MOV, OP_MEM, OP_REG32 | OP_REG64, 2, 2, 0x00000000, 0x00000FC3, 0},
    // 7 characters
    {"cmpxchg", igREGMEM_REG, 0, 0, 2, 2, 0x00000FB0, 0x00000000, 0},
    {"fdecstp", igEMIT, EMIT2, 0, 0, 0, 0xD9F60000, 0x00000000, 0},
    {"fincstp", igEMIT, EMIT2, 0, 0, 0, 0xD9F70000, 0x00000000, 0},
    {"frndint", igEMIT, EMIT2, 0, 0, 0, 0xD9FC0000, 0x00000000, 0},
    {"fsincos", igEMIT, EMIT2, 0, 0, 0, 0xD9FB0000, 0x00000000, 0},
    {"fucompp", igEMIT, EMIT2, 0, 0, 0, 0xDAE90000, 0x00000000, 0},
    {"fyl2xp1", igEMIT, EMIT2, 0, 0, 0, 0xD9F90000, 0x00000000, 0},
    {"monitor", igEMIT, EMIT3, 0, 0, 0, 0x0F01C800, 0x00000000, 0},
    {"cmovnae", igREG_REGMEM, 0, 0, 2, 2, 0x00000F42, 0x00000000, 0},
    {"cmovnbe", igREG_REGMEM, 0, 0, 2, 2, 0x00000F47, 0x00000000, 0},
    {"cmovnge", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4C, 0x00000000, 0},
    {"cmovnle", igREG_REGMEM, 0, 0, 2, 2, 0x00000F4F, 0x00000000, 0},
    {"movq2dq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF30FD600, 0x00000000, 0},
    {"paddusb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FDC00, 0x00000000, 0},
    {"paddusw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FDD00, 0x00000000, 0},
    {"pcmpeqb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F7400, 0x00000000, 0},
    {"pcmpeqd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F7600, 0x00000000, 0},
    {"pcmpeqq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3829, 0x00000000, 0},
    {"pcmpeqw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F7500, 0x00000000, 0},
    {"pcmpgtb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F6400, 0x00000000, 0},
    {"pcmpgtd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F6600, 0x00000000, 0},
    {"pcmpgtq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3837, 0x00000000, 0},
    {"pcmpgtw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F6500, 0x00000000, 0},
    {"phaddsw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3803, 0x00000000, 0},
    {"phsubsw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F3807, 0x00000000, 0},
    {"pmaddwd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FF500, 0x00000000, 0},
    {"pmulhuw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FE400, 0x00000000, 0},
    {"pmuludq", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FF400, 0x00000000, 0},
    {"psubusb", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FD800, 0x00000000, 0},
    {"psubusw", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FD900, 0x00000000, 0},
    {"ucomisd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660F2E00, 0x00000000, 0},
    {"ucomiss", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x000F2E00, 0x00000000, 0},
    {"movddup", igMMU_MOV, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF2000F12, 0x00000000, 0},
    {"movdq2q", igMMU_MOV, OP_MM, OP_XMM, 2, 2, 0xF2000FD6, 0x00000000, 0},
    {"movhlps", igMMU_MOV, OP_XMM, OP_XMM, 2, 2, 0x00000F12, 0x00000000, 0},
    {"movlhps", igMMU_MOV, OP_XMM, OP_XMM, 2, 2, 0x00000F16, 0x00000000, 0},
    {"movntdq", igMMU_MOV, OP_MEM, OP_XMM, 2, 2, 0x00000000, 0x66000FE7, 0},
    {"movntpd", igMMU_MOV, OP_MEM, OP_XMM, 2, 2, 0x00000000, 0x66000F2B, 0},
    {"movntps", igMMU_MOV, OP_MEM, OP_XMM, 2, 2, 0x00000000, 0x00000F2B, 0},
    // 8 characters
    {"addsubpd", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0x660FD000, 0x00000000, 0},
    {"addsubps", igSSE, OP_XMM, OP_XMM | OP_MEM, 2, 2, 0xF20FD000, 0x00000000, 0},
    {"movmskpd", igMMU_MOV, OP_REG32 | OP_REG64 | OP_NOREX, OP_XMM, 2, 2, 0x66000F50, 0x00000000, 0},
    {"movmskps", igMMU_MOV, OP_REG32 | OP_REG64 | OP_NOREX, OP_XMM, 2, 2, 0x00000F50, 0x00000000, 0},
    {"movntdqa", igMMU_MOV, OP_XMM, OP_MEM, 2, 2, 0x660F382A, 0x00000000, 0},
};

constexpr TInstruction empty_instruction = {"", ig__TOTAL, 0, 0, 0, 0, 0, 0, 0};

namespace {

constexpr size_t kMinNameLength = 2;
constexpr size_t kMaxNameLength = 9;

// Indexed by name length; lengths without a bucket are rejected before any scan.
constexpr TInstructionLoopup kBuckets[kMaxNameLength + 1] = {
    {0, 0}, {0, 0},  // 0 and 1: never looked at
    {0, 12}, {12, 72}, {84, 57}, {141, 134}, {275, 97}, {372, 39}, {411, 5}, {416, 0},
};

// --- Compile-time checks that tie the rows to the buckets and the groups. ---

constexpr size_t nameLength(const TInstruction& row) {
  size_t n = 0;
  while (n < sizeof row.name && row.name[n] != '\0') ++n;
  return n;
}

constexpr bool sameName(const TInstruction& a, const TInstruction& b) {
  for (size_t i = 0; i < sizeof a.name; ++i)
    if (a.name[i] != b.name[i]) return false;
  return true;
}

constexpr bool sameRow(const TInstruction& a, const TInstruction& b) {
  return sameName(a, b) && a.group == b.group && a.flags == b.flags && a.flags2 == b.flags2 &&
         a.minpar == b.minpar && a.maxpar == b.maxpar && a.opcode1 == b.opcode1 &&
         a.opcode2 == b.opcode2 && a.opcode_r == b.opcode_r;
}

constexpr bool bucketsTileTable() {
  uint32_t next = 0;
  for (size_t len = kMinNameLength; len <= kMaxNameLength; ++len) {
    if (kBuckets[len].offset != next) return false;
    next += kBuckets[len].count;
  }
  return next == instructionCount;
}

// Also catches a short initialiser list: the zero-filled tail has length 0.
constexpr bool rowsMatchTheirBucket() {
  for (size_t len = kMinNameLength; len <= kMaxNameLength; ++len)
    for (uint32_t i = 0; i < kBuckets[len].count; ++i)
      if (nameLength(instructions[kBuckets[len].offset + i]) != len) return false;
  return true;
}

// A name that occurs twice must mean the same instruction both times, or the
// second row would be silently unreachable.
constexpr bool duplicatesAreIdentical() {
  for (size_t len = kMinNameLength; len <= kMaxNameLength; ++len) {
    const uint32_t first = kBuckets[len].offset, end = first + kBuckets[len].count;
    for (uint32_t i = first; i < end; ++i)
      for (uint32_t j = i + 1; j < end; ++j)
        if (sameName(instructions[i], instructions[j]) && !sameRow(instructions[i], instructions[j]))
          return false;
  }
  return true;
}

constexpr bool rowsAreSane() {
  for (const TInstruction& row : instructions)
    if (row.group >= ig__TOTAL || row.minpar > row.maxpar || row.maxpar > 3 || row.opcode_r > 7)
      return false;
  return true;
}

constexpr uint32_t rowsOfGroup(TInstructionGroup group) {
  uint32_t n = 0;
  for (const TInstruction& row : instructions)
    if (row.group == group) ++n;
  return n;
}

static_assert(ig__TOTAL == 31);
static_assert(sizeof instructions / sizeof instructions[0] == 416);
static_assert(bucketsTileTable());
static_assert(kBuckets[2].offset == 0 && kBuckets[2].count == 12);
static_assert(kBuckets[3].offset == 12 && kBuckets[3].count == 72);
static_assert(kBuckets[4].offset == 84 && kBuckets[4].count == 57);
static_assert(kBuckets[5].offset == 141 && kBuckets[5].count == 134);
static_assert(kBuckets[6].offset == 275 && kBuckets[6].count == 97);
static_assert(kBuckets[7].offset == 372 && kBuckets[7].count == 39);
static_assert(kBuckets[8].offset == 411 && kBuckets[8].count == 5);
static_assert(kBuckets[9].offset == 416 && kBuckets[9].count == 0);
static_assert(rowsMatchTheirBucket());
static_assert(duplicatesAreIdentical());
static_assert(rowsAreSane());
static_assert(rowsOfGroup(igEMIT) == 106);
static_assert(rowsOfGroup(igALU) == 8);
static_assert(rowsOfGroup(igLEA) == 1);
static_assert(rowsOfGroup(igPUSH) == 1);
static_assert(rowsOfGroup(igPOP) == 1);
static_assert(rowsOfGroup(igCALL) == 1);
static_assert(rowsOfGroup(igGOTO) == 39);
static_assert(rowsOfGroup(igINCDEC) == 2);
static_assert(rowsOfGroup(igBT) == 4);
static_assert(rowsOfGroup(igROT) == 8);
static_assert(rowsOfGroup(igSHLRD) == 2);
static_assert(rowsOfGroup(igRM_S) == 30);
static_assert(rowsOfGroup(igENTER) == 1);
static_assert(rowsOfGroup(igBSWAP) == 1);
static_assert(rowsOfGroup(igMMU_MOVQ) == 1);
static_assert(rowsOfGroup(igMOVSX_MOVZX) == 2);
static_assert(rowsOfGroup(igMOV) == 1);
static_assert(rowsOfGroup(igTEST) == 1);
static_assert(rowsOfGroup(igREGMEM) == 5);
static_assert(rowsOfGroup(igRET) == 2);
static_assert(rowsOfGroup(igXCHG) == 1);
static_assert(rowsOfGroup(igIMUL) == 1);
static_assert(rowsOfGroup(igREG_REGMEM) == 33);
static_assert(rowsOfGroup(igREGMEM_REG) == 2);
static_assert(rowsOfGroup(igX87_FPU_S) == 2);
static_assert(rowsOfGroup(igX87_FPU) == 6);
static_assert(rowsOfGroup(igX87_MEM_STI) == 3);
static_assert(rowsOfGroup(igX87_MEM) == 12);
static_assert(rowsOfGroup(igMOVSD) == 1);
static_assert(rowsOfGroup(igSSE) == 115);
static_assert(rowsOfGroup(igMMU_MOV) == 23);
static_assert(empty_instruction.group == ig__TOTAL && nameLength(empty_instruction) == 0);

// Width of one column of the printed list, and names per line.
constexpr size_t kListColumn = 13;
constexpr uint32_t kListPerLine = 6;

}  // namespace

namespace {

// Every mnemonic fits eight bytes, so a name packs into one integer and a
// lookup is one hash probe and an integer compare instead of a walk over the
// names of its length bucket. The first row of a name wins, as in a walk.
constexpr size_t kPackedMax = 8;

constexpr uint64_t packName(const char* s, size_t n) {
  uint64_t key = 0;
  for (size_t i = 0; i < n; ++i) key |= static_cast<uint64_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return key;
}

struct TNameSlot {
  uint64_t key;
  uint16_t row;  // row index + 1; 0 marks a free slot
  uint8_t length;
};

constexpr size_t kSlotBits = 10;
constexpr size_t kSlots = size_t{1} << kSlotBits;  // under half full
constexpr size_t slotOf(uint64_t key) { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)); }

constexpr std::array<TNameSlot, kSlots> buildNameIndex() {
  std::array<TNameSlot, kSlots> t{};
  for (size_t i = 0; i < instructionCount; ++i) {
    const size_t len = nameLength(instructions[i]);
    const uint64_t key = packName(instructions[i].name, len);
    size_t h = slotOf(key);
    while (t[h].row && !(t[h].key == key && t[h].length == len)) h = (h + 1) & (kSlots - 1);
    if (!t[h].row) t[h] = {key, static_cast<uint16_t>(i + 1), static_cast<uint8_t>(len)};
  }
  return t;
}

constexpr auto kNameIndex = buildNameIndex();

constexpr bool namesAreIndexed() {
  for (size_t len = kMinNameLength; len <= kMaxNameLength; ++len)
    if (kBuckets[len].count && len > kPackedMax) return false;
  return true;
}
static_assert(namesAreIndexed(), "every mnemonic must fit the packed key");

}  // namespace

namespace {

constexpr std::array<uint16_t, 26> buildLengthsByFirst() {
  std::array<uint16_t, 26> t{};
  for (size_t i = 0; i < instructionCount; ++i) {
    const char c = instructions[i].name[0];
    if (c < 'a' || c > 'z') throw "a mnemonic starts with a lower-case letter";
    t[static_cast<size_t>(c - 'a')] |= static_cast<uint16_t>(1u << nameLength(instructions[i]));
  }
  return t;
}

}  // namespace

constinit const std::array<uint16_t, 26> mnemonicLengths = buildLengthsByFirst();

PInstruction opcodeLookup(std::string_view text) {
  const size_t len = text.size();
  if (len < kMinNameLength || len > kMaxNameLength || len > kPackedMax) return nullptr;
  // Byte by byte rather than a memcpy of a length known only now: names are
  // short, and this stays inline.
  return opcodeLookupPacked(packName(text.data(), len), len);
}

PInstruction opcodeLookupPacked(uint64_t key, size_t len) {
  if (len < kMinNameLength || len > kMaxNameLength || len > kPackedMax) return nullptr;
  for (size_t h = slotOf(key);; h = (h + 1) & (kSlots - 1)) {
    const TNameSlot& slot = kNameIndex[h];
    if (!slot.row) return nullptr;
    if (slot.key == key && slot.length == len) return &instructions[slot.row - 1];
  }
}

uint8_t B(uint32_t opcodeWord, int index) {
  switch (index) {
    case 1: return static_cast<uint8_t>(opcodeWord >> 24);
    case 2: return static_cast<uint8_t>(opcodeWord >> 16);
    case 3: return static_cast<uint8_t>(opcodeWord >> 8);
    case 4: return static_cast<uint8_t>(opcodeWord);
    default: break;
  }
  if (Log) Log->FatalError(msg::OpcodeByteIndex);
  // Without a log there is nobody to tell; still never hand back a made-up byte.
  throw EAbort();
}

std::string listInstructions(bool forJs) {
  std::string s;
  if (!forJs) {
    s.reserve(8 + instructionCount * kListColumn + 2 * (instructionCount / kListPerLine));
    s += "[" + std::to_string(instructionCount) + "]\r\n";
    for (uint32_t i = 0; i < instructionCount; ++i) {
      const size_t len = nameLength(instructions[i]);
      s.append(instructions[i].name, len);
      if (len < kListColumn) s.append(kListColumn - len, ' ');
      if ((i + 1) % kListPerLine == 0) s += "\r\n";
    }
    return s;
  }
  for (size_t len = 1; len <= 15; ++len) {
    std::string names;
    for (const TInstruction& row : instructions) {
      if (nameLength(row) != len) continue;
      if (!names.empty()) names += '|';
      names.append(row.name, len);
    }
    if (names.empty()) continue;
    s += "var asm_l" + std::to_string(len) + " = /(\\b)(" + names + ")(\\b)/ig\r\n";
  }
  return s;
}

}  // namespace vorak
