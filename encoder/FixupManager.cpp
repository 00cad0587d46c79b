// Fixup records: creation and filing.
#include "encoder/FixupManager.h"

#include <stdexcept>

#include "compiler/driver/Common.h"
#include "compiler/driver/Messages.h"
#include "compiler/symbols/FuncManager.h"

namespace vorak {

namespace {

// The fields every fixup record has: its kind, where its field is, the
// field's size, the offset added, the jump form and the record that owns it.
// The mode is the one the code around the field is compiled in: a file may
// change it after, and the builder writes each jump and room in its own.
void describe(TFixup* x, TFixupType ft, uint32_t position, uint8_t size, uint32_t ofs, TJmpType jt, void* parent) {
  x->hint = ft;
  const uint32_t bits = CompileFlags.cpu_bits;
  x->bits = static_cast<uint8_t>(bits == 16 || bits == 32 || bits == 64 ? bits : 0);
  x->position = position;
  x->size = size;
  x->offset = ofs;
  x->jmp = jt;
  x->parentfunc = parent;
}

}  // namespace

TFixupManager::~TFixupManager() {
  for (TFixup* x : F_VarFixupList) delete x;
  F_VarFixupList.clear();
}

TFixup* TFixupManager::getFixup(const TFunction* func, uint32_t index) const {
  if (!func || !func->FixupList) return nullptr;
  const TFixupList& list = fixupList(func);
  return index < list.size() ? list[index] : nullptr;
}

TFixup* TFixupManager::newCodeFixup() {
  if (F_UsedInLast == kFixupsPerBlock) {
    F_Blocks.push_back(std::make_unique<TFixup[]>(kFixupsPerBlock));
    F_UsedInLast = 0;
  }
  return &F_Blocks.back()[F_UsedInLast++];
}

TFixup* TFixupManager::fileInFunction(TFixupType ft, TFunction* func, int32_t pos, uint8_t size,
                                      uint32_t ofs, TJmpType jt, uint32_t& listIndex) {
  TFunction* owner = func;
  uint32_t position = static_cast<uint32_t>(pos);
  if (func) {
    // Unsigned: a negative pos steps back into the code already there.
    position += func->BufLen;
  } else {
    owner = FuncMan ? FuncMan->getFunc(0) : nullptr;
    if (!owner) throw std::logic_error(msg::text(msg::FixupWithoutFunction));
  }
  TFixup* x = newCodeFixup();
  describe(x, ft, position, size, ofs, jt, func);
  TFixupList& list = fixupList(owner);
  listIndex = static_cast<uint32_t>(list.size());
  list.push_back(x);
  return x;
}

uint32_t TFixupManager::addFixup(TFixupType ft, TFunction* func, uint32_t index, int32_t pos,
                                 uint8_t size, uint32_t ofs, TJmpType jt) {
  uint32_t at = 0;
  fileInFunction(ft, func, pos, size, ofs, jt, at)->index = index;
  return at;
}

uint32_t TFixupManager::addFixup(TFixupType ft, TFunction* func, void* dt, int32_t pos,
                                 uint8_t size, uint32_t ofs, TJmpType jt) {
  uint32_t at = 0;
  fileInFunction(ft, func, pos, size, ofs, jt, at)->data = dt;
  return at;
}

uint32_t TFixupManager::addVarFixup(TFixupType ft, TVar* var_, void* dt, int32_t pos,
                                    uint8_t size, uint32_t ofs, TJmpType jt) {
  auto* x = new TFixup();
  describe(x, ft, static_cast<uint32_t>(pos), size, ofs, jt, var_);
  x->data = dt;
  F_VarFixupList.push_back(x);
  return static_cast<uint32_t>(F_VarFixupList.size() - 1);
}

TFixup* TFixupManager::newOwnFixup(TFixupType ft, void* dt, uint8_t size, uint32_t ofs, TJmpType jt) {
  auto* x = new TFixup();
  describe(x, ft, 0, size, ofs, jt, nullptr);
  x->data = dt;
  return x;
}

}  // namespace vorak
