// The building blocks of every encoding group: prefixes, REX, ModRM, SIB and
// displacements. Kept apart from assemble so a group file reads against one
// small vocabulary.
#include <cstddef>

#include "compiler/driver/Common.h"
#include "encoder/EncoderCommon.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

bool isGeneralRegister(TRegister r) { return r <= REG_R15; }
bool isHighByte(TRegister r) { return r >= REG_AH && r <= REG_BH; }

// SIB scale field: 00 = *1 (and "no scale"), 01 = *2, 10 = *4, 11 = *8.
bool scaleBits(uint8_t s, uint8_t& bits) {
  switch (s) {
    case 0: bits = 0; return true;
    case 2: bits = 1; return true;
    case 4: bits = 2; return true;
    case 8: bits = 3; return true;
    default: return false;
  }
}

// The REX prefix, emitted only when one of its bits is needed:
//
//   7   6   5   4   3   2   1   0
// +---+---+---+---+---+---+---+---+
// | 0   1   0   0 | W | R | X | B |
// +---+---+---+---+---+---+---+---+
//   W: 64-bit operand size        X: bit 3 of SIB.index
//   R: bit 3 of ModRM.reg         B: bit 3 of ModRM.rm, SIB.base or opcode reg
//
// Only 64-bit mode knows it (elsewhere 40-4F are inc/dec), and with any REX
// present the byte registers 4-7 are SPL-DIL, not AH-BH.
constexpr uint8_t REX_W = 8, REX_R = 4, REX_X = 2, REX_B = 1;

uint32_t rexAllowed(uint8_t bits, bool highByte) {
  if (bits == 0) return ASSEMBLE_OK;
  if (!mode64() || highByte) return ERROR_OPERAND_INVALID;
  return ASSEMBLE_OK;
}

// 66 toggles between the 16-bit and the 32-bit operand size, whichever the
// mode does not default to; 8 bytes need REX.W.
uint32_t sizePrefixes(uint32_t opSize, bool& p66, uint8_t& rexW) {
  p66 = false;
  rexW = 0;
  switch (opSize) {
    case 0:
    case 1: return ASSEMBLE_OK;
    case 2: p66 = !mode16(); return ASSEMBLE_OK;
    case 4: p66 = mode16(); return ASSEMBLE_OK;
    case 8:
      if (!mode64()) return ERROR_OPERAND_INVALID;
      rexW = REX_W;
      return ASSEMBLE_OK;
    default: return ERROR_OPERAND_SIZE_MISMATCH;
  }
}

bool isMemoryKind(TOperandType t) {
  return t == otMem || t == otVar || t == otVarRef || t == otMemRef;
}

// Address registers of the 32-bit form: 32-bit registers in 32-bit mode;
// 64-bit registers in 64-bit mode, or 32-bit ones behind the 67 prefix.
// Base and index must agree; 16-bit registers would need the other form.
uint32_t checkAddressRegisters(TRegister base, TRegister index, bool& prefix67) {
  if (!isGeneralRegister(base) || (index != REG_NONE && !isGeneralRegister(index)))
    return ERROR_OPERAND_INVALID;
  const uint8_t width = regSize(base);
  if (index != REG_NONE && regSize(index) != width) return ERROR_OPERAND_INVALID;
  if (mode64()) {
    if (width != 8 && width != 4) return ERROR_OPERAND_INVALID;
    prefix67 = width == 4;
    return ASSEMBLE_OK;
  }
  prefix67 = false;
  return width == 4 ? ASSEMBLE_OK : ERROR_OPERAND_INVALID;
}

// The fixed bytes of one instruction (prefixes, opcode, ModRM, SIB and a
// displacement: 13 at most), gathered on the stack and appended at once.
struct TBytes {
  uint8_t b[16] = {};
  uint32_t n = 0;
  // The mask keeps every write inside b; no form comes near 16 bytes.
  void put(uint8_t x) { b[n++ & 15] = x; }
};

// [67] [66] [B1] [REX] [B2] [B3] B4+add: B1 is a mandatory prefix (F3 of
// popcnt) and so goes before the REX, which must be the last byte ahead of
// the opcode proper.
void opcodeBytes(TBytes& t, bool p67, bool p66, uint8_t rex, uint32_t opcode, uint8_t add) {
  if (p67) t.put(0x67);
  if (p66) t.put(0x66);
  if (const uint8_t b1 = opByte<1>(opcode)) t.put(b1);
  if (rex) t.put(static_cast<uint8_t>(0x40 | rex));
  if (const uint8_t b2 = opByte<2>(opcode)) t.put(b2);
  if (const uint8_t b3 = opByte<3>(opcode)) t.put(b3);
  t.put(static_cast<uint8_t>(opByte<4>(opcode) + add));
}

