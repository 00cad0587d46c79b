// Console and log-file messages, warnings and fatal errors.
#include "compiler/driver/Log.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/statements/Compiler.h"
#include "plugins/PluginManager.h"
#include "platform/Platform.h"

namespace vorak {

namespace {
const std::string kRule(30, '-');

std::string withoutFolder(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

std::string sourceExcerpt(std::string_view buffer, uint32_t pos) {
  if (buffer.empty()) return {};
  // pos is the byte last read (1-based); 0 stands before the first byte.
  size_t at = pos == 0 ? 0 : pos - 1;
  if (at >= buffer.size()) at = buffer.size() - 1;
  // A reader standing on a line end belongs to the line that the end closes;
  // the LF of a CR LF pair closes the same line as its CR.
  if (buffer[at] == '\n' && at > 0 && buffer[at - 1] == '\r') --at;
  size_t start = at;
  while (start > 0 && !isLineBreak(buffer[start - 1])) --start;
  size_t end = at;
  while (end < buffer.size() && !isLineBreak(buffer[end])) ++end;
  while (start < end && static_cast<unsigned char>(buffer[start]) <= ' ') ++start;
  while (end > start && static_cast<unsigned char>(buffer[end - 1]) <= ' ') --end;
  const size_t focus = at < start ? 0 : at - start;
  return boundedText(buffer.substr(start, end - start), focus, kExcerptWidth);
}

TLog::TLog() {
  if (Settings && Settings->WriteLog()) MakeLogFile();
}

TLog::~TLog() noexcept(false) { writeLogFile(true); }

void TLog::closeLogFile() {
  if (F_LogFile) std::fclose(F_LogFile);
  F_LogFile = nullptr;
  F_LogPath.clear();
}

void TLog::dropLogFile() {
  F_Held.clear();
  closeLogFile();
}

void TLog::MakeLogFile() {
  closeLogFile();
  const std::string path = (Settings ? Settings->CompilerPath() : std::string()) + "log.txt";
  // Opening for appending writes nothing yet.
  F_LogFile = platform::openForAppending(path);
  if (!F_LogFile) throw EInOutError(msg::text(msg::LogOpenFailed, path, std::strerror(errno)));
  F_LogPath = path;
  F_Held += "\r\n" + kRule + "\r\nLOG STARTED\r\n";
}

void TLog::writeLogFile(bool closing) {
  if (!F_LogFile) return;
  const std::string path = F_LogPath;
  if (Settings && Settings->readsFile(path)) {
    dropLogFile();
    throw EInOutError(msg::text(msg::LogWriteRefused, path));
  }
  if (closing && Settings && Settings->WriteLog()) F_Held += "\r\n" + kRule + "\r\n\r\n";
  const bool written =
      std::fwrite(F_Held.data(), 1, F_Held.size(), F_LogFile) == F_Held.size() && std::fflush(F_LogFile) == 0;
  const int error = errno;
  F_Held.clear();
  if (!written) {
    closeLogFile();
    throw EInOutError(msg::text(msg::LogWriteFailed, path, std::strerror(error)));
  }
  if (closing) closeLogFile();
}

void TLog::WriteFile(std::string_view str) {
  if (!F_LogFile || !Settings || !Settings->WriteLog()) return;
  F_Held.append(str);
  F_Held.append("\r\n");
}

void TLog::Message(std::string_view str, uint16_t col) {
  platform::setConsoleColour(col);
  std::cout << str;
  platform::resetConsoleColour();
  std::cout << '\n';
  WriteFile(str);
}

void TLog::flush() { std::cout.flush(); }

std::string TLog::formatAt(std::string_view kind, std::string_view strError, bool showCode, uint32_t cC,
                           uint32_t cL, uint32_t cLc, TAFile* fn) {
  // The whole text is cut and escaped as well: a text without a row (#raise,
  // a plug-in's fatal message) reaches the terminal no more raw than a row.
  const std::string text = boundedText(strError, 0, kMessageWidth);
  strError = text;
  TAFile* src = fn;
  if (!src && F_Spot && F_Spot->file) {
    src = F_Spot->file;
    cC = F_Spot->chr;
    cL = F_Spot->line;
    cLc = F_Spot->lineChar;
  } else if (!src && hostStage() == THostStage::Compiling) {
    src = Compiler ? Compiler->CurFile() : nullptr;
  }
  if (!src) {
    if (kind == ": Warning: ") return "Warning: " + std::string(strError);
    return std::string(strError);
  }
  if (cL == 0) cL = src->CurLine;
  if (cLc == 0) cLc = src->CurLineChar;
  if (cC == 0) cC = src->CurChar;
  std::string s = "[" + std::to_string(cL) + "," + std::to_string(cLc) + "]" + std::string(kind) +
                  std::string(strError) + " in [" + withoutFolder(src->FileName()) + "]";
  // The excerpt is cut from the buffer directly: the reader stays where it is.
  if (showCode)
    s += "\r\nCode: \r\n" + sourceExcerpt(std::string_view(src->Buffer.data(), src->FileLen), cC);
  return s;
}

void TLog::FatalError(std::string_view strError, bool showCode, uint32_t cC, uint32_t cL, uint32_t cLc,
                      TAFile* fn) {
  Message(formatAt(": ", strError, showCode, cC, cL, cLc, fn), colError);
  flush();
  throw EAbort();
}

void TLog::Warning(std::string_view strError, bool showCode, uint32_t cC, uint32_t cL, uint32_t cLc,
                   TAFile* fn) {
  ++F_WarningCount;
  Message(formatAt(": Warning: ", strError, showCode, cC, cL, cLc, fn), colWarning);
}

void TLog::Error(std::string_view strError) {
  ++F_ErrorCount;
  Message(formatAt(": Error: ", strError, false, 0, 0, 0, nullptr), colError);
}

namespace {
std::string currentTokenText() {
  if (Compiler && Compiler->CurToken()) return Compiler->CurToken()->getTokenStr();
  return "EOF";
}
// The words of a kind around the current token, with the code in front.
std::string tokenMessage(std::string_view code, msg::Id words) {
  std::string text = msg::text(words, currentTokenText());
  if (code.empty()) return text;
  return "[" + std::string(code) + "] " + text;
}

msg::Id wordsOf(unx::Kind kind) {
  switch (kind) {
    case unx::Kind::Reserved: return msg::TokenReserved;
    case unx::Kind::Redeclared: return msg::TokenRedeclared;
    case unx::Kind::Unexpected: break;
  }
  return msg::TokenUnexpected;
}
}  // namespace

void TLog::FatalToken(unx::Id id) {
  const unx::TRow& r = unx::row(id);
  FatalError(tokenMessage(r.code, wordsOf(r.kind)));
}

void TLog::FatalUnexpectedToken(std::string_view errCode) { FatalError(tokenMessage(errCode, msg::TokenUnexpected)); }

void TLog::FatalReservedToken(std::string_view errCode) { FatalError(tokenMessage(errCode, msg::TokenReserved)); }

void TLog::FatalRedeclared(std::string_view errCode) { FatalError(tokenMessage(errCode, msg::TokenRedeclared)); }

void fatalMessage(msg::Id id, std::initializer_list<std::string_view> args) {
  if (!Log) throw EAbort();
  Log->FatalError(msg::format(id, args));
}

void unexpected(unx::Id id) {
  if (!Log) throw EAbort();
  Log->FatalToken(id);
}

}  // namespace vorak
