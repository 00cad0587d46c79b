// Placeholder until the name tables land.
#pragma once
namespace vorak {
class TDefineManager {
 public:
  TDefineManager() = default;
  ~TDefineManager() = default;
};
}  // namespace vorak
