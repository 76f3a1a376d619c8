// Writing sequential files: records through the block, print advancing,
// rewrite in place, and positioning.
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "kelfs/errors.h"
#include "osfile/files.h"
#include "pipes.h"
#include "relseq/sequential.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

constexpr uint8_t kLineFeed = '\n';
constexpr uint8_t kCarriageReturn = '\r';
constexpr uint8_t kFormFeed = '\f';
constexpr uint8_t kCrLf[2] = {kCarriageReturn, kLineFeed};
constexpr uint32_t kFeedRun = 64;

bool disk_full(int e) {
  return e == ENOSPC || e == EFBIG;
}

// Writes `length` bytes where the file's records go: a pipe or a file
// opened for output or extend (append) at its descriptor, a file opened
// for input-output at its end. The count written (short: no room), or -1.
int64_t put(SequentialFile *f, const uint8_t *bytes, uint32_t length) {
  int fd = sequential_fd(f);
  int64_t end = 0;
  if (!f->is_pipe && f->mode == A_IO) {
    struct stat st;
    if (Afstat(fd, &st) != 0) return -1;
    end = st.st_size;
  }
  uint32_t done = 0;
  while (done < length) {
    ssize_t n;
    if (f->is_pipe) {
      n = write_to_pipe(fd, bytes + done, length - done);
    } else if (f->mode == A_IO) {
      n = pwrite(fd, bytes + done, length - done, end + done);
    } else {
      n = write(fd, bytes + done, length - done);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return disk_full(errno) && !f->is_pipe ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int32_t put_failed(const SequentialFile *f, int64_t n) {
  return fs_fail(n < 0 || f->is_pipe ? E_SYSERR : E_DISK_FULL);
}

// Appends bytes to the block, writing it out whenever it is full; a piece
// larger than the block goes straight out after the block.
int32_t emit(SequentialFile *f, const uint8_t *bytes, uint32_t length) {
  while (length > 0) {
    uint32_t room = f->capacity - f->data_length;
    if (room == 0) {
      if (!flush_block(f)) return 0;
      if (length >= f->capacity) {
        int64_t n = put(f, bytes, length);
        return n == length ? 1 : put_failed(f, n);
      }
      continue;
    }
    uint32_t step = length < room ? length : room;
    memcpy(f->block + f->data_length, bytes, step);
    f->data_length += step;
    bytes += step;
    length -= step;
  }
  return 1;
}

// Advancing n lines: n line feeds below a page, one form feed from it.
int32_t advance(SequentialFile *f, int32_t n) {
  static const std::array<uint8_t, kFeedRun> feeds = [] {
    std::array<uint8_t, kFeedRun> run;
    run.fill(kLineFeed);
    return run;
  }();
  if (n >= kPageAdvance) return emit(f, &kFormFeed, 1);
  while (n > 0) {
    uint32_t step = n < static_cast<int32_t>(kFeedRun) ? static_cast<uint32_t>(n) : kFeedRun;
    if (!emit(f, feeds.data(), step)) return 0;
    n -= static_cast<int32_t>(step);
  }
  return 1;
}

// A line or print line with its advancing (see As_write in kelfs.h).
int32_t emit_line(SequentialFile *f, const uint8_t *record, uint32_t length, int32_t advancing) {
  bool print = f->record_type == kPrint;
  if (!print && advancing != kNoAdvancing) advancing = 1;
  int32_t magnitude = advancing < 0 ? -advancing : advancing;
  bool pending = f->line_pending;
  f->line_pending = advancing == kNoAdvancing;
  if (advancing < 0) {
    if (pending && !emit(f, &kCarriageReturn, 1)) return 0;
    if (!advance(f, magnitude)) return 0;
  }
  if (print && length == 0) {
    if (advancing > 0 && advancing != kNoAdvancing) return advance(f, advancing);
    return 1;
  }
  if (!emit(f, record, length)) return 0;
  if (advancing == kNoAdvancing) return 1;
  if (advancing <= 0 || magnitude >= kPageAdvance) {
    if (!emit(f, &kCarriageReturn, 1)) return 0;
  } else if (print) {
    if (!emit(f, kCrLf, 2)) return 0;
  } else {
    if (!emit(f, &kLineFeed, 1)) return 0;
  }
  if (print && advancing >= 2) return advance(f, advancing - 1);
  return 1;
}

int32_t emit_record(SequentialFile *f, const uint8_t *record, uint32_t length, int32_t advancing) {
  if (f->record_type == kFixed) return emit(f, record, f->record_size);
  if (f->record_type == kVariable) {
    if (length > f->record_size) return fs_fail(E_REC_SIZE);
    uint8_t prefix[4];
    uint32_t width = f->record_size > 65535 ? 4 : 2;
    if (width == 2) {
      store_be16(prefix, static_cast<uint16_t>(length));
    } else {
      store_be32(prefix, length);
    }
    return emit(f, prefix, width) && emit(f, record, length);
  }
  return emit_line(f, record, length, advancing);
}

}  // namespace

int32_t flush_block(SequentialFile *f) {
  if (f->data_length == 0) return 1;
  int64_t n = put(f, f->block, f->data_length);
  if (n == f->data_length) {
    f->data_length = 0;
    return 1;
  }
  // What did not go out stays at the front of the block, so that a later
  // flush (the close, at the latest) tries it again and fails again.
  if (n > 0) {
    memmove(f->block, f->block + n, f->data_length - static_cast<uint32_t>(n));
    f->data_length -= static_cast<uint32_t>(n);
  }
  return put_failed(f, n);
}

int32_t sequential_write(SequentialFile *f, const char *record, uint32_t length,
                         int32_t advancing) {
  if (f->mode == A_INPUT) return fs_fail(E_MODE_CLASH);
  if (f->descriptor < 0) return errno = EBADF, fs_fail(E_SYSERR);  // a pipe ended at shutdown
  if (f->mode == A_IO) {  // the block held read data; writes go out at once
    f->data_length = 0;
    f->scanned_offset = -1;
  }
  if (!emit_record(f, reinterpret_cast<const uint8_t *>(record), length, advancing)) return 0;
  if (f->block_size == 0 || f->mode == A_IO) return flush_block(f);
  if (f->records_per_flush > 0 && ++f->records_since_flush >= f->records_per_flush) {
    f->records_since_flush = 0;
    return flush_block(f);
  }
  return 1;
}

int32_t sequential_rewrite(SequentialFile *f, const char *record, uint32_t length) {
  if (f->mode != A_IO) return fs_fail(E_MODE_CLASH);
  if (f->last_position < 0) return fs_fail(E_NO_CURRENT);
  uint8_t prefix[4];
  iovec pieces[3];
  int count = 0;
  uint32_t size = 0;
  auto add = [&](const void *p, uint32_t n) {
    pieces[count++] = iovec{const_cast<void *>(p), n};
    size += n;
  };
  if (f->record_type == kFixed) {
    add(record, f->record_size);
  } else if (f->record_type == kVariable) {
    // The length prefix counts on both sides: a record keeps its length.
    uint32_t width = f->record_size > 65535 ? 4 : 2;
    if (width == 2) {
      store_be16(prefix, static_cast<uint16_t>(length));
    } else {
      store_be32(prefix, length);
    }
    add(prefix, width);
    add(record, length);
  } else {
    add(record, length);
    if (f->record_type == kPrint) {
      add(kCrLf, 2);
    } else {
      add(&kLineFeed, 1);
    }
  }
  if (f->record_type != kFixed && static_cast<int64_t>(size) != f->last_length)
    return fs_fail(E_REC_SIZE);
  ssize_t n = pwritev(sequential_fd(f), pieces, count, f->last_position);
  if (n != static_cast<ssize_t>(size)) return fs_fail(E_SYSERR);
  // The block keeps a copy of what it holds of the record.
  f->scanned_offset = -1;
  int64_t at = f->last_position;
  for (int i = 0; i < count; ++i) {
    const auto *bytes = static_cast<const uint8_t *>(pieces[i].iov_base);
    for (size_t k = 0; k < pieces[i].iov_len; ++k, ++at) {
      if (at >= f->block_offset && at < f->block_offset + f->data_length)
        f->block[at - f->block_offset] = bytes[k];
    }
  }
  return 1;
}

int64_t sequential_seek(SequentialFile *f, int64_t offset, int32_t whence) {
  int64_t pos;
  if (whence == 0) {
    pos = offset;
  } else if (whence == 1) {
    pos = f->next_position + offset;
  } else if (whence == 2) {
    if (f->mode == A_OUTPUT || f->mode == A_EXTEND) return fs_fail(E_MODE_CLASH), -1;
    if (f->is_pipe) return fs_fail(E_UNSUPPORTED), -1;
    struct stat st;
    if (Afstat(sequential_fd(f), &st) != 0) return fs_fail(E_SYSERR), -1;
    pos = st.st_size + offset;
  } else {
    return fs_fail(E_PARAM), -1;
  }
  // A pipe cannot move: positioning it only lets reading go on from where
  // the stream stands.
  if (f->is_pipe) pos = f->pipe_position;
  if (pos < 0) return fs_fail(E_PARAM), -1;
  f->next_position = pos;
  return pos;
}

}  // namespace kel::relseq
