// The __try statement: an exception frame around a body, and its __except handler.
#include "compiler/statements/TryHandlers.h"

#include <string_view>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/DefineManager.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/Conditions.h"
#include "compiler/statements/ControlBlocks.h"
#include "compiler/symbols/FuncManager.h"
#include "encoder/VorAssembler.h"

namespace vorak {

namespace {

// A dword at disp from the register base.
TOperand baseMemory(TRegister base, int32_t disp) {
  TOperand m;
  m.setMemory(false, 4, disp, 0, {base}, nullptr, otRegister, nullptr);
  return m;
}

TOperand stackMemory(int32_t disp) { return baseMemory(REG_ESP, disp); }

TOperand regOperand(TRegister r) {
  TOperand op;
  op.setRegister(false, r);
  return op;
}

TOperand immOperand(uint32_t v, uint32_t size) {
  TOperand op;
  op.setImm(false, v, size);
  return op;
}

}  // namespace

// __try { body } __except ( exceptionReg , addressReg ) { handler }
// The frame, from the top: the previous handler chain entry (fs:[0]), the
// handler's address, the eight registers of pushad, two spare words.
void handle_TRY() {
  if (!DefMan->getDefine("win32") || CompileFlags.cpu_bits == 16 || CompileFlags.cpu_bits == 64 || ptrSize != 4)
    fatal(msg::TryPlatform);
  TFunction* fn = curFunc();
  expect("{", unx::TryBodyOpen);
  TFunction* except = newStatementLabel("#tryexcept");
  TFunction* end = newStatementLabel("#tryend");
  const uint32_t depth = fn->LocalOffset;

  TOperand esp = regOperand(REG_ESP);
  TOperand esi = regOperand(REG_ESI);
  TOperand eight = immOperand(8, 1);
  Compiler->execInstruction(fn, "sub", &esp, &eight);
  Compiler->execInstruction(fn, "pushad");
  TOperand handler;
  handler.setLabel(false, fn, except->FuncIndex);
  Compiler->execInstruction(fn, "mov", &esi, &handler);
  Compiler->execInstruction(fn, "push", &esi);
  // ESI goes back to its value from before the frame (pushad saved it).
  TOperand savedEsi = stackMemory(8);
  Compiler->execInstruction(fn, "mov", &esi, &savedEsi);
  appendCode(fn, std::string_view("\x64\xFF\x35\x00\x00\x00\x00", 7));  // push dword fs:[0]
  appendCode(fn, std::string_view("\x64\x89\x25\x00\x00\x00\x00", 7));  // mov fs:[0], esp
  fn->LocalOffset = depth + 48;

  {
    struct OpenTry {
      explicit OpenTry(const TFunction* f) { blStack->beginTry(f); }
      ~OpenTry() { blStack->endTry(); }
    } open(fn);
    compileBody();
  }

  appendCode(fn, std::string_view("\x64\x8F\x05\x00\x00\x00\x00", 7));  // pop dword fs:[0]
  TOperand fortyFour = immOperand(44, 1);
  Compiler->execInstruction(fn, "add", &esp, &fortyFour);
  fn->LocalOffset = depth;
  emitJumpTo(end);

  if (Compiler->ExpectKeyword({key__Except}) == keyNone) unexpected(unx::TryExcept);
  expect("(", unx::ExceptOpen);
  if (Compiler->ExpectToken({ttRegister}) == ttNone) unexpected(unx::ExceptRegister);
  const TRegister exc = Compiler->CurToken()->F_Register;
  expect(",", unx::ExceptComma);
  if (Compiler->ExpectToken({ttRegister}) == ttNone) unexpected(unx::ExceptAddressRegister);
  const TRegister addr = Compiler->CurToken()->F_Register;
  // Both are loaded, stored and popped as whole stack words.
  const auto word = static_cast<uint8_t>(ptrSize);
  if (regSize(exc) != word || regSize(addr) != word || exc == addr || exc == REG_ESP || addr == REG_ESP)
    fatal(msg::ExceptRegistersInvalid);
  expect(")", unx::ExceptClose);
  expect("{", unx::ExceptBodyOpen);

  // The handler is entered by the system, not by a jump; its code brings
  // the stack back to the depth before __try.
  Compiler->expectDepth(except, depth);
  placeLabelHere(except);
  TOperand excOp = regOperand(exc);
  TOperand addrOp = regOperand(addr);
  TOperand m = stackMemory(4);
  Compiler->execInstruction(fn, "mov", &excOp, &m);  // the exception record
  m = baseMemory(exc, 12);
  Compiler->execInstruction(fn, "mov", &addrOp, &m);  // its address
  m = baseMemory(exc, 0);
  Compiler->execInstruction(fn, "mov", &excOp, &m);  // its code
  m = stackMemory(8);
  Compiler->execInstruction(fn, "mov", &esp, &m);  // the frame
  appendCode(fn, std::string_view("\x64\x8F\x05\x00\x00\x00\x00", 7));  // pop dword fs:[0]
  TOperand four = immOperand(4, 1);
  Compiler->execInstruction(fn, "add", &esp, &four);
  m = stackMemory(36);
  Compiler->execInstruction(fn, "mov", &m, &excOp);
  m = stackMemory(32);
  Compiler->execInstruction(fn, "mov", &m, &addrOp);
  Compiler->execInstruction(fn, "popad");
  Compiler->execInstruction(fn, "pop", &addrOp);
  Compiler->execInstruction(fn, "pop", &excOp);
  // The handler runs with the stack as it was before __try.
  fn->LocalOffset = depth;
  compileBody();
  placeLabelHere(end);
}

}  // namespace vorak
