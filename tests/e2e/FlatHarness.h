// End-to-end harness: a source compiled by the real executable with the FLAT
// builder, and the image run in the Unicorn emulator at address 0 until it
// returns to its caller, with an instruction limit. Tests then read the
// registers and the memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cctype>
#include <string_view>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Disasm.h"
#include "support/Emulator.h"
#include "support/RunVorak.h"

#include <unicorn/unicorn.h>

namespace vorak::test {

// Memory of the emulated machine: the image at 0, the stack below the
// return address the image returns to. 16-bit code runs with all segments
// 0, so everything it uses lies in the first 64 KiB.
inline constexpr uint64_t kFlatMemSize = 0x200000;
inline uint64_t flatStackTop(int mode) { return mode == 16 ? 0xFFF0 : 0x1F0000; }
inline uint64_t flatReturnAddress(int mode) { return mode == 16 ? 0xFF00 : 0x1FF000; }

struct FlatRun {
  RunResult compile{std::string(), -1};  // the compiler's output and exit code
  std::vector<uint8_t> image;             // the .bin file; empty without one
  bool built = false;                     // exit code 0 and an image written

  // The emulation, when there was one.
  bool finished = false;      // returned to its caller within the limit
  std::string fault;          // the emulator's complaint, if any
  uint64_t regs[16] = {};     // by x86 register number: 0 eAX .. 15 r15
  uint64_t pc = 0;            // where it stopped
  std::vector<uint8_t> memory;  // all of it, after the run

