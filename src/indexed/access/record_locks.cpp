#include "access/record_locks.h"

#include <cstring>

#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/header.h"
#include "storage/records.h"
#include "storage/segments.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

constexpr int32_t kLockListFull = 3;  // secondary code of E_LOCK_TABLE_FULL
constexpr int32_t kV3Link = 4;        // bytes of the link ending a v3 data node
constexpr int32_t kNoLockSharing = A_DENY_WRITE | A_EXCLUSIVE;

// The file number holding the record at `at`; -1 with E_BROKEN 68 when the
// file has no such data segment.
int32_t record_file(DorvexFile *f, SegAddr at) {
  if (f->version < 4) return f->data0;
  if (at.segment < f->data.count && f->data.files[at.segment] >= 0)
    return f->data.files[at.segment];
  const char *name = segment_name(f->name, kDataSegment, at.segment);
  fs_set_missing_file_name(name ? name : f->name);
  fs_fail(E_BROKEN, kBrokenMissingSegment);
  return -1;
}

void os_unlock(DorvexFile *f, SegAddr at) {
  int32_t file = record_file(f, at);
  if (file >= 0) Arec_lock(file, at.offset, 0);
}

int find_lock(const LockList &l, SegAddr at) {
  for (int i = 0; i < l.count; ++i)
    if (l.entries[i].offset == at.offset && l.entries[i].segment == at.segment) return i;
  return -1;
}

void remove_entry_at(LockList &l, int i) {
  l.entries[i] = l.entries[l.count - 1];
  --l.count;
}

bool takes_locks(const DorvexFile *f, int lock_mode) {
  return lock_mode != kLockNone && (f->mode & A_ACCESS_MASK) != A_INPUT &&
         !(f->mode & kNoLockSharing);
}

// Step 3 of vi_read_rec: the lock. *taken tells whether this call added a
// lock to the list, *held whether the list holds one on the record now.
bool lock_record(DorvexFile *f, SegAddr at, int lock_mode, uint8_t flags, bool *taken, bool *held) {
  *taken = *held = false;
  LockList &l = *f->locks;
  int i = find_lock(l, at);
  // A test of a record this file holds itself passes: unlocking after the
  // test would drop the lock the file holds.
  if (i >= 0 && (l.limit >= 2 || lock_mode != kLockTake)) {
    if (lock_mode == kLockTake) l.entries[i].flags |= flags;
    *held = lock_mode == kLockTake;
    return true;
  }
  int32_t file = record_file(f, at);
  if (file < 0) return false;
  // A test needs no place in the list.
  if (lock_mode != kLockTake) {
    if (Arec_lock(file, at.offset, 1) < 0) return false;
    Arec_lock(file, at.offset, 0);
    return true;
  }
  if (l.count >= l.limit) {
    return fs_fail(E_LOCK_TABLE_FULL, kLockListFull);
  }
  if (Arec_lock(file, at.offset, 1) < 0) return false;
  l.entries[l.count++] = LockEntry{at.offset, at.segment, flags};
  *taken = *held = true;
  return true;
}

bool same_header(const RecordHeader &a, const RecordHeader &b) {
  return a.slot == b.slot && a.stored == b.stored && a.deleted == b.deleted &&
         a.set_aside == b.set_aside && a.compressed == b.compressed && a.sequence == b.sequence;
}

void detection(DorvexFile *f, int32_t code) {
  ReaderCounters &c = f->reader_counters;
  if (code == kBrokenRecordDeleted) {
    ++c.detections_81;
    if (tree_of(f)->debug_output) eprintf(">>AR DBG vi_read_rec 98,81() interception\n");
  } else {
    ++c.detections_82;
    if (tree_of(f)->debug_output) eprintf(">>AR DBG vi_read_rec 98,82() interception\n");
  }
}

