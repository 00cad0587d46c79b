// Tokenizer throughput: generates a large source of mixed instruction lines,
// numbers, strings, memory operands and comments, reads it token by token and
// reports tokens and megabytes per second, and the heap allocations made
// while reading (expected: none once the token buffers have grown).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/VarManager.h"

#include "AllocCounter.h"

using namespace vorak;

namespace {

std::string generateSource(size_t targetBytes) {
  std::mt19937 rng(2024);
  auto pick = [&](std::initializer_list<const char*> xs) { return *(xs.begin() + rng() % xs.size()); };
  std::string s;
  s.reserve(targetBytes + 256);
  while (s.size() < targetBytes) {
    switch (rng() % 10) {
      case 0:
        s += "  // ";
        s += pick({"load the next element", "loop until the counter runs out", "keep the flags"});
        s += '\n';
        break;
      case 1:
        s += "  /* block comment\n     over two lines */\n";
        break;
      case 2:
        s += "  mov ";
        s += pick({"eax", "ebx", "ecx", "edx"});
        s += ", [";
        s += pick({"ebx+esi*4+16", "ebp-8", "esp+0x20", "eax+ecx*2", "edi"});
        s += "]\n";
        break;
      case 3:
        s += "  add ";
        s += pick({"counter", "total", "eax", "buffer_len"});
        s += ", ";
        s += std::to_string(rng() % 100000);
        s += ";\n";
        break;
      case 4:
        s += "  push ";
        s += pick({"0x7FFF0000", "0b10110", "-42", "1.25", "65535"});
        s += '\n';
        break;
      case 5:
        s += "  msg = 'Hello, world\\n';  text = \"wide\\ttext\";\n";
        break;
      case 6:
        s += "  mov dword [eax+4], ";
        s += pick({"LIMIT", "total", "12"});
        s += '\n';
        break;
      case 7:
        s += "  if (eax == ebx) { call process_item; }\n";
        break;
      case 8:
        s += "  xor ";
        s += pick({"eax, eax", "edx, edx", "esi, esi"});
        s += "  ; cmp ecx, 0x10; jne next_label\n";
        break;
      default:
        s += pick({"  loop_start:\n", "  ret\n", "  dec ecx\n", "  lea esi, [esi+ecx*8+0x100]\n"});
        break;
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 16;
  std::freopen("/dev/null", "w", stdout);  // the banner
  InitVorak();
  CompileFlags.cpu_bits = 32;
  ptrSize = 4;
  // A few declared names for the resolver to find.
  TVarType* dword = static_cast<TVarType*>(Idents->findIdent("dword", 0)->ptr);
  VarMan->addVar(vmGlobal, "counter", dword, 1, 0);
  VarMan->addVar(vmGlobal, "total", dword, 1, 0);
  VarMan->addVar(vmGlobal, "buffer_len", dword, 1, 0);
  Consts->addConst("LIMIT", ctValue, 4, int64_t{1000});
  DefMan->addDefine("VERSION", 3);

  const std::string text = generateSource(megabytes << 20);
  auto* f = new TAFile(false);
  f->loadBuffer("bench.vor", text, nullptr);
  Compiler->setCurFile(f);

  double best = 1e30;
  uint64_t tokens = 0, allocs = 0;
  for (int round = 0; round < 5; ++round) {
    f->setPosition(TFilePos{});
    uint64_t n = 0;
    const uint64_t before = allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    while (f->moveNextToken() != ttEOF) ++n;
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    tokens = n;
    if (round > 0) allocs = std::max(allocs, allocations.load() - before);
  }
  const double mb = static_cast<double>(text.size()) / (1 << 20);
  std::fprintf(stderr, "source: %.1f MB, %llu tokens, %u lines\n", mb, static_cast<unsigned long long>(tokens),
               f->CurLine);
  std::fprintf(stderr, "best of 5: %.3f s, %.1f M tokens/s, %.1f MB/s\n", best, tokens / best / 1e6, mb / best);
  std::fprintf(stderr, "heap allocations per pass after the first: %llu\n", static_cast<unsigned long long>(allocs));
  DeinitVorak();
  return 0;
}
