// The node format: key comparison with space padding, and an insertion
// that shrinks a node. (Entries, prefixes and searches at random: the
// tree model's runs and the node bytes in images_test; damaged entries:
// the fuzz target of the engine.)
#include "indexed/format/node_format.h"
#include "indexed/tree_store.h"

namespace kel::indexed {
namespace {

using Item = std::tuple<std::string, uint32_t, int32_t>;  // full key, dup, pointer

int cmp(const std::string &a, const std::string &b) {
  return compare_keys(u8(a), static_cast<int>(a.size()), u8(b), static_cast<int>(b.size()));
}

// One node's entry area.
struct Node {
  EntryLayout layout;
  int capacity;
  std::vector<uint8_t> area;
  int used = 0;
  Node(int version, bool dups, int node_size)
      : layout(entry_layout(version, dups)),
        capacity(node_size - kNodeHeaderSize),
        area(static_cast<size_t>(capacity), 0) {}
  // The entries decoded.
  std::vector<Item> items() const {
    std::vector<Item> out;
    int32_t broken = 0;
    for (int offset = 0; offset < used;) {
      Entry e;
      FullKey k;
      uint32_t dup;
      EXPECT_TRUE(decode_entry(area.data(), used, offset, layout, &e, &broken));
      EXPECT_TRUE(key_at_offset(area.data(), used, layout, offset, &k, &dup, &broken));
      out.emplace_back(to_string(k), dup, e.pointer);
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
