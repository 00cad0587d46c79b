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

std::string utf16ToUtf8(const uint16_t* text) {
  std::string out;
  if (!text) return out;
  auto put = [&out](uint32_t cp) {
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
  };
  for (const uint16_t* p = text; *p; ++p) {
    const uint32_t u = *p;
    if (u >= 0xD800 && u < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      put(0x10000 + ((u - 0xD800) << 10) + (p[1] - 0xDC00));
      ++p;
    } else if (u >= 0xD800 && u < 0xE000) {
      put(0xFFFD);
    } else {
      put(u);
    }
  }
  return out;
}

}  // namespace vorak
