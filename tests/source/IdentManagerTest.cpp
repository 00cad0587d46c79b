// Tests of the identifier table: case folding, scope hiding and un-hiding,
// index access.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "compiler/source/IdentManager.h"

namespace vorak {
namespace {

void* P(uintptr_t n) { return reinterpret_cast<void*>(n); }

// The record behind the name found, or a marker that no test stores.
void* found(const TIdentManager& ids, std::string_view name, uint32_t scope) {
  const PIdent id = ids.findIdent(name, scope);
  return id ? id->ptr : P(0xDEAD);
}

TEST(IdentManager, FindsDeclaredNameCaseInsensitively) {
  TIdentManager ids;
  EXPECT_EQ(ids.CurrentScope(), 0u);
  ids.addIdent(itType, "Foo", P(1));
  const PIdent id = ids.findIdent("FOO", ids.CurrentScope());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->name, "Foo");
  EXPECT_EQ(id->type_, itType);
  EXPECT_EQ(id->ptr, P(1));
  EXPECT_EQ(id->scope, 0u);
  EXPECT_EQ(ids.findIdent("fo", 0), nullptr);
}

TEST(IdentManager, InnerDeclarationHidesOuterUntilScopeCloses) {
  TIdentManager ids;
  ids.addIdent(itGlobalVar, "x", P(1));
  EXPECT_EQ(ids.upScope(), 1u);
  ids.addIdent(itLocalVar, "X", P(2));
  ids.addIdent(itLocalVar, "onlyInner", P(3));
  EXPECT_EQ(found(ids, "x", ids.CurrentScope()), P(2));
  EXPECT_EQ(found(ids, "x", 0), P(1));  // the outer level does not see it
  ids.deleteScope(SSL_SCOPE_MAX);
  EXPECT_EQ(ids.CurrentScope(), 0u);
  EXPECT_EQ(found(ids, "x", ids.CurrentScope()), P(1));
  EXPECT_EQ(ids.findIdent("onlyinner", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.getIdent(1), nullptr);
}

TEST(IdentManager, ReopenedLevelDoesNotSeeRemovedNames) {
  TIdentManager ids;
  ids.upScope();
  ids.addIdent(itLocalVar, "a", P(1));
  ids.deleteScope();
  ids.upScope();
  EXPECT_EQ(ids.findIdent("a", ids.CurrentScope()), nullptr);
}

TEST(IdentManager, NestedScopesCloseOneAtATime) {
  TIdentManager ids;
  ids.addIdent(itConst, "n", P(0));
  for (uintptr_t i = 1; i <= 4; ++i) {
    ids.upScope();
    ids.addIdent(itLocalVar, "n", P(i));
  }
  for (uintptr_t i = 4; i >= 1; --i) {
    EXPECT_EQ(found(ids, "N", ids.CurrentScope()), P(i));
    ids.deleteScope();
  }
  EXPECT_EQ(found(ids, "N", ids.CurrentScope()), P(0));
  EXPECT_EQ(ids.CurrentScope(), 0u);
}

TEST(IdentManager, DeleteScopeAtLevelZeroDoesNotWrap) {
  TIdentManager ids;
  ids.addIdent(itConst, "g", P(1));
  ids.deleteScope();
  EXPECT_EQ(ids.CurrentScope(), 0u);
  // A later declaration stays at level 0, visible at level 0 only as it should.
  ids.upScope();
  ids.addIdent(itLocalVar, "l", P(2));
  EXPECT_EQ(ids.findIdent("l", 0), nullptr);
}

TEST(IdentManager, DeleteScopeOfAGivenLevel) {
  TIdentManager ids;
  ids.addIdent(itConst, "a", P(1));
  ids.upScope();
  ids.addIdent(itConst, "b", P(2));
  ids.upScope();
  ids.addIdent(itConst, "c", P(3));
  ids.deleteScope(1);  // levels 1 and 2 go; the current level drops by one
  EXPECT_EQ(ids.CurrentScope(), 1u);
  EXPECT_NE(ids.findIdent("a", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.findIdent("b", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.findIdent("c", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.getIdent(1), nullptr);
}

TEST(IdentManager, DeleteScopeFindsDeeperEntriesBehindShallowerOnes) {
  // Closing a level that is not open leaves deeper entries behind shallower
  // ones; closing a level later must still remove every entry at or above it.
  TIdentManager ids;
  ids.upScope();
  ids.upScope();
  ids.addIdent(itLocalVar, "deep", P(1));  // level 2
  ids.deleteScope(5);                      // removes nothing, level 1
  ids.addIdent(itLocalVar, "mid", P(2));   // level 1, after a level-2 entry
  ids.deleteScope();                       // level 1 and above
  EXPECT_EQ(ids.CurrentScope(), 0u);
  EXPECT_EQ(ids.findIdent("deep", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.findIdent("mid", SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(ids.getIdent(0), nullptr);
}

TEST(IdentManager, GetIdentBounds) {
  TIdentManager ids;
  EXPECT_EQ(ids.getIdent(0), nullptr);
  EXPECT_EQ(ids.addIdent(itMacro, "m1", P(1)), 0u);
  EXPECT_EQ(ids.addIdent(itMacro, "m2", P(2)), 1u);
  ASSERT_NE(ids.getIdent(1), nullptr);
  EXPECT_EQ(ids.getIdent(1)->name, "m2");
  EXPECT_EQ(ids.getIdent(2), nullptr);  // index equal to the count
  EXPECT_EQ(ids.getIdent(SSL_NOT_FOUND), nullptr);
}

TEST(IdentManager, AddDoesNotReplaceAndNewestWins) {
  TIdentManager ids;
  ids.addIdent(itFunc, "f", P(1));
  ids.addIdent(itProc, "F", P(2));
  EXPECT_EQ(found(ids, "f", 0), P(2));
  ASSERT_NE(ids.getIdent(0), nullptr);
  EXPECT_EQ(ids.getIdent(0)->ptr, P(1));
}

TEST(IdentManager, GetLocalVarsOfOneLevelNewestFirst) {
  TIdentManager ids;
  ids.addIdent(itLocalVar, "outer", P(1));
  ids.upScope();
  ids.addIdent(itLocalVar, "p1", P(2));
  ids.addIdent(itLabel, "lbl", P(3));
  ids.addIdent(itLocalVar, "p2", P(4));
  ids.upScope();
  ids.addIdent(itLocalVar, "inner", P(5));
  std::vector<PIdent> vars;
  ids.getLocalVars(vars, 1);
  ASSERT_EQ(vars.size(), 2u);
  EXPECT_EQ(vars[0]->name, "p2");
  EXPECT_EQ(vars[1]->name, "p1");
  vars.clear();
  ids.getLocalVars(vars, SSL_SCOPE_MAX);
  ASSERT_EQ(vars.size(), 1u);
  EXPECT_EQ(vars[0]->name, "inner");
}

}  // namespace
}  // namespace vorak
