// libFuzzer target: random bytes as the body of a project, compiled in-process
// through the whole statement loop (directives, declarations, operands, the
// encoder). Every run must end without a crash, a hang or a sanitizer report;
// a fatal error or a failure of the system's own classes is a normal end,
// while any other exception is an internal fault.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"
#include "plugins/PluginManager.h"

using namespace vorak;

namespace {
vbool acceptBuild(uint32_t, uint32_t) { return 1; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const modes[] = {"16", "32", "64", "32"};
  const std::string text = std::string("program TEST;\n#set bits ") + modes[data[0] & 3] + "\n" +
                           std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  InitVorak();
  Plugins->registerBuilder("TEST", &acceptBuild);
  // Macros that call themselves twice per body double up to the whole
  // budget before they stop; a small one keeps each input fast.
  MacMan->setCallBudget(1 << 14);
  auto* f = new TAFile(false);
  f->loadBuffer("fuzz.vor", text, nullptr);
  try {
    Compiler->Compile();
  } catch (const EVorakError&) {
    // A fatal error or a reported failure: the run would end here.
  } catch (const std::exception& e) {
    std::fprintf(stderr, "internal fault: %s\n", e.what());
    std::abort();
  }
  DeinitVorak();
  return 0;
}
