// Building an empty key's tree from entries that arrive in ascending order
// (bulk addition), bottom up: every node is filled once, left to right,
// and written once, instead of one search from the root and one node
// write per entry.
//
// Each level keeps the node it is filling. An entry that does not fit
// ends that node: it is written, and its last key with a pointer to it
// goes into the level above (the key of an interior entry is its child's
// last key). Every node keeps room for the high-key entry, which the
// finish puts at the end of the last node of each level, pointing to the
// last node of the level below (null in the leaf); the last node of the
// highest level is the root. The trees are the ones ascending insertion
// would grow: full nodes, the high-key entry on the right-most path.
#include <cassert>
#include <cstring>

#include "kelfs/errors.h"
#include "support/fail.h"
#include "tree/btree.h"

namespace kel::indexed {

TreeBuilder::TreeBuilder(TreeContext *t, int key) : t_(t), key_(key) {
  vi_set_key(t_, key);
  high_size_ = t_->layout.overhead() + 1;
}

TreeBuilder::~TreeBuilder() = default;

bool TreeBuilder::level_buffer(int level) {
  if (level >= kMaxDepth) return fs_fail(E_BROKEN, kBrokenPastEnd);
  while (height_ <= level) {
    Level &v = levels_[height_];
    if (!v.block.allocate(static_cast<size_t>(t_->store->node_size()), "temporary node buffer"))
      return false;
    v.used = 0;
    v.last = FullKey{};
    ++height_;
  }
  return true;
}

int TreeBuilder::append(Level &v, const FullKey &key, uint32_t dup, SegAddr pointer, int capacity) {
  int32_t broken = 0;
  int grown = insert_entry_after(v.block.get() + kNodeHeaderSize, &v.used, capacity, t_->layout,
                                 v.used, v.last, key.bytes, key.length, pointer.offset,
                                 pointer.segment, dup, &broken);
  if (grown == kInsertDamaged) return fs_fail(E_BROKEN, broken), kInsertDamaged;
  return grown;
}

bool TreeBuilder::write_level(int level, SegAddr *at) {
  Level &v = levels_[level];
  if (!t_->store->allocate_node(at)) return false;
  t_->store->add_index_bytes(v.used);
  return write_block(t_, *at, v.block.get(), v.used);
}

bool TreeBuilder::add_at(int level, const FullKey &key, uint32_t dup, SegAddr pointer) {
  if (!level_buffer(level)) return false;
  Level &v = levels_[level];
  int capacity = node_capacity(t_) - high_size_;
  int grown = append(v, key, dup, pointer, capacity);
  if (grown == kInsertDamaged) return false;
  if (grown == kInsertNoRoom) {
    SegAddr at;
    if (!write_level(level, &at)) return false;
    // The level above may not exist yet, and creating it moves nothing:
    // the levels live in a fixed array.
    FullKey last = v.last;
    uint32_t last_dup = v.last_dup;
    if (!add_at(level + 1, last, last_dup, at)) return false;
    memset(v.block.get(), 0, static_cast<size_t>(t_->store->node_size()));
    v.used = 0;
    v.last = FullKey{};
    grown = append(v, key, dup, pointer, capacity);
    // An empty node takes any entry: no entry exceeds half a node.
    assert(grown != kInsertNoRoom);
    if (grown == kInsertDamaged) return false;
  }
  v.last = key;
  v.last_dup = dup;
  return true;
}

bool TreeBuilder::add(const uint8_t *search_key, uint32_t dup, SegAddr pointer) {
  FullKey key;
  key.length = search_key[0];
  memcpy(key.bytes, search_key + 1, static_cast<size_t>(key.length));
  ++added_;
  return add_at(0, key, dup, pointer);
}

bool TreeBuilder::finish() {
  if (added_ == 0) return true;
  const FullKey &high = high_key();
  SegAddr child = kNullAddr;
  for (int level = 0; level < height_; ++level) {
    Level &v = levels_[level];
    if (append(v, high, 0, child, node_capacity(t_)) < 0) return false;
    if (!write_level(level, &child)) return false;
  }
  return t_->store->set_key_root(key_, child, static_cast<uint8_t>(height_));
}

}  // namespace kel::indexed
