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
  for (TCurrentToken* t : F_SpareTokens) delete t;
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

namespace {
// Reads the next token from the current file (the end when there is none).
TVorToken readNext(TCompiler& c, bool cleanIdent) {
  if (!c.CurFile()) return c.CurToken()->setNull();
  return c.CurFile()->moveNextToken(cleanIdent);
}
}  // namespace

bool TCompiler::ExpectSymbol(std::string_view Expected) {
  return readNext(*this, false) == ttSymbol && F_CurToken->F_String == Expected;
}

TVorToken TCompiler::ExpectToken(std::initializer_list<TVorToken> Expected, bool cleanIdent) {
  const TVorToken t = readNext(*this, cleanIdent);
  for (TVorToken e : Expected)
    if (e == t) return t;
  return ttNone;
}

TIdentType TCompiler::ExpectIdentType(std::initializer_list<TIdentType> Expected) {
  if (readNext(*this, false) != ttIdent) return itNone;
  for (TIdentType e : Expected)
    if (e == F_CurToken->F_IdentType) return e;
  return itNone;
}

TCurrentToken* TCompiler::beginPeek() {
  if (F_PeekDepth == F_SpareTokens.size()) {
    F_SpareTokens.reserve(F_SpareTokens.size() + 1);
    F_SpareTokens.push_back(new TCurrentToken());
  }
  TCurrentToken* saved = F_CurToken;
  F_CurToken = F_SpareTokens[F_PeekDepth++];
  return saved;
}

void TCompiler::endPeek(TCurrentToken* saved) {
  F_CurToken = saved;
  if (F_PeekDepth) --F_PeekDepth;
}

bool TCompiler::compileText(const std::string& name, const std::string& text) {
  if (!F_CurFunc) return false;
  TAFile* parent = F_CurFile;
  auto* f = new TAFile(false);  // the file list owns it from here on
  f->loadBuffer(name, text, nullptr);
  Log->FatalError("Compiling a source text needs the statement loop");
  (void)parent;
  return true;
}

uint32_t TCompiler::GetTotalLines() const {
  if (!F_Initialised) return 0;
  uint32_t total = 0;
  for (const TAFile* f : F_ListFiles) total += f->TotalLines();
  return total;
}

}  // namespace vorak
