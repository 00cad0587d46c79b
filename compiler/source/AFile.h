// One source buffer: a file, a macro body, an evaluated text or a plug-in's
// text, held whole in memory with a cursor and its line bookkeeping, the
// character reader over it and the tokenizer that reads it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/driver/Global.h"
#include "compiler/driver/Messages.h"
#include "plugins/PluginRecords.h"

namespace vorak {

class TCurrentToken;
struct TMacro;

// Everything that says where the reader stands. A peek keeps one and puts it
// back whole, so nothing of the look-ahead stays behind.
struct TFilePos {
  uint32_t line = 1;
  uint32_t chr = 0;
  uint32_t lineChar = 0;
  uint32_t totalLines = 0;
};

class TAFile {
 public:
  // Unless noList, the buffer registers itself in the compiler's file list,
  // which then owns it.
  explicit TAFile(bool noList);
  TAFile(const TAFile&) = delete;
  TAFile& operator=(const TAFile&) = delete;

  static TAFile* openFile(const std::string& strFile, TAFile* parent);
  // False when the file does not exist or cannot be read; nothing else changes.
  bool loadFile(const std::string& strFile, TAFile* par);
  bool loadBuffer(const std::string& name, const std::string& buf, TAFile* par);
  // Puts text in place of the content (a plug-in's replacement): the reader
  // stays where it stood, inside the new text.
  void replaceText(std::string_view text);

  uint32_t ID() const { return F_ID; }
  // Tells this text from every other of the run, those freed before it
  // included: a freed text's address may be the next text's.
  uint64_t Serial() const { return F_Serial; }
  // Files the source last in the compiler's list; its ID becomes its index
  // there, the number plug-ins name it by.
  void addToFileList();
  const std::string& FileName() const { return F_FileName; }
  bool Assembled() const { return F_Assembled; }
  void setAssembled(bool v) { F_Assembled = v; }
  // Read from a file on disk (not a macro body, an evaluated text, ...).
  bool IsFile() const { return F_IsFile; }
  TAFile* Parent() const { return F_Parent; }
  void setParent(TAFile* p) {
    F_Parent = p;
    notedChild();
  }
  // The text of an #eval: the compiler owns it and frees it once nothing
  // reads it any more.
  bool IsEvalText() const { return F_EvalText; }
  void setEvalText(bool v) { F_EvalText = v; }
  uint32_t TotalLines() const { return F_TotalLines; }

  // The byte at a 1-based index; 0 outside the content.
  char at(uint32_t index) const {
    return index >= 1 && index <= FileLen ? Buffer[index - 1] : '\0';
  }

  // ---- Character reader ----
  // The reader keeps these invariants: CurChar never passes FileLen + 1 (the
  // end, which reads as #0 however often it is read); CurLine is 1 plus the
  // line feeds up to the cursor; CurLineChar is the cursor's column, counted
  // from 1 after the last line feed (a line feed itself stands at column 0);
  // F_TotalLines counts the line feeds read plus one once the end is reached.

  // The next byte; comments are skipped unless inStr, and bytes #1..#32 too
  // when skipControlChars. #0 at the end and for a 0 byte in the content. A
  // block comment that is never closed is a fatal error.
  char moveNextChar(bool skipControlChars, bool inStr) {
    // Plain bytes, blanks and line feeds; a "/" (a comment may start
    // there) and the end take the slow path.
    while (CurChar < FileLen) {
      const char c = Buffer[CurChar];
      if (c == '/') break;
      ++CurChar;
      ++CurLineChar;
      if (c == '\n') {
        ++CurLine;
        ++F_TotalLines;
        CurLineChar = 0;
      }
      if (!(skipControlChars && isControl(c))) return c;
    }
    return moveNextCharSlow(skipControlChars, inStr);
  }
  // One byte back; returns the byte now under the cursor, #0 at the start.
  char movePrevChar();
  // Reads on until the byte c (or the end) has been read.
  char moveToChar(char c);
  // Steps back until the byte c is under the cursor (or the start is reached).
  char moveBackToChar(char c);
  // The byte moveNextChar(skipControlChars, false) would return; the reader
  // stays, and where the read ended becomes the last-peek position.
  char peekNextRealChar(bool skipControlChars) {
    // Most often the very next byte is a plain one (a "," after an operand).
    if (CurChar < FileLen) {
      const char c = Buffer[CurChar];
      if (static_cast<uint8_t>(c) > ' ' && c != '/') {
        setLastPeek({CurLine, CurChar + 1, CurLineChar + 1, F_TotalLines});
        return c;
      }
    }
    const TFilePos saved = position();
    const char c = moveNextChar(skipControlChars, false);
    setLastPeek(position());
    setPosition(saved);
    return c;
  }
  // Moves to the last-peek position and copies the compiler's peek token into
  // its current token: consumes what the last peek looked at.
  void moveLastPeek();
  // True when only blanks and control bytes stand between the cursor and a
  // line feed or a comment.
  bool isNextLineBreak() const;
  // Whether "[" is the next byte on this line that is not a blank.
  bool isIndexNext() const {
    const char* base = Buffer.data();
    for (uint32_t i = CurChar; i < FileLen; ++i) {
      const char b = base[i];
      if (b == '\n') return false;
      if (!isControl(b)) return b == '[';
    }
    return false;
  }
  // The byte just read is a 0 byte: stops the compile there unless only 0
  // bytes and blanks follow it (the end of the text). Whatever kind of text
  // holds it, a 0 byte before more text would drop that text unread.
  void checkNulByte() {
    if (CurChar <= FileLen && !onlyBlanksFrom(CurChar)) fatalAt(msg::NulByte, position());
  }
  void save() { F_Saved = position(); }
  void restore() { setPosition(F_Saved); }
  // The reader has passed the last byte of the text, or only 0 bytes and
  // blanks stand after it: an end-of-file token read here is the real end,
  // not an empty value.
  bool atEnd() const { return CurChar >= FileLen || onlyBlanksFrom(CurChar); }

