// Fault injection shared by the tests: the allocation-failure loop, and
// the same faults and a full disk as verbs of golden rows. (A full disk in
// code is FileSizeLimit in test_util.h; a killed process is Worker::kill;
// damaged copies of files are rows of the tests' golden files.)
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/row_script.h"
#include "kelfs/errors.h"

namespace kel::test {

// The allocation-failure loop: for n = 1, 2, ... `op` runs with the n-th
// allocation failing, until a run in which no allocation failed, which
// must succeed. Every run that met the failure must have failed with
// E_NO_MEMORY left as the primary error, given back every block it took (no
// leak) and left `state()` as it was before the run (nothing changed);
// `after(n)` adds the caller's own checks and puts back what a run may
// legitimately leave (a file to remove, say). run() returns the number of
// runs that failed.
//
//   EXPECT_GT(FailEachAllocation{.op = [&] { return v5_delete(f, r) == 1; },
//                                .state = [&] { return contents(f); }}.run(), 2);
struct FailEachAllocation {
  std::function<bool()> op;
  std::function<std::string()> state = nullptr;
  std::function<void(int n)> after = nullptr;
  int run() const;
};

// The loop itself, without judging the runs: `op` runs with the n-th
// allocation failing, the primary error cleared before each run, and
// `failed(n)` is called after every run that met the failure. Returns the
// number of those runs once a run meets none.
int fail_each_allocation(const std::function<void()> &op, const std::function<void(int)> &failed);

// The same faults as verbs added to a test's rows (a test's own verb of
// the same name fails the test): "fail N", the n-th allocation from now
// fails (the primary code cleared); "failed", whether it was reached, with
// the primary code; "count_blocks", then "blocks_since": the blocks
// allocated since, as "N more"; "limit N", writes past N bytes fail as on
// a full disk (FileSizeLimit) until "limit none" or the end of the test.
void add_fault_verbs(Verbs &verbs);

}  // namespace kel::test
