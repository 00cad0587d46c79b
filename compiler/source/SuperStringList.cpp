// The hashed scoped string list.
#include "compiler/source/SuperStringList.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "compiler/driver/Messages.h"
#include "compiler/driver/Utils.h"

namespace vorak {

namespace {

inline uint32_t hashStep(uint32_t h, unsigned char b) { return ((h << 7) | (h >> 25)) + b; }

// Hash of the text as if lower-cased, without making the lower-cased copy.
inline uint32_t hashLower(std::string_view s) {
  uint32_t h = 0;
  for (char c : s) h = hashStep(h, static_cast<unsigned char>(lowerChar(c)));
  return h;
}

inline bool sameText(const std::string& entry, std::string_view s, bool caseSensitive) {
  if (entry.size() != s.size()) return false;
  if (caseSensitive) return std::memcmp(entry.data(), s.data(), s.size()) == 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (lowerChar(entry[i]) != lowerChar(s[i])) return false;
  return true;
}

constexpr uint32_t kFirstBucketBits = 3;

}  // namespace

uint32_t HashStringA(std::string_view Value) {
  uint32_t h = 0;
  for (char c : Value) h = hashStep(h, static_cast<unsigned char>(c));
  return h;
}

TSuperStringList::~TSuperStringList() {
  for (PSSLItem e : F_List) delete e;
}

TSSLItem* TSuperStringList::at(uint32_t Index) const {
  if (Index >= F_List.size())
    throw std::out_of_range(msg::text(msg::ListIndexOutOfBounds, std::to_string(Index)));
  return F_List[Index];
}

void TSuperStringList::link(TSSLItem* e) noexcept {
  Bucket& b = bucketFor(e->hash);
  e->newer_ = nullptr;
  e->older_ = b.newest;
  if (b.newest)
    b.newest->newer_ = e;
  else
    b.oldest = e;
  b.newest = e;
}

void TSuperStringList::unlink(TSSLItem* e) noexcept {
  Bucket& b = bucketFor(e->hash);
  if (e->older_)
    e->older_->newer_ = e->newer_;
  else
    b.oldest = e->newer_;
  if (e->newer_)
    e->newer_->older_ = e->older_;
  else
    b.newest = e->older_;
  e->older_ = e->newer_ = nullptr;
}

// Installs a bucket array of 2^bits buckets and refiles every entry in list
// order, which keeps each bucket in order of addition.
void TSuperStringList::rebucket(std::vector<Bucket>&& buckets, uint32_t bits) noexcept {
  F_Buckets.swap(buckets);
  F_Shift = 32 - bits;
  for (PSSLItem e : F_List) link(e);
}

uint32_t TSuperStringList::Add(std::string_view strValue, void* obj, uint32_t scope_) {
  auto e = std::make_unique<TSSLItem>();
  e->scope = scope_;
  e->hash = hashLower(strValue);
  e->text.assign(strValue);
  e->item = obj;
  e->index_ = static_cast<uint32_t>(F_List.size());
  // Everything that can fail happens before the list changes.
  std::vector<Bucket> bigger;
  uint32_t bits = 0;
  if (F_List.size() + 1 > F_Buckets.size()) {
    bits = F_Buckets.empty() ? kFirstBucketBits : 32 - F_Shift + 1;
    bigger.resize(size_t{1} << bits);
  }
  F_List.push_back(e.get());
  TSSLItem* added = e.release();
  if (bits)
    rebucket(std::move(bigger), bits);
  else
    link(added);
  return added->index_;
}

void* TSuperStringList::ItemIndexOf(std::string_view strValue, bool caseSensitive, uint32_t scope_) const {
  if (F_List.empty()) return nullptr;
  const uint32_t h = hashLower(strValue);
  for (const TSSLItem* e = bucketFor(h)->newest; e; e = e->older_)
    if (e->hash == h && e->scope <= scope_ && sameText(e->text, strValue, caseSensitive)) return e->item;
  return nullptr;
}

int32_t TSuperStringList::IndexOf(std::string_view strValue, bool caseSensitive, uint32_t scope_) const {
  if (F_List.empty()) return -1;
  const uint32_t h = hashLower(strValue);
  for (const TSSLItem* e = bucketFor(h)->oldest; e; e = e->newer_)
    if (e->hash == h && e->scope <= scope_ && sameText(e->text, strValue, caseSensitive))
      return static_cast<int32_t>(e->index_);
  return -1;
}

void TSuperStringList::Delete(uint32_t Index) {
  TSSLItem* e = at(Index);
  unlink(e);
  F_List.erase(F_List.begin() + Index);
  for (size_t i = Index; i < F_List.size(); ++i) F_List[i]->index_ = static_cast<uint32_t>(i);
  delete e;
}

}  // namespace vorak
