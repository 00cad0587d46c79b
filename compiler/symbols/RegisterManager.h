// The types assumed for general registers.
#pragma once

namespace vorak {

class TRegisterManager {
 public:
  TRegisterManager() = default;
  ~TRegisterManager() = default;
  TRegisterManager(const TRegisterManager&) = delete;
  TRegisterManager& operator=(const TRegisterManager&) = delete;
};

}  // namespace vorak
