// Fixed cases of the B-trees beyond the model: node bytes after the first
// insert and the first root split against bytes built by hand, the fill
// of an ascending load, the trace lines of split and combine, verified
// reads on trees changed under them, the node buffer that all files
// share, and each fault the structural check must find. (Damaged trees:
// the fuzz target of the engine.)
#include <functional>

#include "common/fails.h"
#include "common/golden.h"
#include "common/test_util.h"
#include "indexed/tree_store.h"
#include "messages/diag.h"

namespace kel::indexed {
namespace {

using Bytes = std::vector<uint8_t>;

SegAddr record(int i, uint16_t segment = 0) {
  return SegAddr{-(4096 + 32 * i), segment};
}

// An expected entry: pointer, segment (version 4 on), duplicate number
// (with duplicates), L, P and the suffix.
void put_entry(Bytes *b, int version, bool dups, SegAddr p, uint32_t dup, uint8_t prefix,
               const std::string &suffix) {
  uint8_t buf[4];
  store_be32(buf, static_cast<uint32_t>(p.offset));
  b->insert(b->end(), buf, buf + 4);
  if (version >= 4)
    b->insert(b->end(), {static_cast<uint8_t>(p.segment >> 8), static_cast<uint8_t>(p.segment)});
  if (dups) {
    store_be32(buf, dup);
    b->insert(b->end(), buf, buf + 4);
  }
  b->insert(b->end(), {static_cast<uint8_t>(suffix.size() + 1), prefix});
  b->insert(b->end(), suffix.begin(), suffix.end());
}
Bytes node_block(int node_size, const Bytes &entries) {
  Bytes b(static_cast<size_t>(node_size), 0);
  b[0] = 1;
  store_be16(b.data() + 1, static_cast<uint16_t>(entries.size()));
  std::copy(entries.begin(), entries.end(), b.begin() + 3);
  return b;
}
std::string letters(char c) {
  return std::string(100, c);
}
// A tree of 100-byte keys "A..." to "D..." in one root leaf; the fifth key
// splits it.
void four_keys(TreeHarness &h) {
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(h.add(0, letters(static_cast<char>('A' + i)), 0, record(i)));
}

TEST(Tree, FirstKeyAndFirstRootSplitLeaveTheseBytes) {
  TreeHarness h(5, 512, {key_desc(4, false)});
  NodePosition pos;  // a search of the empty tree reads nothing
  EXPECT_EQ(SR_EMPTY, vi_find_key(&h.ctx, u8(TreeHarness::search_key(0, "ABCD")), 0, &pos));
  EXPECT_EQ(0, h.store.reads);
  vi_end_operation(&h.ctx);
  ASSERT_TRUE(h.add(0, "ABCD", 0, SegAddr{-600, 3}));
  Bytes entries;
  put_entry(&entries, 5, false, SegAddr{-600, 3}, 0, 0, std::string("\0ABCD", 5));
  put_entry(&entries, 5, false, kNullAddr, 0, 0, "\x7f");
  EXPECT_EQ(node_block(512, entries), h.store.block(h.store.root(0)));
  EXPECT_EQ(1, h.store.key_desc(0).height);
  EXPECT_EQ(1u, h.store.key_desc_version);
  EXPECT_EQ(22, h.store.index_bytes);
  // Version 3, a key with duplicates: no segment, a duplicate number.
  TreeHarness v3(3, 512, {key_desc(3, false), key_desc(2, true)});
  ASSERT_TRUE(v3.add(1, "xy", 7, SegAddr{-2000, 0}));
  entries.clear();
  put_entry(&entries, 3, true, SegAddr{-2000, 0}, 7, 0, "\x01xy");
  put_entry(&entries, 3, true, kNullAddr, 0, 0, "\x7f");
  EXPECT_EQ(node_block(512, entries), v3.store.block(v3.store.root(1)));
  EXPECT_EQ(0u, v3.store.key_desc(0).root_offset) << "key 0 keeps its empty tree";

  // 100-byte keys: four fill a root leaf. Nodes are taken in order: the
  // left node A, the right node B, the new root; the old root goes to the
  // free-node list. A holds the four old keys whole; B the new key and the
  // high key.
  TreeHarness t(5, 512, {key_desc(100, false)});
  four_keys(t);
  SegAddr first_root = t.store.root(0);
  ASSERT_TRUE(t.add(0, letters('E'), 0, record(4)));
  ASSERT_TRUE(t.verify());
  SegAddr a{first_root.offset + 512, 0}, b{first_root.offset + 1024, 0};
  EXPECT_EQ(first_root.offset + 1536, t.store.root(0).offset);
  EXPECT_EQ(2, t.store.key_desc(0).height);
  EXPECT_EQ(2u, t.store.key_desc_version);
  entries.clear();
  put_entry(&entries, 5, false, a, 0, 0, std::string(1, '\0') + letters('D'));
  put_entry(&entries, 5, false, b, 0, 0, "\x7f");
  EXPECT_EQ(node_block(512, entries), t.store.block(t.store.root(0)));
  EXPECT_EQ(first_root, t.store.free_head);
  EXPECT_EQ(109 + 3 * 108, load_be16(t.store.block(a).data() + 1));
  EXPECT_EQ(109 + 9, load_be16(t.store.block(b).data() + 1));
}

// Ascending keys arrive at the high-key entry of the right-most leaf: a
// split there leaves the left node with no room for one more entry, at
// every level of the tree.
TEST(Tree, AscendingLoadFillsEveryLeftNode) {
  for (int version : {3, 5}) {
    for (bool dups : {false, true}) {
      TreeHarness h(version, 512, {key_desc(30, dups)});
      for (int i = 0; i < 3000; ++i) {
        // Ordered by i, but little to share: the number, then letters.
        char key[31];
        snprintf(key, sizeof key, "%08d", i * 7);
        for (int j = 8; j < 30; ++j) key[j] = static_cast<char>('a' + (i * 7 * 31 + j * 17) % 26);
        ASSERT_TRUE(
            h.add(0, std::string(key, 30), dups ? static_cast<uint32_t>(i + 1) : 0, record(i)));
      }
      ASSERT_TRUE(h.verify());
      EntryLayout layout = entry_layout(version, dups);
      int checked = 0;
      std::vector<SegAddr> level = {h.store.root(0)};
      while (!level.empty()) {
        std::vector<SegAddr> below;
        std::string last;  // the previous node's last key
        int used_before = 0;
        for (SegAddr at : level) {
          Bytes &b = h.store.block(at);
          int used = load_be16(b.data() + 1);
          FullKey first, final;
          int32_t broken = 0;
          key_at_offset(b.data() + 3, used, layout, 0, &first, nullptr, &broken);
          key_at_offset(b.data() + 3, used, layout, used - 1, &final, nullptr, &broken);
          if (!last.empty()) {
            // This node's first entry, compressed against the previous
            // node's last key, did not fit there beside the high-key entry
            // that node still had when it was split.
            std::string f = to_string(first);
            size_t shared = 0;
            while (shared < f.size() && shared < last.size() && f[shared] == last[shared]) ++shared;
            int size = layout.overhead() + 31 - static_cast<int>(shared);
            EXPECT_GT(size + layout.overhead() + 1, 509 - used_before);
            ++checked;
          }
          last = to_string(final);
          used_before = used;
          Entry e;
          for (int at_entry = 0; at_entry < used; at_entry += e.size) {
            decode_entry(b.data() + 3, used, at_entry, layout, &e, &broken);
            if (is_child_pointer(SegAddr{e.pointer, e.segment}))
              below.push_back(SegAddr{e.pointer, e.segment});
          }
        }
        level = below;
      }
      EXPECT_GT(checked, 50);
    }
  }
}

// Equal keys in duplicate-number order are the model's business; an entry
// added twice with the same number is broken (3).
TEST(Tree, AnEntryWithItsDuplicateNumberAlreadyThereIsBroken) {
  TreeHarness h(5, 512, {key_desc(4, true)});
  ASSERT_TRUE(h.add(0, "KKKK", 10, record(10)));
  ASSERT_TRUE(h.add(0, "KKKK", 20, record(20)));
  EXPECT_TRUE(test::fails(h.add(0, "KKKK", 20, record(21)), E_BROKEN, 3));
  EXPECT_TRUE(h.verify());
}

// A deletion that lowered the root may re-key an entry of the new root and
// split it in the same operation: the new root then takes the free level
// above instead of shifting the search path down.
TEST(Tree, RootSplitAfterTheRootWasLoweredInTheSameOperation) {
  TreeHarness plain(5, 512, {key_desc(100, false)});
  TreeHarness lowered(5, 512, {key_desc(100, false)});
  four_keys(plain);
  four_keys(lowered);
  ASSERT_TRUE(plain.add(0, letters('E'), 0, record(4)));
  TreeContext &c = lowered.ctx;
  std::string sk = TreeHarness::search_key(0, letters('E'));
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
  EXPECT_EQ(lowered.store.root(0), c.path[0]);
  EXPECT_EQ(pos.node, c.path[1]);
  vi_end_operation(&c);
  EXPECT_EQ(plain.store.image(), lowered.store.image());
}

// Removing E again leaves B with the high key alone: it merges into its
// left neighbour A, the root is left with one child and the tree shrinks;
// the merged node takes the old root's place from the free-node list.
TEST(Tree, TraceLinesOfSplitAndCombine) {
  TreeHarness h(5, 512, {key_desc(100, false)});
  four_keys(h);
  set_trace_bits(kTraceTree);
  test::StderrCapture trace;
  ASSERT_TRUE(h.add(0, letters('E'), 0, record(4)));
  ASSERT_TRUE(h.sub(0, letters('E'), 0));
  set_trace_bits(0);
  EXPECT_TRUE(test::matches_golden(
      "indexed/tree_split_combine.txt",
      test::replace_all(trace.text(), test::pointer_text(h.ctx.node.buf), "<node buffer>")));
  ASSERT_TRUE(h.verify());
  EXPECT_EQ(1, h.store.key_desc(0).height);
  EXPECT_EQ(1024u, h.store.key_desc(0).root_offset);
}

// A tree of 100-byte keys whose root split made A (four keys) and B (one
// key and the high key) under a two-entry root.
struct SplitTree {
  TreeHarness h{5, 512, {key_desc(100, false)}};
  SegAddr root, a, b;
  SplitTree() {
    four_keys(h);
    EXPECT_TRUE(h.add(0, letters('E'), 0, record(4)));
    root = h.store.root(0);
    a = SegAddr{root.offset - 1024, 0};
    b = SegAddr{root.offset - 512, 0};
  }
};

TEST(Tree, VerifiedReadsRetryOnTreesChangedUnderThem) {
  SplitTree t;
  TreeContext &c = t.h.ctx;
  std::string key_a = TreeHarness::search_key(0, letters('A'));
  NodePosition pos;
  // A leaf that was freed under the reader: counted, SR_ERROR, no error.
  Bytes saved = t.h.store.block(t.a);
  t.h.store.block(t.a)[0] = kFreeNode;
  c.verified = true;
  c.debug_output = true;
  *fs_error_code() = 0;
  test::StderrCapture freed;
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_a), 0, &pos));
  EXPECT_EQ(">>AR DBG f->node.buf[0] != B_NODE\n", freed.text());
  EXPECT_EQ(1, c.counters.non_bnode_blocks);
  EXPECT_EQ(0, *fs_error_code());
  vi_end_operation(&c);
  t.h.store.block(t.a) = saved;
  // The root's key for A below A's first key: a vi_find_key mismatch.
  Bytes &root = t.h.store.block(t.root);
  std::fill(root.begin() + 3 + 8 + 1, root.begin() + 3 + 8 + 101, '0');
  std::string key_0 = TreeHarness::search_key(0, letters('0'));
  c.verified = true;  // the flags last for one operation
  test::StderrCapture quiet;
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_0), 0, &pos));
  EXPECT_EQ("", quiet.text());
  EXPECT_EQ(1, c.counters.find_key_mismatches);
  vi_end_operation(&c);
  EXPECT_FALSE(c.verified);
  // A reader that does not verify goes down anyway.
  EXPECT_EQ(SR_GREATER, vi_find_key(&c, u8(key_0), 0, &pos));
  EXPECT_EQ(t.a, pos.node);
  vi_end_operation(&c);
}

