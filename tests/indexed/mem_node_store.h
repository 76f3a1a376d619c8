// An in-memory node store for the tree tests: node blocks in a map, the
// free-node list kept in the blocks themselves as a file keeps it, the
// header counters, and failure injection for reads, writes, node
// allocation and key root updates.
#pragma once

#include <cstring>
#include <map>
#include <vector>

#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "support/be.h"

namespace kel::indexed {

class MemNodeStore : public NodeStore {
 public:
  MemNodeStore(int version, int node_size, std::vector<KeyDesc> keys, int32_t segment_limit = 0)
      : version_(version),
        node_size_(node_size),
        keys_(std::move(keys)),
        segment_limit_(segment_limit) {
    end_ = SegAddr{node_size_ * 2, 0};
  }

  int version() const override { return version_; }
  int node_size() const override { return node_size_; }
  int key_count() const override { return static_cast<int>(keys_.size()); }
  const KeyDesc &key_desc(int key) const override { return keys_[static_cast<size_t>(key)]; }
  KeyDesc &mutable_key(int key) { return keys_[static_cast<size_t>(key)]; }

  bool read_node(SegAddr at, uint8_t *block) override {
    ++reads;
    if (trip(&fail_read_nth)) return fail(E_SYSERR, 0);
    auto it = blocks.find(id(at));
    if (it == blocks.end()) return fail(E_BROKEN, 9);  // a short read
    memcpy(block, it->second.data(), static_cast<size_t>(node_size_));
    return true;
  }

  bool write_node(SegAddr at, const uint8_t *block) override {
    ++writes;
    if (trip(&fail_write_nth)) return fail(E_DISK_FULL, 0);
    blocks[id(at)].assign(block, block + node_size_);
    return true;
  }

  bool allocate_node(SegAddr *at) override {
    if (trip(&fail_alloc_nth)) return fail(E_DISK_FULL, 0);
    if (!(free_head == kNullAddr)) {
      auto it = blocks.find(id(free_head));
      if (it == blocks.end()) return fail(E_BROKEN, 9);
      const uint8_t *head = it->second.data();
      if (head[0] != kFreeNode) return fail(E_BROKEN, 12);
      *at = free_head;
      free_head.offset = static_cast<int32_t>(load_be32(head + 1));
      free_head.segment = version_ >= 4 ? load_be16(head + 5) : 0;
      --free_count;
    } else {
      if (version_ >= 4 && segment_limit_ > 0 && end_.offset > segment_limit_ - node_size_)
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

  bool set_key_root(int key, SegAddr root, uint8_t height) override {
    if (trip(&fail_root_nth)) return fail(E_DISK_FULL, 0);
    KeyDesc &kd = keys_[static_cast<size_t>(key)];
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
      at.offset = static_cast<int32_t>(load_be32(it->second.data() + 1));
      at.segment = version_ >= 4 ? load_be16(it->second.data() + 5) : 0;
    }
    return out;
  }

  std::vector<uint8_t> &block(SegAddr at) { return blocks[id(at)]; }
  static uint64_t id(SegAddr a) {
    return (static_cast<uint64_t>(a.segment) << 32) | static_cast<uint32_t>(a.offset);
  }

  bool same_state(const MemNodeStore &o) const {
    if (blocks != o.blocks || !(free_head == o.free_head) || in_use != o.in_use ||
        free_count != o.free_count || index_bytes != o.index_bytes ||
        key_desc_version != o.key_desc_version || !(end_ == o.end_))
      return false;
    for (size_t k = 0; k < keys_.size(); ++k)
      if (memcmp(&keys_[k], &o.keys_[k], sizeof(KeyDesc)) != 0) return false;
    return true;
  }

  std::map<uint64_t, std::vector<uint8_t>> blocks;
  SegAddr free_head = kNullAddr;
  int64_t in_use = 0;
  int64_t free_count = 0;
  int64_t index_bytes = 0;
  uint32_t key_desc_version = 0;
  long reads = 0, writes = 0;
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

  int version_;
  int node_size_;
  std::vector<KeyDesc> keys_;
  int32_t segment_limit_;
  SegAddr end_;
};

// A key description of `length` bytes in one segment.
inline KeyDesc make_key_desc(int length, bool duplicates) {
  KeyDesc kd{};
  kd.segments = 1;
  kd.duplicates = duplicates ? 1 : 0;
  kd.length = static_cast<uint8_t>(length);
  kd.segment_size[0] = static_cast<uint8_t>(length);
  return kd;
}

}  // namespace kel::indexed
