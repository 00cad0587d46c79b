// Identifier resolution: what a name read from the source denotes (keywords
// and pseudo-functions, registers and their field paths, segments, flags,
// x87/MMX/XMM registers, then the identifier table), and the token that an
// assembler operand stands for.
#include <charconv>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/preprocessor/MacroCalls.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/TokenSymbols.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

// The decimal text of a value, without a heap string.
class DecimalText {
 public:
  explicit DecimalText(int64_t v) {
    const auto r = std::to_chars(buf_, buf_ + sizeof buf_, v);
    len_ = static_cast<size_t>(r.ptr - buf_);
  }
  std::string_view view() const { return {buf_, len_}; }

 private:
  char buf_[24];
  size_t len_ = 0;
};

// Reads any one token from the current file into the current token.
TVorToken readAny(bool cleanIdent = false) {
  TAFile* f = Compiler->CurFile();
  return f ? f->moveNextToken(cleanIdent) : cur().setNull();
}

bool expectSymbol(std::string_view s) { return Compiler->ExpectSymbol(s); }

// The byte right after the name just read, in the current file.
char byteAfterName() {
  const TAFile* f = Compiler->CurFile();
  return f ? f->at(f->CurChar + 1) : '\0';
}

void setSize(TCurrentToken& t, int64_t size) {
  t.F_ByteCount = static_cast<int32_t>(size);
  t.F_BitCount = static_cast<int32_t>(static_cast<uint32_t>(size) * 8u);
}

int32_t sizeOfType(const TVarType* t) { return t ? static_cast<int32_t>(t->size) : 0; }

bool isVariable(TIdentType it) { return it == itGlobalVar || it == itLocalVar; }

// The text of a dotted path while it is read; the field names are read as
// clean names, so no other resolution runs while it is in use.
std::string& pathText() {
  static std::string text;
  return text;
}

// A token to keep a copy in while resolution reads ahead. Resolutions nest
// (a type before a bracket whose items are names), so there is one per
// depth; they are kept, and reused, for the whole run.
class ScratchToken {
 public:
  ScratchToken() {
    if (depth_ == pool().size()) pool().push_back(std::make_unique<TCurrentToken>());
    token_ = pool()[depth_++].get();
  }
  ~ScratchToken() { --depth_; }
  ScratchToken(const ScratchToken&) = delete;
  ScratchToken& operator=(const ScratchToken&) = delete;
  TCurrentToken& operator*() const { return *token_; }

 private:
  static std::vector<std::unique_ptr<TCurrentToken>>& pool() {
    static std::vector<std::unique_ptr<TCurrentToken>> tokens;
    return tokens;
  }
  static inline size_t depth_ = 0;
  TCurrentToken* token_;
};

// ---- pseudo-functions ----

TVorToken pseudoDefined(TCurrentToken& self) {
  if (!expectSymbol("(")) unexpected(unx::DefinedOpen);
  if (Compiler->ExpectToken({ttAnsiString}) == ttNone) unexpected(unx::DefinedName);
  const bool found = DefMan && DefMan->getDefine(cur().F_String) != nullptr;
  if (!expectSymbol(")")) unexpected(unx::DefinedClose);
  const std::string_view text = found ? "true" : "false";
  self.setInteger(4, found ? 1 : 0, text);
  self.F_DefName.assign(text);
  return self.F_Type;
}

// The type a variable token stands for: the data member its field path ends
// at, else the variable's own type.
TVarType* variableType(const TCurrentToken& a) {
  return a.F_MemberType ? a.F_MemberType : static_cast<const TVar*>(a.F_Pointer)->type_;
}

TVorToken pseudoSizeOf(TCurrentToken& self) {
  const TVorToken t = Compiler->ExpectToken({ttRegister, ttIdent, ttAnsiString, ttWideString});
  if (t == ttNone) unexpected(unx::SizeOfOperand);
  const TCurrentToken& a = cur();
  int64_t size = a.F_ByteCount;
  // A whole variable counts all its elements, and a field path all the
  // elements of the member it ends at.
  if (t == ttIdent && isVariable(a.F_IdentType) && a.F_Pointer) {
    if (a.F_String.find('.') == std::string::npos) {
      const auto* v = static_cast<const TVar*>(a.F_Pointer);
      size = static_cast<int64_t>(v->type_ ? v->type_->size : 0) * v->multiplier;
    } else if (a.F_MemberCount > 1) {
      size *= a.F_MemberCount;
    }
  }
  return self.setInteger(4, size, DecimalText(size).view());
}

