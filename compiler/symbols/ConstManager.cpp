// The constant pool: pooling by type and value, and dropping unused constants.
#include "compiler/symbols/ConstManager.h"

#include <charconv>
#include <utility>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

namespace {

void disposeConst(TConst* c) noexcept {
  vorStrFree(c->varname);
  vorStrFree(c->str);
  delete c;
}

// The shortest text that reads back as the same value.
std::string floatText(long double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace

TConstManager::~TConstManager() {
  for (uint32_t i = 0; i < F_List.Count(); ++i) disposeConst(static_cast<TConst*>(F_List.GetItem(i)));
}

uint32_t TConstManager::Count() const { return F_List.Count(); }

TConst* TConstManager::getConst(uint32_t index) const {
  return index < F_List.Count() ? static_cast<TConst*>(F_List.GetItem(index)) : nullptr;
}

std::string_view TConstManager::getPrefix(TConstType ct) {
  switch (ct) {
    case ctAnsiString: return "_A_";
    case ctWideString: return "_W_";
    case ctValue: return "_V_";
    case ctFloat: return "_F_";
    default: return {};
  }
}

TConst* TConstManager::pool(std::string_view name, TConstType ct, std::string_view text,
                           bool isNumber, uint8_t size, uint32_t& index, bool& created) {
  F_Key.assign(getPrefix(ct));
  F_Key.append(text);
  const int32_t found = F_List.IndexOf(F_Key, true, SSL_SCOPE_MAX);
  TConst* c = found >= 0 ? static_cast<TConst*>(F_List.GetItem(static_cast<uint32_t>(found))) : nullptr;
  created = !c || (isNumber && c->size != size);
  if (created) {
    c = new TConst();
    c->type_ = ct;
    vorStrAssign(c->varname, name);
    vorStrAssign(c->str, text);
    // A string keeps the low 8 bits of its length; str keeps all of it.
    c->size = isNumber ? size : static_cast<uint8_t>(text.size());
    index = F_List.Add(F_Key, c, 0);
  } else {
    index = static_cast<uint32_t>(found);
  }
  Idents->addIdent(itConst, name, c);
  return c;
}

uint32_t TConstManager::addConst(std::string_view name, std::string_view value, TConstType ct) {
  uint32_t index = 0;
  bool created = false;
  pool(name, ct, value, false, 0, index, created);
  return index;
}

TConst* TConstManager::addConstItem(std::string_view name, std::string_view value, TConstType ct) {
  uint32_t index = 0;
  bool created = false;
  return pool(name, ct, value, false, 0, index, created);
}

uint32_t TConstManager::addConst(std::string_view name, TConstType ct, uint8_t size, int64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  uint32_t index = 0;
  bool created = false;
  TConst* c = pool(name, ct, std::string_view(buf, static_cast<size_t>(r.ptr - buf)), true, size,
                   index, created);
  if (created) {
    c->int_ = value;
    c->ext = static_cast<long double>(value);
  }
  return index;
}

uint32_t TConstManager::addConst(std::string_view name, TConstType ct, uint8_t size,
                                 long double value) {
  const std::string text = floatText(value);
  uint32_t index = 0;
  bool created = false;
  TConst* c = pool(name, ct, text, true, size, index, created);
  if (created) {
    c->ext = value;
    c->int_ = nearestInt64Saturated(value);
  }
  return index;
}

void TConstManager::clearInactive() {
  // Deleting from the middle of the list moves every later entry, so the pool
  // is emptied from the end and the survivors are filed again in their order:
  // linear in the pool's size however many constants go.
  std::vector<std::pair<std::string, TConst*>> kept;
  for (uint32_t i = F_List.Count(); i-- > 0;) {
    auto* c = static_cast<TConst*>(F_List.GetItem(i));
    if (c->active)
      kept.emplace_back(F_List.GetString(i), c);
    else
      disposeConst(c);
    F_List.Delete(i);
  }
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) F_List.Add(it->first, it->second, 0);
}

}  // namespace vorak
