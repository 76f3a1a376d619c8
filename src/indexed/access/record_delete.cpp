// Deleting a record (v5i_delete): the stored record is read to learn all
// of its key values, one entry is removed from every key's tree (by the
// record's own duplicate number in keys that allow duplicates, so that
// records sharing a value keep theirs), and the record goes to the deleted
// chain. A failure after the first entry was removed leaves the record
// partly unindexed; E_BROKEN then marks the file.
//
// Transactions: the delete is handed to the log (IndexedLog) with the
// primary key and the stored record after it succeeded. Inside a
// transaction on a file that takes part in transactions (0x4000) the
// deleted record's lock is kept as a write lock until the transaction
// ends, like the locks of written and rewritten records, so that the
// place cannot be taken over by another process before a rollback puts
// the record back. While the log rolls back or recovers, the delete
// passes the open-mode check.
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

// Shared with the rewrite (operation.h). The length is checked after the
// record-lock and last-record fields were dealt with, before any search.
bool locate_record_to_change(DorvexFile *f, const uint8_t *record, uint32_t *length, SegAddr *at) {
  ReadState &r = *f->read;
  uint8_t key[kKeyLengthLimit];
  int n = primary_key_bytes(f, record, key);
  bool use_last = !(r.last_record == kNullAddr) && memcmp(key, r.last_key, n) == 0;
  *at = r.last_record;
  release_auto_lock(f);
  clear_last_record(f);
  if (length != nullptr) {
    if (*length == 0) *length = f->max_record;
    if (*length < f->min_record || *length > f->max_record) return fs_fail(E_PARAM);
  }
  if (use_last) return true;
  uint8_t search[kSearchKeySize];
  build_search_key(f, 0, record, search);
  TreeContext *t = tree_of(f);
  NodePosition pos;
  int result = vi_find_key(t, search, 0, &pos);
  if (result == SR_ERROR) return false;
  bool found = f->keys[0].duplicates ? result >= SR_EQUAL : result == SR_EXACT;
  if (!found) return fs_fail(E_NOT_FOUND);
  if (!record_of_pointer(vi_entry_pointer(t, pos.offset), at))
    return fs_fail(E_BROKEN, kBrokenPosition);
  return true;
}

namespace {

// Hands the delete to the transaction log while one is open: the primary
// key of the caller's record and the stored record.
bool log_delete(DorvexFile *f, const uint8_t *record, const uint8_t *stored, uint32_t length,
                uint32_t sequence) {
  if (!in_transaction()) return true;
  const IndexedLog *log = indexed_log();
  uint8_t key[kKeyLengthLimit];
  int n = primary_key_bytes(f, record, key);
  if (log->log_delete != nullptr &&
      log->log_delete(f, key, static_cast<uint32_t>(n), stored, length, sequence))
    return true;
  return fs_fail(E_LOG_REFUSED);
}

bool delete_one(Operation &op, DorvexFile *f, const uint8_t *record) {
  if (!begin_record_change(op, f, record)) return false;
  SegAddr at;
  if (!locate_record_to_change(f, record, nullptr, &at)) return false;
  uint8_t *stored = standard_record_buffer();
  uint32_t sequence = 0;
  bool keep = keeps_change_locks(f);
  int64_t read =
      vi_read_rec(f, stored, at, kLockTake, keep ? kLockByWrite : kLockAutoRelease, &sequence);
  if (read < 0) return false;
  uint32_t stored_length = static_cast<uint32_t>(read);
  if (!keep) release_record_lock(f, at);
  clear_last_record(f);
  TreeContext *t = tree_of(f);
  for (int k = 0; k < f->key_count; ++k) {
    uint8_t search[kSearchKeySize];
    build_search_key(f, k, stored, search);
    if (trace_on(kTraceInner)) eprintf("V: v5i_delete(): Subtracting key #%d\n", k);
    if (!key_sub(t, search, f->keys[k].duplicates ? sequence : 0)) return false;
  }
  if (trace_on(kTraceInner)) eprintf("V: v5i_delete(): vi_sub_rec()\n");
  return delete_record(f, at) && header_write(f) &&
         log_delete(f, record, stored, stored_length, sequence);
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t v5i_delete(DorvexFile *file, const uint8_t *record) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, true);
  bool ok = delete_one(op, file, record);
  op.finish(ok);
  return ok ? 1 : 0;
}
