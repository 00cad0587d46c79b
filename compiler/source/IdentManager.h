// Placeholder until the name tables land.
#pragma once
namespace vorak {
class TIdentManager {
 public:
  TIdentManager() = default;
  ~TIdentManager() = default;
};
}  // namespace vorak
