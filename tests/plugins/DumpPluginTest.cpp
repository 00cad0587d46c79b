// The records as a plug-in written in C reads them through the callback
// table: the dump test plug-in writes what it reads, and the text must say
// exactly what the test put into the compiler's records.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/output/ImportManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "plugins/PluginManager.h"
#include "support/Fresh.h"
#include "support/RunVorak.h"

namespace vorak::test {
namespace {

using DumpPlugin = FreshVorak;

TVarType* type(std::string_view name) {
  for (TVarType* t : VarMan->TypeList())
    if (vorStrView(t->name) == name) return t;
  return nullptr;
}

TEST_F(DumpPlugin, ReadsEveryRecordAsTheCompilerHoldsIt) {
  CompileFlags.cpu_bits = 32;
  TFunction* main = FuncMan->CreateFunction(ltProc, nullptr);
  vorStrAssign(main->Name, "rtlmain");
  main->IsCalled = 1;
  appendCode(main, "\xC3");

  TFunction* add = FuncMan->CreateFunction(ltFunc, nullptr);
  vorStrAssign(add->Name, "Add");
  vorStrAssign(add->ImportName, "Add");
  addParam(add, type("dword"), "a", false);
  addParam(add, type("dword"), "b", false);
  appendCode(add, "\xE8");
  FixMan->addFixup(ftLabel, add, main->FuncIndex, 0, 4, 0, jtJMP);
  appendCode(add, std::string_view("\0\0\0\0\xC3", 5));
  TFunction* here = FuncMan->CreateFunction(ltLabel, add);
  vorStrAssign(here->Name, "here");
  here->Address = 5;

  const uint32_t lib = Imports->addImportLib("kernel32.dll");
  TFunction* exitp = FuncMan->CreateFunction(ltProc, nullptr);
  vorStrAssign(exitp->Name, "ExitProcess");
  vorStrAssign(exitp->ImportName, "ExitProcess");
  exitp->DLLIndex = static_cast<int32_t>(lib);
  setCalled(exitp, main);

  TConst* hi = Consts->addConstItem("", "hi", ctAnsiString);
  hi->active = 1;
  Consts->getConst(Consts->addConst("five", ctValue, 1, int64_t{5}))->active = 1;

  const uint32_t firstVar = static_cast<uint32_t>(VarMan->VarList().size());
  TVar* g = VarMan->addVar(vmGlobal, "g", type("dword"), 1, 0);
  g->content[0] = 1;
  g->initialised = 1;
  TVar* table = VarMan->addVar(vmGlobal, "table", type("pointer"), 2, 0);
  FixMan->addVarFixup(ftConst, table, hi, 4, 4, 0, jtJMP);
  TVar* p = VarMan->addVar(vmGlobal, "p", type("pointer"), 1, 0);
  p->fixup = new TFixup{};
  p->fixup->hint = ftVar;
  p->fixup->size = 4;
  p->fixup->jmp = jtIGNORE;
  p->fixup->data = g;
  p->initialised = 1;
  ASSERT_EQ(firstVar, 0u) << "the dump below numbers the variables from 0";

  TempDir dir;
  placePlugins(dir.path(), {testPlugin("dump")});
  const std::string log = captureStdout([&] {
    Plugins->initPlugins(dir.path() + "/plugins/");
    ASSERT_TRUE(Plugins->selectBuilder("DUMP"));
    ASSERT_TRUE(Plugins->builderStartTrigger());
    ASSERT_TRUE(Plugins->callBuilder(dir.path() + "/out"));
  });
  std::ifstream in(dir.path() + "/out.txt", std::ios::binary);
  ASSERT_TRUE(in) << log;
  const std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(dump,
            // The builder patched its first line in place and through the callback.
            "FLAGS BITS=32 entry=0 stackframe=1\n"
            "func 0 name=rtlmain import= type=2 parent=- address=- dll=-1 called=1 exported=0 index=0 params=0/0 "
            "locals=0/0 code=C3\n"
            "func 1 name=Add import=Add type=1 parent=- address=- dll=-1 called=0 exported=0 index=1 params=2/8 "
            "locals=0/0 code=E8 00 00 00 00 C3\n"
            "  param 0 a dword\n"
            "  param 1 b dword\n"
            "  fixup 0 hint=0 pos=1 size=4 offset=0 jmp=16 index=0\n"
            "func 2 name=here import= type=3 parent=1 address=5 dll=-1 called=0 exported=0 index=2 params=0/0 "
            "locals=0/0 code=\n"
            "func 3 name=ExitProcess import=ExitProcess type=2 parent=- address=- dll=0 called=1 exported=0 index=3 "
            "params=0/0 locals=0/0 code=\n"
            "const 0 type=0 name= active=1 str=hi int=0 size=2\n"
            "const 1 type=2 name=five active=1 str=5 int=5 size=1\n"
            "var 0 name=g mode=0 address=0 active=0 init=1 type=dword/4 mult=1 content=01 00 00 00\n"
            "var 1 name=table mode=0 address=0 active=0 init=0 type=pointer/4 mult=2 content=00 00 00 00 00 00 00 00\n"
            "var 2 name=p mode=0 address=0 active=0 init=1 type=pointer/4 mult=1 content=00 00 00 00 fixup=hint=6 "
            "pos=0 size=4 offset=0 jmp=1000 var=g\n"
            "varfixup 0 owner=table hint=5 pos=4 size=4 offset=0 jmp=16 const=hi\n"
            "ilib 0 name=kernel32.dll count=1\n"
            "  import 0 ExitProcess\n"
            "totals imports=1 exports=0 fixups=1 res=0/0\n");
  EXPECT_NE(log.find("PlugSys: DUMP: start, builder 0\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace vorak::test
