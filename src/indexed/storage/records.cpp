#include "storage/records.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/compress.h"
#include "storage/header.h"
#include "storage/segments.h"
#include "storage/shared_buffers.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

constexpr int32_t kV3Link = 4;  // bytes of the link at a v3 data node's end

// --- version 3 data nodes --------------------------------------------------------

enum class Walk { kRead, kWrite, kSkip, kReserve };

int64_t node_of(const DorvexFile *f, int64_t pos) {
  return pos - pos % f->node_size;
}

bool on_node_frame(const DorvexFile *f, int64_t pos) {
  int64_t in = pos % f->node_size;
  return in == 0 || in == f->node_size - kV3Link;
}

bool v3_read_byte(DorvexFile *f, int64_t at, uint8_t *byte) {
  return read_at(f->data0, byte, at, 1) != 0;
}

// Makes `node` a data node (mark 255, no link yet).
bool v3_claim(DorvexFile *f, int64_t node) {
  uint8_t mark = kV3DataNode;
  uint8_t link[kV3Link] = {};
  return write_at(f->data0, &mark, node, 1) &&
         write_at(f->data0, link, node + f->node_size - kV3Link, kV3Link);
}

// A node for the data to run on into after `node`: the node after it when
// growth wrote it ahead and nothing took it, else one at the end of the file.
bool v3_take_node(DorvexFile *f, int64_t node, int64_t *taken) {
  int64_t candidate = node + f->node_size;
  int64_t size = f->data.sizes[0];
  uint8_t mark = 0;
  if (candidate < size && !v3_read_byte(f, candidate, &mark)) return false;
  if (candidate >= size || mark != kV3UnusedNode) {
    candidate = size;
    if (!grow_data(f)) return false;
  }
  if (!v3_claim(f, candidate)) return false;
  *taken = candidate;
  return true;
}

bool v3_next_node(DorvexFile *f, int64_t node, bool create, int64_t *next) {
  uint8_t link[kV3Link];
  if (!read_at(f->data0, link, node + f->node_size - kV3Link, kV3Link)) return false;
  *next = load_be32(link);
  if (*next != 0) {
    // A link leads to the start of another node inside the file; any other
    // value is damage, and following it could walk in circles without
    // ever reaching a byte of record space.
    if (*next % f->node_size != 0 || *next == node || *next >= f->data.sizes[0])
      return fs_fail(E_BROKEN, kBrokenV3Link);
    return true;
  }
  if (!create) return fs_fail(E_BROKEN, kBrokenV3Link);
  if (!v3_take_node(f, node, next)) return false;
  store_be32(link, static_cast<uint32_t>(*next));
  return write_at(f->data0, link, node + f->node_size - kV3Link, kV3Link) != 0;
}

// Walks `length` bytes of record space from *pos, reading, writing or only
// reserving them (taking new data nodes as it goes); *pos ends behind them.
bool v3_walk(DorvexFile *f, int64_t *pos, uint8_t *buffer, int64_t length, Walk mode) {
  int64_t at = *pos;
  while (length > 0) {
    int64_t node = node_of(f, at);
    int64_t room = node + f->node_size - kV3Link - at;
    if (room <= 0) {
      int64_t next;
      if (!v3_next_node(f, node, mode == Walk::kReserve, &next)) return false;
      at = next + 1;
      continue;
    }
    int32_t chunk = static_cast<int32_t>(std::min(room, length));
    if (mode == Walk::kRead && !read_at(f->data0, buffer, at, chunk)) return false;
    if (mode == Walk::kWrite && !write_at(f->data0, buffer, at, chunk)) return false;
    if (buffer) buffer += chunk;
    at += chunk;
    length -= chunk;
  }
  *pos = at;
  return true;
}

// Room for `need` bytes at the end of data of a version 3 file.
bool v3_append(DorvexFile *f, uint32_t need, SegAddr *at) {
  int64_t pos = static_cast<uint32_t>(hget(f, kEndOfDataOffset));
  int64_t node = node_of(f, pos);
  while (node >= f->data.sizes[0])
    if (!grow_data(f)) return false;
  uint8_t mark;
  if (!v3_read_byte(f, node, &mark)) return false;
  if (mark == kV3UnusedNode) {
    if (!v3_claim(f, node)) return false;
  } else if (mark != kV3DataNode) {
    return fs_fail(E_BROKEN, kBrokenV3Link);
  }
  if (pos % f->node_size == f->node_size - kV3Link) {
    int64_t next;
    if (!v3_next_node(f, node, true, &next)) return false;
    pos = next + 1;
  }
  int64_t end = pos;
  if (!v3_walk(f, &end, nullptr, need, Walk::kReserve)) return false;
  *at = SegAddr{static_cast<int32_t>(pos), 0};
  hset(f, kEndOfDataOffset, static_cast<uint32_t>(end));
  header_mark_changed(f);
  return true;
}

