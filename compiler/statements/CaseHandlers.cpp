// The case statement and its state and default lines: each state line labels
// its code, and a scan after the body compares the selector with every state.
#include "compiler/statements/CaseHandlers.h"

#include <memory>
#include <optional>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/CaseManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/statements/ControlBlocks.h"

namespace vorak {

// case ( selector ) { state a, b: ... default: ... }
void handle_CASE() {
  OpenBlock b(bstCASE);
  // Each state line makes its own "#case_state" label when it comes.
  TFunction* end = endLabel(*b);
  TFunction* scan = newStatementLabel("#case_scan");
  expect("(", unx::CaseOpen);
  std::unique_ptr<TOperand> selector = Compiler->moveNextOperand(true, false);
  expect(")", unx::CaseClose);
  expect("{", unx::CaseBodyOpen);
  {
    TAFile* f = Compiler->CurFile();
    const TVorToken t = f->peekNextToken(false);
    const bool isState = t == ttIdent && Compiler->PeekToken()->F_Keyword == keyState;
    if (!isState) {
      consumeAhead();
      if (t != ttIdent) unexpected(unx::CaseFirstNotState);
      fatal(msg::CaseStateExpected);
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
    // A value the selector cannot be compared with is reported at its state
    // line, not at the "}" where the compare is compiled.
    std::optional<TLog::SpotScope> at;
    if (Log && state->spot.file) at.emplace(*Log, state->spot);
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
  if (!b || !b->data) fatal(msg::StateOutsideCase);
  // All values of one line label the same position: one label serves them.
  TFunction* here = newStatementLabel("#case_state");
  for (bool first = true;; first = false) {
    auto state = std::make_unique<TCaseState>();
    state->code_label = here;
    TCaseState& s = *state;
    b->data->StateList.push_back(std::move(state));
    if (first) {
      // The scan jumps here with the depth the case began with, and
      // compares the values at that depth: they are read at it.
      Compiler->expectDepth(here, b->depth);
      placeLabelHere(here);
    }
    s.operand = Compiler->moveNextOperand(true, false);
    s.spot = Compiler->currentSpot();
    TAFile* f = Compiler->CurFile();
    if (f->peekNextRealChar(true) != ',') break;
    f->setPosition(f->lastPeek());
  }
  expect(":", unx::StateColon);
}

// default :
void handle_DEFAULT() {
  TBlockStackItem* b = blStack->getTopCaseType();
  if (!b || !b->data) fatal(msg::DefaultOutsideCase);
  expect(":", unx::DefaultColon);
  if (b->data->default_) fatal(msg::CaseTwoDefaults);
  b->data->default_ = newStatementLabel("#case_state");
  Compiler->expectDepth(b->data->default_, b->depth);
  placeLabelHere(b->data->default_);
}

}  // namespace vorak
