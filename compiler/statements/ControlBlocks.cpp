// What the control statements share: the block record held open for a
// statement, its body and condition, its labels, and the exits out of it.
#include "compiler/statements/ControlBlocks.h"

#include <memory>
#include <string>

#include "compiler/driver/Globals.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/symbols/FuncManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

void expect(std::string_view symbol, std::string_view code) {
  if (!Compiler->ExpectSymbol(symbol)) unexpected(code);
}

TKeyword peekKeyword() {
  if (Compiler->CurFile()->peekNextToken(false) != ttIdent) return keyNone;
  return Compiler->PeekToken()->F_Keyword;
}
void consumeAhead() { Compiler->CurFile()->moveLastPeek(); }

void compileBody() {
  Compiler->HandleDeclarations(-1);
  if (Compiler->LastLoopEnd() != TLoopEnd::Brace) fatal("[70445] Block not closed by \"}\"");
  // Only a return that ends a function's own body counts as its final one.
  Compiler->Assembler_().setLastinstruction(opcodeLookup("nop"));
}

OpenBlock::OpenBlock(TBST kind) {
  std::unique_ptr<TBlockStackItem> item = blStack->acquire();
  item->type_ = kind;
  item->insPos = curFunc() ? curFunc()->BufLen : 0;
  item_ = item.get();
  blStack->push(std::move(item));
}

OpenBlock::~OpenBlock() { blStack->recycle(blStack->pop()); }

void blockCondition(TBlockStackItem& b) {
  const TMathOp res = handle_IFEXPRESSION(b.cond, 0);
  handle_IFJUMP(true, res, b.cond.falseLbl);
}

TFunction* endLabel(TBlockStackItem& b) {
  // A while loop's false target and its end share their place.
  if (b.type_ == bstWHILE) return b.elseLbl;
  if (!b.endLbl) b.endLbl = newStatementLabel(b.type_ == bstREPEAT ? "endrep" : b.type_ == bstCASE ? "#case_end" : "endif");
  return b.endLbl;
}

void placeIfMade(TFunction* label) {
  if (label) placeLabelHere(label);
}

void resolveDeferred(TBlockStackItem& b) {
  for (auto& cc : b.deferred) updateLabelStack(*cc);
  b.deferred.clear();
}

void closeBlock(TBlockStackItem& b) {
  placeIfMade(b.endLbl);
  updateLabelStack(b.cond);
  resolveDeferred(b);
}

void refuseLeavingTry(bool leaves, std::string_view statement) {
  if (leaves) fatal("[564325] " + std::string(statement) + " cannot leave a __try block");
}

bool exitAtOnce(TBlockStackItem& b) {
  if (peekChar() != ';') return false;
  emitJumpTo(endLabel(b));
  return true;
}

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

}  // namespace vorak
