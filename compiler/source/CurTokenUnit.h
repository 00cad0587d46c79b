// The one token record of the compiler, with the token kinds, keywords and
// the texts used to describe a token in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "encoder/Operand.h"
#include "plugins/PluginRecords.h"

namespace vorak {

struct TVarType;
struct TVar;
struct TConst;

enum TKeyword : uint8_t {
  keyNone, keyProgram, keyConst, keyImports, keyProcedure, keyFunction, keyStdcall, keyIf,
  keyElseif, keyElse, keyRepeat, keyUntil, keyWhile, keyContinue, keyBreak, keyBlock, keyReturn,
  keyUses, keyInline, keyTokenType, keyType, keyAs, keyEnum, keyUnion, keyOrd, keyExports,
  keyEntry, keySizeOf, keyTokenText, keyCastType, keyIsPtrType, keyIsSignedType, keyExitIf,
  keyEMacro, keyCDecl, keyMSX64, key__Try, key__Except, keyCase, keyState, keyDefault,
  keyDefined, key__TOTAL
};
static_assert(key__TOTAL == 42);

enum TParamType : uint8_t { ptPARAM = 0, ptCALLEE = 1 };

// A variable's member offset, or a memory expression's displacement as
// written (up to 32 bits either way round; the encoder decides what the
// mode's field holds). Both fill all 64 bits.
union TTokenExtra {
  uint64_t Offset;
  int64_t Displacement;
};

class TCurrentToken {
 public:
  TCurrentToken();
  ~TCurrentToken();
  TCurrentToken(const TCurrentToken&) = delete;
  TCurrentToken& operator=(const TCurrentToken&) = delete;

  // Resets every field but ParType and releases the owned operand; the
  // setters below start with it, so nothing of the previous token survives.
  TVorToken setNull();  // inline below: every setter starts with it
  TVorToken setInteger(int32_t bytecount, int64_t Int, std::string_view str);
  // Value becomes fl's nearest integer, ties to even (saturating at the Int64 bounds).
  TVorToken setFloat(int32_t bytecount, long double fl, std::string_view str);
  TVorToken setType(TVorToken tt, int32_t bytecount, int64_t Int, std::string_view str);
  // CastType becomes the type currently assumed for the register.
  TVorToken setRegister(TRegister reg, std::string_view str);
  TVorToken setSegment(TSegment seg, std::string_view str);
  TVorToken setFlag(uint8_t flag, std::string_view str);
  TVorToken setCleanIdent(std::string_view str);
  TVorToken setText(std::string_view str, TVorToken textType);
  TVorToken setSymbol(char c);
  TVorToken setLabel(void* lbl, std::string_view str);
  TVorToken setBaseExp(int32_t size, int32_t regCount, TRegister reg1, TRegister reg2, int64_t disp,
                       int32_t scale, TVar* va);
  // Resolves a name into this token: keywords and the pseudo-functions,
  // registers (with field paths through an assumed type), segments, flags,
  // x87/MMX/XMM registers, then the identifier table (constants, types,
  // variables with field paths, functions, labels, defines, macros).
  // Arguments and look-ahead are read from the compiler's current file.
  TVorToken setIdentifier(std::string_view str);
  // The token that stands for an assembler operand (macro arguments).
  TVorToken setFromOperand(const TOperand* op, std::string_view name);
  // Makes this token a deep copy of tk (the owned operand is copied).
  void setCurToken(const TCurrentToken& tk);
  // The token described for messages: "register eax", "ansi string 'ab'", "EOF".
  std::string getTokenStr() const;
  // Whether the token's value is signed: a cast type decides, else the data
  // member a field path ends at, else a number is signed, and constants,
  // types and variables answer through their records.
  bool getSigned() const;

  TVorToken F_Type = ttEOF;
  TIdentType F_IdentType = itNone;
  TKeyword F_Keyword = keyNone;
  std::string F_String;
  TRegister F_Register = REG_EAX;
  TSegment F_Segment = SEG_CS;
  int64_t F_Integer = 0;
  int32_t F_Count = 0;
  long double F_Extended = 0;
  void* F_Pointer = nullptr;
  TOperand* F_Operand = nullptr;  // owned
  std::string F_DefName;
  int32_t F_ByteCount = 0;
  int32_t F_BitCount = 0;
  TParamType F_ParType = ptPARAM;
  TVarType* F_CastType = nullptr;
  TRegister F_Register_2 = REG_EAX;
  int32_t F_Scale = 0;
  TVar* F_VarPtr = nullptr;
  TTokenExtra F_Extra{0};
  // The data member a field path (on a variable or a register) ends at: its
  // element count and type, which an element index counts in and whose sign
  // the path takes; 0 and nil for a whole variable.
  uint32_t F_MemberCount = 0;
  TVarType* F_MemberType = nullptr;

 private:
  void setSize(int32_t bytecount);
};

inline TVorToken TCurrentToken::setNull() {
  delete F_Operand;
  F_Operand = nullptr;
  F_Type = ttEOF;
  F_Keyword = keyNone;
  F_IdentType = itNone;
  F_String.clear();
  F_DefName.clear();
  F_Register = REG_EAX;
  F_Register_2 = REG_EAX;
  F_Segment = SEG_CS;
  F_Integer = 0;
  F_Count = 0;
  F_Extended = 0;
  F_ByteCount = 0;
  F_BitCount = 0;
  F_Scale = 0;
  F_Extra.Offset = 0;
  F_CastType = nullptr;
  F_Pointer = nullptr;
  F_VarPtr = nullptr;
  F_MemberCount = 0;
  F_MemberType = nullptr;
  return ttEOF;
}

// Keyword spelled by a text (A-Z folded), or keyNone.
TKeyword findKeyword(std::string_view key);
TCallingConvention Key2Convention(TKeyword key);
std::string_view Key2String(TKeyword key);
std::string_view Token2String(TVorToken id, TIdentType vt);

}  // namespace vorak
