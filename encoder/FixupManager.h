// Fixup records that encoding and code generation leave for the builder.
#pragma once

#include <cstdint>
#include <vector>

#include "plugins/PluginRecords.h"

namespace vorak {

using PFixup = TFixup*;

// Creates fixup records and files them: a code fixup in its function's
// FixupList (owned and freed with the function), a variable fixup in the one
// variable list, whose records this manager owns.
class TFixupManager {
 public:
  TFixupManager() = default;
  ~TFixupManager();
  TFixupManager(const TFixupManager&) = delete;
  TFixupManager& operator=(const TFixupManager&) = delete;

  const std::vector<TFixup*>& VarFixupList() const { return F_VarFixupList; }

  // Fixup `index` of the function; nullptr past the end or without a function.
  TFixup* getFixup(const TFunction* func, uint32_t index) const;
  // A fixup at func's current BufLen + pos in func's code, whose target is a
  // label's function index. Without func the record goes, at position pos, to
  // the first function of FuncMan. Returns its index in that function's list.
  uint32_t addFixup(TFixupType ft, TFunction* func, uint32_t index, int32_t pos, uint8_t size,
                    uint32_t ofs, TJmpType jt);
  // The same with a target record (TVar, TConst).
  uint32_t addFixup(TFixupType ft, TFunction* func, void* dt, int32_t pos, uint8_t size,
                    uint32_t ofs, TJmpType jt);
  // A fixup at pos in var_'s initial data (no code length added); returns its
  // index in VarFixupList.
  uint32_t addVarFixup(TFixupType ft, TVar* var_, void* dt, int32_t pos, uint8_t size,
                       uint32_t ofs, TJmpType jt);

 private:
  TFixup* fileInFunction(TFixupType ft, TFunction* func, int32_t pos, uint8_t size, uint32_t ofs,
                         TJmpType jt, uint32_t& listIndex);

  std::vector<TFixup*> F_VarFixupList;
};

}  // namespace vorak
