// Macro definitions, their expansion and the macro stack.
#pragma once

namespace vorak {

class TAFile;

class TMacroManager {
 public:
  // Creates the body buffer of the top level's "master" macro. It is created
  // right after the compiler, so the buffer stands first in the compiler's
  // file list, which owns it.
  TMacroManager();
  ~TMacroManager();
  TMacroManager(const TMacroManager&) = delete;
  TMacroManager& operator=(const TMacroManager&) = delete;

  TAFile* MasterCode() const { return F_MasterCode; }

 private:
  TAFile* F_MasterCode = nullptr;
  bool F_OwnsMasterCode = false;  // no compiler's list took it
};

}  // namespace vorak
