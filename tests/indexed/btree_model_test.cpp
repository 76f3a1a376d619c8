#include "indexed/tree/btree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "support/alloc.h"
#include "support/be.h"
#include "tree_harness.h"

namespace kel::indexed {
namespace {

// ---------------------------------------------------------------------------
// Model-based random tests

struct Shape {
  int version;
  bool dups;
  int key_size;
  int node_size;
};

std::string shape_name(const ::testing::TestParamInfo<Shape> &info) {
  const Shape &s = info.param;
  return "v" + std::to_string(s.version) + (s.dups ? "_dups" : "_unique") + "_key" +
         std::to_string(s.key_size) + "_node" + std::to_string(s.node_size);
}

// Values of one key: all derived from one base value by re-drawing the bytes
// from a random position on, so that values share prefixes of every length.
// The bytes favour a few values (spaces, 0x00, 0xFF, the high-key byte) to
// make ties and padding cases common.
class ValuePool {
 public:
  ValuePool(std::mt19937 &rng, int size, int count) {
    std::string base = draw(rng, size);
    std::set<std::string> seen;
    for (int i = 0; i < count * 4 && static_cast<int>(values_.size()) < count; ++i) {
      std::string v = base;
      int from = static_cast<int>(rng() % static_cast<unsigned>(size));
      std::string tail = draw(rng, size - from);
      v.replace(static_cast<size_t>(from), std::string::npos, tail);
      if (seen.insert(v).second) values_.push_back(v);
    }
  }
  const std::string &pick(std::mt19937 &rng) const { return values_[rng() % values_.size()]; }

 private:
  static std::string draw(std::mt19937 &rng, int n) {
    static const uint8_t favoured[] = {0x00, 0x20, 0x41, 0x42, 0x7F, 0xFF};
    std::string s;
    for (int i = 0; i < n; ++i) {
      unsigned r = rng() % 10;
      s += static_cast<char>(r < 6 ? favoured[r] : rng() % 256);
    }
    return s;
  }
  std::vector<std::string> values_;
};

class TreeModelTest : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    const Shape &s = GetParam();
    *fs_error_code() = 0;  // the error block is allocated on first use
    // Key 0 has the shape; key 1, short and of the other kind, shares the
    // free-node list and the header counters with it.
    std::vector<KeyDesc> keys = {make_key_desc(s.key_size, s.dups), make_key_desc(6, !s.dups)};
    h = std::make_unique<TreeHarness>(s.version, s.node_size, keys, s.node_size * 24);
    pools.emplace_back(rng, s.key_size, s.key_size == 1 ? 200 : 400);
    pools.emplace_back(rng, 6, 60);
  }

  SegAddr next_pointer() {
    ++records;
    uint16_t segment = GetParam().version >= 4 ? static_cast<uint16_t>(records % 3) : 0;
    return SegAddr{-(1024 + 16 * records), segment};
  }

  void add(int key) {
    const std::string &value = pools[static_cast<size_t>(key)].pick(rng);
    Model &model = h->models[static_cast<size_t>(key)];
    std::string full = TreeHarness::full(key, value);
    auto first = model.lower_bound(ModelKey{full, 0});
    bool present = first != model.end() && first->first.full == full;
    if (!h->duplicates(key)) {
      *fs_error_code() = 0;
      bool ok = h->add(key, value, 0, next_pointer());
      ASSERT_EQ(!present, ok);
      if (present) {
        ASSERT_EQ(E_DUPLICATE, *fs_error_code());
      }
      ASSERT_EQ(present, h->ctx.equal_seen);
      return;
    }
    uint32_t dup = ++sequence;
    if (!graveyard.empty() && rng() % 8 == 0) {
      // Put back an entry removed before: it goes between larger numbers.
      auto [k, v, d] = graveyard.back();
      graveyard.pop_back();
      if (k == key) {
        full = TreeHarness::full(key, v);
        first = model.lower_bound(ModelKey{full, 0});
        present = first != model.end() && first->first.full == full;
        ASSERT_TRUE(h->add(key, v, d, next_pointer())) << *fs_error_secondary();
        ASSERT_EQ(present, h->ctx.equal_seen);
        return;
      }
    }
    ASSERT_TRUE(h->add(key, value, dup, next_pointer()))
        << *fs_error_code() << "/" << *fs_error_secondary();
    ASSERT_EQ(present, h->ctx.equal_seen);
  }

