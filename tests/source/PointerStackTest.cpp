// Tests of the pointer stack that remembers the invokers of running macros.
#include <gtest/gtest.h>

#include <cstdint>

#include "compiler/source/PointerStack.h"

namespace vorak {
namespace {

void* P(uintptr_t n) { return reinterpret_cast<void*>(n); }

TEST(PointerStack, EmptyTopAndPopGiveNilAndChangeNothing) {
  TPointerStack s;
  EXPECT_EQ(s.top(), nullptr);
  EXPECT_EQ(s.pop(), nullptr);
  EXPECT_TRUE(s.empty());
  s.push(P(1));
  EXPECT_EQ(s.pop(), P(1));
  EXPECT_EQ(s.pop(), nullptr);
  EXPECT_EQ(s.top(), nullptr);
  EXPECT_EQ(s.size(), 0u);
}

TEST(PointerStack, LastPushedIsOnTop) {
  TPointerStack s;
  s.push(P(1));
  s.push(P(2));
  EXPECT_EQ(s.top(), P(2));
  EXPECT_EQ(s.size(), 2u);  // top does not remove
  EXPECT_EQ(s.pop(), P(2));
  EXPECT_EQ(s.top(), P(1));
}

TEST(PointerStack, PopRemovesTheTopEntryOfARepeatedPointer) {
  // Mutually recursive macros: file A calls a macro from file B, which calls
  // one back in A. After the inner expansion ends, B invoked the running macro.
  TPointerStack s;
  s.push(P(0xA));
  s.push(P(0xB));
  s.push(P(0xA));
  EXPECT_EQ(s.pop(), P(0xA));
  EXPECT_EQ(s.top(), P(0xB));
  EXPECT_EQ(s.pop(), P(0xB));
  EXPECT_EQ(s.top(), P(0xA));
}

TEST(PointerStack, NilCanBePushed) {
  TPointerStack s;
  s.push(nullptr);
  EXPECT_EQ(s.size(), 1u);
  EXPECT_EQ(s.pop(), nullptr);
  EXPECT_TRUE(s.empty());
}

}  // namespace
}  // namespace vorak
