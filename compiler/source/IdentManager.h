// The identifier table: every declared name, what it denotes and the scope
// level it was declared at.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/source/SuperStringList.h"
#include "plugins/PluginRecords.h"

namespace vorak {

struct TIdent {
  TIdentType type_ = itNone;
  uint32_t scope = 0;
  std::string name;     // as declared, case kept
  void* ptr = nullptr;  // the record the name denotes; not owned
};
using PIdent = TIdent*;

class TIdentManager {
 public:
  TIdentManager() = default;
  ~TIdentManager();
  TIdentManager(const TIdentManager&) = delete;
  TIdentManager& operator=(const TIdentManager&) = delete;

  uint32_t CurrentScope() const { return F_CurrentScope; }

  // Opens a scope level and returns it.
  uint32_t upScope();
  // Removes every identifier at level sc or deeper (SSL_SCOPE_MAX: the
  // current level) and closes the current level. Level 0 is never closed.
  void deleteScope(uint32_t sc = SSL_SCOPE_MAX);
  // Declares a name at the current level; an older one of the same name is
  // hidden, not replaced. Returns the identifier's index.
  uint32_t addIdent(TIdentType ty, std::string_view strName, void* data);
  // The newest identifier of that name (A-Z folded) at or below level scope_, or nil.
  PIdent findIdent(std::string_view strName, uint32_t scope_) const {
    return static_cast<PIdent>(F_List.ItemIndexOf(strName, false, scope_));
  }
  // The identifier at an index that addIdent returned, or nil past the end.
  PIdent getIdent(uint32_t index) const {
    return index < F_List.Count() ? static_cast<PIdent>(F_List.GetItem(index)) : nullptr;
  }
  // Appends, newest first, the local variables of exactly that level
  // (SSL_SCOPE_MAX: the current level).
  void getLocalVars(std::vector<PIdent>& identList, uint32_t level) const;
  // Whether a name spelled like an instruction mnemonic was ever declared
  // here: until one is, a mnemonic at the start of a statement names nothing
  // but its instruction.
  bool holdsMnemonic() const { return F_HoldsMnemonic; }

 private:
  uint32_t F_CurrentScope = 0;
  TSuperStringList F_List;  // lower-cased name, scope level, PIdent
  // True while levels never decrease from older to newer entries (always, as
  // long as scopes nest); closing a scope then only looks at the newest entries.
  bool F_Nested = true;
  bool F_HoldsMnemonic = false;
};

}  // namespace vorak
