// The return statement.
#include "compiler/statements/ReturnHandlers.h"

#include <memory>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/symbols/FuncManager.h"

namespace vorak {

namespace {

// The accumulator of the pointer size: AL, AX, EAX or RAX.
TRegister accumulator() {
  switch (ptrSize) {
    case 1: return REG_AL;
    case 2: return REG_AX;
    case 8: return REG_RAX;
    default: return REG_EAX;
  }
}

// Loads the value of "return value;" into the accumulator: 0 by xor, any
// other operand by mov.
void loadReturnValue(TOperand& acc) {
  const std::unique_ptr<TOperand> value = Compiler->moveNextOperand(true, true);
  TFunction* fn = Compiler->CurFunc();
  if (value->hint == otImm && value->value == 0)
    Compiler->execInstruction(fn, "xor", &acc, &acc);
  else
    Compiler->execInstruction(fn, "mov", &acc, value.get());
}

}  // namespace

// return value ;
void handle_RETURN() {
  TFunction* fn = Compiler->CurFunc();
  if (blStack->tryOpenIn(fn)) Log->FatalError("[564325] Return cannot leave a __try block");
  TOperand acc;
  acc.setRegister(false, accumulator());
  loadReturnValue(acc);
  if (fn->CallConvention == ccStdcall) {
    TOperand size;
    size.setImm(false, fn->ParamSize, 4);
    Compiler->execInstruction(fn, "ret", &size);
  } else {
    Compiler->execInstruction(fn, "retn");
  }
}

}  // namespace vorak
