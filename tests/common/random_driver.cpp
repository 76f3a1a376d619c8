#include "common/random_driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kel::test {
namespace {

constexpr size_t kTrail = 12;

// Failures recorded for the current test so far (a test's result keeps
// only the parts that failed or skipped).
int failures_so_far() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? info->result()->total_part_count() : 0;
}

}  // namespace

RandomRun::RandomRun(uint32_t seed, int operations)
    : seed_(seed), operations_(operations), env_seed_(false) {
  if (const char *s = getenv("KEL_TEST_SEED"); s && *s) {
    env_seed_ = true;
    seed_ = strcmp(s, "random") == 0 ? std::random_device{}()
                                     : static_cast<uint32_t>(strtoul(s, nullptr, 0));
  }
  if (const char *s = getenv("KEL_TEST_OPS"); s && *s) {
    operations_ = static_cast<int>(strtol(s, nullptr, 0));
  } else if (const char *f = getenv("KEL_TEST_SCALE"); f && *f) {
    operations_ = static_cast<int>(std::lround(operations_ * strtod(f, nullptr)));
  }
  if (operations_ < 1) operations_ = 1;
  rng_.seed(seed_);
}

void RandomRun::note(const std::string &text) {
  if (!trail_.empty()) trail_.back() += " " + text;
}

bool RandomRun::report_if_failed(const char *where) {
  if (failures_so_far() == failures_at_start_) return true;
  failed_ = true;
  const ::testing::TestInfo &test = *::testing::UnitTest::GetInstance()->current_test_info();
  std::string last;
  for (const std::string &t : trail_) last += "  " + t + "\n";
  ADD_FAILURE() << "the random run stopped in " << where << " after step " << step_ << " of "
                << operations_ << "; replay it with\n  KEL_TEST_SEED=" << seed_
                << " KEL_TEST_OPS=" << operations_
                << " <test program> --gtest_filter=" << test.test_suite_name() << "." << test.name()
                << (env_seed_ ? "" : "\n(the run's own seed)") << "\nthe last operations:\n"
                << last;
  return false;
}

bool RandomRun::run(const std::vector<Op> &mix, int count, const std::function<void()> &check,
                    int every) {
  if (failed_) return false;
  failures_at_start_ = failures_so_far();
  int total = 0;
  for (const Op &op : mix) total += op.weight;
  for (int i = 0; i < count; ++i) {
    int dice = static_cast<int>(below(static_cast<size_t>(total)));
    const Op *op = &mix.front();
    for (const Op &o : mix) {
      op = &o;
      if ((dice -= o.weight) < 0) break;
    }
    ++step_;
    trail_.push_back("step " + std::to_string(step_) + ": " + op->name);
    if (trail_.size() > kTrail) trail_.pop_front();
    op->step();
    if (!report_if_failed(op->name)) return false;
    if ((i + 1) % every == 0 || i + 1 == count) {
      if (!this->check(check)) return false;
    }
  }
  return true;
}

bool RandomRun::check(const std::function<void()> &check) {
  if (failed_) return false;
  failures_at_start_ = failures_so_far();
  check();
  return report_if_failed("the check");
}

}  // namespace kel::test
