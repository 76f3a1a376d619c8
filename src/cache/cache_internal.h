// The block cache's own types, and the pool operations that its entry
// points use, shared by its two source files only:
//
//   cache.cpp       the state, the entry points and the metrics
//   cache_pool.cpp  the pool: LRU list, hash, write-back, block loads
//                   through the read-ahead buffer, cached transfers
//   cache_window.cpp reads of data segments that bypass the pool
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
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "cache/cache.h"
#include "support/alloc.h"

namespace kel::cache {

constexpr int64_t kNoReadAheadOffset = -100000;
constexpr uint16_t kDenyWrite = 0x100;
constexpr uint16_t kExclusive = 0x200;
constexpr uint16_t kDeferred = 0x400;
constexpr uint16_t kModeBits = 0x700;

// 32 bytes, aligned to them: a header never straddles two cache lines, so
// a look-up down a hash chain or a move in the LRU list touches one line
// per buffer met (28 bytes unaligned straddled two for about four buffers
// in ten).
struct alignas(32) BufferHeader {
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
  // The read-only mapping of a data segment (cache_window.cpp): its
  // length, the file size it may be read up to, and whether mapping failed.
  uint8_t *map = nullptr;
  int64_t map_length = 0;
  int64_t map_valid = 0;
  bool map_failed = false;
  // The file table's Afile_writers_kept_out, asked at open.
  bool writers_kept_out = false;
};

// Whether nobody else writes the file while it is open: a deny-write or
// exclusive open with locking in force for it (the mode bits alone do not
// keep a second open of this process out while V_INTERNAL_LOCKS is off).
// Only then may the pool keep block 0 and the mapping serve reads.
inline bool keeps_writers_out(const FileInfo &f) {
  return f.writers_kept_out;
}

// Load modes of find_block.
enum LoadMode { kLookUp = 0, kWhole = 1, kShortOk = 2 };
// Error flag of find_block and buffer reuse.
enum ErrorFlag { kNoError = 0, kIoError = 1, kNothingWritten = 2 };

struct CacheState {
  bool ready = false;
  int32_t buffers = 0;
  int32_t files = 0;
  int32_t buckets = 0;
  MemPtr<FileInfo> info;
  MemPtr<uint32_t> versions;  // indexed by descriptor mod files
  // The buffer headers, aligned to their size inside `header_memory`
  // (which has one header more): the allocator aligns to 8 bytes only.
  MemPtr<uint8_t> header_memory;
  BufferHeader *headers = nullptr;
  MemPtr<uint8_t> data;
  // The first block in `data`: aligned to the block size (the allocation
  // has one block more), so that no block straddles a cache line more than
  // it must, nor a 4 KiB page.
  uint8_t *blocks = nullptr;
  MemPtr<int32_t> sort_list;
  MemPtr<int32_t> hash;
  int32_t lru_head = -1, lru_tail = -1;
  // The per-file slot joinable_file found last, tried first the next time
  // (checked against the slot count and the descriptor before use).
  int32_t join_memo = 0;
  int32_t ra_fd = -1;
  int64_t ra_offset = kNoReadAheadOffset;
  // The copy window of data segments that bypass the pool
  // (cache_window.cpp): descriptor (-1: empty), offset and length of its
  // contents, and whether the file ended inside it.
  MemPtr<uint8_t> window;
  int32_t win_fd = -1;
  int64_t win_offset = 0;
  int32_t win_length = 0;
  bool win_eof = false;
  int error_flag = kNoError;
  CacheCounters counters{};
  alignas(16) uint8_t staging[kMaxRunBlocks * kCacheBlockSize] = {};

