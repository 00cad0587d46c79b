// The tokenizer: strings, numbers, "$" built-ins, casts and memory operands in
// square brackets, names and one-byte symbols, read from a source buffer into
// a token; and the operators that statement handlers ask for.
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/MacroCalls.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CharClass.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

// Token reads nest (a bracket item, a string escape, a pseudo-function's
// argument, a macro body); the bound keeps hostile input off the stack's end.
constexpr uint32_t kMaxTokenNesting = 200;
uint32_t tokenNesting = 0;

struct NestingGuard {
  NestingGuard() { ++tokenNesting; }
  ~NestingGuard() { --tokenNesting; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
};

struct CurFileGuard {
  TAFile* prev;
  ~CurFileGuard() { Compiler->setCurFile(prev); }
};

// While a token is read ahead: peek_mode on, and the current token swapped for
// a spare one; both come back however the read ends.
struct PeekScope {
  vbool prevMode;
  TCurrentToken* prevCur;
  PeekScope() : prevMode(CompileFlags.peek_mode), prevCur(Compiler->beginPeek()) { CompileFlags.peek_mode = 1; }
  ~PeekScope() {
    CompileFlags.peek_mode = prevMode;
    Compiler->endPeek(prevCur);
  }
  PeekScope(const PeekScope&) = delete;
  PeekScope& operator=(const PeekScope&) = delete;
};

// Leaves the token that a form produced in the compiler's current token in
// the token being filled as well.
TVorToken deliver(TCurrentToken& ct) {
  if (&ct != Compiler->CurToken()) ct.setCurToken(cur());
  return ct.F_Type;
}

}  // namespace

// The text of one token as it is read. A token that stands in the buffer as
// one run (the usual case) is only remembered as that run; a token joined
// across a comment, or one with escapes, is copied into the file's scratch
// text, which it shares as a stack with the reads nested inside it.
class TTextCollector {
 public:
  explicit TTextCollector(TAFile& f) : f_(f), base_(f.F_TokScratch.size()) {}
  ~TTextCollector() { f_.F_TokScratch.resize(base_); }
  TTextCollector(const TTextCollector&) = delete;
  TTextCollector& operator=(const TTextCollector&) = delete;

  // count bytes of the buffer from the 1-based index first.
  void addRun(uint32_t first, uint32_t count) {
    if (!spilled_) {
      if (n_ == 0) {
        first_ = first;
        n_ = count;
        return;
      }
      if (first == first_ + n_) {
        n_ += count;
        return;
      }
      spill();
    }
    f_.F_TokScratch.append(f_.Buffer.data() + first - 1, count);
  }
  // The byte just read, under the cursor.
  void add() { addRun(f_.CurChar, 1); }
  // A byte that does not stand in the buffer.
  void put(char c) {
    if (!spilled_) spill();
    f_.F_TokScratch.push_back(c);
  }
  std::string_view view() const {
    if (spilled_) return std::string_view(f_.F_TokScratch).substr(base_);
    return n_ ? std::string_view(f_.Buffer.data() + first_ - 1, n_) : std::string_view();
  }

 private:
  void spill() {
    if (n_) f_.F_TokScratch.append(f_.Buffer.data() + first_ - 1, n_);
    spilled_ = true;
  }

  TAFile& f_;
  size_t base_;
  uint32_t first_ = 0;
  uint32_t n_ = 0;
  bool spilled_ = false;
};

namespace {

// Reads on while pred holds for the next byte, adding the bytes to text; the
// byte that ends the run is left unread. Comments inside the run are skipped
// and join its parts. Returns the number of bytes added.
template <typename Pred>
uint32_t scanRun(TAFile& f, TTextCollector& text, Pred pred) {
  uint32_t added = 0;
  for (;;) {
    const char* b = f.Buffer.data();
    uint32_t i = f.CurChar;  // 0-based index of the next byte
    while (i < f.FileLen && pred(b[i])) ++i;
    if (i > f.CurChar) {
      const uint32_t n = i - f.CurChar;
      text.addRun(f.CurChar + 1, n);
      f.CurLineChar += n;
      f.CurChar = i;
      added += n;
    }
    // Reading a byte that is neither "/" nor part of the run and giving it
    // back leaves the reader where it is; a "/" may start a comment.
    if (i >= f.FileLen || b[i] != '/') return added;
    const TFilePos before = f.position();
    const char c = f.moveNextChar(false, false);
    if (!pred(c)) {
      // The byte is given back the way the reader does it: after a skipped
      // comment the cursor stays on the comment's last byte.
      if (f.CurChar == before.chr + 1)
        f.setPosition(before);
      else if (f.CurChar != before.chr)
        f.movePrevChar();
      return added;
    }
    text.add();
    ++added;
  }
}

}  // namespace

