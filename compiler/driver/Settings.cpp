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

void TSettings::SetWriteLog(bool value) {
  F_WriteLog = value;
  if (value && Log) Log->MakeLogFile();
}

void TSettings::SetASMDebug(bool value, const std::string& fileName) {
  F_ASMDebug = value;
  if (value) {
    // A repeated -asmdebug replaces the writer; the listing is written once.
    delete DebugASM;
    DebugASM = new TFileWriter(F_ProjectPath + fileName);
  }
}

}  // namespace vorak