  void sub(int key) {
    Model &model = h->models[static_cast<size_t>(key)];
    if (model.empty() || rng() % 20 == 0) {
      // A key that is not there: E_BROKEN 6, nothing changes.
      std::string value = pools[static_cast<size_t>(key)].pick(rng);
      uint32_t dup = h->duplicates(key) ? sequence + 1 : 0;
      if (model.count(ModelKey{TreeHarness::full(key, value), dup})) return;
      ASSERT_FALSE(h->sub(key, value, dup));
      ASSERT_EQ(E_BROKEN, *fs_error_code());
      ASSERT_EQ(6, *fs_error_secondary());
      return;
    }
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    ModelKey victim = it->first;
    std::string value = victim.full.substr(1);
    ASSERT_TRUE(h->sub(key, value, victim.dup)) << *fs_error_code() << "/" << *fs_error_secondary();
    if (h->duplicates(key)) graveyard.push_back({key, value, victim.dup});
  }

  // Checks the entry the tree stopped at against the model's.
  void expect_at(int result, const NodePosition &pos, Model::const_iterator expected,
                 const Model &model, const ModelKey *probe) {
    TreeContext &c = h->ctx;
    if (expected == model.end()) {
      ASSERT_EQ(SR_GREATER, result);
      ASSERT_EQ("\x7f", to_string(c.search.key));
      return;
    }
    ASSERT_EQ(expected->first.full, to_string(c.search.key));
    ASSERT_EQ(expected->first.dup, c.search.dup);
    SegAddr p = vi_entry_pointer(&c, pos.offset);
    ASSERT_EQ(expected->second.offset, p.offset);
    ASSERT_EQ(expected->second.segment, p.segment);
    if (probe == nullptr) return;
    bool equal = expected->first.full == probe->full;
    int want = !equal ? SR_GREATER : (expected->first.dup == probe->dup ? SR_EXACT : SR_EQUAL);
    ASSERT_EQ(want, result);
  }

  // A search in one of the modes, then a few steps back.
  void search(int key) {
    const Model &model = h->models[static_cast<size_t>(key)];
    int n = h->store.key_desc(key).length;
    std::string value = pools[static_cast<size_t>(key)].pick(rng);
    uint32_t dup = 0;
    switch (rng() % 3) {
      case 0:  // exact: an entry that is there
        if (!model.empty()) {
          auto it = model.begin();
          std::advance(it, static_cast<long>(rng() % model.size()));
          value = it->first.full.substr(1);
          dup = it->first.dup;
        }
        break;
      case 1:  // the first of equal keys
        break;
      default: {  // greater than a leading part: the tail becomes 0xFF
        size_t part = rng() % static_cast<unsigned>(n + 1);
        value.replace(part, std::string::npos, static_cast<size_t>(n) - part, '\xff');
        dup = 0xFFFFFFFF;
      }
    }
    ModelKey probe{TreeHarness::full(key, value), dup};
    std::string sk = TreeHarness::search_key(key, value);
    NodePosition pos;
    int result = vi_find_key(&h->ctx, u8(sk), dup, &pos);
    if (model.empty() && h->store.key_desc(key).root_offset == 0) {
      ASSERT_EQ(SR_EMPTY, result);
      vi_end_operation(&h->ctx);
      return;
    }
    auto expected = model.lower_bound(probe);
    ASSERT_NO_FATAL_FAILURE(expect_at(result, pos, expected, model, &probe));
    for (int steps = static_cast<int>(rng() % 12); steps > 0; --steps) {
      int ok = vi_step_back(&h->ctx, &pos);
      if (expected == model.begin()) {
        ASSERT_EQ(0, ok);
        ASSERT_EQ(E_NOT_FOUND, *fs_error_code());
        break;
      }
      ASSERT_EQ(1, ok) << *fs_error_code() << "/" << *fs_error_secondary();
      --expected;
      ASSERT_NO_FATAL_FAILURE(expect_at(SR_EXACT, pos, expected, model, nullptr));
    }
    vi_end_operation(&h->ctx);
  }

  // Every entry in order, as the next-record operation finds them: a search
  // for (key, number + 1) passes the current entry.
  void walk_forward(int key) {
    const Model &model = h->models[static_cast<size_t>(key)];
    if (model.empty()) return;
    int n = h->store.key_desc(key).length;
    std::string value(static_cast<size_t>(n), '\0');
    uint32_t dup = 0;
    for (auto it = model.begin();; ++it) {
      NodePosition pos;
      int result = vi_find_key(&h->ctx, u8(TreeHarness::search_key(key, value)), dup, &pos);
      ASSERT_NO_FATAL_FAILURE(expect_at(result, pos, it, model, nullptr));
      vi_end_operation(&h->ctx);
      if (it == model.end()) break;
      value = it->first.full.substr(1);
      dup = it->first.dup + 1;
    }
  }

