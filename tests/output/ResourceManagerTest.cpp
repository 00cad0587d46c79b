// Reading .res files and the PE resource section built from them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "compiler/driver/Errors.h"
#include "compiler/driver/Settings.h"
#include "compiler/output/ResourceManager.h"
#include "support/Fresh.h"

namespace vorak {
namespace {

namespace fs = std::filesystem;

// ---- little-endian helpers -------------------------------------------------

void put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint16_t u16(const std::string& s, size_t at) {
  EXPECT_LE(at + 2, s.size());
  if (at + 2 > s.size()) return 0;
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}
uint32_t u32(const std::string& s, size_t at) {
  EXPECT_LE(at + 4, s.size());
  if (at + 4 > s.size()) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

// ---- .res files, field by field from the header layout ---------------------

struct ResHeader {
  uint32_t dataSize = 0;
  uint16_t type = 0;
  uint16_t name = 0;
  uint16_t lang = 0;
  uint16_t typeMarker = 0xFFFF;
  uint16_t nameMarker = 0xFFFF;
  uint32_t headerSize = 32;
};

std::string header(const ResHeader& h) {
  std::string s;
  put32(s, h.dataSize);
  put32(s, h.headerSize);
  put16(s, h.typeMarker);
  put16(s, h.type);
  put16(s, h.nameMarker);
  put16(s, h.name);
  put32(s, 0);       // DataVersion
  put16(s, 0x0030);  // MemoryFlags: moveable, pure
  put16(s, h.lang);
  put32(s, 0);  // Version
  put32(s, 0);  // Characteristics
  return s;
}

// What every compiled resource file begins with.
std::string emptyEntry() { return header({}); }

// A complete entry, padded to the next multiple of 4 with 0xCC bytes (not
// zeros, so that a reader that skipped no padding would read a bad header).
std::string entry(uint16_t type, uint16_t name, uint16_t lang, const std::string& data) {
  ResHeader h;
  h.dataSize = static_cast<uint32_t>(data.size());
  h.type = type;
  h.name = name;
  h.lang = lang;
  std::string s = header(h) + data;
  while (s.size() % 4) s += '\xCC';
  return s;
}

std::string bytes(size_t n, char first) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(first + i);
  return s;
}

// ---- an independent walk of a PE resource section --------------------------

struct Found {
  uint32_t type, id, lang, dataRva, size;
  std::string data;
  bool operator==(const Found&) const = default;
};

// Walks the three directory levels the way a loader does and checks the
// fixed fields on the way; data is located through its RVA.
std::vector<Found> walk(const std::string& sec, uint32_t rva) {
  std::vector<Found> out;
  auto dir = [&](uint32_t at, uint32_t& ids) {
    EXPECT_EQ(u32(sec, at), 0u) << "Characteristics at " << at;
    EXPECT_EQ(u32(sec, at + 4), 0u) << "TimeDateStamp at " << at;
    EXPECT_EQ(u16(sec, at + 8), 0u) << "MajorVersion at " << at;
    EXPECT_EQ(u16(sec, at + 10), 0u) << "MinorVersion at " << at;
    EXPECT_EQ(u16(sec, at + 12), 0u) << "NumberOfNamedEntries at " << at;
    ids = u16(sec, at + 14);
  };
  uint32_t types = 0;
  dir(0, types);
  uint32_t lastType = 0;
  for (uint32_t t = 0; t < types; ++t) {
    const uint32_t e = 16 + 8 * t;
    const uint32_t type = u32(sec, e);
    if (t > 0) {
      EXPECT_GT(type, lastType) << "type entries ascend";
    }
    lastType = type;
    const uint32_t typeDir = u32(sec, e + 4);
    EXPECT_TRUE(typeDir & 0x80000000u) << "type entry points to a directory";
    uint32_t names = 0;
    dir(typeDir & 0x7FFFFFFFu, names);
    for (uint32_t n = 0; n < names; ++n) {
      const uint32_t ne = (typeDir & 0x7FFFFFFFu) + 16 + 8 * n;
      const uint32_t id = u32(sec, ne);
      const uint32_t langDir = u32(sec, ne + 4);
      EXPECT_TRUE(langDir & 0x80000000u) << "name entry points to a directory";
      uint32_t langs = 0;
      dir(langDir & 0x7FFFFFFFu, langs);
      EXPECT_EQ(langs, 1u);
      const uint32_t le = (langDir & 0x7FFFFFFFu) + 16;
      const uint32_t lang = u32(sec, le);
      const uint32_t dataEntry = u32(sec, le + 4);
      EXPECT_FALSE(dataEntry & 0x80000000u) << "language entry points to a data entry";
      const uint32_t dataRva = u32(sec, dataEntry);
      const uint32_t size = u32(sec, dataEntry + 4);
      EXPECT_EQ(u32(sec, dataEntry + 8), 0u) << "CodePage";
      EXPECT_EQ(u32(sec, dataEntry + 12), 0u) << "Reserved";
      std::string data;
      if (dataRva >= rva && uint64_t(dataRva - rva) + size <= sec.size())
        data = sec.substr(dataRva - rva, size);
      else
        ADD_FAILURE() << "data at RVA " << dataRva << " lies outside the section";
      out.push_back({type, id, lang, dataRva, size, data});
    }
  }
  return out;
}

// ---- fixture -----------------------------------------------------------------

class ResourceManagerTest : public test::FreshVorak {
 protected:
  void SetUp() override {
    FreshVorak::SetUp();
    dir_ = fs::temp_directory_path() / ("vorak_res_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    FreshVorak::TearDown();
  }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

  // Reads a file into a fresh manager expecting a fatal error; returns what was printed.
  std::string failure(TResourceManager& m, const std::string& path) {
    return captureStdout([&] { EXPECT_THROW(m.readResourceFile(path), EAbort); });
  }

  fs::path dir_;
};

// ---- nothing added -------------------------------------------------------------

TEST_F(ResourceManagerTest, WithoutResourcesTheSectionIsEmpty) {
  EXPECT_FALSE(ResMan->hasRes());
  EXPECT_EQ(ResMan->buildRes(0x3000), "");
  EXPECT_EQ(ResMan->ResourceSize(), 0u);
  // A file holding only the leading empty entry adds nothing either.
  ResMan->readResourceFile(write("empty.res", emptyEntry()));
  EXPECT_FALSE(ResMan->hasRes());
  EXPECT_EQ(ResMan->buildRes(0x3000), "");
  // Nor does a zero-length file.
  ResMan->readResourceFile(write("zero.res", ""));
  EXPECT_FALSE(ResMan->hasRes());
}

// ---- the one-resource section, byte field by byte field ------------------------

TEST_F(ResourceManagerTest, OneManifestResourceLaidOutForRva3000) {
  const std::string data = "0123456789";
  ResMan->readResourceFile(write("one.res", emptyEntry() + entry(24, 1, 1033, data)));
  ASSERT_TRUE(ResMan->hasRes());
  EXPECT_EQ(ResMan->ResourceSize(), 0u);  // nothing built yet
  EXPECT_EQ(ResMan->DirectorySize(), 88u);

  const std::string s = ResMan->buildRes(0x3000);
  ASSERT_EQ(s.size(), 98u);
  EXPECT_EQ(ResMan->ResourceSize(), 88u);
  // Root directory.
  EXPECT_EQ(u32(s, 0), 0u);
  EXPECT_EQ(u32(s, 4), 0u);
  EXPECT_EQ(u16(s, 8), 0u);
  EXPECT_EQ(u16(s, 10), 0u);
  EXPECT_EQ(u16(s, 12), 0u);
  EXPECT_EQ(u16(s, 14), 1u);
  // Root entry: type 24, to the type directory.
  EXPECT_EQ(u32(s, 16), 24u);
  EXPECT_EQ(u32(s, 20), 0x80000000u + 24);
  // Type directory.
  EXPECT_EQ(u32(s, 24), 0u);
  EXPECT_EQ(u32(s, 28), 0u);
  EXPECT_EQ(u32(s, 32), 0u);
  EXPECT_EQ(u16(s, 36), 0u);
  EXPECT_EQ(u16(s, 38), 1u);
  // Name entry: id 1, to the language directory.
  EXPECT_EQ(u32(s, 40), 1u);
  EXPECT_EQ(u32(s, 44), 0x80000000u + 48);
  // Language directory.
  EXPECT_EQ(u32(s, 48), 0u);
  EXPECT_EQ(u32(s, 52), 0u);
  EXPECT_EQ(u32(s, 56), 0u);
  EXPECT_EQ(u16(s, 60), 0u);
  EXPECT_EQ(u16(s, 62), 1u);
  // Language entry: 1033, to the data entry (high bit clear).
  EXPECT_EQ(u32(s, 64), 1033u);
  EXPECT_EQ(u32(s, 68), 72u);
  // Data entry.
  EXPECT_EQ(u32(s, 72), 0x3000u + 88);
  EXPECT_EQ(u32(s, 76), 10u);
  EXPECT_EQ(u32(s, 80), 0u);
  EXPECT_EQ(u32(s, 84), 0u);
  // The data.
  EXPECT_EQ(s.substr(88), data);

  const TResource* r = ResMan->Resource(24, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->entOffset, 40u);
  EXPECT_EQ(r->dataAddr, 0u);
  EXPECT_EQ(r->dataSize, 10u);
  EXPECT_EQ(r->rtName, "");
}

// ---- order of types and of resources ------------------------------------------

TEST_F(ResourceManagerTest, TypesAscendInTheRootWhateverTheirArrival) {
  ResMan->readResourceFile(write("t.res", emptyEntry() + entry(16, 1, 1033, "version") + entry(3, 2, 1031, "icon")));
  const std::string s = ResMan->buildRes(0x1000);
  EXPECT_EQ(u16(s, 14), 2u);
  EXPECT_EQ(u32(s, 16), 3u);
  EXPECT_EQ(u32(s, 24), 16u);
  // Type 3's directory follows the root entries, type 16's follows type 3's
  // 16 + 8 + 40 bytes.
  EXPECT_EQ(u32(s, 20), 0x80000000u + 32);
  EXPECT_EQ(u32(s, 28), 0x80000000u + 32 + 64);
  // The data stays in order of arrival: "version" first.
  const std::vector<Found> want = {
      {3, 2, 1031, 0x1000u + 160 + 7, 4, "icon"},
      {16, 1, 1033, 0x1000u + 160, 7, "version"},
  };
  EXPECT_EQ(walk(s, 0x1000), want);
  EXPECT_EQ(s.size(), 160u + 11);
}

TEST_F(ResourceManagerTest, ResourcesOfOneTypeKeepTheirArrival) {
  ResMan->readResourceFile(write("n.res", emptyEntry() + entry(6, 9, 1033, "AAA") + entry(6, 2, 1033, "BB") +
                                              entry(6, 5, 1049, "C")));
  const std::string s = ResMan->buildRes(0x5000);
  // Root 16 + entry 8; type directory at 24; names at 40 (E), three of them;
  // language levels at E + 3*8 = 64, 104, 144.
  EXPECT_EQ(u16(s, 38), 3u);
  const uint32_t E = 40;
  const uint32_t ids[] = {9, 2, 5};
  for (uint32_t v = 0; v < 3; ++v) {
    EXPECT_EQ(u32(s, E + 8 * v), ids[v]);
    EXPECT_EQ(u32(s, E + 8 * v + 4), 0x80000000u + E + 3 * 8 + v * 40) << v;
    EXPECT_EQ(ResMan->Resource(6, static_cast<int32_t>(v))->entOffset, E + 8 * v);
    // The language entry's target is the data entry right behind it.
    const uint32_t lang = E + 24 + v * 40 + 16;
    EXPECT_EQ(u32(s, lang + 4), lang + 8);
  }
  const uint32_t dirLen = 16 + 24 + 3 * 48;
  const std::vector<Found> want = {
      {6, 9, 1033, 0x5000 + dirLen + 0, 3, "AAA"},
      {6, 2, 1033, 0x5000 + dirLen + 3, 2, "BB"},
      {6, 5, 1049, 0x5000 + dirLen + 5, 1, "C"},
  };
  EXPECT_EQ(walk(s, 0x5000), want);
}

// ---- directory length ----------------------------------------------------------

struct SizeCase {
  const char* name;
  std::map<int, int> perType;  // type -> count
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class ResourceSizeTest : public ResourceManagerTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ResourceSizeTest, DirectoryIsSixteenPlusPerTypeAndPerResource) {
  std::string file = emptyEntry();
  uint32_t expected = 16, dataLen = 0, total = 0;
  for (auto [type, count] : GetParam().perType) {
    expected += 24 + 48 * count;
    for (int i = 0; i < count; ++i) {
      const std::string d = bytes(1 + (i % 5), 'a');
      file += entry(static_cast<uint16_t>(type), static_cast<uint16_t>(100 + i), 1033, d);
      dataLen += static_cast<uint32_t>(d.size());
      ++total;
    }
  }
  ResMan->readResourceFile(write("s.res", file));
  EXPECT_EQ(ResMan->DirectorySize(), expected);
  EXPECT_EQ(ResMan->DataSize(), dataLen);
  const std::string s = ResMan->buildRes(0x20000);
  EXPECT_EQ(s.size(), expected + dataLen);
  EXPECT_EQ(ResMan->ResourceSize(), expected);
  const std::vector<Found> found = walk(s, 0x20000);
  EXPECT_EQ(found.size(), total);
  for (const Found& f : found) EXPECT_EQ(f.data, bytes(f.size, 'a'));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ResourceSizeTest,
    ::testing::Values(SizeCase{"one", {{24, 1}}}, SizeCase{"twoTypes", {{3, 2}, {16, 1}}},
                      SizeCase{"fullType", {{0, 51}}}, SizeCase{"edgesOfTheTable", {{0, 1}, {31, 2}, {5, 3}}},
                      SizeCase{"everyType", [] {
                                 std::map<int, int> m;
                                 for (int t = 0; t < 32; ++t) m[t] = 1 + t % 3;
                                 return m;
                               }()}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- reading .res files --------------------------------------------------------

TEST_F(ResourceManagerTest, EntriesStartOnFourByteBoundaries) {
  // Leading empty entry, 22 data bytes, then the next header at 32 + 32 + 22
  // rounded up: 88.
  std::string file = emptyEntry() + entry(10, 1, 1033, bytes(22, 'A'));
  ASSERT_EQ(file.size(), 88u);
  file += entry(10, 2, 1033, "xyz");
  ResMan->readResourceFile(write("a.res", file));
  ASSERT_EQ(ResMan->Count(10), 2);
  EXPECT_EQ(ResMan->Resource(10, 0)->id, 1);
  EXPECT_EQ(ResMan->Resource(10, 1)->id, 2);
  EXPECT_EQ(ResMan->Resource(10, 1)->dataAddr, 22u);  // no gap between data blocks
  EXPECT_EQ(ResMan->Resource(10, 1)->dataSize, 3u);
  EXPECT_EQ(ResMan->buildRes(0).substr(ResMan->DirectorySize()), bytes(22, 'A') + "xyz");
}

TEST_F(ResourceManagerTest, EmptyEntriesAnywhereAreSkipped) {
  ResMan->readResourceFile(
      write("e.res", emptyEntry() + entry(4, 1, 9, "abcd") + emptyEntry() + emptyEntry() + entry(4, 3, 9, "e")));
  ASSERT_EQ(ResMan->Count(4), 2);
  EXPECT_EQ(ResMan->Resource(4, 1)->id, 3);
  EXPECT_EQ(ResMan->Resource(4, 1)->langID, 9);
}

// A tail too short for a header but holding the zero data size of an empty
// entry is that empty entry, whatever length it has.
class ShortEmptyTailTest : public ResourceManagerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ShortEmptyTailTest, IsAnEmptyEntry) {
  ResMan->readResourceFile(write("t.res", emptyEntry() + entry(4, 1, 9, "abcd") + std::string(GetParam(), '\0')));
  ASSERT_EQ(ResMan->Count(4), 1);
  EXPECT_EQ(ResMan->buildRes(0).substr(ResMan->DirectorySize()), "abcd");
}

INSTANTIATE_TEST_SUITE_P(TailLengths, ShortEmptyTailTest, ::testing::Values(4, 5, 16, 31),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

TEST_F(ResourceManagerTest, SeveralFilesAddUp) {
  ResMan->readResourceFile(write("a.res", emptyEntry() + entry(4, 1, 9, "abc")));
  ResMan->readResourceFile(write("b.res", emptyEntry() + entry(4, 2, 9, "defgh") + entry(2, 1, 9, "i")));
  EXPECT_EQ(ResMan->Count(4), 2);
  EXPECT_EQ(ResMan->Count(2), 1);
  EXPECT_EQ(ResMan->Resource(4, 1)->dataAddr, 3u);
  EXPECT_EQ(ResMan->Resource(2, 0)->dataAddr, 8u);
  EXPECT_EQ(ResMan->DirectorySize(), 16u + (24 + 96) + (24 + 48));
}

TEST_F(ResourceManagerTest, NameSpelledZeroInANumericHeaderIsAccepted) {
  ResHeader h;
  h.dataSize = 4;
  h.type = 10;
  h.nameMarker = 0x0030;
  h.name = 0;  // the terminator of the name "0"
  h.lang = 1033;
  ResMan->readResourceFile(write("z.res", emptyEntry() + header(h) + "data"));
  ASSERT_EQ(ResMan->Count(10), 1);
  EXPECT_EQ(ResMan->Resource(10, 0)->id, 0);
  EXPECT_EQ(ResMan->buildRes(0).substr(ResMan->DirectorySize()), "data");
}

// ---- malformed files -----------------------------------------------------------

struct BadFile {
  const char* name;
  std::string content;  // after the leading empty entry
  std::string message;  // %s stands for the quoted path
  int addedBefore;      // resources of type 10 read before the failure
};
void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

class BadResourceFileTest : public ResourceManagerTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadResourceFileTest, StopsWithItsMessage) {
  const BadFile& c = GetParam();
  const std::string path = write("bad.res", emptyEntry() + c.content);
  std::string msg = c.message;
  if (auto at = msg.find("%s"); at != std::string::npos) msg.replace(at, 2, "\"" + path + "\"");
  EXPECT_EQ(failure(*ResMan, path), msg + "\n");
  EXPECT_EQ(ResMan->Count(10), c.addedBefore);
}

ResHeader with(uint32_t size, uint16_t type, uint16_t typeMarker, uint16_t nameMarker, uint32_t headerSize = 32) {
  ResHeader h;
  h.dataSize = size;
  h.type = type;
  h.name = 1;
  h.typeMarker = typeMarker;
  h.nameMarker = nameMarker;
  h.headerSize = headerSize;
  return h;
}

std::string manyOfType10(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += entry(10, static_cast<uint16_t>(i + 1), 1033, "x");
  return s;
}

const char kIdMsg[] = "This type of resource id is not supported yet, please ask a developer for details.";
const char kNameMsg[] = "This type of resource name is not supported yet, please ask a developer for details.";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadResourceFileTest,
    ::testing::Values(
        BadFile{"headerCut", entry(10, 1, 0, "ok") + "\x05" + std::string(19, '\0'),
                "[13025] Resource file %s is truncated: the entry at offset 68 has no complete header", 1},
        BadFile{"oneByteLeft", std::string(1, '\x01'),
                "[13025] Resource file %s is truncated: the entry at offset 32 has no complete header", 0},
        // Too short even for the data size of an empty entry.
        BadFile{"threeZeroBytesLeft", entry(10, 1, 0, "ok") + std::string(3, '\0'),
                "[13025] Resource file %s is truncated: the entry at offset 68 has no complete header", 1},
        BadFile{"dataCut", header(with(100, 10, 0xFFFF, 0xFFFF)) + std::string(10, 'd'),
                "[13110] Resource file %s is truncated: the entry at offset 32 announces 100 data bytes, only 10 follow", 0},
        BadFile{"hugeSize", header(with(0xFFFFFFFFu, 10, 0xFFFF, 0xFFFF)) + "abcd",
                "[13110] Resource file %s is truncated: the entry at offset 32 announces 4294967295 data bytes, only 4 "
                "follow",
                0},
        BadFile{"type32", entry(10, 1, 0, "ok") + entry(32, 1, 0, "no"),
                "[13026] Resource file %s: resource type 32 is not supported, type numbers go from 0 to 31", 1},
        BadFile{"type65535", entry(0xFFFF, 1, 0, "no"),
                "[13026] Resource file %s: resource type 65535 is not supported, type numbers go from 0 to 31", 0},
        BadFile{"resource52", manyOfType10(52),
                "[13027] Resource file %s: too many resources of type 10, at most 51 are supported", 51}),
    [](const auto& info) { return std::string(info.param.name); });

// Entries named by text are raised as errors of the plain class "Exception",
// which the top-level handler reports (nothing is printed on the way).
class UnsupportedEntryTest : public ResourceManagerTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(UnsupportedEntryTest, IsRaisedForTheTopLevelHandler) {
  const BadFile& c = GetParam();
  const std::string path = write("bad.res", emptyEntry() + c.content);
  std::string what, cls;
  const std::string printed = captureStdout([&] {
    try {
      ResMan->readResourceFile(path);
    } catch (const EVorakError& e) {
      cls = e.className();
      what = e.what();
    }
  });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(cls, "Exception");
  EXPECT_EQ(what, c.message);
  EXPECT_EQ(ResMan->Count(10), c.addedBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsupportedEntryTest,
    ::testing::Values(
        BadFile{"namedType", header(with(4, 10, 0x0052, 0xFFFF)) + "abcd", kIdMsg, 0},
        BadFile{"namedName", entry(10, 1, 0, "ok") + header(with(4, 10, 0xFFFF, 0x004E)) + "abcd", kNameMsg, 1},
        BadFile{"longNameFromZero", header(with(4, 10, 0xFFFF, 0x0030, 36)) + std::string("\0\0\0\0abcd", 8), kNameMsg,
                0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResourceManagerTest, FileThatCannotBeReadIsNamed) {
  const std::string missing = (dir_ / "missing.res").string();
  EXPECT_EQ(failure(*ResMan, missing), "[13024] Resource file \"" + missing + "\" cannot be read\n");
  EXPECT_EQ(failure(*ResMan, dir_.string()), "[13024] Resource file \"" + dir_.string() + "\" cannot be read\n");
  EXPECT_FALSE(ResMan->hasRes());
}

// ---- the table's own guards ----------------------------------------------------

TEST_F(ResourceManagerTest, AddResourceRefusesWhatTheTableCannotHold) {
  TResourceManager m;
  const char d[] = "x";
  for (int32_t type : {-1, 32, 1000}) {
    const std::string out = captureStdout([&] { EXPECT_THROW(m.addResource(type, 1, 0, {}, d, 1), EAbort); });
    EXPECT_EQ(out, "[13021] Resource type " + std::to_string(type) + " is not supported, type numbers go from 0 to 31\n");
  }
  for (int i = 0; i < 51; ++i) EXPECT_EQ(m.addResource(31, i, 0, "n", d, 1), static_cast<uint32_t>(i));
  const std::string out = captureStdout([&] { EXPECT_THROW(m.addResource(31, 51, 0, {}, d, 1), EAbort); });
  EXPECT_EQ(out, "[13022] Too many resources of type 31, at most 51 are supported\n");
  EXPECT_EQ(m.Count(31), 51);
  EXPECT_EQ(m.DataSize(), 51u);
  EXPECT_EQ(m.Resource(31, 50)->rtName, "n");
  EXPECT_EQ(m.Resource(31, 51), nullptr);
  EXPECT_EQ(m.Resource(32, 0), nullptr);
}

TEST_F(ResourceManagerTest, AddBytesReturnsDataStartOrDirectoryEnd) {
  TResourceManager m;
  EXPECT_EQ(m.addBytes(rtData, "abc", 3), 0u);
  EXPECT_EQ(m.addBytes(rtData, "de", 2), 3u);
  EXPECT_EQ(m.DataSize(), 5u);
  EXPECT_EQ(m.addBytes(rtDir, "0123456789abcdef", 16), 16u);
  EXPECT_EQ(m.addBytes(rtEntry, "01234567", 8), 24u);
  EXPECT_EQ(m.ResourceSize(), 24u);
  EXPECT_EQ(m.DataSize(), 5u);
}

TEST_F(ResourceManagerTest, DataPastFourGigabytesIsRefusedBeforeCopying) {
  TResourceManager m;
  m.addBytes(rtData, "a", 1);
  // The length is checked before any byte is read from the one-byte source.
  const std::string out = captureStdout([&] { EXPECT_THROW(m.addBytes(rtData, "b", 0xFFFFFFFFu), EAbort); });
  EXPECT_EQ(out, "[13020] Resource section exceeds 4 GB\n");
  EXPECT_EQ(m.DataSize(), 1u);
}

TEST_F(ResourceManagerTest, SectionMustEndWithinFourGigabytes) {
  ResMan->addResource(24, 1, 1033, {}, "0123456789", 10);
  // Ends exactly at 4 GB: every address still fits.
  const uint32_t last = 0xFFFFFFFFu - 98 + 1;
  const std::string s = ResMan->buildRes(last);
  ASSERT_EQ(s.size(), 98u);
  EXPECT_EQ(u32(s, 72), 0xFFFFFFFFu - 9);
  const std::string out =
      captureStdout([&] { EXPECT_THROW(ResMan->buildRes(last + 1), EAbort); });
  EXPECT_EQ(out, "[13023] Resource section does not fit at RVA " + std::to_string(last + 1) + "\n");
}

TEST_F(ResourceManagerTest, BuildingAgainGivesAValidSectionForTheNewRva) {
  ResMan->readResourceFile(write("r.res", emptyEntry() + entry(3, 1, 1033, "ab") + entry(14, 1, 1033, "cd")));
  const std::string first = ResMan->buildRes(0x1000);
  const std::string second = ResMan->buildRes(0x8000);
  EXPECT_EQ(ResMan->ResourceSize(), ResMan->DirectorySize());
  ASSERT_EQ(second.size(), first.size());
  const uint32_t dirLen = 16 + 2 * (24 + 48);
  const std::vector<Found> want = {{3, 1, 1033, 0x8000 + dirLen, 2, "ab"}, {14, 1, 1033, 0x8000 + dirLen + 2, 2, "cd"}};
  EXPECT_EQ(walk(second, 0x8000), want);
  EXPECT_EQ(ResMan->buildRes(0x1000), first);
}

// ---- where the directive finds its file ----------------------------------------

TEST_F(ResourceManagerTest, ResourcePathPrefersTheProjectFolder) {
  fs::create_directories(dir_ / "proj");
  const std::string inProject = write("proj/app.res", emptyEntry());
  write("app.res", emptyEntry());
  Settings->setProjectPath((dir_ / "proj").string() + "/");
  EXPECT_EQ(resourceFilePath("app.res"), inProject);
  // Not in the project folder: the text as written.
  const std::string elsewhere = write("other.res", emptyEntry());
  EXPECT_EQ(resourceFilePath(elsewhere), elsewhere);
  const std::string out = captureStdout([] { EXPECT_THROW(resourceFilePath("nothere.res"), EAbort); });
  EXPECT_EQ(out, "[432] Resource file \"nothere.res\" does not exist\n");
}

// ---- independent tools: llvm-rc writes the .res, llvm-readobj reads the section --

std::string run(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = ::pclose(p);
  return out;
}

// The smallest PE32 image that carries one .rsrc section at rva, with the
// resource data directory pointing at it.
std::string tinyPe(const std::string& sec, uint32_t rva) {
  std::string f = "MZ" + std::string(58, '\0');
  put32(f, 0x40);
  f += std::string("PE\0\0", 4);
  put16(f, 0x14C);  // i386
  put16(f, 1);      // sections
  put32(f, 0);
  put32(f, 0);
  put32(f, 0);
  put16(f, 0xE0);    // optional header size
  put16(f, 0x0102);  // executable, 32-bit
  // Optional header.
  put16(f, 0x10B);
  f += std::string(2, '\0');  // linker version
  for (int i = 0; i < 6; ++i) put32(f, 0);  // code/data sizes, entry, bases
  put32(f, 0x400000);                       // image base
  put32(f, 0x1000);                         // section alignment
  put32(f, 0x200);                          // file alignment
  put16(f, 4);
  put16(f, 0);
  put16(f, 0);
  put16(f, 0);
  put16(f, 4);
  put16(f, 0);
  put32(f, 0);
  const uint32_t secLen = (static_cast<uint32_t>(sec.size()) + 0x1FF) & ~0x1FFu;
  put32(f, rva + ((secLen + 0xFFF) & ~0xFFFu));  // size of image
  put32(f, 0x200);                               // size of headers
  put32(f, 0);                                   // checksum
  put16(f, 2);                                   // GUI subsystem
  put16(f, 0);
  put32(f, 0x100000);
  put32(f, 0x1000);
  put32(f, 0x100000);
  put32(f, 0x1000);
  put32(f, 0);
  put32(f, 16);
  EXPECT_EQ(f.size(), 0x40u + 4 + 20 + 0xE0 - 16 * 8);
  for (int i = 0; i < 16; ++i) {
    put32(f, i == 2 ? rva : 0);
    put32(f, i == 2 ? static_cast<uint32_t>(sec.size()) : 0);
  }
  f += std::string(".rsrc\0\0\0", 8);
  put32(f, static_cast<uint32_t>(sec.size()));
  put32(f, rva);
  put32(f, secLen);
  put32(f, 0x200);
  put32(f, 0);
  put32(f, 0);
  put16(f, 0);
  put16(f, 0);
  put32(f, 0x40000040);  // initialised data, readable
  f.resize(0x200, '\0');
  f += sec;
  f.resize(0x200 + secLen, '\0');
  return f;
}

TEST_F(ResourceManagerTest, ToolsAgreeOnFileAndSection) {
  const std::string rc = write("app.rc",
                               "LANGUAGE 9, 1\n"
                               "7 RCDATA { \"id seven comes 1st\" }\n"
                               "1 RCDATA { \"hello world!!!!!!!!!!!\", 0x1234 }\n"
                               "LANGUAGE 7, 1\n"
                               "3 16 { \"ver\" }\n");
  const std::string res = (dir_ / "app.res").string();
  int status = 0;
  run("llvm-rc /fo '" + res + "' '" + rc + "' 2>&1", &status);
  ASSERT_EQ(status, 0);

  ResMan->readResourceFile(res);
  ASSERT_EQ(ResMan->Count(10), 2);
  ASSERT_EQ(ResMan->Count(16), 1);
  EXPECT_EQ(ResMan->Resource(10, 0)->id, 7);
  EXPECT_EQ(ResMan->Resource(10, 0)->langID, 0x409);
  EXPECT_EQ(ResMan->Resource(10, 1)->id, 1);
  EXPECT_EQ(ResMan->Resource(10, 1)->dataSize, 24u);
  EXPECT_EQ(ResMan->Resource(16, 0)->id, 3);
  EXPECT_EQ(ResMan->Resource(16, 0)->langID, 0x407);

  const uint32_t rva = 0x3000;
  const std::string sec = ResMan->buildRes(rva);
  const std::string exe = write("app.exe", tinyPe(sec, rva));
  const std::string dump = run("llvm-readobj --coff-resources '" + exe + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << dump;

  // The tool's view, in its order: types ascending, names in the section's
  // order; the data as it dumps it, read through each data entry's RVA.
  std::vector<std::string> seen;
  std::string data;
  size_t pos = 0;
  while (pos < dump.size()) {
    size_t end = dump.find('\n', pos);
    if (end == std::string::npos) end = dump.size();
    std::string line = dump.substr(pos, end - pos);
    pos = end + 1;
    line.erase(0, line.find_first_not_of(' '));
    for (const char* key : {"Total Number of Resources:", "Type: ", "Name: ", "Language: ", "DataRVA: ",
                            "DataSize: "})
      if (line.rfind(key, 0) == 0) seen.push_back(line);
    // Hex dump lines: "0010: 21212121 21213412   |!!!!!!4.|"
    const size_t colon = line.find(": "), bar = line.find('|');
    if (colon == 4 && bar != std::string::npos && line.find_first_not_of("0123456789ABCDEF") == 4) {
      std::string digits;
      for (char c : line.substr(colon + 2, bar - colon - 2))
        if (c != ' ') digits += c;
      for (size_t i = 0; i + 1 < digits.size(); i += 2)
        data += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
  }
  const uint32_t dirLen = 16 + (24 + 96) + (24 + 48);
  auto hex = [](uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return std::string(b);
  };
  const std::vector<std::string> want = {
      "Total Number of Resources: 3",
      "Type: RCDATA (ID 10) [",
      "Name: (ID 7) [",
      "Language: (ID 1033) [",
      "DataRVA: " + hex(rva + dirLen),
      "DataSize: 18",
      "Name: (ID 1) [",
      "Language: (ID 1033) [",
      "DataRVA: " + hex(rva + dirLen + 18),
      "DataSize: 24",
      "Type: VERSIONINFO (ID 16) [",
      "Name: (ID 3) [",
      "Language: (ID 1031) [",
      "DataRVA: " + hex(rva + dirLen + 42),
      "DataSize: 3",
  };
  EXPECT_EQ(seen, want) << dump;
  EXPECT_EQ(data, std::string("id seven comes 1st") + "hello world!!!!!!!!!!!\x34\x12" + "ver") << dump;
}

}  // namespace
}  // namespace vorak
