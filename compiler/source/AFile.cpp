// Loading of source buffers.
#include "compiler/source/AFile.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <filesystem>

#include "compiler/driver/Common.h"
#include "compiler/statements/Compiler.h"

namespace vorak {

TAFile::TAFile(bool noList) {
  Buffer.assign(1, '\0');
  if (!noList && Compiler) Compiler->FileList().push_back(this);
}

TAFile* TAFile::openFile(const std::string& strFile, TAFile* parent) {
  auto* f = new TAFile(false);
  f->loadFile(strFile, parent);
  return f;
}

bool TAFile::loadFile(const std::string& strFile, TAFile* par) {
  F_Parent = par;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(strFile, ec)) return false;
  std::ifstream in(strFile, std::ios::binary);
  if (!in) return false;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  F_FileName = strFile;
  size_t skip = data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  Buffer.assign(data, skip, std::string::npos);
  FileLen = static_cast<uint32_t>(Buffer.size());
  Buffer.push_back('\0');
  ++fileCounter;
  return true;
}

bool TAFile::loadBuffer(const std::string& name, const std::string& buf, TAFile* par) {
  F_Parent = par;
  F_FileName = name;
  Buffer = buf;
  FileLen = static_cast<uint32_t>(buf.size());
  Buffer.push_back('\0');
  return true;
}

}  // namespace vorak
