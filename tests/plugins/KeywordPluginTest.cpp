// Plug-in keywords and the file-entry notice, through the executable: the
// keywords test plug-in reads tokens, emits code, compiles texts and refers
// to labels; the FLAT builder writes the result and the emulator runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

FlatRun withKeywords(const std::string& source, int mode = 32) {
  FlatOptions o;
  o.plugins = {testPlugin("keywords")};
  return runFlat(source, mode, o);
}

std::vector<std::string> linesStarting(const std::string& out, const std::string& prefix) {
  std::vector<std::string> v;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    if (out.compare(at, prefix.size(), prefix) == 0) v.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  return v;
}

TEST(KeywordPlugin, RegistrationKeepsThePluginsTextAndCountsOnlyWhatItTakes) {
  const FlatRun r = withKeywords("ret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: ids"),
            std::vector<std::string>{"PlugSys: KW: ids 0 1 2 3 4 5 6, refused 4294967295 4294967295, name UpperCase, "
                                     "unregister 0"});
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: exit"), std::vector<std::string>{"PlugSys: KW: exit"});
}

TEST(KeywordPlugin, KeywordsMatchInAnyCase) {
  const FlatRun r = withKeywords("uppercase;\nUPPERCASE;\nEMIT 0xC3;\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: uppercase"),
            (std::vector<std::string>{"PlugSys: KW: uppercase ran", "PlugSys: KW: uppercase ran"}));
  EXPECT_EQ(r.image, std::vector<uint8_t>{0xC3});
}

TEST(KeywordPlugin, EmittedBytesRunWhereTheKeywordStands) {
  // emit writes mov eax, 5 byte by byte between two ordinary lines.
  const FlatRun r = withKeywords("mov ebx, 1\nemit 0xB8, 5, 0, 0, 0;\nadd eax, ebx\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 6u);
}

TEST(KeywordPlugin, ADeclinedKeywordIsCompiledAsIfThereWereNone) {
  // The handler of "nop" reads the next token and declines: the statement is
  // the instruction nop, and the line after it is read again from its start.
  const FlatRun r = withKeywords("mov eax, 1\nnop\nmov ebx, 2\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: nop"),
            std::vector<std::string>{"PlugSys: KW: nop declined after reading token kind 100"});
  EXPECT_EQ(r.image,
            (std::vector<uint8_t>{0xB8, 1, 0, 0, 0, 0x90, 0xBB, 2, 0, 0, 0, 0xC3}));
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rBX), 2u);
  // The lines were counted once: 2 header lines, 4 of the body, and the
  // standard include's.
  const FlatRun plain = runFlat("mov eax, 1\nint3\nmov ebx, 2\nret\n", 32);
  const auto summary = [](const std::string& out) { return out.substr(out.find("Compile OK - "), 22); };
  EXPECT_EQ(summary(r.compile.out), summary(plain.compile.out));
}

TEST(KeywordPlugin, CompiledTextLandsInPlaceAndTheSourceGoesOn) {
  const FlatRun r =
      withKeywords("mov ecx, 2\ncompile 'mov eax, 7\nadd eax, ecx';\ncompile 'mov edx, eax';\nadd edx, 1\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 9u);
  EXPECT_EQ(r.reg(rDX), 10u);
}

TEST(KeywordPlugin, CompiledTextMayHoldLabelsAndKeywords) {
  // A label placed by the text, jumped to from the source, and a keyword of
  // the plug-in inside the text.
  const FlatRun r = withKeywords(
      "xor eax, eax\njmp there\ncompile 'inc eax\nthere:\nemit 0x40;';\ncompile 'inc eax';\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 2u);  // the first inc is jumped over
}

TEST(KeywordPlugin, ABraceInCompiledTextDoesNotCloseTheSourcesBlock) {
  const FlatRun r = withKeywords("compile 'nop\n}';\nret\n");
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  EXPECT_NE(r.compile.out.find("[2,1]: [9900] Unexpected symbol \"}\" in [plugin buffer]"), std::string::npos)
      << r.compile.out;
}

TEST(KeywordPlugin, ATextThatUsesItsOwnKeywordStopsAtTheNestingBound) {
  // Each compiled text compiles itself again: a message, not a stack overflow.
  const FlatRun r = withKeywords("#define s 'compile s;';\ncompile s;\nret\n");
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  EXPECT_NE(r.compile.out.find("[12002] Statement blocks nested deeper than 1000 in [plugin buffer]"),
            std::string::npos)
      << r.compile.out;
}

TEST(KeywordPlugin, ACompileErrorInCompiledTextIsReportedInThePluginBuffer) {
  const FlatRun r = withKeywords("nop\ncompile 'nop\nbogus eax';\nret\n");
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  EXPECT_NE(r.compile.out.find("in [plugin buffer]"), std::string::npos) << r.compile.out;
  EXPECT_NE(r.compile.out.find("bogus"), std::string::npos) << r.compile.out;
  // The run ends in the callback: the plug-in never sees it come back.
  EXPECT_TRUE(linesStarting(r.compile.out, "PlugSys: KW: func_execute failed").empty()) << r.compile.out;
}

TEST(KeywordPlugin, LabelReferencesMadeByAPluginArePlacedLater) {
  const FlatRun r = withKeywords(
      "mov eax, 1\ncallref twice;\ncallref twice;\nret\ntwice:\nadd eax, eax\ncallref bump;\nret\n"
      "bump:\ninc ebx\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: callref"),
            (std::vector<std::string>{"PlugSys: KW: callref twice is a new reference, index 1",
                                      "PlugSys: KW: callref twice is known, index 1",
                                      "PlugSys: KW: callref bump is a new reference, index 2"}));
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 4u);
  EXPECT_EQ(r.reg(rBX), 2u);
}

