// Process-wide settings and hooks of the indexed engine as a whole.
#pragma once

#include <cstdint>

#include "kelfs/kelfs.h"

namespace kel::indexed {

// The interface level of the information texts: 3 at start, replaced by
// the first argument of v5_init_vers. Levels 2 and below use the older,
// narrower forms of the record, physical and key texts.
int32_t interface_level();
void set_interface_level(int32_t level);

// Hooks installed through the entry points. Bulk addition calls the first
// two; the engine calls the last after it creates a file.
v5_progress_fn progress_hook();
v5_duplicate_fn duplicate_hook();
v5_set_file_attrs_fn set_file_attrs_hook();
v5_progress_fn exchange_progress_hook(v5_progress_fn hook);
v5_duplicate_fn exchange_duplicate_hook(v5_duplicate_fn hook);
v5_query_retry_fn exchange_query_retry_hook(v5_query_retry_fn hook);
void set_set_file_attrs_hook(v5_set_file_attrs_fn hook);

// The engine's shutdown (last v5_exit): releases its process-wide buffers
// and shuts the block cache down.
void shutdown();

}  // namespace kel::indexed
