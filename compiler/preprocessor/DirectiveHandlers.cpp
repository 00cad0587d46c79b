// Directives: the dispatcher over the directive names, #set, #include and
// #tryinclude, #define, the conditionals with the skipping of dead text,
// #repeat, #eval, #echo, #depreciated, #raise, #align, #resource and the
// directives of the macro machinery.
#include "compiler/preprocessor/DirectiveHandlers.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/output/ResourceManager.h"
#include "compiler/preprocessor/MacroHandlers.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"

namespace vorak {

namespace {

namespace fs = std::filesystem;

TVorToken readToken(bool cleanIdent = false) { return Compiler->CurFile()->moveNextToken(cleanIdent); }

enum class TDirective : uint8_t {
  If, Set, End, Else, Eval, Echo, Ifdef, Raise, Mpush, Mcall, Align, Define, Return, Elseif,
  Repeat, Ifndef, Gmpush, Include, Resource, Tryinclude, Labelstart, Depreciated, Handlemacro,
  Movenexttext
};

struct TDirectiveName {
  std::string_view name;
  TDirective id;
};

// Ordered by name length, as the dispatcher looks them up.
constexpr TDirectiveName kDirectives[] = {
    {"if", TDirective::If},
    {"set", TDirective::Set},
    {"end", TDirective::End},
    {"else", TDirective::Else},
    {"eval", TDirective::Eval},
    {"echo", TDirective::Echo},
    {"ifdef", TDirective::Ifdef},
    {"raise", TDirective::Raise},
    {"mpush", TDirective::Mpush},
    {"mcall", TDirective::Mcall},
    {"align", TDirective::Align},
    {"define", TDirective::Define},
    {"return", TDirective::Return},
    {"elseif", TDirective::Elseif},
    {"repeat", TDirective::Repeat},
    {"ifndef", TDirective::Ifndef},
    {"gmpush", TDirective::Gmpush},
    {"include", TDirective::Include},
    {"resource", TDirective::Resource},
    {"tryinclude", TDirective::Tryinclude},
    {"labelstart", TDirective::Labelstart},
    {"depreciated", TDirective::Depreciated},
    {"handlemacro", TDirective::Handlemacro},
    {"movenexttext", TDirective::Movenexttext},
};
constexpr size_t kLongestDirective = 12;

// The directive a name (A-Z folded) spells; false for any other name.
bool findDirective(std::string_view name, TDirective& id) {
  if (name.size() > kLongestDirective) return false;
  char buf[kLongestDirective];
  for (size_t i = 0; i < name.size(); ++i) buf[i] = lowerChar(name[i]);
  const std::string_view lower(buf, name.size());
  for (const TDirectiveName& d : kDirectives) {
    if (d.name.size() != lower.size()) continue;
    if (d.name == lower) {
      id = d.id;
      return true;
    }
  }
  return false;
}

}  // namespace

// Only the directives that open a loop of their own may be closed: the
// innermost of them, by a directive met in that very loop, and by the words
// its kind accepts. Kept by the conditionals while they run (TBodyScope).
namespace {

enum class TBodyKind : uint8_t { Branch, ElseBranch, RepeatBody };

struct TOpenBody {
  uint32_t loop = 0;  // the loop depth of the body; 0: none is open
  TBodyKind kind = TBodyKind::Branch;
};

TOpenBody openBody;
uint32_t openDirectives = 0;

// Deeper nesting would only wear the stack down; no real source comes near.
constexpr uint32_t kMaxDirectiveNesting = 256;

// A closing directive met in the current loop: fatal unless it closes the
// body that the innermost open conditional or repeat compiles there.
void checkClosing(TDirective id, std::string_view word) {
  const std::string name = "#" + lowerCase(word);
  if (openBody.loop == 0 || openBody.loop != Compiler->LoopDepth())
    Log->FatalError(msg::ClosingWithoutOpen, name);
  if (id == TDirective::End) return;
  if (openBody.kind == TBodyKind::ElseBranch) Log->FatalError(msg::ClosingAfterElse, name);
  if (openBody.kind == TBodyKind::RepeatBody) Log->FatalError(msg::ClosingInsideRepeat, name);
}

bool closeLoop(TClosingDirective d) {
  Compiler->setLastClosingDirective(d);
  return true;
}

}  // namespace

bool handle_DIRECTIVE() {
  TDirective id;
  if (!findDirective(cur().F_String, id)) {
    handle_DIRECTIVE_macrovar();
    return false;
  }
  switch (id) {
    case TDirective::If: return handle_DIRECTIVE_if();
    case TDirective::Set: handle_DIRECTIVE_set(); return false;
    case TDirective::End: checkClosing(id, cur().F_String); return closeLoop(TClosingDirective::End);
    case TDirective::Else: checkClosing(id, cur().F_String); return closeLoop(TClosingDirective::Else);
    case TDirective::Elseif: checkClosing(id, cur().F_String); return closeLoop(TClosingDirective::Elseif);
    case TDirective::Eval: return handle_DIRECTIVE_eval();
    case TDirective::Echo: handle_DIRECTIVE_echo(false); return false;
    case TDirective::Ifdef: return handle_DIRECTIVE_ifdef(false);
    case TDirective::Raise: handle_DIRECTIVE_raise(); return false;
    case TDirective::Mpush: handle_DIRECTIVE_mpush(false); return false;
    case TDirective::Mcall: handle_DIRECTIVE_mcall(); return false;
    case TDirective::Align: handle_DIRECTIVE_align(); return false;
    case TDirective::Define: handle_DIRECTIVE_define(); return false;
    case TDirective::Return: return handle_DIRECTIVE_return() && closeLoop(TClosingDirective::Return);
    case TDirective::Repeat: return handle_DIRECTIVE_repeat();
    case TDirective::Ifndef: return handle_DIRECTIVE_ifdef(true);
    case TDirective::Gmpush: handle_DIRECTIVE_mpush(true); return false;
    case TDirective::Include: handle_DIRECTIVE_include(false); return false;
    case TDirective::Resource: handle_DIRECTIVE_resource(); return false;
    case TDirective::Tryinclude: handle_DIRECTIVE_include(true); return false;
    case TDirective::Labelstart: handle_DIRECTIVE_labelstart(); return false;
    case TDirective::Depreciated: handle_DIRECTIVE_echo(true); return false;
    case TDirective::Handlemacro: handle_DIRECTIVE_handlemacro(); return false;
    case TDirective::Movenexttext: handle_DIRECTIVE_movenexttext(); return false;
  }
  return false;
}

// ---- #set ----

namespace {

// The value of an option: a number token, else the unexpected-token error.
int64_t readOptionNumber(unx::Id code) {
  if (Compiler->ExpectToken({ttNumber}) == ttNone) unexpected(code);
  return cur().F_Integer;
}

uint32_t lowWord(int64_t v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); }
bool lowByteSet(int64_t v) { return (static_cast<uint64_t>(v) & 0xFF) != 0; }

}  // namespace

