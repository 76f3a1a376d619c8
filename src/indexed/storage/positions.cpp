// Every position the engine follows is checked against what the segments
// hold before it is read or written, so that a damaged header, node or
// chain link is a broken file instead of a read of some other structure, a
// write over the header, or a write far beyond the end that grows the file
// by gigabytes. The sizes themselves come from the header and the segment
// headers (segments.h) and are checked against the segment size limit.
//
// The real length of a segment file is not compared: an opener with
// deferred writes (0x400 with deny-write) may hold the last blocks in its
// cache while others read, and a block beyond the real end is a short read
// (E_BROKEN 9) when it is read.
#include <climits>
#include <initializer_list>

#include "kelfs/errors.h"
#include "storage/header.h"
#include "storage/segments.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// The first byte a record may start at in a data segment.
uint32_t first_data_byte(const DorvexFile *f, uint16_t segment) {
  return segment == 0 ? static_cast<uint32_t>(f->header_area)
                      : static_cast<uint32_t>(kSegmentHeaderSize);
}

bool data_segment_known(const DorvexFile *f, uint16_t segment) {
  return f->version < 4 ? segment == 0 : segment < f->data.count;
}

bool position_in(const DorvexFile *f, SegAddr at, uint64_t length, bool end_allowed) {
  if (!data_segment_known(f, at.segment)) return false;
  uint64_t offset = static_cast<uint32_t>(at.offset);
  uint64_t size = f->data.sizes[at.segment];
  if (offset < first_data_byte(f, at.segment)) return false;
  // Version 3 records follow the type byte of their data node: an end of
  // data or first record can stand behind the type byte of a node that
  // is not there yet.
  if (end_allowed && f->version < 4) ++size;
  if (end_allowed) return offset + length <= size;
  return offset + length <= size && offset < size;
}

bool null_or(const DorvexFile *f, SegAddr at, bool (*held)(const DorvexFile *, SegAddr)) {
  return at == kNullAddr || held(f, at);
}

bool chain_head_held(const DorvexFile *f, SegAddr at) {
  return position_in(f, at, 1, false);
}

bool node_in_index(const DorvexFile *f, SegAddr at) {
  uint64_t offset = static_cast<uint32_t>(at.offset);
  uint64_t end = offset + static_cast<uint32_t>(f->node_size);
  if (f->version < 4)
    return at.segment == 0 && offset >= static_cast<uint32_t>(f->header_area) &&
           end <= f->data.sizes[0];
  return at.segment < f->index.count && offset >= static_cast<uint32_t>(kSegmentHeaderSize) &&
         end <= f->index.sizes[at.segment];
}

bool sizes_within_limit(const DorvexFile *f) {
  if (f->version < 4) return f->data.sizes[0] <= static_cast<uint32_t>(INT32_MAX);
  for (const SegmentSet *set : {&f->data, &f->index})
    for (int32_t n = 0; n < set->count; ++n)
      if (set->sizes[n] > f->seg_limit) return false;
  return f->data.sizes[0] >= static_cast<uint32_t>(f->header_area);
}

bool at_or_before(SegAddr a, SegAddr b) {
  if (a.segment != b.segment) return a.segment < b.segment;
  return static_cast<uint32_t>(a.offset) <= static_cast<uint32_t>(b.offset);
}

}  // namespace

bool data_span_held(const DorvexFile *f, SegAddr at, uint64_t length) {
  return position_in(f, at, length, true) || fs_fail(E_BROKEN, kBrokenPosition);
}

bool node_held(const DorvexFile *f, SegAddr at) {
  return node_in_index(f, at) || fs_fail(E_BROKEN, kBrokenPosition);
}

bool header_positions_sound(const DorvexFile *f) {
  SegAddr end = hget_addr(f, kEndOfDataOffset, kEndOfDataSeg);
  SegAddr first = hget_addr(f, kFirstRecordOffset, kFirstRecordSeg);
  bool sound = sizes_within_limit(f) && position_in(f, end, 0, true) &&
               position_in(f, first, 0, true) && at_or_before(first, end) &&
               null_or(f, hget_addr(f, kDeletedHeadOffset, kDeletedHeadSeg), chain_head_held) &&
               null_or(f, hget_addr(f, kFreeNodeOffset, kFreeNodeSeg), node_in_index);
  if (sound && f->version >= 5)
    sound = null_or(f, hget_addr(f, kSetAsideHeadOffset, kSetAsideHeadSeg), chain_head_held);
  return sound || fs_fail(E_BROKEN, kBrokenPosition);
}

}  // namespace kel::indexed
