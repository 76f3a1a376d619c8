// Hints to the processor that a cache line is about to be read.
#pragma once

#include <cstddef>

namespace kel {

// Asks the processor to load the cache line holding `p` (read, kept in
// every cache level); `p` need not be mapped, and nothing is read.
//
// Every hint goes through here, because GCC counts __builtin_prefetch as
// free of side effects: a function whose only effect is prefetching is
// found pure before it is inlined, and its calls, whose result nobody
// uses, are then deleted. That is how the walk's record hints had vanished
// from the built engine without a trace (bench/RESULTS.md, the key 0 walk,
// tenth round). The empty volatile assembly statement is an effect the
// compiler must keep, and costs no instruction.
inline void prefetch_line(const void *p) {
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

// Hints every cache line that the `length` bytes at `p` touch: one every
// 64 bytes from `p`, and the line of the last byte; none for no bytes.
inline void prefetch_range(const void *p, std::ptrdiff_t length) {
  if (length <= 0) return;
  const char *from = static_cast<const char *>(p);
  for (std::ptrdiff_t k = 0; k < length; k += 64) prefetch_line(from + k);
  prefetch_line(from + length - 1);
}

}  // namespace kel
