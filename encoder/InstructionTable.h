// The instruction table: one constant record per mnemonic, its lookup by name
// and the name list that "-listinstructions" prints.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorak {

// The encoding rule that builds a row's bytes.
enum TInstructionGroup : uint8_t {
  igEMIT = 0,
  igALU = 1,
  igLEA = 2,
  igPUSH = 3,
  igPOP = 4,
  igCALL = 5,
  igGOTO = 6,
  igINCDEC = 7,
  igBT = 8,
  igROT = 9,
  igSHLRD = 10,
  igRM_S = 11,
  igENTER = 12,
  igBSWAP = 13,
  igMMU_MOVQ = 14,
  igMOVSX_MOVZX = 15,
  igMOV = 16,
  igTEST = 17,
  igREGMEM = 18,
  igRET = 19,
  igXCHG = 20,
  igIMUL = 21,
  igREG_REGMEM = 22,
  igREGMEM_REG = 23,
  igX87_FPU_S = 24,
  igX87_FPU = 25,
  igX87_MEM_STI = 26,
  igX87_MEM = 27,
  igMOVSD = 28,
  igSSE = 29,
  igMMU_MOV = 30,
  ig__TOTAL = 31  // a record without group
};

// Bits of TInstruction::flags and ::flags2: operand classes, mode limits and,
// for igEMIT, how many opcode bytes to emit.
inline constexpr uint32_t EMIT2 = 0x1;
inline constexpr uint32_t EMIT3 = 0x2;
inline constexpr uint32_t MINMODE32 = 0x4;
inline constexpr uint32_t MINMODE64 = 0x8;
inline constexpr uint32_t OP_XMM = 0x10;
inline constexpr uint32_t OP_REG16 = 0x20;
inline constexpr uint32_t OP_REG32 = 0x40;
inline constexpr uint32_t OP_REG64 = 0x80;
inline constexpr uint32_t OP_ST = 0x100;  // st(n), and mm(n) in the MMX groups
inline constexpr uint32_t OP_IMM = 0x200;
inline constexpr uint32_t OP_NOREX = 0x400;
inline constexpr uint32_t OP_MEM = 0x800;
inline constexpr uint32_t OP_FM1 = 0x1000;
inline constexpr uint32_t OP_FM2 = 0x2000;
inline constexpr uint32_t OP_FM4 = 0x4000;
inline constexpr uint32_t OP_FM8 = 0x8000;
// One bit, two readings: a 10-byte x87 operand, or an mm register in MMX/SSE rows.
inline constexpr uint32_t OP_FM10 = 0x10000;
inline constexpr uint32_t OP_MM = 0x10000;
inline constexpr uint32_t EMIT1_BYTE = 0x20000;
// Spare bits; no row sets them.
inline constexpr uint32_t FLAG19 = 0x40000;
inline constexpr uint32_t FLAG20 = 0x80000;
inline constexpr uint32_t FLAG21 = 0x100000;
inline constexpr uint32_t FLAG22 = 0x200000;
inline constexpr uint32_t FLAG23 = 0x400000;
inline constexpr uint32_t FLAG24 = 0x800000;
inline constexpr uint32_t FLAG25 = 0x1000000;
inline constexpr uint32_t FLAG26 = 0x2000000;
inline constexpr uint32_t FLAG27 = 0x4000000;
inline constexpr uint32_t FLAG28 = 0x8000000;
inline constexpr uint32_t FLAG29 = 0x10000000;
inline constexpr uint32_t FLAG30 = 0x20000000;
inline constexpr uint32_t FLAG31 = 0x40000000;
inline constexpr uint32_t FLAG32 = 0x80000000;

inline constexpr uint32_t OP_REG32_64 = 0xC0;
inline constexpr uint32_t OP_REG32_OR_64 = 0xC0;
inline constexpr uint32_t OP_REG16_32_64 = 0xE0;
inline constexpr uint32_t OP_MM_MEM = 0x10800;
inline constexpr uint32_t OP_XMM_MEM = 0x810;
inline constexpr uint32_t OP_XMM_OR_MEM = 0x810;
inline constexpr uint32_t OP_MM_XMM = 0x10010;
inline constexpr uint32_t OP_MM_XMM_MEM = 0x10810;
inline constexpr uint32_t OP_ST_OR_XMM = 0x110;
inline constexpr uint32_t OP_ST_OR_XMM_OR_MEM = 0x910;
inline constexpr uint32_t OP_FM2_4 = 0x6000;
inline constexpr uint32_t OP_FM4_8 = 0xC000;
inline constexpr uint32_t OP_FM2_4_8 = 0xE000;
inline constexpr uint32_t OP_FM4_8_10 = 0x1C000;

// One mnemonic. Opcode words hold up to four bytes, the first byte (B1) in the
// most significant position.
struct TInstruction {
  char name[16];  // lower case, NUL-padded
  TInstructionGroup group;
  uint32_t flags;   // first operand's classes, mode limits, emission form
  uint32_t flags2;  // second operand's classes
  uint8_t minpar;
  uint8_t maxpar;
  uint32_t opcode1;
  uint32_t opcode2;
  uint8_t opcode_r;  // ModRM digit /0-/7 where the group needs one
};
using PInstruction = const TInstruction*;

// The rows of one name length: instructions[offset .. offset + count).
struct TInstructionLoopup {
  uint32_t offset;
  uint32_t count;
};

inline constexpr uint32_t instructionCount = 416;

// Sorted by name length; inside one length in lookup order.
extern const TInstruction instructions[instructionCount];
// All zero, group ig__TOTAL.
extern const TInstruction empty_instruction;

// The row named exactly text (case-sensitive), the first one when a name
// occurs twice; nullptr when there is none.
PInstruction opcodeLookup(std::string_view text);
// The same for a name of len bytes packed into an integer, byte i in bits
// 8i (a mnemonic has at most 8 bytes; a longer name finds nothing).
PInstruction opcodeLookupPacked(uint64_t key, size_t len);
// For each first letter a-z, a bit (1 << length) for every length of the
// mnemonics that start with it: most names that are no mnemonic are told
// apart without a lookup.
extern const std::array<uint16_t, 26> mnemonicLengths;

// Byte index (1..4, 1 the most significant) of an opcode word. Any other
// index is an internal fault and ends the compile.
uint8_t B(uint32_t opcodeWord, int index);

// The table's names: the padded list that "-listinstructions" prints, or,
// with forJs, one JavaScript regular expression per name length.
std::string listInstructions(bool forJs);

}  // namespace vorak
