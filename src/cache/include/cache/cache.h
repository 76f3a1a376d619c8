// The block cache: file-position calls shaped like the system calls, over
// files of the OS file table (osfile/files.h), with one process-wide pool
// of 512-byte blocks shared by all open files.
//
// - Index segments always go through the pool; data segments only when
//   opened for deferred writes (0x400 with 0x100 or 0x200) or when
//   V_NO_ASYNC_CACHE_DATA is set; every other call goes straight to the
//   system, as does every call when V_BUFFERS is 0, except the reads of a
//   walk that the engine asks for with Bpread_ahead (cache_window.cpp).
// - Block 0 (a file's header) is read from disk again on every access
//   unless the file is opened deny-write or exclusive, since other
//   processes change it; Bset_version drops every cached block of a file
//   that another process has changed.
// - A deny-write or exclusive open loads the blocks it misses in the pool
//   from a read-only mapping of its file, without a system call
//   (cache_window.cpp): nobody else may change the file meanwhile.
// - Deferred writes only dirty the pool; dirty blocks reach the disk sorted
//   by descriptor and block, in runs of up to 32 adjacent blocks per
//   pwrite, when a buffer must be reused, at Bsync and at Bclose.
//
// Settings: V_BUFFERS (at Binit; -1 means the built-in 64), V_BUFFER_DATA,
// V_NO_ASYNC_CACHE_DATA and V_READ_AHEAD (at each Bopen), read through the
// configuration library; V_CACHE_FLUSH_PERCENT, MAX_FILES and V_TRACE from
// the file system's working values (V_TRACE's bit of value 8 traces every
// call, 4 prints the metrics at Bshutdown). Before the file system's
// configuration table is defined the typed getters answer 0, which means:
// no pool, every call direct.
#pragma once

#include <cstdint>

extern "C" {

// Allocates the pool on first use (Bopen and Brenumber call it): 1, or 0
// with E_NO_MEMORY and nothing left allocated.
int32_t Binit(void);
// Opens through Aopen32: file number, or a negative value.
int32_t Bopen(const char *path, int32_t flags);
// Records the file kind (see kel::CacheKind); 0 until set.
void Bset_kind(int32_t file, int32_t kind);
// The new position, or -1.
int64_t Bseek(int32_t file, int64_t offset);
// At the current position, which advances by the bytes transferred.
// Bytes transferred, or -1 (0 from a write: the disk is full).
int32_t Bread(int32_t file, void *buffer, int32_t length);
int32_t Bwrite(int32_t file, const void *buffer, int32_t length);
// At an explicit offset; same results.
int32_t Bpread(int32_t file, void *buffer, int32_t length, int64_t offset);
int32_t Bpwrite(int32_t file, const void *buffer, int32_t length, int64_t offset);
// Bpread for a read that walks forward through a data segment which
// bypasses the pool, while nobody can change what it reads (the caller
// holds the file still: the update lock, or an open that keeps other
// writers out): served from a read-only mapping of the file when it is
// open deny-write or exclusive, else from the copy window, which one pread
// fills ahead of a walk through records stored in order. Any other read is
// a Bpread. Same results.
int32_t Bpread_ahead(int32_t file, void *buffer, int32_t length, int64_t offset);
// Bpread_ahead without the copy, where the mapping serves it: the address
// of the bytes at `offset` inside the mapping, with *got set to how many of
// the `length` asked for are there (fewer at the end of the file). Counted
// and traced as the Bpread_ahead it stands for. Null, with nothing counted
// or traced, when the mapping does not serve the read: Bpread_ahead then
// does. The address stays valid until the next call on the cache.
const uint8_t *Bpeek_ahead(int32_t file, int32_t length, int64_t offset, int32_t *got);
// The start of the file's read mapping, where Bpeek_ahead serves reads
// from it, with *valid set to how many of its bytes show the file; null
// otherwise. For prefetch hints only: the mapping may move at the next
// call on the cache, and a prefetch of an address that is no longer mapped
// is harmless where a read is not. Neither counted nor traced (it reads
// nothing and makes no system call).
const uint8_t *Bmapped_view(int32_t file, int64_t *valid);
// The address inside the file's read mapping (a deny-write or exclusive
// open, of any kind) of its `length` bytes at `offset`, where the mapping
// shows all of them; null otherwise. For hints (the engine's walk looks
// ahead into the leaf it will read next and hints the processor to load
// it and its records), and for reads by a caller that knows the pool
// holds nothing newer of the file (the engine's node reads of an input
// open that keeps writers out): the bytes are the file's, not the pool's
// (a block this process changed may not be written yet), and the address
// may move at the next call on the cache. Neither counted nor traced: it
// reads nothing and makes no system call.
const uint8_t *Bmapped_at(int32_t file, int64_t offset, int32_t length);
// Writes the dirty blocks: bit 0 of `flags` includes files opened 0x600,
// bit 1 skips the system sync. 1, or 0 when a write failed.
int32_t Bsync(int32_t flags);
// Writes the file's dirty blocks, drops its blocks and closes it through
// Aclose32. 1 when the final write succeeded.
int32_t Bclose(int32_t file);
// Drops every cached block of the file (without writing) when `version`
// differs from the one recorded for its descriptor, then records it.
void Bset_version(int32_t file, uint32_t version);
// Records the version without dropping anything.
void Bstore_version(int32_t file, uint32_t version);
// The OS layer moved a file to a new descriptor: its blocks, its version
// and the read-ahead buffer follow. Registered with the OS layer by Binit.
void Brenumber(int32_t old_fd, int32_t new_fd);
// Prints the metrics (V_TRACE value 4), frees the pool, marks the cache
// uninitialised and releases the OS file table.
void Bshutdown(void);

// The engine's checked block transfers: 1, or 0 with the error code set.
// read_at: E_SYSERR on -1, E_BROKEN (secondary 9) on a short read.
// write_at: E_SYSERR on -1, E_DISK_FULL on a short write.
int32_t read_at(int32_t file, void *buffer, int64_t offset, int32_t length);
int32_t write_at(int32_t file, const void *buffer, int64_t offset, int32_t length);
}

