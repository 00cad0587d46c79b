// The one channel to the user: coloured console lines, the optional log.txt,
// and the fixed forms of warnings and fatal errors with their source excerpt.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "compiler/driver/Messages.h"

namespace vorak {

class TAFile;

// Console colours, as text attributes.
inline constexpr uint16_t colPlugin = 6, colNormal = 7, colLoaded = 10, colError = 12, colWarning = 14;

// A place in one of the compiler's listed sources (they live until
// shut-down), for a message about something read before the reader moved on.
struct TSourceSpot {
  TAFile* file = nullptr;
  uint32_t line = 0;
  uint32_t lineChar = 0;
  uint32_t chr = 0;
};

// The log's lines are held while the run goes on and appended to log.txt in
// one piece when it ends, once every file the build reads is known: the log
// never grows a file that the build reads or is still to read.
class TLog {
 public:
  TLog();
  // Writes the log with its closing lines (see writeLogFile).
  ~TLog() noexcept(false);
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // Opens log.txt in the compiler folder for appending and starts a block
  // with the opening lines; an unopenable file is an EInOutError at once.
  void MakeLogFile();
  void WriteFile(std::string_view str);
  // The log file while logging is on, else empty.
  const std::string& LogFileName() const { return F_LogPath; }
  // Appends what the log holds to its file, with the closing lines when
  // closing, and clears it. Nothing is written to a file the build reads:
  // the log is dropped and an EInOutError says so.
  void writeLogFile(bool closing);
  // Gives up the log: nothing of it is written.
  void dropLogFile();
  void Message(std::string_view str, uint16_t col = colNormal);
  void Debug(std::string_view str, uint16_t col = colNormal) { Message(str, col); }

  // Position arguments of 0 (and a null file) are taken from the current
  // source; while a spot is set (SpotScope), from the spot instead. A
  // message of the build, after the compile, names no source position
  // unless it is given one: the reader then stands at the end of the
  // project, which is no place the message concerns.
  [[noreturn]] void FatalError(std::string_view strError, bool showCode = true, uint32_t cC = 0,
                               uint32_t cL = 0, uint32_t cLc = 0, TAFile* fn = nullptr);
  void Warning(std::string_view strError, bool showCode = true, uint32_t cC = 0, uint32_t cL = 0,
               uint32_t cLc = 0, TAFile* fn = nullptr);
  void Error(std::string_view strError);

  // The same for a row of the message tables, with its arguments.
  template <typename... A>
  [[noreturn]] void FatalError(msg::Id id, const A&... args) {
    FatalError(msg::text(id, args...));
  }
  template <typename... A>
  void Warning(msg::Id id, const A&... args) {
    Warning(msg::text(id, args...));
  }
  template <typename... A>
  void Error(msg::Id id, const A&... args) {
    Error(msg::text(id, args...));
  }

  // The error at the current token, of the kind and with the code its row
  // gives; the three below it take the code as it is printed.
  [[noreturn]] void FatalToken(unx::Id id);
  [[noreturn]] void FatalUnexpectedToken(std::string_view errCode);
  [[noreturn]] void FatalReservedToken(std::string_view errCode);
  [[noreturn]] void FatalRedeclared(std::string_view errCode);

  // Messages without a position of their own point at spot while this
  // lives (a statement compiled after the line that it belongs to).
  class SpotScope {
   public:
    SpotScope(TLog& log, const TSourceSpot& spot) : F_Log(log), F_Before(log.F_Spot) { log.F_Spot = &spot; }
    ~SpotScope() { F_Log.F_Spot = F_Before; }
    SpotScope(const SpotScope&) = delete;
    SpotScope& operator=(const SpotScope&) = delete;

   private:
    TLog& F_Log;
    const TSourceSpot* F_Before;
  };

  uint32_t errorCount() const { return F_ErrorCount; }
  uint32_t warningCount() const { return F_WarningCount; }
  // Pushes the console out, before an abort.
  void flush();

 private:
  std::string formatAt(std::string_view kind, std::string_view strError, bool showCode, uint32_t cC,
                       uint32_t cL, uint32_t cLc, TAFile* fn);
  void closeLogFile();

  std::FILE* F_LogFile = nullptr;
  std::string F_LogPath;
  std::string F_Held;  // the lines not yet written
  uint32_t F_ErrorCount = 0;
  uint32_t F_WarningCount = 0;
  const TSourceSpot* F_Spot = nullptr;
};

// The short forms every handler stops the compile with: a fatal message, or
// the error at the current token. Without a log (a unit test that runs a
// piece alone) they abort silently.
[[noreturn]] void fatalMessage(msg::Id id, std::initializer_list<std::string_view> args);
template <typename... A>
[[noreturn]] void fatal(msg::Id id, const A&... args) {
  fatalMessage(id, {std::string_view(args)...});
}
[[noreturn]] void unexpected(unx::Id id);

// The source line around a 1-based buffer position, trimmed of blanks and
// control characters at both ends, as boundedText shows it. Lines end at CR
// or LF.
std::string sourceExcerpt(std::string_view buffer, uint32_t pos);

}  // namespace vorak
