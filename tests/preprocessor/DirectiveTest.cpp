// Directives: the name table, #set with every option, #define, #include and
// #tryinclude with the search order and include-once, and the directives
// still to come.
#include <gtest/gtest.h>

#include <filesystem>

#include "compiler/preprocessor/DirectiveHandlers.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/symbols/VarManager.h"
#include "plugins/PluginManager.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class DirectiveTest : public CompileTest {
 protected:
  static const TCurrentToken* define(std::string_view name) { return DefMan->getDefine(name); }
  static int64_t defineValue(std::string_view name) {
    const TCurrentToken* d = define(name);
    return d ? d->F_Integer : -999;
  }
};

// ---- #set ----

TEST_F(DirectiveTest, SetBitsSetsTheModeThePointerSizeAndTheDefine) {
  struct Case {
    int bits;
    int ptr;
  } cases[] = {{16, 2}, {32, 4}, {64, 8}};
  for (const Case& c : cases) {
    reset();
    compileBody("#set bits " + std::to_string(c.bits) + "\n");
    EXPECT_EQ(CompileFlags.cpu_bits, static_cast<uint32_t>(c.bits));
    EXPECT_EQ(ptrSize, c.ptr);
    EXPECT_EQ(defineValue("bits"), c.bits);
    // The pointer-sized types follow.
    EXPECT_EQ(VarMan->PtrType()->size, static_cast<uint32_t>(c.ptr));
  }
}

TEST_F(DirectiveTest, SetBitsAcceptsTheThreeModesOnly) {
  EXPECT_EQ(fatalBody("#set bits 12\n"), "[2,12]: [7759] Bit mode must be a multiple of 8 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits 24\n"), "[2,12]: [7760] Bit mode must be 16, 32 or 64 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits 0\n"), "[2,11]: [7760] Bit mode must be 16, 32 or 64 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits 4294967328\n"), "[2,20]: [7760] Bit mode must be 16, 32 or 64 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#set bits x\n"), "[2,11]: [7757] Unexpected ident x in [p.vor]");
}

// Ten thousand mode lines leave the type list as one line does; alternating
// modes add the three replaced types per change and no more. (Each line used
// to re-create every pointer-sized record ever made, doubling the list.)
TEST_F(DirectiveTest, RepeatedSetBitsKeepsTheTypeListFlat) {
  compileBody("#set bits 64\n");
  const size_t once = VarMan->TypeList().size();
  reset();
  std::string body;
  for (int i = 0; i < 10000; ++i) body += "#set bits 64\n";
  compileBody(body);
  EXPECT_EQ(VarMan->TypeList().size(), once);
  reset();
  compileBody("#repeat 10000:\n#set bits 16\n#set bits 64\n#end\n");
  // From 32 bits, each of the 20000 lines changes the mode; "once" made one change.
  EXPECT_EQ(VarMan->TypeList().size(), once - 3u + 3u * 20000u);
  EXPECT_EQ(VarMan->PtrType()->size, 8u);
}

TEST_F(DirectiveTest, SixteenBitsForceTheFrame) {
  compileBody("#set frame 0\n#set bits 16\n#set frame 0\n");
  EXPECT_EQ(CompileFlags.stackframe_on, 1);
  EXPECT_EQ(defineValue("frame"), 1);
}

TEST_F(DirectiveTest, SetFrameTwiceThoughItIsADefineByThen) {
  compileBody("#set frame 1\n#set frame 0\n");
  EXPECT_EQ(CompileFlags.stackframe_on, 0);
  EXPECT_EQ(defineValue("frame"), 0);
  reset();
  compileBody("$set frame 0\n$SET FRAME 1\n");
  EXPECT_EQ(CompileFlags.stackframe_on, 1);
  EXPECT_EQ(defineValue("frame"), 1);
}

