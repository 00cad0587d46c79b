// What a build writes, and what it must never do to the files around it: no
// input overwritten, no partial output, paths a shell takes as one word, and
// output names that are names of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

// The names in a folder, sorted.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const RunOptions kFlat{std::vector<std::string>{shippedPlugin("flat")}};
const RunOptions kOutbuf{std::vector<std::string>{testPlugin("outbuf")}};

// VORAK_OUTBUF for the runs inside one scope (the child inherits it).
class OutbufSteps {
 public:
  explicit OutbufSteps(const char* steps) { setenv("VORAK_OUTBUF", steps, 1); }
  ~OutbufSteps() { unsetenv("VORAK_OUTBUF"); }
  OutbufSteps(const OutbufSteps&) = delete;
  OutbufSteps& operator=(const OutbufSteps&) = delete;
};

// ---- inputs are never overwritten ----

struct InputCase {
  const char* name;
  const char* project;                 // file name of the project
  std::vector<std::string> files;      // further files: name, text, name, text, ...
  std::vector<std::string> options;    // after the project path
  const char* steps;                   // VORAK_OUTBUF, for the OUTBUF builder
  const char* message;                 // the refusal, up to the file name
  const char* target;                  // the file the message names
  const char* body = "nop\nret\n";    // the project after its header
  std::vector<std::string> links = {};  // symbolic links: name, target, ...
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class InputsAreKept : public ::testing::TestWithParam<InputCase> {};

TEST_P(InputsAreKept, RefusedWithNothingWritten) {
  const InputCase& c = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  const bool outbuf = c.steps != nullptr;
  const std::string header = outbuf ? "program OUTBUF;\n" : "program FLAT;\n";
  std::vector<std::pair<std::string, std::string>> inputs = {{c.project, header + c.body}};
  for (size_t i = 0; i + 1 < c.files.size(); i += 2) inputs.emplace_back(c.files[i], c.files[i + 1]);
  for (const auto& [name, text] : inputs) writeFile(d / name, text);
  for (size_t i = 0; i + 1 < c.links.size(); i += 2) fs::create_symlink(c.links[i + 1], d / c.links[i]);
  const std::vector<std::string> before = listing(d);

  std::vector<std::string> args = {(d / c.project).string(), "-nopause"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  OutbufSteps steps(outbuf ? c.steps : "");
  const RunResult r = runVorak(args, dir.path(), outbuf ? kOutbuf : kFlat);

  EXPECT_EQ(r.exitCode, 1) << r.out;
  // The name as the run spelled it: relative to the project folder, or whole.
  const std::string message = std::string(c.message) + " \"";
  const size_t at = r.out.find(message);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string rest = r.out.substr(at + message.size());
  const std::string tail = std::string(c.target) + "\" is a file that the build reads";
  EXPECT_TRUE(rest.rfind(tail, 0) == 0 || rest.rfind(d.string() + "/" + tail, 0) == 0) << r.out;
  for (const auto& [name, text] : inputs) EXPECT_EQ(readFile(d / name), text) << name;
  // Nothing new beside them but what the run itself brings (the executable
  // and its folders): no output, no listing, no batch file, no temporary file.
  std::vector<std::string> after = listing(d);
  std::erase_if(after, [](const std::string& n) { return n == "vorak" || n == "plugins" || n == "includes"; });
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    Build, InputsAreKept,
    ::testing::Values(
        InputCase{"OutputNamedAsTheProject", "prog.bin", {}, {}, nullptr, "[13031] The output file", "prog.bin"},
        InputCase{"OutputNamedAsAnInclude",
                  "p.vor",
                  {"inc.bin", "nop\n"},
                  {"-out", "inc"},
                  nullptr,
                  "[13031] The output file",
                  "inc.bin",
                  "#include 'inc.bin'\nret\n"},
        InputCase{"ListingNamedAsTheProject", "foo.asm", {}, {"-asmdebug"}, nullptr, "[13032] The listing file",
                  "foo.asm"},
        // The log is appended to log.txt in the compiler folder, here the
        // project folder.
        InputCase{"LogNamedAsTheProject", "log.txt", {}, {"-writelog"}, nullptr, "[13035] The log file", "log.txt"},
        InputCase{"LogNamedAsAnInclude",
                  "p.vor",
                  {"log.txt", "nop\n"},
                  {"-writelog"},
                  nullptr,
                  "[13035] The log file",
                  "log.txt",
                  "#include 'log.txt'\nret\n"},
        InputCase{"LogLinkedToTheProject",
                  "p.vor",
                  {},
                  {"-writelog"},
                  nullptr,
                  "[13035] The log file",
                  "log.txt",
                  "nop\nret\n",
                  {"log.txt", "p.vor"}},
        InputCase{"BuilderCommitsUnderTheProjectName", "p.vor", {}, {}, "wvc", "[13031] The output file", "p.vor"},
        InputCase{"BuilderRenamesTheOutputAsTheProject", "p.vor", {}, {}, "wv", "[13031] The output file",
                  "p.vor"}),
    [](const ::testing::TestParamInfo<InputCase>& i) { return std::string(i.param.name); });

TEST(InputsAreKept, ListingNamedAsAnIncludeIsRefusedAfterTheCompile) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\n#include 'p.asm'\nret\n");
  writeFile(d / "p.asm", "nop\n");
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause", "-asmdebug"}, dir.path(), kFlat);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("[13032] The listing file \"" + (d / "p.asm").string() + "\" is a file that the build reads"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.asm"), "nop\n");
  EXPECT_FALSE(fs::exists(d / "p.bin"));
}

// A compile that fails after reading log.txt leaves it as it was, on the
// immediate exit of -nopause and at the shut-down after the pause alike.
class LogReadByAFailedCompile : public ::testing::TestWithParam<bool> {};

TEST_P(LogReadByAFailedCompile, IsNotWritten) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\n#include 'log.txt'\nbogus\n");
  writeFile(d / "log.txt", "nop\n");
  std::vector<std::string> args = {(d / "p.vor").string(), "-writelog"};
  if (GetParam()) args.push_back("-nopause");
  const RunResult r = runVorak(args, dir.path(), kFlat);
  EXPECT_NE(r.out.find("Unexpected ident bogus"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("EInOutError: Cannot write log file \"" + (d / "log.txt").string() +
                       "\". The build reads this file"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "log.txt"), "nop\n");
}

INSTANTIATE_TEST_SUITE_P(Exits, LogReadByAFailedCompile, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "NoPause" : "AfterThePause"); });

