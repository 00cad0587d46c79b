// Loading plug-ins, builders and their names, as a user sees them: a private
// copy of the executable with a chosen set of plug-ins beside it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugins/Plugin.h"
#include "support/RunVorak.h"

namespace vorak::test {
namespace {

namespace fs = std::filesystem;

// The lines of the run's output, without the banner.
std::vector<std::string> lines(const std::string& out) {
  std::vector<std::string> v;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    v.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  while (!v.empty() && v.front().rfind("**", 0) == 0) v.erase(v.begin());
  return v;
}

// The lines that start with prefix, in order.
std::vector<std::string> linesStarting(const std::string& out, const std::string& prefix) {
  std::vector<std::string> v;
  for (const std::string& l : lines(out))
    if (l.rfind(prefix, 0) == 0) v.push_back(l);
  return v;
}

RunResult run(const TempDir& dir, const std::string& source, const std::vector<std::string>& plugins,
              std::vector<std::string> extra = {"-nopause"}) {
  writeFile(dir.path() + "/p.vor", source);
  std::vector<std::string> args{dir.path() + "/p.vor"};
  args.insert(args.end(), extra.begin(), extra.end());
  return runVorak(args, dir.path(), RunOptions{plugins});
}

TEST(PluginLoading, BrokenLibrariesAreSkippedAndTheOthersLoadInNameOrder) {
  TempDir dir;
  const RunResult r = run(dir, "program twin;\n",
                          {testPlugin("twin_b"), testPlugin("notalib"), testPlugin("noentry"), testPlugin("twin_a")});
  EXPECT_EQ(linesStarting(r.out, "PlugSys: "),
            (std::vector<std::string>{
                "PlugSys: noentry.so skipped - plugin does not have entry function \"onEntry\"",
                "PlugSys: notalib.so skipped - not a valid plugin",
                "PlugSys: twin-a: RegisterBuilder(\"Twin\") returned 0",
                "PlugSys: twin-a plugin was loaded!",
                "PlugSys: twin-b: RegisterBuilder(\"TWIN\") returned -1",
                "PlugSys: twin-b plugin was loaded!",
                "PlugSys: twin-a exit",
                "PlugSys: twin-b exit",
            }))
      << r.out;
  EXPECT_EQ(r.exitCode, 0) << r.out;
  // The first registration of the name stays in force.
  EXPECT_EQ(readFile(dir.path() + "/p.bin"), "A");
}

// A pipe in plugins/ named like a plug-in, or a link to one: skipped
// unopened (dlopen would wait for a writer for ever), the others load, as
// for a folder or a broken link. A run that outlives the limit fails the
// test instead of hanging it.
enum class Entry { Pipe, LinkToAPipe };

struct EntryCase {
  const char* name;  // the entry's file name
  Entry kind;
};

void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

class NotARegularFile : public ::testing::TestWithParam<EntryCase> {};

TEST_P(NotARegularFile, IsSkippedAndTheOthersLoad) {
  const EntryCase& c = GetParam();
  TempDir dir;
  const std::string exe = installVorak(dir.path(), RunOptions{std::vector<std::string>{testPlugin("twin_a")}});
  const fs::path entry = fs::path(dir.path()) / "plugins" / c.name;
  const fs::path pipe = fs::path(dir.path()) / "fifo";
  switch (c.kind) {
    case Entry::Pipe:
      ASSERT_EQ(mkfifo(entry.c_str(), 0600), 0);
      break;
    case Entry::LinkToAPipe:
      ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
      fs::create_symlink(pipe, entry);
      break;
  }
  writeFile(dir.path() + "/p.vor", "program twin;\n");
  RunOptions options;
  options.timeoutMs = 60000;
  const RunResult r = runInstalled(exe, {dir.path() + "/p.vor", "-nopause"}, dir.path(), options);
  ASSERT_FALSE(r.timedOut) << "the run waited on " << entry;
  // "twin_a.so" sorts after every entry name of the table.
  EXPECT_EQ(linesStarting(r.out, "PlugSys: "),
            (std::vector<std::string>{
                "PlugSys: " + std::string(c.name) + " skipped - not a valid plugin",
                "PlugSys: twin-a: RegisterBuilder(\"Twin\") returned 0",
                "PlugSys: twin-a plugin was loaded!",
                "PlugSys: twin-a exit",
            }))
      << r.out;
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(dir.path() + "/p.bin"), "A");
}

INSTANTIATE_TEST_SUITE_P(Entries, NotARegularFile,
                         ::testing::Values(EntryCase{"pipe.so", Entry::Pipe},
                                           EntryCase{"pipelink.so", Entry::LinkToAPipe}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           return n.substr(0, n.find('.'));
                         });

TEST(PluginLoading, ExitEntriesRunInLoadOrderAfterThePause) {
  TempDir dir;
  const RunResult r = run(dir, "program TWIN;\n", {testPlugin("twin_a"), testPlugin("twin_b")}, {});
  const std::vector<std::string> all = lines(r.out);
  ASSERT_GE(all.size(), 3u) << r.out;
  EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()),
            (std::vector<std::string>{"Press the [enter] key to exit.", "PlugSys: twin-a exit",
                                      "PlugSys: twin-b exit"}))
      << r.out;
}

TEST(PluginLoading, ANameLongerThan255CharactersKeepsTheFirst255) {
  TPlugin plugin(nullptr);
  const std::string given = std::string(254, 'n') + "EX" + std::string(44, 'n');
  plugin.setPluginName(given.c_str());
  EXPECT_EQ(plugin.Name(), std::string(254, 'n') + "E");
  // The line quotes it as every name: cut to 200 bytes.
  TempDir dir;
  const RunResult r = run(dir, "program x;\n", {testPlugin("longname")});
  EXPECT_EQ(linesStarting(r.out, "PlugSys: "),
            std::vector<std::string>{"PlugSys: " + std::string(200, 'n') + "... plugin was loaded!"})
      << r.out;
}

