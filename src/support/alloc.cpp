// The describing allocator: see alloc.h for the switches.
//
// Layout of a system block, from its start (each part only when its feature
// was on when the block was made; the flags word records which):
//
//   offset  width  part
//   0       8      front word (guards or categories): bytes 0-3 the guard
//                  "abab", byte 4 the category (0-5)
//   ..      40     description record (description table kept): mark,
//                  size, next record, file, line, description
//   ..      8      block header: usable size (32-bit), flags (16-bit: bits
//                  0-5 description mask, bit 6 category, bit 7 guards)
//   ..      size   the usable bytes handed to the caller
//   ..      2      end guard "yz" (guards on)
//
// The guard and the category share one 8-byte front word so that the usable
// bytes stay 8-byte aligned on a 64-bit machine; the description record
// holds native pointers, so it is 40 bytes wide here rather than 24, and
// the dump reports that real overhead.
#include "support/alloc.h"
#include "support/described_allocator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelfs/errors.h"
#include "support/fail.h"

namespace {

constexpr uint16_t kFlagMaskBits = 0x3F;
constexpr uint16_t kFlagCategory = 0x40;
constexpr uint16_t kFlagGuards = 0x80;
constexpr uint16_t kDescMark = 0x4D44;
constexpr size_t kFrontWord = 8;
constexpr size_t kHeader = 8;
constexpr size_t kEndGuard = 2;
constexpr size_t kRegistryStep = 4000;
constexpr size_t kRecentFrees = 1024;
constexpr const char *kGuardLog = "dbgmalloc.log";

struct DescRecord {
  uint16_t mark;
  uint32_t size;
  DescRecord *next;  // list sorted by address
  const char *file;
  int32_t line;
  const char *description;
};
static_assert(sizeof(DescRecord) == 40);

struct BlockHeader {
  uint32_t size;
  uint16_t flags;
  uint16_t unused;
};
static_assert(sizeof(BlockHeader) == kHeader);

struct GuardEntry {
  unsigned char *front;  // the 4 guard bytes
  unsigned char *end;    // the 2 guard bytes
  unsigned char *user;
};

struct AllocState {
  bool settings_read = false;
  bool categories = false;
  uint16_t desc_mask = 0;
  bool guards = false;
  int desc_fd = -1;
  uint32_t category_bytes[kel::kAllocCategories] = {};
  DescRecord *desc_head = nullptr;
  size_t desc_count = 0;
  GuardEntry *registry = nullptr;
  size_t registry_count = 0;
  size_t registry_capacity = 0;
  void *recent_frees[kRecentFrees] = {};
  size_t recent_next = 0;
  int64_t live_blocks = 0;
  int64_t fail_countdown = 0;
  bool failure_triggered = false;
};

AllocState &state() {
  static AllocState s;
  return s;
}

long env_number(const char *name) {
  const char *v = getenv(name);
  return v ? strtol(v, nullptr, 0) : 0;
}

void read_settings() {
  AllocState &s = state();
  if (s.settings_read) return;
  s.settings_read = true;
  s.categories = env_number("TRACE") > 0 || env_number("A_DEBUG") > 0;
  s.guards = env_number("TEST_ALLOCATED_MEMORY_BOUNDS") != 0;
  uint16_t mask = static_cast<uint16_t>(env_number("A_MEM_DESC") & kFlagMaskBits);
  const char *file = getenv("A_MEM_DESC_FILE");
  if (mask != 0 && file != nullptr && *file != '\0') {
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
      s.desc_fd = fd;
      s.desc_mask = mask;
      if (mask & 4) {
        const char *head = "address, bytes: file:line, `description'\n";
        if (write(fd, head, strlen(head)) < 0) { /* diagnostics only */
        }
      }
    }
  }
}

// Formats into a growing heap string (plain malloc: the allocator cannot use
// itself for its own diagnostics).
char *vformat(const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return nullptr;
  char *text = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (text) vsnprintf(text, static_cast<size_t>(n) + 1, format, args);
  return text;
}

