// Types and variables: the built-in types, variable records, members and the
// re-created pointer-sized types.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using VarManagerTest = test::FreshVorak;

struct BuiltIn {
  const char* name;
  uint32_t size;
  bool isFloat, isSigned;
  int64_t lower, upper;
  bool isPointer, dynSize;
};

// The built-in types in their registration order.
constexpr BuiltIn kBuiltIns[] = {
    {"byte", 1, false, false, 0, 255, false, false},
    {"char", 1, false, false, 0, 255, false, false},
    {"widechar", 2, false, false, 0, 65535, false, false},
    {"wchar", 2, false, false, 0, 65535, false, false},
    {"word", 2, false, false, 0, 65535, false, false},
    {"pointer", 4, false, false, 0, 0xFFFFFFFFLL, true, true},
    {"dword", 4, false, false, 0, 0xFFFFFFFFLL, false, false},
    {"qword", 8, false, false, 0, static_cast<int64_t>(0xFFFFFFFFFFFFFFFFull), false, false},
    {"boolean", 4, false, false, 0, 0xFFFFFFFFLL, false, false},
    {"sbyte", 1, false, true, -128, 127, false, false},
    {"short", 2, false, true, -32768, 32767, false, false},
    {"int8", 1, false, true, -128, 127, false, false},
    {"int16", 2, false, true, -32768, 32767, false, false},
    {"int32", 4, false, true, -2147483648LL, 2147483647LL, false, false},
    {"int64", 8, false, true, INT64_MIN, INT64_MAX, false, false},
    {"sysint", 4, false, true, -2147483648LL, 2147483647LL, false, true},
    {"sysword", 4, false, false, 0, 0xFFFFFFFFLL, false, true},
    {"real4", 4, true, false, 0, 0, false, false},
    {"real8", 8, true, false, 0, 0, false, false},
    {"real10", 10, true, false, 0, 0, false, false},
    {"single", 4, true, false, 0, 0, false, false},
    {"double", 8, true, false, 0, 0, false, false},
    {"extended", 10, true, false, 0, 0, false, false},
};

TEST_F(VarManagerTest, FreshManagerHoldsTheBuiltInTypesInOrder) {
  const auto& types = VarMan->TypeList();
  ASSERT_EQ(types.size(), std::size(kBuiltIns));
  for (size_t i = 0; i < types.size(); ++i) {
    const BuiltIn& b = kBuiltIns[i];
    const TVarType* t = types[i];
    SCOPED_TRACE(b.name);
    EXPECT_EQ(vorStrView(t->name), b.name);
    EXPECT_EQ(t->size, b.size);
    EXPECT_EQ(t->signed_, b.isSigned);
    EXPECT_EQ(t->isPointer, b.isPointer);
    EXPECT_EQ(t->dynSize, b.dynSize);
    EXPECT_EQ(t->fieldcount, 0u);
    EXPECT_EQ(t->fields, nullptr);
    EXPECT_EQ(t->largestfield, 0u);
    if (b.isFloat) {
      EXPECT_EQ(t->vt, dtFloat);
      EXPECT_EQ(t->real_lower, 0.0L);
      EXPECT_EQ(t->real_upper, 0.0L);
    } else {
      EXPECT_EQ(t->vt, dtInteger);
      EXPECT_EQ(t->int_lower, b.lower);
      EXPECT_EQ(t->int_upper, b.upper);
    }
  }
  EXPECT_EQ(types[5], VarMan->PtrType());
  EXPECT_EQ(types[15], VarMan->IntType());
  EXPECT_EQ(types[16], VarMan->UIntType());
  EXPECT_TRUE(VarMan->VarList().empty());
}

TEST_F(VarManagerTest, EveryBuiltInTypeIsDeclaredAsAType) {
  for (const TVarType* t : VarMan->TypeList()) {
    const PIdent id = Idents->findIdent(vorStrView(t->name), Idents->CurrentScope());
    ASSERT_NE(id, nullptr) << vorStrView(t->name);
    EXPECT_EQ(id->type_, itType);
    EXPECT_EQ(id->ptr, t);
    EXPECT_EQ(Idents->getIdent(t->ident), id);
  }
  EXPECT_EQ(Idents->findIdent("DWORD", 0)->ptr, VarMan->TypeList()[6]);
}

TEST_F(VarManagerTest, SignedFollowsTheLowerBound) {
  TVarType* neg = VarMan->addType("Minus", 2, int64_t{-1}, int64_t{5}, false, false);
  TVarType* pos = VarMan->addType("Plus", 2, int64_t{0}, int64_t{5}, false, false);
  TVarType* real = VarMan->addType("Temp", 8, -1.5L, 99.0L, false, false);
  EXPECT_TRUE(neg->signed_);
  EXPECT_FALSE(pos->signed_);
  EXPECT_TRUE(real->signed_);
  EXPECT_EQ(real->vt, dtFloat);
  EXPECT_EQ(real->real_upper, 99.0L);
  EXPECT_EQ(vorStrView(neg->name), "Minus");  // case kept
  EXPECT_EQ(VarMan->TypeList().back(), real);
}

