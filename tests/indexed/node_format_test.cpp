#include "indexed/node_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace kel::indexed {
namespace {

std::string full(const FullKey &k) {
  return std::string(reinterpret_cast<const char *>(k.bytes), static_cast<size_t>(k.length));
}

const uint8_t *u8(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

int cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}

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

  std::vector<Item> items() const {
    std::vector<Item> out;
    FullKey key;
    uint32_t dup;
    int32_t broken = 0;
    int offset = 0;
    std::string prev;
    while (offset < used) {
      Entry e;
      EXPECT_TRUE(decode_entry(area.data(), used, offset, layout, &e, &broken));
      EXPECT_TRUE(key_at_offset(area.data(), used, layout, offset, &key, &dup, &broken));
      std::string k = full(key);
      // Every entry borrows no more than it shares with its predecessor.
      size_t shared = 0;
      while (shared < std::min(prev.size(), k.size()) && prev[shared] == k[shared]) ++shared;
      EXPECT_LE(e.prefix, shared);
      out.emplace_back(k, dup, e.pointer);
      prev = k;
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

TEST(NodeFormat, RandomInsertsAndRemovesMatchASortedModel) {
  std::mt19937 rng(42);
  for (int version : {3, 4, 5}) {
    for (bool dups : {false, true}) {
      for (int key_size : {1, 8, 40, 250}) {
        Node node(version, dups, key_size > 125 ? 2048 : 1024);
        std::vector<Item> model;
        // Every node on the right-most path ends with the high-key entry.
        std::string high = "\x7f";
        ASSERT_GT(insert_entry(node.area.data(), &node.used, node.capacity, node.layout, 0,
                               u8(high), 1, 0, 0, 0, nullptr),
                  0);
        model.emplace_back(high, 0, 0);
        uint32_t next_dup = 1;
        for (int step = 0; step < 400; ++step) {
          bool remove = model.size() > 1 && rng() % 3 == 0;
          if (remove) {
            size_t victim = rng() % (model.size() - 1);
            auto [k, d, p] = model[victim];
            NodeSearch s = node.search(k, d);
            ASSERT_EQ(SR_EXACT, s.result);
            bool was_last;
            int32_t broken = 0;
            ASSERT_GT(remove_entry(node.area.data(), &node.used, node.layout, s.position, &was_last,
                                   &broken),
                      0);
            EXPECT_FALSE(was_last);
            model.erase(model.begin() + static_cast<long>(victim));
          } else {
            std::string k = random_key(rng, key_size);
            uint32_t d = dups ? next_dup++ : 0;
            NodeSearch s = node.search(k, d);
            bool present = s.result >= SR_EQUAL && !dups;
            Item item{k, d, -static_cast<int32_t>(1 + rng() % 100000)};
            auto pos = std::lower_bound(model.begin(), model.end(), item, less_item);
            if (present) {
              ASSERT_TRUE(pos != model.end() && cmp(std::get<0>(*pos), k) == 0);
              continue;
            }
            int32_t broken = 0;
            int grew = insert_entry(node.area.data(), &node.used, node.capacity, node.layout,
                                    s.position, u8(k), static_cast<int>(k.size()),
                                    std::get<2>(item), static_cast<uint16_t>(step), d, &broken);
            if (grew == kInsertNoRoom) {
              // Full: take out a few entries and go on.
              continue;
            }
            ASSERT_NE(kInsertDamaged, grew);
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
          // The bytes after `used` stay zero.
          for (int i = node.used; i < node.capacity; ++i) ASSERT_EQ(0, node.area[i]);
        }
        // Every key is found where the model puts it.
        for (size_t i = 0; i + 1 < model.size(); ++i) {
          auto [k, d, p] = model[i];
          NodeSearch s = node.search(k, d);
          ASSERT_EQ(SR_EXACT, s.result);
          EXPECT_EQ(k, full(s.key));
          EXPECT_EQ(d, s.dup);
          NodeSearch first = node.search(k, 0);
          EXPECT_TRUE(first.equal_seen || first.result >= SR_EQUAL);
        }
      }
    }
  }
}

// Searches of keys that are absent stop at the first greater entry, and
// a key above every real key stops at the high-key entry, never past it.
TEST(NodeFormat, SearchStopsAtTheRightEntry) {
  Node node(5, false, 512);
  std::vector<std::string> keys = {
      "\x02"
      "AAAA",
      "\x02"
      "AAAB",
      "\x02"
      "AB  ",
      "\x02"
      "B000",
      "\x7f"};
  for (const std::string &k : keys) {
    ASSERT_GT(insert_entry(node.area.data(), &node.used, node.capacity, node.layout, node.used,
                           u8(k), static_cast<int>(k.size()), 0, 0, 0, nullptr),
              0);
  }
  NodeSearch s = node.search(
      "\x02"
      "AAAAx",
      0);
  EXPECT_EQ(SR_GREATER, s.result);
  EXPECT_EQ(
      "\x02"
      "AAAB",
      full(s.key));
  s = node.search(
      "\x02"
      "AB",
      0);
  EXPECT_EQ(SR_EXACT, s.result) << "trailing spaces are padding";
  s = node.search(
      "\x02"
      "AB",
      1);
  EXPECT_EQ(SR_GREATER, s.result) << "a unique key's number reads as 0";
  EXPECT_EQ(
      "\x02"
      "B000",
      full(s.key));
  s = node.search("\x02\xff\xff", 0);
  EXPECT_EQ(SR_GREATER, s.result);
  EXPECT_EQ("\x7f", full(s.key));
  EXPECT_EQ(3, [&] {
    int n = 0;
    for (int o = 0; o < s.previous; ++n) {
      Entry e;
      decode_entry(node.area.data(), node.used, o, node.layout, &e, nullptr);
      o += e.size;
    }
    return n;
  }());
  // The prefix bytes were shared: "AAAB" borrows 4 bytes of "AAAA".
  Entry second;
  ASSERT_TRUE(decode_entry(node.area.data(), node.used, 13, node.layout, &second, nullptr));
  EXPECT_EQ(4, second.prefix);
  EXPECT_EQ(2, second.length);
  NodeSearch empty;
  search_entries(node.area.data(), 0, node.layout, u8(keys[0]), 5, 0, &empty);
  EXPECT_EQ(SR_PAST_END, empty.result);
}

TEST(NodeFormat, InsertInFrontOfALongerSharerShortensIt) {
  Node node(4, false, 512);
  std::string a = "\x02"
                  "ABCDEFGH",
              c = "\x02"
                  "ABXYZ123",
              b = "\x02"
                  "ABXYZ000";
  for (const std::string &k : {a, c}) {
    insert_entry(node.area.data(), &node.used, node.capacity, node.layout, node.used, u8(k), 9, 0,
                 0, 0, nullptr);
  }
  Entry ce;
  decode_entry(node.area.data(), node.used, 8 + 9, node.layout, &ce, nullptr);
  EXPECT_EQ(3, ce.prefix);
  NodeSearch s = node.search(b, 0);
  ASSERT_EQ(SR_GREATER, s.result);
  int used_before = node.used;
  int grew = insert_entry(node.area.data(), &node.used, node.capacity, node.layout, s.position,
                          u8(b), 9, -5, 1, 0, nullptr);
  // b costs 8 + (9 - 3) bytes; c now borrows 6 bytes from b instead of 3.
  EXPECT_EQ(8 + 6 - 3, grew);
  EXPECT_EQ(used_before + grew, node.used);
  std::vector<Item> items = node.items();
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(a, std::get<0>(items[0]));
  EXPECT_EQ(b, std::get<0>(items[1]));
  EXPECT_EQ(c, std::get<0>(items[2]));
  decode_entry(node.area.data(), node.used, s.position + 8 + 6, node.layout, &ce, nullptr);
  EXPECT_EQ(6, ce.prefix);
  EXPECT_EQ(4, ce.length) << "1 + the 3 bytes it does not share";
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
    insert_entry(single.area.data(), &single.used, single.capacity, single.layout, 0, u8(k), 11, 0,
                 0, 0, nullptr);
    std::copy(single.area.begin(), single.area.begin() + single.used,
              node.area.begin() + node.used);
    node.used += single.used;
  }
  NodeSearch s = node.search(w, 0);
  ASSERT_EQ(SR_GREATER, s.result);
  int used_before = node.used;
  int grew = insert_entry(node.area.data(), &node.used, node.capacity, node.layout, s.position,
                          u8(w), 11, -7, 0, 0, nullptr);
  // w costs 8 + 11 - 10 bytes; z gives up the 10 bytes it shares with w.
  EXPECT_EQ(-1, grew);
  EXPECT_EQ(used_before - 1, node.used);
  EXPECT_EQ(0, node.area[static_cast<size_t>(node.used)]) << "the freed byte is zeroed";
  std::vector<Item> items = node.items();
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(w, std::get<0>(items[1]));
  EXPECT_EQ(z, std::get<0>(items[2]));
  // A full node still refuses an entry that does not fit.
  node.capacity = node.used;
  EXPECT_EQ(kInsertNoRoom, insert_entry(node.area.data(), &node.used, node.capacity, node.layout, 0,
                                        u8(x), 11, 0, 0, 0, nullptr));
}

TEST(NodeFormat, RemovingALenderHandsItsBytesToTheBorrower) {
  Node node(5, true, 512);
  std::string a = "\x03"
                  "AB00",
              b = "\x03"
                  "ABCD",
              c = "\x03"
                  "ABCE";
  for (const std::string &k : {a, b, c}) {
    insert_entry(node.area.data(), &node.used, node.capacity, node.layout, node.used, u8(k), 5, 0,
                 0, 9, nullptr);
  }
  // c borrows 4 bytes of b, b borrows 3 of a.
  NodeSearch s = node.search(b, 9);
  ASSERT_EQ(SR_EXACT, s.result);
  bool was_last;
  int32_t broken = 0;
  int freed =
      remove_entry(node.area.data(), &node.used, node.layout, s.position, &was_last, &broken);
  EXPECT_FALSE(was_last);
  EXPECT_EQ(12 + 2 - 1, freed) << "b's entry less the byte c takes over";
  Entry ce;
  decode_entry(node.area.data(), node.used, s.position, node.layout, &ce, nullptr);
  EXPECT_EQ(3, ce.prefix);
  EXPECT_EQ(3, ce.length);
  std::vector<Item> items = node.items();
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(c, std::get<0>(items[1]));
}

TEST(NodeFormat, DamagedEntriesAreReportedWithTheirCodes) {
  Node node(5, false, 512);
  std::string k =
      "\x02"
      "ABCD";
  insert_entry(node.area.data(), &node.used, node.capacity, node.layout, 0, u8(k), 5, 0, 0, 0,
               nullptr);
  NodeSearch s;
  std::vector<uint8_t> bad = node.area;
  bad[7] = 2;  // P of the first entry
  search_entries(bad.data(), node.used, node.layout, u8(k), 5, 0, &s);
  EXPECT_EQ(SR_ERROR, s.result);
  EXPECT_EQ(kBrokenNoPrevious, s.broken);
  bad = node.area;
  bad[6] = 0;  // L
  search_entries(bad.data(), node.used, node.layout, u8(k), 5, 0, &s);
  EXPECT_EQ(kBrokenLength, s.broken);
  bad = node.area;
  bad[6] = 200;  // L running past `used`
  search_entries(bad.data(), node.used, node.layout, u8(k), 5, 0, &s);
  EXPECT_EQ(kBrokenLength, s.broken);
  FullKey key;
  int32_t broken = 0;
  EXPECT_FALSE(key_at_offset(bad.data(), node.used, node.layout, 0, &key, nullptr, &broken));
  EXPECT_EQ(kBrokenLength, broken);
}

// An insert re-encodes the entry it lands in front of from the key before
// it: a successor that is damaged is refused, not re-encoded, whether the
// key before comes from a walk of the area or from the caller.
TEST(NodeFormat, InsertRefusesADamagedSuccessor) {
  Node node(5, false, 512);
  std::string a = "\x02"
                  "ABCD",
              b = "\x02"
                  "ABCF",
              w = "\x02"
                  "ABCE";
  for (const std::string &k : {a, b})
    insert_entry(node.area.data(), &node.used, node.capacity, node.layout, node.used, u8(k), 5, 0,
                 0, 0, nullptr);
  const int second = node.layout.overhead() + 5;  // b's entry, borrowing 4 bytes of a
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
      {second, second + 7, 6, kBrokenPrefix},  // borrows more than a has
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
  std::vector<uint8_t> walked = node.area, told = node.area;
  int used_walked = node.used, used_told = node.used;
  insert_entry(walked.data(), &used_walked, node.capacity, node.layout, second, u8(w), 5, -3, 0, 0,
               nullptr);
  insert_entry_after(told.data(), &used_told, node.capacity, node.layout, second, before, u8(w), 5,
                     -3, 0, 0, nullptr);
  EXPECT_EQ(used_walked, used_told);
  EXPECT_EQ(walked, told);
}

}  // namespace
}  // namespace kel::indexed
