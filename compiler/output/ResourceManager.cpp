// Collecting resources, laying out the PE resource directory and reading .res files.
#include "compiler/output/ResourceManager.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"

namespace vorak {

namespace {

constexpr uint32_t kDirectoryLen = 16;     // IMAGE_RESOURCE_DIRECTORY
constexpr uint32_t kEntryLen = 8;          // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr uint32_t kDataEntryLen = 16;     // IMAGE_RESOURCE_DATA_ENTRY
constexpr uint32_t kLanguageLevelLen = kDirectoryLen + kEntryLen + kDataEntryLen;  // 40
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint64_t kFourGB = uint64_t(1) << 32;

constexpr uint32_t kResHeaderLen = 32;
constexpr uint32_t kDataSizeLen = 4;  // the first field of a header
constexpr uint16_t kNumericMarker = 0xFFFF;
// A name spelled "0": accepted with the following word as its number, but
// only where the header still has the numeric layout.
constexpr uint16_t kDigitZeroMarker = 0x0030;

void putU16(char* p, uint16_t v) {
  p[0] = static_cast<char>(v & 0xFF);
  p[1] = static_cast<char>(v >> 8);
}

void putU32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint16_t getU16(const std::string& s, uint64_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

uint32_t getU32(const std::string& s, uint64_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

}  // namespace

uint32_t TResourceManager::addBytes(TResType t, const void* bytes, uint32_t n) {
  std::string& target = t == rtData ? dataStr : resStr;
  uint32_t& len = t == rtData ? dataSize : resSize;
  if (uint64_t(len) + n >= kFourGB) Log->FatalError(msg::ResourceSectionTooLarge);
  const uint32_t before = len;
  target.append(static_cast<const char*>(bytes), n);
  len += n;
  return t == rtData ? before : len;
}

uint32_t TResourceManager::addResource(int32_t rtType, int32_t id, int32_t langID,
                                       std::string_view rtName, const void* data, uint32_t size) {
  if (rtType < 0 || rtType >= kMaxTypes)
    Log->FatalError(msg::ResourceType, std::to_string(rtType), std::to_string(kMaxTypes - 1));
  int32_t& count = cnt[rtType];
  if (count >= kMaxPerType)
    Log->FatalError(msg::ResourceTooMany, std::to_string(rtType), std::to_string(kMaxPerType));

  auto r = std::make_unique<TResource>();
  r->rtType = rtType;
  r->id = id;
  r->langID = langID;
  r->rtName = std::string(rtName);
  r->dataAddr = addBytes(rtData, data, size);
  r->dataSize = size;
  const uint32_t at = r->dataAddr;
  res[rtType][count] = std::move(r);

  if (ttl == 0) arResSize = kDirectoryLen;
  if (count > 0) {
    ++count;
    arResSize += kEntryLen + kLanguageLevelLen;
  } else {
    ++ttl;
    count = 1;
    arResSize += kEntryLen + kDirectoryLen + kEntryLen + kLanguageLevelLen;
  }
  return at;
}

void TResourceManager::putDir(uint16_t idEntries) {
  char d[kDirectoryLen] = {};
  putU16(d + 14, idEntries);
  addBytes(rtDir, d, sizeof d);
}

void TResourceManager::putEntry(uint32_t nameOrId, uint32_t offset) {
  char e[kEntryLen];
  putU32(e, nameOrId);
  putU32(e + 4, offset);
  addBytes(rtEntry, e, sizeof e);
}

void TResourceManager::patchU32(uint32_t at, uint32_t value) { putU32(resStr.data() + at, value); }

std::string TResourceManager::buildRes(uint32_t RVA) {
  const std::string_view directory = buildDirectory(RVA);
  if (directory.empty()) return {};
  std::string section;
  section.reserve(directory.size() + dataStr.size());
  return section.append(directory).append(dataStr);
}

std::string_view TResourceManager::buildDirectory(uint32_t RVA) {
  if (ttl < 1) return {};
  // Every data address below is RVA + directory + data offset; refusing a
  // section that would run past 4 GB keeps all of them exact.
  if (uint64_t(RVA) + arResSize + dataSize > kFourGB)
    Log->FatalError(msg::ResourceSectionPlace, std::to_string(RVA));

  // A repeated call starts from nothing, so that it too yields a valid section.
  resStr.clear();
  resSize = 0;
  resStr.reserve(arResSize);

  putDir(static_cast<uint16_t>(ttl));
  for (int32_t t = 0; t < kMaxTypes; ++t) {
    if (cnt[t] == 0) continue;
    dirof[t] = resSize;
    putEntry(static_cast<uint32_t>(t), 0);
  }

  for (int32_t t = 0; t < kMaxTypes; ++t) {
    const int32_t count = cnt[t];
    if (count == 0) continue;
    patchU32(dirof[t] + 4, kSubdirectory + resSize);
    putDir(static_cast<uint16_t>(count));
    const uint32_t firstName = resSize;
    const uint32_t languages = firstName + static_cast<uint32_t>(count) * kEntryLen;
    for (int32_t v = 0; v < count; ++v) {
      TResource& r = *res[t][v];
      r.entOffset = resSize;
      putEntry(static_cast<uint32_t>(r.id), kSubdirectory + languages + static_cast<uint32_t>(v) * kLanguageLevelLen);
    }
    for (int32_t v = 0; v < count; ++v) {
      const TResource& r = *res[t][v];
      putDir(1);
      putEntry(static_cast<uint32_t>(r.langID), resSize + kEntryLen);
      char d[kDataEntryLen] = {};
      putU32(d, RVA + arResSize + r.dataAddr);
      putU32(d + 4, r.dataSize);
      addBytes(rtEntry, d, sizeof d);
    }
  }
  return resStr;
}

int32_t TResourceManager::Count(int32_t rtType) const {
  return rtType >= 0 && rtType < kMaxTypes ? cnt[rtType] : 0;
}

const TResource* TResourceManager::Resource(int32_t rtType, int32_t index) const {
  if (index < 0 || index >= Count(rtType)) return nullptr;
  return res[rtType][index].get();
}

void TResourceManager::readResourceFile(const std::string& path) {
  const std::string& name = path;
  std::string file;
  {
    std::error_code ec;
    const bool regular = std::filesystem::is_regular_file(path, ec);
    const uint64_t len = regular ? std::filesystem::file_size(path, ec) : 0;
    // Only a regular file is opened: a pipe would wait for a writer.
    std::ifstream in;
    if (regular) in.open(path, std::ios::binary);
    bool ok = regular && !ec && in.is_open() && in.good();
    if (ok) {
      file.resize(len);
      in.read(file.data(), static_cast<std::streamsize>(len));
      ok = static_cast<uint64_t>(in.gcount()) == len;
    }
    if (!ok) Log->FatalError(msg::ResourceFileUnreadable, name);
  }
  if (Settings) Settings->noteInputFile(path);

  const uint64_t size = file.size();
  uint64_t offset = 0;
  const auto noHeader = [&] { Log->FatalError(msg::ResourceEntryNoHeader, name, std::to_string(offset)); };
  while (offset < size) {
    // An empty entry is known by its data size alone: a file may end in
    // one whose header is cut short.
    if (size - offset < kDataSizeLen) noHeader();
    const uint32_t dataLen = getU32(file, offset);
    if (dataLen == 0) {
      offset += kResHeaderLen;
      continue;
    }
    if (size - offset < kResHeaderLen) noHeader();
    // These two are raised, not logged: the top-level handler reports them.
    if (getU16(file, offset + 8) != kNumericMarker)
      throw EException(msg::text(msg::ResourceIdKind));
    const uint16_t nameMarker = getU16(file, offset + 12);
    // Data is taken from behind a 32-byte header; a longer header (a name
    // spelled out in full) would hand on the wrong bytes.
    if (nameMarker != kNumericMarker &&
        (nameMarker != kDigitZeroMarker || getU32(file, offset + 4) != kResHeaderLen))
      throw EException(msg::text(msg::ResourceNameKind));
    const uint64_t available = size - offset - kResHeaderLen;
    if (available < dataLen)
      Log->FatalError(msg::ResourceEntryShortData, name, std::to_string(offset), std::to_string(dataLen),
                      std::to_string(available));

    const int32_t type = getU16(file, offset + 10);
    if (type >= kMaxTypes)
      Log->FatalError(msg::ResourceFileType, name, std::to_string(type), std::to_string(kMaxTypes - 1));
    if (cnt[type] >= kMaxPerType)
      Log->FatalError(msg::ResourceFileTooMany, name, std::to_string(type), std::to_string(kMaxPerType));

    addResource(type, getU16(file, offset + 14), getU16(file, offset + 22), {},
                file.data() + offset + kResHeaderLen, dataLen);
    offset += kResHeaderLen + uint64_t(dataLen);
    offset = (offset + 3) & ~uint64_t(3);
  }
}

std::string resourceFilePath(std::string_view text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string inProject = (Settings ? Settings->ProjectPath() : std::string()) + std::string(text);
  // Found by its status alone: nothing is opened here.
  bool present = false;
  for (const std::string& candidate : {inProject, std::string(text)}) {
    const fs::file_status st = fs::status(candidate, ec);
    if (fs::is_regular_file(st)) return candidate;
    present = present || fs::exists(st);
  }
  Log->FatalError(present ? msg::ResourceFileNotRegular : msg::ResourceFileMissing, text);
}

}  // namespace vorak
