// The block cache. All of its process-wide state is the CacheState below:
// Binit allocates the tables, Bshutdown frees them.
//
// Pool layout. Buffer i owns bytes 512*i .. 512*i+511 of the data array and
// header i of the header array. Links are buffer indices, -1 for none.
//
//   header field  meaning
//   block         file offset / 512
//   fd            descriptor of the file holding the block; -1: free
//   lru_next/prev the LRU list; next points toward the least recently used
//   hash_next/prev the chain of the block's hash bucket
//   dirty         written by a deferred write, not yet on disk
//
// Hash: bucket count = the largest prime not above the buffer count (the
// count itself below 3); a block hashes to (block + fd) mod bucket count.
// New buffers go to the head of their chain.
//
// LRU: head = most recently used; the tail is the next victim. Free buffers
// stay in the list like the others.
//
// The 16384-byte staging area holds a write run (at most 32 blocks); its
// first 2048 bytes are also the read-ahead buffer, so every write-back
// invalidates the read-ahead.
#include "cache/cache.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "support/alloc.h"

namespace {

using kel::kCacheBlockSize;
using kel::kMaxRunBlocks;
using kel::kReadAheadSize;

constexpr int64_t kNoReadAheadOffset = -100000;
constexpr uint16_t kDenyWrite = 0x100;
constexpr uint16_t kExclusive = 0x200;
constexpr uint16_t kDeferred = 0x400;
constexpr uint16_t kModeBits = 0x700;

struct BufferHeader {
  int32_t block;
  int32_t fd;
  int32_t lru_next, lru_prev;
  int32_t hash_next, hash_prev;
  uint8_t dirty;
};

struct FileInfo {
  int64_t position;
  uint16_t mode;  // open-mode bits 0x700; 0 when they were exactly 0x400
  uint8_t buffer_data;
  uint8_t sync_data;
  uint8_t read_ahead;
  uint8_t kind;
};

// Load modes of find_block.
enum LoadMode { kLookUp = 0, kWhole = 1, kShortOk = 2 };
// Error flag of find_block and buffer reuse.
enum ErrorFlag { kNoError = 0, kIoError = 1, kNothingWritten = 2 };

struct CacheState {
  bool ready = false;
  int32_t buffers = 0;
  int32_t files = 0;
  int32_t buckets = 0;
  kel::MemPtr<FileInfo> info;
  kel::MemPtr<uint32_t> versions;  // indexed by descriptor mod files
  kel::MemPtr<BufferHeader> headers;
  kel::MemPtr<uint8_t> data;
  kel::MemPtr<int32_t> sort_list;
  kel::MemPtr<int32_t> hash;
  int32_t lru_head = -1, lru_tail = -1;
  int32_t ra_fd = -1;
  int64_t ra_offset = kNoReadAheadOffset;
  int error_flag = kNoError;
  kel::CacheCounters counters{};
  alignas(16) uint8_t staging[kMaxRunBlocks * kCacheBlockSize];

