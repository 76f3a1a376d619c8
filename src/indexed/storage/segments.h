// Data and index segments of an indexed file (versions 4 and 5; versions 2
// and 3 have one file, which plays data segment 0).
//
// Data segment 0 is the file under its own name and holds the header. Every
// other segment is a file of its own whose first 512-byte block is a
// segment header (offsets from the layout slots 71-75 for data and 76-80 for
// index; the same in both versions), integers big-endian:
//
//   offset  width  field
//   0       4      magic 10 12 14 17 (data) / 10 12 14 18 (index)
//   4       2      format version of the file
//   6       2      segment number
//   8       4      bytes in use in this segment
//   12      4      header version (slot 24) at the last close for update
//
// Index segment 0 has a segment header too; nodes start after it, at 512,
// in every index segment.
//
// Sizes. A data segment's size is the bytes written into it: its header,
// its records and the zero-filled room ahead of the end of data (slots 9 and
// 10). An index segment's size is its bytes in use: the next node at the end
// of the index goes there. They are kept current on disk at all times:
//
//   segment                     size kept in
//   data 0                      slot 5 (and slot 40 while it is the last)
//   data n >= 1                 its header, offset 8 (and slot 40 while it
//                               is the last: slot 40 is the current data
//                               segment's size)
//   index 0                     slot 41 (its header at close)
//   index n >= 1                its header, offset 8
//   version 3, the one file     slot 40, the size of the file
//
// So when data segment 0 is closed off by the growth of the file, its size
// is already in slot 5, which keeps it; slot 40 moves on to describe the new
// current segment. (Slot 40 names the current data segment: it cannot keep
// segment 0's size once segment 1 is current.)
//
// Growth. An addition that needs room past a segment's size makes the
// segment grow: the data side by the extension count (slot 4) in nodes, the
// index side by that count x V_INDEX_BLOCK_PERCENT / 100 (rounded, at least
// one block), in zero-filled 512-byte blocks, never past the segment size
// limit (slot 39). An addition that does not fit before the limit closes the
// segment off and goes to offset 512 of a new one (the next number, at most
// 65534; above is a broken file, secondary code 99); the new segment is
// created with Bopen flags 1, reopened with the file's flags and gets its
// segment header; the highest segment number (slot 6 or 42) grows by one.
// Another process learns of it from the header (header.cpp).
//
// Segment names (segment_name):
//   1. data segment 0 is the file name itself;
//   2. with V_BASENAME_TRANSLATION on, the base name is translated as a
//      name (cfg_translate_name); when that changes it, the translation
//      takes the name's place and the directory part before the base name
//      is kept as a prefix for step 5 (none when the translation is itself
//      an absolute path);
//   3. with both <NAME>_DATA_FMT and <NAME>_INDEX_FMT set (Agetenv; NAME is
//      the name upper-cased, every character that is not a letter or digit
//      an underscore), the segment's own variable is a format taking the
//      segment number ("%d", "%03d", "%x" ... as the user wrote it);
//   4. otherwise the name gets a suffix, which replaces the base name's
//      extension when V_STRIP_DOT_EXTENSION is on and there is one:
//      ".d%02x" / ".d%04x" (above 255) for data, ".vix" for index 0,
//      ".v%02x" / ".v%04x" for other index segments;
//   5. a variable named like the result (upper-cased, non-alphanumerics as
//      underscores) with a non-empty value replaces it; otherwise the prefix
//      of step 2 goes in front.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

extern "C" {

// The name of a segment, in a 257-byte buffer that the next call
// overwrites; null (E_PARAM) when the name would not fit.
const char *segment_name(const char *file_name, int32_t kind, int32_t number);
// Opens a segment that exists on disk but not yet in the open file
// (created by another process, or listed in the header at open): checks
// its magic, version and number. 1, or 0 with E_FILE_TYPE or the OS
// layer's error.
int32_t open_new_segment(DorvexFile *file, int32_t kind, int32_t number);
// Writes the header version (and the bytes in use) into the segment's
// header when the file is open for update, then closes it. 1, or 0 when
// those fields or the segment's deferred blocks could not be written
// (E_SYSERR or E_DISK_FULL): the segment is closed either way.
int32_t close_segment(DorvexFile *file, int32_t kind, int32_t number);
}

