// The statement loop: reads statements from the current buffer and hands
// each to its handler; label definitions, the flag statement, "~", "-" and
// plain instruction lines are handled here.
#include "compiler/statements/StatementLoop.h"

#include <memory>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/DirectiveHandlers.h"
#include "compiler/preprocessor/MacroHandlers.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DirectReader.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/BlockHandlers.h"
#include "compiler/statements/CaseHandlers.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/ConstHandlers.h"
#include "compiler/statements/FuncCallHandlers.h"
#include "compiler/statements/FunctionHandlers.h"
#include "compiler/statements/IfHandlers.h"
#include "compiler/statements/ImportsHandlers.h"
#include "compiler/statements/LoopHandlers.h"
#include "compiler/statements/RegisterHandlers.h"
#include "compiler/statements/ReturnHandlers.h"
#include "compiler/statements/TryHandlers.h"
#include "compiler/statements/VarHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "encoder/VorAssembler.h"
#include "plugins/PluginManager.h"

namespace vorak {

namespace {

bool isDirectiveStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

// The instruction row of the current token's text, A-Z folded; nil for none.
PInstruction mnemonicRow(std::string_view text) {
  char buf[sizeof(TInstruction::name)];
  if (text.size() > sizeof buf) return nullptr;
  for (size_t i = 0; i < text.size(); ++i) buf[i] = lowerChar(text[i]);
  return opcodeLookup(std::string_view(buf, text.size()));
}

// Encodes the row into CurFunc and appends the bytes; a failure is the fatal
// message failure with the encoder's text.
// The operands' source texts name one of a size the mode has no operand of.
using TOperandSpans = TCompiler::TOperandSpan[3];
void emitRow(PInstruction inst, TOperand* o1, TOperand* o2, TOperand* o3, bool optimise, msg::Id failure,
             const TOperandSpans* spans = nullptr) {
  TFunction* fn = Compiler->CurFunc();
  const uint32_t rc = Compiler->encodeInto(fn, inst, o1, o2, o3, optimise);
  if (rc != ASSEMBLE_OK) {
    TOperand* ops[3] = {o1, o2, o3};
    for (int k = 0; k < 3; ++k)
      TCompiler::refuseOperandSize(ops[k], spans ? TCompiler::spanText((*spans)[k]) : std::string_view());
    fatal(failure, TVorAssembler::errorCodeToString(rc));
  }
  Compiler->followStackWrite(fn, *inst, o1, o2);
  Compiler->appendEncoded(fn, inst);
}

// A statement that starts with a plain mnemonic, read straight from the
// buffer: only while no declaration (and no plug-in keyword) is spelled like
// a mnemonic, since such a name would take the statement, and not while
// reading ahead.
PInstruction directMnemonic(TAFile& f) {
  if (!Compiler->directLines()) return nullptr;
  TDirectReader reader(f);
  uint32_t end;
  const PInstruction inst = reader.mnemonicAhead(end);
  if (!inst || CompileFlags.peek_mode) return nullptr;
  if ((Idents && Idents->holdsMnemonic()) || (Plugins && Plugins->keywordsHoldMnemonic())) return nullptr;
  reader.take(end);
  return inst;
}

// The operands of a mnemonic (the reader after it) and its code.
void compileInstruction(PInstruction inst) {
  const TReturnDepth keep(Compiler->CurFunc(), inst);
  if (inst->group == igRET) Compiler->retTriggered(Compiler->CurFunc());
  // Instructions written in the source are encoded as written.
  if (inst->maxpar == 0) return emitRow(inst, nullptr, nullptr, nullptr, false, msg::BareInstructionEncode);

  // Plain operands are read into these, any other into owned records.
  TOperandRoom local[3];
  std::unique_ptr<TOperand> owned[3];
  TOperand* ops[3] = {};
  TOperandSpans spans{};
  bool operands = true;
  if (inst->minpar == 0) {
    // The end of the statement, the block or the text also ends the operands.
    const char next = curFile().peekNextRealChar(true);
    operands = !(next == ';' || next == '}' || next == '\0' || curFile().isNextLineBreak());
  }
  if (operands) {
    // An operand may leave the reader in another text (a macro's result).
    const bool label = inst->group == igCALL || inst->group == igGOTO;
    // Only the destination of a pop is addressed after the pop.
    struct PopTarget {
      PopTarget() { Compiler->setPopTarget(true); }
      ~PopTarget() { Compiler->setPopTarget(false); }
    };
    // Only an operand read through the tokenizer can name a variable, and
    // only such a one has a text to quote.
    const auto read = [&](int k, bool first, bool labels) {
      ops[k] = Compiler->readInstructionOperand(first, labels, local[k], owned[k]);
      if (owned[k]) spans[k] = Compiler->lastOperandSpan();
    };
    if (inst->group == igPOP) {
      const PopTarget pop;
      read(0, true, false);
    } else {
      read(0, true, label);
    }
    if (curFile().peekNextRealChar(true) == ',') {
      read(1, false, false);
      if (curFile().peekNextRealChar(true) == ',') read(2, false, false);
    }
  }
  emitRow(inst, ops[0], ops[1], ops[2], false, msg::InstructionLineEncode, &spans);
}

void unaryStatement(std::string_view mnemonic, msg::Id failure) {
  const std::unique_ptr<TOperand> op = Compiler->moveNextOperand(true, false);
  emitRow(opcodeLookup(mnemonic), op.get(), nullptr, nullptr, CompileFlags.optimise, failure);
}

// A macro variable read as the first token of a statement: its name goes
// back into the token for the macro-variable statement.
bool macroVariableStatement() {
  TCurrentToken& tk = cur();
  if (tk.F_DefName.empty() || tk.F_DefName[0] != '$') return false;
  tk.F_String.assign(tk.F_DefName, 1, std::string::npos);
  handle_DIRECTIVE_macrovar();
  return true;
}

// "$v = ..." where $v holds a macro: the variable gets a new value (the
// statement is read again, a #repeat pass or another call of the macro
// whose body holds it), rather than the macro being called.
bool assignsMacroVariable() {
  const TCurrentToken& tk = cur();
  if (tk.F_DefName.empty() || tk.F_DefName[0] != '$') return false;
  TAFile& f = curFile();
  return f.peekNextRealChar(true) == '=' && f.at(f.lastPeek().chr + 1) != '=';
}

// A keyword first in a statement.
void keywordStatement(TKeyword key) {
  switch (key) {
    case keyProgram: fatal(msg::ProgramInBody, cur().getTokenStr());
    case keyConst: handle_CONST(); return;
    case keyImports: handle_IMPORTS(); return;
    case keyProcedure:
    case keyFunction:
      if (curFile().peekNextRealChar(false) == '*')
        handle_FUNCDECL(-1, nullptr);
      else
        handle_PROCEDURE(key == keyFunction);
      return;
    case keyIf: handle_IF(); return;
    case keyRepeat: handle_REPEAT(); return;
    case keyWhile: handle_WHILE(); return;
    case keyContinue: handle_CONTINUE(); return;
    case keyBreak: handle_BREAK(); return;
    case keyBlock: handle_BLOCK(); return;
    case keyReturn: handle_RETURN(); return;
    case keyUses: handle_USES(); return;
    case keyInline: handle_INLINE(false, false); return;
    case keyType: handle_TYPE(); return;
    case keyEnum: handle_ENUM(); return;
    case keyExports: handle_EXPORTS(); return;
    case keyEntry: handle_ENTRY(); return;
    case keyExitIf: handle_EXITIF(); return;
    case keyEMacro: handle_INLINE(true, false); return;
    case key__Try: handle_TRY(); return;
    case keyCase: handle_CASE(); return;
    case keyState: handle_STATE(); return;
    case keyDefault: handle_DEFAULT(); return;
    default: fatal(msg::KeywordStatement, cur().getTokenStr());
  }
}

// A plug-in keyword first in a statement: true when its handler took the
// statement. Otherwise the reader and the token are as they were.
bool pluginKeyword() {
  if (!Plugins) return false;
  const TKeywordEvent handler = Plugins->findKeyword(cur().F_String);
  if (!handler) return false;
  TAFile* file = Compiler->CurFile();
  const TFilePos pos = file->position();
  TCurrentToken saved;
  saved.setCurToken(cur());
  if (handler()) return true;
  Compiler->setCurFile(file);
  file->setPosition(pos);
  cur().setCurToken(saved);
  return false;
}

// An identifier first in a statement, by what it names.
void identifierStatement() {
  TCurrentToken& tk = cur();
  if (pluginKeyword()) return;
  if (tk.F_Keyword != keyNone) return keywordStatement(tk.F_Keyword);
  switch (tk.F_IdentType) {
    case itNone:
      if (curFile().peekNextRealChar(false) == ':')
        handle_LABEL();
      else
        handle_INSTRUCTION();
      return;
    case itLabel:
      if (macroVariableStatement() || CompileFlags.peek_mode) return;
      handle_LABEL();
      return;
    case itFunc:
    case itProc: handle_FUNCCALL(true, nullptr); return;
    case itFuncThis:
    case itProcThis: handle_FUNCCALL(true, tk.F_Operand); return;
    case itMacro:
      if (assignsMacroVariable()) {
        macroVariableStatement();
        return;
      }
      handle_MACROCALL(nullptr, 0, nullptr);
      return;
    case itType: handle_VARTYPE(); return;
    case itGlobalVar:
    case itLocalVar: handle_VAR(); return;
    default: unexpected(unx::NameStatementReserved);
  }
}

// The text a statement loop began in. A block begun in an evaluated text
// ends in it; such a text is freed once read, and its address may then be
// another text's, so it is known again by its serial.
struct TLoopHome {
  uint64_t serial = 0;
  bool eval = false;
  explicit TLoopHome(const TAFile* f) : serial(f ? f->Serial() : 0), eval(f && f->IsEvalText()) {}
  bool is(const TAFile* f) const { return f && f->Serial() == serial; }
  // Whether f is the text or reads on into it at its end.
  bool holds(const TAFile* f) const {
    for (; f; f = f->Parent())
      if (is(f)) return true;
    return false;
  }
};

// A "}" that a statement loop met: true when it ends the loop (with end set).
// An evaluated text closes no block that it did not open, and a block
// opened in one closes in it.
bool braceStatement(const TLoopHome& home, bool directiveBody, TLoopEnd& end) {
  const TAFile* f = Compiler->CurFile();
  if (!home.is(f) && f->IsEvalText()) Log->FatalError(msg::BraceInEvalText);
  if (home.eval && !directiveBody && !home.holds(f)) Log->FatalError(msg::BraceAfterEvalText);
  end = TLoopEnd::Brace;
  return true;
}

// A symbol first in a statement: true when it ends the loop.
bool symbolStatement(const TLoopHome& home, bool directiveBody, TLoopEnd& end) {
  const TCurrentToken& tk = cur();
  const char c = tk.F_String.empty() ? '\0' : tk.F_String[0];
  if (c == ';') return false;
  if (c == '~') {
    handle_NOT();
    return false;
  }
  if (c == '-') {
    handle_NEG();
    return false;
  }
  if (c == '#' || c == '$') {
    const std::string symbol = tk.F_String;
    TAFile& f = curFile();
    if (!isDirectiveStart(f.peekNextRealChar(false))) Log->FatalError(msg::UnexpectedDirectiveSymbol, symbol);
    if (f.moveNextToken(true) != ttIdent) Log->FatalError(msg::UnknownDirective, symbol, cur().F_String);
    if (!handle_DIRECTIVE()) return false;
    end = TLoopEnd::Directive;
    return true;
  }
  if (c == '}') return braceStatement(home, directiveBody, end);
  Log->FatalError(msg::UnexpectedSymbol, tk.F_String);
}

// The bound of nested loops is reached: stops the compile where the text
// that is to be read was opened.
[[noreturn]] void loopsTooDeep() {
  // A text not read yet points to where it was opened.
  TAFile* at = Compiler->CurFile();
  while (at && at->CurChar == 0 && at->Parent()) at = at->Parent();
  const std::string text = msg::text(msg::BlocksTooDeep, std::to_string(TCompiler::kMaxLoopDepth));
  if (at) Log->FatalError(text, true, at->CurChar, at->CurLine, at->CurLineChar, at);
  Log->FatalError(text);
}

}  // namespace

void setCharToken(char c) {
  if (c != '\0') {
    cur().setSymbol(c);
    return;
  }
  cur().setNull();
  cur().F_Type = ttEOF;
}

void fatalNotAvailable(std::string_view construct) {
  Log->FatalError(msg::NotAvailableYet, construct);
}

void TCompiler::HandleDeclarations(int32_t funcIndex, bool directiveBody) {
  // Loops nest through texts that compile texts (an #eval whose text names
  // itself, a plug-in keyword whose text uses the keyword again): a bound,
  // not the end of the stack, stops such a text.
  if (F_LoopDepth >= kMaxLoopDepth) loopsTooDeep();
  TFunction* preFunc = F_CurFunc;
  if (funcIndex >= 0) {
    TFunction* fn = FuncMan->getFunc(static_cast<uint32_t>(funcIndex));
    if (!fn) Log->FatalError(msg::NoFunctionToCompile, std::to_string(funcIndex));
    F_CurFunc = fn;
  }
  TLoopEnd end = TLoopEnd::EndOfSource;
  struct Depth {
    uint32_t& depth;
    ~Depth() { --depth; }
  } depth{++F_LoopDepth};
  const TLoopHome home(F_CurFile);
  for (bool running = F_CurFile != nullptr; running;) {
    if (const PInstruction inst = directMnemonic(*F_CurFile)) {
      compileInstruction(inst);
      continue;
    }
    const TVorToken kind = F_CurFile->moveNextToken(false);
    TCurrentToken& tk = *F_CurToken;
    switch (kind) {
      case ttEOF:
        // An empty value (a macro variable or a pop with nothing in it) is
        // no end of the text: only the statement of a variable may start so.
        if (!F_CurFile->atEnd()) {
          if (!macroVariableStatement()) Log->FatalError(msg::EmptyStatementValue);
          break;
        }
        // The end of an included or evaluated text: the text that holds it
        // goes on after the directive. Only a block, a body or a macro's
        // block that began in an evaluated text may not run out of it.
        if (F_CurFile->Parent() && (!home.is(F_CurFile) || !F_CurFile->IsEvalText() || directiveBody)) {
          F_CurFile = F_CurFile->Parent();
          releaseEvalTexts();
        } else {
          running = false;
        }
        break;
      case ttSymbol:
        if (symbolStatement(home, directiveBody, end)) running = false;
        break;
      case ttSegment: handle_SEGMENT(); break;
      case ttRegister: handle_REGISTER(nullptr); break;
      case ttFlag: handle_FLAG(); break;
      case ttBaseExp: handle_BASEEXP(); break;
      case ttNumber:
      case ttFloat:
      case ttAnsiString:
      case ttWideString:
        if (!macroVariableStatement()) unexpected(unx::StatementValue);
        break;
      case ttIdent: identifierStatement(); break;
      default: Log->FatalError(msg::StatementToken, tk.getTokenStr());
    }
  }
  if (funcIndex >= 0) {
    // The body's own scope; the top level (the built-in names) is never
    // closed, even by a caller that opened no scope.
    if (Idents->CurrentScope() > 0) Idents->deleteScope(SSL_SCOPE_MAX);
    F_CurFunc = preFunc;
  }
  F_LoopEnd = end;
  if (end != TLoopEnd::Directive) F_ClosingDirective = TClosingDirective::None;
}

// ---- Statements of the loop itself ----

// name :
void handle_LABEL() {
  TCurrentToken& tk = cur();
  TFunction* fn = Compiler->CurFunc();
  if (tk.F_IdentType == itNone) {
    TFunction* label = FuncMan->CreateFunction(ltLabel, fn);
    vorStrAssign(label->Name, tk.F_String);
    vorStrAssign(label->ImportName, tk.F_String);
    label->Address = fn ? fn->BufLen : 0;
    label->LocalCount = 0;
    label->LocalSize = 0;
    Idents->addIdent(itLabel, tk.F_String, label);
    Compiler->arriveAt(label, true);
    // The ":" that the dispatcher looked at.
    TAFile& f = curFile();
    f.peekNextRealChar(false);
    f.setPosition(f.lastPeek());
    return;
  }
  auto* label = static_cast<TFunction*>(tk.F_Pointer);
  if (!label || label->Type_ != ltRef) unexpected(unx::LabelPlacedTwice);
  if (!Compiler->ExpectSymbol(":")) unexpected(unx::LabelColon);
  Compiler->placeLabel(label);
}

// flag = flag ;   (the flag just read)
void handle_FLAG() {
  TCurrentToken& tk = cur();
  auto op = std::make_unique<TOperand>();
  op->setImm(false, static_cast<uint32_t>(tk.F_Integer), 1);
  op->hint = otFlag;
  // The assignment target is visible to what the statement reads, and only
  // for as long as the statement runs.
  struct Target {
    ~Target() {
      assignOperand = nullptr;
      assignOperandText.clear();
    }
  } target;
  assignOperand = op.get();
  assignOperandText = tk.F_String;
  const int64_t flag = tk.F_Integer;
  if (!Compiler->ExpectSymbol("=")) unexpected(unx::FlagAssign);
  if (Compiler->ExpectToken({ttFlag}) == ttNone) unexpected(unx::FlagSource);
  if (cur().F_Integer != flag) unexpected(unx::FlagSame);
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::FlagEnd);
}

void handle_NOT() { unaryStatement("not", msg::NotEncode); }
void handle_NEG() { unaryStatement("neg", msg::NegEncode); }

// mnemonic [ operand { , operand } ]
void handle_INSTRUCTION() {
  const PInstruction inst = mnemonicRow(cur().F_String);
  if (!inst) fatal(msg::UnknownMnemonic, cur().getTokenStr());
  compileInstruction(inst);
}

}  // namespace vorak
