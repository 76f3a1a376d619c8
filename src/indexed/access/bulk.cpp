#include "access/bulk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "access/access.h"
#include "access/bulk_internal.h"
#include "access/reading.h"
#include "config/config.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "storage/records.h"
#include "storage/shared_buffers.h"
#include "storage/slot_walk.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

constexpr size_t kMinimumBuffer = 512;
constexpr int32_t kLogOpenFlags = 0x201;  // output, exclusive
constexpr uint32_t kShortPrefixLimit = 65535;

// The room one record takes in a key's area: its entry, its sort slot,
// and (once per area) the padding that keeps the next area's sort slots
// 8-byte aligned.
size_t room_per_record(const DorvexFile *f, int key) {
  return entry_size(f, key) + kSortSlot;
}
size_t area_size(const DorvexFile *f, int key, size_t records) {
  return (room_per_record(f, key) * records + 7) & ~size_t{7};
}

// One key of a group: its sort slots at `slots`, then its entries. A key
// that does not fit the buffer alone is sorted in runs when `runs` is
// given, else inserted a buffer-full at a time.
struct Area {
  int key = 0;
  uint8_t *slots = nullptr;
  uint8_t *entries = nullptr;
  size_t capacity = 0;
  size_t count = 0;
  RunFile *runs = nullptr;
};

bool unreadable(DorvexFile *f) {
  mark_broken(f, kBrokenBulkRecord);
  return fs_fail(E_BROKEN, kBrokenBulkRecord);
}

void add_entry(DorvexFile *f, Area &a, SegAddr at, uint32_t sequence, const uint8_t *record) {
  uint8_t *e = a.entries + a.count * entry_size(f, a.key);
  int32_t pointer = -at.offset;
  uint32_t dup = f->keys[a.key].duplicates ? sequence : 0;
  memcpy(e + kBulkPointer, &pointer, sizeof pointer);
  memcpy(e + kBulkSegment, &at.segment, sizeof at.segment);
  memcpy(e + kBulkDup, &dup, sizeof dup);
  build_search_key(f, a.key, record, e + kBulkKey);
  ++a.count;
}

bool write_area(DorvexFile *f, Area &a) {
  bool ok = a.count == 0 || (a.runs ? a.runs->write_run(f, a.key, a.entries, a.slots, a.count)
                                    : write_bulk_key(f, a.key, a.entries, a.slots, a.count));
  a.count = 0;
  return ok;
}

// Walks the records added in bulk, in file order, and fills the areas of
// the group; an area that is full is written and reused.
bool collect(DorvexFile *f, BulkState &b, Area *areas, int n) {
  uint8_t *record = standard_record_buffer();
  SegAddr at = b.first;
  for (;;) {
    RecordHeader h;
    SlotStep step = find_slot(f, &at, &h);
    if (step == SlotStep::kEnd) break;
    if (step == SlotStep::kError) return unreadable(f);
    if (!h.deleted && !h.set_aside) {
      uint32_t sequence = 0;
      if (read_record(f, at, record, &sequence) < 0) return unreadable(f);
      for (int i = 0; i < n; ++i) {
        if (areas[i].count == areas[i].capacity && !write_area(f, areas[i])) return false;
        add_entry(f, areas[i], at, sequence, record);
      }
    }
    if (!next_slot_position(f, at, h, &at)) return unreadable(f);
  }
  for (int i = 0; i < n; ++i)
    if (!write_area(f, areas[i])) return false;
  // The areas are done with: each merge may use the whole buffer. Keys go
  // in order, so that duplicates are found key by key as without runs.
  for (int i = 0; i < n; ++i)
    if (areas[i].runs && !areas[i].runs->merge(f, areas[i].key, b.buffer.get(), b.size))
      return false;
  return true;
}

// Every key at once, each in runs of the same number of entries, when the
// keys do not all fit but every key's runs can be merged: the records are
// then walked once instead of once per group. 0 when that cannot be done.
int plan_all_in_runs(DorvexFile *f, BulkState &b, Area *areas, RunFile &runs) {
  size_t all = 0, per_record = 0;
  for (int k = 0; k < f->key_count; ++k) {
    all += area_size(f, k, b.count);
    per_record += room_per_record(f, k);
  }
  size_t slack = 8 * static_cast<size_t>(f->key_count);
  if (all <= b.size || b.size <= slack) return 0;
  size_t capacity = (b.size - slack) / per_record;
  if (capacity == 0) return 0;
  for (int k = 0; k < f->key_count; ++k)
    if (!RunFile::usable(b.count, capacity, entry_size(f, k), b.size)) return 0;
  if (!runs.open(f, b.count)) {
    fs_clear_errors();
    return 0;
  }
  uint8_t *at = b.buffer.get();
  for (int k = 0; k < f->key_count; ++k) {
    areas[k] = Area{k, at, at + kSortSlot * capacity, capacity, 0, &runs};
    at += area_size(f, k, capacity);
  }
  return f->key_count;
}