// All open files share one node buffer: a file whose operation is cut into
// by another file's must not trust the node it recorded.
TEST(Tree, TwoFilesShareTheNodeBuffer) {
  SplitTree one, two;
  ASSERT_TRUE(two.h.add(0, letters('F'), 0, record(5)));
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

// A leaf whose second entry borrows all 251 bytes of the first key and
// adds one: a full key longer than any. A search for a key above it skips
// it without a comparison and stops at the high key; the key before that
// point is not handed over, and the insertion that rebuilds it finds the
// damage (secondary code 21).
TEST(Tree, ASkippedOverlongEntryIsNotHandedOver) {
  TreeHarness h(5, 2048, {key_desc(250, false)});
  ASSERT_TRUE(h.add(0, std::string(250, 'A'), 0, SegAddr{-4096, 0}));
  std::vector<uint8_t> &block = h.store.block(h.store.root(0));
  EntryLayout layout = entry_layout(5, false);
  uint8_t *area = block.data() + kNodeHeaderSize;
  std::string first = std::string(1, '\0') + std::string(250, 'A');
  encode_entry_head(area, layout, -4096, 0, 0, 252, 0);
  memcpy(area + layout.overhead(), first.data(), first.size());
  int at = layout.overhead() + 251;
  encode_entry_head(area + at, layout, -8192, 0, 0, 2, 251);
  area[at + layout.overhead()] = 'B';
  at += layout.overhead() + 1;
  encode_entry_head(area + at, layout, 0, 0, 0, 2, 0);
  area[at + layout.overhead()] = static_cast<uint8_t>(kHighKeyByte);
  at += layout.overhead() + 1;
  store_be16(block.data() + 1, static_cast<uint16_t>(at));
  std::string key = std::string(1, '\0') + std::string(250, 'C');
  NodeSearch s;
  s.want_before = true;
  search_entries(area, at, layout, u8(key), static_cast<int>(key.size()), 0, &s);
  EXPECT_EQ(SR_GREATER, s.result);
  EXPECT_EQ(layout.overhead() + 251, s.previous);
  EXPECT_FALSE(s.before_known);
  EXPECT_TRUE(
      test::fails(h.add(0, std::string(250, 'C'), 0, SegAddr{-12288, 0}), E_BROKEN, kBrokenLength));
}

// The structural check on a three-level tree of 40-byte keys (v5 entries
// without duplicates: pointer 4, segment 2, L, P, suffix) beside a key
// with duplicates: a sound store gives its records, nodes and bytes, and
// each kind of damage its fault code.
class TreeCheck : public ::testing::Test {
 protected:
  static constexpr int kEntry = 8;  // entry bytes before the suffix
  static std::string value(int i) {
    std::string s = std::to_string(100000 + i * 3);
    while (s.size() < 40) s += static_cast<char>('a' + (i * 7 + static_cast<int>(s.size())) % 26);
    return s;
  }
  static SegAddr pointer_at(const Bytes &block, int offset) {
    return SegAddr{static_cast<int32_t>(load_be32(block.data() + 3 + offset)),
                   load_be16(block.data() + 3 + offset + 4)};
  }
  static int second_entry(const Bytes &b) { return kEntry + b[3 + 6] - 1; }
  static int last_entry(const Bytes &b) {
    int used = load_be16(b.data() + 1), at = 0, last = 0;
    for (; at < used; at += kEntry + b[static_cast<size_t>(3 + at + 6)] - 1) last = at;
    return last;
  }
  void SetUp() override {
    *fs_error_code() = 0;
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(h.add(0, value((i * 37) % 300), 0, SegAddr{-(2048 + 64 * i), 2}));
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(h.add(1, value(i).substr(0, 6), static_cast<uint32_t>(i % 7),
                        SegAddr{-(2048 + 64 * i), 1}));
    ASSERT_EQ(3, h.store.key_desc(0).height);
    root = h.store.root(0);
    interior = pointer_at(h.store.block(root), 0);
    leaf = pointer_at(h.store.block(interior), 0);
    last_leaf = root;
    for (int depth = 0; depth < 2; ++depth) {
      Bytes &b = h.store.block(last_leaf);
      last_leaf = pointer_at(b, last_entry(b));
    }
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
  TreeHarness h{5, 512, {key_desc(40, false), key_desc(6, true)}};
  SegAddr root, interior, leaf, last_leaf;
  MemNodeStore pristine{5, 512, {}};
};

TEST_F(TreeCheck, ASoundStoreGivesItsRecordsNodesAndBytes) {
  TreeCheckResult r;
  ASSERT_TRUE(check_trees(&h.store, &r)) << r.text;
  EXPECT_EQ(0, r.code);
  ASSERT_EQ(340u, r.records.size());
  EXPECT_EQ(TreeHarness::full(0, value(0)), std::string_view(r.records[0].full_key));
  EXPECT_EQ((SegAddr{2048, 2}), r.records[0].record);
  EXPECT_EQ(1, r.records[300].key);
  EXPECT_TRUE(h.verify()) << "nodes and bytes as counted";
  TreeCheckResult one;
  ASSERT_TRUE(check_key_tree(&h.store, 1, &one));
  EXPECT_EQ(40u, one.records.size());
}

TEST_F(TreeCheck, EachDamageGivesItsFault) {
  expect_fault(kFaultNodeType, [&](MemNodeStore &s) { s.block(leaf)[0] = kFreeNode; });
  expect_fault(kFaultUsed, [&](MemNodeStore &s) { store_be16(s.block(leaf).data() + 1, 510); });
  expect_fault(kFaultTail, [&](MemNodeStore &s) { s.block(leaf)[511] = 0x55; });
  expect_fault(kFaultEmptyNode, [&](MemNodeStore &s) {
    std::fill(s.block(leaf).begin() + 1, s.block(leaf).end(), 0);
  });
  expect_fault(kBrokenLength, [&](MemNodeStore &s) { s.block(leaf)[3 + 6] = 0; });
  expect_fault(9, [&](MemNodeStore &s) { s.blocks.erase(MemNodeStore::id(leaf)); });
  expect_fault(kFaultRead, [&](MemNodeStore &s) { s.fail_read_nth = 2; });
  // The first key of the second leaf made smaller than everything before.
  expect_fault(kFaultOrder, [&](MemNodeStore &s) {
    Bytes &b = s.block(pointer_at(s.block(interior), second_entry(s.block(interior))));
    std::fill(b.begin() + 3 + kEntry + 1, b.begin() + 3 + kEntry + 7, '0');
  });
  // A parent key that still orders right but is not its child's last key.
  expect_fault(kFaultSeparator, [&](MemNodeStore &s) { s.block(interior)[3 + kEntry + 40] ^= 1; });
  // The last leaf without its high key, and a high key in another leaf.
  expect_fault(kFaultHighKey, [&](MemNodeStore &s) {
    Bytes &b = s.block(last_leaf);
    b[static_cast<size_t>(3 + last_entry(b) + kEntry)] = 0;
  });
  expect_fault(kFaultHighKey, [&](MemNodeStore &s) {
    Bytes &b = s.block(leaf);
    int at = last_entry(b);
    Bytes high = {0, 0, 0, 0, 0, 0, 2, 0, 0x7F};
    std::copy(high.begin(), high.end(), b.begin() + 3 + at);
    store_be16(b.data() + 1, static_cast<uint16_t>(at + 9));
    std::fill(b.begin() + 3 + at + 9, b.end(), 0);
  });
  expect_fault(kFaultDepth, [&](MemNodeStore &s) { ++s.key(0).height; });
  expect_fault(kFaultPointer, [&](MemNodeStore &s) {
    store_be32(s.block(leaf).data() + 3 + second_entry(s.block(leaf)), 4096);
  });
  expect_fault(kFaultPointer, [&](MemNodeStore &s) {
    Bytes &b = s.block(last_leaf);
    store_be32(b.data() + 3 + last_entry(b), static_cast<uint32_t>(-512));
  });
  expect_fault(kFaultRoot, [&](MemNodeStore &s) { s.key(0).root_offset = 0; });
  // Two entries leading to one node, and two trees sharing a root.
  expect_fault(kFaultNodeTwice, [&](MemNodeStore &s) {
    Bytes &b = s.block(interior);
    store_be32(b.data() + 3 + second_entry(b), static_cast<uint32_t>(leaf.offset));
    store_be16(b.data() + 3 + second_entry(b) + 4, leaf.segment);
  });
  expect_fault(kFaultNodeTwice, [&](MemNodeStore &s) {
    s.key(1).root_offset = static_cast<uint32_t>(root.offset);
    s.key(1).root_segment = root.segment;
    s.key(1).height = 3;
  });
  expect_fault(kFaultKeyShape, [&](MemNodeStore &s) { s.block(leaf)[3 + kEntry] = 5; });
}

}  // namespace
}  // namespace kel::indexed