TVorToken pseudoOrd(TCurrentToken& self) {
  if (!expectSymbol("(")) unexpected(unx::PseudoOpen);
  const TVorToken t = Compiler->ExpectToken({ttRegister, ttAnsiString});
  if (t == ttNone) unexpected(unx::OrdOperand);
  const int64_t value = t == ttRegister ? regID(cur().F_Register) : StrOrd(cur().F_String);
  if (!expectSymbol(")")) unexpected(unx::PseudoClose);
  return self.setInteger(4, value, DecimalText(value).view());
}

TVorToken pseudoCastType(TCurrentToken& self) {
  if (!expectSymbol("(")) unexpected(unx::PseudoOpen);
  const TVorToken t = Compiler->ExpectToken({ttIdent, ttRegister, ttNumber});
  if (t == ttNone) unexpected(unx::CastTypeOperand);
  const TCurrentToken& a = cur();
  TVarType* type = a.F_CastType;
  if (!type && t == ttIdent && isVariable(a.F_IdentType) && a.F_Pointer) type = variableType(a);
  if (!type && t == ttRegister) type = registerAssumedType(a.F_Register);
  if (!type && VarMan) type = VarMan->UIntType();
  if (!expectSymbol(")")) unexpected(unx::PseudoClose);
  self.setNull();
  self.F_Type = ttIdent;
  self.F_IdentType = itType;
  self.F_Pointer = type;
  setSize(self, sizeOfType(type));
  self.F_String.assign(type ? vorStrView(type->name) : std::string_view());
  return self.F_Type;
}

// isptrtype and issignedtype: the cast type, else the type named or the
// variable's type.
TVorToken pseudoTypeFlag(TCurrentToken& self, bool pointer) {
  if (!expectSymbol("(")) unexpected(unx::PseudoOpen);
  const TIdentType it = Compiler->ExpectIdentType({itType, itGlobalVar, itLocalVar});
  if (it == itNone) unexpected(unx::TypeFlagOperand);
  const TCurrentToken& a = cur();
  const TVarType* type = a.F_CastType;
  if (!type && it == itType) type = static_cast<const TVarType*>(a.F_Pointer);
  if (!type && isVariable(it) && a.F_Pointer) type = variableType(a);
  const int64_t value = type && (pointer ? type->isPointer : type->signed_) ? 1 : 0;
  if (!expectSymbol(")")) unexpected(unx::TypeFlagClose);
  return self.setInteger(4, value, DecimalText(value).view());
}

TVorToken pseudoTokenText(TCurrentToken& self) {
  if (!expectSymbol("(")) unexpected(unx::PseudoOpen);
  readAny();
  const TVorToken kind = cur().F_Type == ttWideString ? ttWideString : ttAnsiString;
  const std::string text = cur().F_String;
  if (!expectSymbol(")")) unexpected(unx::PseudoClose);
  return self.setText(text, kind);
}

TVorToken pseudoTokenType(TCurrentToken& self) {
  if (!expectSymbol("(")) unexpected(unx::TokenTypeOpen);
  const int64_t kind = readAny();
  if (!expectSymbol(")")) unexpected(unx::TokenTypeClose);
  return self.setInteger(4, kind, DecimalText(kind).view());
}

// ---- field paths ----

struct FieldPath {
  uint32_t offset = 0;
  int32_t size = 0;
  bool sized = false;
  const TVarField* method = nullptr;
  uint32_t count = 0;  // of the last data member
  TVarType* type = nullptr;
};

// Reads ".name" steps while the next byte that is not a blank is "." and
// follows them from type; a method ends the path. The names go to pathText().
FieldPath readFieldPath(TVarType* type, unx::Id notIdentCode, unx::Id noFieldCode) {
  FieldPath p;
  std::string& text = pathText();
  while (peekChar() == '.') {
    takePeeked();
    if (readAny(true) != ttIdent) unexpected(notIdentCode);
    const std::string& name = cur().F_String;
    const TVarField* field = findField(type, name);
    if (!field) unexpected(noFieldCode);
    text += '.';
    text += name;
    if (field->ft == vftFunc) {
      p.method = field;
      break;
    }
    p.offset += static_cast<uint32_t>(field->variable.address);
    type = field->variable.type_;
    p.size = sizeOfType(type);
    p.sized = true;
    p.count = field->variable.multiplier;
    p.type = type;
  }
  return p;
}

