// Fixup records: where they are filed and at which position.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using FixupManagerTest = test::FreshVorak;

TEST_F(FixupManagerTest, GetFixupBounds) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  for (uint32_t i : {0u, 1u, 0xFFFFFFFFu}) EXPECT_EQ(FixMan->getFixup(f, i), nullptr);
  FixMan->addFixup(ftLabel, f, 3u, 1, 4, 0, jtJMP);
  EXPECT_NE(FixMan->getFixup(f, 0), nullptr);
  EXPECT_EQ(FixMan->getFixup(f, 1), nullptr);
  EXPECT_EQ(FixMan->getFixup(nullptr, 0), nullptr);
}

TEST_F(FixupManagerTest, PositionIsTheCodeLengthPlusTheOffsetInTheInstruction) {
  TFunction* first = FuncMan->CreateFunction(ltProc, nullptr);
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  appendCode(f, "\x90\x90\x90\x90\x90", 5);
  EXPECT_EQ(FixMan->addFixup(ftLabel, f, 7u, 1, 4, 0, jtJMP), 0u);
  EXPECT_EQ(FixMan->addFixup(ftJmp, f, 8u, 0, 7, 2, jtJNE), 1u);
  ASSERT_EQ(fixupList(f).size(), 2u);
  EXPECT_TRUE(fixupList(first).empty());
  const TFixup* call = FixMan->getFixup(f, 0);
  EXPECT_EQ(call->hint, ftLabel);
  EXPECT_EQ(call->position, 6u);
  EXPECT_EQ(call->size, 4);
  EXPECT_EQ(call->offset, 0u);
  EXPECT_EQ(call->jmp, jtJMP);
  EXPECT_EQ(call->parentfunc, f);
  EXPECT_EQ(call->index, 7u);
  const TFixup* jump = FixMan->getFixup(f, 1);
  EXPECT_EQ(jump->position, 5u);
  EXPECT_EQ(jump->jmp, 5);
  EXPECT_EQ(jump->offset, 2u);
}

TEST_F(FixupManagerTest, WithoutAFunctionItGoesToTheFirstFunctionAtPosUnchanged) {
  TFunction* first = FuncMan->CreateFunction(ltProc, nullptr);
  appendCode(first, "\x90\x90\x90", 3);
  FuncMan->CreateFunction(ltProc, nullptr);
  TVar* v = VarMan->addVar(vmGlobal, "g", VarMan->UIntType(), 1, 0);
  EXPECT_EQ(FixMan->addFixup(ftVar, nullptr, v, 12, 4, 8, jtJMP), 0u);
  ASSERT_EQ(fixupList(first).size(), 1u);
  const TFixup* x = fixupList(first)[0];
  EXPECT_EQ(x->position, 12u);  // not moved by the first function's 3 bytes
  EXPECT_EQ(x->parentfunc, nullptr);
  EXPECT_EQ(x->data, v);
  EXPECT_EQ(x->offset, 8u);
}

TEST_F(FixupManagerTest, WithoutAnyFunctionItIsRefused) {
  EXPECT_THROW(FixMan->addFixup(ftAlignment, nullptr, 0u, 0, 3, 0, jtJMP), std::logic_error);
}

// Records come from blocks of many: past several blocks every record is its
// own, keeps what was filed in it and stays where it was
// while later ones are added, in two functions' lists at once.
TEST_F(FixupManagerTest, ManyRecordsStayDistinctAndInPlace) {
  TFunction* a = FuncMan->CreateFunction(ltProc, nullptr);
  TFunction* b = FuncMan->CreateFunction(ltProc, nullptr);
  constexpr uint32_t kCount = 5000;
  std::vector<const TFixup*> seen;
  for (uint32_t i = 0; i < kCount; ++i) {
    TFunction* f = i % 3 ? a : b;
    const uint32_t at = i % 2 ? FixMan->addFixup(ftLabel, f, i, static_cast<int32_t>(i), 4, i * 7, jtJMP)
                              : FixMan->addFixup(ftVar, f, static_cast<void*>(nullptr), static_cast<int32_t>(i), 2,
                                                 i * 7, jtJNE);
    const TFixup* x = fixupList(f)[at];
    EXPECT_EQ(x->position, i) << i;
    if (i % 2 == 0) {
      EXPECT_EQ(x->data, nullptr) << i;
    }
    seen.push_back(x);
  }
  EXPECT_EQ(std::set<const TFixup*>(seen.begin(), seen.end()).size(), size_t{kCount});
  EXPECT_EQ(fixupList(a).size() + fixupList(b).size(), size_t{kCount});
  for (uint32_t i = 0; i < kCount; ++i) {
    const TFixup* x = seen[i];
    EXPECT_EQ(x->parentfunc, i % 3 ? a : b) << i;
    EXPECT_EQ(x->offset, i * 7) << i;
    EXPECT_EQ(x->hint, i % 2 ? ftLabel : ftVar) << i;
    EXPECT_EQ(x->size, i % 2 ? 4 : 2) << i;
    if (i % 2) {
      EXPECT_EQ(x->index, i) << i;
    }
  }
}

TEST_F(FixupManagerTest, VariableFixupsKeepPosAndGoToTheVariableList) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  appendCode(f, "\x90\x90", 2);
  TVar* v = VarMan->addVar(vmGlobal, "table", VarMan->PtrType(), 2, 0);
  int anything = 0;
  EXPECT_EQ(FixMan->addVarFixup(ftConst, v, &anything, 0, 4, 0, jtJMP), 0u);
  EXPECT_EQ(FixMan->addVarFixup(ftConst, v, &anything, 4, 4, 0, jtJMP), 1u);
  const auto& list = FixMan->VarFixupList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]->position, 4u);
  EXPECT_EQ(list[1]->parentfunc, v);
  EXPECT_EQ(list[1]->data, &anything);
  EXPECT_TRUE(fixupList(f).empty());
}

}  // namespace
}  // namespace vorak
