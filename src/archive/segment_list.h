// The files an open indexed file is kept in, as the engine tells them:
// v5_info code -7 gives the numbers of data and index segments ("%05lu,%05lu",
// "00000,00000" for the one-file versions 2 and 3) and code -8 each
// segment's name in a 128-byte field followed by its size ("%010ld"): data
// segments 0..n, then index segments 0..m. Data segment 0 is the file
// itself.
//
// The first bytes of a file tell what it is, whatever its name; integers
// big-endian:
//
//   offset  width  indexed file (data segment 0)   further segment
//   0       4      10 12 14 16 (version 3)          10 12 14 17 data
//                  10 12 14 19 (versions 4, 5)      10 12 14 18 index
//   4       2      format version                   format version (4, 5)
//   6       2      -                                segment number (data:
//                                                   1 and up; index: from 0)
//
// A version 2 file begins with 16 14 12 10 02 00 (its header is in the
// byte order of the machine that wrote it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::archive {

constexpr int32_t kInfoSegmentCounts = -7;
constexpr int32_t kInfoSegmentNames = -8;

// Calls `each` with the name of every segment of the open file, data
// segment 0 included. False when the engine could not tell (its error
// codes say why); the file's own name has then not been given either.
bool each_segment(void *file, void (*each)(const char *name, void *context), void *context);

enum class FileKind {
  kOther,
  kIndexed,  // the header of an indexed file of version 2 to 5
  kSegment,  // a data segment from 1 on, or an index segment
};
// What the first `count` bytes of a file show it to be.
FileKind file_kind_of(const uint8_t *bytes, size_t count);

}  // namespace kel::archive
