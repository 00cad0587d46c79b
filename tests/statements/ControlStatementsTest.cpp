// Control statements compiled in the process: every error text and code with
// its position, the block stack, the stack depth kept around pushes, frames
// and returns, and the closing return of the main program.
#include <gtest/gtest.h>

#include "compiler/driver/Common.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/CaseManager.h"
#include "encoder/VorAssembler.h"
#include "statements/CompileFixture.h"

namespace vorak::test {
namespace {

class ControlTest : public CompileTest {
 protected:
  // Compiles the body; true when the compile ran to its end.
  bool compiles(const std::string& body) {
    try {
      compileBody(body);
      return true;
    } catch (const EAbort&) {
      return false;
    }
  }
};

using Lines = std::vector<std::string>;

TEST_F(ControlTest, EveryErrorWithItsPosition) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"if eax == 1 { }", "[2,6]: [432765] Unexpected register eax in [p.vor]"},
      {"if (eax == 1 { }", "[2,14]: [70003] Unexpected symbol { in [p.vor]"},
      {"if (eax == 1) inc eax", "[2,17]: [70444] Unexpected ident inc in [p.vor]"},
      {"if (eax == 1) { } else inc eax", "[2,26]: [70444] Unexpected ident inc in [p.vor]"},
      {"if (eax 1) { }", "[2,9]: [1765] Unexpected number 1 in [p.vor]"},
      {"if ((eax == 1) and eax == 2) { }", "[2,22]: [87] Unexpected register eax in [p.vor]"},
      {"if ((eax == 1) and (eax == 2 { }", "[2,30]: [769] Unexpected symbol { in [p.vor]"},
      {"if ((eax == 1) or eax == 2) { }", "[2,21]: [75] Unexpected register eax in [p.vor]"},
      {"if ((eax == 1) or (eax == 2 { }", "[2,29]: [70005] Unexpected symbol { in [p.vor]"},
      {"if (((eax == 1) and eax == 2)) { }", "[2,23]: [987987] Unexpected register eax in [p.vor]"},
      {"if (((eax == 1) and (eax == 2 { }", "[2,31]: [789] Unexpected symbol { in [p.vor]"},
      {"if (((eax == 1) or eax)) { }", "[2,22]: [123] Unexpected register eax in [p.vor]"},
      {"if (((eax == 1) or (eax == 2 { }", "[2,30]: [532] Unexpected symbol { in [p.vor]"},
      {"if ((eax == 1 { }", "[2,15]: [70005] Unexpected symbol { in [p.vor]"},
      {"if (carry_flag == eax) { }", "[2,21]: [454734] Operand 2 must equal on/off immediate value. in [p.vor]"},
      {"if (carry_flag == 2) { }", "[2,19]: [454735] Operand 2 must equal on/off immediate value. in [p.vor]"},
      // The whole number is judged: its low bits alone would read as on.
      {"if (carry_flag == 0x100000001) { }",
       "[2,29]: [454735] Operand 2 must equal on/off immediate value. in [p.vor]"},
      {"if (eax = 5) { }", "[2,11]: [1161] Unsupported operator \"=(3)\" in [p.vor]"},
      {"if (1 = 2) { }", "[2,9]: [48424] Unexpected number 2 in [p.vor]"},
      {"while eax { }", "[2,9]: [432765] Unexpected register eax in [p.vor]"},
      {"while (eax == 1) inc eax", "[2,20]: [70444] Unexpected ident inc in [p.vor]"},
      {"repeat inc eax", "[2,10]: [70444] Unexpected ident inc in [p.vor]"},
      {"repeat { } until eax", "[2,20]: [432765] Unexpected register eax in [p.vor]"},
      {"repeat { } until (eax == 1 ;", "[2,28]: [70003] Unexpected symbol ; in [p.vor]"},
      {"continue;", "[2,8]: [4224] Continue is only valid inside a loop block such as while or repeat in [p.vor]"},
      {"case (eax) { state 1: continue; }", "[2,30]: Unable to continue an if statement in [p.vor]"},
      {"break;",
       "[2,5]: [4225] Break is only valid used inside block statements such as while, repeat or case statements in "
       "[p.vor]"},
      {"while (eax == 1) { break eax; }", "[2,28]: [643] Unexpected register eax in [p.vor]"},
      {"while (eax == 1) { break while (eax == 1); }", "[2,30]: [43557] Unexpected reserved keyword while in [p.vor]"},
      {"while (eax == 1) { break if eax; }", "[2,31]: [643456] Unexpected register eax in [p.vor]"},
      {"while (eax == 1) { break if (eax == 1 ; }", "[2,39]: [6445] Unexpected symbol ; in [p.vor]"},
      {"while (eax == 1) { break if (eax == 1) }", "[2,40]: [5334] Unexpected symbol } in [p.vor]"},
      {"exitif;", "[2,6]: [4225] exitif is only valid used inside of if statements in [p.vor]"},
      {"if (eax == 1) { exitif while (eax == 1); }", "[2,28]: [43567] Unexpected reserved keyword while in [p.vor]"},
      {"if (eax == 1) { exitif foo (eax == 1); }", "[2,26]: [613] Unexpected ident foo in [p.vor]"},
      {"if (eax == 1) { exitif (eax == 1 ; }", "[2,34]: [6145] Unexpected symbol ; in [p.vor]"},
      {"if (eax == 1) { exitif (eax == 1) }", "[2,35]: [5314] Unexpected symbol } in [p.vor]"},
      {"case eax", "[2,8]: [53456] Unexpected register eax in [p.vor]"},
      {"case (eax { }", "[2,11]: [53457] Unexpected symbol { in [p.vor]"},
      {"case (eax) state", "[2,16]: [53458] Unexpected reserved keyword state in [p.vor]"},
      {"case (eax) { inc eax }", "[2,16]: [5362354] Case state expected in [p.vor]"},
      {"case (eax) { 5 }", "[2,14]: [6455421] Unexpected number 5 in [p.vor]"},
      {"state 1:", "[2,5]: [4226] STATE is only valid used inside of CASE statements in [p.vor]"},
      {"default:", "[2,7]: [4226] DEFAULT is only valid used inside of CASE statements in [p.vor]"},
      {"case (eax) { state 1 inc eax }", "[2,24]: [543565364] Unexpected ident inc in [p.vor]"},
      {"case (eax) { state 1: default ; }", "[2,31]: [189849] Unexpected symbol ; in [p.vor]"},
      {"case (eax) { state 1: default: default: }",
       "[2,39]: [4227] CASE statements can only have 1 default state in [p.vor]"},
      // A value the selector cannot be compared with is found when the scan
      // after the body is compiled, and reported at its own state line.
      {"case (dl) {\nstate 1:\ninc eax\nstate 0x141:\ninc ebx\n}", "[5,11]: [124412] Operand size mismatch! in [p.vor]"},
      {"case ([esi]) {\nstate 1:\ninc eax\n}", "[3,7]: [124412] Operand size mismatch! in [p.vor]"},
      {"case (carry_flag) {\nstate 1:\ninc eax\nstate 5:\ninc ebx\n}",
       "[5,7]: [754561] Operand 2 must equal on/off immediate value. in [p.vor]"},
      {"case (carry_flag) {\nstate 1:\ninc eax\nstate 0x100000000:\ninc ebx\n}",
       "[5,17]: [754561] Operand 2 must equal on/off immediate value. in [p.vor]"},
      {"case (carry_flag) {\nstate eax:\ninc ebx\n}",
       "[3,9]: [662353] Operand 2 must equal on/off immediate value. in [p.vor]"},
      {"__try { }", "[2,5]: [564324] Try is only currently implemented for Microsoft Windows x32 platform in [p.vor]"},
      {"#define win32 1;\n__try inc", "[3,9]: [174443] Unexpected ident inc in [p.vor]"},
      {"#define win32 1;\n__try { } inc", "[3,13]: [6745634] Unexpected ident inc in [p.vor]"},
      {"#define win32 1;\n__try { } __except eax", "[3,22]: [6451234] Unexpected register eax in [p.vor]"},
      {"#define win32 1;\n__try { } __except (5", "[3,21]: [654734] Unexpected number 5 in [p.vor]"},
      {"#define win32 1;\n__try { } __except (eax ebx", "[3,27]: [65642] Unexpected register ebx in [p.vor]"},
      {"#define win32 1;\n__try { } __except (eax, 5", "[3,26]: [456433] Unexpected number 5 in [p.vor]"},
      {"#define win32 1;\n__try { } __except (ax, bx)",
       "[3,26]: [43632] Invalid register to hold exception block in [p.vor]"},
      {"#define win32 1;\n__try { } __except (eax, eax)",
       "[3,28]: [43632] Invalid register to hold exception block in [p.vor]"},
      {"#define win32 1;\n__try { } __except (esp, eax)",
       "[3,28]: [43632] Invalid register to hold exception block in [p.vor]"},
      {"#define win32 1;\n__try { } __except (eax, ebx) inc", "[3,33]: [6451236] Unexpected ident inc in [p.vor]"},
      {"#define win32 1;\n#set bits 64\n__try { } __except (rax, rbx) { }",
       "[4,5]: [564324] Try is only currently implemented for Microsoft Windows x32 platform in [p.vor]"},
      // Leaving a __try body by a jump would leave its frame linked.
      {"#define win32 1;\nwhile (1 == 1) { __try { break; } __except (eax, ebx) { } }",
       "[3,30]: [564325] Break cannot leave a __try block in [p.vor]"},
      {"#define win32 1;\nwhile (1 == 1) { __try { continue; } __except (eax, ebx) { } }",
       "[3,33]: [564325] Continue cannot leave a __try block in [p.vor]"},
      {"#define win32 1;\nif (1 == 1) { __try { exitif; } __except (eax, ebx) { } }",
       "[3,28]: [564325] Exitif cannot leave a __try block in [p.vor]"},
      {"#define win32 1;\n__try { return 0; } __except (eax, ebx) { }",
       "[3,14]: [564325] Return cannot leave a __try block in [p.vor]"},
      // A body that the end of the source ends instead of its "}".
      {"if (eax == 1) { inc eax", "[2,24]: [70445] Block not closed by \"}\" in [p.vor]"},
      {"while (eax == 1) { if (eax == 2) { }", "[2,37]: [70445] Block not closed by \"}\" in [p.vor]"},
  };
  for (const Case& c : cases) {
    reset();
    EXPECT_EQ(fatalBody(c.body), c.message) << c.body;
    EXPECT_EQ(blStack->Count(), 0u) << c.body;
  }
}

