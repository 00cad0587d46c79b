// The define table: each define's value is a stored token that replaces the
// name wherever it is read.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string_view>

#include "compiler/source/SuperStringList.h"

namespace vorak {

class TCurrentToken;

class TDefineManager {
 public:
  TDefineManager() = default;
  ~TDefineManager();
  TDefineManager(const TDefineManager&) = delete;
  TDefineManager& operator=(const TDefineManager&) = delete;

  // Stores a copy of token (nil: an empty token) under name at the current
  // identifier level and declares name as an itDefine identifier.
  void addDefine(std::string_view name, const TCurrentToken* token);
  // The same with a 4-byte number token whose text is the decimal value.
  // (A template so that a literal 0 means the number, not a nil token.)
  template <std::integral T>
  void addDefine(std::string_view name, T value) {
    addIntDefine(name, static_cast<int64_t>(value));
  }
  // Stores an empty token under name at level 0 without declaring an
  // identifier: getDefine finds it, the name itself reads on as before.
  // Marks a file as included.
  void addMark(std::string_view name);
  // The newest define spelled exactly name (case-sensitive) that is visible at
  // the current identifier level, or nil.
  TCurrentToken* getDefine(std::string_view name) const;

  TSuperStringList& List() { return F_List; }
  const TSuperStringList& List() const { return F_List; }

 private:
  void addIntDefine(std::string_view name, int64_t value);
  void store(std::string_view name, std::unique_ptr<TCurrentToken> tk);

  TSuperStringList F_List;  // name as written, identifier level, owned TCurrentToken
};

}  // namespace vorak
