// The trees on an in-memory node store, next to a model: node blocks in a
// map, the free-node list kept in the blocks themselves as a file keeps
// it, the header counters, failure injection for reads, writes, node
// allocation and freeing and key root updates; and per key an ordered map
// of (full key, duplicate number) to the record pointer. Every operation
// ends the file operation as the access layer does (vi_end_operation), and
// verify() compares the whole store with the model.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "indexed/check/tree_check.h"
#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "support/be.h"

namespace kel::indexed {

inline const uint8_t *u8(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}
inline std::string to_string(const FullKey &k) {
  return std::string(reinterpret_cast<const char *>(k.bytes), static_cast<size_t>(k.length));
}

// A key description of `length` bytes in one segment.
inline KeyDesc key_desc(int length, bool duplicates) {
  KeyDesc kd{};
  kd.segments = 1;
  kd.duplicates = duplicates ? 1 : 0;
  kd.length = static_cast<uint8_t>(length);
  kd.segment_size[0] = static_cast<uint8_t>(length);
  return kd;
}

class MemNodeStore : public NodeStore {
 public:
  MemNodeStore(int version, int node_size, std::vector<KeyDesc> keys, int32_t segment_limit = 0)
      : version_(version), node_size_(node_size), keys_(std::move(keys)), limit_(segment_limit) {}

  int version() const override { return version_; }
  int node_size() const override { return node_size_; }
  int key_count() const override { return static_cast<int>(keys_.size()); }
  const KeyDesc &key_desc(int key) const override { return keys_[static_cast<size_t>(key)]; }
  KeyDesc &key(int k) { return keys_[static_cast<size_t>(k)]; }
  SegAddr root(int k) const {
    const KeyDesc &kd = keys_[static_cast<size_t>(k)];
    return SegAddr{static_cast<int32_t>(kd.root_offset), kd.root_segment};
  }

  bool read_node(SegAddr at, uint8_t *block) override {
    if (trip(&fail_read_nth)) return fail(E_SYSERR, 0);
    auto it = blocks.find(id(at));
    if (it == blocks.end()) return fail(E_BROKEN, 9);  // a short read
    memcpy(block, it->second.data(), static_cast<size_t>(node_size_));
    return true;
  }
  bool write_node(SegAddr at, const uint8_t *block) override {
    if (trip(&fail_write_nth)) return fail(E_DISK_FULL, 0);
    blocks[id(at)].assign(block, block + node_size_);
    return true;
  }
  bool allocate_node(SegAddr *at) override {
    if (trip(&fail_alloc_nth)) return fail(E_DISK_FULL, 0);
    if (!(free_head == kNullAddr)) {
      auto it = blocks.find(id(free_head));
      if (it == blocks.end()) return fail(E_BROKEN, 9);
      if (it->second[0] != kFreeNode) return fail(E_BROKEN, 12);
      *at = free_head;
      free_head = link(it->second);
      --free_count;
    } else {
      if (version_ >= 4 && limit_ > 0 && end_.offset > limit_ - node_size_)
        end_ = SegAddr{512, static_cast<uint16_t>(end_.segment + 1)};
      *at = end_;
      end_.offset += node_size_;
    }
    ++in_use;
    return true;
  }
  bool free_node(SegAddr at) override {
    if (trip(&fail_free_nth)) return fail(E_DISK_FULL, 0);
    std::vector<uint8_t> &block = blocks[id(at)];
    block.resize(static_cast<size_t>(node_size_));
    block[0] = kFreeNode;
    store_be32(block.data() + 1, static_cast<uint32_t>(free_head.offset));
    if (version_ >= 4) store_be16(block.data() + 5, free_head.segment);
    free_head = at;
    --in_use;
    ++free_count;
    return true;
  }
  void add_index_bytes(int64_t delta) override { index_bytes += delta; }
  bool set_key_root(int k, SegAddr root, uint8_t height) override {
    if (trip(&fail_root_nth)) return fail(E_DISK_FULL, 0);
    KeyDesc &kd = keys_[static_cast<size_t>(k)];
    kd.root_offset = static_cast<uint32_t>(root.offset);
    kd.root_segment = root.segment;
    kd.height = height;
    ++key_desc_version;
    return true;
  }

  // The nodes on the free-node list, in list order (empty on a loop).
  std::vector<SegAddr> free_list() const {
    std::vector<SegAddr> out;
    for (SegAddr at = free_head; !(at == kNullAddr);) {
      auto it = blocks.find(id(at));
      if (it == blocks.end() || it->second[0] != kFreeNode || out.size() > blocks.size()) return {};
      out.push_back(at);
      at = link(it->second);
    }
    return out;
  }
  std::vector<uint8_t> &block(SegAddr at) { return blocks[id(at)]; }
  static uint64_t id(SegAddr a) {
    return (static_cast<uint64_t>(a.segment) << 32) | static_cast<uint32_t>(a.offset);
  }
  // Everything a failed operation must leave as it was, as one string.
  std::string image() const {
    std::string out;
    for (const auto &[at, b] : blocks) out += std::to_string(at) + std::string(b.begin(), b.end());
    for (const KeyDesc &kd : keys_) out.append(reinterpret_cast<const char *>(&kd), sizeof kd);
    for (int64_t n : {int64_t{free_head.offset}, int64_t{free_head.segment}, in_use, free_count,
                      index_bytes, int64_t{key_desc_version}, int64_t{end_.offset}})
      out += "," + std::to_string(n);
    return out;
  }

