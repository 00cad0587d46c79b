// What a token learns from the records it points to.
#include <gtest/gtest.h>

#include "compiler/driver/Common.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/TokenSymbols.h"
#include "compiler/symbols/VarManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using TokenSymbolsTest = test::FreshVorak;

TEST_F(TokenSymbolsTest, SignednessComesFromTheType) {
  TVarType* int32 = VarMan->TypeList()[13];
  TVarType* dword = VarMan->TypeList()[6];
  EXPECT_TRUE(typeSigned(int32));
  EXPECT_FALSE(typeSigned(dword));
  EXPECT_FALSE(typeSigned(nullptr));
  EXPECT_TRUE(varSigned(VarMan->addVar(vmGlobal, "s", int32, 1, 0)));
  EXPECT_FALSE(varSigned(VarMan->addVar(vmGlobal, "u", dword, 1, 0)));
  EXPECT_FALSE(varSigned(VarMan->addVar(vmGlobal, "n", nullptr, 1, 0)));
  EXPECT_FALSE(varSigned(nullptr));
}

TEST_F(TokenSymbolsTest, OnlyValueConstantsAreNumeric) {
  EXPECT_TRUE(constIsValue(Consts->getConst(Consts->addConst("v", ctValue, 4, int64_t{1}))));
  EXPECT_FALSE(constIsValue(Consts->addConstItem("s", "1", ctAnsiString)));
  EXPECT_FALSE(constIsValue(Consts->getConst(Consts->addConst("f", ctFloat, 8, 1.0L))));
  EXPECT_FALSE(constIsValue(nullptr));
}

TEST_F(TokenSymbolsTest, RegisterAssumptionIsTheCurrentOne) {
  TVarType* t = VarMan->TypeList()[0];
  EXPECT_EQ(registerAssumedType(REG_ESI), nullptr);
  RegMan->Registers[REG_ESI].assume = t;
  RegMan->Registers[REG_EDI].tempAssume = t;  // not in force yet
  EXPECT_EQ(registerAssumedType(REG_ESI), t);
  EXPECT_EQ(registerAssumedType(REG_EDI), nullptr);
}

}  // namespace
}  // namespace vorak
