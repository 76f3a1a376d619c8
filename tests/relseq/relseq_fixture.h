// Shared set-up of the relative and sequential tests: the file system's
// configuration defined, a fresh working folder, the handlers started and
// shut down again, and the seed of the random runs (KEL_TEST_SEED replays
// a failing run; the seed is printed with every failure).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "common/fails.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"

namespace kel::test {

inline uint32_t test_seed() {
  const char *text = getenv("KEL_TEST_SEED");
  return text ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 20261207u;
}

class RelSeqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
    ASSERT_EQ(Ar_init(), 1);
  }
  void TearDown() override { Ar_exit(); }

  TempDir dir_{true};
  uint32_t seed_ = test_seed();
  std::mt19937 rng_{seed_};
  ::testing::ScopedTrace trace_{__FILE__, __LINE__, "KEL_TEST_SEED=" + std::to_string(seed_)};
};

}  // namespace kel::test
