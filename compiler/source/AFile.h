// One source buffer: a file, a macro body, an evaluated text or a plug-in's
// text, held whole in memory with a cursor and its line bookkeeping.
#pragma once

#include <cstdint>
#include <string>

namespace vorak {

class TAFile {
 public:
  // Unless noList, the buffer registers itself in the compiler's file list,
  // which then owns it.
  explicit TAFile(bool noList);
  TAFile(const TAFile&) = delete;
  TAFile& operator=(const TAFile&) = delete;

  static TAFile* openFile(const std::string& strFile, TAFile* parent);
  // False when the file does not exist or cannot be read; nothing else changes.
  bool loadFile(const std::string& strFile, TAFile* par);
  bool loadBuffer(const std::string& name, const std::string& buf, TAFile* par);

  uint32_t ID() const { return F_ID; }
  const std::string& FileName() const { return F_FileName; }
  bool Assembled() const { return F_Assembled; }
  void setAssembled(bool v) { F_Assembled = v; }
  TAFile* Parent() const { return F_Parent; }
  void setParent(TAFile* p) { F_Parent = p; }
  uint32_t TotalLines() const { return F_TotalLines; }

  // The byte at a 1-based index; 0 outside the content.
  char at(uint32_t index) const {
    return index >= 1 && index <= FileLen ? Buffer[index - 1] : '\0';
  }

  uint32_t F_SaveCurLine = 0, F_SaveCurChar = 0, F_SaveCurLineChar = 0;
  uint32_t F_ID = 0;
  std::string F_FileName;
  bool F_Assembled = false;
  TAFile* F_Parent = nullptr;
  uint32_t F_LPCurLine = 0, F_LPCurChar = 0, F_LPCurLineChar = 0;
  uint32_t F_TotalLines = 0;
  uint32_t CurLine = 1;
  uint32_t CurChar = 0;      // 1-based index of the byte last read; 0 before the first
  uint32_t CurLineChar = 0;  // 1-based column
  std::string Buffer;        // content, followed by one 0 byte
  uint32_t FileLen = 0;
};

}  // namespace vorak
