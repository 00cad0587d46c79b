// The compile driver.
#include "compiler/statements/Compiler.h"

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "plugins/PluginManager.h"

namespace vorak {

TCompiler::TCompiler() { CompileFlags.stackframe_on = 1; }

TCompiler::~TCompiler() {
  delete F_CurToken;
  delete F_PeekToken;
  for (TAFile* f : F_ListFiles) delete f;
}

void TCompiler::InitCompiler() {
  F_CurToken = new TCurrentToken();
  F_PeekToken = new TCurrentToken();
  F_ListFiles.clear();
  F_Initialised = true;
}

void TCompiler::LoadProject(const std::string& projFile) {
  TAFile* f = new TAFile(false);
  if (!f->loadFile(projFile, nullptr)) Log->FatalError(projFile + " does not exist");
  if (Plugins) Plugins->notifyFileEntry(f);
}

uint32_t TCompiler::Compile() {
  // The statement loop and the builder selection plug in here.
  return 0;
}

uint32_t TCompiler::GetTotalLines() const {
  if (!F_Initialised) return 0;
  uint32_t total = 0;
  for (const TAFile* f : F_ListFiles) total += f->TotalLines();
  return total;
}

}  // namespace vorak