void handle_DIRECTIVE_set() {
  // An option set before may be a define by now ("frame", "bits"): its
  // define name is the option's name.
  readToken();
  std::string option;
  if (!cur().F_DefName.empty())
    option = lowerCase(cur().F_DefName);
  else if (cur().F_Type == ttIdent)
    option = lowerCase(cur().F_String);
  else
    unexpected(unx::SetOptionName);

  if (option == "frame") {
    const int64_t v = readOptionNumber(unx::SetFrameValue);
    if (lowWord(v) >= 2) Log->FatalError(msg::SetFrameMode);
    if (CompileFlags.cpu_bits == 16) {
      CompileFlags.stackframe_on = 1;
      DefMan->addDefine("frame", int64_t{1});
    } else {
      CompileFlags.stackframe_on = lowByteSet(v);
      DefMan->addDefine("frame", v);
    }
  } else if (option == "cpu") {
    const uint32_t mode = lowWord(readOptionNumber(unx::SetCpuValue));
    if (mode != 386 && mode != 486 && mode != 586 && mode != 686) Log->FatalError(msg::SetCpuMode);
    CompileFlags.cpu_mode = mode;
  } else if (option == "defaultcc") {
    const TKeyword k = Compiler->ExpectKeyword({keyStdcall, keyCDecl, keyMSX64});
    if (k == keyNone) unexpected(unx::SetDefaultCC);
    DefaultCC = Key2Convention(k);
  } else if (option == "m2m_reg") {
    CompileFlags.m2m_reg = readOptionNumber(unx::SetOnOffValue) != 0 ? REG_EAX : REG_NONE;
  } else if (option == "imm_roll") {
    CompileFlags.imm_roll = readOptionNumber(unx::SetOnOffValue) != 0;
  } else if (option == "awd") {
    CompileFlags.awd = readOptionNumber(unx::SetAwdValue) != 0;
  } else if (option == "stack_size") {
    CompileFlags.stack_size = lowWord(readOptionNumber(unx::SetStackSizeValue));
  } else if (option == "bits") {
    const int64_t v = readOptionNumber(unx::SetBitsValue);
    if (v % 8 != 0) Log->FatalError(msg::BitsNotByteMultiple);
    // The encoder and the pointer size know these three modes only.
    if (v != 16 && v != 32 && v != 64) Log->FatalError(msg::BitsMode);
    CompileFlags.cpu_bits = lowWord(v);
    if (CompileFlags.cpu_bits == 16) {
      CompileFlags.stackframe_on = 1;
      DefMan->addDefine("frame", int64_t{1});
    }
    ptrSize = static_cast<int32_t>(CompileFlags.cpu_bits / 8);
    VarMan->resizeVarTypes();
    DefMan->addDefine("bits", v);
  } else if (option == "relocations") {
    const int64_t v = readOptionNumber(unx::SetSwitchValue);
    if (lowWord(v) >= 2) Log->FatalError(msg::RelocationsSwitch);
    CompileFlags.relocations = lowByteSet(v);
    DefMan->addDefine("relocations", v);
  } else if (option == "optimise") {
    const int64_t v = readOptionNumber(unx::SetSwitchValue);
    if (lowWord(v) >= 2) Log->FatalError(msg::OptimiseSwitch);
    CompileFlags.optimise = lowByteSet(v);
  } else {
    Log->FatalError(msg::SetUnknownOption, option);
  }
}

