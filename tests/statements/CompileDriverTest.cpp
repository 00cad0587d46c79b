// The compile driver: the program header and the builder it selects, the
// standard include, the end of the compile and the expect readers.
#include <gtest/gtest.h>

#include "compiler/driver/Utils.h"
#include "compiler/output/FileWriter.h"
#include "compiler/preprocessor/MacroManager.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/ConstManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class DriverTest : public CompileTest {};

TEST_F(DriverTest, HeaderSelectsTheBuilderAndStartsIt) {
  Plugins->registerBuilder("other", &testBuilder);
  compile("program Other;\nnop\n");
  EXPECT_EQ(Plugins->CurBuilderID(), 1);
  // The start event reaches the builder once, with its ID; completion is
  // the main program's business, not the compile's.
  ASSERT_EQ(builderCalls().size(), 1u);
  EXPECT_EQ(builderCalls()[0], std::make_pair(uint32_t{teStart}, uint32_t{1}));
  EXPECT_EQ(code(), "\x90");
}

// A builder that writes the main program's code as the whole output file.
vbool codeBuilder(uint32_t event, uint32_t builderID) {
  builderCalls().emplace_back(event, builderID);
  if (event == teComplete && fWriter) fWriter->addFileBytes(vorStrView(Compiler->MainFunc()->Buffer));
  return 1;
}

TEST_F(DriverTest, CompiledProgramReachesTheBuilderAndTheOutputFile) {
  Plugins->registerBuilder("code", &codeBuilder);
  compile("program Code;\nadd eax, 1\nret\n");
  ASSERT_TRUE(Plugins->callBuilder(dir() + "/out"));
  ASSERT_EQ(builderCalls().size(), 2u);
  EXPECT_EQ(builderCalls()[1], std::make_pair(uint32_t{teComplete}, uint32_t{1}));
  std::ifstream in(dir() + "/out.bin", std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, code());
  EXPECT_EQ(disasm(), (std::vector<std::string>{"add eax, 1", "ret"}));
}

TEST_F(DriverTest, HeaderErrors) {
  struct Case {
    const char* source;
    const char* message;
  } cases[] = {
      {"nop", "[1,3]: [0000] Expected keyword \"program\" in [p.vor]"},
      {"", "[1,1]: [0000] Expected keyword \"program\" in [p.vor]"},
      {"program 5;", "[1,9]: [0001] Expected identifier in [p.vor]"},
      {"program;", "[1,8]: [0001] Expected identifier in [p.vor]"},
      {"program TEST 5;", "[1,14]: [1311] Unexpected number 5 in [p.vor]"},
      {"program TEST 'icon.ico' nop", "[1,27]: [1312] Unexpected ident nop in [p.vor]"},
      {"program TEST 'icon.ico'", "[1,24]: [1312] Unexpected EOF in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatal(c.source), c.message) << c.source;
  }
}

TEST_F(DriverTest, IconStringIsAcceptedAndIgnored) {
  compile("program TEST 'my.ico';\nnop\n");
  EXPECT_EQ(code(), "\x90");
}

TEST_F(DriverTest, UnknownApplicationTypeListsTheBuilders) {
  Plugins->registerBuilder("b", &testBuilder);
  EXPECT_EQ(fatal("program flat;"), "[1,12]: [0002] Unknown application type FLAT, installed: TEST, B in [p.vor]");
}

class NoBuilderTest : public CompileTest {
 protected:
  NoBuilderTest() { registerTestBuilder_ = false; }
};

TEST_F(NoBuilderTest, UnknownApplicationTypeWithNoBuilders) {
  EXPECT_EQ(fatal("program Flat;"), "[1,12]: [0002] Unknown application type FLAT, installed:  in [p.vor]");
}

TEST_F(DriverTest, ProgramOptionOverridesTheHeader) {
  Plugins->registerBuilder("second", &testBuilder);
  Settings->setProgramStr("Second");
  compile("program TEST;\n");
  EXPECT_EQ(Plugins->CurBuilderID(), 1);
  // The overriding text is what an unknown type reports.
  Settings->setProgramStr("nothing");
  reset();
  Settings->setProgramStr("nothing");
  EXPECT_EQ(fatal("program TEST;"), "[1,12]: [0002] Unknown application type NOTHING, installed: TEST in [p.vor]");
}

TEST_F(DriverTest, MainProgramAndStartingState) {
  compileBody("nop\n");
  TFunction* main = Compiler->MainFunc();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main, FuncMan->getFunc(0));
  EXPECT_EQ(vorStrView(main->Name), "rtlmain");
  EXPECT_EQ(main->Type_, ltProc);
  EXPECT_EQ(main->IsCalled, 1);
  const PIdent id = Idents->findIdent("rtlmain", 0);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->type_, itProc);
  EXPECT_EQ(id->ptr, main);
  const TCurrentToken* mmx = DefMan->getDefine("MMX_SUPPORT");
  ASSERT_NE(mmx, nullptr);
  EXPECT_EQ(mmx->F_Integer, 1);
  // Item 0 of the file list is the master macro's body, item 1 the project.
  ASSERT_GE(Compiler->FileList().size(), 2u);
  EXPECT_EQ(Compiler->FileList()[0], MacMan->MasterCode());
  EXPECT_EQ(Compiler->FileList()[1]->FileName(), dir() + "/p.vor");
}

