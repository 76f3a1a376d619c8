// The pool of the block cache: the LRU list and the hash of its buffers,
// the write-back of dirty buffers, block loads through the read-ahead
// buffer, and the reads and writes of cached files. The layout is in
// cache_internal.h.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cache_internal.h"
#include "config/fs_config.h"
#include "messages/diag.h"
#include "osfile/files.h"

namespace kel::cache {

bool tracing() {
  return trace_on(kTraceInner);
}

void invalidate_read_ahead() {
  CacheState &s = state();
  s.ra_fd = -1;
  s.ra_offset = kNoReadAheadOffset;
}

namespace {

uint8_t *block_data(int32_t b) {
  return state().blocks + static_cast<size_t>(b) * kCacheBlockSize;
}

}  // namespace

// --- system calls, counted ---------------------------------------------------

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

// --- lists -------------------------------------------------------------------

namespace {

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

int32_t bucket_of(int32_t block, int32_t fd) {
  int32_t r = static_cast<int32_t>(static_cast<uint32_t>(block) + static_cast<uint32_t>(fd)) %
              state().buckets;
  return r < 0 ? r + state().buckets : r;
}

int32_t lookup(int32_t fd, int32_t block) {
  CacheState &s = state();
  for (int32_t b = s.hash[bucket_of(block, fd)]; b >= 0; b = s.headers[b].hash_next) {
    if (s.headers[b].block == block && s.headers[b].fd == fd) return b;
  }
  return -1;
}

void assign(int32_t b, int32_t fd, int32_t block) {
  BufferHeader &h = state().headers[b];
  h.fd = fd;
  h.block = block;
  hash_insert(b);
}

}  // namespace

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

// Out of the hash, free, clean; its place in the LRU list is the caller's.
void release(int32_t b) {
  BufferHeader &h = state().headers[b];
  if (h.fd >= 0) hash_remove(b);
  h.fd = -1;
  h.block = -1;
  h.dirty = 0;
}

void forget_buffer(int32_t b) {
  release(b);
  lru_to_tail(b);
}

// --- write-back --------------------------------------------------------------

// Writes the buffers on the sort list: sorted by descriptor and block, in
// runs of adjacent blocks of one descriptor, at most 32 to a run, each run
// with one pwrite. Written buffers become clean; when closing they are also
// freed to the LRU tail. A `sync` (Bsync) names each file in the trace as
// its runs begin. Returns 1, or the result (0 or -1) of the run that failed; a
// short run counts as nothing written. The buffers after a failed run stay
// dirty.
//
// Runs joined across gaps: a write-back that makes room (not a sync, not a
// close) with a list of more than kMinJoinList blocks, for a file whose
// open keeps other writers out (exclusive or deny-write, with locking in
// force: joinable_file) and is mapped, joins two runs of that file
// separated by at most kMaxJoinGap blocks (within the run's 32), writing
// the blocks between them as they stand: the pool's copy when the block is
// pooled, otherwise the bytes the file holds (its read mapping, which this
// process's pwrites show at once). Nobody else may write such a file, a
// clean or absent block is on disk as this process last wrote it, and a
// dirty one in the gap is written with its current bytes and marked clean,
// as a later write-back would have done; so the file ends byte for byte as
// with separate runs, with fewer pwrites. Random inserts into an index
// larger than the pool leave dirty blocks a few apart, where one system
// call costs more than copying the blocks between. A gap block past the
// size last seen through the mapping ends the run. The run's pwrite and the
// written-blocks counter then count the joined blocks, so no runs are
// joined while V_TRACE shows the cache's steps or its metrics: these show
// the write-backs of the plain rule (README, Decisions).
namespace {

// Eight blocks, one 4 KiB page of the file: a gap block costs two copies
// of its 512 bytes (into the staging area, then the kernel's), cheaper
// than a system call only up to a few blocks.
constexpr int32_t kMaxJoinGap = 8;
// Only a list of more than 16 blocks is looked at for joins: the default
// pool of 64 buffers writes back a quarter, 16, scattered over its files,
// where joins are rare (1 % fewer pwrites on random inserts) and looking
// for them cost 2 % of its processor time.
constexpr int32_t kMinJoinList = 16;

// The bookkeeping of the file open on `fd` when its open keeps other
// writers out and its mapping exists; null otherwise. The open keeps them
// out only while locking is in force (keeps_writers_out): a file opened
// without locking (0x800), or any file while V_INTERNAL_LOCKS is off (then
// a second open of it in this process is not refused), may have another
// writer, whose bytes a gap written from a stale pool copy or from the
// mapping would overwrite. The file found last is tried first: a pool's
// write-backs are mostly of one or two files.
const FileInfo *joinable_file(int32_t fd) {
  CacheState &s = state();
  auto fits = [&s, fd](int32_t f) {
    const FileInfo &i = s.info[f];
    return i.map != nullptr && keeps_writers_out(i) && kel::file_descriptor(f) == fd;
  };
  if (s.join_memo < s.files && fits(s.join_memo)) return &s.info[s.join_memo];
  for (int32_t f = 0; f < s.files; ++f) {
    if (fits(f)) {
      s.join_memo = f;
      return &s.info[f];
    }
  }
  return nullptr;
}

// Copies the gap block `block` of `fd` into `to`: the pool's copy (dirty:
// its buffer is returned, to be marked clean once written) or the mapped
// file's bytes. False when neither has it.
bool fill_gap(const FileInfo &file, int32_t fd, int32_t block, uint8_t *to, int32_t *dirty) {
  int32_t b = lookup(fd, block);
  *dirty = -1;
  if (b >= 0) {
    memcpy(to, block_data(b), kCacheBlockSize);
    if (state().headers[b].dirty) *dirty = b;
    return true;
  }
  int64_t offset = static_cast<int64_t>(block) * kCacheBlockSize;
  if (offset + kCacheBlockSize > file.map_valid) return false;
  memcpy(to, file.map + offset, kCacheBlockSize);
  return true;
}

}  // namespace

int32_t write_list(int32_t count, bool closing, bool sync) {
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
  // keeps_writers_out is the answer at open; V_INTERNAL_LOCKS switched off
  // since then lets a second open in.
  bool may_join = !closing && !sync && count > kMinJoinList && fs_settings().internal_locks &&
                  !trace_on(kTraceInner | kTraceCacheMetrics);
  int32_t join_fd = -1;
  const FileInfo *join_file = nullptr;
  // Dirty buffers outside the list written in a joined run's gaps.
  int32_t gap_dirty[kMaxRunBlocks];
  for (int32_t i = 0; i < count;) {
    const BufferHeader &start = s.headers[list[i]];
    int32_t fd = start.fd;
    if (may_join && fd != join_fd) {
      join_fd = fd;
      join_file = joinable_file(fd);
    }
    // `run` list entries, `blocks` blocks from start.block on.
    int32_t run = 0, blocks = 0, gap_count = 0;
    while (i + run < count) {
      const BufferHeader &next = s.headers[list[i + run]];
      if (next.fd != fd) break;
      int32_t gap = next.block - (start.block + blocks);
      if (run > 0 && gap != 0) {
        if (join_file == nullptr || gap < 0 || gap > kMaxJoinGap || blocks + gap >= kMaxRunBlocks)
          break;
        int32_t filled = 0, at = gap_count;
        while (filled < gap &&
               fill_gap(*join_file, fd, start.block + blocks + filled,
                        s.staging + (blocks + filled) * kCacheBlockSize, &gap_dirty[at])) {
          if (gap_dirty[at] >= 0) ++at;
          ++filled;
        }
        if (filled < gap) break;
        gap_count = at;
        blocks += gap;
      } else if (blocks >= kMaxRunBlocks) {
        break;
      }
      memcpy(s.staging + blocks * kCacheBlockSize, block_data(list[i + run]), kCacheBlockSize);
      ++run;
      ++blocks;
    }
    int64_t offset = static_cast<int64_t>(start.block) * kCacheBlockSize;
    size_t length = static_cast<size_t>(blocks) * kCacheBlockSize;
    if (trace && sync && fd != last_fd) {
      const char *name = file_name_of_descriptor(fd);
      eprintf("%sfile: \"%s\"", first_name ? " " : "\n", name ? name : "");
      first_name = false;
    }
    last_fd = fd;
    ssize_t r = sys_pwrite(fd, s.staging, length, offset);
    s.counters.blocks_written += static_cast<uint32_t>(blocks);
    if (trace) eprintf(", pwrite(%d, %ld)", static_cast<int>(r), static_cast<long>(offset));
    if (r < 1 || static_cast<size_t>(r) != length) {
      result = r < 0 ? -1 : 0;
      break;
    }
    for (int32_t k = 0; k < gap_count; ++k) s.headers[gap_dirty[k]].dirty = 0;
    for (int32_t k = 0; k < run; ++k) {
      int32_t b = list[i + k];
      s.headers[b].dirty = 0;
      if (closing) forget_buffer(b);
    }
    i += run;
  }
  invalidate_read_ahead();
  return result;
}

namespace {

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
  int32_t p = fs_settings().cache_flush_percent;
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

}  // namespace

// --- reading from disk -------------------------------------------------------

namespace {

// pread through the read-ahead buffer. The wish is met only for reads
// under 2048 bytes past the first block; the buffer then holds the 2048
// bytes from the offset, and is kept only when all of them came back.
//
// A deny-write or exclusive open reads from the mapping of its file
// instead (cache_window.cpp), without a system call and without the
// read-ahead buffer: nobody else may change the file while such an open
// holds, a block missing from the pool is on disk as this process last
// wrote it (a dirty block is written before its buffer is reused), and
// this process's pwrite shows in a shared mapping at once. Such a load
// counts as a page load as before, but neither a pread nor a read-ahead
// attempt.
ssize_t read_ahead_read(const Context &c, uint8_t *buffer, int32_t length, int64_t offset,
                        bool wish) {
  CacheState &s = state();
  int32_t fd = c.fd;
  int32_t mapped = mapped_pread(c, buffer, length, offset);
  if (mapped != -2) return mapped;
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

// Whether a write of the file stays in the pool, marked dirty, until its
// block is written back; otherwise every write also goes to the disk.
bool writes_deferred(const FileInfo &f) {
  return (f.mode & kDeferred) && f.buffer_data;
}

// Loads block `block` into buffer b. false: the buffer is freed and the
// load failed (error flag 1 for an I/O error).
bool load_block(const Context &c, int32_t b, int32_t block, LoadMode mode, bool wish) {
  CacheState &s = state();
  uint8_t *dst = block_data(b);
  ssize_t r =
      read_ahead_read(c, dst, kCacheBlockSize, static_cast<int64_t>(block) * kCacheBlockSize, wish);
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
    if (block != 0 || keeps_writers_out(*c.info)) {
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

}  // namespace

// --- cached transfers --------------------------------------------------------

namespace {

bool is_aligned(int32_t length, int64_t offset) {
  return length % kCacheBlockSize == 0 && offset % kCacheBlockSize == 0;
}

int32_t read_aligned(const Context &c, uint8_t *buffer, int32_t length, int64_t offset) {
  CacheState &s = state();
  int32_t first = static_cast<int32_t>(offset / kCacheBlockSize);
  int32_t count = length / kCacheBlockSize;
  int32_t cached = 0, found = -1;
  for (int32_t i = 0; i < count; ++i) {
    found = lookup(c.fd, first + i);
    cached += found >= 0;
  }
  if (cached == count && first != 0) {
    s.error_flag = kNoError;  // as on every other path served from the pool
    for (int32_t i = 0; i < count; ++i) {
      int32_t b = count == 1 ? found : lookup(c.fd, first + i);  // one block: looked up above
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
  bool wish = c.info->kind == kKindData && c.info->read_ahead;
  ssize_t r = read_ahead_read(c, buffer, length, offset, wish);
  if (r < 0) return -1;
  int32_t whole = static_cast<int32_t>(r / kCacheBlockSize);
  s.counters.page_loads += static_cast<uint32_t>((r + kCacheBlockSize - 1) / kCacheBlockSize);
  if (c.info->kind == kKindData && !c.info->buffer_data) return static_cast<int32_t>(r);
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
  if (c.info->kind == kKindIndex) {
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
// Block 0 of an open that does not keep other writers out is no hit for
// find_block, yet its buffer may be in the pool: that buffer is the one
// overwritten, never a second buffer of the same block beside it.
int32_t claim_block(const Context &c, int32_t block) {
  int32_t b = find_block(c, block, kLookUp, false);
  if (b >= 0 || (b = lookup(c.fd, block)) >= 0) return b;
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
  if (r != length) {
    // The disk may have taken some of these blocks and not the rest:
    // forget the pooled ones, as write_pieces does its block, so that a
    // later read sees what the file holds.
    for (int32_t i = 0; i < count; ++i) {
      int32_t b = lookup(c.fd, first + i);
      if (b >= 0) forget_buffer(b);
    }
    return static_cast<int32_t>(r);
  }
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
  bool deferred = writes_deferred(*c.info);
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
      if (r < n) {
        // The pool's copy took bytes the disk did not: forget the block,
        // so that a later read sees what the file holds.
        if (b >= 0) forget_buffer(b);
        return r < 0 ? -1 : done + static_cast<int32_t>(r);
      }
    }
    done += n;
  }
  return length;
}

}  // namespace

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

int32_t held_block_transfer(const Context &c, bool write, void *buffer, int32_t length,
                            int64_t offset) {
  const FileInfo &i = *c.info;
  // Block 0 is read past the pool when it may be shared (and by an
  // aligned read in any case); a write of it is a plain hit only for an
  // open that keeps other writers out, otherwise find_block loads it
  // afresh first.
  const bool header_hit = write && keeps_writers_out(i);
  if (length <= 0 || offset < (header_hit ? 0 : kCacheBlockSize)) return -2;
  if (write && !writes_deferred(i)) return -2;
  const int64_t block = offset / kCacheBlockSize;
  const int32_t inside = static_cast<int32_t>(offset % kCacheBlockSize);
  if (length > kCacheBlockSize - inside) return -2;
  const int32_t b = lookup(c.fd, static_cast<int32_t>(block));
  if (b < 0) return -2;
  CacheState &s = state();
  s.error_flag = kNoError;
  if (write) {
    memcpy(block_data(b) + inside, buffer, static_cast<size_t>(length));
    s.headers[b].dirty = 1;
  } else {
    memcpy(buffer, block_data(b) + inside, static_cast<size_t>(length));
  }
  ++s.counters.hits;
  lru_to_head(b);
  return length;
}

void drop_descriptor(int32_t fd) {
  CacheState &s = state();
  for (int32_t b = 0; b < s.buffers; ++b) {
    if (s.headers[b].fd == fd) forget_buffer(b);
  }
}

}  // namespace kel::cache
