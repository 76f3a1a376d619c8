#include "support/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace kel {

void advise_huge_pages(void *start, size_t length) {
#ifdef MADV_HUGEPAGE
  const uintptr_t from = reinterpret_cast<uintptr_t>(start);
  const uintptr_t first = (from + kHugePageSize - 1) & ~(uintptr_t{kHugePageSize} - 1);
  const uintptr_t end = (from + length) & ~(uintptr_t{kHugePageSize} - 1);
  if (end <= first) return;
  // The result is ignored on purpose: see the header.
  (void)madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
#else
  (void)start;
  (void)length;
#endif
}

}  // namespace kel
