// The user guide, the reference notes and the example programs stay true:
// every example and every program of docs/guide.md (and of the reference
// notes that hold ```vor blocks) is compiled by the executable and run in the
// emulator, and the registers must hold what its "// Result:" line states; a
// snippet marked "// Error:" must stop with that message; one marked
// "// Warning:" must compile and print that warning; any other snippet must
// compile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/FlatHarness.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

struct DocProgram {
  std::string where;  // file and line, for messages
  std::string text;
};

std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The ```vor blocks of a Markdown file, each with the line it starts on.
std::vector<DocProgram> fencedBlocks(const fs::path& file) {
  std::vector<DocProgram> blocks;
  const std::vector<std::string> lines = linesOf(readText(file));
  const std::string name = file.filename().string();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (trimmed(lines[i]) != "```vor") continue;
    DocProgram block{name + ":" + std::to_string(i + 2), std::string()};
    for (++i; i < lines.size() && trimmed(lines[i]) != "```"; ++i) block.text += lines[i] + "\n";
    blocks.push_back(block);
  }
  return blocks;
}

std::vector<DocProgram> examplePrograms() {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(fs::path(VORAK_SOURCE_DIR) / "examples"))
    if (e.is_regular_file() && e.path().extension() == ".vor") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<DocProgram> out;
  for (const fs::path& f : files) out.push_back({"examples/" + f.filename().string(), readText(f)});
  return out;
}

// A complete program starts, after blank lines and comments, with "program".
bool isComplete(const std::string& text) {
  for (const std::string& line : linesOf(text)) {
    const std::string_view t = trimmed(line);
    if (t.empty() || t.substr(0, 2) == "//") continue;
    return t.substr(0, 8) == "program ";
  }
  return false;
}

// "55", "-1", "0x10": a decimal or hexadecimal number, maybe negative.
bool readNumber(std::string_view text, bool& negative, uint64_t& magnitude) {
  negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const bool hex = text.substr(0, 2) == "0x";
  if (hex) text.remove_prefix(2);
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, magnitude, hex ? 16 : 10);
  return !text.empty() && ec == std::errc() && stop == end;
}

// The mode the program sets with "#set bits N", 32 when it sets none, 0
// when N is no mode.
int modeOf(const std::string& text) {
  for (const std::string& line : linesOf(text)) {
    const std::string_view t = trimmed(line);
    if (t.substr(0, 10) != "#set bits ") continue;
    bool negative = false;
    uint64_t bits = 0;
    std::string_view n = t.substr(10);
    n = n.substr(0, n.find_first_of(" \t/"));
    if (!readNumber(n, negative, bits) || negative || (bits != 16 && bits != 32 && bits != 64)) return 0;
    return static_cast<int>(bits);
  }
  return 32;
}

struct RegisterCheck {
  std::string name;
  int number = 0;      // x86 register number
  unsigned shift = 0;  // 8 for AH..BH
  unsigned bytes = 0;  // width of the name
  uint64_t value = 0;  // the stated value, cut to the width
};

struct Claims {
  std::vector<RegisterCheck> registers;
  std::vector<std::string> errors;    // message texts the compile must print
  std::vector<std::string> warnings;  // "Warning: " and the text, for a compile that succeeds
  std::vector<std::string> problems;
};

