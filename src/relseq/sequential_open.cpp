// Opening and closing sequential files and pipes, the block-size rules,
// and information.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "pipes.h"
#include "relseq/sequential.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

uint32_t power_of_two_at_least(uint32_t n) {
  uint32_t p = 1;
  while (p < n && p < kMaxBlockSize) p <<= 1;
  return p;
}

// A_SEQ_DEFAULT_BLOCK_SIZE as a block size: rounded up to a power of two
// (at most 2^30); 0 when unset. With `floor`, at least 2048 (2048 when
// unset).
uint32_t default_block(int32_t setting, bool floor) {
  uint32_t size = setting > 0 ? power_of_two_at_least(static_cast<uint32_t>(setting)) : 0;
  if (floor && size < kMinBlockSize) size = kMinBlockSize;
  return size;
}

// Scratch for one record of an unbuffered file: the record, a length
// prefix or terminator, and room for a few advancing bytes.
constexpr uint32_t kScratchExtra = 64;

// Names reserved for a local print service this system does not provide.
bool reserved_print_name(const char *name) {
  return strcasecmp(name, "LOCALPRINT") == 0 || strcasecmp(name, "LOCALPRINT-C") == 0;
}

// Output and extend opens need the file (made beforehand by Ar_make).
bool existing_file(const char *name) {
  struct stat st;
  if (Astat(name, &st) == 0) return true;
  if (errno == ENOENT) {
    fs_set_missing_file_name(name);
    fs_fail(E_NO_FILE);
  } else {
    fs_fail(errno == EACCES ? E_PERMISSION : E_SYSERR);
  }
  return false;
}

bool open_pipe(SequentialFile *f, const char *command, int32_t flags) {
  if (f->mode == A_IO) return fs_fail(E_MODE_CLASH);
  if (f->mode == A_EXTEND) f->mode = A_OUTPUT;
  f->to_child = f->mode == A_OUTPUT;
  int fd = -1;
  pid_t child = 0;
  if (!((flags & kFlagSharedPipe) && take_shared_channel(f->to_child, &fd, &child))) {
    fd = start_pipe(command, f->to_child, &child);
    if (fd < 0) return false;
  }
  f->descriptor = fd;
  f->child = child;
  f->is_pipe = true;
  f->holds_descriptor = true;
  register_pipe_file(f);
  return true;
}

bool open_file(SequentialFile *f, const char *name, int32_t mode) {
  bool writing = f->mode == A_OUTPUT || f->mode == A_EXTEND;
  if (writing && !existing_file(name)) return false;
  int32_t file = Aopen(name, mode | A_READ_ONLY_FALLBACK | (writing ? A_APPEND : 0));
  if (file < 0) return false;
  f->descriptor = file;
  f->is_pipe = lseek(file_descriptor(file), 0, SEEK_CUR) < 0 && errno == ESPIPE;
  return true;
}

// Undoes an open whose last steps failed; the error codes stay.
void abandon(SequentialFile *f) {
  int16_t code = *fs_error_code();
  int saved = errno;
  if (f->holds_descriptor) {
    unregister_pipe_file(f);
    end_pipe(f->descriptor, f->child);
  } else {
    Aclose(f->descriptor);
  }
  fs_fail(code);
  errno = saved;
}

}  // namespace

