// Length-prefixed blocks of the shared records: allocation, growth, release.
#include "compiler/symbols/SharedBlocks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "compiler/driver/Messages.h"
#include "compiler/driver/Utils.h"

namespace vorak {

namespace {

constexpr size_t kMaxCount = UINT32_MAX;

uint32_t* lengthSlot(void* data) { return static_cast<uint32_t*>(data) - 1; }
uint32_t* capacitySlot(void* data) { return static_cast<uint32_t*>(data) - 2; }
char* baseOf(void* data) { return static_cast<char*>(data) - kBlockHeader; }

}  // namespace

namespace block {

void release(void* data) noexcept {
  if (data) std::free(baseOf(data));
}

void* resize(void* data, size_t elemSize, size_t count, bool terminated, bool reserveMore) {
  if (count == 0) {
    release(data);
    return nullptr;
  }
  if (count > kMaxCount) throw std::length_error(msg::text(msg::BlockTooLong));
  const size_t oldCount = block::count(data);
  const bool fresh = !data;
  const size_t capacity = data ? *capacitySlot(data) : 0;
  if (count > capacity) {
    size_t newCap = count;
    if (reserveMore) newCap = std::min(kMaxCount, std::max(count, capacity * 2 + 16));
    const size_t tail = terminated ? 1 : 0;
    if (newCap > (SIZE_MAX - kBlockHeader - tail) / elemSize)
      throw std::length_error(msg::text(msg::BlockTooLarge));
    const size_t bytes = kBlockHeader + newCap * elemSize + tail;
    // A new block comes zeroed from calloc: a large one is fresh pages the
    // system zero-fills on first touch, so zero content costs no memory
    // until it is written or copied.
    void* grown = data ? std::realloc(baseOf(data), bytes) : std::calloc(1, bytes);
    if (!grown) throw std::bad_alloc();
    data = static_cast<char*>(grown) + kBlockHeader;
    *capacitySlot(data) = static_cast<uint32_t>(newCap);
  }
  char* payload = static_cast<char*>(data);
  if (count > oldCount && !fresh) std::memset(payload + oldCount * elemSize, 0, (count - oldCount) * elemSize);
  *lengthSlot(data) = static_cast<uint32_t>(count);
  if (terminated) payload[count * elemSize] = 0;
  return data;
}

}  // namespace block

void vorStrAssign(char*& s, std::string_view text) {
  const size_t len = vorStrLen(s);
  const size_t inside = offsetInside(s, len, text.data());
  if (inside != std::string_view::npos) {
    // A piece of itself: move it to the front, then cut.
    std::memmove(s, s + inside, text.size());
    s = static_cast<char*>(block::resize(s, 1, text.size(), true, false));
    return;
  }
  s = static_cast<char*>(block::resize(s, 1, text.size(), true, false));
  if (!text.empty()) std::memcpy(s, text.data(), text.size());
}

void vorStrAppend(char*& s, const void* p, size_t n) {
  if (n == 0) return;
  const size_t len = vorStrLen(s);
  // The common case, code appended to a function: room is left, so the
  // bytes go straight in (memmove: they may come from the string itself).
  if (s && n <= *capacitySlot(s) - len) {
    std::memmove(s + len, p, n);
    *lengthSlot(s) = static_cast<uint32_t>(len + n);
    s[len + n] = 0;
    return;
  }
  if (n > kMaxCount - len) throw std::length_error(msg::text(msg::StringTooLong));
  const size_t inside = offsetInside(s, len, p);
  s = static_cast<char*>(block::resize(s, 1, len + n, true, true));
  const void* from = inside != std::string_view::npos ? s + inside : p;
  std::memmove(s + len, from, n);
}

void vorStrInsert(char*& s, size_t pos, const void* p, size_t n) {
  if (n == 0) return;
  const size_t len = vorStrLen(s);
  if (n > kMaxCount - len) throw std::length_error(msg::text(msg::StringTooLong));
  pos = std::min(pos, len);
  size_t inside = offsetInside(s, len, p);
  s = static_cast<char*>(block::resize(s, 1, len + n, true, true));
  std::memmove(s + pos + n, s + pos, len - pos);
  if (inside == std::string_view::npos) {
    std::memcpy(s + pos, p, n);
    return;
  }
  // The inserted bytes came from the string itself: those at or after pos
  // have just moved up by n.
  if (inside >= pos) inside += n;
  for (size_t i = 0; i < n; ++i) {
    size_t from = inside + i;
    if (inside < pos && from >= pos) from += n;  // a source range that spans pos
    s[pos + i] = s[from];
  }
}

void vorStrFree(char*& s) noexcept {
  block::release(s);
  s = nullptr;
}

}  // namespace vorak
