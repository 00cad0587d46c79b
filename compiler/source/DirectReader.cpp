// The direct reader of plain instruction lines.
#include "compiler/source/DirectReader.h"

#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/CharClass.h"

namespace vorak {

// The source buffer always holds a 0 byte after its content, so a scan may
// look at the byte at FileLen: no class but "other" takes it.

PInstruction TDirectReader::mnemonicAhead(uint32_t& end) {
  const char* b = f_.Buffer.data();
  const uint32_t len = f_.FileLen;
  uint32_t i = f_.CurChar;
  if (i >= len) return nullptr;
  // Blanks and line ends, counted as the reader counts them.
  uint32_t col = f_.CurLineChar, line = f_.CurLine, total = f_.F_TotalLines;
  while (i < len && isBlankByte(b[i])) {
    ++col;
    if (b[i++] == '\n') {
      ++line;
      ++total;
      col = 0;
    }
  }
  f_.setPosition({line, i, col, total});
  if (i >= len) return nullptr;
  // A mnemonic starts with a letter; "_" and the other bytes fall outside.
  const auto first = static_cast<uint32_t>(static_cast<uint8_t>(b[i]) | 0x20) - 'a';
  if (first >= 26) return nullptr;
  uint32_t j = i + 1;
  while (isIdentChar(b[j])) ++j;
  const uint32_t n = j - i;
  if (n > 8 || !((mnemonicLengths[first] >> n) & 1) || b[j] == ':' || b[j] == '/') return nullptr;
  // The name, A-Z folded, packed as the instruction index keys it.
  uint64_t key = 0;
  for (uint32_t k = 0; k < n; ++k) key |= static_cast<uint64_t>(static_cast<uint8_t>(lowerChar(b[i + k]))) << (8 * k);
  end = j;
  return opcodeLookupPacked(key, n);
}

// A register name at b[i] that ends at a byte that is neither "." (a field
// path through the register's assumed type) nor "/" (a comment that may join
// the name to more bytes).
bool TDirectReader::registerAt(uint32_t& i, TRegister& reg) const {
  const char* b = f_.Buffer.data();
  uint32_t j = i;
  while (isIdentChar(b[j])) ++j;
  if (b[j] == '.' || b[j] == '/') return false;
  const uint8_t r = strToReg(std::string_view(b + i, j - i));
  if (r == NOT_A_REG) return false;
  reg = static_cast<TRegister>(r);
  i = j;
  return true;
}

// A decimal number of at most 18 digits (with a "-" before it when
// allowSign), or "0x" and 1 to 16 hexadecimal digits, ending at a byte that
// cannot continue a number or start a float or a comment.
bool TDirectReader::numberAt(uint32_t& i, int64_t& value, bool allowSign) const {
  const char* b = f_.Buffer.data();
  uint32_t j = i;
  const bool negative = allowSign && b[j] == '-';
  if (negative) ++j;
  if (!isDigit(b[j])) return false;
  uint64_t v = 0;
  uint32_t digits = 0;
  if (!negative && b[j] == '0' && b[j + 1] == 'x') {
    for (j += 2; isHexDigit(b[j]); ++j) {
      if (++digits > 16) return false;
      const char c = b[j];
      v = (v << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    if (digits == 0) return false;
  } else {
    for (; isDigit(b[j]); ++j) {
      if (++digits > 18) return false;
      v = v * 10 + static_cast<uint64_t>(b[j] - '0');
    }
  }
  if (b[j] == '.' || b[j] == '/' || isIdentChar(b[j])) return false;
  value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  i = j;
  return true;
}

bool TDirectReader::memoryAt(uint32_t& i, TPlainMemory& mem) const {
  const char* b = f_.Buffer.data();
  const auto pointerSized = [](TRegister r) { return regSize(r) == static_cast<uint32_t>(ptrSize); };
  uint32_t j = i + 1;
  TRegister reg;
  if (!blanks(j) || !isIdentStart(b[j]) || !registerAt(j, reg) || !pointerSized(reg)) return false;
  mem = TPlainMemory{};
  mem.regs[0] = reg;
  mem.count = 1;
  if (!blanks(j)) return false;
  int64_t disp = 0;
  bool displaced = false;
  char c = b[j];
  if (c == '+') {
    ++j;
    if (!blanks(j)) return false;
    if (isIdentStart(b[j])) {
      if (!registerAt(j, reg) || !pointerSized(reg) || !blanks(j)) return false;
      mem.regs[1] = reg;
      mem.count = 2;
      c = b[j];
      if (c == '*') {
        ++j;
        if (!blanks(j)) return false;
        const char s = b[j];
        if ((s != '1' && s != '2' && s != '4' && s != '8') || b[j + 1] == '.' || b[j + 1] == '/' ||
            isIdentChar(b[j + 1]))
          return false;
        mem.scale = s - '0';
        ++j;
        if (!blanks(j)) return false;
        c = b[j];
      }
    } else {
      if (!numberAt(j, disp, false) || !blanks(j)) return false;
      displaced = true;
      c = b[j];
    }
  }
  if (!displaced && (c == '+' || c == '-')) {
    ++j;
    int64_t v;
    if (!blanks(j) || !numberAt(j, v, false) || !blanks(j)) return false;
    disp = c == '-' ? -v : v;
    c = b[j];
  }
  // Displacements the tokenizer would refuse are left to it, for its message.
  if (c != ']' || disp > int64_t{UINT32_MAX} || disp < int64_t{INT32_MIN}) return false;
  mem.disp = disp;
  i = j + 1;
  return true;
}

bool TDirectReader::operand(bool first, TPlainOperand& out) {
  const char* b = f_.Buffer.data();
  uint32_t i = f_.CurChar;
  if (i >= f_.FileLen) return false;
  if (!first) {
    if (!blanks(i) || b[i] != ',') return false;
    ++i;
  }
  if (!blanks(i)) return false;
  const char c = b[i];
  if (isIdentStart(c)) {
    if (!registerAt(i, out.reg)) return false;
    out.kind = TPlainKind::Register;
  } else if (isDigit(c) || c == '-') {
    if (!numberAt(i, out.value, true)) return false;
    out.kind = TPlainKind::Number;
  } else if (c == '[') {
    if (!memoryAt(i, out.mem)) return false;
    out.kind = TPlainKind::Memory;
  } else {
    return false;
  }
  // An index after the operand is the tokenizer's to refuse.
  char next = b[i];
  if (static_cast<uint8_t>(next) <= ' ') {
    uint32_t j = i;
    while (b[j] != '\n' && isBlankByte(b[j])) ++j;
    next = b[j];
  }
  if (next == '[') return false;
  commit(i);
  return true;
}

}  // namespace vorak
