// Numeric and text helpers.
#include "compiler/driver/Utils.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "platform/Platform.h"

namespace vorak {

int32_t Int64toSize(int64_t value, bool) {
  const uint64_t v = static_cast<uint64_t>(value);
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  if (v <= 0xFFFFFFFFull) return 4;
  return 8;
}

int64_t BinToInt(std::string_view Value) {
  if (Value.size() > 64 && !CompileFlags.peek_mode && Log)
    Log->Warning(msg::text(msg::BinaryTruncated, Value), false);
  const std::string_view digits = Value.size() > 64 ? Value.substr(Value.size() - 64) : Value;
  uint64_t r = 0;
  for (char c : digits) r = (r << 1) | (c == '1' ? 1u : 0u);
  return static_cast<int64_t>(r);
}

uint64_t calcUpper(uint8_t bits) {
  if (bits == 0) return 0;
  if (bits >= 64) return ~0ull;
  return (1ull << bits) - 1;
}

int64_t StrOrd(std::string_view str) {
  uint32_t r = 0;
  for (size_t i = 0; i < str.size() && i < 4; ++i) r |= static_cast<uint32_t>(static_cast<uint8_t>(str[i])) << (8 * i);
  return r;
}

uint32_t alignSize(uint32_t size, uint32_t align) {
  if (size <= align) return align;
  const uint64_t r = (static_cast<uint64_t>(size) + align - 1) / align * align;
  return static_cast<uint32_t>(r);  // wraps like the 32-bit original above 4 GiB
}

std::string GetVersion(const std::string& sFileName) {
  // Only the compiler's own executable carries a version: it is a build constant.
  std::error_code ec;
  if (std::filesystem::equivalent(sFileName, platform::executablePath(), ec))
    return platform::fileVersion();
  return "0.0.0.0";
}

namespace {
constexpr uint64_t kDeBruijn = 0x07EDD5E59A4E28C2ull;
constexpr std::array<uint8_t, 64> makeTab64() {
  std::array<uint8_t, 64> t{};
  for (unsigned k = 0; k < 64; ++k) t[(kDeBruijn << k) >> 58] = static_cast<uint8_t>(k);
  return t;
}
constexpr auto tab64 = makeTab64();
static_assert(tab64[0] == 63 && tab64[1] == 0 && tab64[2] == 58 && tab64[3] == 1);
}  // namespace

int64_t log2_int(int64_t value) {
  uint64_t v = static_cast<uint64_t>(value);
  if (v == 0) return 0;
  v |= v >> 1;
  v |= v >> 2;
  v |= v >> 4;
  v |= v >> 8;
  v |= v >> 16;
  v |= v >> 32;
  v = v - (v >> 1);
  return tab64[(v * kDeBruijn) >> 58];
}

std::string formatSeconds(double seconds) {
  if (!std::isfinite(seconds)) seconds = 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", seconds);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string lowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = lowerChar(c);
  return r;
}

std::string upperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t u = text[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::string utf16ToUtf8(const uint16_t* text) {
  if (!text) return std::string();
  size_t n = 0;
  while (text[n]) ++n;
  return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), n));
}

uint32_t utf8Next(std::string_view text, size_t& k) {
  const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t b = byte(k++);
  uint32_t cp = 0xFFFD;
  uint32_t extra = 0;
  if (b < 0x80) return b;
  if ((b & 0xE0) == 0xC0) {
    cp = b & 0x1Fu;
    extra = 1;
  } else if ((b & 0xF0) == 0xE0) {
    cp = b & 0x0Fu;
    extra = 2;
  } else if ((b & 0xF8) == 0xF0) {
    cp = b & 0x07u;
    extra = 3;
  }
  for (; extra > 0; --extra, ++k) {
    if (k >= text.size() || (byte(k) & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (byte(k) & 0x3Fu);
  }
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0xFFFD;
  return cp;
}

size_t utf16Length(std::string_view text) {
  size_t units = 0;
  for (size_t k = 0; k < text.size();) units += utf8Next(text, k) >= 0x10000 ? 2 : 1;
  return units;
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t k = 0; k < text.size();) {
    const uint32_t cp = utf8Next(text, k);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

}  // namespace vorak
