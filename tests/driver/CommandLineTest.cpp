// The executable as a user runs it: usage, options, messages, exit codes and
// the log file, each run on a private copy of the binary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <iterator>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

const std::string kPause = "Press the [enter] key to exit.\n";

std::string afterBanner(const std::string& out) {
  // The banner is five lines of 58 characters.
  size_t pos = 0;
  for (int i = 0; i < 5 && pos != std::string::npos; ++i) pos = out.find('\n', pos) + 1;
  return pos == std::string::npos ? std::string() : out.substr(pos);
}

TEST(CommandLine, NoArgumentPrintsUsage) {
  TempDir dir;
  const RunResult r = runVorak({}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(afterBanner(r.out),
            "usage: vorak.exe c:/file.vor\n"
            "arguments: -out c:/file.exe -nopause -writelog -asmdebug -i \"includepath\"\n" + kPause);
}

TEST(CommandLine, BannerFramesTheVersion) {
  TempDir dir;
  const RunResult r = runVorak({}, dir.path());
  const std::string stars(58, '*');
  const std::string blank = "**" + std::string(54, ' ') + "**";
  ASSERT_EQ(r.out.rfind(stars + "\n" + blank + "\n**     Vorak Assembler ", 0), 0u) << r.out;
  const std::string third = r.out.substr(2 * 59, 59);
  EXPECT_EQ(third.size(), 59u);
  EXPECT_EQ(third.substr(56), "**\n");
}

TEST(CommandLine, OptionsAfterListInstructionsAreNotRead) {
  TempDir dir;
  const RunResult r = runVorak({"-listinstructions", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(afterBanner(r.out).rfind("Instructions: [416]\r\n", 0), 0u);
  ASSERT_GE(r.out.size(), kPause.size());
  EXPECT_EQ(r.out.substr(r.out.size() - kPause.size()), kPause);
}

TEST(CommandLine, MissingProjectFile) {
  TempDir dir;
  RunResult r = runVorak({"nothere.vor"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(afterBanner(r.out), "[001] Input file does not exist nothere.vor\n" + kPause);
  // -nopause is read only after the file check, so the pause stays.
  r = runVorak({"nothere.vor", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(afterBanner(r.out), "[001] Input file does not exist nothere.vor\n" + kPause);
}

TEST(CommandLine, FolderAsProjectFile) {
  TempDir dir;
  fs::create_directory(fs::path(dir.path()) / "proj.vor");
  const RunResult r = runVorak({dir.path() + "/proj.vor"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(afterBanner(r.out),
            "[001] Input file " + dir.path() + "/proj.vor exists but is not a regular file\n" + kPause);
}

TEST(CommandLine, ErrorWithNoPauseExitsWithOne) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "bad.vor", "this is not a program\n");
  const RunResult r = runVorak({dir.path() + "/bad.vor", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.find("Press the [enter]"), std::string::npos);
  EXPECT_FALSE(afterBanner(r.out).empty());
}

TEST(CommandLine, WriteLogCopiesMessagesAndKeepsThemOnAnErrorExit) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "bad.vor", "this is not a program\n");
  const RunResult r = runVorak({dir.path() + "/bad.vor", "-writelog", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  const std::string log = readFile(fs::path(dir.path()) / "log.txt");
  const std::string rule(30, '-');
  ASSERT_EQ(log.rfind("\r\n" + rule + "\r\nLOG STARTED\r\n", 0), 0u) << log;
  // Every line printed after the switch is in the log, flushed before the
  // immediate exit; the closing frame is missing, as the exit skips shut-down.
  const std::string printed = afterBanner(r.out);
  std::string expected;
  for (size_t pos = 0; pos < printed.size();) {
    const size_t nl = printed.find('\n', pos);
    // A fatal error's excerpt lines end in CR LF already.
    std::string line = printed.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    expected += line + "\r\n";
    pos = nl + 1;
  }
  EXPECT_EQ(log.substr(log.find("LOG STARTED\r\n") + 13), expected);
}

TEST(CommandLine, LogFileFramesEachRun) {
  TempDir dir;
  const std::string rule(30, '-');
  writeFile(fs::path(dir.path()) / "bad.vor", "x\n");
  runVorak({dir.path() + "/bad.vor", "-writelog"}, dir.path());
  const std::string first = readFile(fs::path(dir.path()) / "log.txt");
  ASSERT_GE(first.size(), rule.size() + 6);
  EXPECT_EQ(first.substr(first.size() - (rule.size() + 6)), "\r\n" + rule + "\r\n\r\n");
  EXPECT_NE(first.find(kPause.substr(0, kPause.size() - 1) + "\r\n"), std::string::npos);
  runVorak({dir.path() + "/bad.vor", "-writelog"}, dir.path());
  const std::string both = readFile(fs::path(dir.path()) / "log.txt");
  EXPECT_EQ(both, first + first);
}

TEST(CommandLine, UnwritableLogFileIsReported) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "x\n");
  // log.txt is a folder here, so it cannot be opened for appending.
  fs::create_directory(fs::path(dir.path()) / "log.txt");
  // Options are read in order: -nopause is in force when -writelog fails.
  RunResult r = runVorak({dir.path() + "/p.vor", "-nopause", "-writelog"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("EInOutError: Cannot open log file \""), std::string::npos) << r.out;
  r = runVorak({dir.path() + "/p.vor", "-writelog", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("EInOutError: Cannot open log file \""), std::string::npos) << r.out;
}

TEST(CommandLine, LogFileThatIsAPipeNobodyReadsIsReported) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "x\n");
  // Opening a pipe for writing would wait for a reader for ever.
  ASSERT_EQ(mkfifo((fs::path(dir.path()) / "log.txt").c_str(), 0600), 0);
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause", "-writelog"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("EInOutError: Cannot open log file \""), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

// Whether a builder plug-in ships beside the executable.
bool haveBuilderPlugin() {
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(VORAK_BIN_DIR) / "plugins", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".so") return true;
  return false;
}

TEST(CommandLine, CompileSummaryLine) {
  ASSERT_TRUE(haveBuilderPlugin()) << "no builder plug-in in " VORAK_BIN_DIR "/plugins";
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program FLAT;\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path());
  const size_t at = r.out.find("\nCompile OK - ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  unsigned lines = 0, files = 0;
  char seconds[32] = {};
  int used = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "Compile OK - %u lines, %u files, %31[0-9.] second(s)%n", &lines, &files,
                        seconds, &used),
            3)
      << line;
  EXPECT_EQ(static_cast<size_t>(used), line.size()) << line;
  EXPECT_EQ(files, 2u);  // the project and the standard include "vorak.vor"
  const std::string s = seconds;
  const size_t dot = s.find('.');
  if (dot != std::string::npos) {
    EXPECT_GE(s.size() - dot - 1, 1u);  // no bare separator
    EXPECT_LE(s.size() - dot - 1, 4u);  // at most four decimals
    EXPECT_NE(s.back(), '0');           // trailing zeros dropped
  }
}

TEST(CommandLine, AsmDebugListingIsWrittenBesideTheProjectAtShutDown) {
  TempDir dir;
  fs::create_directory(fs::path(dir.path()) / "src");
  writeFile(fs::path(dir.path()) / "src" / "my.prog.vor", "x\n");
  // A run that pauses shuts down and writes the listing...
  runVorak({dir.path() + "/src/my.prog.vor", "-asmdebug"}, dir.path());
  EXPECT_TRUE(fs::exists(fs::path(dir.path()) / "src" / "my.prog.asm"));
  fs::remove(fs::path(dir.path()) / "src" / "my.prog.asm");
  // ...the immediate error exit of -nopause does not.
  const RunResult r = runVorak({dir.path() + "/src/my.prog.vor", "-nopause", "-asmdebug"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "src" / "my.prog.asm"));
}

TEST(CommandLine, RelativeProjectPathAndUnknownOptions) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "q.vor", "x\n");
  // Unknown arguments are ignored; options are case-sensitive.
  const RunResult r = runVorak({"q.vor", "-NOPAUSE", "--help", "-nopause"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.find("[001]"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

const RunOptions kFlatOnly{std::vector<std::string>{shippedPlugin("flat")}};

TEST(CommandLine, OutputNameBatchFileAndSecondRun) {
  TempDir dir;
  const fs::path d(dir.path());
  fs::create_directory(d / "src");
  writeFile(d / "src" / "prog.vor", "program flat;\nnop\nret\n");
  RunResult r = runVorak({(d / "src" / "prog.vor").string(), "-nopause"}, dir.path(), kFlatOnly);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  // The output lands beside the project under the builder's extension.
  EXPECT_EQ(readFile(d / "src" / "prog.bin"), std::string("\x90\xC3", 2));
  const std::string bat = readFile(d / "src" / "prog.build.bat");
  EXPECT_EQ(bat, "'" + (d / "vorak").string() + "' '" + (d / "src" / "prog.vor").string() + "'");
  // A second run leaves an existing batch file alone.
  writeFile(d / "src" / "prog.build.bat", "mine");
  r = runVorak({(d / "src" / "prog.vor").string(), "-nopause", "-out", (d / "other").string()}, dir.path(), kFlatOnly);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(d / "src" / "prog.build.bat"), "mine");
  // -out names the output; the extension always follows.
  EXPECT_EQ(readFile(d / "other.bin"), std::string("\x90\xC3", 2));
}

TEST(CommandLine, OutputIntoAFolderThatCannotBeWritten) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program FLAT;\nret\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause", "-out", dir.path() + "/no/such/folder/p"},
                               dir.path(), kFlatOnly);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("EFCreateError: Cannot create file \"" + dir.path() + "/no/such/folder/p.bin\""),
            std::string::npos)
      << r.out;
}

TEST(CommandLine, UnsupportedResourceEntryIsReportedByTheTopLevelHandler) {
  TempDir dir;
  // One entry whose type is given by name (the marker is not FFFF).
  std::string res(32, '\0');
  res[0] = 4;
  res[4] = 32;
  res[8] = 'R';
  res[12] = '\xFF';
  res[13] = '\xFF';
  writeFile(fs::path(dir.path()) / "r.res", res + "abcd");
  writeFile(fs::path(dir.path()) / "p.vor", "program FLAT;\n#resource 'r.res';\nret\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), kFlatOnly);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\nException: This type of resource id is not supported yet, please ask a developer for "
                       "details.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("in [p.vor]"), std::string::npos) << r.out;
}

TEST(CommandLine, ProgramOptionOverridesTheHeader) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program nosuchtype;\nret\n");
  RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), kFlatOnly);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("[0002] Unknown application type NOSUCHTYPE, installed: FLAT"), std::string::npos)
      << r.out;
  r = runVorak({dir.path() + "/p.vor", "-nopause", "-program", "Flat"}, dir.path(), kFlatOnly);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(fs::path(dir.path()) / "p.bin"), "\xC3");
}

