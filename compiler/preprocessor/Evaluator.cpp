// The compile-time expression evaluator: a recursive-descent reader over the
// current source that computes in 80-bit extended precision, with some
// operators on 64-bit and 32-bit integers.
#include "compiler/preprocessor/Evaluator.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Global.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"

namespace vorak {

namespace {

// Deeper nesting of parentheses than any real expression needs; the limit
// keeps a runaway text from exhausting the stack.
constexpr uint32_t kMaxExpressionDepth = 200;

struct OpWord {
  std::string_view word;
  TMathOp op;
};

constexpr OpWord kExpressionWords[] = {{"or", moOr}, {"xor", moXor}};
constexpr OpWord kTermWords[] = {{"mul", moMulU},        {"div", moDivU}, {"shl", moShiftLeft},
                                 {"shr", moShiftRight}, {"and", moAnd},  {"mod", moMod}};

bool sameFolded(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (lowerChar(text[i]) != word[i]) return false;
  return true;
}

// Nearest integer, ties to even. A value with no 64-bit integer nearest to
// it is an invalid operation, as the processor's conversion treats it.
int64_t roundToInt64(long double v) {
  int64_t n = 0;
  if (!nearestInt64(v, n)) throw EInvalidOp();
  return n;
}

int32_t low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

// An extended result that left the finite range.
long double checked(long double v) {
  if (!std::isfinite(v)) throw EOverflow();
  return v;
}

long double divide(long double a, long double b) {
  if (b == 0) {
    if (a == 0) throw EInvalidOp();
    throw EZeroDivide();
  }
  return checked(a / b);
}

// One evaluation: the parser's state shared by the levels.
class TEvaluation {
 public:
  long double evalExpression();

 private:
  long double evalTerm();
  long double evalFactor();
  int32_t evalTermInt();
  int32_t evalFactorInt();

  // After an operand: the level's operator, consumed, or moNone with nothing
  // consumed. Symbols are scanned as operators; an identifier counts when it
  // is one of the level's words.
  TMathOp nextOperator(std::initializer_list<TMathOp> symbols, std::span<const OpWord> words);

