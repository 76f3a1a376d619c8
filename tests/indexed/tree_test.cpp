// Fixed cases of the B-trees beyond the model: every store call and
// allocation of additions and removals failing in turn; and as rows of
// tree_rows.txt key comparison with space padding, an insertion that
// shrinks a node, the search memo declining a node of long keys, the trace
// lines of split and combine, an entry added twice or removed when it is
// not there, a root split after the root was lowered, verified reads on
// trees changed under them, an overlong entry skipped, and each fault the
// structural check must find.
// (Node bytes: images_test; entries, prefixes and searches at random: the
// access model; damaged trees: the fuzz target of the engine.)
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/call_script.h"
#include "common/fails.h"
#include "common/faults.h"
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
    if (trip(&fail_nth[0])) return fail(E_SYSERR, 0);
    auto it = blocks.find(id(at));
    // A missing block, or one shorter than a node (a row's own node of
    // another size), is a short read.
    if (it == blocks.end() || it->second.size() < static_cast<size_t>(node_size_))
      return fail(E_BROKEN, 9);
    memcpy(block, it->second.data(), static_cast<size_t>(node_size_));
    return true;
  }
  bool write_node(SegAddr at, const uint8_t *block) override {
    if (trip(&fail_nth[1])) return fail(E_DISK_FULL, 0);
    blocks[id(at)].assign(block, block + node_size_);
    return true;
  }
  bool allocate_node(SegAddr *at) override {
    if (trip(&fail_nth[2])) return fail(E_DISK_FULL, 0);
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
    if (trip(&fail_nth[3])) return fail(E_DISK_FULL, 0);
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
    if (trip(&fail_nth[4])) return fail(E_DISK_FULL, 0);
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
  int fail_nth[5] = {};  // reads, writes, allocations, frees, root updates

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

// Each call the store gets in an addition or a removal fails in turn
// (reads with E_SYSERR, writes, allocations, frees and root updates with
// E_DISK_FULL), as the tree grows to three levels and shrinks to nothing:
// the operation fails with the store's error and keeps no memory. What
// reached the store stays (a broken or full file, not an undo), so each
// run starts from a copy. Then each of its memory allocations fails in
// turn: E_NO_MEMORY, and the store exactly as it was.
TEST(Tree, EachStoreCallFailingInTurnFailsTheOperationCleanly) {
  TreeHarness h(512, {key_desc(100, true)});
  *fs_error_code() = 0;  // the error block lives as long as the process: made before counting
  const int16_t codes[] = {E_SYSERR, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL};
  int failures = 0;
  auto each_call_failing = [&](const std::function<bool()> &op) {
    for (size_t kind = 0; kind < 5; ++kind) {
      for (int n = 1;; ++n) {
        const MemNodeStore before = h.store;
        const std::vector<Model> models = h.models;
        int64_t live = alloc_live_blocks();
        h.store.fail_nth[kind] = n;
        bool ok = op();
        bool tripped = h.store.fail_nth[kind] == 0;
        h.store.fail_nth[kind] = 0;
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
  for (int i = 0; i < 40; ++i)
    each_call_failing(
        [&] { return h.sub(0, key(i * 13 % 40), static_cast<uint32_t>(i * 13 % 40)); });
  EXPECT_EQ(0u, h.store.key_desc(0).root_offset);
  EXPECT_GT(failures, 500);
}

// Rows of tree_rows.txt on the in-memory store. "tree SIZE LENGTH..."
// makes an empty store of one key per length (a trailing d: duplicates);
// values are words (A~100: 100 A's), a record an offset and a segment.
// Nodes are named by their place ("name N": key 0's root; "name N FROM AT":
// the child the entry at AT of node FROM leads to) and changed byte by
// byte at offsets in the block, header included; "keep" keeps the store
// as it is ("same" compares with it, also from a new tree), and "check"
// gives the structural check's fault (or what a sound store holds) and
// puts the kept store back. What the operations write on the error output
// (trace lines, the verified reads' ">>AR DBG" lines) follows each row.
class TreeRows : public ::testing::Test {
 protected:
  static constexpr const char *kResults[] = {"error",   "empty", "past end",
                                             "greater", "equal", "exact"};
  static std::string where(SegAddr a) {
    return std::to_string(a.offset) + "/" + std::to_string(a.segment);
  }
  // Entry offsets of a node of v5 entries without duplicates (pointer 4,
  // segment 2, L, P, L - 1 suffix bytes), header included. A used length
  // or entry length damaged by a row stops the list at the block's end.
  static std::vector<int> entries(const Bytes &b) {
    std::vector<int> out;
    if (b.size() < 3) return out;  // no node there
    for (size_t at = 3; at < 3u + load_be16(b.data() + 1) && at + 6 < b.size() && b[at + 6] > 0;
         at += 8u + b[at + 6] - 1)
      out.push_back(static_cast<int>(at));
    return out;
  }
  Bytes &node(const test::Words &a) { return h->store.block(named.at(a.at(0))); }
  // The node's bytes with its used length checked against them, for the
  // verbs that read its entries: a row's damage fails the row instead of
  // reading past the block.
  Bytes &node_in_bounds(const test::Words &a) {
    Bytes &b = node(a);
    if (b.size() < 3 || load_be16(b.data() + 1) > b.size() - 3)
      throw std::out_of_range("the used length of " + a.at(0) + " runs past its bytes");
    return b;
  }
  // A node size the engine's one node buffer holds.
  static int node_size(const test::Words &a, size_t i) {
    if (n(a, i) < 8 || n(a, i) > kMaxNodeSize)
      throw std::out_of_range("no node of " + a[i] + " bytes");
    return static_cast<int>(n(a, i));
  }
  static int64_t n(const test::Words &a, size_t i) { return test::number(a.at(i)); }
  std::string outcome(bool ok) {
    return ok ? "1"
              : "failed " + std::to_string(*fs_error_code()) + "/" +
                    std::to_string(*fs_error_secondary());
  }

  test::Verbs verbs() {
    return {
        {"tree", test::act([this](const test::Words &a) {
           const int size = node_size(a, 0);
           std::vector<KeyDesc> keys;
           for (size_t i = 1; i < a.size(); ++i)
             keys.push_back(key_desc(static_cast<int>(n(a, i)), a[i].back() == 'd'));
           h.reset();
           kept.reset();
           named.clear();  // names of the last tree's nodes go with it
           h = std::make_unique<TreeHarness>(size, keys);
           *fs_error_code() = 0;
         })},
        {"add",
         [this](const test::Words &a) {
           return outcome(h->add(static_cast<int>(n(a, 0)), a.at(1), static_cast<uint32_t>(n(a, 2)),
                                 SegAddr{static_cast<int32_t>(n(a, 3)),
                                         static_cast<uint16_t>(a.size() > 4 ? n(a, 4) : 0)}));
         }},
        {"sub",
         [this](const test::Words &a) {
           return outcome(
               h->sub(static_cast<int>(n(a, 0)), a.at(1), static_cast<uint32_t>(n(a, 2))));
         }},
        // A three-level tree of 300 40-byte keys and 40 6-byte duplicates.
        {"sample",
         [this](const test::Words &) {
           auto value = [](int i) {
             std::string s = std::to_string(100000 + i * 3);
             while (s.size() < 40)
               s += static_cast<char>('a' + (i * 7 + static_cast<int>(s.size())) % 26);
             return s;
           };
           bool ok = true;
           for (int i = 0; i < 300; ++i)
             ok = ok && h->add(0, value((i * 37) % 300), 0, SegAddr{-(2048 + 64 * i), 2});
           for (int i = 0; i < 40; ++i)
             ok = ok && h->add(1, value(i).substr(0, 6), static_cast<uint32_t>(i % 7),
                               SegAddr{-(2048 + 64 * i), 1});
           return outcome(ok);
         }},
        // key K: its root and height; key K OFFSET SEGMENT HEIGHT sets them.
        {"key",
         [this](const test::Words &a) {
           KeyDesc &kd = h->store.key(static_cast<int>(n(a, 0)));
           if (a.size() > 1) {
             kd.root_offset = static_cast<uint32_t>(n(a, 1));
             kd.root_segment = static_cast<uint16_t>(n(a, 2));
             kd.height = static_cast<uint8_t>(n(a, 3));
           }
           return "root " + where(h->store.root(static_cast<int>(n(a, 0)))) + " height " +
                  std::to_string(kd.height);
         }},
        {"name",
         [this](const test::Words &a) {
           SegAddr at = h->store.root(0);
           if (a.size() > 1) {
             Bytes &from = h->store.block(named.at(a[1]));
             const uint8_t *pointer = test::be_field(from.data(), from.size(), n(a, 2), 6);
             at = SegAddr{static_cast<int32_t>(load_be32(pointer)), load_be16(pointer + 4)};
           }
           std::string out = where(named[a.at(0)] = at) + ", entries at";
           for (int e : entries(h->store.block(at))) out += " " + std::to_string(e);
           return out;
         }},
        {"poke", test::act([this](const test::Words &a) {
           Bytes &b = node(a);
           store_be(test::be_field(b.data(), b.size(), n(a, 1), n(a, 2)), static_cast<int>(n(a, 2)),
                    static_cast<uint64_t>(n(a, 3)));
         })},
        {"fill", test::act([this](const test::Words &a) {
           Bytes &b = node(a);
           if (n(a, 1) < 0 || n(a, 1) > n(a, 2) || static_cast<size_t>(n(a, 2)) > b.size())
             throw std::out_of_range("no bytes " + a[1] + " to " + a[2] + " in the node");
           std::fill(b.begin() + n(a, 1), b.begin() + n(a, 2), static_cast<uint8_t>(n(a, 3)));
         })},
        {"flip", test::act([this](const test::Words &a) {
           node(a).at(static_cast<size_t>(n(a, 1))) ^= 1;
         })},
        // entry NODE AT POINTER L P SUFFIX: an entry head and its suffix;
        // where the next entry begins.
        {"entry",
         [this](const test::Words &a) {
           Bytes &b = node(a);
           EntryLayout layout = entry_layout(5, false);
           // Checked before the head is written: it may end past the block.
           if (n(a, 1) < 0 ||
               static_cast<size_t>(n(a, 1) + layout.overhead()) + a.at(5).size() > b.size())
             throw std::out_of_range("the entry at " + a[1] + " runs past the node");
           encode_entry_head(&b.at(static_cast<size_t>(n(a, 1))), layout,
                             static_cast<int32_t>(n(a, 2)), 0, 0, static_cast<uint8_t>(n(a, 3)),
                             static_cast<uint8_t>(n(a, 4)));
           std::copy(a[5].begin(), a[5].end(), b.begin() + n(a, 1) + layout.overhead());
           return std::to_string(n(a, 1) + layout.overhead() + static_cast<int64_t>(a[5].size()));
         }},
        // node NAME SIZE: an empty node beside the tree's.
        {"node", test::act([this](const test::Words &a) {
           const auto size = static_cast<size_t>(node_size(a, 1));
           SegAddr at{static_cast<int32_t>(1 << 24) + static_cast<int32_t>(named.size()) * 4096, 0};
           h->store.block(named[a.at(0)] = at).assign(size, 0);
         })},
        // insert NAME AT|end ROOM|- VALUE...: the key's entry (the value as
        // runs) inserted at the entry boundary AT into ROOM bytes of entries
        // (-: all the node's): the growth, the used length after, and the
        // byte after the entries.
        {"insert",
         [this](const test::Words &a) {
           Bytes &b = node_in_bounds(a);
           int used = load_be16(b.data() + 1);
           std::string key = '\0' + test::from_runs(a, 3);
           const int room = static_cast<int>(a.at(2) != "-" ? n(a, 2) : b.size() - 3);
           const int at = a[1] == "end" ? used : static_cast<int>(n(a, 1)) - 3;
           if (used < 0 || used > room || room > static_cast<int>(b.size()) - 3 || at < 0 ||
               at > used)
             throw std::out_of_range("no entry boundary " + a[1] + " in room " + a[2]);
           int growth = insert_entry(b.data() + 3, &used, room, entry_layout(5, false), at, u8(key),
                                     static_cast<int>(key.size()), 0, 0, 0, nullptr);
           store_be16(b.data() + 1, static_cast<uint16_t>(used));
           return (growth == kInsertNoRoom ? "no room" : std::to_string(growth)) + ", used " +
                  std::to_string(used) + ", then " +
                  std::to_string(b.at(static_cast<size_t>(3 + used)));
         }},
        // compare A B: how full key A orders against B (-1, 0, 1).
        {"compare",
         [](const test::Words &a) {
           int c = compare_keys(u8(a.at(0)), static_cast<int>(a[0].size()), u8(a.at(1)),
                                static_cast<int>(a[1].size()));
           return std::to_string((c > 0) - (c < 0));
         }},
        {"erase", test::act([this](const test::Words &a) {
           h->store.blocks.erase(MemNodeStore::id(named.at(a.at(0))));
         })},
        {"fail_read", test::act([this](const test::Words &a) {
           h->store.fail_nth[0] = static_cast<int>(n(a, 0));
         })},
        {"keep", test::act([this] {
           kept = std::make_unique<MemNodeStore>(h->store);
           kept_image = kept->image();
         })},
        {"same",
         [this](const test::Words &) {
           return std::string(kept_image == h->store.image() ? "same" : "differs");
         }},
        // check [K]: every tree, or key K's alone.
        {"check",
         [this](const test::Words &a) {
           TreeCheckResult r;
           bool sound = a.empty() ? check_trees(&h->store, &r)
                                  : check_key_tree(&h->store, static_cast<int>(n(a, 0)), &r);
           if (kept) h->store = *kept;
           return sound ? "sound, " + std::to_string(r.records.size()) + " records in " +
                              std::to_string(r.nodes.size()) + " nodes"
                        : "fault " + std::to_string(r.code) + ": " + r.text.c_str();
         }},
        {"verify",
         [this](const test::Words &) {
           ::testing::AssertionResult r = h->verify();
           return r ? std::string("as the model") : std::string(r.message());
         }},
        {"trace", test::act([](const test::Words &a) {
           set_trace_bits(a.at(0) == "on" ? uint32_t{kTraceTree} : 0u);
         })},
        // find K VALUE [verified [debug]]: vi_find_key's result and the leaf it
        // stopped in, the verified-read counters, the error code, and whether
        // the flags outlived the operation.
        {"find",
         [this](const test::Words &a) {
           TreeContext &c = h->ctx;
           c.verified = a.size() > 2;
           c.debug_output = a.size() > 3;
           *fs_error_code() = 0;
           NodePosition pos;
           int r = vi_find_key(&c, u8(TreeHarness::search_key(static_cast<int>(n(a, 0)), a.at(1))),
                               0, &pos);
           std::string out = std::string(kResults[r]) + " at " + where(pos.node) + ", mismatches " +
                             std::to_string(c.counters.find_key_mismatches) + ", other blocks " +
                             std::to_string(c.counters.non_bnode_blocks) + ", error " +
                             std::to_string(*fs_error_code());
           vi_end_operation(&c);
           return out + (c.verified ? ", still verified" : "");
         }},
        // A deletion that lowered the root re-keys an entry of the new root and
        // splits it in the same operation: the search path as it leaves it (the
        // old root one level down, nothing above it), then the insertion of the
        // key. The new root takes the free level above instead of shifting the
        // path down.
        {"lowered_insert",
         [this](const test::Words &a) {
           TreeContext &c = h->ctx;
           std::string sk = TreeHarness::search_key(0, a.at(0));
           if (sk.size() - 1 > sizeof FullKey::bytes)
             throw std::out_of_range("a key longer than the full key's bytes");
           NodePosition pos;
           if (vi_find_key(&c, u8(sk), 0, &pos) != SR_GREATER) return std::string("not greater");
           c.path[1] = c.path[0];
           c.path[0] = kNoNode;
           c.root_depth = pos.depth = 1;
           FullKey k;
           k.length = static_cast<uint8_t>(sk.size() - 1);
           memcpy(k.bytes, sk.data() + 1, sk.size() - 1);
           bool ok = vi_node_insert(&c, k, 0, SegAddr{static_cast<int32_t>(n(a, 1)), 0}, &pos);
           std::string out =
               outcome(ok) + ": root depth " + std::to_string(c.root_depth) + ", shift " +
               std::to_string(c.depth_shift) + ", leaf depth " + std::to_string(pos.depth) +
               (c.path[0] == h->store.root(0) ? ", the root first" : ", another first") +
               (c.path[1] == pos.node ? ", the leaf second" : ", another second");
           vi_end_operation(&c);
           return out;
         }},
        // search NODE VALUE...: the node's entries searched for the key (the
        // value as runs), wanting the one before it: the result, the entry
        // stopped at and the one before, whether the full key before was
        // rebuilt; then the interior-node memo's search, three times.
        {"search", [this](const test::Words &a) {
           const Bytes &b = node_in_bounds(a);
           std::string key = '\0' + test::from_runs(a, 1), out;
           for (int memo = 0; memo < 4; ++memo) {
             NodeSearch s;
             s.want_before = true;
             if (memo)
               search_entries_memo(b.data() + 3, load_be16(b.data() + 1), entry_layout(5, false),
                                   99, u8(key), static_cast<int>(key.size()), 0, &s);
             else
               search_entries(b.data() + 3, load_be16(b.data() + 1), entry_layout(5, false),
                              u8(key), static_cast<int>(key.size()), 0, &s);
             out += std::string(memo ? "; memo " : "") + kResults[s.result] + " at " +
                    std::to_string(3 + s.position) + " after " +
                    (s.previous < 0 ? "none" : std::to_string(3 + s.previous)) +
                    (s.before_known ? ", before known" : "");
           }
           return out;
         }}};
  }

  std::unique_ptr<TreeHarness> h;
  std::unique_ptr<MemNodeStore> kept;
  std::string kept_image;  // outlives a new tree, for "same"
  std::map<std::string, SegAddr> named;
};

// Key comparison, nodes built entry by entry, splits and combines with
// their trace lines, a root split after the root was lowered, verified
// reads on trees changed under them, an overlong entry skipped, and the
// structural check's faults.
TEST_F(TreeRows, SplitsCombinesVerifiedReadsAndDamages) {
  test::StderrCapture said;
  size_t shown = 0;
  EXPECT_TRUE(test::run_rows("indexed/tree_rows.txt", verbs(), [&] {
    std::string text = said.text(), out = text.substr(shown);
    shown = text.size();
    return h ? test::replace_all(out, test::pointer_text(h->ctx.node.buf), "<node buffer>") : out;
  }));
}

}  // namespace
}  // namespace kel::indexed
