// The compile driver: the compiler object's life cycle, loading the project,
// Compile from the program header to the check for labels never placed, the
// expect readers and the notes on forward-referenced labels.
#include "compiler/statements/Compiler.h"

#include <algorithm>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/DirectiveHandlers.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "encoder/VorAssembler.h"
#include "plugins/PluginManager.h"

namespace vorak {

TCompiler::TCompiler() : F_Assembler(std::make_unique<TVorAssembler>()) { CompileFlags.stackframe_on = 1; }

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
  if (!f->loadFile(projFile, nullptr)) Log->FatalError(msg::ProjectMissing, projFile);
  if (Plugins) Plugins->notifyFileEntry(f);
}

namespace {


// The program header: "program" TYPE [string] ";". Selects the builder.
void readProgramHeader() {
  if (Compiler->ExpectKeyword({keyProgram}) == keyNone) Log->FatalError(msg::ProgramExpected);
  if (Compiler->ExpectToken({ttIdent}) == ttNone) Log->FatalError(msg::ProgramType);
  TCurrentToken& tk = *Compiler->CurToken();
  if (!Settings->ProgramStr().empty()) tk.F_String = Settings->ProgramStr();
  if (!Plugins->selectBuilder(tk.F_String))
    Log->FatalError(msg::UnknownApplicationType, upperCase(tk.F_String), Plugins->builderNames());
  // The optional icon string is accepted and not used.
  TAFile* f = Compiler->CurFile();
  if (f->peekNextRealChar(true) == ';') {
    f->setPosition(f->lastPeek());
    return;
  }
  if (Compiler->ExpectToken({ttAnsiString}) == ttNone) unexpected(unx::ProgramIcon);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::ProgramEnd);
}

}  // namespace