TEST(CommandLine, IncludeFolderOption) {
  TempDir dir;
  const fs::path d(dir.path());
  fs::create_directory(d / "lib");
  writeFile(d / "lib" / "extra.vor", "inc eax\n");
  writeFile(d / "p.vor", "program FLAT;\n#include \"extra.vor\"\nret\n");
  RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), kFlatOnly);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  r = runVorak({(d / "p.vor").string(), "-nopause", "-i", (d / "lib").string()}, dir.path(), kFlatOnly);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), "\xFF\xC0\xC3");  // inc eax; ret
}

}  // namespace
}  // namespace vorak::test

namespace vorak::test {
namespace {

TEST(CommandLine, AsmDebugListsEveryEncodedInstruction) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program FLAT;\nmov eax, 5\nret\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-asmdebug"}, dir.path(),
                               RunOptions{std::vector<std::string>{shippedPlugin("flat")}});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  // Byte texts padded to a 48-character column, three tabs, the instruction;
  // an empty line after every return.
  const std::string mov = "B8 05 00 00 00 " + std::string(33, ' ') + "\t\t\t; mov eax, 5\r\n";
  const std::string ret = "C3 " + std::string(45, ' ') + "\t\t\t; ret\r\n\r\n";
  EXPECT_EQ(readFile(fs::path(dir.path()) / "p.asm"), mov + ret);
}

}  // namespace
}  // namespace vorak::test
