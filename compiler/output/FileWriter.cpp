// The in-memory output file.
#include "compiler/output/FileWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "platform/Platform.h"

namespace vorak {

TFileWriter::~TFileWriter() { platform::freePages(file_data, file_cap); }

void TFileWriter::reserveMore(size_t more) {
  if (more <= file_cap - file_len) return;
  if (more > SIZE_MAX / 2 - file_len) throw std::bad_alloc();
  // Doubling keeps appends amortised; the pages past the content are never
  // touched, so the slack costs address space only.
  const size_t cap = std::max({file_len + more, file_cap * 2, size_t{64} << 10});
  void* grown = platform::growPages(file_data, file_cap, cap);
  if (!grown) throw std::bad_alloc();
  file_data = static_cast<char*>(grown);
  file_cap = cap;
}

uint32_t TFileWriter::addFileData(const void* p, size_t count) {
  const uint32_t pos = Len() + 1;
  if (!count) return pos;
  // The bytes may come from the buffer itself, which growing can move.
  const size_t inside = offsetInside(file_data, file_len, p);
  reserveMore(count);
  std::memmove(file_data + file_len, inside != std::string_view::npos ? file_data + inside : p, count);
  file_len += count;
  return pos;
}

bool TFileWriter::replaceFileData(uint32_t position, const void* p, size_t count) {
  if (position < 1 || count > file_len || position - 1 > file_len - count) return false;
  // The bytes may come from the buffer itself (a plug-in patching from the
  // address file_getbuf gave it), so the ranges may overlap.
  if (count) std::memmove(file_data + position - 1, p, count);
  return true;
}

bool TFileWriter::alignFileToSize(uint32_t size) {
  if (file_len > size) return false;
  // Nothing ever writes past the content: the pages there still read as zero.
  reserveMore(size - file_len);
  file_len = size;
  return true;
}

void TFileWriter::Commit() {
  // The callers refuse such a name with a message of their own first; this
  // is the last guard, for a commit no caller checked.
  if (Settings && Settings->readsFile(file_out))
    throw EFCreateError(msg::text(msg::CreateRefused, file_out));
  // Every commit writes the whole buffer under the current name: a builder
  // that commits before the build does leaves the output holding the buffer
  // once, under its final name.
  std::string error;
  bool writeFailed = false;
  if (!platform::replaceFile(file_out, Data(), &error, &writeFailed)) {
    if (writeFailed) throw EInOutError(msg::text(msg::WriteFailed, file_out, error));
    throw EFCreateError(msg::text(msg::CreateFailed, file_out, error));
  }
  // What an earlier commit wrote under a name the file no longer has is an
  // older state of this same buffer.
  if (!file_committed.empty() && file_committed != file_out && !(Settings && Settings->readsFile(file_committed)))
    std::remove(file_committed.c_str());
  file_committed = file_out;
}

}  // namespace vorak
