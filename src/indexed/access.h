// Record operations on an open indexed (Dorvex) file: positioning and
// reading by key, sequential reading in a key's order, reading in physical
// order, record locks, writing and deleting. The entry points v5_read,
// v5_start, v5_next, v5_previous, v5_nkrstart, v5_nkrnext, v5_unlock,
// v5_write and v5_delete hand their calls to these.
//
// Every operation clears the primary error on entry and leaves the reason
// of a failure there. Reads return the record length (0: failure); the
// record buffer must hold the file's maximum record size. A read, write or
// delete that succeeds with the primary code 101 reports that another
// record has the same value of an alternate key that allows duplicates.
#pragma once

#include <cstdint>

#include "indexed/dorvex_file.h"

extern "C" {

// Start modes.
enum : int32_t {
  V_START_EQUAL = 0,
  V_START_NOT_LESS = 1,
  V_START_GREATER = 2,
  V_START_LESS = 3,
  V_START_NOT_GREATER = 4,
};

// Positions on the key `key` of `record` (its first `length` bytes when
// 0 < length < the key's size) by `mode`, without reading a record.
// 1, or 0 with E_NOT_FOUND, E_PARAM, E_MODE_CLASH or a read error.
int32_t v5i_start(DorvexFile *file, const uint8_t *record, int32_t key, int32_t length,
                  int32_t mode);
// Reads the first record whose key `key` equals that of `record` into
// `record`; it becomes the current record.
uint32_t v5i_read(DorvexFile *file, uint8_t *record, int32_t key);
// The next / previous record in the order of the key of reference;
// E_NOT_FOUND at either end, E_NO_CURRENT without a position.
uint32_t v5i_next(DorvexFile *file, uint8_t *record);
uint32_t v5i_previous(DorvexFile *file, uint8_t *record);
// Sets up the physical-order scan: 0 for a version 4 or 5 file, 1 for a
// version 3 file (whose scan is empty); -1 with the error set when the
// header cannot be read or the file is open for output only.
int32_t v5i_nkrstart(DorvexFile *file);
// The next live record in physical order; E_NOT_FOUND at the end.
uint32_t v5i_nkrnext(DorvexFile *file, uint8_t *record);
// Releases the file's record locks. 1, or 0 when the header cannot be read.
int32_t v5i_unlock(DorvexFile *file);
// Adds a record of `length` bytes (0: the maximum record size). 1, or 0
// with E_MODE_CLASH, E_PARAM, E_DUPLICATE (nothing of the record is left)
// or the error of the storage.
int32_t v5i_write(DorvexFile *file, const uint8_t *record, uint32_t length);
// Deletes the record with the primary key of `record` (the last record
// read under a lock when its primary key is that one). 1, or 0 with
// E_MODE_CLASH, E_NOT_FOUND, E_REC_LOCKED or the error of the storage.
int32_t v5i_delete(DorvexFile *file, const uint8_t *record);
}

namespace kel::indexed {

// A test seam: called with a point name in the middle of a read, where an
// unlocked reader may meet a writer's work ("record": before the record of
// a found entry is read; "prefetched": before a prefetched record is read).
using ReadProbe = void (*)(DorvexFile *file, const char *point);
void set_read_probe(ReadProbe probe);

}  // namespace kel::indexed
