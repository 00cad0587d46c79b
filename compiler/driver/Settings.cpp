// Command-line settings and the -asmdebug listing writer.
#include "compiler/driver/Settings.h"

#include <memory>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Messages.h"
#include "compiler/output/FileWriter.h"
#include "platform/Platform.h"

namespace vorak {

TSettings::TSettings() : F_CompilerPath(platform::executableFolder()) { DebugASM = nullptr; }

TSettings::~TSettings() noexcept(false) { commitListing(); }

void TSettings::commitListing() {
  if (!DebugASM) return;
  std::unique_ptr<TFileWriter> w(DebugASM);
  DebugASM = nullptr;
  w->Commit();
}

void TSettings::checkWrittenFiles(const std::string& output) {
  struct Written {
    msg::Id kind;
    std::string path;
  };
  std::vector<Written> files;
  if (!output.empty()) files.push_back({msg::WrittenOutput, output});
  if (DebugASM) files.push_back({msg::WrittenListing, DebugASM->Filename()});
  if (Log && !Log->LogFileName().empty()) files.push_back({msg::WrittenLog, Log->LogFileName()});
  if (!F_BatchFile.empty()) files.push_back({msg::WrittenBatch, F_BatchFile});
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = i + 1; j < files.size(); ++j) {
      if (!platform::namesOneFile(files[i].path, files[j].path)) continue;
      const std::string text = msg::text(msg::WrittenFilesCoincide, msg::text(files[i].kind), files[i].path,
                                         msg::text(files[j].kind), files[j].path);
      // Nothing of either is written: the output and the batch file come
      // later in the run that stops here, and the listing is given up. The
      // log, when it is one of the two, goes on as the run's log.
      SetASMDebug(false, std::string());
      if (Log) Log->FatalError(text, false);
      throw EAbort();
    }
  }
}

bool TSettings::readsFile(const std::string& path) const {
  for (const std::string& f : F_InputFiles)
    if (platform::sameFile(f, path)) return true;
  return false;
}

void TSettings::SetWriteLog(bool value) {
  F_WriteLog = value;
  if (value && Log) Log->MakeLogFile();
}

void TSettings::SetASMDebug(bool value, const std::string& fileName) {
  F_ASMDebug = value;
  // A repeated -asmdebug replaces the writer; the listing is written once.
  // Switched off, nothing is written.
  delete DebugASM;
  DebugASM = value ? new TFileWriter(F_ProjectPath + fileName) : nullptr;
}

}  // namespace vorak
