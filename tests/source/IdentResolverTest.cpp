// Identifier resolution: each kind of name, the pseudo-functions, field
// paths, and the token made from an assembler operand.
#include <gtest/gtest.h>

#include "compiler/preprocessor/MacroManager.h"

#include <clocale>
#include <string>

#include "compiler/driver/Log.h"
#include "compiler/driver/Utils.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "source/SourceFixture.h"

namespace vorak {
namespace {

class ResolverTest : public test::SourceTest {
 protected:
  TVarType* type(std::string_view name) {
    const PIdent id = Idents->findIdent(name, Idents->CurrentScope());
    return id && id->type_ == itType ? static_cast<TVarType*>(id->ptr) : nullptr;
  }
  // Reads the one token of text.
  TCurrentToken& read(std::string_view text) {
    TAFile* f = load(text);
    f->moveNextToken();
    return cur();
  }
  // A record type: a (dword, offset 0), b (word, offset 4), next (the record
  // itself, offset 8), and the method m.
  TVarType* recordType() {
    TVarType* t = VarMan->addType("TRec", 16, int64_t{0}, int64_t{0}, false, false);
    method_ = FuncMan->CreateFunction(ltFunc, nullptr);
    vorArrResize(t->fields, 4);
    t->fieldcount = 4;
    const char* names[] = {"a", "b", "next", "m"};
    TVarType* types[] = {type("dword"), type("word"), t, nullptr};
    const int32_t offsets[] = {0, 4, 8, 0};
    for (int i = 0; i < 4; ++i) {
      TVarField& fl = t->fields[i];
      fl.ft = i == 3 ? vftFunc : vftType;
      vorStrAssign(fl.variable.name, names[i]);
      fl.variable.address = offsets[i];
      fl.variable.multiplier = 1;
      fl.variable.type_ = types[i];
      fl.func = i == 3 ? method_ : nullptr;
    }
    return t;
  }
  TFunction* method_ = nullptr;
};

// ---- keywords, registers, segments, flags ----

TEST_F(ResolverTest, KeywordsAreReserved) {
  TCurrentToken& t = read("ELSEIF");
  EXPECT_EQ(t.F_Type, ttIdent);
  EXPECT_EQ(t.F_IdentType, itReservedKeyword);
  EXPECT_EQ(t.F_Keyword, keyElseif);
  EXPECT_EQ(t.F_String, "ELSEIF");
  EXPECT_EQ(t.F_ByteCount, 7);
}

TEST_F(ResolverTest, RegistersSegmentsAndFlags) {
  TCurrentToken& t = read("EAX");
  EXPECT_EQ(t.F_Type, ttRegister);
  EXPECT_EQ(t.F_Register, REG_EAX);
  EXPECT_EQ(t.F_ByteCount, 4);
  EXPECT_EQ(t.F_String, "EAX");
  EXPECT_EQ(read("bh").F_ByteCount, 1);
  EXPECT_EQ(read("ds").F_Type, ttSegment);
  EXPECT_EQ(cur().F_Segment, SEG_DS);
  EXPECT_EQ(read("Zero_Flag").F_Type, ttFlag);
  EXPECT_EQ(cur().F_Integer, FLAG_ZF);
  // 64-bit names need 64-bit mode.
  EXPECT_EQ(read("rax").F_Type, ttIdent);
  CompileFlags.cpu_bits = 64;
  EXPECT_EQ(read("rax").F_Type, ttRegister);
}

TEST_F(ResolverTest, RegisterTakesItsAssumedTypeAsCast) {
  TVarType* rec = recordType();
  RegMan->Registers[REG_ESI].assume = rec;
  TCurrentToken& t = read("esi ;");
  EXPECT_EQ(t.F_Type, ttRegister);
  EXPECT_EQ(t.F_CastType, rec);
}

struct FpuCase {
  const char* text;
  TVorToken kind;
  int64_t index;
};

void PrintTo(const FpuCase& c, std::ostream* os) { *os << c.text; }

class FpuRegisters : public ResolverTest, public ::testing::WithParamInterface<FpuCase> {};

TEST_P(FpuRegisters, AreRecognisedCaseSensitively) {
  TCurrentToken& t = read(GetParam().text);
  EXPECT_EQ(t.F_Type, GetParam().kind) << GetParam().text;
  if (GetParam().kind != ttIdent) {
    EXPECT_EQ(t.F_Integer, GetParam().index);
    // st and mm share a kind; the byte count keeps their register files apart.
    const std::string name = GetParam().text;
    const int32_t width = GetParam().kind == ttXMMreg ? 0 : name[0] == 'm' ? 8 : 10;
    EXPECT_EQ(t.F_ByteCount, width);
  } else {
    EXPECT_EQ(t.F_IdentType, itNone);
  }
}

INSTANTIATE_TEST_SUITE_P(Resolver, FpuRegisters,
                         ::testing::Values(FpuCase{"st", ttSTreg, 0}, FpuCase{"st3", ttSTreg, 3},
                                           FpuCase{"mm", ttSTreg, 0}, FpuCase{"mm7", ttSTreg, 7},
                                           FpuCase{"xmm", ttXMMreg, 0}, FpuCase{"xmm3", ttXMMreg, 3},
                                           FpuCase{"XMM3", ttIdent, 0}, FpuCase{"ST0", ttIdent, 0},
                                           FpuCase{"st8", ttIdent, 0}, FpuCase{"xmm8", ttIdent, 0},
                                           FpuCase{"st07", ttIdent, 0}, FpuCase{"xmm10", ttIdent, 0}));

// ---- pseudo-functions ----

TEST_F(ResolverTest, DefinedIsCaseSensitive) {
  DefMan->addDefine("win32", 1);
  TCurrentToken& t = read("defined('WIN32')");
  EXPECT_EQ(t.F_Type, ttNumber);
  EXPECT_EQ(t.F_Integer, 0);
  EXPECT_EQ(t.F_String, "false");
  EXPECT_EQ(t.F_DefName, "false");
  read("defined ( 'win32' ) ;");
  EXPECT_EQ(cur().F_Integer, 1);
  EXPECT_EQ(cur().F_String, "true");
  EXPECT_EQ(cur().F_DefName, "true");
  EXPECT_EQ(cur().F_ByteCount, 4);
  EXPECT_EQ(Compiler->CurFile()->moveNextToken(), ttSymbol);
}

TEST_F(ResolverTest, SizeOf) {
  EXPECT_EQ(read("sizeof 'abc'").F_Integer, 4);
  EXPECT_EQ(cur().F_String, "4");
  EXPECT_EQ(read("sizeof ax").F_Integer, 2);
  EXPECT_EQ(read("sizeof qword").F_Integer, 8);
  VarMan->addVar(vmGlobal, "arr", type("dword"), 5, 0);
  EXPECT_EQ(read("sizeof arr").F_Integer, 20);
  TVarType* rec = recordType();
  VarMan->addVar(vmGlobal, "r", rec, 3, 0);
  EXPECT_EQ(read("sizeof r").F_Integer, 48);
  EXPECT_EQ(read("sizeof r.b").F_Integer, 2);
  EXPECT_EQ(fatalLine([&] { read("sizeof (eax)"); }), "[1,8]: [643434] Unexpected symbol ( in [t.vor]");
}

TEST_F(ResolverTest, TokenTypeAndTokenText) {
  EXPECT_EQ(read("tokentype(eax)").F_Integer, 205);
  EXPECT_EQ(read("tokentype('a')").F_Integer, 300);
  TCurrentToken& t = read("tokentext(\"ab\")");
  EXPECT_EQ(t.F_Type, ttWideString);
  EXPECT_EQ(t.F_String, "ab");
  EXPECT_EQ(read("tokentext(eax)").F_Type, ttAnsiString);
  EXPECT_EQ(cur().F_String, "eax");
  EXPECT_EQ(fatalLine([&] { read("tokentype eax"); }), "[1,13]: [6747] Unexpected register eax in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("tokentype(eax;"); }), "[1,14]: [6748] Unexpected symbol ; in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("tokentext(1 2"); }), "[1,13]: [6746] Unexpected number 2 in [t.vor]");
}

TEST_F(ResolverTest, Ord) {
  EXPECT_EQ(read("ord(ecx)").F_Integer, 1);
  EXPECT_EQ(read("ord('AB')").F_Integer, 0x4241);
  EXPECT_EQ(fatalLine([&] { read("ord(5)"); }), "[1,5]: [542] Unexpected number 5 in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("ord[eax]"); }), "[1,8]: [6745] Unexpected expression (0) [eax] in [t.vor]");
}

TEST_F(ResolverTest, CastType) {
  TCurrentToken& t = read("casttype(dword)");
  EXPECT_EQ(t.F_Type, ttIdent);
  EXPECT_EQ(t.F_IdentType, itType);
  EXPECT_EQ(t.F_Pointer, VarMan->UIntType());
  EXPECT_EQ(t.F_String, "sysword");
  EXPECT_EQ(t.F_ByteCount, 4);
  VarMan->addVar(vmGlobal, "s", type("int16"), 1, 0);
  EXPECT_EQ(read("casttype(s)").F_Pointer, type("int16"));
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(read("casttype(eax)").F_Pointer, VarMan->UIntType());
  EXPECT_EQ(read("casttype([byte] eax)").F_Pointer, type("byte"));
  TVarType* rec = recordType();
  RegMan->Registers[REG_EDI].assume = rec;
  EXPECT_EQ(read("casttype(edi)").F_Pointer, rec);
  EXPECT_EQ(fatalLine([&] { read("casttype('x')"); }), "[1,12]: [543] Unexpected ansi string 'x' in [t.vor]");
}

TEST_F(ResolverTest, IsSignedTypeAndIsPtrType) {
  TCurrentToken& t = read("issignedtype(int32)");
  EXPECT_EQ(t.F_Integer, 1);
  EXPECT_EQ(t.F_String, "1");
  EXPECT_EQ(read("issignedtype(dword)").F_Integer, 0);
  EXPECT_EQ(read("isptrtype(pointer)").F_Integer, 1);
  EXPECT_EQ(read("isptrtype(dword)").F_Integer, 0);
  VarMan->addVar(vmGlobal, "p", type("pointer"), 1, 0);
  EXPECT_EQ(read("isptrtype(p)").F_Integer, 1);
  EXPECT_EQ(fatalLine([&] { read("isptrtype(5)"); }), "[1,11]: [75122] Unexpected number 5 in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("issignedtype(int8]"); }), "[1,18]: [6745] Unexpected symbol ] in [t.vor]");
}

// A field path stands for its last data member: its sign, and the type that
// casttype and issignedtype see, on a variable and on a register.
TEST_F(ResolverTest, AFieldPathIsTypedAndSignedAsItsMember) {
  TVarType* rec = recordType();
  rec->fields[1].variable.type_ = type("int16");  // b: a signed member beside the unsigned a
  VarMan->addVar(vmGlobal, "r", rec, 1, 0);
  EXPECT_TRUE(read("r.b").getSigned());
  EXPECT_TRUE(read("r.next.b").getSigned());
  EXPECT_FALSE(read("r.a").getSigned());
  EXPECT_FALSE(read("r").getSigned());
  EXPECT_EQ(read("casttype(r.b)").F_Pointer, type("int16"));
  EXPECT_EQ(read("casttype(r.a)").F_Pointer, type("dword"));
  EXPECT_EQ(read("casttype(r)").F_Pointer, rec);
  EXPECT_EQ(read("issignedtype(r.b)").F_Integer, 1);
  EXPECT_EQ(read("issignedtype(r.next.b)").F_Integer, 1);
  EXPECT_EQ(read("issignedtype(r.a)").F_Integer, 0);
  RegMan->Registers[REG_EBX].assume = rec;
  EXPECT_TRUE(read("ebx.b").getSigned());
  EXPECT_TRUE(read("ebx.next.b").getSigned());
  EXPECT_FALSE(read("ebx.a").getSigned());
}

// ---- the identifier table ----

TEST_F(ResolverTest, UndeclaredNameStaysAnIdentifier) {
  TCurrentToken& t = read("Foo");
  EXPECT_EQ(t.F_Type, ttIdent);
  EXPECT_EQ(t.F_IdentType, itNone);
  EXPECT_EQ(t.F_String, "Foo");
  EXPECT_EQ(t.F_ByteCount, 4);
}

TEST_F(ResolverTest, ConstantsBecomeTheirLiterals) {
  Consts->addConstItem("Greeting", "ab", ctAnsiString);
  Consts->addConstItem("wide", "w", ctWideString);
  Consts->addConst("two", ctValue, 2, int64_t{-7});
  Consts->addConst("half", ctFloat, 10, 0.5L);
  TCurrentToken& t = read("greeting");
  EXPECT_EQ(t.F_Type, ttAnsiString);
  EXPECT_EQ(t.F_String, "ab");
  EXPECT_EQ(t.F_ByteCount, 3);
  EXPECT_EQ(read("wide").F_Type, ttWideString);
  EXPECT_EQ(read("two").F_Type, ttNumber);
  EXPECT_EQ(cur().F_Integer, -7);
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(cur().F_String, "-7");
  EXPECT_EQ(read("half").F_Type, ttFloat);
  EXPECT_EQ(cur().F_Extended, 0.5L);
  EXPECT_EQ(cur().F_ByteCount, 10);
}

TEST_F(ResolverTest, TypeName) {
  TCurrentToken& t = read("DWord ;");
  EXPECT_EQ(t.F_Type, ttIdent);
  EXPECT_EQ(t.F_IdentType, itType);
  EXPECT_EQ(t.F_Pointer, type("dword"));
  EXPECT_EQ(t.F_ByteCount, 4);
  EXPECT_EQ(t.F_String, "dword");
  EXPECT_EQ(Compiler->CurFile()->moveNextToken(), ttSymbol);
}

TEST_F(ResolverTest, TypeNameBeforeAMemoryOperandSizesIt) {
  TAFile* f = load("word [ebx+4] ;");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(cur().F_Pointer, type("word"));
  EXPECT_EQ(cur().F_Register, REG_EBX);
  EXPECT_EQ(cur().F_Extra.Displacement, 4);
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
  // Not a memory operand after the type: the peek token is left as it was.
  f = load("x dword [] ;");
  f->moveNextToken();
  f->peekNextToken();
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_IdentType, itType);
  EXPECT_EQ(peek().F_String, "dword");
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
  EXPECT_EQ(cur().F_String, "[");
}

TEST_F(ResolverTest, PointerTypeIsMadeOnceAndCanTypeAMemoryOperand) {
  TCurrentToken& t = read("dword* ;");
  EXPECT_EQ(t.F_IdentType, itType);
  EXPECT_EQ(t.F_String, "dword*");
  auto* p = static_cast<TVarType*>(t.F_Pointer);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->isPointer);
  EXPECT_TRUE(p->dynSize);
  EXPECT_EQ(p->size, 4u);
  EXPECT_EQ(p->int_upper, 4294967295);
  const size_t types = VarMan->TypeList().size();
  EXPECT_EQ(read("DWORD*").F_Pointer, p);
  EXPECT_EQ(VarMan->TypeList().size(), types);
  TAFile* f = load("byte* [eax]");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_ByteCount, 4);
  EXPECT_EQ(vorStrView(static_cast<TVarType*>(cur().F_Pointer)->name), "byte*");
}

