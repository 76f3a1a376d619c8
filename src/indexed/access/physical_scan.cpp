// Reading in physical order (v5_nkrstart, v5_nkrnext) and releasing the
// record locks (v5_unlock).
//
// The scan walks the record slots of the data area (slot_walk.h), skipping
// deleted and set-aside slots. It is bounded twice, so that it never runs
// on into records that other writers append behind it: by the end of data
// as it stood at v5_nkrstart, and by the number of live records then
// (header slot 20), counted down as records are returned. The slots on the
// chains (slots 21 and 22) do not enter the count: version 4 drops a
// deleted-chain head that keeps failing to be reused out of the chain and
// its count while its slot stays in the data area, so a count of slots
// would end the scan before the last records. Version 3 files get an empty
// scan.
#include "access/access.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "kelfs/errors.h"
#include "storage/slot_walk.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

int32_t scan_start(Operation &op, DorvexFile *f) {
  if (!reads_allowed(f) || !op.begin(HeaderAccess::kLocked)) return -1;
  ReadState &r = *f->read;
  if (f->version < 4) {
    r.scan_left = 0;
    return 1;
  }
  r.scan = first_slot(f);
  r.scan_end = hget_addr(f, kEndOfDataOffset, kEndOfDataSeg);
  r.scan_left = static_cast<uint32_t>(hget(f, kRecordCount));
  return 0;
}

bool before_scan_end(const ReadState &r) {
  if (r.scan.segment != r.scan_end.segment) return r.scan.segment < r.scan_end.segment;
  return static_cast<uint32_t>(r.scan.offset) < static_cast<uint32_t>(r.scan_end.offset);
}

bool advance(DorvexFile *f, const RecordHeader &h) {
  ReadState &r = *f->read;
  return next_slot_position(f, r.scan, h, &r.scan);
}

// One attempt; *retry asks for a new start under the lock. A record that
// cannot be read (locked by another open, say) stays where the scan is, so
// that the next call tries it again.
int64_t scan_attempt(Operation &op, DorvexFile *f, uint8_t *record, bool last_try, bool *retry) {
  ReadState &r = *f->read;
  *retry = false;
  for (;;) {
    if (r.scan_left == 0 || !before_scan_end(r)) {
      fs_fail(E_NOT_FOUND);
      return -1;
    }
    RecordHeader h;
    SlotStep step = find_slot(f, &r.scan, &h);
    if (step == SlotStep::kEnd) {
      r.scan_left = 0;
      continue;
    }
    if (step == SlotStep::kError) {
      *retry = op.unlocked() && !last_try;
      return -1;
    }
    if (h.deleted || h.set_aside) {
      if (!advance(f, h)) return -1;
      continue;
    }
    int64_t length = vi_read_rec(f, record, r.scan, kLockTake, kLockAutoRelease);
    if (length >= 0 && op.header_checked() && op.header_moved()) length = -1;
    if (length < 0) {
      *retry = op.unlocked() && !last_try;
      return -1;
    }
    if (!advance(f, h)) return -1;
    --r.scan_left;
    return length;
  }
}

int64_t scan_next(Operation &op, DorvexFile *f, uint8_t *record) {
  if (record == nullptr) {
    fs_fail(E_PARAM);
    return -1;
  }
  if (!reads_allowed(f)) return -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool retry = false;
    if (!op.begin(HeaderAccess::kRead, attempt > 0)) return -1;
    int64_t length = scan_attempt(op, f, record, attempt == 1, &retry);
    if (length >= 0 || !retry) return length;
  }
  return -1;
}

bool unlock(Operation &op, DorvexFile *f) {
  if (!op.begin(HeaderAccess::kRead)) return false;
  // No transaction log takes part yet, so no lock is kept for one.
  if (f->locks->count > 0) release_all_locks(f, false);
  clear_last_record(f);
  return true;
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t v5i_nkrstart(DorvexFile *file) {
  if (file == nullptr) return kel::fs_fail(E_PARAM), -1;
  Operation op(file, false);
  int32_t result = scan_start(op, file);
  op.finish(result >= 0);
  return result;
}

extern "C" uint32_t v5i_nkrnext(DorvexFile *file, uint8_t *record) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  int64_t length = scan_next(op, file, record);
  op.finish(length >= 0);
  return length < 0 ? 0 : static_cast<uint32_t>(length);
}

extern "C" int32_t v5i_unlock(DorvexFile *file) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  bool ok = unlock(op, file);
  op.finish(ok);
  return ok ? 1 : 0;
}
