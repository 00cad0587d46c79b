// A large global through the whole build by the executable: the image holds
// its data exactly, and the compiler holds that data at most twice (the
// variable's content and the output buffer), by its peak resident memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

constexpr uint64_t kDataBytes = uint64_t{128} << 20;

// A 32-bit program: "ret", then the global (initial text first, zeros after
// it), then a pointer that holds the global's address.
RunResult compileWithData(const TempDir& dir, uint64_t bytes) {
  std::ofstream(dir.path() + "/big.vor") << "program FLAT;\nbyte data[" << bytes
                                         << "] = 'vorak';\npointer at = @data;\nret\n";
  RunOptions options;
  options.measurePeak = true;
  return runVorak({"big.vor", "-nopause"}, dir.path(), options);
}

// The first offset at or after from where the file is not zero; size when none.
uint64_t firstNonZero(std::ifstream& in, uint64_t from, uint64_t size) {
  std::vector<char> chunk(1 << 20);
  in.seekg(static_cast<std::streamoff>(from));
  for (uint64_t at = from; at < size;) {
    const uint64_t n = std::min<uint64_t>(chunk.size(), size - at);
    in.read(chunk.data(), static_cast<std::streamsize>(n));
    for (uint64_t k = 0; k < n; ++k)
      if (chunk[k] != 0) return at + k;
    at += n;
  }
  return size;
}

// The base is the same program with a global of 16 bytes: the runtime, and
// under AddressSanitizer its own tables, which the bound leaves aside.
TEST(FlatLargeData, TheCompilerHoldsALargeGlobalAtMostTwice) {
  TempDir small, big;
  const RunResult base = compileWithData(small, 16);
  ASSERT_EQ(base.exitCode, 0) << base.out;
  const RunResult r = compileWithData(big, kDataBytes);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const double dataKiB = static_cast<double>(kDataBytes) / 1024;
  ASSERT_GT(base.peakKiB, 0);
  ASSERT_GT(r.peakKiB, 0);
  ASSERT_LT(static_cast<double>(base.peakKiB), dataKiB / 2) << "a base this large would hide copies of the data";
  EXPECT_LE(static_cast<double>(r.peakKiB), static_cast<double>(base.peakKiB) + 2.1 * dataKiB)
      << "peak " << r.peakKiB << " KiB for " << dataKiB << " KiB of data, base " << base.peakKiB << " KiB";

  // The image: ret at 0, the data at 4, the pointer at 4 + the data.
  const std::string image = big.path() + "/big.bin";
  ASSERT_EQ(std::filesystem::file_size(image), 4 + kDataBytes + 4);
  std::ifstream in(image, std::ios::binary);
  std::string head(9, '\0');
  in.read(head.data(), 9);
  EXPECT_EQ(head, std::string("\xC3\0\0\0vorak", 9));
  EXPECT_EQ(firstNonZero(in, 9, 4 + kDataBytes), 4 + kDataBytes);
  std::string pointer(4, '\0');
  in.read(pointer.data(), 4);
  EXPECT_EQ(pointer, std::string("\x04\0\0\0", 4));
}

}  // namespace
}  // namespace vorak::test
