// Loops and the jumps out of them: while, repeat, continue and break (which
// also leaves a case statement).
#include "compiler/statements/LoopHandlers.h"

#include <memory>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/statements/ControlBlocks.h"
#include "compiler/symbols/FuncManager.h"

namespace vorak {

namespace {

// The labels a loop starts with: its start, and the one its condition
// fails to (the loop's else label), named as the loop kind names them.
void startLoop(TBlockStackItem& b, const char* elseName, const char* trueName) {
  b.elseLbl = newStatementLabel(elseName);
  b.startLbl = newStatementLabel("start");
  b.cond.trueName = trueName;
  b.cond.falseLbl = b.elseLbl;
}

}  // namespace

// while ( condition ) { body }
void handle_WHILE() {
  OpenBlock b(bstWHILE);
  startLoop(*b, "else", "ifcode");
  expect("(", unx::ConditionOpen);
  placeLabelHere(b->startLbl);
  blockCondition(*b);
  expect(")", unx::ConditionClose);
  expect("{", unx::BodyOpen);
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
  expect("{", unx::BodyOpen);
  placeLabelHere(b->startLbl);
  placeLabelHere(b->elseLbl);
  compileBody();
  if (peekKeyword() == keyUntil) {
    if (Compiler->ExpectKeyword({keyUntil}) == keyNone) unexpected(unx::RepeatUntil);
    expect("(", unx::ConditionOpen);
    blockCondition(*b);
    expect(")", unx::ConditionClose);
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
  if (!b) fatal(msg::ContinueOutsideLoop);
  if (b->type_ == bstCASE) fatal(msg::ContinueInCase);
  refuseLeavingTry(blStack->tryInside(b), "Continue");
  emitJumpTo(b->startLbl);
}

// break [ if ( condition ) ] ;
void handle_BREAK() {
  TBlockStackItem* b = blStack->getTopRepType();
  if (!b) fatal(msg::BreakOutsideBlock);
  refuseLeavingTry(blStack->tryInside(b), "Break");
  if (exitAtOnce(*b)) return;
  if (Compiler->ExpectIdentType({itReservedKeyword}) == itNone) unexpected(unx::BreakIfKeyword);
  if (Compiler->CurToken()->F_Keyword != keyIf) unexpected(unx::BreakIfNotIf);
  exitCondition(*b, endLabel(*b), unx::BreakIfClose, unx::BreakIfEnd);
}

}  // namespace vorak
