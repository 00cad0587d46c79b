// Function and label records: creation, code, parameters and reachability.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/output/ImportManager.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

using FuncManagerTest = test::FreshVorak;

TVarType* typeNamed(std::string_view name) {
  for (TVarType* t : VarMan->TypeList())
    if (vorStrView(t->name) == name) return t;
  return nullptr;
}

TEST_F(FuncManagerTest, NewRecordDefaults) {
  TFunction* main = FuncMan->CreateFunction(ltProc, nullptr);
  Compiler->setCurFunc(main);
  TFunction* lbl = FuncMan->CreateFunction(ltLabel, main);
  EXPECT_EQ(main->FuncIndex, 0u);
  EXPECT_EQ(lbl->FuncIndex, 1u);
  EXPECT_EQ(lbl->Parent, main);
  EXPECT_EQ(lbl->DeclParent, main);
  EXPECT_EQ(main->DeclParent, nullptr);
  EXPECT_EQ(lbl->Type_, ltLabel);
  EXPECT_EQ(lbl->Address, 0xFFFFFFFFu);
  EXPECT_EQ(lbl->DLLIndex, -1);
  EXPECT_EQ(lbl->Buffer, nullptr);
  EXPECT_EQ(lbl->BufLen, 0u);
  EXPECT_EQ(lbl->Name, nullptr);
  EXPECT_EQ(lbl->ImportName, nullptr);
  EXPECT_FALSE(lbl->IsCalled);
  EXPECT_FALSE(lbl->IsExported);
  EXPECT_EQ(lbl->ReturnType, nullptr);
  EXPECT_EQ(lbl->CallData, nullptr);
  EXPECT_EQ(lbl->Params, nullptr);
  EXPECT_EQ(lbl->ParamCount, 0u);
  EXPECT_TRUE(fixupList(lbl).empty());
  EXPECT_TRUE(usesList(lbl).empty());
  EXPECT_TRUE(dependFuncs(lbl).empty());
  EXPECT_EQ(FuncMan->FuncList().size(), 2u);
}

TEST_F(FuncManagerTest, GetFuncPastTheEndIsNil) {
  EXPECT_EQ(FuncMan->getFunc(0), nullptr);
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  EXPECT_EQ(FuncMan->getFunc(0), f);
  EXPECT_EQ(FuncMan->getFunc(1), nullptr);
}

// Records come in blocks; each is its own, with lists of its own, and only
// a record's own address counts as one of the manager's records.
TEST_F(FuncManagerTest, ManyRecordsStayDistinctAndOwned) {
  std::vector<TFunction*> made;
  for (int i = 0; i < 1000; ++i) made.push_back(FuncMan->CreateFunction(ltLabel, nullptr));
  for (size_t i = 0; i < made.size(); ++i) {
    TFunction* f = made[i];
    EXPECT_EQ(FuncMan->getFunc(f->FuncIndex), f);
    EXPECT_TRUE(FuncMan->owns(f));
    EXPECT_EQ(f->Address, adUnallocated);
    EXPECT_TRUE(fixupList(f).empty() && usesList(f).empty() && dependFuncs(f).empty());
    usesList(f).push_back(std::to_string(i));
  }
  for (size_t i = 0; i < made.size(); ++i) EXPECT_EQ(usesList(made[i]), (TUsesList{std::to_string(i)}));
  TFunction elsewhere{};
  EXPECT_FALSE(FuncMan->owns(&elsewhere));
  EXPECT_FALSE(FuncMan->owns(nullptr));
  const auto* inside = reinterpret_cast<const TFunction*>(reinterpret_cast<const char*>(made[300]) + 8);
  EXPECT_FALSE(FuncMan->owns(inside));
  const auto* list = static_cast<const TFunction*>(made[5]->FixupList);
  EXPECT_FALSE(FuncMan->owns(list));
}