// --- record headers --------------------------------------------------------------

int32_t min_slot(int version) {
  return version <= 3 ? 4 : version == 4 ? 6 : 1;
}

// The chain link of a v3/v4 deleted record, at the start of its data area.
int32_t v4_link_size(const DorvexFile *f) {
  return f->version >= 4 ? 6 : 4;
}

// Where the data area of the record slot at `at` begins. In version 3 a
// record header may run from one data node into the next.
bool after_header(DorvexFile *f, SegAddr at, SegAddr *data) {
  if (f->version >= 4) {
    *data = SegAddr{at.offset + record_header_size(f), at.segment};
    return true;
  }
  int64_t pos = static_cast<uint32_t>(at.offset);
  if (!v3_walk(f, &pos, nullptr, record_header_size(f), Walk::kSkip)) return false;
  *data = SegAddr{static_cast<int32_t>(pos), 0};
  return true;
}

// Version 2: native order, the mark byte last.
void encode_v2_header(const DorvexFile *f, const RecordHeader &h, uint8_t *out) {
  store_native(out, 2, h.slot);
  store_native(out + 2, 2, h.stored);
  if (f->duplicates) store_native(out + 4, 4, h.sequence);
  out[record_header_size(f) - 1] = h.deleted      ? kV2MarkDeleted
                                   : h.compressed ? kV2MarkCompressed
                                                  : kV2MarkPlain;
}

void encode_header(const DorvexFile *f, const RecordHeader &h, uint8_t *out) {
  if (f->version == 2) return encode_v2_header(f, h, out);
  if (f->version >= 5) {
    memset(out, 0, kV5RecordHeader);
    store_be32(out, h.slot);
    store_be32(out + 4, h.stored);
    out[8] = static_cast<uint8_t>((h.deleted ? kRecordDeleted : 0) |
                                  (h.set_aside ? kRecordSetAside : 0) |
                                  (h.compressed ? kRecordCompressed : 0));
    if (h.deleted || h.set_aside) {
      store_be32(out + 9, static_cast<uint32_t>(h.next.offset));
      store_be16(out + 13, h.next.segment);
    } else {
      store_be32(out + 9, f->duplicates ? h.sequence : 0);
    }
    return;
  }
  store_be16(out, static_cast<uint16_t>(h.slot));
  uint16_t stored = h.deleted ? 0 : static_cast<uint16_t>(h.stored);
  if (!h.deleted && h.compressed) stored |= kV4Compressed;
  store_be16(out + 2, stored);
  if (f->duplicates) store_be32(out + 4, h.sequence);
}

bool write_header(DorvexFile *f, SegAddr at, const RecordHeader &h) {
  uint8_t bytes[kV5RecordHeader];
  encode_header(f, h, bytes);
  if (!data_write(f, at, bytes, static_cast<uint32_t>(record_header_size(f)))) return false;
  if (f->version >= 5 || !h.deleted) return true;
  uint8_t link[6];
  if (f->version == 2) {
    store_native(link, 4, static_cast<uint32_t>(h.next.offset));
  } else {
    store_be32(link, static_cast<uint32_t>(h.next.offset));
    store_be16(link + 4, h.next.segment);
  }
  SegAddr data;
  return after_header(f, at, &data) &&
         data_write(f, data, link, static_cast<uint32_t>(v4_link_size(f)));
}

// --- the stored form -------------------------------------------------------------

struct Stored {
  uint8_t *bytes;
  uint32_t length;
  bool compressed;
};

uint32_t seed_of(const DorvexFile *f, uint32_t sequence) {
  return f->duplicates ? sequence : 0;
}

// Builds the stored form in the shared compressed record buffer.
Stored make_stored(const DorvexFile *f, const uint8_t *record, uint32_t length, uint32_t sequence) {
  Stored s{compressed_record_buffer(), length, false};
  int32_t n = -1;
  if (f->compress_factor != 0)
    n = compress_record(f->version, record, static_cast<int32_t>(length), s.bytes);
  if (n >= 0) {
    s.length = static_cast<uint32_t>(n);
    s.compressed = true;
  } else {
    memcpy(s.bytes, record, length);
  }
  if (f->scramble) scramble(s.bytes, static_cast<int32_t>(s.length), seed_of(f, sequence));
  return s;
}

