// Length-prefixed strings and dynamic arrays for the records that plug-ins
// read in place: the one way the compiler makes, changes and frees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

namespace vorak {

// Every block is one heap allocation: 16 bytes of header, then the payload.
// The header's last 4 bytes hold the length (bytes of a string, elements of an
// array), the 4 before them the capacity in the same unit (host-only; plug-ins
// never read it), the first 8 are zero. A string's bytes are followed by a 0
// byte that its length does not count. The field points at the payload; an
// empty string or array is always nullptr, never a block of length 0. The
// 16-byte header keeps the payload aligned for any record element.
inline constexpr size_t kBlockHeader = 16;

namespace block {
// Resizes the block behind data (nullptr for none) to count elements of
// elemSize bytes and returns the new payload pointer (nullptr for count 0).
// Elements past the old count are zeroed; a string block keeps its 0 byte.
// Growth is amortised when reserveMore is set. Throws std::length_error when
// the count or the byte size does not fit.
void* resize(void* data, size_t elemSize, size_t count, bool terminated, bool reserveMore);
void release(void* data) noexcept;
inline uint32_t count(const void* data) noexcept {
  return data ? static_cast<const uint32_t*>(data)[-1] : 0u;
}
}  // namespace block

// ---- strings (char* fields) ----

inline uint32_t vorStrLen(const char* s) noexcept { return block::count(s); }
inline std::string_view vorStrView(const char* s) noexcept {
  return s ? std::string_view(s, block::count(s)) : std::string_view();
}
// Never nullptr: the empty text for a nil string.
inline const char* vorStrCStr(const char* s) noexcept { return s ? s : ""; }
// Replaces the text; text may point into s itself.
void vorStrAssign(char*& s, std::string_view text);
// Appends n bytes; p may point into s itself.
void vorStrAppend(char*& s, const void* p, size_t n);
// Inserts n bytes before byte pos (0-based, clamped to the length).
void vorStrInsert(char*& s, size_t pos, const void* p, size_t n);
void vorStrFree(char*& s) noexcept;
// Appends n bytes (16 at most) from p, which has 16 readable bytes and lies
// outside s: one fixed-size copy while the block has room for 16 more, the
// general append otherwise. For code appended instruction by instruction.
inline void vorStrAppend16(char*& s, const void* p, size_t n) {
  if (s && n <= 16) {
    auto* const header = reinterpret_cast<uint32_t*>(s);
    const uint32_t len = header[-1], capacity = header[-2];
    if (capacity - len >= 16) {
      std::memcpy(s + len, p, 16);
      header[-1] = len + static_cast<uint32_t>(n);
      s[len + n] = 0;
      return;
    }
  }
  vorStrAppend(s, p, n);
}

// ---- dynamic arrays (T* fields) of plain C elements ----

template <typename T>
inline uint32_t vorArrCount(const T* a) noexcept {
  return block::count(a);
}
template <typename T>
inline std::span<T> vorArrSpan(T* a) noexcept {
  return {a, block::count(a)};
}
// New elements are zero; removed ones are dropped without any clean-up, so
// owners release what removed elements own before shrinking.
template <typename T>
void vorArrResize(T*& a, size_t n, bool reserveMore = false) {
  static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= kBlockHeader);
  a = static_cast<T*>(block::resize(a, sizeof(T), n, false, reserveMore));
}
template <typename T>
void vorArrFree(T*& a) noexcept {
  block::release(a);
  a = nullptr;
}

}  // namespace vorak