TIdentType methodKind(const TVarField* method) {
  return method->func && method->func->Type_ == ltFunc ? itFuncThis : itProcThis;
}

// "reg.field.field": a memory operand on the register; a path ending at a
// method gives the method, with the register as its object.
TVorToken resolveRegisterPath(TCurrentToken& self, TRegister reg, TVarType* assumed) {
  std::string& text = pathText();
  text.assign(regToStr(reg));
  const FieldPath p = readFieldPath(assumed, unx::RegisterFieldName, unx::RegisterFieldUnknown);
  self.setNull();
  self.F_Type = ttBaseExp;
  self.F_Count = 1;
  self.F_Register = reg;
  self.F_Register_2 = REG_NONE;
  self.F_Extra.Offset = p.offset;
  if (p.sized) setSize(self, p.size);
  self.F_String.assign(text);
  if (!p.method) {
    self.F_MemberCount = p.count;
    self.F_MemberType = p.type;
    return self.F_Type;
  }
  auto* op = new TOperand();
  op->setRegister(self.getSigned(), reg);
  self.F_Operand = op;
  self.F_Pointer = p.method->func;
  self.F_Type = ttIdent;
  self.F_IdentType = methodKind(p.method);
  return self.F_Type;
}

// "var.field.field": the variable with the summed member offset; a path ending
// at a method gives the method, with the variable (at that offset) as its
// object.
TVorToken resolveVariablePath(TCurrentToken& self, const TIdent& id, TVar* v) {
  std::string& text = pathText();
  text.assign(id.name);
  const FieldPath p = readFieldPath(v->type_, unx::VariableFieldName, unx::VariableFieldUnknown);
  self.setNull();
  self.F_Type = ttIdent;
  self.F_IdentType = id.type_;
  self.F_Pointer = v;
  self.F_Extra.Offset = p.offset;
  setSize(self, p.sized ? p.size : sizeOfType(v->type_));
  self.F_String.assign(text);
  if (!p.method) {
    self.F_MemberCount = p.count;
    self.F_MemberType = p.type;
    return self.F_Type;
  }

  v->active = 1;
  const bool iss = self.getSigned();
  auto* op = new TOperand();
  TFunction* fn = Compiler->CurFunc();
  if (id.type_ == itLocalVar) {
    // The object's address: its stack slot, at the member's offset.
    Compiler->stackSlot(*op, iss, v, static_cast<int32_t>(p.offset), static_cast<uint32_t>(ptrSize), nullptr);
    op->hint = otMemRef;
  } else {
    op->setPointer(iss, otVarRef, fn, v, 0);
    op->displacement = static_cast<int32_t>(p.offset);
  }
  self.F_Operand = op;
  self.F_Pointer = p.method->func;
  self.F_IdentType = methodKind(p.method);
  setSize(self, ptrSize);
  return self.F_Type;
}

// A type name, or "T*" for the pointer type to T, may be followed by a memory
// operand, which it then sizes and types.
TVorToken resolveType(TCurrentToken& self, TVarType* type) {
  self.F_Keyword = keyNone;
  TAFile* f = Compiler->CurFile();
  bool peekAlways = false;
  if (f && byteAfterName() == '*') {
    f->moveNextChar(false, false);
    // Looked up and declared before anything else is read.
    std::string& name = pathText();
    name.assign(type ? vorStrView(type->name) : std::string_view());
    name += '*';
    const PIdent found = Idents->findIdent(name, Idents->CurrentScope());
    if (found && found->type_ == itType) {
      type = static_cast<TVarType*>(found->ptr);
    } else {
      type = VarMan->addType(name, ptrSize, int64_t{0}, static_cast<int64_t>(calcUpper(static_cast<uint8_t>(ptrSize * 8))),
                             true, true);
    }
    self.F_String.assign(vorStrView(type->name));
    peekAlways = true;
  }
  const int32_t size = sizeOfType(type);
  if (f && (peekAlways || peekChar() == '[')) {
    TCurrentToken* peek = Compiler->PeekToken();
    TCurrentToken* current = Compiler->CurToken();
    ScratchToken scratch;
    TCurrentToken& saved = *scratch;
    saved.setCurToken(*peek);
    f->peekNextToken(false);
    const bool memory = peek->F_Type == ttBaseExp;
    if (memory) f->moveLastPeek();
    // The peek token is put back (when it is this token, so is the name).
    peek->setCurToken(saved);
    if (memory) {
      setSize(*current, size);
      if (&self != current) self.setCurToken(*current);
      self.F_Pointer = type;
      setSize(self, size);
      return self.F_Type;
    }
  }
  self.F_Pointer = type;
  setSize(self, size);
  return self.F_Type;
}

