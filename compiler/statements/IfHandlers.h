// Conditional statements: if with its elseif and else branches, and exitif.
#pragma once

namespace vorak {

void handle_IF();
void handle_EXITIF();

}  // namespace vorak