char *format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *format(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char *text = vformat(fmt, args);
  va_end(args);
  return text;
}

void write_text(int fd, const char *text) {
  if (fd < 0 || text == nullptr) return;
  size_t len = strlen(text);
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void desc_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void desc_printf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char *text = vformat(fmt, args);
  va_end(args);
  write_text(state().desc_fd, text);
  free(text);
}

void guard_log(const char *text) {
  int fd = open(kGuardLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  write_text(fd, text);
  close(fd);
}

// --- block geometry -------------------------------------------------------

size_t prefix_size(uint16_t flags) {
  size_t n = kHeader;
  if (flags & (kFlagCategory | kFlagGuards)) n += kFrontWord;
  if (flags & kFlagMaskBits) n += sizeof(DescRecord);
  return n;
}

BlockHeader *header_of(void *user) {
  return reinterpret_cast<BlockHeader *>(static_cast<unsigned char *>(user) - kHeader);
}

unsigned char *system_block(void *user, uint16_t flags) {
  return static_cast<unsigned char *>(user) - prefix_size(flags);
}

DescRecord *desc_of(void *user, uint16_t flags) {
  if (!(flags & kFlagMaskBits)) return nullptr;
  return reinterpret_cast<DescRecord *>(static_cast<unsigned char *>(user) - kHeader -
                                        sizeof(DescRecord));
}

// --- description table ----------------------------------------------------

void desc_insert(DescRecord *rec) {
  AllocState &s = state();
  DescRecord **link = &s.desc_head;
  while (*link && *link < rec) link = &(*link)->next;
  rec->next = *link;
  *link = rec;
  ++s.desc_count;
}

void desc_unlink(DescRecord *rec) {
  AllocState &s = state();
  for (DescRecord **link = &s.desc_head; *link; link = &(*link)->next) {
    if (*link == rec) {
      *link = rec->next;
      --s.desc_count;
      return;
    }
  }
}

void dump_table() {
  AllocState &s = state();
  if (s.desc_fd < 0) return;
  uint64_t total = 0;
  for (DescRecord *r = s.desc_head; r; r = r->next) {
    const char *d =
        (r->description && *r->description) ? r->description : "no description available";
    desc_printf(
        "%p, %u: %s:%ld, `%s'\n",
        static_cast<void *>(reinterpret_cast<unsigned char *>(r) + sizeof(DescRecord) + kHeader),
        r->size, r->file ? r->file : "", static_cast<long>(r->line), d);
    total += r->size;
  }
  desc_printf("usable memory allocated: %u bytes\n", static_cast<unsigned>(total));
  desc_printf("memory description overhead: %ld bytes\n",
              static_cast<long>(s.desc_count * sizeof(DescRecord)));
}

// One trace line of an allocator call: `head` (after a newline when every
// call also dumps the table), the caller's call description in
// parentheses, then `tail`. Takes ownership of both texts.
void trace_call(char *head, const char *trace_format, va_list args, char *tail) {
  AllocState &s = state();
  write_text(s.desc_fd, (s.desc_mask & 4) ? "\n" : "");
  write_text(s.desc_fd, head);
  if (trace_format != nullptr) {
    va_list copy;
    va_copy(copy, args);
    char *text = vformat(trace_format, copy);
    va_end(copy);
    if (text) desc_printf("(%s) ", text);
    free(text);
  }
  write_text(s.desc_fd, tail);
  free(head);
  free(tail);
}

bool tracing_calls() {
  return (state().desc_mask & 6) != 0;
}

// --- guards -----------------------------------------------------------------

const char *call_text(const char *trace_format, va_list args, const char *fallback, char **owned) {
  *owned = nullptr;
  if (trace_format == nullptr) return fallback;
  va_list copy;
  va_copy(copy, args);
  *owned = vformat(trace_format, copy);
  va_end(copy);
  return *owned ? *owned : fallback;
}

void check_guards(const char *call) {
  AllocState &s = state();
  for (size_t i = 0; i < s.registry_count; ++i) {
    const GuardEntry &g = s.registry[i];
    if (memcmp(g.front, "abab", 4) != 0) {
      char *t = format("%s: Block overwritten (at front), addr = %p\n", call,
                       static_cast<void *>(g.user));
      guard_log(t);
      free(t);
    }
    if (g.end[0] != 'y' || g.end[1] != 'z') {
      char *t =
          format("%s: Block overwritten (at end), addr = %p\n", call, static_cast<void *>(g.user));
      guard_log(t);
      free(t);
    }
  }
}

void register_block(unsigned char *front, unsigned char *end, unsigned char *user) {
  AllocState &s = state();
  if (s.registry_count == s.registry_capacity) {
    size_t cap = s.registry_capacity + kRegistryStep;
    auto *grown = static_cast<GuardEntry *>(realloc(s.registry, cap * sizeof(GuardEntry)));
    if (grown == nullptr) {
      char *t = format("Not enough memory for %u entries\n", static_cast<unsigned>(cap));
      guard_log(t);
      free(t);
      return;
    }
    s.registry = grown;
    s.registry_capacity = cap;
  }
  s.registry[s.registry_count++] = GuardEntry{front, end, user};
}

// Index of the registry entry of `user`, or -1.
long find_registered(void *user) {
  AllocState &s = state();
  for (size_t i = 0; i < s.registry_count; ++i)
    if (s.registry[i].user == user) return static_cast<long>(i);
  return -1;
}

void unregister_at(long i) {
  AllocState &s = state();
  s.registry[i] = s.registry[--s.registry_count];
}

void remember_free(void *user) {
  AllocState &s = state();
  s.recent_frees[s.recent_next] = user;
  s.recent_next = (s.recent_next + 1) % kRecentFrees;
}

bool recently_freed(void *user) {
  for (void *p : state().recent_frees)
    if (p == user) return true;
  return false;
}

// With guards on, a pointer that is not registered is never touched: it is
// reported (a second free of a block freed recently, or a pointer that never
// came from here) and the call does nothing else.
bool accept_guarded_pointer(void *user) {
  if (find_registered(user) >= 0) return true;
  char *t = recently_freed(user) ? format("Free of freed area, addr = %p\n", user)
                                 : format("Free or realloc of unallocated area, addr = %p\n", user);
  guard_log(t);
  free(t);
  return false;
}

// The check that opens every allocator call while guards are on; findings
// name the caller's call description, else `fallback`.
void check_guards_for(const char *trace_format, va_list args, const char *fallback) {
  if (!state().guards) return;
  char *owned;
  const char *call = call_text(trace_format, args, fallback, &owned);
  check_guards(call);
  free(owned);
}

// The same for a call on an existing block, which must be one of ours
// when guards are on: false (reported) when it is not.
bool check_guards_for_block(void *user, const char *trace_format, va_list args,
                            const char *fallback) {
  check_guards_for(trace_format, args, fallback);
  return !state().guards || accept_guarded_pointer(user);
}

// --- failure injection ------------------------------------------------------

bool injected_failure() {
  AllocState &s = state();
  if (s.fail_countdown <= 0) return false;
  if (--s.fail_countdown > 0) return false;
  s.failure_triggered = true;
  return true;
}

void *no_memory() {
  return kel::fs_fail(E_NO_MEMORY);
}

// Lays out a fresh system block of `total` bytes and returns the user pointer.
void *finish_block(unsigned char *sys, uint32_t size, uint16_t flags, int category,
                   const char *file, int32_t line, const char *description) {
  AllocState &s = state();
  unsigned char *p = sys;
  if (flags & (kFlagCategory | kFlagGuards)) {
    memcpy(p, (flags & kFlagGuards) ? "abab" : "\0\0\0\0", 4);
    p[4] = static_cast<unsigned char>(category);
    p += kFrontWord;
  }
  if (flags & kFlagMaskBits) {
    auto *rec = reinterpret_cast<DescRecord *>(p);
    rec->mark = kDescMark;
    rec->size = size;
    rec->file = file;
    rec->line = line;
    rec->description = description ? description : "NULL DESCRIPTION";
    desc_insert(rec);
    p += sizeof(DescRecord);
  }
  auto *hdr = reinterpret_cast<BlockHeader *>(p);
  hdr->size = size;
  hdr->flags = flags;
  hdr->unused = 0;
  unsigned char *user = p + kHeader;
  if (flags & kFlagGuards) {
    user[size] = 'y';
    user[size + 1] = 'z';
    register_block(sys, user + size, user);
  }
  if (flags & kFlagCategory) s.category_bytes[category] += size;
  return user;
}

uint16_t current_flags() {
  AllocState &s = state();
  uint16_t flags = s.desc_mask;
  if (s.categories) flags |= kFlagCategory;
  if (s.guards) flags |= kFlagGuards;
  return flags;
}

size_t total_size(uint32_t size, uint16_t flags) {
  return prefix_size(flags) + size + ((flags & kFlagGuards) ? kEndGuard : 0);
}

// Undoes the bookkeeping of a live block (category, description, registry).
void forget_block(void *user, uint16_t flags) {
  AllocState &s = state();
  BlockHeader *hdr = header_of(user);
  if (flags & kFlagMaskBits) desc_unlink(desc_of(user, flags));
  if (flags & kFlagCategory) {
    int category = system_block(user, flags)[4];
    s.category_bytes[category] -= hdr->size;
  }
  if (flags & kFlagGuards) {
    long i = find_registered(user);
    if (i >= 0) unregister_at(i);
  }
}

void *allocate(uint32_t size, int32_t kind, const char *file, int32_t line, const char *description,
               const char *trace_format, va_list args) {
  read_settings();
  AllocState &s = state();
  check_guards_for(trace_format, args, "malloc");
  if (injected_failure()) return no_memory();
  uint16_t flags = current_flags();
  size_t total = total_size(size, flags);
  auto *sys = static_cast<unsigned char *>(kind < 0 ? malloc(total) : calloc(1, total));
  if (sys == nullptr) return no_memory();
  int category = kind & 0xF;
  if (category > 5) category = 5;
  void *user = finish_block(sys, size, flags, category, file, line, description);
  ++s.live_blocks;
  if (tracing_calls()) {
    trace_call(format("M_alloc(%d) ", static_cast<int>(size)), trace_format, args,
               format("@ %s:%ld = %p `%s'\n", file ? file : "", static_cast<long>(line), user,
                      description ? description : "NULL DESCRIPTION"));
    if (s.desc_mask & 4) dump_table();
  }
  return user;
}

void release(void *pointer, const char *file, int32_t line, const char *trace_format,
             va_list args) {
  read_settings();
  AllocState &s = state();
  if (!check_guards_for_block(pointer, trace_format, args, "free")) return;
  uint16_t flags = header_of(pointer)->flags;
  if ((flags & kFlagMaskBits) && tracing_calls()) {
    trace_call(format("M_free(%p) ", pointer), trace_format, args,
               format("@ %s:%ld `%s'\n", file ? file : "", static_cast<long>(line),
                      desc_of(pointer, flags)->description));
  }
  forget_block(pointer, flags);
  if (flags & kFlagGuards) {
    memcpy(system_block(pointer, flags), "acac", 4);
    remember_free(pointer);
  }
  if ((flags & kFlagMaskBits) && (s.desc_mask & 4)) dump_table();
  --s.live_blocks;
  free(system_block(pointer, flags));
}

void *reallocate(void *pointer, uint32_t size, const char *file, int32_t line,
                 const char *trace_format, va_list args) {
  read_settings();
  AllocState &s = state();
  if (!check_guards_for_block(pointer, trace_format, args, "realloc")) return nullptr;
  BlockHeader *hdr = header_of(pointer);
  uint16_t flags = hdr->flags;
  uint32_t old_size = hdr->size;
  unsigned char *sys = system_block(pointer, flags);
  int category = (flags & (kFlagCategory | kFlagGuards)) ? sys[4] : 0;
  const char *description = "NULL DESCRIPTION";
  const char *old_file = file;
  int32_t old_line = line;
  if (DescRecord *rec = desc_of(pointer, flags)) {
    description = rec->description;
    old_file = rec->file;
    old_line = rec->line;
  }
  if ((flags & kFlagMaskBits) && tracing_calls()) {
    trace_call(format("M_realloc(%p, %d) ", pointer, static_cast<int>(size)), trace_format, args,
               format("@ %s:%ld `%s'\n", file ? file : "", static_cast<long>(line), description));
  }

  forget_block(pointer, flags);
  auto *grown = injected_failure()
                    ? nullptr
                    : static_cast<unsigned char *>(realloc(sys, total_size(size, flags)));
  if (grown == nullptr) {
    // The old block is still valid: its bookkeeping goes back as it was.
    finish_block(sys, old_size, flags, category, old_file, old_line, description);
    return no_memory();
  }
  unsigned char *user = grown + prefix_size(flags);
  if (size > old_size) memset(user + old_size, 0, size - old_size);
  if ((flags & kFlagGuards) && memcmp(grown, "abab", 4) != 0) {
    guard_log("Realloc did not preserve contents\n");
  }
  void *result = finish_block(grown, size, flags, category, file, line, description);
  if ((flags & kFlagMaskBits) && (s.desc_mask & 4)) {
    dump_table();
    desc_printf("=====\n");
  }
  return result;
}

}  // namespace

