// Changing a relative file: write (by number or after the last slot),
// rewrite and delete, each handed to the transaction log with its
// before-image when the file takes part in one; unlock and information.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/fs_config.h"
#include "layer/layer.h"
#include "relative_internal.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

// Gaps are filled in chunks of whole empty slots of at most this size.
constexpr uint32_t kGapChunk = 16384;

int32_t write_empty(const RelativeFile *f, int fd, int64_t n) {
  uint8_t empty[kLongLengthWidth + kDeletedTestBytes];
  uint32_t size = encode_empty(f->layout, empty);
  return write_at(fd, empty, size, f->layout.slot_offset(n));
}

// Slots first..last that lie past the end of the file become empty slots,
// so that the gap before a record written further on reads as deleted
// records. A slot cut by the end of the file gets only its leading bytes.
int32_t fill_gap(const RelativeFile *f, int fd, int64_t first, int64_t last, int64_t file_size) {
  const SlotLayout &l = f->layout;
  int64_t n = first;
  for (; n <= last && l.slot_offset(n) < file_size; ++n) {
    if (!write_empty(f, fd, n)) return 0;
  }
  if (n > last) return 1;
  if (l.slot_size > kGapChunk) {
    for (; n <= last; ++n) {
      if (!write_empty(f, fd, n)) return 0;
    }
    return 1;
  }
  uint8_t chunk[kGapChunk];
  uint32_t per_chunk = kGapChunk / l.slot_size;
  memset(chunk, 0, sizeof chunk);
  for (uint32_t i = 0; i < per_chunk; ++i) encode_empty(l, chunk + i * l.slot_size);
  while (n <= last) {
    int64_t count = last - n + 1 < per_chunk ? last - n + 1 : per_chunk;
    if (!write_at(fd, chunk, static_cast<uint32_t>(count) * l.slot_size, l.slot_offset(n)))
      return 0;
    n += count;
  }
  return 1;
}

bool log_refused() {
  return fs_fail(E_LOG_REFUSED);
}

}  // namespace

int32_t relative_write(RelativeFile *f, const char *record, uint32_t length, int32_t number) {
  if (!may_write(f)) return 0;
  release_auto_lock(f);
  const SlotLayout &l = f->layout;
  // A record longer than the slot is refused rather than cut: cutting
  // would lose the caller's data without a word.
  if (l.variable && length > l.maximum) return fs_fail(E_REC_SIZE);
  HeldFile held(f);
  int fd = held.fd();
  if (!f->sole_writer) {
    struct stat st;
    if (Afstat(fd, &st) != 0) return fs_fail(E_SYSERR);
    f->known_size = st.st_size;
  }
  int64_t slots = l.slot_count(f->known_size);
  int64_t n;
  if (number == kAfterLastSlot || f->mode == A_EXTEND) {
    n = slots + 1;
  } else {
    if (number < 1) return fs_fail(E_PARAM);
    n = number;
    if (n <= slots) {
      if (read_slot(f, fd, n, {true, false, 0, nullptr}) > 0) return fs_fail(E_DUPLICATE);
      if (*fs_error_code() != E_NOT_FOUND) return 0;
    }
    if (n > slots + 1 && !fill_gap(f, fd, slots + 1, n - 1, f->known_size)) {
      f->sole_writer = false;  // the size is asked again after a partial write
      return 0;
    }
  }
  uint8_t *slot = slot_buffer();
  encode_record(l, reinterpret_cast<const uint8_t *>(record), length, slot);
  if (!write_at(fd, slot, l.slot_size, l.slot_offset(n))) {
    f->sole_writer = false;
    return 0;
  }
  if (l.slot_offset(n + 1) > f->known_size) f->known_size = l.slot_offset(n + 1);
  bool logged = in_logged_transaction(f);
  if (logged) {
    // The new record stays locked until the transaction ends; without that
    // lock it must not stay written.
    bool fresh = false;
    if (lock_record(f, n, kLockKept, &fresh) < 0) {
      KeptErrors saved;
      write_empty(f, fd, n);
      return 0;
    }
  }
  *fs_last_record_number() = static_cast<int32_t>(n);
  if (logged) {
    const RelativeLog *log = relative_log();
    if (log->log_write == nullptr ||
        !log->log_write(f, static_cast<int32_t>(n), reinterpret_cast<const uint8_t *>(record),
                        l.variable ? length : l.maximum))
      return log_refused();
  }
  return 1;
}