// ---- #include, #tryinclude ----

namespace {

// The folder of the nearest buffer, from the current one through its
// parents, that was read from a file; false inside texts that come from
// nowhere on disk.
bool currentFileFolder(fs::path& folder) {
  for (TAFile* f = Compiler->CurFile(); f; f = f->Parent()) {
    if (f->IsFile()) {
      folder = fs::path(f->FileName()).parent_path();
      return true;
    }
  }
  return false;
}

// What a candidate is, by its status alone: a pipe or a device is never
// opened, so it cannot hold the compile up.
enum class Presence { Missing, Regular, Other };
Presence presence(const fs::path& p) {
  std::error_code ec;
  const fs::file_status st = fs::status(p, ec);
  if (fs::is_regular_file(st)) return Presence::Regular;
  return fs::exists(st) ? Presence::Other : Presence::Missing;
}

}  // namespace

void handle_DIRECTIVE_include(bool tryOnly) {
  if (Compiler->ExpectToken({ttAnsiString, ttWideString}) == ttNone) unexpected(unx::IncludeName);
  // A copy: the include reads on from another buffer.
  const std::string name = cur().F_String;
  handle_DIRECTIVE_doinclude(name, tryOnly);
}

void handle_DIRECTIVE_doinclude(std::string_view name, bool tryOnly) {
  // Names are written with "/"; a "\" separates folders as well.
  std::string path(name);
  for (char& c : path)
    if (c == '\\') c = '/';
  // Each name is included once. The mark is a define that no identifier
  // leads to, so the name still reads as whatever it is in the source.
  const std::string key = lowerCase(path);
  if (DefMan->getDefine(key)) return;

  struct Candidate {
    fs::path file;
    msg::Id failInclude;
    msg::Id failTry;
  };
  Candidate candidates[4];
  size_t count = 0;
  fs::path folder;
  if (currentFileFolder(folder))
    candidates[count++] = {folder / path, msg::IncludeOpenFailedHere, msg::TryIncludeOpenFailedHere};
  if (!Settings->ProjectPath().empty())
    candidates[count++] = {fs::path(Settings->ProjectPath()) / path, msg::IncludeOpenFailedProject,
                           msg::TryIncludeOpenFailed};
  candidates[count++] = {fs::path(Settings->CompilerPath()) / "includes" / path, msg::IncludeOpenFailedCompiler,
                         msg::TryIncludeOpenFailedCompiler};
  if (!Settings->IncludePath().empty())
    candidates[count++] = {fs::path(Settings->IncludePath()) / path, msg::IncludeOpenFailedPath,
                           msg::TryIncludeOpenFailed};

  // The first regular file wins; a folder or a pipe of the name only
  // changes what the message says when there is none.
  const Candidate* found = nullptr;
  bool other = false;
  for (size_t i = 0; i < count && !found; ++i) {
    const Presence p = presence(candidates[i].file);
    if (p == Presence::Regular) found = &candidates[i];
    other = other || p == Presence::Other;
  }

  if (found) {
    auto* f = new TAFile(true);
    if (f->loadFile(found->file.string(), Compiler->CurFile())) {
      f->addToFileList();
      Compiler->setCurFile(f);
    } else {
      delete f;
      if (!tryOnly) Log->FatalError(found->failInclude, name);
      Log->Warning(found->failTry, name);
    }
  } else if (!tryOnly) {
    const bool withPath = !Settings->IncludePath().empty();
    if (other) Log->FatalError(withPath ? msg::IncludeNotRegularWithPath : msg::IncludeNotRegular, name);
    Log->FatalError(withPath ? msg::IncludeNotFoundWithPath : msg::IncludeNotFound, name);
  } else {
    Log->Warning(other ? msg::TryIncludeNotRegular : msg::TryIncludeNotFound, name);
  }
  DefMan->addMark(key);
}

