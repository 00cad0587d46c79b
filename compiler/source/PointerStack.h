// A stack of untyped pointers: the macro manager's record of the source
// buffers that invoked the running macros.
#pragma once

#include <vector>

namespace vorak {

// A plain pointer list whose last element is the top.
class TPointerStack : public std::vector<void*> {
 public:
  void push(void* p) { push_back(p); }
  // The top pointer, or nil when the stack is empty.
  void* top() const { return empty() ? nullptr : back(); }
  // Removes and returns the top pointer (nil when empty). It is always the top
  // entry that goes, even when the same pointer stands lower down too: with
  // mutually recursive macros one buffer can stand twice, and the entry below
  // the top must then still name the invoker of the macro that is running.
  void* pop() {
    if (empty()) return nullptr;
    void* p = back();
    pop_back();
    return p;
  }
};

}  // namespace vorak