TEST_F(DirectiveTest, SetOptions) {
  compileBody(
      "#set cpu 486\n#set defaultcc cdecl\n#set m2m_reg 1\n#set imm_roll 1\n#set awd 1\n"
      "#set stack_size 65536\n#set relocations 1\n#set optimise 0\n");
  EXPECT_EQ(CompileFlags.cpu_mode, 486u);
  EXPECT_EQ(DefaultCC, ccCDecl);
  EXPECT_EQ(CompileFlags.m2m_reg, REG_EAX);
  EXPECT_EQ(CompileFlags.imm_roll, 1);
  EXPECT_EQ(CompileFlags.awd, 1);
  EXPECT_EQ(CompileFlags.stack_size, 65536u);
  EXPECT_EQ(CompileFlags.relocations, 1);
  EXPECT_EQ(defineValue("relocations"), 1);
  EXPECT_EQ(CompileFlags.optimise, 0);
  reset();
  compileBody(
      "#set defaultcc msx64\n#set m2m_reg 0\n#set imm_roll 0\n#set awd 0\n#set relocations 0\n#set optimise 1\n"
      "#set cpu 686\n");
  EXPECT_EQ(DefaultCC, ccMSX64);
  EXPECT_EQ(CompileFlags.m2m_reg, REG_NONE);
  EXPECT_EQ(CompileFlags.imm_roll, 0);
  EXPECT_EQ(CompileFlags.awd, 0);
  EXPECT_EQ(CompileFlags.relocations, 0);
  EXPECT_EQ(CompileFlags.optimise, 1);
  EXPECT_EQ(CompileFlags.cpu_mode, 686u);
  reset();
  compileBody("#set defaultcc cdecl\n#set defaultcc stdcall\n#set m2m_reg 0x100000000\n");
  EXPECT_EQ(DefaultCC, ccStdcall);
  EXPECT_EQ(CompileFlags.m2m_reg, REG_EAX);  // any of the 64 bits counts
}

TEST_F(DirectiveTest, SetErrors) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"#set frame 2", "[2,12]: [7758] Valid frame modes 0/1 in [p.vor]"},
      {"#set frame on", "[2,13]: [7756] Unexpected ident on in [p.vor]"},
      {"#set cpu 585", "[2,12]: [643234] Invalid CPU mode in [p.vor]"},
      {"#set cpu x", "[2,10]: [3543652] Unexpected ident x in [p.vor]"},
      {"#set defaultcc pascal", "[2,21]: [5816] Unexpected ident pascal in [p.vor]"},
      {"#set defaultcc 1", "[2,16]: [5816] Unexpected number 1 in [p.vor]"},
      {"#set m2m_reg eax", "[2,16]: [5356] Unexpected register eax in [p.vor]"},
      {"#set imm_roll x", "[2,15]: [5356] Unexpected ident x in [p.vor]"},
      {"#set awd x", "[2,10]: [4363] Unexpected ident x in [p.vor]"},
      {"#set stack_size x", "[2,17]: [7754] Unexpected ident x in [p.vor]"},
      {"#set relocations 2", "[2,18]: [4656] Valid relocation switch 0/1 in [p.vor]"},
      {"#set relocations x", "[2,18]: [777556] Unexpected ident x in [p.vor]"},
      {"#set optimise 2", "[2,15]: [4657] Valid relocation switch 0/1 in [p.vor]"},
      {"#set optimise x", "[2,15]: [777556] Unexpected ident x in [p.vor]"},
      {"#set speed 1", "[2,10]: [7845] Invalid directive operand speed in [p.vor]"},
      {"#set Speed 1", "[2,10]: [7845] Invalid directive operand speed in [p.vor]"},
      {"#set 5 1", "[2,6]: [7757] Unexpected number 5 in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
  }
}

// ---- #define ----

