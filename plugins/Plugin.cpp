// One loaded plug-in.
#include "plugins/Plugin.h"

#include <cstring>

#include "platform/Platform.h"

namespace vorak {

TPlugin::~TPlugin() {
  if (DLLExit) DLLExit();
}

void TPlugin::loadProcAddresses() {
  DLLExit = reinterpret_cast<TDLLExit>(platform::findSymbol(F_Handle, "onExit"));
  OnFileEntry = reinterpret_cast<TOnFileEntry>(platform::findSymbol(F_Handle, "onFileEntry"));
}

void TPlugin::setPluginName(const char* name) {
  // At most 255 characters, and never a read past them.
  F_Name = name ? std::string(name, strnlen(name, 255)) : std::string();
}

bool TPlugin::fileEntryTrigger(uint32_t fileID, const char* pCode, uint32_t len) {
  return OnFileEntry ? OnFileEntry(fileID, pCode, len) != 0 : false;
}

}  // namespace vorak