  // Set by tests and benchmarks; survives Bshutdown.
  const kel::CacheConfig *config_override = nullptr;
};

CacheState &state() {
  static CacheState s;
  return s;
}

kel::CacheConfig read_config() {
  CacheState &s = state();
  if (s.config_override) return *s.config_override;
  kel::CacheConfig c;
  c.buffers = cfg_get_long("V_BUFFERS", 0);
  c.buffer_data = cfg_get_bool("V_BUFFER_DATA", 0) != 0;
  c.no_async_cache_data = cfg_get_bool("V_NO_ASYNC_CACHE_DATA", 0) != 0;
  c.read_ahead = cfg_get_bool("V_READ_AHEAD", 0) != 0;
  return c;
}

bool tracing() {
  return kel::trace_on(kel::kTraceInner);
}

uint8_t *block_data(int32_t b) {
  return state().data.get() + static_cast<size_t>(b) * kCacheBlockSize;
}

void invalidate_read_ahead() {
  CacheState &s = state();
  s.ra_fd = -1;
  s.ra_offset = kNoReadAheadOffset;
}

// --- system calls, counted ------------------------------------------------------

ssize_t sys_pread(int fd, void *buffer, size_t length, int64_t offset) {
  ++state().counters.pread_calls;
  return pread(fd, buffer, length, offset);
}

// A full disk answers 0, as the layer's writes do, so that a caller tells it
// from other failures.
ssize_t sys_pwrite(int fd, const void *buffer, size_t length, int64_t offset) {
  ++state().counters.pwrite_calls;
  ssize_t r = pwrite(fd, buffer, length, offset);
  if (r < 0 && errno == ENOSPC) return 0;
  return r;
}

// --- lists ----------------------------------------------------------------------

void lru_unlink(int32_t b) {
  CacheState &s = state();
  BufferHeader &h = s.headers[b];
  if (h.lru_prev >= 0)
    s.headers[h.lru_prev].lru_next = h.lru_next;
  else
    s.lru_head = h.lru_next;
  if (h.lru_next >= 0)
    s.headers[h.lru_next].lru_prev = h.lru_prev;
  else
    s.lru_tail = h.lru_prev;
  h.lru_next = h.lru_prev = -1;
}

void lru_to_head(int32_t b) {
  CacheState &s = state();
  if (s.lru_head == b) return;
  lru_unlink(b);
  BufferHeader &h = s.headers[b];
  h.lru_next = s.lru_head;
  if (s.lru_head >= 0) s.headers[s.lru_head].lru_prev = b;
  s.lru_head = b;
  if (s.lru_tail < 0) s.lru_tail = b;
}

void lru_to_tail(int32_t b) {
  CacheState &s = state();
  if (s.lru_tail == b) return;
  lru_unlink(b);
  BufferHeader &h = s.headers[b];
  h.lru_prev = s.lru_tail;
  if (s.lru_tail >= 0) s.headers[s.lru_tail].lru_next = b;
  s.lru_tail = b;
  if (s.lru_head < 0) s.lru_head = b;
}

int32_t bucket_of(int32_t block, int32_t fd) {
  int32_t r = static_cast<int32_t>(static_cast<uint32_t>(block) + static_cast<uint32_t>(fd)) %
              state().buckets;
  return r < 0 ? r + state().buckets : r;
}

void hash_insert(int32_t b) {
  CacheState &s = state();
  BufferHeader &h = s.headers[b];
  int32_t bucket = bucket_of(h.block, h.fd);
  h.hash_prev = -1;
  h.hash_next = s.hash[bucket];
  if (h.hash_next >= 0) s.headers[h.hash_next].hash_prev = b;
  s.hash[bucket] = b;
}

void hash_remove(int32_t b) {
  CacheState &s = state();
  BufferHeader &h = s.headers[b];
  if (h.hash_prev >= 0)
    s.headers[h.hash_prev].hash_next = h.hash_next;
  else
    s.hash[bucket_of(h.block, h.fd)] = h.hash_next;
  if (h.hash_next >= 0) s.headers[h.hash_next].hash_prev = h.hash_prev;
  h.hash_next = h.hash_prev = -1;
}

int32_t lookup(int32_t fd, int32_t block) {
  CacheState &s = state();
  for (int32_t b = s.hash[bucket_of(block, fd)]; b >= 0; b = s.headers[b].hash_next) {
    if (s.headers[b].block == block && s.headers[b].fd == fd) return b;
  }
  return -1;
}

// Out of the hash, free, clean; its place in the LRU list is the caller's.
void release(int32_t b) {
  BufferHeader &h = state().headers[b];
  if (h.fd >= 0) hash_remove(b);
  h.fd = -1;
  h.block = -1;
  h.dirty = 0;
}

void assign(int32_t b, int32_t fd, int32_t block) {
  BufferHeader &h = state().headers[b];
  h.fd = fd;
  h.block = block;
  hash_insert(b);
}

// --- write-back -----------------------------------------------------------------

// Writes the buffers on the sort list: sorted by descriptor and block, in
// runs of adjacent blocks of one descriptor, at most 32 to a run, each run
// with one pwrite. Written buffers become clean; when closing they are also
// freed to the LRU tail. With `names`, the trace names each file as its
// runs begin. Returns 1, or the result (0 or -1) of the run that failed; a
// short run counts as nothing written. The buffers after a failed run stay
// dirty.
int32_t write_list(int32_t count, bool closing, bool names) {
  CacheState &s = state();
  int32_t *list = s.sort_list.get();
  std::sort(list, list + count, [&s](int32_t a, int32_t b) {
    const BufferHeader &x = s.headers[a], &y = s.headers[b];
    return x.fd != y.fd ? x.fd < y.fd : x.block < y.block;
  });
  bool trace = tracing();
  int32_t last_fd = -1;
  bool first_name = true;
  int32_t result = 1;
  for (int32_t i = 0; i < count;) {
    const BufferHeader &start = s.headers[list[i]];
    int32_t run = 1;
    while (i + run < count && run < kMaxRunBlocks && s.headers[list[i + run]].fd == start.fd &&
           s.headers[list[i + run]].block == start.block + run)
      ++run;
    for (int32_t k = 0; k < run; ++k)
      memcpy(s.staging + k * kCacheBlockSize, block_data(list[i + k]), kCacheBlockSize);
    int32_t fd = start.fd;
    int64_t offset = static_cast<int64_t>(start.block) * kCacheBlockSize;
    size_t length = static_cast<size_t>(run) * kCacheBlockSize;
    if (trace && names && fd != last_fd) {
      const char *name = kel::file_name_of_descriptor(fd);
      eprintf("%sfile: \"%s\"", first_name ? " " : "\n", name ? name : "");
      first_name = false;
    }
    last_fd = fd;
    ssize_t r = sys_pwrite(fd, s.staging, length, offset);
    s.counters.blocks_written += static_cast<uint32_t>(run);
    if (trace) eprintf(", pwrite(%d, %ld)", static_cast<int>(r), static_cast<long>(offset));
    if (r < 1 || static_cast<size_t>(r) != length) {
      result = r < 0 ? -1 : 0;
      break;
    }
    for (int32_t k = 0; k < run; ++k) {
      int32_t b = list[i + k];
      s.headers[b].dirty = 0;
      if (closing) {
        release(b);
        lru_to_tail(b);
      }
    }
    i += run;
  }
  invalidate_read_ahead();
  return result;
}

// Writes dirty buffer b with the dirty blocks that follow it in the file,
// found among the 31 buffers after b toward the LRU head.
int32_t flush_run(int32_t b) {
  CacheState &s = state();
  const BufferHeader &h = s.headers[b];
  int32_t count = 0;
  s.sort_list[count++] = b;
  while (count < kMaxRunBlocks) {
    int32_t want = h.block + count, found = -1;
    int32_t c = h.lru_prev;
    for (int32_t seen = 0; seen < kMaxRunBlocks - 1 && c >= 0 && found < 0; ++seen) {
      const BufferHeader &o = s.headers[c];
      if (o.dirty && o.fd == h.fd && o.block == want) found = c;
      c = o.lru_prev;
    }
    if (found < 0) break;
    s.sort_list[count++] = found;
  }
  ++s.counters.page_unloads;
  s.counters.continuous += static_cast<uint32_t>(count);
  return write_list(count, false, false);
}

void set_write_error(int32_t result) {
  state().error_flag = result == 0 ? kNothingWritten : kIoError;
}

int32_t flush_percent() {
  int32_t p = kel::fs_settings().cache_flush_percent;
  return (p < 1 || p > 100) ? 25 : p;
}

// Makes buffer b free for reuse. A dirty victim takes a share of the pool's
// least recently used buffers with it, so that one write serves many
// reuses. False (error flag set) when the write-back failed.
bool free_buffer(int32_t b) {
  CacheState &s = state();
  if (s.headers[b].dirty) {
    int32_t n = std::max(1, flush_percent() * s.buffers / 100);
    int32_t count = 0;
    for (int32_t c = s.lru_tail; c >= 0 && n > 0; c = s.headers[c].lru_prev, --n) {
      if (s.headers[c].dirty) s.sort_list[count++] = c;
    }
    int32_t r = write_list(count, false, false);
    if (r == 1 && s.headers[b].dirty) r = flush_run(b);
    if (r != 1) {
      set_write_error(r);
      return false;
    }
  }
  lru_to_head(b);
  release(b);
  return true;
}

// --- reading from disk ----------------------------------------------------------

// pread through the read-ahead buffer. The wish is met only for reads
// under 2048 bytes past the first block; the buffer then holds the 2048
// bytes from the offset, and is kept only when all of them came back.
ssize_t read_ahead_read(int32_t fd, uint8_t *buffer, int32_t length, int64_t offset, bool wish) {
  CacheState &s = state();
  if (wish && length < kReadAheadSize && offset >= kCacheBlockSize) {
    if (s.ra_fd == fd && offset >= s.ra_offset && offset + length <= s.ra_offset + kReadAheadSize) {
      ++s.counters.read_ahead_hits;
      memcpy(buffer, s.staging + (offset - s.ra_offset), static_cast<size_t>(length));
      return length;
    }
    ++s.counters.read_ahead_misses;
    ssize_t r = sys_pread(fd, s.staging, kReadAheadSize, offset);
    if (r < 0) {
      invalidate_read_ahead();
      return -1;
    }
    s.ra_offset = offset;
    s.ra_fd = r == kReadAheadSize ? fd : -1;
    ssize_t n = std::min<ssize_t>(length, r);
    memcpy(buffer, s.staging, static_cast<size_t>(n));
    return n;
  }
  if (wish) ++s.counters.read_ahead_misses;
  return sys_pread(fd, buffer, static_cast<size_t>(length), offset);
}

struct Context {
  int32_t file;
  int32_t fd;
  FileInfo *info;
  bool cached;
};

bool shared_header(const FileInfo &f) {
  return (f.mode & (kDenyWrite | kExclusive)) == 0;
}

// Loads block `block` into buffer b. false: the buffer is freed and the
// load failed (error flag 1 for an I/O error).
bool load_block(const Context &c, int32_t b, int32_t block, LoadMode mode, bool wish) {
  CacheState &s = state();
  uint8_t *dst = block_data(b);
  ssize_t r = read_ahead_read(c.fd, dst, kCacheBlockSize,
                              static_cast<int64_t>(block) * kCacheBlockSize, wish);
  if (r < 0 || (r < kCacheBlockSize && mode == kWhole)) {
    if (r < 0) s.error_flag = kIoError;
    release(b);
    return false;
  }
  // The unread tail of a short block reads as zeros.
  if (r < kCacheBlockSize) memset(dst + r, 0, static_cast<size_t>(kCacheBlockSize - r));
  ++s.counters.page_loads;
  return true;
}

// Finds a block in the pool, loading it unless `mode` is kLookUp.
// Buffer index, or -1.
int32_t find_block(const Context &c, int32_t block, LoadMode mode, bool wish) {
  CacheState &s = state();
  s.error_flag = kNoError;
  int32_t b = lookup(c.fd, block);
  if (b >= 0) {
    if (block != 0 || !shared_header(*c.info)) {
      ++s.counters.hits;
      lru_to_head(b);
      return b;
    }
    // The header of a shared file: another process may have changed it.
    ++s.counters.page_zero_faults;
    ++s.counters.faults;
    if (mode == kLookUp) return -1;
    if (s.headers[b].dirty) {
      int32_t r = flush_run(b);
      if (r != 1) {
        set_write_error(r);
        return -1;
      }
    }
    if (!load_block(c, b, block, mode, wish)) {
      lru_to_tail(b);
      return -1;
    }
    lru_to_head(b);
    return b;
  }
  ++s.counters.faults;
  if (mode == kLookUp) return -1;
  b = s.lru_tail;
  if (!free_buffer(b)) return -1;
  if (!load_block(c, b, block, mode, wish)) {
    lru_to_tail(b);
    return -1;
  }
  assign(b, c.fd, block);
  return b;
}

// --- cached transfers -----------------------------------------------------------

bool is_aligned(int32_t length, int64_t offset) {
  return length % kCacheBlockSize == 0 && offset % kCacheBlockSize == 0;
}

int32_t read_aligned(const Context &c, uint8_t *buffer, int32_t length, int64_t offset) {
  CacheState &s = state();
  int32_t first = static_cast<int32_t>(offset / kCacheBlockSize);
  int32_t count = length / kCacheBlockSize;
  int32_t cached = 0;
  for (int32_t i = 0; i < count; ++i) cached += lookup(c.fd, first + i) >= 0;
  if (cached == count && first != 0) {
    for (int32_t i = 0; i < count; ++i) {
      int32_t b = lookup(c.fd, first + i);
      ++s.counters.hits;
      memcpy(buffer + i * kCacheBlockSize, block_data(b), kCacheBlockSize);
      lru_to_head(b);
    }
    return length;
  }
  for (int32_t i = 0; i < count && cached > 0; ++i) {
    int32_t b = lookup(c.fd, first + i);
    if (b >= 0 && s.headers[b].dirty) {
      int32_t r = flush_run(b);
      if (r != 1) return -1;
    }
  }
  bool wish = c.info->kind == kel::kKindData && c.info->read_ahead;
  ssize_t r = read_ahead_read(c.fd, buffer, length, offset, wish);
  if (r < 0) return -1;
  int32_t whole = static_cast<int32_t>(r / kCacheBlockSize);
  s.counters.page_loads += static_cast<uint32_t>((r + kCacheBlockSize - 1) / kCacheBlockSize);
  if (c.info->kind == kel::kKindData && !c.info->buffer_data) return static_cast<int32_t>(r);
  // Keep what was read. Blocks already in the pool are clean now (flushed
  // above) and take the fresh bytes.
  for (int32_t i = 0; i < whole; ++i) {
    int32_t block = first + i;
    int32_t b = lookup(c.fd, block);
    if (b < 0) {
      b = s.lru_tail;
      if (!free_buffer(b)) break;  // the dirty victim stays for a later write
      ++s.counters.faults;
      if (block == 0) ++s.counters.page_zero_faults;
      assign(b, c.fd, block);
    }
    memcpy(block_data(b), buffer + i * kCacheBlockSize, kCacheBlockSize);
    lru_to_head(b);
  }
  return static_cast<int32_t>(r);
}

int32_t read_pieces(const Context &c, uint8_t *buffer, int32_t length, int64_t offset) {
  LoadMode mode = c.info->buffer_data ? kWhole : kLookUp;
  bool wish = c.info->read_ahead != 0;
  if (c.info->kind == kel::kKindIndex) {
    mode = kWhole;
    wish = false;
  }
  int32_t done = 0;
  while (done < length) {
    int64_t at = offset + done;
    int32_t block = static_cast<int32_t>(at / kCacheBlockSize);
    int32_t inside = static_cast<int32_t>(at % kCacheBlockSize);
    int32_t n = std::min(kCacheBlockSize - inside, length - done);
    int32_t b = find_block(c, block, mode, wish);
    if (b >= 0) {
      memcpy(buffer + done, block_data(b) + inside, static_cast<size_t>(n));
      done += n;
      continue;
    }
    if (mode != kLookUp || state().error_flag != kNoError) return -1;
    ssize_t r = sys_pread(c.fd, buffer + done, static_cast<size_t>(n), at);
    if (r < 0) return -1;
    done += static_cast<int32_t>(r);
    if (r < n) break;  // end of file
  }
  return done;
}

// The result of a write whose block could not be had: 0 when a write-back
// found the disk full, else -1.
int32_t failed_write() {
  if (state().error_flag == kNothingWritten) {
    errno = ENOSPC;
    return 0;
  }
  return -1;
}

// The buffer of a block that a deferred write replaces whole. A block not
// in the pool takes a buffer without being read first: every byte of it is
// about to be overwritten, so the read would only cost a system call.
int32_t claim_block(const Context &c, int32_t block) {
  int32_t b = find_block(c, block, kLookUp, false);
  if (b >= 0) return b;
  b = state().lru_tail;
  if (!free_buffer(b)) return -1;
  assign(b, c.fd, block);
  return b;
}

int32_t write_aligned(const Context &c, const uint8_t *buffer, int32_t length, int64_t offset) {
  CacheState &s = state();
  int32_t first = static_cast<int32_t>(offset / kCacheBlockSize);
  int32_t count = length / kCacheBlockSize;
  if (c.info->mode & kDeferred) {
    for (int32_t i = 0; i < count; ++i) {
      int32_t b = claim_block(c, first + i);
      if (b < 0) return failed_write();
      memcpy(block_data(b), buffer + i * kCacheBlockSize, kCacheBlockSize);
      s.headers[b].dirty = 1;
    }
    return length;
  }
  ssize_t r = sys_pwrite(c.fd, buffer, static_cast<size_t>(length), offset);
  if (s.ra_fd == c.fd) invalidate_read_ahead();
  if (r != length) return static_cast<int32_t>(r);
  for (int32_t i = 0; i < count; ++i) {
    int32_t b = find_block(c, first + i, kLookUp, false);
    if (b < 0) continue;
    memcpy(block_data(b), buffer + i * kCacheBlockSize, kCacheBlockSize);
    s.headers[b].dirty = 0;  // the pool and the disk agree again
  }
  return length;
}

int32_t write_pieces(const Context &c, const uint8_t *buffer, int32_t length, int64_t offset) {
  CacheState &s = state();
  bool deferred = (c.info->mode & kDeferred) && c.info->buffer_data;
  int32_t done = 0;
  while (done < length) {
    int64_t at = offset + done;
    int32_t block = static_cast<int32_t>(at / kCacheBlockSize);
    int32_t inside = static_cast<int32_t>(at % kCacheBlockSize);
    int32_t n = std::min(kCacheBlockSize - inside, length - done);
    int32_t b = find_block(c, block, deferred ? kShortOk : kLookUp, false);
    bool to_disk = !deferred;
    if (b >= 0) {
      if (s.headers[b].dirty) to_disk = false;  // it will be written with its block
      memcpy(block_data(b) + inside, buffer + done, static_cast<size_t>(n));
      if (deferred) s.headers[b].dirty = 1;
    } else if (deferred) {
      return failed_write();
    }
    if (to_disk) {
      ssize_t r = sys_pwrite(c.fd, buffer + done, static_cast<size_t>(n), at);
      if (s.ra_fd == c.fd) invalidate_read_ahead();
      if (r < 0) return -1;
      if (r < n) return done + static_cast<int32_t>(r);
    }
    done += n;
  }
  return length;
}

// --- per call -------------------------------------------------------------------

bool context(int32_t file, Context *c) {
  if (!Binit()) return false;
  CacheState &s = state();
  int32_t fd = file >= 0 && file < s.files ? kel::file_descriptor(file) : -1;
  if (fd < 0) {
    *fs_error_code() = E_PARAM;
    errno = EBADF;
    return false;
  }
  c->file = file;
  c->fd = fd;
  c->info = &s.info[file];
  c->cached = s.buffers > 0 && (c->info->kind != kel::kKindData || (c->info->mode & kDeferred) ||
                                c->info->sync_data);
  return true;
}

const char *name_of(int32_t file) {
  const char *name = kel::file_name(file);
  return name ? name : "";
}

int32_t cached_read(const Context &c, void *buffer, int32_t length, int64_t offset) {
  if (length <= 0) return 0;
  auto *out = static_cast<uint8_t *>(buffer);
  return is_aligned(length, offset) ? read_aligned(c, out, length, offset)
                                    : read_pieces(c, out, length, offset);
}

int32_t cached_write(const Context &c, const void *buffer, int32_t length, int64_t offset) {
  if (length <= 0) return 0;
  auto *in = static_cast<const uint8_t *>(buffer);
  return is_aligned(length, offset) ? write_aligned(c, in, length, offset)
                                    : write_pieces(c, in, length, offset);
}

// Bread, Bwrite (at the file's position, which advances by the bytes
// transferred), Bpread and Bpwrite (at an explicit offset).
struct Transfer {
  const char *name;
  uint32_t kel::CacheCounters::*calls;
  bool write;
  bool positioned;
};
constexpr Transfer kBread{"Bread", &kel::CacheCounters::bread_calls, false, false};
constexpr Transfer kBwrite{"Bwrite", &kel::CacheCounters::bwrite_calls, true, false};
constexpr Transfer kBpread{"Bpread", &kel::CacheCounters::bpread_calls, false, true};
constexpr Transfer kBpwrite{"Bpwrite", &kel::CacheCounters::bpwrite_calls, true, true};

// The system call of a file that is not cached, counted and traced.
int32_t direct_transfer(const Transfer &t, int fd, void *buffer, int32_t length, int64_t offset,
                        bool trace) {
  CacheState &s = state();
  size_t n = static_cast<size_t>(std::max(length, 0));
  int32_t r;
  if (t.positioned) {
    r = static_cast<int32_t>(t.write ? sys_pwrite(fd, buffer, n, offset)
                                     : sys_pread(fd, buffer, n, offset));
    if (trace)
      eprintf(", %s(%d, %ld)\n", t.write ? "pwrite" : "pread", r, static_cast<long>(offset));
    return r;
  }
  if (t.write) {
    ++s.counters.write_calls;
    r = static_cast<int32_t>(write(fd, buffer, n));
    if (r < 0 && errno == ENOSPC) r = 0;
  } else {
    ++s.counters.read_calls;
    r = static_cast<int32_t>(read(fd, buffer, n));
  }
  if (trace) eprintf(", %s(%d)\n", t.write ? "write" : "read", r);
  return r;
}

int32_t transfer(const Transfer &t, int32_t file, void *buffer, int32_t length, int64_t offset) {
  Context c;
  if (!context(file, &c)) return -1;
  ++(state().counters.*t.calls);
  if (!t.positioned) offset = c.info->position;
  bool trace = tracing();
  if (trace)
    eprintf("V: %s(\"%s\", %d)@%ld", t.name, name_of(file), length, static_cast<long>(offset));
  int32_t r;
  if (c.cached) {
    r = t.write ? cached_write(c, buffer, length, offset) : cached_read(c, buffer, length, offset);
    if (trace) eprintf("\n");
  } else {
    r = direct_transfer(t, c.fd, buffer, length, offset, trace);
  }
  if (!t.positioned && r > 0) c.info->position += r;
  return r;
}

void drop_descriptor(int32_t fd) {
  CacheState &s = state();
  for (int32_t b = 0; b < s.buffers; ++b) {
    if (s.headers[b].fd == fd) {
      release(b);
      lru_to_tail(b);
    }
  }
}

int32_t largest_prime_up_to(int32_t n) {
  if (n < 3) return n;
  for (int32_t p = n;; --p) {
    bool prime = p % 2 != 0;
    for (int32_t d = 3; prime && d * d <= p; d += 2) prime = p % d != 0;
    if (prime) return p;
  }
}

void print_metrics() {
  const kel::CacheCounters &k = state().counters;
  auto lu = [](uint32_t v) { return static_cast<unsigned long>(v); };
  eprintf("V: Dorvex Cache Metrics:\n");
  eprintf("V:   # of cache buffers = %ld\n", static_cast<long>(state().buffers));
  eprintf("V:   %lu Bread() calls\n", lu(k.bread_calls));
  eprintf("V:   %lu Bwrite() calls\n", lu(k.bwrite_calls));
  eprintf("V:   %lu Bseek() calls\n", lu(k.bseek_calls));
  eprintf("V:   %lu Bpread() calls\n", lu(k.bpread_calls));
  eprintf("V:   %lu Bpwrite() calls\n", lu(k.bpwrite_calls));
  eprintf("V:   %lu cache hits %lu cache faults (%lu page zero)\n", lu(k.hits), lu(k.faults),
          lu(k.page_zero_faults));
  double continuous = k.page_unloads ? static_cast<double>(k.continuous) / k.page_unloads : 0.0;
  eprintf("V:   %lu page loads, %lu page unloads (%1.2f continuous)\n", lu(k.page_loads),
          lu(k.page_unloads), continuous);
  eprintf("V:   %lu read() calls\n", lu(k.read_calls));
  eprintf("V:   %lu pread() calls\n", lu(k.pread_calls));
  eprintf("V:   %lu write() calls\n", lu(k.write_calls));
  eprintf("V:   %lu pwrite() calls\n", lu(k.pwrite_calls));
  eprintf("V:   %lu lseek() calls\n", lu(k.lseek_calls));
  uint32_t total = k.read_calls + k.pread_calls + k.write_calls + k.pwrite_calls + k.lseek_calls;
  eprintf("V:   %lu total system calls\n", lu(total));
  uint32_t writes = k.write_calls + k.pwrite_calls;
  double per_write = writes ? static_cast<double>(k.blocks_written) / writes : 0.0;
  eprintf("V:   %lu total blocks written, %1.2f blocks / write\n", lu(k.blocks_written), per_write);
  // The percentage after the misses is that of the hits.
  uint32_t attempts = k.read_ahead_hits + k.read_ahead_misses;
  double hit_percent = attempts ? static_cast<double>(k.read_ahead_hits) * 100.0 / attempts : 0.0;
  eprintf("V:   %lu read-ahead attempts, %lu hits, ", lu(attempts), lu(k.read_ahead_hits));
  eprintf("%lu misses (%1.2f%%)\n", lu(k.read_ahead_misses), hit_percent);
}

}  // namespace