TEST_F(VarManagerTest, VariableGetsZeroContentOfSizeTimesMultiplier) {
  TVarType* dword = VarMan->TypeList()[6];
  TVar* v = VarMan->addVar(vmGlobal, "Counter", dword, 4, 0);
  EXPECT_EQ(vorStrView(v->name), "Counter");
  EXPECT_EQ(v->mode, vmGlobal);
  EXPECT_EQ(v->type_, dword);
  EXPECT_EQ(v->multiplier, 4u);
  EXPECT_EQ(v->address, 0);
  EXPECT_FALSE(v->initialised);
  EXPECT_EQ(v->symbolindex, 0u);
  EXPECT_EQ(v->fixup, nullptr);
  ASSERT_NE(v->content, nullptr);
  uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<const char*>(v->content) - 4, 4);
  EXPECT_EQ(count, 16u);
  for (uint8_t b : vorArrSpan(v->content)) EXPECT_EQ(b, 0);
  EXPECT_EQ(VarMan->getVar(0), v);
  const PIdent id = Idents->findIdent("counter", Idents->CurrentScope());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itGlobalVar);
  EXPECT_EQ(id->ptr, v);
  EXPECT_EQ(id->name, "Counter");  // found by its lower-cased key, named as declared
  EXPECT_EQ(Idents->getIdent(v->ident), id);
}

TEST_F(VarManagerTest, LocalKeepsItsNegativeAddress) {
  TVar* v = VarMan->addVar(vmLocal, "tmp", VarMan->TypeList()[0], 1, -8);
  EXPECT_EQ(v->mode, vmLocal);
  EXPECT_EQ(v->address, -8);
  EXPECT_EQ(vorArrCount(v->content), 1u);
  const PIdent id = Idents->findIdent("TMP", Idents->CurrentScope());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itLocalVar);
  EXPECT_EQ(id->ptr, v);
}

TEST_F(VarManagerTest, ActiveFollowsTheAwdFlag) {
  CompileFlags.awd = 0;
  EXPECT_FALSE(VarMan->addVar(vmGlobal, "a", VarMan->UIntType(), 1, 0)->active);
  CompileFlags.awd = 1;
  EXPECT_TRUE(VarMan->addVar(vmGlobal, "b", VarMan->UIntType(), 1, 0)->active);
}

TEST_F(VarManagerTest, GetVarPastTheEndIsNil) {
  EXPECT_EQ(VarMan->getVar(0), nullptr);
  VarMan->addVar(vmGlobal, "x", VarMan->UIntType(), 1, 0);
  EXPECT_NE(VarMan->getVar(0), nullptr);
  EXPECT_EQ(VarMan->getVar(1), nullptr);
  EXPECT_EQ(VarMan->getVar(0xFFFFFFFFu), nullptr);
}

TEST_F(VarManagerTest, VariableOverFourGigabytesIsFatal) {
  TVarType* big = VarMan->addType("big", 0x10000, int64_t{0}, int64_t{0}, false, false);
  ::testing::internal::CaptureStdout();
  EXPECT_THROW(VarMan->addVar(vmGlobal, "huge", big, 0x10000, 0), EAbort);  // 2^32 bytes
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[13011] Variable \"huge\" is larger than 4294967295 bytes"), std::string::npos) << out;
  EXPECT_TRUE(VarMan->VarList().empty());
  // No elements: no content at all.
  EXPECT_EQ(VarMan->addVar(vmGlobal, "none", big, 0, 0)->content, nullptr);
}

// A record type with two members, as the record block builds it.
TVarType* recordType() {
  TVarType* t = VarMan->addType("TPoint", 8, int64_t{0}, int64_t{0}, false, false);
  vorArrResize(t->fields, 2);
  t->fieldcount = 2;
  const char* names[] = {"x", "ylong"};
  for (uint32_t i = 0; i < 2; ++i) {
    t->fields[i].ft = vftType;
    vorStrAssign(t->fields[i].variable.name, names[i]);
    t->fields[i].variable.address = static_cast<int32_t>(4 * i);
    t->fields[i].variable.multiplier = 1;
  }
  return t;
}

