// The suite checks what it claims to: the reference tools are required by the
// build, so no test may skip itself or hide its checks behind a test for a
// tool (a merged test that did would turn green having checked nothing).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

TEST(NoSilentTests, NoTestSkipsItselfOrAsksForItsOracle) {
  // Spelled in pieces, so that this file does not name them itself.
  const std::string needles[] = {std::string("GTEST_") + "SKIP", std::string("VORAK_") + "HAVE_",
                                 std::string("kHave") + "Disassembler", std::string("kHave") + "Emulator",
                                 std::string("kHave") + "FlatEmulator", std::string("have") + "Objdump",
                                 std::string("have") + "LlvmMc", std::string("have") + "TextOracle"};
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(fs::path(VORAK_SOURCE_DIR) / "tests")) {
    const auto ext = e.path().extension();
    if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".txt")) continue;
    ++files;
    std::ifstream in(e.path());
    std::string line;
    for (size_t no = 1; std::getline(in, line); ++no)
      for (const std::string& n : needles)
        EXPECT_EQ(line.find(n), std::string::npos) << e.path().string() << ":" << no << ": " << line;
  }
  EXPECT_GT(files, 40u);
}

}  // namespace
}  // namespace vorak::test