TEST(KeywordPlugin, ACallToALabelPlacedBeforeUsesTheKnownRecord) {
  const FlatRun r = withKeywords("jmp start\nseven:\nmov eax, 7\nret\nstart:\ncallref seven;\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  ASSERT_TRUE(r.finished) << r.fault;
  EXPECT_EQ(r.reg(rAX), 7u);
}

TEST(KeywordPlugin, APluginReferenceNeverPlacedIsReportedAtTheKeyword) {
  const FlatRun r = withKeywords("nop\ncallref nowhere;\nret\n");
  EXPECT_FALSE(r.built);
  EXPECT_NE(r.compile.out.find("[4,15]: [00012] Label nowhere does not exist! in [p.vor]"), std::string::npos)
      << r.compile.out;
}

// Func_Get takes 0xFFFFFFFF for the function being compiled; as the index
// of a fixup it names no label, and the builder refuses it like any other.
TEST(KeywordPlugin, AFixupIndexThatNamesNoLabelStopsTheBuild) {
  for (const char* index : {"0xFFFFFFFF", "0x7FFFFFFF"}) {
    const FlatRun r = withKeywords(std::string("mov eax, 1\nlabelabs ") + index + ";\nhlt\n");
    EXPECT_FALSE(r.built) << index;
    EXPECT_EQ(r.compile.exitCode, 1) << index;
    EXPECT_NE(r.compile.out.find("PlugSys: FLAT: the fixup at offset 6 of rtlmain refers to a label that does not exist"),
              std::string::npos)
        << index << "\n" << r.compile.out;
  }
}

TEST(KeywordPlugin, TokenCallbacksReadWhatTheSourceSays) {
  const FlatRun r = withKeywords("probe 42 0x123456789 1.5 'str' \"wide\" someident;\nret\n");
  ASSERT_TRUE(r.built) << r.compile.out;
  EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: KW: probe"),
            (std::vector<std::string>{
                "PlugSys: KW: probe in rtlmain, line \"probe 42 0x123456789 1.5 'str' \"wide\" someident;\" (48), "
                "stop 10, eol 0, next kind 200",
                "PlugSys: KW: probe number 42 low 42 size 1",
                "PlugSys: KW: probe number 4886718345 low 591751049 size 8",
                // 1.5 as float, double and the ten x87 bytes; EE marks bytes left alone.
                "PlugSys: KW: probe float 1.5 1.5 ext 00 00 00 00 00 00 00 C0 FF 3F EE EE other 00000000EE",
                "PlugSys: KW: probe string \"str\" raw set",
                "PlugSys: KW: probe kind 301 text \"wide\"",
                "PlugSys: KW: probe ident someident type 0",
            }));
}

