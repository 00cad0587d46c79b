// Register states around a macro expansion.
#include <gtest/gtest.h>

#include "compiler/driver/Common.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/VarManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using RegisterManagerTest = test::FreshVorak;

TEST_F(RegisterManagerTest, StartsWithoutAssumptions) {
  for (const TRegState& r : RegMan->Registers) {
    EXPECT_EQ(r.assume, nullptr);
    EXPECT_EQ(r.tempAssume, nullptr);
  }
}

TEST_F(RegisterManagerTest, RestoreBringsBackEveryRegisterAndBothPointers) {
  TVarType* a = VarMan->TypeList()[0];
  TVarType* b = VarMan->TypeList()[1];
  RegMan->Registers[REG_EAX].assume = a;
  RegMan->Registers[REG_NONE].tempAssume = b;
  TRegStates saved;
  RegMan->saveState(&saved);
  // What a macro body might do.
  RegMan->Registers[REG_EAX].assume = b;
  RegMan->Registers[REG_ESI].assume = a;
  RegMan->Registers[REG_NONE].tempAssume = nullptr;
  RegMan->Registers[REG_AL].tempAssume = a;
  RegMan->restoreState(&saved);
  for (size_t i = 0; i < RegMan->Registers.size(); ++i) {
    const TRegState& r = RegMan->Registers[i];
    EXPECT_EQ(r.assume, i == REG_EAX ? a : nullptr) << i;
    EXPECT_EQ(r.tempAssume, i == REG_NONE ? b : nullptr) << i;
  }
}

}  // namespace
}  // namespace vorak
