// The define table.
#include "compiler/source/DefineManager.h"

#include <memory>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"

namespace vorak {

namespace {
uint32_t identLevel() { return Idents ? Idents->CurrentScope() : 0; }
}  // namespace

TDefineManager::~TDefineManager() {
  for (uint32_t i = 0; i < F_List.Count(); ++i) delete static_cast<TCurrentToken*>(F_List.GetItem(i));
}

void TDefineManager::store(std::string_view name, std::unique_ptr<TCurrentToken> tk) {
  tk->F_DefName.assign(name);
  F_List.Add(name, tk.get(), identLevel());
  TCurrentToken* stored = tk.release();  // the list's entry owns it now
  if (Idents) Idents->addIdent(itDefine, name, stored);
}

void TDefineManager::addDefine(std::string_view name, const TCurrentToken* token) {
  auto tk = std::make_unique<TCurrentToken>();
  if (token) tk->setCurToken(*token);
  store(name, std::move(tk));
}

void TDefineManager::addIntDefine(std::string_view name, int64_t value) {
  auto tk = std::make_unique<TCurrentToken>();
  tk->setInteger(4, value, std::to_string(value));
  store(name, std::move(tk));
}

void TDefineManager::addMark(std::string_view name) {
  auto tk = std::make_unique<TCurrentToken>();
  tk->F_DefName.assign(name);
  F_List.Add(name, tk.get(), 0);
  tk.release();  // the list's entry owns it now
}

TCurrentToken* TDefineManager::getDefine(std::string_view name) const {
  return static_cast<TCurrentToken*>(F_List.ItemIndexOf(name, true, identLevel()));
}

}  // namespace vorak
