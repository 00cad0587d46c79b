// The ordered, scoped, hashed string list behind every name table, and the
// 32-bit text hash it files its entries under.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorak {

// Stands for every scope level in a lookup.
inline constexpr uint32_t SSL_SCOPE_MAX = 0xFFFFFFFFu;
inline constexpr uint32_t SSL_NOT_FOUND = 0xFFFFFFFFu;

// h = rotl(h, 7) + byte over the text; the list always hashes the lower-cased text.
uint32_t HashStringA(std::string_view Value);

class TSuperStringList;

// One entry. Allocated once by Add and never moved until Delete or the list's
// end, so callers may keep the pointer (and a pointer into text).
struct TSSLItem {
  uint32_t scope = 0;
  uint32_t hash = 0;
  std::string text;
  void* item = nullptr;  // not owned

 private:
  friend class TSuperStringList;
  uint32_t index_ = 0;           // position in the ordered list
  TSSLItem* older_ = nullptr;    // previous entry of the same hash bucket
  TSSLItem* newer_ = nullptr;    // next entry of the same hash bucket
};
using PSSLItem = TSSLItem*;

// Entries in order of addition (index 0 the oldest). Beside the ordered list a
// bucket index keeps, per hash bucket, the entries in order of addition, so a
// lookup only visits entries whose hash falls into the same bucket.
class TSuperStringList {
 public:
  TSuperStringList() = default;
  ~TSuperStringList();
  TSuperStringList(const TSuperStringList&) = delete;
  TSuperStringList& operator=(const TSuperStringList&) = delete;

  uint32_t Count() const { return static_cast<uint32_t>(F_List.size()); }

  // Appends an entry and returns its index.
  uint32_t Add(std::string_view strValue, void* obj, uint32_t scope_);
  uint32_t Add(std::string_view strValue, uint32_t scope_) { return Add(strValue, nullptr, scope_); }

  // Payload of the newest entry at or below scope_ that spells strValue, or nil.
  void* ItemIndexOf(std::string_view strValue, bool caseSensitive, uint32_t scope_) const;
  // Index of the oldest such entry, or -1.
  int32_t IndexOf(std::string_view strValue, bool caseSensitive, uint32_t scope_) const;

  // Disposes the entry; later entries move down by one.
  void Delete(uint32_t Index);

  // Index accessors throw std::out_of_range outside 0 .. Count-1.
  const std::string& GetString(uint32_t Index) const { return at(Index)->text; }
  // Replaces the text only: the hash stays the one computed by Add.
  void SetString(uint32_t Index, std::string_view value) { at(Index)->text.assign(value); }
  void* GetItem(uint32_t Index) const { return at(Index)->item; }
  void SetItem(uint32_t Index, void* value) { at(Index)->item = value; }
  PSSLItem GetSSLItem(uint32_t Index) const { return at(Index); }

 private:
  struct Bucket {
    TSSLItem* oldest = nullptr;
    TSSLItem* newest = nullptr;
  };

  TSSLItem* at(uint32_t Index) const;
  // The text hash is built a byte at a time, so names that differ only in
  // their last bytes (L1, L2, ...) differ in few bits: the bucket is picked
  // from the hash mixed through all its bits.
  static uint32_t mixed(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    return h ^ (h >> 16);
  }
  Bucket& bucketFor(uint32_t hash) { return F_Buckets[mixed(hash) >> F_Shift]; }
  const Bucket* bucketFor(uint32_t hash) const { return &F_Buckets[mixed(hash) >> F_Shift]; }
  void link(TSSLItem* e) noexcept;
  void unlink(TSSLItem* e) noexcept;
  void rebucket(std::vector<Bucket>&& buckets, uint32_t bits) noexcept;

  std::vector<PSSLItem> F_List;
  std::vector<Bucket> F_Buckets;  // power-of-two size, at least Count once non-empty
  uint32_t F_Shift = 32;
};

}  // namespace vorak
