// The compile-time expression evaluator: a recursive-descent reader over the
// current source that computes in 80-bit extended precision, with the
// integer operators on 64-bit integers.
#include "compiler/preprocessor/Evaluator.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
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

// A value of the extended level with the operator that gave it, so that a
// value beyond 64 bits can be reported where it came from.
struct TValue {
  long double v = 0;
  std::string_view by;  // the operator as written; empty for an operand itself
};

// One evaluation: the parser's state shared by the levels. The extended
// level computes in 80-bit precision (every 64-bit integer is exact there, as
// is every sum or product within 64 bits); the integer operators work on the
// 64-bit values of both sides, as the instructions of the same name do.
class TEvaluation {
 public:
  TValue evalExpression();
  // The nearest 64-bit integer, ties to even; a value with none stops the
  // compile, naming the operator that gave it.
  static int64_t toInt(const TValue& x);

 private:
  TValue evalTerm();
  TValue evalFactor();
  int64_t evalTermInt();
  int64_t evalFactorInt();

  // After an operand: the level's operator, consumed, or moNone with nothing
  // consumed. Symbols are scanned as operators; an identifier counts when it
  // is one of the level's words. F_OpText is the operator as written.
  TMathOp nextOperator(std::initializer_list<TMathOp> symbols, std::span<const OpWord> words);
  // An extended result of the operator by that left the finite range
  // stops the compile.
  static long double checked(long double v, std::string_view by);
  // a + b, a - b and a * b: an integer result of integer operands that 80
  // bits cannot hold exactly (it lies beyond 64 bits and lost low bits)
  // stops the compile, as the final value would be another number than the
  // one written. Other inexact results are those of floating numbers.
  static long double sum(long double a, long double b, std::string_view by);
  static long double product(long double a, long double b, std::string_view by);
  // a op b for the integer operators, on 64-bit values; by is the operator
  // as written.
  static int64_t integerOp(TMathOp op, std::string_view by, int64_t a, int64_t b);

  uint32_t F_Depth = 0;
  std::string_view F_OpText;
};

int64_t TEvaluation::toInt(const TValue& x) {
  int64_t n = 0;
  if (nearestInt64(x.v, n)) return n;
  if (x.by.empty()) fatal(msg::ExprValueTooLarge);
  fatal(msg::ExprResultTooLarge, x.by);
}

long double TEvaluation::checked(long double v, std::string_view by) {
  if (!std::isfinite(v)) fatal(msg::ExprResultTooLarge, by);
  return v;
}

bool integral(long double v) { return std::truncl(v) == v; }

long double TEvaluation::sum(long double a, long double b, std::string_view by) {
  const long double r = checked(a + b, by);
  if (integral(a) && integral(b)) {
    // The rounding error of the sum, exactly (two-sum).
    const long double bb = r - a;
    if ((a - (r - bb)) + (b - bb) != 0) fatal(msg::ExprResultTooLarge, by);
  }
  return r;
}

long double TEvaluation::product(long double a, long double b, std::string_view by) {
  const long double r = checked(a * b, by);
  if (integral(a) && integral(b) && std::fmal(a, b, -r) != 0) fatal(msg::ExprResultTooLarge, by);
  return r;
}

int64_t TEvaluation::integerOp(TMathOp op, std::string_view by, int64_t a, int64_t b) {
  const auto ua = static_cast<uint64_t>(a);
  switch (op) {
    case moAnd: return a & b;
    case moOr: return a | b;
    case moXor: return a ^ b;
    case moShiftLeft:
    case moShiftRight:
      // The processor takes the count modulo 64; a count written outside
      // 0-63 is taken for a mistake rather than for another count.
      if (b < 0 || b > 63) fatal(msg::ExprShiftCount, by, std::to_string(b));
      return static_cast<int64_t>(op == moShiftLeft ? ua << b : ua >> b);
    case moMulU:
    case moMulS: {
      int64_t r = 0;
      if (__builtin_mul_overflow(a, b, &r)) fatal(msg::ExprResultTooLarge, by);
      return r;
    }
    case moDivU:
    case moDivS:
      if (b == 0) fatal(msg::ExprDivisionByZero, by);
      if (a == INT64_MIN && b == -1) fatal(msg::ExprResultTooLarge, by);
      return a / b;
    default:  // moMod: the sign of the left side; any value divides by -1
      if (b == 0) fatal(msg::ExprDivisionByZero, by);
      return b == -1 ? 0 : a % b;
  }
}

