#include "format/node_memo.h"

#include <cstring>

#include "format/seg_addr.h"
#include "support/huge_pages.h"
#include "support/prefetch.h"

namespace kel::indexed {

namespace {

// A slot's data area (`capacity` bytes) holds a decoded node as
//
//   offset            width       meaning
//   0                 used        the entry area as it was decoded; compared
//                                 with the searched node's at every search
//   used + ...        7 + length  one record per entry, in entry order:
//                                   +0 2  the entry's offset in the area
//                                   +2 4  its duplicate number
//                                   +6 1  its full key's length
//                                   +7    the full key
//   capacity - 2(i+1) 2           offset of entry i's record (this index
//                                 grows down from the end of the area)
//
// all in the machine's own byte order: the area lives only in this process.
// A node whose image and records do not fit is not remembered.
constexpr int kRecordHead = 7;

struct SlotHead {
  uint64_t id;             // the node remembered (valid when count > 0)
  uint64_t candidate;      // the node searched last without the memo ...
  int32_t candidate_used;  // ... and the bytes of its entry area then
  int32_t used;            // bytes of its entry area
  int32_t key_part;
  bool dup_field;
  int32_t count;        // entries; 0: nothing remembered
  int32_t records_end;  // where the last entry's record ends in the data area
  uint64_t stamp;       // last use (interior table: the way replaced is the oldest)
  MemoTrust trusted;    // interior table: who may search it unread
};
// One cache line per head, the table starting on a page: a set's heads are
// four whole lines (search_trusted hints them together).
static_assert(sizeof(SlotHead) == 64);

// A remembered node seen through its slot.
struct View {
  const SlotHead &h;
  const uint8_t *data;
  int capacity;

