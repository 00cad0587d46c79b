// The direct reader: the plain forms of an instruction line (a mnemonic, a
// register, a number, a memory operand of registers and a displacement) read
// straight from the source buffer, without a token. Each form is taken only
// where the tokenizer would read exactly the same thing from the same bytes;
// anything else is left to the tokenizer, with the reader where it was.
#pragma once

#include <cstdint>

#include "compiler/source/AFile.h"
#include "encoder/InstructionTable.h"
#include "encoder/Operand.h"

namespace vorak {

// A memory operand of the plain form "[" base ("+" index ("*" scale)?)?
// (("+" | "-") number)? "]": registers of the pointer size, in the order the
// tokenizer gives them, the scale (0 when none is written) and the
// displacement as written.
struct TPlainMemory {
  TRegister regs[2] = {REG_NONE, REG_NONE};
  int32_t count = 0;
  int32_t scale = 0;
  int64_t disp = 0;
};

// What a plain operand is.
enum class TPlainKind : uint8_t { None, Register, Number, Memory };

struct TPlainOperand {
  TPlainKind kind = TPlainKind::None;
  TRegister reg = REG_NONE;
  int64_t value = 0;
  TPlainMemory mem;
};

class TDirectReader {
 public:
  explicit TDirectReader(TAFile& f) : f_(f) {}

  // Skips the blanks and line ends before a statement, as the tokenizer
  // would, and looks at the name there: the row of an instruction mnemonic
  // not followed by ":" (a label) or "/" (a comment that may join it to
  // more name bytes), with end set to where the name ends; nil when the
  // statement starts otherwise. Either way the reader stands after the
  // blanks; take(end) takes the name, once the caller has made sure that no
  // declaration can take it.
  PInstruction mnemonicAhead(uint32_t& end);
  void take(uint32_t end) { commit(end); }

  // One operand of a plain form; with first false, the "," before it too.
  // The operand must end where the tokenizer's token would: at a byte that
  // cannot continue it. False, and the reader where it was, for any other
  // operand (names, casts, expressions, operands split over lines, ...) and
  // for anything the tokenizer would report an error on.
  bool operand(bool first, TPlainOperand& out);

 private:
  // Blanks within the line; false at a line end (an operand continued on
  // the next line is left to the tokenizer).
  bool blanks(uint32_t& i) const {
    const char* b = f_.Buffer.data();
    while (i < f_.FileLen && static_cast<uint8_t>(b[i] - 1) < 32) {
      if (b[i] == '\n') return false;
      ++i;
    }
    return true;
  }
  bool registerAt(uint32_t& i, TRegister& reg) const;
  bool numberAt(uint32_t& i, int64_t& value, bool allowSign) const;
  bool memoryAt(uint32_t& i, TPlainMemory& mem) const;
  // Moves the reader to the 0-based index i, on the same line.
  void commit(uint32_t i) {
    f_.CurLineChar += i - f_.CurChar;
    f_.CurChar = i;
  }

  TAFile& f_;
};

}  // namespace vorak