TEST_F(DirectiveTest, DefineWithoutValueIsOne) {
  compileBody("#define DEBUG;\nadd eax, debug\n");
  const TCurrentToken* d = define("debug");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->F_Type, ttNumber);
  EXPECT_EQ(d->F_Integer, 1);
  EXPECT_EQ(d->F_String, "1");
  EXPECT_EQ(d->F_ByteCount, 4);
  EXPECT_EQ(define("DEBUG"), nullptr);  // defines are spelled exactly
  EXPECT_EQ(disasm(), (std::vector<std::string>{"add eax, 1"}));
}

TEST_F(DirectiveTest, DefineWithAValue) {
  compileBody("#define reg ebx;\n#define big 0x1000 ;\nadd reg, big\n");
  ASSERT_NE(define("reg"), nullptr);
  EXPECT_EQ(define("reg")->F_Type, ttRegister);
  EXPECT_EQ(defineValue("big"), 0x1000);
  EXPECT_EQ(disasm(), (std::vector<std::string>{"add ebx, 0x1000"}));
}

TEST_F(DirectiveTest, DefineErrors) {
  EXPECT_EQ(fatalBody("#define DEBUG;\n#define DEBUG;\n"), "[3,13]: [7717] Unexpected number 1 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#define 5;\n"), "[2,9]: [7717] Unexpected number 5 in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#define x 1 2\n"), "[2,13]: [7718] Unexpected number 2 in [p.vor]");
}

// ---- The name table ----

TEST_F(DirectiveTest, OtherNamesAreMacroVariables) {
  compileBody("#counter = 1;\n");
  reset();
  EXPECT_EQ(fatalBody("#counter 1;\n"), "[2,8]: [19423] Unexpected symbol 1 in [p.vor]");
  reset();
  // A name one letter longer than the longest directive.
  EXPECT_EQ(fatalBody("#movenexttexts = 1 2;\n"), "[2,20]: [435] Unexpected number 2 in [p.vor]");
}

// ---- #include, #tryinclude ----

TEST_F(DirectiveTest, IncludedTextIsCompiledInPlace) {
  write("part.vor", "int3\n");
  compileBody("nop\n#include 'part.vor'\nnop\n");
  EXPECT_EQ(code(), "\x90\xCC\x90");
}

// Each included file's ID is its index in the compiler's list, so a plug-in
// that replaces a source's text by its ID reaches that very file (every
// include used to keep ID 0, the index of the master macro's text).
TEST_F(DirectiveTest, IncludedFilesAreNamedByTheirListIndex) {
  write("a.vor", "nop\n");
  write("b.vor", "int3\n");
  compileBody("#include 'a.vor'\n#include 'b.vor'\n");
  const auto& files = Compiler->FileList();
  std::vector<TAFile*> included;
  for (TAFile* f : files)
    if (f->IsFile() && (f->FileName().ends_with("/a.vor") || f->FileName().ends_with("/b.vor"))) included.push_back(f);
  ASSERT_EQ(included.size(), 2u);
  for (TAFile* f : included) {
    ASSERT_LT(f->ID(), files.size()) << f->FileName();
    EXPECT_EQ(files[f->ID()], f) << f->FileName();
  }
  const auto* vk = reinterpret_cast<const TVorakCallbacks*>(pluginCallbackTable());
  TAFile* b = included[1];
  ASSERT_TRUE(vk->vorak_file_setbuffer(b->ID(), "hlt\n", 4));
  EXPECT_EQ(b->Buffer, std::string("hlt\n\0", 5));
  EXPECT_EQ(included[0]->Buffer, std::string("nop\n\0", 5));
}

