// Structured statements: if, while, repeat, loop exits, case selection and the exception frame.
#pragma once

namespace vorak {

void handle_IF();
void handle_WHILE();
void handle_REPEAT();
void handle_CONTINUE();
void handle_BREAK();
void handle_EXITIF();
void handle_TRY();
void handle_CASE();
void handle_STATE();
void handle_DEFAULT();

}  // namespace vorak
