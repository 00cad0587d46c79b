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

#include "compiler/driver/Log.h"
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
      "001",    // a project file that does not exist, and one that is not a regular file
      "0010",   // a #tryinclude file that cannot be opened, one not found, one not a regular file
      "324",    // a variable's field path without a name, and an enum value out of bounds
      "423",    // the uses list, and a procedure assigned to a register
      "432",    // a resource file that does not exist, and one that is not a regular file
      "1447",   // an include not found with a -i folder, and one that is not a regular file
      "1448",   // an include not found, and one that is not a regular file
      "4225",   // break and exitif outside their blocks
      "4226",   // state and default outside a case
      "6355",   // too many and too few arguments of an inner call
      "4545743",  // a variable redeclared, and one declared after its use as a label
      "6667",   // a call target and an msx64 register argument the encoder refuses
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
      const size_t at = r.text[k + 1] == '*' ? k + 2 : k + 1;  // "%*n": a whole text
      ASSERT_LT(at, r.text.size()) << r.name << ": a lone %* at the end";
      ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(r.text[at]))) << r.name << ": % without a digit";
      used.insert(r.text[at] - '0');
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

// Every argument a row takes goes through the one quoting path: bytes that
// are not printable UTF-8 escaped, a piece ("%n": a token, a name, a file
// name) cut to 200 bytes, a whole text ("%*n") to 1000. No row prints what it
// is handed as it is.
TEST(MessageTables, EveryArgumentIsQuoted) {
  // The rows whose argument is a whole text: the encoder's texts (a row of
  // "%*0" alone), the builders a plug-in registered, a plug-in's message.
  static const std::set<std::string, std::less<>> wholeTexts = {"UnknownApplicationType", "PluginMessage"};
  const std::string hostile = "\x1B[31m\xE2(\xFF\r\n" + std::string(1500, 'x') + "\x07";
  const auto printable = [](const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if ((c < 0x20 && c != '\t') || c == 0x7F || c >= 0xF5 || c == 0xC0 || c == 0xC1) return false;
      if (c >= 0x80) {
        const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (c < 0xC2 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
          if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n - 1;
      }
    }
    return true;
  };
  size_t rowsWithArguments = 0;
  for (int i = 0; i < msg::Count; ++i) {
    const msg::TRow& r = msg::row(static_cast<msg::Id>(i));
    if (r.text.find('%') == std::string_view::npos) continue;
    ++rowsWithArguments;
    const bool whole = r.text.find("%*") != std::string_view::npos;
    if (whole) {
      EXPECT_TRUE(r.text == "%*0" || wholeTexts.count(r.name)) << r.name << " takes a whole text: " << r.text;
    }
    const std::string out = msg::format(static_cast<msg::Id>(i), {hostile, hostile, hostile, hostile});
    EXPECT_TRUE(printable(out)) << r.name << ": " << out;
    const size_t longest = whole ? kMessageWidth : kExcerptWidth;
    EXPECT_EQ(out.find(std::string(longest + 1, 'x')), std::string::npos) << r.name << " is not cut";
    EXPECT_NE(out.find("\\x1B[31m\\xE2(\\xFF\\x0D\\x0A"), std::string::npos) << r.name << ": " << out;
  }
  EXPECT_GT(rowsWithArguments, 100u);
}

// The rows as printed, their arguments quoted.
TEST(MessageTables, QuotedArgumentsAsPrinted) {
  struct Row {
    msg::Id id;
    std::vector<std::string> args;
    std::string printed;
  };
  const std::string name1500(1500, 'n');
  const std::string cut = std::string(200, 'n') + "...";
  const std::vector<Row> rows = {
      {msg::UnexpectedSymbol, {"\xE2"}, "[9900] Unexpected symbol \"\\xE2\""},
      {msg::UnknownMnemonic, {"ident " + name1500}, "[9000] Unexpected ident " + std::string(194, 'n') + "..."},
      {msg::StatementToken, {"ident " + name1500}, "[12000] Unexpected ident " + std::string(194, 'n') + "..."},
      {msg::TokenUnexpected, {"symbol \x1B"}, "Unexpected symbol \\x1B"},
      {msg::PluginLoaded, {"raw\xFF\xFE\x1B[31m"}, "PlugSys: raw\\xFF\\xFE\\x1B[31m plugin was loaded!"},
      {msg::PluginNotLoadable, {name1500}, "PlugSys: " + cut + " skipped - not a valid plugin"},
      {msg::PluginMessage, {std::string(5000, 'm')}, "PlugSys: " + std::string(1000, 'm') + "..."},
      {msg::PluginMessage, {"tab\tok"}, "PlugSys: tab\tok"},
      {msg::IncludeNotFound, {name1500}, "[1448] Included file not found \"" + cut + "\""},
      {msg::IncludeNotRegular, {"fifo.inc"}, "[1448] Included file \"fifo.inc\" exists but is not a regular file"},
      {msg::InputNotRegular, {"/dev/zero"}, "[001] Input file /dev/zero exists but is not a regular file"},
      {msg::ResourceFileNotRegular, {"r\x1B.res"}, "[432] Resource file \"r\\x1B.res\" exists but is not a regular file"},
      {msg::ResourceEntryShortData, {"a.res", "32", "100", "10"},
       "[13110] Resource file \"a.res\" is truncated: the entry at offset 32 announces 100 data bytes, only 10 follow"},
      {msg::OutNameIsOption, {"-x"}, "[13033] The option -out needs a file name, \"-x\" is an option"},
      {msg::CreateFailed, {"a\nb", "No space left on device"}, "Cannot create file \"a\\x0Ab\". No space left on device"},
  };
  for (const Row& r : rows) {
    std::vector<std::string_view> views(r.args.begin(), r.args.end());
    std::string out;
    switch (views.size()) {
      case 1: out = msg::text(r.id, views[0]); break;
      case 2: out = msg::text(r.id, views[0], views[1]); break;
      default: out = msg::text(r.id, views[0], views[1], views[2], views[3]); break;
    }
    EXPECT_EQ(out, r.printed) << msg::row(r.id).name;
  }
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
