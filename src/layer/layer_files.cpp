// Layer files: numbered wrappers of descriptors, and the file copy.
//
// The layer file array ("Layer file array") is the module's whole state. It
// starts with 10 entries and grows by 10 whenever no entry is free; the
// first free entry (descriptor -1) is taken, and a handle is an entry's
// index, so handles given out stay valid across growth.
//
// A full disk is reported uniformly: a write that fails with ENOSPC returns
// 0 instead of -1. EFBIG (the file may grow no further, e.g. under a file
// size limit) is the same condition for the caller and is reported the
// same way; errno keeps the call's value in both cases.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kelfs/errors.h"
#include "layer/layer.h"
#include "support/alloc.h"
#include "support/descriptor.h"
#include "support/fail.h"

namespace {

constexpr int32_t kGrowth = 10;
constexpr int32_t kAccessMask = 3;
constexpr int32_t kModeTruncate = 0x40;
constexpr int32_t kModeAppend = 0x2000;
constexpr int32_t kModeLargeFile = 0x80000;
constexpr mode_t kCreateMode = 0666;
constexpr size_t kCopyBuffer = 8192;
constexpr size_t kCopyFallback = 512;

struct LayerEntry {
  int32_t fd;  // -1: free
};

struct LayerTable {
  LayerEntry *entries = nullptr;
  int32_t capacity = 0;
};

// USE_LARGE_FILE_API, bound by the configuration's table (off until then).
int16_t g_large_file_api = 0;

LayerTable g_table;

// Index of a free entry, growing the array when there is none; -1 (with
// errno ENOMEM) when it cannot grow.
int32_t free_entry() {
  for (int32_t i = 0; i < g_table.capacity; ++i) {
    if (g_table.entries[i].fd == -1) return i;
  }
  int32_t grown = g_table.capacity + kGrowth;
  auto *entries = static_cast<LayerEntry *>(
      g_table.entries ? KEL_REALLOC(g_table.entries, sizeof(LayerEntry) * grown)
                      : KEL_ALLOC(sizeof(LayerEntry) * grown, "Layer file array"));
  if (entries == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  for (int32_t i = g_table.capacity; i < grown; ++i) entries[i].fd = -1;
  int32_t first = g_table.capacity;
  g_table.entries = entries;
  g_table.capacity = grown;
  return first;
}

// The descriptor of a handle in use; -1 with errno EBADF otherwise.
int fd_of(int32_t handle) {
  if (handle < 0 || handle >= g_table.capacity || g_table.entries[handle].fd < 0) {
    errno = EBADF;
    return -1;
  }
  return g_table.entries[handle].fd;
}

bool disk_full(int e) {
  return e == ENOSPC || e == EFBIG;
}

int open_flags(int32_t mode) {
  int flags = O_CLOEXEC;
  switch (mode & kAccessMask) {
    case 0:
      flags |= O_RDONLY;
      break;
    case 1:
      flags |= O_RDWR | O_CREAT;
      break;
    case 2:
      flags |= O_RDWR;
      break;
    default:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  if (mode & kModeTruncate) flags |= O_TRUNC;
  if (mode & kModeAppend) flags |= O_APPEND;
  if ((mode & kModeLargeFile) && *kel::large_file_api_word() != 0) flags |= O_LARGEFILE;
  return flags;
}

// Closes both copy files and fails with code 21, keeping the errno of the
// failure that stopped the copy.
int32_t copy_failed(int32_t in, int32_t out) {
  int saved = errno;
  if (in >= 0) Alayer_close(in);
  if (out >= 0) Alayer_close(out);
  kel::fs_fail(E_COPY_FAILED);
  errno = saved;
  return 0;
}

// Writes all `length` bytes; false when a write returns less than 1.
bool write_all(int32_t handle, const char *data, int32_t length) {
  while (length > 0) {
    int32_t n = Alayer_write(handle, data, static_cast<uint32_t>(length));
    if (n < 1) return false;
    data += n;
    length -= n;
  }
  return true;
}

}  // namespace

extern "C" int32_t Alayer_open(const char *path, int32_t mode) {
  int32_t handle = free_entry();
  if (handle < 0) return -1;
  kel::Descriptor fd(open(path, open_flags(mode), kCreateMode));
  if (!fd) return -1;  // the entry stays free
  if ((mode & kAccessMask) == 3 && lseek(fd.get(), 0, SEEK_END) < 0) return -1;
  g_table.entries[handle].fd = fd.release();
  return handle;
}

extern "C" int32_t Alayer_close(int32_t handle) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  g_table.entries[handle].fd = -1;
  return close(fd);
}

extern "C" int32_t Alayer_read(int32_t handle, void *buffer, uint32_t length) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  return static_cast<int32_t>(read(fd, buffer, length));
}

