#include "storage/header.h"

#include <cerrno>
#include <cstring>

#include "cache/cache.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "storage/segments.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// V_LOCK_METHOD bits.
constexpr int16_t kLockHeaderChecked = 0x1;
constexpr int16_t kLockVerified = 0x2;

bool unlocked_allowed(const DorvexFile *f) {
  int16_t method = fs_settings().lock_method;
  if ((method & kLockHeaderChecked) && f->version >= 3) return true;
  return (method & kLockVerified) && f->version >= 4;
}

// The file table takes no update lock for a file opened deny-write or
// exclusive (Ahold_file only hands back the descriptor, Arelease_file finds
// nothing to release; the segments are opened with the open's flags): for
// such an open the flag alone stands for the lock.
bool take_lock(DorvexFile *f) {
  if (f->header_held) return true;
  if (!keeps_writers_out(f) && Ahold_file(f->data0, 1) < 0) return false;
  f->header_held = true;
  return true;
}

void drop_lock(DorvexFile *f) {
  if (!f->header_held) return;
  if (!keeps_writers_out(f)) Arelease_file(f->data0);
  f->header_held = false;
}

// The magic bytes never change, so the reader starts behind them. In a
// steady open the image read at open, which every change made through this
// open updates before writing it, is the header, and block 0 is not read
// again.
bool read_image(DorvexFile *f) {
  if (keeps_writers_out(f)) return true;
  constexpr int32_t kSkip = 4;
  return read_at(f->data0, f->header + kSkip, kSkip, f->header_size - kSkip) != 0;
}

bool write_image(DorvexFile *f) {
  return write_at(f->data0, f->header, 0, f->header_size) != 0;
}

void give_version_to_cache(DorvexFile *f, uint32_t version, bool drop) {
  for (SegmentSet *set : {&f->data, &f->index}) {
    for (int32_t n = 0; n < set->count; ++n) {
      if (set->files[n] < 0) continue;
      if (drop)
        Bset_version(set->files[n], version);
      else
        Bstore_version(set->files[n], version);
    }
  }
}

// Segments that other processes created since the last read, and the sizes
// that may have moved: segment 0 of each kind and the current data segment
// from the header, the last index segment (above 0) from its own header.
// A segment that is no longer the last one never changes size again; when
// one stops being the last, its final size is read once.
bool follow_segments(DorvexFile *f, bool version_moved) {
  if (f->version < 4) {
    f->data.sizes[0] = static_cast<uint32_t>(hget(f, kCurrentDataSegSize));
    return true;
  }
  int32_t data_high = static_cast<int32_t>(hget(f, kHighestDataSeg));
  int32_t index_high = static_cast<int32_t>(hget(f, kHighestIndexSeg));
  int32_t old_data = f->data.count, old_index = f->index.count;
  for (int32_t n = old_data; n <= data_high; ++n)
    if (!open_new_segment(f, kDataSegment, n)) return false;
  for (int32_t n = old_index; n <= index_high; ++n)
    if (!open_new_segment(f, kIndexSegment, n)) return false;
  if (data_high >= old_data && old_data - 1 >= 1 &&
      !refresh_segment_size(f, kDataSegment, old_data - 1))
    return false;
  if (index_high >= old_index && old_index - 1 >= 1 &&
      !refresh_segment_size(f, kIndexSegment, old_index - 1))
    return false;
  f->data.sizes[0] = static_cast<uint32_t>(hget(f, kDataSeg0Size));
  if (data_high >= 1)
    f->data.sizes[data_high] = static_cast<uint32_t>(hget(f, kCurrentDataSegSize));
  f->index.sizes[0] = static_cast<uint32_t>(hget(f, kIndexSeg0Size));
  if (version_moved && index_high >= 1 && !refresh_segment_size(f, kIndexSegment, index_high))
    return false;
  for (SegmentSet *set : {&f->data, &f->index})
    for (int32_t n = 0; n < set->count; ++n)
      if (set->reserved[n] < set->sizes[n]) set->reserved[n] = set->sizes[n];
  return true;
}

bool check_broken(DorvexFile *f, bool force) {
  uint8_t code = get_slot_low_byte(f->header, *f->layout, kBrokenCode);
  bool own_mark = code == kBrokenIncomplete && f->marked_incomplete;
  if (code != 0 && !own_mark && !force) return fs_fail(E_BROKEN, code);
  if (hget(f, kSequenceCounter) == 0xFFFFFFFFu) {
    if (f->for_update && code == 0) mark_broken(f, kBrokenSequence);
    if (!force) return fs_fail(E_BROKEN, kBrokenSequence);
  }
  return true;
}