// ---- output is replaced whole or not at all ----

TEST(OutputFile, AFailedWriteKeepsThePreviousOutputAndLeavesNoPartialFile) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program OUTBUF;\n");
  {
    OutbufSteps steps("w");
    const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), kOutbuf);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(readFile(d / "p.bin"), "good output");
  }
  const std::vector<std::string> before = listing(d);
  OutbufSteps steps("z");
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), kOutbuf);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("EInOutError: Cannot write file \"p.bin\"."), std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), "good output");
  EXPECT_EQ(listing(d), before);
}

TEST(OutputFile, AnEarlyCommitUnderAnotherNameIsReplacedByTheFinalOne) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program OUTBUF;\n");
  OutbufSteps steps("wc");
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause", "-out", (d / "out").string()}, dir.path(), kOutbuf);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(d / "out.bin"), "good output");
}

// A builder may patch the buffer from the buffer itself, the ranges
// overlapping in either direction.
TEST(OutputFile, PatchesFromTheBufferItselfMayOverlap) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program OUTBUF;\n");
  OutbufSteps steps("o");
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), kOutbuf);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  // "0123456789" -> bytes 3.. to 1.. gives "2345678989" -> bytes 1..7 to 3.. gives "2323456789".
  EXPECT_EQ(readFile(d / "p.bin"), "2323456789");
}

// ---- the batch file ----

