#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "common/golden.h"
#include "common/test_util.h"
#include "config/config.h"

namespace kel {
namespace {

// The forty variables of the table with their types and defaults, as the
// rest of the file system reads them; the environment does not reach the
// getters.
TEST(FsConfig, TheFortyVariablesWithTheirDefaults) {
  setenv("V_TRACE", "31", 1);
  v5_init_cfg();
  // The written configuration file names every defined variable.
  test::TempDir dir;
  ASSERT_EQ(1, cfg_write_file((dir / "all.cfg").c_str(), 0));
  std::istringstream names(test::read_file(dir / "all.cfg"));
  std::string listing;
  for (std::string name; std::getline(names, name);) {
    name = name.substr(0, name.find(' '));
    int32_t type = cfg_get_type(name.c_str(), 0);
    const char *text = cfg_get_string(name.c_str(), 0);
    listing += name + " type " + std::to_string(type) + " " +
               (type >= CFG_STRING16 ? "'" + std::string(text ? text : "(null)") + "'"
                                     : std::to_string(cfg_get_long(name.c_str(), 0))) +
               "\n";
  }
  EXPECT_TRUE(test::matches_golden("config/fs_table.txt", listing));
  const FsSettings &s = fs_settings();
  EXPECT_EQ(0u, trace_bits());
  EXPECT_EQ(32, s.max_files);
  EXPECT_TRUE(s.open_files_once);
  EXPECT_TRUE(s.strip_dot_extension);
  EXPECT_EQ(0, use_large_file_api());
  unsetenv("V_TRACE");
  cfg_release();
}

// How each working value follows its variable: rows of config/values.txt.

}  // namespace
}  // namespace kel
