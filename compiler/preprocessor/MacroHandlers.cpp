// Macro definitions, macro calls and macro variables.
#include "compiler/preprocessor/MacroHandlers.h"

#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/Evaluator.h"
#include "compiler/preprocessor/MacroCalls.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

namespace {

bool isSymbol(const TCurrentToken& tk, char c) {
  return tk.F_Type == ttSymbol && tk.F_String.size() == 1 && tk.F_String[0] == c;
}

// Consumes the byte that the last peekNextRealChar looked at.
void consumePeekedChar() {
  TAFile& f = curFile();
  f.setPosition(f.lastPeek());
}

// The next byte that is not a blank or a line break, not consumed.
char nextRealChar() { return peekChar(); }

// Peek mode for as long as it lives: names read meanwhile are not expanded.
struct PeekModeOn {
  vbool prev = CompileFlags.peek_mode;
  PeekModeOn() { CompileFlags.peek_mode = 1; }
  ~PeekModeOn() { CompileFlags.peek_mode = prev; }
  PeekModeOn(const PeekModeOn&) = delete;
  PeekModeOn& operator=(const PeekModeOn&) = delete;
};

// A name read clean (nothing expanded) is free when it is no keyword and
// resolves to nothing: no register, type, variable, macro, define ...
bool isFreeName(std::string_view name) {
  if (findKeyword(name) != keyNone) return false;
  TCurrentToken probe;
  PeekModeOn peek;
  const TFilePos at = curFile().position();
  probe.setIdentifier(name);
  curFile().setPosition(at);
  return probe.F_Type == ttIdent && probe.F_IdentType == itNone;
}

// ---- Definition ----

// Passes over a string literal whose opening quote was just read, escapes
// included; false when the text ends first.
bool skipString(TAFile& f, char quote) {
  for (;;) {
    char c = f.moveNextChar(false, true);
    if (c == quote) return true;
    if (c == '\\') c = f.moveNextChar(false, true);
    if (c == '\0') {
      if (f.CurChar > f.FileLen) return false;
      f.checkNulByte();
    }
  }
}

// The cursor stands on the body's "{": reads up to the matching "}" and
// returns the text from the "{" up to, not including, the "}". Braces in
// comments and strings do not count.
std::string captureBody() {
  TAFile& f = curFile();
  const uint32_t open = f.CurChar;
  uint32_t depth = 1;
  for (;;) {
    const char c = f.moveNextChar(false, false);
    if (c == '\0' && f.CurChar > f.FileLen) {
      cur().setNull();
      unexpected(unx::MacroBodyUnclosed);
    }
    // A 0 byte is reported where it was written, as anywhere else in the
    // file: the body holds none when it is compiled.
    if (c == '\0') f.checkNulByte();
    if (c == '\'' || c == '"') {
      if (!skipString(f, c)) {
        cur().setNull();
        unexpected(unx::MacroBodyUnclosed);
      }
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return f.Buffer.substr(open - 1, f.CurChar - open);
    }
  }
}

// The parameter list after "(": none, "$a, $b", "$a, $b, ;" or ";".
void readParams(TMacro& m) {
  TAFile& f = curFile();
  const char first = nextRealChar();
  if (first == ';') {
    if (!m.parens_req) fatal(msg::OpMacroUncounted);
    consumePeekedChar();
    m.paramcount = kUncountedParams;
    return;
  }
  if (first != '$') return;
  consumePeekedChar();
  for (;;) {
    // Read clean: a parameter may be named like a register or a macro.
    if (f.moveNextToken(true) != ttIdent) unexpected(unx::MacroParamName);
    m.addParam(cur().F_String);
    if (nextRealChar() != ',') return;
    consumePeekedChar();
    const char c = f.moveNextChar(true, false);
    if (c == ';') {
      m.paramcount = kUncountedParams;
      return;
    }
    if (c != '$') {
      cur().setSymbol(c);
      unexpected(unx::MacroParamSeparator);
    }
  }
}

// ---- Calls ----

// Leaves the macro stack, the assignment target and the register states as
// the caller had them, however the call ends.
class TCallScope {
 public:
  TCallScope(TMacro* m, TMacroActivation* frame)
      : m_(m),
        frame_(frame),
        caller_(MacMan->Current()),
        callerFile_(Compiler->CurFile()),
        target_(assignOperand) {
    // The one step that may allocate comes first: when it fails, nothing is
    // changed yet and the caller gives the frame back.
    MacMan->parentStack.push(callerFile_);
    targetText_.swap(assignOperandText);
    assignOperand = nullptr;
    if (m->running > 0) {
      frame->bodySaved = true;
      frame->bodyPos = m->code->position();
    }
    ++m->running;
    RegMan->saveState(&frame->regs);
  }
  ~TCallScope() {
    MacMan->parentStack.pop();
    // The body's lines count once, where it was written.
    if (frame_->bodySaved)
      m_->code->setPosition(frame_->bodyPos);
    else
      m_->code->setPosition(TFilePos{1, 0, 0, 0});
    --m_->running;
    RegMan->restoreState(&frame_->regs);
    MacMan->setCurrent(caller_);
    MacMan->popFrame();
    assignOperand = target_;
    assignOperandText.swap(targetText_);
    Compiler->setCurFile(callerFile_);
    // An evaluated text in the body that a #return left unread.
    Compiler->releaseEvalTexts();
  }
  TCallScope(const TCallScope&) = delete;
  TCallScope& operator=(const TCallScope&) = delete;

