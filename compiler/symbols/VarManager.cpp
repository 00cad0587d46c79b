// Types and variables: built-in types, creation, lookup of record members and
// re-creation of the pointer-sized types.
#include "compiler/symbols/VarManager.h"

#include <algorithm>
#include <string>
#include <utility>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

namespace {

// A new type record; its bounds are the caller's (vt says which pair).
TVarType* newType(std::string_view name, int32_t size, bool dynamicSize, bool isPtr, bool isSigned, TDataType vt) {
  auto* t = new TVarType();
  vorStrAssign(t->name, name);
  t->size = static_cast<uint32_t>(size);
  t->isPointer = isPtr;
  t->dynSize = dynamicSize;
  t->signed_ = isSigned;
  t->vt = vt;
  return t;
}

void disposeType(TVarType* t) noexcept {
  for (TVarField& f : vorArrSpan(t->fields)) disposeVarData(&f.variable);
  vorArrFree(t->fields);
  vorStrFree(t->name);
  delete t;
}

}  // namespace

void disposeVarData(TVar* v) noexcept {
  vorStrFree(v->name);
  vorArrFree(v->content);
  delete v->fixup;
  v->fixup = nullptr;
}

TVarField* findField(const TVarType* type, std::string_view name) {
  if (!type) return nullptr;
  // Member names are stored lower-cased: fold only the asked name, in place.
  auto matches = [name](std::string_view member) {
    if (member.size() != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
      if (lowerChar(name[i]) != member[i]) return false;
    return true;
  };
  const auto fields = vorArrSpan(type->fields);
  const size_t n = std::min<size_t>(type->fieldcount, fields.size());
  for (size_t i = 0; i < n; ++i)
    if (matches(vorStrView(fields[i].variable.name))) return &fields[i];
  return nullptr;
}

TVarManager::TVarManager() {
  struct IntRow {
    const char* name;
    int32_t size;
    int64_t lower, upper;
    bool isPtr, dyn;
  };
  static constexpr IntRow ints[] = {
      {"byte", 1, 0, 255, false, false},
      {"char", 1, 0, 255, false, false},
      {"widechar", 2, 0, 65535, false, false},
      {"wchar", 2, 0, 65535, false, false},
      {"word", 2, 0, 65535, false, false},
      {"pointer", 4, 0, 4294967295LL, true, true},
      {"dword", 4, 0, 4294967295LL, false, false},
      {"qword", 8, 0, -1, false, false},  // all 64 bits set
      {"boolean", 4, 0, 4294967295LL, false, false},
      {"sbyte", 1, -128, 127, false, false},
      {"short", 2, -32768, 32767, false, false},
      {"int8", 1, -128, 127, false, false},
      {"int16", 2, -32768, 32767, false, false},
      {"int32", 4, -2147483648LL, 2147483647LL, false, false},
      {"int64", 8, INT64_MIN, INT64_MAX, false, false},
      {"sysint", 4, -2147483648LL, 2147483647LL, false, true},
      {"sysword", 4, 0, 4294967295LL, false, true},
  };
  for (const IntRow& r : ints) {
    TVarType* t = addType(r.name, r.size, r.lower, r.upper, r.dyn, r.isPtr);
    const std::string_view name = r.name;
    if (name == "pointer") F_PtrType = t;
    if (name == "sysint") F_IntType = t;
    if (name == "sysword") F_UIntType = t;
  }
  static constexpr std::pair<const char*, int32_t> reals[] = {
      {"real4", 4}, {"real8", 8}, {"real10", 10}, {"single", 4}, {"double", 8}, {"extended", 10}};
  for (const auto& [name, size] : reals) addType(name, size, 0.0L, 0.0L, false, false);
}

TVarManager::~TVarManager() {
  for (auto it = F_Vars.rbegin(); it != F_Vars.rend(); ++it) {
    disposeVarData(*it);
    delete *it;
  }
  F_Vars.clear();
  for (TVarType* t : F_VarTypes) disposeType(t);
  F_VarTypes.clear();
}

TVarType* TVarManager::addType(std::string_view strName, int32_t intSize, int64_t lower,
                               int64_t upper, bool dynamicSize, bool isPtr) {
  TVarType* t = newType(strName, intSize, dynamicSize, isPtr, lower < 0, dtInteger);
  t->int_lower = lower;
  t->int_upper = upper;
  return registerType(t, strName);
}

TVarType* TVarManager::addType(std::string_view strName, int32_t intSize, long double lower,
                               long double upper, bool dynamicSize, bool isPtr) {
  TVarType* t = newType(strName, intSize, dynamicSize, isPtr, lower < 0, dtFloat);
  t->real_lower = lower;
  t->real_upper = upper;
  return registerType(t, strName);
}

TVarType* TVarManager::registerType(TVarType* t, std::string_view strName) {
  F_VarTypes.push_back(t);
  if (t->dynSize) F_DynTypes.push_back(t);
  t->ident = Idents->addIdent(itType, strName, t);
  return t;
}

TVar* TVarManager::addVar(TVarMode md, std::string_view strName, TVarType* tp, uint32_t mult,
                          int32_t addr) {
  const uint64_t bytes = static_cast<uint64_t>(tp ? tp->size : 0) * mult;
  if (bytes > UINT32_MAX)
    Log->FatalError(msg::VarBytesTooLarge, strName);
  auto* v = new TVar();
  v->address = addr;
  vorStrAssign(v->name, strName);
  v->mode = md;
  v->type_ = tp;
  v->multiplier = mult;
  v->active = CompileFlags.awd;
  vorArrResize(v->content, static_cast<size_t>(bytes));
  F_Vars.push_back(v);
  // Found by its lower-cased key; the record keeps the name as declared.
  v->ident = Idents->addIdent(md == vmLocal ? itLocalVar : itGlobalVar, strName, v);
  return v;
}

TVar* TVarManager::getVar(uint32_t index) const {
  return index < F_Vars.size() ? F_Vars[index] : nullptr;
}

void TVarManager::resizeVarTypes() {
  const uint32_t bits = static_cast<uint32_t>(ptrSize) * 8;
  const size_t n = F_DynTypes.size();
  for (size_t i = 0; i < n; ++i) {
    TVarType* old = F_DynTypes[i];
    // Already of this size: the mode did not change for it.
    if (old->size == static_cast<uint32_t>(ptrSize)) continue;
    const std::string name(vorStrView(old->name));
    vorStrFree(old->name);
    int64_t lower = 0, upper = 0;
    if (old->signed_) {
      // -2^(bits-1) .. 2^(bits-1)-1; bits of 0 or above 64 are taken as 64.
      const uint32_t b = (bits == 0 || bits > 64) ? 64 : bits;
      upper = static_cast<int64_t>(calcUpper(static_cast<uint8_t>(b - 1)));
      lower = -upper - 1;
    } else {
      upper = static_cast<int64_t>(calcUpper(static_cast<uint8_t>(bits > 64 ? 64 : bits)));
    }
    TVarType* t = addType(name, ptrSize, lower, upper, old->dynSize, old->isPointer);
    // "sysint" and "sysword" stay the pointer-sized defaults in every mode.
    if (old == F_PtrType) F_PtrType = t;
    if (old == F_IntType) F_IntType = t;
    if (old == F_UIntType) F_UIntType = t;
    // addType filed the new record last; it takes the old one's place.
    F_DynTypes.pop_back();
    F_DynTypes[i] = t;
  }
}

}  // namespace vorak
