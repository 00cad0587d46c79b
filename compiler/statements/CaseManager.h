// The states of one case statement: the selector and each state's value and label.
#pragma once

#include <memory>
#include <vector>

#include "compiler/driver/Log.h"
#include "encoder/Operand.h"
#include "plugins/PluginInterface.h"

namespace vorak {

struct TCaseState {
  std::unique_ptr<TOperand> operand;  // the state's value
  TFunction* code_label = nullptr;    // placed at the start of the state's code
  TSourceSpot spot;                   // where the value was read: the scan that
                                      // compares it is compiled at the closing "}"
};
using PCaseState = TCaseState*;

class TCaseManager {
 public:
  std::vector<std::unique_ptr<TCaseState>> StateList;  // in source order
  std::unique_ptr<TOperand> opCase;                    // the selector
  TFunction* default_ = nullptr;                       // the default state's label, nil for none
};

}  // namespace vorak
