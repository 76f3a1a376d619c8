// The block cache: its entry points and its metrics. The pool itself is in
// cache_pool.cpp; its state and layout are documented in cache_internal.h.
#include "cache/cache.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cache_internal.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "support/alloc.h"
#include "support/fail.h"
#include "support/huge_pages.h"

using kel::fs_fail;

using namespace kel::cache;
using kel::kCacheBlockSize;

constinit CacheState kel::cache::g_state;

namespace {

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

// A file uses the pool unless it is a data segment opened without
// deferred writes and without V_NO_ASYNC_CACHE_DATA, or there is no pool.
bool uses_pool(const FileInfo &info) {
  return state().buffers > 0 &&
         (info.kind != kel::kKindData || (info.mode & kDeferred) || info.sync_data);
}

// The bookkeeping of `file` when the cache is set up and the number is one
// of its slots (open or not), without initialising anything; null otherwise.
FileInfo *slot_of(int32_t file) {
  CacheState &s = state();
  return s.ready && file >= 0 && file < s.files ? &s.info[file] : nullptr;
}

// Inline in every transfer: it is the first step of each of the several
// block transfers an indexed operation makes.
[[gnu::always_inline]] inline bool context(int32_t file, Context *c) {
  CacheState &s = state();
  if (!s.ready && !Binit()) return false;
  int32_t fd = file >= 0 && file < s.files ? kel::file_descriptor(file) : -1;
  if (fd < 0) {
    fs_fail(E_PARAM);
    errno = EBADF;
    return false;
  }
  c->file = file;
  c->fd = fd;
  c->info = &s.info[file];
  c->cached = uses_pool(*c->info);
  return true;
}

const char *name_of(int32_t file) {
  const char *name = kel::file_name(file);
  return name ? name : "";
}

// Bread, Bwrite (at the file's position, which advances by the bytes
// transferred), Bpread and Bpwrite (at an explicit offset).
struct Transfer {
  const char *name;
  uint32_t kel::CacheCounters::*calls;
  bool write;
  bool positioned;
  bool ahead = false;  // a read of a walk: the data windows may serve it
};

constexpr Transfer kBread{"Bread", &kel::CacheCounters::bread_calls, false, false};
constexpr Transfer kBwrite{"Bwrite", &kel::CacheCounters::bwrite_calls, true, false};
constexpr Transfer kBpread{"Bpread", &kel::CacheCounters::bpread_calls, false, true};
constexpr Transfer kBpwrite{"Bpwrite", &kel::CacheCounters::bpwrite_calls, true, true};
constexpr Transfer kBpreadAhead{"Bpread", &kel::CacheCounters::bpread_calls, false, true, true};

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

// Inline in each entry point, so that the Transfer's fields are constants
// there and the checks that do not apply to it fall away.
[[gnu::always_inline]] inline int32_t transfer(const Transfer &t, int32_t file, void *buffer,
                                               int32_t length, int64_t offset) {
  Context c;
  if (!context(file, &c)) return -1;
  ++(state().counters.*t.calls);
  if (!t.positioned) offset = c.info->position;
  bool trace = tracing();
  if (trace)
    eprintf("V: %s(\"%s\", %d)@%ld", t.name, name_of(file), length, static_cast<long>(offset));
  int32_t r;
  if (c.cached && !trace && t.positioned &&
      (r = held_block_transfer(c, t.write, buffer, length, offset)) != -2)
    return r;
  if (c.cached) {
    r = t.write ? cached_write(c, buffer, length, offset) : cached_read(c, buffer, length, offset);
    if (trace) eprintf("\n");
  } else if (t.ahead && (r = window_pread(c, buffer, length, offset)) != -2) {
    if (trace) eprintf("\n");
  } else {
    if (t.write && state().win_fd == c.fd) invalidate_data_window();
    r = direct_transfer(t, c.fd, buffer, length, offset, trace);
  }
  if (!t.positioned && r > 0) c.info->position += r;
  return r;
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

// The first element of size `size` (default: T's) in `memory`, which has
// room for `count` + 1 of them: aligned to that size. Null for no memory.
template <typename T>
T *aligned_in(uint8_t *memory, int32_t count, size_t size = sizeof(T)) {
  if (memory == nullptr || count <= 0) return nullptr;
  const uintptr_t at = reinterpret_cast<uintptr_t>(memory);
  return reinterpret_cast<T *>(memory + (size - at % size) % size);
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
  kel::MemPtr<uint8_t> header_memory;
  kel::MemPtr<uint8_t> data;
  kel::MemPtr<int32_t> sort_list, hash;
  kel::MemPtr<uint8_t> window;
  int32_t buckets = largest_prime_up_to(buffers);
  bool ok = info.allocate(files, "cache file information") &&
            versions.allocate(files, "cache version table");
  if (ok && buffers > 0) {
    ok = header_memory.allocate(static_cast<size_t>(buffers + 1) * sizeof(BufferHeader),
                                "cache buffers") &&
         data.allocate(static_cast<size_t>(buffers + 1) * kCacheBlockSize, "dorvex buffer") &&
         sort_list.allocate(buffers, "modified Dorvex buffer indices for sorting") &&
         hash.allocate(buckets, "dorvex hash table") &&
         window.allocate(kDataWindowSize, "dorvex data window");
  }
  if (!ok) {
    return fs_fail(E_NO_MEMORY);
  }
  // A large pool is touched at random places: its blocks, headers and
  // hash table ask for transparent huge pages before they are first
  // written (a fresh zeroed block of this size is untouched memory; the
  // loops below write the headers and the hash table after the advice).
  // A pool under 2 MiB (the default 64 blocks) holds no huge page and is
  // left as it is; without transparent huge pages nothing changes.
  if (buffers > 0) {
    kel::advise_huge_pages(data.get(), static_cast<size_t>(buffers + 1) * kCacheBlockSize);
    kel::advise_huge_pages(header_memory.get(),
                           static_cast<size_t>(buffers + 1) * sizeof(BufferHeader));
    kel::advise_huge_pages(hash.get(), static_cast<size_t>(buckets) * sizeof(int32_t));
  }
  BufferHeader *headers = aligned_in<BufferHeader>(header_memory.get(), buffers);
  for (int32_t b = 0; b < buffers; ++b) {
    headers[b] = BufferHeader{-1, -1, b + 1 < buffers ? b + 1 : -1, b - 1, -1, -1, 0};
  }
  for (int32_t i = 0; i < buckets; ++i) hash[i] = -1;
  s.buffers = buffers;
  s.files = files;
  s.buckets = buckets;
  s.info = std::move(info);
  s.versions = std::move(versions);
  s.header_memory = std::move(header_memory);
  s.headers = headers;
  s.data = std::move(data);
  s.blocks = aligned_in<uint8_t>(s.data.get(), buffers, kCacheBlockSize);
  s.sort_list = std::move(sort_list);
  s.hash = std::move(hash);
  s.window = std::move(window);
  invalidate_data_window();
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
    fs_fail(E_TOO_MANY_FILES);
    return -1;
  }
  kel::CacheConfig cfg = read_config();
  unmap_file(s.info[file]);
  s.info[file] = FileInfo{0,
                          static_cast<uint16_t>(flags & kModeBits),
                          cfg.buffer_data,
                          cfg.no_async_cache_data,
                          cfg.read_ahead,
                          0};
  s.info[file].writers_kept_out = Afile_writers_kept_out(file) != 0;
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

extern "C" int32_t Bpread_ahead(int32_t file, void *buffer, int32_t length, int64_t offset) {
  return transfer(kBpreadAhead, file, buffer, length, offset);
}

extern "C" const uint8_t *Bpeek_ahead(int32_t file, int32_t length, int64_t offset, int32_t *got) {
  CacheState &s = state();
  const uint8_t *p = nullptr;
  if (FileInfo *i = slot_of(file)) p = mapped_inside(*i, length, offset, got);
  if (p == nullptr) {
    Context c;
    if (!context(file, &c) || c.cached) return nullptr;
    p = window_peek(c, length, offset, got);
    if (p == nullptr) return nullptr;
  }
  ++s.counters.bpread_calls;
  if (tracing())
    eprintf("V: %s(\"%s\", %d)@%ld\n", kBpreadAhead.name, name_of(file), length,
            static_cast<long>(offset));
  return p;
}

extern "C" const uint8_t *Bmapped_view(int32_t file, int64_t *valid) {
  *valid = 0;
  const FileInfo *i = slot_of(file);
  return i == nullptr ? nullptr : mapped_view(*i, valid);
}

extern "C" const uint8_t *Bmapped_at(int32_t file, int64_t offset, int32_t length) {
  const FileInfo *i = slot_of(file);
  if (i == nullptr || i->map == nullptr || offset < 0 || length <= 0 ||
      offset + length > i->map_valid)
    return nullptr;
  return i->map + offset;
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

// One walk over the pool: clean buffers of the file are freed as they are
// found, dirty ones are written and freed by write_list. A block that
// cannot be written at close is dropped all the same (the close reports
// the failure): the descriptor number may come back for another file, and
// its blocks must not be taken for that file's.
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
        forget_buffer(b);
      }
    }
    if (count > 0) r = write_list(count, true, false);
    if (r != 1) {
      for (int32_t k = 0; k < count; ++k) {
        if (s.headers[s.sort_list[k]].fd == c.fd) forget_buffer(s.sort_list[k]);
      }
    }
  }
  if (trace) eprintf("\n");
  unmap_file(*c.info);
  Aclose32(file);
  *c.info = FileInfo{};
  s.versions[c.fd % s.files] = 0;
  if (s.ra_fd == c.fd) invalidate_read_ahead();
  if (s.win_fd == c.fd) invalidate_data_window();
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
  if (s.win_fd == c.fd) invalidate_data_window();
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
  if (s.win_fd == old_fd) s.win_fd = new_fd;
}