uint32_t slot_for(const DorvexFile *f, uint32_t length, const Stored &s) {
  int32_t size = slot_size(f->version, static_cast<int32_t>(length), static_cast<int32_t>(s.length),
                           f->compress_factor);
  return static_cast<uint32_t>(std::max(size, min_slot(f->version)));
}

bool write_record(DorvexFile *f, SegAddr at, uint32_t slot, const Stored &s, uint32_t sequence) {
  RecordHeader h;
  h.slot = slot;
  h.stored = s.length;
  h.compressed = s.compressed;
  h.sequence = sequence;
  SegAddr data;
  return write_header(f, at, h) && after_header(f, at, &data) &&
         data_write(f, data, s.bytes, s.length);
}

bool append_room(DorvexFile *f, uint32_t need, SegAddr *at) {
  return f->version >= 4 ? data_append(f, need, at) : v3_append(f, need, at);
}

void add_count(DorvexFile *f, Slot s, int64_t delta) {
  hset(f, s, static_cast<uint32_t>(static_cast<int64_t>(hget(f, s)) + delta));
  header_mark_changed(f);
}

// Takes the head of the deleted chain off it: to the set-aside chain in
// version 5, dropped in older versions.
bool set_aside_head(DorvexFile *f, SegAddr head, RecordHeader &h) {
  hset_addr(f, kDeletedHeadOffset, kDeletedHeadSeg, h.next);
  add_count(f, kDeletedCount, -1);
  if (f->version < 5) return true;
  h.set_aside = true;
  h.next = hget_addr(f, kSetAsideHeadOffset, kSetAsideHeadSeg);
  if (!write_header(f, head, h)) return false;
  hset_addr(f, kSetAsideHeadOffset, kSetAsideHeadSeg, head);
  add_count(f, kSetAsideCount, 1);
  return true;
}

// Tries the head of the deleted chain for a stored form of `stored` bytes.
// True with *reused set when the slot was taken (*at, *slot); true without
// when the record is to be appended.
bool try_reuse(DorvexFile *f, uint32_t stored, SegAddr *at, uint32_t *slot, bool *reused) {
  *reused = false;
  SegAddr head = hget_addr(f, kDeletedHeadOffset, kDeletedHeadSeg);
  if (head == kNullAddr || f->bulk_running) return true;
  RecordHeader h;
  if (!read_record_header(f, head, &h)) return false;
  if (!h.deleted) return fs_fail(E_BROKEN, kBrokenDeletedHead);
  if (stored <= h.slot) {
    hset_addr(f, kDeletedHeadOffset, kDeletedHeadSeg, h.next);
    add_count(f, kDeletedCount, -1);
    hset(f, kFailedReuses, 0);
    *at = head;
    *slot = h.slot;
    *reused = true;
    return true;
  }
  uint32_t failures = get_slot_low_byte(f->header, *f->layout, kFailedReuses);
  hset(f, kFailedReuses, failures + 1);
  header_mark_changed(f);
  if (failures > kReuseFailureLimit) {
    hset(f, kFailedReuses, 0);
    return set_aside_head(f, head, h);
  }
  return true;
}

// A version 5 record header, into a RecordHeader as it was constructed:
// in line in read_record, which every record read of a walk goes through.
inline void decode_v5_header(const DorvexFile *f, const uint8_t *bytes, RecordHeader *h) {
  h->slot = load_be32(bytes);
  h->stored = load_be32(bytes + 4);
  h->deleted = (bytes[8] & kRecordDeleted) != 0;
  h->set_aside = (bytes[8] & kRecordSetAside) != 0;
  h->compressed = (bytes[8] & kRecordCompressed) != 0;
  if (h->deleted || h->set_aside) {
    h->next = SegAddr{static_cast<int32_t>(load_be32(bytes + 9)), load_be16(bytes + 13)};
  } else if (f->duplicates) {
    h->sequence = load_be32(bytes + 9);
  }
}

