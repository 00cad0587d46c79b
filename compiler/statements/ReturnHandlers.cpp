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

namespace vorak {

// return value ;
void handle_RETURN() {
  TFunction* fn = Compiler->CurFunc();
  if (blStack->tryOpenIn(fn)) Log->FatalError(msg::LeavesTry, "Return");
  // The rest of the statement is the right side of an assignment to the
  // accumulator (a value, a sum, a call, a flag, a conditional value).
  // "return;" leaves without a value (the end of a procedure).
  if (Compiler->CurFile()->peekNextRealChar(true) != ';') {
    auto acc = std::make_unique<TOperand>();
    acc->setRegister(false, accumulator(static_cast<uint32_t>(ptrSize)));
    handle_REGISTER(acc.release());
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
