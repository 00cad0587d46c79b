// Operand setters and the register, segment and flag names.
#include "encoder/Operand.h"

#include <array>
#include <new>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"

namespace vorak {

namespace {

// Released operand records, linked through their first bytes. The list is
// bounded: what a burst of operands leaves beyond it goes back to the heap.
// A record on the list is poisoned for AddressSanitizer past its link, so a
// use after release is still reported, while the leak checker still follows
// the links (it does not read poisoned memory).
struct FreeOperand {
  FreeOperand* next;
};
static_assert(sizeof(TOperand) >= sizeof(FreeOperand));
constexpr size_t kMaxFreeOperands = 256;
FreeOperand* freeOperands = nullptr;
size_t freeOperandCount = 0;

}  // namespace

void* TOperand::operator new(size_t size) {
  if (size == sizeof(TOperand) && freeOperands) {
    FreeOperand* p = freeOperands;
    ASAN_UNPOISON_MEMORY_REGION(p, sizeof(TOperand));
    freeOperands = p->next;
    --freeOperandCount;
    return p;
  }
  return ::operator new(size);
}

void TOperand::operator delete(void* p, size_t size) noexcept {
  if (!p) return;
  if (size != sizeof(TOperand) || freeOperandCount >= kMaxFreeOperands) {
    ::operator delete(p);
    return;
  }
  auto* f = static_cast<FreeOperand*>(p);
  f->next = freeOperands;
  freeOperands = f;
  ++freeOperandCount;
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(p) + sizeof(FreeOperand), sizeof(TOperand) - sizeof(FreeOperand));
}

void TOperand::setNull() {
  hint = otRegister;
  issigned = false;
  istruedef = false;
  ptr = nullptr;
  value = static_cast<int64_t>(static_cast<uint64_t>(value) & 0xFFFFFFFF00000000ull);
  reg_base = REG_NONE;
  reg_index = REG_NONE;
}

// Every setter but setMemory's start: an empty operand of that kind, with no
// displacement.
inline void TOperand::start(bool iss, TOperandType kind) {
  setNull();
  issigned = iss;
  hint = kind;
  displacement = 0;
}

void TOperand::setPointer(bool iss, TOperandType pt, void* curFunc, void* dt, uint32_t sz) {
  start(iss, pt);
  ptr = curFunc;
  data = dt;
  size = sz ? sz : static_cast<uint32_t>(ptrSize);
}

void TOperand::setLabel(bool iss, void* p, uint32_t id) {
  start(iss, otLabel);
  ptr = p;
  value = id;
  size = CompileFlags.cpu_bits / 8;
}

void TOperand::setImm(bool iss, uint32_t dw, uint32_t len) {
  start(iss, otImm);
  value = dw;
  size = len;
}

void TOperand::setRegister(bool iss, TRegister reg) {
  start(iss, otRegister);
  reg_base = reg;
  size = regSize(reg);
}

void TOperand::setSegment(bool iss, TSegment sg) {
  start(iss, otSegment);
  seg = sg;
}

void TOperand::setIntType(bool iss, TOperandType tt, int64_t val) {
  start(iss, tt);
  size = 0;
  value = val;
}

void TOperand::setMemory(bool iss, uint32_t memsize, int64_t disp, uint8_t scal,
                         std::initializer_list<TRegister> regs, void* op, TOperandType ot, void* cf) {
  setNull();
  issigned = iss;
  reg_count = static_cast<uint8_t>(regs.size() > 2 ? 2 : regs.size());
  auto it = regs.begin();
  if (regs.size() >= 1) reg_base = it[0];
  if (regs.size() >= 2) reg_index = it[1];
  if (!op) {
    data = nullptr;
    ptr = nullptr;
    optype = otRegister;
  } else {
    data = op;
    ptr = cf;
    optype = ot;
  }
  hint = otMem;
  size = memsize;
  displacement = disp;
  scale = scal;
}

uint32_t TOperand::regTypeID() const {
  switch (hint) {
    case otRegister: return reg_base < REG_R8D ? regID(reg_base) : 0;
    case otST:
    case otXMM: return static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
    default: return 0;
  }
}



TRegister regScale(TRegister r, uint8_t size) {
  const uint8_t n = r <= REG_R15 ? regID(r) : 0;
  switch (size) {
    case 1: return static_cast<TRegister>(n);
    case 2: return static_cast<TRegister>(n + 8);
    case 4: return static_cast<TRegister>(n + 16);
    case 8: return static_cast<TRegister>(n + 24);
    default: return REG_NONE;
  }
}