// Joins per level fit 23 of each kind; levels of joins 0-23; parentheses 63 deep.
TEST_F(ControlTest, ConditionsTooComplexStopWithAMessage) {
  auto joins = [](const char* op, int n) {
    std::string s = "(eax == 0)";
    for (int i = 0; i < n; ++i) s += std::string(" ") + op + " (eax == " + std::to_string(i + 1) + ")";
    return "if (" + s + ") { }\n";
  };
  EXPECT_TRUE(compiles(joins("and", 23)));
  reset();
  EXPECT_TRUE(compiles(joins("or", 23)));
  reset();
  EXPECT_NE(fatalBody(joins("and", 24)).find("[01010] If statement is too complex"), std::string::npos);
  reset();
  EXPECT_NE(fatalBody(joins("or", 24)).find("[01011] If statement is too complex"), std::string::npos);
  // A join at nesting level `level`.
  auto nested = [](int level, const char* join) {
    std::string open(static_cast<size_t>(level), '('), close(static_cast<size_t>(level), ')');
    return "if (" + open + "(eax == 1) " + join + " (ebx == 2)" + close + ") { }\n";
  };
  reset();
  EXPECT_TRUE(compiles(nested(23, "and")));
  reset();
  EXPECT_NE(fatalBody(nested(24, "and")).find("[01010] If statement is too complex"), std::string::npos);
  reset();
  EXPECT_NE(fatalBody(nested(24, "or")).find("[01011] If statement is too complex"), std::string::npos);
  // A run of "(" ends with a message, not the end of the stack.
  reset();
  EXPECT_NE(fatalBody("if (" + std::string(100000, '(')).find("[01012] If statement is too complex"),
            std::string::npos);
}

