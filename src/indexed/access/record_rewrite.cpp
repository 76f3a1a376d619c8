// Rewriting a record (v5i_rewrite): the record with the new image's
// primary key gets the new image, of any length between the minimum and
// maximum record size.
//
// The record keeps its duplicate sequence number, so a record whose
// alternate value changes takes its place among the records with the new
// value in the order in which they were first written, not at the end.
// Key entries change only where needed: a key whose search key (length,
// key number and translated bytes) is the same for the stored and the new
// image keeps its entry, unless the record moved, in which case every
// entry must point to the new address.
//
// Order of the work, and what a failure leaves:
//   1. everything that can refuse the rewrite without a change: the mode,
//      the length, the record (E_NOT_FOUND), another process's lock
//      (E_REC_LOCKED), and, for every changed alternate key that does not
//      allow duplicates, a record that already has the new value
//      (E_DUPLICATE): the file is exactly as it was;
//   2. the new image is stored: in place when its stored form fits the
//      old slot, else at the end of data with the old slot deleted; a lock
//      this file holds on the record follows it;
//   3. the changed entries are removed and added again. A failure from
//      step 2 on is not undone (E_BROKEN marks the file).
#include <cstring>

#include "access/access.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "access/transaction.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/records.h"
#include "storage/shared_buffers.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// The stored record the rewrite replaces: its address, image and sequence.
struct Stored {
  SegAddr at = kNullAddr;
  uint8_t *image = nullptr;
  uint32_t length = 0;
  uint32_t sequence = 0;
};

// Reads the stored record, locking it as the log wants: kept (a write
// lock) while a transaction or the log's locking setting asks for it,
// otherwise only tested, so that another process's lock refuses the
// rewrite.
bool read_stored(DorvexFile *f, Stored *s) {
  s->image = standard_record_buffer();
  bool keep = keeps_change_locks(f);
  int64_t n = vi_read_rec(f, s->image, s->at, keep ? kLockTake : kLockTest,
                          static_cast<uint8_t>(keep ? kLockByWrite : 0), &s->sequence);
  if (n < 0) return false;
  s->length = static_cast<uint32_t>(n);
  return true;
}

// Fills unchanged[k] for every key and refuses a changed value of a
// unique alternate key that another record has.
bool compare_keys(DorvexFile *f, const uint8_t *record, const Stored &s, bool *unchanged) {
  TreeContext *t = tree_of(f);
  unchanged[0] = true;
  for (int k = 1; k < f->key_count; ++k) {
    uint8_t now[kSearchKeySize], before[kSearchKeySize];
    build_search_key(f, k, record, now);
    build_search_key(f, k, s.image, before);
    unchanged[k] = memcmp(now, before, static_cast<size_t>(now[0]) + 1) == 0;
    if (unchanged[k] || f->keys[k].duplicates) continue;
    NodePosition pos;
    int result = vi_find_key(t, now, 0, &pos);
    if (result == SR_ERROR) return false;
    if (result > SR_GREATER) return fs_fail(E_DUPLICATE);
  }
  return true;
}

// Moves the entries of the changed keys (all keys when the record moved)
// from the stored image's values to the new image's.
bool rekey(DorvexFile *f, const uint8_t *record, const Stored &s, SegAddr at, const bool *unchanged,
           bool moved, bool *shared) {
  TreeContext *t = tree_of(f);
  SegAddr pointer{-at.offset, at.segment};
  for (int k = 0; k < f->key_count; ++k) {
    if (unchanged[k] && !moved) continue;
    uint32_t dup = f->keys[k].duplicates ? s.sequence : 0;
    uint8_t search[kSearchKeySize];
    build_search_key(f, k, s.image, search);
    if (trace_on(kTraceInner)) eprintf("V: v5i_rewrite(): Subtracting key #%d\n", k);
    if (!key_sub(t, search, dup)) return false;
    build_search_key(f, k, record, search);
    t->equal_seen = false;
    if (trace_on(kTraceInner)) eprintf("V: v5i_rewrite(): Adding key #%d\n", k);
    if (!key_add(t, search, dup, pointer, f->keys[k].duplicates != 0)) return false;
    if (t->equal_seen) *shared = true;
  }
  return true;
}

// Hands the rewrite to the transaction log while one is open.
bool log_rewrite(DorvexFile *f, const uint8_t *record, uint32_t length, const Stored &s) {
  if (!in_transaction()) return true;
  const IndexedLog *log = indexed_log();
  if (log->log_rewrite != nullptr && log->log_rewrite(f, record, length, s.image, s.length))
    return true;
  return fs_fail(E_LOG_REFUSED);
}

bool rewrite(Operation &op, DorvexFile *f, const uint8_t *record, uint32_t length, bool *shared) {
  if (!begin_record_change(op, f, record)) return false;
  Stored s;
  if (!locate_record_to_change(f, record, &length, &s.at)) return false;
  if (!read_stored(f, &s)) return false;
  clear_last_record(f);
  bool unchanged[kMaxKeys];
  if (!compare_keys(f, record, s, unchanged)) return false;
  SegAddr at;
  if (!rewrite_record(f, s.at, record, length, &at)) return false;
  bool moved = !(at == s.at);
  if (moved) move_record_lock(f, s.at, at);
  if (!rekey(f, record, s, at, unchanged, moved, shared)) return false;
  return header_write(f) && log_rewrite(f, record, length, s);
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t v5i_rewrite(DorvexFile *file, const uint8_t *record, uint32_t length) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, true);
  bool shared = false;
  bool ok = rewrite(op, file, record, length, &shared);
  return change_result(op, ok, shared);
}