TEST(BatchFile, EveryPathIsOneWordForTheShell) {
  TempDir dir;
  const fs::path d(dir.path());
  const std::string name = "a$(touch dollar)`touch backquote`\"q'q 'x.vor";
  writeFile(d / name, "program FLAT;\nnop\nret\n");
  RunResult r = runVorak({(d / name).string(), "-nopause"}, dir.path(), kFlat);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const fs::path output = d / "a$(touch dollar)`touch backquote`\"q'q 'x.bin";
  const fs::path bat = d / "a$(touch dollar)`touch backquote`\"q'q 'x.build.bat";
  ASSERT_TRUE(fs::exists(output));
  ASSERT_TRUE(fs::exists(bat));
  fs::remove(output);
  // Run as the documentation says: by a shell. It rebuilds the output and
  // runs nothing that the name spells.
  const std::string cmd = "cd '" + dir.path() + "' && sh ./*.build.bat </dev/null >/dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(readFile(output), std::string("\x90\xC3", 2));
  EXPECT_FALSE(fs::exists(d / "dollar"));
  EXPECT_FALSE(fs::exists(d / "backquote"));
}

// ---- -out ----

struct OutCase {
  const char* name;
  std::string value;  // "@" stands for the scratch folder
  const char* message;
};

void PrintTo(const OutCase& c, std::ostream* os) { *os << c.name; }

class OutOption : public ::testing::TestWithParam<OutCase> {};

TEST_P(OutOption, ValueThatIsNoFileNameIsRefused) {
  const OutCase& c = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  fs::create_directory(d / "sub");
  writeFile(d / "p.vor", "program FLAT;\nret\n");
  std::string value = c.value;
  if (value.rfind('@', 0) == 0) value = dir.path() + value.substr(1);
  const std::vector<std::string> before = listing(d);
  const RunResult r = runVorak({(d / "p.vor").string(), "-out", value, "-nopause"}, dir.path(), kFlat);
  // The run stops before the build; -nopause after the refused value is not read.
  EXPECT_NE(r.out.find(std::string(c.message) + "\"" + value + "\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Press the [enter] key to exit."), std::string::npos) << r.out;
  std::vector<std::string> after = listing(d);
  std::erase_if(after, [](const std::string& n) { return n == "vorak" || n == "plugins" || n == "includes"; });
  EXPECT_EQ(after, before);
  EXPECT_FALSE(fs::exists(d / "sub.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OutOption,
    ::testing::Values(OutCase{"AnOption", "-nopause", "[13033] The option -out needs a file name, "},
                      OutCase{"TheRootFolder", "/", "[13034] The option -out needs a file name, "},
                      OutCase{"TheCurrentFolder", ".", "[13034] The option -out needs a file name, "},
                      OutCase{"TheParentFolder", "..", "[13034] The option -out needs a file name, "},
                      OutCase{"ATrailingSlash", "@/out/", "[13034] The option -out needs a file name, "},
                      OutCase{"AnExistingFolder", "@/sub", "[13034] The option -out needs a file name, "},
                      OutCase{"DotInAFolder", "@/sub/.", "[13034] The option -out needs a file name, "},
                      OutCase{"Empty", "", "[13034] The option -out needs a file name, "}),
    [](const ::testing::TestParamInfo<OutCase>& i) { return std::string(i.param.name); });

TEST(OutOption, AFileNameInAFolderIsTaken) {
  TempDir dir;
  const fs::path d(dir.path());
  fs::create_directory(d / "sub");
  writeFile(d / "p.vor", "program FLAT;\nret\n");
  const RunResult r = runVorak({(d / "p.vor").string(), "-out", (d / "sub" / "x").string(), "-nopause"}, dir.path(),
                               kFlat);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(d / "sub" / "x.bin"), "\xC3");
}

// ---- a file-size limit ----

// Each run starts with SIGXFSZ at its default action, which ends a process
// that writes past its limit (runVorak resets it in the child). The compiler
// takes the failed write instead and says so.

// What the run printed after its "Compile OK" line.
std::string afterCompile(const std::string& out) {
  const size_t at = out.find("Compile OK - ");
  if (at == std::string::npos) return "(no Compile OK line) " + out;
  const size_t end = out.find('\n', at);
  return end == std::string::npos ? std::string() : out.substr(end + 1);
}

// The names in a folder that a run left there besides what it brings.
std::vector<std::string> leftBy(const fs::path& dir) {
  std::vector<std::string> names = listing(dir);
  std::erase_if(names, [](const std::string& n) { return n == "vorak" || n == "plugins" || n == "includes"; });
  return names;
}

TEST(FileSizeLimit, OutputPastTheLimitIsOneMessageAndNoFile) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nbyte a[5000];\nret\n");
  RunOptions options = kFlat;
  options.fileSizeLimit = 2048;
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), options);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(afterCompile(r.out), "EInOutError: Cannot write file \"p.bin\". File too large\n") << r.out;
  EXPECT_EQ(leftBy(d), std::vector<std::string>{"p.vor"});
}