// ---------------------------------------------------------------------------

TVorToken TAFile::setNextToken(TCurrentToken& ct, bool cleanIdent) {
  if (tokenNesting >= kMaxTokenNesting) fatalAt(msg::TokensTooDeep, position());
  NestingGuard nest;
  // Whatever the read consumes on its way comes from this buffer.
  if (Compiler->CurFile() != this) {
    // The reader comes back to that text, whatever the read runs.
    const TFilePin pin(Compiler->CurFile());
    CurFileGuard g{Compiler->CurFile()};
    Compiler->setCurFile(this);
    return readToken(ct, cleanIdent);
  }
  return readToken(ct, cleanIdent);
}

TVorToken TAFile::moveNextToken(bool cleanIdent) { return setNextToken(*Compiler->CurToken(), cleanIdent); }

TVorToken TAFile::peekNextToken(bool cleanIdent) {
  const TFilePos saved = position();
  TVorToken t;
  {
    PeekScope scope;
    t = setNextToken(*Compiler->PeekToken(), cleanIdent);
  }
  setLastPeek(position());
  setPosition(saved);
  return t;
}

TVorToken TAFile::expectToken(std::initializer_list<TVorToken> kinds, bool cleanIdent) {
  const TVorToken t = moveNextToken(cleanIdent);
  for (TVorToken k : kinds)
    if (k == t) return t;
  return ttNone;
}

TVorToken TAFile::readToken(TCurrentToken& ct, bool cleanIdent) {
  const char c = moveNextChar(true, false);
  if (isIdentStart(c)) return readIdent(ct, c, cleanIdent);
  if (isDigit(c)) return readNumber(ct, c);
  switch (c) {
    case '\0':
      // A 0 byte inside the text would end it there and drop what follows
      // without a word.
      checkNulByte();
      return ct.setNull();
    case '\'':
    case '"':
      return readString(ct, c);
    case '$':
      return readDollar(ct);
    case '-':
      if (isDigit(at(CurChar + 1))) return readNumber(ct, c);
      break;
    case '[':
      return readBracket(ct);
    default:
      break;
  }
  return ct.setSymbol(c);
}

bool TAFile::onlyBlanksFrom(uint32_t index) const {
  const char* b = Buffer.data();
  for (uint32_t i = index; i < FileLen; ++i)
    if (static_cast<uint8_t>(b[i]) > ' ') return false;
  return true;
}

TVorToken TAFile::readIdent(TCurrentToken& ct, char, bool cleanIdent) {
  TTextCollector text(*this);
  text.add();
  scanRun(*this, text, isIdentChar);
  return cleanIdent ? ct.setCleanIdent(text.view()) : ct.setIdentifier(text.view());
}

namespace {

// Decimal digits with an optional leading "-"; false when the value does not
// fit 64 bits (positive values up to 2^64 - 1 keep their bit pattern).
bool decimalValue(std::string_view s, int64_t& out) {
  const bool neg = !s.empty() && s[0] == '-';
  if (neg) s.remove_prefix(1);
  uint64_t v = 0;
  for (char c : s) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  if (neg) {
    if (v > uint64_t{1} << 63) return false;
    out = static_cast<int64_t>(0 - v);
  } else {
    out = static_cast<int64_t>(v);
  }
  return true;
}

bool hexValue(std::string_view s, int64_t& out) {
  while (s.size() > 1 && s[0] == '0') s.remove_prefix(1);
  if (s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    const uint64_t d = c <= '9' ? static_cast<uint64_t>(c - '0') : static_cast<uint64_t>((c | 0x20) - 'a' + 10);
    v = (v << 4) | d;
  }
  out = static_cast<int64_t>(v);
  return true;
}

}  // namespace