TEST_F(ResolverTest, Variables) {
  TVar* g = VarMan->addVar(vmGlobal, "Counter", type("word"), 4, 0);
  TCurrentToken& t = read("counter");
  EXPECT_EQ(t.F_IdentType, itGlobalVar);
  EXPECT_EQ(t.F_Pointer, g);
  EXPECT_EQ(t.F_ByteCount, 2);
  EXPECT_EQ(t.F_String, "Counter");  // found by its lower-cased key, named as declared
  Idents->upScope();
  TVar* l = VarMan->addVar(vmLocal, "loc", type("dword"), 1, static_cast<int32_t>(-4));
  EXPECT_EQ(read("loc").F_IdentType, itLocalVar);
  EXPECT_EQ(cur().F_Pointer, l);
  Idents->upScope();
  EXPECT_EQ(fatalLine([&] { read("loc"); }), "[1,3]: [14323] Local variables can not be shared or redeclared. in [t.vor]");
}

// Before a project is loaded no source is open: the look at the byte after
// a variable's name (a field path?) finds none, and the name still resolves.
TEST_F(ResolverTest, VariableResolvesWithNoSourceOpen) {
  TVar* g = VarMan->addVar(vmGlobal, "Counter", type("word"), 4, 0);
  ASSERT_EQ(Compiler->CurFile(), nullptr);
  EXPECT_EQ(peekChar(), '\0');
  TCurrentToken t;
  t.setIdentifier("counter");
  EXPECT_EQ(t.F_IdentType, itGlobalVar);
  EXPECT_EQ(t.F_Pointer, g);
  EXPECT_EQ(t.F_ByteCount, 2);
}