Buffering choose_buffering(int32_t mode, int32_t type, uint32_t record_size, uint32_t given,
                           int32_t flags, bool pipe, int32_t default_size) {
  Buffering b;
  int32_t access = mode & A_ACCESS_MASK;
  bool reading = access == A_INPUT || access == A_IO;
  bool counted_type = type == kVariable || type == kLine || type == kPrint;
  if (given > 0) {
    b.block_size = given;
    if (access == A_EXTEND && (flags & kFlagFlushByRecords) && counted_type)
      b.records_per_flush = static_cast<int32_t>(given / (record_size + 1));
  } else if (type == kVariable) {
    b.block_size = record_size + 2;
    uint32_t d = default_block(default_size, false);
    if (d > b.block_size) b.block_size = d;
    if (access == A_EXTEND) b.records_per_flush = 1;
  } else if (reading && type != kFixed) {
    b.block_size = default_block(default_size, true);
  } else if (pipe) {
    b.block_size = 0;
  } else if ((mode & A_EXCLUSIVE) || ((mode & A_DENY_WRITE) && access == A_INPUT)) {
    b.block_size = default_block(default_size, true);
  } else if ((type == kFixed && reading) || type == kPrint) {
    b.block_size = 0;
  } else {
    b.block_size = default_block(default_size, false);
  }
  return b;
}

SequentialFile *sequential_open(const char *name, int32_t mode, uint32_t record_size,
                                int32_t record_type, uint32_t block_size, int32_t pad_char,
                                const char *pipe, int32_t flags) {
  int32_t access = mode & A_ACCESS_MASK;
  if (record_type < kVariable && (access == A_OUTPUT || access == A_EXTEND) &&
      reserved_print_name(name)) {
    fs_set_missing_file_name(name);
    return fs_fail(E_NO_FILE), nullptr;
  }
  MemPtr<SequentialFile> f;
  if (!f.allocate(1, "sequential file info")) return nullptr;
  f->mode = access;
  f->record_size = record_size;
  f->record_type = record_type;
  f->pad_char = pad_char;
  f->eol = static_cast<uint8_t>(fs_settings().eol_char);
  f->filter = static_cast<uint8_t>(fs_settings().carriage_control_filter);
  bool opened = pipe != nullptr ? open_pipe(f.get(), name, flags) : open_file(f.get(), name, mode);
  if (!opened) return nullptr;
  f->next_position = 0;
  f->last_position = -1;
  f->scanned_offset = -1;
  Buffering b = choose_buffering(mode, record_type, record_size, block_size, flags, f->is_pipe,
                                 cfg_get_long("A_SEQ_DEFAULT_BLOCK_SIZE", 0));
  f->block_size = b.block_size;
  f->records_per_flush = b.records_per_flush;
  f->capacity = b.block_size > 0 ? b.block_size : record_size + kScratchExtra;
  f->block = static_cast<uint8_t *>(KEL_ALLOC_UNINIT(f->capacity, "sequential file block"));
  if (f->block == nullptr) {
    abandon(f.get());
    return nullptr;
  }
  return f.release();
}

int32_t sequential_close(SequentialFile *f, int32_t keep) {
  bool ok = true;
  bool writing = f->mode == A_OUTPUT || f->mode == A_EXTEND;
  if (writing && f->data_length > 0 && f->descriptor >= 0) {
    if (f->pad_char >= 0 && f->block_size > 0) {
      memset(f->block + f->data_length, f->pad_char, f->block_size - f->data_length);
      f->data_length = f->block_size;
    }
    ok = flush_block(f);
  }
  int16_t code = *fs_error_code();
  if (f->holds_descriptor) {
    if (f->descriptor >= 0) {
      unregister_pipe_file(f);
      if (keep) {
        keep_shared_channel(f->to_child, f->descriptor, f->child);
      } else {
        end_pipe(f->descriptor, f->child);
      }
    }
  } else {
    Aclose(f->descriptor);
  }
  KEL_FREE(f->block);
  KEL_FREE(f);
  if (!ok) return fs_fail(code);
  return 1;
}

int32_t sequential_info(SequentialFile *f, int32_t code, char *buffer) {
  if (code == -12) {
    sprintf(buffer, "%010ld", static_cast<long>(sequential_fd(f)));
    return 1;
  }
  return fs_fail(code < 0 ? E_PARAM : E_UNSUPPORTED);
}

int sequential_fd(const SequentialFile *f) {
  return f->holds_descriptor ? f->descriptor : file_descriptor(f->descriptor);
}

}  // namespace kel::relseq
