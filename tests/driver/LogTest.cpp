// Message forms, source excerpts and the log file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/Compiler.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

namespace fs = std::filesystem;

TEST(SourceExcerpt, CutsOneLineAtCrOrLf) {
  const std::string_view text = "  first line \r\n\tsecond\nthird  ";
  // Positions are 1-based: the byte last read.
  EXPECT_EQ(sourceExcerpt(text, 0), "first line");
  EXPECT_EQ(sourceExcerpt(text, 3), "first line");
  EXPECT_EQ(sourceExcerpt(text, 14), "first line");  // standing on the CR that ends it
  EXPECT_EQ(sourceExcerpt(text, 15), "first line");  // and on the LF
  EXPECT_EQ(sourceExcerpt(text, 17), "second");
  EXPECT_EQ(sourceExcerpt(text, 24), "third");
  EXPECT_EQ(sourceExcerpt(text, 9999), "third");  // past the end: the last line
  EXPECT_EQ(sourceExcerpt("", 5), "");
}

class LogTest : public test::FreshVorak {
 protected:
  // A loaded source standing at a position, made the current file.
  TAFile* source(const std::string& name, const std::string& text, uint32_t line, uint32_t col,
                 uint32_t chr) {
    auto* f = new TAFile(false);  // owned by the compiler's file list
    f->loadBuffer(name, text, nullptr);
    f->CurLine = line;
    f->CurLineChar = col;
    f->CurChar = chr;
    Compiler->setCurFile(f);
    return f;
  }
};

TEST_F(LogTest, FatalErrorWithoutSourceIsTheTextAlone) {
  std::string out = captureStdout([] { EXPECT_THROW(Log->FatalError("[001] Input file does not exist x"), EAbort); });
  EXPECT_EQ(out, "[001] Input file does not exist x\n");
  out = captureStdout([] { Log->Warning("careful"); });
  EXPECT_EQ(out, "Warning: careful\n");
  out = captureStdout([] { Log->Error("PlugSys: a skipped"); });
  EXPECT_EQ(out, "PlugSys: a skipped\n");
  EXPECT_EQ(Log->errorCount(), 1u);
  EXPECT_EQ(Log->warningCount(), 1u);
}

TEST_F(LogTest, FatalErrorNamesPositionFileAndLine) {
  TAFile* f = source("/some/dir/prog.vor", "mov eax, 1\n  add eax, ?? \nret\n", 2, 11, 23);
  std::string out = captureStdout([] { EXPECT_THROW(Log->FatalError("[1] Bad operand"), EAbort); });
  EXPECT_EQ(out, "[2,11]: [1] Bad operand in [prog.vor]\r\nCode: \r\nadd eax, ??\n");
  // Reporting never moves the reader.
  EXPECT_EQ(f->CurChar, 23u);
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 11u);
}

TEST_F(LogTest, ExplicitPositionAndFileWin) {
  source("main.vor", "a\nb\n", 1, 1, 1);
  auto* other = new TAFile(false);
  other->loadBuffer("inc/util.vor", "x\ny\nlast line", nullptr);
  std::string out = captureStdout([&] { Log->Warning("odd", true, 5, 3, 1, other); });
  EXPECT_EQ(out, "[3,1]: Warning: odd in [util.vor]\r\nCode: \r\nlast line\n");
  out = captureStdout([] { Log->Warning("no code", false); });
  EXPECT_EQ(out, "[1,1]: Warning: no code in [main.vor]\n");
  out = captureStdout([] { Log->Error("broken"); });
  EXPECT_EQ(out, "[1,1]: Error: broken in [main.vor]\n");
}

TEST_F(LogTest, TokenErrors) {
  source("t.vor", "x", 1, 1, 1);
  const std::string pos = "[1,1]: ";
  const std::string tail = " in [t.vor]\r\nCode: \r\nx\n";
  // A fresh current token is the end of input.
  EXPECT_EQ(captureStdout([] { EXPECT_THROW(Log->FatalUnexpectedToken("7652"), EAbort); }),
            pos + "[7652] Unexpected EOF" + tail);
  EXPECT_EQ(captureStdout([] { EXPECT_THROW(Log->FatalUnexpectedToken(""), EAbort); }),
            pos + "Unexpected EOF" + tail);
  EXPECT_EQ(captureStdout([] { EXPECT_THROW(Log->FatalReservedToken("12"), EAbort); }),
            pos + "[12] Reserved EOF" + tail);
  EXPECT_EQ(captureStdout([] { EXPECT_THROW(Log->FatalRedeclared(""), EAbort); }), pos + "EOF redeclared" + tail);
}

class LogFileTest : public test::FreshVorak {
 protected:
  void SetUp() override {
    test::FreshVorak::SetUp();
    dir_ = fs::temp_directory_path() / ("vorak_log_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    Settings->setCompilerPath(dir_.string() + "/");
  }
  void TearDown() override {
    test::FreshVorak::TearDown();
    fs::remove_all(dir_);
  }
  std::string logText() {
    std::ifstream in(dir_ / "log.txt", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  fs::path dir_;
};

TEST_F(LogFileTest, EachRunAppendsAFramedBlock) {
  const std::string rule(30, '-');
  captureStdout([] {
    Log->Message("before");  // not logged: logging is off
    Settings->SetWriteLog(true);
    Log->Message("one");
    Log->Message("two", colError);
  });
  DeinitVorak();
  const std::string block = "\r\n" + rule + "\r\nLOG STARTED\r\none\r\ntwo\r\n\r\n" + rule + "\r\n\r\n";
  EXPECT_EQ(logText(), block);

  ::testing::internal::CaptureStdout();
  InitVorak();
  Settings->setCompilerPath(dir_.string() + "/");
  Settings->SetWriteLog(true);
  Log->Message("one");
  Log->Message("two");
  ::testing::internal::GetCapturedStdout();
  DeinitVorak();
  EXPECT_EQ(logText(), block + block);
  ::testing::internal::CaptureStdout();
  InitVorak();  // for the fixture's TearDown
  ::testing::internal::GetCapturedStdout();
}

TEST_F(LogFileTest, UnopenableLogFileIsAnInOutError) {
  Settings->setCompilerPath((dir_ / "missing" / "deeper").string() + "/");
  EXPECT_THROW(Settings->SetWriteLog(true), EInOutError);
  // Logging stays harmless afterwards.
  EXPECT_EQ(captureStdout([] { Log->Message("still here"); }), "still here\n");
}

}  // namespace
}  // namespace vorak
