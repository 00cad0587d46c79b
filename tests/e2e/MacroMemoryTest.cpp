// Macro calls with very long argument lists, through the built executable:
// a call that runs out of memory ends with the top level's one line, and
// the arguments past a macro's declared count are not held.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

}  // namespace
}  // namespace vorak::test