uint32_t TCompiler::Compile() {
  DefMan->addDefine("MMX_SUPPORT", int64_t{1});
  // Item 0 is the macro manager's body buffer, item 1 the project file.
  if (F_ListFiles.size() < 2) Log->FatalError(msg::NoProjectFile);
  F_CurFile = F_ListFiles[1];

  F_MainFunc = FuncMan->CreateFunction(ltProc, nullptr);
  F_CurFunc = F_MainFunc;
  F_MainFunc->IsCalled = 1;
  vorStrAssign(F_MainFunc->Name, "rtlmain");
  vorStrAssign(F_MainFunc->ImportName, "rtlmain");
  Idents->addIdent(itProc, "rtlmain", F_MainFunc);

  readProgramHeader();
  handle_DIRECTIVE_doinclude("vorak.vor", true);
  Plugins->builderStartTrigger();

  HandleDeclarations(-1);
  // Only the conditional directives open a loop that a directive may close;
  // at top level such a directive has nothing to close.
  if (F_LoopEnd == TLoopEnd::Directive)
    Log->FatalError(msg::ClosingWithoutOpen, "#" + lowerCase(F_CurToken->F_String));

  // A last byte C3 may belong to any instruction (add ebx, eax is 01 C3),
  // and a label at the end is jumped to past the return before it.
  if (CompileFlags.entry_funcid != 0 && !endsWithReturn(F_MainFunc)) appendCode(F_MainFunc, "\xC3");
  Consts->clearInactive();

  for (TFunction* f : FuncMan->FuncList()) {
    if (f->Type_ != ltRef) continue;
    const std::string text = msg::text(msg::LabelMissing, vorStrView(f->Name));
    const TLabelReference* ref = labelReference(f);
    if (ref) Log->FatalError(text, true, ref->chr, ref->line, ref->lineChar, ref->file);
    Log->FatalError(text);
  }
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

bool TCompiler::ExpectFreeIdent() {
  return readNext(*this, false) == ttIdent && F_CurToken->F_IdentType == itNone;
}

TKeyword TCompiler::ExpectKeyword(std::initializer_list<TKeyword> Expected) {
  if (readNext(*this, false) != ttIdent) return keyNone;
  for (TKeyword e : Expected)
    if (e == F_CurToken->F_Keyword) return e;
  return keyNone;
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
  if (!F_CurFunc || !F_CurFile) return false;
  TAFile* parent = F_CurFile;
  auto* f = new TAFile(false);  // the file list owns it from here on
  // No parent while it runs, so the loop ends with the text itself. Going on
  // into the parent from inside the plug-in's call would compile the rest of
  // the project one plug-in frame deeper for every such keyword, and a "}"
  // of the parent would end this loop instead of its own block's.
  f->loadBuffer(name, text, nullptr);
  // The parent is no reader's while the text runs: it must not be freed.
  const TFilePin pin(parent);
  F_CurFile = f;
  HandleDeclarations(-1);
  if (F_LoopEnd == TLoopEnd::Brace) Log->FatalError(msg::UnexpectedSymbol, "}");
  if (F_LoopEnd == TLoopEnd::Directive)
    Log->FatalError(msg::ClosingWithoutOpen, "#" + lowerCase(F_CurToken->F_String));
  f->setParent(parent);
  F_CurFile = parent;
  return true;
}

// ---- Evaluated texts ----

void TCompiler::openEvalText(const std::string& name, const std::string& text) {
  // A text that evaluates itself would hold ever more texts open; they are
  // bounded with the loops that hold them, as when each ran a loop of its own.
  uint32_t open = 1;
  for (const TAFile* f = F_CurFile; f; f = f->Parent()) open += f->IsEvalText() ? 1 : 0;
  if (F_LoopDepth + open > kMaxLoopDepth) Log->FatalError(msg::BlocksTooDeep, std::to_string(kMaxLoopDepth));
  auto buffer = std::make_unique<TAFile>(true);
  buffer->loadBuffer(name, text, F_CurFile);
  buffer->setEvalText(true);
  F_EvalTexts.push_back(std::move(buffer));
  F_CurFile = F_EvalTexts.back().get();
}

void TCompiler::collectEvalTexts() {
  // Marks each root and the texts that hold it; a chain is walked only up
  // to a buffer marked already.
  auto mark = [](TAFile* f, bool on) {
    for (; f && f->F_Reached != on; f = f->Parent()) f->F_Reached = on;
  };
  auto markAll = [&](bool on) {
    mark(F_CurFile, on);
    for (TAFile* f : F_Pins) mark(f, on);
    if (MacMan)
      for (void* f : MacMan->parentStack) mark(static_cast<TAFile*>(f), on);
  };
  markAll(true);
  const auto freed = std::stable_partition(F_EvalTexts.begin(), F_EvalTexts.end(),
                                           [](const std::unique_ptr<TAFile>& e) { return e->F_Reached; });
  const bool orphans =
      std::any_of(freed, F_EvalTexts.end(), [](const std::unique_ptr<TAFile>& e) { return e->F_HoldsListed; });
  // Texts that an evaluated one included (or a plug-in handed in) outlive
  // it: they forget it.
  if (orphans)
    for (TAFile* f : F_ListFiles)
      if (f->Parent() && f->Parent()->IsEvalText() && !f->Parent()->F_Reached) f->setParent(nullptr);
  markAll(false);
  F_EvalTexts.erase(freed, F_EvalTexts.end());
}

uint32_t TCompiler::GetTotalLines() const {
  if (!F_Initialised) return 0;
  uint32_t total = 0;
  for (const TAFile* f : F_ListFiles) total += f->TotalLines();
  return total;
}

// ---- Labels ----

TAFile* TCompiler::nearestListedFile() const {
  for (TAFile* f = F_CurFile; f; f = f->Parent())
    if (std::find(F_ListFiles.begin(), F_ListFiles.end(), f) != F_ListFiles.end()) return f;
  return nullptr;
}

TFunction* TCompiler::createForwardLabel(std::string_view name) {
  TFunction* label = FuncMan->CreateFunction(ltRef, nullptr);
  vorStrAssign(label->Name, name);
  vorStrAssign(label->ImportName, name);
  setCalled(label, F_CurFunc);
  // A reference read from a temporary buffer (an evaluated text) is reported
  // where that text was invoked: the temporary buffer is gone by the end.
  noteLabelReference(label);
  Idents->addIdent(itLabel, name, label);
  F_WrittenLabels.insert(label);
  return label;
}

TSourceSpot TCompiler::currentSpot() const {
  TAFile* f = nearestListedFile();
  if (!f) return {};
  return {f, f->CurLine, f->CurLineChar, f->CurChar};
}

void TCompiler::noteLabelReference(TFunction* label) {
  if (TAFile* f = nearestListedFile()) F_LabelRefs[label] = {f, f->CurLine, f->CurLineChar, f->CurChar};
}

void TCompiler::placeLabel(TFunction* label) {
  ++F_LabelsPlaced;
  label->Type_ = ltLabel;
  label->Address = F_CurFunc ? F_CurFunc->BufLen : 0;
  label->Parent = F_CurFunc;
  // These held where the label was referred to (a plug-in's reference keeps
  // the character position in BufLen); a placed label has no code of its own.
  label->BufLen = 0;
  label->ParamCount = 0;
  label->ParamSize = 0;
  vorStrAssign(label->ImportName, vorStrView(label->Name));
  F_LabelRefs.erase(label);
  arriveAt(label, true);
}

const TBodyFrame* TCompiler::bodyFrame(const TFunction* fn) const {
  const auto it = F_Bodies.find(fn);
  return it == F_Bodies.end() ? nullptr : &it->second;
}

bool TCompiler::lastReturnHolds(const TFunction* fn) const {
  return F_LastReturn.fn == fn && F_LastReturn.records == FuncMan->FuncList().size() &&
         F_LastReturn.placed == F_LabelsPlaced;
}

bool TCompiler::usesFrame(const TFunction* fn) const {
  const TBodyFrame* b = bodyFrame(fn);
  return b ? b->frame : CompileFlags.stackframe_on != 0;
}

const TLabelReference* TCompiler::labelReference(const TFunction* label) const {
  const auto it = F_LabelRefs.find(label);
  return it == F_LabelRefs.end() ? nullptr : &it->second;
}

}  // namespace vorak
