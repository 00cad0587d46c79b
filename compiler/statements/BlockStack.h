// Open if, while, repeat and case statements with their labels.
#pragma once

namespace vorak {

class TBlockStack {
 public:
  TBlockStack() = default;
  ~TBlockStack() = default;
  TBlockStack(const TBlockStack&) = delete;
  TBlockStack& operator=(const TBlockStack&) = delete;
};

}  // namespace vorak
