// Fault injection shared by the tests: the allocation-failure loop and
// damaged copies of good files. (A full disk is FileSizeLimit in
// test_util.h; a killed process is Worker::kill.)
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kelfs/errors.h"

namespace kel::test {

// The allocation-failure loop: for n = 1, 2, ... `op` runs with the n-th
// allocation failing, until a run in which no allocation failed, which
// must succeed. Every run that met the failure must have failed with
// `code` left as the primary error, given back every block it took (no
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
  int16_t code = E_NO_MEMORY;
  int run() const;
};

// The loop itself, without judging the runs: `op` runs with the n-th
// allocation failing, the primary error cleared before each run, and
// `failed(n)` is called after every run that met the failure. Returns the
// number of those runs once a run meets none.
int fail_each_allocation(const std::function<void()> &op, const std::function<void(int)> &failed);

// One damaged copy of good bytes: `width` big-endian bytes at `offset`
// set to `value`, and the error a use of the copy must end in (secondary
// -1: any).
struct Damage {
  size_t offset;
  int width;
  uint64_t value;
  int16_t code;
  int32_t secondary = -1;
};

// For each row: the good bytes with that damage go to `path`, `use` runs
// (true when it succeeded) and must fail with the row's codes. Damage in
// general is the fuzz targets' business; the rows pin the exact codes that
// users rely on.
void expect_damage_refused(const std::string &path, const std::string &good,
                           const std::vector<Damage> &rows, const std::function<bool()> &use);

}  // namespace kel::test
