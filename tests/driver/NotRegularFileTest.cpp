// A project, an include or a resource file that exists but is no regular
// file (a pipe, a device, a folder): the run says so and ends at once. A
// pipe is never opened, so nothing waits for a writer; each run has a time
// limit, and a run that outlives it fails the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeLimitMs = 60000;

enum class Kind { Pipe, Folder, DevZero };

struct Case {
  const char* name;
  Kind kind;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

// Makes the thing at dir/name and returns the path a source names it by.
std::string make(const TempDir& dir, const std::string& name, Kind kind) {
  const std::string path = dir.path() + "/" + name;
  switch (kind) {
    case Kind::Pipe:
      if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
      return path;
    case Kind::Folder:
      fs::create_directory(path);
      return path;
    case Kind::DevZero:
      return "/dev/zero";
  }
  return path;
}

RunResult runLimited(const std::vector<std::string>& args, const TempDir& dir) {
  RunOptions options;
  options.timeoutMs = kTimeLimitMs;
  return runVorak(args, dir.path(), options);
}

// The first line of out that holds what (without its CR LF or LF), or the
// whole output when none does.
std::string lineWith(const std::string& out, const std::string& what) {
  const size_t at = out.find(what);
  if (at == std::string::npos) return out;
  const size_t start = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
  std::string line = out.substr(start, out.find('\n', at) - start);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

class NotRegularFile : public ::testing::TestWithParam<Case> {};

TEST_P(NotRegularFile, AsTheProject) {
  TempDir dir;
  const std::string path = make(dir, "proj.vor", GetParam().kind);
  const RunResult r = runLimited({path, "-nopause"}, dir);
  ASSERT_FALSE(r.timedOut) << "the run waited on " << path;
  EXPECT_EQ(lineWith(r.out, "[001]"), "[001] Input file " + path + " exists but is not a regular file");
  // As for a missing project: -nopause is read after this check.
  EXPECT_EQ(r.exitCode, 0) << r.out;
}

TEST_P(NotRegularFile, AsAnInclude) {
  TempDir dir;
  const std::string path = make(dir, "inc.vor", GetParam().kind);
  const std::string name = GetParam().kind == Kind::DevZero ? path : "inc.vor";
  std::ofstream(dir.path() + "/p.vor") << "program FLAT;\n#include '" << name << "'\nnop\n";
  const RunResult r = runLimited({dir.path() + "/p.vor", "-nopause"}, dir);
  ASSERT_FALSE(r.timedOut) << "the run waited on " << path;
  const std::string at = "[2," + std::to_string(11 + name.size()) + "]: ";
  EXPECT_EQ(lineWith(r.out, "[1448]"),
            at + "[1448] Included file \"" + name + "\" exists but is not a regular file in [p.vor]");
  EXPECT_EQ(r.exitCode, 1) << r.out;
}

TEST_P(NotRegularFile, AsATryInclude) {
  TempDir dir;
  const std::string path = make(dir, "inc.vor", GetParam().kind);
  const std::string name = GetParam().kind == Kind::DevZero ? path : "inc.vor";
  std::ofstream(dir.path() + "/p.vor") << "program FLAT;\n#tryinclude '" << name << "'\nnop\n";
  const RunResult r = runLimited({dir.path() + "/p.vor", "-nopause"}, dir);
  ASSERT_FALSE(r.timedOut) << "the run waited on " << path;
  const std::string at = "[2," + std::to_string(14 + name.size()) + "]: ";
  EXPECT_EQ(lineWith(r.out, "[0010]"),
            at + "Warning: [0010] Include file \"" + name + "\" exists but is not a regular file in [p.vor]");
}

TEST_P(NotRegularFile, AsAResourceFile) {
  TempDir dir;
  const std::string path = make(dir, "r.res", GetParam().kind);
  const std::string name = GetParam().kind == Kind::DevZero ? path : "r.res";
  std::ofstream(dir.path() + "/p.vor") << "program FLAT;\n#resource '" << name << "';\n";
  const RunResult r = runLimited({dir.path() + "/p.vor", "-nopause"}, dir);
  ASSERT_FALSE(r.timedOut) << "the run waited on " << path;
  const std::string at = "[2," + std::to_string(12 + name.size()) + "]: ";
  EXPECT_EQ(lineWith(r.out, "[432]"),
            at + "[432] Resource file \"" + name + "\" exists but is not a regular file in [p.vor]");
  EXPECT_EQ(r.exitCode, 1) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotRegularFile,
                         ::testing::Values(Case{"Pipe", Kind::Pipe}, Case{"Folder", Kind::Folder},
                                           Case{"DevZero", Kind::DevZero}),
                         [](const auto& info) { return std::string(info.param.name); });

// A missing file still says that it does not exist.
TEST(NotRegularFile, AMissingFileIsStillMissing) {
  TempDir dir;
  RunResult r = runLimited({dir.path() + "/none.vor", "-nopause"}, dir);
  EXPECT_EQ(lineWith(r.out, "[001]"), "[001] Input file does not exist " + dir.path() + "/none.vor");
  std::ofstream(dir.path() + "/p.vor") << "program FLAT;\n#include 'none.vor'\n";
  r = runLimited({dir.path() + "/p.vor", "-nopause"}, dir);
  EXPECT_EQ(lineWith(r.out, "[1448]"), "[2,19]: [1448] Included file not found \"none.vor\" in [p.vor]");
}

// A folder of the name does not hide a regular file further down the search.
TEST(NotRegularFile, AFolderBeforeTheFileDoesNotHideIt) {
  TempDir dir;
  fs::create_directories(dir.path() + "/src/inc.vor");
  std::ofstream(dir.path() + "/src/p.vor") << "program FLAT;\n#include 'inc.vor'\n";
  // The project folder is searched after the including file's own folder:
  // here both are src/, so the file sits in the -i folder.
  fs::create_directories(dir.path() + "/opt");
  std::ofstream(dir.path() + "/opt/inc.vor") << "nop\n";
  const RunResult r = runLimited({dir.path() + "/src/p.vor", "-nopause", "-i", dir.path() + "/opt"}, dir);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Compile OK"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorak::test
