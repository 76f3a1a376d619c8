// Record storage in the data segments: record headers, compression and
// scrambling of the stored bytes, slot sizing, the deleted-record chain and
// (version 5) the set-aside chain.
//
// A record slot is a record header followed by a data area of `slot size`
// bytes, of which the first `stored length` hold the stored form of the
// record: the record itself, or its run-length compressed form when that is
// shorter (compress.h), then, when the file scrambles records, every byte i
// raised by (seed + 7 i) mod 256, the seed being the record's sequence
// number (0 in a file without keys that allow duplicates).
//
// Record header, versions 3 and 4 (the sequence number only in a file with
// a key that allows duplicates):
//
//   offset  width  field
//   0       2      slot size
//   2       2      stored length; bit 15 set: compressed; 0: deleted
//   4       4      record sequence number
//
// A deleted record of version 3 or 4 keeps its chain link at the start of
// its data area: the next record's offset (4 bytes) and, in version 4, its
// data segment (2 bytes); slots are therefore at least 4 (version 3) or 6
// (version 4) bytes, compressed or not.
//
// Record header, version 2: in the machine's byte order, 5 bytes (9 in a
// file with duplicates), ending with a mark byte:
//
//   offset  width  field
//   0       2      slot size
//   2       2      stored length (kept when the record is deleted)
//   4       4      record sequence number (only in a file with duplicates)
//   4 / 8   1      mark: 127 deleted, 0x7E ("~") compressed, 0 otherwise
//
// A deleted version 2 record keeps its chain link at the start of its data
// area as version 3 does, the next record's offset in the machine's order;
// its slots are at least 4 bytes. Any other mark is a damaged record
// header (secondary code 82). Version 2 records live in version 3's data
// nodes.
//
// Record header, version 5, always 15 bytes (the link fields exist in every
// file, which is why the maximum record size + 15 must fit a segment):
//
//   offset  width  field
//   0       4      slot size
//   4       4      stored length (kept when the record is deleted)
//   8       1      flags: 1 deleted, 2 set aside, 4 compressed
//   9       4      live: record sequence number (0 in a file without
//                  duplicates); deleted or set aside: next record's offset
//   13      2      deleted or set aside: next record's data segment
//
// A set-aside record keeps its deleted flag as well (flags 3, or 7), so a
// scan of the data area that skips deleted records skips it too.
//
// Chains (heads and counts in the header): deleted records, slots 13/14
// and 21; set-aside records, slots 15/16 and 22. Slot 20 counts the live
// records. Slot 27 counts consecutive failed attempts to reuse the head of
// the deleted chain: a new record whose stored form fits the head's slot
// takes it (and its slot size); otherwise the count grows, and once it was
// above 30 the head leaves the chain (version 5: to the set-aside chain;
// older versions: dropped) and the count starts again. A bulk addition
// always appends.
//
// Version 3 keeps data and index nodes in one file. A data node is marked
// 255 in its first byte; its last 4 bytes link to the next data node (0:
// none yet), the rest is record space, and a record runs on from one data
// node into the next. Data nodes are taken from the nodes written ahead by
// growth (first byte 5), or from the end of the file. A record address on
// a node's first byte or its link is a broken file (secondary code 31).
// The first record position is one byte past the header area.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"
#include "support/prefetch.h"

