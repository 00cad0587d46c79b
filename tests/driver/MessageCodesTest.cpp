// Message codes across the sources: every message the compiler writes starts
// with a bracketed code unless it is one of the few fixed uncoded texts, and
// no code stands for two different messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

struct Literal {
  std::string file;
  size_t line = 0;
  std::string text;  // the literal's bytes, escapes kept as written
};

// The source files of the compiler, the encoder and the plug-in host.
std::vector<fs::path> sourceFiles() {
  std::vector<fs::path> files;
  for (const char* dir : {"compiler", "encoder", "plugins", "platform"}) {
    for (const auto& e : fs::recursive_directory_iterator(fs::path(VORAK_SOURCE_DIR) / dir)) {
      const auto ext = e.path().extension();
      if (e.is_regular_file() && (ext == ".cpp" || ext == ".h")) files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The string literal that opens at s[at] (a double quote), without quotes.
std::string literalAt(std::string_view s, size_t at) {
  std::string out;
  for (size_t i = at + 1; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) out += s[i++];
    out += s[i];
  }
  return out;
}

bool isCommentLine(std::string_view line) {
  const size_t first = line.find_first_not_of(" \t");
  return first != std::string_view::npos && line.compare(first, 2, "//") == 0;
}

template <typename F>
void forEachCodeLine(F&& f) {
  for (const fs::path& p : sourceFiles()) {
    std::ifstream in(p);
    std::string line;
    size_t no = 0;
    while (std::getline(in, line)) {
      ++no;
      if (!isCommentLine(line)) f(p.lexically_relative(VORAK_SOURCE_DIR).string(), no, line);
    }
  }
}

// Every literal that starts with "[digits] ".
std::vector<Literal> codedLiterals() {
  std::vector<Literal> out;
  forEachCodeLine([&](const std::string& file, size_t no, const std::string& line) {
    for (size_t at = line.find("\"["); at != std::string::npos; at = line.find("\"[", at + 1)) {
      const std::string text = literalAt(line, at);
      const size_t close = text.find("] ");
      if (close == std::string::npos || close < 2) continue;
      if (text.find_first_not_of("0123456789", 1) != close) continue;
      out.push_back({file, no, text});
    }
  });
  return out;
}

// The literals that start a message: the first argument of a call to a log
// function, or a branch of a conditional there.
std::vector<Literal> messageLiterals() {
  static const char* const calls[] = {"FatalError(", "Warning(", "Error(", "fatal(", "fatalAt("};
  std::vector<Literal> out;
  forEachCodeLine([&](const std::string& file, size_t no, const std::string& line) {
    for (const char* call : calls) {
      for (size_t at = line.find(call); at != std::string::npos; at = line.find(call, at + 1)) {
        // Only the call itself: "EInOutError(" or "FatalError(" seen from "Error(" are other names.
        if (at > 0) {
          const char before = line[at - 1];
          if (std::isalnum(static_cast<unsigned char>(before)) || before == '_') continue;
        }
        size_t i = at + std::string_view(call).size();
        // Up to the first quote: an argument that is a literal, or a condition before one.
        const size_t quote = line.find('"', i);
        if (quote == std::string::npos) continue;
        const std::string_view head(line.data() + i, quote - i);
        const bool direct = head.find_first_not_of(' ') == std::string_view::npos;
        const bool branch = head.find('?') != std::string_view::npos &&
                            head.find_first_of("(),+\"") == std::string_view::npos;
        if (!direct && !branch) continue;
        out.push_back({file, no, literalAt(line, quote)});
        if (branch) {
          const size_t other = line.find(": \"", quote + 1);
          if (other != std::string::npos) out.push_back({file, no, literalAt(line, other + 2)});
        }
      }
    }
  });
  return out;
}

TEST(MessageCodes, NoCodeStandsForTwoMessages) {
  // A literal that is cut where the message continues ("[0010] " + text) is
  // the start of its message; two texts clash when neither starts the other.
  // The codes that the system itself gives to two messages.
  static const std::set<std::string, std::less<>> shared = {
      "4225",  // break and exitif outside their blocks
      "4226",  // state and default outside a case
      "6355",  // too many and too few arguments of an inner call
  };
  std::map<std::string, std::vector<Literal>> byCode;
  for (const Literal& l : codedLiterals()) {
    const std::string code = l.text.substr(1, l.text.find(']') - 1);
    if (!shared.count(code)) byCode[code].push_back(l);
  }
  ASSERT_GT(byCode.size(), 50u) << "the scan finds the coded messages";
  for (const auto& [code, list] : byCode) {
    for (const Literal& a : list) {
      for (const Literal& b : list) {
        const std::string_view ta = std::string_view(a.text).substr(a.text.find("] ") + 2);
        const std::string_view tb = std::string_view(b.text).substr(b.text.find("] ") + 2);
        const bool related = ta.substr(0, tb.size()) == tb || tb.substr(0, ta.size()) == ta;
        EXPECT_TRUE(related) << "code " << code << ": \"" << a.text << "\" (" << a.file << ":" << a.line
                             << ") and \"" << b.text << "\" (" << b.file << ":" << b.line << ")";
      }
    }
  }
}

TEST(MessageCodes, EveryMessageStartsWithItsCode) {
  // The system's own texts that carry no code.
  static const std::set<std::string, std::less<>> uncoded = {
      "An unknown error occured whilst building the file",
      "Binary constant (0b",
      "Operand has been truncated to fit into DWord",
      "Operand 2 has been truncated to fit into operand 1",
      "FLAGS NOT SET",
      "Assertion failure",
      "Unknown directive: ",
      "Invalid expression",
      "WTF ? ",
      "Unable to continue an if statement",
      "Declaration depreciated, correct syntax: procedure ",
  };
  const std::vector<Literal> literals = messageLiterals();
  ASSERT_GT(literals.size(), 80u) << "the scan finds the messages";
  for (const Literal& l : literals) {
    if (!l.text.empty() && l.text[0] == '[') continue;
    if (l.text.rfind("PlugSys: ", 0) == 0 || uncoded.count(l.text)) continue;
    ADD_FAILURE() << l.file << ":" << l.line << ": message without a code: \"" << l.text << "\"";
  }
}

}  // namespace
}  // namespace vorak::test
