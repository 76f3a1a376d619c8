// The node format: key comparison with space padding; random inserts and
// removes in one node against a sorted model, with maximal prefix
// compression checked entry by entry; the search inside a node against a
// reference that rebuilds every full key. (Damaged entries: the fuzz
// target of the engine.)
#include <algorithm>

#include "common/random_driver.h"
#include "indexed/format/node_format.h"
#include "indexed/tree_store.h"

namespace kel::indexed {
namespace {

using Item = std::tuple<std::string, uint32_t, int32_t>;  // full key, dup, pointer

int cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}
bool less_item(const Item &a, const Item &b) {
  int c = cmp(std::get<0>(a), std::get<0>(b));
  return c < 0 || (c == 0 && std::get<1>(a) < std::get<1>(b));
}
// Keys of key number 2 from a small alphabet with spaces, so that
// neighbours share long prefixes and differ in padding.
std::string random_key(std::mt19937 &rng, int size) {
  std::string k(1, '\x02');
  for (int i = 0; i < size; ++i) k += "AAB0 z"[rng() % 6];
  return k;
}

struct Node {
  EntryLayout layout;
  int capacity;
  std::vector<uint8_t> area;
  int used = 0;
  Node(int version, bool dups, int node_size)
      : layout(entry_layout(version, dups)),
        capacity(node_size - kNodeHeaderSize),
        area(static_cast<size_t>(capacity), 0) {}

