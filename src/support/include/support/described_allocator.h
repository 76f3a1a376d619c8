// A standard-library allocator over the describing allocator, for the few
// places where a standard container is the right tool (the configuration's
// table of variables and their texts, the structural check's walk tables):
// their blocks are taken with a description like every other block, so
// they show in the allocator's counters, traces and reports and are
// reached by its failure injection.
//
// The library is built without exceptions, and a standard container has no
// other way to report that it cannot grow: a failed allocation here ends
// the process with a message on the error output. Code on the paths of the
// file operations (make, open, reads, writes, deletes, close) therefore
// uses no standard container; it keeps plain blocks (MemPtr) and reports
// E_NO_MEMORY.
//
//   inline constexpr char kWhat[] = "config value";
//   using Text = std::basic_string<char, std::char_traits<char>, Described<char, kWhat>>;
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/alloc.h"

namespace kel {

// Writes "Not enough memory for <description>" to the error output and
// aborts.
[[noreturn]] void container_out_of_memory(const char *description);

template <class T, const char *Description>
struct Described {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = Described<U, Description>;
  };

  Described() = default;
  template <class U>
  constexpr Described(const Described<U, Description> &) {}

  T *allocate(size_t n) {
    if (n > UINT32_MAX / sizeof(T)) container_out_of_memory(Description);
    void *p = M_alloc(static_cast<uint32_t>(n * sizeof(T)), kAllocUninitialised, "container", 0,
                      Description, nullptr);
    if (p == nullptr) container_out_of_memory(Description);
    return static_cast<T *>(p);
  }
  void deallocate(T *p, size_t) { M_free(p, "container", 0, nullptr); }

  template <class U>
  friend bool operator==(const Described &, const Described<U, Description> &) {
    return true;
  }
};

}  // namespace kel