extern "C" int32_t Binit(void) {
  CacheState &s = state();
  if (s.ready) return 1;
  kel::CacheConfig cfg = read_config();
  int32_t buffers =
      cfg.buffers < 0 ? kel::kDefaultCacheBuffers : std::min(cfg.buffers, kel::kMaxCacheBuffers);
  int32_t files = std::max<int32_t>(1, kel::fs_settings().max_files);
  kel::MemPtr<FileInfo> info;
  kel::MemPtr<uint32_t> versions;
  kel::MemPtr<BufferHeader> headers;
  kel::MemPtr<uint8_t> data;
  kel::MemPtr<int32_t> sort_list, hash;
  int32_t buckets = largest_prime_up_to(buffers);
  bool ok = info.allocate(files, "cache file information") &&
            versions.allocate(files, "cache version table");
  if (ok && buffers > 0) {
    ok = headers.allocate(buffers, "cache buffers") &&
         data.allocate(static_cast<size_t>(buffers) * kCacheBlockSize, "dorvex buffer") &&
         sort_list.allocate(buffers, "modified Dorvex buffer indices for sorting") &&
         hash.allocate(buckets, "dorvex hash table");
  }
  if (!ok) {
    *fs_error_code() = E_NO_MEMORY;
    return 0;
  }
  for (int32_t b = 0; b < buffers; ++b) {
    headers[b] = BufferHeader{-1, -1, b + 1 < buffers ? b + 1 : -1, b - 1, -1, -1, 0};
  }
  for (int32_t i = 0; i < buckets; ++i) hash[i] = -1;
  s.buffers = buffers;
  s.files = files;
  s.buckets = buckets;
  s.info = std::move(info);
  s.versions = std::move(versions);
  s.headers = std::move(headers);
  s.data = std::move(data);
  s.sort_list = std::move(sort_list);
  s.hash = std::move(hash);
  s.lru_head = buffers > 0 ? 0 : -1;
  s.lru_tail = buffers - 1;
  invalidate_read_ahead();
  s.error_flag = kNoError;
  s.counters = kel::CacheCounters{};
  s.ready = true;
  kel::set_descriptor_renumber_hook(Brenumber);
  return 1;
}