TEST_F(ResolverTest, VariableFieldPath) {
  TVarType* rec = recordType();
  TVar* r = VarMan->addVar(vmGlobal, "r", rec, 1, 0);
  TAFile* f = load("r.next.B ;");
  ASSERT_EQ(f->moveNextToken(), ttIdent);
  EXPECT_EQ(cur().F_IdentType, itGlobalVar);
  EXPECT_EQ(cur().F_Pointer, r);
  EXPECT_EQ(cur().F_Extra.Offset, 12u);
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(cur().F_String, "r.next.B");
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
  EXPECT_EQ(read("r . a").F_String, "r.a");
  EXPECT_EQ(fatalLine([&] { read("r.zz"); }), "[1,4]: [12412] Unexpected ident zz in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("r.5"); }), "[1,3]: [324] Unexpected number 5 in [t.vor]");
}

TEST_F(ResolverTest, MethodThroughAGlobalVariable) {
  TVarType* rec = recordType();
  TVar* r = VarMan->addVar(vmGlobal, "r", rec, 1, 0);
  r->active = 0;
  TCurrentToken& t = read("r.m");
  EXPECT_EQ(t.F_Type, ttIdent);
  EXPECT_EQ(t.F_IdentType, itFuncThis);
  EXPECT_EQ(t.F_Pointer, method_);
  ASSERT_NE(t.F_Operand, nullptr);
  EXPECT_EQ(t.F_Operand->hint, otVarRef);
  EXPECT_EQ(t.F_Operand->data, r);
  EXPECT_TRUE(r->active);
  // Through a member: the object is the variable at the member's offset.
  read("r.next.m");
  ASSERT_NE(cur().F_Operand, nullptr);
  EXPECT_EQ(cur().F_Operand->data, r);
  EXPECT_EQ(cur().F_Operand->displacement, 8);
}

TEST_F(ResolverTest, MethodThroughALocalVariable) {
  TVarType* rec = recordType();
  method_->Type_ = ltProc;
  TFunction* fn = FuncMan->CreateFunction(ltProc, nullptr);
  fn->LocalOffset = 12;
  Compiler->setCurFunc(fn);
  Idents->upScope();
  VarMan->addVar(vmLocal, "l", rec, 1, static_cast<int32_t>(-16));
  CompileFlags.stackframe_on = 1;
  TCurrentToken& t = read("l.m");
  EXPECT_EQ(t.F_IdentType, itProcThis);
  ASSERT_NE(t.F_Operand, nullptr);
  EXPECT_EQ(t.F_Operand->hint, otMemRef);
  EXPECT_EQ(t.F_Operand->reg_base, REG_EBP);
  EXPECT_EQ(t.F_Operand->displacement, -16 + 4);
  CompileFlags.stackframe_on = 0;
  read("l.next.m");
  EXPECT_EQ(cur().F_Operand->reg_base, REG_ESP);
  // Without a frame: above the pushes (12) and the locals room (none here),
  // below the return address (4), at the member's offset (8).
  EXPECT_EQ(cur().F_Operand->displacement, -16 + 4 + 12 + 8);
}

TEST_F(ResolverTest, RegisterFieldPath) {
  TVarType* rec = recordType();
  RegMan->Registers[REG_EBX].assume = rec;
  TAFile* f = load("ebx.b ;");
  ASSERT_EQ(f->moveNextToken(), ttBaseExp);
  EXPECT_EQ(cur().F_Count, 1);
  EXPECT_EQ(cur().F_Register, REG_EBX);
  EXPECT_EQ(cur().F_Extra.Offset, 4u);
  EXPECT_EQ(cur().F_ByteCount, 2);
  EXPECT_EQ(cur().F_Pointer, nullptr);
  EXPECT_EQ(cur().F_String, "ebx.b");
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
  EXPECT_EQ(read("ebx.next.next.a").F_Extra.Offset, 16u);
  // The "." must follow the name directly.
  EXPECT_EQ(read("ebx .b").F_Type, ttRegister);
  TCurrentToken& m = read("ebx.m");
  EXPECT_EQ(m.F_Type, ttIdent);
  EXPECT_EQ(m.F_IdentType, itFuncThis);
  EXPECT_EQ(m.F_Pointer, method_);
  ASSERT_NE(m.F_Operand, nullptr);
  EXPECT_EQ(m.F_Operand->hint, otRegister);
  EXPECT_EQ(m.F_Operand->reg_base, REG_EBX);
  EXPECT_EQ(fatalLine([&] { read("ebx.c"); }), "[1,5]: [12422] Unexpected ident c in [t.vor]");
  EXPECT_EQ(fatalLine([&] { read("ebx.;"); }), "[1,5]: [3244] Unexpected symbol ; in [t.vor]");
  // Without an assumed type there is no path.
  EXPECT_EQ(read("ecx.b").F_Type, ttRegister);
}

TEST_F(ResolverTest, FunctionsLabelsAndPluginKeywords) {
  TFunction* fn = FuncMan->CreateFunction(ltFunc, nullptr);
  TFunction* lbl = FuncMan->CreateFunction(ltLabel, nullptr);
  int keyword = 0;
  Idents->addIdent(itFunc, "Calc", fn);
  Idents->addIdent(itLabel, "done", lbl);
  Idents->addIdent(itReservedKeyword, "pe_section", &keyword);
  EXPECT_EQ(read("calc").F_IdentType, itFunc);
  EXPECT_EQ(cur().F_Pointer, fn);
  EXPECT_EQ(cur().F_String, "Calc");
  EXPECT_EQ(read("done").F_IdentType, itLabel);
  EXPECT_EQ(cur().F_Pointer, lbl);
  EXPECT_EQ(read("pe_section").F_IdentType, itReservedKeyword);
  EXPECT_EQ(cur().F_Pointer, nullptr);
}

TEST_F(ResolverTest, DefineBecomesItsToken) {
  TCurrentToken value;
  value.setText("hello", ttAnsiString);
  DefMan->addDefine("Greeting", &value);
  TCurrentToken& t = read("Greeting");
  EXPECT_EQ(t.F_Type, ttAnsiString);
  EXPECT_EQ(t.F_String, "hello");
  EXPECT_EQ(t.F_DefName, "Greeting");
}

TEST_F(ResolverTest, MacroIsKeptInAPeekAndExpandedWhenRead) {
  TMacro* macro = MacMan->newMacro("mac", mtFunc, false);
  macro->code = new TAFile(false);  // the compiler's list owns it
  macro->code->loadBuffer("mac", "{ #return 5;", nullptr);
  TAFile* f = load("mac");
  ASSERT_EQ(f->peekNextToken(), ttIdent);
  EXPECT_EQ(peek().F_IdentType, itMacro);
  EXPECT_EQ(peek().F_Pointer, macro);
  ASSERT_EQ(f->moveNextToken(), ttNumber);
  EXPECT_EQ(Compiler->CurToken()->F_Integer, 5);
}

TEST_F(ResolverTest, UnknownIdentifierTypeIsFatal) {
  Idents->addIdent(itMacroParam, "odd", nullptr);
  EXPECT_EQ(fatalLine([&] { read("odd"); }), "[1,3]: [000090] Unknown ident type in [t.vor]");
}

TEST_F(ResolverTest, NamesFoldOnlyAToZWhateverTheLocale) {
  // In a Turkish locale "I" lower-cases to a dotless i; names must not care.
  const std::string previous = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "tr_TR.UTF-8");
  VarMan->addVar(vmGlobal, "index", type("dword"), 1, 0);
  EXPECT_EQ(read("INDEX").F_IdentType, itGlobalVar);
  EXPECT_EQ(read("IF").F_Keyword, keyIf);
  EXPECT_EQ(read("EDI").F_Type, ttRegister);
  std::setlocale(LC_CTYPE, previous.c_str());
}

