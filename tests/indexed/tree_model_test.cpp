// The B-trees on the in-memory store against the model, in versions 3
// and 5, with and without duplicates, keys of 1 to 250 bytes in nodes of
// one and two blocks: random additions (also of entries put back between
// larger duplicate numbers), removals (also of entries that are not
// there), searches in every mode followed by steps back, additions and
// removals whose allocations fail in turn (each failure leaves the store
// exactly as it was), and operations on a store that fails part-way (a
// clean error, no memory kept). Every third step the whole store is
// verified; the trees grow, shrink to nothing and grow again. (Whole
// walks: the access model's runs.)
#include <random>
#include <tuple>

#include "common/fails.h"
#include "common/faults.h"
#include "common/random_driver.h"
#include "indexed/tree_store.h"

namespace kel::indexed {
namespace {

using test::RandomRun;

struct Shape {
  int version;
  bool dups;
  int key_size;
  int node_size;
};

// Values of one key, all derived from one base value by drawing the bytes
// anew from a random position on, so that values share prefixes of every
// length. The bytes favour a few values (0x00, space, 0x7F, 0xFF) to make
// ties and padding common.
std::vector<std::string> value_pool(std::mt19937 &rng, int size, int count) {
  auto draw = [&](int n) {
    static const uint8_t favoured[] = {0x00, 0x20, 0x41, 0x42, 0x7F, 0xFF};
    std::string s;
    for (int i = 0; i < n; ++i)
      s += static_cast<char>(rng() % 10 < 6 ? favoured[rng() % 6] : rng());
    return s;
  };
  std::string base = draw(size);
  std::set<std::string> values;
  for (int i = 0; i < count * 4 && static_cast<int>(values.size()) < count; ++i) {
    int from = static_cast<int>(rng() % static_cast<unsigned>(size));
    values.insert(base.substr(0, static_cast<size_t>(from)) + draw(size - from));
  }
  return {values.begin(), values.end()};
}

class TreeModel : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    *fs_error_code() = 0;  // the error block is allocated on first use
    // Key 0 has the shape; key 1, short and of the other kind, shares the
    // free-node list and the header counters with it.
    h_ = std::make_unique<TreeHarness>(
        s_.version, s_.node_size,
        std::vector<KeyDesc>{key_desc(s_.key_size, s_.dups), key_desc(6, !s_.dups)},
        s_.node_size * 24);
    pools_.push_back(value_pool(run_.rng(), s_.key_size, s_.key_size == 1 ? 200 : 400));
    pools_.push_back(value_pool(run_.rng(), 6, 60));
  }

  int key() { return run_.chance(25) ? 1 : 0; }
  const std::string &value(int key) {
    const auto &pool = pools_[static_cast<size_t>(key)];
    return pool[run_.below(pool.size())];
  }
  SegAddr next_pointer() {
    ++records_;
    return SegAddr{-(1024 + 16 * records_),
                   static_cast<uint16_t>(s_.version >= 4 ? records_ % 3 : 0)};
  }
  bool present(int key, const std::string &v) {
    const Model &m = h_->models[static_cast<size_t>(key)];
    auto first = m.lower_bound(ModelKey{TreeHarness::full(key, v), 0});
    return first != m.end() && first->first.full == TreeHarness::full(key, v);
  }
  Model::const_iterator any_entry(int key) {
    const Model &m = h_->models[static_cast<size_t>(key)];
    return std::next(m.begin(), static_cast<long>(run_.below(m.size())));
  }

  void add() {
    int k = key();
    std::string v = value(k);
    uint32_t dup = 0;
    if (h_->duplicates(k)) {
      dup = ++sequence_;
      if (!graveyard_.empty() && run_.chance(12)) {
        // An entry removed before goes back between larger numbers.
        std::tie(k, v, dup) = graveyard_.back();
        graveyard_.pop_back();
      }
    }
    bool was = present(k, v);
    run_.note(std::to_string(k) + "/" + std::to_string(dup));
    *fs_error_code() = 0;
    bool ok = h_->add(k, v, dup, next_pointer());
    bool refused = was && !h_->duplicates(k);
    ASSERT_EQ(!refused, ok) << *fs_error_code() << "/" << *fs_error_secondary();
    if (refused) {
      ASSERT_EQ(E_DUPLICATE, *fs_error_code());
    }
    ASSERT_EQ(was, h_->ctx.equal_seen);
  }

