// Paths and switches set by the command line, and the writer of the listing
// that -asmdebug asks for.
#pragma once

#include <string>
#include <vector>

namespace vorak {

class TSettings {
 public:
  TSettings();
  // Commits the listing, if one was asked for.
  ~TSettings() noexcept(false);
  TSettings(const TSettings&) = delete;
  TSettings& operator=(const TSettings&) = delete;

  const std::string& CompilerPath() const { return F_CompilerPath; }
  void setCompilerPath(const std::string& v) { F_CompilerPath = v; }
  const std::string& ProjectPath() const { return F_ProjectPath; }
  void setProjectPath(const std::string& v) { F_ProjectPath = v; }
  const std::string& IncludePath() const { return F_IncludePath; }
  void setIncludePath(const std::string& v) { F_IncludePath = v; }
  bool WriteLog() const { return F_WriteLog; }
  void SetWriteLog(bool value);
  bool ASMDebug() const { return F_ASMDebug; }
  void SetASMDebug(bool value, const std::string& fileName);
  const std::string& ProgramStr() const { return F_ProgramStr; }
  void setProgramStr(const std::string& v) { F_ProgramStr = v; }

  // The files the build has read (project, includes, resources): the output
  // and the listing never overwrite one of them.
  void noteInputFile(const std::string& path) { F_InputFiles.push_back(path); }
  bool readsFile(const std::string& path) const;

 private:
  std::string F_CompilerPath;
  std::string F_ProjectPath;
  std::string F_IncludePath;
  bool F_WriteLog = false;
  bool F_ASMDebug = false;
  std::string F_ProgramStr;
  std::vector<std::string> F_InputFiles;
};

}  // namespace vorak
