// Functions, procedures and labels: the records and their manager.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/PluginRecords.h"

namespace vorak {

using PFunction = TFunction*;

// Address of a label that has not been placed.
inline constexpr uint32_t adUnallocated = 0xFFFFFFFF;
// Registers that carry the first four parameters in 64-bit mode, in order.
inline constexpr std::string_view TMSX64intParam[4] = {"rcx", "rdx", "r8", "r9"};

// The host lists behind a function's opaque list fields. Each record owns its
// three lists; FuncMan frees them with it. The fixups in FixupList belong
// to the fixup manager.
using TFixupList = std::vector<TFixup*>;
using TUsesList = std::vector<std::string>;  // register names, "flags" for the flags
using TFuncList = std::vector<TFunction*>;
inline TFixupList& fixupList(const TFunction* f) { return *static_cast<TFixupList*>(f->FixupList); }
inline TUsesList& usesList(const TFunction* f) { return *static_cast<TUsesList*>(f->UsesList); }
inline TFuncList& dependFuncs(const TFunction* f) {
  return *static_cast<TFuncList*>(f->DependFuncs);
}

// "stdcall", "cdecl" or "msx64"; the empty text for any other value.
std::string_view Convention2String(TCallingConvention cc);

// Appends machine code and adds its length to BufLen; nothing in peek mode.
void appendCode(TFunction* f, std::string_view code);
void appendCode(TFunction* f, const void* bytes, uint32_t count);
// Inserts code before the 1-based position (clamped to the code); nothing in
// peek mode.
void insertCode(TFunction* f, std::string_view code, uint32_t position);
// A parameter of exactly that name (case-sensitive) is declared.
bool paramExists(const TFunction* f, std::string_view name);
// Declares one more parameter and returns the new ParamCount; with addVar set
// (a definition with a body) the parameter also becomes addressable: a local
// variable, or in 64-bit mode for the first four of an msx64 function an
// alias of its register (set CallConvention first).
// Nothing at all in peek mode. The new DefaultParams entry is nullptr; a
// default operand stored there later belongs to the function record, which
// deletes it: a call that uses it must not free it.
uint32_t addParam(TFunction* f, TVarType* type, std::string_view name, bool addVar);
// Marks f reachable from `from` (nullptr: the entry point, an export or a
// plug-in), or remembers the call until `from` becomes reachable.
void setCalled(TFunction* f, TFunction* from);

// Owns every function and label record of a run; a record's list index is its
// FuncIndex, stable for the whole run. Records never move.
class TFuncManager {
 public:
  TFuncManager() = default;
  ~TFuncManager();
  TFuncManager(const TFuncManager&) = delete;
  TFuncManager& operator=(const TFuncManager&) = delete;

  const std::vector<TFunction*>& FuncList() const { return F_List; }
  TFunction* getFunc(uint32_t index) const;
  // A new record with empty code, unplaced, not reachable, DLLIndex -1, and
  // DeclParent the function being compiled. Declares no identifier.
  TFunction* CreateFunction(TLabelType lType, TFunction* parent);
  // Whether f is one of this manager's records: pointers that plug-ins hand
  // back are checked with it, by their address alone, before anything reads
  // them.
  bool owns(const TFunction* f) const;

 private:
  // A record and its three lists are made together, in blocks that never
  // move: a program makes a label record for every structured statement, and
  // one allocation per block instead of four per record keeps that cheap.
  struct TFunctionSlot {
    TFunction f;
    TFixupList fixups;
    TUsesList uses;
    TFuncList depends;
  };
  static constexpr size_t kSlotsPerBlock = 256;

  std::vector<TFunction*> F_List;
  std::vector<std::unique_ptr<TFunctionSlot[]>> F_Blocks;
  // (a block's address, its number), sorted by address: a plug-in's pointer
  // is checked by a binary search over contiguous memory.
  std::vector<std::pair<uintptr_t, size_t>> F_BlockAt;
  // The block that owns answered last (its address, its number): a builder
  // asks about one function many times in a row. Blocks never move, so the
  // pair stays true.
  mutable std::pair<uintptr_t, size_t> F_LastBlock{0, 0};
};

}  // namespace vorak