// Verified mode: the record is read between two reads of its header; what
// a writer may be changing meanwhile shows as one of three conditions.
int64_t read_verified(DorvexFile *f, uint8_t *record, SegAddr at, uint32_t *sequence) {
  RecordHeader before, after;
  if (!read_record_header(f, at, &before)) return -1;
  if (before.deleted || before.set_aside) {
    detection(f, kBrokenRecordDeleted);
    return fs_fail(E_BROKEN, kBrokenRecordDeleted), -1;
  }
  if (before.stored > before.slot) {
    detection(f, kBrokenRecordHeader);
    return fs_fail(E_BROKEN, kBrokenRecordHeader), -1;
  }
  int64_t length = read_record(f, at, record, sequence);
  if (length < 0) {
    int32_t code = *fs_error_secondary();
    if (*fs_error_code() == E_BROKEN &&
        (code == kBrokenRecordDeleted || code == kBrokenRecordHeader))
      detection(f, code);
    return -1;
  }
  if (!read_record_header(f, at, &after)) return -1;
  if (!same_header(before, after)) {
    ++f->reader_counters.read_rec_mismatches;
    if (tree_of(f)->debug_output) eprintf(">>AR DBG vi_read_rec() mismatch\n");
    return fs_fail(E_BROKEN, kBrokenRecordHeader), -1;
  }
  return length;
}

}  // namespace

void release_auto_lock(DorvexFile *f) {
  LockList &l = *f->locks;
  if (l.keep) return;
  for (int i = 0; i < l.count; ++i) {
    if (l.entries[i].flags & kLockAutoRelease) {
      os_unlock(f, SegAddr{l.entries[i].offset, l.entries[i].segment});
      remove_entry_at(l, i);
      return;
    }
  }
}

void release_all_locks(DorvexFile *f, bool keep_write_locks) {
  LockList &l = *f->locks;
  KeptErrors saved;
  for (int i = 0; i < l.count;) {
    LockEntry &e = l.entries[i];
    if (keep_write_locks && (e.flags & kLockByWrite)) {
      e.flags &= static_cast<uint8_t>(~kLockAutoRelease);
      ++i;
      continue;
    }
    os_unlock(f, SegAddr{e.offset, e.segment});
    remove_entry_at(l, i);
  }
}

void release_record_lock(DorvexFile *f, SegAddr at) {
  LockList &l = *f->locks;
  int i = find_lock(l, at);
  if (i < 0) return;
  KeptErrors saved;
  os_unlock(f, at);
  remove_entry_at(l, i);
}

void move_record_lock(DorvexFile *f, SegAddr from, SegAddr to) {
  LockList &l = *f->locks;
  int i = find_lock(l, from);
  if (i < 0) return;
  KeptErrors saved;
  os_unlock(f, from);
  int32_t file = record_file(f, to);
  if (file >= 0 && Arec_lock(file, to.offset, 1) == 0) {
    l.entries[i].offset = to.offset;
    l.entries[i].segment = to.segment;
    return;
  }
  remove_entry_at(l, i);
}

void clear_last_record(DorvexFile *f) {
  f->read->last_record = kNullAddr;
}

int primary_key_bytes(const DorvexFile *f, const uint8_t *record, uint8_t *out) {
  return build_key(f->keys[0], record, nullptr, out);
}

int primary_key_of(const DorvexFile *file, const uint8_t *record, uint8_t *out) {
  return primary_key_bytes(file, record, out);
}

void place_primary_key(const DorvexFile *file, const uint8_t *key, uint8_t *record) {
  key_to_record_bytes(file->keys[0], key, nullptr, record);
}

int64_t vi_read_rec(DorvexFile *f, uint8_t *record, SegAddr at, int lock_mode, uint8_t flags,
                    uint32_t *sequence) {
  release_auto_lock(f);
  clear_last_record(f);
  // In version 3 the last bytes of a data node link it to the next one:
  // no record can start there.
  if (f->version < 4 && static_cast<uint32_t>(at.offset) % static_cast<uint32_t>(f->node_size) ==
                            static_cast<uint32_t>(f->node_size - kV3Link))
    return fs_fail(E_BROKEN, kBrokenV3Link), -1;
  bool taken = false, held = false;
  if (takes_locks(f, lock_mode) && !lock_record(f, at, lock_mode, flags, &taken, &held)) return -1;
  if (record == nullptr) return 0;
  int64_t length = tree_of(f)->verified ? read_verified(f, record, at, sequence)
                                        : read_record(f, at, record, sequence);
  if (length < 0) {
    if (taken) release_record_lock(f, at);
    return -1;
  }
  // Only a rewrite or delete looks at the last record, and only an
  // input-output open may make one: an input open's walk skips the key.
  if ((held || (f->mode & kNoLockSharing)) && (f->mode & A_ACCESS_MASK) != A_INPUT) {
    ReadState &r = *f->read;
    r.last_record = at;
    primary_key_bytes(f, record, r.last_key);
  }
  return length;
}

}  // namespace kel::indexed
