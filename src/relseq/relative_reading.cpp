// Reading and positioning in a relative file: read by number, start in
// five modes, next and previous.
#include "relative_internal.h"
#include "support/fail.h"

namespace kel::relseq {

int32_t relative_read(RelativeFile *f, char *record, int32_t number) {
  if (!may_read(f)) return 0;
  release_auto_lock(f);
  f->current = -1;
  f->started = false;
  f->fell_off = 0;
  f->last_read = -1;
  HeldFile held(f);
  int32_t r = read_slot(f, held.fd(), number, {false, true, kLockAutoRelease, record});
  if (r > 0) f->last_read = number;
  return r;
}

namespace {

// The first existing record from `from` on, up to `last` (step 1) or down
// to 1 (step -1), tested without reading it whole and without a lock; 0
// when none.
int64_t first_existing(RelativeFile *f, int fd, int64_t from, int64_t last, int step) {
  for (int64_t n = from; n >= 1 && n <= last; n += step) {
    if (read_slot(f, fd, n, {true, false, 0, nullptr}) > 0) return n;
    if (*fs_error_code() != E_NOT_FOUND) return -1;
  }
  return 0;
}

}  // namespace

int32_t relative_start(RelativeFile *f, int32_t number, int32_t mode) {
  if (mode < kStartEqual || mode > kStartNotGreater) return fs_fail(E_PARAM);
  if (!may_read(f)) return 0;
  release_auto_lock(f);
  f->current = -1;
  f->last_read = -1;
  f->fell_off = 0;
  f->started = false;
  HeldFile held(f);
  int64_t last = current_slot_count(f, held.fd());
  if (last < 0) return 0;
  int64_t n = number;
  int64_t found = 0;
  switch (mode) {
    case kStartEqual:
      found = first_existing(f, held.fd(), n, n < last ? n : last, 1);
      break;
    case kStartNotLess:
    case kStartGreater: {
      int64_t from = mode == kStartNotLess ? n : n + 1;
      found = first_existing(f, held.fd(), from < 1 ? 1 : from, last, 1);
      break;
    }
    default: {
      int64_t from = mode == kStartLess ? n - 1 : n;
      found = first_existing(f, held.fd(), from > last ? last : from, last, -1);
      break;
    }
  }
  f->current = -1;
  if (found < 0) return 0;
  if (found == 0) return fs_fail(E_NOT_FOUND);
  f->current = found;
  f->started = true;
  return 1;
}

namespace {

// Next (step 1) and previous (step -1): empty slots are passed over; going
// past the last record or before record 1 leaves the fell-off state that
// the opposite direction starts from.
int32_t read_on(RelativeFile *f, char *record, int step) {
  if (!may_read(f)) return 0;
  release_auto_lock(f);
  int64_t current = f->current;
  bool started = f->started;
  int8_t fell_off = f->fell_off;
  f->current = -1;
  f->started = false;
  f->fell_off = 0;
  HeldFile held(f);
  int64_t n;
  int64_t last = -1;
  if (step < 0) {
    last = current_slot_count(f, held.fd());
    if (last < 0) return 0;
  }
  if (step > 0 && fell_off == 1) {
    n = 1;
  } else if (step < 0 && fell_off == 2) {
    n = last;
  } else if (current < 0) {
    return fs_fail(E_NO_CURRENT);
  } else {
    n = started ? current : current + step;
  }
  if (step < 0 && n > last) n = last;
  for (;; n += step) {
    if (n < 1) {
      f->fell_off = 1;
      return fs_fail(E_NOT_FOUND);
    }
    bool past_end = false;
    int32_t r = read_slot(f, held.fd(), n, {false, true, kLockAutoRelease, record}, &past_end);
    if (r > 0) {
      f->last_read = n;
      *fs_last_record_number() = static_cast<int32_t>(n);
      return r;
    }
    if (*fs_error_code() != E_NOT_FOUND) return 0;
    if (step > 0 && past_end) {
      f->fell_off = 2;
      return 0;
    }
  }
}

}  // namespace

int32_t relative_next(RelativeFile *f, char *record) {
  return read_on(f, record, 1);
}

int32_t relative_previous(RelativeFile *f, char *record) {
  return read_on(f, record, -1);
}

}  // namespace kel::relseq
