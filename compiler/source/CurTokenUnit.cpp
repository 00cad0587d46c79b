// The token record: setters, deep copy, message texts and the keyword list.
#include "compiler/source/CurTokenUnit.h"

#include <charconv>
#include <cstring>
#include <iterator>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Utils.h"
#include "compiler/symbols/TokenSymbols.h"

namespace vorak {

namespace {

struct KeywordText {
  std::string_view text;
  TKeyword key;
};

// In keyword order, so Key2String can index it.
constexpr KeywordText kKeywords[] = {
    {"program", keyProgram},     {"const", keyConst},
    {"imports", keyImports},     {"procedure", keyProcedure},
    {"function", keyFunction},   {"stdcall", keyStdcall},
    {"if", keyIf},               {"elseif", keyElseif},
    {"else", keyElse},           {"repeat", keyRepeat},
    {"until", keyUntil},         {"while", keyWhile},
    {"continue", keyContinue},   {"break", keyBreak},
    {"block", keyBlock},         {"return", keyReturn},
    {"uses", keyUses},           {"inline", keyInline},
    {"tokentype", keyTokenType}, {"type", keyType},
    {"as", keyAs},               {"enum", keyEnum},
    {"union", keyUnion},         {"ord", keyOrd},
    {"exports", keyExports},     {"entry", keyEntry},
    {"sizeof", keySizeOf},       {"tokentext", keyTokenText},
    {"casttype", keyCastType},   {"isptrtype", keyIsPtrType},
    {"issignedtype", keyIsSignedType}, {"exitif", keyExitIf},
    {"emacro", keyEMacro},       {"cdecl", keyCDecl},
    {"msx64", keyMSX64},         {"__try", key__Try},
    {"__except", key__Except},   {"case", keyCase},
    {"state", keyState},         {"default", keyDefault},
    {"defined", keyDefined},
};
static_assert(std::size(kKeywords) == key__TOTAL - 1);

constexpr size_t kLongestKeyword = 12;

constexpr bool keywordsInOrder() {
  for (size_t i = 0; i < std::size(kKeywords); ++i) {
    if (kKeywords[i].key != static_cast<TKeyword>(i + 1)) return false;
    if (kKeywords[i].text.size() > kLongestKeyword) return false;
  }
  return true;
}
static_assert(keywordsInOrder());

}  // namespace

TCurrentToken::TCurrentToken() = default;

TCurrentToken::~TCurrentToken() { delete F_Operand; }

void TCurrentToken::setSize(int32_t bytecount) {
  F_ByteCount = bytecount;
  F_BitCount = static_cast<int32_t>(static_cast<uint32_t>(bytecount) * 8u);
}

TVorToken TCurrentToken::setInteger(int32_t bytecount, int64_t Int, std::string_view str) {
  return setType(ttNumber, bytecount, Int, str);
}

TVorToken TCurrentToken::setFloat(int32_t bytecount, long double fl, std::string_view str) {
  setNull();
  F_Type = ttFloat;
  F_Extended = fl;
  F_Integer = nearestInt64Saturated(fl);
  F_String.assign(str);
  setSize(bytecount);
  return F_Type;
}

TVorToken TCurrentToken::setType(TVorToken tt, int32_t bytecount, int64_t Int, std::string_view str) {
  setNull();
  F_Type = tt;
  F_Integer = Int;
  F_Extended = static_cast<long double>(Int);
  F_String.assign(str);
  setSize(bytecount);
  return F_Type;
}

TVorToken TCurrentToken::setRegister(TRegister reg, std::string_view str) {
  setNull();
  F_Type = ttRegister;
  F_Register = reg;
  F_Integer = reg;
  F_String.assign(str);
  setSize(regSize(reg));
  F_CastType = registerAssumedType(reg);
  return F_Type;
}

TVorToken TCurrentToken::setSegment(TSegment seg, std::string_view str) {
  setNull();
  F_Type = ttSegment;
  F_Segment = seg;
  F_Integer = seg;
  F_String.assign(str);
  return F_Type;
}

TVorToken TCurrentToken::setFlag(uint8_t flag, std::string_view str) {
  setNull();
  F_Type = ttFlag;
  F_Integer = flag;
  F_String.assign(str);
  return F_Type;
}

TVorToken TCurrentToken::setCleanIdent(std::string_view str) {
  setNull();
  F_Type = ttIdent;
  F_String.assign(str);
  setSize(static_cast<int32_t>(str.size() + 1));
  return F_Type;
}

TVorToken TCurrentToken::setText(std::string_view str, TVorToken textType) {
  setNull();
  F_Type = textType;
  F_String.assign(str);
  // What the constant takes: the bytes and a zero byte, or for a wide
  // string its UTF-16 units and a zero unit.
  const size_t size = textType == ttWideString ? 2 * (utf16Length(str) + 1) : str.size() + 1;
  setSize(static_cast<int32_t>(size));
  return F_Type;
}

TVorToken TCurrentToken::setSymbol(char c) {
  setNull();
  F_Type = ttSymbol;
  F_String.assign(1, c);
  setSize(1);
  return F_Type;
}

TVorToken TCurrentToken::setLabel(void* lbl, std::string_view str) {
  setNull();
  F_Type = ttIdent;
  F_IdentType = itLabel;
  F_Pointer = lbl;
  F_String.assign(str);
  setSize(ptrSize);
  return F_Type;
}

TVorToken TCurrentToken::setBaseExp(int32_t size, int32_t regCount, TRegister reg1, TRegister reg2,
                                    int64_t disp, int32_t scale, TVar* va) {
  setNull();
  F_Type = ttBaseExp;
  F_Count = regCount;
  F_Register = reg1;
  F_Register_2 = reg2;
  F_Scale = scale;
  F_Extra.Displacement = disp;
  F_VarPtr = va;
  setSize(size);
  // The text for messages, "(4) [ebx+esi*4+16]", with the numbers written
  // in place (the token's text keeps its capacity from token to token).
  std::string& t = F_String;
  auto number = [&t](int64_t v) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, v);
    t.append(digits, static_cast<size_t>(r.ptr - digits));
  };
  if (regCount > 0) {
    t += '(';
    number(size);
    t += ") [";
    t += regToStr(reg1);
  }
  if (regCount > 1) {
    t += '+';
    t += regToStr(reg2);
  }
  if (scale > 0) {
    t += '*';
    number(scale);
  }
  if (disp > 0) {
    t += '+';
    number(disp);
  } else if (disp < 0) {
    t += '-';
    number(-disp);
  }
  t += ']';
  return F_Type;
}

