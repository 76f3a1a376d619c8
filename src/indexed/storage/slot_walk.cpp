#include "storage/slot_walk.h"

#include "kelfs/errors.h"
#include "storage/header.h"
#include "storage/segments.h"

namespace kel::indexed {

namespace {

bool at_or_after(SegAddr a, SegAddr b) {
  if (a.segment != b.segment) return a.segment > b.segment;
  return static_cast<uint32_t>(a.offset) >= static_cast<uint32_t>(b.offset);
}

// A slot whose header (or a version 4 deleted record's link behind it)
// runs past the segment's end: the segment's slots end there.
bool past_segment_end() {
  return *fs_error_code() == E_BROKEN &&
         (*fs_error_secondary() == kBrokenShortRead || *fs_error_secondary() == kBrokenPosition);
}

}  // namespace

SegAddr first_slot(const DorvexFile *f) {
  return hget_addr(f, kFirstRecordOffset, kFirstRecordSeg);
}

SlotStep find_slot(DorvexFile *f, SegAddr *at, RecordHeader *header) {
  uint32_t header_size = static_cast<uint32_t>(record_header_size(f));
  for (;;) {
    SegAddr end = hget_addr(f, kEndOfDataOffset, kEndOfDataSeg);
    if (at_or_after(*at, end)) return SlotStep::kEnd;
    if (f->version >= 4) {
      if (at->segment >= f->data.count) return SlotStep::kEnd;
      uint32_t offset = static_cast<uint32_t>(at->offset);
      uint32_t size = f->data.sizes[at->segment];
      if (offset + header_size > size || offset + header_size > f->seg_limit) {
        *at = SegAddr{kSegmentHeaderSize, static_cast<uint16_t>(at->segment + 1)};
        continue;
      }
    }
    if (!read_record_header(f, *at, header)) {
      if (f->version < 4 || !past_segment_end()) return SlotStep::kError;
      *at = SegAddr{kSegmentHeaderSize, static_cast<uint16_t>(at->segment + 1)};
      continue;
    }
    // No record has a slot of 0 bytes: this is zero-filled room.
    if (header->slot == 0) {
      if (f->version < 4) return SlotStep::kEnd;
      *at = SegAddr{kSegmentHeaderSize, static_cast<uint16_t>(at->segment + 1)};
      continue;
    }
    return SlotStep::kSlot;
  }
}

}  // namespace kel::indexed
