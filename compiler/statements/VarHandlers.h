// Variable declarations and statements on variables.
#pragma once

namespace vorak {

void handle_VARTYPE();
void handle_VAR();

}  // namespace vorak
