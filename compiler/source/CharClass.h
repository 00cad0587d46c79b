// Byte classes of the source text: name, digit and blank bytes, as the
// tokenizer and the direct line reader see them.
#pragma once

#include <cstdint>

namespace vorak {

namespace charclass {

enum : uint8_t { kIdentStart = 1, kDigit = 2, kHex = 4 };

inline constexpr auto kTable = [] {
  struct {
    uint8_t v[256] = {};
  } t;
  for (int c = 'a'; c <= 'z'; ++c) t.v[c] = kIdentStart;
  for (int c = 'A'; c <= 'Z'; ++c) t.v[c] = kIdentStart;
  t.v[static_cast<uint8_t>('_')] = kIdentStart;
  for (int c = '0'; c <= '9'; ++c) t.v[c] = kDigit | kHex;
  for (int c = 'a'; c <= 'f'; ++c) t.v[c] |= kHex;
  for (int c = 'A'; c <= 'F'; ++c) t.v[c] |= kHex;
  return t;
}();

inline uint8_t of(char c) { return kTable.v[static_cast<uint8_t>(c)]; }

}  // namespace charclass

inline bool isIdentStart(char c) { return charclass::of(c) & charclass::kIdentStart; }
inline bool isIdentChar(char c) { return charclass::of(c) & (charclass::kIdentStart | charclass::kDigit); }
inline bool isDigit(char c) { return charclass::of(c) & charclass::kDigit; }
inline bool isHexDigit(char c) { return charclass::of(c) & charclass::kHex; }
inline bool isBinDigit(char c) { return c == '0' || c == '1'; }
// Bytes 1 to 32: blanks, line ends and other control bytes, which the reader
// skips between tokens.
inline bool isBlankByte(char c) { return static_cast<uint8_t>(c - 1) < 32; }

}  // namespace vorak