void TCurrentToken::setCurToken(const TCurrentToken& tk) {
  if (&tk == this) return;
  TOperand* op = tk.F_Operand ? new TOperand(*tk.F_Operand) : nullptr;
  delete F_Operand;
  F_Operand = op;
  F_Type = tk.F_Type;
  F_IdentType = tk.F_IdentType;
  F_Keyword = tk.F_Keyword;
  F_String = tk.F_String;
  F_Register = tk.F_Register;
  F_Segment = tk.F_Segment;
  F_Integer = tk.F_Integer;
  F_Count = tk.F_Count;
  F_Extended = tk.F_Extended;
  F_Pointer = tk.F_Pointer;
  F_DefName = tk.F_DefName;
  F_ByteCount = tk.F_ByteCount;
  F_BitCount = tk.F_BitCount;
  F_ParType = tk.F_ParType;
  F_CastType = tk.F_CastType;
  F_Register_2 = tk.F_Register_2;
  F_Scale = tk.F_Scale;
  F_VarPtr = tk.F_VarPtr;
  F_Extra = tk.F_Extra;
  F_MemberCount = tk.F_MemberCount;
  F_MemberType = tk.F_MemberType;
}

std::string TCurrentToken::getTokenStr() const {
  const std::string_view kind = Token2String(F_Type, F_IdentType);
  std::string s;
  if (F_Type == ttEOF) return std::string(kind);
  s.reserve(kind.size() + F_String.size() + 3);
  s.append(kind);
  s += ' ';
  if (F_Type == ttAnsiString) {
    s += '\'';
    s += F_String;
    s += '\'';
  } else if (F_Type == ttWideString) {
    s += '"';
    s += F_String;
    s += '"';
  } else {
    s += F_String;
  }
  return s;
}

