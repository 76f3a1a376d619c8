#include "common/faults.h"

#include <memory>
#include <optional>

#include "common/test_util.h"
#include "support/alloc.h"

namespace kel::test {

int fail_each_allocation(const std::function<void()> &op, const std::function<void(int)> &failed) {
  int failures = 0;
  // Bounded, so that an operation that allocates without end fails the
  // test instead of hanging it.
  for (int n = 1; n < 100000 && !::testing::Test::HasFatalFailure(); ++n) {
    *fs_error_code() = 0;
    alloc_fail_nth(n);
    op();
    bool tripped = alloc_failure_triggered();
    alloc_fail_nth(0);
    if (!tripped) return failures;
    ++failures;
    failed(n);
  }
  ADD_FAILURE() << "the allocation-failure loop did not end";
  return failures;
}

int FailEachAllocation::run() const {
  std::string before;
  int64_t live = 0;
  bool ok = false;
  auto once = [&] {
    if (state) before = state();
    live = alloc_live_blocks();
    ok = op();
  };
  int failures = fail_each_allocation(once, [&](int n) {
    EXPECT_FALSE(ok) << "allocation " << n << " failed, yet the operation succeeded";
    EXPECT_EQ(E_NO_MEMORY, *fs_error_code()) << "allocation " << n;
    EXPECT_EQ(live, alloc_live_blocks()) << "blocks leaked when allocation " << n << " failed";
    if (state) {
      EXPECT_EQ(before, state()) << "changed when allocation " << n << " failed";
    }
    if (after) after(n);
  });
  EXPECT_TRUE(ok) << "the operation failed with every allocation granted: " << *fs_error_code()
                  << "/" << *fs_error_secondary();
  return failures;
}

void add_fault_verbs(Verbs &verbs) {
  auto live = std::make_shared<int64_t>(0);
  auto limit = std::make_shared<std::optional<FileSizeLimit>>();
  const Verbs added = {
      {"limit", act([limit](const Words &a) {
         limit->reset();
         if (a.at(0) != "none") limit->emplace(number(a[0]));
       })},
      {"count_blocks", act([live] { *live = alloc_live_blocks(); })},
      {"blocks_since",
       [live](const Words &) { return std::to_string(alloc_live_blocks() - *live) + " more"; }},
      {"fail", act([](const Words &a) {
         *fs_error_code() = 0;
         alloc_fail_nth(number(a.at(0)));
       })},
      {"failed",
       [](const Words &) {
         bool failed = alloc_failure_triggered();
         alloc_fail_nth(0);
         return failed ? "yes, code " + std::to_string(*fs_error_code()) : std::string("no");
       }},
  };
  for (const auto &[name, verb] : added)
    if (!verbs.emplace(name, verb).second) ADD_FAILURE() << "the verb " << name << " twice";
}

}  // namespace kel::test
