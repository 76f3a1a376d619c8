// Reading sequential files: fixed and variable binary records and lines,
// through the block (see sequential.h for the formats).
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "kelfs/errors.h"
#include "layer/layer.h"
#include "osfile/files.h"
#include "relseq/sequential.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

constexpr uint8_t kLineFeed = '\n';
constexpr uint8_t kCarriageReturn = '\r';
constexpr uint8_t kFormFeed = '\f';
constexpr uint8_t kKeepFormFeed = 0x1;
constexpr uint8_t kKeepCarriageReturn = 0x2;
constexpr uint8_t kKeepLineFeed = 0x4;

// The bytes held at file offset `pos`: their count (0 at the end of the
// data, -1 on a read error), with *p pointing at them. A pipe is read on
// from where it stands; a file at `pos`.
int64_t available(SequentialFile *f, int64_t pos, const uint8_t **p) {
  int64_t end = f->block_offset + f->data_length;
  if (pos < f->block_offset || pos >= end) {
    int fd = sequential_fd(f);
    ssize_t n;
    if (f->is_pipe) {
      do {
        n = read(fd, f->block, f->capacity);
      } while (n < 0 && errno == EINTR);
    } else {
      n = Alayer_pread(fd, f->block, f->capacity, pos);
    }
    f->block_offset = pos;
    f->data_length = n > 0 ? static_cast<uint32_t>(n) : 0;
    f->scanned_offset = -1;
    if (n <= 0) return n;
    end = pos + n;
  }
  *p = f->block + (pos - f->block_offset);
  return end - pos;
}

// Copies up to `length` bytes from `pos` (null `out`: skips them); the
// count copied, less at the end of the data, or -1.
int64_t take(SequentialFile *f, int64_t pos, uint8_t *out, uint64_t length) {
  uint64_t done = 0;
  while (done < length) {
    const uint8_t *p;
    int64_t n = available(f, pos + static_cast<int64_t>(done), &p);
    if (n < 0) return -1;
    if (n == 0) break;
    uint64_t step =
        static_cast<uint64_t>(n) < length - done ? static_cast<uint64_t>(n) : length - done;
    if (out) memcpy(out + done, p, step);
    done += step;
  }
  return static_cast<int64_t>(done);
}

struct Read {
  int32_t stored = 0;    // bytes given to the caller
  int64_t consumed = 0;  // bytes of the file, terminator included
};

int32_t read_fixed(SequentialFile *f, int64_t pos, uint8_t *record, Read *r) {
  int64_t n = take(f, pos, record, f->record_size);
  if (n < 0) return fs_fail(E_SYSERR);
  if (n == 0) return fs_fail(E_NOT_FOUND);
  r->stored = static_cast<int32_t>(n);
  r->consumed = n;
  return 1;
}

int32_t read_variable(SequentialFile *f, int64_t pos, uint8_t *record, Read *r) {
  uint8_t prefix[4];
  int64_t width = f->record_size > 65535 ? 4 : 2;
  int64_t n = take(f, pos, prefix, width);
  if (n < 0) return fs_fail(E_SYSERR);
  if (n == 0) return fs_fail(E_NOT_FOUND);
  if (n < width) return fs_fail(E_BROKEN, kSeqCutLengthPrefix);
  uint64_t length = width == 2 ? load_be16(prefix) : load_be32(prefix);
  uint64_t kept = length < f->record_size ? length : f->record_size;
  n = take(f, pos + width, record, kept);
  if (n < 0) return fs_fail(E_SYSERR);
  if (static_cast<uint64_t>(n) < kept) return fs_fail(E_BROKEN, kSeqCutRecord);
  // The excess of a record longer than the record size is passed over;
  // a pipe has to read through it.
  if (f->is_pipe && take(f, pos + width + n, nullptr, length - kept) < 0) return fs_fail(E_SYSERR);
  r->stored = static_cast<int32_t>(kept);
  r->consumed = width + static_cast<int64_t>(length);
  return 1;
}

bool kept_by_filter(uint8_t c, uint8_t filter) {
  switch (c) {
    case kFormFeed:
      return filter & kKeepFormFeed;
    case kCarriageReturn:
      return filter & kKeepCarriageReturn;
    case kLineFeed:
      return filter & kKeepLineFeed;
    default:
      return false;
  }
}

// The bytes the filter drops inside a line (the terminator aside).
struct Dropped {
  uint8_t chars[3];
  int count = 0;
};

