// Failures in the middle of tree operations: no memory for the temporary
// node buffers, and a node store that cannot read, write, allocate or free.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "indexed/tree/btree.h"
#include "kelfs/errors.h"
#include "support/alloc.h"
#include "tree_harness.h"

namespace kel::indexed {
namespace {

std::string random_value(std::mt19937 &rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('A' + rng() % 3);
  return s;
}

// Runs `op` with the n-th allocation failing, for n = 1, 2, ... until the
// operation needs fewer allocations. Every failure must be E_NO_MEMORY,
// leave the store exactly as it was and leak nothing. Returns the number of
// failed runs.
int fail_each_allocation(TreeHarness &h, const std::function<bool()> &op) {
  for (int n = 1;; ++n) {
    MemNodeStore before = h.store;
    int64_t live = alloc_live_blocks();
    alloc_fail_nth(n);
    bool ok = op();
    bool tripped = alloc_failure_triggered();
    alloc_fail_nth(0);
    EXPECT_EQ(live, alloc_live_blocks());
    if (!tripped) {
      EXPECT_TRUE(ok) << *fs_error_code() << "/" << *fs_error_secondary();
      return n - 1;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
    EXPECT_TRUE(h.store.same_state(before)) << "allocation " << n;
    if (::testing::Test::HasFailure()) return n;
  }
}

// 120-byte keys in 512-byte nodes: three or four entries a node, so that
// most insertions split and most deletions combine, often on several levels.
TEST(TreeFaults, NoMemoryLeavesTheTreeAsItWas) {
  *fs_error_code() = 0;
  std::mt19937 rng(11);
  TreeHarness h(5, 512, {make_key_desc(120, true)});
  uint32_t dup = 0;
  int32_t records = 0;
  // The first key: the buffer of the first root.
  EXPECT_EQ(1, fail_each_allocation(h, [&] {
              return h.add(0, random_value(rng, 120), dup + 1, SegAddr{-1000, 0});
            }));
  ++dup;
  int failing_inserts = 0, failing_deletes = 0;
  for (int i = 0; i < 150; ++i) {
    std::string value = random_value(rng, 120);
    ++dup;
    ++records;
    if (fail_each_allocation(h, [&] {
          return h.add(0, value, dup, SegAddr{-(1000 + 16 * records), 0});
        }) > 0)
      ++failing_inserts;
    ASSERT_FALSE(::testing::Test::HasFailure()) << "insert " << i;
    ASSERT_TRUE(h.verify()) << "insert " << i;
  }
  for (int i = 0; i < 120; ++i) {
    const Model &model = h.models[0];
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    ModelKey victim = it->first;
    if (fail_each_allocation(h, [&] { return h.sub(0, victim.full.substr(1), victim.dup); }) > 0)
      ++failing_deletes;
    ASSERT_FALSE(::testing::Test::HasFailure()) << "delete " << i;
    ASSERT_TRUE(h.verify()) << "delete " << i;
  }
  EXPECT_GT(failing_inserts, 50);
  EXPECT_GT(failing_deletes, 40);
}

// A store that fails part-way: the operation fails with the store's error,
// takes no memory with it and does not crash. (What reached the file stays
// there: such a failure is a broken or full file, not an undo.)
TEST(TreeFaults, StoreFailuresEndInCleanErrors) {
  *fs_error_code() = 0;
  std::mt19937 rng(5);
  TreeHarness h(4, 512, {make_key_desc(120, false)});
  for (int i = 0; i < 120; ++i) h.add(0, random_value(rng, 120), 0, SegAddr{-(1000 + 16 * i), 1});
  ASSERT_TRUE(h.verify());
  const MemNodeStore start = h.store;
  const Model model = h.models[0];
  int *counters[] = {&h.store.fail_read_nth, &h.store.fail_write_nth, &h.store.fail_alloc_nth,
                     &h.store.fail_free_nth, &h.store.fail_root_nth};
  const int16_t codes[] = {E_SYSERR, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL, E_DISK_FULL};
  int tripped_total = 0;
  for (int kind = 0; kind < 5; ++kind) {
    for (int round = 0; round < 16; ++round) {
      bool insert = round % 2 == 0;
      std::string value = random_value(rng, 120);
      ModelKey victim = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
      for (int n = 1;; ++n) {
        h.store = start;
        int64_t live = alloc_live_blocks();
        *counters[kind] = n;
        bool ok =
            insert ? h.add(0, value, 0, SegAddr{-99999, 1}) : h.sub(0, victim.full.substr(1), 0);
        bool tripped = *counters[kind] == 0;
        *counters[kind] = 0;
        ASSERT_EQ(live, alloc_live_blocks());
        if (!tripped) {
          // Done without that failure (a value already present is refused).
          ASSERT_TRUE(ok || *fs_error_code() == E_DUPLICATE);
          break;
        }
        ++tripped_total;
        ASSERT_FALSE(ok) << "kind " << kind << " call " << n;
        ASSERT_EQ(codes[kind], *fs_error_code()) << "kind " << kind << " call " << n;
      }
    }
  }
  EXPECT_GT(tripped_total, 100);
}

}  // namespace
}  // namespace kel::indexed
