// Command-line settings and the -asmdebug listing writer.
#include "compiler/driver/Settings.h"

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/output/FileWriter.h"
#include "platform/Platform.h"

namespace vorak {

TSettings::TSettings() : F_CompilerPath(platform::executableFolder()) { DebugASM = nullptr; }

TSettings::~TSettings() noexcept(false) {
  if (!DebugASM) return;
  TFileWriter* w = DebugASM;
  DebugASM = nullptr;
  try {
    w->Commit();
  } catch (...) {
    delete w;
    throw;
  }
  delete w;
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
