// The records a builder reads, as a plug-in written in C sees them after a
// real compile: functions with their parameters, defaults, locals and
// conventions, variables with their data and fixups, imports reached.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/RunVorak.h"

namespace vorak::test {
namespace {

std::string compileForRecords(const std::string& source, std::string& out) {
  TempDir dir;
  std::ofstream(dir.path() + "/p.vor", std::ios::binary) << source;
  const RunResult r = runVorak({dir.path() + "/p.vor", "-nopause"}, dir.path(), RunOptions{{{testPlugin("records")}}});
  out = r.out;
  std::ifstream in(dir.path() + "/p.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RecordsPlugin, ReadsFunctionsVariablesAndImportsOfACompile) {
  std::string log;
  const std::string records = compileForRecords(
      "program Records;\n"
      "imports ('kernel32.dll') {\n"
      "  procedure ExitProcess(dword code);\n"
      "  procedure Unused();\n"
      "  procedure Quit = TerminateProcess(dword code);\n"
      "  function cdecl Old(): dword;\n  stdcall;\n"
      "}\n"
      "imports ('user32.dll') {\n"
      "  function cdecl wsprintf(pointer buf; pointer fmt; []): dword;\n"
      "}\n"
      "function Add(dword a; dword b = 2): dword {\n  dword t;\n  word u[3];\n  mov eax, a\n}\n"
      "block T {\n  dword x;\n  procedure m(dword v = 9);\n}\n"
      "procedure T.m(dword v = 3) {\n}\n"
      "dword g = 5;\npointer pg = @g;\npointer names[] = ['a', 'b'];\nbyte s[] = 'abc';\n"
      "exports Add;\n"
      "entry procedure main() {\n"
      "  Add(1);\n  wsprintf(@s, 'x', 1, 2, 3);\n  wsprintf(@s, 'y');\n  TerminateProcess(1);\n  ExitProcess(0);\n"
      "}\n",
      log);
  ASSERT_FALSE(records.empty()) << log;
  EXPECT_EQ(records.find("BAD"), std::string::npos) << records;
  for (const char* line : {
           "entry main\n",
           "fn Add cc=0 params=2/8 min=0 locals=2/10 called=1 exported=1 dll=-1 defaults=1 a:dword b:dword\n",
           "  locals room at 3 size 4\n",
           // Calls with uncounted arguments leave the declaration as it was.
           "fn wsprintf cc=1 params=2/8 min=1 locals=0/0 called=1 exported=0 dll=1 defaults=0 buf:pointer fmt:pointer\n",
           "fn Unused cc=0 params=0/0 min=0 locals=0/0 called=0 exported=0 dll=0 defaults=0\n",
           // The definition's parameters and defaults, "this" first.
           "fn T$m cc=0 params=2/8 min=0 locals=0/0 called=0 exported=0 dll=-1 defaults=1 this:pointer v:dword\n",
           "var a mode=1 address=4 mult=1 bytes=4 init=0\n",
           "var b mode=1 address=8 mult=1 bytes=4 init=0\n",
           "var t mode=1 address=-8 mult=1 bytes=4 init=0\n",
           "var u mode=1 address=-14 mult=3 bytes=6 init=0\n",
           "var g mode=0 address=0 mult=1 bytes=4 init=1\n",
           // Every fixup carries the mode it was filed in.
           "var pg mode=0 address=0 mult=1 bytes=4 init=1 fixup=6+0 bits=32\n",
           "var names mode=0 address=0 mult=2 bytes=8 init=1\n",
           "var s mode=0 address=0 mult=3 bytes=3 init=1\n",
           "varfixup names hint=5 pos=0 size=4 bits=32\n",
           "varfixup names hint=5 pos=4 size=4 bits=32\n",
           // Only what the reachable code calls is imported.
           "lib kernel32.dll TerminateProcess ExitProcess\n",
           // Declared under two names; the second is the one in the library.
           "fn Quit cc=0 params=1/4 min=0 locals=0/0 called=1 exported=0 dll=0 defaults=0 code:dword\n",
           // The convention after the declaration, the old way, is stdcall.
           "fn Old cc=0 params=0/0 min=0 locals=0/0 called=0 exported=0 dll=0 defaults=0\n",
           "lib user32.dll wsprintf\n",
       })
    EXPECT_NE(records.find(line), std::string::npos) << line << "in\n" << records;
  EXPECT_NE(log.find("Warning: Declaration depreciated, correct syntax: procedure stdcall Old(..."), std::string::npos)
      << log;
}

TEST(RecordsPlugin, EntryLabelInTheMainProgram) {
  std::string log;
  const std::string records =
      compileForRecords("program Records;\nprocedure P() {\n}\nnop\nentry:\nP();\nret\n", log);
  ASSERT_FALSE(records.empty()) << log;
  EXPECT_NE(records.find("entry entry\n"), std::string::npos) << records;
  // Reached from the entry label: the main program's code calls it.
  EXPECT_NE(records.find("fn P cc=0 params=0/0 min=0 locals=0/0 called=1"), std::string::npos) << records;
}

}  // namespace
}  // namespace vorak::test
