// What the control statements share: the exits out of a block (the inline
// pieces are in the header).
#include "compiler/statements/ControlBlocks.h"

#include <memory>
#include <string>

namespace vorak {

void refuseLeavingTry(bool leaves, std::string_view statement) {
  if (leaves) fatal(msg::LeavesTry, statement);
}

void exitCondition(TBlockStackItem& b, TFunction* target, unx::Id closeCode, unx::Id endCode) {
  expect("(", unx::ExitConditionOpen);
  auto cc = std::make_unique<TCondContext>(target, newStatementLabel("exitif"));
  const TMathOp res = handle_IFEXPRESSION(*cc, 0);
  expect(")", closeCode);
  expect(";", endCode);
  handle_IFJUMP(false, res, target);
  placeLabelHere(cc->falseLbl);
  b.deferred.push_back(std::move(cc));
}

}  // namespace vorak
