// The character reader: comments, line and column bookkeeping, the ends of
// the buffer, peeks and steps back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

#include "source/SourceFixture.h"

namespace vorak {
namespace {

using ReaderTest = test::SourceTest;

// Reads with moveNextChar until the end; the bytes read.
std::string readAll(TAFile* f, bool skip, bool inStr) {
  std::string s;
  for (int guard = 0; guard < 1000; ++guard) {
    const char c = f->moveNextChar(skip, inStr);
    if (c == '\0' && f->CurChar > f->FileLen) return s;
    s += c;
  }
  ADD_FAILURE() << "reader did not reach the end";
  return s;
}

TEST_F(ReaderTest, TextWithoutLineBreakEndsAfterItsLastByte) {
  TAFile* f = load("ab");
  EXPECT_EQ(f->moveNextChar(false, false), 'a');
  EXPECT_EQ(f->moveNextChar(false, false), 'b');
  EXPECT_EQ(f->moveNextChar(false, false), '\0');
  EXPECT_EQ(f->TotalLines(), 1u);
  EXPECT_EQ(f->CurLine, 1u);
  // Further reads stay at the end and count nothing more.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f->moveNextChar(true, false), '\0');
  EXPECT_EQ(f->CurChar, 3u);
  EXPECT_EQ(f->TotalLines(), 1u);
  // One step back from the end is the last byte again.
  EXPECT_EQ(f->movePrevChar(), 'b');
  EXPECT_EQ(f->CurChar, 2u);
  EXPECT_EQ(f->TotalLines(), 0u);
}

TEST_F(ReaderTest, StepBackAtTheStartStaysThere) {
  TAFile* f = load("xy");
  EXPECT_EQ(f->movePrevChar(), '\0');
  EXPECT_EQ(f->CurChar, 0u);
  EXPECT_EQ(f->moveNextChar(false, false), 'x');
  EXPECT_EQ(f->movePrevChar(), '\0');
  EXPECT_EQ(f->movePrevChar(), '\0');
  EXPECT_EQ(f->CurChar, 0u);
  EXPECT_EQ(f->CurLineChar, 0u);
  EXPECT_EQ(f->moveNextChar(false, false), 'x');
}

TEST_F(ReaderTest, EmptyBufferReadsAsTheEnd) {
  TAFile* f = load("");
  EXPECT_EQ(f->moveNextChar(true, false), '\0');
  EXPECT_EQ(f->movePrevChar(), '\0');
  EXPECT_FALSE(f->isNextLineBreak());
  EXPECT_EQ(f->moveNextToken(), ttEOF);
}

TEST_F(ReaderTest, ByteOrderMarkIsSkipped) {
  const auto dir = std::filesystem::temp_directory_path() / "vorak_reader_test";
  std::filesystem::create_directories(dir);
  const auto path = dir / "bom.vor";
  {
    std::ofstream out(path, std::ios::binary);
    out << "\xEF\xBB\xBFx";
  }
  TAFile* f = TAFile::openFile(path.string(), nullptr);
  EXPECT_EQ(f->FileLen, 1u);
  EXPECT_EQ(f->moveNextChar(false, false), 'x');
  std::filesystem::remove_all(dir);
}

// A file is read in one piece into a buffer sized from its length: every
// length around the read's steps comes back byte for byte, with the byte
// order mark left out and the 0 byte behind the content.
TEST_F(ReaderTest, FilesOfAnyLengthAreReadWhole) {
  const auto dir = std::filesystem::temp_directory_path() / ("vorak_reader_sizes_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::mt19937 rng(99);
  for (size_t len : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4095}, size_t{65535}, size_t{65536},
                     size_t{65537}, size_t{300001}}) {
    for (bool bom : {false, true}) {
      std::string content(len, '\0');
      for (char& c : content) c = static_cast<char>(' ' + rng() % 90);
      const auto path = dir / ("f" + std::to_string(len) + (bom ? "b" : "") + ".vor");
      {
        std::ofstream out(path, std::ios::binary);
        if (bom) out << "\xEF\xBB\xBF";
        out << content;
      }
      TAFile f(true);
      ASSERT_TRUE(f.loadFile(path.string(), nullptr)) << len;
      EXPECT_EQ(f.FileLen, len) << len;
      ASSERT_EQ(f.Buffer.size(), len + 1) << len;
      EXPECT_EQ(f.Buffer.compare(0, len, content), 0) << len << (bom ? " with a byte order mark" : "");
      EXPECT_EQ(f.Buffer.back(), '\0');
      EXPECT_TRUE(f.IsFile());
    }
  }
  // A folder and a missing file are not read, and leave the buffer empty.
  TAFile f(true);
  EXPECT_FALSE(f.loadFile(dir.string(), nullptr));
  EXPECT_FALSE(f.loadFile((dir / "missing.vor").string(), nullptr));
  EXPECT_EQ(f.FileLen, 0u);
  EXPECT_FALSE(f.IsFile());
  std::filesystem::remove_all(dir);
}

TEST_F(ReaderTest, LineCommentEndsAtItsLineFeed) {
  TAFile* f = load("//\nx");
  EXPECT_EQ(f->moveNextChar(false, false), '\n');
  EXPECT_EQ(f->moveNextChar(false, false), 'x');
  f = load("// comment\nx");
  EXPECT_EQ(f->moveNextChar(true, false), 'x');
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 1u);
}