TVorToken TAFile::readNumber(TCurrentToken& ct, char first) {
  const TFilePos start = position();
  TTextCollector text(*this);
  text.add();
  if (first == '0') {
    const TFilePos before = position();
    const char n = moveNextChar(false, false);
    if (n == 'x' || n == 'b') {
      text.add();
      const bool hex = n == 'x';
      if (scanRun(*this, text, hex ? isHexDigit : isBinDigit) == 0)
        fatalAt(hex ? msg::HexNoDigits : msg::BinaryNoDigits, start);
      const std::string_view digits = text.view().substr(2);
      int64_t value = 0;
      if (!hex)
        value = BinToInt(digits);
      else if (!hexValue(digits, value))
        fatalAt(msg::NumberTooLarge, start, {text.view()});
      return ct.setInteger(Int64toSize(value), value, text.view());
    }
    giveBack(before);
  }
  scanRun(*this, text, isDigit);
  const TFilePos before = position();
  if (moveNextChar(false, false) == '.') {
    text.add();
    scanRun(*this, text, isDigit);
    const std::string_view s = text.view();
    long double value = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), value);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
      fatalAt(msg::FloatOutOfRange, start, {s});
    return ct.setFloat(10, value, s);
  }
  giveBack(before);
  int64_t value = 0;
  if (!decimalValue(text.view(), value)) fatalAt(msg::NumberTooLarge, start, {text.view()});
  return ct.setInteger(Int64toSize(value), value, text.view());
}

TVorToken TAFile::readString(TCurrentToken& ct, char quote) {
  const TFilePos open = position();
  TTextCollector text(*this);
  for (;;) {
    // Plain bytes in one run; quotes, escapes, line feeds and 0 bytes one by one.
    {
      const char* b = Buffer.data();
      uint32_t i = CurChar;
      while (i < FileLen && b[i] != quote && b[i] != '\\' && b[i] != '\n' && b[i] != '\0') ++i;
      if (i > CurChar) {
        const uint32_t n = i - CurChar;
        text.addRun(CurChar + 1, n);
        CurLineChar += n;
        CurChar = i;
      }
    }
    const char c = moveNextChar(false, true);
    if (c == quote) break;
    if (c == '\0') {
      checkNulByte();
      fatalAt(msg::UnterminatedString, open);
    }
    if (c != '\\') {
      text.add();
      continue;
    }
    const char e = moveNextChar(false, true);
    switch (e) {
      case '\0':
        checkNulByte();
        fatalAt(msg::UnterminatedString, open);
      case 'n':
        text.put('\n');
        break;
      case 'r':
        text.put('\r');
        break;
      case 't':
        text.put('\t');
        break;
      case 'x': {
        if (expectToken({ttNumber}) == ttNone) unexpected(unx::StringHexEscape);
        const auto value = static_cast<uint8_t>(cur().F_Integer & 0xFF);
        // An 8-bit string takes the byte; a wide string, whose text is
        // UTF-8, the character of that value.
        if (quote == '\'' || value < 0x80) {
          text.put(static_cast<char>(value));
        } else {
          text.put(static_cast<char>(0xC0 | (value >> 6)));
          text.put(static_cast<char>(0x80 | (value & 0x3F)));
        }
        break;
      }
      default:
        text.put(e);
        break;
    }
  }
  return ct.setText(text.view(), quote == '\'' ? ttAnsiString : ttWideString);
}

TVorToken TAFile::readDollar(TCurrentToken& ct) {
  if (!isIdentStart(at(CurChar + 1))) return ct.setSymbol('$');
  peekNextToken(true);
  const TCurrentToken& name = *Compiler->PeekToken();
  if (name.F_Type != ttIdent) return ct.setSymbol('$');
  // The handler reads on and may overwrite the peek token (or ct itself).
  const std::string copy = name.F_String;
  return handle_INBUILT(copy, ct);
}

// Whether the bytes from the 0-based index on are blanks and then a plain
// register name: a name that no declaration can take (registers are resolved
// before the identifier table), with no field path or comment after it.
bool TAFile::registerNameAt(uint32_t i) const {
  const char* b = Buffer.data();
  while (i < FileLen && isControl(b[i])) ++i;
  const uint32_t first = i;
  if (i >= FileLen || !isIdentStart(b[i])) return false;
  while (i < FileLen && isIdentChar(b[i])) ++i;
  if (i < FileLen && (b[i] == '.' || b[i] == '/')) return false;
  return strToReg(std::string_view(b + first, i - first)) != NOT_A_REG;
}

