// The node image of an open file over the process-wide node buffer, and the
// entry-level operations that work on it.
#include <cassert>
#include <cstring>

#include "kelfs/errors.h"
#include "support/be.h"
#include "support/fail.h"
#include "tree/btree.h"

namespace kel::indexed {

namespace {

// The one node buffer of the process, shared by every open file. It is a
// static block rather than an allocation: it is needed by every tree
// operation, its size is fixed, and there is nothing to release at exit.
// `g_owner` records the file whose image the buffer currently holds, so a
// file never trusts an address it recorded before another file used the
// buffer (operations end by clearing the address anyway).
alignas(8) uint8_t g_node_buffer[kMaxNodeSize];
const TreeContext *g_owner = nullptr;

bool holds(const TreeContext *f, SegAddr at) {
  return g_owner == f && at != kNoNode && f->node.addr == at;
}

// The node at `at` is about to change hands: the memo trusts it for no
// key of the file (a node freed by one key may be taken by another).
void forget_trusted(const TreeContext *f, SegAddr at) {
  if (f->trust.owner == 0) return;
  for (int key = 0, keys = f->store->key_count(); key < keys; ++key)
    forget_trusted_node(memo_node_id(at, key));
}

// The node at `at` of the current key's tree is about to be written. Only
// that key's searches can have come to trust it: it was taken for this
// key (forget_trusted for every key), and no other key's tree leads to it.
void forget_trusted_own(const TreeContext *f, SegAddr at) {
  if (f->trust.owner != 0) forget_trusted_node(memo_node_id(at, f->key_number));
}

// The entry layout of key `key`'s tree, from the file's key descriptions.
EntryLayout layout_of(const TreeContext *f, int key) {
  if (key >= f->store->key_count()) return entry_layout(f->store->version(), false);
  return key_entry_layout(f->store->version(), f->store->key_desc(key));
}

}  // namespace

const uint8_t kHighSearchKey[2] = {1, kHighKeyByte};

const FullKey &high_key() {
  static const FullKey key = [] {
    FullKey k;
    k.length = 1;
    k.bytes[0] = kHighKeyByte;
    return k;
  }();
  return key;
}

void vi_tree_init(TreeContext *f, NodeStore *store) {
  assert(store != nullptr);
  f->store = store;
  f->node.buf = g_node_buffer;
  f->trust = MemoTrust{};
  vi_end_operation(f);
  vi_set_key(f, 0);
  // The keys may not be described yet: the first operation sets it again.
  f->layout_key = -1;
}

void vi_end_operation(TreeContext *f) {
  f->node.buf = g_node_buffer;
  f->node.addr = kNoNode;
  f->node.used = 0;
  vi_clear_path(f);
  f->root_depth = 0;
  f->scratch[0].reset();
  f->scratch[1].reset();
  f->depth_shift = 0;
  f->split_count = 0;
  f->verified = false;
  f->debug_output = false;
  f->layout_key = -1;
  // Known only to the walk step that made the search: the walk copies it
  // into its own state before the step ends.
  f->next_leaf = kNoNode;
}

void vi_set_key(TreeContext *f, int key) {
  assert(key >= 0);
  f->key_number = key;
  // An insertion sets its key, then its search sets it again. The layout
  // kept is trusted only within one operation (vi_end_operation forgets
  // it), as the key descriptions may be read anew between operations; the
  // assert holds every caller to that (the key-part offset tells all four
  // layouts apart).
  if (f->layout_key == key) {
    assert(layout_of(f, key).key_part == f->layout.key_part);
    return;
  }
  f->layout_key = key;
  f->layout = layout_of(f, key);
}

bool vi_read_node(TreeContext *f, SegAddr at) {
  if (holds(f, at)) return true;
  g_owner = f;
  f->node.buf = g_node_buffer;
  f->node.addr = kNoNode;
  if (!f->store->read_node(at, f->node.buf)) return false;
  int used = node_used(f->node.buf, f->store->node_size());
  if (used < 0) {
    // A `used` beyond the block is damage (reported like an entry running
    // past its node), except for a block that is no tree node at all seen
    // by a verified reader: the search rejects it by its type and retries.
    if (f->node.buf[0] == kTreeNode || !f->verified) return fs_fail(E_BROKEN, kBrokenLength);
    used = 0;
  }
  f->node.addr = at;
  f->node.used = used;
  return true;
}

void vi_load_image(TreeContext *f, SegAddr at, const uint8_t *block, int used) {
  assert(used >= 0 && used <= node_capacity(f));
  g_owner = f;
  f->node.buf = g_node_buffer;
  if (block != g_node_buffer)
    memcpy(g_node_buffer, block, static_cast<size_t>(f->store->node_size()));
  f->node.addr = at;
  f->node.used = used;
}

void vi_work_in(TreeContext *f, SegAddr at, uint8_t *block, int used) {
  assert(used >= 0 && used <= node_capacity(f));
  g_owner = f;
  f->node.buf = block;
  f->node.addr = at;
  f->node.used = used;
}

bool vi_holds_node(const TreeContext *f, SegAddr at) {
  return holds(f, at);
}

bool vi_write_node(TreeContext *f) {
  // Only an image that was read, loaded or allocated is written back.
  assert(f->node.addr != kNoNode && g_owner == f);
  return write_block(f, f->node.addr, f->node.buf, f->node.used);
}

bool write_block(TreeContext *f, SegAddr at, uint8_t *block, int used) {
  assert(used >= 0 && used <= node_capacity(f));
  block[0] = kTreeNode;
  store_be16(block + 1, static_cast<uint16_t>(used));
  ++f->changes[f->key_number];
  forget_trusted_own(f, at);
  if (!f->store->write_node(at, block)) return false;
  if (holds(f, at) && block != f->node.buf) {
    memcpy(f->node.buf, block, static_cast<size_t>(f->store->node_size()));
    f->node.used = used;
  }
  return true;
}

bool vi_alloc_node(TreeContext *f, SegAddr *at) {
  *at = kNullAddr;
  ++f->changes[f->key_number];
  if (!f->store->allocate_node(at)) {
    *at = kNullAddr;
    return false;
  }
  forget_trusted(f, *at);
  g_owner = f;
  f->node.buf = g_node_buffer;
  memset(f->node.buf, 0, static_cast<size_t>(f->store->node_size()));
  f->node.addr = *at;
  f->node.used = 0;
  return true;
}

bool vi_free_node(TreeContext *f, SegAddr at) {
  if (holds(f, at)) f->node.addr = kNoNode;
  ++f->changes[f->key_number];
  forget_trusted(f, at);
  return f->store->free_node(at);
}

SegAddr vi_entry_pointer(const TreeContext *f, int offset) {
  assert(offset >= 0 && offset + f->layout.overhead() <= f->node.used);
  return entry_pointer(f->node.entries() + offset, f->layout);
}

uint32_t vi_entry_dup(const TreeContext *f, int offset) {
  if (!f->layout.dup_field) return 0;
  assert(offset >= 0 && offset + f->layout.overhead() <= f->node.used);
  return load_be32(f->node.entries() + offset + f->layout.key_part - 4);
}

bool vi_key_at_offset(TreeContext *f, int offset, FullKey *key, uint32_t *dup) {
  int32_t broken = 0;
  if (!key_at_offset(f->node.entries(), f->node.used, f->layout, offset, key, dup, &broken))
    return fs_fail(E_BROKEN, broken);
  return true;
}

bool vi_find_parent_entry(TreeContext *f, SegAddr parent, SegAddr child, int *offset,
                          int *previous) {
  if (!vi_read_node(f, parent)) return false;
  int prev = -1;
  Entry e;
  for (int at = 0; at < f->node.used; at += e.size) {
    int32_t broken = 0;
    if (!decode_entry(f->node.entries(), f->node.used, at, f->layout, &e, &broken))
      return fs_fail(E_BROKEN, broken);
    if (e.pointer == child.offset && e.segment == child.segment) {
      *offset = at;
      *previous = prev;
      return true;
    }
    prev = at;
  }
  return fs_fail(E_BROKEN, kBrokenNoParent);
}

bool vi_remove_entry(TreeContext *f, int offset, bool *was_last) {
  int32_t broken = 0;
  int freed = remove_entry(f->node.entries(), &f->node.used, f->layout, offset, was_last, &broken);
  if (freed < 0) return fs_fail(E_BROKEN, broken);
  f->store->add_index_bytes(-freed);
  return true;
}

bool take_scratch(TreeContext *f) {
  int size = f->store->node_size();
  for (MemPtr<uint8_t> &buffer : f->scratch) {
    if (!buffer && !buffer.allocate(static_cast<size_t>(size), "temporary node buffer"))
      return false;
  }
  return true;
}

}  // namespace kel::indexed
