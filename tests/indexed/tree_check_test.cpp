#include "indexed/check/tree_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kelfs/errors.h"
#include "support/be.h"
#include "tree_harness.h"

namespace kel::indexed {
namespace {

using Bytes = std::vector<uint8_t>;

// v5 entries without duplicates: pointer 4, segment 2, L, P, suffix.
constexpr int kSuffix = 8;
constexpr int kLength = 40;  // key 0

std::string value(int i) {
  std::string s = std::to_string(100000 + i * 3);
  while (s.size() < kLength)
    s += static_cast<char>('a' + (i * 7 + static_cast<int>(s.size())) % 26);
  return s;
}

SegAddr pointer_at(const Bytes &block, int offset) {
  return SegAddr{static_cast<int32_t>(load_be32(block.data() + 3 + offset)),
                 load_be16(block.data() + 3 + offset + 4)};
}

// Offset of the last entry of a node (entries are 8 + L - 1 + 1 bytes).
int last_entry(const Bytes &block) {
  int used = load_be16(block.data() + 1), at = 0, last = 0;
  while (at < used) {
    last = at;
    at += kSuffix + block[static_cast<size_t>(3 + at + 6)] - 1;
  }
  return last;
}

// A three-level tree of 300 keys and, reached from it, the nodes that the
// cases damage.
class TreeCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    *fs_error_code() = 0;
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(h.add(0, value((i * 37) % 300), 0, SegAddr{-(2048 + 64 * i), 2}));
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(h.add(1, value(i).substr(0, 6), static_cast<uint32_t>(i % 7),
                        SegAddr{-(2048 + 64 * i), 1}));
    ASSERT_EQ(3, h.store.key_desc(0).height);
    root = SegAddr{static_cast<int32_t>(h.store.key_desc(0).root_offset),
                   h.store.key_desc(0).root_segment};
    interior = pointer_at(h.store.block(root), 0);
    leaf = pointer_at(h.store.block(interior), 0);
    SegAddr at = root;
    for (int depth = 0; depth < 2; ++depth) {
      Bytes &b = h.store.block(at);
      at = pointer_at(b, last_entry(b));
    }
    last_leaf = at;
    pristine = h.store;
  }

  // Damages the pristine store and checks: the fault must be `code`.
  void expect_fault(int32_t code, const std::function<void(MemNodeStore &)> &damage) {
    h.store = pristine;
    damage(h.store);
    TreeCheckResult r;
    EXPECT_FALSE(check_trees(&h.store, &r));
    EXPECT_EQ(code, r.code) << r.text;
    EXPECT_FALSE(r.text.empty());
  }

  TreeHarness h{5, 512, {make_key_desc(kLength, false), make_key_desc(6, true)}};
  SegAddr root, interior, leaf, last_leaf;
  MemNodeStore pristine{5, 512, {}};
};

TEST_F(TreeCheck, ASoundStoreGivesItsRecordsNodesAndBytes) {
  TreeCheckResult r;
  ASSERT_TRUE(check_trees(&h.store, &r)) << r.text;
  EXPECT_EQ(0, r.code);
  ASSERT_EQ(340u, r.records.size());
  EXPECT_EQ(0, r.records[0].key);
  EXPECT_EQ(TreeHarness::full(0, value(0)),
            std::string(r.records[0].full_key.begin(), r.records[0].full_key.end()));
  EXPECT_EQ(2048, r.records[0].record.offset);
  EXPECT_EQ(2, r.records[0].record.segment);
  EXPECT_EQ(1, r.records[300].key);
  EXPECT_EQ(static_cast<size_t>(h.store.in_use), r.nodes.size());
  EXPECT_EQ(h.store.index_bytes, static_cast<int64_t>(r.entry_bytes));
  EXPECT_TRUE(h.verify());
  // One key alone.
  TreeCheckResult one;
  ASSERT_TRUE(check_key_tree(&h.store, 1, &one));
  EXPECT_EQ(40u, one.records.size());
}