// ---- files written at shut-down ----

// A listing that cannot be written is a failed run: exit code 1 under
// -nopause, 0 after the pause, the message either way.
class ListingNotWritten : public ::testing::TestWithParam<bool> {};

TEST_P(ListingNotWritten, InAFoldersPlace) {
  const bool nopause = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nnop\nret\n");
  fs::create_directory(d / "p.asm");
  std::vector<std::string> args = {(d / "p.vor").string(), "-asmdebug"};
  if (nopause) args.push_back("-nopause");
  const RunResult r = runVorak(args, dir.path(), kFlat);
  EXPECT_EQ(r.exitCode, nopause ? 1 : 0) << r.out;
  EXPECT_NE(r.out.find("EFCreateError: Cannot create file \"" + (d / "p.asm").string() + "\". Is a directory\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), "\x90\xC3");
  EXPECT_TRUE(fs::is_empty(d / "p.asm"));
}

TEST_P(ListingNotWritten, PastTheFileSizeLimit) {
  const bool nopause = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  std::string body = "program FLAT;\n";
  for (int i = 0; i < 400; ++i) body += "nop\n";
  writeFile(d / "p.vor", body + "ret\n");
  RunOptions options = kFlat;
  options.fileSizeLimit = 4096;
  std::vector<std::string> args = {(d / "p.vor").string(), "-asmdebug"};
  if (nopause) args.push_back("-nopause");
  const RunResult r = runVorak(args, dir.path(), options);
  EXPECT_EQ(r.exitCode, nopause ? 1 : 0) << r.out;
  EXPECT_NE(r.out.find("EInOutError: Cannot write file \"" + (d / "p.asm").string() + "\". File too large\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), std::string(400, '\x90') + "\xC3");
  // No listing and no temporary file beside it.
  EXPECT_EQ(leftBy(d), (std::vector<std::string>{"p.bin", "p.build.bat", "p.vor"}));
}

INSTANTIATE_TEST_SUITE_P(Exits, ListingNotWritten, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "NoPause" : "AfterThePause"); });

TEST(LogNotWritten, OnAFullDiskEndsWithCodeOne) {
  ASSERT_TRUE(fs::exists("/dev/full"));  // a device that is always full
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nnop\nret\n");
  // log.txt sits in the compiler folder, here the scratch folder.
  fs::create_symlink("/dev/full", d / "log.txt");
  const RunResult r = runVorak({(d / "p.vor").string(), "-writelog", "-nopause"}, dir.path(), kFlat);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("EInOutError: Cannot write log file \"" + (d / "log.txt").string() +
                       "\". No space left on device\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.bin"), "\x90\xC3");
}

TEST(BatchFileNotWritten, PastTheFileSizeLimitEndsWithCodeOne) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nret\n");
  RunOptions options = kFlat;
  // Room for the output (one byte), not for the batch file's two paths.
  options.fileSizeLimit = 16;
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), options);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("EInOutError: Cannot write file \"" + (d / "p.build.bat").string() + "\". File too large\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(leftBy(d), (std::vector<std::string>{"p.bin", "p.vor"}));
}

// ---- two files of one run are one file ----

const RunOptions kLate{std::vector<std::string>{testPlugin("late")}};

RunOptions lateWith(std::vector<std::string> env) {
  RunOptions options = kLate;
  options.env = std::move(env);
  return options;
}

class OutputIsTheListing : public ::testing::TestWithParam<bool> {};

