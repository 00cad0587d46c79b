// The constant pool: pooling by type and value, sizes, dropping unused ones.
#include <gtest/gtest.h>

#include <string>

#include "compiler/driver/Common.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using ConstManagerTest = test::FreshVorak;

TEST_F(ConstManagerTest, Prefixes) {
  EXPECT_EQ(TConstManager::getPrefix(ctAnsiString), "_A_");
  EXPECT_EQ(TConstManager::getPrefix(ctWideString), "_W_");
  EXPECT_EQ(TConstManager::getPrefix(ctValue), "_V_");
  EXPECT_EQ(TConstManager::getPrefix(ctFloat), "_F_");
}

TEST_F(ConstManagerTest, EqualValueAndSizeShareOneRecord) {
  const uint32_t a = Consts->addConst("A", ctValue, 1, int64_t{5});
  const uint32_t b = Consts->addConst("B", ctValue, 1, int64_t{5});
  EXPECT_EQ(a, b);
  EXPECT_EQ(Consts->Count(), 1u);
  const TConst* c = Consts->getConst(a);
  EXPECT_EQ(vorStrView(c->varname), "A");
  EXPECT_EQ(vorStrView(c->str), "5");
  EXPECT_EQ(c->int_, 5);
  EXPECT_EQ(c->ext, 5.0L);
  EXPECT_EQ(c->size, 1);
  EXPECT_EQ(c->type_, ctValue);
  EXPECT_FALSE(c->active);
  EXPECT_EQ(c->address, 0u);
  EXPECT_EQ(c->fixup, nullptr);
  // Two names, one record.
  const PIdent ia = Idents->findIdent("a", 0);
  const PIdent ib = Idents->findIdent("b", 0);
  ASSERT_NE(ia, nullptr);
  ASSERT_NE(ib, nullptr);
  EXPECT_NE(ia, ib);
  EXPECT_EQ(ia->type_, itConst);
  EXPECT_EQ(ib->type_, itConst);
  EXPECT_EQ(ia->ptr, c);
  EXPECT_EQ(ib->ptr, c);
}

TEST_F(ConstManagerTest, SameValueOtherSizeGetsItsOwnRecord) {
  const uint32_t one = Consts->addConst("A", ctValue, 1, int64_t{5});
  const uint32_t four = Consts->addConst("B", ctValue, 4, int64_t{5});
  EXPECT_NE(one, four);
  EXPECT_EQ(Consts->getConst(four)->size, 4);
  EXPECT_EQ(Consts->addConst("C", ctValue, 1, int64_t{5}), one);
  EXPECT_EQ(Consts->addConst("D", ctValue, 1, int64_t{-5}), 2u);
  EXPECT_EQ(vorStrView(Consts->getConst(2)->str), "-5");
  EXPECT_EQ(Consts->getConst(2)->int_, -5);
}

TEST_F(ConstManagerTest, AnsiAndWideStringsOfOneTextAreTwoRecords) {
  const uint32_t a = Consts->addConst("s1", "hello", ctAnsiString);
  const uint32_t w = Consts->addConst("s2", "hello", ctWideString);
  EXPECT_NE(a, w);
  EXPECT_EQ(Consts->getConst(a)->type_, ctAnsiString);
  EXPECT_EQ(Consts->getConst(w)->type_, ctWideString);
  // A string constant and a number whose text is the same stay apart too.
  EXPECT_NE(Consts->addConst("n", "5", ctAnsiString), Consts->addConst("m", ctValue, 1, int64_t{5}));
  EXPECT_EQ(Consts->Count(), 4u);
}

TEST_F(ConstManagerTest, ReusedStringKeepsTheFirstName) {
  TConst* first = Consts->addConstItem("Greeting", "hi", ctAnsiString);
  TConst* again = Consts->addConstItem("", "hi", ctAnsiString);
  EXPECT_EQ(first, again);
  EXPECT_EQ(vorStrView(first->varname), "Greeting");
  EXPECT_EQ(Consts->addConstItem("", "HI", ctAnsiString) == first, false);  // exact text
}

TEST_F(ConstManagerTest, LiteralHasNoName) {
  TConst* c = Consts->addConstItem("", "x", ctAnsiString);
  EXPECT_EQ(c->varname, nullptr);
  // Declared all the same, under the empty name.
  const PIdent id = Idents->findIdent("", 0);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itConst);
  EXPECT_EQ(id->ptr, c);
}

TEST_F(ConstManagerTest, StringSizeKeepsTheLowEightBitsOfTheLength) {
  const std::string text(300, 'q');
  TConst* c = Consts->addConstItem("long", text, ctAnsiString);
  EXPECT_EQ(c->size, 300 % 256);
  EXPECT_EQ(vorStrLen(c->str), 300u);
  EXPECT_EQ(vorStrView(c->str), text);
  EXPECT_EQ(Consts->addConstItem("utf", "\xC3\xA9", ctAnsiString)->size, 2);  // bytes, not characters
}

TEST_F(ConstManagerTest, FloatingValues) {
  const uint32_t i = Consts->addConst("half", ctFloat, 8, 2.5L);
  const TConst* c = Consts->getConst(i);
  EXPECT_EQ(vorStrView(c->str), "2.5");
  EXPECT_EQ(c->ext, 2.5L);
  EXPECT_EQ(c->int_, 2);  // to the nearest, ties to even
  EXPECT_EQ(Consts->getConst(Consts->addConst("x", ctFloat, 8, 3.5L))->int_, 4);
  EXPECT_EQ(Consts->addConst("again", ctFloat, 8, 2.5L), i);
  EXPECT_EQ(Consts->getConst(Consts->addConst("big", ctFloat, 10, 1e30L))->int_, INT64_MAX);
  EXPECT_EQ(Consts->getConst(Consts->addConst("small", ctFloat, 10, -1e30L))->int_, INT64_MIN);
}

TEST_F(ConstManagerTest, GetConstPastTheEndIsNil) {
  EXPECT_EQ(Consts->getConst(0), nullptr);
  Consts->addConst("a", "a", ctAnsiString);
  EXPECT_NE(Consts->getConst(0), nullptr);
  EXPECT_EQ(Consts->getConst(1), nullptr);
}

TEST_F(ConstManagerTest, ClearInactiveDropsUnusedAndRenumbers) {
  Consts->addConst("unused1", ctValue, 4, int64_t{1});
  TConst* used = Consts->getConst(Consts->addConst("used", ctValue, 4, int64_t{2}));
  Consts->addConst("unused2", "text", ctAnsiString);
  TConst* literal = Consts->addConstItem("", "shown", ctAnsiString);
  used->active = 1;
  literal->active = 1;
  Consts->clearInactive();
  ASSERT_EQ(Consts->Count(), 2u);
  EXPECT_EQ(Consts->getConst(0), used);
  EXPECT_EQ(Consts->getConst(1), literal);
  // The dropped value is gone from the pool: declaring it again makes a new record.
  const uint32_t again = Consts->addConst("unused1", ctValue, 4, int64_t{1});
  EXPECT_EQ(again, 2u);
  EXPECT_FALSE(Consts->getConst(again)->active);
}

}  // namespace
}  // namespace vorak
