// Import libraries and the functions referenced from them.
#pragma once

namespace vorak {

class TImportManager {
 public:
  TImportManager() = default;
  ~TImportManager() = default;
  TImportManager(const TImportManager&) = delete;
  TImportManager& operator=(const TImportManager&) = delete;
};

}  // namespace vorak
