// Operands, registers, segments and flags: the vocabulary that the operand
// parser fills and every encoding group reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vorak {

// Position is the encoding: the low three bits inside a class of eight are the
// x86 register number; R8-R15 carry bit 3, the bit that goes into REX.
enum TRegister : uint8_t {
  REG_AL, REG_CL, REG_DL, REG_BL, REG_AH, REG_CH, REG_DH, REG_BH,
  REG_AX, REG_CX, REG_DX, REG_BX, REG_SP, REG_BP, REG_SI, REG_DI,
  REG_EAX, REG_ECX, REG_EDX, REG_EBX, REG_ESP, REG_EBP, REG_ESI, REG_EDI,
  REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
  REG_R8, REG_R9, REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15,
  REG_R8D, REG_R9D, REG_R10D, REG_R11D, REG_R12D, REG_R13D, REG_R14D, REG_R15D,
  REG_R8W, REG_R9W, REG_R10W, REG_R11W, REG_R12W, REG_R13W, REG_R14W, REG_R15W,
  REG_R8B, REG_R9B, REG_R10B, REG_R11B, REG_R12B, REG_R13B, REG_R14B, REG_R15B,
  REG_SIL, REG_DIL, REG_BPL, REG_SPL,
  REG_NONE
};
static_assert(REG_NONE == 68, "TRegister values are part of the plug-in contract");

enum TSegment : uint8_t { SEG_ES, SEG_CS, SEG_SS, SEG_DS, SEG_FS, SEG_GS };

enum TFlag : uint8_t {
  FLAG_CF, FLAG_R1, FLAG_PF, FLAG_R2, FLAG_AF, FLAG_R5, FLAG_ZF, FLAG_SF,
  FLAG_TF, FLAG_IF, FLAG_DF, FLAG_OF, FLAG_IOPL_1, FLAG_IOPL_2, FLAG_NT, FLAG_R15
};
enum TEFlag : uint8_t { EFLAG_RESERVED };

inline constexpr uint8_t SIZE_8 = 1, SIZE_16 = 2, SIZE_32 = 4, SIZE_64 = 8;
inline constexpr uint8_t REG_GPB = 1, REG_GPW = 2, REG_GPD = 4, REG_GPQ = 8;
inline constexpr uint8_t NOT_A_REG = 255, NOT_A_SEG = 255, NOT_A_FLAG = 255;
inline constexpr uint32_t sizeDEFAULT = 4;

enum TOperandType : uint8_t {
  otRegister, otSegment, otImm, otVar, otVarRef, otMemRef, otST, otXMM, otMem,
  otLabel, otSegLabel, otLabelRef, otConst, otFlag, otEFlag
};

// st(n) and mm(n) share the operand type otST; the operand's size tells which
// register file the name came from: the width of an x87 stack register or of
// an MMX register. An x87 row takes only the first, an MMX row the second.
inline constexpr uint32_t ST_REGISTER_SIZE = 10, MM_REGISTER_SIZE = 8;

// One instruction operand. Field order is shared with plug-ins.
struct TOperand {
  TOperandType hint = otRegister;
  uint32_t size = 0;
  TSegment seg = SEG_ES;
  TRegister reg_base = REG_NONE;
  TRegister reg_index = REG_NONE;
  uint8_t reg_count = 0;
  uint8_t scale = 0;
  // The displacement as written, in full: 64-bit code takes only what its
  // sign-extended 32-bit field holds, so the encoder must see the value
  // before it is cut to 32 bits.
  int64_t displacement = 0;
  uint32_t segstart = 0;
  void* ptr = nullptr;  // function whose code receives the operand's fixup
  TOperandType optype = otRegister;
  bool issigned = false;
  bool istruedef = false;
  void* method = nullptr;
  union {
    int64_t value = 0;
    void* data;  // the referenced variable, constant or label record
  };

  void setNull();
  void setPointer(bool iss, TOperandType pt, void* curFunc, void* dt, uint32_t sz);
  void setLabel(bool iss, void* p, uint32_t id);
  void setImm(bool iss, uint32_t dw, uint32_t len);
  void setRegister(bool iss, TRegister reg);
  void setSegment(bool iss, TSegment sg);
  void setIntType(bool iss, TOperandType tt, int64_t val);
  void setMemory(bool iss, uint32_t memsize, int64_t disp, uint8_t scal,
                 std::initializer_list<TRegister> regs, void* op, TOperandType ot, void* cf);
  bool isRegister(uint32_t sz) const { return hint == otRegister && size == sz; }
  bool isRegType() const { return hint == otRegister || hint == otST || hint == otXMM; }
  bool isX87Register() const { return hint == otST && size == ST_REGISTER_SIZE; }
  bool isMMXRegister() const { return hint == otST && size == MM_REGISTER_SIZE; }
  uint32_t regTypeID() const;

  // Every operand of every instruction line is created and released in turn:
  // released records are kept for the next ones rather than going back to
  // the heap each time.
  static void* operator new(size_t size);
  static void operator delete(void* p, size_t size) noexcept;

 private:
  void start(bool iss, TOperandType kind);
};
using POperand = TOperand*;

namespace detail {
// Width and x86 number (with bit 3) of every TRegister and REG_NONE; the
// table lookups below are asked for every register operand and token.
struct TRegFacts {
  uint8_t size[REG_NONE + 1];
  uint8_t id[REG_NONE + 1];
};
constexpr TRegFacts makeRegFacts() {
  TRegFacts t{};
  for (int r = 0; r <= REG_NONE; ++r) {
    t.size[r] = r <= REG_BH ? 1 : r <= REG_DI ? 2 : r <= REG_EDI ? 4 : r <= REG_R15 ? 8 : r <= REG_R15D ? 4
              : r <= REG_R15W ? 2 : r <= REG_SPL ? 1 : 0;
    t.id[r] = static_cast<uint8_t>(r <= REG_BH ? r : r <= REG_DI ? r - 8 : r <= REG_EDI ? r - 16 : r <= REG_R15 ? r - 24 : 0);
  }
  return t;
}
inline constexpr TRegFacts kRegFacts = makeRegFacts();
}  // namespace detail

// Whether a number fits an operand or a data element of `bytes` bytes.
// Numbers are 64-bit two's complement (a literal of 2^63 or more is the
// negative number with those bits); one fits when its value lies in the
// range of that many bytes read as signed or as unsigned, -2^(8n-1) ..
// 2^(8n)-1, so that the field reads back as the number written. 8 bytes hold
// every number; an operand without a width holds none.
constexpr bool numberFits(int64_t value, uint32_t bytes) {
  if (bytes == 0) return false;
  if (bytes >= 8) return true;
  const int64_t lo = -(int64_t{1} << (8 * bytes - 1)), hi = (int64_t{1} << (8 * bytes)) - 1;
  return value >= lo && value <= hi;
}

// x86 number including bit 3. Only registers 0-39 have one; others give 0.
inline uint8_t regID(TRegister r) { return r <= REG_NONE ? detail::kRegFacts.id[r] : 0; }
inline uint8_t regSize(TRegister r) { return r <= REG_NONE ? detail::kRegFacts.size[r] : 0; }
TRegister regScale(TRegister r, uint8_t size);
// Name lookups fold A-Z only; answer NOT_A_REG / NOT_A_FLAG / NOT_A_SEG.
uint8_t strToReg(std::string_view s);
std::string_view regToStr(TRegister r);
uint8_t strToFlag(std::string_view s);
std::string_view flagToStr(uint8_t f);
uint8_t strToSeg(std::string_view s);
std::string_view segToStr(uint8_t s);

}  // namespace vorak
