// Integer arithmetic and logic groups: the operand-free rows, the ALU,
// shifts, bit tests, setcc, cmovcc and friends. Each rule matches its operand
// forms, then builds and emits through the shared primitives.
#include <cstring>

#include "compiler/driver/Common.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

bool mode16() { return CompileFlags.cpu_bits == 16; }
bool mode64() { return CompileFlags.cpu_bits == 64; }

// One-byte opcodes whose operand size follows the mode: cbw/cwde, cwd/cdq,
// pushf/popf, pusha/popa and the word/dword string instructions.
bool sizeDependent(uint8_t op) {
  switch (op) {
    case 0x98: case 0x99: case 0x9C: case 0x9D: case 0x60: case 0x61:
    case 0xA5: case 0xA7: case 0xAB: case 0xAD: case 0xAF: return true;
    default: return false;
  }
}

// BCD adjustments and pusha/popa, which 64-bit mode no longer decodes.
bool goneIn64(uint8_t op) {
  switch (op) {
    case 0x27: case 0x2F: case 0x37: case 0x3F: case 0x60: case 0x61: case 0xD4: case 0xD5: return true;
    default: return false;
  }
}

// Immediates arrive as the parser holds numbers: 32 bits, zero-extended, so
// FFFFFFFF also stands for -1. A value fits an n-byte field when one of the
// two readings lies in -2^(8n-1) .. 2^(8n)-1, so that the field decodes to the
// number written. With imm_roll the program asked for the low bytes of any
// value. An 8-byte operand takes a 4-byte field that the processor
// sign-extends, which no setting can stretch.
int64_t asSigned32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

bool inField(int64_t v, uint32_t n) {
  const int64_t lo = -(int64_t{1} << (8 * n - 1)), hi = (int64_t{1} << (8 * n)) - 1;
  return v >= lo && v <= hi;
}

bool immFits(int64_t v, uint32_t n) {
  if (CompileFlags.imm_roll) return true;
  return inField(v, n) || ((v >> 32) == 0 && inField(asSigned32(v), n));
}

bool immFitsOperand(int64_t v, uint32_t opSize) {
  if (opSize != 8) return immFits(v, opSize);
  auto signed32 = [](int64_t x) { return x >= INT32_MIN && x <= INT32_MAX; };
  return signed32(v) || ((v >> 32) == 0 && signed32(asSigned32(v)));
}

}  // namespace

// --- igEMIT --------------------------------------------------------------------
//
// B1, B1 B2 or B1 B2 B3 as the row says; "int" is B1 and the operand's byte.
// The rows spell the operand size of their 32-bit-mode bytes: a leading 66
// marks the 16-bit form (cbw, pushf, movsw), none the 32-bit one (cwde,
// pushfd, movsd), and 48 or a name ending in q the 64-bit one. 16-bit mode
// reads the same bytes the other way round, so there the 66 is swapped.
uint32_t TVorAssembler::encodeEMIT(const TEncodeArgs& a) {
  const TInstruction& row = *a.row;
  if (row.flags & EMIT1_BYTE) {
    if (a.o1->hint != otImm) return ERROR_OPERAND1_INVALID;
    if (!immFits(a.o1->value, 1)) return ERROR_OPERAND_SIZE_MISMATCH;
    addBytes(opByte<1>(row.opcode1), 1);
    emitImm(a.o1->value, 1);
    return ASSEMBLE_OK;
  }
  const uint8_t all[3] = {opByte<1>(row.opcode1), opByte<2>(row.opcode1), opByte<3>(row.opcode1)};
  const uint32_t count = (row.flags & EMIT3) ? 3 : (row.flags & EMIT2) ? 2 : 1;
  const bool has66 = count > 1 && all[0] == 0x66;
  const uint8_t* rest = all + (has66 ? 1 : 0);
  const uint32_t restCount = count - (has66 ? 1 : 0);
  const bool hasRexW = restCount > 1 && rest[0] == 0x48;
  const uint8_t op = rest[hasRexW ? 1 : 0];
  if (mode64() && goneIn64(op)) return ERROR_MODE_SUPPORT;

  bool emit66 = false;
  if (sizeDependent(op)) {
    const size_t len = strnlen(row.name, sizeof(row.name));
    const bool q = len > 0 && row.name[len - 1] == 'q';
    const bool stackFlags = op == 0x9C || op == 0x9D;  // 64-bit by default in 64-bit mode
    if (has66) {
      emit66 = !mode16();
    } else if (hasRexW || (q && stackFlags)) {
      if (!mode64()) return ERROR_MODE_SUPPORT;
    } else {
      if (mode64() && stackFlags) return ERROR_MODE_SUPPORT;
      emit66 = mode16();
    }
  } else if (has66) {
    emit66 = true;  // a prefix the instruction needs in every mode (none such today)
  }
  if (emit66) addBytes(0x66u, 1);
  addBytes(std::span<const uint8_t>(rest, restCount), restCount);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::encodeALU(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeLEA(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeINCDEC(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeBT(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeROT(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeSHLRD(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeRM_S(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeBSWAP(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeTEST(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeREGMEM(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeXCHG(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeIMUL(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeREG_REGMEM(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }
uint32_t TVorAssembler::encodeREGMEM_REG(const TEncodeArgs&) { return ERROR_NOT_SUPPORTED; }

}  // namespace vorak
