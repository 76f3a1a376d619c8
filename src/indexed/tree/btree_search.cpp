// Key search: inside one node, from the root down to a leaf, and back one
// entry in key order.
#include <algorithm>
#include <cstring>

#include "format/node_memo.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/fail.h"
#include "tree/btree.h"

namespace kel::indexed {

namespace {

// The memo's trust applies: an open that keeps other writers out, and
// not a verified reader.
bool trusting(const TreeContext *f) {
  return f->trust.owner != 0 && !f->verified;
}

// The search of an interior node the memo trusts for this open, without
// reading it; false when it does not (the node is then read).
bool search_unread(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr node,
                   NodePosition *pos, SegAddr *child) {
  NodeSearch &s = f->search;
  if (!search_trusted(memo_node_id(node, f->key_number), f->trust, f->layout, search_key + 1,
                      search_key[0], dup, &s, child))
    return false;
  if (s.equal_seen) f->equal_seen = true;
  pos->node = node;
  pos->offset = s.position;
  pos->previous = s.previous;
  return true;
}

SegAddr key_root(const TreeContext *f) {
  const KeyDesc &kd = f->store->key_desc(f->key_number);
  return SegAddr{static_cast<int32_t>(kd.root_offset), kd.root_segment};
}

// Verified mode: the full key found in the parent must not be below the
// first entry of the child (both compared bytewise over key size + 1
// bytes, or over the shorter of the two when one is the one-byte high
// key). A parent key below it means a writer changed the tree under the
// reader, which then retries.
bool parent_key_fits_child(TreeContext *f, const FullKey &parent) {
  if (f->node.used <= 0) return true;
  Entry first;
  int32_t broken = 0;
  if (!decode_entry(f->node.entries(), f->node.used, 0, f->layout, &first, &broken)) return true;
  int width = f->store->key_desc(f->key_number).length + 1;
  width = std::min({width, parent.length, first.suffix_length()});
  return memcmp(parent.bytes, first.suffix, static_cast<size_t>(width)) >= 0;
}

// Offset of the entry before the one at `offset` in the image.
bool previous_entry(TreeContext *f, int offset, int *previous) {
  *previous = -1;
  Entry e;
  for (int at = 0; at < offset; at += e.size) {
    int32_t broken = 0;
    if (!decode_entry(f->node.entries(), f->node.used, at, f->layout, &e, &broken))
      return fs_fail(E_BROKEN, broken);
    *previous = at;
  }
  return true;
}

// Makes the image's entry at `offset` the position and rebuilds its key.
int settle_on(TreeContext *f, SegAddr node, int offset, int depth, NodePosition *pos) {
  pos->node = node;
  pos->offset = offset;
  pos->depth = depth;
  if (!previous_entry(f, offset, &pos->previous)) return 0;
  if (!vi_key_at_offset(f, offset, &f->search.key, &f->search.dup)) return 0;
  return 1;
}

}  // namespace

int search_node_full(TreeContext *f, const uint8_t *key, int key_length, uint32_t dup, SegAddr node,
                     NodePosition *pos) {
  // Only a node read from the store now may become trusted: an image the
  // context already held may carry changes not yet written.
  const bool read_now = !(f->node.addr == node);
  if (!vi_read_node(f, node)) return SR_ERROR;
  if (f->verified && f->node.buf[0] != kTreeNode) {
    ++f->counters.non_bnode_blocks;
    if (f->debug_output) eprintf(">>AR DBG f->node.buf[0] != B_NODE\n");
    return SR_ERROR;
  }
  NodeSearch &s = f->search;
  search_entries_memo(f->node.entries(), f->node.used, f->layout, memo_node_id(node, f->key_number),
                      key, key_length, dup, &s, read_now && trusting(f) ? &f->trust : nullptr);
  if (s.equal_seen) f->equal_seen = true;
  pos->node = node;
  pos->offset = s.position;
  pos->previous = s.previous;
  if (s.result == SR_ERROR) fs_fail(E_BROKEN, s.broken);
  return s.result;
}

int vi_search_node(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr node,
                   NodePosition *pos) {
  return search_node_full(f, search_key + 1, search_key[0], dup, node, pos);
}

namespace {

// The descent of vi_find_key from the node `at` at `depth`, whose search
// path above it is in place.
int descend_from(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr at, int depth,
                 NodePosition *pos) {
  FullKey parent_key;
  for (;; ++depth) {
    // A descent deeper than the search path can hold only happens in a
    // tree whose pointers loop: reported like running past a node.
    if (depth >= kMaxDepth) return fs_fail(E_BROKEN, kBrokenPastEnd), SR_ERROR;
    f->path[depth] = at;
    pos->depth = depth;
    SegAddr child;
    if (trusting(f) && search_unread(f, search_key, dup, at, pos, &child)) {
      at = child;
      continue;
    }
    int result = vi_search_node(f, search_key, dup, at, pos);
    if (result == SR_ERROR) return SR_ERROR;
    if (result == SR_PAST_END) {
      // A sound tree ends every node with a key >= the searched one.
      if (f->verified) return SR_ERROR;
      return fs_fail(E_BROKEN, kBrokenPastEnd), SR_ERROR;
    }
    if (f->verified && depth >= 1 && !parent_key_fits_child(f, parent_key)) {
      ++f->counters.find_key_mismatches;
      if (f->debug_output) eprintf(">>AR DBG vi_find_key() mismatch\n");
      return SR_ERROR;
    }
    if (f->verified) parent_key = f->search.key;
    SegAddr next = vi_entry_pointer(f, pos->offset);
    if (!is_child_pointer(next)) return result;
    at = next;
  }
}

// A walk that leaves its leaf searches the leaf's parent (its image is in
// the context) and goes down to the entry's child, the walk's next leaf.
// The child after that one is the leaf the walk will need once it has
// gone through the next: it lies anywhere in the index, and reading it
// only then waits for memory, so the store is told of it now (on a mapped
// index a processor hint: no read, no count, no system call). A pointer
// that is not a child's (the parent's last entry, a damaged node) is not
// hinted. The child is kept in the context (next_leaf) for the walk,
// which looks into it before it gets there (reading.h).
void hint_next_child(TreeContext *f, int offset) {
  Entry e;
  if (!decode_entry(f->node.entries(), f->node.used, offset, f->layout, &e, nullptr)) return;
  int next = offset + e.size;
  if (next + f->layout.overhead() > f->node.used) return;
  SegAddr child = vi_entry_pointer(f, next);
  if (!is_child_pointer(child)) return;
  f->next_leaf = child;
  f->store->hint_node(child);
}

}  // namespace

int vi_find_key(TreeContext *f, const uint8_t *search_key, uint32_t dup, NodePosition *pos) {
  if (search_key[0] < 1 || search_key[1] >= f->store->key_count()) {
    fs_fail(E_PARAM);
    return SR_ERROR;
  }
  vi_set_key(f, search_key[1]);
  SegAddr at = key_root(f);
  f->root_depth = 0;
  f->path[0] = kNoNode;
  if (at == kNullAddr) return SR_EMPTY;
  return descend_from(f, search_key, dup, at, 0, pos);
}

int vi_find_key_below(TreeContext *f, const uint8_t *search_key, uint32_t dup, const SegAddr *path,
                      int leaf_depth, NodePosition *pos) {
  f->next_leaf = kNoNode;
  if (search_key[0] < 1 || search_key[1] >= f->store->key_count() || f->verified ||
      leaf_depth < 2 || leaf_depth >= kMaxDepth)
    return vi_find_key(f, search_key, dup, pos);
  vi_set_key(f, search_key[1]);
  // The nearest ancestor whose last key is not below the searched key: a
  // descent from the root would pass through it (the searched key is
  // above the walk's leaf, so above every key before that ancestor's
  // range). The root is left to vi_find_key.
  for (int depth = leaf_depth - 1; depth >= 1; --depth) {
    NodePosition at;
    int result = vi_search_node(f, search_key, dup, path[depth], &at);
    if (result == SR_ERROR) {
      fs_set_status(0);
      break;
    }
    if (result == SR_PAST_END) continue;
    if (depth == leaf_depth - 1) hint_next_child(f, at.offset);
    f->root_depth = 0;
    for (int d = 0; d <= depth; ++d) f->path[d] = path[d];
    return descend_from(f, search_key, dup, path[depth], depth, pos);
  }
  return vi_find_key(f, search_key, dup, pos);
}

bool descend_to_depth(TreeContext *f, const FullKey &key, uint32_t dup, int depth,
                      NodePosition *pos) {
  SegAddr at = key_root(f);
  for (int level = 0; level < f->root_depth; ++level) f->path[level] = kNoNode;
  for (int level = f->root_depth;; ++level) {
    if (level >= kMaxDepth || !is_child_pointer(at)) return fs_fail(E_BROKEN, kBrokenPastEnd);
    f->path[level] = at;
    pos->depth = level;
    int result = search_node_full(f, key.bytes, key.length, dup, at, pos);
    if (result == SR_ERROR) return false;
    if (level == depth) return true;
    if (result == SR_PAST_END) return fs_fail(E_BROKEN, kBrokenPastEnd);
    at = vi_entry_pointer(f, pos->offset);
  }
}

int vi_descend_last(TreeContext *f, SegAddr from, int depth, NodePosition *pos) {
  SegAddr at = from;
  for (;; ++depth) {
    if (depth >= kMaxDepth) return fs_fail(E_BROKEN, kBrokenPastEnd), 0;
    f->path[depth] = at;
    NodePosition stop;
    if (vi_search_node(f, kHighSearchKey, 0, at, &stop) == SR_ERROR) return 0;
    // Outside the right-most path the walk runs off the node's end; on it,
    // the walk stops at the high-key entry. Either way the entry before the
    // stopping point is the last real one.
    if (stop.previous < 0) return fs_fail(E_BROKEN, kBrokenPastEnd), 0;
    SegAddr next = vi_entry_pointer(f, stop.previous);
    if (!is_child_pointer(next)) return settle_on(f, at, stop.previous, depth, pos);
    at = next;
  }
}

int vi_step_back(TreeContext *f, NodePosition *pos) {
  if (pos->previous >= 0) {
    if (!vi_read_node(f, pos->node)) return 0;
    return settle_on(f, pos->node, pos->previous, pos->depth, pos);
  }
  // Climb until an ancestor has an entry before the one leading down here.
  for (int depth = pos->depth - 1; depth >= f->root_depth; --depth) {
    int offset, previous;
    if (!vi_find_parent_entry(f, f->path[depth], f->path[depth + 1], &offset, &previous)) return 0;
    if (previous >= 0) return vi_descend_last(f, vi_entry_pointer(f, previous), depth + 1, pos);
  }
  return fs_fail(E_NOT_FOUND);
}

}  // namespace kel::indexed