TVorToken resolveFromTable(TCurrentToken& self, std::string_view str) {
  const PIdent id = Idents ? Idents->findIdent(str, Idents->CurrentScope()) : nullptr;
  if (!id) return self.F_Type;  // undeclared: the handlers decide
  self.F_IdentType = id->type_;
  self.F_String.assign(id->name);
  switch (id->type_) {
    case itReservedKeyword:
      return self.F_Type;
    case itConst: {
      const auto* c = static_cast<const TConst*>(id->ptr);
      switch (c ? c->type_ : 0xFF) {
        case ctAnsiString:
          return self.setText(vorStrView(c->str), ttAnsiString);
        case ctWideString:
          return self.setText(vorStrView(c->str), ttWideString);
        case ctValue:
          return self.setInteger(c->size, c->int_, DecimalText(c->int_).view());
        case ctFloat:
          return self.setFloat(c->size, c->ext, vorStrView(c->str));
        default:
          unexpected(unx::ConstKindUnknown);
      }
    }
    case itType:
      return resolveType(self, static_cast<TVarType*>(id->ptr));
    case itGlobalVar:
    case itLocalVar: {
      if (id->type_ == itLocalVar && id->scope != Idents->CurrentScope())
        fatal(msg::LocalNotShared);
      auto* v = static_cast<TVar*>(id->ptr);
      if (v && peekChar() == '.') return resolveVariablePath(self, *id, v);
      self.F_Pointer = v;
      setSize(self, v ? sizeOfType(v->type_) : 0);
      self.F_Extra.Offset = 0;
      return self.F_Type;
    }
    case itFunc:
    case itProc:
    case itLabel:
      self.F_Pointer = id->ptr;
      return self.F_Type;
    case itDefine:
      if (id->ptr) self.setCurToken(*static_cast<const TCurrentToken*>(id->ptr));
      return self.F_Type;
    case itMacro:
      if (CompileFlags.peek_mode) {
        self.F_Pointer = id->ptr;
        return self.F_Type;
      }
      return expandMacroName(static_cast<TMacro*>(id->ptr), self);
    default:
      fatal(msg::UnknownIdentType);
  }
}

// "st", "mm", "xmm" and with an index 0-7 ("st3", "mm7", "xmm0"); case counts.
bool fpuRegister(std::string_view s, TVorToken& kind, int64_t& index) {
  auto idx = [&](std::string_view rest) {
    if (rest.empty()) {
      index = 0;
      return true;
    }
    if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '7') {
      index = rest[0] - '0';
      return true;
    }
    return false;
  };
  if (s.size() >= 2 && s.size() <= 3 && (s.substr(0, 2) == "st" || s.substr(0, 2) == "mm")) {
    kind = ttSTreg;
    return idx(s.substr(2));
  }
  if (s.size() >= 3 && s.size() <= 4 && s.substr(0, 3) == "xmm") {
    kind = ttXMMreg;
    return idx(s.substr(3));
  }
  return false;
}

}  // namespace