  // Every entry in reverse, stepping back from the end across leaves.
  void walk_backward(int key) {
    const Model &model = h->models[static_cast<size_t>(key)];
    if (model.empty()) return;
    int n = h->store.key_desc(key).length;
    std::string value(static_cast<size_t>(n), '\xff');
    NodePosition pos;
    int result = vi_find_key(&h->ctx, u8(TreeHarness::search_key(key, value)), 0xFFFFFFFF, &pos);
    auto it = model.upper_bound(ModelKey{TreeHarness::full(key, value), 0xFFFFFFFF});
    ASSERT_NO_FATAL_FAILURE(expect_at(result, pos, it, model, nullptr));
    for (;;) {
      int ok = vi_step_back(&h->ctx, &pos);
      if (it == model.begin()) {
        ASSERT_EQ(0, ok);
        ASSERT_EQ(E_NOT_FOUND, *fs_error_code());
        break;
      }
      ASSERT_EQ(1, ok);
      --it;
      ASSERT_NO_FATAL_FAILURE(expect_at(SR_EXACT, pos, it, model, nullptr));
    }
    vi_end_operation(&h->ctx);
  }

  void step(int op_mix_add) {
    int key = rng() % 4 == 0 ? 1 : 0;
    unsigned r = rng() % 100;
    if (r < static_cast<unsigned>(op_mix_add))
      ASSERT_NO_FATAL_FAILURE(add(key));
    else if (r < 80)
      ASSERT_NO_FATAL_FAILURE(sub(key));
    else if (r < 97)
      ASSERT_NO_FATAL_FAILURE(search(key));
    else if (r < 99)
      ASSERT_NO_FATAL_FAILURE(walk_forward(key));
    else
      ASSERT_NO_FATAL_FAILURE(walk_backward(key));
  }

  std::mt19937 rng{20240611};
  std::unique_ptr<TreeHarness> h;
  std::vector<ValuePool> pools;
  std::vector<std::tuple<int, std::string, uint32_t>> graveyard;
  int32_t records = 0;
  uint32_t sequence = 0;
};

TEST_P(TreeModelTest, RandomOperationsMatchTheModel) {
  int64_t live = alloc_live_blocks();
  // Grow, shrink to nothing, grow again.
  for (int i = 0; i < 1500; ++i) {
    ASSERT_NO_FATAL_FAILURE(step(i < 900 ? 60 : 25)) << "step " << i;
    ASSERT_TRUE(h->verify()) << "step " << i;
  }
  for (int key = 0; key < 2; ++key) {
    ASSERT_NO_FATAL_FAILURE(walk_forward(key));
    ASSERT_NO_FATAL_FAILURE(walk_backward(key));
    while (!h->models[static_cast<size_t>(key)].empty()) {
      ModelKey victim = h->models[static_cast<size_t>(key)].begin()->first;
      ASSERT_TRUE(h->sub(key, victim.full.substr(1), victim.dup));
    }
    ASSERT_TRUE(h->verify());
    EXPECT_EQ(0u, h->store.key_desc(key).root_offset);
    EXPECT_EQ(0, h->store.key_desc(key).height);
  }
  EXPECT_EQ(0, h->store.in_use);
  EXPECT_EQ(0, h->store.index_bytes);
  for (int i = 0; i < 200; ++i) {
    ASSERT_NO_FATAL_FAILURE(step(70)) << "regrow step " << i;
    ASSERT_TRUE(h->verify()) << "regrow step " << i;
  }
  EXPECT_EQ(live, alloc_live_blocks());
}

std::vector<Shape> all_shapes() {
  std::vector<Shape> shapes;
  const std::pair<int, int> sizes[] = {{1, 512},   {8, 512},   {40, 512},
                                       {125, 512}, {30, 1024}, {250, 1024}};
  for (int version : {3, 4, 5})
    for (bool dups : {false, true})
      for (auto [key_size, node_size] : sizes)
        shapes.push_back(Shape{version, dups, key_size, node_size});
  return shapes;
}

INSTANTIATE_TEST_SUITE_P(Shapes, TreeModelTest, ::testing::ValuesIn(all_shapes()), shape_name);

}  // namespace
}  // namespace kel::indexed
