// Types and variables: the records and their manager.
#pragma once

namespace vorak {

class TVarManager {
 public:
  TVarManager() = default;
  ~TVarManager() = default;
  TVarManager(const TVarManager&) = delete;
  TVarManager& operator=(const TVarManager&) = delete;
};

}  // namespace vorak
