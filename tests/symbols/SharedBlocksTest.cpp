// Length-prefixed strings and arrays: what a plug-in reads before the payload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/symbols/SharedBlocks.h"

namespace vorak {
namespace {

// What a plug-in does: the 4 bytes before the first byte.
uint32_t rawLength(const void* p) {
  uint32_t n = 0;
  std::memcpy(&n, static_cast<const char*>(p) - 4, 4);
  return n;
}

TEST(SharedString, EmptyIsNil) {
  char* s = nullptr;
  EXPECT_EQ(vorStrLen(s), 0u);
  EXPECT_EQ(vorStrView(s), "");
  EXPECT_STREQ(vorStrCStr(s), "");
  vorStrAssign(s, "abc");
  ASSERT_NE(s, nullptr);
  vorStrAssign(s, "");
  EXPECT_EQ(s, nullptr);
  vorStrAppend(s, "", 0);
  EXPECT_EQ(s, nullptr);
}

TEST(SharedString, LengthBeforeTextAndZeroAfter) {
  char* s = nullptr;
  vorStrAssign(s, "kernel32.dll");
  EXPECT_EQ(rawLength(s), 12u);
  EXPECT_EQ(s[12], '\0');
  EXPECT_STREQ(s, "kernel32.dll");
  // Embedded zero bytes count: code buffers hold any byte.
  vorStrAssign(s, std::string_view("a\0b", 3));
  EXPECT_EQ(rawLength(s), 3u);
  EXPECT_EQ(s[1], '\0');
  EXPECT_EQ(s[3], '\0');
  vorStrFree(s);
  EXPECT_EQ(s, nullptr);
}

TEST(SharedString, AppendGrowsAndKeepsPrefixInStep) {
  char* s = nullptr;
  std::string expect;
  for (int i = 0; i < 5000; ++i) {
    const char b[2] = {static_cast<char>('a' + i % 26), static_cast<char>(i & 0xFF)};
    vorStrAppend(s, b, 2);
    expect.append(b, 2);
  }
  EXPECT_EQ(rawLength(s), expect.size());
  EXPECT_EQ(vorStrView(s), expect);
  EXPECT_EQ(s[expect.size()], '\0');
  vorStrFree(s);
}

// The block append of instruction bytes: pieces of 0 to 16 bytes, read from
// a 16-byte source, through every growth; only the bytes asked for arrive,
// each followed by the 0 byte, and a nil string starts a block.
TEST(SharedString, BlockAppendTakesOnlyTheBytesAskedFor) {
  char* s = nullptr;
  std::string expect;
  for (int i = 0; i < 3000; ++i) {
    char block[16];
    for (int k = 0; k < 16; ++k) block[k] = static_cast<char>('A' + (i + k) % 50);
    const size_t n = static_cast<size_t>(i % 17);
    vorStrAppend16(s, block, n);
    expect.append(block, n);
    ASSERT_EQ(vorStrLen(s), expect.size()) << i;
    if (s) {
      ASSERT_EQ(s[expect.size()], '\0') << i;
    }
  }
  EXPECT_EQ(vorStrView(s), expect);
  vorStrFree(s);
}

TEST(SharedString, AppendAndAssignFromItself) {
  char* s = nullptr;
  vorStrAssign(s, "0123456789");
  for (int i = 0; i < 6; ++i) vorStrAppend(s, s, vorStrLen(s));  // doubles through reallocation
  EXPECT_EQ(vorStrLen(s), 640u);
  EXPECT_EQ(vorStrView(s).substr(630), "0123456789");
  vorStrAssign(s, vorStrView(s).substr(3, 4));
  EXPECT_EQ(vorStrView(s), "3456");
  EXPECT_EQ(rawLength(s), 4u);
  EXPECT_EQ(s[4], '\0');
  vorStrFree(s);
}

TEST(SharedString, InsertClampsAndHandlesOverlap) {
  char* s = nullptr;
  vorStrInsert(s, 5, "xy", 2);  // into nothing: at the end
  EXPECT_EQ(vorStrView(s), "xy");
  vorStrInsert(s, 1, "AB", 2);
  EXPECT_EQ(vorStrView(s), "xABy");
  vorStrInsert(s, 99, "!", 1);
  EXPECT_EQ(vorStrView(s), "xABy!");
  vorStrInsert(s, 2, s + 1, 3);  // "ABy" taken from the string, spanning the insertion point
  EXPECT_EQ(vorStrView(s), "xAAByBy!");
  EXPECT_EQ(rawLength(s), 8u);
  vorStrInsert(s, 0, s + 6, 2);  // source entirely after the insertion point
  EXPECT_EQ(vorStrView(s), "y!xAAByBy!");
  vorStrFree(s);
}

TEST(SharedArray, CountBeforeElementsAndNewElementsZero) {
  struct Pair {
    void* p;
    uint32_t n;
  };
  Pair* a = nullptr;
  EXPECT_EQ(vorArrCount(a), 0u);
  vorArrResize(a, 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(rawLength(a), 3u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  for (const Pair& e : vorArrSpan(a)) {
    EXPECT_EQ(e.p, nullptr);
    EXPECT_EQ(e.n, 0u);
  }
  a[2].n = 7;
  vorArrResize(a, 1);
  vorArrResize(a, 100, true);  // the dropped elements come back zero, not stale
  EXPECT_EQ(rawLength(a), 100u);
  EXPECT_EQ(a[2].n, 0u);
  vorArrResize(a, 0);
  EXPECT_EQ(a, nullptr);
}

TEST(SharedArray, CountBeyond32BitsIsRefused) {
  uint8_t* a = nullptr;
  EXPECT_THROW(vorArrResize(a, size_t{1} << 32), std::length_error);
  EXPECT_EQ(a, nullptr);
}

}  // namespace
}  // namespace vorak