namespace {
constexpr std::string_view kRegNames[40] = {
    "al", "cl", "dl", "bl", "ah", "ch", "dh", "bh", "ax", "cx", "dx", "bx", "sp", "bp",
    "si", "di", "eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi", "rax", "rcx",
    "rdx", "rbx", "rsp", "rbp", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "r13",
    "r14", "r15"};

// Register names are at most three bytes: each packs into one integer, so a
// lookup compares integers, not texts (every identifier of a source passes
// through here).
constexpr uint32_t pack(std::string_view s) {
  uint32_t k = 0;
  for (size_t i = 0; i < s.size(); ++i) k |= static_cast<uint32_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return k;
}

constexpr std::array<uint32_t, 40> makeKeys() {
  std::array<uint32_t, 40> keys{};
  for (size_t i = 0; i < 40; ++i) keys[i] = pack(kRegNames[i]);
  return keys;
}
constexpr auto kRegKeys = makeKeys();

uint8_t findIn(uint32_t key, uint8_t first, uint8_t count) {
  for (uint8_t i = first; i < first + count; ++i)
    if (kRegKeys[i] == key) return i;
  return NOT_A_REG;
}

// The names of two and three bytes in one open-addressed table, each with
// the least mode that knows it: one probe or two per name looked up.
struct RegSlot {
  uint32_t key = 0;
  uint8_t reg = NOT_A_REG;
  uint8_t minBits = 0;
};
constexpr size_t kRegSlots = 128;
constexpr uint32_t regSlotOf(uint32_t key) { return (key * 2654435761u) >> 25; }
static_assert(kRegSlots == size_t{1} << (32 - 25));

constexpr std::array<RegSlot, kRegSlots> makeRegTable() {
  std::array<RegSlot, kRegSlots> t{};
  auto put = [&t](uint8_t reg, uint8_t minBits) {
    const uint32_t key = kRegKeys[reg];
    uint32_t s = regSlotOf(key);
    while (t[s].key != 0) s = (s + 1) % kRegSlots;
    t[s] = {key, reg, minBits};
  };
  for (uint8_t r = REG_AL; r <= REG_DI; ++r) put(r, 0);  // the 8- and 16-bit names
  put(REG_R8, 0);
  put(REG_R9, 0);
  for (uint8_t r = REG_EAX; r <= REG_EDI; ++r) put(r, 32);
  for (uint8_t r = REG_RAX; r <= REG_RDI; ++r) put(r, 64);
  for (uint8_t r = REG_R10; r <= REG_R15; ++r) put(r, 64);
  return t;
}
constexpr auto kRegTable = makeRegTable();
}  // namespace

uint8_t strToReg(std::string_view s) {
  if (s.size() < 2 || s.size() > 5) return NOT_A_REG;
  const uint32_t bits = CompileFlags.cpu_bits;
  if (s.size() == 5) {
    if (bits != 16 && bits != 32 && bits != 64) return NOT_A_REG;
    if (lowerChar(s[0]) != 'g' || lowerChar(s[1]) != 'p' || s[2] != '_') return NOT_A_REG;
    const char tail[2] = {lowerChar(s[3]), lowerChar(s[4])};
    const uint8_t r = findIn(pack({tail, 2}), 8, 8);
    if (r == NOT_A_REG) return NOT_A_REG;
    return static_cast<uint8_t>(r + (bits == 32 ? 8 : bits == 64 ? 16 : 0));
  }
  if (s.size() == 4) return NOT_A_REG;
  uint32_t key = 0;
  for (size_t i = 0; i < s.size(); ++i) key |= static_cast<uint32_t>(static_cast<uint8_t>(lowerChar(s[i]))) << (8 * i);
  for (uint32_t slot = regSlotOf(key);; slot = (slot + 1) % kRegSlots) {
    const RegSlot& e = kRegTable[slot];
    if (e.key == key) return bits >= e.minBits ? e.reg : NOT_A_REG;
    if (e.key == 0) return NOT_A_REG;
  }
}

std::string_view regToStr(TRegister r) { return r <= REG_R15 ? kRegNames[r] : std::string_view{}; }

uint8_t strToFlag(std::string_view s) {
  static constexpr std::pair<std::string_view, uint8_t> flags[] = {
      {"carry_flag", FLAG_CF}, {"parity_flag", FLAG_PF},       {"adjust_flag", FLAG_AF},
      {"zero_flag", FLAG_ZF},  {"sign_flag", FLAG_SF},         {"trap_flag", FLAG_TF},
      {"direction_flag", FLAG_DF}, {"overflow_flag", FLAG_OF}};
  if (s.size() > 14) return NOT_A_FLAG;
  const std::string w = lowerCase(s);
  for (const auto& [name, f] : flags)
    if (name == w) return f;
  return NOT_A_FLAG;
}

std::string_view flagToStr(uint8_t f) {
  switch (f) {
    case FLAG_CF: return "carry flag";
    case FLAG_PF: return "parity flag";
    case FLAG_AF: return "adjust flag";
    case FLAG_ZF: return "zero flag";
    case FLAG_SF: return "sign flag";
    case FLAG_TF: return "trap flag";
    case FLAG_DF: return "direction flag";
    case FLAG_OF: return "overflow flag";
    default: return "unknown flag";
  }
}

uint8_t strToSeg(std::string_view s) {
  static constexpr std::string_view segs[] = {"es", "cs", "ss", "ds", "fs", "gs"};
  if (s.size() != 2) return NOT_A_SEG;
  const char w[2] = {lowerChar(s[0]), lowerChar(s[1])};
  for (uint8_t i = 0; i < 6; ++i)
    if (segs[i] == std::string_view(w, 2)) return i;
  return NOT_A_SEG;
}

std::string_view segToStr(uint8_t s) {
  static constexpr std::string_view segs[] = {"es", "cs", "ss", "ds", "fs", "gs"};
  return s < 6 ? segs[s] : std::string_view{};
}

}  // namespace vorak
