// Reading one slot, with its lock rules, and the lock slots of an open
// relative file.
#include <sys/stat.h>

#include <cstring>

#include "config/fs_config.h"
#include "layer/layer.h"
#include "relative_internal.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

const RelativeLog *g_log = nullptr;

bool call(bool (*fn)()) {
  return fn != nullptr && fn();
}

}  // namespace

void set_relative_log(const RelativeLog *log) {
  g_log = log;
}
const RelativeLog *relative_log() {
  return g_log;
}

bool in_transaction() {
  return g_log != nullptr && call(g_log->in_transaction);
}

bool in_logged_transaction(const RelativeFile *f) {
  return f->logged && in_transaction();
}

bool may_read(const RelativeFile *f) {
  if (f->mode == A_INPUT || f->mode == A_IO) return true;
  return fs_fail(E_MODE_CLASH);
}

bool may_write(const RelativeFile *f) {
  if (f->mode != A_INPUT) return true;
  return fs_fail(E_MODE_CLASH);
}

bool may_update(const RelativeFile *f) {
  if (f->mode == A_IO || (g_log != nullptr && call(g_log->undoing))) return true;
  return fs_fail(E_MODE_CLASH);
}

int32_t find_lock(const RelativeFile *f, int64_t position) {
  for (int32_t i = 0; i < f->lock_count; ++i) {
    if (f->locks[i].position == position) return i;
  }
  return -1;
}

void release_lock_slot(RelativeFile *f, int32_t slot) {
  LockSlot &s = f->locks[slot];
  if (s.position < 0) return;
  Arec_lock64(f->file, s.position, 0);
  s = LockSlot{-1, 0};
}

void release_auto_lock(RelativeFile *f) {
  if (f->lock_many) return;
  for (int32_t i = 0; i < f->lock_count; ++i) {
    if (f->locks[i].position >= 0 && (f->locks[i].flags & kLockAutoRelease)) {
      release_lock_slot(f, i);
      return;
    }
  }
}

void release_locks(RelativeFile *f) {
  bool keep_rules = fs_settings().trx_holds_locks && f->logged;
  bool trx = keep_rules && in_transaction();
  bool keep_reads = keep_rules && call(g_log->keep_read_locks);
  for (int32_t i = 0; i < f->lock_count; ++i) {
    LockSlot &s = f->locks[i];
    if (s.position < 0) continue;
    if (trx && (s.flags & kLockKept)) {
      s.flags &= static_cast<uint8_t>(~kLockAutoRelease);
      continue;
    }
    if (keep_reads && (s.flags & kLockAutoRelease)) {
      s.flags &= static_cast<uint8_t>(~kLockKept);
      continue;
    }
    release_lock_slot(f, i);
  }
}

void release_every_lock(RelativeFile *f) {
  for (int32_t i = 0; i < f->lock_count; ++i) release_lock_slot(f, i);
}

int32_t locks_in_use(const RelativeFile *f) {
  int32_t n = 0;
  for (int32_t i = 0; i < f->lock_count; ++i) n += f->locks[i].position >= 0;
  return n;
}

int32_t lock_record(RelativeFile *f, int64_t n, uint8_t flags, bool *fresh) {
  int64_t position = f->layout.lock_position(n);
  *fresh = false;
  int32_t held = find_lock(f, position);
  if (held >= 0) {
    f->locks[held].flags |= flags;
    return held;
  }
  int32_t slot = find_lock(f, -1);
  if (slot < 0) {
    if (f->lock_count > 1) {
      fs_fail(E_LOCK_TABLE_FULL, 3);
      return -1;
    }
    // A file with one lock slot holds one record at a time: the lock of an
    // earlier update goes before the next is taken.
    release_lock_slot(f, 0);
    slot = 0;
  }
  if (Arec_lock64(f->file, position, 1) != 0) return -1;
  f->locks[slot] = LockSlot{position, flags};
  *fresh = true;
  return slot;
}

int32_t read_slot(RelativeFile *f, int fd, int64_t n, const SlotRequest &rq, bool *past_end) {
  if (past_end) *past_end = false;
  if (n < 1) return fs_fail(E_NOT_FOUND);
  // Without a lock the OS layer's record test (op 2) has nothing to do, so
  // it is not called: reads of a file open for input make no lock call.
  bool take = rq.lock && f->mode != A_INPUT && *fs_no_lock_request() == 0;
  int32_t slot = -1;
  bool fresh = false;
  if (take) {
    slot = lock_record(f, n, rq.flags, &fresh);
    if (slot < 0) {
      if (*fs_error_code() == E_REC_LOCKED) {
        f->current = n;
        f->started = true;
      }
      return 0;
    }
  }
  const SlotLayout &l = f->layout;
  uint32_t want = rq.peek && l.peek_size() < l.slot_size ? l.peek_size() : l.slot_size;
  uint8_t *buffer = slot_buffer();
  int32_t got = want == 0 ? 0 : Alayer_pread(fd, buffer, want, l.slot_offset(n));
  uint32_t length = 0;
  SlotState state = SlotState::kCut;
  if (got >= 0) state = decode_slot(l, buffer, static_cast<size_t>(got), !rq.peek, &length);
  if (got < 0 || state != SlotState::kRecord) {
    if (fresh) release_lock_slot(f, slot);
    if (got < 0) return fs_fail(E_SYSERR);
    if (past_end) *past_end = state == SlotState::kCut;
    return fs_fail(E_NOT_FOUND);
  }
  if (rq.record != nullptr && !rq.peek) memcpy(rq.record, buffer + l.length_width, length);
  f->current = n;
  return static_cast<int32_t>(length) + 1;
}

int32_t write_at(int fd, const void *bytes, uint32_t length, int64_t offset) {
  if (length == 0) return 1;
  int32_t n = Alayer_pwrite(fd, bytes, length, offset);
  if (n < 0) return fs_fail(E_SYSERR);
  if (static_cast<uint32_t>(n) < length) return fs_fail(E_DISK_FULL);
  return 1;
}

int64_t current_slot_count(const RelativeFile *f, int fd) {
  struct stat st;
  if (Afstat(fd, &st) != 0) return fs_fail(E_SYSERR), -1;
  return f->layout.slot_count(st.st_size);
}

}  // namespace kel::relseq