Dropped dropped_chars(uint8_t eol, uint8_t filter) {
  Dropped d;
  for (uint8_t c : {kLineFeed, kCarriageReturn, kFormFeed}) {
    if (c != eol && !kept_by_filter(c, filter)) d.chars[d.count++] = c;
  }
  return d;
}

// Appends a segment holding no terminator to the record, without the
// dropped characters and without what goes beyond the record size.
void store_segment(const Dropped &d, const uint8_t *p, size_t n, uint8_t *record, uint32_t room,
                   int32_t *stored) {
  while (n > 0) {
    size_t cut = n;
    for (int i = 0; i < d.count; ++i) {
      const void *hit = memchr(p, d.chars[i], cut);
      if (hit) cut = static_cast<size_t>(static_cast<const uint8_t *>(hit) - p);
    }
    uint32_t space = room - static_cast<uint32_t>(*stored);
    size_t copy = cut < space ? cut : space;
    memcpy(record + *stored, p, copy);
    *stored += static_cast<int32_t>(copy);
    if (cut < n) ++cut;  // the dropped character
    p += cut;
    n -= cut;
  }
}

// Where the first byte the filter drops lies in the block (its end when
// there is none): one pass over each block read, so that the lines before
// it need no look at their bytes beyond the search for the terminator.
void scan_block(SequentialFile *f, const Dropped &d) {
  size_t first = f->data_length;
  for (int i = 0; i < d.count; ++i) {
    const void *hit = memchr(f->block, d.chars[i], first);
    if (hit) first = static_cast<size_t>(static_cast<const uint8_t *>(hit) - f->block);
  }
  f->scanned_offset = f->block_offset;
  f->clean_until = f->block_offset + static_cast<int64_t>(first);
}

int32_t read_line(SequentialFile *f, int64_t pos, uint8_t *record, Read *r) {
  Dropped d = dropped_chars(f->eol, f->filter);
  for (;;) {
    const uint8_t *p;
    int64_t at = pos + r->consumed;
    int64_t n = available(f, at, &p);
    if (n < 0) return fs_fail(E_SYSERR);
    if (n == 0) break;
    if (f->scanned_offset != f->block_offset) scan_block(f, d);
    const void *eol = memchr(p, f->eol, static_cast<size_t>(n));
    size_t segment = eol ? static_cast<size_t>(static_cast<const uint8_t *>(eol) - p) : n;
    if (at + static_cast<int64_t>(segment) <= f->clean_until) {
      uint32_t space = f->record_size - static_cast<uint32_t>(r->stored);
      size_t copy = segment < space ? segment : space;
      memcpy(record + r->stored, p, copy);
      r->stored += static_cast<int32_t>(copy);
    } else {
      store_segment(d, p, segment, record, f->record_size, &r->stored);
    }
    r->consumed += static_cast<int64_t>(segment);
    if (eol) {
      ++r->consumed;
      if (kept_by_filter(f->eol, f->filter) && static_cast<uint32_t>(r->stored) < f->record_size)
        record[r->stored++] = f->eol;
      return 1;
    }
  }
  if (r->consumed == 0) return fs_fail(E_NOT_FOUND);
  return 1;
}

}  // namespace

int32_t sequential_read(SequentialFile *f, char *record) {
  if (f->mode == A_OUTPUT || f->mode == A_EXTEND) return fs_fail(E_MODE_CLASH);
  int64_t pos = f->next_position;
  f->next_position = -1;
  if (pos == -1) return fs_fail(E_NO_CURRENT);
  if (f->descriptor < 0) return errno = EBADF, fs_fail(E_SYSERR);  // a pipe ended at shutdown
  if (f->is_pipe) pos = f->pipe_position;
  auto *out = reinterpret_cast<uint8_t *>(record);
  Read r;
  int32_t ok;
  if (f->record_type == kFixed) {
    ok = read_fixed(f, pos, out, &r);
  } else if (f->record_type == kVariable) {
    ok = read_variable(f, pos, out, &r);
  } else {
    ok = read_line(f, pos, out, &r);
  }
  // An unbuffered file is read afresh for every record; a pipe keeps what
  // it read ahead, since it cannot be read again.
  if (f->block_size == 0 && !f->is_pipe) f->data_length = 0;
  if (!ok) return 0;
  f->last_position = pos;
  f->last_length = static_cast<int32_t>(r.consumed);
  f->next_position = pos + r.consumed;
  if (f->is_pipe) f->pipe_position = f->next_position;
  return r.stored + 1;
}

}  // namespace kel::relseq
