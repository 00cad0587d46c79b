// Whole compile of a stream of nested function-macro calls: generates a
// project whose every line calls three function macros nested in each
// other's arguments (one computes at compile time, two emit code), compiles
// it in process and reports the time, the calls per second and the heap
// allocations per call. With "plain" the same instructions are written out
// instead, which gives the cost of the instructions alone.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Settings.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "plugins/PluginManager.h"

#include "AllocCounter.h"

using namespace vorak;

namespace {

vbool benchBuilder(uint32_t, uint32_t) { return 1; }

constexpr const char* kMacros =
    "inline function twice($v) {\n"
    "  $w = $v + $v;\n"
    "  #return $w;\n"
    "}\n"
    "inline function sq($a) {\n"
    "  mov ecx, $a\n"
    "  imul ecx, ecx\n"
    "  #return ecx;\n"
    "}\n"
    "inline function lin($a, $b) {\n"
    "  lea edx, [ecx+ecx*2]\n"
    "  add edx, $b\n"
    "  #return edx;\n"
    "}\n";

// Three calls per line: lin(sq(twice(k)), k). plain: the same code written
// out, for the cost of the instructions themselves.
std::string generateSource(uint64_t calls, bool plain) {
  std::string s = "program BENCH;\n#set bits 32\n";
  if (!plain) s += kMacros;
  for (uint64_t i = 0; i * 3 < calls; ++i) {
    const std::string k = std::to_string(i % 1000);
    if (plain)
      s += "mov ecx, " + std::to_string(i % 1000 * 2) + "\nimul ecx, ecx\nlea edx, [ecx+ecx*2]\nadd edx, " + k +
           "\nmov eax, edx\n";
    else
      s += "mov eax, lin(sq(twice(" + k + ")), " + k + ")\n";
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const bool plain = argc > 2 && std::string(argv[2]) == "plain";
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vorak_macro_bench";
  std::filesystem::create_directories(dir);
  const std::string project = (dir / "bench.vor").string();
  const std::string text = generateSource(calls, plain);
  std::ofstream(project, std::ios::binary) << text;

  double best = 1e30;
  uint64_t allocs = 0, codeBytes = 0, lines = 0, checksum = 0;
  for (int round = 0; round < 5; ++round) {
    InitVorak();
    Settings->setProjectPath(dir.string() + "/");
    Plugins->registerBuilder("BENCH", &benchBuilder);
    const uint64_t before = allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    Compiler->LoadProject(project);
    Compiler->Compile();
    const auto t1 = std::chrono::steady_clock::now();
    const uint64_t used = allocations.load() - before;
    allocs = round == 0 ? used : std::min(allocs, used);
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    const std::string_view code = vorStrView(Compiler->MainFunc()->Buffer);
    codeBytes = code.size();
    // FNV-1a of the code, so that a change to the compiler can be checked to
    // leave every byte as it was.
    checksum = 14695981039346656037ull;
    for (char c : code) checksum = (checksum ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    lines = Compiler->GetTotalLines();
    DeinitVorak();
  }
  const uint64_t made = (calls + 2) / 3 * 3;
  std::fprintf(stderr, "%s source: %zu bytes, %llu lines, %llu macro calls, %llu bytes of code\n",
               plain ? "plain" : "macro", text.size(),
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(made),
               static_cast<unsigned long long>(codeBytes));
  std::fprintf(stderr, "code checksum (FNV-1a): %016llx\n", static_cast<unsigned long long>(checksum));
  std::fprintf(stderr, "best of 5: %.3f s, %.2f M calls/s\n", best, made / best / 1e6);
  std::fprintf(stderr, "heap allocations per compile: %llu (%.3f per call)\n", static_cast<unsigned long long>(allocs),
               static_cast<double>(allocs) / made);
  std::filesystem::remove_all(dir);
  return 0;
}