// Everything after the bytes are in: cache versions, segments, key
// descriptions, broken codes, the update-open flag.
bool absorb_image(DorvexFile *f, HeaderAccess access, bool force) {
  // An image this open checked and nobody changed since: the cache has its
  // version, the segments and key descriptions follow it, its codes and
  // positions were sound.
  if (f->image_checked &&
      (access != HeaderAccess::kUpdate || !(fs_settings().lock_method & kLockHeaderChecked))) {
    f->image_sound = true;
    return true;
  }
  f->image_sound = false;
  uint32_t version = static_cast<uint32_t>(hget(f, kHeaderVersion));
  bool moved = version != f->last_header_version;
  give_version_to_cache(f, version, true);
  f->last_header_version = version;
  if (!follow_segments(f, moved)) return false;
  if (static_cast<uint32_t>(hget(f, kKeyDescVersion)) != f->key_desc_version &&
      !load_key_descriptions(f))
    return false;
  if (!check_broken(f, force) || !header_positions_sound(f)) return false;
  if (access == HeaderAccess::kUpdate && (fs_settings().lock_method & kLockHeaderChecked) != 0) {
    hset(f, kUpdateOpenFlag, 1);
    if (!write_image(f)) return false;
    f->header_for_update = true;
  }
  f->image_checked = f->image_sound = keeps_writers_out(f) && !force;
  return true;
}

}  // namespace

uint64_t hget(const DorvexFile *f, Slot s) {
  return get_slot(f->header, *f->layout, s);
}
void hset(DorvexFile *f, Slot s, uint64_t value) {
  f->image_checked = false;
  set_slot(f->header, *f->layout, s, value);
}
SegAddr hget_addr(const DorvexFile *f, Slot offset, Slot segment) {
  return SegAddr{static_cast<int32_t>(static_cast<uint32_t>(hget(f, offset))),
                 static_cast<uint16_t>(hget(f, segment))};
}
void hset_addr(DorvexFile *f, Slot offset, Slot segment, SegAddr at) {
  hset(f, offset, static_cast<uint32_t>(at.offset));
  hset(f, segment, at.segment);
}

// The reader of every header access. An unlocked reader that finds a
// writer at work (update-open flag) waits for it by taking the lock, and
// reads again under it.
bool header_read(DorvexFile *f, HeaderAccess access, uint32_t flags) {
  HeaderCounters &c = f->header_counters;
  // The common case of a steady open's reads (every record of a walk): a
  // locked read of an image this open checked, which the general path
  // below would count, lock by the flag alone, not read and not absorb.
  if (access == HeaderAccess::kRead && flags == 0 && f->image_checked && keeps_writers_out(f) &&
      !f->header_held && !fs_settings().force_open && !unlocked_allowed(f)) {
    ++c.locked_reads;
    f->header_held = true;
    f->image_sound = true;
    return true;
  }
  bool force = (flags & kHeaderForce) || fs_settings().force_open;
  bool ok;
  bool unlocked = access == HeaderAccess::kRead && !(flags & kHeaderRetry) && !f->header_held &&
                  unlocked_allowed(f);
  if (unlocked) {
    ++c.unlocked_reads;
    ok = read_image(f);
    if (ok && header_update_in_progress(f)) {
      ++c.unlocked_waited;
      ok = take_lock(f) && read_image(f);
    }
  } else {
    if (flags & kHeaderRetry) ++c.unlocked_retried;
    if (access == HeaderAccess::kUpdate)
      ++c.updates;
    else
      ++c.locked_reads;
    ok = take_lock(f) && read_image(f);
  }
  if (ok) ok = absorb_image(f, access, force);
  // An unlocked reader can catch a writer half-way through its header
  // write: positions that look out of place are read again under the lock
  // before they count as damage.
  if (!ok && unlocked && !f->header_held && *fs_error_code() == E_BROKEN &&
      *fs_error_secondary() == kBrokenPosition)
    ok = take_lock(f) && read_image(f) && absorb_image(f, access, force);
  if (!ok) {
    KeptErrors saved;
    header_release(f);
  }
  return ok;
}

void header_mark_changed(DorvexFile *f) {
  f->header_changed = true;
}

bool header_write(DorvexFile *f) {
  uint32_t version = static_cast<uint32_t>(hget(f, kHeaderVersion));
  if (f->header_changed) ++version;
  hset(f, kHeaderVersion, version);
  hset(f, kUpdateOpenFlag, 0);
  if (!write_image(f)) return false;
  f->header_changed = false;
  f->header_for_update = false;
  f->last_header_version = version;
  give_version_to_cache(f, version, false);
  // A steady open that found the image sound at this operation's header
  // access and changed it only itself since: the image it wrote is the
  // header, with the cache's version, the segments it opened and the key
  // descriptions it wrote, so the next access has nothing to read or check
  // again. A broken mark (other than this open's own incomplete mark) or
  // the exhausted sequence counter is the exception: the next access must
  // stop on it.
  uint8_t code = get_slot_low_byte(f->header, *f->layout, kBrokenCode);
  bool own_mark = code == kBrokenIncomplete && f->marked_incomplete;
  if (f->image_sound && (code == 0 || own_mark) && hget(f, kSequenceCounter) != 0xFFFFFFFFu)
    f->image_checked = true;
  return true;
}