// ModRM, SIB and a displacement that is no fixup field.
void rmBytes(TBytes& t, uint8_t reg, const TRMFields& f) {
  t.put(static_cast<uint8_t>(((f.mod & 3) << 6) | ((reg & 7) << 3) | (f.rm & 7)));
  if (f.hasSib) t.put(f.sib);
  if (f.dispFixup || f.dispSize == 0) return;
  const auto d = static_cast<uint32_t>(f.disp);
  t.put(static_cast<uint8_t>(d));
  if (f.dispSize == 1) return;
  t.put(static_cast<uint8_t>(d >> 8));
  if (f.dispSize == 2) return;
  t.put(static_cast<uint8_t>(d >> 16));
  t.put(static_cast<uint8_t>(d >> 24));
}

// The full displacement field, size bytes (2 or 4): a fixup field when it
// holds a variable's address, which the builder writes.
void setDisp(TRMFields& f, const TOperand& op, int32_t value, uint8_t size) {
  const bool fixup = op.ptr != nullptr && op.data != nullptr;
  f.dispSize = size;
  f.disp = value;
  f.dispFixup = fixup;
  if (fixup) {
    f.fixFunc = op.ptr;
    f.fixData = op.data;
    f.fixOffset = static_cast<uint32_t>(value);
  }
}

// A displacement after the ModRM byte: mod 1 (a byte) or 2 (the full field
// of size bytes).
void setDispMod(TRMFields& f, const TOperand& op, int32_t disp, bool byte, uint8_t size) {
  if (byte) {
    f.mod = 1;
    f.dispSize = 1;
    f.disp = disp;
  } else {
    f.mod = 2;
    setDisp(f, op, disp, size);
  }
}

}  // namespace

// ModRM byte:
//
//   7   6   5   4   3   2   1   0
// +---+---+---+---+---+---+---+---+
// |  mod  |    reg    |    r/m    |
// +---+---+---+---+---+---+---+---+
//   mod 3: r/m is a register; mod 0/1/2: memory with no, 8-bit or full disp.
void TVorAssembler::emitMOD(uint8_t m, uint8_t o, uint8_t r) {
  addBytes(static_cast<uint64_t>(((m & 3) << 6) | ((o & 7) << 3) | (r & 7)), 1);
}

// SIB byte:
//
//   7   6   5   4   3   2   1   0
// +---+---+---+---+---+---+---+---+
// | scale |   index   |   base    |
// +---+---+---+---+---+---+---+---+
//   index 100 = none; base 101 with mod 0 = no base, disp32 follows.
bool TVorAssembler::emitSIB(uint8_t s, uint8_t i, uint8_t b) {
  uint8_t bits = 0;
  if (!scaleBits(s, bits)) return false;
  addBytes(static_cast<uint64_t>((bits << 6) | ((i & 7) << 3) | (b & 7)), 1);
  return true;
}

uint32_t TVorAssembler::buildRM(POperand op, TRMFields& f) {
  f = TRMFields{};
  if (!op) return ERROR_OPERAND_INVALID;
  if (op->hint == otRegister) {
    if (!isGeneralRegister(op->reg_base)) return ERROR_OPERAND_INVALID;
    const uint8_t id = regID(op->reg_base);
    f.mod = 3;
    f.rm = id & 7;
    f.rexXB = (id & 8) ? REX_B : 0;
    f.highByte = isHighByte(op->reg_base);
    return ASSEMBLE_OK;
  }
  if (!isMemoryKind(op->hint)) return ERROR_OPERAND_INVALID;
  int32_t disp = 0;
  if (!modeDisplacement(op->displacement, disp)) return ERROR_DISPLACEMENT_RANGE;
  return mode16() ? buildMem16(*op, disp, f) : buildMem32(*op, disp, f);
}

