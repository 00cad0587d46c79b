// Tests of the hashed scoped string list: hash values, scope filtering, both
// lookup directions, deletion, and a randomized comparison with a plain
// linear model of the list.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compiler/source/SuperStringList.h"

namespace vorak {
namespace {

void* P(uintptr_t n) { return reinterpret_cast<void*>(n); }

TEST(HashStringA, KnownValues) {
  EXPECT_EQ(HashStringA(""), 0u);
  EXPECT_EQ(HashStringA("a"), 97u);
  EXPECT_EQ(HashStringA("ab"), 97u * 128u + 98u);
  EXPECT_EQ(HashStringA("ab"), 12514u);
  // Enough steps to rotate the first byte past bit 31 and back in at the bottom.
  uint32_t h = 0;
  for (unsigned char b : std::string("\xff\xfe\x80zzzz")) h = ((h << 7) | (h >> 25)) + b;
  EXPECT_EQ(HashStringA("\xff\xfe\x80zzzz"), h);
}

TEST(HashStringA, EntryHashIsOfTheLowerCasedText) {
  TSuperStringList l;
  l.Add("AB", P(1), 0);
  l.Add("x_Y1", P(2), 0);
  EXPECT_EQ(l.GetSSLItem(0)->hash, HashStringA("ab"));
  EXPECT_EQ(l.GetSSLItem(1)->hash, HashStringA("x_y1"));
  EXPECT_EQ(l.GetString(0), "AB");  // the text keeps its case
  EXPECT_EQ(l.GetSSLItem(0)->scope, 0u);
}

TEST(SuperStringList, EmptyList) {
  TSuperStringList l;
  EXPECT_EQ(l.Count(), 0u);
  EXPECT_EQ(l.IndexOf("a", false, SSL_SCOPE_MAX), -1);
  EXPECT_EQ(l.ItemIndexOf("a", false, SSL_SCOPE_MAX), nullptr);
  EXPECT_EQ(l.IndexOf("", true, 0), -1);
}

TEST(SuperStringList, ListEmptiedByDeleteFindsNothing) {
  TSuperStringList l;
  l.Add("a", P(1), 0);
  l.Delete(0);
  EXPECT_EQ(l.IndexOf("a", false, SSL_SCOPE_MAX), -1);
  EXPECT_EQ(l.ItemIndexOf("a", false, SSL_SCOPE_MAX), nullptr);
}

TEST(SuperStringList, AddReturnsIndex) {
  TSuperStringList l;
  EXPECT_EQ(l.Add("a", P(1), 0), 0u);
  EXPECT_EQ(l.Add("b", P(2), 3), 1u);
  EXPECT_EQ(l.Add("c", 0), 2u);
  EXPECT_EQ(l.Count(), 3u);
  EXPECT_EQ(l.GetItem(2), nullptr);
}

TEST(SuperStringList, ScopeAndCase) {
  TSuperStringList l;
  l.Add("X", P(10), 0);
  l.Add("x", P(11), 1);
  EXPECT_EQ(l.ItemIndexOf("x", false, 1), P(11));
  EXPECT_EQ(l.ItemIndexOf("x", false, 0), P(10));
  EXPECT_EQ(l.ItemIndexOf("x", true, 0), nullptr);
  EXPECT_EQ(l.ItemIndexOf("X", true, 1), P(10));
  EXPECT_EQ(l.ItemIndexOf("X", false, SSL_SCOPE_MAX), P(11));
  EXPECT_EQ(l.IndexOf("x", false, SSL_SCOPE_MAX), 0);
  EXPECT_EQ(l.IndexOf("x", true, SSL_SCOPE_MAX), 1);
  EXPECT_EQ(l.IndexOf("x", true, 0), -1);
}

TEST(SuperStringList, ScopeFilterTakesLevelsAtOrBelow) {
  TSuperStringList l;
  l.Add("v", P(5), 5);
  EXPECT_EQ(l.ItemIndexOf("v", false, 4), nullptr);
  EXPECT_EQ(l.ItemIndexOf("v", false, 5), P(5));
  EXPECT_EQ(l.ItemIndexOf("v", false, 6), P(5));
  EXPECT_EQ(l.ItemIndexOf("v", false, 0), nullptr);
  l.Add("w", P(6), SSL_SCOPE_MAX - 1);
  EXPECT_EQ(l.ItemIndexOf("w", false, SSL_SCOPE_MAX), P(6));
}

TEST(SuperStringList, DuplicatesOldestAndNewest) {
  TSuperStringList l;
  l.Add("dup", P(1), 0);
  l.Add("other", P(2), 0);
  l.Add("DUP", P(3), 0);
  EXPECT_EQ(l.IndexOf("dup", false, 0), 0);
  EXPECT_EQ(l.ItemIndexOf("dup", false, 0), P(3));
  EXPECT_EQ(l.ItemIndexOf("dup", true, 0), P(1));
  EXPECT_EQ(l.IndexOf("DUP", true, 0), 2);
}

TEST(SuperStringList, CaseInsensitiveLookupOfMixedCaseEntry) {
  TSuperStringList l;
  l.Add("MixedCase", P(1), 0);
  EXPECT_EQ(l.ItemIndexOf("mixedcase", false, 0), P(1));
  EXPECT_EQ(l.ItemIndexOf("MIXEDCASE", false, 0), P(1));
  EXPECT_EQ(l.ItemIndexOf("MIXEDCASE", true, 0), nullptr);
  EXPECT_EQ(l.ItemIndexOf("MixedCase", true, 0), P(1));
  // Only A-Z fold: bytes above 127 compare as they are.
  l.Add("\xC4x", P(2), 0);
  EXPECT_EQ(l.ItemIndexOf("\xC4X", false, 0), P(2));
  EXPECT_EQ(l.ItemIndexOf("\xE4x", false, 0), nullptr);
}

TEST(SuperStringList, DeleteShiftsLaterEntries) {
  TSuperStringList l;
  l.Add("a", P(1), 0);
  l.Add("b", P(2), 0);
  l.Add("c", P(3), 0);
  l.Add("b", P(4), 0);
  PSSLItem c = l.GetSSLItem(2);
  l.Delete(1);
  ASSERT_EQ(l.Count(), 3u);
  EXPECT_EQ(l.GetString(1), "c");
  EXPECT_EQ(l.GetSSLItem(1), c);  // entries are not moved, only their index
  EXPECT_EQ(l.IndexOf("c", false, 0), 1);
  EXPECT_EQ(l.IndexOf("b", false, 0), 2);
  EXPECT_EQ(l.ItemIndexOf("b", false, 0), P(4));
  l.Delete(2);
  EXPECT_EQ(l.IndexOf("b", false, 0), -1);
  EXPECT_EQ(l.ItemIndexOf("b", false, 0), nullptr);
}

TEST(SuperStringList, SetStringKeepsTheHash) {
  TSuperStringList l;
  l.Add("old", P(1), 0);
  l.SetString(0, "new");
  EXPECT_EQ(l.GetString(0), "new");
  EXPECT_EQ(l.GetSSLItem(0)->hash, HashStringA("old"));
  // Filed under the old hash, so neither spelling finds it any more.
  EXPECT_EQ(l.IndexOf("new", false, 0), -1);
  EXPECT_EQ(l.IndexOf("old", false, 0), -1);
  l.SetItem(0, P(9));
  EXPECT_EQ(l.GetItem(0), P(9));
}

TEST(SuperStringList, IndexOutOfRangeThrows) {
  TSuperStringList l;
  l.Add("a", P(1), 0);
  EXPECT_THROW(l.GetItem(1), std::out_of_range);
  EXPECT_THROW(l.GetString(7), std::out_of_range);
  EXPECT_THROW(l.Delete(1), std::out_of_range);
  EXPECT_THROW(l.GetSSLItem(SSL_NOT_FOUND), std::out_of_range);
  EXPECT_EQ(l.Count(), 1u);
}

TEST(SuperStringList, EntriesStayPutWhileTheListGrows) {
  TSuperStringList l;
  l.Add("first", P(1), 0);
  PSSLItem first = l.GetSSLItem(0);
  const char* text = first->text.data();
  for (int i = 0; i < 5000; ++i) l.Add("n" + std::to_string(i), P(i + 2), 0);
  EXPECT_EQ(l.GetSSLItem(0), first);
  EXPECT_EQ(first->text.data(), text);
  EXPECT_EQ(l.ItemIndexOf("first", true, 0), P(1));
  EXPECT_EQ(l.IndexOf("n4999", true, 0), 5000);
  EXPECT_EQ(l.IndexOf("N2500", false, 0), 2501);
}

TEST(SuperStringList, CollidingHashesAreToldApartByText) {
  // rotl(h, 7) + b lets two texts share a hash: "\x01\x00" and "\x00\x80"
  // both hash to 128.
  const std::string a("\x01\x00", 2), b("\x00\x80", 2);
  ASSERT_EQ(HashStringA(a), HashStringA(b));
  TSuperStringList l;
  l.Add(a, P(1), 0);
  l.Add(b, P(2), 0);
  EXPECT_EQ(l.ItemIndexOf(a, true, 0), P(1));
  EXPECT_EQ(l.ItemIndexOf(b, true, 0), P(2));
  EXPECT_EQ(l.IndexOf(b, false, 0), 1);
}

// The list as the plain linear walk it stands for: every lookup visits every
// entry. The hashed list must agree with it on every operation.
class LinearModel {
 public:
  struct Entry {
    uint32_t scope;
    uint32_t hash;
    std::string text;
    void* item;
  };
  static std::string lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
  }
  void add(const std::string& s, void* obj, uint32_t scope) {
    entries.push_back({scope, HashStringA(lower(s)), s, obj});
  }
  bool match(const Entry& e, const std::string& s, bool cs, uint32_t scope) const {
    const std::string q = cs ? s : lower(s);
    if (e.scope > scope || e.hash != HashStringA(lower(s))) return false;
    return cs ? e.text == q : lower(e.text) == q;
  }
  void* itemIndexOf(const std::string& s, bool cs, uint32_t scope) const {
    for (size_t i = entries.size(); i-- > 0;)
      if (match(entries[i], s, cs, scope)) return entries[i].item;
    return nullptr;
  }
  int32_t indexOf(const std::string& s, bool cs, uint32_t scope) const {
    for (size_t i = 0; i < entries.size(); ++i)
      if (match(entries[i], s, cs, scope)) return static_cast<int32_t>(i);
    return -1;
  }
  std::vector<Entry> entries;
};

TEST(SuperStringList, AgreesWithLinearModelOnRandomOperations) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    // A small alphabet with both cases, so names repeat, differ only in case
    // and collide in hash buckets often.
    const std::string alphabet = "aAbB_1";
    auto name = [&] {
      std::string s;
      const uint32_t len = 1 + pick(3);
      for (uint32_t i = 0; i < len; ++i) s += alphabet[pick(static_cast<uint32_t>(alphabet.size()))];
      return s;
    };
    TSuperStringList list;
    LinearModel model;
    uint32_t level = 0;
    uintptr_t next = 1;
    for (int step = 0; step < 4000; ++step) {
      const uint32_t op = pick(100);
      if (op < 35) {
        // Mostly the current level; sometimes any level, so scopes interleave.
        const uint32_t sc = pick(8) == 0 ? pick(6) : level;
        const std::string s = name();
        const uint32_t idx = list.Add(s, P(next), sc);
        model.add(s, P(next), sc);
        ++next;
        ASSERT_EQ(idx, model.entries.size() - 1);
      } else if (op < 75) {
        const std::string s = name();
        const bool cs = pick(2) == 0;
        const uint32_t sc = pick(10) == 0 ? SSL_SCOPE_MAX : pick(7);
        ASSERT_EQ(list.ItemIndexOf(s, cs, sc), model.itemIndexOf(s, cs, sc))
            << "seed " << seed << " step " << step << " " << s;
        ASSERT_EQ(list.IndexOf(s, cs, sc), model.indexOf(s, cs, sc))
            << "seed " << seed << " step " << step << " " << s;
      } else if (op < 83) {
        if (!model.entries.empty()) {
          const uint32_t i = pick(static_cast<uint32_t>(model.entries.size()));
          list.Delete(i);
          model.entries.erase(model.entries.begin() + i);
        }
      } else if (op < 93) {
        ++level;
      } else {
        // Drop the newest level: remove the entries at or above it from the end.
        while (!model.entries.empty() && model.entries.back().scope >= level) {
          list.Delete(list.Count() - 1);
          model.entries.pop_back();
        }
        if (level > 0) --level;
      }
      ASSERT_EQ(list.Count(), model.entries.size());
    }
    for (size_t i = 0; i < model.entries.size(); ++i) {
      const auto& e = model.entries[i];
      const PSSLItem it = list.GetSSLItem(static_cast<uint32_t>(i));
      ASSERT_EQ(it->text, e.text);
      ASSERT_EQ(it->scope, e.scope);
      ASSERT_EQ(it->hash, e.hash);
      ASSERT_EQ(it->item, e.item);
    }
  }
}

}  // namespace
}  // namespace vorak
