// The diagnostic writer: every error report, trace line and operator
// message that goes to the error output leaves through eprintf, which
// formats into a buffer grown on demand and writes it to the error stream of
// the stream layer. Also the trace switch (V_TRACE's working value, which
// the configuration's table pushes here whenever it changes). The
// double-byte text mode lives below, with the path helpers that step over
// its pairs (layer/text_mode.h).
#pragma once

#include <cstdint>

#include "layer/text_mode.h"

extern "C" {
// Formats and writes the whole text, whatever its length, to the error
// stream; failures (no memory for a long text, a write error) are silent.
void eprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
}

namespace kel {

// Bits of V_TRACE.
enum TraceBit : uint32_t {
  kTraceEntryPoints = 1,   // every file-system entry point, entry and return
  kTraceTree = 2,          // node splits and combines, tree height changes
  kTraceCacheMetrics = 4,  // block cache statistics at shutdown
  kTraceInner = 8,         // inner steps of the indexed engine and the cache
  kTraceLocks = 16,        // every byte-range lock call
};

// True when the bit is set in V_TRACE's working value.
bool trace_on(uint32_t bit);
// The working value itself.
uint32_t trace_bits();
// Sets the working value (the configuration's table, whenever V_TRACE
// changes; 0 until then).
void set_trace_bits(uint32_t bits);

}  // namespace kel