TMathOp TEvaluation::nextOperator(std::initializer_list<TMathOp> symbols,
                                  std::span<const OpWord> words) {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->peekNextToken(false);
  if (t == ttSymbol) {
    const TMathOp op = f->moveNextIfInMathOp(false, symbols);
    F_OpText = mo2str(op);
    return op;
  }
  if (t == ttIdent) {
    const std::string& text = Compiler->PeekToken()->F_String;
    for (const OpWord& w : words) {
      if (sameFolded(text, w.word)) {
        f->moveLastPeek();
        F_OpText = w.word;
        return w.op;
      }
    }
  }
  return moNone;
}

TValue TEvaluation::evalExpression() {
  if (F_Depth >= kMaxExpressionDepth) Log->FatalError(msg::ExprTooDeep);
  ++F_Depth;
  TAFile* f = Compiler->CurFile();
  // A sign before a digit belongs to the number itself; only a free-standing
  // one is an operator here.
  bool negate = false;
  if (f->peekNextToken(false) == ttSymbol) negate = f->moveNextIfInMathOp(false, {moAdd, moSub}) == moSub;
  TValue x = evalTerm();
  if (negate) x = {-x.v, "-"};
  for (;;) {
    const TMathOp op = nextOperator({moOr, moXor, moAdd, moSub}, kExpressionWords);
    switch (op) {
      case moAdd:
      case moSub: {
        const std::string_view by = F_OpText;
        const TValue b = evalTerm();
        x = {sum(x.v, op == moAdd ? b.v : -b.v, by), by};
        break;
      }
      case moOr:
      case moXor: {
        const std::string_view by = F_OpText;
        const int64_t a = toInt(x);
        const int64_t b = evalTermInt();
        x = {static_cast<long double>(integerOp(op, by, a, b)), by};
        break;
      }
      default:
        --F_Depth;
        return x;
    }
  }
}

TValue TEvaluation::evalTerm() {
  TValue x = evalFactor();
  for (;;) {
    const TMathOp op = nextOperator(
        {moAnd, moShiftLeft, moShiftRight, moMod, moDivU, moMulU, moDivS, moMulS}, kTermWords);
    switch (op) {
      case moMulU:
      case moMulS: {
        const std::string_view by = F_OpText;
        const TValue b = evalFactor();
        x = {product(x.v, b.v, by), by};
        break;
      }
      case moDivU:
      case moDivS: {
        const std::string_view by = F_OpText;
        const long double d = evalFactor().v;
        if (d == 0) fatal(msg::ExprDivisionByZero, by);
        x = {checked(x.v / d, by), by};
        break;
      }
      case moShiftLeft:
      case moShiftRight:
      case moAnd:
      case moMod: {
        const std::string_view by = F_OpText;
        const int64_t a = toInt(x);
        const int64_t b = evalFactorInt();
        x = {static_cast<long double>(integerOp(op, by, a, b)), by};
        break;
      }
      default:
        return x;
    }
  }
}

int64_t TEvaluation::evalTermInt() {
  int64_t v = evalFactorInt();
  for (;;) {
    const TMathOp op =
        nextOperator({moAnd, moShiftLeft, moShiftRight, moMod, moDivU, moMulU}, kTermWords);
    if (op == moNone) return v;
    const std::string_view by = F_OpText;
    const int64_t b = evalFactorInt();
    v = integerOp(op, by, v, b);
  }
}

TValue TEvaluation::evalFactor() {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->moveNextToken(false);
  const TCurrentToken& ct = *Compiler->CurToken();
  switch (t) {
    case ttNumber:
      return {static_cast<long double>(ct.F_Integer), {}};
    case ttFloat:
      if (!std::isfinite(ct.F_Extended)) fatal(msg::ExprValueTooLarge);
      return {ct.F_Extended, {}};
    case ttSymbol:
      if (ct.F_String == "(") {
        const TValue v = evalExpression();
        if (!Compiler->ExpectSymbol(")")) unexpected(unx::ExprClose);
        return v;
      }
      unexpected(unx::ExprSymbol);
    default:
      unexpected(unx::ExprOperand);
  }
}

int64_t TEvaluation::evalFactorInt() {
  TAFile* f = Compiler->CurFile();
  const TVorToken t = f->moveNextToken(false);
  const TCurrentToken& ct = *Compiler->CurToken();
  switch (t) {
    case ttNumber:
      return ct.F_Integer;
    case ttSymbol:
      if (ct.F_String == "(") {
        const int64_t v = toInt(evalExpression());
        if (!Compiler->ExpectSymbol(")")) unexpected(unx::IntExprClose);
        return v;
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
  const TValue x = evaluation.evalExpression();
  const long double v = x.v;
  const int64_t rounded = TEvaluation::toInt(x);
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, rounded);
  TCurrentToken& ct = *Compiler->CurToken();
  ct.setInteger(ptrSize, rounded, std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  ct.F_Extended = v;
}

}  // namespace vorak
