// Sorting and inserting one key's entries of a bulk addition (bulk.h).
//
// The entries stay where the walk put them; what is sorted is their sort
// slots: the first 8 key bytes as one big-endian number, which decides
// most comparisons without touching the entry, and the entry's index.
// Equal keys are ordered by index, which is the order of the walk: data
// segment, then offset, ascending.
#include <algorithm>
#include <cstring>

#include "access/access.h"
#include "access/bulk_internal.h"
#include "access/reading.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

struct SortSlot {
  uint64_t prefix;
  uint32_t index;
  uint32_t unused;
};
static_assert(sizeof(SortSlot) == kSortSlot);

uint64_t prefix_of(const uint8_t *key, int length) {
  uint64_t p = 0;
  for (int i = 0; i < 8; ++i) p = (p << 8) | (i < length ? key[i] : 0);
  return p;
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

}  // namespace

bool write_bulk_key(DorvexFile *f, int key, uint8_t *area, uint8_t *slots, size_t count) {
  const size_t size = entry_size(f, key);
  const int length = f->keys[key].length;
  auto entry = [&](uint32_t i) { return area + static_cast<size_t>(i) * size; };
  auto key_bytes = [&](uint32_t i) { return entry(i) + kBulkKey + 2; };
  SortSlot *s = reinterpret_cast<SortSlot *>(slots);
  for (size_t i = 0; i < count; ++i)
    s[i] = SortSlot{prefix_of(key_bytes(static_cast<uint32_t>(i)), length),
                    static_cast<uint32_t>(i), 0};
  std::sort(s, s + count, [&](const SortSlot &a, const SortSlot &b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (length > 8) {
      int c =
          memcmp(key_bytes(a.index) + 8, key_bytes(b.index) + 8, static_cast<size_t>(length - 8));
      if (c != 0) return c < 0;
    }
    return a.index < b.index;
  });
  TreeContext *t = tree_of(f);
  BulkState &b = *f->bulk;
  const bool duplicates = f->keys[key].duplicates != 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t *e = entry(s[i].index);
    SegAddr pointer;
    uint32_t dup;
    memcpy(&pointer.offset, e + kBulkPointer, sizeof pointer.offset);
    memcpy(&pointer.segment, e + kBulkSegment, sizeof pointer.segment);
    memcpy(&dup, e + kBulkDup, sizeof dup);
    if (trace_on(kTraceInner)) {
      eprintf("V: WriteBulkKey(): adding ");
      trace_key(e + kBulkKey);
    }
    if (!key_add(t, e + kBulkKey, dup, pointer, duplicates)) {
      if (*fs_error_code() != E_DUPLICATE) return false;
      fs_clear_errors();
      if (!record_duplicate(b, SegAddr{-pointer.offset, pointer.segment})) return false;
    }
    bulk_progress(b);
  }
  return true;
}

}  // namespace kel::indexed