  // Set by tests and benchmarks; survives Bshutdown.
  const CacheConfig *config_override = nullptr;
};

// The cache's whole process-wide state (cache.cpp): Binit allocates its
// tables and Bshutdown frees them. It is initialised as a constant, before
// any code runs, so that the pool's many small helpers reach it inline
// without a call and without the test of a first-use guard at every
// access (a function's static object has one).
extern constinit CacheState g_state;
inline CacheState &state() {
  return g_state;
}

// One call on an open file.
struct Context {
  int32_t file;
  int32_t fd;
  FileInfo *info;
  bool cached;
};

// Bytes of the copy window of data segments that bypass the pool.
constexpr int32_t kDataWindowSize = 32768;

// --- cache_window.cpp

// A positioned read of a file that bypasses the pool, served by the
// mapping or the copy window: bytes read, -1 on an error, -2 when the read
// is to go to the system as it is.
int32_t window_pread(const Context &c, void *buffer, int32_t length, int64_t offset);
// The address of a read that window_pread would serve from the mapping,
// *got set to its length; null (nothing counted) otherwise.
const uint8_t *window_peek(const Context &c, int32_t length, int64_t offset, int32_t *got);
// Whether the mapping or the copy window serves this read of the file.
inline bool serves(const FileInfo &i, int32_t length, int64_t offset) {
  return state().buffers > 0 && i.kind == kKindData && i.read_ahead && !(i.mode & kDeferred) &&
         !i.sync_data && offset >= kCacheBlockSize && length > 0;
}
// window_peek of a read that lies inside what the mapping already shows,
// which needs neither the descriptor nor the file's size: null otherwise.
// Inline: every record read of a walk on a deny-write or exclusive open
// comes here.
inline const uint8_t *mapped_inside(FileInfo &i, int32_t length, int64_t offset, int32_t *got) {
  if (i.map == nullptr || offset + length > i.map_valid || !serves(i, length, offset))
    return nullptr;
  *got = length;
  ++state().counters.read_ahead_hits;
  return i.map + offset;
}
// The mapping's start and *valid its bytes that show the file, where it
// serves reads ahead (mapped_inside's conditions but the offset); null.
const uint8_t *mapped_view(const FileInfo &i, int64_t *valid);
// A positioned read of a deny-write or exclusive open, copied from the
// read-only mapping of its file (without counting anything): bytes read
// (short or 0 at the end of the file), -2 when the file is not mapped and
// the read is to go to the system.
int32_t mapped_pread(const Context &c, void *buffer, int32_t length, int64_t offset);
void invalidate_data_window();
void unmap_file(FileInfo &info);

// --- cache_pool.cpp

// V_TRACE asks for a line per cache call.
bool tracing();
void invalidate_read_ahead();
// pread and pwrite, counted; a full disk makes pwrite answer 0.
ssize_t sys_pread(int fd, void *buffer, size_t length, int64_t offset);
ssize_t sys_pwrite(int fd, const void *buffer, size_t length, int64_t offset);
void lru_to_tail(int32_t b);
void hash_insert(int32_t b);
void hash_remove(int32_t b);
// Out of the hash, free, clean; its place in the LRU list is the caller's.
void release(int32_t b);
// Released and put at the LRU tail, the first buffer taken next: a block
// the pool is to forget.
void forget_buffer(int32_t b);
// Writes the first `count` buffers of the sort list, in sorted runs.
int32_t write_list(int32_t count, bool closing, bool sync);
// A read or a write of a cached file, through the pool.
int32_t cached_read(const Context &c, void *buffer, int32_t length, int64_t offset);
int32_t cached_write(const Context &c, const void *buffer, int32_t length, int64_t offset);
// The common case of a cached transfer, decided before the general one:
// a read or write that lies inside one block the pool holds (a read not
// of block 0, a write of block 0 only while the open keeps other writers
// out). It is what the general path does for such a transfer (a
// hit: counted as one, the error flag cleared, the buffer made most
// recently used, the bytes copied, a write of a deferred file marking the
// buffer dirty), without its dispatch by alignment and mode and its
// second look-up. Only writes of files whose writes are deferred into the
// pool (deferred mode with V_BUFFER_DATA) come here; other writes also
// reach the disk. The bytes transferred, or -2, with nothing done or
// counted, when the transfer is not of this kind or the block is not in
// the pool.
int32_t held_block_transfer(const Context &c, bool write, void *buffer, int32_t length,
                            int64_t offset);
// Frees every buffer of a descriptor, dirty or not, without writing it.
void drop_descriptor(int32_t fd);

}  // namespace kel::cache
