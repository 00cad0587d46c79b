// libFuzzer target: random bytes as a source text, read token by token with
// peeks and operator scans in between. Every run must end (a fatal error is a
// normal end) without a crash, a hang or a sanitizer report, and the reader's
// counters must describe its cursor exactly after every step.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Errors.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/ConstManager.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/RegisterManager.h"
#include "compiler/symbols/SharedBlocks.h"
#include "compiler/symbols/VarManager.h"

using namespace vorak;

namespace {

// Names for the resolver to find: a record type with members and a method,
// variables, a function pointer, constants, a define and a label.
void declareNames() {
  TVarType* dword = static_cast<TVarType*>(Idents->findIdent("dword", 0)->ptr);
  TVarType* rec = VarMan->addType("rec", 12, int64_t{0}, int64_t{0}, false, false);
  TFunction* method = FuncMan->CreateFunction(ltFunc, nullptr);
  vorArrResize(rec->fields, 3);
  rec->fieldcount = 3;
  const char* names[] = {"a", "next", "m"};
  for (int i = 0; i < 3; ++i) {
    TVarField& f = rec->fields[i];
    f.ft = i == 2 ? vftFunc : vftType;
    vorStrAssign(f.variable.name, names[i]);
    f.variable.address = 4 * i;
    f.variable.multiplier = 1;
    f.variable.type_ = i == 0 ? dword : i == 1 ? rec : nullptr;
    f.func = i == 2 ? method : nullptr;
  }
  VarMan->addVar(vmGlobal, "g", rec, 2, 0);
  TFunction* fp = FuncMan->CreateFunction(ltFunc, nullptr);
  fp->CallData = VarMan->addVar(vmGlobal, "fp$", VarMan->PtrType(), 1, 0);
  Idents->addIdent(itFunc, "fp", fp);
  Idents->addIdent(itLabel, "lbl", FuncMan->CreateFunction(ltLabel, nullptr));
  Consts->addConstItem("s", "text", ctAnsiString);
  Consts->addConst("k", ctValue, 2, int64_t{-3});
  Consts->addConst("f", ctFloat, 10, 1.5L);
  DefMan->addDefine("D", 7);
  RegMan->Registers[REG_ESI].assume = rec;
  TFunction* main = FuncMan->CreateFunction(ltProc, nullptr);
  Compiler->setCurFunc(main);
  Idents->upScope();
  VarMan->addVar(vmLocal, "l", rec, 1, -12);
}

bool countersExact(const TAFile& f) {
  if (f.CurChar > f.FileLen + 1) return false;
  const uint32_t upto = f.CurChar > f.FileLen ? f.FileLen : f.CurChar;
  uint32_t lf = 0, lastLf = 0;
  for (uint32_t i = 1; i <= upto; ++i)
    if (f.Buffer[i - 1] == '\n') {
      ++lf;
      lastLf = i;
    }
  return f.CurLine == 1 + lf && f.CurLineChar == f.CurChar - lastLf &&
         f.TotalLines() == lf + (f.CurChar > f.FileLen ? 1u : 0u);
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Messages are the expected outcome of most inputs; keep them off the terminal.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  InitVorak();
  // The first byte picks the mode and how the text is read.
  const uint8_t mode = data[0];
  CompileFlags.cpu_bits = (mode & 3) == 0 ? 16 : (mode & 3) == 1 ? 64 : 32;
  ptrSize = static_cast<int32_t>(CompileFlags.cpu_bits / 8);
  CompileFlags.stackframe_on = (mode >> 2) & 1;
  declareNames();
  auto* f = new TAFile(false);
  f->loadBuffer("fuzz.vor", std::string(reinterpret_cast<const char*>(data + 1), size - 1), nullptr);
  Compiler->setCurFile(f);
  const bool everyStep = size < 512;
  try {
    // Every token takes at least one byte, so the text ends within size reads.
    bool ended = false;
    for (uint32_t step = 0; step <= size && !ended; ++step) {
      const uint32_t before = f->CurChar;
      const uint8_t pick = data[(step * 7 + 1) % size] ^ static_cast<uint8_t>(step);
      switch (pick % 4) {
        case 0:
          f->peekNextToken(pick & 8);
          check(f->CurChar == before);
          if (pick & 16) f->moveLastPeek();
          break;
        case 1:
          if (f->moveNextIfMathOp(pick & 8) == moNone) check(f->CurChar == before);
          break;
        case 2:
          f->peekNextRealChar(pick & 8);
          check(f->CurChar == before);
          break;
        default:
          break;
      }
      if (everyStep) check(countersExact(*f));
      ended = f->moveNextToken(pick & 32) == ttEOF && f->CurChar > f->FileLen;
      if (everyStep) check(countersExact(*f));
      check(!CompileFlags.peek_mode);
    }
    check(ended);
  } catch (const EAbort&) {
    // A fatal error: the message was printed and the compile would stop here.
  }
  check(Compiler->CurFile() == f);
  DeinitVorak();
  return 0;
}
