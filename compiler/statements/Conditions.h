// Conditions: comparisons joined by "and"/"or" compiled into compares and
// short-circuit jumps. Every condition is compiled against its own context
// (TCondContext), which statements, conditional values and variable
// conditions share as their one interface.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/driver/Global.h"
#include "encoder/Operand.h"
#include "plugins/PluginInterface.h"

namespace vorak {

// The bookkeeping of one condition: where it goes when it holds and when it
// fails, and the link labels of its and/or joins per nesting level.
//
// Grammar at nesting level L (the statement has read the opening "("):
//   condition(L) = "(" condition(L+1) ")" { ("and" | "or") "(" condition(L+1) ")" }
//                | operand relation operand
// Joins at one level group to the right: a and b or c is a and (b or c), so
// an "and" jumps to the level's false target when its left side fails, an
// "or" to the level's true target when its left side holds, and the last
// comparison is handed back to the caller unjumped.
// The true target of a group at level L >= 1 is the "and" link of level L-1
// (the next conjunct there), its false target the "or" link of level L-1
// (the next disjunct there). A link that the parent level does not place
// (because the other join, or the end, follows the group) is bound to the
// parent's own target; updateLabelStack gives every bound link the address
// of the label it stands for.
//
// Use, for a condition that goes on after its jump when it holds:
//   TCondContext cc(trueLabel, falseLabel);
//   TMathOp res = handle_IFEXPRESSION(cc, 0);       // "(" already read
//   handle_IFJUMP(true, res, cc.falseLbl);          // or (false, res, cc.trueLbl)
//   ... read ")", place both labels (placeLabelHere) where they belong ...
//   updateLabelStack(cc);                           // once both are placed
struct TCondContext {
  static constexpr uint32_t kLevels = 24;  // nesting levels 0-23 of joins
  static constexpr uint32_t kLinks = 24;   // link labels per level and kind
  // Parentheses that may nest in one condition.
  static constexpr uint32_t kMaxDepth = 64;

  TFunction* trueLbl = nullptr;   // taken when the condition holds
  TFunction* falseLbl = nullptr;  // taken when it fails
  // A statement whose true target is the place right after the condition
  // leaves trueLbl nil: a label of this name is made when a join first jumps
  // there, and the statement places it when it is there.
  const char* trueName = "ifcode";
  uint32_t orS[kLevels] = {};     // "or" joins seen per level
  uint32_t andS[kLevels] = {};    // "and" joins seen per level
  TFunction* orSP[kLevels][kLinks] = {};
  TFunction* andSP[kLevels][kLinks] = {};
  // Links that stand for another label: (link, the label it becomes).
  std::vector<std::pair<TFunction*, TFunction*>> bound;
  // Levels whose counters or links were touched: clearing and the scans of
  // the tables stop there.
  uint32_t levelsUsed = 0;

  TCondContext() = default;
  TCondContext(TFunction* t, TFunction* f) : trueLbl(t), falseLbl(f) {}
  // Counters, link tables and bindings back to empty; the targets stay.
  void clear();
  // Notes that the level's tables are in use.
  void touch(uint32_t level) {
    if (level + 1 > levelsUsed) levelsUsed = level + 1;
  }
};

// ---- Labels of structured code ----
// A new label record (ltLabel, reachable) named name, placed later.
TFunction* newStatementLabel(std::string_view name);
// Places the label at the end of CurFunc's code.
void placeLabelHere(TFunction* label);
// "jmp label" into CurFunc.
void emitJumpTo(TFunction* label);

// ---- Conditions ----
// Reads a condition at the level and returns the result of its last
// comparison: a relation (moIsEqual, moLowerS, ...), a jump code
// (moJmpOperand + TJmpType), moATrue/moAFalse for two constants, or moNone
// for a comparison that is ignored.
TMathOp handle_IFEXPRESSION(TCondContext& cc, uint32_t level);
// One comparison read from the source: operand relation operand; emits its
// compare.
TMathOp handle_DOCMP();
// The same for operands already read (the scan of a case statement).
TMathOp handle_EXECCMP(const TOperand& o1, const TOperand& o2, TMathOp mo);
// A relation between two immediates: moATrue or moAFalse.
TMathOp handle_CompareConsts(const TOperand& o1, const TOperand& o2, TMathOp co);
// Emits the jump to the label operand p taken when mo holds (reverse: when it
// fails); nothing for moNone or an outcome that needs no jump.
void handle_IFJUMP(bool reverse, TMathOp mo, TOperand* p);
void handle_IFJUMP(bool reverse, TMathOp mo, TFunction* target);
// The link label [level][cnt], made when absent; with bIsDec placed here.
TFunction* handle_createANDIfNotExist(TCondContext& cc, uint32_t level, uint32_t cnt, bool bIsDec);
TFunction* handle_createORIfNotExist(TCondContext& cc, uint32_t level, uint32_t cnt, bool bIsDec);
// Gives every link still open the address of the label it stands for; the
// targets that joins jumped to must be placed.
void updateLabelStack(TCondContext& cc);

}  // namespace vorak
