#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/msg_file.h"
#include "common/test_util.h"
#include "config/config.h"
#include "kelfs/errors.h"
#include "messages/msg.h"
#include "support/alloc.h"

namespace kel {
namespace {

struct Call {
  std::string name;
  bool has_text;
  std::string text;
  int32_t value;
  int verbose;
};
std::vector<Call> g_calls;

intptr_t record(const char *name, const char *text, int32_t value, int verbose) {
  g_calls.push_back({name, text != nullptr, text ? text : "", value, verbose});
  return 0;
}

intptr_t doubling(const char *, const char *text, int32_t, int) {
  return text ? 2 * atoi(text) : -1;
}

const ConfigKeyword kModes[] = {{"READ", 1}, {"WRITE", 2}, {"APPEND", 4}};
const ConfigKeyword kWithCatchAll[] = {{"ALL", 7}, {nullptr, 16}};

const ConfigVarDef kTable[] = {
    {"T_BOOL", CFG_BOOL, 1, nullptr, nullptr, 0, record, 0},
    {"T_TINY", CFG_TINYINT, -3, nullptr, nullptr, 0, record, 0},
    {"T_BYTE", CFG_BYTE, 'q', nullptr, nullptr, 0, nullptr, 0},
    {"T_SHORT", CFG_SHORT, 512, nullptr, nullptr, 0, record, 0},
    {"T_LONG", CFG_LONG, 2147482112, nullptr, nullptr, 0, record, 0},
    {"T_S16", CFG_STRING16, 0, "sixteen", nullptr, 0, record, 0},
    {"T_S65", CFG_STRING65, 0, "", nullptr, 0, nullptr, 0},
    {"T_S256", CFG_STRING256, 0, "", nullptr, 0, nullptr, 0},
    {"T_RAW", CFG_RAW, 0, "raw default", nullptr, 0, record, 0},
    {"T_FUNC", CFG_FUNC, 0, nullptr, nullptr, 0, doubling, 0},
    {"T_MODES", CFG_LONG, 0, nullptr, kModes, 3, nullptr, 0},
    {"T_CATCH", CFG_SHORT, 0, nullptr, kWithCatchAll, 2, nullptr, 0},
    {"T_FIXED", CFG_LONG, 9, nullptr, nullptr, 0, nullptr, 1},
};
constexpr int32_t kCount = sizeof kTable / sizeof kTable[0];

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

TEST(ConfigValues, DefaultsThenTypedSetters) {
  EXPECT_EQ(0, cfg_get_long("T_LONG", 0)) << "nothing known before any definition";
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(1, cfg_get_bool("T_BOOL", 0));
  EXPECT_EQ(-3, cfg_get_tinyint("T_TINY", 0));
  EXPECT_EQ('q', cfg_get_byte("T_BYTE", 0));
  EXPECT_EQ(512, cfg_get_short("T_SHORT", 0));
  EXPECT_EQ(2147482112, cfg_get_long("T_LONG", 0));
  EXPECT_STREQ("sixteen", cfg_get_string("T_S16", 0));
  EXPECT_STREQ("raw default", cfg_get_string("T_RAW", 0));
  EXPECT_EQ(nullptr, cfg_get_string("T_LONG", 0)) << "no text before a value is set";
  EXPECT_EQ(CFG_STRING65, cfg_get_type("T_S65", 0));
  EXPECT_EQ(0, cfg_get_long("NOT_THERE", 0));
  EXPECT_EQ(nullptr, cfg_get_string("NOT_THERE", 0));

  g_calls.clear();
  EXPECT_EQ(1, cfg_set_long("T_LONG", 0, -70000));
  EXPECT_EQ(-70000, cfg_get_long("T_LONG", 0));
  EXPECT_STREQ("-70000", cfg_get_string("T_LONG", 0)) << "the decimal form becomes the text";
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ("T_LONG", g_calls[0].name);
  EXPECT_EQ("-70000", g_calls[0].text);
  EXPECT_EQ(-70000, g_calls[0].value);

  EXPECT_EQ(1, cfg_set_short("T_SHORT", 0, -2));
  EXPECT_EQ(-2, cfg_get_short("T_SHORT", 0));
  EXPECT_EQ(1, cfg_set_tinyint("T_TINY", 0, -128));
  EXPECT_EQ(-128, cfg_get_tinyint("T_TINY", 0));
  EXPECT_EQ(1, cfg_set_byte("T_BYTE", 0, 'Z'));
  EXPECT_EQ('Z', cfg_get_byte("T_BYTE", 0));
  EXPECT_STREQ("Z", cfg_get_string("T_BYTE", 0));
  EXPECT_EQ(1, cfg_set_string("T_S16", 0, "abcdefghijklmnopqrst"));
  EXPECT_STREQ("abcdefghijklmnop", cfg_get_string("T_S16", 0)) << "cut at 16";
  EXPECT_EQ(1, cfg_set_string("T_S256", 0, std::string(300, 'w').c_str()));
  EXPECT_EQ(std::string(256, 'w'), cfg_get_string("T_S256", 0));
  // A number setter on a string variable stores its decimal text.
  EXPECT_EQ(1, cfg_set_long("T_S65", 0, 1234));
  EXPECT_STREQ("1234", cfg_get_string("T_S65", 0));
  // A string setter on a number variable parses the text.
  EXPECT_EQ(1, cfg_set_string("T_LONG", 0, "8k"));
  EXPECT_EQ(8192, cfg_get_long("T_LONG", 0));
  // A new name becomes a user-defined variable of the setter's type.
  EXPECT_EQ(1, cfg_set_short("U_NEW", 0, 77));
  EXPECT_EQ(CFG_SHORT, cfg_get_type("U_NEW", 0));
  EXPECT_EQ(77, cfg_get_short("U_NEW", 0));
  EXPECT_EQ(77, cfg_get_long("U_NEW", 0));
  EXPECT_EQ(CFG_LONG, cfg_get_type("U_NEW", 0)) << "the getter's type is recorded";
  cfg_release();
}

TEST(ConfigValues, TextsAreParsedByType) {
  cfg_define_table(kTable, kCount, 0);
  for (const char *yes : {"y", "T", "on", "1", "Yes", " true "}) {
    set_text("T_BOOL", "0");
    set_text("T_BOOL", yes);
    EXPECT_EQ(1, cfg_get_bool("T_BOOL", 0)) << yes;
    EXPECT_STREQ("TRUE", cfg_get_string("T_BOOL", 0));
  }
  for (const char *no : {"n", "off", "0", "F", "maybe"}) {
    set_text("T_BOOL", "1");
    set_text("T_BOOL", no);
    EXPECT_EQ(0, cfg_get_bool("T_BOOL", 0)) << no;
    EXPECT_STREQ("FALSE", cfg_get_string("T_BOOL", 0));
  }
  set_text("T_LONG", "64K");  // the number forms themselves: config_parse_test
  EXPECT_EQ(65536, cfg_get_long("T_LONG", 0));
  set_text("T_TINY", "300");
  EXPECT_EQ(44, cfg_get_tinyint("T_TINY", 0)) << "the low byte";
  set_text("T_SHORT", "70000");
  EXPECT_EQ(4464, cfg_get_short("T_SHORT", 0)) << "the low 16 bits";
  set_text("T_BYTE", "xyz");
  EXPECT_EQ('x', cfg_get_byte("T_BYTE", 0));
  set_text("T_BYTE", "");
  EXPECT_EQ(0, cfg_get_byte("T_BYTE", 0));
  // Keywords are OR'd; abbreviations and separators are allowed.
  set_text("T_MODES", "read,write");
  EXPECT_EQ(3, cfg_get_long("T_MODES", 0));
  set_text("T_MODES", "A  r");
  EXPECT_EQ(5, cfg_get_long("T_MODES", 0));
  set_text("T_MODES", "24");
  EXPECT_EQ(24, cfg_get_long("T_MODES", 0)) << "no keyword: a number";
  set_text("T_CATCH", "whatever");
  EXPECT_EQ(16, cfg_get_short("T_CATCH", 0));
  set_text("T_CATCH", "al");
  EXPECT_EQ(7, cfg_get_short("T_CATCH", 0));
  // Trailing blanks of the value are dropped, the name upper-cased.
  ASSERT_EQ(1, cfg_set_programmatic("t_s65xx", 5, "  value  \t", -1, 0));
  EXPECT_STREQ("  value", cfg_get_string("T_S65", 0));
  // A definition with flags 1 refuses programmatic values.
  set_text("T_FIXED", "5");
  EXPECT_EQ(9, cfg_get_long("T_FIXED", 0));
  // Func: the callback's result is the value.
  set_text("T_FUNC", "21");
  EXPECT_EQ(42, cfg_get_long("T_FUNC", 0));
  cfg_release();
}

TEST(ConfigValues, CallbacksAndBoundVariablesFollowApplication) {
  cfg_define_table(kTable, kCount, 0);
  int16_t tiny = 0x5555, shorty = 0;
  int32_t longy = 0;
  uint8_t booly = 9;
  ASSERT_EQ(1, cfg_bind("T_TINY", 0, &tiny));
  ASSERT_EQ(1, cfg_bind("T_SHORT", 0, &shorty));
  ASSERT_EQ(1, cfg_bind("T_LONG", 0, &longy));
  ASSERT_EQ(1, cfg_bind("T_BOOL", 0, &booly));
  EXPECT_EQ(0, cfg_bind("NOT_THERE", 0, &longy));
  EXPECT_EQ(-3, tiny) << "defaults written at once, Tinyint sign-extended";
  EXPECT_EQ(512, shorty);
  EXPECT_EQ(2147482112, longy);
  EXPECT_EQ(1, booly);

  g_calls.clear();
  set_text("T_TINY", "-7");
  set_text("T_BOOL", "off");
  set_text("T_LONG", "3m");
  set_text("T_S16", "folder");
  set_text("T_RAW", "anything 12");
  EXPECT_EQ(-7, tiny);
  EXPECT_EQ(0, booly);
  EXPECT_EQ(3 << 20, longy);
  ASSERT_EQ(5u, g_calls.size());
  EXPECT_EQ(-7, g_calls[0].value);
  EXPECT_EQ("FALSE", g_calls[1].text);
  EXPECT_EQ(0, g_calls[1].value);
  EXPECT_EQ(3 << 20, g_calls[2].value);
  EXPECT_EQ("folder", g_calls[3].text);
  EXPECT_EQ(0, g_calls[4].value) << "Raw: value 0";
  EXPECT_EQ("anything 12", g_calls[4].text);

  // Clearing a value: default again, callback without text.
  g_calls.clear();
  ASSERT_EQ(1, cfg_set_raw("T_LONG", 0, nullptr));
  EXPECT_EQ(2147482112, cfg_get_long("T_LONG", 0));
  EXPECT_EQ(2147482112, longy);
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_FALSE(g_calls[0].has_text);

  // Reset: every value gone, callbacks told, bound variables at default.
  g_calls.clear();
  cfg_reset_all(0, 0);
  EXPECT_EQ(-3, tiny);
  EXPECT_EQ(1, booly);
  EXPECT_EQ(1, cfg_get_bool("T_BOOL", 0));
  EXPECT_STREQ("sixteen", cfg_get_string("T_S16", 0));
  EXPECT_EQ(6u, g_calls.size());
  for (const Call &c : g_calls) EXPECT_FALSE(c.has_text) << c.name;
  cfg_release();
}

TEST(ConfigValues, ValuesSetBeforeDefinitionAreAppliedAtDefinition) {
  set_text("T_LONG", "64k");
  set_text("T_BOOL", "no");
  EXPECT_EQ(CFG_RAW, cfg_get_type("T_LONG", 0));
  g_calls.clear();
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(65536, cfg_get_long("T_LONG", 0));
  EXPECT_EQ(0, cfg_get_bool("T_BOOL", 0));
  EXPECT_EQ(CFG_LONG, cfg_get_type("T_LONG", 0));
  EXPECT_EQ(2u, g_calls.size());
  // Binding after the definition takes the applied value, not the default.
  int32_t bound = 0;
  cfg_bind("T_LONG", 0, &bound);
  EXPECT_EQ(65536, bound);
  cfg_release();
}

intptr_t g_func_cleared = 0;
intptr_t note_clear(const char *, const char *text, int32_t, int) {
  if (text == nullptr) ++g_func_cleared;
  return 5;
}

TEST(ConfigValues, DefinitionsAreCountedAndUndefinedLastToFirst) {
  const ConfigVarDef table[] = {
      {"D_ONE", CFG_LONG, 1, nullptr, nullptr, 0, nullptr, 0},
      {"D_FUNC", CFG_FUNC, 0, nullptr, nullptr, 0, note_clear, 0},
  };
  cfg_define_table(table, 2, 0);
  cfg_set_long("D_ONE", 0, 10);
  cfg_define_table(table, 1, 0);  // a second table naming D_ONE
  EXPECT_EQ(10, cfg_get_long("D_ONE", 0)) << "re-applied, not reset";
  cfg_undefine_table(table, 2, 0);
  EXPECT_EQ(10, cfg_get_long("D_ONE", 0)) << "still defined once";
  EXPECT_EQ(0, cfg_get_type("D_FUNC", 0));
  EXPECT_EQ(1, g_func_cleared) << "a Func variable hears its end";
  cfg_undefine_table(table, 1, 0);
  EXPECT_EQ(0, cfg_get_type("D_ONE", 0));
  EXPECT_EQ(0, cfg_get_long("D_ONE", 0));
  cfg_release();
}

TEST(ConfigValues, StorageIsCarvedFromKilobyteBlocks) {
  cfg_define_table(kTable, kCount, 0);
  std::vector<ConfigVarDef> strings;
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) names.push_back("S" + std::to_string(i));
  for (auto &n : names)
    strings.push_back({n.c_str(), CFG_STRING256, 0, "", nullptr, 0, nullptr, 0});
  cfg_define_table(strings.data(), static_cast<int32_t>(strings.size()), 0);
  int64_t before = alloc_live_blocks();
  cfg_set_string("S0", 0, "x");
  EXPECT_EQ(before + 2, alloc_live_blocks()) << "the block array and the first block";
  cfg_set_string("S1", 0, "x");
  cfg_set_string("S2", 0, "x");
  EXPECT_EQ(before + 2, alloc_live_blocks()) << "3 * 257 bytes fit in 1024";
  cfg_set_string("S3", 0, "x");
  EXPECT_EQ(before + 3, alloc_live_blocks()) << "the fourth starts a new block";
  for (int i = 0; i < 8; ++i)
    cfg_set_string(names[i].c_str(), 0, std::string(256, static_cast<char>('a' + i)).c_str());
  cfg_set_short("T_SHORT", 0, 1);
  cfg_set_long("T_LONG", 0, -1);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(std::string(256, static_cast<char>('a' + i)), cfg_get_string(names[i].c_str(), 0));
  EXPECT_EQ(1, cfg_get_short("T_SHORT", 0));
  EXPECT_EQ(-1, cfg_get_long("T_LONG", 0));
  cfg_release();
}

TEST(ConfigValues, NoMemoryForStorageEndsTheProcess) {
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EXIT(
      {
        alloc_fail_nth(2);  // the block array is the first, the block the second
        cfg_set_long("T_LONG", 0, 1);
      },
      testing::ExitedWithCode(255), "\\*\\*\\* Out of Memory \\*\\*\\*\n");
  cfg_release();
}

TEST(ConfigValues, OtherSettersListsCommentsAndBase64) {
  cfg_define_table(kTable, kCount, 0);
  const char *list[] = {"first", "second", ""};
  ASSERT_EQ(1, cfg_set_value_list("T_RAW", 0, list));
  const char *got = cfg_get_value_list("T_RAW", 0);
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(std::string("first\0second\0\0", 14), std::string(got, 14));
  ASSERT_EQ(1, cfg_set_comment("T_RAW", 0, "# the raw one"));
  EXPECT_STREQ("# the raw one", cfg_get_comment("T_RAW", 0));
  ASSERT_EQ(1, cfg_set_comment("T_RAW", 0, nullptr));
  EXPECT_EQ(nullptr, cfg_get_comment("T_RAW", 0));

  const uint8_t bytes[] = {0x00, 0xFF, 0x10, 0x80, 0x7F};
  g_calls.clear();
  ASSERT_EQ(1, cfg_set_base64("T_RAW", 0, bytes, 5));
  EXPECT_EQ(1u, g_calls.size());
  int32_t length = 0;
  uint8_t *back = cfg_get_base64("T_RAW", 0, &length);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(6, length) << "3 bytes for every group of 4 characters";
  EXPECT_EQ(0, memcmp(bytes, back, 5));
  EXPECT_EQ(0, back[5]);
  M_free(back, "test", 1, nullptr);
  EXPECT_EQ(nullptr, cfg_get_base64("T_S65", 0, &length));
  EXPECT_EQ(0, length);
  cfg_release();
}

TEST(ConfigValues, EnvironmentAppliesToDefinedVariablesOnly) {
  cfg_define_table(kTable, kCount, 0);
  set_text("U_USER", "mine");
  setenv("T_SHORT", "99", 1);
  setenv("U_USER", "env", 1);
  EXPECT_EQ(512, cfg_get_short("T_SHORT", 0)) << "getters do not read the environment";
  ASSERT_EQ(1, cfg_apply_environment(0));
  EXPECT_EQ(99, cfg_get_short("T_SHORT", 0));
  EXPECT_STREQ("mine", cfg_get_string("U_USER", 0));
  unsetenv("T_SHORT");
  unsetenv("U_USER");
  cfg_release();
}

TEST(ConfigValues, SetsNotInUseRefuseEverything) {
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(0, cfg_set_long("T_LONG", 3, 1));
  EXPECT_EQ(0, cfg_get_long("T_LONG", 3));
  EXPECT_EQ(0, cfg_set_verbose(1, 3));
  cfg_free_set(0);
  EXPECT_EQ(0, cfg_set_long("T_LONG", 0, 1));
  EXPECT_EQ(0, cfg_get_long("T_LONG", 0));
  EXPECT_EQ(0, cfg_set_programmatic("X", -1, "1", -1, 0));
  cfg_release();
  EXPECT_EQ(1, cfg_set_long("T_LONG", 0, 1)) << "a released library starts afresh";
  cfg_release();
}

TEST(ConfigValues, VerboseReports) {
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(0, cfg_set_verbose(1, 0));
  test::StderrCapture err;
  set_text("T_LONG", "64k");
  set_text("T_S65", "short text");
  set_text("T_S256", std::string(100, 'v').c_str());
  set_text("U_FREE", "free value");
  set_text("T_BOOL", "maybe");
  cfg_define_table(kTable, 1, 0);
  EXPECT_EQ(std::string("Set parameter 'T_LONG' to 65536\n"
                        "Set parameter 'T_S65' to 'short text'\n"
                        "Set parameter 'T_S256' to '") +
                std::string(95, 'v') +
                " ...'\n"
                "Set variable 'U_FREE' to value 'free value'\n"
                "Warning: MAYBE does not match any of the following keywords: '1' '0' 'ON' "
                "'OFF' 'TRUE' 'FALSE' 'YES' 'NO'\n"
                "Set parameter 'T_BOOL' to 0\n"
                "Configuration variable 'T_BOOL' has previously been defined\n"
                "Set parameter 'T_BOOL' to 0\n",
            err.text());
  EXPECT_EQ(1, cfg_set_verbose(0, 0));
  cfg_release();
}

TEST(ConfigValues, VerboseReportsComeFromTheMessageFile) {
  test::TempDir dir;
  test::write_file(
      dir / "m.msg",
      test::MsgFileBuilder().add(707, {"%2 <- %1\n"}).add(1391, {"user %s", " = %s\n"}).bytes());
  setenv("A_MESSAGE", (dir / "m.msg").c_str(), 1);
  char error[300];
  ASSERT_EQ(1, Amsg_init(error));
  cfg_define_table(kTable, kCount, 0);
  cfg_set_verbose(1, 0);
  test::StderrCapture err;
  set_text("T_SHORT", "12");
  set_text("U_X", "y");
  EXPECT_EQ("12 <- T_SHORT\nuser U_X = y\n", err.text());
  Amsg_shutdown();
  cfg_release();
}

}  // namespace
}  // namespace kel