TVorToken TAFile::readBracket(TCurrentToken& ct) {
  const TFilePos open = position();
  // A type cast: "[" type "]" and the token it applies to. A register name
  // cannot be one, so the usual memory operand is read without a look ahead.
  if (registerNameAt(CurChar)) {
    readMemoryOperand(ct, open);
    return ct.F_Type;
  }
  peekNextToken(false);
  const TCurrentToken& pk = *Compiler->PeekToken();
  if (pk.F_Type == ttIdent && pk.F_IdentType == itType) {
    moveLastPeek();
    TVarType* cast = static_cast<TVarType*>(cur().F_Pointer);
    if (moveNextToken(false) != ttSymbol || cur().F_String != "]") unexpected(unx::CastNotClosed);
    const TVorToken t = expectToken({ttIdent, ttRegister, ttNumber, ttSymbol});
    TCurrentToken& c = cur();
    if (t == ttIdent || t == ttRegister || t == ttNumber) {
      const int32_t size = cast ? static_cast<int32_t>(cast->size) : 0;
      c.F_CastType = cast;
      c.F_ByteCount = size;
      c.F_BitCount = static_cast<int32_t>(static_cast<uint32_t>(size) * 8u);
    } else if (t == ttSymbol) {
      if (c.F_String != "@") unexpected(unx::CastSymbol);
      const TVorToken v = moveNextToken(false);
      if (v != ttIdent || (cur().F_IdentType != itGlobalVar && cur().F_IdentType != itLocalVar)) unexpected(unx::CastAddressNotVariable);
      TCurrentToken& var = cur();
      if (auto* v = static_cast<TVar*>(var.F_Pointer)) v->active = 1;
      var.F_CastType = cast;
      var.F_IdentType = var.F_IdentType == itGlobalVar ? itGlobalVarPtr : itLocalVarPtr;
    } else {
      unexpected(unx::CastOperand);
    }
    return deliver(ct);
  }
  // "[]": the symbol "[", with the "]" left to be read.
  if (at(CurChar + 1) == ']') {
    cur().setSymbol('[');
    return deliver(ct);
  }
  readMemoryOperand(ct, open);
  return ct.F_Type;
}

// Items joined by operators up to "]": registers of the pointer size (at most
// two), numbers (a chain of products; "*" before a register makes the scale),
// and one "@" variable. Displacements add up ("-" subtracts); the register
// that carries a scale becomes the index.
class TAFile::TMemoryOperand {
 public:
  TMemoryOperand(TAFile& f, const TFilePos& open) : f_(f), open_(open) {}
  // item { operator item } "]", then the token of the whole operand.
  void read(TCurrentToken& ct);

 private:
  char readOp(unx::Id code);
  void addRegister(TRegister r);
  void setScale(int64_t s, int32_t reg);
  void addDisp(int64_t v, bool negate);
  void needPlus();
  void registerItem(TRegister r);
  void numberItem(int64_t v);
  char product(int64_t& v, TFilePos& numberEnd, unx::Id opCode, bool& scaledRegister);
  void placeNumber(int64_t v);
  void variableItem();

  TAFile& f_;
  const TFilePos& open_;
  TRegister regs_[2] = {REG_NONE, REG_NONE};
  int32_t count_ = 0;
  int32_t scaled_ = -1;  // which register carries the scale
  int64_t scale_ = 0;
  int64_t disp_ = 0;
  TVar* var_ = nullptr;
  bool first_ = true;
  bool afterRegister_ = false;
  char op_ = '\0';  // the operator before the next item
};

// Compiled into readMemoryOperand, as when the reader was one function: it
// runs for every bracket the tokenizer reads.
[[gnu::always_inline]] inline void TAFile::TMemoryOperand::read(TCurrentToken& ct) {
  for (;;) {
    const TVorToken t = f_.expectToken({ttNumber, ttRegister, ttSymbol});
    TCurrentToken& c = cur();
    if (t == ttRegister) {
      registerItem(c.F_Register);
    } else if (t == ttNumber) {
      numberItem(c.F_Integer);
    } else if (t == ttSymbol && c.F_String == "@") {
      variableItem();
    } else if (t == ttSymbol) {
      unexpected(unx::MemOperandSymbol);
    } else {
      if (c.F_Type == ttEOF) f_.fatalAt(msg::UnterminatedMemOperand, open_);
      unexpected(unx::MemOperandItem);
    }
    first_ = false;
    if (op_ == ']') break;
  }
  if (disp_ > int64_t{UINT32_MAX} || disp_ < int64_t{INT32_MIN}) fatal(msg::DisplacementTooLarge);
  if (count_ == 2 && scaled_ == 0) std::swap(regs_[0], regs_[1]);
  ct.setBaseExp(0, count_, regs_[0], regs_[1], disp_, static_cast<int32_t>(scale_), var_);
}