// Lays out the group of keys from `first`: as many keys as fit with room
// for every waiting record, or `first` alone in runs (or batches) of what
// fits.
int plan_group(DorvexFile *f, BulkState &b, int first, Area *areas, RunFile &runs) {
  if (first == 0) {
    if (int n = plan_all_in_runs(f, b, areas, runs)) return n;
  }
  size_t used = 0;
  int n = 0;
  for (int k = first; k < f->key_count; ++k) {
    size_t need = area_size(f, k, b.count);
    if (used + need > b.size) break;
    areas[n].key = k;
    areas[n].slots = b.buffer.get() + used;
    areas[n].entries = areas[n].slots + kSortSlot * b.count;
    areas[n].capacity = b.count;
    areas[n].count = 0;
    used += need;
    ++n;
  }
  if (n > 0) return n;
  size_t capacity = b.size / room_per_record(f, first);
  areas[0] =
      Area{first, b.buffer.get(), b.buffer.get() + kSortSlot * capacity, capacity, 0, nullptr};
  if (RunFile::usable(b.count, capacity, entry_size(f, first), b.size)) {
    if (runs.open(f, b.count))
      areas[0].runs = &runs;
    else
      fs_clear_errors();
  }
  return 1;
}

// Writes a rejected record to the duplicates log under the log's file
// lock: its length (2 bytes big-endian, 4 when the maximum record size
// exceeds 65535), then its bytes.
bool log_duplicate(DorvexFile *f, int32_t log, const uint8_t *record, uint32_t length) {
  int fd = Ahold_file(log, 1);
  if (fd < 0) return false;
  uint8_t prefix[4];
  size_t prefix_size = f->max_record > kShortPrefixLimit ? 4 : 2;
  if (prefix_size == 4)
    store_be32(prefix, length);
  else
    store_be16(prefix, static_cast<uint16_t>(length));
  bool ok = lseek(fd, 0, SEEK_END) >= 0;
  for (auto [bytes, size] : {std::pair<const uint8_t *, size_t>{prefix, prefix_size},
                             std::pair<const uint8_t *, size_t>{record, length}}) {
    while (ok && size > 0) {
      ssize_t n = ::write(fd, bytes, size);
      if (n <= 0) {
        ok = fs_fail(n < 0 && errno != ENOSPC ? E_SYSERR : E_DISK_FULL);
        break;
      }
      bytes += n;
      size -= static_cast<size_t>(n);
    }
  }
  if (!ok && *fs_error_code() == 0) fs_fail(E_SYSERR);
  Arelease_file(log);
  return ok;
}

// Removes the record at `at` (sequence `sequence`, image `record`) from
// every key whose entry points to it, then from the data area.
bool remove_record(DorvexFile *f, SegAddr at, uint32_t sequence, const uint8_t *record) {
  TreeContext *t = tree_of(f);
  SegAddr pointer{-at.offset, at.segment};
  for (int k = 0; k < f->key_count; ++k) {
    uint8_t search[kSearchKeySize];
    build_search_key(f, k, record, search);
    uint32_t dup = f->keys[k].duplicates ? sequence : 0;
    NodePosition pos;
    int result = vi_find_key(t, search, dup, &pos);
    if (result == SR_ERROR) return false;
    if (result != SR_EXACT || !(vi_entry_pointer(t, pos.offset) == pointer)) continue;
    if (!key_sub(t, search, dup)) return false;
  }
  return delete_record(f, at);
}

// Every record on the duplicates list: logged, taken out of the file, and
// then shown to the duplicate hook (last, so that a hook that uses the
// file system cannot disturb the shared record buffer while it is in use).
bool reject_duplicates(DorvexFile *f, BulkState &b) {
  uint8_t *record = standard_record_buffer();
  for (size_t i = 0; i < b.duplicate_count; ++i) {
    SegAddr at{b.duplicates[i].offset, b.duplicates[i].segment};
    RecordHeader h;
    if (!read_record_header(f, at, &h)) return false;
    if (h.deleted) continue;  // on the list for more than one key
    uint32_t sequence = 0;
    int64_t length = read_record(f, at, record, &sequence);
    if (length < 0) return false;
    uint32_t n = static_cast<uint32_t>(length);
    if (b.log >= 0 && !log_duplicate(f, b.log, record, n)) return false;
    if (!remove_record(f, at, sequence, record)) return false;
    if (v5_duplicate_fn hook = duplicate_hook()) hook(f, reinterpret_cast<const char *>(record), n);
  }
  return true;
}

