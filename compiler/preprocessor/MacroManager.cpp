// The macro manager.
#include "compiler/preprocessor/MacroManager.h"

#include <algorithm>

#include "compiler/driver/Common.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"

namespace vorak {

TMacroManager::TMacroManager() : F_MasterCode(new TAFile(false)) {
  F_MasterCode->loadBuffer("master", std::string(), nullptr);
  if (!Compiler) {
    F_OwnsMasterCode = true;
    return;
  }
  const auto& files = Compiler->FileList();
  F_OwnsMasterCode = std::find(files.begin(), files.end(), F_MasterCode) == files.end();
}

TMacroManager::~TMacroManager() {
  if (F_OwnsMasterCode) delete F_MasterCode;
}

}  // namespace vorak
