#include <gtest/gtest.h>

#include <string>

#include "common/test_util.h"
#include "config/config.h"

namespace kel {
namespace {

TEST(ConfigFile, WritesCommentsValuesListsAndContinuations) {
  test::TempDir dir;
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
  std::string exactly(78 - 5, 'e');  // fits on the line: name, blank, value
  cfg_set_raw("E_FIT", 0, exactly.c_str());
  std::string one_more(78 - 5 + 1, 'o');
  cfg_set_raw("F_OVR", 0, one_more.c_str());

  std::string path = dir / "vars.cfg";
  ASSERT_EQ(1, cfg_write_file(path.c_str(), 0));
  std::string want = "# plain comment\nA_PLAIN value one\n";
  want += "B_EMPTY \n";
  want += "C_LONG_VALUE\n\t- " + long_value.substr(0, 68) + "\n\t- " + long_value.substr(68, 68) +
          "\n\t- " + long_value.substr(136) + "\n";
  want += "\nD_LIST x\nD_LIST y\n";
  want += "E_FIT " + exactly + "\n";
  want += "F_OVR\n\t- " + one_more.substr(0, 68) + "\n\t- " + one_more.substr(68) + "\n";
  EXPECT_EQ(want, test::read_file(path));
  EXPECT_EQ(0, cfg_write_file((dir / "no/such/folder").c_str(), 0));
  cfg_release();
}

TEST(ConfigFile, StatisticsAtRelease) {
  test::TempDir dir(true);
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
  EXPECT_FALSE(test::file_exists(dir / "cfgstats.out"));
  cfg_release();
  EXPECT_EQ(
      "S_BOOL: type Bool, set 1 times, queried 2 times\n"
      "S_STR: type 16string, set 1 times, queried 0 times\n"
      "U_USER: type long, set 1 times, queried 2 times\n"
      "total variable lookups: 7\n",
      test::read_file(dir / "cfgstats.out"));
}

}  // namespace
}  // namespace kel
