// Statements on registers, segment registers and memory operands, and uses.
#pragma once

#include "encoder/Operand.h"

namespace vorak {

struct TFunction;

// exop nil: the statement starts with the register in the current token;
// otherwise exop is the target of an assignment and is released here.
void handle_REGISTER(TOperand* exop);
// The value of "return value;" loaded into acc, the register that holds fn's
// result: a narrower value widens by the sign of fn's result type (acc's
// sign), and a value the register would cut is refused. acc is released here.
void handle_RETURNVALUE(TOperand* acc, const TFunction* fn);
// The rest of "reg as TYPE;" or "reg as 0;", after the keyword as.
void handle_regAs(TRegister reg);
void handle_SEGMENT();
void handle_BASEEXP();
void handle_USES();

// True when writing a can change what b holds: both live in one of the
// sixteen general registers, and they are not the two separate bytes AL and
// AH (or CL/CH, DL/DH, BL/BH) of it.
bool registersOverlap(TRegister a, TRegister b);

}  // namespace vorak
