// The pool of constants shared by every name with the same type and value.
#pragma once

namespace vorak {

class TConstManager {
 public:
  TConstManager() = default;
  ~TConstManager() = default;
  TConstManager(const TConstManager&) = delete;
  TConstManager& operator=(const TConstManager&) = delete;
};

}  // namespace vorak
