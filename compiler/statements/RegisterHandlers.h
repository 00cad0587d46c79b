// Statements on registers, segment registers and memory operands, and uses.
#pragma once

#include "encoder/Operand.h"

namespace vorak {

// exop nil: the statement starts with the register in the current token;
// otherwise exop is the target of an assignment and is released here.
void handle_REGISTER(TOperand* exop);
void handle_SEGMENT();
void handle_BASEEXP();
void handle_USES();

}  // namespace vorak
