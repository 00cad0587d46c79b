// Conditional statements: if with its elseif and else branches, and exitif.
#include "compiler/statements/IfHandlers.h"

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/statements/ControlBlocks.h"

namespace vorak {

namespace {

// "( condition )" of an if or elseif branch.
void branchCondition(TBlockStackItem& b) {
  expect("(", unx::ConditionOpen);
  blockCondition(b);
  expect(")", unx::ConditionClose);
}

// "{ body }" of a branch, entered where its condition holds.
void branchBody(TBlockStackItem& b) {
  expect("{", unx::BodyOpen);
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

// exitif [ [ if ] ( condition ) ] ;
void handle_EXITIF() {
  TBlockStackItem* b = blStack->getTopIfType();
  if (!b) fatal(msg::ExitifOutsideIf);
  refuseLeavingTry(blStack->tryInside(b), "Exitif");
  if (exitAtOnce(*b)) return;
  if (Compiler->CurFile()->peekNextToken(false) == ttIdent) {
    consumeAhead();
    if (Compiler->CurToken()->F_IdentType != itReservedKeyword) unexpected(unx::ExitifIfKeyword);
    if (Compiler->CurToken()->F_Keyword != keyIf) unexpected(unx::ExitifNotIf);
  }
  exitCondition(*b, endLabel(*b), unx::ExitifClose, unx::ExitifEnd);
}

}  // namespace vorak
