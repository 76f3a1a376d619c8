#include <gtest/gtest.h>

#include <string>

#include "common/golden.h"
#include "common/test_util.h"
#include "config/config.h"

namespace kel::test {
namespace {

// Comments, values, value lists and values too long for one line (78
// characters less the name's), cut into continuation lines.
TEST(ConfigFile, WritesCommentsValuesListsAndContinuations) {
  TempDir dir;
  const ConfigVarDef defs[] = {{"B_EMPTY", CFG_LONG, 3, nullptr, nullptr, 0, nullptr, 0},
                               {"C_LONG_VALUE", CFG_RAW, 0, nullptr, nullptr, 0, nullptr, 0}};
  cfg_define_table(defs, 2, 0);
  cfg_set_programmatic("A_PLAIN", -1, "value one", -1, 0);
  cfg_set_comment("A_PLAIN", 0, "# plain comment");
  const char *list[] = {"x", "y", ""};
  cfg_set_value_list("D_LIST", 0, list);
  cfg_set_comment("D_LIST", 0, "");
  std::string long_value;
  for (int i = 0; i < 150; ++i) long_value += static_cast<char>('a' + i % 26);
  cfg_set_raw("C_LONG_VALUE", 0, long_value.c_str());
  cfg_set_raw("E_FIT", 0, std::string(73, 'e').c_str());  // name, blank and value: 78
  cfg_set_raw("F_OVR", 0, std::string(74, 'o').c_str());
  ASSERT_EQ(1, cfg_write_file((dir / "vars.cfg").c_str(), 0));
  EXPECT_TRUE(matches_golden("config/written.cfg", read_file(dir / "vars.cfg")));
  EXPECT_EQ(0, cfg_write_file((dir / "no/such/folder").c_str(), 0));
  cfg_release();
}

TEST(ConfigFile, StatisticsAtRelease) {
  TempDir dir(true);
  const ConfigVarDef defs[] = {{"S_BOOL", CFG_BOOL, 0, nullptr, nullptr, 0, nullptr, 0},
                               {"S_UNUSED", CFG_LONG, 0, nullptr, nullptr, 0, nullptr, 0},
                               {"S_STR", CFG_STRING16, 0, "", nullptr, 0, nullptr, 0}};
  cfg_define_table(defs, 3, 0);
  EXPECT_EQ(0, cfg_set_statistics(1, 0));
  cfg_get_bool("S_BOOL", 0);
  cfg_get_bool("S_BOOL", 0);
  cfg_set_programmatic("S_BOOL", -1, "on", -1, 0);
  cfg_set_string("S_STR", 0, "s");
  cfg_set_long("U_USER", 0, 4);
  cfg_get_long("U_USER", 0);
  Agetenv("U_USER");
  EXPECT_FALSE(file_exists(dir / "cfgstats.out"));
  cfg_release();
  EXPECT_TRUE(matches_golden("config/cfgstats.out", read_file(dir / "cfgstats.out")));
}

}  // namespace
}  // namespace kel::test