bool add_waiting_keys(DorvexFile *f) {
  BulkState &b = *f->bulk;
  header_mark_changed(f);
  b.progress = v5_progress{0, static_cast<uint64_t>(b.count) * static_cast<uint64_t>(f->key_count)};
  b.next_report = std::max<uint64_t>(b.progress.total / 100, 1);
  Area areas[kMaxKeys];
  for (int first = 0; first < f->key_count;) {
    RunFile runs;
    int n = plan_group(f, b, first, areas, runs);
    if (!collect(f, b, areas, n)) return false;
    first += n;
  }
  return reject_duplicates(f, b);
}

void reset(BulkState &b) {
  b.first = kNullAddr;
  b.count = 0;
  b.duplicates.reset();
  b.duplicate_count = b.duplicate_room = 0;
}

}  // namespace

bool bulk_begin(DorvexFile *f) {
  void *memory = KEL_ALLOC(sizeof(BulkState), "dorvex bulk state");
  if (memory == nullptr) return false;
  f->bulk = new (memory) BulkState;
  BulkState &b = *f->bulk;
  b.size = std::max(static_cast<size_t>(std::max<int32_t>(cfg_get_long("V_BULK_MEMORY", 0), 0)),
                    kMinimumBuffer);
  if (!b.buffer.allocate(b.size, "bulk key buffer")) return false;
  const char *log = cfg_get_string("DUPLICATES_LOG", 0);
  if (log != nullptr && log[0] != '\0') {
    b.log = Aopen32(log, kLogOpenFlags);
    if (b.log < 0) return false;
  }
  f->bulk_running = true;
  return dorvex_mark_incomplete(f) == 1;
}

void bulk_end(DorvexFile *f) {
  if (f->bulk == nullptr) return;
  KeptErrors saved;
  if (f->bulk->log >= 0) Aclose32(f->bulk->log);
  f->bulk->~BulkState();
  KEL_FREE(f->bulk);
  f->bulk = nullptr;
  f->bulk_running = false;
}

bool bulk_waiting(const DorvexFile *f) {
  return f->bulk != nullptr && (f->bulk->count > 0 || f->bulk->failed);
}

void bulk_queue(DorvexFile *f, SegAddr at) {
  BulkState &b = *f->bulk;
  if (b.count == 0) b.first = at;
  ++b.count;
}

bool bulk_flush(DorvexFile *f) {
  if (!bulk_waiting(f)) return true;
  BulkState &b = *f->bulk;
  // A flush that failed half-way has put some keys into the trees: doing
  // it again would take those for duplicates of themselves. The open
  // refuses everything but its close from then on, and the close fails,
  // so that the incomplete mark stays on the file.
  if (b.failed) return fs_fail(E_BROKEN, kBrokenIncomplete);
  Operation op(f, true);
  op.keep_bulk_waiting();
  bool ok = op.begin(HeaderAccess::kUpdate) && add_waiting_keys(f) && header_write(f);
  op.finish(ok);
  if (!ok) b.failed = true;
  reset(b);
  return ok;
}

bool record_duplicate(BulkState &b, SegAddr at) {
  if (b.duplicate_count == b.duplicate_room) {
    size_t room = b.duplicate_room == 0 ? 64 : b.duplicate_room * 2;
    MemPtr<BulkDuplicate> bigger;
    if (!bigger.allocate(room, "Bulk addition duplicates list")) return false;
    if (b.duplicate_count > 0)
      memcpy(bigger.get(), b.duplicates.get(), b.duplicate_count * sizeof(BulkDuplicate));
    b.duplicates = std::move(bigger);
    b.duplicate_room = room;
  }
  b.duplicates[b.duplicate_count++] = BulkDuplicate{at.offset, at.segment, 0};
  return true;
}

void bulk_progress(BulkState &b) {
  if (++b.progress.done < b.next_report) return;
  b.next_report += std::max<uint64_t>(b.progress.total / 100, 1);
  if (v5_progress_fn hook = progress_hook()) hook(&b.progress);
}

}  // namespace kel::indexed
