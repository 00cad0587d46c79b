// Paths and switches set by the command line, and the writer of the listing
// that -asmdebug asks for.
#pragma once

#include <string>
#include <vector>

namespace vorak {

class TSettings {
 public:
  TSettings();
  // Commits the listing, if one was asked for and not written yet.
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

  // Writes the listing, if one was asked for; the writer is gone afterwards,
  // whether the write succeeded or not.
  void commitListing();
  // The batch file that repeats the build, once the project is known.
  const std::string& BatchFile() const { return F_BatchFile; }
  void setBatchFile(const std::string& v) { F_BatchFile = v; }
  // Two of the files a run writes (the output, when named, the listing, the
  // log and the batch file) must not be one file, by name, through links or
  // by inode: the run stops with a message that names both, before either
  // is written. The listing is then dropped.
  void checkWrittenFiles(const std::string& output);

 private:
  std::string F_CompilerPath;
  std::string F_ProjectPath;
  std::string F_IncludePath;
  bool F_WriteLog = false;
  bool F_ASMDebug = false;
  std::string F_ProgramStr;
  std::vector<std::string> F_InputFiles;
  std::string F_BatchFile;
};

}  // namespace vorak
