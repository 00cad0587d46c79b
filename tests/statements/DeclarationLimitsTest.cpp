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
  std::string source;            // declares x
  std::vector<uint8_t> content;  // empty: refused
  std::string refusal = "[3452143] Initalized data size is too large";
};

const std::string kBinary64Zeros = "0b1" + std::string(64, '0');  // 2^64

// A number is taken when it fits its element's bytes as a signed or as an
// unsigned value, whatever the type's sign (numbers are 64-bit two's
// complement: 0xFFFFFFFFFFFFFF80 is -128); a single number into an array
// fills its first bytes, at most eight. A binary literal beyond 64 bits is
// refused as a hexadecimal one is, a floating number beyond its type's
// range rather than stored as infinity, and a wide string has no bytes for
// data.
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
      {"byte x = 4294967295;", {}},
      {"byte x = 0xFFFFFFFFFFFFFF80;", {0x80}},
      {"word x = 0xFFFFFFFFFFFF8000;", {0x00, 0x80}},
      {"int32 x = 0xFFFFFFFFFFFFFFFF;", {0xFF, 0xFF, 0xFF, 0xFF}},
      // Binary literals: the whole number or a message, a single value too.
      {"byte x = 0b1" + std::string(63, '0') + "1;", {}, "[13003] Number does not fit 64 bits: 0b1"},
      {"dword x = " + kBinary64Zeros + ";", {}, "[13003] Number does not fit 64 bits: 0b1"},
      {"#set imm_roll 1\nbyte x = " + kBinary64Zeros + ";", {}, "[13003] Number does not fit 64 bits: 0b1"},
      {"qword x = 0b" + std::string(64, '0') + "1;", {1, 0, 0, 0, 0, 0, 0, 0}},
      {"qword x = 0b1" + std::string(63, '0') + ";", {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"byte x = 0b11111111;", {0xFF}},
      // Floating numbers up to the largest of their type, none beyond.
      {"real4 x = 340282346638528859811704183484516925440.0;", {0xFF, 0xFF, 0x7F, 0x7F}},
      {"real4 x = 340282366920938463463374607431768211456.0;", {},
       "[13094] 340282366920938463463374607431768211456.0 is beyond the range of x, a 4-byte floating-point variable"},
      {"real4 x = -340282366920938463463374607431768211456.0;", {}, "[13094] -3402823669209384634633746074317682"},
      {"single x[] = [1.5, 340282366920938463463374607431768211456.0];", {}, "[13094] 3402823669209384634633746074317682"},
      {"real8 x = 1" + std::string(308, '0') + ".0;", {0xA0, 0xC8, 0xEB, 0x85, 0xF3, 0xCC, 0xE1, 0x7F}},
      {"real8 x = 1" + std::string(400, '0') + ".0;", {}, "[13094] 1000000000"},
      {"double x[2] = [0.5, 1" + std::string(309, '0') + ".0];", {}, "[13094] 1000000000"},
      // Wide strings: no data, whether single or in a list.
      {"word x[] = \"ab\";", {},
       "[24000] Wide string \"ab\" cannot initialise x: data takes 8-bit strings, or the characters as a list of "
       "numbers"},
      {"word x[4] = \"ab\";", {}, "[24000] Wide string \"ab\" cannot initialise x"},
      {"qword x = \"ab\";", {}, "[24000] Wide string \"ab\" cannot initialise x"},
      {"pointer x[] = [\"ab\"];", {}, "[24000] Wide string \"ab\" cannot initialise x"},
      {"dword x[] = [1, \"ab\"];", {}, "[24000] Wide string \"ab\" cannot initialise x"},
  };
  for (const InitialValue& row : rows) {
    SCOPED_TRACE(row.source);
    reset();
    if (row.content.empty()) {
      const std::string line = fatalBody(row.source);
      EXPECT_NE(line.find(row.refusal), std::string::npos) << line;
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
