// Import libraries and the functions referenced from them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "compiler/source/SuperStringList.h"
#include "plugins/PluginRecords.h"

namespace vorak {

using PImports = TImports*;

// The functions of a library that the program calls, in the order of their
// first call. Owned by the library record.
inline std::vector<TFunction*>& importFuncs(const TImports* lib) {
  return *static_cast<std::vector<TFunction*>*>(lib->funcs);
}

// The libraries a program imports from; a library's list index is the
// DLLIndex of its functions.
class TImportManager {
 public:
  TImportManager() = default;
  ~TImportManager();
  TImportManager(const TImportManager&) = delete;
  TImportManager& operator=(const TImportManager&) = delete;

  // One entry per library, keyed by its name as written, payload its TImports.
  TSuperStringList& List() { return F_List; }
  const TSuperStringList& List() const { return F_List; }
  uint32_t Count() const;
  // The library at that index; nullptr past the end.
  TImports* getLib(uint32_t index) const;
  // The index of the library of that name (compared exactly), added if new.
  uint32_t addImportLib(std::string_view name);
  // Appends func to the called functions of library dw. An index that
  // addImportLib did not return is an internal error (std::out_of_range).
  void addImportRef(uint32_t dw, TFunction* func);

 private:
  TSuperStringList F_List;
};

}  // namespace vorak