TEST_F(ControlTest, UnsupportedFlagsWarnAndJumpOnNothing) {
  const std::string out = compileBody("if (adjust_flag == 1) { nop }\ncase (trap_flag) { state 1: nop }\n");
  EXPECT_NE(out.find("[2,20]: Warning: adjust flag comparison invalid, ignoring in [p.vor]"), std::string::npos) << out;
  EXPECT_NE(out.find("Warning: trap flag comparison invalid, ignoring"), std::string::npos) << out;
}

TEST_F(ControlTest, BlockStackSearches) {
  TBlockStack s;
  EXPECT_EQ(s.pop(), nullptr);
  EXPECT_EQ(s.getTopRepType(), nullptr);
  auto push = [&](TBST kind) {
    auto item = std::make_unique<TBlockStackItem>();
    item->type_ = kind;
    TBlockStackItem* p = item.get();
    s.push(std::move(item));
    return p;
  };
  TBlockStackItem* w = push(bstWHILE);
  TBlockStackItem* i = push(bstIF);
  EXPECT_EQ(s.getTopRepType(), w);
  EXPECT_EQ(s.getTopIfType(), i);
  EXPECT_EQ(s.getTopCaseType(), nullptr);
  TBlockStackItem* c = push(bstCASE);
  EXPECT_EQ(s.getTopRepType(), c);
  EXPECT_EQ(s.getTopCaseType(), c);
  EXPECT_EQ(s.getTop(), c);
  s.beginTry(nullptr);
  EXPECT_TRUE(s.tryInside(w));
  EXPECT_TRUE(s.tryInside(c));
  s.endTry();
  EXPECT_FALSE(s.tryInside(w));
  EXPECT_EQ(s.pop().get(), c);
  EXPECT_EQ(s.Count(), 2u);
}

