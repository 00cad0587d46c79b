// The pool of constants shared by every name with the same type and value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "compiler/source/SuperStringList.h"
#include "plugins/PluginRecords.h"

namespace vorak {

using PConst = TConst*;

// Every named constant, enumeration item and anonymous string literal of a
// compile, pooled by type and value. An entry's list index is the constant's
// number for plug-ins.
class TConstManager {
 public:
  TConstManager() = default;
  ~TConstManager();
  TConstManager(const TConstManager&) = delete;
  TConstManager& operator=(const TConstManager&) = delete;

  // Entries keyed by getPrefix + the value's text at scope 0, payload the TConst.
  TSuperStringList& List() { return F_List; }
  const TSuperStringList& List() const { return F_List; }
  uint32_t Count() const;
  // The constant at that index; nullptr past the end.
  TConst* getConst(uint32_t index) const;
  // "_A_", "_W_", "_V_" or "_F_"; the empty text for any other value.
  static std::string_view getPrefix(TConstType ct);

  // A string constant: the pooled record's index. The name is declared as
  // itConst in every case, also when the record is reused and when it is empty.
  uint32_t addConst(std::string_view name, std::string_view value, TConstType ct);
  // The same, returning the record.
  TConst* addConstItem(std::string_view name, std::string_view value, TConstType ct);
  // A number; a pooled record is reused only when its size is the same. Pass
  // the value as int64_t or long double: a plain int literal is ambiguous.
  uint32_t addConst(std::string_view name, TConstType ct, uint8_t size, int64_t value);
  uint32_t addConst(std::string_view name, TConstType ct, uint8_t size, long double value);
  // Drops every constant that nothing used; the rest are renumbered.
  void clearInactive();

 private:
  // Finds or makes the record for a key and declares the name.
  TConst* pool(std::string_view name, TConstType ct, std::string_view text, bool isNumber,
               uint8_t size, uint32_t& index, bool& created);

  TSuperStringList F_List;
  std::string F_Key;  // reused for every lookup
};

}  // namespace vorak
