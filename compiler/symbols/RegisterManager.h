// The record types that registers are known to point to.
#pragma once

#include <array>

#include "encoder/Operand.h"
#include "plugins/PluginRecords.h"

namespace vorak {

// What the program has told the compiler a register points to.
struct TRegState {
  TVarType* assume = nullptr;      // the record type in force, or nullptr
  TVarType* tempAssume = nullptr;  // takes effect after the current instruction
};
// One state per register, REG_AL .. REG_NONE.
using TRegStates = std::array<TRegState, REG_NONE + 1>;
using PRegStates = TRegStates*;
static_assert(std::tuple_size_v<TRegStates> == 69);

class TRegisterManager {
 public:
  TRegisterManager() = default;
  ~TRegisterManager() = default;
  TRegisterManager(const TRegisterManager&) = delete;
  TRegisterManager& operator=(const TRegisterManager&) = delete;

  // Copies every register's state into states, and back from it: a macro
  // expansion's assumptions end with it.
  void saveState(PRegStates states) const;
  void restoreState(const TRegStates* states);

  TRegStates Registers{};
};

}  // namespace vorak
