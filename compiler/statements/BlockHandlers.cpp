// Type declarations: type aliases ("type") and record types ("block").
#include "compiler/statements/BlockHandlers.h"

#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/FunctionHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

// A new name (of a member or a record): not declared, and a name at all.
std::string memberName(unx::Id notIdent, unx::Id declared) {
  if (!Compiler->ExpectFreeIdent()) {
    if (cur().F_Type != ttIdent) unexpected(notIdent);
    unexpected(declared);
  }
  return cur().F_String;
}

// "[n]" dimensions after a member name: the element count.
uint32_t memberCount(unx::Id noNumber, unx::Id noClose) {
  uint64_t count = 1;
  while (peekChar() == '[') {
    takePeeked();
    if (Compiler->ExpectToken({ttNumber}) == ttNone) unexpected(noNumber);
    const int64_t n = cur().F_Integer;
    if (n < 1) fatal(msg::MemberDimensionZero);
    count = mulCapped(count, static_cast<uint64_t>(n));
    if (count > 0xFFFFFFFFull) fatal(msg::MemberTooLarge);
    if (!Compiler->ExpectSymbol("]")) unexpected(noClose);
  }
  return static_cast<uint32_t>(count);
}

TVarField& appendField(TVarType* t) {
  vorArrResize(t->fields, t->fieldcount + 1);
  TVarField& f = t->fields[t->fieldcount];
  t->fieldcount += 1;
  return f;
}

// Byte size of count elements of type, refused above 4 GiB.
uint32_t memberBytes(const TVarType* type, uint32_t count) {
  const uint64_t bytes = uint64_t{type ? type->size : 0} * count;
  if (bytes > 0xFFFFFFFFull) fatal(msg::MemberTooLarge);
  return static_cast<uint32_t>(bytes);
}

void addDataMember(TVarType* t, const std::string& name, TVarType* type, uint32_t count, uint32_t offset) {
  TVarField& f = appendField(t);
  f.ft = vftType;
  vorStrAssign(f.variable.name, lowerCase(name));
  f.variable.address = static_cast<int32_t>(offset);
  f.variable.multiplier = count;
  f.variable.type_ = type;
}

// A member's type, just read: the record being declared has no size yet, so
// it cannot be one of its own members (a pointer to it can).
TVarType* memberType(const TVarType* record) {
  auto* type = static_cast<TVarType*>(cur().F_Pointer);
  if (type == record)
    fatal(msg::RecordHoldsItself, vorStrView(record->name));
  return type;
}

uint64_t grow(uint64_t offset, uint32_t bytes) {
  offset += bytes;
  if (offset > 0xFFFFFFFFull) fatal(msg::RecordTooLarge);
  return offset;
}

// "}" next in f: read, and true; nothing read otherwise.
bool takeClosingBrace(TAFile& f) {
  if (f.peekNextToken(false) != ttSymbol || Compiler->PeekToken()->F_String != "}") return false;
  f.moveLastPeek();
  return true;
}

// The token errors of a data member's line.
struct TMemberCodes {
  unx::Id reserved, declared;  // the name
  unx::Id noNumber, noClose;   // a dimension
  unx::Id noEnd;               // the ";"
};
constexpr TMemberCodes kFieldCodes{unx::RecordNameReserved, unx::FieldNameTaken, unx::FieldDimension,
                                   unx::FieldDimensionClose, unx::FieldEnd};
constexpr TMemberCodes kUnionFieldCodes{unx::UnionFieldReserved, unx::UnionFieldTaken, unx::UnionFieldDimension,
                                        unx::UnionFieldDimensionClose, unx::UnionFieldEnd};

// type name { [ n ] } ;  with the type just read: the member filed at offset
// (a union's names without their type). Its size in bytes.
uint32_t dataMember(TVarType* t, uint64_t offset, const TMemberCodes& codes, bool inUnion) {
  TVarType* type = memberType(t);
  const std::string name = memberName(codes.reserved, codes.declared);
  const uint32_t count = memberCount(codes.noNumber, codes.noClose);
  if (!Compiler->ExpectSymbol(";")) unexpected(codes.noEnd);
  const uint32_t bytes = memberBytes(type, count);
  addDataMember(t, name, type, count, static_cast<uint32_t>(offset));
  Idents->addIdent(itType, name, inUnion ? nullptr : type);
  if (bytes > t->largestfield) t->largestfield = bytes;
  return bytes;
}

