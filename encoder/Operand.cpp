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

void TOperand::setPointer(bool iss, TOperandType pt, void* curFunc, void* dt, uint32_t sz) {
  setNull();
  issigned = iss;
  hint = pt;
  displacement = 0;
  ptr = curFunc;
  data = dt;
  size = sz ? sz : static_cast<uint32_t>(ptrSize);
}

void TOperand::setLabel(bool iss, void* p, uint32_t id) {
  setNull();
  issigned = iss;
  hint = otLabel;
  displacement = 0;
  ptr = p;
  value = id;
  size = CompileFlags.cpu_bits / 8;
}

void TOperand::setImm(bool iss, uint32_t dw, uint32_t len) {
  setNull();
  issigned = iss;
  hint = otImm;
  displacement = 0;
  value = dw;
  size = len;
}

void TOperand::setRegister(bool iss, TRegister reg) {
  setNull();
  issigned = iss;
  hint = otRegister;
  displacement = 0;
  reg_base = reg;
  size = regSize(reg);
}

void TOperand::setSegment(bool iss, TSegment sg) {
  setNull();
  issigned = iss;
  hint = otSegment;
  displacement = 0;
  seg = sg;
}

void TOperand::setIntType(bool iss, TOperandType tt, int64_t val) {
  setNull();
  issigned = iss;
  hint = tt;
  displacement = 0;
  size = 0;
  value = val;
}

void TOperand::setMemory(bool iss, uint32_t memsize, int32_t disp, uint8_t scal,
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
// through here), and a multiplicative hash finds the one candidate.
constexpr uint32_t pack(std::string_view s) {
  uint32_t k = 0;
  for (size_t i = 0; i < s.size(); ++i) k |= static_cast<uint32_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return k;
}

constexpr uint32_t kHashBits = 7;
constexpr uint32_t hashSlot(uint32_t key, uint32_t mul) { return (key * mul) >> (32 - kHashBits); }

struct TRegSlot {
  uint32_t key = 0;   // 0: empty (no name packs to 0)
  uint32_t fold = 0;  // 0x20 in the bytes that hold a letter: the case bit
  uint8_t reg = NOT_A_REG;
};

// Every byte of a register name has bit 5 set (lower-case letters, digits),
// so a text folded with it finds the one candidate; the candidate matches
// when the text differs from it in the case bit of its letters only.
constexpr uint32_t kCaseBits = 0x00202020u;

// The first odd multiplier (from a fixed start) that gives each of the 40
// names a slot of its own.
constexpr uint32_t findMultiplier() {
  for (uint32_t mul = 0x9E3779B1u;; mul += 2) {
    bool used[1u << kHashBits] = {};
    bool clash = false;
    for (size_t i = 0; i < 40 && !clash; ++i) {
      const uint32_t h = hashSlot(pack(kRegNames[i]), mul);
      clash = used[h];
      used[h] = true;
    }
    if (!clash) return mul;
  }
}
constexpr uint32_t kMultiplier = findMultiplier();

constexpr std::array<TRegSlot, (1u << kHashBits)> makeSlots() {
  std::array<TRegSlot, (1u << kHashBits)> t{};
  for (size_t i = 0; i < 40; ++i) {
    const std::string_view name = kRegNames[i];
    const uint32_t key = pack(name);
    uint32_t fold = 0;
    for (size_t k = 0; k < name.size(); ++k)
      if (name[k] >= 'a' && name[k] <= 'z') fold |= 0x20u << (8 * k);
    t[hashSlot(key, kMultiplier)] = {key, fold, static_cast<uint8_t>(i)};
  }
  return t;
}
constexpr auto kRegSlots = makeSlots();
static_assert((pack("r15") & kCaseBits) == (0x20202020u & kCaseBits), "every name byte has bit 5 set");

// The register whose name is the text packed in raw (A-Z read as a-z),
// whatever the mode; NOT_A_REG for none. width masks the text's bytes.
uint8_t findRaw(uint32_t raw, uint32_t width) {
  const TRegSlot& slot = kRegSlots[hashSlot(raw | (kCaseBits & width), kMultiplier)];
  return ((raw ^ slot.key) & ~slot.fold) == 0 ? slot.reg : NOT_A_REG;
}
}  // namespace

uint8_t strToReg(std::string_view s) {
  const size_t n = s.size();
  const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[i])); };
  if (n == 2 || n == 3) {
    uint32_t raw = byte(0) | (byte(1) << 8);
    if (n == 3) raw |= byte(2) << 16;
    const uint8_t r = findRaw(raw, n == 3 ? 0xFFFFFFu : 0xFFFFu);
    if (n == 2 || r == NOT_A_REG) return r;  // two-letter names (r8, r9 too) hold in every mode
    const uint32_t bits = CompileFlags.cpu_bits;
    if (r >= REG_EAX && r <= REG_EDI) return bits >= 32 ? r : NOT_A_REG;
    return bits >= 64 ? r : NOT_A_REG;  // rax-rdi, r10-r15
  }
  if (n != 5) return NOT_A_REG;
  const uint32_t bits = CompileFlags.cpu_bits;
  if (bits != 16 && bits != 32 && bits != 64) return NOT_A_REG;
  if (lowerChar(s[0]) != 'g' || lowerChar(s[1]) != 'p' || s[2] != '_') return NOT_A_REG;
  const uint8_t r = findRaw(byte(3) | (byte(4) << 8), 0xFFFFu);
  if (r < REG_AX || r > REG_DI) return NOT_A_REG;
  return static_cast<uint8_t>(r + (bits == 32 ? 8 : bits == 64 ? 16 : 0));
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
