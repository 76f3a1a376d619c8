#include "format/node_format.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "support/be.h"

namespace kel::indexed {

namespace {

// Compares a against b from position `start` on, the bytes before it being
// known equal; the rest of the longer sequence is compared against spaces.
// *decided receives the position that decided (the longer length when the
// keys are equal).
int compare_from(const uint8_t *a, int a_length, const uint8_t *b, int b_length, int start,
                 int *decided) {
  assert(a_length >= 0 && b_length >= 0 && start >= 0);
  int common = std::min(a_length, b_length);
  for (int i = start; i < common; ++i) {
    if (a[i] != b[i]) {
      *decided = i;
      return a[i] < b[i] ? -1 : 1;
    }
  }
  const uint8_t *rest = a_length > b_length ? a : b;
  int longer = std::max(a_length, b_length);
  for (int i = std::max(common, start); i < longer; ++i) {
    if (rest[i] != ' ') {
      *decided = i;
      int sign = rest[i] > ' ' ? 1 : -1;
      return a_length > b_length ? sign : -sign;
    }
  }
  *decided = longer;
  return 0;
}

// Walks the entries of an area, rebuilding every full key completely.
class KeyWalker {
 public:
  KeyWalker(const uint8_t *area, int used, const EntryLayout &layout)
      : area_(area), used_(used), layout_(layout) {}

  // Advances to the next entry; false at the end (with *broken 0) or on
  // damage (with its code).
  bool next(int32_t *broken) {
    *broken = 0;
    if (offset_ >= used_) return false;
    if (!decode_entry(area_, used_, offset_, layout_, &entry_, broken)) return false;
    if (entry_.prefix > 0 && !have_previous_) return broken_by(broken, kBrokenNoPrevious);
    if (entry_.prefix > kMaxFullKey || entry_.prefix > key_.length)
      return broken_by(broken, kBrokenPrefix);
    if (entry_.prefix + entry_.suffix_length() > kMaxFullKey)
      return broken_by(broken, kBrokenLength);
    memcpy(key_.bytes + entry_.prefix, entry_.suffix, entry_.suffix_length());
    key_.length = entry_.prefix + entry_.suffix_length();
    have_previous_ = true;
    current_ = offset_;
    offset_ += entry_.size;
    return true;
  }
  const Entry &entry() const { return entry_; }
  const FullKey &key() const { return key_; }
  int current() const { return current_; }