TVorToken TCurrentToken::setIdentifier(std::string_view str) {
  // Resetting the token would wipe a name that is this token's own text.
  const std::less<const char*> before;
  if (!str.empty() && !before(str.data(), F_String.data()) && before(str.data(), F_String.data() + F_String.size())) {
    const std::string own(str);
    return setIdentifier(own);
  }
  // Registers first: they are the most frequent names, and no register name
  // is a keyword. Every register name starts with one of these (a-d, e,
  // gp_, r, s).
  const char c0 = str.empty() ? '\0' : lowerChar(str[0]);
  const uint8_t reg = (c0 >= 'a' && c0 <= 'e') || c0 == 'g' || c0 == 'r' || c0 == 's' ? strToReg(str) : NOT_A_REG;
  if (reg != NOT_A_REG) {
    const auto r = static_cast<TRegister>(reg);
    TVarType* assumed = registerAssumedType(r);
    if (!assumed || byteAfterName() != '.') return setRegister(r, str);
  }
  setNull();
  F_Type = ttIdent;
  F_String.assign(str);
  F_ByteCount = static_cast<int32_t>(str.size() + 1);
  F_BitCount = F_ByteCount * 8;
  if (reg != NOT_A_REG) {
    const auto r = static_cast<TRegister>(reg);
    return resolveRegisterPath(*this, r, registerAssumedType(r));
  }
  F_Keyword = findKeyword(str);

  switch (F_Keyword) {
    case keyNone:
      break;
    case keyDefined:
      return pseudoDefined(*this);
    case keySizeOf:
      return pseudoSizeOf(*this);
    case keyOrd:
      return pseudoOrd(*this);
    case keyCastType:
      return pseudoCastType(*this);
    case keyIsPtrType:
      return pseudoTypeFlag(*this, true);
    case keyIsSignedType:
      return pseudoTypeFlag(*this, false);
    case keyTokenText:
      return pseudoTokenText(*this);
    case keyTokenType:
      return pseudoTokenType(*this);
    default:
      F_IdentType = itReservedKeyword;
      return F_Type;
  }

  const uint8_t seg = strToSeg(str);
  if (seg != NOT_A_SEG) return setSegment(static_cast<TSegment>(seg), str);
  if (str.size() >= 9 && str.size() <= 14) {  // the flag names' lengths
    const uint8_t flag = strToFlag(str);
    if (flag != NOT_A_FLAG) return setFlag(flag, str);
  }
  TVorToken kind;
  int64_t index;
  // The byte count keeps the register file apart: st and mm share a kind.
  if (fpuRegister(str, kind, index)) {
    const uint32_t width = kind == ttXMMreg ? 0 : str[0] == 'm' ? MM_REGISTER_SIZE : ST_REGISTER_SIZE;
    return setType(kind, static_cast<int32_t>(width), index, str);
  }
  return resolveFromTable(*this, str);
}

TVorToken TCurrentToken::setFromOperand(const TOperand* op, std::string_view name) {
  switch (op->hint) {
    case otRegister:
      return setRegister(op->reg_base, regToStr(op->reg_base));
    case otSegment:
      return setSegment(op->seg, segToStr(op->seg));
    case otImm:
      return setInteger(static_cast<int32_t>(op->size), op->value, DecimalText(op->value).view());
    case otVar:
    case otVarRef:
    case otMemRef:
    case otMem: {
      // Only a variable record can be the token's variable pointer.
      const bool refersToVar = op->hint == otVar || op->hint == otVarRef || op->optype == otVar ||
                               op->optype == otVarRef;
      return setBaseExp(static_cast<int32_t>(op->size), op->reg_count, op->reg_base, op->reg_index,
                        op->displacement, op->scale, refersToVar ? static_cast<TVar*>(op->data) : nullptr);
    }
    case otST:
    case otXMM: {
      // The register's own name, so that it resolves as that register again.
      char text[8] = {'s', 't'};
      size_t n = 2;
      if (op->isMMXRegister()) text[0] = text[1] = 'm';
      if (op->hint == otXMM) {
        text[0] = 'x';
        text[1] = 'm';
        text[2] = 'm';
        n = 3;
      }
      const auto r = std::to_chars(text + n, text + sizeof text, op->value);
      return setIdentifier(std::string_view(text, static_cast<size_t>(r.ptr - text)));
    }
    case otLabel:
      if (name.empty()) fatal(msg::OperandLabelUnnamed);
      return setIdentifier(name);
    case otFlag:
      setInteger(1, op->value, DecimalText(op->value).view());
      F_Type = ttFlag;
      return F_Type;
    case otSegLabel:
      fatal(msg::OperandSegLabel);
    case otLabelRef:
      fatal(msg::OperandLabelRef);
    case otConst:
      fatal(msg::OperandConst);
    default:
      fatal(msg::OperandKindUnknown);
  }
}

}  // namespace vorak