  const uint8_t *record(int i) const {
    uint16_t at;
    memcpy(&at, data + capacity - 2 * (i + 1), sizeof at);
    return data + at;
  }
  static int offset(const uint8_t *r) {
    uint16_t v;
    memcpy(&v, r, sizeof v);
    return v;
  }
  static uint32_t dup(const uint8_t *r) {
    uint32_t v;
    memcpy(&v, r + 2, sizeof v);
    return v;
  }
  static int length(const uint8_t *r) { return r[6]; }
  static const uint8_t *key(const uint8_t *r) { return r + kRecordHead; }
};

// Two tables. Leaves and nodes of more than about one block go to the
// general table: 64 slots, one per hash value, large enough for nodes of
// up to four 512-byte blocks; a node is decoded there when it is searched
// for the second time in a row of its slot with an entry area of the same
// size, so that the leaves of random look-ups, rarely searched twice, and
// the leaf that every insert changes cost no more than a search of the
// stored form. Interior nodes (their entries point at child nodes) of up
// to one block go to the interior table, decoded at the first search: they
// change only when a child splits or combines, and every descent of a key
// passes through them; a random descent of a large file meets far more of
// them than 64 slots hold. The interior table has 4096 sets of 4 ways; a
// node is remembered in the set its hash names, in place of the way used
// longest ago (the root and the levels below it, met at every descent,
// stay; the lowest interior level of a file beyond about 4,000,000 records
// of two short keys takes turns). 1024 sets held the interior nodes of
// about 1,000,000 such records: beyond that every random descent decoded
// a node of its lowest interior level again, which cost a keyed read a
// tenth more instructions at 4,000,000 records.
//
// Both are fixed tables rather than allocations: the search allocates
// nothing, and no operation gains a way to fail. Their pages cost memory
// only once nodes are decoded into them (about 1.5 KiB per interior node
// remembered): at most 64 x 8 KiB + 16384 x 1.5 KiB, about 24.5 MiB, which
// only a file of millions of records reaches (with huge pages, asked for
// below when the pool is large, they cost it 2 MiB at a time).
constexpr int kGeneralSlots = 64;  // the hash below takes 6 bits
constexpr int kGeneralCapacity = 8192;
constexpr int kSetBits = 12;
constexpr int kWays = 4;
constexpr int kInteriorSlots = (1 << kSetBits) * kWays;
constexpr int kInteriorCapacity = 1536;

SlotHead g_general[kGeneralSlots];
uint8_t g_general_data[kGeneralSlots][kGeneralCapacity];
// The interior table's heads and data side by side, so that one range of
// about 25 MiB can be given huge pages (see below).
struct InteriorTable {
  SlotHead heads[kInteriorSlots];
  uint8_t data[kInteriorSlots][kInteriorCapacity];
};
alignas(4096) InteriorTable g_interior_table;
SlotHead (&g_interior)[kInteriorSlots] = g_interior_table.heads;
uint8_t (&g_interior_data)[kInteriorSlots][kInteriorCapacity] = g_interior_table.data;
uint64_t g_clock = 0;

bool remembers(const SlotHead &s, const uint8_t *data, uint64_t id, const uint8_t *area, int used,
               const EntryLayout &layout) {
  return s.count > 0 && s.id == id && s.used == used && s.key_part == layout.key_part &&
         s.dup_field == layout.dup_field && memcmp(data, area, static_cast<size_t>(used)) == 0;
}

// Decodes the entry area into the slot; false (the slot keeps nothing)
// when it does not fit, is damaged or not in strictly ascending order,
// which the search of the stored form then meets as before.
bool decode_into(SlotHead &s, uint8_t *data, int capacity, uint64_t id, const uint8_t *area,
                 int used, const EntryLayout &layout) {
  s.count = 0;
  if (used > capacity) return false;
  int n = 0, free_at = used, index_at = capacity;
  const uint8_t *last = nullptr;
  for (int at = 0; at < used; ++n) {
    Entry e;
    if (!decode_entry(area, used, at, layout, &e, nullptr)) return false;
    int length = e.prefix + e.suffix_length();
    if (free_at + kRecordHead + length > index_at - 2) return false;
    uint8_t *r = data + free_at;
    uint8_t *key = r + kRecordHead;
    if (n == 0) {
      if (e.prefix != 0) return false;
    } else {
      if (e.prefix > View::length(last)) return false;
      memcpy(key, View::key(last), e.prefix);
    }
    memcpy(key + e.prefix, e.suffix, static_cast<size_t>(e.suffix_length()));
    if (n > 0) {
      int order = compare_keys(View::key(last), View::length(last), key, length);
      if (order > 0 || (order == 0 && View::dup(last) >= e.dup)) return false;
    }
    const uint16_t offset = static_cast<uint16_t>(at), record = static_cast<uint16_t>(free_at);
    memcpy(r, &offset, sizeof offset);
    memcpy(r + 2, &e.dup, sizeof e.dup);
    r[6] = static_cast<uint8_t>(length);
    index_at -= 2;
    memcpy(data + index_at, &record, sizeof record);
    last = r;
    free_at += kRecordHead + length;
    at += e.size;
  }
  memcpy(data, area, static_cast<size_t>(used));
  s.trusted = MemoTrust{};
  s.id = id;
  s.used = used;
  s.key_part = layout.key_part;
  s.dup_field = layout.dup_field;
  s.count = n;
  s.records_end = free_at;
  return true;
}

void copy_key(const uint8_t *r, FullKey *to) {
  to->length = View::length(r);
  memcpy(to->bytes, View::key(r), static_cast<size_t>(to->length));
}

// Hints every line the search of a remembered node reads: its records and
// their index. A binary search reads one record after another, each place
// known only from the comparison before, so in a table larger than the
// processor's caches (the lowest interior level of a file of millions of
// records) every step waited for memory in turn; hinted at once, the
// lines come in together, with the entry area at the front, of which the
// search then reads one entry (its pointer), known only once it stops.
void hint_slot(const View &v) {
  prefetch_range(v.data, v.h.records_end);
  prefetch_range(v.data + v.capacity - 2 * v.h.count, 2 * v.h.count);
}

// The first entry not less than (key, dup), with what search_entries gives
// for it; without `keys`, the full keys (out->key, out->before) are left
// as they were.
void search_slot(const View &v, const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out,
                 bool keys = true) {
  const int count = v.h.count;
  int low = 0, high = count;
  // The search ends between the last entry it moved `low` past and the
  // last one it moved `high` to: both were compared on the way, so their
  // orders are kept rather than compared again.
  int order_before = 1, order_at = 1;
  while (low < high) {
    int mid = (low + high) / 2;
    const uint8_t *r = v.record(mid);
    int order = compare_keys(key, key_length, View::key(r), View::length(r));
    if (order > 0 || (order == 0 && dup > View::dup(r))) {
      low = mid + 1;
      order_before = order;
    } else {
      high = mid;
      order_at = order;
    }
  }
  const int i = low;
  const uint8_t *before = i > 0 ? v.record(i - 1) : nullptr;
  const uint8_t *at = i < count ? v.record(i) : nullptr;
  int order = at ? order_at : 1;
  out->broken = 0;
  out->equal_seen = order == 0 || (before && order_before == 0);
  out->previous = before ? View::offset(before) : -1;
  out->before_known = false;
  if (keys && out->want_before && before) {
    copy_key(before, &out->before);
    out->before_known = true;
  }
  if (!at) {
    out->position = v.h.used;
    out->result = SR_PAST_END;
    return;
  }
  out->position = View::offset(at);
  out->dup = View::dup(at);
  if (keys) copy_key(at, &out->key);
  out->result = order < 0 ? SR_GREATER : out->dup == dup ? SR_EXACT : SR_EQUAL;
}

// An interior node: its first entry points at a child node.
bool is_interior(const uint8_t *area, int used, const EntryLayout &layout) {
  Entry e;
  int32_t broken = 0;
  return decode_entry(area, used, 0, layout, &e, &broken) &&
         is_child_pointer(SegAddr{e.pointer, e.segment});
}

// Node offsets are multiples of the node size: slots and sets come from
// the high bits of a multiplicative hash, which all bits reach.
uint64_t node_hash(uint64_t node_id) {
  return node_id * 0x9E3779B97F4A7C15ull;
}

// The first of the kWays ways of the node's set in the interior table.
int first_way(uint64_t node_id) {
  return static_cast<int>(node_hash(node_id) >> (64 - kSetBits)) * kWays;
}

// The interior table's way for the node: the one that remembers it, or
// -1; *victim receives the way to decode it into (an earlier slot of the
// same node, else an empty way, else the one used longest ago).
int find_interior(uint64_t id, const uint8_t *area, int used, const EntryLayout &layout,
                  int *victim) {
  const int first = first_way(id);
  int chosen = first;
  for (int w = first; w < first + kWays; ++w) {
    const SlotHead &s = g_interior[w];
    if (s.count > 0 && s.id == id) {
      if (remembers(s, g_interior_data[w], id, area, used, layout)) return w;
      chosen = w;
      break;
    }
    if (s.count == 0 || s.stamp < g_interior[chosen].stamp) chosen = w;
    if (s.count == 0) break;
  }
  *victim = chosen;
  return -1;
}

}  // namespace

void search_entries_memo(const uint8_t *area, int used, const EntryLayout &layout, uint64_t node_id,
                         const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out,
                         const MemoTrust *trust) {
  if (used <= 0) return search_entries(area, used, layout, key, key_length, dup, out);
  // The general slot first: a leaf searched again and again (a walk's)
  // is found with one comparison of identities.
  const int g = static_cast<int>(node_hash(node_id) >> 58);
  SlotHead &s = g_general[g];
  if (s.id == node_id && remembers(s, g_general_data[g], node_id, area, used, layout))
    return search_slot(View{s, g_general_data[g], kGeneralCapacity}, key, key_length, dup, out);
  int victim = 0;
  if (used <= kInteriorCapacity) {
    const int w = find_interior(node_id, area, used, layout, &victim);
    if (w >= 0) {
      g_interior[w].stamp = ++g_clock;
      if (trust) g_interior[w].trusted = *trust;
      return search_slot(View{g_interior[w], g_interior_data[w], kInteriorCapacity}, key,
                         key_length, dup, out);
    }
  }
  if (used <= kInteriorCapacity && is_interior(area, used, layout) &&
      decode_into(g_interior[victim], g_interior_data[victim], kInteriorCapacity, node_id, area,
                  used, layout)) {
    g_interior[victim].stamp = ++g_clock;
    if (trust) g_interior[victim].trusted = *trust;
    return search_slot(View{g_interior[victim], g_interior_data[victim], kInteriorCapacity}, key,
                       key_length, dup, out);
  }
  // A node that changes at every search (the leaf an insert goes to) is
  // not decoded again and again: its entry area changes size.
  bool again = s.candidate == node_id && s.candidate_used == used;
  s.candidate = node_id;
  s.candidate_used = used;
  if (!again || !decode_into(s, g_general_data[g], kGeneralCapacity, node_id, area, used, layout))
    return search_entries(area, used, layout, key, key_length, dup, out);
  search_slot(View{s, g_general_data[g], kGeneralCapacity}, key, key_length, dup, out);
}

bool search_trusted(uint64_t node_id, const MemoTrust &trust, const EntryLayout &layout,
                    const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out,
                    SegAddr *child) {
  const int first = first_way(node_id);
  // The set's heads are one line each: ask for all before looking at one.
  for (int w = first; w < first + kWays; ++w) prefetch_line(&g_interior[w]);
  for (int w = first; w < first + kWays; ++w) {
    SlotHead &s = g_interior[w];
    if (s.count <= 0 || s.id != node_id || s.trusted.owner != trust.owner || s.trusted.owner == 0 ||
        s.trusted.epoch != trust.epoch || s.key_part != layout.key_part ||
        s.dup_field != layout.dup_field)
      continue;
    const View v{s, g_interior_data[w], kInteriorCapacity};
    hint_slot(v);
    search_slot(v, key, key_length, dup, out, false);
    if (out->result == SR_PAST_END) return false;
    // The entry's pointer, from the entry area the slot keeps.
    *child = entry_pointer(v.data + out->position, layout);
    if (!is_child_pointer(*child)) return false;
    s.stamp = ++g_clock;
    return true;
  }
  return false;
}

void forget_trusted_node(uint64_t node_id) {
  const int first = first_way(node_id);
  for (int w = first; w < first + kWays; ++w)
    if (g_interior[w].id == node_id) g_interior[w].trusted = MemoTrust{};
}

// A random descent of a large file meets interior nodes at random places
// of the table: with 4 KiB pages nearly every one also missed the
// processor's address translation cache. Transparent huge pages for the
// table (heads and data) are asked for once per process, by the first open
// in a process with a large pool (storage/open_close.cpp), as a rule
// before any search has touched the table (a page touched before the
// advice keeps its 4 KiB ones). Not at load, nor for the default pool: a
// process that remembers a few dozen interior nodes would have a 2 MiB
// page for each where it had single 4 KiB pages, up to the whole 25 MiB
// (README, Decisions).
void advise_node_memo_huge_pages() {
  static bool advised = false;
  if (advised) return;
  advised = true;
  advise_huge_pages(&g_interior_table, sizeof g_interior_table);
}

void release_node_memo() {
  for (SlotHead &s : g_general) s = SlotHead{};
  for (SlotHead &s : g_interior) s = SlotHead{};
  g_clock = 0;
}

}  // namespace kel::indexed
