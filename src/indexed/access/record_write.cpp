// Adding a record (v5i_write): the record goes into the data area, then
// one entry into the tree of every key, in key order. A key that cannot be
// added takes back the entries already added and the record itself, so a
// write that meets a duplicate primary key leaves the file's records and
// keys as they were (the trees' node layout may differ: removing entries
// may combine nodes that the additions split).
//
// Transactions: inside one on a file that takes part in transactions
// (0x4000), or when the log's locking setting asks for it, the new record
// is locked as a write (kept in the lock list) before its keys are added,
// so that no other process sees it before the transaction ends; the
// write is handed to the log (IndexedLog) after it succeeded. While the
// log rolls back or recovers, the write passes the open-mode check.
#include <cstring>

#include "access/access.h"
#include "access/bulk.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "access/transaction.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/records.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

uint32_t dup_number(const DorvexFile *f, int key, uint32_t sequence) {
  return f->keys[key].duplicates ? sequence : 0;
}

// Removes the entries of keys `count` - 1 down to 0 and the record: the
// undo of a write whose key `count` could not be added.
bool take_back(DorvexFile *f, const uint8_t *record, int count, uint32_t sequence, SegAddr at) {
  TreeContext *t = tree_of(f);
  for (int k = count - 1; k >= 0; --k) {
    uint8_t search[kSearchKeySize];
    build_search_key(f, k, record, search);
    if (trace_on(kTraceInner)) eprintf("V: v5i_write(): Subtracting key #%d\n", k);
    if (!key_sub(t, search, dup_number(f, k, sequence))) return false;
  }
  if (trace_on(kTraceInner)) eprintf("V: v5i_write(): vi_sub_rec()\n");
  return delete_record(f, at) && header_write(f);
}

// Hands the write to the transaction log while one is open.
bool log_write(DorvexFile *f, const uint8_t *record, uint32_t length) {
  if (!in_transaction()) return true;
  const IndexedLog *log = indexed_log();
  if (log->log_write != nullptr && log->log_write(f, record, length)) return true;
  return fs_fail(E_LOG_REFUSED);
}

// `restore`: the sequence number of a record put back by the log's undo;
// null for a new record, which takes the file's counter.
bool write(Operation &op, DorvexFile *f, const uint8_t *record, uint32_t length, bool *shared,
           const uint32_t *restore = nullptr) {
  if (record == nullptr) {
    return fs_fail(E_PARAM);
  }
  // The mode is checked before the header is taken for an update: a file
  // open for input may not even be writable.
  if ((f->mode & A_ACCESS_MASK) == A_INPUT && !log_undoing()) {
    return fs_fail(E_MODE_CLASH);
  }
  clear_prefetch(*f->read);
  if (f->bulk_running) op.keep_bulk_waiting();
  if (!op.begin(HeaderAccess::kUpdate)) return false;
  header_mark_changed(f);
  release_auto_lock(f);
  clear_last_record(f);
  if (length == 0) length = f->max_record;
  if (length < f->min_record || length > f->max_record) {
    return fs_fail(E_PARAM);
  }
  uint32_t counter = static_cast<uint32_t>(hget(f, kSequenceCounter));
  uint32_t sequence = restore ? *restore : counter;
  if (trace_on(kTraceInner)) eprintf("V: v5i_write(): add_rec()\n");
  SegAddr at;
  if (!add_record(f, record, length, sequence, &at)) return false;
  if (keeps_change_locks(f) && vi_read_rec(f, nullptr, at, kLockTake, kLockByWrite) < 0) {
    KeptErrors saved;
    if (trace_on(kTraceInner)) eprintf("V: v5i_write(): vi_sub_rec()\n");
    if (delete_record(f, at)) header_write(f);
    return false;
  }
  if (f->bulk_running) {
    // Bulk addition (bulk.h): the keys come later, all at once.
    bulk_queue(f, at);
    hset(f, kSequenceCounter, counter + 1);
    return header_write(f);
  }
  SegAddr pointer{-at.offset, at.segment};
  TreeContext *t = tree_of(f);
  for (int k = 0; k < f->key_count; ++k) {
    uint8_t search[kSearchKeySize];
    build_search_key(f, k, record, search);
    t->equal_seen = false;
    if (trace_on(kTraceInner)) eprintf("V: v5i_write(): Adding key #%d\n", k);
    bool duplicates = f->keys[k].duplicates != 0;
    if (!key_add(t, search, dup_number(f, k, sequence), pointer, duplicates)) {
      // Damage stops everything: nothing more is touched.
      if (*fs_error_code() == E_BROKEN) return false;
      int16_t code = *fs_error_code();
      int32_t secondary = *fs_error_secondary();
      release_record_lock(f, at);
      if (!take_back(f, record, k, sequence, at)) return false;
      return fs_fail(code, secondary);
    }
    if (t->equal_seen) *shared = true;
  }
  if (!restore) hset(f, kSequenceCounter, counter + 1);
  return header_write(f) && log_write(f, record, length);
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t v5i_write(DorvexFile *file, const uint8_t *record, uint32_t length) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, true);
  bool shared = false;
  bool ok = write(op, file, record, length, &shared);
  return change_result(op, ok, shared);
}

extern "C" int32_t v5i_restore(DorvexFile *file, const uint8_t *record, uint32_t length,
                               uint32_t sequence) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, true);
  bool shared = false;
  bool ok = write(op, file, record, length, &shared, &sequence);
  return change_result(op, ok, shared);
}