namespace {

// The displacement's part of the 32-bit form. mod 0 (none) only when there is
// nothing to add and the base allows it; a byte when it fits and is no
// variable's address (the builder writes four bytes) nor scaled.
void setMod32(TRMFields& f, const TOperand& op, int32_t disp, bool baseNeedsDisp) {
  const bool hasDisp = disp != 0 || op.ptr != nullptr;
  const bool disp8 = TVorAssembler::isImm8(4, disp) && op.ptr == nullptr && op.scale == 0;
  if (!hasDisp && !baseNeedsDisp)
    f.mod = 0;
  else
    setDispMod(f, op, disp, disp8, 4);
}

// No register: an absolute address. In 64-bit mode mod 0 r/m 5 means
// [rip+disp32], so the address goes through a SIB byte with neither base nor
// index.
// A scale multiplies the displacement (an element number) into the address.
uint32_t absolute32(const TOperand& op, int32_t disp, TRMFields& f) {
  int32_t v = 0;
  if (!modeDisplacement(int64_t{disp} * (op.scale ? op.scale : 1), v)) return ERROR_DISPLACEMENT_RANGE;
  f.mod = 0;
  if (mode64()) {
    f.rm = 4;
    f.hasSib = true;
    f.sib = 0x25;
  } else {
    f.rm = 5;
  }
  // A fixup needs its target: a function without a variable leaves the
  // displacement as written, as the forms with registers do.
  setDisp(f, op, v, 4);
  return ASSEMBLE_OK;
}

// Base and index: SIB with both; base 101 (EBP, R13) has no mod 0 form.
uint32_t baseIndex32(const TOperand& op, int32_t disp, uint8_t scaleCode, TRMFields& f) {
  const uint8_t bid = regID(op.reg_base), xid = regID(op.reg_index);
  if ((xid & 7) == 4) return ERROR_OPERAND_INVALID;  // index 100 means "none"
  f.rm = 4;
  f.hasSib = true;
  f.sib = static_cast<uint8_t>((scaleCode << 6) | ((xid & 7) << 3) | (bid & 7));
  f.rexXB = static_cast<uint8_t>(((xid & 8) ? REX_X : 0) | ((bid & 8) ? REX_B : 0));
  setMod32(f, op, disp, (bid & 7) == 5);
  return ASSEMBLE_OK;
}

// One scaled register is an index without a base: [reg*s + disp32].
uint32_t scaledIndex32(const TOperand& op, int32_t disp, uint8_t scaleCode, TRMFields& f) {
  const uint8_t id = regID(op.reg_base);
  if ((id & 7) == 4) return ERROR_OPERAND_INVALID;
  f.mod = 0;
  f.rm = 4;
  f.hasSib = true;
  f.sib = static_cast<uint8_t>((scaleCode << 6) | ((id & 7) << 3) | 5);
  f.rexXB = (id & 8) ? REX_X : 0;
  setDisp(f, op, disp, 4);
  return ASSEMBLE_OK;
}

// One register as the base. r/m 100 always means "SIB follows", so ESP, RSP
// and R12 take SIB 24; r/m 101 with mod 0 is the absolute (or RIP-relative)
// form, so EBP and R13 always carry a displacement.
uint32_t base32(const TOperand& op, int32_t disp, TRMFields& f) {
  const uint8_t id = regID(op.reg_base), b = id & 7;
  f.rexXB = (id & 8) ? REX_B : 0;
  f.rm = b;
  if (b == 4) {
    f.hasSib = true;
    f.sib = 0x24;
  }
  setMod32(f, op, disp, b == 5);
  return ASSEMBLE_OK;
}

}  // namespace

// The 32-bit addressing form, also that of 64-bit mode.
uint32_t TVorAssembler::buildMem32(TOperand& op, int32_t disp, TRMFields& f) {
  // An index without a base would be dropped silently; nothing builds one.
  if (op.reg_base == REG_NONE && op.reg_index != REG_NONE) return ERROR_OPERAND_INVALID;
  if (op.scale == 1) op.scale = 0;
  uint8_t scaleCode = 0;
  if (!scaleBits(op.scale, scaleCode)) return ERROR_OPERAND_INVALID;
  if (op.reg_base == REG_NONE) return absolute32(op, disp, f);
  uint32_t rc = checkAddressRegisters(op.reg_base, op.reg_index, f.addrPrefix);
  if (rc != ASSEMBLE_OK) return rc;
  if (op.reg_index != REG_NONE) return baseIndex32(op, disp, scaleCode, f);
  if (op.scale != 0) return scaledIndex32(op, disp, scaleCode, f);
  return base32(op, disp, f);
}

