// The in-memory output file.
#include "compiler/output/FileWriter.h"

#include <cerrno>
#include <cstring>

#include "compiler/driver/Errors.h"

namespace vorak {

TFileWriter::~TFileWriter() {
  if (file_stream) std::fclose(file_stream);
}

uint32_t TFileWriter::addFileData(const void* p, size_t count) {
  const uint32_t pos = Len() + 1;
  if (count) file_data.append(static_cast<const char*>(p), count);
  return pos;
}

bool TFileWriter::replaceFileData(uint32_t position, const void* p, size_t count) {
  if (position < 1 || count > file_data.size() || position - 1 > file_data.size() - count) return false;
  if (count) std::memcpy(file_data.data() + position - 1, p, count);
  return true;
}

bool TFileWriter::alignFileToSize(uint32_t size) {
  if (file_data.size() > size) return false;
  file_data.resize(size, '\0');
  return true;
}

void TFileWriter::Commit() {
  // Every commit creates the file anew under the current name and writes the
  // whole buffer: a builder that commits before the build does leaves the
  // output holding the buffer once, under its final name.
  if (file_stream) {
    std::fclose(file_stream);
    file_stream = nullptr;
    // What an earlier commit wrote under a name the file no longer has is an
    // older state of this same buffer.
    if (file_committed != file_out) std::remove(file_committed.c_str());
  }
  file_stream = std::fopen(file_out.c_str(), "w+b");
  if (!file_stream) throw EFCreateError("Cannot create file \"" + file_out + "\". " + std::strerror(errno));
  file_committed = file_out;
  if (!file_data.empty() && std::fwrite(file_data.data(), 1, file_data.size(), file_stream) != file_data.size())
    throw EInOutError("Cannot write file \"" + file_out + "\". " + std::strerror(errno));
  if (std::fflush(file_stream) != 0)
    throw EInOutError("Cannot write file \"" + file_out + "\". " + std::strerror(errno));
}

}  // namespace vorak
