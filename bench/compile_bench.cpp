// Whole-compile cost: compiles a generated stream of plain 32-bit instruction
// lines (the shape of bench/asm_compare.py's stream: register, immediate and
// memory operands, a label every 50 lines and a jump back) in-process, from
// the statement loop through the encoder into the functions' code, at one
// length and at twice it. It reports the time and the heap allocations of
// each compile, and the allocations that the extra lines added, per line
// (expected: none per instruction, only the records that labels need).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "plugins/PluginManager.h"

#include "AllocCounter.h"

using namespace vorak;

namespace {

vbool acceptBuild(uint32_t, uint32_t) { return 1; }

std::string generateSource(size_t lines) {
  static const char* const regs[] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "ebp"};
  static const char* const jumps[] = {"jne", "je", "jb", "jae", "jl", "jg"};
  static const int disps[] = {0, 4, 8, 16, 124, 256, 4096};
  static const int kAddImm[] = {1, 100, 1000, 70000};
  static const int kCmpImm[] = {0, 5, 300};
  std::mt19937 rng(7);
  auto reg = [&](size_t n = 7) { return std::string(regs[rng() % n]); };
  auto mem = [&](bool index) {
    std::string m = "[" + reg();
    if (index) {
      m += "+" + reg(6);
      const int scale = 1 << (rng() % 4);
      if (scale != 1) m += "*" + std::to_string(scale);
    }
    const int d = disps[rng() % 7];
    if (d) m += "+" + std::to_string(d);
    return m + "]";
  };
  std::string s = "program BENCH;\n";
  s.reserve(lines * 18);
  size_t labels = 0;
  for (size_t i = 0; i < lines; ++i) {
    if (i % 50 == 0) {
      s += "L" + std::to_string(labels++) + ":\n";
      continue;
    }
    if (i % 50 == 49) {
      const size_t from = labels > 3 ? labels - 3 : 0;
      s += std::string("  ") + jumps[rng() % 6] + " L" + std::to_string(from + rng() % (labels - from)) + "\n";
      continue;
    }
    switch (rng() % 12) {
      case 0: s += "  mov " + reg() + ", " + reg(); break;
      case 1: s += "  mov " + reg() + ", " + mem(false); break;
      case 2: s += "  mov " + mem(false) + ", " + reg(); break;
      case 3: s += "  add " + reg() + ", " + std::to_string(kAddImm[rng() % 4]); break;
      case 4: s += "  add " + reg() + ", " + reg(); break;
      case 5: s += "  sub " + reg() + ", " + mem(false); break;
      case 6: s += "  lea " + reg() + ", " + mem(true); break;
      case 7: s += "  push " + reg(); break;
      case 8: s += "  pop " + reg(); break;
      case 9: s += "  cmp " + reg() + ", " + std::to_string(kCmpImm[rng() % 3]); break;
      case 10: s += "  cmp " + reg() + ", " + mem(false); break;
      default: s += "  xor " + reg() + ", " + reg(); break;
    }
    s += '\n';
  }
  return s;
}

struct CompileCost {
  double seconds = 0;
  uint64_t allocations = 0;
  uint64_t codeBytes = 0;
  uint64_t checksum = 0;  // FNV-1a of the main function's code
};

// Best time of three compiles of the text; the allocations of the last.
CompileCost compileCost(const std::string& text) {
  CompileCost cost{1e30, 0};
  for (int round = 0; round < 3; ++round) {
    InitVorak();
    Plugins->registerBuilder("BENCH", &acceptBuild);
    auto* f = new TAFile(false);  // the compiler's file list owns it
    f->loadBuffer("bench.vor", text, nullptr);
    const uint64_t before = allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    try {
      Compiler->Compile();
    } catch (const EVorakError&) {
      std::fprintf(stderr, "the generated source did not compile\n");
      std::exit(1);
    }
    const auto t1 = std::chrono::steady_clock::now();
    cost.allocations = allocations.load() - before;
    const std::string_view code = vorStrView(Compiler->MainFunc()->Buffer);
    cost.codeBytes = code.size();
    cost.checksum = 14695981039346656037ull;
    for (char c : code) cost.checksum = (cost.checksum ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    cost.seconds = std::min(cost.seconds, std::chrono::duration<double>(t1 - t0).count());
    DeinitVorak();
  }
  return cost;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t lines = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 500000;
  std::freopen("/dev/null", "w", stdout);  // the banner and the messages
  const std::string one = generateSource(lines);
  const std::string two = generateSource(2 * lines);
  const CompileCost a = compileCost(one);
  const CompileCost b = compileCost(two);
  for (const auto& [n, c] : {std::pair{lines, a}, std::pair{2 * lines, b}})
    std::fprintf(stderr, "%zu lines: best of 3 %.3f s, %llu heap allocations, %llu bytes of code, checksum %016llx\n",
                 n, c.seconds, static_cast<unsigned long long>(c.allocations),
                 static_cast<unsigned long long>(c.codeBytes), static_cast<unsigned long long>(c.checksum));
  const double perLine = (static_cast<double>(b.allocations) - static_cast<double>(a.allocations)) /
                         static_cast<double>(lines);
  std::fprintf(stderr, "heap allocations per added line: %.4f (a label every 50 lines)\n", perLine);
  return 0;
}
