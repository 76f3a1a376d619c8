// B-tree nodes and their prefix-compressed entries.
//
// Node block (node size bytes, at most 8192):
//
//   offset    width  field
//   0         1      node type: 1 tree node, 3 free node
//   1         2      used: bytes of entries that follow (big-endian)
//   3         used   the entries, back to back
//   3 + used  rest   zero bytes
//
// A free node holds, after its type byte 3, the next free node's offset
// (4 bytes) and, in versions 4 and 5, its segment (2 bytes).
//
// Entry, versions 4 and 5 (offsets for a key with / without duplicates):
//
//   dup  nodup  width  field
//   0    0      4      pointer offset (signed; a record's offset negated)
//   4    4      2      pointer segment
//   6    -      4      duplicate sequence number
//   10   6      1      L: 1 + suffix length
//   11   7      1      P: bytes shared with the previous entry's full key
//   12   8      L-1    suffix
//
// Version 3 has no segment field: pointer 0, duplicate number 4, L at 8
// (4 without duplicates), P at 9 (5). The offset of L is the "key-part
// offset"; an entry takes key-part offset + 1 + L bytes.
//
// The full key of an entry is its key number byte followed by the key
// bytes (at most 251 bytes). It is stored as P bytes borrowed from the
// previous entry's full key and its suffix; the first entry of a node has
// P = 0. Keys compare byte by byte, unsigned; when one is a prefix of the
// other, the rest of the longer one is compared against spaces.
#pragma once

#include <cassert>
#include <cstdint>

#include "format/params.h"
#include "format/seg_addr.h"
#include "indexed/broken_codes.h"
#include "support/be.h"

