// Fixed cases of the B-tree operations beyond the model-based test: node
// bytes after the first insert and the first root split, the fill of
// ascending and descending loads, the trace lines, the verified-read
// checks and the secondary codes of damaged trees.
#include "indexed/tree/btree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/be.h"
#include "tree_harness.h"

namespace kel::indexed {
namespace {

using Bytes = std::vector<uint8_t>;

SegAddr record(int i, uint16_t segment = 0) {
  return SegAddr{-(4096 + 32 * i), segment};
}

// An expected entry: pointer, duplicate number (when the layout has it),
// L, P and the suffix.
void put_entry(Bytes *b, int version, bool dups, SegAddr p, uint32_t dup, uint8_t prefix,
               const std::string &suffix) {
  uint8_t buf[8];
  store_be32(buf, static_cast<uint32_t>(p.offset));
  b->insert(b->end(), buf, buf + 4);
  if (version >= 4) {
    store_be16(buf, p.segment);
    b->insert(b->end(), buf, buf + 2);
  }
  if (dups) {
    store_be32(buf, dup);
    b->insert(b->end(), buf, buf + 4);
  }
  b->push_back(static_cast<uint8_t>(suffix.size() + 1));
  b->push_back(prefix);
  b->insert(b->end(), suffix.begin(), suffix.end());
}

Bytes node_block(int node_size, const Bytes &entries) {
  Bytes b(static_cast<size_t>(node_size), 0);
  b[0] = 1;
  store_be16(b.data() + 1, static_cast<uint16_t>(entries.size()));
  std::copy(entries.begin(), entries.end(), b.begin() + 3);
  return b;
}

// The nodes of one tree level by level, each level left to right.
struct LevelNode {
  SegAddr addr;
  int used;
  std::string first, last;  // full keys
};

std::vector<std::vector<LevelNode>> levels(MemNodeStore &s, int key) {
  const KeyDesc &kd = s.key_desc(key);
  EntryLayout layout = entry_layout(s.version(), kd.duplicates != 0);
  std::vector<std::vector<LevelNode>> out;
  std::vector<SegAddr> level = {SegAddr{static_cast<int32_t>(kd.root_offset), kd.root_segment}};
  while (!level.empty()) {
    std::vector<LevelNode> nodes;
    std::vector<SegAddr> next;
    for (SegAddr a : level) {
      Bytes &b = s.block(a);
      int used = load_be16(b.data() + 1);
      const uint8_t *area = b.data() + 3;
      FullKey first, last;
      int32_t broken = 0;
      key_at_offset(area, used, layout, 0, &first, nullptr, &broken);
      key_at_offset(area, used, layout, used - 1, &last, nullptr, &broken);
      nodes.push_back({a, used, to_string(first), to_string(last)});
      Entry e;
      for (int at = 0; at < used; at += e.size) {
        decode_entry(area, used, at, layout, &e, &broken);
        if (is_child_pointer(SegAddr{e.pointer, e.segment}))
          next.push_back(SegAddr{e.pointer, e.segment});
      }
    }
    out.push_back(nodes);
    level = next;
  }
  return out;
}

int shared_prefix(const std::string &a, const std::string &b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return static_cast<int>(i);
}

std::string decimal(int i, int width) {
  std::string digits = std::to_string(i);
  return std::string(static_cast<size_t>(width) - digits.size(), '0') + digits;
}

// A key of `width` bytes that orders by i but compresses poorly: the
// decimal number, then letters that vary with it.
std::string varied(int i, int width) {
  std::string s = decimal(i, 8);
  for (int j = 8; j < width; ++j) s += static_cast<char>('a' + (i * 31 + j * 17) % 26);
  return s;
}

TEST(BTree, FirstKeyMakesARootLeafWithTheHighKey) {
  {
    TreeHarness h(5, 512, {make_key_desc(4, false)});
    NodePosition pos;  // a search of the empty tree reads nothing
    EXPECT_EQ(SR_EMPTY, vi_find_key(&h.ctx, u8(TreeHarness::search_key(0, "ABCD")), 0, &pos));
    EXPECT_EQ(0, h.store.reads);
    vi_end_operation(&h.ctx);
    ASSERT_TRUE(h.add(0, "ABCD", 0, SegAddr{-600, 3}));
    Bytes entries;
    put_entry(&entries, 5, false, SegAddr{-600, 3}, 0, 0, std::string("\0ABCD", 5));
    put_entry(&entries, 5, false, kNullAddr, 0, 0, "\x7f");
    SegAddr root{static_cast<int32_t>(h.store.key_desc(0).root_offset),
                 h.store.key_desc(0).root_segment};
    EXPECT_EQ(node_block(512, entries), h.store.block(root));
    EXPECT_EQ(1, h.store.key_desc(0).height);
    EXPECT_EQ(1u, h.store.key_desc_version);
    EXPECT_EQ(22, h.store.index_bytes);
    EXPECT_EQ(1, h.store.in_use);
  }
  {
    // Version 3, a key with duplicates: no segment, a duplicate number.
    TreeHarness h(3, 512, {make_key_desc(3, false), make_key_desc(2, true)});
    ASSERT_TRUE(h.add(1, "xy", 7, SegAddr{-2000, 0}));
    Bytes entries;
    put_entry(&entries, 3, true, SegAddr{-2000, 0}, 7, 0, "\x01xy");
    put_entry(&entries, 3, true, kNullAddr, 0, 0, "\x7f");
    SegAddr root{static_cast<int32_t>(h.store.key_desc(1).root_offset), 0};
    EXPECT_EQ(node_block(512, entries), h.store.block(root));
    EXPECT_EQ(0u, h.store.key_desc(0).root_offset) << "key 0 keeps its empty tree";
  }
}

TEST(BTree, RootSplitLeavesTheSeparatorAndTheHighKey) {
  // 100-byte keys: four entries fill a 512-byte root leaf.
  TreeHarness h(5, 512, {make_key_desc(100, false)});
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(h.add(0, std::string(100, static_cast<char>('A' + i)), 0, record(i)));
  EXPECT_EQ(1, h.store.key_desc(0).height);
  SegAddr first_root{static_cast<int32_t>(h.store.key_desc(0).root_offset), 0};
  ASSERT_TRUE(h.add(0, std::string(100, 'E'), 0, record(4)));
  ASSERT_TRUE(h.verify());

  // Nodes are taken in order: the left node A, the right node B, the new
  // root; the old root goes to the free-node list.
  SegAddr a{first_root.offset + 512, 0}, b{first_root.offset + 1024, 0};
  SegAddr root{static_cast<int32_t>(h.store.key_desc(0).root_offset), 0};
  EXPECT_EQ(first_root.offset + 1536, root.offset);
  EXPECT_EQ(2, h.store.key_desc(0).height);
  EXPECT_EQ(2u, h.store.key_desc_version);
  Bytes entries;
  put_entry(&entries, 5, false, a, 0, 0, std::string(1, '\0') + std::string(100, 'D'));
  put_entry(&entries, 5, false, b, 0, 0, "\x7f");
  EXPECT_EQ(node_block(512, entries), h.store.block(root));
  EXPECT_EQ(first_root, h.store.free_head);
  // A holds the four old keys completely; B the new key and the high key.
  EXPECT_EQ(109 + 3 * 108, load_be16(h.store.block(a).data() + 1));
  EXPECT_EQ(109 + 9, load_be16(h.store.block(b).data() + 1));
}

// Ascending keys arrive at the high-key entry of the right-most leaf: a
// split there leaves the left node with no room for one more entry, at
// every level of the tree.
TEST(BTree, AscendingLoadFillsEveryLeftNode) {
  for (int version : {3, 5}) {
    for (bool dups : {false, true}) {
      TreeHarness h(version, 512, {make_key_desc(30, dups)});
      for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(
            h.add(0, varied(i * 7, 30), dups ? static_cast<uint32_t>(i + 1) : 0, record(i)));
      ASSERT_TRUE(h.verify());
      auto tree = levels(h.store, 0);
      ASSERT_GE(tree.size(), 3u);
      int overhead = entry_layout(version, dups).overhead();
      int checked = 0;
      for (const auto &level : tree) {
        for (size_t i = 0; i + 1 < level.size(); ++i) {
          // The first entry of the next node, compressed against this
          // node's last key, did not fit here next to the high-key entry
          // that the node still had when it was split.
          int size = overhead + 31 - shared_prefix(level[i].last, level[i + 1].first);
          EXPECT_GT(size + overhead + 1, 509 - level[i].used)
              << "v" << version << " node " << level[i].addr.offset;
          ++checked;
        }
      }
      EXPECT_GT(checked, 50);
    }
  }
}

// Unique keys, equal keys in duplicate-number order, searches and removals
// are checked against the model; an entry added twice with the same
// number is not.
TEST(BTree, AnEntryWithItsDuplicateNumberAlreadyThereIsBroken) {
  TreeHarness h(5, 512, {make_key_desc(4, true)});
  ASSERT_TRUE(h.add(0, "KKKK", 10, record(10)));
  ASSERT_TRUE(h.add(0, "KKKK", 20, record(20)));
  EXPECT_FALSE(h.add(0, "KKKK", 20, record(21)));
  EXPECT_EQ(E_BROKEN, *fs_error_code());
  EXPECT_EQ(3, *fs_error_secondary());
  EXPECT_TRUE(h.verify());
}

// A tree of 100-byte keys whose root split made A (four keys) and B (one
// key and the high key) under a two-entry root.
struct SplitTree {
  TreeHarness h{5, 512, {make_key_desc(100, false)}};
  SegAddr root, a, b;
  SplitTree() {
    for (int i = 0; i < 5; ++i)
      EXPECT_TRUE(h.add(0, std::string(100, static_cast<char>('A' + i)), 0, record(i)));
    root = SegAddr{static_cast<int32_t>(h.store.key_desc(0).root_offset), 0};
    a = SegAddr{root.offset - 1024, 0};
    b = SegAddr{root.offset - 512, 0};
  }
};

// A deletion that lowered the root may re-key an entry of the new root and
// split it in the same operation: the new root then takes the free level
// above instead of shifting the search path down.
TEST(BTree, RootSplitAfterTheRootWasLoweredInTheSameOperation) {
  TreeHarness plain(5, 512, {make_key_desc(100, false)});
  TreeHarness lowered(5, 512, {make_key_desc(100, false)});
  for (int i = 0; i < 4; ++i) {
    std::string v(100, static_cast<char>('A' + i));
    ASSERT_TRUE(plain.add(0, v, 0, record(i)));
    ASSERT_TRUE(lowered.add(0, v, 0, record(i)));
  }
  std::string e(100, 'E');
  ASSERT_TRUE(plain.add(0, e, 0, record(4)));

  TreeContext &c = lowered.ctx;
  std::string sk = TreeHarness::search_key(0, e);
  NodePosition pos;
  ASSERT_EQ(SR_GREATER, vi_find_key(&c, u8(sk), 0, &pos));
  SegAddr old_root = c.path[0];
  c.path[0] = kNoNode;
  c.path[1] = old_root;
  c.root_depth = 1;
  pos.depth = 1;
  FullKey k;
  k.length = 101;
  memcpy(k.bytes, sk.data() + 1, 101);
  ASSERT_TRUE(vi_node_insert(&c, k, 0, record(4), &pos));
  EXPECT_EQ(0, c.root_depth);
  EXPECT_EQ(0, c.depth_shift);
  EXPECT_EQ(1, pos.depth);
  EXPECT_EQ((SegAddr{static_cast<int32_t>(lowered.store.key_desc(0).root_offset), 0}), c.path[0]);
  EXPECT_EQ(pos.node, c.path[1]);
  vi_end_operation(&c);
  EXPECT_TRUE(lowered.store.same_state(plain.store));
}

TEST(BTree, TraceLinesOfSplitAndCombine) {
  set_trace_bits(kTraceTree);
  TreeHarness h(5, 512, {make_key_desc(100, false)});
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(h.add(0, std::string(100, static_cast<char>('A' + i)), 0, record(i)));
  char buf_addr[40];
  snprintf(buf_addr, sizeof buf_addr, "%p", static_cast<void *>(h.ctx.node.buf));
  std::string addr = buf_addr;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(h.add(0, std::string(100, 'E'), 0, record(4)));
  std::string split_lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ("V: splitting node 1024/0, depth = 0, used = 442, addr = " + addr +
                "\nV: split() increasing tree height\n",
            split_lines);
  // Removing E leaves B with the high key alone: it merges into its left
  // neighbour A, the root is left with one child and the tree shrinks.
  testing::internal::CaptureStderr();
  ASSERT_TRUE(h.sub(0, std::string(100, 'E'), 0));
  std::string combine_lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ("V: combining node 2048/0, depth = 1, used = 9, addr = " + addr +
                "\nV: combining node 2560/0, depth = 0, used = 9, addr = " + addr +
                "\nV: combine() reducing tree height\nV: combine() returned COMBINE_LEFT\n",
            combine_lines);
  ASSERT_TRUE(h.verify());
  EXPECT_EQ(1, h.store.key_desc(0).height);
  // The merged node took the old root's place from the free-node list.
  EXPECT_EQ(1024u, h.store.key_desc(0).root_offset);
}

TEST(BTree, VerifiedReadsRetryOnTreesChangedUnderThem) {
  SplitTree t;
  TreeContext &c = t.h.ctx;
  std::string key_a = TreeHarness::search_key(0, std::string(100, 'A'));
  NodePosition pos;
  // A leaf that was freed under the reader: counted, SR_ERROR, no error.
  Bytes saved = t.h.store.block(t.a);
  t.h.store.block(t.a)[0] = kFreeNode;
  c.verified = true;
  c.debug_output = true;
  *fs_error_code() = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_a), 0, &pos));
  EXPECT_EQ(">>AR DBG f->node.buf[0] != B_NODE\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(1, c.counters.non_bnode_blocks);
  EXPECT_EQ(0, *fs_error_code());
  vi_end_operation(&c);
  t.h.store.block(t.a) = saved;

  // The root's key for A below A's first key: a vi_find_key mismatch.
  Bytes &root = t.h.store.block(t.root);
  std::fill(root.begin() + 3 + 8 + 1, root.begin() + 3 + 8 + 101, '0');
  std::string key_0 = TreeHarness::search_key(0, std::string(100, '0'));
  c.verified = true;  // the flags last for one operation
  testing::internal::CaptureStderr();
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_0), 0, &pos));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(1, c.counters.find_key_mismatches);
  vi_end_operation(&c);
  EXPECT_FALSE(c.verified);
  // A reader that does not verify goes down anyway.
  EXPECT_EQ(SR_GREATER, vi_find_key(&c, u8(key_0), 0, &pos));
  EXPECT_EQ(t.a, pos.node);
  vi_end_operation(&c);
}

