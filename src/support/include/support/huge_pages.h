// Transparent huge pages for the system's own large anonymous tables.
//
// The block pool of a large V_BUFFERS and the engine's decoded-node table
// are touched at random places: with 4 KiB pages nearly every access there
// also misses the processor's address translation cache. A kernel whose
// transparent huge pages are in "madvise" mode gives 2 MiB pages only to
// ranges the program asks for before they are first touched.
#pragma once

#include <cstddef>

namespace kel {

constexpr size_t kHugePageSize = size_t{2} << 20;

// Asks for huge pages for the whole 2 MiB pages inside [start, start +
// length) (the range is rounded inward: memory outside it, another
// block's, is not advised). A range holding no whole huge page is left
// alone. The advice is only advice: a kernel without transparent huge
// pages, or with them switched off, refuses it or ignores it, and the
// memory then behaves exactly as without the call, so a failure is not an
// error and is not reported. Never used on file-backed mappings.
void advise_huge_pages(void *start, size_t length);

}  // namespace kel
