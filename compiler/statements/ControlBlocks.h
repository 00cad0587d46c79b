// What the control statements share: the block record held open for a
// statement, its body and condition, its labels, and the exits out of it.
#pragma once

#include <memory>
#include <string_view>

#include "compiler/source/CurrentToken.h"
#include "compiler/statements/BlockStack.h"

namespace vorak {

// Reads the symbol, or stops with the unexpected-token error of code.
void expect(std::string_view symbol, std::string_view code);

// The keyword of the next token, read ahead (keyNone for anything else);
// consumeAhead takes it.
TKeyword peekKeyword();
void consumeAhead();

// The statements of a "{ ... }" body, whose "{" has been read. A body that
// the end of the source or a directive ends instead of its "}" would compile
// as if it were closed.
void compileBody();

// A block record on the stack for the statement's lifetime.
class OpenBlock {
 public:
  explicit OpenBlock(TBST kind);
  ~OpenBlock();
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
void blockCondition(TBlockStackItem& b);

// The end label ("break" target), made when first jumped to: a statement
// that nothing leaves early has none.
TFunction* endLabel(TBlockStackItem& b);

void placeIfMade(TFunction* label);

// The links of the conditions inside the block that jump to its labels.
void resolveDeferred(TBlockStackItem& b);

// The end of a loop or if block: its end label, then the links of its own
// condition and of the conditions inside it.
void closeBlock(TBlockStackItem& b);

// A jump out of the block b (or out of the function) must not leave a
// __try frame linked.
void refuseLeavingTry(bool leaves, std::string_view statement);

// The bare "break;" and "exitif;": a jump to the block's end. False, with
// nothing read, when a condition follows instead.
bool exitAtOnce(TBlockStackItem& b);

// "( condition ) ;" of break if and exitif: jumps to target when it holds.
// The condition has its own links; target is placed when the block ends.
void exitCondition(TBlockStackItem& b, TFunction* target, std::string_view closeCode, std::string_view endCode);

}  // namespace vorak
