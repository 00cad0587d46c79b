// Macro calls with very long argument lists, through the built executable:
// a call that runs out of memory ends with the top level's one line, and
// the arguments past a macro's declared count are not held. Evaluated
// texts, which are freed once read, under an allocator that hands a freed
// block out again at once and under one that does not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "e2e/FlatHarness.h"
#include "support/RunVorak.h"

namespace vorak::test {
namespace {

// A FLAT program that calls the macro m, declared with params, with count
// arguments "1" on one line.
std::string callWithArguments(const std::string& params, size_t count) {
  std::string text = "program FLAT;\ninline procedure m(" + params + ") { nop }\nm(";
  text.reserve(text.size() + 3 * count + 16);
  for (size_t i = 0; i < count; ++i) text += i ? ", 1" : "1";
  text += ");\nret\n";
  return text;
}

RunResult compile(const TempDir& dir, const std::string& text, const RunOptions& options = {}) {
  std::ofstream(dir.path() + "/p.vor", std::ios::binary) << text;
  return runVorak({"p.vor", "-nopause"}, dir.path(), options);
}

// The last line the run printed.
std::string lastLine(const std::string& out) {
  std::string s = out;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  const size_t at = s.find_last_of('\n');
  return at == std::string::npos ? s : s.substr(at + 1);
}

// A macro that takes any number of arguments holds them all: a million of
// them do not fit in 200 MiB. Handing the tokens back while the failure
// unwinds the call must not allocate, or the process aborts instead of
// reporting. The limit is the child's alone.
TEST(MacroMemory, OutOfMemoryInACallEndsWithOneLine) {
  TempDir dir;
  RunOptions options;
  options.memoryLimitMiB = 200;
  const RunResult r = compile(dir, callWithArguments(";", 1000001), options);
  EXPECT_EQ(r.exitCode, 1) << "128 + n is a signal; the output ends:\n" << lastLine(r.out);
  EXPECT_EQ(lastLine(r.out), "EOutOfMemory: Out of memory");
  EXPECT_EQ(r.out.find("EOutOfMemory"), r.out.rfind("EOutOfMemory")) << r.out;
}

// One line of arguments to a macro of one parameter: the count check names
// every argument, and the compiler holds little more than the source. The
// base is a call of two arguments, which leaves the runtime (and under
// AddressSanitizer its tables) aside.
TEST(MacroMemory, SurplusArgumentsAreCountedNotHeld) {
  constexpr size_t kArguments = 1400000;  // about 4 MiB of source
  const std::string big = callWithArguments("$a", kArguments);
  const double sourceKiB = static_cast<double>(big.size()) / 1024;
  RunOptions options;
  options.measurePeak = true;
  TempDir small, large;
  const RunResult base = compile(small, callWithArguments("$a", 2), options);
  ASSERT_EQ(base.exitCode, 1) << base.out;
  EXPECT_NE(base.out.find("[32234] Macro \"m\" expected 1 params, received 2 in [p.vor]"), std::string::npos)
      << base.out;
  const RunResult r = compile(large, big, options);
  ASSERT_EQ(r.exitCode, 1) << lastLine(r.out);
  EXPECT_NE(r.out.find("[32234] Macro \"m\" expected 1 params, received " + std::to_string(kArguments) +
                       " in [p.vor]"),
            std::string::npos)
      << lastLine(r.out);
  ASSERT_GT(base.peakKiB, 0);
  ASSERT_GT(r.peakKiB, 0);
  EXPECT_LE(static_cast<double>(r.peakKiB), static_cast<double>(base.peakKiB) + 4 * sourceKiB)
      << "peak " << r.peakKiB << " KiB for " << sourceKiB << " KiB of source, base " << base.peakKiB << " KiB";
}

// ---- Evaluated texts ----

// Two allocators for the compiler: one that hands a freed block out again
// at once (the C library's own; under AddressSanitizer, its quarantine
// turned off) and one that holds freed blocks back (the C library without
// its per-thread cache; under AddressSanitizer, a quarantine of its own
// size, whatever the tests' environment says).
std::vector<std::string> allocatorEnvironment(bool reuses) {
  const char* inherited = std::getenv("ASAN_OPTIONS");
  std::string asan = std::string("ASAN_OPTIONS=") + (inherited ? inherited : "") + ":";
  asan += reuses ? "quarantine_size_mb=0:thread_local_quarantine_size_kb=0" : "quarantine_size_mb=256";
  std::vector<std::string> env{asan};
  if (!reuses) env.push_back("GLIBC_TUNABLES=glibc.malloc.tcache_count=0");
  return env;
}

struct EvalCase {
  const char* what;
  const char* body;     // after "program FLAT;", before "ret"
  const char* message;  // the line of the compile's error; "" for a build
  uint64_t ebx;         // after a build: EBX when the image returns
};

// What a text read again or left stands for does not hang on whether its
// freed block comes back as the next text: the same program is built or
// refused, with the same message, either way.
TEST(EvaluatedTexts, CompileAlikeWhetherFreedTextsComeBackOrNot) {
  const EvalCase cases[] = {
      // A block begun in an evaluated text closes in that text: a branch
      // opened inside it read on out of the text before the "}" came.
      {"block closed in a later text",
       "xor eax, eax\n#eval('if (eax == 0) { #eval(\\'#if 1 == 1:\\') mov ebx, 1')\nmov ecx, 2\n#end\n"
       "#eval('mov edx, 3 }')\nmov esi, 4\n",
       "[1,12]: [7716] Unexpected symbol \"}\" in evaluated text in [master.$eval]", 0},
      {"block closed in the file",
       "xor eax, eax\n#eval('if (eax == 0) { #eval(\\'#if 1 == 1:\\') mov ebx, 1')\nmov ecx, 2\n#end\n"
       "#eval('mov edx, 3')\n}\nmov esi, 4\n",
       "[7,1]: [7720] Unexpected symbol \"}\": a block begun in an evaluated text must close in that text in [p.vor]",
       0},
      {"block left open at the text's end", "xor eax, eax\n#eval('if (eax == 0) { mov ebx, 1')\n}\n",
       "[1,27]: [70445] Block not closed by \"}\" in [master.$eval]", 0},
      {"block closed in its text", "xor eax, eax\n#eval('if (eax == 0) { mov ebx, 1 }')\n#eval('inc ebx')\n", "",
       2},
      {"branch of the text closed around a block",
       "xor eax, eax\nif (eax == 0) { #eval('#if 1 == 1:') mov ebx, 5 #end }\n#eval('inc ebx')\n", "", 6},
      {"texts of every pass", "xor ebx, ebx\n#repeat 3: #eval('#if 1 == 1: inc ebx') #end #end\n#eval('inc ebx')\n",
       "", 4},
      {"repeat opened in a text", "xor ebx, ebx\n#eval('#repeat 2: inc ebx') inc ebx #end\n#eval('inc ebx')\n", "",
       5},
      {"texts of macro calls",
       "inline procedure m() { #eval('inc ebx') }\nxor ebx, ebx\nm();\nm();\n#eval('if (ebx == 2) { inc ebx }')\n", "",
       3},
  };
  for (const EvalCase& c : cases) {
    for (const bool reuses : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (reuses ? ", freed blocks come back" : ", freed blocks held back"));
      FlatOptions o;
      o.env = allocatorEnvironment(reuses);
      const FlatRun r = runFlatProject(std::string("program FLAT;\n") + c.body + "ret\n", 32, o);
      if (*c.message) {
        EXPECT_EQ(r.compile.exitCode, 1) << r.compile.out;
        EXPECT_NE(r.compile.out.find(std::string("\n") + c.message + "\r\n"), std::string::npos) << r.compile.out;
        continue;
      }
      ASSERT_TRUE(r.built) << r.compile.out;
      ASSERT_TRUE(r.finished) << r.fault;
      EXPECT_EQ(r.reg(rBX), c.ebx);
    }
  }
}

}  // namespace
}  // namespace vorak::test
