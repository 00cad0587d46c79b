// The instruction encoder: the byte buffer of one instruction, the result
// codes, the building blocks every encoding group shares, and assemble. The
// group rules live in one .cpp per family (IntegerGroups.cpp, ...).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoder/InstructionTable.h"
#include "encoder/Operand.h"
#include "plugins/PluginRecords.h"

namespace vorak {

// Result codes of assemble and of the encoding steps. The encoder never
// decides on a message; callers turn a code into one with errorCodeToString.
inline constexpr uint32_t ASSEMBLE_OK = 0;
inline constexpr uint32_t ERROR_OPERAND_INVALID = 0x1000;
inline constexpr uint32_t ERROR_OPERAND_SIZE_MISMATCH = 0x1001;
inline constexpr uint32_t ERROR_OPERAND_FLOAT_4_8 = 0x1002;
inline constexpr uint32_t ERROR_OPERAND1_INVALID = 0x1003;
inline constexpr uint32_t ERROR_OPERAND2_INVALID = 0x1004;
inline constexpr uint32_t ERROR_OPERAND3_INVALID = 0x1005;
inline constexpr uint32_t ERROR_OPERAND_COUNT_MIN = 0x1010;
inline constexpr uint32_t ERROR_OPERAND_COUNT_MAX = 0x1011;
inline constexpr uint32_t ERROR_OPERAND_TYPE_MISMATCH = 0x1012;
inline constexpr uint32_t ERROR_MODE_SUPPORT = 0x1013;
// push moves whole stack words: a lone byte has no push of its own.
inline constexpr uint32_t ERROR_PUSH_BYTE = 0x1014;
// 64-bit code sign-extends a 32-bit displacement: 0x80000000 would address
// 0xFFFFFFFF80000000.
inline constexpr uint32_t ERROR_DISPLACEMENT_RANGE = 0x1015;
inline constexpr uint32_t ERROR_OPCODE_UNKNOWN = 0x10000000;
inline constexpr uint32_t ERROR_OPCODE_NULL = 0x10000001;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 0x10000002;

// Byte i (1..4, 1 the most significant) of an opcode word, for indexes fixed
// at compile time: the encoder never needs the run-time check of B().
template <int I>
constexpr uint8_t opByte(uint32_t word) {
  static_assert(I >= 1 && I <= 4, "opcode words hold four bytes");
  return static_cast<uint8_t>(word >> (8 * (4 - I)));
}

// What a group rule reads: the row and up to three operands (nil when absent).
struct TEncodeArgs {
  PInstruction row;
  POperand o1, o2, o3;
  bool optimise;
};

// ModRM, SIB and displacement of one r/m operand, with the prefix bits they
// call for. Built before any byte of the instruction is written, so that the
// REX and address-size prefixes can go in front of the opcode.
struct TRMFields {
  uint8_t mod = 0;
  uint8_t rm = 0;
  bool hasSib = false;
  uint8_t sib = 0;
  uint8_t dispSize = 0;  // 0, 1, 2 or 4 bytes
  int32_t disp = 0;
  bool dispFixup = false;  // the displacement field is a variable's address
  void* fixFunc = nullptr;
  void* fixData = nullptr;
  uint32_t fixOffset = 0;
  uint8_t rexXB = 0;        // REX.X and REX.B bits of the address or register
  bool addrPrefix = false;  // 67: 32-bit address registers in 64-bit mode
  bool highByte = false;    // the r/m register is AH, CH, DH or BH
};

class TVorAssembler {
 public:
  TVorAssembler();
  TVorAssembler(const TVorAssembler&) = delete;
  TVorAssembler& operator=(const TVorAssembler&) = delete;

  // Set while a statement assigns to a variable: a smaller variable then
  // widens into a destination addressed by registers (a local, an element)
  // as it does into a global. A plain mov between brackets of two sizes
  // stays refused. Returns the previous setting.
  bool widenIntoMemory(bool on) {
    const bool was = F_widenIntoMemory;
    F_widenIntoMemory = on;
    return was;
  }