// ---- #define ----

void handle_DIRECTIVE_define() {
  if (readToken() != ttIdent) unexpected(unx::DefineName);
  const std::string name = lowerCase(cur().F_String);
  if (Compiler->CurFile()->peekNextRealChar(true) != ';') {
    readToken();
    DefMan->addDefine(name, &cur());
  } else {
    DefMan->addDefine(name, int64_t{1});
  }
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::DefineEnd);
}

// ---- Conditionals and #repeat ----

namespace {

// One open conditional or repeat: counts against the nesting bound and runs
// the nested loops of its bodies, so that the directive closing a body is
// checked against the right loop.
class TBodyScope {
 public:
  TBodyScope() : saved_(openBody) {
    if (openDirectives >= kMaxDirectiveNesting)
      Log->FatalError(msg::DirectivesTooDeep, std::to_string(kMaxDirectiveNesting));
    ++openDirectives;
  }
  ~TBodyScope() {
    --openDirectives;
    openBody = saved_;
  }
  TBodyScope(const TBodyScope&) = delete;
  TBodyScope& operator=(const TBodyScope&) = delete;

  // Compiles one body with a nested statement loop. Returns the directive
  // that closed it; a body that a "}" or the end of the text closes has no
  // #end, and that is fatal.
  TClosingDirective run(TBodyKind kind) {
    openBody = {Compiler->LoopDepth() + 1, kind};
    Compiler->HandleDeclarations(-1, true);
    openBody = saved_;
    switch (Compiler->LastLoopEnd()) {
      case TLoopEnd::Directive: return Compiler->LastClosingDirective();
      case TLoopEnd::Brace: Log->FatalError(msg::BraceBeforeEnd);
      case TLoopEnd::EndOfSource: break;
    }
    cur().setNull();
    unexpected(unx::TextEndsInBody);
  }

