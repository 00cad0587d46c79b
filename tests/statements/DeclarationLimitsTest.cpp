// The edges of declarations and element indexes: which initial values an
// element holds, which indexes stay inside what they index, and the locals
// room near its limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/statements/FunctionHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"
#include "source/SourceFixture.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class DeclarationLimits : public CompileTest {
 protected:
  static const TVar* global(std::string_view name) {
    for (const TVar* v : VarMan->VarList())
      if (vorStrView(v->name) == name) return v;
    return nullptr;
  }
};

struct InitialValue {
  const char* source;           // declares x
  std::vector<uint8_t> content;  // empty: refused as too large
};

// A number is taken when it fits its element's bytes as a signed or as an
// unsigned value, whatever the type's sign; a single number into an array
// fills its first bytes, at most eight.
TEST_F(DeclarationLimits, InitialValuesFitTheirElementSignedOrUnsigned) {
  const std::vector<InitialValue> rows = {
      {"int32 x = -3;", {0xFD, 0xFF, 0xFF, 0xFF}},
      {"sbyte x = -3;", {0xFD}},
      {"dword x = -1;", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"sbyte x = 200;", {0xC8}},
      {"byte x = 255;", {0xFF}},
      {"word x = -32768;", {0x00, 0x80}},
      {"qword x = -2;", {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"int32 x[3] = [5, -3, 7];", {5, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0}},
      {"word x[2] = -1;", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"#set imm_roll 1\nword x[2] = -1;", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"byte x[10] = -2;", {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
      {"#set imm_roll 1\nbyte x = 300;", {0x2C}},
      {"sbyte x = -129;", {}},
      {"byte x = 256;", {}},
      {"dword x = -2147483649;", {}},
      {"int32 x = 4294967296;", {}},
      {"byte x[2] = [1, 300];", {}},
      {"word x[] = [1, -32769];", {}},
  };
  for (const InitialValue& row : rows) {
    SCOPED_TRACE(row.source);
    reset();
    if (row.content.empty()) {
      EXPECT_NE(fatalBody(row.source).find("[3452143] Initalized data size is too large"), std::string::npos);
      continue;
    }
    const std::string out = compileBody(row.source);
    const TVar* x = global("x");
    ASSERT_NE(x, nullptr) << out;
    EXPECT_EQ(std::vector<uint8_t>(x->content, x->content + vorArrCount(x->content)), row.content);
  }
}

struct Index {
  const char* body;  // after the declarations below
  bool accepted;
};

// An index counts in what the name before it names: the member a field path
// ends at, else the variable; a number picks an element of the name's size,
// which lies inside that. Globals and locals alike.
TEST_F(DeclarationLimits, IndexesStayInsideWhatTheyIndex) {
  const std::string declarations = "block B {\ndword a[4];\nword c;\n}\ndword arr[4];\nbyte b8[8];\n";
  const std::vector<Index> rows = {
      {"mov eax, r.a[3]", true},   {"mov eax, r.a[4]", false},   {"mov eax, r.a[ecx]", true},
      {"mov ax, r.c[1]", false},   {"mov ax, rs.c[ecx]", false}, {"mov eax, rs.a[3]", true},
      {"mov al, [byte]arr[15]", true}, {"mov al, [byte]arr[16]", false},
      {"mov eax, [dword]b8[1]", true}, {"mov eax, [dword]b8[2]", false}, {"mov eax, arr[-1]", false},
  };
  for (const Index& row : rows) {
    for (const bool local : {false, true}) {
      SCOPED_TRACE(std::string(row.body) + (local ? " in a body" : ""));
      const std::string vars = "B r;\nB rs[2];\n";
      const std::string text = declarations + (local ? "procedure p() {\n" + vars + row.body + "\n}\n"
                                                     : vars + row.body + "\n");
      reset();
      if (row.accepted) {
        EXPECT_NO_THROW(compileBody(text));
        const TFunction* f = local ? funcNamed("p") : Compiler->MainFunc();
        ASSERT_NE(f, nullptr);
        EXPECT_NE(f->BufLen, 0u);
      } else {
        EXPECT_NE(fatalBody(text).find("offset invalid"), std::string::npos);
      }
    }
  }
}

class LocalsRoom : public SourceTest {};

// A function pointer declared in a body takes a stack word of the locals
// room, within the same 2 GiB as every other local.
TEST_F(LocalsRoom, FunctionPointerStaysInsideTheLimit) {
  FuncMan->CreateFunction(ltProc, nullptr);  // the main program
  auto body = [](std::string_view name, uint32_t localSize) {
    TFunction* f = FuncMan->CreateFunction(ltProc, nullptr);
    vorStrAssign(f->Name, name);
    f->LocalSize = localSize;
    Compiler->setCurFunc(f);
    return f;
  };
  TFunction* f = body("f", 0x7FFFFFF4u);
  load("procedure* p();");
  ASSERT_EQ(Compiler->CurFile()->moveNextToken(), ttIdent);
  const TFunction* p = handle_FUNCDECL(-1, nullptr);
  ASSERT_NE(p->CallData, nullptr);
  EXPECT_EQ(p->CallData->address, -static_cast<int32_t>(0x7FFFFFF4u + 4) - 4);
  EXPECT_EQ(f->LocalSize, 0x7FFFFFF8u);
  body("g", 0x7FFFFFF8u);
  load("procedure* q();");
  ASSERT_EQ(Compiler->CurFile()->moveNextToken(), ttIdent);
  EXPECT_EQ(fatalLine([] { handle_FUNCDECL(-1, nullptr); }), "[1,12]: [5325] The locals of g exceed 2 GiB in [t.vor]");
}

}  // namespace
}  // namespace vorak::test