extern "C" void Bshutdown(void) {
  CacheState &s = state();
  if (s.ready) {
    if (kel::trace_on(kel::kTraceCacheMetrics)) print_metrics();
    kel::set_descriptor_renumber_hook(nullptr);
    for (int32_t f = 0; f < s.files; ++f) unmap_file(s.info[f]);
    s.info.reset();
    s.window.reset();
    invalidate_data_window();
    s.versions.reset();
    s.header_memory.reset();
    s.headers = nullptr;
    s.data.reset();
    s.blocks = nullptr;
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
    return fs_fail(E_SYSERR);
  }
  if (r < length) {
    return fs_fail(E_BROKEN, kel::kShortBlockRead);
  }
  return 1;
}

extern "C" int32_t write_at(int32_t file, const void *buffer, int64_t offset, int32_t length) {
  int32_t r = Bpwrite(file, buffer, length, offset);
  if (r == -1) {
    return fs_fail(E_SYSERR);
  }
  if (r < length) {
    return fs_fail(E_DISK_FULL);
  }
  return 1;
}

namespace kel {

bool cache_bypasses_pool(int32_t file) {
  const FileInfo *i = slot_of(file);
  return i != nullptr && kel::file_descriptor(file) >= 0 && !uses_pool(*i);
}

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