// union { member } : the members share one offset, and the union takes the
// room of the largest. The offset after it.
uint64_t unionMember(TVarType* t, uint64_t offset, TAFile& f) {
  if (!Compiler->ExpectSymbol("{")) unexpected(unx::UnionOpen);
  uint32_t largest = 0;
  while (!takeClosingBrace(f)) {
    if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(unx::UnionMemberType);
    const uint32_t bytes = dataMember(t, offset, kUnionFieldCodes, true);
    if (bytes > largest) largest = bytes;
  }
  offset = grow(offset, largest);
  t->size = static_cast<uint32_t>(offset);
  return offset;
}

// procedure ... or function ... : a method of the record, named record$name.
void methodMember(TVarType* t) {
  TFunction* fn = handle_FUNCDECL(-1, t);
  const std::string method(vorStrView(fn->Name));
  TVarField& field = appendField(t);
  field.ft = vftFunc;
  vorStrAssign(field.variable.name, lowerCase(method));
  field.func = fn;
  const std::string full = std::string(vorStrView(t->name)) + "$" + method;
  vorStrAssign(fn->Name, full);
  vorStrAssign(fn->ImportName, full);
}

// The members up to the closing "}", read from the record's source f: the
// size they take.
uint64_t members(TVarType* t, TAFile& f) {
  uint64_t offset = 0;
  for (;;) {
    f.moveNextToken(false);
    TCurrentToken& tk = cur();
    if (tk.F_Type == ttSymbol && tk.F_String == "}") return offset;
    if (tk.F_Type == ttIdent && (tk.F_Keyword == keyProcedure || tk.F_Keyword == keyFunction)) {
      methodMember(t);
      continue;
    }
    if (tk.F_Type == ttIdent && tk.F_Keyword == keyUnion) {
      offset = unionMember(t, offset, f);
      continue;
    }
    if (tk.F_Type != ttIdent || tk.F_IdentType != itType) unexpected(unx::RecordMemberType);
    offset = grow(offset, dataMember(t, offset, kFieldCodes, false));
    t->size = static_cast<uint32_t>(offset);
  }
}

}  // namespace

// type name = type ;
void handle_TYPE() {
  if (!Compiler->ExpectFreeIdent()) unexpected(unx::TypeRedeclared);
  const std::string name = cur().F_String;
  if (!Compiler->ExpectSymbol("=")) unexpected(unx::TypeEquals);
  if (Compiler->ExpectIdentType({itType}) == itNone) unexpected(unx::TypeTarget);
  void* type = cur().F_Pointer;
  if (!Compiler->ExpectSymbol(";")) unexpected(unx::TypeEnd);
  // Found by its lower-cased key; the identifier keeps the name as declared.
  Idents->addIdent(itType, name, type);
}

// block name { member ; | union { member ; } | procedure ... | function ... }
void handle_BLOCK() {
  const std::string typeName = memberName(unx::RecordNameReserved, unx::RecordNameTaken);
  TVarType* t = VarMan->addType(typeName, 0, int64_t{0}, int64_t{0}, false, false);
  if (!Compiler->ExpectSymbol("{")) unexpected(unx::RecordOpen);
  uint64_t offset = 0;
  TAFile& f = curFile();
  if (!takeClosingBrace(f)) {
    Idents->upScope();
    offset = members(t, f);
    Idents->deleteScope(SSL_SCOPE_MAX);
  }
  if (offset == 0) {
    addDataMember(t, "", VarMan->PtrType(), 1, 0);
    t->size = static_cast<uint32_t>(ptrSize);
    t->largestfield = static_cast<uint32_t>(ptrSize);
  }
}

}  // namespace vorak