// Sets an environment variable for the runs of one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

// A plug-in's name and what it logs reach the terminal quoted: bytes that
// are not UTF-8 and control characters (an escape sequence that would
// recolour the terminal) as \xNN, the tab as it is.
TEST(PluginLoading, NameAndLogTextArePrintedEscaped) {
  TempDir dir;
  const RunResult r = run(dir, "program x;\n", {testPlugin("rawtext")});
  EXPECT_EQ(linesStarting(r.out, "PlugSys: "),
            (std::vector<std::string>{
                "PlugSys: tab\there, bell\\x07, escape\\x1B[31mred\\x1B[0m, lone \\xE2 byte",
                "PlugSys: raw\\xFF\\xFE\\x1B[31mname plugin was loaded!",
            }))
      << r.out;
  EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
  EXPECT_EQ(r.out.find('\xFF'), std::string::npos);
}

// A message of megabytes is one line of at most 1000 bytes of its text.
TEST(PluginLoading, AHugeLogMessageIsCut) {
  TempDir dir;
  ScopedEnv bytes("RAWTEXT_LOG_BYTES", "5000000");
  const RunResult r = run(dir, "program x;\n", {testPlugin("rawtext")});
  const std::vector<std::string> got = linesStarting(r.out, "PlugSys: a");
  EXPECT_EQ(got, std::vector<std::string>{"PlugSys: " + std::string(1000, 'a') + "..."});
  EXPECT_LT(r.out.size(), 3000u);
}

TEST(PluginLoading, AHugeFatalLogMessageIsCut) {
  TempDir dir;
  ScopedEnv bytes("RAWTEXT_LOG_BYTES", "5000000");
  ScopedEnv fatal("RAWTEXT_FATAL", "1");
  const RunResult r = run(dir, "program x;\n", {testPlugin("rawtext")});
  const std::vector<std::string> got = linesStarting(r.out, "PlugSys: a");
  ASSERT_EQ(got.size(), 1u) << r.out.substr(0, 2000);
  // The whole message is cut to 1000 bytes, with "..." at the cut.
  EXPECT_EQ(got[0], "PlugSys: " + std::string(991, 'a') + "...");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(r.out.size(), 3000u);
}

TEST(PluginLoading, BuilderNamesMatchInAnyCase) {
  for (const char* header : {"program twin;\n", "program TWIN;\n", "program tWiN;\n"}) {
    TempDir dir;
    const RunResult r = run(dir, header, {testPlugin("twin_a")});
    EXPECT_EQ(r.exitCode, 0) << header << r.out;
    EXPECT_EQ(readFile(dir.path() + "/p.bin"), "A") << header;
  }
  // The option overrides the header's type, in any case too.
  TempDir dir;
  const RunResult r = run(dir, "program nothing;\n", {testPlugin("twin_a")}, {"-nopause", "-program", "Twin"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(dir.path() + "/p.bin"), "A");
}

TEST(PluginLoading, UnknownTypeListsTheBuildersInRegistrationOrder) {
  TempDir dir;
  const RunResult r = run(dir, "program nope;\n", {testPlugin("twin_a"), testPlugin("dump")});
  EXPECT_EQ(r.exitCode, 1);
  // dump.so loads first: its two builders come before twin-a's.
  EXPECT_NE(r.out.find("[0002] Unknown application type NOPE, installed: DUMP, BOOM, TWIN in [p.vor]"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(dir.path() + "/p.bin"));
}

TEST(PluginLoading, WithoutPluginsNothingFollowsInstalled) {
  TempDir dir;
  const RunResult r = run(dir, "program FLAT;\n", {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(linesStarting(r.out, "PlugSys: ").empty()) << r.out;
  EXPECT_NE(r.out.find("[0002] Unknown application type FLAT, installed:  in [p.vor]"), std::string::npos) << r.out;
}

TEST(PluginLoading, EntryRunsBeforeAnythingIsBuilt) {
  TempDir dir;
  const RunResult r = run(dir, "program dump;\n", {testPlugin("dump")});
  // While onEntry runs there is no output buffer and no program yet.
  EXPECT_EQ(linesStarting(r.out, "PlugSys: DUMP: onEntry"),
            std::vector<std::string>{
                "PlugSys: DUMP: onEntry File_AddBytes=0 File_Len=0 file_getbuf=nil Func_Count=0 Code_Get=nil"})
      << r.out;
  EXPECT_EQ(linesStarting(r.out, "PlugSys: DUMP: DUMP="), std::vector<std::string>{"PlugSys: DUMP: DUMP=0 BOOM=1"});
  // The start event comes before the statements, with the builder's ID.
  EXPECT_EQ(linesStarting(r.out, "PlugSys: DUMP: start"), std::vector<std::string>{"PlugSys: DUMP: start, builder 0"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  // The builder chose the extension.
  EXPECT_TRUE(fs::exists(dir.path() + "/p.txt"));
  EXPECT_FALSE(fs::exists(dir.path() + "/p.bin"));
}

TEST(PluginLoading, OutputNameKeepsItsOwnExtensionAndGetsTheBuilders) {
  TempDir dir;
  const RunResult r = run(dir, "program TWIN;\n", {testPlugin("twin_a")}, {"-nopause", "-out", dir.path() + "/o.img"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(dir.path() + "/o.img.bin"), "A");
}

}  // namespace
}  // namespace vorak::test