// The answer does not depend on what was asked before: records of every
// block in a scattered order, each followed by addresses near it that are no
// record (inside it, past the last record of its block, before it).
TEST_F(FuncManagerTest, OwnsAnswersAlikeInAnyOrder) {
  std::vector<TFunction*> made;
  for (int i = 0; i < 1100; ++i) made.push_back(FuncMan->CreateFunction(ltLabel, nullptr));
  const ptrdiff_t slot = reinterpret_cast<const char*>(made[1]) - reinterpret_cast<const char*>(made[0]);
  ASSERT_GT(slot, 0);
  const auto at = [](const TFunction* f, ptrdiff_t bytes) {
    return reinterpret_cast<const TFunction*>(reinterpret_cast<const char*>(f) + bytes);
  };
  for (size_t k = 0; k < made.size(); ++k) {
    const TFunction* f = made[(k * 397) % made.size()];
    EXPECT_TRUE(FuncMan->owns(f)) << k;
    EXPECT_FALSE(FuncMan->owns(at(f, 8))) << k;
    EXPECT_FALSE(FuncMan->owns(at(f, -8))) << k;
    EXPECT_TRUE(FuncMan->owns(f)) << k;
  }
  // One slot past the last record is inside its block but no record yet.
  EXPECT_TRUE(FuncMan->owns(made.back()));
  EXPECT_FALSE(FuncMan->owns(at(made.back(), slot)));
  TFunction elsewhere{};
  EXPECT_FALSE(FuncMan->owns(&elsewhere));
  EXPECT_TRUE(FuncMan->owns(made.front()));
}

TEST_F(FuncManagerTest, ConventionNames) {
  EXPECT_EQ(Convention2String(ccStdcall), "stdcall");
  EXPECT_EQ(Convention2String(ccCDecl), "cdecl");
  EXPECT_EQ(Convention2String(ccMSX64), "msx64");
  EXPECT_EQ(Convention2String(7), "");
}

TEST_F(FuncManagerTest, AppendCodeKeepsBufLenAndThePrefixInStep) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  const uint8_t bytes[] = {0x55, 0x89, 0xE5, 0x00};
  appendCode(f, bytes, 4);
  appendCode(f, std::string_view("\xC3", 1));
  appendCode(f, "\x90\x90\x90", 2);  // only the count given
  EXPECT_EQ(f->BufLen, 7u);
  EXPECT_EQ(vorStrLen(f->Buffer), 7u);
  EXPECT_EQ(vorStrView(f->Buffer), std::string_view("\x55\x89\xE5\x00\xC3\x90\x90", 7));
  insertCode(f, "\xCC", 1);  // 1-based: before the first byte
  EXPECT_EQ(static_cast<uint8_t>(f->Buffer[0]), 0xCC);
  insertCode(f, "\xCD", 100);  // past the end: appended
  EXPECT_EQ(static_cast<uint8_t>(f->Buffer[8]), 0xCD);
  EXPECT_EQ(f->BufLen, 9u);
  EXPECT_EQ(vorStrLen(f->Buffer), 9u);
}

TEST_F(FuncManagerTest, PeekModeChangesNothing) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  CompileFlags.peek_mode = 1;
  appendCode(f, "\x90", 1);
  insertCode(f, "\x90", 1);
  EXPECT_EQ(addParam(f, typeNamed("dword"), "a", true), 0u);
  EXPECT_EQ(f->BufLen, 0u);
  EXPECT_EQ(f->Buffer, nullptr);
  EXPECT_EQ(f->ParamCount, 0u);
  EXPECT_EQ(f->ParamSize, 0u);
  EXPECT_EQ(f->Params, nullptr);
  EXPECT_TRUE(VarMan->VarList().empty());
}

