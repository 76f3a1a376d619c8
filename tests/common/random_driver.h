// The random-operation driver. A layer's test supplies a small adapter:
// the thing under test and a model of it, an operation mix (named,
// weighted steps, each applying the same operation to both and comparing
// what they did) and a check of the whole state (the structural check,
// every key's order against the model, the bytes against an independently
// built layout). The driver draws the steps, runs the check after every
// sequence of them, and stops at the first failure with the seed, the
// step and the last operations, so that one variable replays the run:
//
//   KEL_TEST_SEED   the seed of every run (default: each run's own fixed
//                   seed; "random": a fresh one, printed when it fails)
//   KEL_TEST_OPS    the number of operations of every run
//   KEL_TEST_SCALE  a factor on each run's own number (default 1)
//
// A run may go through phases (grow, turn over, shrink): the adapter calls
// run() once per phase with that phase's mix; the steps are numbered
// across the phases.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kel::test {

class RandomRun {
 public:
  struct Op {
    const char *name;
    int weight;  // relative share in the mix; 0 never drawn
    std::function<void()> step;
  };

  // `seed` and `operations` are the run's own; the environment overrides.
  RandomRun(uint32_t seed, int operations);

  uint32_t seed() const { return seed_; }
  // The number of operations the whole run makes (all phases together).
  int operations() const { return operations_; }

  std::mt19937 &rng() { return rng_; }
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

  // What the current operation does (its arguments, say), shown in the
  // list of last operations when the run fails.
  void note(const std::string &text);

  // Runs `count` operations drawn from `mix` by weight. `check` runs after
  // every `every` operations and once at the end. False once a step or a
  // check failed (the failure then also names the seed that replays it).
  bool run(const std::vector<Op> &mix, int count, const std::function<void()> &check,
           int every = 1);
  // The check alone (at the end of a run, say), with the same report.
  bool check(const std::function<void()> &check);

 private:
  bool report_if_failed(const char *where);

  uint32_t seed_;
  int operations_;
  bool env_seed_;
  std::mt19937 rng_;
  int step_ = 0;
  int failures_at_start_ = 0;  // of the test, when run() or check() began
  bool failed_ = false;
  std::deque<std::string> trail_;  // the last operations, newest at the back
};

}  // namespace kel::test
