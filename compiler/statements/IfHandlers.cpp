// Structured statements: if, while, repeat, loop exits, case selection and the exception frame.
#include "compiler/statements/IfHandlers.h"

#include <memory>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/CaseManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/symbols/FuncManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

void expect(std::string_view symbol, std::string_view code) {
  if (!Compiler->ExpectSymbol(symbol)) unexpected(code);
}

// The keyword of the next token, read ahead (keyNone for anything else);
// consumeAhead takes it.
TKeyword peekKeyword() {
  if (Compiler->CurFile()->peekNextToken(false) != ttIdent) return keyNone;
  return Compiler->PeekToken()->F_Keyword;
}
void consumeAhead() { Compiler->CurFile()->moveLastPeek(); }

// The statements of a "{ ... }" body, whose "{" has been read. A body that
// the end of the source or a directive ends instead of its "}" would compile
// as if it were closed.
void compileBody() {
  Compiler->HandleDeclarations(-1);
  if (Compiler->LastLoopEnd() != TLoopEnd::Brace) fatal("[70445] Block not closed by \"}\"");
  // Only a return that ends a function's own body counts as its final one.
  Compiler->Assembler_().setLastinstruction(opcodeLookup("nop"));
}

// A block record on the stack for the statement's lifetime.
class OpenBlock {
 public:
  explicit OpenBlock(TBST kind) {
    std::unique_ptr<TBlockStackItem> item = blStack->acquire();
    item->type_ = kind;
    item->insPos = curFunc() ? curFunc()->BufLen : 0;
    item_ = item.get();
    blStack->push(std::move(item));
  }
  ~OpenBlock() { blStack->recycle(blStack->pop()); }
  OpenBlock(const OpenBlock&) = delete;
  OpenBlock& operator=(const OpenBlock&) = delete;
  TBlockStackItem* operator->() const { return item_; }
  TBlockStackItem& operator*() const { return *item_; }

 private:
  TBlockStackItem* item_;
};

// The block's own condition, read after its "(": jumps to the false target
// when it fails. Its true target, the place after it, exists only when a
// join jumps there.
void blockCondition(TBlockStackItem& b) {
  const TMathOp res = handle_IFEXPRESSION(b.cond, 0);
  handle_IFJUMP(true, res, b.cond.falseLbl);
}

// The end label ("break" target), made when first jumped to: a statement
// that nothing leaves early has none.
TFunction* endLabel(TBlockStackItem& b) {
  // A while loop's false target and its end share their place.
  if (b.type_ == bstWHILE) return b.elseLbl;
  if (!b.endLbl) b.endLbl = newStatementLabel(b.type_ == bstREPEAT ? "endrep" : b.type_ == bstCASE ? "#case_end" : "endif");
  return b.endLbl;
}

void placeIfMade(TFunction* label) {
  if (label) placeLabelHere(label);
}

// The links of the conditions inside the block that jump to its labels.
void resolveDeferred(TBlockStackItem& b) {
  for (auto& cc : b.deferred) updateLabelStack(*cc);
  b.deferred.clear();
}

// The labels a loop starts with: its start, and the one its condition
// fails to (the loop's else label), named as the loop kind names them.
void startLoop(TBlockStackItem& b, const char* elseName, const char* trueName) {
  b.elseLbl = newStatementLabel(elseName);
  b.startLbl = newStatementLabel("start");
  b.cond.trueName = trueName;
  b.cond.falseLbl = b.elseLbl;
}

// The end of a loop or if block: its end label, then the links of its own
// condition and of the conditions inside it.
void closeBlock(TBlockStackItem& b) {
  placeIfMade(b.endLbl);
  updateLabelStack(b.cond);
  resolveDeferred(b);
}

// A jump out of the block b (or out of the function) must not leave a
// __try frame linked.
void refuseLeavingTry(bool leaves, std::string_view statement) {
  if (leaves) fatal("[564325] " + std::string(statement) + " cannot leave a __try block");
}

// "( condition ) ;" of break if and exitif: jumps to target when it holds.
// The condition has its own links; target is placed when the block ends.
void exitCondition(TBlockStackItem& b, TFunction* target, std::string_view closeCode, std::string_view endCode) {
  expect("(", "643456");
  auto cc = std::make_unique<TCondContext>(target, newStatementLabel("exitif"));
  const TMathOp res = handle_IFEXPRESSION(*cc, 0);
  expect(")", closeCode);
  expect(";", endCode);
  handle_IFJUMP(false, res, target);
  placeLabelHere(cc->falseLbl);
  b.deferred.push_back(std::move(cc));
}

