// Sorting and inserting one key's entries of a bulk addition (bulk.h).
//
// Sorting: what is sorted is the sort slots (the first 8 key bytes as one
// big-endian number, which decides most comparisons without touching the
// entry, and the entry's index); the entries are then put in that order in
// place. Equal keys are ordered by index, the order of the walk: data
// segment, then offset, ascending.
//
// Inserting: into a key whose tree is empty, the sorted entries build the
// tree bottom up (TreeBuilder: every node written once); otherwise each is
// added by the usual insertion. A key without duplicates refuses an entry
// equal to one already in the tree or just before it in the sorted order:
// the record goes on the duplicates list.
//
// A key whose entries do not fit the key buffer at once is sorted in runs
// of a buffer-full each, written to a temporary file (A_TMPDIR, else
// TMPDIR, else the current folder; removed at the end), and the runs are
// merged into one sorted stream, which then builds or fills the tree as
// above. The merge reads every run through a window of the buffer; when
// there are so many runs that a window would hold fewer than 16 entries,
// or the temporary file cannot be made, each buffer-full is inserted on
// its own instead (sorted batches: correct, but with the tree grown by
// single insertions).
//
// Run file: run i (from 0) starts at i x (entries per run) x (entry
// size); every run but the last holds a full buffer of entries; entries
// as in the key buffer, in sorted order.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "access/access.h"
#include "access/bulk_internal.h"
#include "access/reading.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

struct SortSlot {
  uint64_t prefix;
  uint32_t index;
  uint32_t unused;
};
static_assert(sizeof(SortSlot) == kSortSlot);

constexpr size_t kMinimumWindow = 16;     // entries of a run read at once
constexpr size_t kRunCursor = 48;         // bytes of buffer a run's cursor and heap place take
constexpr int32_t kRunFileFlags = 0x202;  // input-output, exclusive

uint64_t prefix_of(const uint8_t *key, int length) {
  uint64_t p = 0;
  for (int i = 0; i < 8; ++i) p = (p << 8) | (i < length ? key[i] : 0);
  return p;
}

const uint8_t *key_of(const uint8_t *entry) {
  return entry + kBulkKey + 2;
}

// The key trace line: the key number, the key length and the key bytes,
// printable ones as they are and the others as \xNN.
void trace_key(const uint8_t *search) {
  int length = search[0] - 1;
  eprintf("key #%d, %d bytes: ", search[1], length);
  for (int i = 0; i < length; ++i) {
    uint8_t c = search[2 + i];
    if (c >= 0x20 && c < 0x7F && c != '\\')
      eprintf("%c", c);
    else
      eprintf("\\x%02x", c);
  }
  eprintf("\n");
}

// Sorts the entries of `area` and puts them in that order in place.
void sort_area(uint8_t *area, uint8_t *slots, size_t count, size_t size, int length) {
  SortSlot *s = reinterpret_cast<SortSlot *>(slots);
  for (size_t i = 0; i < count; ++i)
    s[i] = SortSlot{prefix_of(key_of(area + i * size), length), static_cast<uint32_t>(i), 0};
  std::sort(s, s + count, [&](const SortSlot &a, const SortSlot &b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (length > 8) {
      int c = memcmp(key_of(area + size_t{a.index} * size) + 8,
                     key_of(area + size_t{b.index} * size) + 8, static_cast<size_t>(length - 8));
      if (c != 0) return c < 0;
    }
    return a.index < b.index;
  });
  // Position i gets entry s[i].index: each cycle of the permutation is
  // followed once, with one entry held aside; a placed position is marked
  // by its slot pointing to itself.
  uint8_t held[512];  // an entry: at most 250 + 20 bytes
  for (size_t i = 0; i < count; ++i) {
    if (s[i].index == i) continue;
    memcpy(held, area + i * size, size);
    size_t j = i;
    for (;;) {
      size_t k = s[j].index;
      s[j].index = static_cast<uint32_t>(j);
      if (k == i) {
        memcpy(area + j * size, held, size);
        break;
      }
      memcpy(area + j * size, area + k * size, size);
      j = k;
    }
  }
}

// Takes sorted entries of one key into its tree.
class KeyInserter {
 public:
  KeyInserter(DorvexFile *f, int key)
      : f_(f),
        unique_(f->keys[key].duplicates == 0),
        build_(f->keys[key].height == 0),
        builder_(tree_of(f), key) {}

  bool add(const uint8_t *entry) {
    const uint8_t *search = entry + kBulkKey;
    SegAddr pointer;
    uint32_t dup;
    memcpy(&pointer.offset, entry + kBulkPointer, sizeof pointer.offset);
    memcpy(&pointer.segment, entry + kBulkSegment, sizeof pointer.segment);
    memcpy(&dup, entry + kBulkDup, sizeof dup);
    if (trace_on(kTraceInner)) {
      eprintf("V: WriteBulkKey(): adding ");
      trace_key(search);
    }
    BulkState &b = *f_->bulk;
    bulk_progress(b);
    bool refused;
    if (build_) {
      refused = unique_ && have_last_ && memcmp(search, last_, search[0] + size_t{1}) == 0;
      if (!refused) {
        if (!builder_.add(search, dup, pointer)) return false;
        memcpy(last_, search, search[0] + size_t{1});
        have_last_ = true;
      }
    } else {
      refused = !key_add(tree_of(f_), search, dup, pointer, !unique_);
      if (refused && *fs_error_code() != E_DUPLICATE) return false;
      if (refused) fs_clear_errors();
    }
    return !refused || record_duplicate(b, SegAddr{-pointer.offset, pointer.segment});
  }