TEST_F(FuncManagerTest, ParameterSizesRoundUpToThePointerSize) {
  TFunction* f = FuncMan->CreateFunction(ltFunc, nullptr);
  const struct {
    const char* type;
    uint32_t paramSize;
  } steps[] = {{"byte", 4}, {"extended", 16}, {"qword", 24}, {"word", 28}};
  for (const auto& s : steps) {
    addParam(f, typeNamed(s.type), std::string("p_") + s.type, false);
    EXPECT_EQ(f->ParamSize, s.paramSize) << s.type;
  }
  EXPECT_EQ(f->ParamCount, 4u);
  EXPECT_EQ(vorArrCount(f->Params), 4u);
  EXPECT_EQ(vorArrCount(f->DefaultParams), 4u);
  for (TOperand* op : vorArrSpan(f->DefaultParams)) EXPECT_EQ(op, nullptr);
  EXPECT_EQ(f->Params[1].type_, typeNamed("extended"));
  EXPECT_EQ(vorStrView(f->Params[1].name), "p_extended");
  EXPECT_TRUE(VarMan->VarList().empty());  // declarations without a body
  EXPECT_TRUE(paramExists(f, "p_byte"));
  EXPECT_FALSE(paramExists(f, "P_BYTE"));
  EXPECT_FALSE(paramExists(f, "p_"));
}

TEST_F(FuncManagerTest, ParametersOfADefinitionBecomeLocalsAtTheirRunningSize) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  addParam(f, typeNamed("dword"), "first", true);
  addParam(f, typeNamed("byte"), "second", true);
  const auto& vars = VarMan->VarList();
  ASSERT_EQ(vars.size(), 2u);
  EXPECT_EQ(vars[0]->address, 4);
  EXPECT_EQ(vars[1]->address, 8);
  EXPECT_EQ(vars[0]->mode, vmLocal);
  EXPECT_EQ(vars[1]->multiplier, 1u);
  EXPECT_EQ(vorStrView(vars[1]->name), "second");
}

TEST_F(FuncManagerTest, In64BitModeStdcallAndCdeclParametersAreLocals) {
  CompileFlags.cpu_bits = 64;
  ptrSize = 8;
  for (TCallingConvention cc : {ccStdcall, ccCDecl}) {
    TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
    f->CallConvention = cc;
    addParam(f, typeNamed("qword"), "a", true);
    EXPECT_EQ(DefMan->getDefine("a"), nullptr);
  }
  ASSERT_EQ(VarMan->VarList().size(), 2u);
  EXPECT_EQ(VarMan->VarList()[1]->address, 8);
}

TEST_F(FuncManagerTest, In64BitModeOnlyTheFifthParameterIsALocal) {
  CompileFlags.cpu_bits = 64;
  ptrSize = 8;
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  f->CallConvention = ccMSX64;
  for (const char* n : {"a", "b", "c", "d", "e"}) addParam(f, typeNamed("qword"), n, true);
  const auto& vars = VarMan->VarList();
  ASSERT_EQ(vars.size(), 1u);
  EXPECT_EQ(vorStrView(vars[0]->name), "e");
  EXPECT_EQ(vars[0]->address, 40);
  EXPECT_EQ(f->ParamSize, 40u);
  // The first four read as their registers from now on.
  const struct {
    const char* param;
    TRegister reg;
    const char* text;
  } aliases[] = {{"a", REG_RCX, "rcx"}, {"b", REG_RDX, "rdx"}, {"c", REG_R8, "r8"}, {"d", REG_R9, "r9"}};
  for (const auto& a : aliases) {
    const TCurrentToken* tk = DefMan->getDefine(a.param);
    ASSERT_NE(tk, nullptr) << a.param;
    EXPECT_EQ(tk->F_Type, ttRegister);
    EXPECT_EQ(tk->F_Register, a.reg);
    EXPECT_EQ(tk->F_String, a.text);
    EXPECT_EQ(Idents->findIdent(a.param, 0)->type_, itDefine);
  }
  EXPECT_EQ(DefMan->getDefine("e"), nullptr);
  EXPECT_EQ(Idents->findIdent("e", 0)->type_, itLocalVar);
}

TEST_F(FuncManagerTest, In64BitModeADeclarationWithoutBodyDefinesNothing) {
  CompileFlags.cpu_bits = 64;
  ptrSize = 8;
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  addParam(f, typeNamed("qword"), "a", false);
  EXPECT_EQ(DefMan->getDefine("a"), nullptr);
  EXPECT_EQ(f->ParamSize, 8u);
}