  std::map<uint64_t, std::vector<uint8_t>> blocks;
  SegAddr free_head = kNullAddr;
  int64_t in_use = 0, free_count = 0, index_bytes = 0;
  uint32_t key_desc_version = 0;
  // The n-th call from now fails (1 = the next one); 0 never.
  int fail_read_nth = 0, fail_write_nth = 0, fail_alloc_nth = 0, fail_free_nth = 0,
      fail_root_nth = 0;

 private:
  static bool trip(int *countdown) { return *countdown > 0 && --*countdown == 0; }
  static bool fail(int16_t code, int32_t secondary) {
    *fs_error_code() = code;
    *fs_error_secondary() = secondary;
    return false;
  }
  SegAddr link(const std::vector<uint8_t> &b) const {
    return SegAddr{static_cast<int32_t>(load_be32(b.data() + 1)),
                   static_cast<uint16_t>(version_ >= 4 ? load_be16(b.data() + 5) : 0)};
  }

  int version_;
  int node_size_;
  std::vector<KeyDesc> keys_;
  int32_t limit_;
  SegAddr end_{node_size_ * 2, 0};
};

struct ModelKey {
  std::string full;  // key number byte, key bytes
  uint32_t dup = 0;
};
struct ModelLess {
  bool operator()(const ModelKey &a, const ModelKey &b) const {
    int c = compare_keys(u8(a.full), static_cast<int>(a.full.size()), u8(b.full),
                         static_cast<int>(b.full.size()));
    return c < 0 || (c == 0 && a.dup < b.dup);
  }
};
using Model = std::map<ModelKey, SegAddr, ModelLess>;

class TreeHarness {
 public:
  TreeHarness(int version, int node_size, std::vector<KeyDesc> keys, int32_t segment_limit = 0)
      : store(version, node_size, keys, segment_limit), models(keys.size()) {
    vi_tree_init(&ctx, &store);
  }
  ~TreeHarness() { vi_end_operation(&ctx); }

  static std::string search_key(int key, const std::string &value) {
    return std::string{static_cast<char>(value.size() + 1), static_cast<char>(key)} + value;
  }
  static std::string full(int key, const std::string &value) {
    return std::string(1, static_cast<char>(key)) + value;
  }
  bool duplicates(int key) const { return store.key_desc(key).duplicates != 0; }

  // key_add; on success the model takes the entry too.
  bool add(int key, const std::string &value, uint32_t dup, SegAddr pointer) {
    ctx.equal_seen = false;
    bool ok = key_add(&ctx, u8(search_key(key, value)), dup, pointer, duplicates(key));
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)][ModelKey{full(key, value), dup}] = pointer;
    return ok;
  }
  bool sub(int key, const std::string &value, uint32_t dup) {
    bool ok = key_sub(&ctx, u8(search_key(key, value)), dup);
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)].erase(ModelKey{full(key, value), dup});
    return ok;
  }

  // The whole store against the model: the structural check passes, the
  // leaves hold exactly the model's entries in order, the header counters
  // agree with the nodes found and no free node is in a tree.
  ::testing::AssertionResult verify() {
    TreeCheckResult r;
    if (!check_trees(&store, &r))
      return ::testing::AssertionFailure() << "check: " << r.code << " " << r.text;
    size_t at = 0;
    for (size_t k = 0; k < models.size(); ++k) {
      for (const auto &[mk, pointer] : models[k]) {
        if (at >= r.records.size()) return ::testing::AssertionFailure() << "missing entries";
        const TreeRecord &rec = r.records[at++];
        if (rec.key != static_cast<int>(k) || std::string_view(rec.full_key) != mk.full ||
            rec.dup != mk.dup || rec.record.offset != -pointer.offset ||
            rec.record.segment != pointer.segment)
          return ::testing::AssertionFailure()
                 << "entry " << at - 1 << " of key " << k << " differs from the model";
      }
    }
    if (at != r.records.size()) return ::testing::AssertionFailure() << "extra entries";
    if (static_cast<int64_t>(r.entry_bytes) != store.index_bytes ||
        static_cast<int64_t>(r.nodes.size()) != store.in_use)
      return ::testing::AssertionFailure() << "the counters do not match the trees";
    std::vector<SegAddr> free_nodes = store.free_list();
    if (static_cast<int64_t>(free_nodes.size()) != store.free_count)
      return ::testing::AssertionFailure() << "free list does not match the free count";
    std::set<uint64_t> used;
    for (SegAddr a : r.nodes) used.insert(MemNodeStore::id(a));
    for (SegAddr a : free_nodes)
      if (used.count(MemNodeStore::id(a)))
        return ::testing::AssertionFailure() << "a free node is in a tree";
    return ::testing::AssertionSuccess();
  }

  MemNodeStore store;
  TreeContext ctx;
  std::vector<Model> models;
};

}  // namespace kel::indexed
