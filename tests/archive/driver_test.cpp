#include "archive/driver.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"

namespace kel::archive {
namespace {

TEST(Driver, StartEnvironment) {
  v5_init_cfg();
  reset_fs_settings();
  unsetenv("MAX_FILES");
  setenv("V_SEG_SIZE", "1048576", 1);
  apply_start_environment();
  EXPECT_EQ(128, fs_settings().max_files);  // raised from the default 32
  EXPECT_EQ(1048576, cfg_get_long("V_SEG_SIZE", 0));

  fs_settings().max_files = 300;
  apply_start_environment();
  EXPECT_EQ(300, fs_settings().max_files);  // never lowered

  setenv("MAX_FILES", "40", 1);
  apply_start_environment();
  EXPECT_EQ(40, fs_settings().max_files);  // as given, even below 128
  unsetenv("MAX_FILES");
  unsetenv("V_SEG_SIZE");
}

}  // namespace
}  // namespace kel::archive
