// Message forms, source excerpts and the log file.
#include <gtest/gtest.h>

#include <iconv.h>

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

// Whether glibc's converter reads all of text as UTF-8 (an oracle of its own).
bool validUtf8(const std::string& text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = text;
  std::string out(in.size() * 4 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  return r != static_cast<size_t>(-1) && il == 0;
}

TEST(SourceExcerpt, AHugeLineIsCutAroundThePosition) {
  const std::string line = std::string(5'000'000, 'a') + "MARK" + std::string(5'000'000, 'b');
  const std::string text = "first\n" + line + "\nlast";
  const uint32_t pos = 6 + 5'000'000 + 2;  // on the A of MARK
  const std::string e = sourceExcerpt(text, pos);
  EXPECT_LE(e.size(), kExcerptWidth + 6);
  EXPECT_EQ(e.substr(0, 3), "...");
  EXPECT_EQ(e.substr(e.size() - 3), "...");
  EXPECT_NE(e.find("aMARKb"), std::string::npos);
  // At either end of the line the window stays inside it.
  const std::string head = sourceExcerpt(text, 8);
  EXPECT_EQ(head, std::string(kExcerptWidth, 'a') + "...");
  const std::string tail = sourceExcerpt(text, static_cast<uint32_t>(6 + line.size()));
  EXPECT_EQ(tail, "..." + std::string(kExcerptWidth, 'b'));
}

TEST(SourceExcerpt, BytesThatAreNotUtf8AreEscaped) {
  const struct {
    const char* name;
    std::string line, shown;
  } cases[] = {
      {"stray byte", "a\xFF" "b", "a\\xFFb"},
      {"terminal escape", "x\x1B[31my", "x\\x1B[31my"},
      {"two- and three-byte characters", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
      {"four-byte character", "\xF0\x9F\x98\x80!", "\xF0\x9F\x98\x80!"},
      {"surrogate", "\xED\xA0\x80" "z", "\\xED\\xA0\\x80z"},
      {"overlong", "\xC0\xAF" "z", "\\xC0\\xAFz"},
      {"past U+10FFFF", "\xF4\x90\x80\x80" "z", "\\xF4\\x90\\x80\\x80z"},
      {"cut short", "z\xE2\x82", "z\\xE2\\x82"},
  };
  for (const auto& c : cases) {
    const std::string e = sourceExcerpt(c.line, 1);
    EXPECT_EQ(e, c.shown) << c.name;
    EXPECT_TRUE(validUtf8(e)) << c.name;
  }
}

TEST(SourceExcerpt, ACutNeverSplitsACharacter) {
  // Lines of two-, three- and four-byte characters, cut at every offset.
  for (const std::string ch : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    std::string line;
    while (line.size() < 3 * kExcerptWidth) line += ch;
    for (uint32_t pos = 1; pos <= line.size(); pos += 5) {
      const std::string e = sourceExcerpt(line, pos);
      EXPECT_TRUE(validUtf8(e)) << ch.size() << "-byte characters, position " << pos;
      EXPECT_EQ(e.find("\\x"), std::string::npos) << pos;
      EXPECT_LE(e.size(), kExcerptWidth + 6);
      EXPECT_GE(e.size(), kExcerptWidth - 3);
    }
  }
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

// A fatal error on a line of 10 MB that quotes a token of 10 MB prints a
// few hundred bytes, not the line twice.
TEST_F(LogTest, HugeLinesAndTokensArePrintedCut) {
  const std::string huge(10'000'000, 'q');
  source("big.vor", "program FLAT;\n" + huge + "\n", 2, 1, 14 + 5'000'000);
  const std::string out = captureStdout([&] { EXPECT_THROW(Log->FatalError("[9000] Unexpected " + huge), EAbort); });
  EXPECT_LT(out.size(), kMessageWidth + kExcerptWidth + 100);
  EXPECT_EQ(out.rfind("[2,1]: [9000] Unexpected qqq", 0), 0u) << out.substr(0, 100);
  EXPECT_NE(out.find("... in [big.vor]\r\nCode: \r\n...qqq"), std::string::npos);
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

TEST_F(LogFileTest, NothingIsAppendedUntilTheRunEnds) {
  // Files the build reads are known only at the end: a file read after the
  // log was switched on still gets nothing.
  captureStdout([] {
    Settings->SetWriteLog(true);
    Log->Message("one");
  });
  EXPECT_EQ(logText(), "");
  Settings->noteInputFile((dir_ / "log.txt").string());
  const std::string out = captureStdout([] { DeinitVorak(); });
  EXPECT_EQ(out, "EInOutError: Cannot write log file \"" + (dir_ / "log.txt").string() +
                     "\". The build reads this file\n");
  EXPECT_EQ(logText(), "");
  captureStdout([] { InitVorak(); });  // for the fixture's TearDown
}

TEST_F(LogFileTest, UnopenableLogFileIsAnInOutError) {
  Settings->setCompilerPath((dir_ / "missing" / "deeper").string() + "/");
  EXPECT_THROW(Settings->SetWriteLog(true), EInOutError);
  // Logging stays harmless afterwards.
  EXPECT_EQ(captureStdout([] { Log->Message("still here"); }), "still here\n");
}

}  // namespace
}  // namespace vorak
