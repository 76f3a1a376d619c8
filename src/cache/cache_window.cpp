// Bpread_ahead: the reads of a walk through a data segment that bypasses
// the pool, served without a system call per record.
//
// A data segment opened without deferred writes keeps its records out of
// the pool (cache.h), so a walk used to cost one pread per record. The
// engine asks for its walk's record reads with Bpread_ahead only while
// nobody can change the records between its reads (it holds the update
// lock, or its open keeps other writers out); two windows then serve them,
// for positioned reads past block 0 (the header, which other processes
// change, is always read from disk) of a data segment whose read-ahead flag
// is on, while a pool exists. Every other read goes to the system.
//
// - The mapping, for a file opened deny-write or exclusive (of any kind:
//   the pool loads the blocks it misses through it too, cache_pool.cpp, and
//   Bpeek_ahead hands out its address instead of a copy): nobody else may
//   change it, and this process writes it only with pwrite, which a shared
//   mapping shows at once, so a read is a copy out of a read-only mapping
//   of the whole file. A read past the size last seen asks the file's size
//   again (it grows only by this process's appends) and maps it again when
//   it outgrew the mapping; past the file's end the read ends short as
//   pread would. Data segments never shrink while they are open, and an
//   output open truncates only a file nobody else has open, so the mapping
//   is never read past the end of the file by a process that keeps to the
//   locks. When the file cannot be mapped (address space), the copy window
//   serves it.
// - The copy window, for the other opens: one process-wide buffer of
//   kDataWindowSize bytes holding a piece of one descriptor's file. A read
//   it covers is a copy; a read just behind it or inside the next window's
//   length (a walk through records stored in order) fills it with one pread
//   of kDataWindowSize bytes from the read's offset; any other read fills
//   it with just the bytes asked for, as one pread did before. Its contents
//   are trusted under the same rule as the pool's blocks: the engine gives
//   the header version to the cache at every header read, and a version
//   that moved (another process changed the file) empties the window, as
//   does every write and close on its descriptor.
//
// Counters: a read served by either window counts as a read-ahead hit and
// makes no system call; a fill counts as a read-ahead miss and one pread.
// Such a read is traced like a cached call, with a bare new line.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cache_internal.h"

namespace kel::cache {

namespace {

bool mappable(const FileInfo &i) {
  return keeps_writers_out(i) && !i.map_failed;
}

// Maps the file with room to grow: the mapping reaches half as far again
// as the file (at least 1 MiB more), and only the bytes below the size seen
// by the last fstat are ever read, so appends of this process are read
// through the same mapping until they pass its end. False when the file
// cannot be mapped (the copy window takes over for good) or is empty.
bool map_file(const Context &c) {
  FileInfo &i = *c.info;
  struct stat st;
  if (fstat(c.fd, &st) != 0 || st.st_size <= 0) return false;
  if (i.map != nullptr && st.st_size <= i.map_length) {
    i.map_valid = st.st_size;
    return true;
  }
  unmap_file(i);
  int64_t length = st.st_size + std::max<int64_t>(st.st_size / 2, int64_t{1} << 20);
  void *p = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, c.fd, 0);
  if (p == MAP_FAILED) {
    i.map_failed = true;
    return false;
  }
  i.map = static_cast<uint8_t *>(p);
  i.map_length = length;
  i.map_valid = st.st_size;
  return true;
}

int32_t copy_out(const uint8_t *from, int64_t available, uint8_t *buffer, int32_t length) {
  int32_t n = static_cast<int32_t>(std::clamp<int64_t>(available, 0, length));
  memcpy(buffer, from, static_cast<size_t>(n));
  ++state().counters.read_ahead_hits;
  return n;
}

int32_t mapped_read(const Context &c, uint8_t *buffer, int32_t length, int64_t offset) {
  FileInfo &i = *c.info;
  if (offset + length > i.map_valid && !map_file(c) && i.map == nullptr) return -2;
  if (offset >= i.map_valid) return 0;
  int32_t n = static_cast<int32_t>(std::min<int64_t>(i.map_valid - offset, length));
  memcpy(buffer, i.map + offset, static_cast<size_t>(n));
  return n;
}

int32_t window_read(const Context &c, uint8_t *buffer, int32_t length, int64_t offset) {
  CacheState &s = state();
  if (length > kDataWindowSize || !s.window) return -2;
  int64_t end = s.win_offset + s.win_length;
  if (s.win_fd == c.fd && offset >= s.win_offset &&
      (offset + length <= end || (s.win_eof && offset <= end)))
    return copy_out(s.window.get() + (offset - s.win_offset), end - offset, buffer, length);
  bool onward = s.win_fd == c.fd && offset >= s.win_offset && offset < end + kDataWindowSize;
  int32_t want = onward ? kDataWindowSize : length;
  ++s.counters.read_ahead_misses;
  ssize_t r = sys_pread(c.fd, s.window.get(), static_cast<size_t>(want), offset);
  if (r < 0) {
    invalidate_data_window();
    return -1;
  }
  s.win_fd = c.fd;
  s.win_offset = offset;
  s.win_length = static_cast<int32_t>(r);
  s.win_eof = r < want;
  int32_t n = static_cast<int32_t>(std::min<ssize_t>(r, length));
  memcpy(buffer, s.window.get(), static_cast<size_t>(n));
  return n;
}

}  // namespace

void invalidate_data_window() {
  CacheState &s = state();
  s.win_fd = -1;
  s.win_offset = 0;
  s.win_length = 0;
  s.win_eof = false;
}

void unmap_file(FileInfo &i) {
  if (i.map != nullptr) munmap(i.map, static_cast<size_t>(i.map_length));
  i.map = nullptr;
  i.map_length = i.map_valid = 0;
}

int32_t window_pread(const Context &c, void *buffer, int32_t length, int64_t offset) {
  if (!serves(*c.info, length, offset)) return -2;
  uint8_t *out = static_cast<uint8_t *>(buffer);
  if (mappable(*c.info)) {
    int32_t r = mapped_read(c, out, length, offset);
    if (r > 0) ++state().counters.read_ahead_hits;
    if (r != -2) return r;
  }
  return window_read(c, out, length, offset);
}

const uint8_t *mapped_view(const FileInfo &i, int64_t *valid) {
  if (i.map == nullptr || !serves(i, 1, kCacheBlockSize)) return nullptr;
  *valid = i.map_valid;
  return i.map;
}

const uint8_t *window_peek(const Context &c, int32_t length, int64_t offset, int32_t *got) {
  FileInfo &i = *c.info;
  if (!serves(i, length, offset) || !mappable(i)) return nullptr;
  if (offset + length > i.map_valid && !map_file(c)) return nullptr;
  if (i.map == nullptr || offset >= i.map_valid) return nullptr;
  *got = static_cast<int32_t>(std::min<int64_t>(i.map_valid - offset, length));
  ++state().counters.read_ahead_hits;
  return i.map + offset;
}

int32_t mapped_pread(const Context &c, void *buffer, int32_t length, int64_t offset) {
  if (!mappable(*c.info) || offset < 0 || length < 0) return -2;
  return mapped_read(c, static_cast<uint8_t *>(buffer), length, offset);
}

}  // namespace kel::cache