void header_distrust(DorvexFile *f) {
  f->image_checked = f->image_sound = false;
}

void header_release(DorvexFile *f) {
  if (f->header_for_update) {
    KeptErrors saved;
    header_write(f);
  }
  f->header_for_update = false;
  f->header_changed = false;
  drop_lock(f);
}

bool header_update_in_progress(const DorvexFile *f) {
  return get_slot_low_byte(f->header, *f->layout, kUpdateOpenFlag) != 0;
}

void mark_broken(DorvexFile *f, int32_t code) {
  hset(f, kBrokenCode, static_cast<uint8_t>(code));
  const int32_t at = f->layout->offset[kBrokenCode];
  KeptErrors saved;
  write_at(f->data0, f->header + at, at, f->layout->width[kBrokenCode]);
}

void decode_key_description(const HeaderLayout &l, const uint8_t *bytes, KeyDesc *key) {
  *key = KeyDesc{};
  key->root_offset = static_cast<uint32_t>(get_slot(bytes, l, kKdRootOffset));
  key->root_segment = static_cast<uint16_t>(get_slot(bytes, l, kKdRootSeg));
  key->height = static_cast<uint8_t>(get_slot(bytes, l, kKdHeight));
  key->segments = static_cast<uint8_t>(get_slot(bytes, l, kKdSegments));
  key->duplicates = static_cast<uint8_t>(get_slot(bytes, l, kKdDuplicates));
  key->length = static_cast<uint8_t>(get_slot(bytes, l, kKdKeyLength));
  int max_segments = max_key_segments(l.version);
  if (key->segments > max_segments) key->segments = static_cast<uint8_t>(max_segments);
  int distance = l.offset[kKdSegDistance];
  for (int s = 0; s < key->segments; ++s) {
    key->segment_size[s] = bytes[l.offset[kKdSeg0Size] + s * distance];
    key->segment_offset[s] = static_cast<uint32_t>(
        load_field(l, bytes + l.offset[kKdSeg0Offset] + s * distance, l.width[kKdSeg0Offset]));
  }
}

void encode_key_description(const HeaderLayout &l, const KeyDesc &key, uint8_t *bytes) {
  memset(bytes, 0, static_cast<size_t>(l.offset[kKeyDescSize]));
  set_slot(bytes, l, kKdRootOffset, key.root_offset);
  set_slot(bytes, l, kKdRootSeg, key.root_segment);
  set_slot(bytes, l, kKdHeight, key.height);
  set_slot(bytes, l, kKdSegments, key.segments);
  set_slot(bytes, l, kKdDuplicates, key.duplicates);
  set_slot(bytes, l, kKdKeyLength, key.length);
  int distance = l.offset[kKdSegDistance];
  for (int s = 0; s < key.segments; ++s) {
    bytes[l.offset[kKdSeg0Size] + s * distance] = key.segment_size[s];
    store_field(l, bytes + l.offset[kKdSeg0Offset] + s * distance, l.width[kKdSeg0Offset],
                key.segment_offset[s]);
  }
}

// The descriptions fill the header blocks; they are read in one piece.
bool load_key_descriptions(DorvexFile *f) {
  const HeaderLayout &l = *f->layout;
  int32_t bytes = header_blocks_for_keys(l, f->key_count) * kHeaderBlock;
  MemPtr<uint8_t> blocks;
  if (!blocks.allocate(static_cast<size_t>(bytes), "dorvex header blocks")) return false;
  uint32_t version = static_cast<uint32_t>(hget(f, kKeyDescVersion));
  if (!read_at(f->data0, blocks.get(), 0, bytes)) return false;
  for (int k = 0; k < f->key_count; ++k) {
    decode_key_description(l, blocks.get() + key_description_offset(l, k), &f->keys[k]);
    if (!key_description_valid(f->keys[k], f->version, f->max_record))
      return fs_fail(E_BROKEN, kBrokenHeader);
  }
  f->key_desc_version = version;
  return true;
}

// Root offset, root segment and height lie at the start of a description
// in every version and are written in one piece.
bool store_key_root(DorvexFile *f, int key) {
  const HeaderLayout &l = *f->layout;
  uint8_t bytes[128];
  encode_key_description(l, f->keys[key], bytes);
  int32_t length = l.offset[kKdHeight] + 1;
  if (!write_at(f->data0, bytes, key_description_offset(l, key), length)) return false;
  uint32_t version = static_cast<uint32_t>(hget(f, kKeyDescVersion)) + 1;
  hset(f, kKeyDescVersion, version);
  f->key_desc_version = version;
  header_mark_changed(f);
  return true;
}

}  // namespace kel::indexed