 private:
  TOpenBody saved_;
};

// Which directive a dead stretch of text is skipped for: the words that stop
// the skipping differ.
enum class TSkipRule : uint8_t { Ifdef, If, Repeat };
enum class TSkipStop : uint8_t { End, Else, Elseif };

bool isWordStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isWordChar(char c) { return isWordStart(c) || (c >= '0' && c <= '9'); }

[[noreturn]] void deadTextEnds() {
  cur().setNull();
  unexpected(unx::TextEndsInBody);
}

// Passes over dead text up to the word that ends it. Only a directive word
// (a name directly after "#" or "$") is looked at, and only as text: nothing
// is resolved or expanded. Comments are passed over by the reader; quotes
// are ordinary bytes, since dead text need not be valid source (an
// apostrophe in prose, a string that a later branch closes), but a 0 byte
// is no text anywhere. At the end of an included or evaluated text the dead
// text goes on in the text that holds it, as the statement loop reads on.
// depth counts the conditionals and repeats opened in the dead text; taken:
// a branch of this conditional was compiled already, so only the matching
// #end stops.
TSkipStop skipDead(TSkipRule rule, bool taken) {
  uint32_t depth = 1;
  for (;;) {
    TAFile& f = *Compiler->CurFile();
    const char c = f.moveNextChar(false, false);
    if (c == '\0') {
      if (f.CurChar <= f.FileLen) {
        f.checkNulByte();
        continue;
      }
      if (!f.Parent()) deadTextEnds();
      Compiler->setCurFile(f.Parent());
      Compiler->releaseEvalTexts();
      continue;
    }
    if ((c != '#' && c != '$') || !isWordStart(f.at(f.CurChar + 1))) continue;
    // The word, A-Z folded; longer ones are no directive of interest.
    char word[7];
    size_t n = 0;
    while (isWordChar(f.at(f.CurChar + 1))) {
      const char w = f.moveNextChar(false, false);
      if (n < sizeof word) word[n] = lowerChar(w);
      ++n;
    }
    if (n > sizeof word - 1) continue;
    const std::string_view w(word, n);
    if (w == "if" || w == "ifdef" || w == "ifndef" || w == "repeat") {
      ++depth;
    } else if (w == "end") {
      if (--depth == 0) return TSkipStop::End;
    } else if (depth == 1 && !taken) {
      if (w == "else" && rule != TSkipRule::Repeat) return TSkipStop::Else;
      if (w == "elseif" && rule == TSkipRule::If) return TSkipStop::Elseif;
    }
  }
}

// The branch whose condition holds: ":" and the branch up to what closes it.
// Whatever of the conditional follows an #else or #elseif is dead.
bool takeBranch(TBodyScope& scope, TSkipRule rule) {
  switch (scope.run(TBodyKind::Branch)) {
    case TClosingDirective::Return: return true;
    case TClosingDirective::Else:
    case TClosingDirective::Elseif: skipDead(rule, true); return false;
    default: return false;
  }
}

// The #else branch of the conditional that scope stands for.
bool elseBranch(TBodyScope& scope) { return scope.run(TBodyKind::ElseBranch) == TClosingDirective::Return; }

// After the dead branches: the #else branch, or nothing when the skipping
// reached the #end.
bool afterDeadBranch(TBodyScope& scope, TSkipStop stop) { return stop == TSkipStop::Else && elseBranch(scope); }

// The ":" that ends a condition, read whether the condition holds or not,
// so that what stands between the condition and its ":" is reported
// either way. Read clean: nothing that stands there is expanded.
bool endCondition(bool holds) {
  if (Compiler->CurFile()->moveNextToken(true) != ttSymbol || cur().F_String != ":") unexpected(unx::BranchColon);
  return holds;
}

// The comparison of #if or #elseif, read up to the ":".
bool ifComparison() {
  // The first operand, kept while the second is read.
  TCurrentToken a;
  readToken();
  a.setCurToken(cur());
  const TMathOp op = Compiler->CurFile()->moveNextIfMathOp(false);
  if (op == moNone) {
    // A number alone decides by its value; anything else is taken.
    if (a.F_Type == ttNumber) return a.F_Integer != 0;
    if (a.F_Type == ttFloat) return a.F_Extended != 0;
    return true;
  }
  const TVorToken bt = readToken();
  const TCurrentToken& b = cur();
  switch (bt) {
    case ttIdent: {
      if (b.F_IdentType != itType) unexpected(unx::IfTypeOperand);
      if (a.F_Type != ttIdent || a.F_IdentType != itType)
        Log->FatalError(msg::TypesCompareOnlyTypes);
      if (op != moIsEqual && op != moNotEqual) Log->FatalError(msg::TypesCompareEquality);
      return (a.F_Pointer == b.F_Pointer) == (op == moIsEqual);
    }
    case ttNumber: {
      // The values of the two tokens, whatever A is: a name that is not
      // defined has the value 0, as in the C preprocessor.
      const uint64_t x = static_cast<uint64_t>(a.F_Integer);
      const uint64_t y = static_cast<uint64_t>(b.F_Integer);
      switch (op) {
        case moIsEqual: return x == y;
        case moNotEqual: return x != y;
        case moLowerU: return x < y;
        case moHigherU: return x > y;
        case moLowerUEqual: return x <= y;
        case moHigherUEqual: return x >= y;
        default: Log->FatalError(msg::IfNumberOperator);
      }
    }
    case ttFloat: {
      const long double x = a.F_Extended;
      const long double y = b.F_Extended;
      if (op == moIsEqual) return x == y;
      if (op == moNotEqual) return !(x == y);
      Log->FatalError(msg::IfFloatOperator);
    }
    case ttAnsiString:
    case ttWideString: {
      if (a.F_Type != ttAnsiString && a.F_Type != ttWideString)
        Log->FatalError(msg::IfStringFirstOperand);
      if (op == moIsEqual) return a.F_String == b.F_String;
      if (op == moNotEqual) return a.F_String != b.F_String;
      Log->FatalError(msg::IfStringOperator);
    }
    default: unexpected(unx::IfOperand);
  }
}

// Reads the condition of #if or #elseif up to its ":" and answers whether
// it holds.
bool ifCondition() { return endCondition(ifComparison()); }

// The comparison of #ifdef: the name is defined (and its value compares as
// asked). A comparison after an undefined name is read and checked all the
// same, and is false.
bool ifdefComparison() {
  readToken();
  const bool defined = !cur().F_DefName.empty();
  const int64_t a = cur().F_Integer;
  const TMathOp op = Compiler->CurFile()->moveNextIfMathOp(false);
  if (op == moNone) return defined;
  switch (readToken()) {
    case ttNumber:
      if (op == moIsEqual) return defined && a == cur().F_Integer;
      if (op == moNotEqual) return defined && a != cur().F_Integer;
      Log->FatalError(msg::IfNumberOperator);
    case ttAnsiString:
    case ttWideString: Log->FatalError(msg::IfStringOperator);
    default: unexpected(unx::IfOperand);
  }
}

// Reads the condition of #ifdef or #ifndef up to its ":" and answers whether
// the name is defined (and compares as asked).
bool ifdefCondition() { return endCondition(ifdefComparison()); }

}  // namespace