  TFilePos position() const { return {CurLine, CurChar, CurLineChar, F_TotalLines}; }
  void setPosition(const TFilePos& p) {
    CurLine = p.line;
    CurChar = p.chr;
    CurLineChar = p.lineChar;
    F_TotalLines = p.totalLines;
  }
  // Field by field, like the cursor: a peek sets them on the tokenizer's
  // fast path, where a whole-record copy is packed into vector stores.
  TFilePos lastPeek() const { return {F_LPCurLine, F_LPCurChar, F_LPCurLineChar, F_LPTotalLines}; }
  void setLastPeek(const TFilePos& p) {
    F_LPCurLine = p.line;
    F_LPCurChar = p.chr;
    F_LPCurLineChar = p.lineChar;
    F_LPTotalLines = p.totalLines;
  }

  // ---- Tokenizer ----
  // Reads one token into ct and returns its kind; with cleanIdent a name is
  // stored unresolved.
  TVorToken setNextToken(TCurrentToken& ct, bool cleanIdent);
  // The next token into the compiler's current token.
  TVorToken moveNextToken(bool cleanIdent = false);
  // The next token into the compiler's peek token; the reader, the current
  // token and peek_mode are left as they were (moveLastPeek consumes it).
  TVorToken peekNextToken(bool cleanIdent = false);
  // An operator of one or two bytes, consumed; moNone (nothing consumed)
  // when the next bytes are none.
  TMathOp moveNextIfMathOp(bool Signed);
  // The same, but only the operators of ina are consumed; moNone otherwise.
  TMathOp moveNextIfInMathOp(bool Signed, std::initializer_list<TMathOp> ina);

  TFilePos F_Saved{0, 0, 0, 0};  // by save, for restore
  uint32_t F_ID = 0;
  const uint64_t F_Serial;
  std::string F_FileName;
  bool F_Assembled = false;
  bool F_IsFile = false;
  TAFile* F_Parent = nullptr;
  // Lets the parent know that a listed buffer, which outlives it, points to it.
  void notedChild() {
    if (F_Parent && F_Listed) F_Parent->F_HoldsListed = true;
  }
  bool F_Listed = false;
  bool F_EvalText = false;
  bool F_Reached = false;      // by the compiler's sweep of evaluated texts
  bool F_HoldsListed = false;  // a listed buffer was opened from this text
  uint32_t F_LPCurLine = 1, F_LPCurChar = 0, F_LPCurLineChar = 0, F_LPTotalLines = 0;  // where the last peek ended
  uint32_t F_TotalLines = 0;
  uint32_t CurLine = 1;
  uint32_t CurChar = 0;      // 1-based index of the byte last read; 0 before the first
  uint32_t CurLineChar = 0;  // 1-based column
  std::string Buffer;        // content, followed by one 0 byte
  uint32_t FileLen = 0;

  // The anonymous macros defined in this text, by where their definition
  // begins, so that reading the text again takes the same macro and passes
  // over its definition to where it ends. A text loaded or replaced anew
  // starts without: the places no longer hold those definitions.
  struct TAnonymousMacro {
    uint32_t start;      // CurChar where the definition begins
    uint32_t end;        // CurChar after its "}"
    uint32_t endColumn;  // CurLineChar there
    uint32_t lines;      // line feeds from start to end
    TMacro* macro;
  };
  std::vector<TAnonymousMacro> F_AnonymousMacros;

  // Text of a token that is not one run of the buffer (a string with escapes,
  // a name or number joined across a comment). Used as a stack: each reader
  // appends past what an enclosing read holds and cuts back when done.
  std::string F_TokScratch;

 private:
  static bool isControl(char c) { return static_cast<uint8_t>(c - 1) < 32; }
  char moveNextCharSlow(bool skipControlChars, bool inStr);
  void skipLineComment();
  void skipBlockComment();
  // Column of the byte at a 1-based index, by the reader's counting.
  uint32_t columnOf(uint32_t index) const;
  // Gives back the byte read since before, exactly as movePrevChar would.
  void giveBack(const TFilePos& before);
  // The message stops the compile pointing at where.
  [[noreturn]] void fatalAt(msg::Id id, const TFilePos& where, std::initializer_list<std::string_view> args = {});

  // Only bytes #0..#32 from the 0-based index to the end of the content.
  bool onlyBlanksFrom(uint32_t index) const;
  TVorToken readToken(TCurrentToken& ct, bool cleanIdent);
  TVorToken readString(TCurrentToken& ct, char quote);
  TVorToken readNumber(TCurrentToken& ct, char first);
  TVorToken readIdent(TCurrentToken& ct, char first, bool cleanIdent);
  TVorToken readDollar(TCurrentToken& ct);
  TVorToken readBracket(TCurrentToken& ct);
  bool registerNameAt(uint32_t index) const;
  void readMemoryOperand(TCurrentToken& ct, const TFilePos& open);
  class TMemoryOperand;
  TVorToken expectToken(std::initializer_list<TVorToken> kinds, bool cleanIdent = false);

  friend class TTextCollector;
};

}  // namespace vorak
