// Resources read by the resource directive and the directory built from them.
#pragma once

namespace vorak {

class TResourceManager {
 public:
  TResourceManager() = default;
  ~TResourceManager() = default;
  TResourceManager(const TResourceManager&) = delete;
  TResourceManager& operator=(const TResourceManager&) = delete;
};

}  // namespace vorak