namespace kel::indexed {

constexpr uint8_t kTreeNode = 1;
constexpr uint8_t kFreeNode = 3;
constexpr int kNodeHeaderSize = 3;
constexpr int kMaxNodeSize = 8192;
constexpr int kMaxFullKey = 251;
// The full key of the high-key entry that ends every node on the right-most
// path of a tree: greater than every real key (key numbers are below it).
constexpr uint8_t kHighKeyByte = 0x7F;

enum SearchResult : int {
  SR_ERROR = 0,
  SR_EMPTY = 1,
  SR_PAST_END = 2,
  SR_GREATER = 3,
  SR_EQUAL = 4,
  SR_EXACT = 5,
};

struct EntryLayout {
  int key_part;  // offset of L: 10, 6 (v4, v5) or 8, 4 (v3)
  bool segment_field;
  bool dup_field;
  // Bytes of an entry besides its suffix.
  int overhead() const { return key_part + 2; }
};

// The pointer of the entry that starts at `entry`: its first 4 bytes, then
// (versions 4 and 5) the 2-byte segment.
inline SegAddr entry_pointer(const uint8_t *entry, const EntryLayout &layout) {
  return SegAddr{static_cast<int32_t>(load_be32(entry)),
                 layout.segment_field ? load_be16(entry + 4) : uint16_t{0}};
}

// Points the entry that starts at `entry` at `to`: the fields entry_pointer
// reads, nothing else of the entry.
inline void set_entry_pointer(uint8_t *entry, const EntryLayout &layout, SegAddr to) {
  store_be32(entry, static_cast<uint32_t>(to.offset));
  if (layout.segment_field) store_be16(entry + 4, to.segment);
}

// Inline: every tree operation sets it for each key it works on.
inline EntryLayout entry_layout(int version, bool duplicates) {
  assert(version >= 2 && version <= 5);
  if (version <= 3) return EntryLayout{duplicates ? 8 : 4, false, duplicates};
  return EntryLayout{duplicates ? 10 : 6, true, duplicates};
}

// The entry layout of a key's tree, from its description.
inline EntryLayout key_entry_layout(int version, const KeyDesc &key) {
  return entry_layout(version, key.duplicates != 0);
}

// The `used` field of a node block of `node_size` bytes; -1 when it claims
// more entry bytes than the block holds after its header (damage, or a
// block that is no tree node).
inline int node_used(const uint8_t *block, int node_size) {
  const int used = load_be16(block + 1);
  return used > node_size - kNodeHeaderSize ? -1 : used;
}

// A decoded entry of a node's entry area.
struct Entry {
  int offset;  // in the entry area
  int size;    // key-part offset + 1 + L
  int32_t pointer;
  uint16_t segment;
  uint32_t dup;    // 0 when the tree has no such field
  uint8_t length;  // L
  uint8_t prefix;  // P
  const uint8_t *suffix;
  int suffix_length() const { return length - 1; }
};

// Stores the secondary code in *broken (when asked for) and returns false:
// the failure of every decoding check of the entry area.
inline bool broken_by(int32_t *broken, int32_t code) {
  if (broken) *broken = code;
  return false;
}

// Decodes the entry at `offset`; false with a secondary code in *broken when
// it does not fit in `used` bytes, its L is 0, or its key would be longer
// than any full key.
// Inline: a walk decodes the rest of its leaf with it, where each entry's
// call cost as much as the decoding (the fields it does not use are dropped
// by the compiler there).
inline bool decode_entry(const uint8_t *area, int used, int offset, const EntryLayout &layout,
                         Entry *e, int32_t *broken) {
  if (offset < 0 || offset + layout.overhead() > used) return broken_by(broken, kBrokenLength);
  const uint8_t *p = area + offset;
  e->offset = offset;
  e->pointer = static_cast<int32_t>(load_be32(p));
  e->segment = layout.segment_field ? load_be16(p + 4) : 0;
  e->dup = layout.dup_field ? load_be32(p + layout.key_part - 4) : 0;
  e->length = p[layout.key_part];
  e->prefix = p[layout.key_part + 1];
  e->suffix = p + layout.key_part + 2;
  e->size = layout.key_part + 1 + e->length;
  if (e->length == 0 || offset + e->size > used) return broken_by(broken, kBrokenLength);
  // No full key is longer than kMaxFullKey bytes: an entry that would make
  // one is damaged, and every caller may copy its key into a FullKey.
  if (e->prefix > kMaxFullKey) return broken_by(broken, kBrokenPrefix);
  if (e->prefix + e->suffix_length() > kMaxFullKey) return broken_by(broken, kBrokenLength);
  return true;
}

// Writes an entry's fixed part (pointer, segment, duplicate number, L, P).
void encode_entry_head(uint8_t *at, const EntryLayout &layout, int32_t pointer, uint16_t segment,
                       uint32_t dup, uint8_t length, uint8_t prefix);

// <0, 0, >0 as full key a compares with b (space padding). Inline, the
// bytes both keys have compared eight at a time: keys are short, and the
// searches of the interior-node memo compare at every step, where a call
// cost more than the comparison.
inline int compare_keys(const uint8_t *a, int a_length, const uint8_t *b, int b_length) {
  const int common = a_length < b_length ? a_length : b_length;
  int i = 0;
  for (; i + 8 <= common; i += 8) {
    const uint64_t x = load_be64(a + i), y = load_be64(b + i);
    if (x != y) return x < y ? -1 : 1;
  }
  for (; i < common; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  // One is a prefix of the other: the rest of the longer one compares
  // against spaces.
  for (; i < a_length; ++i)
    if (a[i] != ' ') return a[i] < ' ' ? -1 : 1;
  for (; i < b_length; ++i)
    if (b[i] != ' ') return b[i] < ' ' ? 1 : -1;
  return 0;
}
// How many leading bytes a and b have in common (at most the shorter
// length): the prefix an entry borrows from the key before it.
int common_prefix(const uint8_t *a, int a_length, const uint8_t *b, int b_length);

// A full key with its length.
struct FullKey {
  int length = 0;
  uint8_t bytes[kMaxFullKey] = {};
};

// The outcome of a search inside one node.
struct NodeSearch {
  int result = SR_ERROR;
  int position = 0;   // offset of the entry stopped at (or `used`)
  int previous = -1;  // offset of the entry before it, -1 when none
  bool equal_seen = false;
  int32_t broken = 0;  // secondary code when result is SR_ERROR
  uint32_t dup = 0;    // duplicate number of the entry stopped at
  FullKey key;         // full key of the entry stopped at (results 3-5)
  // Set by the caller: rebuild also the full key of the entry before the
  // stopping point (`previous`), what an insertion at `position`
  // compresses against. It is in `before` when before_known.
  bool want_before = false;
  bool before_known = false;
  FullKey before;
};

// Searches an entry area for the first entry not less than (key, dup):
// entries with a key equal to `key` and a duplicate number below `dup`
// (unsigned) are passed. Keys borrowed by an entry are rebuilt lazily and
// entries known to be smaller after an earlier mismatch are skipped
// without a comparison.
void search_entries(const uint8_t *area, int used, const EntryLayout &layout, const uint8_t *key,
                    int key_length, uint32_t dup, NodeSearch *out);

// The full key (and duplicate number) of the entry whose bytes contain
// `offset`; an offset below 0 or at or beyond `used` gives length 0.
// False with a secondary code when the area is damaged.
bool key_at_offset(const uint8_t *area, int used, const EntryLayout &layout, int offset,
                   FullKey *key, uint32_t *dup, int32_t *broken);
// For an entry boundary `cut` with 0 < cut < used: the full keys of the
// entries on both sides of it (the one before with its duplicate number)
// from one walk, as key_at_offset gives them for cut - 1 and cut. False
// with a secondary code when the area is damaged up to the entry at cut.
bool keys_at_cut(const uint8_t *area, int used, const EntryLayout &layout, int cut, FullKey *before,
                 uint32_t *before_dup, FullKey *at, int32_t *broken);

// Results of insert_entry besides a growth: no growth of `used` can reach
// them (a growth lies within +-kMaxNodeSize).
constexpr int kInsertNoRoom = INT32_MIN;
constexpr int kInsertDamaged = INT32_MIN + 1;

// Inserts the entry (key, dup, pointer) at offset `o`, which must be an
// entry boundary, compressing it against the entry before it and making
// the entry after it borrow what it now shares with the new key. Returns
// the growth of `used` (the change of index bytes in use; negative when the
// successor gives up more bytes than the new entry takes, as when it
// borrowed less than it shared with its old predecessor), or kInsertNoRoom
// when the entry does not fit in `capacity` bytes (nothing changed), or
// kInsertDamaged with *broken set when the area is damaged. Bytes freed at
// the end are zeroed.
int insert_entry(uint8_t *area, int *used, int capacity, const EntryLayout &layout, int o,
                 const uint8_t *key, int key_length, int32_t pointer, uint16_t segment,
                 uint32_t dup, int32_t *broken);
// The same, for a caller that already holds `before`, the full key of the
// entry ending at `o` (ignored when `o` is 0): the area is not walked again.
// `shared`, unless -1, is the prefix the key shares with `before` (0 when
// `o` is 0), which the caller has worked out already.
int insert_entry_after(uint8_t *area, int *used, int capacity, const EntryLayout &layout, int o,
                       const FullKey &before, const uint8_t *key, int key_length, int32_t pointer,
                       uint16_t segment, uint32_t dup, int32_t *broken, int shared = -1);

// Removes the entry at offset `o`. A following entry that borrowed more
// bytes than the removed one takes them over into its suffix. The freed
// tail is zeroed. Returns the bytes freed, or -1 with *broken set when the
// area is damaged; *was_last tells whether it was the node's last entry.
int remove_entry(uint8_t *area, int *used, const EntryLayout &layout, int o, bool *was_last,
                 int32_t *broken);

// Rewrites the entry at offset 0 so that it borrows nothing (P = 0): it
// grows by its former prefix count, which is returned (-1 when it does not
// fit in `capacity`; -2 on damage). Used when an entry becomes the first of
// a node. `full_key` is the entry's full key.
int make_first_entry_whole(uint8_t *area, int *used, int capacity, const EntryLayout &layout,
                           const FullKey &full_key, int32_t *broken);

}  // namespace kel::indexed
