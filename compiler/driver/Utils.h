// Small numeric and text helpers shared by several units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorak {

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
std::string GetVersion(const std::string& sFileName);
int64_t log2_int(int64_t value);

// Seconds as "0.####": at most four decimals, trailing zeros dropped.
std::string formatSeconds(double seconds);
// A-Z folded to a-z; no other byte changes (never the locale).
std::string lowerCase(std::string_view s);
std::string upperCase(std::string_view s);
// A NUL-terminated UTF-16 text as UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const uint16_t* text);
inline char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace vorak