  void sub() {
    int k = key();
    const Model &m = h_->models[static_cast<size_t>(k)];
    if (m.empty() || run_.chance(5)) {
      // An entry that is not there: E_BROKEN 6, nothing changes.
      std::string v = value(k);
      uint32_t dup = h_->duplicates(k) ? sequence_ + 1 : 0;
      if (m.count(ModelKey{TreeHarness::full(k, v), dup})) return;
      ASSERT_TRUE(test::fails(h_->sub(k, v, dup), E_BROKEN, 6));
      return;
    }
    ModelKey victim = any_entry(k)->first;
    run_.note(std::to_string(k) + "/" + std::to_string(victim.dup));
    ASSERT_TRUE(h_->sub(k, victim.full.substr(1), victim.dup))
        << *fs_error_code() << "/" << *fs_error_secondary();
    if (h_->duplicates(k)) graveyard_.emplace_back(k, victim.full.substr(1), victim.dup);
  }

  // The entry the tree stopped at against the model's.
  void expect_at(int result, const NodePosition &pos, Model::const_iterator expected,
                 const Model &model, const ModelKey *probe) {
    TreeContext &c = h_->ctx;
    if (expected == model.end()) {
      ASSERT_EQ(SR_GREATER, result);
      ASSERT_EQ("\x7f", to_string(c.search.key));
      return;
    }
    ASSERT_EQ(expected->first.full, to_string(c.search.key));
    ASSERT_EQ(expected->first.dup, c.search.dup);
    SegAddr p = vi_entry_pointer(&c, pos.offset);
    ASSERT_EQ(expected->second, p);
    if (probe == nullptr) return;
    bool equal = expected->first.full == probe->full;
    ASSERT_EQ(!equal                              ? SR_GREATER
              : expected->first.dup == probe->dup ? SR_EXACT
                                                  : SR_EQUAL,
              result);
  }

  // A search in one of the modes, then a few steps back.
  void search() {
    int k = key();
    const Model &m = h_->models[static_cast<size_t>(k)];
    std::string v = value(k);
    uint32_t dup = 0;
    int mode = static_cast<int>(run_.below(3));
    if (mode == 0 && !m.empty()) {  // exact: an entry that is there
      ModelKey there = any_entry(k)->first;
      v = there.full.substr(1);
      dup = there.dup;
    } else if (mode == 2) {  // greater than a leading part: the tail becomes 0xFF
      size_t part = run_.below(v.size() + 1);
      v.replace(part, std::string::npos, v.size() - part, '\xff');
      dup = 0xFFFFFFFF;
    }
    ModelKey probe{TreeHarness::full(k, v), dup};
    NodePosition pos;
    int result = vi_find_key(&h_->ctx, u8(TreeHarness::search_key(k, v)), dup, &pos);
    if (m.empty() && h_->store.key_desc(k).root_offset == 0) {
      ASSERT_EQ(SR_EMPTY, result);
    } else {
      auto expected = m.lower_bound(probe);
      ASSERT_NO_FATAL_FAILURE(expect_at(result, pos, expected, m, &probe));
      ASSERT_NO_FATAL_FAILURE(step_back(pos, expected, m, run_.below(12)));
    }
    vi_end_operation(&h_->ctx);
  }
  void step_back(NodePosition &pos, Model::const_iterator it, const Model &m, size_t steps) {
    for (; steps > 0; --steps) {
      int ok = vi_step_back(&h_->ctx, &pos);
      if (it == m.begin()) {
        ASSERT_TRUE(test::failed(ok == 0, E_NOT_FOUND));
        return;
      }
      ASSERT_EQ(1, ok) << *fs_error_code() << "/" << *fs_error_secondary();
      ASSERT_NO_FATAL_FAILURE(expect_at(SR_EXACT, pos, --it, m, nullptr));
    }
  }

  // An addition or removal whose allocations fail in turn: each failure is
  // E_NO_MEMORY and leaves the store exactly as it was.
  void without_memory() {
    bool adding = h_->models[0].empty() || run_.chance(50);
    std::string v = value(0);
    uint32_t dup = h_->duplicates(0) ? ++sequence_ : 0;
    if (adding && present(0, v) && !h_->duplicates(0)) return;
    if (!adding) {
      ModelKey there = any_entry(0)->first;
      v = there.full.substr(1);
      dup = there.dup;
    }
    SegAddr pointer = next_pointer();
    no_memory_ += test::FailEachAllocation{
        .op = [&] { return adding ? h_->add(0, v, dup, pointer) : h_->sub(0, v, dup); },
        .state =
            [&] {
              return h_->store.image();
            }}.run();
  }