extern "C" int32_t Bopen(const char *path, int32_t flags) {
  if (!Binit()) return -1;
  CacheState &s = state();
  if (tracing()) eprintf("V: Bopen(\"%s\")\n", path);
  if ((flags & kModeBits) == kDeferred) flags &= ~kModeBits;
  int32_t file = Aopen32(path, flags);
  if (file < 0) return file;
  if (file >= s.files) {
    Aclose32(file);
    *fs_error_code() = E_TOO_MANY_FILES;
    return -1;
  }
  kel::CacheConfig cfg = read_config();
  s.info[file] = FileInfo{0,
                          static_cast<uint16_t>(flags & kModeBits),
                          cfg.buffer_data,
                          cfg.no_async_cache_data,
                          cfg.read_ahead,
                          0};
  return file;
}

extern "C" void Bset_kind(int32_t file, int32_t kind) {
  Context c;
  if (context(file, &c)) c.info->kind = static_cast<uint8_t>(kind);
}

extern "C" int64_t Bseek(int32_t file, int64_t offset) {
  Context c;
  if (!context(file, &c)) return -1;
  CacheState &s = state();
  ++s.counters.bseek_calls;
  bool trace = tracing();
  if (trace)
    eprintf("V: Bseek(\"%s\", %ld -> %ld)", name_of(file), static_cast<long>(c.info->position),
            static_cast<long>(offset));
  c.info->position = offset;
  if (c.cached) {
    if (trace) eprintf("\n");
    return offset;
  }
  ++s.counters.lseek_calls;
  off_t r = lseek(c.fd, offset, SEEK_SET);
  if (trace) eprintf(", lseek(%ld)\n", static_cast<long>(r));
  return r;
}

