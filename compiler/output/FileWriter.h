// A whole output file kept in memory: appended to, patched at 1-based
// positions, and written to disk at once by Commit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorak {

class TFileWriter {
 public:
  explicit TFileWriter(std::string fileName) : file_out(std::move(fileName)) {}
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  const std::string& Filename() const { return file_out; }
  void setFilename(std::string name) { file_out = std::move(name); }
  std::string_view Data() const { return {file_data, file_len}; }
  // The first byte, for in-place patching; valid until the next append.
  char* dataPtr() { return file_data; }
  uint32_t Len() const { return static_cast<uint32_t>(file_len); }

  // Each append returns the 1-based position of its first byte.
  uint32_t addFileText(std::string_view text) { return addFileData(text.data(), text.size()); }
  uint32_t addFileBytes(std::string_view bytes) { return addFileData(bytes.data(), bytes.size()); }
  uint32_t addFileData(const void* p, size_t count);
  // Overwrites count bytes at a 1-based position; false (and nothing changed)
  // when the range does not lie inside the buffer.
  bool replaceFileData(uint32_t position, const void* p, size_t count);
  // Pads with zero bytes up to exactly size; false when already longer.
  bool alignFileToSize(uint32_t size);
  // Writes the whole buffer as the file's new content (under the current
  // name), replacing it only once complete; a later call does the same
  // again, and removes the file of the earlier call when the name has
  // changed since. Throws EFCreateError when the file cannot be created or
  // is one the build reads, EInOutError on a failed write; either way the
  // file keeps what it held before.
  void Commit();

 private:
  // Room for at least more bytes behind the content.
  void reserveMore(size_t more);

  std::string file_out;
  std::string file_committed;  // the name of the last commit
  // Whole pages (platform::growPages): growing moves them rather than
  // copying, so an image of any size is held once while it grows.
  char* file_data = nullptr;
  size_t file_len = 0;
  size_t file_cap = 0;
};

}  // namespace vorak
