// The return statement.
#include "compiler/statements/ReturnHandlers.h"

#include <memory>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/source/AFile.h"
#include "compiler/statements/BlockStack.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/FuncCallHandlers.h"
#include "compiler/statements/RegisterHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/VarManager.h"

namespace vorak {

namespace {

// The widest accumulator the mode has: 16-bit code reaches EAX through the
// operand-size prefix, and only 64-bit code has RAX.
uint32_t widestAccumulator() { return CompileFlags.cpu_bits == 64 ? 8 : 4; }

// The accumulator of size bytes, rounded up to one that exists.
TRegister accumulatorFor(uint32_t size) {
  const uint32_t widest = widestAccumulator();
  if (size <= 1) return accumulator(1);
  if (size <= 2) return accumulator(2);
  return accumulator(size <= 4 || widest == 4 ? 4 : 8);
}

}  // namespace

TRegister resultRegister(const TFunction* fn) {
  if (!fn || !fn->ReturnType) return REG_NONE;
  return accumulatorFor(fn->ReturnType->size);
}

// return value ;
void handle_RETURN() {
  TFunction* fn = Compiler->CurFunc();
  if (blStack->tryOpenIn(fn)) Log->FatalError(msg::LeavesTry, "Return");
  // The rest of the statement is the right side of an assignment to the
  // accumulator (a value, a sum, a call, a flag, a conditional value).
  // "return;" leaves without a value (the end of a procedure).
  if (Compiler->CurFile()->peekNextRealChar(true) != ';') {
    // The accumulator of the pointer size, or of the result type when that
    // is wider (a 4-byte result of 16-bit code is EAX, which its readers
    // take); it carries the sign of the result type.
    const TVarType* type = fn->ReturnType;
    uint32_t width = static_cast<uint32_t>(ptrSize);
    if (type && type->size > width) width = type->size;
    auto acc = std::make_unique<TOperand>();
    acc->setRegister(type && type->signed_, accumulatorFor(width));
    // Without a result type (a procedure, the main program) the register
    // takes the sign of what it is loaded with, as any register does.
    handle_RETURNVALUE(acc.release(), type ? fn : nullptr);
  }
  if (fn->CallConvention == ccStdcall) {
    TOperand size;
    size.setImm(false, fn->ParamSize, 4);
    Compiler->execInstruction(fn, "ret", &size);
  } else {
    Compiler->execInstruction(fn, "retn");
  }
}

}  // namespace vorak