  // --- The byte buffer -----------------------------------------------------
  // Appends the first len bytes; false (and nothing appended) when len is
  // more than the list holds.
  bool addBytes(std::span<const uint8_t> bytes, uint32_t len);
  // Appends the len low-order bytes of value, least significant first; false
  // (and nothing appended) for len above 8. Every byte of every instruction
  // comes through here, so the common case stays inline: room in the buffer
  // and no listing to write.
  bool addBytes(uint64_t value, uint32_t len) {
    if (len > 8) return false;
    if (F_codeCap - F_codeLen < 8) growCode(8);
    uint8_t* at = F_code.get() + F_codeLen;
    for (uint32_t i = 0; i < len; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
    F_codeLen += len;
    // Outside assemble the listing setting is read afresh each time.
    if (len && (F_listOn || F_depth == 0)) listBytes(at, len);
    return true;
  }
  // Appends count bytes (count may be 0).
  void putBytes(const uint8_t* bytes, uint32_t count) {
    if (F_codeCap - F_codeLen < count) growCode(count);
    uint8_t* at = F_code.get() + F_codeLen;
    for (uint32_t i = 0; i < count; ++i) at[i] = bytes[i];
    F_codeLen += count;
    if (count && (F_listOn || F_depth == 0)) listBytes(at, count);
  }
  // Appends the first count (16 at most) of the 16 bytes at block: a whole
  // instruction gathered in a fixed array goes in with one copy.
  void putBlock16(const uint8_t* block, uint32_t count) {
    if (F_codeCap - F_codeLen < 16) growCode(16);
    uint8_t* at = F_code.get() + F_codeLen;
    std::memcpy(at, block, 16);
    const uint32_t n = count < 16 ? count : 16;
    F_codeLen += n;
    if (n && (F_listOn || F_depth == 0)) listBytes(at, n);
  }
  // The bytes since the last popCode. Its data() always has 16 readable
  // bytes, however few it holds, so a caller may copy them as one block.
  std::string_view getCode() const {
    return {reinterpret_cast<const char*>(F_code.get()), F_codeLen};
  }
  // The bytes since the last popCode; the buffer is emptied.
  std::string popCode();
  // Empties the buffer, as popCode does, for a caller that has already taken
  // the bytes through getCode.
  void clearCode() { F_codeLen = 0; }
  uint32_t position() const { return static_cast<uint32_t>(F_codeLen); }
  PInstruction lastinstruction() const { return F_lastInstruction; }
  void setLastinstruction(PInstruction row) { F_lastInstruction = row; }

  static std::string errorCodeToString(uint32_t code);
  // push of the address ref computes it in the accumulator (lea) rather than
  // pushing its one register and adding the displacement on the stack.
  static bool addressPushUsesAccumulator(const TOperand& ref);
  // Whether val fits one signed byte when read at the given width (1, 2, 4;
  // any other range reads the whole value). Range 1 is always true.
  static bool isImm8(uint32_t range, int64_t val) {
    switch (range) {
      case 1: return true;
      case 2: {
        const int16_t v = static_cast<int16_t>(static_cast<uint16_t>(val));
        return v >= -128 && v <= 127;
      }
      case 4: {
        const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(val));
        return v >= -128 && v <= 127;
      }
      default: return val >= -128 && val <= 127;
    }
  }

  // --- Raw ModRM and SIB bytes ---------------------------------------------
  void emitMOD(uint8_t m, uint8_t o, uint8_t r);
  void emitModR(uint8_t opReg, uint8_t r) { emitMOD(3, opReg, r); }
  // False, and nothing appended, for a scale other than 0, 2, 4 or 8.
  bool emitSIB(uint8_t s, uint8_t i, uint8_t b);

