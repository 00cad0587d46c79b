// Tests of the define table: case-sensitive lookup, stored copies of the
// defining token, and defines of an inner scope level.
#include <gtest/gtest.h>

#include "compiler/driver/Common.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using DefineManagerTest = test::FreshVorak;

TEST_F(DefineManagerTest, IntegerDefineIsCaseSensitive) {
  DefMan->addDefine("Win32", 1);
  TCurrentToken* tk = DefMan->getDefine("Win32");
  ASSERT_NE(tk, nullptr);
  EXPECT_EQ(tk->F_Type, ttNumber);
  EXPECT_EQ(tk->F_ByteCount, 4);
  EXPECT_EQ(tk->F_BitCount, 32);
  EXPECT_EQ(tk->F_Integer, 1);
  EXPECT_EQ(tk->F_String, "1");
  EXPECT_EQ(tk->F_DefName, "Win32");
  EXPECT_EQ(DefMan->getDefine("win32"), nullptr);
  const PIdent id = Idents->findIdent("win32", Idents->CurrentScope());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itDefine);
  EXPECT_EQ(id->ptr, tk);
  EXPECT_EQ(id->name, "Win32");
}

TEST_F(DefineManagerTest, NegativeAndZeroValues) {
  DefMan->addDefine("neg", int64_t{-42});
  DefMan->addDefine("zero", 0);
  ASSERT_NE(DefMan->getDefine("neg"), nullptr);
  ASSERT_NE(DefMan->getDefine("zero"), nullptr);
  EXPECT_EQ(DefMan->getDefine("neg")->F_String, "-42");
  EXPECT_EQ(DefMan->getDefine("neg")->F_Integer, -42);
  EXPECT_EQ(DefMan->getDefine("zero")->F_String, "0");
  EXPECT_EQ(DefMan->getDefine("zero")->F_Type, ttNumber);
}

TEST_F(DefineManagerTest, TokenDefineStoresACopy) {
  TCurrentToken src;
  src.setRegister(REG_ECX, "ecx");
  DefMan->addDefine("counter", &src);
  src.setSymbol(';');
  TCurrentToken* tk = DefMan->getDefine("counter");
  ASSERT_NE(tk, nullptr);
  EXPECT_NE(tk, &src);
  EXPECT_EQ(tk->F_Type, ttRegister);
  EXPECT_EQ(tk->F_Register, REG_ECX);
  EXPECT_EQ(tk->F_String, "ecx");
  EXPECT_EQ(tk->F_DefName, "counter");
}

TEST_F(DefineManagerTest, NilTokenGivesAnEmptyToken) {
  DefMan->addDefine("empty", static_cast<const TCurrentToken*>(nullptr));
  TCurrentToken* tk = DefMan->getDefine("empty");
  ASSERT_NE(tk, nullptr);
  EXPECT_EQ(tk->F_Type, ttEOF);
  EXPECT_EQ(tk->F_DefName, "empty");
}

TEST_F(DefineManagerTest, DefineOfADeeperLevelIsSeenOnlyWhileThatLevelIsOpen) {
  DefMan->addDefine("d", 1);
  Idents->upScope();
  DefMan->addDefine("d", 2);
  DefMan->addDefine("inner", 3);
  ASSERT_NE(DefMan->getDefine("d"), nullptr);
  EXPECT_EQ(DefMan->getDefine("d")->F_Integer, 2);
  ASSERT_NE(Idents->findIdent("inner", Idents->CurrentScope()), nullptr);
  EXPECT_EQ(Idents->findIdent("inner", Idents->CurrentScope())->type_, itDefine);
  Idents->deleteScope();
  ASSERT_NE(DefMan->getDefine("d"), nullptr);
  EXPECT_EQ(DefMan->getDefine("d")->F_Integer, 1);
  EXPECT_EQ(DefMan->getDefine("inner"), nullptr);
  EXPECT_EQ(Idents->findIdent("inner", SSL_SCOPE_MAX), nullptr);
  // The define itself stays in the table and shows again when the level reopens.
  EXPECT_EQ(DefMan->List().Count(), 3u);
  Idents->upScope();
  ASSERT_NE(DefMan->getDefine("inner"), nullptr);
  EXPECT_EQ(DefMan->getDefine("inner")->F_Integer, 3);
  Idents->deleteScope();
}

}  // namespace
}  // namespace vorak