TEST(KeywordPlugin, AFatalMessageFromAKeywordEndsTheCompileThere) {
  const FlatRun r = withKeywords("nop\nplugfatal\nret\n");
  EXPECT_FALSE(r.built);
  EXPECT_EQ(r.compile.exitCode, 1);
  EXPECT_NE(r.compile.out.find("[4,9]: PlugSys: stopped by the keyword in [p.vor]"), std::string::npos)
      << r.compile.out;
  EXPECT_EQ(r.compile.out.find("still running"), std::string::npos) << r.compile.out;
  EXPECT_EQ(r.compile.out.find("Compile OK"), std::string::npos) << r.compile.out;
}

TEST(KeywordPlugin, WithPauseAFatalMessageShutsDownAndEndsWithCodeZero) {
  TempDir dir;
  std::ofstream(dir.path() + "/p.vor") << "program FLAT;\nplugfatal\n";
  const RunResult r = runVorak({dir.path() + "/p.vor"}, dir.path(), RunOptions{{{shippedPlugin("flat"), testPlugin("keywords")}}});
  EXPECT_EQ(r.exitCode, 0);
  const size_t stop = r.out.find("PlugSys: stopped by the keyword");
  const size_t pause = r.out.find("Press the [enter] key to exit.");
  const size_t exitLine = r.out.find("PlugSys: KW: exit");
  ASSERT_NE(stop, std::string::npos) << r.out;
  EXPECT_LT(stop, pause) << r.out;
  EXPECT_LT(pause, exitLine) << r.out;  // shut-down ran the plug-ins' exit entries
  EXPECT_EQ(r.out.find("still running"), std::string::npos) << r.out;
}

TEST(KeywordPlugin, ABuilderThatFailsWritesNothing) {
  TempDir dir;
  std::ofstream(dir.path() + "/p.vor") << "program boom;\nnop\n";
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), RunOptions{{{testPlugin("dump")}}});
  EXPECT_EQ(r.exitCode, 1);
  // A builder runs after the compile: its message names no source position,
  // which could only be the end of the project, no place it concerns.
  EXPECT_NE(r.out.find("\nPlugSys: boom from the builder\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Code:"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("still running"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/p.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/p"));
}

TEST(FileEntryPlugin, IsToldAboutTheProjectFileAndMayReplaceItsText) {
  TempDir dir;
  std::ofstream(dir.path() + "/p.vor") << "//swap\nprogram NOTHING;\n";
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(),
                               RunOptions{{{shippedPlugin("flat"), testPlugin("fileentry")}}});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  // The project is item 1 of the compiler's sources; its ID says so.
  EXPECT_EQ(linesStarting(r.out, "PlugSys: FE: "),
            (std::vector<std::string>{"PlugSys: FE: id=1 len=24 starts=//swap",
                                      "PlugSys: FE: setbuffer unknown=0 project=1"}));
  FlatRun run;
  std::ifstream in(dir.path() + "/p.bin", std::ios::binary);
  run.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  emulateFlat(run, 32);
  ASSERT_TRUE(run.finished) << run.fault;
  EXPECT_EQ(run.reg(rAX), 3u);
}

// A plug-in replaces the project's text while it compiles (through the
// keyword retext): the second pass of a #repeat reads the new text, and an
// anonymous macro defined there is the new text's, whether its definition
// is as long as the old one or longer.
TEST(FileEntryPlugin, AReplacedTextDefinesItsAnonymousMacrosAnew) {
  struct Case {
    const char* what;
    const char* definition;
    const char* from;
    const char* to;
  };
  const Case cases[] = {
      {"as long", "$g = inline procedure() { add eax, 1 };", "add eax, 1 }", "add eax, 7 }"},
      // The comment keeps the rest of the text where it was.
      {"longer", "$g = inline procedure() { add eax, 1 };//0123456789", "add eax, 1 };//0123456789",
       "add eax, 1; add eax, 6 };"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string project = std::string("program FLAT;\nxor eax, eax\n#repeat 2:\n") + c.definition +
                                "\n$g();\nretext '" + c.from + "', '" + c.to + "';\n#end\nret\n";
    FlatOptions o;
    o.plugins = {testPlugin("fileentry")};
    const FlatRun r = runFlatProject(project, 32, o);
    ASSERT_TRUE(r.built) << r.compile.out;
    EXPECT_EQ(linesStarting(r.compile.out, "PlugSys: FE: retext"),
              std::vector<std::string>{"PlugSys: FE: retext replaced"});
    ASSERT_TRUE(r.finished) << r.fault;
    EXPECT_EQ(r.reg(rAX), 8u);  // 1 by the old macro, 7 by the new
  }
}

}  // namespace
}  // namespace vorak::test