  TMacroActivation* caller() const { return caller_; }
  TAFile* callerFile() const { return callerFile_; }
  TOperand* target() const { return target_; }
  const std::string& targetText() const { return targetText_; }

 private:
  TMacro* m_;
  TMacroActivation* frame_;
  TMacroActivation* caller_;
  TAFile* callerFile_;
  TOperand* target_;
  std::string targetText_;
};

// Compiles the body once from its start, in the current function.
void runBody(TMacro& m, TAFile* callerFile) {
  m.code->setPosition(TFilePos{1, 1, 1, 0});
  Compiler->setCurFile(m.code);
  Compiler->HandleDeclarations(-1);
  if (Compiler->LastLoopEnd() == TLoopEnd::Brace)
    fatal(msg::BraceInMacroBody, m.name);
  Compiler->setCurFile(callerFile);
}

// An extended macro's block: the caller's statements up to the matching
// "}", compiled in the caller's activation.
void runCallerBlock(TCallScope& scope) {
  if (!Compiler->ExpectSymbol("{")) unexpected(unx::Token);
  TMacroActivation* caller = scope.caller();
  TMacroActivation* self = MacMan->Current();
  struct Block {
    TMacroActivation* caller;
    TMacroActivation* self;
    ~Block() {
      --caller->blocks;
      MacMan->setCurrent(self);
    }
  } block{caller, self};
  ++caller->blocks;
  MacMan->setCurrent(caller);
  Compiler->HandleDeclarations(-1);
  if (Compiler->LastLoopEnd() != TLoopEnd::Brace) {
    cur().setNull();
    unexpected(unx::TextEndsInBody);
  }
}

// Reads the arguments of an ordinary call into frame; returns their number.
uint32_t readArguments(TMacro& m, TMacroActivation& frame) {
  // A macro that names its number of arguments needs its "("; one that
  // takes arguments at all, counted or any number, closes with ")" what a
  // "(" opened.
  const bool opens = m.counted() && m.paramcount != 0;
  const bool closes = m.paramcount != 0;
  bool parenthesis = false;
  if (m.parens_req) {
    if (opens) {
      if (!Compiler->ExpectSymbol("(")) unexpected(unx::MacroArgsOpen);
      parenthesis = true;
    } else if (nextRealChar() == '(') {
      consumePeekedChar();
      parenthesis = true;
    }
    // Without its parenthesis a macro that needs none takes no arguments.
    if (!parenthesis) return 0;
  } else if (m.paramcount == 0) {
    return 0;
  }

  uint32_t index = 0;
  bool closed = false;
  for (;;) {
    // The end of the text is no argument: the call is cut short.
    if (curFile().moveNextToken(false) == ttEOF) unexpected(unx::MacroArgsCutShort);
    TCurrentToken& tk = cur();
    // ")" first in the list, or before ";", closes it.
    if (parenthesis && isSymbol(tk, ')') && (m.extendedmacro || index == 0 || nextRealChar() == ';')) {
      closed = true;
      break;
    }
    if (isSymbol(tk, '@')) {
      TAFile& f = curFile();
      if (f.peekNextToken(false) == ttBaseExp) {
        f.moveLastPeek();
        TCurrentToken& e = cur();
        e.F_Type = ttIdent;
        e.F_IdentType = itBaseExpPtr;
        e.F_ByteCount = ptrSize;
        e.F_BitCount = ptrSize * 8;
        e.F_String.insert(0, 1, '@');
      } else {
        f.moveNextToken(false);
        TCurrentToken& v = cur();
        if (v.F_Type != ttIdent || (v.F_IdentType != itGlobalVar && v.F_IdentType != itLocalVar)) unexpected(unx::MacroArgAddress);
        v.F_IdentType = v.F_IdentType == itGlobalVar ? itGlobalVarPtr : itLocalVarPtr;
        v.F_String.insert(0, 1, '@');
      }
    }
    // Arguments past the declared count are only counted: the call fails
    // its count check, and a long list must not be held to find that out.
    if (!m.counted() || index < m.paramcount) {
      TCurrentToken* arg = MacMan->newToken();
      arg->setCurToken(cur());
      frame.values.push_back(arg);
    }
    ++index;
    if (nextRealChar() != ',') break;
    consumePeekedChar();
  }
  if (parenthesis && !closed) {
    if (closes) {
      if (!Compiler->ExpectSymbol(")")) unexpected(unx::MacroArgsClose);
    } else if (nextRealChar() == ')') {
      consumePeekedChar();
    }
  }
  return index;
}

}  // namespace

