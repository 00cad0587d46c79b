// Statements on registers, segment registers and memory operands, and uses.
#include "compiler/statements/RegisterHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_REGISTER(TOperand* exop) { fatalNotAvailable("register statements"); }

void handle_SEGMENT() { fatalNotAvailable("segment register statements"); }

void handle_BASEEXP() { fatalNotAvailable("memory operand statements"); }

void handle_USES() { fatalNotAvailable("the uses statement"); }

}  // namespace vorak
