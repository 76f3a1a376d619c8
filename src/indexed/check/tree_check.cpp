#include "check/tree_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "kelfs/errors.h"
#include "support/be.h"

namespace kel::indexed {

namespace {

struct Key {
  FullKey full;
  uint32_t dup = 0;
};

int compare(const Key &a, const Key &b) {
  int c = compare_keys(a.full.bytes, a.full.length, b.full.bytes, b.full.length);
  if (c != 0) return c;
  return a.dup < b.dup ? -1 : (a.dup > b.dup ? 1 : 0);
}

CheckString show(const FullKey &k) {
  CheckString s;
  char hex[4];
  for (int i = 0; i < k.length && i < 24; ++i) {
    snprintf(hex, sizeof hex, "%02x", k.bytes[i]);
    s += hex;
  }
  if (k.length > 24) s += "...";
  return s;
}

uint64_t addr_key(SegAddr a) {
  return (static_cast<uint64_t>(a.segment) << 32) | static_cast<uint32_t>(a.offset);
}

class TreeWalker {
 public:
  TreeWalker(NodeStore *store, int key, TreeCheckResult *out, CheckSet<uint64_t> *seen)
      : store_(store), key_(key), out_(out), seen_(seen) {
    const KeyDesc &kd = store->key_desc(key);
    layout_ = key_entry_layout(store->version(), kd);
    key_length_ = kd.length + 1;
    height_ = kd.height;
    capacity_ = store->node_size() - kNodeHeaderSize;
  }

  bool run() {
    const KeyDesc &kd = store_->key_desc(key_);
    SegAddr root{static_cast<int32_t>(kd.root_offset), kd.root_segment};
    if (root == kNullAddr || height_ == 0) {
      if (!(root == kNullAddr) || height_ != 0)
        return fault(kFaultRoot, root, "root %ld/%d with height %d", long{root.offset},
                     root.segment, height_);
      return true;
    }
    if (!is_child_pointer(root)) return fault(kFaultRoot, root, "root is not a node address");
    Key last;
    return walk(root, 0, true, &last);
  }

 private:
  bool fault(int32_t code, SegAddr node, const char *format, ...)
      __attribute__((format(printf, 4, 5))) {
    char detail[200];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    char text[300];
    snprintf(text, sizeof text, "key %d, node %ld/%d: %s", key_, static_cast<long>(node.offset),
             node.segment, detail);
    out_->code = code;
    out_->text = text;
    return false;
  }

  bool check_block(SegAddr at, const CheckVector<uint8_t> &block, int *used) {
    if (block[0] != kTreeNode) return fault(kFaultNodeType, at, "type byte %d", block[0]);
    *used = load_be16(block.data() + 1);
    if (*used > capacity_) return fault(kFaultUsed, at, "used %d above %d", *used, capacity_);
    if (*used == 0) return fault(kFaultEmptyNode, at, "no entries");
    for (int i = kNodeHeaderSize + *used; i < store_->node_size(); ++i)
      if (block[static_cast<size_t>(i)] != 0)
        return fault(kFaultTail, at, "byte %d after the entries is not zero", i);
    out_->entry_bytes += static_cast<uint64_t>(*used);
    return true;
  }

  // Decodes every entry of a node with its rebuilt full key.
  bool entries(SegAddr at, const uint8_t *area, int used, CheckVector<std::pair<Entry, Key>> *out) {
    FullKey key;
    for (int offset = 0; offset < used;) {
      Entry e;
      int32_t broken = 0;
      if (!decode_entry(area, used, offset, layout_, &e, &broken))
        return fault(broken, at, "entry at %d runs past the node or has length 0", offset);
      if (e.prefix > 0 && offset == 0)
        return fault(kBrokenNoPrevious, at, "first entry borrows %d bytes", e.prefix);
      if (e.prefix > key.length) return fault(kBrokenPrefix, at, "prefix count at %d", offset);
      if (e.prefix + e.suffix_length() > kMaxFullKey)
        return fault(kBrokenLength, at, "entry at %d longer than a key", offset);
      memcpy(key.bytes + e.prefix, e.suffix, static_cast<size_t>(e.suffix_length()));
      key.length = e.prefix + e.suffix_length();
      out->push_back({e, Key{key, e.dup}});
      offset += e.size;
    }
    return true;
  }

  bool is_high(const Key &k) const { return k.full.length == 1 && k.full.bytes[0] == kHighKeyByte; }

  bool check_key_shape(SegAddr at, const Entry &e, const Key &k, bool last, bool rightmost) {
    if (is_high(k)) {
      if (!last || !rightmost)
        return fault(kFaultHighKey, at, "high-key entry at %d off the right-most path", e.offset);
      if (k.dup != 0) return fault(kFaultHighKey, at, "high-key entry with duplicate number");
      return true;
    }
    if (last && rightmost) return fault(kFaultHighKey, at, "right-most node without high key");
    if (k.full.length != key_length_ || k.full.bytes[0] != key_)
      return fault(kFaultKeyShape, at, "entry at %d has key %s", e.offset, show(k.full).c_str());
    return true;
  }

