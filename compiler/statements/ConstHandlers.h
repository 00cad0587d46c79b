// Constant and enumeration declarations.
#pragma once

namespace vorak {

void handle_CONST();
void handle_ENUM();

}  // namespace vorak