TEST_F(DriverTest, StandardIncludeSetsThirtyTwoBitsAndTheTruthDefines) {
  compileBody("nop\n");
  EXPECT_EQ(CompileFlags.cpu_bits, 32u);
  EXPECT_EQ(ptrSize, 4);
  const TCurrentToken* t = DefMan->getDefine("true");
  const TCurrentToken* f = DefMan->getDefine("false");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(t->F_Type, ttNumber);
  EXPECT_EQ(t->F_Integer, 1);
  EXPECT_EQ(f->F_Type, ttNumber);
  EXPECT_EQ(f->F_Integer, 0);
  // The project file, the standard include and the master buffer.
  EXPECT_EQ(fileCounter, 2u);
}

TEST_F(DriverTest, MissingStandardIncludeOnlyWarns) {
  Settings->setCompilerPath(dir() + "/nowhere/");
  const std::string out = compileBody("nop\n");
  EXPECT_EQ(firstLine(out), "[1,13]: Warning: [0010] Include file not found \"vorak.vor\" in [p.vor]");
  EXPECT_EQ(code(), "\x90");
}

TEST_F(DriverTest, StandardIncludeBesideTheProjectComesFirst) {
  write("vorak.vor", "#set bits 64\n");
  compileBody("nop\n");
  EXPECT_EQ(CompileFlags.cpu_bits, 64u);
  EXPECT_EQ(ptrSize, 8);
}

TEST_F(DriverTest, ProjectThatDoesNotExist) {
  const std::string out = captureStdout([&] { EXPECT_THROW(Compiler->LoadProject(dir() + "/none.vor"), EAbort); });
  EXPECT_EQ(firstLine(out), dir() + "/none.vor does not exist");
}

TEST_F(DriverTest, CompileWithoutProject) {
  const std::string out = captureStdout([&] { EXPECT_THROW(Compiler->Compile(), EAbort); });
  EXPECT_EQ(firstLine(out), "[0003] No project file loaded");
}

TEST_F(DriverTest, EntryFunctionMakesTheMainProgramEndWithOneReturn) {
  struct Case {
    const char* body;
    std::string code;
  } cases[] = {{"", "\xC3"}, {"nop\n", "\x90\xC3"}, {"ret\n", "\xC3"}, {"nop\nret\nnop\n", "\x90\xC3\x90\xC3"}};
  for (const Case& c : cases) {
    reset();
    CompileFlags.entry_funcid = 3;
    compileBody(c.body);
    EXPECT_EQ(code(), c.code) << c.body;
  }
}

