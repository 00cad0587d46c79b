// The in-memory output file: positions, patches, padding and commit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "compiler/driver/Errors.h"
#include "compiler/output/FileWriter.h"

namespace vorak {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vorak_fw_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FileWriterTest, AppendsReturnOneBasedPositions) {
  TFileWriter w((dir_ / "a.bin").string());
  EXPECT_EQ(w.addFileText("abc"), 1u);
  EXPECT_EQ(w.addFileBytes(std::string_view("\0\1", 2)), 4u);
  EXPECT_EQ(w.addFileData("", 0), 6u);  // empty append: length + 1, nothing changes
  EXPECT_EQ(w.Len(), 5u);
  EXPECT_EQ(w.Data(), std::string("abc\0\1", 5));
}

TEST_F(FileWriterTest, ReplaceStaysInsideTheBuffer) {
  TFileWriter w((dir_ / "a.bin").string());
  w.addFileText("abcdef");
  EXPECT_TRUE(w.replaceFileData(2, "XY", 2));
  EXPECT_EQ(w.Data(), "aXYdef");
  EXPECT_TRUE(w.replaceFileData(5, "ZZ", 2));
  EXPECT_EQ(w.Data(), "aXYdZZ");
  // Out of range: refused, buffer untouched, nothing written past the end.
  EXPECT_FALSE(w.replaceFileData(6, "QQ", 2));
  EXPECT_FALSE(w.replaceFileData(0, "Q", 1));
  EXPECT_FALSE(w.replaceFileData(1, "1234567", 7));
  EXPECT_FALSE(w.replaceFileData(0xFFFFFFFFu, "Q", 1));
  EXPECT_EQ(w.Data(), "aXYdZZ");
  EXPECT_EQ(w.Len(), 6u);
}

TEST_F(FileWriterTest, AlignFileToSize) {
  TFileWriter w((dir_ / "a.bin").string());
  w.addFileText("abc");
  EXPECT_TRUE(w.alignFileToSize(3));
  EXPECT_EQ(w.Len(), 3u);
  EXPECT_TRUE(w.alignFileToSize(8));
  EXPECT_EQ(w.Data(), std::string("abc\0\0\0\0\0", 8));
  EXPECT_FALSE(w.alignFileToSize(4));
  EXPECT_EQ(w.Len(), 8u);
}

TEST_F(FileWriterTest, CommitWritesTheWholeBuffer) {
  const fs::path p = dir_ / "out.bin";
  {
    TFileWriter w(p.string());
    w.addFileBytes(std::string_view("\0x\0", 3));
    w.Commit();
  }
  EXPECT_EQ(readFile(p), std::string("\0x\0", 3));
}

TEST_F(FileWriterTest, ALaterCommitRewritesTheWholeBufferUnderTheCurrentName) {
  TFileWriter w((dir_ / "a.bin").string());
  w.addFileText("ab");
  w.Commit();
  w.addFileText("cd");
  w.Commit();
  // Once, not the first part and then the whole again.
  EXPECT_EQ(readFile(dir_ / "a.bin"), "abcd");
  w.setFilename((dir_ / "b.bin").string());
  w.addFileText("e");
  w.Commit();
  EXPECT_EQ(readFile(dir_ / "b.bin"), "abcde");
  // The file under the old name held an older state of the same buffer.
  EXPECT_FALSE(fs::exists(dir_ / "a.bin"));
}

TEST_F(FileWriterTest, EmptyCommitCreatesAnEmptyFileAndNoCommitCreatesNone) {
  {
    TFileWriter w((dir_ / "empty.bin").string());
    w.Commit();
    TFileWriter never((dir_ / "never.bin").string());
    never.addFileText("x");
  }
  EXPECT_TRUE(fs::exists(dir_ / "empty.bin"));
  EXPECT_EQ(fs::file_size(dir_ / "empty.bin"), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "never.bin"));
}

TEST_F(FileWriterTest, RenameBeforeCommitAndCommitIntoAFolderFails) {
  TFileWriter w((dir_ / "first").string());
  w.setFilename((dir_ / "second.bin").string());
  w.addFileText("z");
  w.Commit();
  EXPECT_FALSE(fs::exists(dir_ / "first"));
  EXPECT_EQ(readFile(dir_ / "second.bin"), "z");

  TFileWriter bad(dir_.string());  // a folder cannot be created as a file
  EXPECT_THROW(bad.Commit(), EFCreateError);
  TFileWriter missing((dir_ / "no" / "such" / "dir.bin").string());
  EXPECT_THROW(missing.Commit(), EFCreateError);
}

}  // namespace
}  // namespace vorak
