// Type declarations: type aliases ("type") and record types ("block").
#pragma once

namespace vorak {

void handle_TYPE();
void handle_BLOCK();

}  // namespace vorak
