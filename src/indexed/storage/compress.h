// Run-length compression of record data, slot sizing and scrambling.
//
// Stored form (versions 3-5), read left to right:
//
//   bytes          meaning
//   254 c n        n copies of byte c
//   253 n          n spaces (0x20)
//   252 n          n digits "0" (0x30)
//   251 n          n NUL bytes
//   250 c          the byte c itself (a literal 250-254)
//   any other b    the byte b
//
// A count is at most 127; a count of 0 produces nothing. Runs of spaces,
// "0" or NUL longer than 2 use the two-byte forms; other runs longer than 3
// use 254. Version 2 files know only the 254 form and store a record that
// contains the byte 254 uncompressed.
#pragma once

#include <cstdint>

namespace kel::indexed {

constexpr int kMaxRun = 127;

// Compresses `length` bytes into `out` (room for `length` bytes). Returns
// the compressed length, or -1 when the compressed form would not be
// shorter, in which case the record is stored as it is.
int32_t compress_record(int version, const uint8_t *in, int32_t length, uint8_t *out);

// Expands `length` stored bytes into `out` (room for `max_length` bytes).
// Returns the record length, or -1 when the record would exceed
// `max_length` or a marker lacks its operands (a broken file, secondary
// code 85).
int32_t decompress_record(int version, const uint8_t *in, int32_t length, uint8_t *out,
                          int32_t max_length);

// The slot reserved for a record of length L whose stored form has S bytes,
// with compression factor F (1 means the COMPRESS_FACTOR setting, resolved
// by the caller): L - (L - S) * F / 100, at least 4 (v3), 6 (v4) or 1 (v5).
// An uncompressed record (S == L) gets exactly L.
int32_t slot_size(int version, int32_t record_length, int32_t stored_length, int32_t factor);

// Scrambling of stored bytes: byte i gets (seed + 7 i) mod 256 added on
// write and subtracted on read; the seed is the record's sequence number.
void scramble(uint8_t *bytes, int32_t length, uint32_t seed);
void unscramble(uint8_t *bytes, int32_t length, uint32_t seed);

}  // namespace kel::indexed