  // --- Operand encodings -----------------------------------------------------
  // The fields of a register or memory operand; ERROR_OPERAND_INVALID for an
  // operand the processor cannot address in the current mode.
  uint32_t buildRM(POperand op, TRMFields& f);
  // ModRM (reg field = low three bits of reg), SIB and displacement, with the
  // displacement's variable fixup.
  void emitRMFields(uint8_t reg, const TRMFields& f);
  // ModRM/SIB/displacement of an operand that needs no prefix of its own.
  // The REX bits of registers 8-15 and the 67 prefix cannot be placed once
  // the opcode is out, so such operands are refused here; emitRM and
  // emitX86RM place them.
  uint32_t emitModRM(uint8_t opReg, POperand op, uint32_t immSize);
  uint32_t emitModM(uint8_t ofs, uint32_t firstop, POperand op);

  // REX prefixes. Both append nothing when no bit is needed, and refuse (with
  // ERROR_OPERAND_INVALID, nothing appended) a REX outside 64-bit mode or
  // together with AH-BH, whose numbers mean SPL-DIL once a REX is present.
  uint32_t emitRexR(bool w, TRegister reg1, TRegister reg2);
  uint32_t emitRexRM(bool w, uint8_t reg, POperand rm);

  // The general integer form, in this byte order:
  //   [67] [66] [B1] [REX] [B2] [B3] B4 ModRM [SIB] [disp]
  // opSize picks the size prefix: 2 -> 66 outside 16-bit mode, 4 -> 66 in
  // 16-bit mode, 8 -> REX.W (64-bit mode only); 0 and 1 take none. reg is the
  // register of the ModRM reg field; rm a register or memory operand.
  uint32_t emitRM(uint32_t opcode, uint32_t opSize, TRegister reg, POperand rm);
  // The same with a digit (/0-/7) in the reg field.
  uint32_t emitRMDigit(uint32_t opcode, uint32_t opSize, uint8_t digit, POperand rm);
  // An opcode without ModRM: [66] [B1] [REX.W] [B2] [B3] B4, the size prefix
  // chosen as for emitRM (accumulator forms, immediates pushed, ...).
  uint32_t emitOpcode(uint32_t opcode, uint32_t opSize);
  // Register in the low three bits of the last opcode byte (B8+r, 90+r,
  // 0F C8+r): [66] [B1] [REX] [B2] [B3] B4+r, REX.B for registers 8-15.
  uint32_t emitOpReg(uint32_t opcode, uint32_t opSize, TRegister reg);
  // The table's shape of the general form: is16bit is opSize 2, RexW opSize 8,
  // neither the mode's default size; firstOP the reg field as a number.
  uint32_t emitX86RM(uint32_t opcode, bool is16bit, bool RexW, uint8_t firstOP, POperand operand,
                     uint32_t immSize);
  // MMX/SSE form: [67] [B1] [REX] [B2] B3 B4 ModRM ...; operand is memory, an
  // mm register (otST) or an xmm register (otXMM).
  uint32_t emitMMU(uint32_t opcode, bool rexw, uint8_t firstOP, POperand operand, uint32_t immSize);

  // --- Immediates and fixup fields -----------------------------------------
  void emitImm(int64_t value, uint32_t len) { addBytes(static_cast<uint64_t>(value), len); }
  // Records a fixup for the field that starts at the current position and
  // fills the field with size zero bytes. The record reaches the fixup
  // manager only when the outermost assemble succeeds.
  void addFixupField(TFixupType ft, void* func, uint32_t index, uint8_t size, uint32_t ofs, TJmpType jt);
  void addFixupField(TFixupType ft, void* func, void* data, uint8_t size, uint32_t ofs, TJmpType jt);

  // --- One instruction -------------------------------------------------------
  // Encodes one instruction into the buffer. On any nonzero result the
  // buffer, the pending fixups and the listing are as they were at entry.
  uint32_t assemble(PInstruction opCode, POperand opPAR1, POperand opPAR2, POperand opPAR3,
                    bool optimise);

