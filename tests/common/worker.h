// A second process for tests of inter-process behaviour (locks, sharing,
// a writer at work while this process reads, a kel run beside another
// user of its files). The steps are closures defined before the fork; the
// parent names a step by its number (with one integer argument) and waits
// for its result, so the two processes take turns in a fixed order without
// any sleep, and nothing travels but numbers.
//
//   Worker other({
//       [](int64_t) { return v5_open(...) ? 0 : *fs_error_code(); },  // step 0
//       [](int64_t key) { ... write the record of `key` ... },        // step 1
//   });
//   EXPECT_EQ(0, other.run(0));
//   EXPECT_EQ(0, other.run(1, 15));
//
// The child forks at construction, before the parent opens anything it
// must not inherit; it runs steps until the parent goes away and then
// leaves with _exit (no test-framework clean-up in the child).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kel::test {

class Worker {
 public:
  using Step = std::function<int64_t(int64_t argument)>;
  // What run() returns when the child ended instead of answering.
  static constexpr int64_t kDied = INT64_MIN;

  explicit Worker(std::vector<Step> steps);
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // Runs step `step` in the child and returns its result.
  int64_t run(size_t step, int64_t argument = 0) {
    begin(step, argument);
    return end();
  }
  // The same in two halves, so that several workers run their steps at
  // the same time: begin() sends the step, end() waits for its result.
  void begin(size_t step, int64_t argument = 0);
  int64_t end();
  // Ends the child with SIGKILL (a process killed half-way) and reaps it.
  void kill();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  bool sent_ = false;  // begin() sent a step that end() has not waited for
};

}  // namespace kel::test
