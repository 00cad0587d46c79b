// Runs pieces of a FLAT image in the emulator from any offset with chosen
// register values (one engine for many runs), and renders an image as a
// list of instructions whose jump targets are instruction numbers, so that
// code shapes read without addresses or the builder's padding.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "e2e/FlatHarness.h"
#include "support/Disasm.h"
#include "support/Emulator.h"

namespace vorak::test {

class CodeRunner {
 public:
  CodeRunner(const std::vector<uint8_t>& image, int mode) : mode_(mode) {
    const uc_mode m = mode == 16 ? UC_MODE_16 : mode == 64 ? UC_MODE_64 : UC_MODE_32;
    if (uc_open(UC_ARCH_X86, m, &uc_) != UC_ERR_OK) {
      uc_ = nullptr;
      return;
    }
    uc_mem_map(uc_, 0, kFlatMemSize, UC_PROT_ALL);
    if (!image.empty() && image.size() < flatReturnAddress(mode)) uc_mem_write(uc_, 0, image.data(), image.size());
  }
  ~CodeRunner() {
    if (uc_) uc_close(uc_);
  }
  CodeRunner(const CodeRunner&) = delete;
  CodeRunner& operator=(const CodeRunner&) = delete;
  bool ok() const { return uc_ != nullptr; }

  struct Result {
    bool returned = false;  // came back to the caller within the limit
    std::string fault;      // the emulator's complaint, if any
    uint64_t regs[16] = {};
    uint64_t reg(int n) const { return regs[n & 15]; }
  };

  // Calls the code at start with the given registers (all others 0, the
  // stack pointer below a return address) until it returns.
  Result call(uint64_t start, const std::map<int, uint64_t>& regs, uint64_t limit = 100000) {
    Result r;
    const unsigned word = mode_ == 16 ? 2 : mode_ == 32 ? 4 : 8;
    const uint64_t ret = flatReturnAddress(mode_);
    const uint64_t sp = flatStackTop(mode_) - word;
    uc_mem_write(uc_, sp, &ret, word);
    const int n = mode_ == 64 ? 16 : 8;
    for (int i = 0; i < n; ++i) {
      const auto it = regs.find(i);
      uint64_t v = i == rSP ? sp : it == regs.end() ? 0 : it->second;
      if (mode_ != 64) v &= 0xFFFFFFFFu;
      uc_reg_write(uc_, regId(i), &v);
    }
    const uc_err err = uc_emu_start(uc_, start, ret, 0, limit);
    uint64_t pc = 0;
    uc_reg_read(uc_, mode_ == 64 ? UC_X86_REG_RIP : mode_ == 32 ? UC_X86_REG_EIP : UC_X86_REG_IP, &pc);
    if (mode_ == 16) pc &= 0xFFFF;
    r.returned = err == UC_ERR_OK && pc == ret;
    if (err != UC_ERR_OK) r.fault = uc_strerror(err);
    if (!r.returned) r.fault += " stopped at " + std::to_string(pc);
    for (int i = 0; i < n; ++i) {
      uint64_t v = 0;
      uc_reg_read(uc_, regId(i), &v);
      r.regs[i] = mode_ == 64 ? v : v & 0xFFFFFFFFu;
    }
    return r;
  }