TEST_F(DriverTest, WithoutEntryFunctionNothingIsAppended) {
  compileBody("nop\n");
  EXPECT_EQ(code(), "\x90");
  reset();
  compileBody("");
  EXPECT_EQ(code(), "");
}

TEST_F(DriverTest, ConstantsNoCodeRefersToAreDropped) {
  compileBody("push 'kept'\n");
  ASSERT_EQ(Consts->Count(), 1u);
  EXPECT_EQ(vorStrView(Consts->getConst(0)->str), "kept");
  // A constant that nothing made active goes.
  reset();
  Consts->addConst("unused", "text", ctAnsiString);
  compileBody("nop\n");
  EXPECT_EQ(Consts->Count(), 0u);
}

TEST_F(DriverTest, ClosingBraceAtTopLevelEndsTheCompile) {
  compileBody("nop\n}\nthis is never read\n");
  EXPECT_EQ(code(), "\x90");
}

TEST_F(DriverTest, StrayEndOfConditionalIsReported) {
  EXPECT_EQ(fatalBody("nop\n#end\nnop\n"), "[3,4]: [0004] #end without an open conditional or repeat in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("$Else\n"), "[2,5]: [0004] #else without an open conditional or repeat in [p.vor]");
}

TEST_F(DriverTest, TotalLinesCountEveryBuffer) {
  TCompiler unready;
  EXPECT_EQ(unready.GetTotalLines(), 0u);
  write("inc.vor", "nop\nnop\n");
  compileBody("#include 'inc.vor'\nnop\n");
  // Each buffer counts its line feeds and one more: p.vor 4, inc.vor 3 and
  // the standard include 5.
  EXPECT_EQ(Compiler->GetTotalLines(), 4u + 3u + 5u);
}

class ExpectTest : public CompileTest {
 protected:
  void load(std::string_view text) {
    CompileFlags.cpu_bits = 32;
    auto* f = new TAFile(false);
    f->loadBuffer("t.vor", std::string(text), nullptr);
    Compiler->setCurFile(f);
  }
};

TEST_F(ExpectTest, EachReadsExactlyOneToken) {
  load("5 ; program foo eax ,");
  EXPECT_EQ(Compiler->ExpectKeyword({keyProgram}), keyNone);  // the number is consumed
  EXPECT_FALSE(Compiler->ExpectSymbol(","));                 // ";" consumed
  EXPECT_EQ(Compiler->ExpectKeyword({keyConst, keyProgram}), keyProgram);
  EXPECT_TRUE(Compiler->ExpectFreeIdent());
  EXPECT_EQ(Compiler->ExpectToken({ttIdent, ttNumber}), ttNone);  // a register
  EXPECT_TRUE(Compiler->ExpectSymbol(","));
  EXPECT_EQ(Compiler->ExpectToken({ttEOF}), ttEOF);
}

TEST_F(ExpectTest, FreeIdentIsANameNotDeclared) {
  load("rtl x program");
  Idents->addIdent(itLabel, "rtl", nullptr);
  EXPECT_FALSE(Compiler->ExpectFreeIdent());
  EXPECT_EQ(Compiler->CurToken()->F_String, "rtl");
  EXPECT_TRUE(Compiler->ExpectFreeIdent());
  EXPECT_FALSE(Compiler->ExpectFreeIdent());  // a keyword
}

TEST_F(ExpectTest, IdentTypeMatchesTheFirstListed) {
  load("lbl lbl 7");
  Idents->addIdent(itLabel, "lbl", nullptr);
  EXPECT_EQ(Compiler->ExpectIdentType({itGlobalVar, itLabel}), itLabel);
  EXPECT_EQ(Compiler->ExpectIdentType({itGlobalVar}), itNone);
  EXPECT_EQ(Compiler->ExpectIdentType({itLabel}), itNone);
}

}  // namespace
}  // namespace vorak::test
