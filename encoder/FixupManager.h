// Fixup records that encoding and code generation leave for the builder.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "plugins/PluginRecords.h"

namespace vorak {

using PFixup = TFixup*;

// Creates fixup records and files them: a code fixup in its function's
// FixupList, a variable fixup in the one variable list. This manager owns
// both kinds of record; the code fixups live in blocks that never move (a
// structured program leaves a fixup for every jump, and one allocation per
// block instead of one per record keeps that cheap), freed with the manager.
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
  // A record at position 0 filed in no list, which the caller owns (new):
  // the address a global holds as its initial value, kept in its own fixup.
  static TFixup* newOwnFixup(TFixupType ft, void* dt, uint8_t size, uint32_t ofs, TJmpType jt);

 private:
  TFixup* fileInFunction(TFixupType ft, TFunction* func, int32_t pos, uint8_t size, uint32_t ofs,
                         TJmpType jt, uint32_t& listIndex);

  // A fresh, zeroed record from the blocks.
  TFixup* newCodeFixup();

  static constexpr size_t kFixupsPerBlock = 1024;
  std::vector<TFixup*> F_VarFixupList;
  std::vector<std::unique_ptr<TFixup[]>> F_Blocks;
  size_t F_UsedInLast = kFixupsPerBlock;  // records handed out from the last block
};

}  // namespace vorak
