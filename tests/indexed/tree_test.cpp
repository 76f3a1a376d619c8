// Fixed cases of the node format and the B-trees beyond the model: key
// comparison with space padding, an insertion that shrinks a node, the
// trace lines of split and combine, verified reads on trees changed under
// them, a root split after the root was lowered, an overlong entry
// skipped, the search memo declining a node of long keys, every store call
// and allocation of additions and removals failing in turn, and each
// fault the structural check must find. (Node bytes:
// images_test; entries, prefixes and searches at random: the access
// model; damaged trees: the fuzz target of the engine.)
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/call_script.h"
#include "common/fails.h"
#include "common/golden.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "indexed/check/tree_check.h"
#include "indexed/format/node_format.h"
#include "indexed/format/node_memo.h"
#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/be.h"

namespace kel::indexed {
namespace {

// The trees run on an in-memory node store of version 5 next to a model:
// node blocks in a map, the free-node list kept in the blocks themselves as
// a file keeps it, the header counters, failure injection for reads,
// writes, node allocation and freeing and key root updates; and per key an
// ordered map of (full key, duplicate number) to the record pointer. Every
// operation ends the file operation as the access layer does
// (vi_end_operation), and verify() compares the whole store with the model.
const uint8_t *u8(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

// A key description of `length` bytes in one segment.
KeyDesc key_desc(int length, bool duplicates) {
  KeyDesc kd{};
  kd.segments = 1;
  kd.duplicates = duplicates ? 1 : 0;
  kd.length = static_cast<uint8_t>(length);
  kd.segment_size[0] = static_cast<uint8_t>(length);
  return kd;
}

class MemNodeStore : public NodeStore {
 public:
  MemNodeStore(int node_size, std::vector<KeyDesc> keys)
      : node_size_(node_size), keys_(std::move(keys)) {}

  int version() const override { return 5; }
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
    store_be16(block.data() + 5, free_head.segment);
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
  static SegAddr link(const std::vector<uint8_t> &b) {
    return SegAddr{static_cast<int32_t>(load_be32(b.data() + 1)), load_be16(b.data() + 5)};
  }

  int node_size_;
  std::vector<KeyDesc> keys_;
  SegAddr end_{node_size_ * 2, 0};
};

// Per key: (full key, duplicate number) to the record pointer. The order
// of the entries is the structural check's business.
using Model = std::map<std::pair<std::string, uint32_t>, SegAddr>;

class TreeHarness {
 public:
  TreeHarness(int node_size, std::vector<KeyDesc> keys)
      : store(node_size, keys), models(keys.size()) {
    vi_tree_init(&ctx, &store);
  }
  ~TreeHarness() { vi_end_operation(&ctx); }

  static std::string search_key(int key, const std::string &value) {
    return std::string{static_cast<char>(value.size() + 1), static_cast<char>(key)} + value;
  }
  static std::string full(int key, const std::string &value) {
    return std::string(1, static_cast<char>(key)) + value;
  }
  // key_add; on success the model takes the entry too.
  bool add(int key, const std::string &value, uint32_t dup, SegAddr pointer) {
    ctx.equal_seen = false;
    bool ok =
        key_add(&ctx, u8(search_key(key, value)), dup, pointer, store.key_desc(key).duplicates);
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)][{full(key, value), dup}] = pointer;
    return ok;
  }
  bool sub(int key, const std::string &value, uint32_t dup) {
    bool ok = key_sub(&ctx, u8(search_key(key, value)), dup);
    vi_end_operation(&ctx);
    if (ok) models[static_cast<size_t>(key)].erase({full(key, value), dup});
    return ok;
  }