// Reachability: a chain of records named by index.
class ReachTest : public test::FreshVorak {
 protected:
  TFunction* fn() { return FuncMan->CreateFunction(ltProc, nullptr); }
};

TEST_F(ReachTest, UnreachedCallerOnlyRemembersTheCall) {
  TFunction* proc = fn();
  TFunction* imported = fn();
  imported->DLLIndex = static_cast<int32_t>(Imports->addImportLib("user32.dll"));
  setCalled(imported, proc);
  EXPECT_FALSE(proc->IsCalled);
  EXPECT_FALSE(imported->IsCalled);
  EXPECT_TRUE(importFuncs(Imports->getLib(0)).empty());
  ASSERT_EQ(dependFuncs(proc).size(), 1u);
  EXPECT_EQ(dependFuncs(proc)[0], imported);
}

TEST_F(ReachTest, MutualCallsBecomeReachableTogetherAndTheWalkEnds) {
  TFunction* a = fn();
  TFunction* b = fn();
  TFunction* c = fn();
  setCalled(b, a);  // a calls b
  setCalled(a, b);  // b calls a
  setCalled(a, a);  // a calls itself
  EXPECT_FALSE(a->IsCalled);
  setCalled(a, nullptr);  // the entry point
  EXPECT_TRUE(a->IsCalled);
  EXPECT_TRUE(b->IsCalled);
  EXPECT_FALSE(c->IsCalled);
}

TEST_F(ReachTest, ImportedFunctionGetsOneReferenceInFirstCallOrder) {
  const int32_t lib = static_cast<int32_t>(Imports->addImportLib("kernel32.dll"));
  TFunction* exitProcess = fn();
  TFunction* getTick = fn();
  exitProcess->DLLIndex = lib;
  getTick->DLLIndex = lib;
  TFunction* main = fn();
  TFunction* helper = fn();
  setCalled(main, nullptr);
  setCalled(getTick, helper);  // helper not reachable yet
  setCalled(exitProcess, main);
  setCalled(exitProcess, main);
  setCalled(helper, main);  // now helper reaches getTick
  setCalled(getTick, main);
  setCalled(getTick, nullptr);
  const auto& refs = importFuncs(Imports->getLib(static_cast<uint32_t>(lib)));
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[0], exitProcess);
  EXPECT_EQ(refs[1], getTick);
}

TEST_F(ReachTest, RememberedCallsAreFollowedDepthFirstInOrder) {
  // root -> x -> (y, z); root -> w. Imports record the order of first reach.
  const int32_t lib = static_cast<int32_t>(Imports->addImportLib("a.dll"));
  TFunction* root = fn();
  TFunction* x = fn();
  TFunction* y = fn();
  TFunction* z = fn();
  TFunction* w = fn();
  for (TFunction* f : {x, y, z, w}) f->DLLIndex = lib;
  setCalled(x, root);
  setCalled(w, root);
  setCalled(y, x);
  setCalled(z, x);
  setCalled(root, nullptr);
  const auto& refs = importFuncs(Imports->getLib(0));
  ASSERT_EQ(refs.size(), 4u);
  EXPECT_EQ(refs[0], x);
  EXPECT_EQ(refs[1], y);
  EXPECT_EQ(refs[2], z);
  EXPECT_EQ(refs[3], w);
}

TEST_F(ReachTest, LongCallChainDoesNotExhaustTheStack) {
  constexpr int kLength = 200000;
  std::vector<TFunction*> chain;
  chain.reserve(kLength);
  for (int i = 0; i < kLength; ++i) chain.push_back(fn());
  for (int i = 0; i + 1 < kLength; ++i) setCalled(chain[i + 1], chain[i]);
  setCalled(chain[0], nullptr);
  EXPECT_TRUE(chain.back()->IsCalled);
}

}  // namespace
}  // namespace vorak