namespace kel::indexed {

constexpr int32_t kV5RecordHeader = 15;
constexpr uint8_t kRecordDeleted = 1;
constexpr uint8_t kRecordSetAside = 2;
constexpr uint8_t kRecordCompressed = 4;
constexpr uint16_t kV4Compressed = 0x8000;
constexpr uint32_t kReuseFailureLimit = 30;
constexpr uint8_t kV3DataNode = 255;
constexpr uint8_t kV3UnusedNode = 5;
constexpr uint8_t kV2MarkPlain = 0;
constexpr uint8_t kV2MarkCompressed = 0x7E;
constexpr uint8_t kV2MarkDeleted = 127;

struct RecordHeader {
  uint32_t slot = 0;
  uint32_t stored = 0;  // without the version 3/4 compressed bit
  bool deleted = false;
  bool set_aside = false;
  bool compressed = false;
  uint32_t sequence = 0;
  SegAddr next;  // chain link of a deleted or set-aside record
};

int32_t record_header_size(const DorvexFile *f);

// Reads the header of the record slot at `at`. A version 3 or 4 deleted
// record's link is read from its data area.
bool read_record_header(DorvexFile *f, SegAddr at, RecordHeader *header);

// Stores a record of `length` bytes with sequence number `sequence`
// (written into the header only in a file with duplicates; the scrambling
// seed likewise). Takes the deleted chain's head or appends; the live
// count (slot 20) grows. The address goes to *at.
bool add_record(DorvexFile *f, const uint8_t *record, uint32_t length, uint32_t sequence,
                SegAddr *at);

// Reads and decodes the record at `at` into `out` (room for the maximum
// record size): its length, or -1 with the error set (E_BROKEN 81 for a
// deleted record, 82 for a stored length beyond the slot, 85 for a record
// longer than the maximum). *sequence (may be null) gets its sequence
// number (0 when the file keeps none).
int64_t read_record(DorvexFile *f, SegAddr at, uint8_t *out, uint32_t *sequence);

// The most bytes of a record slot hinted: four cache lines.
constexpr int32_t kRecordHintSpan = 256;

// Where the records of one data segment can be hinted to the processor
// (prefetched) before they are read: the segment's mapping, which
// read_record reads from on an open that keeps other writers out (and no
// scrambling), the bytes of it that show the file, and how many bytes of a
// record slot to hint (its header and the largest stored form, at most
// kRecordHintSpan). Only ever used for hints: the mapping may move when the
// file grows, and a prefetch of an address no longer mapped does nothing,
// where a read would fault.
struct RecordView {
  const uint8_t *map = nullptr;
  int64_t valid = 0;
  int32_t segment = -1;
  int32_t span = 0;
};

// The view of the data segment of `at`, kept in *view (left empty where
// the records are not read from a mapping).
void record_view(const DorvexFile *f, SegAddr at, RecordView *view);

// Hints the processor to load the record slot at `at`, when the view shows
// it; nothing else. Reads nothing the caller sees and cannot fail.
inline void hint_record(const RecordView &v, SegAddr at) {
  const int64_t offset = static_cast<uint32_t>(at.offset);
  if (v.span == 0 || at.segment != v.segment || offset + v.span > v.valid) return;
  // Every cache line the slot's first `span` bytes touch: a record's
  // header and data lie on two or three lines, each a miss of its own, and
  // the read that follows needs them all.
  prefetch_range(v.map + offset, v.span);
}

// Deletes the record at `at`: it becomes the head of the deleted chain,
// slot 20 falls, slot 21 grows, slot 27 is reset.
bool delete_record(DorvexFile *f, SegAddr at);

// Stores a new image of the record at `at`, keeping its sequence number:
// in place when its stored form fits the old slot (which it keeps),
// otherwise at the end of data with a slot of its own, the old one being
// deleted. *new_at gets the address.
bool rewrite_record(DorvexFile *f, SegAddr at, const uint8_t *record, uint32_t length,
                    SegAddr *new_at);

// Where the slot after the one at `at` (whose header is `header`) begins:
// behind its header and data area. In version 3 a slot that ends on a data
// node's link goes on in the linked node, unless it ends the data.
bool next_slot_position(DorvexFile *f, SegAddr at, const RecordHeader &header, SegAddr *next);

// Reads or writes `length` bytes of the data area at `at` (version 3:
// across its data nodes).
bool data_read(DorvexFile *f, SegAddr at, uint8_t *buffer, uint32_t length);
bool data_write(DorvexFile *f, SegAddr at, const uint8_t *buffer, uint32_t length);

}  // namespace kel::indexed