  // The whole store against the model: the structural check passes (so
  // the entries are in order, none twice), the leaves hold exactly the
  // model's entries, the header counters agree with the nodes found and no
  // free node is in a tree.
  ::testing::AssertionResult verify() {
    TreeCheckResult r;
    if (!check_trees(&store, &r))
      return ::testing::AssertionFailure() << "check: " << r.code << " " << r.text;
    std::vector<Model> found(models.size());
    for (const TreeRecord &rec : r.records)
      found.at(
          static_cast<size_t>(rec.key))[{std::string(std::string_view(rec.full_key)), rec.dup}] =
          SegAddr{-rec.record.offset, rec.record.segment};
    if (found != models)
      return ::testing::AssertionFailure() << "the entries differ from the model";
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

using Bytes = std::vector<uint8_t>;

SegAddr record(int i, uint16_t segment = 0) {
  return SegAddr{-(4096 + 32 * i), segment};
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

// The fifth key splits the root leaf; removing it again leaves B with the
// high key alone: it merges into its left neighbour A, the root is left
// with one child and the tree shrinks; the merged node takes the old
// root's place from the free-node list (the trace lines: a golden file).
// A deletion that lowered the root may re-key an entry of the new root and
// split it in the same operation: the new root then takes the free level
// above instead of shifting the search path down, and the store ends as
// the plain split left it. Verified reads on that tree retry when it was
// changed under them.
TEST(Tree, SplitCombineARootSplitAfterLoweringAndVerifiedReads) {
  TreeHarness h(512, {key_desc(100, false)});
  TreeHarness lowered(512, {key_desc(100, false)});
  four_keys(h);
  four_keys(lowered);
  set_trace_bits(kTraceTree);
  test::StderrCapture trace;
  ASSERT_TRUE(h.add(0, letters('E'), 0, record(4)));
  const std::string split = h.store.image();
  ASSERT_TRUE(h.sub(0, letters('E'), 0));
  set_trace_bits(0);
  EXPECT_TRUE(test::matches_golden(
      "indexed/tree_split_combine.txt",
      test::replace_all(trace.text(), test::pointer_text(h.ctx.node.buf), "<node buffer>")));
  ASSERT_TRUE(h.verify());
  EXPECT_EQ(1, h.store.key_desc(0).height);
  EXPECT_EQ(1024u, h.store.key_desc(0).root_offset);

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
  EXPECT_EQ(split, lowered.store.image());
  // Verified reads on it. The root split made A (four keys) and B (one
  // key and the high key) under a two-entry root.
  const SegAddr root = lowered.store.root(0), a{root.offset - 1024, 0};
  std::string key_a = TreeHarness::search_key(0, letters('A'));
  // A leaf that was freed under the reader: counted, SR_ERROR, no error.
  Bytes saved = lowered.store.block(a);
  lowered.store.block(a)[0] = kFreeNode;
  c.verified = true;
  c.debug_output = true;
  *fs_error_code() = 0;
  test::StderrCapture freed;
  EXPECT_EQ(SR_ERROR, vi_find_key(&c, u8(key_a), 0, &pos));
  EXPECT_EQ(">>AR DBG f->node.buf[0] != B_NODE\n", freed.text());
  EXPECT_EQ(1, c.counters.non_bnode_blocks);
  EXPECT_EQ(0, *fs_error_code());
  vi_end_operation(&c);
  lowered.store.block(a) = saved;
  // The root's key for A below A's first key: a vi_find_key mismatch.
  Bytes &root_block = lowered.store.block(root);
  std::fill(root_block.begin() + 3 + 8 + 1, root_block.begin() + 3 + 8 + 101, '0');
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
  EXPECT_EQ(a, pos.node);
  vi_end_operation(&c);
}

// Each call the store gets in an addition or a removal fails in turn
// (reads with E_SYSERR, writes, allocations, frees and root updates with
// E_DISK_FULL), as the tree grows to three levels and shrinks to nothing:
// the operation fails with the store's error and keeps no memory. What
// reached the store stays (a broken or full file, not an undo), so each
// run starts from a copy. Then each of its memory allocations fails in
// turn: E_NO_MEMORY, and the store exactly as it was. An entry added
// again with its duplicate number is broken (3), a removal of an entry
// that is not there too (6).
TEST(Tree, EachStoreCallFailingInTurnFailsTheOperationCleanly) {
  TreeHarness h(512, {key_desc(100, true)});
  *fs_error_code() = 0;  // the error block lives as long as the process: made before counting
  int *counters[] = {&h.store.fail_read_nth, &h.store.fail_write_nth, &h.store.fail_alloc_nth,
                     &h.store.fail_free_nth, &h.store.fail_root_nth};
  const int16_t codes[] = {E_SYSERR, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL};
  int failures = 0;
  auto each_call_failing = [&](const std::function<bool()> &op) {
    for (size_t kind = 0; kind < 5; ++kind) {
      for (int n = 1;; ++n) {
        const MemNodeStore before = h.store;
        const std::vector<Model> models = h.models;
        int64_t live = alloc_live_blocks();
        *counters[kind] = n;
        bool ok = op();
        bool tripped = *counters[kind] == 0;
        *counters[kind] = 0;
        EXPECT_EQ(live, alloc_live_blocks()) << kind << " " << n;
        h.store = before;
        h.models = models;
        if (!tripped) break;
        EXPECT_TRUE(test::failed(!ok, codes[kind])) << kind << " " << n;
        ++failures;
      }
    }
    failures += test::FailEachAllocation{.op = op, .state = [&] { return h.store.image(); }}.run();
    ASSERT_TRUE(h.verify());
  };
  // Keys that differ in their first byte: four entries fill a node.
  auto key = [](int i) {
    return static_cast<char>('A' + i) + std::string(99, static_cast<char>('a' + i % 7));
  };
  auto add = [&](int i) { return h.add(0, key(i), static_cast<uint32_t>(i), record(i)); };
  for (int i = 0; i < 40; ++i) each_call_failing([&] { return add(i * 7 % 40); });
  ASSERT_EQ(3, h.store.key_desc(0).height);
  EXPECT_TRUE(test::fails(h.add(0, key(7), 7, record(40)), E_BROKEN, 3));
  EXPECT_TRUE(test::fails(h.sub(0, key(0), 99), E_BROKEN, 6));
  for (int i = 0; i < 40; ++i)
    each_call_failing(
        [&] { return h.sub(0, key(i * 13 % 40), static_cast<uint32_t>(i * 13 % 40)); });
  EXPECT_EQ(0u, h.store.key_desc(0).root_offset);
  EXPECT_GT(failures, 500);
}

// A leaf whose second entry borrows all 251 bytes of the first key and
// adds one: a full key longer than any. A search for a key above it skips
// it without a comparison and stops at the high key; the key before that
// point is not handed over, and the insertion that rebuilds it finds the
// damage (secondary code 21).
TEST(Tree, ASkippedOverlongEntryIsNotHandedOver) {
  TreeHarness h(2048, {key_desc(250, false)});
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
  for (int again = 0; again < 3; ++again) {  // the memo does not decode it
    NodeSearch m;
    m.want_before = true;
    search_entries_memo(area, at, layout, 99, u8(key), static_cast<int>(key.size()), 0, &m);
    EXPECT_EQ(SR_GREATER, m.result);
    EXPECT_EQ(s.previous, m.previous);
    EXPECT_FALSE(m.before_known);
  }
  EXPECT_TRUE(
      test::fails(h.add(0, std::string(250, 'C'), 0, SegAddr{-12288, 0}), E_BROKEN, kBrokenLength));
}

// The structural check on a three-level tree of 40-byte keys (v5 entries
// without duplicates: pointer 4, segment 2, L, P, suffix) beside a key
// with duplicates: a sound store gives its records, nodes and bytes, and
// each kind of damage its fault code and text (rows of
// tree_damages.txt, whose steps name a node by its place in the tree).
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
    SegAddr root = h.store.root(0), interior = pointer_at(h.store.block(root), 0), last = root;
    for (int depth = 0; depth < 2; ++depth)
      last = pointer_at(h.store.block(last), last_entry(h.store.block(last)));
    named = {
        {"root", root},
        {"interior", interior},
        {"leaf", pointer_at(h.store.block(interior), 0)},
        {"second_leaf", pointer_at(h.store.block(interior), second_entry(h.store.block(interior)))},
        {"last_leaf", last}};
    pristine = h.store;
  }
  // A row's steps change the store; "check" gives the fault found (or
  // "sound") and puts the sound store back. A node's offsets are those of
  // its block, header included.
  test::Verbs verbs() {
    auto node = [this](const test::Words &a) -> Bytes & {
      return h.store.block(named.at(a.at(0)));
    };
    auto n = [](const test::Words &a, size_t i) { return test::number(a.at(i)); };
    return {{"nodes",
             [=, this](const test::Words &) {
               std::string out = "the nodes";
               for (const auto &[name, at] : named)
                 out += "\n" + name + " at " + std::to_string(at.offset) + "/" +
                        std::to_string(at.segment) + ", entries at 3, " +
                        std::to_string(3 + second_entry(h.store.block(at))) + " .. " +
                        std::to_string(3 + last_entry(h.store.block(at)));
               return out;
             }},
            {"poke", test::act([=](const test::Words &a) {
               Bytes &b = node(a);
               store_be(test::be_field(b.data(), b.size(), n(a, 1), n(a, 2)),
                        static_cast<int>(n(a, 2)), static_cast<uint64_t>(n(a, 3)));
             })},
            {"fill", test::act([=](const test::Words &a) {
               std::fill(node(a).begin() + n(a, 1), node(a).begin() + n(a, 2),
                         static_cast<uint8_t>(n(a, 3)));
             })},
            {"flip", test::act([=](const test::Words &a) {
               node(a).at(static_cast<size_t>(n(a, 1))) ^= 1;
             })},
            {"bytes", test::act([=](const test::Words &a) {
               std::copy(a.at(2).begin(), a.at(2).end(), node(a).begin() + n(a, 1));
             })},
            {"erase", test::act([=, this](const test::Words &a) {
               h.store.blocks.erase(MemNodeStore::id(named.at(a.at(0))));
             })},
            {"fail_read", test::act([=, this](const test::Words &a) {
               h.store.fail_read_nth = static_cast<int>(n(a, 0));
             })},
            // key K ROOT_OFFSET ROOT_SEGMENT HEIGHT: key K's root moved.
            {"key", test::act([=, this](const test::Words &a) {
               KeyDesc &kd = h.store.key(static_cast<int>(n(a, 0)));
               kd.root_offset = static_cast<uint32_t>(n(a, 1));
               kd.root_segment = static_cast<uint16_t>(n(a, 2));
               kd.height = static_cast<uint8_t>(n(a, 3));
             })},
            {"check", [this](const test::Words &) {
               TreeCheckResult r;
               bool sound = check_trees(&h.store, &r);
               h.store = pristine;
               return sound ? std::string("sound")
                            : "fault " + std::to_string(r.code) + ": " + r.text.c_str();
             }}};
  }
  TreeHarness h{512, {key_desc(40, false), key_desc(6, true)}};
  std::map<std::string, SegAddr> named;
  MemNodeStore pristine{512, {}};
};

// A sound store gives the model's records, its nodes and bytes, also for
// one key alone; each damage its fault code.
TEST_F(TreeCheck, ASoundStoreAndEachDamage) {
  ASSERT_TRUE(h.verify());
  TreeCheckResult one;
  ASSERT_TRUE(check_key_tree(&h.store, 1, &one));
  EXPECT_EQ(40u, one.records.size());
  EXPECT_TRUE(test::run_rows("indexed/tree_damages.txt", verbs()));
}

int cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}

// One node's entry area, version 5 entries without duplicates.
struct Node {
  EntryLayout layout = entry_layout(5, false);
  int capacity;
  std::vector<uint8_t> area;
  int used = 0;
  explicit Node(int node_size)
      : capacity(node_size - kNodeHeaderSize), area(static_cast<size_t>(capacity), 0) {}
  NodeSearch search(const std::string &k) const {
    NodeSearch s;
    search_entries(area.data(), used, layout, u8(k), static_cast<int>(k.size()), 0, &s);
    return s;
  }
  // Inserts at the entry boundary `o`, or at the end; returns the growth.
  int insert(const std::string &k, int o = -1, int32_t pointer = 0) {
    return insert_entry(area.data(), &used, capacity, layout, o < 0 ? used : o, u8(k),
                        static_cast<int>(k.size()), pointer, 0, 0, nullptr);
  }
};

// Trailing spaces do not count; bytes compare unsigned; the high key is
// above every real key.
TEST(KeyCompare, SpacePaddingDecidesPrefixes) {
  auto k = [](const char *s) { return "\x01" + std::string(s); };
  const std::tuple<std::string, std::string, int> rows[] = {
      {k("AB"), k("AB  "), 0},  {k("AB\x01"), k("AB"), -1}, {k("AB!"), k("AB"), 1},
      {k("AB"), k("AB !"), -1}, {k("\xff"), k("\x01"), 1},  {"\x7f", k("\xff\xff"), 1}};
  for (const auto &[a, b, sign] : rows) EXPECT_EQ(sign, (cmp(a, b) > 0) - (cmp(a, b) < 0)) << a;
}

// After two nodes are merged, the second node's first entry sits in the
// middle, whole, though it shares bytes with the entry before it. A key
// inserted between them that shares those bytes too makes it give up more
// than the new entry takes: `used` shrinks, here by exactly one byte.
TEST(NodeFormat, InsertBeforeAWholeSharerShrinksTheNode) {
  Node node(512);
  const std::string x = "\x02" + std::string(10, 'A'), z = x.substr(0, 10) + "C",
                    w = x.substr(0, 10) + "B";
  for (const std::string &k : {x, z}) {
    Node single(512);
    single.insert(k);
    std::copy(single.area.begin(), single.area.begin() + single.used,
              node.area.begin() + node.used);
    node.used += single.used;
  }
  NodeSearch s = node.search(w);
  ASSERT_EQ(SR_GREATER, s.result);
  int used_before = node.used;
  // w costs 8 + 11 - 10 bytes; z gives up the 10 bytes it shares with w.
  EXPECT_EQ(-1, node.insert(w, s.position, -7));
  EXPECT_EQ(used_before - 1, node.used);
  EXPECT_EQ(0, node.area[static_cast<size_t>(node.used)]) << "the freed byte is zeroed";
  // The keys decode in order, z (now 8 + 1 bytes) last.
  EXPECT_EQ(s.position, node.search(w).position);
  for (const std::string &k : {x, w, z}) EXPECT_EQ(SR_EXACT, node.search(k).result) << k;
  EXPECT_EQ(node.used - 9, node.search(z).position);
  node.capacity = node.used;
  EXPECT_EQ(kInsertNoRoom, node.insert(x, 0)) << "a full node refuses what does not fit";
  // Keys longer together than the search memo holds: searched again, it
  // declines to remember the node, and the search decodes it as it is.
  Node wide(1024);
  auto long_key = [](int i) { return "\x01" + std::string(240, 'A') + std::to_string(100 + i); };
  for (int i = 0; i < 20; ++i) wide.insert(long_key(i));
  std::string k = long_key(17);
  for (int again = 0; again < 2; ++again) {
    NodeSearch m;
    search_entries_memo(wide.area.data(), wide.used, wide.layout, 7, u8(k),
                        static_cast<int>(k.size()), 0, &m);
    EXPECT_EQ(SR_EXACT, m.result);
    EXPECT_EQ(wide.search(k).position, m.position);
  }
}

}  // namespace
}  // namespace kel::indexed