// The 16-bit addressing form: BX or BP, plus SI or DI, plus a displacement.
uint32_t TVorAssembler::buildMem16(const TOperand& op, int32_t disp, TRMFields& f) {
  const TRegister base = op.reg_base, index = op.reg_index;
  if (base == REG_NONE && index != REG_NONE) return ERROR_OPERAND_INVALID;
  // No scaling in 16-bit addresses; 1 is "none", as the parser marks variables.
  if (op.scale > 1) return ERROR_OPERAND_INVALID;
  // The field is 16 bits wide; a displacement it cannot hold would wrap.
  if (disp < -32768 || disp > 65535) return ERROR_OPERAND_INVALID;
  const bool hasDisp = disp != 0 || op.ptr != nullptr;
  const bool disp8 = isImm8(2, disp) && op.ptr == nullptr;

  if (base == REG_NONE) {  // the direct address: mod 0, r/m 110, disp16
    f.mod = 0;
    f.rm = 6;
    setDisp(f, op, disp, 2);
    return ASSEMBLE_OK;
  }
  bool bpAlone = false;
  if (index != REG_NONE) {
    if ((base != REG_BX && base != REG_BP) || (index != REG_SI && index != REG_DI))
      return ERROR_OPERAND_INVALID;
    f.rm = static_cast<uint8_t>((base == REG_BP ? 2 : 0) + (index == REG_DI ? 1 : 0));
  } else {
    switch (base) {
      case REG_BX: f.rm = 7; break;
      case REG_BP: f.rm = 6; bpAlone = true; break;  // mod 0 r/m 110 is the direct address
      case REG_SI: f.rm = 4; break;
      case REG_DI: f.rm = 5; break;
      default: return ERROR_OPERAND_INVALID;
    }
  }
  if (!hasDisp && !bpAlone)
    f.mod = 0;
  else
    setDispMod(f, op, disp, disp8, 2);
  return ASSEMBLE_OK;
}

void TVorAssembler::emitRMFields(uint8_t reg, const TRMFields& f) {
  TBytes t;
  rmBytes(t, reg, f);
  putBlock16(t.b, t.n);
  if (f.dispFixup) addFixupField(ftVar, f.fixFunc, f.fixData, f.dispSize, f.fixOffset, jtJMP);
}