// The operator after an item; a byte that is none stops the compile there.
inline char TAFile::TMemoryOperand::readOp(unx::Id code) {
  const char c = f_.moveNextChar(true, false);
  if (c == '\0') f_.fatalAt(msg::UnterminatedMemOperand, open_);
  if (c != '+' && c != '-' && c != '*' && c != ']') {
    cur().setSymbol(c);
    unexpected(code);
  }
  return c;
}

inline void TAFile::TMemoryOperand::addRegister(TRegister r) {
  if (regSize(r) != ptrSize) fatal(msg::NotBaseOrIndex);
  if (count_ == 2) unexpected(unx::MemOperandThirdRegister);
  regs_[count_++] = r;
}

inline void TAFile::TMemoryOperand::setScale(int64_t s, int32_t reg) {
  if (scaled_ >= 0) unexpected(unx::MemOperandOrder);
  if (s != 1 && s != 2 && s != 4 && s != 8) fatal(msg::BadScale);
  scale_ = s;
  scaled_ = reg;
}

inline void TAFile::TMemoryOperand::addDisp(int64_t v, bool negate) {
  // Bounded to 32 bits below, so the running sum never nears the 64-bit ends.
  if (v > (int64_t{1} << 33) || v < -(int64_t{1} << 33)) fatal(msg::DisplacementTooLarge);
  disp_ += negate ? -v : v;
  if (disp_ > (int64_t{1} << 33) || disp_ < -(int64_t{1} << 33)) fatal(msg::DisplacementTooLarge);
}

// A register, or "@", may only start the operand or follow "+".
inline void TAFile::TMemoryOperand::needPlus() {
  if (!first_ && op_ != '+') unexpected(unx::MemOperandOrder);
}

// A base or index register.
inline void TAFile::TMemoryOperand::registerItem(TRegister r) {
  needPlus();
  addRegister(r);
  afterRegister_ = true;
  op_ = readOp(unx::MemOperandOrder);
}

// A number { "*" number } [ "*" register ]: a displacement, the scale of the
// register before it, or the scale of the register that ends the chain.
inline void TAFile::TMemoryOperand::numberItem(int64_t v) {
  const unx::Id opCode = first_ ? unx::MemOperandFirstOperator : unx::MemOperandOrder;
  TFilePos numberEnd = f_.position();  // where an error about the number points
  bool scaledRegister = false;
  const char next = product(v, numberEnd, opCode, scaledRegister);
  const TFilePos afterOp = f_.position();
  f_.setPosition(numberEnd);
  if (scaledRegister) {
    afterRegister_ = true;
  } else {
    placeNumber(v);
  }
  f_.setPosition(afterOp);
  op_ = next;
}

// The products that follow the number v ("*" number ...), multiplied into v,
// up to the operator that ends them (returned); a register after "*" takes
// the product as its scale and ends the chain.
inline char TAFile::TMemoryOperand::product(int64_t& v, TFilePos& numberEnd, unx::Id opCode, bool& scaledRegister) {
  char next = readOp(opCode);
  while (next == '*') {
    const TVorToken t2 = f_.expectToken({ttNumber, ttRegister});
    if (t2 == ttNumber) {
      int64_t p;
      if (__builtin_mul_overflow(v, cur().F_Integer, &p)) fatal(msg::DisplacementTooLarge);
      v = p;
      numberEnd = f_.position();
      next = readOp(opCode);
    } else if (t2 == ttRegister) {
      needPlus();
      addRegister(cur().F_Register);
      setScale(v, count_ - 1);
      scaledRegister = true;
      return readOp(unx::MemOperandOrder);
    } else {
      unexpected(unx::MemOperandScaleItem);
    }
  }
  return next;
}

