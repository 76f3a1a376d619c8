// Start-up counters of the two families (indexed; relative and sequential).
#pragma once

#include <cstdint>

namespace kel::fsapi {

int32_t indexed_init_count();
// The relative/sequential family's counter, raised by Ar_init and lowered
// by Ar_exit; v5_exit releases the thread data only when both are 0.
int32_t &relseq_init_count();

}  // namespace kel::fsapi
