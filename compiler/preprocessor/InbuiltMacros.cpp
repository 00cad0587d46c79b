// The built-in macro functions ("$" and a name) and the lookup of the
// running macro's variables and parameters.
#include <cmath>
#include <cstdio>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/MacroCalls.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"

namespace vorak {

namespace {

// The next byte other than blanks and line breaks must be c.
void expectChar(char c, unx::Id code) {
  const char got = curFile().moveNextChar(true, false);
  if (got != c) {
    if (got == '\0')
      cur().setNull();
    else
      cur().setSymbol(got);
    unexpected(code);
  }
}

// The next token must be the symbol c.
void expectSymbol(char c, unx::Id code) {
  const char s[2] = {c, '\0'};
  if (!Compiler->ExpectSymbol(std::string_view(s, 1))) unexpected(code);
}

bool isString(TVorToken t) { return t == ttAnsiString || t == ttWideString; }

// The next token must be a string: its text and kind.
TVorToken readString(std::string& text, unx::Id code) {
  const TVorToken t = curFile().moveNextToken(false);
  if (!isString(t)) unexpected(code);
  text = cur().F_String;
  return t;
}

int64_t readNumber(unx::Id code) {
  if (curFile().moveNextToken(false) != ttNumber) unexpected(code);
  return cur().F_Integer;
}

TVorToken setCount(TCurrentToken& ct, int64_t v) { return ct.setInteger(4, v, std::to_string(v)); }

// ---- The built-ins ----

TVorToken handle_INBUILT__e(TCurrentToken& ct) {
  expectSymbol('(', unx::BuiltinEOpen);
  std::string text;
  readString(text, unx::BuiltinEText);
  expectSymbol(')', unx::BuiltinEClose);
  return ct.setIdentifier(text);
}

TVorToken handle_INBUILT_arg(TCurrentToken& ct) {
  expectChar('[', unx::BuiltinOpen);
  const int64_t raw = readNumber(unx::BuiltinOperand);
  expectChar(']', unx::BuiltinSeparator);
  const uint32_t n = static_cast<uint32_t>(static_cast<uint64_t>(raw));
  const TMacroActivation& a = *MacMan->Current();
  const TMacro& m = *a.macro;
  if (m.counted() && n >= m.paramcount)
    Log->FatalError(msg::ArgOutOfBounds, std::to_string(n), std::to_string(m.paramcount));
  const std::string defName = "$arg[" + std::to_string(n) + "]";
  if (n >= a.values.size() || !a.values[n]) return ct.setText("$arg missing parameter", ttAnsiString);
  ct.setCurToken(*a.values[n]);
  ct.F_DefName = defName;
  return ct.F_Type;
}

// The last value of an activation; removed unless peeking.
TVorToken popValue(TMacroActivation& a, TCurrentToken& ct) {
  if (a.values.empty()) return ct.setNull();
  TCurrentToken* v = a.values.back();
  if (v)
    ct.setCurToken(*v);
  else
    ct.setNull();
  if (!CompileFlags.peek_mode) {
    a.values.pop_back();
    MacMan->freeToken(v);
  }
  return ct.F_Type;
}

TVorToken handle_INBUILT_mpop(TCurrentToken& ct) { return popValue(*MacMan->Current(), ct); }
TVorToken handle_INBUILT_gmpop(TCurrentToken& ct) { return popValue(*MacMan->MasterActivation(), ct); }
TVorToken handle_INBUILT_argc(TCurrentToken& ct) { return setCount(ct, MacMan->curpars()); }

// "(x)" with x a number or a float.
const TCurrentToken& readLogArgument() {
  expectChar('(', unx::LogOpen);
  const TVorToken t = curFile().moveNextToken(false);
  if (t != ttNumber && t != ttFloat) unexpected(unx::LogOperand);
  return cur();
}

TVorToken handle_INBUILT_log2(TCurrentToken& ct) {
  const long double x = readLogArgument().F_Extended;
  expectChar(')', unx::LogClose);
  // The logarithm of 0 or of a negative value is no number.
  if (!(x > 0)) Log->FatalError(msg::Log2NotPositive);
  const long double v = std::log2(x);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.18Lg", v);
  return ct.setFloat(10, v, buf);
}

TVorToken handle_INBUILT_log2i(TCurrentToken& ct) {
  const int64_t x = readLogArgument().F_Integer;
  expectChar(')', unx::LogClose);
  return setCount(ct, log2_int(x));
}

TVorToken handle_INBUILT_strcat(TCurrentToken& ct) {
  expectChar('(', unx::StrcatOpen);
  std::string a, b;
  const TVorToken kind = readString(a, unx::StrcatFirst);
  expectChar(',', unx::StrcatComma);
  readString(b, unx::StrcatSecond);
  expectChar(')', unx::StrcatClose);
  a += b;
  return ct.setText(a, kind);
}

// Positions count from 1; a start before the text is its first character,
// and nothing past its end or of a count below 1 is taken.
template <typename Text>
Text cutOut(const Text& s, int64_t start, int64_t count) {
  if (start < 1) start = 1;
  const uint64_t from = static_cast<uint64_t>(start) - 1;
  if (count < 1 || from >= s.size()) return Text();
  return s.substr(from, static_cast<uint64_t>(count));
}

// The position of sub in s from 1, 0 when absent or empty.
template <typename Text>
int64_t positionOf(const Text& s, const Text& sub) {
  const size_t at = sub.empty() ? Text::npos : s.find(sub);
  return at == Text::npos ? 0 : static_cast<int64_t>(at) + 1;
}

TVorToken handle_INBUILT_substr(TCurrentToken& ct) {
  expectChar('(', unx::BuiltinOpen);
  std::string s;
  const TVorToken kind = readString(s, unx::BuiltinOperand);
  expectChar(',', unx::BuiltinSeparator);
  const int64_t start = readNumber(unx::BuiltinOperand);
  expectChar(',', unx::BuiltinSeparator);
  const int64_t count = readNumber(unx::BuiltinOperand);
  expectChar(')', unx::BuiltinClose);
  // An 8-bit string counts bytes, a wide string the UTF-16 units it is
  // stored as (a half of a pair cut off reads as U+FFFD).
  if (kind == ttWideString) return ct.setText(utf16ToUtf8(cutOut(utf8ToUtf16(s), start, count)), kind);
  return ct.setText(cutOut(std::string_view(s), start, count), kind);
}

TVorToken handle_INBUILT_strindex(TCurrentToken& ct) {
  expectChar('(', unx::BuiltinOpen);
  std::string s, sub;
  const TVorToken kind = readString(s, unx::BuiltinOperand);
  expectChar(',', unx::BuiltinSeparator);
  readString(sub, unx::BuiltinOperand);
  expectChar(')', unx::BuiltinClose);
  // Counted as $substr counts the text searched.
  if (kind == ttWideString) return setCount(ct, positionOf(utf8ToUtf16(s), utf8ToUtf16(sub)));
  return setCount(ct, positionOf(std::string_view(s), std::string_view(sub)));
}

[[noreturn]] void handle_INBUILT_incbin() { Log->FatalError(msg::IncbinNotImplemented); }

TVorToken handle_INBUILT_labelref(TCurrentToken& ct) {
  expectSymbol('(', unx::LabelRefOpen);
  expectSymbol(')', unx::LabelRefClose);
  TFunction* label = nullptr;
  if (!CompileFlags.peek_mode) {
    label = FuncMan->CreateFunction(ltRef, nullptr);
    setCalled(label, Compiler->CurFunc());
    Compiler->noteLabelReference(label);
  }
  ct.setCleanIdent("");
  ct.F_IdentType = itLabel;
  ct.F_Pointer = label;
  return ct.F_Type;
}

TVorToken handle_INBUILT__uniquelabel(TCurrentToken& ct) {
  const TFunction* fn = Compiler->CurFunc();
  const std::string tail = "___" + std::to_string(fn ? fn->FuncIndex : 0);
  // The search counts on its own: while peeking the counter stands still,
  // and a name already taken must not be produced again and again.
  uint64_t n = MacMan->uniqID(false);
  std::string name;
  for (;; ++n) {
    name = "___" + std::to_string(n) + tail;
    if (!Idents->findIdent(name, Idents->CurrentScope())) break;
  }
  if (!CompileFlags.peek_mode) MacMan->setUniqID(n + 1);
  return ct.setText(name, ttAnsiString);
}

TVorToken handle_INBUILT_peeknexttext(TCurrentToken& ct) {
  auto* invoker = static_cast<TAFile*>(MacMan->parentStack.top());
  if (!invoker) return ct.setText("", ttAnsiString);
  invoker->peekNextToken(true);
  const std::string text = Compiler->PeekToken()->F_String;
  return ct.setText(text, ttAnsiString);
}

TVorToken handle_INBUILT__internal_get_macro(TCurrentToken& ct) {
  expectSymbol('(', unx::GetMacroOpen);
  const int64_t n = readNumber(unx::GetMacroIndex);
  expectSymbol(')', unx::GetMacroClose);
  TMacro* m = n >= 0 && n <= UINT32_MAX ? MacMan->macroAt(static_cast<uint32_t>(n)) : nullptr;
  if (!m) Log->FatalError(msg::NoMacroOfIndex, std::to_string(n));
  ct.setCleanIdent(m->name);
  ct.F_IdentType = itMacro;
  ct.F_Pointer = m;
  return ct.F_Type;
}

// Names lower-cased into a small buffer; longer ones are no built-in.
constexpr size_t kLongestBuiltin = 19;

}  // namespace

TVorToken handle_PARAMVAR(std::string_view name, TCurrentToken& ct) {
  TMacroActivation& a = *MacMan->Current();
  const TCurrentToken* value = MacMan->findVar(a, name);
  bool found = value != nullptr;
  if (!found) {
    const TMacro& m = *a.macro;
    for (size_t i = 0; i < m.paramNames.size() && !found; ++i) {
      const std::string& p = m.paramNames[i];
      if (p.size() != name.size()) continue;
      size_t k = 0;
      while (k < p.size() && p[k] == lowerChar(name[k])) ++k;
      if (k != p.size()) continue;
      found = true;
      value = i < a.values.size() ? a.values[i] : nullptr;
    }
    if (!found && a.state && name.size() == 5 && lowerCase(name) == "state") {
      found = true;
      value = a.state;
    }
  }
  // Neither: "$" alone, so that "$if" and the like stay directives.
  if (!found) return ct.setSymbol('$');
  takePeeked();
  if (!value) return ct.setText("$" + std::string(name) + " missing parameter", ttAnsiString);
  if (value->F_Type == ttIdent && value->F_Keyword == keyNone && value->F_IdentType == itNone) {
    // A name that named nothing when it was bound: looked up now, on a copy,
    // and a macro it names is not expanded.
    TCurrentToken resolved;
    {
      struct PeekModeOn {
        vbool prev = CompileFlags.peek_mode;
        PeekModeOn() { CompileFlags.peek_mode = 1; }
        ~PeekModeOn() { CompileFlags.peek_mode = prev; }
      } peek;
      resolved.setIdentifier(value->F_String);
    }
    ct.setCurToken(resolved);
  } else {
    ct.setCurToken(*value);
  }
  ct.F_DefName.assign(1, '$');
  ct.F_DefName.append(name);
  return ct.F_Type;
}

TVorToken handle_INBUILT(std::string_view name, TCurrentToken& ct) {
  if (name.size() > kLongestBuiltin) return handle_PARAMVAR(name, ct);
  char buf[kLongestBuiltin];
  for (size_t i = 0; i < name.size(); ++i) buf[i] = lowerChar(name[i]);
  const std::string_view n(buf, name.size());
  using Handler = TVorToken (*)(TCurrentToken&);
  Handler h = nullptr;
  switch (n.size()) {
    case 2:
      if (n == "_e") h = handle_INBUILT__e;
      break;
    case 3:
      if (n == "arg") h = handle_INBUILT_arg;
      break;
    case 4:
      if (n == "mpop") h = handle_INBUILT_mpop;
      else if (n == "argc") h = handle_INBUILT_argc;
      else if (n == "log2") h = handle_INBUILT_log2;
      break;
    case 5:
      if (n == "gmpop") h = handle_INBUILT_gmpop;
      else if (n == "log2i") h = handle_INBUILT_log2i;
      break;
    case 6:
      if (n == "strcat") h = handle_INBUILT_strcat;
      else if (n == "substr") h = handle_INBUILT_substr;
      else if (n == "incbin") {
        takePeeked();
        handle_INBUILT_incbin();
      }
      break;
    case 8:
      if (n == "labelref") h = handle_INBUILT_labelref;
      else if (n == "strindex") h = handle_INBUILT_strindex;
      break;
    case 12:
      if (n == "_uniquelabel") h = handle_INBUILT__uniquelabel;
      else if (n == "peeknexttext") h = handle_INBUILT_peeknexttext;
      break;
    case 19:
      if (n == "_internal_get_macro") h = handle_INBUILT__internal_get_macro;
      break;
    default:
      break;
  }
  if (!h) return handle_PARAMVAR(name, ct);
  // Every built-in first consumes its name.
  takePeeked();
  return h(ct);
}

}  // namespace vorak
