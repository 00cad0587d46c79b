// Calls a plug-in makes once the compile is over: func_execute at the
// builder's completion event, and every entry of the table from an exit
// entry, when the compiler is shutting down. The test plug-in "late" makes
// them and reports what each gave.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

RunOptions withLate(std::vector<std::string> plugins, std::vector<std::string> env) {
  RunOptions options;
  plugins.push_back(testPlugin("late"));
  options.plugins = std::move(plugins);
  options.env = std::move(env);
  return options;
}

// ---- func_execute at the builder's completion event ----

// The compile is over when the builder lays out the output: a text handed to
// func_execute then compiles nothing, good or bad, and the answer is 0.
struct ExecuteCase {
  const char* name;
  const char* text;
};

class ExecuteAtCompletion : public ::testing::TestWithParam<ExecuteCase> {};

TEST_P(ExecuteAtCompletion, CompilesNothingAndAnswersZero) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program LATE;\nnop\nret\n");
  const std::string report = (d / "report.txt").string();
  const RunResult r =
      runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(),
               withLate({}, {"VORAK_LATE_REPORT=" + report, std::string("VORAK_LATE_EXEC=") + GetParam().text}));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  // The main function is the first: its two bytes, and no byte more.
  EXPECT_EQ(lines(readFile(report)).at(0), "execute 0 2 2");
  EXPECT_EQ(readFile(d / "p.bin"), "\x90\xC3");
  EXPECT_NE(r.out.find("Build Complete"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Texts, ExecuteAtCompletion,
                         ::testing::Values(ExecuteCase{"AnInstruction", "nop\n"},
                                           ExecuteCase{"ABadText", "bogus statement\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every entry from an exit entry ----

// What each entry gives once shut-down has begun: its "nothing", and no
// out-parameter written (the test plug-in presets them to A5 bytes).
std::map<std::string, std::string> nothingValues() {
  const std::string untouched4 = "A5A5A5A5";
  const std::string untouched8 = untouched4 + untouched4;
  const std::string untouched10 = untouched8 + "A5A5";
  return {
      {"Log_MessageA", "-"},         {"Log_MessageW", "-"},
      {"RegisterBuilder", "-1"},     {"File_Commit", "-"},
      {"File_AddBytes", "0"},        {"File_Len", "0"},
      {"File_ReplaceBytes", "0"},    {"Code_Get", "0"},
      {"Code_Get.len", untouched4},  {"Code_Count", "0"},
      {"Const_Get", "0"},            {"Const_Count", "0"},
      {"Fixup_Get", "0"},            {"Fixup_Count", "0"},
      {"Func_Get", "0"},             {"Func_Count", "0"},
      {"File_WriteCode", "-"},       {"import_get", "0"},
      {"import_count", "0"},         {"ilib_count", "0"},
      {"ilib_name", "0"},            {"fixup_add", "-"},
      {"func_emit", "-"},            {"func_rem", "-"},
      {"func_execute", "0"},         {"Var_Get", "0"},
      {"Var_Count", "0"},            {"set_fileext", "-"},
      {"file_getbuf", "0"},          {"file_writeresources", "0"},
      {"get_flags", "0"},            {"RegisterKeyword", "4294967295"},
      {"UnregisterKeyword", "0"},    {"expect_next_token", "1"},  // ttNone
      {"expect_next_ident", "0"},                                   // itNone
      {"get_token_size", "0"},       {"get_next_token", "2"},     // ttEOF
      {"token_get_int32", "-"},      {"token_get_int32.out", untouched4},
      {"get_int64_value", "-"},      {"get_int64_value.out", untouched8},
      {"get_char_ptr", "empty"},     {"get_wchar_ptr", "0"},
      {"get_real_value", "-"},       {"get_real_value.out", untouched10},
      {"peek_next_token", "2"},      {"vorak_eol", "0"},
      {"vorak_extractline", "0"},    {"vorak_extractline.buf", untouched10},
      {"get_token_ident", "0"},      {"token_conv_labelref", "4294967295"},
      {"token_get_dataptr", "0"},    {"vorak_func_index", "4294967295"},
      {"vorak_var_fixupcount", "0"}, {"vorak_var_fixup", "0"},
      {"vorak_file_setbuffer", "0"}, {"file_hasresources", "0"},
      {"vorak_res_size", "0"},       {"vorak_import_total", "0"},
      {"vorak_export_total", "0"},   {"vorak_fixup_total", "0"},
  };
}

class ExitEntry : public ::testing::TestWithParam<bool> {};

TEST_P(ExitEntry, EveryCallGetsNothingAfterAGoodBuildWrittenWhole) {
  const bool nopause = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nnop\nret\n");
  const std::string report = (d / "report.txt").string();
  const std::string listingFile = (d / "p.asm").string();
  const std::string logFile = (d / "log.txt").string();  // the compiler folder's
  std::vector<std::string> args = {(d / "p.vor").string(), "-asmdebug", "-writelog"};
  if (nopause) args.push_back("-nopause");
  const RunResult r = runVorak(
      args, dir.path(),
      withLate({shippedPlugin("flat")},
               {"VORAK_LATE_REPORT=" + report, "VORAK_LATE_WRITTEN=" + listingFile + "|" + logFile}));

  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Build Complete"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, "Press the [enter] key to exit."), nopause ? 0u : 1u) << r.out;
  // Messages still reach the console, a fatal one as a plain message: the
  // run is over, with its pause line once and its exit code.
  EXPECT_EQ(count(r.out, "\nPlugSys: LATE: exit message\n"), 1u) << r.out;
  EXPECT_EQ(count(r.out, "\nPlugSys: LATE: fatal exit message\n"), 1u) << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), "\x90\xC3");

  const std::vector<std::string> got = lines(readFile(report));
  ASSERT_FALSE(got.empty()) << r.out;
  EXPECT_EQ(got.back(), "done") << r.out;
  // The listing and the log were on disk before the exit entry ran.
  size_t i = 0;
  for (const std::string& file : {listingFile, logFile}) {
    ASSERT_LT(i, got.size());
    const std::string& line = got[i++];
    ASSERT_EQ(line.rfind("written ", 0), 0u) << line;
    EXPECT_GT(std::stoll(line.substr(8)), 0) << line;
    EXPECT_EQ(line.substr(line.find(' ', 8) + 1), file);
  }
  const std::map<std::string, std::string> nothing = nothingValues();
  ASSERT_EQ(nothing.size(), 61u);  // 56 entries and 5 out-parameters
  size_t calls = 0;
  for (; i < got.size() && got[i] != "done"; ++i) {
    if (got[i] == "round sane" || got[i] == "round hostile") continue;
    const size_t space = got[i].find(' ');
    const std::string name = got[i].substr(0, space);
    ASSERT_TRUE(nothing.count(name)) << got[i];
    EXPECT_EQ(got[i].substr(space + 1), nothing.at(name)) << name << " (call " << calls << ")";
    ++calls;
  }
  EXPECT_EQ(calls, 2 * nothing.size());

  // The listing and the log are whole: written before the plug-ins' exit
  // entries ran, and nothing of those entries in them.
  EXPECT_NE(readFile(listingFile).find("nop"), std::string::npos);
  const std::string log = readFile(logFile);
  EXPECT_NE(log.find("Build Complete"), std::string::npos) << log;
  EXPECT_EQ(log.find("LATE"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Exits, ExitEntry, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "NoPause" : "AfterThePause"); });

// After a compile that fails, at the shut-down that follows the pause, the
// exit entry's calls get nothing as well.
TEST(ExitEntry, AfterAFailedCompileCallsGetNothingToo) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nbogus\n");
  const std::string report = (d / "report.txt").string();
  const RunResult r = runVorak({(d / "p.vor").string()}, dir.path(),
                               withLate({shippedPlugin("flat")}, {"VORAK_LATE_REPORT=" + report}));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(count(r.out, "Press the [enter] key to exit."), 1u) << r.out;
  const std::string got = readFile(report);
  EXPECT_NE(got.find("RegisterBuilder -1\n"), std::string::npos) << got;
  EXPECT_NE(got.find("func_execute 0\n"), std::string::npos) << got;
  EXPECT_EQ(lines(got).back(), "done");
}

}  // namespace
}  // namespace vorak::test
