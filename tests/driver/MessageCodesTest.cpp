// Message codes: the tables give no code to two different messages, their
// texts fill in as printed, and the production sources hold no message text
// or code of their own: every message is a row of a table (*Messages.def).
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

#include "compiler/driver/Messages.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

// What a row prints around its arguments: the text of a message row, the
// words of its kind for a token row.
std::string printedForm(const unx::TRow& r) {
  switch (r.kind) {
    case unx::Kind::Reserved: return std::string(msg::row(msg::TokenReserved).text);
    case unx::Kind::Redeclared: return std::string(msg::row(msg::TokenRedeclared).text);
    case unx::Kind::Unexpected: break;
  }
  return std::string(msg::row(msg::TokenUnexpected).text);
}

// Code -> the printed forms of the rows that carry it, with their names.
std::map<std::string, std::map<std::string, std::vector<std::string>>> formsByCode() {
  std::map<std::string, std::map<std::string, std::vector<std::string>>> byCode;
  for (int i = 0; i < msg::Count; ++i) {
    const msg::TRow& r = msg::row(static_cast<msg::Id>(i));
    if (!r.code.empty()) byCode[std::string(r.code)][std::string(r.text)].emplace_back(r.name);
  }
  for (int i = 0; i < unx::Count; ++i) {
    const unx::TRow& r = unx::row(static_cast<unx::Id>(i));
    if (!r.code.empty()) byCode[std::string(r.code)][printedForm(r)].emplace_back(r.name);
  }
  return byCode;
}

TEST(MessageTables, NoCodeStandsForTwoMessages) {
  // The codes that the system itself gives to two messages.
  static const std::set<std::string, std::less<>> shared = {
      "0010",   // a #tryinclude file that cannot be opened, and one not found
      "324",    // a variable's field path without a name, and an enum value out of bounds
      "423",    // the uses list, and a procedure assigned to a register
      "4225",   // break and exitif outside their blocks
      "4226",   // state and default outside a case
      "6355",   // too many and too few arguments of an inner call
      "6667",   // a call target and an msx64 register argument the encoder refuses
      "13025",  // a resource entry without its header, and one short of its data
      "65158",  // a variable statement the encoder refuses, and the jump of a conditional value
  };
  const auto byCode = formsByCode();
  ASSERT_GT(byCode.size(), 400u) << "the tables hold the coded messages";
  for (const auto& [code, forms] : byCode) {
    if (forms.size() < 2) continue;
    if (shared.count(code)) continue;
    std::string rows;
    for (const auto& [form, names] : forms)
      for (const std::string& n : names) rows += " " + n + " (\"" + form + "\")";
    ADD_FAILURE() << "code " << code << " stands for" << rows;
  }
  // An entry of the list that no longer shares its code is out of date.
  for (const std::string& code : shared) {
    const auto it = byCode.find(code);
    EXPECT_TRUE(it != byCode.end() && it->second.size() >= 2) << "code " << code << " is no longer shared";
  }
}

TEST(MessageTables, PlaceholdersAreNumberedFromZero) {
  for (int i = 0; i < msg::Count; ++i) {
    const msg::TRow& r = msg::row(static_cast<msg::Id>(i));
    std::set<int> used;
    for (size_t k = 0; k < r.text.size(); ++k) {
      if (r.text[k] != '%') continue;
      ASSERT_LT(k + 1, r.text.size()) << r.name << ": a lone % at the end";
      ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(r.text[k + 1]))) << r.name << ": % without a digit";
      used.insert(r.text[k + 1] - '0');
    }
    if (!used.empty()) {
      EXPECT_EQ(*used.rbegin() + 1, static_cast<int>(used.size())) << r.name << ": " << r.text;
    }
  }
}

TEST(MessageTables, TextsFillInAsPrinted) {
  EXPECT_EQ(msg::text(msg::MacroArgCount, "m", "2", "3"), "[32234] Macro \"m\" expected 2 params, received 3");
  EXPECT_EQ(msg::text(msg::UnknownDirective, "#", "x"), "Unknown directive: #x");
  EXPECT_EQ(msg::text(msg::ImmediateTruncated), "Operand has been truncated to fit into DWord");
  // An argument is copied as it is, placeholders and all.
  EXPECT_EQ(msg::text(msg::PluginMessage, "50%0 %1"), "PlugSys: 50%0 %1");
  // A missing argument leaves its place empty.
  EXPECT_EQ(msg::text(msg::InputMissing), "[001] Input file does not exist ");
}

// ---- the production sources ----

struct Found {
  std::string file;
  size_t line = 0;
  std::string what;
};

// A source file read as tokens: string literals (their bytes, escapes kept as
// written), names and single punctuation characters, without comments.
struct Token {
  enum Kind { Name, String, Punct } kind;
  std::string text;
  size_t line;
};

std::vector<Token> tokens(const std::string& s) {
  std::vector<Token> out;
  size_t line = 1;
  for (size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (s.compare(i, 2, "//") == 0) {
      i = s.find('\n', i);
      if (i == std::string::npos) i = s.size();
    } else if (s.compare(i, 2, "/*") == 0) {
      const size_t end = s.find("*/", i + 2);
      const size_t stop = end == std::string::npos ? s.size() : end + 2;
      for (size_t k = i; k < stop; ++k) line += s[k] == '\n' ? 1 : 0;
      i = stop;
    } else if (c == '"' || c == '\'') {
      std::string text;
      size_t j = i + 1;
      for (; j < s.size() && s[j] != c && s[j] != '\n'; ++j) {
        if (s[j] == '\\' && j + 1 < s.size()) text += s[j++];
        text += s[j];
      }
      if (c == '"') out.push_back({Token::String, text, line});
      i = j + 1;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      size_t j = i;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) ++j;
      out.push_back({Token::Name, s.substr(i, j - i), line});
      i = j;
    } else {
      if (!std::isspace(static_cast<unsigned char>(c))) out.push_back({Token::Punct, std::string(1, c), line});
      ++i;
    }
  }
  return out;
}

