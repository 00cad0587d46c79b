// Structured statements: if, while, repeat, loop exits, case selection and the exception frame.
#include "compiler/statements/IfHandlers.h"

#include "compiler/statements/Statements.h"

namespace vorak {

void handle_IF() { fatalNotAvailable("the if statement"); }

void handle_WHILE() { fatalNotAvailable("the while statement"); }

void handle_REPEAT() { fatalNotAvailable("the repeat statement"); }

void handle_CONTINUE() { fatalNotAvailable("the continue statement"); }

void handle_BREAK() { fatalNotAvailable("the break statement"); }

void handle_EXITIF() { fatalNotAvailable("the exitif statement"); }

void handle_TRY() { fatalNotAvailable("the __try statement"); }

void handle_CASE() { fatalNotAvailable("the case statement"); }

void handle_STATE() { fatalNotAvailable("the state label"); }

void handle_DEFAULT() { fatalNotAvailable("the default label"); }

}  // namespace vorak
