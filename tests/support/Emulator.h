// Test oracle for multi-instruction expansions: Unicorn runs encoded bytes in
// 16-, 32- or 64-bit mode over one flat 128 KiB memory (segments 0), so that
// tests read back registers, memory and the stack pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <unicorn/unicorn.h>

namespace vorak::test {

// Layout shared by every mode; everything lies below 64 KiB so that 16-bit
// offsets and 32-bit address registers in 64-bit code reach it.
inline constexpr uint64_t kEmuCode = 0x1000;
inline constexpr uint64_t kEmuData = 0x4000;
inline constexpr uint64_t kEmuStackTop = 0xF000;
inline constexpr uint64_t kEmuMemSize = 0x20000;

// The general registers by x86 number (0 eAX .. 15 r15).
inline int emuReg(int n) {
  static const int regs[16] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                               UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                               UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                               UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
  return regs[n & 15];
}
// The 32-bit registers by x86 number (0 EAX .. 7 EDI).
inline int emuReg32(int n) {
  static const int regs[8] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                              UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
  return regs[n & 7];
}
// The register a mode's code knows by that number: outside 64-bit mode only
// the 32-bit registers exist.
inline int emuRegOf(int bits, int n) { return bits == 64 ? emuReg(n) : emuReg32(n); }

class Emulator {
 public:
  explicit Emulator(int bits) : bits_(bits) {
    const uc_mode mode = bits == 16 ? UC_MODE_16 : bits == 32 ? UC_MODE_32 : UC_MODE_64;
    if (uc_open(UC_ARCH_X86, mode, &uc_) != UC_ERR_OK) {
      uc_ = nullptr;
      return;
    }
    uc_mem_map(uc_, 0, kEmuMemSize, UC_PROT_ALL);
    for (int n = 0; n < 16 && (n < 8 || bits == 64); ++n) setReg(n, 0);
    setReg(4, kEmuStackTop);
  }
  ~Emulator() {
    if (uc_) uc_close(uc_);
  }
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  bool ok() const { return uc_ != nullptr; }
  int regCount() const { return bits_ == 64 ? 16 : 8; }

  void setReg(int n, uint64_t v) {
    // Outside 64-bit mode only the 32-bit registers exist.
    if (bits_ == 64) {
      uc_reg_write(uc_, emuReg(n), &v);
    } else {
      uint32_t x = static_cast<uint32_t>(v);
      uc_reg_write(uc_, emuReg32(n), &x);
    }
  }
  uint64_t reg(int n) {
    if (bits_ == 64) {
      uint64_t v = 0;
      uc_reg_read(uc_, emuReg(n), &v);
      return v;
    }
    uint32_t v = 0;
    uc_reg_read(uc_, emuReg32(n), &v);
    return v;
  }

  void write(uint64_t addr, const void* bytes, size_t n) { uc_mem_write(uc_, addr, bytes, n); }
  void writeBytes(uint64_t addr, const std::vector<uint8_t>& b) { write(addr, b.data(), b.size()); }
  std::vector<uint8_t> read(uint64_t addr, size_t n) {
    std::vector<uint8_t> b(n);
    uc_mem_read(uc_, addr, b.data(), n);
    return b;
  }

  // Runs code placed at kEmuCode to its end; UC_ERR_OK when every
  // instruction ran.
  uc_err run(std::string_view code) {
    write(kEmuCode, code.data(), code.size());
    return uc_emu_start(uc_, kEmuCode, kEmuCode + code.size(), 1000000, 0);
  }

 private:
  int bits_;
  uc_engine* uc_ = nullptr;
};

}  // namespace vorak::test
