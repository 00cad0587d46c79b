// Saving and restoring the register states around a macro expansion.
#include "compiler/symbols/RegisterManager.h"

namespace vorak {

void TRegisterManager::saveState(PRegStates states) const {
  if (states) *states = Registers;
}

void TRegisterManager::restoreState(const TRegStates* states) {
  if (states) Registers = *states;
}

}  // namespace vorak