TEST_F(ReaderTest, LineCommentAtTheEndReadsAsTheEnd) {
  TAFile* f = load("x // last");
  EXPECT_EQ(f->moveNextChar(true, false), 'x');
  EXPECT_EQ(f->moveNextChar(true, false), '\0');
  EXPECT_EQ(f->CurChar, f->FileLen + 1);
  EXPECT_EQ(f->TotalLines(), 1u);
}

TEST_F(ReaderTest, BlockCommentsAreSkippedAndCountTheirLines) {
  TAFile* f = load("/**/x");
  EXPECT_EQ(f->moveNextChar(true, false), 'x');
  f = load("/*\n*/x");
  EXPECT_EQ(f->moveNextChar(true, false), 'x');
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 3u);
  EXPECT_EQ(f->TotalLines(), 1u);
  // "/*/" does not close: the closing "*" must come after the opening one.
  f = load("/*/ still */y");
  EXPECT_EQ(f->moveNextChar(true, false), 'y');
}

TEST_F(ReaderTest, CommentDirectlyAfterACommentIsReadAsBytes) {
  TAFile* f = load("/*a*//*b*/x");
  EXPECT_EQ(readAll(f, true, false), "/*b*/x");
}

TEST_F(ReaderTest, InsideStringsSlashesAreBytes) {
  TAFile* f = load("//x");
  EXPECT_EQ(f->moveNextChar(false, true), '/');
  EXPECT_EQ(f->moveNextChar(false, true), '/');
  EXPECT_EQ(f->moveNextChar(false, true), 'x');
}

TEST_F(ReaderTest, CarriageReturnIsABlankAndCountsNoLine) {
  TAFile* f = load("a\r\n\r\nb");
  EXPECT_EQ(f->moveNextChar(true, false), 'a');
  EXPECT_EQ(f->moveNextChar(true, false), 'b');
  EXPECT_EQ(f->CurLine, 3u);
  EXPECT_EQ(f->CurLineChar, 1u);
}

TEST_F(ReaderTest, ZeroByteInTheContentReadsAsZeroAndIsPassed) {
  TAFile* f = load(std::string("a\0b", 3));
  EXPECT_EQ(f->moveNextChar(true, false), 'a');
  EXPECT_EQ(f->moveNextChar(true, false), '\0');
  EXPECT_EQ(f->CurChar, 2u);
  EXPECT_EQ(f->moveNextChar(true, false), 'b');
}

TEST_F(ReaderTest, UnterminatedBlockCommentIsFatalAtItsStart) {
  TAFile* f = load("x\n  /* never closed\nmore");
  EXPECT_EQ(f->moveNextChar(true, false), 'x');
  EXPECT_EQ(fatalLine([&] { f->moveNextChar(true, false); }), "[2,3]: [13001] Unterminated comment in [t.vor]");
  f = load("/*");
  EXPECT_EQ(fatalLine([&] { f->moveNextChar(false, false); }), "[1,1]: [13001] Unterminated comment in [t.vor]");
  f = load("a/*/");
  EXPECT_EQ(f->moveNextChar(true, false), 'a');
  EXPECT_EQ(fatalLine([&] { f->moveNextToken(); }), "[1,2]: [13001] Unterminated comment in [t.vor]");
}

TEST_F(ReaderTest, IsNextLineBreakLooksPastBlanksOnly) {
  TAFile* f = load("a   // c");
  f->moveNextChar(false, false);
  EXPECT_TRUE(f->isNextLineBreak());
  EXPECT_EQ(f->CurChar, 1u);
  f = load("a  x");
  f->moveNextChar(false, false);
  EXPECT_FALSE(f->isNextLineBreak());
  f = load("a \t\r\nx");
  f->moveNextChar(false, false);
  EXPECT_TRUE(f->isNextLineBreak());
  f = load("a /* c */");
  f->moveNextChar(false, false);
  EXPECT_TRUE(f->isNextLineBreak());
  f = load("a   ");
  f->moveNextChar(false, false);
  EXPECT_FALSE(f->isNextLineBreak());
  f = load("a /");
  f->moveNextChar(false, false);
  EXPECT_FALSE(f->isNextLineBreak());
}

