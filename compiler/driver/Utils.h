// Small numeric and text helpers shared by several units.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorak {

// Where p lies inside the len bytes at s (its end included), or npos when it
// does not: appending a piece of a buffer to itself must survive the move
// that growing the buffer may make.
inline size_t offsetInside(const char* s, size_t len, const void* p) {
  if (!s || !p) return std::string_view::npos;
  const auto lo = reinterpret_cast<uintptr_t>(s);
  const auto at = reinterpret_cast<uintptr_t>(p);
  return (at >= lo && at <= lo + len) ? at - lo : std::string_view::npos;
}

int32_t Int64toSize(int64_t value, bool Signed = false);
int64_t BinToInt(std::string_view Value);
uint64_t calcUpper(uint8_t bits);
int64_t StrOrd(std::string_view str);
uint32_t alignSize(uint32_t size, uint32_t align);
// a * b, or UINT64_MAX when the product does not fit 64 bits: a size made of
// counts and element sizes is compared with its limit without wrapping below it.
inline uint64_t mulCapped(uint64_t a, uint64_t b) {
  uint64_t p;
  return __builtin_mul_overflow(a, b, &p) ? UINT64_MAX : p;
}
// Rounding of extended values to integers, ties to even, whatever the FPU
// rounding mode. kTwo63 is the first value past the Int64 range.
inline constexpr long double kTwo63 = 9223372036854775808.0L;
// The integral value nearest to a finite v.
inline long double roundHalfEven(long double v) {
  long double f = std::floor(v);
  const long double frac = v - f;  // exact: the fraction of an extended value is representable
  if (frac > 0.5L || (frac == 0.5L && std::fmod(f, 2.0L) != 0)) f += 1;
  return f;
}
// The nearest Int64; false for a value with none nearest to it (NaN, the
// infinities, beyond the range).
inline bool nearestInt64(long double v, int64_t& out) {
  if (!std::isfinite(v)) return false;
  const long double f = roundHalfEven(v);
  if (f < -kTwo63 || f >= kTwo63) return false;
  out = static_cast<int64_t>(f);
  return true;
}
// The same, saturating at the ends of the range; NaN gives 0.
inline int64_t nearestInt64Saturated(long double v) {
  if (std::isnan(v)) return 0;
  if (v >= kTwo63) return INT64_MAX;
  if (v < -kTwo63) return INT64_MIN;
  const long double f = roundHalfEven(v);
  if (f >= kTwo63) return INT64_MAX;
  return static_cast<int64_t>(f);
}
std::string GetVersion(const std::string& sFileName);
int64_t log2_int(int64_t value);

// Seconds as "0.####": at most four decimals, trailing zeros dropped.
std::string formatSeconds(double seconds);
// A-Z folded to a-z; no other byte changes (never the locale).
std::string lowerCase(std::string_view s);
std::string upperCase(std::string_view s);
// A NUL-terminated UTF-16 text as UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const uint16_t* text);
std::string utf16ToUtf8(std::u16string_view text);
// A wide string's text is UTF-8 and is stored as UTF-16. One character of it
// from byte k on, k moved past it: a byte that starts no sequence, a sequence
// cut short, a surrogate or a value past U+10FFFF reads as U+FFFD, and a
// sequence cut short ends before the byte that cut it. The builder stores a
// wide string by the same rule.
uint32_t utf8Next(std::string_view text, size_t& k);
// The UTF-16 units that text is stored as (no terminating zero).
size_t utf16Length(std::string_view text);
std::u16string utf8ToUtf16(std::string_view text);
// The UTF-8 of one character (at most U+10FFFF) appended to out.
void appendUtf8(std::string& out, uint32_t cp);
inline char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace vorak
