// The const and enum statements.
#include "compiler/statements/ConstHandlers.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/preprocessor/Evaluator.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"

namespace vorak {

namespace {

// The expression reader rounds its result to an integer and keeps the exact
// value beside it. A constant whose exact value has a fraction would silently
// change its value, so it is refused as the floating number it is.
void refuseFraction(TCurrentToken& ct, unx::Id code) {
  if (ct.F_Type != ttNumber || ct.F_Extended == static_cast<long double>(ct.F_Integer)) return;
  const long double exact = ct.F_Extended;
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, exact);
  ct.setFloat(10, exact, std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  unexpected(code);
}

// The bounds that an enumeration's items must keep: those of an integer base
// type; any other type's (floating, record) are 0..0, so only 0 fits.
struct TEnumBounds {
  int64_t lower = 0;
  int64_t upper = 0;
  bool isSigned = false;

  explicit TEnumBounds(const TVarType* base) {
    if (!base) return;
    isSigned = base->signed_ != 0;
    if (base->vt == dtInteger) {
      lower = base->int_lower;
      upper = base->int_upper;
    }
  }

  bool contains(int64_t v) const {
    if (isSigned) return v >= lower && v <= upper;
    const auto u = static_cast<uint64_t>(v);
    return u >= static_cast<uint64_t>(lower) && u <= static_cast<uint64_t>(upper);
  }

  // prev + step in the base type's arithmetic; false when it leaves the 64-bit
  // range, where a wrapped sum could land back inside the bounds.
  bool advance(int64_t prev, int32_t step, int64_t& out) const {
    if (isSigned) return !__builtin_add_overflow(prev, static_cast<int64_t>(step), &out);
    const auto up = static_cast<uint64_t>(prev);
    const uint64_t sum = up + static_cast<uint64_t>(static_cast<int64_t>(step));
    if (step > 0 ? sum < up : sum > up) return false;
    out = static_cast<int64_t>(sum);
    return true;
  }
};

[[noreturn]] void outOfBounds() { Log->FatalError(msg::EnumValueOutOfBounds); }

}  // namespace

// const name = value ;   (a number or a string, worked out at compile time)
void handle_CONST() {
  TCompiler& c = *Compiler;
  // Any identifier: a new constant may hide an older name.
  if (c.ExpectToken({ttIdent}) == ttNone) unexpected(unx::Token);
  const std::string name = c.CurToken()->F_String;
  if (!c.ExpectSymbol("=")) unexpected(unx::Token);

  handle_MACROVAR_tokens();
  TCurrentToken& ct = *c.CurToken();
  switch (ct.F_Type) {
    case ttNumber:
      refuseFraction(ct, unx::ConstValue);
      Consts->addConst(name, ctValue, static_cast<uint8_t>(ct.F_ByteCount), ct.F_Integer);
      break;
    case ttAnsiString:
      Consts->addConst(name, ct.F_String, ctAnsiString);
      break;
    case ttWideString:
      Consts->addConst(name, ct.F_String, ctWideString);
      break;
    default:
      unexpected(unx::ConstValue);
  }

  if (!c.ExpectSymbol(";")) unexpected(unx::Token);
}

// enum name : type [ ( step ) ] { [ item [ = value ] { , item [ = value ] } ] }
void handle_ENUM() {
  TCompiler& c = *Compiler;
  if (!c.ExpectFreeIdent()) unexpected(unx::EnumNameReserved);
  const std::string name = c.CurToken()->F_String;
  if (!c.ExpectSymbol(":")) unexpected(unx::EnumColon);
  if (c.ExpectIdentType({itType}) == itNone) unexpected(unx::EnumType);

  // The enumeration's name stands for its base type from here on.
  const auto* base = static_cast<const TVarType*>(c.CurToken()->F_Pointer);
  DefMan->addDefine(name, c.CurToken());
  const TEnumBounds bounds(base);
  const auto size = static_cast<uint8_t>(base ? base->size : 0);

  int32_t step = 1;
  if (c.CurFile()->peekNextRealChar(true) == '(') {
    c.CurFile()->moveNextChar(true, false);
    if (c.ExpectToken({ttNumber}) == ttNone) unexpected(unx::EnumStep);
    step = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(c.CurToken()->F_Integer)));
    if (!c.ExpectSymbol(")")) unexpected(unx::EnumStepClose);
  }
  if (!c.ExpectSymbol("{")) unexpected(unx::EnumOpen);

  if (c.CurFile()->peekNextRealChar(true) != '}') {
    // An item without a value follows the previous one by the step; the
    // first such item of all starts at 0.
    bool first = true;
    int64_t value = 0;
    std::string item;
    for (;;) {
      // A name already taken is reported as written: the token read for it
      // stands for what the name means (a constant's value, a type).
      const bool named = c.CurFile()->peekNextToken(true) == ttIdent;
      const std::string written = named ? c.PeekToken()->F_String : std::string();
      if (!c.ExpectFreeIdent()) fatal(msg::EnumItemRedeclared, named ? written : c.CurToken()->getTokenStr());
      item = c.CurToken()->F_String;
      if (c.CurFile()->peekNextRealChar(true) == '=') {
        c.CurFile()->moveNextChar(true, false);
        handle_MACROVAR_tokens();
        TCurrentToken& ct = *c.CurToken();
        if (ct.F_Type != ttNumber) unexpected(unx::EnumItemValue);
        refuseFraction(ct, unx::EnumItemValue);
        value = ct.F_Integer;
      } else if (!first && !bounds.advance(value, step, value)) {
        outOfBounds();
      }
      first = false;
      if (!bounds.contains(value)) outOfBounds();
      Consts->addConst(item, ctValue, size, value);

      const char next = c.CurFile()->peekNextRealChar(true);
      if (next == ',') {
        c.CurFile()->moveNextChar(true, false);
        continue;
      }
      if (next == '}') break;
      c.CurFile()->moveNextToken(false);  // the message names what stands there
      unexpected(unx::EnumSeparator);
    }
  }
  if (!c.ExpectSymbol("}")) unexpected(unx::EnumClose);
}

}  // namespace vorak