TEST_F(DirectiveTest, IncludeSearchOrder) {
  // The same name in all four places: beside the including file, in the
  // project folder, in the compiler's includes/ and in the -i folder. Each
  // holds a word that is no instruction, so the message says which was read.
  write("src/x.vor", "first\n");
  write("project/x.vor", "second\n");
  write("compiler/includes/x.vor", "third\n");
  write("option/x.vor", "fourth\n");
  write("src/p.vor", "program TEST;\n#include 'x.vor'\n");
  write("compiler/includes/vorak.vor", "#set bits 32\n");
  auto which = [&]() -> std::string {
    reset(true);
    Settings->setProjectPath(dir() + "/project/");
    Settings->setCompilerPath(dir() + "/compiler/");
    Settings->setIncludePath(dir() + "/option");
    const std::string out = captureStdout([&] {
      Compiler->LoadProject(dir() + "/src/p.vor");
      EXPECT_THROW(Compiler->Compile(), EAbort);
    });
    return firstLine(out);
  };
  EXPECT_EQ(which(), "[1,5]: [9000] Unexpected ident first in [x.vor]");
  std::filesystem::remove(dir() + "/src/x.vor");
  EXPECT_EQ(which(), "[1,6]: [9000] Unexpected ident second in [x.vor]");
  std::filesystem::remove(dir() + "/project/x.vor");
  EXPECT_EQ(which(), "[1,5]: [9000] Unexpected ident third in [x.vor]");
  std::filesystem::remove(dir() + "/compiler/includes/x.vor");
  EXPECT_EQ(which(), "[1,6]: [9000] Unexpected ident fourth in [x.vor]");
  std::filesystem::remove(dir() + "/option/x.vor");
  EXPECT_EQ(which(), "[2,16]: [1447] Included file not found \"x.vor\" in [p.vor]");
}

TEST_F(DirectiveTest, IncludeIsRelativeToTheIncludingFile) {
  write("lib/a.vor", "#include 'b.vor'\n");
  write("lib/b.vor", "int3\n");
  write("b.vor", "nop\n");
  compileBody("#include 'lib/a.vor'\n");
  EXPECT_EQ(code(), "\xCC");
}

TEST_F(DirectiveTest, BackslashSeparatesFoldersToo) {
  write("lib/c.vor", "int3\n");
  compileBody("#include 'lib\\\\c.vor'\n");
  EXPECT_EQ(code(), "\xCC");
}

TEST_F(DirectiveTest, EachNameIsIncludedOnce) {
  write("a.vor", "int3\n");
  compileBody("#include 'a.vor'\n#include \"A.VOR\"\n#tryinclude 'a.vor'\nnop\n#include 'a.vor'\n");
  EXPECT_EQ(code(), "\xCC\x90");
  // The mark answers defined(), and the name is no identifier.
  EXPECT_NE(define("a.vor"), nullptr);
  EXPECT_EQ(Idents->findIdent("a.vor", SSL_SCOPE_MAX), nullptr);
}

TEST_F(DirectiveTest, IncludeCyclesEndAtTheMarkAndLongChainsNeedNoStack) {
  // a includes b, b includes a again: the second include of a does nothing.
  write("a.vor", "#include 'b.vor'\nnop\n");
  write("b.vor", "#include 'a.vor'\nint3\n");
  compileBody("#include 'a.vor'\n");
  EXPECT_EQ(code(), "\xCC\x90");
  reset();
  write("s.vor", "#include 's.vor'\nhlt\n");
  compileBody("#include 's.vor'\n");
  EXPECT_EQ(code(), "\xF4");
  reset();
  // Each file of a long chain includes the next: the loop goes on in the
  // included file instead of calling itself.
  constexpr int kChain = 5000;
  for (int i = 1; i < kChain; ++i)
    write("c" + std::to_string(i) + ".vor", "#include 'c" + std::to_string(i + 1) + ".vor'\nnop\n");
  write("c" + std::to_string(kChain) + ".vor", "int3\n");
  compileBody("#include 'c1.vor'\n");
  EXPECT_EQ(code(), "\xCC" + std::string(kChain - 1, '\x90'));
}

