// A tree under test next to its model: the trees of a MemNodeStore and, per
// key, an ordered map of (full key, duplicate number) -> record pointer.
// Every operation ends the file operation as the access layer does
// (vi_end_operation), and verify() compares the whole store with the model.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "indexed/check/tree_check.h"
#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "mem_node_store.h"

namespace kel::indexed {

inline const uint8_t *u8(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

inline std::string to_string(const FullKey &k) {
  return std::string(reinterpret_cast<const char *>(k.bytes), static_cast<size_t>(k.length));
}

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
    std::string s(1, static_cast<char>(value.size() + 1));
    s += static_cast<char>(key);
    return s + value;
  }
  static std::string full(int key, const std::string &value) {
    return std::string(1, static_cast<char>(key)) + value;
  }
  bool duplicates(int key) const { return store.key_desc(key).duplicates != 0; }

  // key_add; on success the model takes the entry too.
  bool add(int key, const std::string &value, uint32_t dup, SegAddr pointer) {
    std::string sk = search_key(key, value);
    ctx.equal_seen = false;
    bool ok = key_add(&ctx, u8(sk), dup, pointer, duplicates(key));
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)][ModelKey{full(key, value), dup}] = pointer;
    return ok;
  }

  bool sub(int key, const std::string &value, uint32_t dup) {
    std::string sk = search_key(key, value);
    bool ok = key_sub(&ctx, u8(sk), dup);
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)].erase(ModelKey{full(key, value), dup});
    return ok;
  }

  // The whole store against the model: the structural check passes, the
  // leaves hold exactly the model's entries in order, and the header
  // counters agree with the nodes found.
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
    if (static_cast<int64_t>(r.entry_bytes) != store.index_bytes)
      return ::testing::AssertionFailure()
             << "index bytes " << store.index_bytes << " but nodes hold " << r.entry_bytes;
    if (static_cast<int64_t>(r.nodes.size()) != store.in_use)
      return ::testing::AssertionFailure()
             << "nodes in use " << store.in_use << " but trees hold " << r.nodes.size();
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
