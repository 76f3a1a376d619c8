// Shared set-up of the relative and sequential tests: the file system's
// configuration defined, a fresh working folder, the handlers started and
// shut down again.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fails.h"
#include "common/random_driver.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"

namespace kel::test {

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
  std::vector<char> buffer_ = std::vector<char>(70100);
};

}  // namespace kel::test