  bool finish() { return !build_ || builder_.finish(); }

 private:
  DorvexFile *f_;
  bool unique_;
  bool build_;
  TreeBuilder builder_;
  bool have_last_ = false;
  uint8_t last_[kSearchKeySize] = {};
};

}  // namespace

bool write_bulk_key(DorvexFile *f, int key, uint8_t *area, uint8_t *slots, size_t count) {
  const size_t size = entry_size(f, key);
  sort_area(area, slots, count, size, f->keys[key].length);
  KeyInserter in(f, key);
  for (size_t i = 0; i < count; ++i)
    if (!in.add(area + i * size)) return false;
  return in.finish();
}

bool RunFile::usable(size_t records, size_t capacity, size_t size, size_t buffer) {
  size_t runs = (records + capacity - 1) / capacity;
  return runs * (kMinimumWindow * size + kRunCursor) <= buffer;
}

bool RunFile::open(const DorvexFile *f, size_t records) {
  uint64_t base = 0;
  for (int k = 0; k < f->key_count; ++k) {
    keys_[k] = KeyRuns{base, 0, 0, 0};
    base += uint64_t{records} * entry_size(f, k);
  }
  if (!Atemp_file(nullptr, "bulk", "", name_, sizeof name_)) return false;
  file_ = Aopen32(name_, kRunFileFlags);
  if (file_ >= 0) return true;
  Aremove(name_);
  return false;
}

RunFile::~RunFile() {
  if (file_ < 0) return;
  KeptErrors saved;
  Aclose32(file_);
  Aremove(name_);
}

bool RunFile::write_run(DorvexFile *f, int key, uint8_t *area, uint8_t *slots, size_t count) {
  const size_t size = entry_size(f, key);
  sort_area(area, slots, count, size, f->keys[key].length);
  KeyRuns &r = keys_[key];
  if (r.runs == 0) r.per_run = count;
  int fd = Ahold_file(file_, 0);
  size_t bytes = count * size;
  off_t at = static_cast<off_t>(r.base + r.runs * r.per_run * size);
  for (size_t done = 0; done < bytes;) {
    ssize_t n = pwrite(fd, area + done, bytes - done, at + static_cast<off_t>(done));
    if (n <= 0) return fs_fail(n < 0 && errno != ENOSPC ? E_SYSERR : E_DISK_FULL);
    done += static_cast<size_t>(n);
  }
  ++r.runs;
  r.last_run = count;
  return true;
}

namespace {

// One run being merged: its window of the buffer and what is left.
struct RunCursor {
  uint8_t *window;
  size_t in_window;  // entries in the window
  size_t position;   // next entry of the window
  size_t left;       // entries of the run not read yet
  uint64_t next;     // file offset of the first of them
};
static_assert(sizeof(RunCursor) + sizeof(uint32_t) <= kRunCursor);

bool refill(int fd, RunCursor &c, size_t window, size_t size) {
  size_t n = std::min(window, c.left);
  size_t bytes = n * size;
  for (size_t done = 0; done < bytes;) {
    ssize_t r = pread(fd, c.window + done, bytes - done, static_cast<off_t>(c.next + done));
    if (r <= 0) return fs_fail(r < 0 ? E_SYSERR : E_BROKEN, r < 0 ? 0 : kBrokenBulkRecord);
    done += static_cast<size_t>(r);
  }
  c.in_window = n;
  c.position = 0;
  c.left -= n;
  c.next += bytes;
  return true;
}

}  // namespace

bool RunFile::merge(DorvexFile *f, int key, uint8_t *buffer, size_t buffer_size) {
  const size_t size = entry_size(f, key);
  const size_t length = f->keys[key].length;
  const KeyRuns &r = keys_[key];
  const size_t runs = r.runs;
  if (runs == 0) return true;
  RunCursor *cursors = reinterpret_cast<RunCursor *>(buffer);
  uint32_t *heap = reinterpret_cast<uint32_t *>(buffer + runs * sizeof(RunCursor));
  uint8_t *windows = buffer + runs * kRunCursor;
  size_t window = (buffer_size - runs * kRunCursor) / runs / size;
  int fd = Ahold_file(file_, 0);
  for (size_t i = 0; i < runs; ++i) {
    RunCursor &c = cursors[i];
    c = RunCursor{windows + i * window * size, 0, 0, i + 1 == runs ? r.last_run : r.per_run,
                  r.base + i * r.per_run * size};
    if (!refill(fd, c, window, size)) return false;
    heap[i] = static_cast<uint32_t>(i);
  }
  auto head = [&](uint32_t r) { return key_of(cursors[r].window + cursors[r].position * size); };
  // A heap of run numbers, the smallest head on top; equal heads are
  // taken from the earlier run, which holds the earlier records.
  auto after = [&](uint32_t a, uint32_t b) {
    int c = memcmp(head(a), head(b), length);
    return c != 0 ? c > 0 : a > b;
  };
  size_t live = runs;
  std::make_heap(heap, heap + live, after);
  KeyInserter in(f, key);
  while (live > 0) {
    std::pop_heap(heap, heap + live, after);
    uint32_t r = heap[live - 1];
    RunCursor &c = cursors[r];
    if (!in.add(c.window + c.position * size)) return false;
    if (++c.position == c.in_window && c.left > 0 && !refill(fd, c, window, size)) return false;
    if (c.position < c.in_window)
      std::push_heap(heap, heap + live, after);
    else
      --live;
  }
  return in.finish();
}

}  // namespace kel::indexed
