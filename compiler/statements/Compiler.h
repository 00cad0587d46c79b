// The compiler object: owns the loaded source buffers and the token records,
// holds the current source and function, and drives one compile.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "plugins/PluginInterface.h"

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

  // Each reads exactly one token from the current file into the current
  // token and answers whether it is what the caller expects; the caller
  // reports the error.
  // True for the symbol Expected (compared byte for byte).
  bool ExpectSymbol(std::string_view Expected);
  // The token's kind when it is one of Expected, else ttNone.
  TVorToken ExpectToken(std::initializer_list<TVorToken> Expected, bool cleanIdent = false);
  // The identifier type of a ttIdent token when it is one of Expected, else itNone.
  TIdentType ExpectIdentType(std::initializer_list<TIdentType> Expected);

  // While a token is read ahead, the tokens that its reading consumes on the
  // way (arguments, bracket items) land in a spare token, so the current
  // token is left as it was. beginPeek installs the spare and returns the
  // token it replaced; endPeek puts that back. Peeks nest.
  TCurrentToken* beginPeek();
  void endPeek(TCurrentToken* saved);

  // Compiles text as a nested source of that name whose parent is the
  // current source, into the current function, and returns when the text
  // ends: the parent then goes on where it stood. A "}" at the text's own
  // level ends it too. False (nothing compiled) outside a compile.
  bool compileText(const std::string& name, const std::string& text);

  // The source in which a label that is referenced before it is placed was
  // first referenced (the record's own fields keep the line and column).
  void setReferenceSource(const TFunction* label, TAFile* file) { F_RefSources[label] = file; }
  TAFile* referenceSource(const TFunction* label) const {
    const auto it = F_RefSources.find(label);
    return it == F_RefSources.end() ? nullptr : it->second;
  }

 private:
  std::vector<TAFile*> F_ListFiles;
  TAFile* F_CurFile = nullptr;
  TFunction* F_CurFunc = nullptr;
  TCurrentToken* F_CurToken = nullptr;
  TCurrentToken* F_PeekToken = nullptr;
  bool F_Initialised = false;
  std::vector<TCurrentToken*> F_SpareTokens;  // one per peek depth, owned
  uint32_t F_PeekDepth = 0;
  std::unordered_map<const TFunction*, TAFile*> F_RefSources;
};

}  // namespace vorak