TMacro* handle_INLINE(bool extendedm, bool anonymous) {
  TAFile& f = curFile();
  TMacroType type = mtFunc;
  bool parens = true;
  if (!extendedm) {
    if (f.peekNextToken(true) == ttIdent && lowerCase(Compiler->PeekToken()->F_String) == "op") {
      f.setPosition(f.lastPeek());
      parens = false;
    }
    if (f.moveNextToken(true) != ttIdent) unexpected(unx::MacroKindWord);
    const TKeyword k = findKeyword(cur().F_String);
    if (k != keyProcedure && k != keyFunction) unexpected(unx::MacroKindWord);
    type = k == keyProcedure ? mtProc : mtFunc;
  }
  std::string name;
  if (!anonymous) {
    // Read clean and looked up: a name that is taken is reported before
    // anything of it is expanded.
    if (f.moveNextToken(true) != ttIdent || !isFreeName(cur().F_String)) unexpected(unx::MacroRedeclared);
    name = cur().F_String;
  }
  TMacro* m = MacMan->newMacro(name, type, anonymous);
  m->parens_req = parens;
  m->extendedmacro = extendedm;
  if (!Compiler->ExpectSymbol("(")) unexpected(unx::MacroParamsOpen);
  Idents->upScope();
  struct Scope {
    ~Scope() { Idents->deleteScope(SSL_SCOPE_MAX); }
  } scope;
  readParams(*m);
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::MacroParamsClose);
  if (!Compiler->ExpectSymbol("{")) unexpected(unx::MacroBodyOpen);
  const std::string body = captureBody();
  m->code = new TAFile(false);  // the compiler's file list owns it
  m->code->loadBuffer(name, body, nullptr);
  m->code->setPosition(TFilePos{1, 1, 1, 0});
  return m;
}

void handle_MACROCALL(TMacro* macro, uint32_t count, TMacro* source) {
  if (!macro) {
    if (cur().F_Type != ttIdent || cur().F_IdentType != itMacro || !cur().F_Pointer) unexpected(unx::MacroCallName);
    macro = static_cast<TMacro*>(cur().F_Pointer);
  }
  TMacro& m = *macro;
  if (!m.code) fatal(msg::MacroNoBody, m.name);
  TMacroActivation* caller = MacMan->Current();
  TMacroActivation* frame = MacMan->pushFrame(macro);
  if (!frame && MacMan->budgetSpent())
    fatal(msg::MacroCallBudget, std::to_string(MacMan->CallBudget()));
  if (!frame)
    fatal(msg::MacroTooDeep, m.name, std::to_string(TMacroManager::kMaxDepth));
  // Until the call is entered the frame is only filled; a failure on the
  // way still gives it back.
  struct Pending {
    bool armed = true;
    ~Pending() {
      if (armed) MacMan->popFrame();
    }
  } pending;

  uint32_t received;
  if (source) {
    if (caller->values.size() < count)
      fatal(msg::McallTooFewValues);
    for (size_t i = caller->values.size() - count; i < caller->values.size(); ++i) {
      TCurrentToken* arg = nullptr;
      if (const TCurrentToken* v = caller->values[i]) {
        arg = MacMan->newToken();
        arg->setCurToken(*v);
      }
      frame->values.push_back(arg);
    }
    received = count;
  } else {
    received = readArguments(m, *frame);
  }
  if (m.counted() && received != m.paramcount)
    fatal(msg::MacroArgCount, m.name, std::to_string(m.paramcount), std::to_string(received));

  TCallScope scope(macro, frame);
  pending.armed = false;
  frame->argc = received;
  MacMan->setCurrent(frame);
  frame->operand = MacMan->newToken();
  if (scope.target()) {
    // A label target is looked up by its name; nothing of it is expanded.
    PeekModeOn peek;
    frame->operand->setFromOperand(scope.target(), scope.targetText());
  }
  if (m.extendedmacro) {
    frame->state = MacMan->newToken();
    frame->state->setInteger(1, 0, "0");
  }
  runBody(m, scope.callerFile());
  if (m.extendedmacro) {
    runCallerBlock(scope);
    frame->state->setInteger(1, 1, "1");
    runBody(m, scope.callerFile());
  }
}

