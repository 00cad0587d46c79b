// Macro definitions, their expansion and the macro stack.
#pragma once

namespace vorak {

class TMacroManager {
 public:
  TMacroManager() = default;
  ~TMacroManager() = default;
  TMacroManager(const TMacroManager&) = delete;
  TMacroManager& operator=(const TMacroManager&) = delete;
};

}  // namespace vorak