TEST_P(OutputIsTheListing, IsRefusedAndNeitherIsWritten) {
  const bool nopause = GetParam();
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "e.vor", "program LATE;\nnop\nret\n");
  std::vector<std::string> args = {(d / "e.vor").string(), "-asmdebug"};
  if (nopause) args.push_back("-nopause");
  const RunResult r = runVorak(args, dir.path(), lateWith({"VORAK_LATE_EXT=asm"}));
  EXPECT_EQ(r.exitCode, nopause ? 1 : 0) << r.out;
  EXPECT_NE(r.out.find("[13120] The output file \"e.asm\" and the listing file \"" + (d / "e.asm").string() +
                       "\" are one file"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Build Complete"), std::string::npos) << r.out;
  EXPECT_EQ(leftBy(d), std::vector<std::string>{"e.vor"});
}

INSTANTIATE_TEST_SUITE_P(Exits, OutputIsTheListing, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "NoPause" : "AfterThePause"); });

TEST(WrittenFilesAreDistinct, OutputNamedAsTheLogKeepsTheLog) {
  TempDir dir;
  const fs::path d(dir.path());
  // The project in the compiler folder, where log.txt is.
  writeFile(d / "log.vor", "program LATE;\nnop\nret\n");
  const RunResult r =
      runVorak({(d / "log.vor").string(), "-writelog", "-nopause"}, dir.path(), lateWith({"VORAK_LATE_EXT=txt"}));
  EXPECT_EQ(r.exitCode, 1) << r.out;
  const std::string message =
      "[13120] The output file \"log.txt\" and the log file \"" + (d / "log.txt").string() + "\" are one file";
  EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
  const std::string log = readFile(d / "log.txt");
  EXPECT_NE(log.find("LOG STARTED"), std::string::npos) << log;
  EXPECT_NE(log.find("Compile OK - "), std::string::npos) << log;
  EXPECT_NE(log.find(message), std::string::npos) << log;
}

TEST(WrittenFilesAreDistinct, ListingLinkedToTheLogIsRefusedBeforeTheBuild) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nnop\nret\n");
  fs::create_symlink("log.txt", d / "p.asm");
  const RunResult r =
      runVorak({(d / "p.vor").string(), "-writelog", "-asmdebug", "-nopause"}, dir.path(), kFlat);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  const std::string message = "[13120] The listing file \"" + (d / "p.asm").string() + "\" and the log file \"" +
                              (d / "log.txt").string() + "\" are one file";
  EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Compile OK"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_symlink(d / "p.asm"));
  EXPECT_NE(readFile(d / "log.txt").find(message), std::string::npos);
  EXPECT_FALSE(fs::exists(d / "p.bin"));
}

TEST(WrittenFilesAreDistinct, OutputHardLinkedToTheBatchFileIsRefused) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program FLAT;\nnop\nret\n");
  writeFile(d / "p.build.bat", "keep");
  fs::create_hard_link(d / "p.build.bat", d / "p.bin");
  const RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), kFlat);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("[13120] The output file \"p.bin\" and the batch file \"" + (d / "p.build.bat").string() +
                       "\" are one file"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(d / "p.build.bat"), "keep");
  EXPECT_EQ(readFile(d / "p.bin"), "keep");
  EXPECT_EQ(fs::hard_link_count(d / "p.bin"), 2u);
}

// ---- the builder's extension ----

struct ExtensionCase {
  const char* name;
  std::string ext;
  std::string message;  // the refusal
};

void PrintTo(const ExtensionCase& c, std::ostream* os) { *os << c.name; }

class BuilderExtension : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(BuilderExtension, ThatIsNoPlainNameIsRefused) {
  const ExtensionCase& c = GetParam();
  TempDir dir;
  // The project two folders down, with a folder named as the output plus
  // "x", so that each path the extension could spell exists.
  const fs::path d = fs::path(dir.path()) / "a" / "b";
  fs::create_directories(d / "p.x");
  writeFile(d / "p.vor", "program LATE;\nnop\nret\n");
  const RunResult r =
      runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), lateWith({"VORAK_LATE_EXT=" + c.ext}));
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  EXPECT_EQ(listing(d), (std::vector<std::string>{"p.vor", "p.x"}));
  EXPECT_TRUE(fs::is_empty(d / "p.x"));
  EXPECT_EQ(listing(fs::path(dir.path()) / "a"), std::vector<std::string>{"b"});
}