  // The store fails at its n-th read, write, allocation, free or root
  // update: the operation fails with the store's error and keeps no
  // memory. What reached the store stays (a broken or full file, not an
  // undo), so the store and the model go back to before.
  void store_fails() {
    if (h_->models[0].empty()) return;
    const MemNodeStore before = h_->store;
    const std::vector<Model> models = h_->models;
    int *counters[] = {&h_->store.fail_read_nth, &h_->store.fail_write_nth,
                       &h_->store.fail_alloc_nth, &h_->store.fail_free_nth,
                       &h_->store.fail_root_nth};
    const int16_t codes[] = {E_SYSERR, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL};
    size_t kind = run_.below(5);
    int *counter = counters[kind];
    *counter = 1 + static_cast<int>(run_.below(4));
    bool adding = run_.chance(50);
    run_.note("kind " + std::to_string(kind) + " call " + std::to_string(*counter));
    int64_t live = alloc_live_blocks();
    ModelKey victim = any_entry(0)->first;
    bool ok = adding ? h_->add(0, value(0), h_->duplicates(0) ? ++sequence_ : 0, next_pointer())
                     : h_->sub(0, victim.full.substr(1), victim.dup);
    bool tripped = *counter == 0;
    *counter = 0;
    EXPECT_EQ(live, alloc_live_blocks());
    if (tripped) {
      EXPECT_TRUE(test::failed(!ok, codes[kind]));
    } else {
      EXPECT_TRUE(ok || *fs_error_code() == E_DUPLICATE);
    }
    h_->store = before;
    h_->models = models;
  }

  std::vector<RandomRun::Op> mix(int adds) {
    return {{"add", adds * 10, [&] { add(); }},
            {"remove", (80 - adds) * 10, [&] { sub(); }},
            {"search", 160, [&] { search(); }},
            {"without memory", 25, [&] { without_memory(); }},
            {"a store that fails", 10, [&] { store_fails(); }}};
  }

  const Shape &s_ = GetParam();
  RandomRun run_{20240611, 1700};
  std::unique_ptr<TreeHarness> h_;
  std::vector<std::vector<std::string>> pools_;
  std::vector<std::tuple<int, std::string, uint32_t>> graveyard_;
  int32_t records_ = 0;
  uint32_t sequence_ = 0;
  int no_memory_ = 0;
};

TEST_P(TreeModel, RandomOperationsMatchTheModel) {
  int64_t live = alloc_live_blocks();
  auto verify = [&] { ASSERT_TRUE(h_->verify()); };
  // Grow, shrink, drain to nothing, grow again.
  int n = run_.operations();
  ASSERT_TRUE(run_.run(mix(60), n * 53 / 100, verify, 3));
  ASSERT_TRUE(run_.run(mix(25), n * 35 / 100, verify, 3));
  ASSERT_TRUE(run_.check([&] {
    for (int k = 0; k < 2; ++k) {
      Model &m = h_->models[static_cast<size_t>(k)];
      while (!m.empty())
        ASSERT_TRUE(h_->sub(k, m.begin()->first.full.substr(1), m.begin()->first.dup));
      EXPECT_EQ(0u, h_->store.key_desc(k).root_offset);
      EXPECT_EQ(0, h_->store.key_desc(k).height);
    }
    ASSERT_TRUE(h_->verify());
    EXPECT_EQ(0, h_->store.in_use);
    EXPECT_EQ(0, h_->store.index_bytes);
  }));
  ASSERT_TRUE(run_.run(mix(70), n - n * 88 / 100, verify, 3));
  if (s_.key_size >= 40) {
    EXPECT_GT(no_memory_, 0) << "splits and combines met failing allocations";
  }
  h_.reset();
  EXPECT_EQ(live, alloc_live_blocks());
}

std::vector<Shape> all_shapes() {
  std::vector<Shape> shapes;
  const std::pair<int, int> sizes[] = {{1, 512},   {8, 512},   {40, 512},
                                       {125, 512}, {30, 1024}, {250, 1024}};
  for (int version : {3, 5})  // version 4's entries are version 5's
    for (bool dups : {false, true})
      for (auto [key_size, node_size] : sizes)
        shapes.push_back(Shape{version, dups, key_size, node_size});
  return shapes;
}

INSTANTIATE_TEST_SUITE_P(Shapes, TreeModel, ::testing::ValuesIn(all_shapes()),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                           const Shape &s = info.param;
                           return "v" + std::to_string(s.version) + (s.dups ? "_dups" : "_unique") +
                                  "_key" + std::to_string(s.key_size) + "_node" +
                                  std::to_string(s.node_size);
                         });

}  // namespace
}  // namespace kel::indexed