extern "C" int32_t Bread(int32_t file, void *buffer, int32_t length) {
  return transfer(kBread, file, buffer, length, 0);
}

// The buffer of a write is only read; the one transfer routine takes both.
extern "C" int32_t Bwrite(int32_t file, const void *buffer, int32_t length) {
  return transfer(kBwrite, file, const_cast<void *>(buffer), length, 0);
}

extern "C" int32_t Bpread(int32_t file, void *buffer, int32_t length, int64_t offset) {
  return transfer(kBpread, file, buffer, length, offset);
}

extern "C" int32_t Bpwrite(int32_t file, const void *buffer, int32_t length, int64_t offset) {
  return transfer(kBpwrite, file, const_cast<void *>(buffer), length, offset);
}

extern "C" int32_t Bsync(int32_t flags) {
  CacheState &s = state();
  if (!s.ready) return 1;
  bool trace = tracing();
  if (trace) eprintf("V: Bsync(%d)", flags);
  int32_t count = 0;
  for (int32_t b = 0; b < s.buffers; ++b) {
    const BufferHeader &h = s.headers[b];
    if (!h.dirty) continue;
    bool skip = false;
    if (!(flags & 1)) {
      for (int32_t f = 0; f < s.files && !skip; ++f) {
        skip = s.info[f].mode == (kExclusive | kDeferred) && kel::file_descriptor(f) == h.fd;
      }
    }
    if (!skip) s.sort_list[count++] = b;
  }
  int32_t r = count > 0 ? write_list(count, false, true) : 1;
  if (trace) eprintf("\n");
  if (!(flags & 2)) Async();
  return r == 1 ? 1 : 0;
}