TEST_F(DirectiveTest, MissingIncludes) {
  EXPECT_EQ(fatalBody("#include 'none.vor'\n"), "[2,19]: [1448] Included file not found \"none.vor\" in [p.vor]");
  reset();
  Settings->setIncludePath(dir() + "/opt");
  EXPECT_EQ(fatalBody("#include 'none.vor'\n"), "[2,19]: [1447] Included file not found \"none.vor\" in [p.vor]");
  reset();
  EXPECT_EQ(fatalBody("#include none\n"), "[2,13]: [7767] Unexpected ident none in [p.vor]");
  reset();
  // A folder is no file, and the message says so.
  std::filesystem::create_directories(dir() + "/folder.vor");
  EXPECT_EQ(fatalBody("#include 'folder.vor'\n"),
            "[2,21]: [1448] Included file \"folder.vor\" exists but is not a regular file in [p.vor]");
}

TEST_F(DirectiveTest, TryIncludeWarnsAndGoesOn) {
  const std::string out = compileBody("#tryinclude 'missing.vor'\nnop\n#include 'missing.vor'\n");
  EXPECT_NE(out.find("[2,25]: Warning: [0010] Include file not found \"missing.vor\" in [p.vor]"), std::string::npos)
      << out;
  // Marked as included: the second directive does nothing.
  EXPECT_EQ(code(), "\x90");
}

// A file that exists but cannot be read: a link to /proc/self/mem, which is
// a regular file whose first page reads as an error (also for root).
void unreadable(const std::string& path) {
  std::filesystem::create_symlink("/proc/self/mem", path);
}

TEST_F(DirectiveTest, UnreadableIncludes) {
  unreadable(dir() + "/locked.vor");
  EXPECT_EQ(fatalBody("#include 'locked.vor'\n"), "[2,21]: [1415] Error opening file \"locked.vor\" in [p.vor]");
  reset();
  unreadable(dir() + "/locked.vor");
  const std::string out = compileBody("#tryinclude 'locked.vor'\nnop\n");
  EXPECT_NE(out.find("Warning: [0911] Error opening include \"locked.vor\""), std::string::npos) << out;
  EXPECT_EQ(code(), "\x90");
  // The codes name the place where the file was found.
  reset();
  Settings->setProjectPath(dir() + "/proj/");
  std::filesystem::create_directories(dir() + "/proj");
  unreadable(dir() + "/proj/locked.vor");
  EXPECT_EQ(fatalBody("#include 'locked.vor'\n"), "[2,21]: [1444] Error opening file \"locked.vor\" in [p.vor]");
  reset();
  std::filesystem::create_directories(dir() + "/opt");
  Settings->setIncludePath(dir() + "/opt");
  unreadable(dir() + "/opt/locked.vor");
  EXPECT_EQ(fatalBody("#include 'locked.vor'\n"), "[2,21]: [1446] Error opening file \"locked.vor\" in [p.vor]");
}

TEST_F(DirectiveTest, ErrorsInsideAnIncludeNameTheIncludedFile) {
  write("inc/bad.vor", "nop\n  nop nop\n  foo\n");
  EXPECT_EQ(fatalBody("#include 'inc/bad.vor'\n"), "[3,5]: [9000] Unexpected ident foo in [bad.vor]");
}

TEST_F(DirectiveTest, IncludeFromATextWithoutAFileSearchesTheNearestFile) {
  compileBody("nop\n");
  write("sub/near.vor", "int3\n");
  // A text read from no file (a macro body, an evaluated text) whose
  // parent is a file in sub/.
  write("sub/host.vor", "nop\n");
  auto* file = new TAFile(false);
  ASSERT_TRUE(file->loadFile(dir() + "/sub/host.vor", nullptr));
  auto* text = new TAFile(false);
  text->loadBuffer("master.$eval", "", file);
  Compiler->setCurFile(text);
  captureStdout([&] { handle_DIRECTIVE_doinclude("near.vor", false); });
  ASSERT_NE(Compiler->CurFile(), text);
  EXPECT_EQ(Compiler->CurFile()->FileName(), (std::filesystem::path(dir()) / "sub" / "near.vor").string());
  EXPECT_EQ(Compiler->CurFile()->Parent(), text);
}

}  // namespace
}  // namespace vorak::test
