#include "indexed/format/node_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tree_harness.h"

namespace kel::indexed {
namespace {

// A full key: the key number byte, then the key bytes.
std::string key(const std::string &bytes, char number = 2) {
  return std::string(1, number) + bytes;
}

int cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}

size_t shared_prefix(const std::string &a, const std::string &b) {
  size_t n = 0;
  while (n < std::min(a.size(), b.size()) && a[n] == b[n]) ++n;
  return n;
}

TEST(KeyCompare, SpacePaddingDecidesPrefixes) {
  EXPECT_EQ(0, cmp(key("AB", 1), key("AB  ", 1)));
  EXPECT_LT(cmp(key("AB\x01", 1), key("AB", 1)), 0);
  EXPECT_GT(cmp(key("AB!", 1), key("AB", 1)), 0);
  EXPECT_LT(cmp(key("AB", 1), key("AB !", 1)), 0);
  EXPECT_GT(cmp("\x01\xff", "\x01\x01"), 0) << "bytes compare unsigned";
  EXPECT_GT(cmp("\x7f", "\x01\xff\xff"), 0) << "the high key is above every real key";
}

// A node model: entries in order, each (full key, dup, pointer).
using Item = std::tuple<std::string, uint32_t, int32_t>;

struct Node {
  EntryLayout layout;
  int capacity;
  std::vector<uint8_t> area;
  int used = 0;
  Node(int version, bool dups, int node_size)
      : layout(entry_layout(version, dups)),
        capacity(node_size - kNodeHeaderSize),
        area(static_cast<size_t>(capacity), 0) {}

