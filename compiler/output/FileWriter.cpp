// The in-memory output file.
#include "compiler/output/FileWriter.h"

#include <cstdio>
#include <cstring>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "platform/Platform.h"

namespace vorak {

TFileWriter::~TFileWriter() = default;

uint32_t TFileWriter::addFileData(const void* p, size_t count) {
  const uint32_t pos = Len() + 1;
  if (count) file_data.append(static_cast<const char*>(p), count);
  return pos;
}

bool TFileWriter::replaceFileData(uint32_t position, const void* p, size_t count) {
  if (position < 1 || count > file_data.size() || position - 1 > file_data.size() - count) return false;
  // The bytes may come from the buffer itself (a plug-in patching from the
  // address file_getbuf gave it), so the ranges may overlap.
  if (count) std::memmove(file_data.data() + position - 1, p, count);
  return true;
}

bool TFileWriter::alignFileToSize(uint32_t size) {
  if (file_data.size() > size) return false;
  file_data.resize(size, '\0');
  return true;
}

void TFileWriter::Commit() {
  // The callers refuse such a name with a message of their own first; this
  // is the last guard, for a commit no caller checked.
  if (Settings && Settings->readsFile(file_out))
    throw EFCreateError("Cannot create file \"" + file_out + "\". The build reads this file");
  // Every commit writes the whole buffer under the current name: a builder
  // that commits before the build does leaves the output holding the buffer
  // once, under its final name.
  std::string error;
  bool writeFailed = false;
  if (!platform::replaceFile(file_out, file_data, &error, &writeFailed)) {
    if (writeFailed) throw EInOutError("Cannot write file \"" + file_out + "\". " + error);
    throw EFCreateError("Cannot create file \"" + file_out + "\". " + error);
  }
  // What an earlier commit wrote under a name the file no longer has is an
  // older state of this same buffer.
  if (!file_committed.empty() && file_committed != file_out && !(Settings && Settings->readsFile(file_committed)))
    std::remove(file_committed.c_str());
  file_committed = file_out;
}

}  // namespace vorak
