// Types and variables: the records and their manager.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "plugins/PluginRecords.h"

namespace vorak {

using PVarType = TVarType*;
using PVar = TVar*;
using PVarField = TVarField*;

// The member of a record type with that name (A-Z folded), among the first
// fieldcount entries; nullptr when there is none.
TVarField* findField(const TVarType* type, std::string_view name);

// Owns every type and variable record of a run. Records never move; their
// list positions are stable (a variable's index is its number for plug-ins).
class TVarManager {
 public:
  // Registers the built-in types.
  TVarManager();
  ~TVarManager();
  TVarManager(const TVarManager&) = delete;
  TVarManager& operator=(const TVarManager&) = delete;

  const std::vector<TVarType*>& TypeList() const { return F_VarTypes; }
  const std::vector<TVar*>& VarList() const { return F_Vars; }
  TVarType* PtrType() const { return F_PtrType; }
  TVarType* IntType() const { return F_IntType; }
  TVarType* UIntType() const { return F_UIntType; }

  // An integer type; declared in the identifier table as itType. Callers check
  // for an existing name. Pass the bounds as int64_t (or long double for the
  // floating form below): plain int literals are ambiguous.
  TVarType* addType(std::string_view strName, int32_t intSize, int64_t lower, int64_t upper,
                    bool dynamicSize, bool isPtr);
  // A floating type.
  TVarType* addType(std::string_view strName, int32_t intSize, long double lower,
                    long double upper, bool dynamicSize, bool isPtr);
  // A variable with size * mult zero bytes of content, declared as itLocalVar or
  // itGlobalVar under its lower-cased name. A variable of more than 4294967295
  // bytes is a fatal error.
  TVar* addVar(TVarMode md, std::string_view strName, TVarType* tp, uint32_t mult, int32_t addr);
  TVar* getVar(uint32_t index) const;
  // Re-creates the pointer-sized types for the current ptrSize. Only the
  // current record of each such type is replaced, and only when its size
  // differs, so a mode change adds at most the types it replaces.
  void resizeVarTypes();

 private:
  // Files a new type and declares its name.
  TVarType* registerType(TVarType* t, std::string_view strName);

  std::vector<TVarType*> F_VarTypes;
  // The pointer-sized types in force (replaced records drop out).
  std::vector<TVarType*> F_DynTypes;
  std::vector<TVar*> F_Vars;
  TVarType* F_PtrType = nullptr;
  TVarType* F_IntType = nullptr;
  TVarType* F_UIntType = nullptr;
};

// Releases what a variable record owns (name, content, its own fixup record),
// not the record itself; also used for the variables embedded in members.
void disposeVarData(TVar* v) noexcept;

}  // namespace vorak