  uint64_t reg(int n) const { return regs[n & 15]; }
  uint64_t read(uint64_t addr, unsigned size) const {
    uint64_t v = 0;
    for (unsigned i = 0; i < size && addr + i < memory.size(); ++i) v |= uint64_t(memory[addr + i]) << (8 * i);
    return v;
  }
};

// x86 register numbers, for FlatRun::reg.
enum : int { rAX = 0, rCX, rDX, rBX, rSP, rBP, rSI, rDI, r8, r9, r10, r11, r12, r13, r14, r15 };

// Runs image at address 0 in the given mode (16, 32, 64), entered as by a
// call from flatReturnAddress, until it returns there or limit instructions
// have run; fills the emulation part of run.
inline void emulateFlat(FlatRun& run, int mode, uint64_t limit = 100000) {
  uc_engine* uc = nullptr;
  const uc_mode m = mode == 16 ? UC_MODE_16 : mode == 64 ? UC_MODE_64 : UC_MODE_32;
  if (uc_open(UC_ARCH_X86, m, &uc) != UC_ERR_OK) {
    run.fault = "unicorn cannot be opened";
    return;
  }
  uc_mem_map(uc, 0, kFlatMemSize, UC_PROT_ALL);
  if (run.image.size() > flatReturnAddress(mode)) {
    run.fault = "the image does not fit below the return address";
    uc_close(uc);
    return;
  }
  if (!run.image.empty()) uc_mem_write(uc, 0, run.image.data(), run.image.size());
  const unsigned word = mode == 16 ? 2 : mode == 32 ? 4 : 8;
  const uint64_t ret = flatReturnAddress(mode);
  const uint64_t sp = flatStackTop(mode) - word;
  uc_mem_write(uc, sp, &ret, word);
  const int nregs = mode == 64 ? 16 : 8;
  auto regId = [&](int n) { return emuRegOf(mode, n); };
  for (int n = 0; n < nregs; ++n) {
    uint64_t v = n == rSP ? sp : 0;
    uc_reg_write(uc, regId(n), &v);
  }
  const uc_err err = uc_emu_start(uc, 0, ret, 0, limit);
  if (err != UC_ERR_OK) run.fault = uc_strerror(err);
  for (int n = 0; n < nregs; ++n) {
    uint64_t v = 0;
    uc_reg_read(uc, regId(n), &v);
    run.regs[n] = mode == 64 ? v : v & 0xFFFFFFFFu;
  }
  uint64_t pc = 0;
  uc_reg_read(uc, mode == 64 ? UC_X86_REG_RIP : mode == 32 ? UC_X86_REG_EIP : UC_X86_REG_IP, &pc);
  run.pc = mode == 16 ? pc & 0xFFFF : mode == 32 ? pc & 0xFFFFFFFFu : pc;
  run.finished = err == UC_ERR_OK && run.pc == ret;
  if (err == UC_ERR_OK && !run.finished) run.fault = "the instruction limit was reached";
  run.memory.resize(kFlatMemSize);
  uc_mem_read(uc, 0, run.memory.data(), run.memory.size());
  uc_close(uc);
}

// The offsets of the NOP instructions in an image, read from its first byte
// to its last as code (Capstone), stepping over bytes it cannot decode.
inline std::vector<size_t> nopsIn(const std::vector<uint8_t>& image, int mode) {
  std::vector<size_t> at;
  const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
  for (size_t i = 0; i < all.size();) {
    const Decoded d = decode(all.substr(i), mode);
    if (!d.ok || d.length == 0) {
      ++i;
      continue;
    }
    if (d.mnemonic == "nop") at.push_back(i);
    i += d.length;
  }
  return at;
}

// How many NOPs a source may put into its image: one for every "nop" it
// writes, and for every #align directive the most filler that aligning to
// the pointer size can need.
inline size_t nopsWritten(const std::string& source, int mode) {
  auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  auto count = [&](std::string_view name, bool directive) {
    size_t n = 0;
    for (size_t i = 0; i + name.size() <= source.size(); ++i) {
      bool same = true;
      for (size_t k = 0; k < name.size() && same; ++k)
        same = std::tolower(static_cast<unsigned char>(source[i + k])) == name[k];
      if (!same) continue;
      const bool startsWord = directive ? i > 0 && source[i - 1] == '#' : i == 0 || !word(source[i - 1]);
      const bool endsWord = i + name.size() == source.size() || !word(source[i + name.size()]);
      if (startsWord && endsWord) ++n;
    }
    return n;
  };
  return count("nop", false) + count("align", true) * static_cast<size_t>(mode / 8 - 1);
}

struct FlatOptions {
  std::vector<std::string> plugins;  // plug-ins to place besides flat.so
  std::vector<std::string> args;     // further command-line arguments
  uint64_t instructionLimit = 100000;
  std::vector<std::string> env = {};  // variables added to the compiler's environment
};

// Compiles a whole project, its own "program" header included, with the
// FLAT builder; when the build succeeds, the image runs in the given mode.
inline FlatRun runFlatProject(const std::string& project, int mode, const FlatOptions& options = {}) {
  namespace fs = std::filesystem;
  FlatRun run;
  TempDir dir;
  const std::string src = dir.path() + "/p.vor";
  std::ofstream(src, std::ios::binary) << project;
  std::vector<std::string> plugins{shippedPlugin("flat")};
  plugins.insert(plugins.end(), options.plugins.begin(), options.plugins.end());
  std::vector<std::string> args{src, "-nopause"};
  args.insert(args.end(), options.args.begin(), options.args.end());
  RunOptions runOptions{plugins};
  runOptions.env = options.env;
  run.compile = runVorak(args, dir.path(), runOptions);
  std::ifstream in(dir.path() + "/p.bin", std::ios::binary);
  if (in) run.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  run.built = run.compile.exitCode == 0 && fs::exists(dir.path() + "/p.bin");
  // The builder leaves no NOP of its own: jumps and the locals room take
  // exactly their bytes, alignment no more filler than it needs.
  if (run.built) {
    const std::vector<size_t> nops = nopsIn(run.image, mode);
    EXPECT_LE(nops.size(), nopsWritten(project, mode))
        << "the image holds NOPs the source did not write, the first at offset " << (nops.empty() ? 0 : nops[0]);
  }
  if (run.built) emulateFlat(run, mode, options.instructionLimit);
  return run;
}

// Compiles a source with the FLAT builder in the given mode: the text gets
// the header "program FLAT;" and "#set bits <mode>" in front of it.
inline FlatRun runFlat(const std::string& source, int mode, const FlatOptions& options = {}) {
  return runFlatProject("program FLAT;\n#set bits " + std::to_string(mode) + "\n" + source, mode, options);
}

}  // namespace vorak::test
