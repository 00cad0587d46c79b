// The compiler object: owns the loaded source buffers and the token records,
// holds the current source and function, and drives one compile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorak {

class TAFile;
class TCurrentToken;
struct TFunction;

class TCompiler {
 public:
  TCompiler();
  ~TCompiler();
  TCompiler(const TCompiler&) = delete;
  TCompiler& operator=(const TCompiler&) = delete;

  void InitCompiler();
  // Loads the project file; a missing file is a fatal error.
  void LoadProject(const std::string& projFile);
  uint32_t Compile();
  uint32_t GetTotalLines() const;

  std::vector<TAFile*>& FileList() { return F_ListFiles; }
  TAFile* CurFile() const { return F_CurFile; }
  void setCurFile(TAFile* f) { F_CurFile = f; }
  TFunction* CurFunc() const { return F_CurFunc; }
  void setCurFunc(TFunction* f) { F_CurFunc = f; }
  TCurrentToken* CurToken() const { return F_CurToken; }
  TCurrentToken* PeekToken() const { return F_PeekToken; }

 private:
  std::vector<TAFile*> F_ListFiles;
  TAFile* F_CurFile = nullptr;
  TFunction* F_CurFunc = nullptr;
  TCurrentToken* F_CurToken = nullptr;
  TCurrentToken* F_PeekToken = nullptr;
  bool F_Initialised = false;
};

}  // namespace vorak
