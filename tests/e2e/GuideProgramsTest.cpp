// The user guide and the example programs stay true: every example and every
// program of docs/guide.md is compiled by the executable and run in the
// emulator, and the registers must hold what its "// Result:" line states; a
// snippet marked "// Error:" must stop with that message; any other snippet
// must compile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// The mode the program sets with "#set bits N", 32 when it sets none.
int modeOf(const std::string& text) {
  for (const std::string& line : linesOf(text)) {
    const std::string_view t = trimmed(line);
    if (t.substr(0, 10) == "#set bits ") return std::stoi(std::string(t.substr(10)));
  }
  return 32;
}

struct RegisterCheck {
  std::string name;
  int number;       // x86 register number
  unsigned shift;   // 8 for AH..BH
  unsigned bytes;   // width of the name
  uint64_t value;   // the stated value, cut to the width
};

struct Claims {
  std::vector<RegisterCheck> registers;
  std::vector<std::string> errors;  // texts the compile must print
  std::vector<std::string> problems;
};

bool registerByName(std::string_view name, RegisterCheck& c) {
  static const char* const names[4][8] = {{"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"},
                                          {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"},
                                          {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"},
                                          {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi"}};
  static const unsigned widths[4] = {1, 2, 4, 8};
  for (int w = 0; w < 4; ++w)
    for (int n = 0; n < 8; ++n)
      if (name == names[w][n]) {
        c.number = w == 0 ? n & 3 : n;
        c.shift = w == 0 && n >= 4 ? 8 : 0;
        c.bytes = widths[w];
        return true;
      }
  if (name.size() >= 2 && name[0] == 'r' && std::isdigit(static_cast<unsigned char>(name[1]))) {
    const int n = std::stoi(std::string(name.substr(1)));
    if (n >= 8 && n <= 15 && name == "r" + std::to_string(n)) {
      c = {std::string(name), n, 0, 8, 0};
      return true;
    }
  }
  return false;
}

uint64_t widthMask(unsigned bytes) { return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1; }

// "eax = 55", "ax = -1", "rbx = 0x10": one register and its value.
void parseRegisterClaim(std::string_view item, int mode, Claims& claims) {
  const size_t eq = item.find('=');
  const std::string name(trimmed(item.substr(0, eq == std::string_view::npos ? 0 : eq)));
  const std::string value(trimmed(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1)));
  RegisterCheck c{name, 0, 0, 0, 0};
  if (!registerByName(name, c) || (c.bytes == 8 && mode != 64)) {
    claims.problems.push_back("no register of " + std::to_string(mode) + "-bit code in \"" + std::string(item) + "\"");
    return;
  }
  size_t used = 0;
  int64_t v = 0;
  try {
    v = static_cast<int64_t>(std::stoull(value.substr(value[0] == '-' ? 1 : 0), &used, 0));
  } catch (const std::exception&) {
    used = 0;
  }
  if (value.empty() || used != value.size() - (value[0] == '-' ? 1 : 0)) {
    claims.problems.push_back("no number in \"" + std::string(item) + "\"");
    return;
  }
  if (value[0] == '-') v = -v;
  const uint64_t mask = widthMask(c.bytes);
  const bool fits = value[0] == '-' ? (uint64_t(-v) - 1) <= (mask >> 1) : (uint64_t(v) & ~mask) == 0;
  if (!fits) claims.problems.push_back(value + " does not fit " + name);
  c.value = static_cast<uint64_t>(v) & mask;
  claims.registers.push_back(c);
}

Claims claimsOf(const std::string& text, int mode) {
  Claims claims;
  for (const std::string& line : linesOf(text)) {
    const size_t result = line.find("// Result:");
    const size_t error = line.find("// Error:");
    if (error != std::string::npos) claims.errors.emplace_back(trimmed(std::string_view(line).substr(error + 9)));
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

// One program: compiled (a fragment inside a main program that returns),
// then held against its claims.
void checkProgram(const DocProgram& p, bool mustClaim) {
  SCOPED_TRACE(p.where);
  const bool complete = isComplete(p.text);
  const int mode = modeOf(p.text);
  const Claims claims = claimsOf(p.text, mode);
  for (const std::string& problem : claims.problems) ADD_FAILURE() << "result line: " << problem;
  if ((complete || mustClaim) && claims.registers.empty() && claims.errors.empty())
    ADD_FAILURE() << "a complete program states no \"// Result:\" and no \"// Error:\"";
  if (!claims.registers.empty() && !claims.errors.empty()) ADD_FAILURE() << "states a result and an error";

  FlatOptions options;
  options.instructionLimit = 2000000;
  const FlatRun r = runFlatProject(complete ? p.text : "program FLAT;\n" + p.text + "\nret\n", mode, options);
  if (!claims.errors.empty()) {
    EXPECT_FALSE(r.built) << "compiles, but states an error";
    const std::vector<std::string> said = messagesOf(r.compile.out);
    for (const std::string& e : claims.errors)
      EXPECT_TRUE(std::find(said.begin(), said.end(), e) != said.end())
          << "no message \"" << e << "\" in:\n" << r.compile.out;
    return;
  }
  ASSERT_TRUE(r.built) << r.compile.out;
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

}  // namespace
}  // namespace vorak::test
