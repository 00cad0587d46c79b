// The vorak executable: console set-up, command line, compile, build, the
// batch file that repeats the build, and the top-level error handler.
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/output/FileWriter.h"
#include "compiler/statements/Compiler.h"
#include "encoder/InstructionTable.h"
#include "platform/Platform.h"
#include "plugins/PluginManager.h"

using namespace vorak;
namespace fs = std::filesystem;

namespace {

// Everything up to the last '.' of the file-name part; the path itself when
// the name has no extension.
std::string withoutExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

std::string fileNamePart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A word for the shell that means exactly text: single quotes, and each
// quote in text closed, escaped and reopened.
std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string batchFileName(const std::string& strInFile) { return withoutExtension(strInFile) + ".build.bat"; }

void writeBatchFile(const std::string& strInFile, const std::string& strInRaw) {
  const std::string name = batchFileName(strInFile);
  std::error_code ec;
  if (fs::exists(name, ec)) return;
  TFileWriter batFile(name);
  // The file is run by a shell: a path is one word, whatever it holds.
  batFile.addFileText(shellQuoted(platform::executablePath()) + " " + shellQuoted(strInRaw));
  batFile.Commit();
}

// The value of -out: a name for the output file, which the build extends by
// "." and the builder's extension. An option in its place, or a folder (the
// output would be a hidden file inside it, or a name of dots), is refused.
void checkOutputName(const std::string& value) {
  if (!value.empty() && value[0] == '-')
    Log->FatalError(msg::OutNameIsOption, value);
  const std::string last = fileNamePart(value);
  std::error_code ec;
  if (value.empty() || last.empty() || last == "." || last == ".." || fs::is_directory(value, ec))
    Log->FatalError(msg::OutNameIsFolder, value);
}

// A file the run writes must not be one that the build reads: drop gives up
// writing it, so that nothing of it is written at shut-down either, and the
// run stops with the message refusal about the name.
template <typename Drop>
void refuseWritingInput(std::string name, msg::Id refusal, Drop drop) {
  if (name.empty() || !Settings->readsFile(name)) return;
  drop();
  Log->FatalError(msg::text(refusal, name), false);
}

// The listing replaces its file and the log appends to its own: asked once
// the project is loaded and again after the compile, when every file the
// build reads is known.
void checkWrittenFiles() {
  if (DebugASM)
    refuseWritingInput(DebugASM->Filename(), msg::ListingReadByBuild,
                       [] { Settings->SetASMDebug(false, std::string()); });
  refuseWritingInput(Log->LogFileName(), msg::LogReadByBuild, [] { Log->dropLogFile(); });
}

// The run between start-up and shut-down. Returns normally at its end; any
// failure leaves it as an exception.
void run(const std::vector<std::string>& args) {
  frequency64 = platform::performanceFrequency();
  InitVorak();

  std::string strInFile = args.size() > 1 ? args[1] : std::string();
  if (strInFile == "-listinstructions") {
    Log->Message(msg::text(msg::InstructionList) + listInstructions(false));
    return;
  }
  const std::string strInRaw = strInFile;
  if (strInFile.empty()) {
    Log->Message(msg::text(msg::Usage));
    Log->Message(msg::text(msg::UsageArguments));
    return;
  }
  std::error_code ec;
  // By its status alone: a pipe given as the project is never opened.
  const fs::file_status inStatus = fs::status(strInFile, ec);
  if (!fs::is_regular_file(inStatus))
    Log->FatalError(fs::exists(inStatus) ? msg::InputNotRegular : msg::InputMissing, strInRaw);
  strInFile = fs::absolute(strInFile, ec).lexically_normal().string();

  const std::string projectFolder = fs::path(strInFile).parent_path().string() + "/";
  fs::current_path(projectFolder, ec);
  Settings->setCompilerPath(strVORAK_PATH);
  Settings->setProjectPath(projectFolder);

  std::string strOutFile;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasNext = i + 1 < args.size();
    if (a == "-out") {
      // As the last argument it leaves the default name in force.
      strOutFile = hasNext ? args[++i] : std::string();
      if (hasNext) checkOutputName(strOutFile);
    } else if (a == "-i") {
      Settings->setIncludePath((hasNext ? args[++i] : std::string()) + "/");
    } else if (a == "-nopause") {
      bPause = false;
    } else if (a == "-writelog") {
      Settings->SetWriteLog(true);
    } else if (a == "-asmdebug") {
      Settings->SetASMDebug(true, withoutExtension(fileNamePart(strInFile)) + ".asm");
    } else if (a == "-program") {
      Settings->setProgramStr(hasNext ? args[++i] : std::string());
    }
  }
  if (strOutFile.empty()) strOutFile = withoutExtension(fileNamePart(strInFile));
  // The output's name is known only when the build writes it; the others
  // are known now.
  Settings->setBatchFile(batchFileName(strInFile));
  Settings->checkWrittenFiles(std::string());

  Plugins->initPlugins(strVORAK_PATH + "plugins/");
  Compiler->LoadProject(strInFile);
  checkWrittenFiles();

  const int64_t startTime64 = platform::performanceCounter();
  Compiler->Compile();
  checkWrittenFiles();
  int64_t endTime64 = platform::performanceCounter();
  double elapsedSeconds = static_cast<double>(endTime64 - startTime64) / static_cast<double>(frequency64);
  Log->Message(msg::text(msg::CompileOk, std::to_string(Compiler->GetTotalLines()), std::to_string(fileCounter),
                         formatSeconds(elapsedSeconds)));

  if (!Plugins->callBuilder(strOutFile)) Log->FatalError(msg::BuildFailed);
  endTime64 = platform::performanceCounter();
  const double total = static_cast<double>(endTime64 - startTime64) / static_cast<double>(frequency64);
  Log->Message(msg::text(msg::LinkOk, formatSeconds(total - elapsedSeconds)));
  Log->Message(msg::text(msg::BuildComplete, formatSeconds(total)));
  writeBatchFile(strInFile, strInRaw);
}

}  // namespace

int main(int argc, char** argv) {
  platform::startUp();
  std::vector<std::string> args(argv, argv + argc);
  bPause = true;
  try {
    run(args);
  } catch (...) {
    reportException(std::current_exception());
    finishAfterFailure();
  }
  // A file that shut-down fails to write (the listing, the log) is a
  // failure of the run like any other.
  bool written = true;
  if (bPause)
    pauseAndShutDown();
  else
    written = DeinitVorak();
  std::cout.flush();
  return written ? 0 : 1;
}
