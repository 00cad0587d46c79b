// The identifier table.
#include "compiler/source/IdentManager.h"

#include "compiler/driver/Utils.h"
#include "encoder/InstructionTable.h"

namespace vorak {

TIdentManager::~TIdentManager() {
  for (uint32_t i = 0; i < F_List.Count(); ++i) delete static_cast<PIdent>(F_List.GetItem(i));
}

uint32_t TIdentManager::upScope() { return ++F_CurrentScope; }

void TIdentManager::deleteScope(uint32_t sc) {
  if (sc == SSL_SCOPE_MAX) sc = F_CurrentScope;
  for (uint32_t i = F_List.Count(); i-- > 0;) {
    const PSSLItem e = F_List.GetSSLItem(i);
    if (e->scope < sc) {
      if (F_Nested) break;  // everything older is at a lower level too
      continue;
    }
    delete static_cast<PIdent>(e->item);
    F_List.Delete(i);
  }
  if (!F_Nested) {
    F_Nested = true;
    for (uint32_t i = 1; i < F_List.Count() && F_Nested; ++i)
      F_Nested = F_List.GetSSLItem(i - 1)->scope <= F_List.GetSSLItem(i)->scope;
  }
  // Closing level 0 would wrap to the "every level" value and make every
  // later declaration visible everywhere.
  if (F_CurrentScope > 0) --F_CurrentScope;
}

uint32_t TIdentManager::addIdent(TIdentType ty, std::string_view strName, void* data) {
  auto* id = new TIdent{ty, F_CurrentScope, std::string(strName), data};
  const uint32_t n = F_List.Count();
  uint32_t index;
  try {
    std::string lowered = lowerCase(strName);
    if (!F_HoldsMnemonic && lowered.size() <= sizeof(TInstruction::name) && opcodeLookup(lowered))
      F_HoldsMnemonic = true;
    index = F_List.Add(lowered, id, F_CurrentScope);
  } catch (...) {
    delete id;
    throw;
  }
  if (n > 0 && F_List.GetSSLItem(n - 1)->scope > F_CurrentScope) F_Nested = false;
  return index;
}

void TIdentManager::getLocalVars(std::vector<PIdent>& identList, uint32_t level) const {
  if (level == SSL_SCOPE_MAX) level = F_CurrentScope;
  for (uint32_t i = F_List.Count(); i-- > 0;) {
    const PSSLItem e = F_List.GetSSLItem(i);
    if (e->scope < level) break;
    const auto* id = static_cast<const TIdent*>(e->item);
    if (e->scope == level && id->type_ == itLocalVar) identList.push_back(static_cast<PIdent>(e->item));
  }
}

}  // namespace vorak