TEST_F(ResolverTest, ResolvingAnOwnTextWorks) {
  TCurrentToken t;
  t.setCleanIdent("eax");
  load("");
  EXPECT_EQ(t.setIdentifier(t.F_String), ttRegister);
  EXPECT_EQ(t.F_String, "eax");
}

TEST_F(ResolverTest, PeekOfAPseudoFunctionConsumesItsArgumentsOnlyWhenTaken) {
  TAFile* f = load("x sizeof eax ;");
  f->moveNextToken();
  ASSERT_EQ(f->peekNextToken(), ttNumber);
  EXPECT_EQ(peek().F_Integer, 4);
  EXPECT_EQ(cur().F_String, "x");
  EXPECT_EQ(f->CurChar, 1u);
  f->moveLastPeek();
  EXPECT_EQ(cur().F_Integer, 4);
  EXPECT_EQ(f->moveNextToken(), ttSymbol);
}

// ---- tokens from operands ----

TEST_F(ResolverTest, FromOperand) {
  load("");
  TCurrentToken t;
  TOperand op;
  op.setRegister(false, REG_EDX);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttRegister);
  EXPECT_EQ(t.F_String, "edx");
  op.setSegment(false, SEG_FS);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttSegment);
  EXPECT_EQ(t.F_String, "fs");
  op.setImm(false, 300, 2);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttNumber);
  EXPECT_EQ(t.F_Integer, 300);
  EXPECT_EQ(t.F_ByteCount, 2);
  EXPECT_EQ(t.F_String, "300");
  TVar* v = VarMan->addVar(vmGlobal, "v", VarMan->TypeList()[6], 1, 0);
  op.setMemory(false, 4, 8, 2, {REG_EAX, REG_ECX}, v, otVar, nullptr);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttBaseExp);
  EXPECT_EQ(t.F_String, "(4) [eax+ecx*2+8]");
  EXPECT_EQ(t.F_VarPtr, v);
  op.setMemory(false, 4, 0, 0, {REG_EAX}, nullptr, otRegister, nullptr);
  t.setFromOperand(&op, "");
  EXPECT_EQ(t.F_VarPtr, nullptr);
  op.setIntType(false, otST, 3);
  op.size = ST_REGISTER_SIZE;
  EXPECT_EQ(t.setFromOperand(&op, ""), ttSTreg);
  EXPECT_EQ(t.F_Integer, 3);
  EXPECT_EQ(t.F_String, "st3");
  EXPECT_EQ(t.F_ByteCount, 10);
  // An mm register stays one when it goes round through a token.
  op.setIntType(false, otST, 6);
  op.size = MM_REGISTER_SIZE;
  EXPECT_EQ(t.setFromOperand(&op, ""), ttSTreg);
  EXPECT_EQ(t.F_String, "mm6");
  EXPECT_EQ(t.F_ByteCount, 8);
  op.setIntType(false, otXMM, 5);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttXMMreg);
  EXPECT_EQ(t.F_Integer, 5);
  op.setIntType(false, otFlag, FLAG_CF);
  EXPECT_EQ(t.setFromOperand(&op, ""), ttFlag);
  EXPECT_EQ(t.F_ByteCount, 1);
  TFunction* lbl = FuncMan->CreateFunction(ltLabel, nullptr);
  Idents->addIdent(itLabel, "target", lbl);
  op.setLabel(false, lbl, 0);
  EXPECT_EQ(t.setFromOperand(&op, "target"), ttIdent);
  EXPECT_EQ(t.F_IdentType, itLabel);
  EXPECT_EQ(fatalLine([&] { t.setFromOperand(&op, ""); }), "[1,0]: [3456331] Internal error in [t.vor]");
  const std::pair<TOperandType, const char*> internal[] = {{otSegLabel, "[1,0]: [3456332] Internal error in [t.vor]"},
                                                           {otLabelRef, "[1,0]: [3456333] Internal error in [t.vor]"},
                                                           {otConst, "[1,0]: [3456334] Internal error in [t.vor]"},
                                                           {otEFlag, "[1,0]: [3456335] Internal error in [t.vor]"}};
  for (const auto& [hint, msg] : internal) {
    op.hint = hint;
    EXPECT_EQ(fatalLine([&] { t.setFromOperand(&op, "x"); }), msg);
  }
}

}  // namespace
}  // namespace vorak