bool TCurrentToken::getSigned() const {
  if (F_CastType) return typeSigned(F_CastType);
  // A field path (on a variable or a register) is its last data member.
  if (F_MemberType) return typeSigned(F_MemberType);
  if (F_Type == ttNumber) return true;
  if (F_Type != ttIdent || !F_Pointer) return false;
  switch (F_IdentType) {
    case itConst: return constIsValue(static_cast<const TConst*>(F_Pointer));
    case itType: return typeSigned(static_cast<const TVarType*>(F_Pointer));
    case itGlobalVar:
    case itLocalVar: return varSigned(static_cast<const TVar*>(F_Pointer));
    default: return false;
  }
}

namespace {
// Every name the tokenizer reads is looked up here, so the keywords are
// bucketed by length and first letter ("_" has its own slot): a name meets at
// most the few keywords that share both.
constexpr size_t kFirstSlots = 27;
inline size_t firstSlot(char lower) { return lower == '_' ? 26 : static_cast<size_t>(lower - 'a'); }

struct KeywordBuckets {
  uint8_t first[kLongestKeyword + 1][kFirstSlots] = {};  // 1 + index into kKeywords, 0 = none
  uint8_t next[std::size(kKeywords)] = {};                // same encoding
};

constexpr KeywordBuckets makeBuckets() {
  KeywordBuckets b;
  for (size_t i = std::size(kKeywords); i-- > 0;) {
    const std::string_view t = kKeywords[i].text;
    const size_t slot = t[0] == '_' ? 26 : static_cast<size_t>(t[0] - 'a');
    b.next[i] = b.first[t.size()][slot];
    b.first[t.size()][slot] = static_cast<uint8_t>(i + 1);
  }
  return b;
}
constexpr KeywordBuckets kBuckets = makeBuckets();
}  // namespace

TKeyword findKeyword(std::string_view key) {
  if (key.empty() || key.size() > kLongestKeyword) return keyNone;
  const char c0 = lowerChar(key[0]);
  if ((c0 < 'a' || c0 > 'z') && c0 != '_') return keyNone;
  uint8_t k = kBuckets.first[key.size()][firstSlot(c0)];
  if (k == 0) return keyNone;
  char buf[kLongestKeyword];
  for (size_t i = 0; i < key.size(); ++i) buf[i] = lowerChar(key[i]);
  for (; k; k = kBuckets.next[k - 1])
    if (std::memcmp(kKeywords[k - 1].text.data(), buf, key.size()) == 0) return kKeywords[k - 1].key;
  return keyNone;
}

TCallingConvention Key2Convention(TKeyword key) {
  switch (key) {
    case keyCDecl: return ccCDecl;
    case keyMSX64: return ccMSX64;
    default: return ccStdcall;
  }
}

std::string_view Key2String(TKeyword key) {
  if (key == keyNone || key >= key__TOTAL) return {};
  return kKeywords[key - 1].text;
}

std::string_view Token2String(TVorToken id, TIdentType vt) {
  switch (id) {
    case ttNone: return "<ERR 1000>";
    case ttEOF: return "EOF";
    case ttSymbol: return "symbol";
    case ttIdent:
      switch (vt) {
        case itNone: return "ident";
        case itReservedKeyword: return "reserved keyword";
        case itConst: return "const";
        case itType: return "data type";
        case itGlobalVar: return "global variable";
        case itLocalVar: return "local variable/parameter";
        case itFunc:
        case itFuncThis: return "function";
        case itProc:
        case itProcThis: return "procedure";
        case itLabel: return "label";
        case itDefine: return "definition";
        case itMacro: return "macro";
        case itGlobalVarPtr:
        case itLocalVarPtr: return "var pointer";
        default: return "<ERR 2000>";
      }
    case ttNumber: return "number";
    case ttFloat: return "float";
    case ttSegment: return "segment";
    case ttRegister: return "register";
    case ttSTreg: return "x87 register";
    case ttXMMreg: return "XMM register";
    case ttBaseExp: return "expression";
    case ttAnsiString: return "ansi string";
    case ttWideString: return "wide string";
    case ttFlag: return "flag";
    case ttEFlag: return "eflag";
    default: return {};
  }
}

}  // namespace vorak
