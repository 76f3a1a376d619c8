// The diagnostic writer: every error report, trace line and operator
// message that goes to the error output leaves through eprintf, which
// formats into a buffer grown on demand and writes it to the error stream of
// the stream layer. Also the double-byte text mode, decided once from LANG.
#pragma once

#include <cstdint>

extern "C" {
// Formats and writes the whole text, whatever its length, to the error
// stream; failures (no memory for a long text, a write error) are silent.
void eprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Decides the double-byte mode once: kKanjiUndecided means "take it from
// LANG" (1 when LANG begins with 'j' or 'J', else 0). Ignored once decided.
void Aset_kanji_mode(uint16_t mode);
}

namespace kel {

constexpr uint16_t kKanjiUndecided = 0xFFFF;
// 1 in double-byte mode, 0 otherwise (an undecided mode counts as 0).
bool kanji_mode();
// In double-byte mode: does the byte pair at p form one character?
bool kanji_pair(const unsigned char *p);
// Tests only: forget the decision.
void reset_kanji_mode();

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

}  // namespace kel