TOperand stackMemory(int32_t disp) {
  TOperand m;
  m.setMemory(false, 4, disp, 0, {REG_ESP}, nullptr, otRegister, nullptr);
  return m;
}

TOperand baseMemory(TRegister base, int32_t disp) {
  TOperand m;
  m.setMemory(false, 4, disp, 0, {base}, nullptr, otRegister, nullptr);
  return m;
}

TOperand regOperand(TRegister r) {
  TOperand op;
  op.setRegister(false, r);
  return op;
}

TOperand immOperand(uint32_t v, uint32_t size) {
  TOperand op;
  op.setImm(false, v, size);
  return op;
}

}  // namespace

namespace {

// "( condition )" of an if or elseif branch.
void branchCondition(TBlockStackItem& b) {
  expect("(", "432765");
  blockCondition(b);
  expect(")", "70003");
}

// "{ body }" of a branch, entered where its condition holds.
void branchBody(TBlockStackItem& b) {
  expect("{", "70444");
  b.codeLbl = b.cond.trueLbl;
  placeIfMade(b.codeLbl);
  compileBody();
}

}  // namespace

// if ( condition ) { body } { elseif ( condition ) { body } } [ else { body } ]
void handle_IF() {
  OpenBlock b(bstIF);
  b->elseLbl = newStatementLabel("else");
  b->cond.trueName = "ifcode";
  b->cond.falseLbl = b->elseLbl;
  branchCondition(*b);
  branchBody(*b);

  for (TKeyword key = peekKeyword(); key == keyElseif || key == keyElse; key = peekKeyword()) {
    consumeAhead();
    emitJumpTo(endLabel(*b));
    placeLabelHere(b->elseLbl);
    updateLabelStack(b->cond);
    // An else branch has no condition to fail.
    b->elseLbl = key == keyElseif ? newStatementLabel("else") : nullptr;
    b->cond.clear();
    b->cond.trueLbl = nullptr;
    b->cond.falseLbl = b->elseLbl;
    if (key == keyElseif) branchCondition(*b);
    branchBody(*b);
    if (key == keyElse) break;
  }
  placeIfMade(b->elseLbl);
  closeBlock(*b);
}

// while ( condition ) { body }
void handle_WHILE() {
  OpenBlock b(bstWHILE);
  startLoop(*b, "else", "ifcode");
  expect("(", "432765");
  placeLabelHere(b->startLbl);
  blockCondition(*b);
  expect(")", "70003");
  expect("{", "70444");
  b->codeLbl = b->cond.trueLbl;
  placeIfMade(b->codeLbl);
  compileBody();
  emitJumpTo(b->startLbl);
  placeLabelHere(b->elseLbl);
  closeBlock(*b);
}

// repeat [ if ( condition ) ] { body } [ until ( condition ) ]
void handle_REPEAT() {
  OpenBlock b(bstREPEAT);
  startLoop(*b, "continue", "repcode");
  if (peekKeyword() == keyIf) {
    consumeAhead();
    // The pre-test enters the body when it holds and skips the loop when it
    // fails; its links are its own.
    auto pre = std::make_unique<TCondContext>(nullptr, endLabel(*b));
    pre->trueName = "repcode";
    const TMathOp res = handle_IFEXPRESSION(*pre, 0);
    handle_IFJUMP(true, res, b->endLbl);
    placeIfMade(pre->trueLbl);
    b->deferred.push_back(std::move(pre));
  }
  b->insPos = curFunc()->BufLen;
  expect("{", "70444");
  placeLabelHere(b->startLbl);
  placeLabelHere(b->elseLbl);
  compileBody();
  if (peekKeyword() == keyUntil) {
    if (Compiler->ExpectKeyword({keyUntil}) == keyNone) unexpected("32213");
    expect("(", "432765");
    blockCondition(*b);
    expect(")", "70003");
  } else {
    emitJumpTo(b->elseLbl);
  }
  b->codeLbl = b->cond.trueLbl;
  placeIfMade(b->codeLbl);
  closeBlock(*b);
}