  // The entries decoded; every entry borrows exactly what it shares with
  // its predecessor (the first entry nothing).
  std::vector<Item> items() const {
    std::vector<Item> out;
    FullKey k;
    uint32_t dup;
    int32_t broken = 0;
    int offset = 0;
    std::string prev;
    while (offset < used) {
      Entry e;
      EXPECT_TRUE(decode_entry(area.data(), used, offset, layout, &e, &broken));
      EXPECT_TRUE(key_at_offset(area.data(), used, layout, offset, &k, &dup, &broken));
      EXPECT_EQ(e.prefix, shared_prefix(prev, to_string(k))) << "entry at " << offset;
      out.emplace_back(to_string(k), dup, e.pointer);
      prev = to_string(k);
      offset += e.size;
    }
    EXPECT_EQ(offset, used);
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
  Entry entry(int offset) const {
    Entry e;
    EXPECT_TRUE(decode_entry(area.data(), used, offset, layout, &e, nullptr));
    return e;
  }
};

bool less_item(const Item &a, const Item &b) {
  int c = cmp(std::get<0>(a), std::get<0>(b));
  return c < 0 || (c == 0 && std::get<1>(a) < std::get<1>(b));
}

// Random keys of one key number, from a small alphabet so that neighbours
// share long prefixes.
std::string random_key(std::mt19937 &rng, int size) {
  std::string k(1, '\x02');
  const char alphabet[] = "AAB0 z";
  for (int i = 0; i < size; ++i) k += alphabet[rng() % 6];
  return k;
}

// Inserts and removes against a sorted vector. Every step checks the
// entries, their maximal prefix compression (so that an insert re-encodes
// its successor and a removal hands the lender's bytes to the borrower),
// that the returned growth is the change of `used`, and the zero tail.
TEST(NodeFormat, RandomInsertsAndRemovesMatchASortedModel) {
  std::mt19937 rng(42);
  for (int version : {3, 4, 5}) {
    for (bool dups : {false, true}) {
      for (int key_size : {1, 8, 40, 250}) {
        Node node(version, dups, key_size > 125 ? 2048 : 1024);
        std::vector<Item> model;
        // Every node on the right-most path ends with the high-key entry.
        ASSERT_GT(node.insert("\x7f"), 0);
        model.emplace_back("\x7f", 0, 0);
        uint32_t next_dup = 1;
        for (int step = 0; step < 400; ++step) {
          int used_before = node.used;
          if (model.size() > 1 && rng() % 3 == 0) {
            size_t victim = rng() % (model.size() - 1);
            auto [k, d, p] = model[victim];
            NodeSearch s = node.search(k, d);
            ASSERT_EQ(SR_EXACT, s.result);
            bool was_last;
            int32_t broken = 0;
            int freed = remove_entry(node.area.data(), &node.used, node.layout, s.position,
                                     &was_last, &broken);
            ASSERT_GT(freed, 0);
            EXPECT_EQ(used_before - freed, node.used);
            EXPECT_FALSE(was_last);
            model.erase(model.begin() + static_cast<long>(victim));
          } else {
            std::string k = random_key(rng, key_size);
            uint32_t d = dups ? next_dup++ : 0;
            NodeSearch s = node.search(k, d);
            Item item{k, d, -static_cast<int32_t>(1 + rng() % 100000)};
            auto pos = std::lower_bound(model.begin(), model.end(), item, less_item);
            if (s.result >= SR_EQUAL && !dups) {
              ASSERT_TRUE(pos != model.end() && cmp(std::get<0>(*pos), k) == 0);
              continue;
            }
            int grew = node.insert(k, s.position, std::get<2>(item), d);
            if (grew == kInsertNoRoom) {
              EXPECT_EQ(used_before, node.used);
              continue;
            }
            ASSERT_NE(kInsertDamaged, grew);
            EXPECT_EQ(used_before + grew, node.used);
            model.insert(pos, item);
          }
          std::vector<Item> got = node.items();
          ASSERT_EQ(model.size(), got.size()) << "v" << version << " step " << step;
          for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(0, cmp(std::get<0>(model[i]), std::get<0>(got[i])))
                << "entry " << i << " v" << version << " step " << step;
            ASSERT_EQ(std::get<1>(model[i]), std::get<1>(got[i]));
            ASSERT_EQ(std::get<2>(model[i]), std::get<2>(got[i]));
          }
          for (int i = node.used; i < node.capacity; ++i) ASSERT_EQ(0, node.area[i]);
        }
        // Every key is found where the model puts it.
        for (size_t i = 0; i + 1 < model.size(); ++i) {
          auto [k, d, p] = model[i];
          NodeSearch s = node.search(k, d);
          ASSERT_EQ(SR_EXACT, s.result);
          EXPECT_EQ(k, to_string(s.key));
          EXPECT_EQ(d, s.dup);
          NodeSearch first = node.search(k, 0);
          EXPECT_TRUE(first.equal_seen || first.result >= SR_EQUAL);
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
  std::string x = key("AAAAAAAAAA"), z = key("AAAAAAAAAC"), w = key("AAAAAAAAAB");
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
  // A full node still refuses an entry that does not fit.
  node.capacity = node.used;
  EXPECT_EQ(kInsertNoRoom, node.insert(x, 0));
}

TEST(NodeFormat, DamagedEntriesAreReportedWithTheirCodes) {
  Node node(5, false, 512);
  std::string k = key("ABCD");
  node.insert(k);
  struct Case {
    int at;
    uint8_t value;
  } cases[] = {{7, 2}, {6, 0}, {6, 200}};  // P of the first entry; L 0; L past `used`
  const int32_t codes[] = {kBrokenNoPrevious, kBrokenLength, kBrokenLength};
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> bad = node.area;
    bad[static_cast<size_t>(cases[i].at)] = cases[i].value;
    NodeSearch s;
    search_entries(bad.data(), node.used, node.layout, u8(k), 5, 0, &s);
    EXPECT_EQ(SR_ERROR, s.result);
    EXPECT_EQ(codes[i], s.broken);
    FullKey got;
    int32_t broken = 0;
    EXPECT_FALSE(key_at_offset(bad.data(), node.used, node.layout, 0, &got, nullptr, &broken));
    EXPECT_EQ(codes[i], broken);
  }
}

// An insert re-encodes the entry it lands in front of from the key before
// it: a successor that is damaged is refused, not re-encoded, whether the
// key before comes from a walk of the area or from the caller.
TEST(NodeFormat, InsertRefusesADamagedSuccessor) {
  Node node(5, false, 512);
  std::string w = key("ABCE");
  node.insert(key("ABCD"));
  node.insert(key("ABCF"));
  const int second = node.layout.overhead() + 5;  // the second entry, borrowing 4 bytes
  FullKey before;
  int32_t broken = 0;
  ASSERT_TRUE(
      key_at_offset(node.area.data(), node.used, node.layout, 0, &before, nullptr, &broken));
  struct Case {
    int offset;  // where the entry is inserted
    int p_at;    // the P byte made bad
    uint8_t p;   // its bad value
    int32_t code;
  } cases[] = {
      {second, second + 7, 6, kBrokenPrefix},  // borrows more than its predecessor has
      {0, 7, 1, kBrokenNoPrevious},            // the first entry borrows
  };
  for (const Case &c : cases) {
    for (bool known : {false, true}) {
      SCOPED_TRACE(std::to_string(c.code) + (known ? " known" : " walked"));
      std::vector<uint8_t> bad = node.area;
      bad[static_cast<size_t>(c.p_at)] = c.p;
      int used = node.used;
      broken = 0;
      int grew = known ? insert_entry_after(bad.data(), &used, node.capacity, node.layout, c.offset,
                                            before, u8(w), 5, 0, 0, 0, &broken)
                       : insert_entry(bad.data(), &used, node.capacity, node.layout, c.offset,
                                      u8(w), 5, 0, 0, 0, &broken);
      EXPECT_EQ(kInsertDamaged, grew);
      EXPECT_EQ(c.code, broken);
      EXPECT_EQ(node.used, used);
    }
  }
  // Sound, both forms give the same bytes.
  Node told = node;
  node.insert(w, second, -3);
  insert_entry_after(told.area.data(), &told.used, told.capacity, told.layout, second, before,
                     u8(w), 5, -3, 0, 0, nullptr);
  EXPECT_EQ(node.used, told.used);
  EXPECT_EQ(node.area, told.area);
}

}  // namespace
}  // namespace kel::indexed
