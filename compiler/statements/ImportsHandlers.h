// Import blocks, export lists and the entry point.
#pragma once

namespace vorak {

void handle_IMPORTS();
void handle_EXPORTS();
void handle_ENTRY();

}  // namespace vorak