extern "C" int32_t Alayer_write(int32_t handle, const void *buffer, uint32_t length) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  ssize_t n = write(fd, buffer, length);
  if (n < 0 && disk_full(errno)) return 0;
  return static_cast<int32_t>(n);
}

extern "C" int32_t Alayer_pread(int fd, void *buffer, uint32_t length, int64_t offset) {
  return static_cast<int32_t>(pread(fd, buffer, length, static_cast<off_t>(offset)));
}

extern "C" int32_t Alayer_pwrite(int fd, const void *buffer, uint32_t length, int64_t offset) {
  ssize_t n = pwrite(fd, buffer, length, static_cast<off_t>(offset));
  if (n < 0 && disk_full(errno)) return 0;
  return static_cast<int32_t>(n);
}

// off_t is 64 bits in this build, so lseek is already the large-file form.
extern "C" int64_t Alayer_seek(int32_t handle, int64_t offset, int whence) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  return static_cast<int64_t>(lseek(fd, static_cast<off_t>(offset), whence));
}

extern "C" int32_t Alayer_fstat(int32_t handle, struct stat *buffer) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  return fstat(fd, buffer);
}

extern "C" int32_t Alayer_lock(int32_t handle, int64_t offset, int64_t length, int32_t op) {
  int fd = fd_of(handle);
  if (fd < 0) return -1;
  struct flock lock = {};
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (op == 1) {
    lock.l_type = F_WRLCK;
    return fcntl(fd, F_SETLKW, &lock);
  }
  if (op == 0) {
    lock.l_type = F_UNLCK;
    fcntl(fd, F_SETLK, &lock);
    return 0;
  }
  errno = EINVAL;
  return -1;
}

extern "C" int32_t Alayer_dup(int fd) {
  int32_t handle = free_entry();
  if (handle < 0) return -1;
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return -1;
  g_table.entries[handle].fd = copy;
  return handle;
}

extern "C" int32_t Aunlink(const char *name) {
  return unlink(name);
}

// Copies the bytes only: owner, mode and times of `to` are its own. A copy
// of a file onto itself (under any of its names) is refused with EINVAL:
// truncating the destination would empty the source before it is read.
extern "C" int32_t Acopy_file(const char *from, const char *to) {
  int32_t in = Alayer_open(from, 0);
  if (in < 0) return copy_failed(-1, -1);
  struct stat source, target;
  if (Alayer_fstat(in, &source) == 0 && stat(to, &target) == 0 && source.st_dev == target.st_dev &&
      source.st_ino == target.st_ino) {
    errno = EINVAL;
    return copy_failed(in, -1);
  }
  int32_t out = Alayer_open(to, 1 | kModeTruncate);
  if (out < 0) return copy_failed(in, -1);
  kel::MemPtr<char> heap(static_cast<char *>(KEL_ALLOC_UNINIT(kCopyBuffer, "file copy buffer")));
  char fallback[kCopyFallback];
  char *buffer = heap ? heap.get() : fallback;
  uint32_t size = heap ? kCopyBuffer : kCopyFallback;
  for (;;) {
    int32_t n = Alayer_read(in, buffer, size);
    if (n == 0) break;
    if (n < 0 || !write_all(out, buffer, n)) return copy_failed(in, out);
  }
  Alayer_close(in);
  if (Alayer_close(out) != 0) return copy_failed(-1, -1);
  return 1;
}

namespace kel {

int16_t *large_file_api_word() {
  return &g_large_file_api;
}

int layer_fd(int32_t handle) {
  if (handle < 0 || handle >= g_table.capacity) return -1;
  return g_table.entries[handle].fd;
}

int32_t layer_capacity() {
  return g_table.capacity;
}

void layer_files_release() {
  for (int32_t i = 0; i < g_table.capacity; ++i) {
    if (g_table.entries[i].fd >= 0) close(g_table.entries[i].fd);
  }
  KEL_FREE(g_table.entries);
  g_table = LayerTable{};
}

}  // namespace kel