  void write(uint64_t addr, const void* bytes, size_t n) { uc_mem_write(uc_, addr, bytes, n); }
  uint64_t read(uint64_t addr, unsigned size) {
    uint64_t v = 0;
    uc_mem_read(uc_, addr, &v, size);
    return v;
  }
  // Segment register FS, for code that reads fs:[0].
  void setFsBase(uint64_t base) {
    if (mode_ == 64) {
      uc_reg_write(uc_, UC_X86_REG_FS_BASE, &base);
      return;
    }
    // Outside 64-bit mode: a data descriptor at base in a small GDT, and a
    // flat 32-bit one for SS (loading a selector otherwise leaves the stack
    // pointer read as 16 bits).
    const uint64_t gdt = 0x1E0000;
    const uint64_t limit = 0xFFFFF;
    const uint64_t desc = (limit & 0xFFFF) | ((base & 0xFFFFFF) << 16) | (0x93ull << 40) |
                          (((limit >> 16) & 0xF) << 48) | (0xCull << 52) | (((base >> 24) & 0xFF) << 56);
    const uint64_t flat = 0xFFFF | (0x93ull << 40) | (0xFull << 48) | (0xCull << 52);
    const uint64_t zero = 0;
    uc_mem_write(uc_, gdt, &zero, 8);
    uc_mem_write(uc_, gdt + 8, &desc, 8);
    uc_mem_write(uc_, gdt + 16, &flat, 8);
    uc_x86_mmr g{};
    g.base = gdt;
    g.limit = 24 - 1;
    uc_reg_write(uc_, UC_X86_REG_GDTR, &g);
    const uint64_t fs = 8, ss = 16;
    uc_reg_write(uc_, UC_X86_REG_FS, &fs);
    uc_reg_write(uc_, UC_X86_REG_SS, &ss);
  }

 private:
  int regId(int n) const { return emuRegOf(mode_, n); }
  int mode_;
  uc_engine* uc_ = nullptr;
};

// The offset just after the marker "mov ebp, 0x5A5A0000 + n" (BD imm32; in
// 16-bit mode "mov bp, 0x5A00 + n", BD imm16, n below 256), searched from
// `from`; 0 when it is missing.
inline uint64_t afterMarker(const std::vector<uint8_t>& image, uint32_t n, int mode, uint64_t from = 0) {
  std::vector<uint8_t> pat;
  if (mode == 16)
    pat = {0xBD, uint8_t(n & 0xFF), 0x5A};
  else
    pat = {0xBD, uint8_t(n & 0xFF), uint8_t(n >> 8), 0x5A, 0x5A};
  for (uint64_t i = from; i + pat.size() <= image.size(); ++i) {
    bool hit = true;
    for (size_t k = 0; k < pat.size() && hit; ++k) hit = image[i + k] == pat[k];
    if (hit) return i + pat.size();
  }
  return 0;
}

// The marker statement for afterMarker.
inline std::string markerLine(uint32_t n, int mode) {
  if (mode == 16) return "mov bp, " + std::to_string(0x5A00u + (n & 0xFF)) + "\n";
  return "mov ebp, " + std::to_string(0x5A5A0000u + n) + "\n";
}

// The instructions of code from begin to end (nops, the builder's padding,
// dropped), one text each; a jump or call to a place inside the range names
// the number of the instruction there as "#k", so shapes compare without
// addresses.
inline std::vector<std::string> shapeOf(const std::vector<uint8_t>& image, int mode, uint64_t begin, uint64_t end) {
  std::vector<std::string> out;
  if (end > image.size() || begin >= end) return out;
  const std::string bytes(image.begin() + static_cast<long>(begin), image.begin() + static_cast<long>(end));
  std::vector<Decoded> all = decodeAll(bytes, mode);
  std::vector<uint64_t> at;
  std::vector<Decoded> kept;
  uint64_t pos = begin;
  for (const Decoded& d : all) {
    if (d.mnemonic != "nop") {
      kept.push_back(d);
      at.push_back(pos);
    }
    pos += d.length;
  }
  for (const Decoded& d : kept) {
    const bool branch = !d.mnemonic.empty() && (d.mnemonic[0] == 'j' || d.mnemonic == "call");
    if (branch && d.ops.size() == 1 && d.ops[0].kind == DecodedOperand::Imm) {
      // Capstone reads targets relative to 0 = begin.
      const uint64_t target = static_cast<uint64_t>(d.ops[0].imm) + begin;
      size_t k = 0;
      while (k < at.size() && at[k] < target) ++k;
      out.push_back(d.mnemonic + " #" + std::to_string(k));
    } else {
      out.push_back(d.text);
    }
  }
  return out;
}

}  // namespace vorak::test
