// Open if, while, repeat and case statements on one stack.
#include "compiler/statements/BlockStack.h"

namespace vorak {

std::unique_ptr<TBlockStackItem> TBlockStack::pop() {
  if (F_Items.empty()) return nullptr;
  std::unique_ptr<TBlockStackItem> top = std::move(F_Items.back());
  F_Items.pop_back();
  return top;
}

PBlockStackItem TBlockStack::getTopRepType() const {
  for (auto it = F_Items.rbegin(); it != F_Items.rend(); ++it)
    if ((*it)->type_ != bstIF) return it->get();
  return nullptr;
}

PBlockStackItem TBlockStack::getTopIfType() const {
  for (auto it = F_Items.rbegin(); it != F_Items.rend(); ++it)
    if ((*it)->type_ == bstIF) return it->get();
  return nullptr;
}

PBlockStackItem TBlockStack::getTopCaseType() const {
  for (auto it = F_Items.rbegin(); it != F_Items.rend(); ++it)
    if ((*it)->type_ == bstCASE) return it->get();
  return nullptr;
}

std::unique_ptr<TBlockStackItem> TBlockStack::acquire() {
  if (F_Free.empty()) {
    // The free list has room for every record made, so that recycle, which
    // runs while an exception unwinds a statement, never allocates.
    F_Free.reserve(F_Made + 1);
    std::unique_ptr<TBlockStackItem> item = std::make_unique<TBlockStackItem>();
    ++F_Made;
    return item;
  }
  std::unique_ptr<TBlockStackItem> item = std::move(F_Free.back());
  F_Free.pop_back();
  return item;
}

void TBlockStack::recycle(std::unique_ptr<TBlockStackItem> item) noexcept {
  if (!item) return;
  item->type_ = bstIF;
  item->insPos = 0;
  item->data = nullptr;
  item->startLbl = item->codeLbl = item->elseLbl = item->endLbl = nullptr;
  item->cond.clear();
  item->cond.trueLbl = item->cond.falseLbl = nullptr;
  item->cond.trueName = "ifcode";
  item->deferred.clear();
  F_Free.push_back(std::move(item));
}

bool TBlockStack::tryInside(PBlockStackItem b) const {
  size_t depth = 0;  // records up to and including b
  while (depth < F_Items.size() && F_Items[depth].get() != b) ++depth;
  ++depth;
  for (const TryMark& t : F_Tries)
    if (t.depth >= depth) return true;
  return false;
}

bool TBlockStack::tryOpenIn(const TFunction* fn) const {
  for (const TryMark& t : F_Tries)
    if (t.fn == fn) return true;
  return false;
}

}  // namespace vorak
