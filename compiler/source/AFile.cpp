// Loading of source buffers and the character reader over them.
#include "compiler/source/AFile.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"

namespace vorak {

namespace {
uint64_t lastSerial = 0;
}  // namespace

TAFile::TAFile(bool noList) : F_Serial(++lastSerial) {
  Buffer.assign(1, '\0');
  if (!noList && Compiler) addToFileList();
}

void TAFile::addToFileList() {
  // The index that the plug-in callback replacing a source's text takes.
  F_ID = static_cast<uint32_t>(Compiler->FileList().size());
  Compiler->FileList().push_back(this);
  F_Listed = true;
  notedChild();
}

TAFile* TAFile::openFile(const std::string& strFile, TAFile* parent) {
  auto* f = new TAFile(false);
  f->loadFile(strFile, parent);
  return f;
}

namespace {

// The whole content of a file, read in one piece into a buffer sized from the
// file's length (and on, should the file have grown meanwhile), with room
// left for the 0 byte that ends a source buffer. False on a read error.
bool readWholeFile(const std::string& path, std::string& data) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  size_t want = ec || size >= UINT32_MAX ? 0 : static_cast<size_t>(size);
  size_t have = 0;
  data.clear();
  for (;;) {
    // One byte more than is left, so that the end is seen by the read itself.
    data.resize(have + want + 1);
    const size_t got = std::fread(data.data() + have, 1, want + 1, f);
    have += got;
    if (got < want + 1) break;
    // The reader counts positions in 32 bits: no need to read much further.
    if (have >= UINT32_MAX) break;
    want = 64 * 1024;
  }
  data.resize(have);
  return !std::ferror(f);
}

}  // namespace

bool TAFile::loadFile(const std::string& strFile, TAFile* par) {
  F_Parent = par;
  notedChild();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(strFile, ec)) return false;
  // A file that exists but cannot be read means the same as a missing file.
  std::string data;
  if (!readWholeFile(strFile, data)) return false;
  // The reader counts positions in 32 bits.
  if (data.size() >= UINT32_MAX) return false;
  F_FileName = strFile;
  if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);
  FileLen = static_cast<uint32_t>(data.size());
  data.push_back('\0');
  Buffer = std::move(data);
  F_AnonymousMacros.clear();
  F_IsFile = true;
  ++fileCounter;
  if (Settings) Settings->noteInputFile(strFile);
  return true;
}

bool TAFile::loadBuffer(const std::string& name, const std::string& buf, TAFile* par) {
  F_Parent = par;
  notedChild();
  F_FileName = name;
  F_IsFile = false;
  Buffer = buf;
  FileLen = static_cast<uint32_t>(buf.size());
  Buffer.push_back('\0');
  F_AnonymousMacros.clear();
  return true;
}

void TAFile::replaceText(std::string_view text) {
  std::string content(text);  // text may point into the old content
  content.push_back('\0');
  Buffer.swap(content);
  FileLen = static_cast<uint32_t>(text.size());
  F_AnonymousMacros.clear();
  // The reader never stands past the end of its text.
  if (CurChar > FileLen) CurChar = FileLen;
  if (F_LPCurChar > FileLen) F_LPCurChar = FileLen;
}

void TAFile::fatalAt(msg::Id id, const TFilePos& where, std::initializer_list<std::string_view> args) {
  if (!Log) throw EAbort();
  Log->FatalError(msg::format(id, args), true, where.chr, where.line, where.lineChar, this);
}

// The cursor stands on the first "/" of "//": moves on to the line feed that
// ends the comment (it is the next candidate byte), or to a 0 byte, or to the end.
void TAFile::skipLineComment() {
  const char* base = Buffer.data();
  uint32_t i = CurChar + 1;  // index of the second "/"
  while (i < FileLen && base[i] != '\n' && base[i] != '\0') ++i;
  // i is now the 0-based index of the stopping byte, or FileLen for the end.
  CurLineChar += i + 1 - CurChar;
  CurChar = i + 1;
}

