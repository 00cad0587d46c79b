// The built executable compiling projects: messages with their positions,
// and with a builder plug-in present the whole road to the output file and
// the batch file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// The lines after the five-line banner.
std::string afterBanner(const std::string& out) {
  size_t pos = 0;
  for (int i = 0; i < 5 && pos != std::string::npos; ++i) pos = out.find('\n', pos) + 1;
  return pos == std::string::npos ? std::string() : out.substr(pos);
}

bool haveBuilderPlugin() {
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(VORAK_BIN_DIR) / "plugins", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".so") return true;
  return false;
}

TEST(ExecutableCompile, UnknownApplicationType) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program NOSUCHTYPE;\nnop\n");
  // No plug-ins: nothing is printed before the error.
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), RunOptions{std::vector<std::string>{}});
  EXPECT_EQ(r.exitCode, 1);
  const std::string out = afterBanner(r.out);
  EXPECT_EQ(out.rfind("[1,18]: [0002] Unknown application type NOSUCHTYPE, installed: ", 0), 0u) << out;
  EXPECT_NE(out.find("\r\nCode: \r\nprogram NOSUCHTYPE;\n"), std::string::npos) << out;
}

TEST(ExecutableCompile, MissingProgramHeader) {
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "\n\n  nop\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), RunOptions{std::vector<std::string>{}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(afterBanner(r.out), "[3,5]: [0000] Expected keyword \"program\" in [p.vor]\r\nCode: \r\nnop\n");
}

// The whole road: compile, build, output and batch file. Needs a builder
// plug-in beside the executable; its name is the file's, upper-cased.
TEST(ExecutableCompile, ProjectToOutputFile) {
  ASSERT_TRUE(haveBuilderPlugin()) << "no builder plug-in in " VORAK_BIN_DIR "/plugins";
  TempDir dir;
  writeFile(fs::path(dir.path()) / "p.vor", "program FLAT;\nnop\nagain: jmp again\ncall later\nlater: ret\n");
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("\nCompile OK - "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nLink OK - "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nBuild Complete - "), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(fs::path(dir.path()) / "p.build.bat"));
  bool output = false;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    output = output || (name.rfind("p.", 0) == 0 && name != "p.vor" && name != "p.build.bat");
  }
  EXPECT_TRUE(output);
}

}  // namespace
}  // namespace vorak::test
