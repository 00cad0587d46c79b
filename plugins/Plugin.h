// One loaded plug-in library and its entry points.
#pragma once

#include <cstdint>
#include <string>

#include "plugins/PluginInterface.h"

namespace vorak {


class TPlugin {
 public:
  explicit TPlugin(void* handle) : F_Handle(handle) {}
  // Runs the plug-in's exit entry; the library itself stays loaded.
  ~TPlugin();
  TPlugin(const TPlugin&) = delete;
  TPlugin& operator=(const TPlugin&) = delete;

  void loadProcAddresses();
  void setPluginName(const char* name);
  bool fileEntryTrigger(uint32_t fileID, const char* pCode, uint32_t len);

  const std::string& Name() const { return F_Name; }
  const std::string& FileName() const { return F_FileName; }
  const std::string& Author() const { return F_Author; }
  uint32_t ms() const { return F_msTaken; }
  void addMs(uint32_t ms) { F_msTaken += ms; }
  void* Handle() const { return F_Handle; }

  TDLLEntry DLLEntry = nullptr;
  TDLLExit DLLExit = nullptr;
  TOnFileEntry OnFileEntry = nullptr;

 private:
  std::string F_Name;
  std::string F_FileName;
  std::string F_Author;
  uint32_t F_msTaken = 0;
  void* F_Handle;
};

}  // namespace vorak