bool handle_DIRECTIVE_if() {
  TBodyScope scope;
  // An #elseif chain is walked here, not by recursion, however long it is.
  for (;;) {
    if (ifCondition()) return takeBranch(scope, TSkipRule::If);
    const TSkipStop stop = skipDead(TSkipRule::If, false);
    if (stop != TSkipStop::Elseif) return afterDeadBranch(scope, stop);
  }
}

bool handle_DIRECTIVE_ifdef(bool reverse) {
  TBodyScope scope;
  if (ifdefCondition() != reverse) return takeBranch(scope, TSkipRule::Ifdef);
  return afterDeadBranch(scope, skipDead(TSkipRule::Ifdef, false));
}

bool handle_DIRECTIVE_else() {
  TBodyScope scope;
  return elseBranch(scope);
}

bool handle_DIRECTIVE_repeat() {
  TBodyScope scope;
  if (readToken() != ttNumber) unexpected(unx::RepeatCount);
  const int64_t count = cur().F_Integer;
  if (count < 0 || count > int64_t{std::numeric_limits<uint32_t>::max()})
    Log->FatalError(msg::RepeatCountRange);
  if (!Compiler->ExpectSymbol(":")) unexpected(unx::RepeatColon);
  if (count == 0) {
    skipDead(TSkipRule::Repeat, false);
    return false;
  }
  // Every pass starts in the text where the body began, whatever buffer the
  // previous pass ended in. A body that runs on past the end of its text
  // (one begun in an evaluated text) into the text holding it reads that
  // again from the same place too.
  TAFile* const file = Compiler->CurFile();
  const TFilePin pin(file);
  std::vector<std::pair<TAFile*, TFilePos>> starts;
  for (TAFile* f = file; f; f = f->Parent()) starts.emplace_back(f, f->position());
  for (int64_t pass = 0; pass < count; ++pass) {
    for (const auto& [f, at] : starts) f->setPosition(at);
    Compiler->setCurFile(file);
    if (scope.run(TBodyKind::RepeatBody) == TClosingDirective::Return) return true;
  }
  return false;
}