// A block that cannot be written at close is dropped with the descriptor:
// the descriptor number may come back for another file, and its blocks
// must not be taken for that file's.
extern "C" int32_t Bclose(int32_t file) {
  Context c;
  if (!context(file, &c)) return 0;
  CacheState &s = state();
  bool trace = tracing();
  if (trace) eprintf("V: Bclose(\"%s\")", name_of(file));
  int32_t r = 1;
  if (s.buffers > 0) {
    int32_t count = 0;
    for (int32_t b = 0; b < s.buffers; ++b) {
      BufferHeader &h = s.headers[b];
      if (h.fd != c.fd) continue;
      if (h.dirty) {
        s.sort_list[count++] = b;
      } else {
        release(b);
        lru_to_tail(b);
      }
    }
    if (count > 0) r = write_list(count, true, false);
    drop_descriptor(c.fd);
  }
  if (trace) eprintf("\n");
  Aclose32(file);
  *c.info = FileInfo{};
  s.versions[c.fd % s.files] = 0;
  if (s.ra_fd == c.fd) invalidate_read_ahead();
  return r == 1 ? 1 : 0;
}

extern "C" void Bset_version(int32_t file, uint32_t version) {
  Context c;
  if (!context(file, &c)) return;
  CacheState &s = state();
  uint32_t &recorded = s.versions[c.fd % s.files];
  if (recorded == version) return;
  drop_descriptor(c.fd);
  recorded = version;
  invalidate_read_ahead();
}