  // The entries decoded; each must borrow exactly what it shares with its
  // predecessor (the first nothing).
  std::vector<Item> items() const {
    std::vector<Item> out;
    std::string prev;
    int32_t broken = 0;
    for (int offset = 0; offset < used;) {
      Entry e;
      FullKey k;
      uint32_t dup;
      EXPECT_TRUE(decode_entry(area.data(), used, offset, layout, &e, &broken));
      EXPECT_TRUE(key_at_offset(area.data(), used, layout, offset, &k, &dup, &broken));
      size_t shared = 0;
      while (shared < prev.size() && shared < to_string(k).size() &&
             prev[shared] == to_string(k)[shared])
        ++shared;
      EXPECT_EQ(e.prefix, shared) << "entry at " << offset;
      out.emplace_back(to_string(k), dup, e.pointer);
      prev = to_string(k);
      offset += e.size;
    }
    return out;
  }
  NodeSearch search(const std::string &k, uint32_t dup) const {
    NodeSearch s;
    search_entries(area.data(), used, layout, u8(k), static_cast<int>(k.size()), dup, &s);
    return s;
  }
  // Inserts at the entry boundary `o`, or at the end; returns the growth.
  int insert(const std::string &k, int o = -1, int32_t pointer = 0, uint32_t dup = 0) {
    return insert_entry(area.data(), &used, capacity, layout, o < 0 ? used : o, u8(k),
                        static_cast<int>(k.size()), pointer, 0, dup, nullptr);
  }
};

TEST(KeyCompare, SpacePaddingDecidesPrefixes) {
  EXPECT_EQ(0, cmp("\x01"
                   "AB",
                   "\x01"
                   "AB  "));
  EXPECT_LT(cmp("\x01"
                "AB\x01",
                "\x01"
                "AB"),
            0);
  EXPECT_GT(cmp("\x01"
                "AB!",
                "\x01"
                "AB"),
            0);
  EXPECT_LT(cmp("\x01"
                "AB",
                "\x01"
                "AB !"),
            0);
  EXPECT_GT(cmp("\x01\xff", "\x01\x01"), 0) << "bytes compare unsigned";
  EXPECT_GT(cmp("\x7f", "\x01\xff\xff"), 0) << "the high key is above every real key";
}

// Inserts and removes against a sorted vector, in every version, with and
// without duplicates, keys of 1 to 250 bytes. Every step checks the
// entries and their maximal prefix compression (an insert re-encodes its
// successor, a removal hands the lender's bytes to the borrower), that the
// returned growth is the change of `used`, and the zero tail; at the end
// every key is found where the model puts it.
TEST(NodeFormat, RandomInsertsAndRemovesMatchASortedModel) {
  for (int version : {3, 4, 5}) {
    for (bool dups : {false, true}) {
      for (int key_size : {1, 8, 40, 250}) {
        SCOPED_TRACE("v" + std::to_string(version) + " key " + std::to_string(key_size));
        test::RandomRun run(42, 400);
        Node node(version, dups, key_size > 125 ? 2048 : 1024);
        // Every node on the right-most path ends with the high-key entry.
        ASSERT_GT(node.insert("\x7f"), 0);
        std::vector<Item> model = {{"\x7f", 0, 0}};
        uint32_t next_dup = 1;
        auto insert = [&] {
          std::string k = random_key(run.rng(), key_size);
          uint32_t d = dups ? next_dup++ : 0;
          NodeSearch s = node.search(k, d);
          Item item{k, d, -static_cast<int32_t>(1 + run.below(100000))};
          auto pos = std::lower_bound(model.begin(), model.end(), item, less_item);
          if (s.result >= SR_EQUAL && !dups) {
            ASSERT_TRUE(pos != model.end() && cmp(std::get<0>(*pos), k) == 0);
            return;
          }
          int before = node.used;
          int grew = node.insert(k, s.position, std::get<2>(item), d);
          ASSERT_NE(kInsertDamaged, grew);
          if (grew == kInsertNoRoom) {
            ASSERT_EQ(before, node.used);
            return;
          }
          ASSERT_EQ(before + grew, node.used);
          model.insert(pos, item);
        };
        auto remove = [&] {
          if (model.size() < 2) return;
          size_t victim = run.below(model.size() - 1);
          auto [k, d, p] = model[victim];
          NodeSearch s = node.search(k, d);
          ASSERT_EQ(SR_EXACT, s.result);
          bool was_last;
          int32_t broken = 0;
          int before = node.used;
          int freed = remove_entry(node.area.data(), &node.used, node.layout, s.position, &was_last,
                                   &broken);
          ASSERT_GT(freed, 0);
          ASSERT_EQ(before - freed, node.used);
          ASSERT_FALSE(was_last);
          model.erase(model.begin() + static_cast<long>(victim));
        };
        auto check = [&] {
          std::vector<Item> got = node.items();
          ASSERT_EQ(model.size(), got.size());
          for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(0, cmp(std::get<0>(model[i]), std::get<0>(got[i]))) << "entry " << i;
            ASSERT_EQ(std::get<1>(model[i]), std::get<1>(got[i]));
            ASSERT_EQ(std::get<2>(model[i]), std::get<2>(got[i]));
          }
          for (int i = node.used; i < node.capacity; ++i) ASSERT_EQ(0, node.area[i]);
        };
        ASSERT_TRUE(
            run.run({{"insert", 2, insert}, {"remove", 1, remove}}, run.operations(), check));
        for (size_t i = 0; i + 1 < model.size(); ++i) {
          auto [k, d, p] = model[i];
          NodeSearch s = node.search(k, d);
          ASSERT_EQ(SR_EXACT, s.result);
          EXPECT_EQ(k, to_string(s.key));
          EXPECT_EQ(d, s.dup);
        }
      }
    }
  }
}