extern "C" void *M_alloc(uint32_t size, int32_t kind, const char *file, int32_t line,
                         const char *description, const char *trace_format, ...) {
  va_list args;
  va_start(args, trace_format);
  void *user = allocate(size, kind, file, line, description, trace_format, args);
  va_end(args);
  return user;
}

extern "C" void M_free(void *pointer, const char *file, int32_t line, const char *trace_format,
                       ...) {
  if (pointer == nullptr) return;
  va_list args;
  va_start(args, trace_format);
  release(pointer, file, line, trace_format, args);
  va_end(args);
}

extern "C" void *M_realloc(void *pointer, uint32_t size, const char *file, int32_t line,
                           const char *trace_format, ...) {
  if (pointer == nullptr) return M_alloc(size, 0, file, line, "realloc", nullptr);
  va_list args;
  va_start(args, trace_format);
  void *user = reallocate(pointer, size, file, line, trace_format, args);
  va_end(args);
  return user;
}

extern "C" char *Astrdup(const char *string, const char *file, int32_t line) {
  size_t n = strlen(string) + 1;
  auto *copy = static_cast<char *>(M_alloc(static_cast<uint32_t>(n), kel::kAllocUninitialised, file,
                                           line, "duplicate string", nullptr));
  if (copy) memcpy(copy, string, n);
  return copy;
}

namespace kel {

uint32_t alloc_category_bytes(int category) {
  if (category < 0 || category >= kAllocCategories) return 0;
  return state().category_bytes[category];
}

void alloc_dump() {
  dump_table();
}

int64_t alloc_live_blocks() {
  return state().live_blocks;
}

void alloc_fail_nth(int64_t n) {
  AllocState &s = state();
  s.fail_countdown = n;
  s.failure_triggered = false;
}

bool alloc_failure_triggered() {
  return state().failure_triggered;
}

void alloc_reset_settings() {
  AllocState &s = state();
  if (s.desc_fd >= 0) close(s.desc_fd);
  s.desc_fd = -1;
  s.desc_mask = 0;
  s.settings_read = false;
}

void container_out_of_memory(const char *description) {
  char line[160];
  int n = snprintf(line, sizeof line, "Not enough memory for %s\n", description);
  if (n > 0) {
    ssize_t ignored = write(2, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
    (void)ignored;
  }
  abort();
}

}  // namespace kel