TEST_F(ReaderTest, PeekNextRealCharLeavesTheReaderAndRecordsWhereItEnded) {
  TAFile* f = load("a \n // c\n  b");
  f->moveNextChar(true, false);
  const TFilePos before = f->position();
  EXPECT_EQ(f->peekNextRealChar(true), 'b');
  EXPECT_EQ(f->position().chr, before.chr);
  EXPECT_EQ(f->position().line, before.line);
  EXPECT_EQ(f->position().lineChar, before.lineChar);
  EXPECT_EQ(f->position().totalLines, before.totalLines);
  EXPECT_EQ(f->moveNextChar(true, false), 'b');
  EXPECT_EQ(f->CurLine, 3u);
  EXPECT_EQ(f->CurLineChar, 3u);
  // moveLastPeek stands exactly where the peek ended.
  f = load("a \n // c\n  b");
  f->moveNextChar(true, false);
  f->peekNextRealChar(true);
  const TFilePos reached = f->lastPeek();
  f->moveLastPeek();
  EXPECT_EQ(f->CurChar, reached.chr);
  EXPECT_EQ(f->CurLine, 3u);
  EXPECT_EQ(f->CurLineChar, 3u);
  EXPECT_EQ(f->TotalLines(), 2u);
}

TEST_F(ReaderTest, StepBackOverALineFeedRestoresTheLineAndColumn) {
  TAFile* f = load("abc\nd");
  for (int i = 0; i < 4; ++i) f->moveNextChar(false, false);
  EXPECT_EQ(f->CurLine, 2u);
  EXPECT_EQ(f->CurLineChar, 0u);
  EXPECT_EQ(f->movePrevChar(), 'c');
  EXPECT_EQ(f->CurLine, 1u);
  EXPECT_EQ(f->CurLineChar, 3u);
  EXPECT_EQ(f->TotalLines(), 0u);
}

TEST_F(ReaderTest, MoveToCharAndBackStopAtTheEnds) {
  TAFile* f = load("ab\rcd\ref");
  EXPECT_EQ(f->moveToChar('\r'), '\r');
  EXPECT_EQ(f->CurChar, 3u);
  EXPECT_EQ(f->moveToChar('\r'), '\r');
  EXPECT_EQ(f->CurChar, 6u);
  EXPECT_EQ(f->moveToChar('\r'), '\0');
  EXPECT_EQ(f->CurChar, f->FileLen + 1);
  EXPECT_EQ(f->moveBackToChar('\r'), '\r');
  EXPECT_EQ(f->CurChar, 6u);
  f->movePrevChar();
  EXPECT_EQ(f->moveBackToChar('\r'), '\r');
  EXPECT_EQ(f->CurChar, 3u);
  f->movePrevChar();
  EXPECT_EQ(f->moveBackToChar('\r'), '\0');
  EXPECT_EQ(f->CurChar, 0u);
}

TEST_F(ReaderTest, SaveAndRestoreKeepEveryCounter) {
  TAFile* f = load("a\nb\nc");
  f->moveNextChar(true, false);
  f->save();
  readAll(f, true, false);
  f->restore();
  EXPECT_EQ(f->CurChar, 1u);
  EXPECT_EQ(f->CurLine, 1u);
  EXPECT_EQ(f->CurLineChar, 1u);
  EXPECT_EQ(f->TotalLines(), 0u);
}

// Whatever the reader does, its counters describe the cursor exactly: the
// line is 1 plus the line feeds up to it, the column counts from the last
// line feed, the total lines add one once the end is reached.
struct Expected {
  uint32_t line, col, total;
};
Expected expectedAt(const std::string& text, uint32_t chr) {
  const uint32_t len = static_cast<uint32_t>(text.size());
  const uint32_t upto = chr > len ? len : chr;
  uint32_t lf = 0, lastLf = 0;
  for (uint32_t i = 1; i <= upto; ++i)
    if (text[i - 1] == '\n') {
      ++lf;
      lastLf = i;
    }
  uint32_t col = chr - lastLf;
  return {1 + lf, col, lf + (chr > len ? 1u : 0u)};
}

TEST_F(ReaderTest, CountersStayExactUnderAnyMoves) {
  std::mt19937 rng(12345);
  const std::string alphabet = "ab \n\t/*x\r";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    text += " */ */";  // every comment that opens is closed, also one opened by its "*"
    TAFile* f = load(text);
    for (int step = 0; step < 80; ++step) {
      switch (rng() % 6) {
        case 0:
        case 1:
          f->moveNextChar(rng() % 2, rng() % 4 == 0);
          break;
        case 2:
          f->movePrevChar();
          break;
        case 3:
          f->peekNextRealChar(rng() % 2);
          break;
        case 4:
          f->peekNextRealChar(rng() % 2);
          f->moveLastPeek();
          break;
        case 5:
          f->isNextLineBreak();
          break;
      }
      ASSERT_LE(f->CurChar, f->FileLen + 1) << text;
      const Expected e = expectedAt(text, f->CurChar);
      ASSERT_EQ(f->CurLine, e.line) << text << " at " << f->CurChar;
      ASSERT_EQ(f->CurLineChar, e.col) << text << " at " << f->CurChar;
      ASSERT_EQ(f->TotalLines(), e.total) << text << " at " << f->CurChar;
    }
  }
}

}  // namespace
}  // namespace vorak
