// The records as a plug-in written in C reads them: through the C header,
// with lengths and counts from the 4 bytes before strings and arrays.
#include <gtest/gtest.h>

#include <string>

#include "compiler/driver/Common.h"
#include "compiler/output/ImportManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "encoder/FixupManager.h"
#include "support/Fresh.h"

// The C reader (tests/plugins/PluginRecordsReader.c).
extern "C" {
int c_describe_type(const void* p, char* out, size_t room);
int c_describe_var(const void* p, char* out, size_t room);
int c_describe_function(const void* p, char* out, size_t room);
int c_describe_const(const void* p, char* out, size_t room);
int c_describe_fixup(const void* p, char* out, size_t room);
int c_describe_import(const void* p, char* out, size_t room);
int c_record_layout(char* out, size_t room);
}

namespace vorak {
namespace {

template <typename F>
std::string described(F f, const void* record) {
  char buf[4096];
  const int n = f(record, buf, sizeof buf);
  EXPECT_GE(n, 0);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

using PluginRecordsTest = test::FreshVorak;

TVarType* typeNamed(std::string_view name) {
  for (TVarType* t : VarMan->TypeList())
    if (vorStrView(t->name) == name) return t;
  return nullptr;
}

TEST(PluginRecordLayout, CCompilerAgreesWithTheDocumentedOffsets) {
  // docs/plugin-records.md, 64-bit Linux.
  const char* expected =
      "sizeof TFixup=40\nTFixup.hint=0\nTFixup.bits=1\nTFixup.position=4\nTFixup.size=8\nTFixup.offset=12\n"
      "TFixup.jmp=16\nTFixup.parentfunc=24\nTFixup.index=32\nTFixup.data=32\n"
      "sizeof TFuncParam=16\nTFuncParam.type_=0\nTFuncParam.name=8\n"
      "sizeof TFunction=176\nTFunction.Parent=0\nTFunction.Buffer=8\nTFunction.BufLen=16\n"
      "TFunction.Name=24\nTFunction.ImportName=32\nTFunction.Address=40\nTFunction.DLLIndex=44\n"
      "TFunction.FuncIndex=48\nTFunction.Type_=52\nTFunction.IsExported=53\n"
      "TFunction.IsCalled=54\nTFunction.ReturnType=56\nTFunction.CallConvention=64\n"
      "TFunction.Params=72\nTFunction.ParamCount=80\nTFunction.ParamSize=84\n"
      "TFunction.LocalCount=88\nTFunction.LocalSize=92\nTFunction.LocalOffset=96\n"
      "TFunction.symbolindex=100\nTFunction.DeclareOnly=104\nTFunction.CallData=112\n"
      "TFunction.bMinParams=120\nTFunction.FixupList=128\nTFunction.UsesList=136\n"
      "TFunction.DependFuncs=144\nTFunction.DefaultParams=152\nTFunction.StackFrame=160\n"
      "TFunction.DeclParent=168\n"
      "sizeof TConst=80\nTConst.type_=0\nTConst.varname=8\nTConst.active=16\nTConst.address=20\n"
      "TConst.symbolindex=24\nTConst.str=32\nTConst.int_=40\nTConst.ext=48\nTConst.size=64\n"
      "TConst.fixup=72\n"
      "sizeof TVar=72\nTVar.ident=0\nTVar.name=8\nTVar.mode=16\nTVar.address=20\nTVar.active=24\n"
      "TVar.initialised=25\nTVar.content=32\nTVar.multiplier=40\nTVar.type_=48\n"
      "TVar.symbolindex=56\nTVar.fixup=64\n"
      "sizeof TVarField=88\nTVarField.ft=0\nTVarField.variable=8\nTVarField.func=80\n"
      "sizeof TVarType=80\nTVarType.ident=0\nTVarType.name=8\nTVarType.size=16\n"
      "TVarType.signed_=20\nTVarType.vt=21\nTVarType.fieldcount=24\nTVarType.fields=32\n"
      "TVarType.largestfield=40\nTVarType.isPointer=44\nTVarType.dynSize=45\n"
      "TVarType.int_lower=48\nTVarType.real_lower=48\nTVarType.int_upper=64\n"
      "TVarType.real_upper=64\n"
      "sizeof TImports=24\nTImports.name=0\nTImports.funcs=8\nTImports.refs=16\n"
      "sizeof TCompilerFlags=48\nTCompilerFlags.cpu_bits=4\nTCompilerFlags.sse_version=12\n"
      "TCompilerFlags.m2m_reg=43\nTCompilerFlags.awd=45\n";
  char buf[8192];
  const int n = c_record_layout(buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), expected);
}

TEST_F(PluginRecordsTest, Types) {
  EXPECT_EQ(described(c_describe_type, typeNamed("int16")),
            "type int16/5 size=2 signed=1 vt=1 ptr=0 dyn=0 bounds=-32768..32767 fields=0/0 largest=0");
  EXPECT_EQ(described(c_describe_type, typeNamed("qword")),
            "type qword/5 size=8 signed=0 vt=1 ptr=0 dyn=0 bounds=0..-1 fields=0/0 largest=0");
  EXPECT_EQ(described(c_describe_type, VarMan->PtrType()),
            "type pointer/7 size=4 signed=0 vt=1 ptr=1 dyn=1 bounds=0..4294967295 fields=0/0 largest=0");
  EXPECT_EQ(described(c_describe_type, VarMan->addType("Temp", 10, -273.5L, 1e4L, false, false)),
            "type Temp/4 size=10 signed=1 vt=0 ptr=0 dyn=0 bounds=-273.5..10000 fields=0/0 largest=0");

  // A record type as the record block fills it.
  TVarType* point = VarMan->addType("TPoint", 8, int64_t{0}, int64_t{0}, false, false);
  vorArrResize(point->fields, 2);
  point->fieldcount = 2;
  point->largestfield = 4;
  const char* names[] = {"x", "y"};
  for (uint32_t i = 0; i < 2; ++i) {
    TVar& m = point->fields[i].variable;
    vorStrAssign(m.name, names[i]);
    m.address = static_cast<int32_t>(4 * i);
    m.multiplier = 1;
    m.type_ = typeNamed("dword");
  }
  EXPECT_EQ(described(c_describe_type, point),
            "type TPoint/6 size=8 signed=0 vt=1 ptr=0 dyn=0 bounds=0..0 fields=2/2 largest=4 "
            "[0 x/1 @0 *1 dword/5] [0 y/1 @4 *1 dword/5]");
}

TEST_F(PluginRecordsTest, Variables) {
  TVar* counter = VarMan->addVar(vmGlobal, "Counter", typeNamed("dword"), 4, 0);
  counter->content[0] = 0x2A;
  counter->content[15] = 0xFF;
  counter->initialised = 1;
  EXPECT_EQ(described(c_describe_var, counter),
            "var Counter/7 mode=0 addr=0 active=0 init=1 mult=4 content=16:"
            "2a0000000000000000000000000000ff type=dword/5 fixup=no");
  CompileFlags.awd = 1;
  EXPECT_EQ(described(c_describe_var, VarMan->addVar(vmLocal, "i", typeNamed("sbyte"), 1, -8)),
            "var i/1 mode=1 addr=-8 active=1 init=0 mult=1 content=1:00 type=sbyte/5 fixup=no");
  EXPECT_EQ(described(c_describe_var, VarMan->addVar(vmGlobal, "none", typeNamed("word"), 0, 0)),
            "var none/4 mode=0 addr=0 active=1 init=0 mult=0 content=0: type=word/4 fixup=no");
}

TEST_F(PluginRecordsTest, Functions) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  EXPECT_EQ(described(c_describe_function, f),
            "func #0 - import=- type=2 cc=0 called=0 exported=0 dll=-1 addr=ffffffff parent=no "
            "code=0/0: params=0/0 size=0 defaults=0 locals=0/0 frame=0 min=0 lists=yes");
  vorStrAssign(f->Name, "Main");
  vorStrAssign(f->ImportName, "MainA");
  f->CallConvention = ccCDecl;
  f->DLLIndex = 2;
  appendCode(f, "\x55\x89\xE5\x00\xC3", 5);  // a 0 byte inside the code
  addParam(f, typeNamed("dword"), "a", false);
  addParam(f, typeNamed("byte"), "b", false);
  for (const char* lib : {"x", "y", "z"}) Imports->addImportLib(lib);
  setCalled(f, nullptr);
  EXPECT_EQ(described(c_describe_function, f),
            "func #0 Main/4 import=MainA/5 type=2 cc=1 called=1 exported=0 dll=2 addr=ffffffff "
            "parent=no code=5/5:5589e500c3 params=2/2 size=8 defaults=2 (a/1:dword/5) "
            "(b/1:byte/4) locals=0/0 frame=0 min=0 lists=yes");
}

TEST_F(PluginRecordsTest, Constants) {
  EXPECT_EQ(described(c_describe_const, Consts->getConst(Consts->addConst("A", ctValue, 4, int64_t{-5}))),
            "const 2 A/1 str=-5/2 int=-5 ext=-5 size=4 active=0");
  EXPECT_EQ(described(c_describe_const, Consts->addConstItem("", "h\xC3\xA9llo", ctWideString)),
            "const 1 - str=h\xC3\xA9llo/6 int=0 ext=0 size=6 active=0");
  EXPECT_EQ(described(c_describe_const, Consts->getConst(Consts->addConst("half", ctFloat, 8, 2.5L))),
            "const 3 half/4 str=2.5/3 int=2 ext=2.5 size=8 active=0");
}

TEST_F(PluginRecordsTest, FixupsAndImports) {
  TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
  appendCode(f, "\xE8\x00\x00\x00\x00", 5);
  TVar* v = VarMan->addVar(vmGlobal, "Counter", typeNamed("dword"), 1, 0);
  TConst* hi = Consts->addConstItem("", "hi", ctAnsiString);
  FixMan->addFixup(ftLabel, f, 3u, -4, 4, 0, jtJMP);
  FixMan->addFixup(ftVar, f, v, 2, 4, 8, jtIGNORE);
  FixMan->addVarFixup(ftConst, v, hi, 4, 4, 0, jtJMP);
  EXPECT_EQ(described(c_describe_fixup, FixMan->getFixup(f, 0)),
            "fixup 0 pos=1 size=4 ofs=0 jmp=16 index=3");
  EXPECT_EQ(described(c_describe_fixup, FixMan->getFixup(f, 1)),
            "fixup 6 pos=7 size=4 ofs=8 jmp=1000 var=Counter");
  EXPECT_EQ(described(c_describe_fixup, FixMan->VarFixupList()[0]),
            "fixup 5 pos=4 size=4 ofs=0 jmp=16 const=hi");
  Imports->addImportLib("kernel32.dll");
  EXPECT_EQ(described(c_describe_import, Imports->getLib(0)), "lib kernel32.dll/12 refs=0 list=yes");
}

}  // namespace
}  // namespace vorak