// The fields of a record header from its bytes; the chain link of a
// version 2, 3 or 4 deleted record is in its data area and not read here.
// False for a version 2 mark byte that is none of the three.
bool decode_header(const DorvexFile *f, const uint8_t *bytes, RecordHeader *h) {
  *h = RecordHeader{};
  if (f->version == 2) {
    h->slot = static_cast<uint32_t>(load_native(bytes, 2));
    h->stored = static_cast<uint32_t>(load_native(bytes + 2, 2));
    if (f->duplicates) h->sequence = static_cast<uint32_t>(load_native(bytes + 4, 4));
    const uint8_t mark = bytes[record_header_size(f) - 1];
    h->deleted = mark == kV2MarkDeleted;
    h->compressed = mark == kV2MarkCompressed;
    return h->deleted || h->compressed || mark == kV2MarkPlain;
  }
  if (f->version >= 5) {
    decode_v5_header(f, bytes, h);
    return true;
  }
  h->slot = load_be16(bytes);
  uint16_t stored = load_be16(bytes + 2);
  h->deleted = stored == 0;
  h->compressed = (stored & kV4Compressed) != 0;
  h->stored = stored & ~kV4Compressed;
  if (f->duplicates) h->sequence = load_be32(bytes + 4);
  return true;
}

int64_t broken_record(int32_t code) {
  fs_fail(E_BROKEN, code);
  return -1;
}

// A record address in a data segment the file does not have: the file is
// broken, and the report names the segment that is missing.
bool known_segment(DorvexFile *f, SegAddr at) {
  if (f->version < 4 ? at.segment == 0
                     : at.segment < f->data.count && f->data.files[at.segment] >= 0)
    return true;
  const char *name = segment_name(f->name, kDataSegment, at.segment);
  fs_set_missing_file_name(name ? name : f->name);
  return fs_fail(E_BROKEN, kBrokenMissingSegment);
}

// A record read costs one system call where it can: when the record's data
// segment bypasses the pool (versions 4 and 5), its header is read together
// with the bytes that follow, as many as the largest stored form needs (up
// to kOneReadBytes), and the record is decoded from them when all its
// stored bytes came back. A read that ends early at the end of the segment
// is no error as long as the header arrived; what is missing is read as
// before. Through the pool the two reads cost no system call, and reading
// ahead would only load blocks nobody asked for, so that path stays as it is.
constexpr int32_t kOneReadBytes = 1024;

// A walk reads its records ahead (Bpread_ahead: a mapping of the segment,
// or a window that one pread fills with the records stored after this one)
// only while nobody can change them between the reads: this operation
// holds the update lock, or the open keeps other writers out. An unlocked
// reader checks every record against the index as it finds it, so it must
// read each from the file at that moment. The window is emptied whenever
// the header version moves on, as the pool's blocks are (Bset_version),
// and whenever this process writes the segment.
// In an open that keeps other writers out, every record read goes this way
// (a keyed read then costs no system call either): the mapping shows the
// file as pread would.
bool walk_ahead(const DorvexFile *f) {
  return keeps_writers_out(f) || (f->walking && f->header_held);
}

// The bytes of the record slot at `at` (at least the record header), read
// into `buffer` or, where the segment's mapping serves a read ahead and
// the stored bytes need no unscrambling in place, left in the mapping:
// *start is set to where they are. 0 when the record is to be read the
// usual way, or -1 with the error set.
int32_t read_slot_start(DorvexFile *f, SegAddr at, uint8_t *buffer, const uint8_t **start) {
  *start = buffer;
  if (f->version < 4 || at.segment >= f->data.count) return 0;
  int32_t file = f->data.files[at.segment];
  if (file < 0) return 0;
  int32_t header_size = record_header_size(f);
  int64_t want = static_cast<int64_t>(header_size) + f->max_record + kCompressedSlack;
  int32_t length = static_cast<int32_t>(std::min<int64_t>(want, kOneReadBytes));
  const int64_t offset = static_cast<uint32_t>(at.offset);
  const bool ahead = walk_ahead(f);
  int32_t r = 0;
  const uint8_t *mapped = nullptr;
  if (ahead && !f->scramble) {
    if (!data_span_held(f, at, static_cast<uint32_t>(header_size))) return -1;
    mapped = Bpeek_ahead(file, length, offset, &r);
  }
  if (mapped != nullptr) {
    *start = mapped;
  } else {
    if (!cache_bypasses_pool(file)) return 0;
    if (!data_span_held(f, at, static_cast<uint32_t>(header_size))) return -1;
    r = ahead ? Bpread_ahead(file, buffer, length, offset) : Bpread(file, buffer, length, offset);
    if (r == -1) return fs_fail(E_SYSERR), -1;
  }
  if (r < header_size) return fs_fail(E_BROKEN, kBrokenShortRead), -1;
  return r;
}

}  // namespace

