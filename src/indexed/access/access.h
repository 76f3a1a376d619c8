// Record operations on an open indexed (Dorvex) file, inside the engine:
// the test seam of reading. The operations themselves (v5i_start, v5i_read,
// v5i_next, v5i_previous, v5i_nkrstart, v5i_nkrnext, v5i_unlock, v5i_write,
// v5i_delete) are declared in indexed/engine.h.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

namespace kel::indexed {

// A test seam: called with a point name in the middle of a read, where an
// unlocked reader may meet a writer's work ("record": before the record of
// a found entry is read; "prefetched": before a prefetched record is read).
using ReadProbe = void (*)(DorvexFile *file, const char *point);
void set_read_probe(ReadProbe probe);

}  // namespace kel::indexed
