#include "access/operation.h"

#include "access/bulk.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "access/transaction.h"
#include "cache/cache.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// The tree code counts its verified-mode findings in its own context; the
// statistics report reads them from the file's reader counters.
void collect_tree_counters(DorvexFile *f) {
  TreeCounters &t = tree_of(f)->counters;
  f->reader_counters.find_key_mismatches += t.find_key_mismatches;
  f->reader_counters.non_bnode_blocks += t.non_bnode_blocks;
  t = TreeCounters{};
}

}  // namespace

Operation::Operation(DorvexFile *f, bool writer) : f_(f), writer_(writer) {
  fs_clear_errors();
}

bool Operation::begin(HeaderAccess access, bool retry) {
  TreeContext *t = tree_of(f_);
  if (begun_) {
    header_release(f_);
    vi_end_operation(t);
  } else if (!keep_bulk_waiting_ && bulk_waiting(f_) && !bulk_flush(f_)) {
    return false;
  }
  begun_ = true;
  finished_ = false;
  tree_untouched_ = false;
  header_checked_ = verified_ = false;
  if (!header_read(f_, access, retry ? uint32_t{kHeaderRetry} : 0u)) return false;
  int16_t method = fs_settings().lock_method;
  bool unlocked = access == HeaderAccess::kRead && !f_->header_held;
  header_checked_ = unlocked && (method & kLockMethodHeaderChecked) && f_->version >= 3;
  verified_ = unlocked && (method & kLockMethodVerified) && f_->version >= 4;
  debug_ = (method & kLockMethodDebug) != 0;
  t->verified = verified_;
  t->debug_output = debug_;
  return true;
}

void Operation::finish(bool ok) {
  if (finished_) return;
  finished_ = true;
  if (!ok && *fs_error_code() == E_BROKEN && f_->for_update && f_->version >= 3 &&
      (writer_ || fs_settings().mark_read_corrupt) &&
      get_slot_low_byte(f_->header, *f_->layout, kBrokenCode) == 0)
    mark_broken(f_, *fs_error_secondary());
  if (begun_) header_release(f_);
  if (!ok) header_distrust(f_);
  begun_ = false;
  if (ok && tree_untouched_) {
    // What begin set: no later call of the tree (a close's bulk addition)
    // may run in verified mode.
    tree_of(f_)->verified = tree_of(f_)->debug_output = false;
    return;
  }
  // A failed operation may have left changes of the tree half made.
  if (!ok) vi_forget_inserts(tree_of(f_));
  vi_end_operation(tree_of(f_));
  collect_tree_counters(f_);
}

bool Operation::header_moved() {
  uint8_t block[kHeaderBlock];
  KeptErrors saved;
  if (!read_at(f_->data0, block, 0, f_->header_size)) return true;
  const HeaderLayout &l = *f_->layout;
  return get_slot_low_byte(block, l, kUpdateOpenFlag) != 0 ||
         get_slot(block, l, kHeaderVersion) != hget(f_, kHeaderVersion);
}

bool Operation::fault_needs_confirming() const {
  return header_checked_ && *fs_error_code() == E_BROKEN;
}

int32_t change_result(Operation &op, bool ok, bool shared) {
  op.finish(ok);
  if (ok && shared) fs_set_status(E_DUPLICATE_ALTERNATE);
  return ok ? 1 : 0;
}

bool begin_record_change(Operation &op, DorvexFile *f, const uint8_t *record) {
  if (record == nullptr) return fs_fail(E_PARAM);
  clear_prefetch(*f->read);
  if ((f->mode & A_ACCESS_MASK) != A_IO && !log_undoing()) {
    release_auto_lock(f);
    clear_last_record(f);
    return fs_fail(E_MODE_CLASH);
  }
  if (!op.begin(HeaderAccess::kUpdate)) return false;
  header_mark_changed(f);
  return true;
}

}  // namespace kel::indexed