namespace kel::indexed {

constexpr int32_t kSegmentHeaderSize = 512;
constexpr int32_t kMaxSegmentNumber = 65534;
constexpr int32_t kNameSize = 257;

SegmentSet &segment_set(DorvexFile *f, int32_t kind);

// Opens a file for input to learn its version and its numbers of data and
// index segments (1 and 0 before version 4), and closes it again.
bool learn_segments(const char *name, int *version, int32_t *data, int32_t *index);
// Removes data segments 1 .. data - 1 and index segments first_index ..
// index - 1 (and data segment 0 first when asked), tracing each when
// V_TRACE is above 2. The first failure stops: 1 or 0.
int32_t remove_segments(const char *name, int version, int32_t data, int32_t index, bool with_data0,
                        int32_t first_index);
// The open flags of every segment of a file opened with `mode`: output and
// extend work as input-output; 0x4710 are kept.
int32_t segment_open_flags(int32_t mode);

// Reads a segment's bytes in use from its segment header.
bool refresh_segment_size(DorvexFile *f, int32_t kind, int32_t number);
// Writes sizes[number] where it is kept (see the table above).
bool store_segment_size(DorvexFile *f, int32_t kind, int32_t number);

// Versions 4 and 5: room for `need` bytes at the end of data; the end of
// data (slots 9, 10) moves past them. Grows the data side as needed.
bool data_append(DorvexFile *f, uint32_t need, SegAddr *at);
// Grows the last data segment by the extension count (version 3: writes
// the nodes at the end of the file with their first byte 5, the mark of a
// node not yet in use). False when nothing could be added.
bool grow_data(DorvexFile *f);
// Versions 4 and 5: the address of a new node at the end of the index.
bool index_append(DorvexFile *f, SegAddr *at);

// Closes every segment but data segment 0 (index from the highest down,
// then data from the highest down to 1) and frees the arrays' contents.
// False when a segment's last writes failed (the first failure's code).
bool close_other_segments(DorvexFile *f);
// Closes a segment file through the cache. Its deferred blocks are written
// then; when that fails the close fails with E_SYSERR (a system error) or
// E_DISK_FULL (a short write), since the cache itself sets no code.
bool close_cached_file(int32_t file);
// Frees the segment arrays.
void free_segment_sets(DorvexFile *f);
// Makes room for segments 0 .. count - 1 of a kind (new ones not open).
bool reserve_segments(DorvexFile *f, int32_t kind, int32_t count);

// Opens a segment file that is made now, through the cache: whatever
// stands at its name (an old segment, or a symbolic link someone placed
// there) is removed first and the file is created exclusively without
// following a link, so that no write of the engine goes through a link at
// a segment's name. Data segment 0, the file's own name, is not made this
// way: it may be linked on purpose to another disk. File number or -1.
int32_t create_segment_file(const char *name, int32_t flags);

// Positions against what the segments hold (positions.cpp). A data span
// lies in a data segment the file has, from its first data byte on (the
// header area in segment 0, behind the segment header in the others) up
// to the segment's size; a node lies wholly below the size of its index
// segment (version 3: of the file). False with E_BROKEN 26.
bool data_span_held(const DorvexFile *f, SegAddr at, uint64_t length);
bool node_held(const DorvexFile *f, SegAddr at);
// The header's sizes and positions as the last header read left them:
// every segment size within the segment size limit, the end of data in a
// segment the file has and not past its size, the first record not past
// the end of data, the deleted and set-aside chain heads and the free-node
// head null or held. False with E_BROKEN 26.
bool header_positions_sound(const DorvexFile *f);

// Writes the zero-filled blocks [start, end) of a file (version 3 nodes of
// `node_size` bytes get their first byte 5). Error codes of write_at.
bool fill_blocks(int32_t file, int64_t start, int64_t end, int32_t node_size, bool v3_marks);

}  // namespace kel::indexed
