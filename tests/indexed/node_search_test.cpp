// The search inside a node (the stored form and the memo of decoded nodes)
// against a reference that rebuilds every full key, on random nodes of keys of varying lengths
// (space padding, search keys shorter than the bytes an entry borrows), and the key before the
// stopping point that the search hands over to an insertion; a damaged
// entry that the search skips keeps the insertion from trusting it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "indexed/format/node_format.h"
#include "indexed/format/node_memo.h"
#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "support/be.h"
#include "tree_harness.h"

namespace kel::indexed {
namespace {

using Item = std::pair<std::string, uint32_t>;

int key_cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}

// Keys of one key number from a small alphabet with spaces, 0 to 30 bytes
// long, so that neighbours share long prefixes and differ in padding.
std::string random_key(std::mt19937 &rng) {
  std::string k(1, '\x03');
  const char alphabet[] = "AB  0";
  int length = static_cast<int>(rng() % 31);
  for (int i = 0; i < length; ++i) k += alphabet[rng() % 5];
  return k;
}

struct Reference {
  int result;
  int index;  // of the entry stopped at; the item count when past the end
  bool equal_seen;
};

// The first item not less than (key, dup), by whole keys.
Reference reference_search(const std::vector<Item> &items, const std::string &key, uint32_t dup) {
  Reference out{SR_PAST_END, static_cast<int>(items.size()), false};
  for (size_t i = 0; i < items.size(); ++i) {
    int c = key_cmp(key, items[i].first);
    if (c == 0) out.equal_seen = true;
    if (c < 0 || (c == 0 && dup <= items[i].second)) {
      out.index = static_cast<int>(i);
      out.result = c < 0 ? SR_GREATER : items[i].second == dup ? SR_EXACT : SR_EQUAL;
      return out;
    }
  }
  return out;
}

TEST(NodeSearch, RandomNodesMatchAWholeKeyReference) {
  std::mt19937 rng(5);
  for (int version : {3, 4, 5}) {
    for (bool dups : {false, true}) {
      EntryLayout layout = entry_layout(version, dups);
      for (int round = 0; round < 300; ++round) {
        // Sorted items, equal keys (also by padding) ordered by number.
        std::vector<Item> items;
        int count = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < count; ++i) items.emplace_back(random_key(rng), dups ? rng() % 5 : 0);
        std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
          int c = key_cmp(a.first, b.first);
          return c < 0 || (c == 0 && a.second < b.second);
        });
        auto same = [](const Item &a, const Item &b) {
          return key_cmp(a.first, b.first) == 0 && a.second == b.second;
        };
        items.erase(std::unique(items.begin(), items.end(), same), items.end());
        std::vector<uint8_t> area(4096, 0);
        int used = 0;
        std::vector<int> offsets;
        for (const Item &it : items) {
          offsets.push_back(used);
          int32_t broken = 0;
          ASSERT_GE(insert_entry(area.data(), &used, 4096, layout, used, u8(it.first),
                                 static_cast<int>(it.first.size()), -7, 0, it.second, &broken),
                    0);
        }
        // Each probe three ways: the stored form, then the memo twice (the
        // second search of a node decodes it, later ones use the decoding).
        for (int probe = 0; probe < 60; ++probe) {
          std::string key = probe % 4 == 0 ? items[rng() % items.size()].first : random_key(rng);
          uint32_t dup = dups ? rng() % 6 : 0;
          NodeSearch s;
          s.want_before = probe % 5 != 0;
          if (probe % 3 == 0)
            search_entries(area.data(), used, layout, u8(key), static_cast<int>(key.size()), dup,
                           &s);
          else
            search_entries_memo(area.data(), used, layout, static_cast<uint64_t>(round), u8(key),
                                static_cast<int>(key.size()), dup, &s);
          Reference want = reference_search(items, key, dup);
          ASSERT_EQ(want.result, s.result) << "round " << round << " probe " << probe;
          ASSERT_EQ(want.equal_seen, s.equal_seen);
          int position = want.index < static_cast<int>(items.size()) ? offsets[want.index] : used;
          ASSERT_EQ(position, s.position);
          ASSERT_EQ(want.index > 0 ? offsets[want.index - 1] : -1, s.previous);
          if (want.result >= SR_GREATER) {
            ASSERT_EQ(items[want.index].first, to_string(s.key));
            ASSERT_EQ(items[want.index].second, s.dup);
          }
          ASSERT_EQ(s.want_before && s.previous >= 0, s.before_known);
          if (s.before_known) {
            ASSERT_EQ(items[want.index - 1].first, to_string(s.before));
          }
        }
      }
    }
  }
}

// A leaf whose second entry borrows all 251 bytes of the first key and
// adds one: a full key longer than any. A search for a key above the first
// entry skips it without a comparison and stops at the high key; the key
// before that point is not handed over, and the insertion that rebuilds it
// finds the damage (secondary code 21), as it always did.
TEST(NodeSearch, ASkippedOverlongEntryIsNotHandedOver) {
  TreeHarness h(5, 2048, {make_key_desc(250, false)});
  ASSERT_TRUE(h.add(0, std::string(250, 'A'), 0, SegAddr{-4096, 0}));
  SegAddr root{static_cast<int32_t>(h.store.key_desc(0).root_offset), 0};
  std::vector<uint8_t> &block = h.store.block(root);
  EntryLayout layout = entry_layout(5, false);
  uint8_t *area = block.data() + kNodeHeaderSize;
  int at = 0;
  std::string first = std::string(1, '\0') + std::string(250, 'A');
  encode_entry_head(area, layout, -4096, 0, 0, 252, 0);
  memcpy(area + layout.overhead(), first.data(), first.size());
  at += layout.overhead() + 251;
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

  EXPECT_FALSE(h.add(0, std::string(250, 'C'), 0, SegAddr{-12288, 0}));
  EXPECT_EQ(E_BROKEN, *fs_error_code());
  EXPECT_EQ(kBrokenLength, *fs_error_secondary());
}

}  // namespace
}  // namespace kel::indexed
