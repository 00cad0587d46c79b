// Encoder micro-benchmark: one mixed stream of instructions (register,
// immediate and memory forms of mov, add, cmp, lea, push, pop, shifts, imul,
// test, SSE) encoded over and over through assemble and popCode. Reports
// instructions and megabytes of machine code per second, and the heap
// allocations made while encoding.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/driver/Common.h"
#include "encoder/InstructionTable.h"
#include "encoder/VorAssembler.h"

#include "AllocCounter.h"

using namespace vorak;

namespace {

struct Line {
  PInstruction row;
  TOperand ops[3];
  int count;
};

TOperand reg(TRegister r) {
  TOperand o;
  o.setRegister(false, r);
  return o;
}
TOperand imm(uint32_t v, uint32_t size) {
  TOperand o;
  o.setImm(false, v, size);
  return o;
}
TOperand mem(uint32_t size, int32_t disp, std::initializer_list<TRegister> regs, uint8_t scale = 0) {
  TOperand o;
  o.setMemory(false, size, disp, scale, regs, nullptr, otRegister, nullptr);
  return o;
}
TOperand xmm(int n) {
  TOperand o;
  o.setIntType(false, otXMM, n);
  return o;
}

Line line(const char* name, std::initializer_list<TOperand> ops) {
  Line l{opcodeLookup(name), {}, static_cast<int>(ops.size())};
  if (!l.row) {
    std::cerr << "unknown mnemonic " << name << "\n";
    std::exit(2);
  }
  int i = 0;
  for (const TOperand& o : ops) l.ops[i++] = o;
  return l;
}

}  // namespace

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
  std::streambuf* saved = std::cout.rdbuf();
  std::ostringstream quiet;
  std::cout.rdbuf(quiet.rdbuf());  // the banner
  InitVorak();
  std::cout.rdbuf(saved);
  CompileFlags.cpu_bits = 32;
  ptrSize = 4;

  const std::vector<Line> stream = {
      line("mov", {reg(REG_EAX), reg(REG_EBX)}),
      line("mov", {reg(REG_ECX), imm(1234, 4)}),
      line("mov", {reg(REG_EDX), mem(4, 8, {REG_EBP})}),
      line("mov", {mem(4, -16, {REG_ESP}), reg(REG_ESI)}),
      line("add", {reg(REG_EAX), imm(1, 1)}),
      line("add", {reg(REG_EDI), mem(4, 0x1000, {REG_EAX, REG_ECX}, 4)}),
      line("sub", {mem(4, 4, {REG_EBX}), imm(100000, 4)}),
      line("cmp", {reg(REG_EAX), reg(REG_EDX)}),
      line("cmp", {reg(REG_AL), imm(7, 1)}),
      line("lea", {reg(REG_ESI), mem(4, 12, {REG_EDI, REG_EAX}, 2)}),
      line("push", {reg(REG_EBP)}),
      line("push", {imm(42, 1)}),
      line("pop", {reg(REG_EBP)}),
      line("xor", {reg(REG_EAX), reg(REG_EAX)}),
      line("shl", {reg(REG_ECX), imm(3, 1)}),
      line("imul", {reg(REG_EAX), reg(REG_EBX), imm(10, 1)}),
      line("test", {reg(REG_EAX), imm(0x80, 4)}),
      line("inc", {reg(REG_ECX)}),
      line("movzx", {reg(REG_EAX), mem(1, 3, {REG_ESI})}),
      line("addps", {xmm(1), xmm(2)}),
      line("mulsd", {xmm(0), mem(8, 16, {REG_EBX})}),
      line("nop", {}),
      line("ret", {}),
  };

  TVorAssembler as;
  uint64_t bytes = 0;
  for (const Line& l : stream) {  // every line must encode
    TOperand ops[3] = {l.ops[0], l.ops[1], l.ops[2]};
    const uint32_t rc = as.assemble(l.row, l.count > 0 ? &ops[0] : nullptr, l.count > 1 ? &ops[1] : nullptr,
                                    l.count > 2 ? &ops[2] : nullptr, false);
    if (rc != 0) {
      std::cerr << l.row->name << ": " << TVorAssembler::errorCodeToString(rc) << "\n";
      return 2;
    }
    as.popCode();
  }

  double best = 1e30;
  uint64_t allocs = 0;
  for (int pass = 0; pass < 5; ++pass) {
    const uint64_t a0 = allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    bytes = 0;
    for (long r = 0; r < rounds; ++r) {
      for (const Line& l : stream) {
        TOperand ops[3] = {l.ops[0], l.ops[1], l.ops[2]};
        as.assemble(l.row, l.count > 0 ? &ops[0] : nullptr, l.count > 1 ? &ops[1] : nullptr,
                    l.count > 2 ? &ops[2] : nullptr, false);
        bytes += as.popCode().size();
      }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
    allocs = allocations.load() - a0;
  }
  const double instructions = static_cast<double>(rounds) * static_cast<double>(stream.size());
  std::printf("%.0f instructions, %.1f MB of code, best of 5: %.3f s, %.1f M instructions/s, %.1f MB/s, "
              "%llu heap allocations per pass\n",
              instructions, static_cast<double>(bytes) / 1e6, best, instructions / best / 1e6,
              static_cast<double>(bytes) / best / 1e6, static_cast<unsigned long long>(allocs));
  DeinitVorak();
  return 0;
}