// ---- #eval ----

bool handle_DIRECTIVE_eval() {
  if (!Compiler->ExpectSymbol("(")) unexpected(unx::EvalOpen);
  if (Compiler->ExpectToken({ttAnsiString}) == ttNone) unexpected(unx::EvalText);
  const std::string text = cur().F_String;
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::EvalClose);

  // The text is read next, in the loop that met the directive, as if it
  // stood in place of the directive: what it opens (a conditional, a
  // repeat) may close in the text around it, and what it closes may have
  // been opened there. It is named after the running macro.
  Compiler->openEvalText(MacMan->CurMacro()->name + ".$eval", text);
  return false;
}

// ---- Messages ----

void handle_DIRECTIVE_echo(bool depreciated) {
  readToken();
  if (depreciated)
    Log->Warning(cur().F_String);
  else
    Log->Message(cur().F_String, colNormal);
}

void handle_DIRECTIVE_raise() {
  readToken();
  Log->FatalError(cur().F_String, false);
}

// ---- #align ----

void handle_DIRECTIVE_align() {
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::AlignEnd);
  const uint8_t alignment = CompileFlags.cpu_bits == 16 ? 2 : CompileFlags.cpu_bits == 32 ? 4 : 8;
  TFunction* fn = Compiler->CurFunc();
  FixMan->addFixup(ftAlignment, fn, uint32_t{0}, 0, alignment, 0, jtJMP);
  appendCode(fn, std::string(alignment, '\x90'));
}

// ---- #resource ----

void handle_DIRECTIVE_resource() {
  if (Compiler->ExpectToken({ttAnsiString}) == ttNone) unexpected(unx::ResourceName);
  const std::string path = resourceFilePath(cur().F_String);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::ResourceEnd);
  ResMan->readResourceFile(path);
}

// ---- The directives of the macro machinery ----

namespace {

// A name read clean, looked up without expanding it: a "$name" variable
// gives its value, any other name its identifier.
const TCurrentToken& readCleanName() {
  TCurrentToken& tk = cur();
  if (readToken(true) == ttIdent && tk.F_IdentType == itNone && tk.F_Keyword == keyNone) {
    if (const PIdent id = Idents->findIdent(tk.F_String, Idents->CurrentScope())) {
      tk.F_IdentType = id->type_;
      tk.F_Pointer = id->ptr;
    }
  }
  return tk;
}

}  // namespace

void handle_DIRECTIVE_mpush(bool master) {
  readToken();
  if (CompileFlags.peek_mode) return;
  TMacroActivation& a = master ? *MacMan->MasterActivation() : *MacMan->Current();
  TCurrentToken* v = MacMan->newToken();
  v->setCurToken(cur());
  a.values.push_back(v);
}

