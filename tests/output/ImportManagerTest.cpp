// Import libraries and the references to their functions.
#include <gtest/gtest.h>

#include <stdexcept>

#include "compiler/driver/Common.h"
#include "compiler/output/ImportManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using ImportManagerTest = test::FreshVorak;

TEST_F(ImportManagerTest, SameNameSameIndexOtherCaseNewLibrary) {
  EXPECT_EQ(Imports->addImportLib("kernel32.dll"), 0u);
  EXPECT_EQ(Imports->addImportLib("user32.dll"), 1u);
  EXPECT_EQ(Imports->addImportLib("kernel32.dll"), 0u);
  EXPECT_EQ(Imports->addImportLib("KERNEL32.DLL"), 2u);
  EXPECT_EQ(Imports->Count(), 3u);
  const TImports* lib = Imports->getLib(2);
  EXPECT_EQ(vorStrView(lib->name), "KERNEL32.DLL");
  EXPECT_EQ(lib->name[12], '\0');
  EXPECT_EQ(lib->refs, 0u);
  EXPECT_EQ(Imports->getLib(3), nullptr);
}

TEST_F(ImportManagerTest, UncalledLibraryKeepsAnEmptyList) {
  Imports->addImportLib("gdi32.dll");
  ASSERT_EQ(Imports->Count(), 1u);
  EXPECT_TRUE(importFuncs(Imports->getLib(0)).empty());
}

TEST_F(ImportManagerTest, ReferencesAppendInOrder) {
  const uint32_t lib = Imports->addImportLib("kernel32.dll");
  TFunction* a = FuncMan->CreateFunction(ltProc, nullptr);
  TFunction* b = FuncMan->CreateFunction(ltProc, nullptr);
  Imports->addImportRef(lib, b);
  Imports->addImportRef(lib, a);
  const auto& funcs = importFuncs(Imports->getLib(lib));
  ASSERT_EQ(funcs.size(), 2u);
  EXPECT_EQ(funcs[0], b);
  EXPECT_EQ(funcs[1], a);
}

TEST_F(ImportManagerTest, ReferenceToAMissingLibraryIsRefused) {
  TFunction* a = FuncMan->CreateFunction(ltProc, nullptr);
  EXPECT_THROW(Imports->addImportRef(0, a), std::out_of_range);
  Imports->addImportLib("a.dll");
  EXPECT_THROW(Imports->addImportRef(1, a), std::out_of_range);
}

}  // namespace
}  // namespace vorak
