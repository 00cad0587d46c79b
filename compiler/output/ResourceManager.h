// Resources read by the resource directive and the directory built from them.
#pragma once

#include <cstdint>
#include <string>

namespace vorak {

class TResourceManager {
 public:
  TResourceManager() = default;
  ~TResourceManager() = default;
  TResourceManager(const TResourceManager&) = delete;
  TResourceManager& operator=(const TResourceManager&) = delete;

  bool hasRes() const { return false; }
  // Bytes of the resource section built so far.
  uint32_t ResourceSize() const { return F_ResourceSize; }
  // The resource section for a section address; empty without resources.
  std::string buildRes(uint32_t /*rva*/) { return {}; }

 private:
  uint32_t F_ResourceSize = 0;
};

}  // namespace vorak
