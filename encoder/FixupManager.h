// Fixup records that encoding and code generation leave for the builder.
#pragma once

namespace vorak {

class TFixupManager {
 public:
  TFixupManager() = default;
  ~TFixupManager() = default;
  TFixupManager(const TFixupManager&) = delete;
  TFixupManager& operator=(const TFixupManager&) = delete;
};

}  // namespace vorak
