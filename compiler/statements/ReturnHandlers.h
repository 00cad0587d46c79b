// The return statement.
#pragma once

namespace vorak {

void handle_RETURN();

}  // namespace vorak