namespace kel {

// The secondary code of E_BROKEN when a block read comes back short (the
// indexed engine's table lists it as kBrokenShortRead).
constexpr int32_t kShortBlockRead = 9;
constexpr int32_t kCacheBlockSize = 512;
constexpr int32_t kReadAheadSize = 2048;
constexpr int32_t kMaxRunBlocks = 32;
constexpr int32_t kMaxCacheBuffers = 2097152;
constexpr int32_t kDefaultCacheBuffers = 64;

// File kinds recorded by Bset_kind.
enum CacheKind : int32_t {
  kKindData = 255,   // data segment
  kKindIndex = 254,  // index segment
  kKindOther = 253,  // a file of the engine's other kind
};

// The metrics; all count from Binit.
struct CacheCounters {
  uint32_t bread_calls, bwrite_calls, bseek_calls, bpread_calls, bpwrite_calls;
  uint32_t hits, faults, page_zero_faults;
  uint32_t page_loads;
  uint32_t page_unloads;  // runs flushed to make room
  uint32_t continuous;    // blocks in those runs
  uint32_t read_calls, write_calls, pread_calls, pwrite_calls, lseek_calls;
  uint32_t blocks_written;
  uint32_t read_ahead_hits, read_ahead_misses;
};
const CacheCounters &cache_counters();
// Whether the calls on an open file go straight to the system: a data
// segment that does not use the pool (first rule above), or any file when
// there is no pool. False for a file that is not open.
bool cache_bypasses_pool(int32_t file);
// Number of buffers and hash buckets of the pool (0 before Binit).
int32_t cache_buffer_count();
int32_t cache_bucket_count();

// The cache's configuration variables, for tests and benchmarks that must
// set them without defining the file system's configuration table; null
// reads the configuration library again.
struct CacheConfig {
  int32_t buffers = -1;  // V_BUFFERS
  bool buffer_data = true;
  bool no_async_cache_data = false;
  bool read_ahead = true;
};
void set_cache_config_override(const CacheConfig *config);

}  // namespace kel
