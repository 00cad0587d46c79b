// Loops and the jumps out of them: while, repeat, continue and break.
#pragma once

namespace vorak {

void handle_WHILE();
void handle_REPEAT();
void handle_CONTINUE();
void handle_BREAK();

}  // namespace vorak
