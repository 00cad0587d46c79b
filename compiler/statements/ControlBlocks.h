// What the control statements share: the block record held open for a
// statement, its body and condition, its labels, and the exits out of it.
// The small pieces are inline: every statement of a structured stream runs
// them.
#pragma once

#include <memory>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "encoder/VorAssembler.h"

namespace vorak {

// Reads the symbol, or stops with the token error code.
inline void expect(std::string_view symbol, unx::Id code) {
  if (!Compiler->ExpectSymbol(symbol)) unexpected(code);
}

// The keyword of the next token, read ahead (keyNone for anything else);
// consumeAhead takes it.
inline TKeyword peekKeyword() {
  if (Compiler->CurFile()->peekNextToken(false) != ttIdent) return keyNone;
  return Compiler->PeekToken()->F_Keyword;
}
inline void consumeAhead() { Compiler->CurFile()->moveLastPeek(); }

// The statements of a "{ ... }" body, whose "{" has been read. A body that
// the end of the source or a directive ends instead of its "}" would compile
// as if it were closed.
inline void compileBody() {
  Compiler->HandleDeclarations(-1);
  if (Compiler->LastLoopEnd() != TLoopEnd::Brace) fatal(msg::BlockNotClosed);
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
    item->depth = curFunc() ? curFunc()->LocalOffset : 0;
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
inline void blockCondition(TBlockStackItem& b) {
  const TMathOp res = handle_IFEXPRESSION(b.cond, 0);
  handle_IFJUMP(true, res, b.cond.falseLbl);
}

// The end label ("break" target), made when first jumped to: a statement
// that nothing leaves early has none.
inline TFunction* endLabel(TBlockStackItem& b) {
  // A while loop's false target and its end share their place.
  if (b.type_ == bstWHILE) return b.elseLbl;
  if (!b.endLbl) b.endLbl = newStatementLabel(b.type_ == bstREPEAT ? "endrep" : b.type_ == bstCASE ? "#case_end" : "endif");
  return b.endLbl;
}

inline void placeIfMade(TFunction* label) {
  if (label) placeLabelHere(label);
}

// The links of the conditions inside the block that jump to its labels.
inline void resolveDeferred(TBlockStackItem& b) {
  for (auto& cc : b.deferred) updateLabelStack(*cc);
  b.deferred.clear();
}

// The end of a loop or if block: its end label, then the links of its own
// condition and of the conditions inside it.
inline void closeBlock(TBlockStackItem& b) {
  placeIfMade(b.endLbl);
  updateLabelStack(b.cond);
  resolveDeferred(b);
}

// A jump out of the block b (or out of the function) must not leave a
// __try frame linked.
void refuseLeavingTry(bool leaves, std::string_view statement);

// The bare "break;" and "exitif;": a jump to the block's end. False, with
// nothing read, when a condition follows instead.
inline bool exitAtOnce(TBlockStackItem& b) {
  if (peekChar() != ';') return false;
  emitJumpTo(endLabel(b));
  return true;
}

// "( condition ) ;" of break if and exitif: jumps to target when it holds.
// The condition has its own links; target is placed when the block ends.
void exitCondition(TBlockStackItem& b, TFunction* target, unx::Id closeCode, unx::Id endCode);

}  // namespace vorak