uint32_t TVorAssembler::emitLoneModM(uint8_t reg, POperand op) {
  TRMFields f;
  uint32_t rc = buildRM(op, f);
  if (rc != ASSEMBLE_OK) return rc;
  if (reg > 7 || f.rexXB || f.addrPrefix) return ERROR_OPERAND_INVALID;
  emitRMFields(reg, f);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::emitModRM(uint8_t opReg, POperand op, uint32_t) {
  return emitLoneModM(opReg, op);
}

uint32_t TVorAssembler::emitModM(uint8_t ofs, uint32_t firstop, POperand op) {
  if (!op || !isMemoryKind(op->hint) || firstop + ofs > 0xFF) return ERROR_OPERAND_INVALID;
  return emitLoneModM(static_cast<uint8_t>(firstop + ofs), op);
}

uint32_t TVorAssembler::emitRexR(bool w, TRegister reg1, TRegister reg2) {
  for (TRegister r : {reg1, reg2})
    if (r != REG_NONE && !isGeneralRegister(r)) return ERROR_OPERAND_INVALID;
  const uint8_t bits = static_cast<uint8_t>((w ? REX_W : 0) | ((regID(reg2) & 8) ? REX_R : 0) |
                                            ((regID(reg1) & 8) ? REX_B : 0));
  uint32_t rc = rexAllowed(bits, isHighByte(reg1) || isHighByte(reg2));
  if (rc == ASSEMBLE_OK && bits) addBytes(static_cast<uint64_t>(0x40 | bits), 1);
  return rc;
}

uint32_t TVorAssembler::emitRexRM(bool w, uint8_t reg, POperand rm) {
  if (reg > 15) return ERROR_OPERAND_INVALID;
  TRMFields f;
  if (rm && (rm->hint == otRegister || rm->hint == otMem)) {
    uint32_t rc = buildRM(rm, f);
    if (rc != ASSEMBLE_OK) return rc;
  }
  const uint8_t bits = static_cast<uint8_t>((w ? REX_W : 0) | ((reg & 8) ? REX_R : 0) | f.rexXB);
  uint32_t rc = rexAllowed(bits, f.highByte);
  if (rc == ASSEMBLE_OK && bits) addBytes(static_cast<uint64_t>(0x40 | bits), 1);
  return rc;
}

void TVorAssembler::emitOpcodeBytes(bool p67, bool p66, uint8_t rex, uint32_t opcode, uint8_t add) {
  TBytes t;
  opcodeBytes(t, p67, p66, rex, opcode, add);
  putBlock16(t.b, t.n);
}

uint32_t TVorAssembler::emitRMForm(uint32_t opcode, uint32_t opSize, uint8_t regNo, bool regHigh,
                                   POperand rm) {
  if (regNo > 15) return ERROR_OPERAND_INVALID;
  // Stage 1: every field and prefix bit, before a byte is written.
  TRMFields f;
  uint32_t rc = buildRM(rm, f);
  if (rc != ASSEMBLE_OK) return rc;
  bool p66 = false;
  uint8_t rex = 0;
  if ((rc = sizePrefixes(opSize, p66, rex)) != ASSEMBLE_OK) return rc;
  rex |= static_cast<uint8_t>(((regNo & 8) ? REX_R : 0) | f.rexXB);
  if ((rc = rexAllowed(rex, regHigh || f.highByte)) != ASSEMBLE_OK) return rc;
  // Stage 2: the bytes.
  TBytes t;
  opcodeBytes(t, f.addrPrefix, p66, rex, opcode, 0);
  rmBytes(t, regNo, f);
  putBlock16(t.b, t.n);
  if (f.dispFixup) addFixupField(ftVar, f.fixFunc, f.fixData, f.dispSize, f.fixOffset, jtJMP);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::emitRM(uint32_t opcode, uint32_t opSize, TRegister reg, POperand rm) {
  if (!isGeneralRegister(reg)) return ERROR_OPERAND_INVALID;
  return emitRMForm(opcode, opSize, regID(reg), isHighByte(reg), rm);
}

uint32_t TVorAssembler::emitRMDigit(uint32_t opcode, uint32_t opSize, uint8_t digit, POperand rm) {
  if (digit > 7) return ERROR_OPERAND_INVALID;
  return emitRMForm(opcode, opSize, digit, false, rm);
}

uint32_t TVorAssembler::emitOpReg(uint32_t opcode, uint32_t opSize, TRegister reg) {
  if (!isGeneralRegister(reg)) return ERROR_OPERAND_INVALID;
  bool p66 = false;
  uint8_t rex = 0;
  uint32_t rc = sizePrefixes(opSize, p66, rex);
  if (rc != ASSEMBLE_OK) return rc;
  const uint8_t id = regID(reg);
  if (id & 8) rex |= REX_B;
  if ((rc = rexAllowed(rex, isHighByte(reg))) != ASSEMBLE_OK) return rc;
  emitOpcodeBytes(false, p66, rex, opcode, id & 7);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::emitOpcode(uint32_t opcode, uint32_t opSize) {
  bool p66 = false;
  uint8_t rex = 0;
  uint32_t rc = sizePrefixes(opSize, p66, rex);
  if (rc != ASSEMBLE_OK) return rc;
  emitOpcodeBytes(false, p66, rex, opcode, 0);
  return ASSEMBLE_OK;
}

uint32_t TVorAssembler::emitX86RM(uint32_t opcode, bool is16bit, bool RexW, uint8_t firstOP,
                                  POperand operand, uint32_t) {
  const uint32_t opSize = is16bit ? 2 : RexW ? 8 : 0;
  if (operand) return emitRMForm(opcode, opSize, firstOP, false, operand);
  return emitOpcode(opcode, opSize);
}

uint32_t TVorAssembler::emitMMU(uint32_t opcode, bool rexw, uint8_t firstOP, POperand operand,
                                uint32_t) {
  if (!operand || firstOP > 15) return ERROR_OPERAND_INVALID;
  TRMFields f;
  if (operand->hint == otMem) {
    uint32_t rc = buildRM(operand, f);
    if (rc != ASSEMBLE_OK) return rc;
  } else if (operand->isMMXRegister() || operand->hint == otXMM) {
    // mm registers are 0-7; xmm 8-15 take REX.B. An st(n) has no place here.
    const uint64_t n = static_cast<uint64_t>(operand->value);
    if (n > (operand->hint == otST ? 7u : 15u)) return ERROR_OPERAND_INVALID;
    f.mod = 3;
    f.rm = n & 7;
    f.rexXB = (n & 8) ? REX_B : 0;
  } else {
    return ERROR_OPERAND_INVALID;
  }
  const uint8_t rex =
      static_cast<uint8_t>((rexw ? REX_W : 0) | ((firstOP & 8) ? REX_R : 0) | f.rexXB);
  uint32_t rc = rexAllowed(rex, false);
  if (rc != ASSEMBLE_OK) return rc;
  if (f.addrPrefix) addBytes(0x67u, 1);
  if (const uint8_t b1 = opByte<1>(opcode)) addBytes(b1, 1);
  if (rex) addBytes(static_cast<uint64_t>(0x40 | rex), 1);
  if (const uint8_t b2 = opByte<2>(opcode)) addBytes(b2, 1);
  addBytes(opByte<3>(opcode), 1);
  addBytes(opByte<4>(opcode), 1);
  emitRMFields(firstOP, f);
  return ASSEMBLE_OK;
}

}  // namespace vorak
