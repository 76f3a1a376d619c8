// Key removal: the entry removal with the combine of under-filled nodes,
// the lowering of the root, and the re-keying of parent entries.
#include <cassert>
#include <cstring>

#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/fail.h"
#include "tree/btree.h"

namespace kel::indexed {

namespace {

const char *combine_name(int result) {
  switch (result) {
    case COMBINE_RIGHT:
      return "COMBINE_RIGHT";
    case COMBINE_LEFT:
      return "COMBINE_LEFT";
    case COMBINE_NONE:
      return "COMBINE_NONE";
    default:
      return "COMBINE_ERROR";
  }
}

// A node is combined when its entries fill less than a third of it.
int combine_threshold(const TreeContext *f) {
  return node_capacity(f) / 3;
}

bool is_high_key_entry(const TreeContext *f, int offset) {
  Entry e;
  int32_t broken = 0;
  if (!decode_entry(f->node.entries(), f->node.used, offset, f->layout, &e, &broken)) return false;
  return e.prefix == 0 && e.length == 2 && e.suffix[0] == kHighKeyByte;
}

void set_pointer(TreeContext *f, int offset, SegAddr to) {
  assert(offset >= 0 && offset + f->layout.overhead() <= f->node.used);
  set_entry_pointer(f->node.entries() + offset, f->layout, to);
}

// The root (the image) has only its high-key entry left: the child it
// points to becomes the root, or the tree becomes empty.
bool lower_root(TreeContext *f) {
  if (trace_on(kTraceTree)) eprintf("V: combine() reducing tree height\n");
  SegAddr old_root = f->node.addr;
  SegAddr child = vi_entry_pointer(f, 0);
  SegAddr new_root = is_child_pointer(child) ? child : kNullAddr;
  uint8_t height = f->store->key_desc(f->key_number).height;
  if (!f->store->set_key_root(f->key_number, new_root, static_cast<uint8_t>(height - 1)))
    return false;
  f->store->add_index_bytes(-f->node.used);
  if (!vi_free_node(f, old_root)) return false;
  f->path[f->root_depth] = kNoNode;
  ++f->root_depth;
  return true;
}

// Writes the entries of `first` followed by those of `second` (each node's
// first entry already borrows nothing) as a new node; its address in *q.
bool write_merged(TreeContext *f, const uint8_t *first, int first_used, const uint8_t *second,
                  int second_used, SegAddr *q) {
  uint8_t *m = f->scratch[1].get();
  memset(m, 0, static_cast<size_t>(f->store->node_size()));
  memcpy(m + kNodeHeaderSize, first, static_cast<size_t>(first_used));
  memcpy(m + kNodeHeaderSize + first_used, second, static_cast<size_t>(second_used));
  if (!vi_alloc_node(f, q)) return false;
  return write_block(f, *q, m, first_used + second_used);
}

// Combines the under-filled image node N (pos, at *depth, not the root)
// with a neighbour, or drops it when it is empty, and removes the parent
// entry that no longer leads anywhere. The "returned" trace line follows a
// merge or drop; a node that stays as it is returns COMBINE_NONE silently.
int merge_or_drop(TreeContext *f, NodePosition *pos, int *depth) {
  SegAddr n_addr = pos->node;
  int n_used = f->node.used, cap = node_capacity(f);
  uint8_t *n_copy = f->scratch[0].get();
  memcpy(n_copy, f->node.buf, static_cast<size_t>(f->store->node_size()));
  SegAddr parent = f->path[*depth - 1];
  int e, pe;
  if (!vi_find_parent_entry(f, parent, n_addr, &e, &pe)) return COMBINE_ERROR;
  Entry entry;
  int32_t broken = 0;
  if (!decode_entry(f->node.entries(), f->node.used, e, f->layout, &entry, &broken))
    return fs_fail(E_BROKEN, broken), COMBINE_ERROR;
  int ne = e + entry.size < f->node.used ? e + entry.size : -1;
  SegAddr right = ne >= 0 ? vi_entry_pointer(f, ne) : kNoNode;
  SegAddr left = pe >= 0 ? vi_entry_pointer(f, pe) : kNoNode;

  int remove_at = e;
  int merged = COMBINE_NONE;  // or the side merged with
  SegAddr q = kNoNode;
  if (n_used > 0) {
    // The right neighbour is tried first.
    if (right != kNoNode) {
      if (!vi_read_node(f, right)) return COMBINE_ERROR;
      if (n_used + f->node.used <= cap) merged = COMBINE_RIGHT;
    }
    if (merged == COMBINE_NONE && left != kNoNode) {
      if (!vi_read_node(f, left)) return COMBINE_ERROR;
      if (n_used + f->node.used <= cap) merged = COMBINE_LEFT;
    }
    if (merged == COMBINE_NONE) {
      vi_load_image(f, n_addr, n_copy, n_used);
      return COMBINE_NONE;
    }
    const uint8_t *n_area = n_copy + kNodeHeaderSize;
    bool ok = merged == COMBINE_RIGHT
                  ? write_merged(f, n_area, n_used, f->node.entries(), f->node.used, &q)
                  : write_merged(f, f->node.entries(), f->node.used, n_area, n_used, &q);
    if (!ok || !vi_read_node(f, parent)) return COMBINE_ERROR;
    // After a right merge R's entry, whose key is right for the merged node,
    // leads to it; after a left merge N's entry does.
    set_pointer(f, merged == COMBINE_RIGHT ? ne : e, q);
    if (!vi_write_node(f)) return COMBINE_ERROR;
    remove_at = merged == COMBINE_RIGHT ? e : pe;
  }

  NodePosition ppos;
  ppos.node = parent;
  ppos.offset = remove_at;
  ppos.depth = *depth - 1;
  int shift = f->depth_shift;
  int parent_result = combine(f, &ppos);
  *depth += f->depth_shift - shift;
  int result = COMBINE_ERROR;
  if (parent_result != COMBINE_ERROR && vi_free_node(f, n_addr)) {
    if (merged == COMBINE_NONE) {
      // N was empty and is gone: nothing is left to write.
      f->node.addr = kNoNode;
      f->node.used = 0;
      result = COMBINE_RIGHT;
    } else if (vi_free_node(f, merged == COMBINE_RIGHT ? right : left) && vi_read_node(f, q)) {
      pos->node = q;
      f->path[*depth] = q;
      result = merged;
    }
  }
  pos->depth = *depth;
  if (trace_on(kTraceTree)) eprintf("V: combine() returned %s\n", combine_name(result));
  return result;
}

// Whether removing the entry at `offset` of the image may lead to a merge
// or a separator update, both of which may need the temporary buffers.
bool may_need_buffers(TreeContext *f, int offset) {
  Entry e;
  int32_t broken = 0;
  if (!decode_entry(f->node.entries(), f->node.used, offset, f->layout, &e, &broken)) return false;
  return f->node.used - e.size < combine_threshold(f) || offset + e.size >= f->node.used;
}

}  // namespace

int combine(TreeContext *f, NodePosition *pos) {
  if (!vi_read_node(f, pos->node)) return COMBINE_ERROR;
  int depth = pos->depth;
  bool is_root = depth == f->root_depth;
  // The buffers are taken before the node changes, so that a lack of
  // memory leaves the tree as it was.
  if (!is_root && may_need_buffers(f, pos->offset) && !take_scratch(f)) return COMBINE_ERROR;
  bool was_last;
  if (!vi_remove_entry(f, pos->offset, &was_last)) return COMBINE_ERROR;
  int result = COMBINE_NONE;
  if (f->node.used < combine_threshold(f)) {
    if (trace_on(kTraceTree))
      eprintf("V: combining node %ld/%d, depth = %d, used = %d, addr = %p\n",
              static_cast<long>(pos->node.offset), pos->node.segment, depth, f->node.used,
              static_cast<void *>(f->node.buf));
    if (is_root) {
      if (is_high_key_entry(f, 0) && !lower_root(f)) return COMBINE_ERROR;
    } else {
      result = merge_or_drop(f, pos, &depth);
      if (result == COMBINE_ERROR) return COMBINE_ERROR;
    }
  }
  if (f->node.used == 0) return result;
  if (f->node.addr != kNoNode && !vi_write_node(f)) return COMBINE_ERROR;
  // A removed last entry leaves the parent's entry above the node's new
  // last key; a right merge took R's entry, which is right already.
  if (!was_last || result == COMBINE_RIGHT || depth <= f->root_depth) return result;
  NodePosition child = *pos;
  if (!update_separator(f, f->path[depth - 1], &child, depth - 1)) return COMBINE_ERROR;
  return result;
}

bool update_separator(TreeContext *f, SegAddr parent, NodePosition *child, int depth) {
  SegAddr c = child->node;
  if (!vi_read_node(f, c)) return false;
  if (f->node.used <= 0) return fs_fail(E_BROKEN, kBrokenPastEnd);
  FullKey last;
  uint32_t last_dup = 0;
  if (!vi_key_at_offset(f, f->node.used - 1, &last, &last_dup)) return false;
  int e, pe;
  if (!vi_find_parent_entry(f, parent, c, &e, &pe)) return false;
  bool was_last;
  if (!vi_remove_entry(f, e, &was_last)) return false;
  NodePosition ppos;
  ppos.node = parent;
  ppos.offset = e;
  ppos.previous = pe;
  ppos.depth = depth;
  if (!vi_node_insert(f, last, last_dup, c, &ppos)) return false;
  // The node holding the re-keyed entry (P, or the half of P it went to)
  // has a new last key too, unless it is the root (which may have become
  // the root in this operation, when the level above has no node).
  if (!was_last || ppos.depth <= f->root_depth) return true;
  return update_separator(f, f->path[ppos.depth - 1], &ppos, ppos.depth - 1);
}

bool key_sub(TreeContext *f, const uint8_t *search_key, uint32_t dup) {
  NodePosition pos;
  int result = vi_find_key(f, search_key, dup, &pos);
  bool ok = false;
  if (result == SR_EXACT)
    ok = combine(f, &pos) != COMBINE_ERROR;
  else if (result != SR_ERROR)
    fs_fail(E_BROKEN, kBrokenMissingEntry);
  f->scratch[0].reset();
  f->scratch[1].reset();
  return ok;
}

}  // namespace kel::indexed