 private:
  const uint8_t *area_;
  int used_;
  const EntryLayout &layout_;
  int offset_ = 0;
  int current_ = -1;
  bool have_previous_ = false;
  Entry entry_{};
  FullKey key_;
};

}  // namespace

void encode_entry_head(uint8_t *at, const EntryLayout &layout, int32_t pointer, uint16_t segment,
                       uint32_t dup, uint8_t length, uint8_t prefix) {
  assert(length > 0 && prefix <= kMaxFullKey);
  set_entry_pointer(at, layout, SegAddr{pointer, segment});
  if (layout.dup_field) store_be32(at + layout.key_part - 4, dup);
  at[layout.key_part] = length;
  at[layout.key_part + 1] = prefix;
}

int common_prefix(const uint8_t *a, int a_length, const uint8_t *b, int b_length) {
  int n = std::min(a_length, b_length);
  int i = 0;
  // Eight bytes at a time: every insertion takes the prefixes of the new
  // entry and of its successor, and keys of one value share most bytes.
  // Loaded big-endian, the first byte in memory is the word's highest.
  for (; i + 8 <= n; i += 8) {
    const uint64_t x = load_be64(a + i), y = load_be64(b + i);
    if (x != y) return i + std::countl_zero(x ^ y) / 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

namespace {

// Compares `key` with the full key of an entry that shares its first P
// bytes with it (as an entry the search does not skip does): that key is
// the first P bytes of `r_key` followed by the entry's suffix. Same result
// and decided position as compare_from over the whole keys from P on; the
// usual case, bytes that differ within both, is decided in place.
inline int compare_with_entry(const uint8_t *key, int key_length, const uint8_t *r_key, int p,
                              const uint8_t *suffix, int suffix_length, int *decided) {
  if (key_length >= p) {
    const uint8_t *a = key + p;
    int a_length = key_length - p;
    int n = a_length < suffix_length ? a_length : suffix_length;
    int i = 0;
    while (i < n && a[i] == suffix[i]) ++i;
    if (i < n) {
      *decided = p + i;
      return a[i] < suffix[i] ? -1 : 1;
    }
    // Keys of one length that agree to the end (the duplicates of a key
    // whose entries borrow all of it): equal, decided at that length.
    if (a_length == suffix_length) {
      *decided = p + n;
      return 0;
    }
    int cmp = compare_from(a, a_length, suffix, suffix_length, n, decided);
    *decided += p;
    return cmp;
  }
  // A key shorter than the bytes borrowed: they are compared against spaces.
  uint8_t whole[kMaxFullKey];
  memcpy(whole, r_key, static_cast<size_t>(p));
  memcpy(whole + p, suffix, static_cast<size_t>(suffix_length));
  return compare_from(key, key_length, whole, p + suffix_length, key_length, decided);
}

constexpr int kNoSkip = INT32_MAX;

}  // namespace

void search_entries(const uint8_t *area, int used, const EntryLayout &layout, const uint8_t *key,
                    int key_length, uint32_t dup, NodeSearch *out) {
  assert(key_length >= 0 && key_length <= kMaxFullKey);
  out->equal_seen = false;
  out->previous = -1;
  out->broken = 0;
  out->before_known = false;
  if (used <= 0) {
    out->position = 0;
    out->result = SR_PAST_END;
    return;
  }
  // R holds the full key of the entry under examination, valid for its
  // first P bytes: an entry borrows its bytes from R, and lends the bytes
  // of its suffix that the next entry borrows beyond them. A compared
  // entry's suffix is compared where it lies and copied only for the entry
  // the search stops at.
  uint8_t *r_key = out->key.bytes;
  // Once the key is found above an entry, where they differed: a following
  // entry that borrows more bytes than that agrees with that entry there,
  // so the key is above it too, and it is skipped without a comparison.
  int skip_above = kNoSkip;
  int prev_prefix = 0;
  int prev_length = 0;  // full key length of the previous entry
  const uint8_t *prev_suffix = nullptr;
  int prev_offset = -1;
  // A skipped entry is not compared, so its length is not checked against
  // the longest full key; the key before the stopping point is handed over
  // only when no entry up to it is too long.
  bool lengths_ok = true;
  const int key_part = layout.key_part;
  const int overhead = key_part + 2;
  int offset = 0;
  int result = SR_PAST_END;
  auto broken = [&](int32_t code) {
    out->broken = code;
    out->result = SR_ERROR;
  };
  while (offset < used) {
    // The checks of decode_entry, on the fields the search needs.
    if (offset + overhead > used) return broken(kBrokenLength);
    const uint8_t *at = area + offset;
    int length = at[key_part];
    int p = at[key_part + 1];
    int size = key_part + 1 + length;
    if (length == 0 || offset + size > used) return broken(kBrokenLength);
    if (p > prev_prefix) {
      if (prev_offset < 0) return broken(kBrokenNoPrevious);
      if (p > kMaxFullKey || p > prev_length) return broken(kBrokenPrefix);
      memcpy(r_key + prev_prefix, prev_suffix, static_cast<size_t>(p - prev_prefix));
    }
    const uint8_t *suffix = at + overhead;
    int suffix_length = length - 1;
    bool too_long = p + suffix_length > kMaxFullKey;
    if (p > skip_above) {
      if (too_long) lengths_ok = false;
    } else {
      if (too_long) return broken(kBrokenLength);
      int decided;
      int cmp = compare_with_entry(key, key_length, r_key, p, suffix, suffix_length, &decided);
      if (cmp < 0) {
        result = SR_GREATER;
        break;
      }
      if (cmp > 0) {
        skip_above = decided;
      } else {
        out->equal_seen = true;
        skip_above = kNoSkip;
        uint32_t entry_dup = layout.dup_field ? load_be32(at + key_part - 4) : 0;
        if (dup <= entry_dup) {
          result = entry_dup == dup ? SR_EXACT : SR_EQUAL;
          break;
        }
      }
    }
    prev_prefix = p;
    prev_suffix = suffix;
    prev_length = p + suffix_length;
    prev_offset = offset;
    offset += size;
  }
  out->previous = prev_offset;
  // R is still valid for the previous entry's first P bytes: the stopping
  // entry only took bytes of that entry's suffix into it.
  if (out->want_before && prev_offset >= 0 && lengths_ok) {
    FullKey &b = out->before;
    memcpy(b.bytes, r_key, static_cast<size_t>(prev_prefix));
    memcpy(b.bytes + prev_prefix, prev_suffix, static_cast<size_t>(prev_length - prev_prefix));
    b.length = prev_length;
    out->before_known = true;
  }
  if (result == SR_PAST_END) {
    out->position = used;
    out->result = SR_PAST_END;
    return;
  }
  const uint8_t *at = area + offset;
  int p = at[key_part + 1];
  int suffix_length = at[key_part] - 1;
  memcpy(r_key + p, at + overhead, static_cast<size_t>(suffix_length));
  out->position = offset;
  out->dup = layout.dup_field ? load_be32(at + key_part - 4) : 0;
  out->key.length = p + suffix_length;
  out->result = result;
}

bool key_at_offset(const uint8_t *area, int used, const EntryLayout &layout, int offset,
                   FullKey *key, uint32_t *dup, int32_t *broken) {
  key->length = 0;
  if (dup) *dup = 0;
  if (broken) *broken = 0;
  if (offset < 0 || offset >= used) return true;
  KeyWalker walker(area, used, layout);
  int32_t code;
  while (walker.next(&code)) {
    const Entry &e = walker.entry();
    if (offset < e.offset + e.size) {
      *key = walker.key();
      if (dup) *dup = e.dup;
      return true;
    }
  }
  return broken_by(broken, code ? code : kBrokenLength);
}

bool keys_at_cut(const uint8_t *area, int used, const EntryLayout &layout, int cut, FullKey *before,
                 uint32_t *before_dup, FullKey *at, int32_t *broken) {
  assert(cut > 0 && cut < used);
  *broken = 0;
  KeyWalker walker(area, used, layout);
  int32_t code;
  while (walker.next(&code)) {
    const Entry &e = walker.entry();
    // The entry that contains cut - 1: the one ending at cut, or (were cut
    // no boundary) the one containing cut as well.
    if (cut <= e.offset + e.size && cut - 1 >= e.offset) {
      *before = walker.key();
      *before_dup = e.dup;
    }
    if (cut < e.offset + e.size) {
      *at = walker.key();
      return true;
    }
  }
  return broken_by(broken, code ? code : kBrokenLength);
}

int insert_entry(uint8_t *area, int *used, int capacity, const EntryLayout &layout, int o,
                 const uint8_t *key, int key_length, int32_t pointer, uint16_t segment,
                 uint32_t dup, int32_t *broken) {
  // Callers insert at an entry boundary they found inside the area, and
  // never a key longer than a full key can be.
  assert(o >= 0 && o <= *used && *used <= capacity);
  assert(key_length > 0 && key_length <= kMaxFullKey);
  FullKey before;
  if (o > 0 && !key_at_offset(area, *used, layout, o - 1, &before, nullptr, broken))
    return kInsertDamaged;
  return insert_entry_after(area, used, capacity, layout, o, before, key, key_length, pointer,
                            segment, dup, broken);
}

int insert_entry_after(uint8_t *area, int *used, int capacity, const EntryLayout &layout, int o,
                       const FullKey &before, const uint8_t *key, int key_length, int32_t pointer,
                       uint16_t segment, uint32_t dup, int32_t *broken, int shared) {
  if (broken) *broken = 0;
  int c = shared >= 0 ? shared
          : o > 0     ? common_prefix(before.bytes, before.length, key, key_length)
                      : 0;
  int new_size = layout.overhead() + key_length - c;

  // The entry that follows shares g bytes with the new key and is
  // re-encoded to borrow exactly those. Its full key is the first P bytes
  // of the key before it and its own suffix.
  int old_follow_size = 0, new_follow_size = 0;
  Entry follow{};
  // Only the bytes in use are written and read: no FullKey, whose bytes
  // would all be cleared at every insertion.
  struct {
    int length = 0;
    uint8_t bytes[kMaxFullKey];
  } follow_key;
  int g = 0;
  if (o < *used) {
    if (!decode_entry(area, *used, o, layout, &follow, broken)) return kInsertDamaged;
    if (follow.prefix > 0 && o == 0) return broken_by(broken, kBrokenNoPrevious), kInsertDamaged;
    if (follow.prefix > kMaxFullKey || (o > 0 && follow.prefix > before.length))
      return broken_by(broken, kBrokenPrefix), kInsertDamaged;
    if (follow.prefix + follow.suffix_length() > kMaxFullKey)
      return broken_by(broken, kBrokenLength), kInsertDamaged;
    memcpy(follow_key.bytes, before.bytes, follow.prefix);
    memcpy(follow_key.bytes + follow.prefix, follow.suffix,
           static_cast<size_t>(follow.suffix_length()));
    follow_key.length = follow.prefix + follow.suffix_length();
    g = common_prefix(key, key_length, follow_key.bytes, follow_key.length);
    old_follow_size = follow.size;
    new_follow_size = layout.overhead() + follow_key.length - g;
  }
  int growth = new_size + new_follow_size - old_follow_size;
  if (*used + growth > capacity) return kInsertNoRoom;

  int tail = o + old_follow_size;
  memmove(area + tail + growth, area + tail, static_cast<size_t>(*used - tail));
  if (growth < 0) memset(area + *used + growth, 0, static_cast<size_t>(-growth));
  uint8_t *at = area + o;
  encode_entry_head(at, layout, pointer, segment, dup, static_cast<uint8_t>(1 + key_length - c),
                    static_cast<uint8_t>(c));
  memcpy(at + layout.overhead(), key + c, static_cast<size_t>(key_length - c));
  if (old_follow_size > 0) {
    uint8_t *f = at + new_size;
    encode_entry_head(f, layout, follow.pointer, follow.segment, follow.dup,
                      static_cast<uint8_t>(1 + follow_key.length - g), static_cast<uint8_t>(g));
    memcpy(f + layout.overhead(), follow_key.bytes + g, static_cast<size_t>(follow_key.length - g));
  }
  *used += growth;
  return growth;
}

int remove_entry(uint8_t *area, int *used, const EntryLayout &layout, int o, bool *was_last,
                 int32_t *broken) {
  assert(o >= 0 && o < *used);
  Entry e;
  if (!decode_entry(area, *used, o, layout, &e, broken)) return -1;
  int end = o + e.size;
  *was_last = end >= *used;
  int freed = e.size;
  if (end < *used) {
    Entry next;
    if (!decode_entry(area, *used, end, layout, &next, broken)) return -1;
    if (next.prefix > e.prefix) {
      int take = next.prefix - e.prefix;
      if (take > e.suffix_length()) return broken_by(broken, kBrokenPrefix), -1;
      if (next.suffix_length() + take + e.prefix > kMaxFullKey)
        return broken_by(broken, kBrokenLength), -1;
      // Rebuild the next entry at o: its head, the borrowed bytes taken
      // from the removed entry's suffix, then its own suffix.
      uint8_t borrowed[kMaxFullKey];
      memcpy(borrowed, e.suffix, static_cast<size_t>(take));
      uint8_t own[kMaxFullKey];
      int own_length = next.suffix_length();
      memcpy(own, next.suffix, static_cast<size_t>(own_length));
      int new_next_size = next.size + take;
      int next_end = end + next.size;
      freed = (next_end - o) - new_next_size;
      uint8_t *at = area + o;
      encode_entry_head(at, layout, next.pointer, next.segment, next.dup,
                        static_cast<uint8_t>(next.length + take), e.prefix);
      memcpy(at + layout.overhead(), borrowed, static_cast<size_t>(take));
      memcpy(at + layout.overhead() + take, own, static_cast<size_t>(own_length));
      memmove(at + new_next_size, area + next_end, static_cast<size_t>(*used - next_end));
      memset(area + *used - freed, 0, static_cast<size_t>(freed));
      *used -= freed;
      return freed;
    }
  }
  memmove(area + o, area + end, static_cast<size_t>(*used - end));
  memset(area + *used - freed, 0, static_cast<size_t>(freed));
  *used -= freed;
  return freed;
}

int make_first_entry_whole(uint8_t *area, int *used, int capacity, const EntryLayout &layout,
                           const FullKey &full_key, int32_t *broken) {
  assert(*used > 0 && *used <= capacity);
  Entry e;
  if (!decode_entry(area, *used, 0, layout, &e, broken)) return -2;
  int grow = e.prefix;
  if (grow == 0) return 0;
  if (*used + grow > capacity) return -1;
  memmove(area + e.size + grow, area + e.size, static_cast<size_t>(*used - e.size));
  encode_entry_head(area, layout, e.pointer, e.segment, e.dup,
                    static_cast<uint8_t>(full_key.length + 1), 0);
  memcpy(area + layout.overhead(), full_key.bytes, static_cast<size_t>(full_key.length));
  *used += grow;
  return grow;
}

}  // namespace kel::indexed
