// The __try statement: an exception frame around a body, and its __except handler.
#pragma once

namespace vorak {

void handle_TRY();

}  // namespace vorak