// The C++ files of the compiler, the encoder, the plug-in host and the
// platform layer (the tables are .def files: they are not among them).
std::vector<fs::path> productionFiles() {
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

// "[digits]" at the start of a literal: the code of a message.
bool startsWithCode(std::string_view text) {
  size_t n = 1;
  while (n < text.size() && std::isdigit(static_cast<unsigned char>(text[n]))) ++n;
  return text.size() > 2 && text[0] == '[' && n > 1 && n < text.size() && text[n] == ']';
}

// A literal that is a code as the token errors take it: a digit, then digits
// or letters ("2344", the system's "7e5647").
bool isBareCode(std::string_view text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// The literals among the arguments of the call whose "(" is at open.
std::vector<const Token*> callLiterals(const std::vector<Token>& t, size_t open) {
  std::vector<const Token*> out;
  int depth = 0;
  for (size_t k = open; k < t.size(); ++k) {
    if (t[k].kind == Token::Punct && t[k].text == "(") ++depth;
    if (t[k].kind == Token::Punct && t[k].text == ")" && --depth == 0) break;
    if (t[k].kind == Token::String) out.push_back(&t[k]);
  }
  return out;
}

// Everything in the file that writes a message around the tables: a literal
// with a bracketed code, a bare code handed to a token error, a literal as
// the text of a log call.
std::vector<Found> messagesOutsideTables(const fs::path& file, const std::string& source) {
  static const std::set<std::string, std::less<>> tokenErrors = {
      "unexpected", "FatalToken", "FatalUnexpectedToken", "FatalReservedToken", "FatalRedeclared"};
  // The diagnostics and the failures the top level prints (Message is the
  // plain console line: the banner, #echo).
  static const std::set<std::string, std::less<>> logCalls = {
      "FatalError", "Warning", "Error", "fatal", "fatalAt",
      "EInOutError", "EFCreateError", "EException", "logic_error", "length_error", "out_of_range"};
  const std::string name = file.lexically_relative(VORAK_SOURCE_DIR).string();
  const std::vector<Token> t = tokens(source);
  std::vector<Found> found;
  for (size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Token::String && startsWithCode(t[k].text))
      found.push_back({name, t[k].line, "coded literal \"" + t[k].text + "\""});
    const bool call = t[k].kind == Token::Name && k + 1 < t.size() && t[k + 1].text == "(";
    if (!call) continue;
    if (tokenErrors.count(t[k].text)) {
      for (const Token* l : callLiterals(t, k + 1))
        if (isBareCode(l->text)) found.push_back({name, l->line, t[k].text + "(\"" + l->text + "\")"});
    }
    // The text itself as the first argument: "fatal("...")", "Log->Warning("..." + x)".
    if (logCalls.count(t[k].text) && k + 2 < t.size() && t[k + 2].kind == Token::String)
      found.push_back({name, t[k].line, t[k].text + "(\"" + t[k + 2].text + "\"...)"});
  }
  return found;
}

TEST(MessageSources, EveryMessageIsARowOfATable) {
  size_t files = 0, calls = 0;
  for (const fs::path& p : productionFiles()) {
    std::ifstream in(p, std::ios::binary);
    const std::string source((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ++files;
    const std::vector<Token> t = tokens(source);
    calls += static_cast<size_t>(std::count_if(t.begin(), t.end(), [](const Token& x) {
      return x.kind == Token::Name && (x.text == "unexpected" || x.text == "fatal" || x.text == "FatalError");
    }));
    for (const Found& f : messagesOutsideTables(p, source))
      ADD_FAILURE() << f.file << ":" << f.line << ": " << f.what << " outside the message tables";
  }
  ASSERT_GT(files, 100u) << "the scan reads the sources";
  ASSERT_GT(calls, 300u) << "the scan finds the calls that stop the compile";
}

TEST(MessageSources, TheScanFindsWhatItLooksFor) {
  const std::string source =
      "// a comment may quote \"[1] a code\"\n"
      "void f() {\n"
      "  fatal(\"[0012] Label \" + name);\n"
      "  Log->FatalRedeclared(\"7444\");\n"
      "  unexpected(first ? \"46542\" : \"7e5647\");\n"
      "  Log->Warning(\"Operand has been truncated\");\n"
      "  fatal(msg::OffsetInvalid, \"[\" + x);\n"
      "  expect(\"(\", unx::ConditionOpen);\n"
      "}\n";
  std::vector<std::string> seen;
  for (const Found& f : messagesOutsideTables(fs::path(VORAK_SOURCE_DIR) / "x.cpp", source))
    seen.push_back(std::to_string(f.line) + " " + f.what);
  const std::vector<std::string> expected = {"3 fatal(\"[0012] Label \"...)",
                                             "3 coded literal \"[0012] Label \"",
                                             "4 FatalRedeclared(\"7444\")",
                                             "5 unexpected(\"46542\")",
                                             "5 unexpected(\"7e5647\")",
                                             "6 Warning(\"Operand has been truncated\"...)"};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace vorak::test
