// Key insertion: the first root, the insert into a node with prefix
// compression, and the split of a full node.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>

#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/fail.h"
#include "tree/btree.h"

namespace kel::indexed {

namespace {

int common_prefix(const FullKey &a, const FullKey &b) {
  return indexed::common_prefix(a.bytes, a.length, b.bytes, b.length);
}

// Puts the high-key entry, pointing to `pointer`, into an empty entry area.
// Its bytes count in the header's index bytes in use like those of any
// entry, so that the count stays the sum of `used` over all nodes; lowering
// the root takes them off again.
int put_high_key(TreeContext *f, uint8_t *area, SegAddr pointer) {
  int used = 0;
  int32_t broken = 0;
  [[maybe_unused]] int grown =
      insert_entry(area, &used, node_capacity(f), f->layout, 0, high_key().bytes, 1, pointer.offset,
                   pointer.segment, 0, &broken);
  // An empty area always takes the one-byte high key.
  assert(grown > 0 && used > 0 && broken == 0);
  f->store->add_index_bytes(used);
  return used;
}

// The first root of an empty tree: one leaf holding only the high-key entry
// with a null pointer.
bool create_first_root(TreeContext *f) {
  MemPtr<uint8_t> block;
  if (!block.allocate(static_cast<size_t>(f->store->node_size()), "temporary node buffer"))
    return false;
  SegAddr root;
  if (!vi_alloc_node(f, &root)) return false;
  int used = put_high_key(f, block.get() + kNodeHeaderSize, kNullAddr);
  if (!f->store->set_key_root(f->key_number, root, 1)) return false;
  return write_block(f, root, block.get(), used);
}

// Where a full node is cut: entries before `cut` stay in the left node A,
// the rest go to the right node B; the new key goes left or right.
struct SplitPoint {
  int cut = 0;
  bool key_left = false;
  bool middle_rule = false;
};

bool choose_split(TreeContext *f, const uint8_t *area, int used, int o, const FullKey &key,
                  SplitPoint *sp) {
  Entry e;
  int32_t broken = 0;
  // Boundary rule: the entry at o starts a different key number (in a sound
  // tree, the high-key entry): keys arriving in ascending order. Cutting at
  // o leaves the left node completely filled.
  if (o < used) {
    if (!decode_entry(area, used, o, f->layout, &e, &broken)) return fs_fail(E_BROKEN, broken);
    if (e.prefix == 0 && e.suffix_length() > 0 && e.suffix[0] != key.bytes[0]) {
      int cut = o >= used / 2 ? o : o + e.size;
      if (cut > 0 && cut < used) {
        *sp = SplitPoint{cut, o < cut, false};
        return true;
      }
    }
  }
  // Middle rule: M is the first entry whose end reaches half of `used`.
  int start = 0;
  for (;;) {
    if (!decode_entry(area, used, start, f->layout, &e, &broken)) return fs_fail(E_BROKEN, broken);
    if (start + e.size >= used / 2) break;
    start += e.size;
  }
  int end = start + e.size;
  *sp = o >= end ? SplitPoint{end, false, true} : SplitPoint{start, true, true};
  return true;
}

// Builds B in `right` from the entries of `left` from `cut` on (its first
// entry made whole) and truncates `left` to A. Returns B's used, or -1.
// When the cut lies inside the node and last_left is not null, the walk
// that finds B's first key also gives A's last key and its duplicate number
// (*last_left, *last_left_dup; *have_last set).
int cut_node(TreeContext *f, uint8_t *left, int used, int cut, uint8_t *right, int *grown,
             FullKey *last_left, uint32_t *last_left_dup, bool *have_last) {
  int cap = node_capacity(f);
  assert(cut >= 0 && cut <= used && used <= cap);
  uint8_t *la = left + kNodeHeaderSize, *ra = right + kNodeHeaderSize;
  int32_t broken = 0;
  FullKey first;
  *have_last = false;
  if (last_left && cut > 0 && cut < used) {
    // Both keys from one walk of the entries up to the cut (the usual case:
    // a split walks its node once, not twice).
    if (!keys_at_cut(la, used, f->layout, cut, last_left, last_left_dup, &first, &broken))
      return fs_fail(E_BROKEN, broken), -1;
    *have_last = true;
  } else if (!key_at_offset(la, used, f->layout, cut, &first, nullptr, &broken)) {
    return fs_fail(E_BROKEN, broken), -1;
  }
  memset(right, 0, static_cast<size_t>(f->store->node_size()));
  int right_used = used - cut;
  memcpy(ra, la + cut, static_cast<size_t>(right_used));
  memset(la + cut, 0, static_cast<size_t>(cap - cut));
  *grown = 0;
  if (right_used > 0) {
    *grown = make_first_entry_whole(ra, &right_used, cap, f->layout, first, &broken);
    if (*grown < 0) return fs_fail(E_BROKEN, *grown == -1 ? kBrokenLength : broken), -1;
  }
  return right_used;
}

// Puts nodes taken for a split that cannot go on back on the free-node
// list; the error of the failure stays.
void give_back(TreeContext *f, std::initializer_list<SegAddr> nodes) {
  KeptErrors kept;
  for (SegAddr at : nodes) vi_free_node(f, at);
}

// A root split: a new root holding only the high-key entry, pointing to B,
// one level above the old root; *root_depth receives its depth, and *depth
// (the split node's) grows when the search path moves down to make room.
// Nothing changes when it fails.
bool grow_tree(TreeContext *f, SegAddr right, int *depth, int *root_depth) {
  if (trace_on(kTraceTree)) eprintf("V: split() increasing tree height\n");
  SegAddr root;
  if (!vi_alloc_node(f, &root)) return false;
  uint8_t height = f->store->key_desc(f->key_number).height;
  if (!f->store->set_key_root(f->key_number, root, static_cast<uint8_t>(height + 1))) {
    give_back(f, {root});
    return false;
  }
  f->node.used = put_high_key(f, f->node.entries(), right);
  if (f->root_depth > 0) {
    // The old root was lowered earlier in this operation: its level is free.
    --f->root_depth;
  } else {
    std::copy_backward(f->path, f->path + kMaxDepth - 1, f->path + kMaxDepth);
    ++f->depth_shift;
    ++*depth;
  }
  f->path[f->root_depth] = root;
  *root_depth = f->root_depth;
  return true;
}

// Splits the image's node (pos) for an insertion of `key` at pos->offset,
// and moves pos to the node that receives the key.
bool split(TreeContext *f, const FullKey &key, uint32_t dup, NodePosition *pos) {
  SegAddr n_addr = pos->node;
  int depth = pos->depth, o = pos->offset, used = f->node.used;
  // The image is the node being split, and the key goes at an entry
  // boundary inside it.
  assert(f->node.addr == n_addr && o >= 0 && o <= used);
  if (trace_on(kTraceTree))
    eprintf("V: splitting node %ld/%d, depth = %d, used = %d, addr = %p\n",
            static_cast<long>(n_addr.offset), n_addr.segment, depth, used,
            static_cast<void *>(f->node.buf));
  if (!take_scratch(f)) return false;
  uint8_t *left = f->scratch[0].get(), *right = f->scratch[1].get();
  memcpy(left, f->node.buf, static_cast<size_t>(f->store->node_size()));
  SplitPoint sp;
  if (!choose_split(f, left + kNodeHeaderSize, used, o, key, &sp)) return false;
  SegAddr a, b;
  if (!vi_alloc_node(f, &a)) return false;
  if (!vi_alloc_node(f, &b)) {
    give_back(f, {a});
    return false;
  }
  // A new root is taken before anything is written, so that a failure to
  // get it (a full disk) leaves the tree and its node counts as they were.
  // It becomes the image and stays there until the separator goes in.
  int parent_depth = depth - 1;
  bool is_root = depth == f->root_depth;
  if (is_root && !grow_tree(f, b, &depth, &parent_depth)) {
    give_back(f, {a, b});
    return false;
  }
  // The separator is A's last key, or the new key itself when it will end A.
  FullKey separator;
  uint32_t separator_dup = 0;
  bool key_separates = sp.middle_rule && sp.key_left && o == sp.cut;
  bool have_last = false;
  int grown = 0;
  int right_used = cut_node(f, left, used, sp.cut, right, &grown,
                            key_separates ? nullptr : &separator, &separator_dup, &have_last);
  if (right_used < 0) return false;
  f->store->add_index_bytes(grown);
  if (key_separates) {
    separator = key;
    separator_dup = dup;
  } else if (!have_last && !key_at_offset(left + kNodeHeaderSize, sp.cut, f->layout, sp.cut - 1,
                                          &separator, &separator_dup, nullptr)) {
    return fs_fail(E_BROKEN, kBrokenLength);
  }

  if (!write_block(f, b, right, right_used) || !write_block(f, a, left, sp.cut)) return false;
  SegAddr parent = f->path[parent_depth];
  if (!is_root) {
    // The parent's entry for N keeps its key (>= every key of B) and now
    // points to B.
    int offset, previous;
    if (!vi_find_parent_entry(f, parent, n_addr, &offset, &previous)) return false;
    set_entry_pointer(f->node.entries() + offset, f->layout, b);
    if (!vi_write_node(f)) return false;
  }
  NodePosition ppos;
  ppos.depth = parent_depth;
  f->search.want_before = true;
  int found = search_node_full(f, separator.bytes, separator.length, separator_dup, parent, &ppos);
  f->search.want_before = false;
  if (found == SR_ERROR) return false;
  int shift = f->depth_shift;
  uint32_t splits = ++f->split_count;
  if (!vi_node_insert(f, separator, separator_dup, a, &ppos, searched_before(f))) return false;
  depth += f->depth_shift - shift;
  if (!vi_free_node(f, n_addr)) return false;

  // The key goes to A at o, or to B where its entry moved to.
  if (f->split_count != splits) {
    // The parent split too: A's and B's parents may differ and the levels
    // above have changed, so the path is found again from the root.
    return descend_to_depth(f, key, dup, depth, pos);
  }
  SegAddr target = sp.key_left ? a : b;
  pos->node = target;
  pos->offset = sp.key_left ? o : (o == sp.cut ? 0 : o - sp.cut + grown);
  pos->previous = -1;
  pos->depth = depth;
  f->path[depth] = target;
  return vi_read_node(f, target);
}

}  // namespace

const FullKey *searched_before(const TreeContext *f) {
  return f->search.before_known ? &f->search.before : nullptr;
}

bool vi_node_insert(TreeContext *f, const FullKey &key, uint32_t dup, SegAddr pointer,
                    NodePosition *pos, const FullKey *known_before) {
  // A split leaves at most half a node in the receiving node, so a second
  // split is rare and a third means the entry can never fit.
  for (int round = 0; round < 3; ++round) {
    if (!vi_read_node(f, pos->node)) return false;
    int o = pos->offset;
    // After a split the position is another one: the key is rebuilt (in
    // a FullKey cleared only then).
    std::optional<FullKey> rebuilt;
    const FullKey *given = round == 0 ? known_before : nullptr;
    if (o > 0 && !given && !vi_key_at_offset(f, o - 1, &rebuilt.emplace(), nullptr)) return false;
    // Without either (only at the node's first entry, o 0) nothing reads
    // `before`: any key stands in for it.
    const FullKey &before = given ? *given : rebuilt ? *rebuilt : high_key();
    int shared = o > 0 ? common_prefix(before, key) : 0;
    int need = f->layout.key_part + 2 + key.length - shared;
    if (need <= node_capacity(f) - f->node.used) {
      int32_t broken = 0;
      int grew = insert_entry_after(f->node.entries(), &f->node.used, node_capacity(f), f->layout,
                                    o, before, key.bytes, key.length, pointer.offset,
                                    pointer.segment, dup, &broken, shared);
      if (grew == kInsertDamaged) return fs_fail(E_BROKEN, broken);
      if (grew != kInsertNoRoom) {
        f->store->add_index_bytes(grew);
        return vi_write_node(f);
      }
      // The successor would borrow less than before: take the split path.
    }
    if (!split(f, key, dup, pos)) return false;
  }
  return fs_fail(E_BROKEN, kBrokenLength);
}

namespace {

// The new key goes right after the entry the last insertion added: it
// compares above that entry's key and below its successor's, neither
// equal (so no entry of the tree has its key, whatever the duplicate
// numbers), and nothing changed the tree since.
bool follows_last_insert(const TreeContext *f, const InsertMemo *m, const FullKey &key) {
  return m->valid && m->changes == f->changes[f->key_number] &&
         compare_keys(m->last.bytes, m->last.length, key.bytes, key.length) < 0 &&
         compare_keys(key.bytes, key.length, m->next.bytes, m->next.length) < 0;
}

constexpr uint32_t kMissesBeforeRest = 4;
constexpr uint32_t kRestPeriod = 64;  // a power of two

// Copies only the bytes in use: the memory is written at every insertion.
void copy_key(FullKey *to, const FullKey &from) {
  to->length = from.length;
  memcpy(to->bytes, from.bytes, static_cast<size_t>(from.length));
}

// After an insertion at pos (the start of the new entry), whose
// successor's key is already in m->next: remembers where the next one
// goes, when the image still holds the leaf.
void remember_insert(TreeContext *f, InsertMemo *m, const NodePosition &pos, const FullKey &key) {
  Entry e;
  int32_t broken = 0;
  if (!vi_holds_node(f, pos.node) ||
      !decode_entry(f->node.entries(), f->node.used, pos.offset, f->layout, &e, &broken) ||
      pos.offset + e.size >= f->node.used)
    return;
  m->leaf = pos.node;
  m->depth = pos.depth;
  m->root_depth = f->root_depth;
  std::copy(f->path, f->path + pos.depth + 1, m->path);
  m->start = pos.offset;
  m->end = pos.offset + e.size;
  copy_key(&m->last, key);
  m->changes = f->changes[f->key_number];
  m->valid = true;
  // The leaf as written (the image holds it), for the next insertion here.
  size_t size = static_cast<size_t>(f->store->node_size());
  uint8_t *copy = f->insert_images.get() + static_cast<size_t>(f->key_number) * size;
  // An insertion at the remembered place worked in the copy itself.
  if (copy != f->node.buf) memcpy(copy, f->node.buf, size);
  m->leaf_used = f->node.used;
}

// The insertion at the remembered place, with the search path of the
// insertion that recorded it (a split needs the parents).
bool insert_after_last(TreeContext *f, InsertMemo *m, const FullKey &key, uint32_t dup,
                       SegAddr pointer) {
  vi_clear_path(f);
  std::copy(m->path, m->path + m->depth + 1, f->path);
  f->root_depth = m->root_depth;
  NodePosition pos;
  pos.node = m->leaf;
  pos.offset = m->end;
  pos.previous = m->start;
  pos.depth = m->depth;
  m->valid = false;
  if (m->leaf_used >= 0) {
    // The insertion works in the copy itself: it is the leaf as the file
    // holds it, and becomes the leaf as this insertion writes it. A split
    // reads other nodes (the image is the node buffer again); the memory
    // is then recorded afresh from the leaf that took the key, or stays
    // invalid, so a copy changed half-way is never used.
    size_t size = static_cast<size_t>(f->store->node_size());
    vi_work_in(f, m->leaf, f->insert_images.get() + static_cast<size_t>(f->key_number) * size,
               m->leaf_used);
  }
  if (!vi_node_insert(f, key, dup, pointer, &pos, &m->last)) return false;
  remember_insert(f, m, pos, key);
  return true;
}

}  // namespace

bool vi_remember_inserts(TreeContext *f) {
  size_t count = static_cast<size_t>(f->store->key_count());
  if (!f->insert_memo.allocate(count, "insert position memory") ||
      !f->insert_images.allocate(count * static_cast<size_t>(f->store->node_size()),
                                 "insert leaf copies"))
    return false;
  for (size_t k = 0; k < count; ++k) new (f->insert_memo.get() + k) InsertMemo();
  vi_trust_own_nodes(f);
  return true;
}

void vi_trust_own_nodes(TreeContext *f) {
  // A number of its own for the memo's trust: never one of an earlier open
  // whose context lay at the same address.
  static uint64_t opens = 0;
  f->trust = MemoTrust{++opens, 0};
}

bool key_add(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr pointer,
             bool duplicates) {
  FullKey &key = f->adding;
  key.length = search_key[0];
  memcpy(key.bytes, search_key + 1, static_cast<size_t>(key.length));
  InsertMemo *memo = nullptr;
  if (f->insert_memo && search_key[0] >= 1 && search_key[1] < f->store->key_count()) {
    vi_set_key(f, search_key[1]);
    memo = f->insert_memo.get() + f->key_number;
    if (follows_last_insert(f, memo, key)) {
      memo->misses = 0;
      bool ok = insert_after_last(f, memo, key, dup, pointer);
      // No entry has the key; a split's searches for separators may have
      // met equal keys of other records.
      f->equal_seen = false;
      f->scratch[0].reset();
      f->scratch[1].reset();
      return ok;
    }
    // A key whose insertions keep missing the memory (arriving in random
    // order) records it only at every 64th, so that it costs nothing while
    // it cannot help, and still takes up a turn to ascending order soon.
    if (++memo->misses > kMissesBeforeRest && (memo->misses & (kRestPeriod - 1)) != 0)
      memo = nullptr;
  }
  bool ok = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    NodePosition pos;
    f->search.want_before = true;
    int result = vi_find_key(f, search_key, dup, &pos);
    f->search.want_before = false;
    if (result == SR_ERROR) break;
    if (result == SR_EMPTY) {
      if (attempt > 0) {
        fs_fail(E_BROKEN, kBrokenPastEnd);  // the new root did not take
        break;
      }
      if (!create_first_root(f)) break;
      continue;
    }
    if (duplicates || result < SR_EQUAL) {
      if (result == SR_EXACT) {
        fs_fail(E_BROKEN, kBrokenSameKey);
      } else {
        // Searches for separators during splits may meet equal keys of
        // other records; only the search for this key tells the caller
        // whether its value is now shared.
        bool equal_seen = f->equal_seen;
        if (memo) {
          memo->valid = false;
          copy_key(&memo->next, f->search.key);
        }
        ok = vi_node_insert(f, key, dup, pointer, &pos, searched_before(f));
        f->equal_seen = equal_seen;
        // After a split too: it leaves the path, the position and the image
        // those of the leaf that took the key (found again from the root
        // when a parent split as well), and the entry after the new one in
        // that leaf is still the one the search stopped at. Keys arriving
        // in ascending order then go on without a descent after each split.
        if (ok && memo) remember_insert(f, memo, pos, key);
      }
    } else {
      fs_fail(E_DUPLICATE);
    }
    break;
  }
  f->scratch[0].reset();
  f->scratch[1].reset();
  return ok;
}

}  // namespace kel::indexed
