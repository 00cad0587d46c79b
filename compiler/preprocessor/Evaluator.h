// The compile-time value reader: one token, or an arithmetic expression
// worked out while it is read.
#pragma once

namespace vorak {

// Reads one compile-time value from the current source into the compiler's
// current token. A value that starts with a number, a float or "(" is an
// expression: the token becomes its result as a number of the pointer size
// (value rounded to the nearest integer, ties to even; the unrounded value
// kept as the extended value). Anything else is read as the one token it is.
// A malformed operand stops the compile, and so does an arithmetic failure
// (a division by zero, a shift count outside 0-63, a result beyond 64 bits),
// with a message that names the operator.
void handle_MACROVAR_tokens();

}  // namespace vorak