extern "C" void Bstore_version(int32_t file, uint32_t version) {
  Context c;
  if (!context(file, &c)) return;
  state().versions[c.fd % state().files] = version;
}

extern "C" void Brenumber(int32_t old_fd, int32_t new_fd) {
  if (!Binit() || old_fd < 0 || new_fd < 0) return;
  CacheState &s = state();
  for (int32_t b = 0; b < s.buffers; ++b) {
    if (s.headers[b].fd != old_fd) continue;
    hash_remove(b);
    s.headers[b].fd = new_fd;
    hash_insert(b);
  }
  s.versions[new_fd % s.files] = s.versions[old_fd % s.files];
  if (new_fd % s.files != old_fd % s.files) s.versions[old_fd % s.files] = 0;
  if (s.ra_fd == old_fd) s.ra_fd = new_fd;
}

extern "C" void Bshutdown(void) {
  CacheState &s = state();
  if (s.ready) {
    if (kel::trace_on(kel::kTraceCacheMetrics)) print_metrics();
    kel::set_descriptor_renumber_hook(nullptr);
    s.info.reset();
    s.versions.reset();
    s.headers.reset();
    s.data.reset();
    s.sort_list.reset();
    s.hash.reset();
    s.buffers = s.files = s.buckets = 0;
    s.lru_head = s.lru_tail = -1;
    invalidate_read_ahead();
    s.ready = false;
  }
  Afree_files();
}

extern "C" int32_t read_at(int32_t file, void *buffer, int64_t offset, int32_t length) {
  int32_t r = Bpread(file, buffer, length, offset);
  if (r == -1) {
    *fs_error_code() = E_SYSERR;
    return 0;
  }
  if (r < length) {
    *fs_error_code() = E_BROKEN;
    *fs_error_secondary() = 9;
    return 0;
  }
  return 1;
}

extern "C" int32_t write_at(int32_t file, const void *buffer, int64_t offset, int32_t length) {
  int32_t r = Bpwrite(file, buffer, length, offset);
  if (r == -1) {
    *fs_error_code() = E_SYSERR;
    return 0;
  }
  if (r < length) {
    *fs_error_code() = E_DISK_FULL;
    return 0;
  }
  return 1;
}

namespace kel {

const CacheCounters &cache_counters() {
  return state().counters;
}
int32_t cache_buffer_count() {
  return state().buffers;
}
int32_t cache_bucket_count() {
  return state().buckets;
}
void set_cache_config_override(const CacheConfig *config) {
  state().config_override = config;
}

}  // namespace kel
