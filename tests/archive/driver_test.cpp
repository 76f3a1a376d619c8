#include "archive/driver.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "config/fs_config.h"

namespace kel::archive {
namespace {

TEST(Driver, MaxFilesFromTheEnvironmentOrAtLeast128) {
  reset_fs_settings();
  unsetenv("MAX_FILES");
  apply_start_environment();
  EXPECT_EQ(128, fs_settings().max_files);  // raised from the default 32

  fs_settings().max_files = 300;
  apply_start_environment();
  EXPECT_EQ(300, fs_settings().max_files);  // never lowered

  setenv("MAX_FILES", "40", 1);
  apply_start_environment();
  EXPECT_EQ(40, fs_settings().max_files);  // as given, even below 128
  unsetenv("MAX_FILES");
}

}  // namespace
}  // namespace kel::archive