TVorToken expandMacroName(TMacro* macro, TCurrentToken& ct) {
  if (!macro) Log->FatalError(msg::UnknownIdentType);
  handle_MACROCALL(macro, 0, nullptr);
  if (macro->result) {
    ct.setCurToken(*macro->result);
    return ct.F_Type;
  }
  return ct.setSymbol(';');
}

// ---- Macro variables ----

namespace {

// "$name = inline ...": an anonymous macro held in the variable. A place in
// a text defines its macro once: when the text is read again (a #repeat
// pass, another call of the macro whose body holds it) the definition is
// passed over and the variable gets the same macro. The text stays as it
// was written, so whatever is reported on it quotes it so.
void anonymousMacro(const std::string& name, bool extended) {
  TAFile& f = curFile();
  const TFilePos at = f.position();
  TMacro* m = nullptr;
  for (const TAFile::TAnonymousMacro& d : f.F_AnonymousMacros) {
    if (d.start != at.chr) continue;
    m = d.macro;
    f.setPosition(TFilePos{at.line + d.lines, d.end, d.endColumn, at.totalLines + d.lines});
    break;
  }
  if (!m) {
    f.setPosition(f.lastPeek());  // the keyword
    m = handle_INLINE(extended, true);
    // Named after its variable, for messages and the body's file name.
    m->name = "$" + name;
    m->code->F_FileName = m->name;
    const TFilePos end = f.position();
    f.F_AnonymousMacros.push_back({at.chr, end.chr, end.lineChar, end.line - at.line, m});
  }
  TCurrentToken tk;
  tk.setCleanIdent(m->name);
  tk.F_IdentType = itMacro;
  tk.F_Pointer = m;
  tk.F_DefName = m->name;
  MacMan->setVar(*MacMan->Current(), name, tk);
}

}  // namespace

void handle_DIRECTIVE_macrovar() {
  TMacroActivation& a = *MacMan->Current();
  const std::string name = lowerCase(cur().F_String);
  auto labelName = [&name] { return "$_macro_label_" + name; };
  TFunction* fn = Compiler->CurFunc();

  // A variable that holds a label: the label is placed here, once.
  if (cur().F_Type == ttIdent && cur().F_IdentType == itLabel) {
    auto* label = static_cast<TFunction*>(cur().F_Pointer);
    if (!Compiler->ExpectSymbol(":")) unexpected(unx::MacroLabelColon);
    if (!label || label->Type_ != ltRef) fatal(msg::MacroLabelRedeclared, name);
    vorStrAssign(label->Name, labelName());
    Compiler->placeLabel(label);
    return;
  }

  // "$name:" declares a label of this expansion.
  if (nextRealChar() == ':') {
    if (MacMan->findVar(a, name)) fatal(msg::MacroLabelRedeclared, name);
    consumePeekedChar();
    TFunction* label = FuncMan->CreateFunction(ltLabel, fn);
    vorStrAssign(label->Name, labelName());
    vorStrAssign(label->ImportName, vorStrView(label->Name));
    label->Address = fn ? fn->BufLen : 0;
    label->LocalCount = 0;
    label->LocalSize = 0;
    TCurrentToken tk;
    tk.setCleanIdent("");
    tk.F_IdentType = itLabel;
    tk.F_DefName = "$" + name;
    tk.F_Pointer = label;
    MacMan->setVar(a, name, tk);
    Compiler->arriveAt(label, true);
    return;
  }

  if (curFile().moveNextIfMathOp(false) != moAssign) unexpected(unx::MacroVarAssign);
  TAFile& f = curFile();
  if (f.peekNextToken(true) == ttIdent) {
    const std::string word = lowerCase(Compiler->PeekToken()->F_String);
    if (word == "inline" || word == "emacro") return anonymousMacro(name, word == "emacro");
  }
  handle_MACROVAR_tokens();
  TCurrentToken& v = cur();
  if (v.F_Type == ttIdent && v.F_IdentType == itLabel && v.F_String.empty()) {
    // A fresh $labelref(): the label is named after the variable.
    v.F_String = labelName();
    if (auto* label = static_cast<TFunction*>(v.F_Pointer);
        label && label->Type_ == ltRef && vorStrView(label->Name).empty()) {
      vorStrAssign(label->Name, v.F_String);
      vorStrAssign(label->ImportName, v.F_String);
    }
  }
  MacMan->setVar(*MacMan->Current(), name, v);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::MacroVarEnd);
}

}  // namespace vorak