const std::string kNotAName = "\" is not a plain name: it holds \"/\", \"\\\", \"..\" or NUL";

INSTANTIATE_TEST_SUITE_P(
    Build, BuilderExtension,
    ::testing::Values(
        ExtensionCase{"UpAndOut", "x/../../escaped",
                      "[13121] The builder's file extension \"x/../../escaped" + kNotAName},
        ExtensionCase{"IntoAFolder", "x/y", "[13121] The builder's file extension \"x/y" + kNotAName},
        ExtensionCase{"Absolute", "/escaped", "[13121] The builder's file extension \"/escaped" + kNotAName},
        ExtensionCase{"Backslash", "x\\y", "[13121] The builder's file extension \"x\\y" + kNotAName},
        ExtensionCase{"DotDot", "..", "[13121] The builder's file extension \".." + kNotAName},
        ExtensionCase{"DotDotInside", "a..b", "[13121] The builder's file extension \"a..b" + kNotAName},
        ExtensionCase{"Over255Bytes", std::string(256, 'e'),
                      "[13122] The builder's file extension is 256 bytes long, at most 255 are allowed"}),
    [](const ::testing::TestParamInfo<ExtensionCase>& i) { return std::string(i.param.name); });

TEST(BuilderExtension, APlainNameIsTaken) {
  TempDir dir;
  const fs::path d(dir.path());
  writeFile(d / "p.vor", "program LATE;\nnop\nret\n");
  RunResult r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), lateWith({"VORAK_LATE_EXT=tar.gz"}));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(fs::exists(d / "p.tar.gz"));
  // 255 bytes are taken; the file system then refuses a name that long.
  const std::string ext(255, 'e');
  r = runVorak({(d / "p.vor").string(), "-nopause"}, dir.path(), lateWith({"VORAK_LATE_EXT=" + ext}));
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_EQ(r.out.find("[13122]"), std::string::npos) << r.out;
  // The name is printed cut to 200 bytes.
  EXPECT_NE(r.out.find("EFCreateError: Cannot create file \"p." + ext.substr(0, 198) + "...\". File name too long"),
            std::string::npos)
      << r.out;
}

// ---- a run ended by a signal ----