  // --- Group rules -------------------------------------------------------
  // Integer arithmetic and logic (IntegerGroups.cpp).
  uint32_t encodeEMIT(const TEncodeArgs& a);
  uint32_t encodeALU(const TEncodeArgs& a);
  uint32_t encodeLEA(const TEncodeArgs& a);
  uint32_t encodeINCDEC(const TEncodeArgs& a);
  uint32_t encodeBT(const TEncodeArgs& a);
  uint32_t encodeROT(const TEncodeArgs& a);
  uint32_t encodeSHLRD(const TEncodeArgs& a);
  uint32_t encodeRM_S(const TEncodeArgs& a);
  uint32_t encodeBSWAP(const TEncodeArgs& a);
  uint32_t encodeTEST(const TEncodeArgs& a);
  uint32_t encodeREGMEM(const TEncodeArgs& a);
  uint32_t encodeXCHG(const TEncodeArgs& a);
  uint32_t encodeIMUL(const TEncodeArgs& a);
  uint32_t encodeREG_REGMEM(const TEncodeArgs& a);
  uint32_t encodeREGMEM_REG(const TEncodeArgs& a);
  // Data movement (DataMovementGroups.cpp).
  uint32_t encodeMOV(const TEncodeArgs& a);
  uint32_t encodeMOVSX_MOVZX(const TEncodeArgs& a);
  // Stack and control transfer (ControlGroups.cpp); push and pop share one rule.
  uint32_t encodePUSHPOP(const TEncodeArgs& a);
  uint32_t encodeCALL(const TEncodeArgs& a);
  uint32_t encodeGOTO(const TEncodeArgs& a);
  uint32_t encodeRET(const TEncodeArgs& a);
  uint32_t encodeENTER(const TEncodeArgs& a);
  // x87 (X87Groups.cpp); the two memory groups share one rule.
  uint32_t encodeX87_FPU_S(const TEncodeArgs& a);
  uint32_t encodeX87_FPU(const TEncodeArgs& a);
  uint32_t encodeX87_MEM(const TEncodeArgs& a);
  // MMX and SSE (SseGroups.cpp).
  uint32_t encodeMMU_MOVQ(const TEncodeArgs& a);
  uint32_t encodeSSE(const TEncodeArgs& a);
  uint32_t encodeMMU_MOV(const TEncodeArgs& a);
  uint32_t encodeMOVSD(const TEncodeArgs& a);

 private:
  struct TPendingFixup {
    TFixupType hint;
    void* func;
    bool byIndex;
    uint32_t index;
    void* data;
    uint32_t position;
    uint8_t size;
    uint32_t offset;
    TJmpType jmp;
  };
  // Everything assemble must put back when an instruction fails.
  struct TMark {
    size_t bytes;
    size_t fixups;
    size_t listing;
  };
  class TNesting;

  TMark mark() const { return {F_codeLen, F_pending.size(), F_listing.size()}; }
  void rollback(const TMark& m);
  uint32_t checkEntry(PInstruction opCode, POperand o1, POperand o2, POperand o3) const;
  uint32_t dispatch(const TEncodeArgs& a);
  void commitFixups();
  void commitRegisterAssumptions(POperand o1, POperand o2, POperand o3);

  // Listing of -asmdebug.
  bool listing() const;
  // The hex column of bytes just appended, when a listing is written.
  void listBytes(const uint8_t* bytes, uint32_t len);
  // Makes room for at least need more bytes; the bytes written so far stay.
  void growCode(size_t need);
  void listText(std::string_view text);
  void listFunctionHeader();
  void listLine(PInstruction row, uint32_t bytes, POperand o1, POperand o2, POperand o3);
  void listOperand(POperand op);
  void flushListing();

  // Shared by emitRM, emitRMDigit and emitX86RM.
  void emitOpcodeBytes(bool p67, bool p66, uint8_t rex, uint32_t opcode, uint8_t add);
  uint32_t emitRMForm(uint32_t opcode, uint32_t opSize, uint8_t regNo, bool regHigh, POperand rm);
  // Parts of the integer rules.
  uint32_t aluAddressOf(const TInstruction& row, POperand o1, POperand o2);
  uint32_t aluImmediate(const TInstruction& row, POperand o1, int64_t value);
  uint32_t imulImmediate(POperand dst, POperand src, int64_t value);