TEST(BTree, DamagedNodesGiveTheirSecondaryCodes) {
  SplitTree t;
  TreeContext &c = t.h.ctx;
  NodePosition pos;
  std::string key_e = TreeHarness::search_key(0, std::string(100, 'E'));
  std::string key_z = TreeHarness::search_key(0, std::string(100, 'Z'));
  auto expect_broken = [&](int32_t code, const std::string &key) {
    *fs_error_code() = 0;
    EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key), 0, &pos));
    EXPECT_EQ(E_BROKEN, *fs_error_code());
    EXPECT_EQ(code, *fs_error_secondary());
    vi_end_operation(&c);
  };
  Bytes saved = t.h.store.block(t.b);
  Bytes &b = t.h.store.block(t.b);
  // B without its high-key entry: a search above every key runs off it.
  store_be16(b.data() + 1, 109);
  std::fill(b.begin() + 3 + 109, b.end(), 0);
  expect_broken(kBrokenPastEnd, key_z);
  c.verified = true;
  *fs_error_code() = 0;
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_z), 0, &pos)) << "a verified reader retries";
  EXPECT_EQ(0, *fs_error_code());
  c.verified = false;
  vi_end_operation(&c);
  // `used` too large (damaged entries: node_format_test).
  b = saved;
  store_be16(b.data() + 1, 510);
  expect_broken(kBrokenLength, key_e);
  b = saved;

  // A parent that does not point to the node: secondary code 7.
  int offset, previous;
  EXPECT_FALSE(vi_find_parent_entry(&c, t.root, SegAddr{999, 0}, &offset, &previous));
  EXPECT_EQ(7, *fs_error_secondary());
  ASSERT_TRUE(vi_find_parent_entry(&c, t.root, t.b, &offset, &previous));
  EXPECT_EQ(109, offset);
  EXPECT_EQ(0, previous);
  vi_end_operation(&c);
  // A split whose recorded parent lost its entry for the node.
  std::string between = "A" + std::string(99, 'Z');
  std::string sk = TreeHarness::search_key(0, between);
  ASSERT_EQ(SR_GREATER, vi_find_key(&c, u8(sk), 0, &pos));
  ASSERT_EQ(t.a, pos.node);
  SegAddr stranger;
  ASSERT_TRUE(t.h.store.allocate_node(&stranger));
  Bytes copy = t.h.store.block(t.root);
  store_be32(copy.data() + 3, 12345);
  t.h.store.block(stranger) = copy;
  c.path[0] = stranger;
  FullKey k;
  k.length = 101;
  memcpy(k.bytes, sk.data() + 1, 101);
  EXPECT_FALSE(vi_node_insert(&c, k, 0, record(9), &pos));
  EXPECT_EQ(E_BROKEN, *fs_error_code());
  EXPECT_EQ(7, *fs_error_secondary());
  vi_end_operation(&c);

  // A read failure clears the image's address.
  t.h.store.fail_read_nth = 1;
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_e), 0, &pos));
  EXPECT_EQ(E_SYSERR, *fs_error_code());
  EXPECT_EQ(kNoNode, c.node.addr);
  vi_end_operation(&c);
}