int32_t record_header_size(const DorvexFile *f) {
  if (f->version >= 5) return kV5RecordHeader;
  if (f->version == 2) return f->duplicates ? 9 : 5;
  return f->duplicates ? 8 : 4;
}

// Version 3 spans skip the links of the data nodes they cross, so only
// their start is checked here; the walk stops at the file's end.
bool data_read(DorvexFile *f, SegAddr at, uint8_t *buffer, uint32_t length) {
  if (f->version < 4) {
    int64_t pos = static_cast<uint32_t>(at.offset);
    return data_span_held(f, at, 1) && v3_walk(f, &pos, buffer, length, Walk::kRead);
  }
  if (!known_segment(f, at) || !data_span_held(f, at, length)) return false;
  return read_at(f->data.files[at.segment], buffer, static_cast<uint32_t>(at.offset),
                 static_cast<int32_t>(length)) != 0;
}

bool data_write(DorvexFile *f, SegAddr at, const uint8_t *buffer, uint32_t length) {
  if (f->version < 4) {
    int64_t pos = static_cast<uint32_t>(at.offset);
    return data_span_held(f, at, 1) &&
           v3_walk(f, &pos, const_cast<uint8_t *>(buffer), length, Walk::kWrite);
  }
  if (!known_segment(f, at) || !data_span_held(f, at, length)) return false;
  return write_at(f->data.files[at.segment], buffer, static_cast<uint32_t>(at.offset),
                  static_cast<int32_t>(length)) != 0;
}

bool read_record_header(DorvexFile *f, SegAddr at, RecordHeader *h) {
  if (f->version < 4 && on_node_frame(f, static_cast<uint32_t>(at.offset)))
    return fs_fail(E_BROKEN, kBrokenV3Link);
  uint8_t bytes[kV5RecordHeader];
  if (!data_read(f, at, bytes, static_cast<uint32_t>(record_header_size(f)))) return false;
  if (!decode_header(f, bytes, h)) return fs_fail(E_BROKEN, kBrokenRecordHeader);
  if (f->version >= 5 || !h->deleted) return true;
  uint8_t link[6] = {};
  SegAddr data;
  if (!after_header(f, at, &data) ||
      !data_read(f, data, link, static_cast<uint32_t>(v4_link_size(f))))
    return false;
  if (f->version == 2) {
    h->next = SegAddr{static_cast<int32_t>(load_native(link, 4)), 0};
    return true;
  }
  h->next = SegAddr{static_cast<int32_t>(load_be32(link)),
                    f->version >= 4 ? load_be16(link + 4) : static_cast<uint16_t>(0)};
  return true;
}

bool next_slot_position(DorvexFile *f, SegAddr at, const RecordHeader &header, SegAddr *next) {
  uint32_t span = static_cast<uint32_t>(record_header_size(f)) + header.slot;
  if (f->version >= 4) {
    *next = SegAddr{static_cast<int32_t>(static_cast<uint32_t>(at.offset) + span), at.segment};
    return true;
  }
  int64_t pos = static_cast<uint32_t>(at.offset);
  if (!v3_walk(f, &pos, nullptr, span, Walk::kSkip)) return false;
  int64_t end = static_cast<uint32_t>(hget(f, kEndOfDataOffset));
  if (pos != end && pos % f->node_size == f->node_size - kV3Link) {
    int64_t linked;
    if (!v3_next_node(f, node_of(f, pos), false, &linked)) return false;
    pos = linked + 1;
  }
  *next = SegAddr{static_cast<int32_t>(pos), 0};
  return true;
}

bool add_record(DorvexFile *f, const uint8_t *record, uint32_t length, uint32_t sequence,
                SegAddr *at) {
  Stored s = make_stored(f, record, length, sequence);
  uint32_t slot = 0;
  bool reused = false;
  if (!try_reuse(f, s.length, at, &slot, &reused)) return false;
  if (!reused) {
    slot = slot_for(f, length, s);
    if (!append_room(f, static_cast<uint32_t>(record_header_size(f)) + slot, at)) return false;
  }
  if (!write_record(f, *at, slot, s, sequence)) return false;
  add_count(f, kRecordCount, 1);
  return true;
}

