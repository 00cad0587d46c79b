// Import libraries: adding libraries and the references to their functions.
#include "compiler/output/ImportManager.h"

#include <stdexcept>

#include "compiler/driver/Messages.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

TImportManager::~TImportManager() {
  for (uint32_t i = 0; i < F_List.Count(); ++i) {
    auto* lib = static_cast<TImports*>(F_List.GetItem(i));
    delete &importFuncs(lib);
    vorStrFree(lib->name);
    delete lib;
  }
}

uint32_t TImportManager::Count() const { return F_List.Count(); }

TImports* TImportManager::getLib(uint32_t index) const {
  return index < F_List.Count() ? static_cast<TImports*>(F_List.GetItem(index)) : nullptr;
}

uint32_t TImportManager::addImportLib(std::string_view name) {
  const int32_t found = F_List.IndexOf(name, true, SSL_SCOPE_MAX);
  if (found >= 0) return static_cast<uint32_t>(found);
  auto* lib = new TImports();
  // The record keeps its own copy of the name: the list may move its texts.
  vorStrAssign(lib->name, name);
  lib->funcs = new std::vector<TFunction*>();
  return F_List.Add(name, lib, 0);
}

void TImportManager::addImportRef(uint32_t dw, TFunction* func) {
  TImports* lib = getLib(dw);
  if (!lib) throw std::out_of_range(msg::text(msg::ImportLibraryMissing, std::to_string(dw)));
  importFuncs(lib).push_back(func);
}

}  // namespace vorak
