// The statements that the statement loop handles itself: label definitions,
// the flag statement, the "~" and "-" statements and plain instruction lines.
#pragma once

#include <string_view>

namespace vorak {

// Stops the compile at a construct whose handler is not built yet (the
// message NotAvailableYet).
[[noreturn]] void fatalNotAvailable(std::string_view construct);

// Makes the current token describe a character read by hand, for a message:
// the symbol, or the end of the source for 0.
void setCharToken(char c);

// A name followed by ":" at the start of a statement (current token: the
// name): a new label, or the placing of one that was referred to before.
void handle_LABEL();
// "flag = flag;" with the same flag on both sides: checked, no code.
void handle_FLAG();
// "~ operand" and "- operand": not and neg of the operand.
void handle_NOT();
void handle_NEG();
// A mnemonic and up to three operands (current token: the mnemonic).
void handle_INSTRUCTION();

}  // namespace vorak
