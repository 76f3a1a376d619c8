#include "format/node_memo.h"

#include <cstring>

namespace kel::indexed {

namespace {

// Slots, and what one slot can remember: nodes of up to four 512-byte
// blocks, of up to 256 entries whose full keys take up to 4096 bytes.
constexpr int kSlots = 64;  // the hash below takes 6 bits
constexpr int kImageBytes = 2048;
constexpr int kEntries = 256;
constexpr int kKeyBytes = 4096;

struct Slot {
  uint64_t id;             // the node remembered (valid when count > 0)
  uint64_t candidate;      // the node searched last without the memo ...
  int32_t candidate_used;  // ... and the bytes of its entry area then
  int32_t used;            // bytes of its entry area
  int32_t key_part;
  bool dup_field;
  int32_t count;  // entries; 0: nothing remembered
  uint16_t offset[kEntries];
  uint16_t key_at[kEntries];
  uint8_t key_length[kEntries];
  uint32_t dup[kEntries];
  uint8_t image[kImageBytes];
  uint8_t keys[kKeyBytes];

  const uint8_t *key(int i) const { return keys + key_at[i]; }
};

// A fixed table rather than an allocation: the search allocates nothing,
// and no operation gains a way to fail. Its pages cost memory only once
// nodes are decoded into them.
Slot g_slots[kSlots];

// compare_keys, with the bytes both keys have compared in one memcmp.
int compare(const uint8_t *a, int a_length, const uint8_t *b, int b_length) {
  int common = a_length < b_length ? a_length : b_length;
  int order = memcmp(a, b, static_cast<size_t>(common));
  if (order != 0 || a_length == b_length) return order;
  return compare_keys(a, a_length, b, b_length);
}

bool remembers(const Slot &s, uint64_t id, const uint8_t *area, int used,
               const EntryLayout &layout) {
  return s.count > 0 && s.id == id && s.used == used && s.key_part == layout.key_part &&
         s.dup_field == layout.dup_field && memcmp(s.image, area, static_cast<size_t>(used)) == 0;
}

// Decodes the entry area into the slot; false (the slot keeps nothing)
// when it is too large to remember, damaged or not in strictly ascending
// order, which the search of the stored form then meets as before.
bool decode_into(Slot &s, uint64_t id, const uint8_t *area, int used, const EntryLayout &layout) {
  s.count = 0;
  if (used > kImageBytes) return false;
  int n = 0, key_bytes = 0;
  int32_t broken = 0;
  for (int at = 0; at < used; ++n) {
    Entry e;
    if (n == kEntries || !decode_entry(area, used, at, layout, &e, &broken)) return false;
    int length = e.prefix + e.suffix_length();
    if (key_bytes + length > kKeyBytes) return false;
    uint8_t *key = s.keys + key_bytes;
    if (n == 0) {
      if (e.prefix != 0) return false;
    } else {
      if (e.prefix > s.key_length[n - 1]) return false;
      memcpy(key, s.key(n - 1), e.prefix);
    }
    memcpy(key + e.prefix, e.suffix, static_cast<size_t>(e.suffix_length()));
    if (n > 0) {
      int order = compare(s.key(n - 1), s.key_length[n - 1], key, length);
      if (order > 0 || (order == 0 && s.dup[n - 1] >= e.dup)) return false;
    }
    s.offset[n] = static_cast<uint16_t>(at);
    s.key_at[n] = static_cast<uint16_t>(key_bytes);
    s.key_length[n] = static_cast<uint8_t>(length);
    s.dup[n] = e.dup;
    key_bytes += length;
    at += e.size;
  }
  memcpy(s.image, area, static_cast<size_t>(used));
  s.id = id;
  s.used = used;
  s.key_part = layout.key_part;
  s.dup_field = layout.dup_field;
  s.count = n;
  return true;
}

void copy_key(const Slot &s, int i, FullKey *to) {
  to->length = s.key_length[i];
  memcpy(to->bytes, s.key(i), s.key_length[i]);
}

// The first entry not less than (key, dup), with what search_entries gives
// for it.
void search_slot(const Slot &s, const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out) {
  int low = 0, high = s.count;
  while (low < high) {
    int mid = (low + high) / 2;
    int order = compare(key, key_length, s.key(mid), s.key_length[mid]);
    if (order > 0 || (order == 0 && dup > s.dup[mid]))
      low = mid + 1;
    else
      high = mid;
  }
  const int i = low;
  auto equal = [&](int j) { return compare_keys(key, key_length, s.key(j), s.key_length[j]) == 0; };
  int order = i < s.count ? compare(key, key_length, s.key(i), s.key_length[i]) : 1;
  out->broken = 0;
  out->equal_seen = order == 0 || (i > 0 && equal(i - 1));
  out->previous = i > 0 ? s.offset[i - 1] : -1;
  out->before_known = false;
  if (out->want_before && i > 0) {
    copy_key(s, i - 1, &out->before);
    out->before_known = true;
  }
  if (i == s.count) {
    out->position = s.used;
    out->result = SR_PAST_END;
    return;
  }
  out->position = s.offset[i];
  out->dup = s.dup[i];
  copy_key(s, i, &out->key);
  out->result = order < 0 ? SR_GREATER : s.dup[i] == dup ? SR_EXACT : SR_EQUAL;
}

}  // namespace

void search_entries_memo(const uint8_t *area, int used, const EntryLayout &layout, uint64_t node_id,
                         const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out) {
  if (used <= 0) return search_entries(area, used, layout, key, key_length, dup, out);
  // Node offsets are multiples of the node size: the slot comes from the
  // high bits of a multiplicative hash, which all bits reach.
  Slot &s = g_slots[(node_id * 0x9E3779B97F4A7C15ull) >> 58];
  if (!remembers(s, node_id, area, used, layout)) {
    // A node that changes at every search (the leaf an insert goes to)
    // is not decoded again and again: its entry area changes size.
    bool again = s.candidate == node_id && s.candidate_used == used;
    s.candidate = node_id;
    s.candidate_used = used;
    if (!again || !decode_into(s, node_id, area, used, layout))
      return search_entries(area, used, layout, key, key_length, dup, out);
  }
  search_slot(s, key, key_length, dup, out);
}

void release_node_memo() {
  for (Slot &s : g_slots) s.count = 0, s.candidate = 0, s.candidate_used = 0;
}

}  // namespace kel::indexed