// A number by the operator before it: added, subtracted, or the scale of the
// register just before "*".
inline void TAFile::TMemoryOperand::placeNumber(int64_t v) {
  if (first_) {
    addDisp(v, false);
    afterRegister_ = false;
    return;
  }
  switch (op_) {
    case '+':
      addDisp(v, false);
      break;
    case '-':
      addDisp(v, true);
      break;
    case '*':
      if (!afterRegister_) unexpected(unx::MemOperandOrder);
      setScale(v, count_ - 1);
      break;
    default:
      unexpected(unx::MemOperandOrder);
  }
  afterRegister_ = false;
}

// "@" and a global variable, or a function whose pointer variable is global:
// the variable whose address the operand adds.
inline void TAFile::TMemoryOperand::variableItem() {
  needPlus();
  if (var_) fatal(msg::TwoVariablePointers);
  if (f_.moveNextToken(false) != ttIdent) unexpected(unx::MemOperandVariableName);
  TCurrentToken& id = cur();
  if (id.F_IdentType == itGlobalVar) {
    var_ = static_cast<TVar*>(id.F_Pointer);
  } else if (id.F_IdentType == itFunc || id.F_IdentType == itProc) {
    auto* fn = static_cast<TFunction*>(id.F_Pointer);
    var_ = fn ? fn->CallData : nullptr;
    if (!var_) unexpected(unx::MemOperandNotVariable);
  } else {
    unexpected(unx::MemOperandNotVariable);
  }
  if (var_) var_->active = 1;
  afterRegister_ = false;
  op_ = readOp(unx::MemOperandOrder);
}

void TAFile::readMemoryOperand(TCurrentToken& ct, const TFilePos& open) { TMemoryOperand(*this, open).read(ct); }

// ---------------------------------------------------------------------------

TMathOp TAFile::moveNextIfMathOp(bool Signed) {
  const TFilePos saved = position();
  const char c = moveNextChar(true, false);
  TCurrentToken& t = cur();
  // An error about the operator names the byte found.
  if (c == '\0') {
    t.F_Type = ttEOF;
    t.F_String.clear();
  } else {
    t.F_Type = ttSymbol;
    t.F_String.assign(1, c);
  }
  // The byte directly after c; a two-byte operator is consumed whole.
  auto second = [&] { return peekNextRealChar(false); };
  auto two = [&](TMathOp op) {
    setPosition(lastPeek());
    return op;
  };
  auto pick = [&](TMathOp s, TMathOp u) { return Signed ? s : u; };
  char n;
  switch (c) {
    case '/':
      return pick(moDivS, moDivU);
    case '%':
      return moMod;
    case '!':
      if (moveNextChar(false, false) == '=') return moNotEqual;
      break;
    case '&':
      return second() == '=' ? two(moAndEqual) : moAnd;
    case '*':
      return second() == '=' ? two(pick(moMulByS, moMulByU)) : pick(moMulS, moMulU);
    case '+':
      n = second();
      return n == '=' ? two(moAddBy) : n == '+' ? two(moInc) : moAdd;
    case '-':
      n = second();
      return n == '=' ? two(moSubBy) : n == '-' ? two(moDec) : moSub;
    case '<':
      n = second();
      if (n == '>') return two(moNotEqual);
      if (n == '<') return two(moShiftLeft);
      if (n == '=') return two(pick(moLowerSEqual, moLowerUEqual));
      return pick(moLowerS, moLowerU);
    case '=':
      n = second();
      if (n == '=') return two(moIsEqual);
      if (n == '!') return two(moNotEqual);
      if (n == '<') return two(pick(moLowerSEqual, moLowerUEqual));
      if (n == '>') return two(pick(moHigherSEqual, moHigherUEqual));
      return moAssign;
    case '>':
      n = second();
      if (n == '>') return two(moShiftRight);
      if (n == '=') return two(pick(moHigherSEqual, moHigherUEqual));
      return pick(moHigherS, moHigherU);
    case '^':
      return second() == '=' ? two(moXorEqual) : moXor;
    case '|':
      return second() == '=' ? two(moOrEqual) : moOr;
    default:
      break;
  }
  // Not an operator: nothing is consumed.
  setLastPeek(position());
  setPosition(saved);
  return moNone;
}

TMathOp TAFile::moveNextIfInMathOp(bool Signed, std::initializer_list<TMathOp> ina) {
  const TFilePos saved = position();
  const TMathOp op = moveNextIfMathOp(Signed);
  for (TMathOp m : ina)
    if (m == op) return op;
  setLastPeek(position());
  setPosition(saved);
  return moNone;
}

}  // namespace vorak