// All open files share one node buffer: a file whose operation is cut into
// by another file's must not trust the node it recorded.
TEST(BTree, TwoFilesShareTheNodeBuffer) {
  SplitTree one, two;
  ASSERT_TRUE(two.h.add(0, std::string(100, 'F'), 0, record(5)));
  std::string sk = TreeHarness::search_key(0, std::string(99, 'E') + 'F');
  NodePosition pos1, pos2;
  ASSERT_EQ(SR_GREATER, vi_find_key(&one.h.ctx, u8(sk), 0, &pos1));
  ASSERT_EQ(SR_GREATER, vi_find_key(&two.h.ctx, u8(sk), 0, &pos2));
  ASSERT_EQ(pos1.node, pos2.node) << "both files hold that node at the same address";
  EXPECT_EQ(one.h.ctx.node.buf, two.h.ctx.node.buf);
  FullKey k;
  k.length = 101;
  memcpy(k.bytes, sk.data() + 1, 101);
  ASSERT_TRUE(vi_node_insert(&one.h.ctx, k, 0, record(7), &pos1));
  vi_end_operation(&one.h.ctx);
  vi_end_operation(&two.h.ctx);
  one.h.models[0][ModelKey{to_string(k), 0}] = record(7);
  ASSERT_TRUE(one.h.verify());
  ASSERT_TRUE(two.h.verify());
}

}  // namespace
}  // namespace kel::indexed
