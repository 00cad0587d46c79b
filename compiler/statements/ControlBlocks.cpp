// What the control statements share: the exits out of a block (the inline
// pieces are in the header).
#include "compiler/statements/ControlBlocks.h"

#include <memory>
#include <string>

namespace vorak {

void refuseLeavingTry(bool leaves, std::string_view statement) {
  if (leaves) fatal("[564325] " + std::string(statement) + " cannot leave a __try block");
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
