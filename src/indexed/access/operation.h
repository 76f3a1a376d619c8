// The frame of every record operation on an open indexed file: the header
// access at its start, the unlocked-read modes it runs in, and the end that
// every path goes through.
//
// Unlocked reads (V_LOCK_METHOD): operations that may read without the
// header lock (v5_read, v5_next, v5_nkrnext, v5_unlock) ask for
// HeaderAccess::kRead. When the header reader lets them go unlocked:
//   - bit value 1 (version 3 and later): header-checked mode. After the
//     work, the header is read again without the lock; an update in
//     progress or a header version other than the one read at the start
//     means a writer was at work, and the operation starts again.
//   - bit value 2 (version 4 and later): verified mode. The tree search,
//     the record reads and the sequential reads check what they see
//     against each other (btree.h, record_locks.h, reading.h) and ask for
//     a new start on any mismatch.
// A new start reads the header under the lock (counted as a retry by the
// header reader) with the node image discarded, so every operation is
// retried unlocked at most once. An unlocked attempt that finds the file
// damaged always starts again under the lock before it reports the damage.
//
// The end: when the operation fails with E_BROKEN on a file open for
// writing, the secondary code goes into the header's broken-code field so
// that every later access fails alike; an operation that only reads does
// so only with V_MARK_READ_CORRUPT. Then the header is released and the
// node image address cleared (the node buffer is shared by all files).
#pragma once

#include <cstdint>

#include "access/access_state.h"
#include "storage/header.h"

namespace kel::indexed {

class Operation {
 public:
  // Clears the primary error. `writer`: the operation changes the file.
  Operation(DorvexFile *f, bool writer);
  ~Operation() { finish(true); }
  Operation(const Operation &) = delete;
  Operation &operator=(const Operation &) = delete;

  // Reads the header. `retry`: a new start after a failed unlocked try.
  // Keys that bulk addition keeps waiting are added first (bulk.h),
  // unless the operation is a write that adds one more record in bulk.
  bool begin(HeaderAccess access, bool retry = false);
  void keep_bulk_waiting() { keep_bulk_waiting_ = true; }
  // The operation, since its last begin, called nothing of the tree layer
  // (a walk's record taken from the prefetch slots): a successful end
  // leaves the tree state as the previous end left it, with no node
  // image, path, temporary buffer or finding to clear or collect (only the
  // read modes begin handed the tree are taken back).
  void tree_untouched() { tree_untouched_ = true; }
  // Ends the operation (idempotent); `ok` false marks a broken file.
  void finish(bool ok);

  bool unlocked() const { return header_checked_ || verified_; }
  bool header_checked() const { return header_checked_; }
  bool verified() const { return verified_; }
  bool debug_output() const { return debug_; }
  // Header-checked mode: the header, read again without the lock, shows a
  // writer at work or a version other than the one read at the start.
  bool header_moved();
  // A header-checked attempt that met a damaged-looking file (E_BROKEN):
  // a writer whose own V_LOCK_METHOD lacks bit value 1 never raises the
  // update-in-progress flag, so header_moved() cannot see it at work. The
  // damage is believed only when the locked new start finds it again.
  bool fault_needs_confirming() const;

 private:
  DorvexFile *f_;
  bool writer_;
  bool keep_bulk_waiting_ = false;
  bool tree_untouched_ = false;
  bool begun_ = false;
  bool finished_ = false;
  bool header_checked_ = false;
  bool verified_ = false;
  bool debug_ = false;
};

// The start of a rewrite or a delete, which change a record already in the
// file: the record's image must be given, the prefetched record is
// dropped, and the mode is checked before the header is taken for an
// update (a file open for input may not even be writable; a refusal also
// ends the automatic lock and the last record read, as any failed access
// of the record does). Then the header is taken and marked changed.
bool begin_record_change(Operation &op, DorvexFile *f, const uint8_t *record);
// The result of a write or rewrite entry point: ends the operation; a
// change that succeeded with an alternate key value another record shares
// reports E_DUPLICATE_ALTERNATE beside its success.
int32_t change_result(Operation &op, bool ok, bool shared);
// The record a rewrite or delete changes (record_delete.cpp): the last
// record read under a lock when the caller's primary key is its primary
// key, else the record found by key 0. `length` (a rewrite's, or null) is
// checked on the way: 0 means the maximum, outside minimum..maximum is
// E_PARAM.
bool locate_record_to_change(DorvexFile *f, const uint8_t *record, uint32_t *length, SegAddr *at);

// Bits of V_LOCK_METHOD.
constexpr int16_t kLockMethodHeaderChecked = 0x1;
constexpr int16_t kLockMethodVerified = 0x2;
constexpr int16_t kLockMethodDebug = 0x200;

}  // namespace kel::indexed