TEST_F(VarManagerTest, FindFieldFoldsTheAskedName) {
  TVarType* t = recordType();
  EXPECT_EQ(findField(t, "YLONG"), &t->fields[1]);
  EXPECT_EQ(findField(t, "x"), &t->fields[0]);
  EXPECT_EQ(findField(t, "y"), nullptr);  // exact, not a prefix
  t->fieldcount = 1;                       // only the counted members are searched
  EXPECT_EQ(findField(t, "ylong"), nullptr);
  EXPECT_EQ(findField(VarMan->TypeList()[0], "x"), nullptr);
  EXPECT_EQ(findField(nullptr, "x"), nullptr);
}

TEST_F(VarManagerTest, SwitchingTo64BitsRecreatesThePointerSizedTypes) {
  TVarType* oldPtr = VarMan->PtrType();
  TVarType* oldInt = VarMan->IntType();
  TVarType* oldUInt = VarMan->UIntType();
  TVar* before = VarMan->addVar(vmGlobal, "p", oldPtr, 1, 0);
  ptrSize = 8;
  VarMan->resizeVarTypes();
  const auto& types = VarMan->TypeList();
  ASSERT_EQ(types.size(), 26u);
  // The old records stay, nameless; variables keep pointing to them.
  EXPECT_EQ(types[5], oldPtr);
  EXPECT_EQ(oldPtr->name, nullptr);
  EXPECT_EQ(oldInt->name, nullptr);
  EXPECT_EQ(oldUInt->name, nullptr);
  EXPECT_EQ(before->type_, oldPtr);
  const struct {
    const char* name;
    int64_t lower, upper;
    bool isPtr;
  } expect[] = {{"pointer", 0, -1, true}, {"sysint", INT64_MIN, INT64_MAX, false},
                {"sysword", 0, -1, false}};
  for (size_t i = 0; i < 3; ++i) {
    const TVarType* t = types[23 + i];
    SCOPED_TRACE(expect[i].name);
    EXPECT_EQ(vorStrView(t->name), expect[i].name);
    EXPECT_EQ(t->size, 8u);
    EXPECT_EQ(t->int_lower, expect[i].lower);
    EXPECT_EQ(t->int_upper, expect[i].upper);
    EXPECT_EQ(t->isPointer, expect[i].isPtr);
    EXPECT_TRUE(t->dynSize);
  }
  EXPECT_EQ(VarMan->PtrType(), types[23]);
  for (size_t i = 0; i < 3; ++i)  // the newest declaration hides the old one
    EXPECT_EQ(Idents->findIdent(expect[i].name, 0)->ptr, types[23 + i]);
  EXPECT_EQ(VarMan->IntType(), types[24]);
  EXPECT_EQ(VarMan->UIntType(), types[25]);
}

TEST_F(VarManagerTest, ResizeBoundsFor16Bits) {
  ptrSize = 2;
  VarMan->resizeVarTypes();
  const auto& types = VarMan->TypeList();
  ASSERT_EQ(types.size(), 26u);
  EXPECT_EQ(types[23]->int_upper, 65535);
  EXPECT_EQ(types[24]->int_lower, -32768);
  EXPECT_EQ(types[24]->int_upper, 32767);
  EXPECT_EQ(types[24]->size, 2u);
}

TEST_F(VarManagerTest, ResizeIn32BitModeKeepsTheValues) {
  VarMan->resizeVarTypes();
  EXPECT_EQ(VarMan->PtrType()->int_upper, 4294967295LL);
  EXPECT_EQ(VarMan->IntType()->int_lower, -2147483648LL);
  EXPECT_EQ(VarMan->UIntType()->size, 4u);
  // Nothing changed size, so nothing was re-created.
  EXPECT_EQ(VarMan->PtrType(), VarMan->TypeList()[5]);
  EXPECT_EQ(VarMan->TypeList().size(), 23u);
}

// Each mode change re-creates the three pointer-sized types once: the records
// an earlier change retired are not re-created again (they used to be, so the
// list doubled with every change).
TEST_F(VarManagerTest, ModeChangesAddOnlyTheTypesTheyReplace) {
  const int32_t sizes[] = {8, 8, 2, 4, 4, 8, 2, 2, 4};
  size_t expected = VarMan->TypeList().size();
  int32_t current = ptrSize;
  for (int round = 0; round < 400; ++round) {
    for (int32_t size : sizes) {
      ptrSize = size;
      VarMan->resizeVarTypes();
      if (size != current) expected += 3;
      current = size;
      ASSERT_EQ(VarMan->TypeList().size(), expected) << "round " << round << ", size " << size;
    }
  }
  EXPECT_EQ(VarMan->PtrType()->size, 4u);
  EXPECT_EQ(vorStrView(VarMan->PtrType()->name), "pointer");
  EXPECT_EQ(Idents->findIdent("sysint", 0)->ptr, VarMan->IntType());
}

}  // namespace
}  // namespace vorak