  uint32_t F_Depth = 0;
};

TMathOp TEvaluation::nextOperator(std::initializer_list<TMathOp> symbols,
                                  std::span<const OpWord> words) {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->peekNextToken(false);
  if (t == ttSymbol) return f->moveNextIfInMathOp(false, symbols);
  if (t == ttIdent) {
    const std::string& text = Compiler->PeekToken()->F_String;
    for (const OpWord& w : words) {
      if (sameFolded(text, w.word)) {
        f->moveLastPeek();
        return w.op;
      }
    }
  }
  return moNone;
}

long double TEvaluation::evalExpression() {
  if (F_Depth >= kMaxExpressionDepth) Log->FatalError(msg::ExprTooDeep);
  ++F_Depth;
  TAFile* f = Compiler->CurFile();
  // A sign before a digit belongs to the number itself; only a free-standing
  // one is an operator here.
  bool negate = false;
  if (f->peekNextToken(false) == ttSymbol) negate = f->moveNextIfInMathOp(false, {moAdd, moSub}) == moSub;
  long double v = evalTerm();
  if (negate) v = -v;
  for (;;) {
    switch (nextOperator({moOr, moXor, moAdd, moSub}, kExpressionWords)) {
      case moAdd:
        v = checked(v + evalTerm());
        break;
      case moSub:
        v = checked(v - evalTerm());
        break;
      case moOr: {
        const int64_t a = roundToInt64(v);
        v = static_cast<long double>(a | static_cast<int64_t>(evalTermInt()));
        break;
      }
      case moXor: {
        const int64_t a = roundToInt64(v);
        v = static_cast<long double>(a ^ static_cast<int64_t>(evalTermInt()));
        break;
      }
      default:
        --F_Depth;
        return v;
    }
  }
}

long double TEvaluation::evalTerm() {
  long double v = evalFactor();
  for (;;) {
    const TMathOp op = nextOperator(
        {moAnd, moShiftLeft, moShiftRight, moMod, moDivU, moMulU, moDivS, moMulS}, kTermWords);
    switch (op) {
      case moMulU:
      case moMulS:
        v = checked(v * evalFactor());
        break;
      case moDivU:
      case moDivS: {
        const long double d = evalFactor();
        v = divide(v, d);
        break;
      }
      case moShiftLeft:
      case moShiftRight:
      case moAnd:
      case moMod: {
        const int64_t a = roundToInt64(v);
        const int32_t b = evalFactorInt();
        const uint64_t ua = static_cast<uint64_t>(a);
        const unsigned count = static_cast<uint32_t>(b) & 63u;
        int64_t r;
        if (op == moShiftLeft) {
          r = static_cast<int64_t>(ua << count);
        } else if (op == moShiftRight) {
          r = static_cast<int64_t>(ua >> count);
        } else if (op == moAnd) {
          r = a & static_cast<int64_t>(b);
        } else {
          if (b == 0) throw EDivByZero();
          r = b == -1 ? 0 : a % b;  // any value divides by -1 without remainder
        }
        v = static_cast<long double>(r);
        break;
      }
      default:
        return v;
    }
  }
}

int32_t TEvaluation::evalTermInt() {
  int32_t v = evalFactorInt();
  for (;;) {
    const TMathOp op =
        nextOperator({moAnd, moShiftLeft, moShiftRight, moMod, moDivU, moMulU}, kTermWords);
    if (op == moNone) return v;
    const int32_t b = evalFactorInt();
    const uint32_t ua = static_cast<uint32_t>(v);
    const uint32_t ub = static_cast<uint32_t>(b);
    switch (op) {
      case moMulU:
        v = static_cast<int32_t>(ua * ub);
        break;
      case moDivU:
        if (b == 0) throw EDivByZero();
        if (v == INT32_MIN && b == -1) throw EIntOverflow();
        v /= b;
        break;
      case moShiftLeft:
        v = static_cast<int32_t>(ua << (ub & 31u));
        break;
      case moShiftRight:
        v = static_cast<int32_t>(ua >> (ub & 31u));
        break;
      case moAnd:
        v &= b;
        break;
      default:  // moMod
        if (b == 0) throw EDivByZero();
        v = b == -1 ? 0 : v % b;
        break;
    }
  }
}

long double TEvaluation::evalFactor() {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->moveNextToken(false);
  const TCurrentToken& ct = *Compiler->CurToken();
  switch (t) {
    case ttNumber:
      return static_cast<long double>(ct.F_Integer);
    case ttFloat:
      if (!std::isfinite(ct.F_Extended)) throw EInvalidOp();
      return ct.F_Extended;
    case ttSymbol:
      if (ct.F_String == "(") {
        const long double v = evalExpression();
        if (!Compiler->ExpectSymbol(")")) unexpected(unx::ExprClose);
        return v;
      }
      unexpected(unx::ExprSymbol);
    default:
      unexpected(unx::ExprOperand);
  }
}

int32_t TEvaluation::evalFactorInt() {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->moveNextToken(false);
  const TCurrentToken& ct = *Compiler->CurToken();
  switch (t) {
    case ttNumber:
      return low32(ct.F_Integer);
    case ttSymbol:
      if (ct.F_String == "(") {
        const int64_t v = roundToInt64(evalExpression());
        if (!Compiler->ExpectSymbol(")")) unexpected(unx::IntExprClose);
        return low32(v);
      }
      unexpected(unx::IntExprSymbol);
    default:
      unexpected(unx::IntExprOperand);
  }
}

}  // namespace

void handle_MACROVAR_tokens() {
  TAFile* f = Compiler->CurFile();
  if (!f) {
    Compiler->CurToken()->setNull();
    return;
  }
  const TVorToken t = f->peekNextToken(false);
  // Only the symbol "(" opens an expression: a string whose text is "(" is a value.
  const bool expression =
      t == ttNumber || t == ttFloat || (t == ttSymbol && Compiler->PeekToken()->F_String == "(");
  if (!expression) {
    f->moveNextToken(false);
    return;
  }
  TEvaluation evaluation;
  const long double v = evaluation.evalExpression();
  const int64_t rounded = roundToInt64(v);
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, rounded);
  TCurrentToken& ct = *Compiler->CurToken();
  ct.setInteger(ptrSize, rounded, std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  ct.F_Extended = v;
}

}  // namespace vorak