// The cursor stands on the "/" of "/*": moves onto the byte after the closing
// "*/", counting the line feeds passed. Comments do not nest.
void TAFile::skipBlockComment() {
  const TFilePos open = position();
  const char* base = Buffer.data();
  uint32_t i = CurChar + 1;  // 1-based index of the "*"
  uint32_t col = CurLineChar + 1;
  for (;;) {
    ++i;
    ++col;
    if (i > FileLen) fatalAt(msg::UnterminatedComment, open);
    const char b = base[i - 1];
    if (b == '\n') {
      ++CurLine;
      ++F_TotalLines;
      col = 0;
    } else if (b == '*' && base[i] == '/') {
      i += 2;
      col += 2;
      break;
    }
  }
  CurChar = i;
  CurLineChar = col;
}

char TAFile::moveNextCharSlow(bool skipControlChars, bool inStr) {
  for (;;) {
    if (CurChar >= FileLen) {
      // The first read past the content counts the last line; the reader
      // then stays at the end.
      if (CurChar == FileLen) {
        ++CurChar;
        ++CurLineChar;
        ++F_TotalLines;
      }
      return '\0';
    }
    ++CurChar;
    ++CurLineChar;
    char c = Buffer[CurChar - 1];
    if (c == '/' && !inStr) {
      const char n = Buffer[CurChar];  // the 0 byte after the content when at the last byte
      if (n == '/' || n == '*') {
        if (n == '/')
          skipLineComment();
        else
          skipBlockComment();
        if (CurChar > FileLen) {
          CurChar = FileLen + 1;
          ++F_TotalLines;
          return '\0';
        }
        // The byte after a comment is not looked at again for another one.
        c = Buffer[CurChar - 1];
      }
    }
    if (c == '\n') {
      ++CurLine;
      ++F_TotalLines;
      CurLineChar = 0;
    }
    if (skipControlChars && isControl(c)) continue;
    return c;
  }
}

uint32_t TAFile::columnOf(uint32_t index) const {
  if (index == 0) return 0;
  if (index > FileLen) return columnOf(FileLen) + 1;
  const char* base = Buffer.data();
  if (base[index - 1] == '\n') return 0;
  uint32_t j = index - 1;
  while (j > 0 && base[j - 1] != '\n') --j;
  return index - j;
}

char TAFile::movePrevChar() {
  if (CurChar == 0) return '\0';
  if (CurChar > FileLen) {
    // Giving back the end takes back the line it counted.
    CurChar = FileLen;
    if (F_TotalLines) --F_TotalLines;
    CurLineChar = columnOf(CurChar);
    return at(CurChar);
  }
  if (Buffer[CurChar - 1] == '\n') {
    if (CurLine > 1) --CurLine;
    if (F_TotalLines) --F_TotalLines;
    --CurChar;
    CurLineChar = columnOf(CurChar);
  } else {
    --CurChar;
    if (CurLineChar) --CurLineChar;
  }
  return at(CurChar);
}

void TAFile::giveBack(const TFilePos& before) {
  if (CurChar == before.chr) return;  // nothing was read (the end)
  if (CurChar == before.chr + 1)
    setPosition(before);  // one plain byte: back to exactly where it was
  else
    movePrevChar();  // a comment was skipped: step back onto its last byte
}

char TAFile::moveToChar(char c) {
  for (;;) {
    const char r = moveNextChar(false, false);
    if (r == c || CurChar > FileLen) return r;
  }
}

char TAFile::moveBackToChar(char c) {
  for (;;) {
    const char r = movePrevChar();
    if (r == c || CurChar == 0) return r;
  }
}

void TAFile::moveLastPeek() {
  setPosition(lastPeek());
  if (Compiler && Compiler->CurToken() && Compiler->PeekToken())
    Compiler->CurToken()->setCurToken(*Compiler->PeekToken());
}

bool TAFile::isNextLineBreak() const {
  const char* base = Buffer.data();
  for (uint32_t i = CurChar; i < FileLen; ++i) {
    const char b = base[i];
    if (b == '\n') return true;
    if (isControl(b)) continue;
    return b == '/' && (base[i + 1] == '/' || base[i + 1] == '*');
  }
  return false;
}

}  // namespace vorak
