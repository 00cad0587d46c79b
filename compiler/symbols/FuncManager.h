// Functions, procedures and labels: the records and their manager.
#pragma once

namespace vorak {

class TFuncManager {
 public:
  TFuncManager() = default;
  ~TFuncManager() = default;
  TFuncManager(const TFuncManager&) = delete;
  TFuncManager& operator=(const TFuncManager&) = delete;
};

}  // namespace vorak
