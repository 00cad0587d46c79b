// Temporary: the scoped string list's interface, until the real one lands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorak {

inline constexpr uint32_t SSL_SCOPE_MAX = 4294967295u;

class TSuperStringList {
 public:
  uint32_t Count() const { return static_cast<uint32_t>(F_List.size()); }
  uint32_t Add(std::string_view s, void* obj, uint32_t scope) {
    F_List.push_back({std::string(s), obj, scope});
    return Count() - 1;
  }
  void* ItemIndexOf(std::string_view s, bool, uint32_t scope) const {
    for (size_t i = F_List.size(); i-- > 0;)
      if (F_List[i].scope <= scope && F_List[i].text == s) return F_List[i].item;
    return nullptr;
  }
  int32_t IndexOf(std::string_view s, bool, uint32_t scope) const {
    for (size_t i = 0; i < F_List.size(); ++i)
      if (F_List[i].scope <= scope && F_List[i].text == s) return static_cast<int32_t>(i);
    return -1;
  }
  void Delete(uint32_t i) { F_List.erase(F_List.begin() + i); }
  void* GetItem(uint32_t i) const { return F_List[i].item; }
  const std::string& GetString(uint32_t i) const { return F_List[i].text; }

 private:
  struct Entry {
    std::string text;
    void* item;
    uint32_t scope;
  };
  std::vector<Entry> F_List;
};

}  // namespace vorak