int64_t read_record(DorvexFile *f, SegAddr at, uint8_t *out, uint32_t *sequence) {
  uint8_t buffer[kOneReadBytes];
  const uint8_t *first;
  int32_t got = read_slot_start(f, at, buffer, &first);
  if (got < 0) return -1;
  RecordHeader h;
  const uint32_t header_size = static_cast<uint32_t>(record_header_size(f));
  if (got > 0 && f->version >= 5)
    decode_v5_header(f, first, &h);
  else if (got > 0)
    decode_header(f, first, &h);
  // A version 3 or 4 deleted record's link is in its data area: the usual
  // header read fetches it, with the errors it may meet.
  if (got == 0 || (h.deleted && f->version < 5)) {
    got = 0;
    if (!read_record_header(f, at, &h)) return -1;
  }
  if (h.deleted) return broken_record(kBrokenRecordDeleted);
  if (h.stored > h.slot) return broken_record(kBrokenRecordHeader);
  if (!h.compressed && h.stored > f->max_record) return broken_record(kBrokenRecordLength);
  if (h.stored > f->max_record + kCompressedSlack) return broken_record(kBrokenRecordHeader);
  uint32_t have = got > 0 ? std::min(static_cast<uint32_t>(got) - header_size, h.stored) : 0;
  // In the mapping only when nothing unscrambles it (read_slot_start).
  uint8_t *stored = const_cast<uint8_t *>(first) + header_size;
  if (have < h.stored) {
    stored = compressed_record_buffer();
    memcpy(stored, first + header_size, have);
    SegAddr data;
    if (!after_header(f, at, &data)) return -1;
    data.offset = static_cast<int32_t>(static_cast<uint32_t>(data.offset) + have);
    if (!data_read(f, data, stored + have, h.stored - have)) return -1;
  }
  if (f->scramble) unscramble(stored, static_cast<int32_t>(h.stored), seed_of(f, h.sequence));
  if (sequence != nullptr) *sequence = h.sequence;
  if (!h.compressed) {
    memcpy(out, stored, h.stored);
    return h.stored;
  }
  int32_t n = decompress_record(f->version, stored, static_cast<int32_t>(h.stored), out,
                                static_cast<int32_t>(f->max_record));
  if (n < 0) return broken_record(kBrokenRecordLength);
  return n;
}

void record_view(const DorvexFile *f, SegAddr at, RecordView *view) {
  *view = RecordView{};
  view->segment = at.segment;
  if (f->version < 4 || f->scramble || !keeps_writers_out(f) || at.segment >= f->data.count) return;
  view->map = Bmapped_view(f->data.files[at.segment], &view->valid);
  if (view->map == nullptr) return;
  int64_t span = static_cast<int64_t>(record_header_size(f)) + f->max_record;
  view->span = static_cast<int32_t>(std::min<int64_t>(span, kRecordHintSpan));
}

bool delete_record(DorvexFile *f, SegAddr at) {
  RecordHeader h;
  if (!read_record_header(f, at, &h)) return false;
  if (h.deleted) return fs_fail(E_BROKEN, kBrokenRecordDeleted);
  h.deleted = true;
  h.next = hget_addr(f, kDeletedHeadOffset, kDeletedHeadSeg);
  if (!write_header(f, at, h)) return false;
  hset_addr(f, kDeletedHeadOffset, kDeletedHeadSeg, at);
  add_count(f, kRecordCount, -1);
  add_count(f, kDeletedCount, 1);
  hset(f, kFailedReuses, 0);
  return true;
}

bool rewrite_record(DorvexFile *f, SegAddr at, const uint8_t *record, uint32_t length,
                    SegAddr *new_at) {
  RecordHeader old;
  if (!read_record_header(f, at, &old)) return false;
  if (old.deleted) return fs_fail(E_BROKEN, kBrokenRecordDeleted);
  Stored s = make_stored(f, record, length, old.sequence);
  if (s.length <= old.slot) {
    *new_at = at;
    return write_record(f, at, old.slot, s, old.sequence);
  }
  uint32_t slot = slot_for(f, length, s);
  if (!append_room(f, static_cast<uint32_t>(record_header_size(f)) + slot, new_at)) return false;
  if (!write_record(f, *new_at, slot, s, old.sequence)) return false;
  add_count(f, kRecordCount, 1);
  if (trace_on(kTraceInner)) eprintf("V: rewrite_rec(): vi_sub_rec()\n");
  return delete_record(f, at);
}

}  // namespace kel::indexed