// Random nodes of keys 0 to 30 bytes long (equal keys also by padding,
// ordered by number) searched for keys shorter and longer than what the
// entries borrow: result, position, the entry before and the key handed
// over for an insertion, against the first item not less by whole keys.
TEST(NodeSearch, RandomNodesMatchAWholeKeyReference) {
  std::mt19937 rng(5);
  auto key = [&] {
    std::string k(1, '\x03');
    for (int i = static_cast<int>(rng() % 31); i > 0; --i) k += "AB  0"[rng() % 5];
    return k;
  };
  for (int version : {3, 4, 5}) {
    for (bool dups : {false, true}) {
      EntryLayout layout = entry_layout(version, dups);
      for (int round = 0; round < 300; ++round) {
        std::vector<Item> items;
        for (int i = 1 + static_cast<int>(rng() % 40); i > 0; --i)
          items.emplace_back(key(), dups ? rng() % 5 : 0, -7);
        std::sort(items.begin(), items.end(), less_item);
        items.erase(std::unique(items.begin(), items.end(),
                                [](const Item &a, const Item &b) {
                                  return !less_item(a, b) && !less_item(b, a);
                                }),
                    items.end());
        std::vector<uint8_t> area(4096, 0);
        int used = 0;
        std::vector<int> offsets;
        for (const auto &[k, d, p] : items) {
          offsets.push_back(used);
          ASSERT_GE(insert_entry(area.data(), &used, 4096, layout, used, u8(k),
                                 static_cast<int>(k.size()), p, 0, d, nullptr),
                    0);
        }
        for (int probe = 0; probe < 20; ++probe) {
          std::string k = probe % 4 == 0 ? std::get<0>(items[rng() % items.size()]) : key();
          uint32_t dup = dups ? rng() % 6 : 0;
          NodeSearch s;
          s.want_before = probe % 5 != 0;
          search_entries(area.data(), used, layout, u8(k), static_cast<int>(k.size()), dup, &s);
          // The reference: the first item not less than (k, dup).
          int result = SR_PAST_END;
          size_t at = 0;
          bool equal_seen = false;
          for (; at < items.size(); ++at) {
            int c = cmp(k, std::get<0>(items[at]));
            equal_seen = equal_seen || c == 0;
            if (c < 0 || (c == 0 && dup <= std::get<1>(items[at]))) {
              result = c < 0 ? SR_GREATER : std::get<1>(items[at]) == dup ? SR_EXACT : SR_EQUAL;
              break;
            }
          }
          ASSERT_EQ(result, s.result) << "round " << round << " probe " << probe;
          ASSERT_EQ(equal_seen, s.equal_seen);
          ASSERT_EQ(at < items.size() ? offsets[at] : used, s.position);
          ASSERT_EQ(at > 0 ? offsets[at - 1] : -1, s.previous);
          if (result >= SR_GREATER) {
            ASSERT_EQ(std::get<0>(items[at]), to_string(s.key));
            ASSERT_EQ(std::get<1>(items[at]), s.dup);
          }
          ASSERT_EQ(s.want_before && s.previous >= 0, s.before_known);
          if (s.before_known) {
            ASSERT_EQ(std::get<0>(items[at - 1]), to_string(s.before));
          }
        }
      }
    }
  }
}

// After two nodes are merged, the second node's first entry sits in the
// middle, whole, though it shares bytes with the entry before it. A key
// inserted between them that shares those bytes too makes it give up more
// than the new entry takes: `used` shrinks, here by exactly one byte.
TEST(NodeFormat, InsertBeforeAWholeSharerShrinksTheNode) {
  Node node(5, false, 512);
  std::string x = "\x02"
                  "AAAAAAAAAA",
              z = "\x02"
                  "AAAAAAAAAC",
              w = "\x02"
                  "AAAAAAAAAB";
  for (const std::string &k : {x, z}) {
    Node single(5, false, 512);
    single.insert(k);
    std::copy(single.area.begin(), single.area.begin() + single.used,
              node.area.begin() + node.used);
    node.used += single.used;
  }
  NodeSearch s = node.search(w, 0);
  ASSERT_EQ(SR_GREATER, s.result);
  int used_before = node.used;
  // w costs 8 + 11 - 10 bytes; z gives up the 10 bytes it shares with w.
  EXPECT_EQ(-1, node.insert(w, s.position, -7));
  EXPECT_EQ(used_before - 1, node.used);
  EXPECT_EQ(0, node.area[static_cast<size_t>(node.used)]) << "the freed byte is zeroed";
  std::vector<Item> items = node.items();
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(w, std::get<0>(items[1]));
  EXPECT_EQ(z, std::get<0>(items[2]));
  node.capacity = node.used;
  EXPECT_EQ(kInsertNoRoom, node.insert(x, 0)) << "a full node refuses what does not fit";
}

}  // namespace
}  // namespace kel::indexed