TEST_F(ControlTest, StatesOfOneLineShareTheirLabel) {
  compileBody("case (eax) { state 1, 2, 3: nop\nstate 4: nop }\n");
  std::vector<const TFunction*> states;
  for (const TFunction* f : FuncMan->FuncList())
    if (std::string(vorStrView(f->Name)) == "#case_state") states.push_back(f);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[1]->Address, states[0]->Address + 1);
  // Every label a statement made is placed.
  for (const TFunction* f : FuncMan->FuncList())
    if (f->Type_ == ltLabel) {
      EXPECT_NE(f->Address, adUnallocated) << vorStrView(f->Name);
    }
}

// The stack depth counts what is really pushed and popped.
TEST_F(ControlTest, StackDepthCountsRawPushesAndFrames) {
  struct Case {
    const char* body;
    uint32_t depth;
  } cases[] = {
      {"pushfd\n", 4},
      {"pushfd\npopfd\n", 0},
      {"pushad\n", 32},
      {"pushad\npopad\n", 0},
      {"pushf\n", 2},
      {"#set bits 16\npushf\n", 2},
      {"#set bits 16\npushad\n", 32},
      {"#set bits 16\npushfd\npopf\n", 2},
      {"#set bits 64\npushfq\n", 8},
      {"push eax\nif (eax == 1) { ret }\n", 4},
      {"#define win32 1;\npush eax\n__try { push ebx\npop ebx } __except (eax, ebx) { push ecx }\n", 8},
  };
  for (const Case& c : cases) {
    reset();
    ASSERT_TRUE(compiles(c.body)) << c.body;
    EXPECT_EQ(Compiler->MainFunc()->LocalOffset, c.depth) << c.body;
  }
}

TEST_F(ControlTest, AReturnInsideABranchLeavesTheDepthOfTheCodeAfterIt) {
  compileBody("push eax\npush ebx\n");
  TFunction* fn = Compiler->MainFunc();
  usesList(fn).push_back("ebx");
  usesList(fn).push_back("flags");
  Compiler->execInstruction(fn, "ret");
  EXPECT_EQ(fn->LocalOffset, 8u);
  Compiler->execInstruction(fn, "retn");
  EXPECT_EQ(fn->LocalOffset, 8u);
}

// With an entry function the main program ends with a return of its own.
TEST_F(ControlTest, ClosingReturnOfTheMainProgram) {
  struct Case {
    const char* body;
    const char* lastTwo;  // the last two instructions
  } cases[] = {
      {"mov ebx, 1\nadd ebx, eax\n", "add ebx, eax|ret"},  // 01 C3 is no return
      {"nop\nret\n", "nop|ret"},
      {"nop\nif (eax == 1) { ret }\n", "ret|ret"},        // the else label follows the ret
      {"nop\nret\nafter:\n", "ret|ret"},
      {"nop\nreturn 5;\n", "mov eax, 5|ret"},
  };
  for (const Case& c : cases) {
    reset();
    CompileFlags.entry_funcid = 1;
    ASSERT_TRUE(compiles(c.body)) << c.body;
    const Lines code = disasm();
    ASSERT_GE(code.size(), 2u) << c.body;
    EXPECT_EQ(code[code.size() - 2] + "|" + code.back(), c.lastTwo) << c.body;
  }
}

// A return at the end of a body is not the end of the function.
TEST_F(ControlTest, NoBodyLeavesItsReturnAsTheLastInstruction) {
  for (const char* body : {"case (eax) { state 1: ret }\n", "#define win32 1;\n__try { ret } __except (eax, ebx) { }\n",
                           "#define win32 1;\n__try { } __except (eax, ebx) { ret }\n", "if (eax == 1) { ret }\n",
                           "while (eax == 1) { ret }\n", "repeat { ret }\n"}) {
    reset();
    // A __try body that returns is refused; the others compile.
    if (!compiles(body)) continue;
    const PInstruction last = Compiler->Assembler_().lastinstruction();
    ASSERT_NE(last, nullptr) << body;
    EXPECT_NE(last->group, igRET) << body;
  }
}

}  // namespace
}  // namespace vorak::test