  // Walks the subtree at `at`; *last receives its last key.
  bool walk(SegAddr at, int depth, bool rightmost, Key *last) {
    if (depth >= kMaxDepth || depth >= height_)
      return fault(kFaultDepth, at, "depth %d in a tree of height %d", depth, height_);
    if (!seen_->insert(addr_key(at)).second) return fault(kFaultNodeTwice, at, "reached twice");
    out_->nodes.push_back(at);
    CheckVector<uint8_t> block(static_cast<size_t>(store_->node_size()));
    if (!store_->read_node(at, block.data())) {
      bool broken = *fs_error_code() == E_BROKEN;
      return fault(broken ? *fs_error_secondary() : kFaultRead, at, "cannot be read (error %d/%d)",
                   *fs_error_code(), *fs_error_secondary());
    }
    int used = 0;
    if (!check_block(at, block, &used)) return false;
    CheckVector<std::pair<Entry, Key>> list;
    if (!entries(at, block.data() + kNodeHeaderSize, used, &list)) return false;
    // A node's first entry tells its kind: a child pointer makes it an
    // interior node, anything else a leaf.
    const Entry &first = list.front().first;
    bool leaf = !is_child_pointer(SegAddr{first.pointer, first.segment});
    if (leaf != (depth == height_ - 1))
      return fault(kFaultDepth, at, "%s at depth %d in a tree of height %d",
                   leaf ? "leaf" : "interior node", depth, height_);
    for (size_t i = 0; i < list.size(); ++i) {
      const Entry &e = list[i].first;
      const Key &k = list[i].second;
      bool is_last = i + 1 == list.size();
      if (!check_key_shape(at, e, k, is_last, rightmost)) return false;
      if (have_previous_ && compare(previous_, k) >= 0)
        return fault(kFaultOrder, at, "entry at %d (%s) not above the key before it", e.offset,
                     show(k.full).c_str());
      SegAddr p{e.pointer, e.segment};
      if (leaf) {
        if (!leaf_entry(at, e, k, p)) return false;
        continue;
      }
      if (!is_child_pointer(p))
        return fault(kFaultPointer, at, "interior entry at %d points to %ld/%d", e.offset,
                     long{p.offset}, p.segment);
      Key child_last;
      if (!walk(p, depth + 1, rightmost && is_last, &child_last)) return false;
      if (compare(child_last, k) != 0)
        return fault(kFaultSeparator, at, "entry at %d (%s) differs from its child's last key %s",
                     e.offset, show(k.full).c_str(), show(child_last.full).c_str());
    }
    *last = list.back().second;
    return true;
  }

  bool leaf_entry(SegAddr at, const Entry &e, const Key &k, SegAddr p) {
    if (is_high(k)) {
      if (!(p == kNullAddr)) return fault(kFaultPointer, at, "last leaf's high key is not null");
      return true;
    }
    if (p.offset >= 0 || p.offset == INT32_MIN)
      return fault(kFaultPointer, at, "leaf entry at %d points to %ld/%d", e.offset, long{p.offset},
                   p.segment);
    previous_ = k;
    have_previous_ = true;
    TreeRecord r;
    r.key = key_;
    r.record = SegAddr{-p.offset, p.segment};
    r.dup = k.dup;
    r.full_key.assign(reinterpret_cast<const char *>(k.full.bytes),
                      static_cast<size_t>(k.full.length));
    out_->records.push_back(std::move(r));
    return true;
  }

  NodeStore *store_;
  int key_;
  TreeCheckResult *out_;
  CheckSet<uint64_t> *seen_;
  EntryLayout layout_{};
  int key_length_ = 0;
  int height_ = 0;
  int capacity_ = 0;
  Key previous_;
  bool have_previous_ = false;
};

bool check_with(NodeStore *store, int key, TreeCheckResult *out, CheckSet<uint64_t> *seen) {
  TreeWalker walker(store, key, out, seen);
  bool ok = walker.run();
  std::sort(out->nodes.begin(), out->nodes.end(),
            [](SegAddr a, SegAddr b) { return addr_key(a) < addr_key(b); });
  return ok;
}

}  // namespace

bool check_key_tree(NodeStore *store, int key, TreeCheckResult *out) {
  CheckSet<uint64_t> seen;
  for (SegAddr a : out->nodes) seen.insert(addr_key(a));
  return check_with(store, key, out, &seen);
}

bool check_trees(NodeStore *store, TreeCheckResult *out) {
  CheckSet<uint64_t> seen;
  for (int key = 0; key < store->key_count(); ++key)
    if (!check_with(store, key, out, &seen)) return false;
  return true;
}

}  // namespace kel::indexed
