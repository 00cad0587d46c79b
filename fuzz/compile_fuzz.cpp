// libFuzzer target: random bytes as the body of a project, compiled in-process
// through the whole statement loop (directives, declarations, operands, the
// encoder). Every run must end without a crash, a hang or a sanitizer report;
// a fatal error or a failure of the system's own classes is a normal end,
// while any other exception is an internal fault. Each body is compiled twice,
// with plain instruction lines read straight from the buffer and token by
// token: both must print the same and give the same code.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "plugins/PluginManager.h"

using namespace vorak;

namespace {
vbool acceptBuild(uint32_t, uint32_t) { return 1; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // What a compile prints goes to a scratch file, read back after each one.
  char path[] = "/tmp/compile_fuzz_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || !std::freopen(path, "w+", stdout)) std::abort();
  close(fd);
  unlink(path);
  return 0;
}

namespace {

// Everything one compile printed and the main program's code.
std::string compileOnce(const std::string& text, bool direct) {
  std::fflush(stdout);
  if (ftruncate(fileno(stdout), 0) != 0) std::abort();
  std::rewind(stdout);
  InitVorak();
  Plugins->registerBuilder("TEST", &acceptBuild);
  Compiler->setDirectLines(direct);
  // Macros that call themselves twice per body double up to the whole
  // budget before they stop; a small one keeps each input fast.
  MacMan->setCallBudget(1 << 14);
  auto* f = new TAFile(false);
  f->loadBuffer("fuzz.vor", text, nullptr);
  std::string outcome;
  try {
    Compiler->Compile();
    outcome = "built\n" + std::string(vorStrView(Compiler->MainFunc()->Buffer));
  } catch (const EVorakError& e) {
    // A fatal error or a reported failure: the run would end here.
    outcome = std::string("stopped: ") + e.className() + ": " + e.what();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "internal fault: %s\n", e.what());
    std::abort();
  }
  DeinitVorak();
  std::fflush(stdout);
  std::string printed(static_cast<size_t>(ftell(stdout)), '\0');
  if (pread(fileno(stdout), printed.data(), printed.size(), 0) != static_cast<ssize_t>(printed.size())) std::abort();
  return printed + "\n" + outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const modes[] = {"16", "32", "64", "32"};
  const std::string text = std::string("program TEST;\n#set bits ") + modes[data[0] & 3] + "\n" +
                           std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string direct = compileOnce(text, true);
  const std::string tokens = compileOnce(text, false);
  if (direct != tokens) {
    std::fprintf(stderr, "the two ways differ\n--- direct:\n%s\n--- tokens:\n%s\n", direct.c_str(), tokens.c_str());
    std::abort();
  }
  return 0;
}