// continue
void handle_CONTINUE() {
  TBlockStackItem* b = blStack->getTopRepType();
  if (!b) fatal("[4224] Continue is only valid inside a loop block such as while or repeat");
  if (b->type_ == bstCASE) fatal("Unable to continue an if statement");
  refuseLeavingTry(blStack->tryInside(b), "Continue");
  emitJumpTo(b->startLbl);
}

// break [ if ( condition ) ] ;
void handle_BREAK() {
  TBlockStackItem* b = blStack->getTopRepType();
  if (!b) fatal("[4225] Break is only valid used inside block statements such as while, repeat or case statements");
  refuseLeavingTry(blStack->tryInside(b), "Break");
  if (peekChar() == ';') {
    emitJumpTo(endLabel(*b));
    return;
  }
  if (Compiler->ExpectIdentType({itReservedKeyword}) == itNone) unexpected("643");
  if (Compiler->CurToken()->F_Keyword != keyIf) unexpected("43557");
  exitCondition(*b, endLabel(*b), "6445", "5334");
}

// exitif [ [ if ] ( condition ) ] ;
void handle_EXITIF() {
  TBlockStackItem* b = blStack->getTopIfType();
  if (!b) fatal("[4225] exitif is only valid used inside of if statements");
  refuseLeavingTry(blStack->tryInside(b), "Exitif");
  if (peekChar() == ';') {
    emitJumpTo(endLabel(*b));
    return;
  }
  if (Compiler->CurFile()->peekNextToken(false) == ttIdent) {
    consumeAhead();
    if (Compiler->CurToken()->F_IdentType != itReservedKeyword) unexpected("613");
    if (Compiler->CurToken()->F_Keyword != keyIf) unexpected("43567");
  }
  exitCondition(*b, endLabel(*b), "6145", "5314");
}

// case ( selector ) { state a, b: ... default: ... }
void handle_CASE() {
  OpenBlock b(bstCASE);
  // Each state line makes its own "#case_state" label when it comes.
  TFunction* end = endLabel(*b);
  TFunction* scan = newStatementLabel("#case_scan");
  expect("(", "53456");
  std::unique_ptr<TOperand> selector = Compiler->moveNextOperand(true, false);
  expect(")", "53457");
  expect("{", "53458");
  {
    TAFile* f = Compiler->CurFile();
    const TVorToken t = f->peekNextToken(false);
    const bool isState = t == ttIdent && Compiler->PeekToken()->F_Keyword == keyState;
    if (!isState) {
      consumeAhead();
      if (t != ttIdent) unexpected("6455421");
      fatal("[5362354] Case state expected");
    }
  }
  auto manager = std::make_unique<TCaseManager>();
  manager->opCase = std::move(selector);
  b->data = manager.get();

  emitJumpTo(scan);
  compileBody();
  // The last state's code ends the statement; running into the scan would
  // match a state again.
  emitJumpTo(end);
  placeLabelHere(scan);
  for (const auto& state : manager->StateList) {
    const TMathOp res = handle_EXECCMP(*manager->opCase, *state->operand, moNotEqual);
    handle_IFJUMP(true, res, state->code_label);
  }
  if (manager->default_) emitJumpTo(manager->default_);
  placeLabelHere(end);
  resolveDeferred(*b);
  b->data = nullptr;
}

// state value { , value } :
void handle_STATE() {
  TBlockStackItem* b = blStack->getTopCaseType();
  if (!b || !b->data) fatal("[4226] STATE is only valid used inside of CASE statements");
  // All values of one line label the same position: one label serves them.
  TFunction* here = nullptr;
  for (;;) {
    auto state = std::make_unique<TCaseState>();
    state->operand = Compiler->moveNextOperand(true, false);
    if (!here) {
      here = newStatementLabel("#case_state");
      placeLabelHere(here);
    }
    state->code_label = here;
    b->data->StateList.push_back(std::move(state));
    TAFile* f = Compiler->CurFile();
    if (f->peekNextRealChar(true) != ',') break;
    f->setPosition(f->lastPeek());
  }
  expect(":", "543565364");
}

// default :
void handle_DEFAULT() {
  TBlockStackItem* b = blStack->getTopCaseType();
  if (!b || !b->data) fatal("[4226] DEFAULT is only valid used inside of CASE statements");
  expect(":", "189849");
  if (b->data->default_) fatal("[4227] CASE statements can only have 1 default state");
  b->data->default_ = newStatementLabel("#case_state");
  placeLabelHere(b->data->default_);
}