namespace {

enum class Change { kRewrite, kDelete };

int32_t change(RelativeFile *f, const char *record, uint32_t length, int32_t number, Change what) {
  int64_t n = number;
  if (number == kLastRecordRead) {
    n = f->last_read;
    f->last_read = -1;
    if (n < 1) return fs_fail(E_NO_CURRENT);
  }
  if (!may_update(f)) return 0;
  release_auto_lock(f);
  const SlotLayout &l = f->layout;
  if (what == Change::kRewrite && l.variable && length > l.maximum) return fs_fail(E_REC_SIZE);
  HeldFile held(f);
  int fd = held.fd();
  bool logged = in_logged_transaction(f);
  int32_t slot = find_lock(f, l.lock_position(n));
  bool fresh = false;
  if (slot >= 0) {
    if (what == Change::kRewrite && logged) f->locks[slot].flags |= kLockKept;
  } else {
    if (read_slot(f, fd, n, {true, true, 0, nullptr}) == 0) return 0;
    slot = find_lock(f, l.lock_position(n));
    fresh = slot >= 0;
    if (fresh && what == Change::kRewrite && logged) f->locks[slot].flags |= kLockKept;
  }
  // Whatever goes wrong from here leaves the record unlocked unless this
  // file held it before.
  auto give_up = [&] {
    KeptErrors saved;
    if (fresh) release_lock_slot(f, slot);
    return 0;
  };
  const RelativeLog *log = relative_log();
  bool capture = logged || (log != nullptr && log->captures_before_images != nullptr &&
                            log->captures_before_images());
  MemPtr<uint8_t> before;
  if (capture) {
    if (!before.allocate(l.slot_size, "bimage")) return give_up();
    int32_t got = Alayer_pread(fd, before.get(), l.slot_size, l.slot_offset(n));
    if (got != static_cast<int32_t>(l.slot_size)) return fs_fail(E_SYSERR), give_up();
  }
  int32_t ok;
  if (what == Change::kDelete) {
    ok = write_empty(f, fd, n);
  } else if (l.variable) {
    uint8_t *bytes = slot_buffer();
    encode_record(l, reinterpret_cast<const uint8_t *>(record), length, bytes);
    ok = write_at(fd, bytes, l.length_width + length, l.slot_offset(n));
  } else {
    ok = write_at(fd, record, l.slot_size, l.slot_offset(n));
  }
  if (!ok) return give_up();
  if (slot >= 0 && (what == Change::kDelete || !(f->locks[slot].flags & kLockKept)))
    release_lock_slot(f, slot);
  if (logged) {
    int32_t k = static_cast<int32_t>(n);
    bool done =
        what == Change::kDelete
            ? log->log_delete != nullptr && log->log_delete(f, k, before.get(), l.slot_size)
            : log->log_rewrite != nullptr &&
                  log->log_rewrite(f, k, reinterpret_cast<const uint8_t *>(record),
                                   l.variable ? length : l.maximum, before.get(), l.slot_size);
    if (!done) return log_refused();
  }
  return 1;
}

}  // namespace

int32_t relative_rewrite(RelativeFile *f, const char *record, uint32_t length, int32_t number) {
  return change(f, record, length, number, Change::kRewrite);
}

int32_t relative_delete(RelativeFile *f, int32_t number) {
  return change(f, nullptr, 0, number, Change::kDelete);
}

int32_t relative_unlock(RelativeFile *f) {
  const RelativeLog *log = relative_log();
  bool keep_locks = log != nullptr && log->keep_locks != nullptr && log->keep_locks();
  if (fs_settings().trx_holds_locks || !in_logged_transaction(f) || keep_locks) release_locks(f);
  return 1;
}

int32_t relative_info(RelativeFile *f, int32_t code, char *buffer) {
  if (code == -12) {
    sprintf(buffer, "%010ld", static_cast<long>(file_descriptor(f->file)));
    return 1;
  }
  if (code == -6) {
    sprintf(buffer, "%04d", locks_in_use(f));
    return 1;
  }
  if (code >= -5) return fs_fail(E_UNSUPPORTED);
  return fs_fail(E_PARAM);
}

}  // namespace kel::relseq