void handle_DIRECTIVE_mcall() {
  TMacro* m = nullptr;
  {
    // The macro's name is read, not expanded.
    const vbool prev = CompileFlags.peek_mode;
    CompileFlags.peek_mode = 1;
    struct Back {
      vbool prev;
      ~Back() { CompileFlags.peek_mode = prev; }
    } back{prev};
    if (readToken() != ttIdent || cur().F_IdentType != itMacro || !cur().F_Pointer) unexpected(unx::McallMacro);
    m = static_cast<TMacro*>(cur().F_Pointer);
  }
  if (!Compiler->ExpectSymbol(",")) unexpected(unx::McallComma);
  if (Compiler->ExpectToken({ttNumber}) == ttNone) unexpected(unx::McallCount);
  const uint32_t count = lowWord(cur().F_Integer);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::McallEnd);
  handle_MACROCALL(m, count, MacMan->CurMacro());
}

bool handle_DIRECTIVE_return() {
  TMacroActivation& a = *MacMan->Current();
  if (a.blocks > 0) Log->FatalError(msg::ReturnInMacroBlock);
  if (MacMan->atTopLevel()) Log->FatalError(msg::ReturnOutsideMacro);
  // One token, then ";" or the end of the text: anything more (an
  // expression, say) would be left unread without a word.
  if (readToken() != ttSymbol || cur().F_String != ";") {
    TAFile& f = *Compiler->CurFile();
    const char next = f.peekNextRealChar(true);
    if (next == ';')
      f.setPosition(f.lastPeek());
    else if (next != '\0')
      Log->FatalError(msg::ReturnOneToken);
  }
  // A procedure macro has no result: the value is read and dropped. The
  // result is a value: the variable it came from ends with the call.
  if (TCurrentToken* result = a.macro->result.get()) {
    result->setCurToken(cur());
    result->F_DefName.clear();
  }
  return true;
}

void handle_DIRECTIVE_labelstart() {
  if (!Compiler->ExpectSymbol("(")) unexpected(unx::LabelStartOpen);
  const TCurrentToken& name = readCleanName();
  if (name.F_Type != ttIdent || name.F_IdentType != itLabel || !name.F_Pointer) unexpected(unx::LabelStartName);
  auto* label = static_cast<TFunction*>(name.F_Pointer);
  TCurrentToken saved;
  saved.setCurToken(name);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::LabelStartClose);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::LabelStartEnd);
  if (label->Type_ != ltRef) {
    cur().setCurToken(saved);
    unexpected(unx::LabelStartPlaced);
  }
  Compiler->placeLabel(label);
}

void handle_DIRECTIVE_handlemacro() {
  if (!Compiler->ExpectSymbol("(")) unexpected(unx::HandleMacroOpen);
  const TCurrentToken& name = readCleanName();
  if (name.F_Type != ttIdent || name.F_IdentType != itMacro || !name.F_Pointer) unexpected(unx::HandleMacroName);
  auto* m = static_cast<TMacro*>(name.F_Pointer);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::HandleMacroClose);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::HandleMacroEnd);
  auto* invoker = static_cast<TAFile*>(MacMan->parentStack.top());
  if (!invoker) Log->FatalError(msg::HandleMacroOutside);
  // The macro reads its arguments from the text that invoked the running one.
  TAFile* const here = Compiler->CurFile();
  const TFilePin pin(here);
  struct Back {
    TAFile* here;
    ~Back() { Compiler->setCurFile(here); }
  } back{here};
  Compiler->setCurFile(invoker);
  handle_MACROCALL(m, 0, nullptr);
}

void handle_DIRECTIVE_movenexttext() {
  TAFile& f = *Compiler->CurFile();
  const char open = f.moveNextChar(true, false);
  if (open != '(') {
    cur().setSymbol(open);
    unexpected(unx::MoveNextTextOpen);
  }
  const char close = f.moveNextChar(true, false);
  if (close != ')') {
    cur().setSymbol(close);
    unexpected(unx::MoveNextTextClose);
  }
  auto* invoker = static_cast<TAFile*>(MacMan->parentStack.top());
  if (!invoker) return;
  if (CompileFlags.peek_mode)
    invoker->peekNextToken(true);
  else
    invoker->moveNextToken(true);
}

}  // namespace vorak
