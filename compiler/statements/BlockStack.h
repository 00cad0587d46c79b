// Open if, while, repeat and case statements: one record per statement with
// its labels and the and/or bookkeeping of its condition, on one stack.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "compiler/statements/Conditions.h"

namespace vorak {

enum TBST : uint8_t { bstIF = 0, bstWHILE = 1, bstREPEAT = 2, bstCASE = 3 };

class TCaseManager;

// Roles of the labels per kind:
//   kind      startLbl          codeLbl (true)  elseLbl (false)   endLbl (break)
//   if        -                 "ifcode"        "else"            "endif"
//   while     "start"           "ifcode"        "else"            "endif"
//   repeat    "start"           "repcode"       "continue"        "endrep"
//   case      -                 -               "#case_state"     "#case_end"
struct TBlockStackItem {
  TBST type_ = bstIF;
  uint32_t insPos = 0;            // CurFunc's BufLen when the statement began
  uint32_t depth = 0;             // CurFunc's stack depth when the statement began
  TCaseManager* data = nullptr;   // the case statement's states (not owned here)
  TFunction* startLbl = nullptr;
  TFunction* codeLbl = nullptr;
  TFunction* elseLbl = nullptr;
  TFunction* endLbl = nullptr;
  // The block's own condition (if, elseif, while, until); the conditions of
  // the statements inside it (break if, exitif, ...) have their own.
  TCondContext cond;
  // Conditions of statements inside the block that jump to its labels
  // (break if, exitif): resolved once the block has placed its labels.
  std::vector<std::unique_ptr<TCondContext>> deferred;
};
using PBlockStackItem = TBlockStackItem*;

class TBlockStack {
 public:
  TBlockStack() = default;
  ~TBlockStack() = default;
  TBlockStack(const TBlockStack&) = delete;
  TBlockStack& operator=(const TBlockStack&) = delete;

  // The stack owns what it holds; pop hands the top record back to the caller.
  void push(std::unique_ptr<TBlockStackItem> bs) { F_Items.push_back(std::move(bs)); }
  std::unique_ptr<TBlockStackItem> pop();
  PBlockStackItem getTop() const { return F_Items.empty() ? nullptr : F_Items.back().get(); }
  // The innermost while, repeat or case (an if is skipped).
  PBlockStackItem getTopRepType() const;
  PBlockStackItem getTopIfType() const;
  PBlockStackItem getTopCaseType() const;
  size_t Count() const { return F_Items.size(); }
  // The record i places above the bottom (0 the outermost).
  PBlockStackItem at(size_t i) const { return F_Items[i].get(); }

  // A cleared record, reused when one is free: records are large (their
  // link tables) and one is needed per statement.
  std::unique_ptr<TBlockStackItem> acquire();
  void recycle(std::unique_ptr<TBlockStackItem> item) noexcept;

  // Open __try bodies, each with the stack depth and the function at its
  // start: a jump out of one would leave its frame linked.
  void beginTry(const TFunction* fn) { F_Tries.push_back({F_Items.size(), fn}); }
  void endTry() {
    if (!F_Tries.empty()) F_Tries.pop_back();
  }
  // What a function body must not see: the blocks and __try bodies open
  // around it. hide takes them away until restore gives them back.
  struct THidden {
    std::vector<std::unique_ptr<TBlockStackItem>> items;
    std::vector<std::pair<size_t, const TFunction*>> tries;
  };
  THidden hide() {
    THidden h;
    h.items.swap(F_Items);
    for (const TryMark& t : F_Tries) h.tries.emplace_back(t.depth, t.fn);
    F_Tries.clear();
    return h;
  }
  void restore(THidden& h) {
    F_Items.swap(h.items);
    F_Tries.clear();
    for (const auto& [depth, fn] : h.tries) F_Tries.push_back({depth, fn});
  }
  // A __try body opened inside block b is still open.
  bool tryInside(PBlockStackItem b) const;
  // A __try body of fn is open.
  bool tryOpenIn(const TFunction* fn) const;

 private:
  struct TryMark {
    size_t depth;
    const TFunction* fn;
  };
  std::vector<std::unique_ptr<TBlockStackItem>> F_Items;
  std::vector<TryMark> F_Tries;
  std::vector<std::unique_ptr<TBlockStackItem>> F_Free;
  size_t F_Made = 0;  // records made by acquire
};

}  // namespace vorak