struct SignalCase {
  const char* name;
  int sig;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

const SignalCase kEndingSignals[] = {
    {"SIGHUP", SIGHUP}, {"SIGINT", SIGINT}, {"SIGQUIT", SIGQUIT}, {"SIGTERM", SIGTERM}};

// Starts the compiler in dir with sig at its default action and let through,
// as from an interactive shell (a background child of a shell without job
// control would ignore SIGINT), without a core dump; standard output goes
// to dir/out.txt. env is added to the test's own environment.
pid_t startInterruptible(const std::string& exe, const std::vector<std::string>& args, const fs::path& dir, int sig,
                         const std::vector<std::string>& env = {}) {
  // Built before fork: the child makes async-signal-safe calls only.
  std::vector<std::string> argStore{exe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = env;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string workDir = dir.string();
  const std::string outPath = (dir / "out.txt").string();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(workDir.c_str()) != 0) _exit(126);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

// The child's wait status, once it has ended; after limitMs it is killed
// and the test fails.
int waitEnded(pid_t pid, int limitMs = 60000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  for (;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the run did not end";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The temporary files beside name in dir ("name.XXXXXX").
std::vector<std::string> tempsOf(const fs::path& dir, const std::string& name) {
  std::vector<std::string> temps = listing(dir);
  std::erase_if(temps, [&](const std::string& n) { return n.size() != name.size() + 7 || n.rfind(name + ".", 0) != 0; });
  return temps;
}

std::string endedBy(int status) {
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  return "status " + std::to_string(status);
}

class InterruptedRun : public ::testing::TestWithParam<SignalCase> {};

// Killed while the output's temporary file grows: it goes, the previous
// output stays, and the run ends by the signal itself.
TEST_P(InterruptedRun, WhileTheOutputIsWrittenLeavesNoTemporaryFile) {
  const int sig = GetParam().sig;
  TempDir dir;
  const fs::path d(dir.path());
  const std::string exe = installVorak(dir.path(), kFlat);
  writeFile(d / "p.vor", "program FLAT;\nbyte big[600000000];\nmov eax, 1\nhlt\n");
  writeFile(d / "p.bin", "the previous output");
  writeFile(d / "out.txt", "");
  const std::vector<std::string> before = listing(d);

  const pid_t pid = startInterruptible(exe, {(d / "p.vor").string(), "-nopause"}, d, sig);
  ASSERT_GT(pid, 0);
  // Sent once the temporary file exists and is being written.
  bool growing = false;
  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!growing && !ended && std::chrono::steady_clock::now() < deadline) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    for (const std::string& t : tempsOf(d, "p.bin")) {
      std::error_code ec;
      if (fs::file_size(d / t, ec) > 0 && !ec) growing = true;
    }
    if (!growing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!ended) {
    if (growing) kill(pid, sig);
    status = waitEnded(pid);
  }
  ASSERT_TRUE(growing && !ended) << "no temporary output seen while the run lasted; it ended by "
                                 << endedBy(status) << "\n"
                                 << readFile(d / "out.txt");

  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << endedBy(status);
  EXPECT_EQ(listing(d), before);
  EXPECT_EQ(readFile(d / "p.bin"), "the previous output");
}

// The signal comes right after a temporary file is created (a shim around
// mkstemp raises it): the file still goes, and an output already renamed
// into place stays. A run writes the output first, then the batch file,
// then the listing at shut-down.
struct WindowCase {
  const char* name;
  int nth;                         // the temporary file the signal follows
  bool outputDone;                 // p.bin is the new output
  std::vector<std::string> added;  // files the run leaves besides p.bin
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class InterruptedInTheWindow : public ::testing::TestWithParam<std::tuple<SignalCase, WindowCase>> {};

TEST_P(InterruptedInTheWindow, AfterATemporaryFileIsCreated) {
  const auto& [signal, window] = GetParam();
  const std::string project = "program FLAT;\nmov eax, 1\nhlt\n";
  // What an uninterrupted run writes.
  TempDir clean;
  writeFile(fs::path(clean.path()) / "p.vor", project);
  const RunResult r = runVorak({clean.path() + "/p.vor", "-nopause"}, clean.path(), kFlat);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string output = readFile(fs::path(clean.path()) / "p.bin");
  ASSERT_FALSE(output.empty());

  TempDir dir;
  const fs::path d(dir.path());
  const std::string exe = installVorak(dir.path(), kFlat);
  writeFile(d / "p.vor", project);
  writeFile(d / "p.bin", "the previous output");
  writeFile(d / "out.txt", "");
  std::vector<std::string> expected = listing(d);
  expected.insert(expected.end(), window.added.begin(), window.added.end());
  std::sort(expected.begin(), expected.end());

  std::vector<std::string> env = {"VORAK_SIGNAL_AFTER_MKSTEMP=" + std::to_string(signal.sig) + "," +
                                      std::to_string(window.nth),
                                  std::string("LD_PRELOAD=") + VORAK_SIGNAL_AFTER_MKSTEMP};
#ifdef VORAK_TEST_ASAN
  // The shim is loaded before the sanitizer's runtime.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=verify_asan_link_order=0") + (asan ? std::string(":") + asan : ""));
#endif
  const pid_t pid = startInterruptible(exe, {(d / "p.vor").string(), "-nopause", "-asmdebug"}, d, signal.sig, env);
  ASSERT_GT(pid, 0);
  const int status = waitEnded(pid);

  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal.sig)
      << endedBy(status) << "\n" << readFile(d / "out.txt");
  EXPECT_EQ(listing(d), expected);
  EXPECT_EQ(readFile(d / "p.bin"), window.outputDone ? output : "the previous output");
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedRun, ::testing::ValuesIn(kEndingSignals),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptedInTheWindow,
    ::testing::Combine(::testing::ValuesIn(kEndingSignals),
                       ::testing::Values(WindowCase{"Output", 1, false, {}}, WindowCase{"BatchFile", 2, true, {}},
                                         WindowCase{"Listing", 3, true, {"p.build.bat"}})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace vorak::test