// __try { body } __except ( exceptionReg , addressReg ) { handler }
// The frame, from the top: the previous handler chain entry (fs:[0]), the
// handler's address, the eight registers of pushad, two spare words.
void handle_TRY() {
  if (!DefMan->getDefine("win32") || CompileFlags.cpu_bits == 16 || CompileFlags.cpu_bits == 64 || ptrSize != 4)
    fatal("[564324] Try is only currently implemented for Microsoft Windows x32 platform");
  TFunction* fn = curFunc();
  expect("{", "174443");
  TFunction* except = newStatementLabel("#tryexcept");
  TFunction* end = newStatementLabel("#tryend");
  const uint32_t depth = fn->LocalOffset;

  TOperand esp = regOperand(REG_ESP);
  TOperand esi = regOperand(REG_ESI);
  TOperand eight = immOperand(8, 1);
  Compiler->execInstruction(fn, "sub", &esp, &eight);
  Compiler->execInstruction(fn, "pushad");
  TOperand handler;
  handler.setLabel(false, fn, except->FuncIndex);
  Compiler->execInstruction(fn, "mov", &esi, &handler);
  Compiler->execInstruction(fn, "push", &esi);
  // ESI goes back to its value from before the frame (pushad saved it).
  TOperand savedEsi = stackMemory(8);
  Compiler->execInstruction(fn, "mov", &esi, &savedEsi);
  appendCode(fn, std::string_view("\x64\xFF\x35\x00\x00\x00\x00", 7));  // push dword fs:[0]
  appendCode(fn, std::string_view("\x64\x89\x25\x00\x00\x00\x00", 7));  // mov fs:[0], esp
  fn->LocalOffset = depth + 48;

  {
    struct OpenTry {
      explicit OpenTry(const TFunction* f) { blStack->beginTry(f); }
      ~OpenTry() { blStack->endTry(); }
    } open(fn);
    compileBody();
  }

  appendCode(fn, std::string_view("\x64\x8F\x05\x00\x00\x00\x00", 7));  // pop dword fs:[0]
  TOperand fortyFour = immOperand(44, 1);
  Compiler->execInstruction(fn, "add", &esp, &fortyFour);
  fn->LocalOffset = depth;
  emitJumpTo(end);

  if (Compiler->ExpectKeyword({key__Except}) == keyNone) unexpected("6745634");
  expect("(", "6451234");
  if (Compiler->ExpectToken({ttRegister}) == ttNone) unexpected("654734");
  const TRegister exc = Compiler->CurToken()->F_Register;
  expect(",", "65642");
  if (Compiler->ExpectToken({ttRegister}) == ttNone) unexpected("456433");
  const TRegister addr = Compiler->CurToken()->F_Register;
  // Both are loaded, stored and popped as whole stack words.
  const auto word = static_cast<uint8_t>(ptrSize);
  if (regSize(exc) != word || regSize(addr) != word || exc == addr || exc == REG_ESP || addr == REG_ESP)
    fatal("[43632] Invalid register to hold exception block");
  expect(")", "6451235");
  expect("{", "6451236");

  placeLabelHere(except);
  TOperand excOp = regOperand(exc);
  TOperand addrOp = regOperand(addr);
  TOperand m = stackMemory(4);
  Compiler->execInstruction(fn, "mov", &excOp, &m);  // the exception record
  m = baseMemory(exc, 12);
  Compiler->execInstruction(fn, "mov", &addrOp, &m);  // its address
  m = baseMemory(exc, 0);
  Compiler->execInstruction(fn, "mov", &excOp, &m);  // its code
  m = stackMemory(8);
  Compiler->execInstruction(fn, "mov", &esp, &m);  // the frame
  appendCode(fn, std::string_view("\x64\x8F\x05\x00\x00\x00\x00", 7));  // pop dword fs:[0]
  TOperand four = immOperand(4, 1);
  Compiler->execInstruction(fn, "add", &esp, &four);
  m = stackMemory(36);
  Compiler->execInstruction(fn, "mov", &m, &excOp);
  m = stackMemory(32);
  Compiler->execInstruction(fn, "mov", &m, &addrOp);
  Compiler->execInstruction(fn, "popad");
  Compiler->execInstruction(fn, "pop", &addrOp);
  Compiler->execInstruction(fn, "pop", &excOp);
  // The handler runs with the stack as it was before __try.
  fn->LocalOffset = depth;
  compileBody();
  placeLabelHere(end);
}

}  // namespace vorak