  // --- Data movement, stack and control transfer ----------------------------
  // (DataMovementGroups.cpp, ControlGroups.cpp)
  uint32_t innerAssemble(PInstruction row, POperand a, POperand b);
  uint32_t movToRegister(POperand o1, POperand o2, bool optimise);
  uint32_t movToSegment(POperand o1, POperand o2);
  uint32_t movToVariable(POperand o1, POperand o2);
  uint32_t movToMemory(POperand o1, POperand o2);
  uint32_t moveWidened(POperand o1, POperand o2);
  uint32_t moveMemToMem(POperand o1, POperand o2);
  uint32_t moveWidenedToVariable(POperand o1, POperand o2);
  uint32_t storeImmediate(POperand o1, int64_t value);
  uint32_t storeAddress(POperand o1, POperand o2);
  uint32_t loadAddress(POperand dst, POperand ref);
  uint32_t emitAbsoluteAddress(POperand var);
  uint32_t pushImmediate(POperand o1);
  uint32_t pushPopVariable(const TInstruction& row, POperand o1);
  uint32_t pushPopBlock(const TInstruction& row, POperand o1);
  uint32_t pushBlockRemainder(POperand o1, uint32_t rem, int64_t& pushed);
  uint32_t pushAddress(POperand o1);
  void addJumpPlaceholder(void* func, uint32_t index, TJmpType jt);
  uint32_t emitRelativeNumber(uint8_t opcode, POperand o1);
  class TMoveNesting;
  class TQuietPush;
  uint8_t F_moveNesting = 0;  // mov <-> movsx/movzx rewrites in progress
  bool F_quietPush = false;   // a move's own pushes warn of nothing
  bool F_widenIntoMemory = false;
  // --- end of data movement, stack and control transfer ---------------------
  // --- x87 and MMX/SSE forms (X87Groups.cpp, SseGroups.cpp) ----------------
  // x87 arithmetic and compare with a memory operand: single precision for 4
  // bytes (byte B1 of opcode1), double for 8 (B2), the row's digit.
  uint32_t x87FloatMemory(const TInstruction& row, POperand op);
  // [67] [66/F2/F3] [REX] opcode ModRM [SIB] [disp]. opcode holds count bytes:
  // the mandatory prefixes first, then the escape and opcode bytes; reg is
  // the ModRM reg field (0-15); rm a memory operand, an mm or xmm register,
  // or a general register.
  uint32_t emitSimd(const uint8_t* opcode, uint32_t count, bool rexW, uint8_t reg, POperand rm);
  // The two-operand move of igMMU_MOV and igMOVSD.
  uint32_t simdMove(const TInstruction& row, POperand o1, POperand o2);

  // disp: the operand's displacement as the mode's field holds it.
  uint32_t buildMem32(TOperand& op, int32_t disp, TRMFields& f);
  uint32_t buildMem16(const TOperand& op, int32_t disp, TRMFields& f);
  uint32_t emitLoneModM(uint8_t reg, POperand op);

  // The instruction's bytes. Never shrinks, so that encoding allocates only
  // for an instruction longer than any before it; addBytes keeps 8 bytes of
  // room ahead.
  std::unique_ptr<uint8_t[]> F_code;
  size_t F_codeLen = 0;
  size_t F_codeCap = 0;
  PInstruction F_lastInstruction = nullptr;
  // Fixups of the instruction being built, filed once the outermost
  // assemble has succeeded; the vector keeps its capacity between calls.
  std::vector<TPendingFixup> F_pending;
  // Listing text of the instruction being built, kept back until it succeeds.
  std::string F_listing;
  uint32_t F_depth = 0;  // nesting of assemble calls
  // Whether a listing is written, read once when the outermost assemble
  // starts: nothing an instruction does changes the setting.
  bool F_listOn = false;
};

}  // namespace vorak
