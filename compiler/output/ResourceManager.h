// Resources read from compiled resource files and the PE resource section built from them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vorak {

// Which bytes addBytes appends to: the resource data or the directory.
enum TResType : uint8_t { rtData = 0, rtEntry = 1, rtDir = 2 };

// One resource, identified by numbers only.
struct TResource {
  int32_t rtType = 0;
  int32_t id = 0;
  int32_t langID = 0;
  std::string rtName;      // kept, but the directory has no named entries
  uint32_t dataAddr = 0;   // offset of its data within the data bytes
  uint32_t dataSize = 0;
  uint32_t entOffset = 0;  // offset of its name-level entry; set by buildRes
};

class TResourceManager {
 public:
  static constexpr int32_t kMaxTypes = 32;    // type numbers 0 to 31
  static constexpr int32_t kMaxPerType = 51;  // resources of one type

  TResourceManager() = default;
  ~TResourceManager() = default;
  TResourceManager(const TResourceManager&) = delete;
  TResourceManager& operator=(const TResourceManager&) = delete;

  // rtData: appends to the data bytes and returns the data length before
  // them. Otherwise: appends to the directory bytes and returns the directory
  // length after them. A total past 4 GB is a fatal error.
  uint32_t addBytes(TResType t, const void* bytes, uint32_t n);
  // Records one resource and returns the offset of its data within the data
  // bytes. A type outside 0..31 or a 52nd resource of a type is a fatal error.
  uint32_t addResource(int32_t rtType, int32_t id, int32_t langID, std::string_view rtName,
                       const void* data, uint32_t size);
  // The finished resource section for placement at RVA: the directory, then
  // the data; empty without resources. Each call builds the directory anew.
  // A section that would end beyond 4 GB is a fatal error.
  std::string buildRes(uint32_t RVA);
  // The same in two parts, neither of them copied: the directory built for
  // RVA (empty without resources), then DataBytes. Both stay valid until
  // the manager changes.
  std::string_view buildDirectory(uint32_t RVA);
  std::string_view DataBytes() const { return dataStr; }
  bool hasRes() const { return ttl > 0; }
  // Directory bytes built by the last buildRes; 0 before it.
  uint32_t ResourceSize() const { return resSize; }

  // Adds every resource of a compiled resource file (.res). An unsupported
  // type or name form, a damaged or truncated file, or a resource that does
  // not fit the table is a fatal error.
  void readResourceFile(const std::string& path);

  // The length the directory will have, and the data bytes so far.
  uint32_t DirectorySize() const { return arResSize; }
  uint32_t DataSize() const { return dataSize; }
  // Resources of a type, and one of them by order of arrival (nullptr when absent).
  int32_t Count(int32_t rtType) const;
  const TResource* Resource(int32_t rtType, int32_t index) const;

 private:
  void putDir(uint16_t idEntries);
  void putEntry(uint32_t nameOrId, uint32_t offset);
  void patchU32(uint32_t at, uint32_t value);

  std::array<std::array<std::unique_ptr<TResource>, kMaxPerType>, kMaxTypes> res;
  std::array<int32_t, kMaxTypes> cnt{};
  std::array<uint32_t, kMaxTypes> dirof{};
  int32_t ttl = 0;
  std::string resStr;
  std::string dataStr;
  uint32_t arResSize = 0;
  uint32_t resSize = 0;
  uint32_t dataSize = 0;
};

// The file a resource directive names: the project folder + text when that
// file exists, else text itself; when neither exists, the fatal error
// ResourceFileMissing.
std::string resourceFilePath(std::string_view text);

}  // namespace vorak
