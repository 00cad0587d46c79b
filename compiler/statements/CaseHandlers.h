// The case statement and its state and default lines.
#pragma once

namespace vorak {

void handle_CASE();
void handle_STATE();
void handle_DEFAULT();

}  // namespace vorak
