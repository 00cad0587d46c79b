// Type aliases and record blocks.
#pragma once

namespace vorak {

void handle_TYPE();
void handle_BLOCK();

}  // namespace vorak