// A general-purpose register of the mode by its name.
bool registerByName(std::string_view name, int mode, RegisterCheck& c) {
  static const char* const names[4][8] = {{"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"},
                                          {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"},
                                          {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"},
                                          {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi"}};
  c.name = std::string(name);
  for (unsigned w = 0; w < 4; ++w)
    for (int n = 0; n < 8; ++n)
      if (name == names[w][n]) {
        c.number = w == 0 ? n & 3 : n;
        c.shift = w == 0 && n >= 4 ? 8 : 0;
        c.bytes = 1u << w;
        return c.bytes < 8 || mode == 64;
      }
  for (int n = 8; n < 16; ++n)
    if (name == "r" + std::to_string(n)) {
      c.number = n;
      c.bytes = 8;
      return mode == 64;
    }
  return false;
}

uint64_t widthMask(unsigned bytes) { return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1; }

// "eax = 55", "ax = -1", "rbx = 0x10": one register and its value.
void parseRegisterClaim(std::string_view item, int mode, Claims& claims) {
  const size_t eq = item.find('=');
  RegisterCheck c;
  if (eq == std::string_view::npos || !registerByName(trimmed(item.substr(0, eq)), mode, c)) {
    claims.problems.push_back("no register of " + std::to_string(mode) + "-bit code in \"" + std::string(item) + "\"");
    return;
  }
  bool negative = false;
  uint64_t magnitude = 0;
  if (!readNumber(trimmed(item.substr(eq + 1)), negative, magnitude)) {
    claims.problems.push_back("no number in \"" + std::string(item) + "\"");
    return;
  }
  const uint64_t mask = widthMask(c.bytes);
  if (negative ? magnitude - 1 > (mask >> 1) : (magnitude & ~mask) != 0)
    claims.problems.push_back("the value does not fit " + c.name + " in \"" + std::string(item) + "\"");
  c.value = (negative ? 0 - magnitude : magnitude) & mask;
  claims.registers.push_back(c);
}

Claims claimsOf(const std::string& text, int mode) {
  Claims claims;
  for (const std::string& line : linesOf(text)) {
    const size_t result = line.find("// Result:");
    const size_t error = line.find("// Error:");
    const size_t warning = line.find("// Warning:");
    if (error != std::string::npos) claims.errors.emplace_back(trimmed(std::string_view(line).substr(error + 9)));
    if (warning != std::string::npos)
      claims.warnings.push_back("Warning: " + std::string(trimmed(std::string_view(line).substr(warning + 11))));
    if (result == std::string::npos) continue;
    std::string_view list = std::string_view(line).substr(result + 10);
    while (!trimmed(list).empty()) {
      const size_t comma = list.find(',');
      parseRegisterClaim(trimmed(list.substr(0, comma)), mode, claims);
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  return claims;
}

// The texts of the messages a compile printed: "[line,column]: TEXT in
// [file]" gives TEXT. The source line quoted after a message is left out, so
// that the marker comment in it cannot answer for the message.
std::vector<std::string> messagesOf(const std::string& out) {
  std::vector<std::string> texts;
  for (const std::string& line : linesOf(out)) {
    const size_t open = line.find("]: ");
    const size_t in = line.rfind(" in [");
    if (line.empty() || line[0] != '[' || open == std::string::npos || in == std::string::npos || in < open) continue;
    texts.push_back(line.substr(open + 3, in - open - 3));
  }
  return texts;
}

// Each stated text must be one of the messages the compile printed.
void expectMessages(const std::vector<std::string>& stated, const std::string& out) {
  const std::vector<std::string> said = messagesOf(out);
  for (const std::string& e : stated)
    EXPECT_TRUE(std::find(said.begin(), said.end(), e) != said.end()) << "no message \"" << e << "\" in:\n" << out;
}

// One program: compiled (a fragment inside a main program that returns),
// then held against its claims.
void checkProgram(const DocProgram& p, bool mustClaim) {
  SCOPED_TRACE(p.where);
  const bool complete = isComplete(p.text);
  const int mode = modeOf(p.text);
  ASSERT_NE(mode, 0) << "\"#set bits\" names no mode";
  const Claims claims = claimsOf(p.text, mode);
  for (const std::string& problem : claims.problems) ADD_FAILURE() << "result line: " << problem;
  if ((complete || mustClaim) && claims.registers.empty() && claims.errors.empty())
    ADD_FAILURE() << "a complete program states no \"// Result:\" and no \"// Error:\"";
  if (!claims.errors.empty() && (!claims.registers.empty() || !claims.warnings.empty()))
    ADD_FAILURE() << "states an error and also a result or a warning";

  FlatOptions options;
  options.instructionLimit = 2000000;
  const FlatRun r = runFlatProject(complete ? p.text : "program FLAT;\n" + p.text + "\nret\n", mode, options);
  if (!claims.errors.empty()) {
    EXPECT_FALSE(r.built) << "compiles, but states an error";
    expectMessages(claims.errors, r.compile.out);
    return;
  }
  ASSERT_TRUE(r.built) << r.compile.out;
  expectMessages(claims.warnings, r.compile.out);
  if (claims.registers.empty()) return;
  ASSERT_TRUE(r.finished) << r.fault << " at " << r.pc;
  for (const RegisterCheck& c : claims.registers)
    EXPECT_EQ((r.reg(c.number) >> c.shift) & widthMask(c.bytes), c.value) << c.name;
}

TEST(GuideAndExamples, EveryProgramComputesItsStatedResult) {
  const std::vector<DocProgram> guide = fencedBlocks(fs::path(VORAK_SOURCE_DIR) / "docs" / "guide.md");
  const std::vector<DocProgram> examples = examplePrograms();
  const auto completeCount = std::count_if(guide.begin(), guide.end(), [](const DocProgram& p) {
    return isComplete(p.text);
  });
  EXPECT_GT(completeCount, 0) << "docs/guide.md holds no complete program";
  EXPECT_FALSE(examples.empty()) << "examples/ holds no program";
  for (const DocProgram& p : guide) checkProgram(p, false);
  for (const DocProgram& p : examples) checkProgram(p, true);
}

// The reference notes show the syntax that the guide leaves to them; their
// examples are held to the same rules as the guide's.
TEST(GuideAndExamples, ReferenceNotesComputeTheirStatedResults) {
  for (const char* note : {"functions.md", "encoder.md"}) {
    const std::vector<DocProgram> blocks = fencedBlocks(fs::path(VORAK_SOURCE_DIR) / "docs" / note);
    EXPECT_FALSE(blocks.empty()) << note << " holds no example";
    for (const DocProgram& p : blocks) checkProgram(p, false);
  }
}

}  // namespace
}  // namespace vorak::test