TEST_F(TreeCheck, DamagedNodesAndEntries) {
  expect_fault(kFaultNodeType, [&](MemNodeStore &s) { s.block(leaf)[0] = kFreeNode; });
  expect_fault(kFaultUsed, [&](MemNodeStore &s) { store_be16(s.block(leaf).data() + 1, 510); });
  expect_fault(kFaultTail, [&](MemNodeStore &s) { s.block(leaf)[511] = 0x55; });
  expect_fault(kFaultEmptyNode, [&](MemNodeStore &s) {
    Bytes &b = s.block(leaf);
    std::fill(b.begin() + 1, b.end(), 0);
  });
  expect_fault(kBrokenLength, [&](MemNodeStore &s) { s.block(leaf)[3 + 6] = 0; });
  expect_fault(9, [&](MemNodeStore &s) { s.blocks.erase(MemNodeStore::id(leaf)); });
  h.store = pristine;
  h.store.fail_read_nth = 2;
  TreeCheckResult r;
  EXPECT_FALSE(check_trees(&h.store, &r));
  EXPECT_EQ(kFaultRead, r.code);
}

TEST_F(TreeCheck, BrokenOrderAndSeparators) {
  // The first key of the second leaf made smaller than everything before.
  expect_fault(kFaultOrder, [&](MemNodeStore &s) {
    SegAddr second = pointer_at(s.block(interior), 8 + s.block(interior)[3 + 6] - 1);
    Bytes &b = s.block(second);
    std::fill(b.begin() + 3 + kSuffix + 1, b.begin() + 3 + kSuffix + 7, '0');
  });
  // A parent key that still orders right but is not its child's last key.
  expect_fault(kFaultSeparator,
               [&](MemNodeStore &s) { s.block(interior)[3 + kSuffix + kLength] ^= 1; });
}

TEST_F(TreeCheck, HighKeysHeightsAndPointers) {
  // The last leaf without its high key, and a high key in another leaf.
  expect_fault(kFaultHighKey, [&](MemNodeStore &s) {
    Bytes &b = s.block(last_leaf);
    b[static_cast<size_t>(3 + last_entry(b) + kSuffix)] = 0;
  });
  expect_fault(kFaultHighKey, [&](MemNodeStore &s) {
    Bytes &b = s.block(leaf);
    int at = last_entry(b);
    Bytes high = {0, 0, 0, 0, 0, 0, 2, 0, 0x7F};
    b.erase(b.begin() + 3 + at,
            b.begin() + 3 + at + (kSuffix + b[static_cast<size_t>(3 + at + 6)] - 1));
    b.insert(b.begin() + 3 + at, high.begin(), high.end());
    b.resize(512);
    store_be16(b.data() + 1, static_cast<uint16_t>(at + 9));
    std::fill(b.begin() + 3 + at + 9, b.end(), 0);
  });
  expect_fault(kFaultDepth, [&](MemNodeStore &s) { ++s.mutable_key(0).height; });
  expect_fault(kFaultPointer, [&](MemNodeStore &s) {
    int second = kSuffix + s.block(leaf)[3 + 6] - 1;
    store_be32(s.block(leaf).data() + 3 + second, 4096);
  });
  expect_fault(kFaultPointer, [&](MemNodeStore &s) {
    Bytes &b = s.block(last_leaf);
    store_be32(b.data() + 3 + last_entry(b), static_cast<uint32_t>(-512));
  });
  expect_fault(kFaultRoot, [&](MemNodeStore &s) { s.mutable_key(0).root_offset = 0; });
  // Two entries leading to one node, and two trees sharing a root.
  expect_fault(kFaultNodeTwice, [&](MemNodeStore &s) {
    Bytes &b = s.block(interior);
    int second = kSuffix + b[3 + 6] - 1;
    store_be32(b.data() + 3 + second, static_cast<uint32_t>(leaf.offset));
    store_be16(b.data() + 3 + second + 4, leaf.segment);
  });
  expect_fault(kFaultNodeTwice, [&](MemNodeStore &s) {
    s.mutable_key(1).root_offset = static_cast<uint32_t>(root.offset);
    s.mutable_key(1).root_segment = root.segment;
    s.mutable_key(1).height = 3;
  });
  // Keys of another key number.
  expect_fault(kFaultKeyShape, [&](MemNodeStore &s) { s.block(leaf)[3 + kSuffix] = 5; });
}

}  // namespace
}  // namespace kel::indexed
