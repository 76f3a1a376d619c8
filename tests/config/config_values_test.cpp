#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/golden.h"
#include "common/msg_file.h"
#include "common/test_util.h"
#include "config/config.h"
#include "kelfs/errors.h"
#include "messages/msg.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

// The callbacks heard, as "NAME='text'=value" (or NAME=null=value) words.
std::string g_calls;

intptr_t record(const char *name, const char *text, int32_t value, int) {
  g_calls += std::string(g_calls.empty() ? "" : " ") + name + "=" +
             (text ? "'" + std::string(text) + "'" : "null") + "=" + std::to_string(value);
  return 0;
}

intptr_t doubling(const char *, const char *text, int32_t, int) {
  return text ? 2 * atoi(text) : -1;
}

const ConfigKeyword kModes[] = {{"READ", 1}, {"WRITE", 2}, {"APPEND", 4}};
const ConfigKeyword kWithCatchAll[] = {{"ALL", 7}, {nullptr, 16}};

const ConfigVarDef kTable[] = {{"T_BOOL", CFG_BOOL, 1, nullptr, nullptr, 0, record, 0},
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
                               {"T_FIXED", CFG_LONG, 9, nullptr, nullptr, 0, nullptr, 1}};
constexpr int32_t kCount = sizeof kTable / sizeof kTable[0];

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

// "NAME=value" words: the number of a number variable, the text (quoted,
// or null) of the others.
std::string shown(std::initializer_list<const char *> names) {
  std::string out;
  for (const char *name : names) {
    int32_t type = cfg_get_type(name, 0);
    out += (out.empty() ? "" : " ") + std::string(name) + "=";
    if (type == CFG_RAW || (type >= CFG_STRING16 && type <= CFG_STRING256)) {
      const char *text = cfg_get_string(name, 0);
      out += text ? "'" + std::string(text) + "'" : "null";
    } else {
      out += std::to_string(cfg_get_long(name, 0));
    }
  }
  return out;
}

TEST(ConfigValues, DefaultsThenTypedSetters) {
  EXPECT_EQ(0, cfg_get_long("T_LONG", 0)) << "nothing known before any definition";
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(
      "T_BOOL=1 T_TINY=-3 T_BYTE=113 T_SHORT=512 T_LONG=2147482112 T_S16='sixteen' "
      "T_S65='' T_RAW='raw default' NOT_THERE=0",
      shown({"T_BOOL", "T_TINY", "T_BYTE", "T_SHORT", "T_LONG", "T_S16", "T_S65", "T_RAW",
             "NOT_THERE"}));
  EXPECT_EQ(nullptr, cfg_get_string("T_LONG", 0)) << "no text before a value is set";
  EXPECT_EQ(nullptr, cfg_get_string("NOT_THERE", 0));

  g_calls.clear();
  EXPECT_EQ(1, cfg_set_long("T_LONG", 0, -70000));
  EXPECT_STREQ("-70000", cfg_get_string("T_LONG", 0)) << "the decimal form becomes the text";
  EXPECT_EQ("T_LONG='-70000'=-70000", g_calls);
  EXPECT_EQ(1, cfg_set_short("T_SHORT", 0, -2));
  EXPECT_EQ(1, cfg_set_tinyint("T_TINY", 0, -128));
  EXPECT_EQ(1, cfg_set_byte("T_BYTE", 0, 'Z'));
  EXPECT_STREQ("Z", cfg_get_string("T_BYTE", 0));
  EXPECT_EQ(1, cfg_set_string("T_S16", 0, "abcdefghijklmnopqrst"));  // cut at 16
  EXPECT_EQ(1, cfg_set_string("T_S256", 0, std::string(300, 'w').c_str()));
  // A number setter on a string variable stores its decimal text; a string
  // setter on a number variable parses the text.
  EXPECT_EQ(1, cfg_set_long("T_S65", 0, 1234));
  EXPECT_EQ(1, cfg_set_string("T_BOOL", 0, "off"));
  // The typed getters give the numbers in their own widths.
  EXPECT_EQ(0, cfg_get_bool("T_BOOL", 0));
  EXPECT_EQ(-2, cfg_get_short("T_SHORT", 0));
  EXPECT_EQ(-128, cfg_get_tinyint("T_TINY", 0));
  EXPECT_EQ('Z', cfg_get_byte("T_BYTE", 0));
  EXPECT_EQ("T_BOOL=0 T_LONG=-70000 T_S16='abcdefghijklmnop' T_S65='1234'",
            shown({"T_BOOL", "T_LONG", "T_S16", "T_S65"}));
  EXPECT_EQ(std::string(256, 'w'), cfg_get_string("T_S256", 0));
  // A new name becomes a user-defined variable of the setter's type, then
  // of the type of the getter that reads it.
  EXPECT_EQ(1, cfg_set_short("U_NEW", 0, 77));
  EXPECT_EQ(CFG_SHORT, cfg_get_type("U_NEW", 0));
  EXPECT_EQ(77, cfg_get_long("U_NEW", 0));
  EXPECT_EQ(CFG_LONG, cfg_get_type("U_NEW", 0));
  cfg_release();
}

// Booleans: y, t, on, 1, yes, true (any case, blanks around), all else
// false. Number forms: config_parse_test. Tinyint and short keep the low 8
// and 16 bits; keywords are abbreviated and OR'd, else a number is read;
// flags 1 refuse programmatic values; Func: the callback's result.
TEST(ConfigValues, TextsAreParsedByType) {
  cfg_define_table(kTable, kCount, 0);
  struct Case {
    const char *name, *text;
    int32_t want;
  } cases[] = {{"T_BOOL", "y", 1},       {"T_BOOL", " true ", 1}, {"T_BOOL", "on", 1},
               {"T_BOOL", "T", 1},       {"T_BOOL", "maybe", 0},  {"T_BOOL", "Yes", 1},
               {"T_BOOL", "off", 0},     {"T_BOOL", "1", 1},      {"T_BOOL", "F", 0},
               {"T_LONG", "64K", 65536}, {"T_TINY", "300", 44},   {"T_SHORT", "70000", 4464},
               {"T_BYTE", "xyz", 'x'},   {"T_BYTE", "", 0},       {"T_MODES", "read,write", 3},
               {"T_MODES", "A  r", 5},   {"T_MODES", "24", 24},   {"T_CATCH", "whatever", 16},
               {"T_CATCH", "al", 7},     {"T_FIXED", "5", 9},     {"T_FUNC", "21", 42}};
  for (const Case &c : cases) {
    set_text(c.name, c.text);
    EXPECT_EQ(c.want, cfg_get_long(c.name, 0)) << c.name << " " << c.text;
  }
  // Trailing blanks of the value are dropped, the name upper-cased.
  ASSERT_EQ(1, cfg_set_programmatic("t_s65xx", 5, "  value  \t", -1, 0));
  EXPECT_STREQ("  value", cfg_get_string("T_S65", 0));
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
  auto bound = [&] {
    return std::to_string(tiny) + " " + std::to_string(shorty) + " " + std::to_string(longy) + " " +
           std::to_string(booly);
  };
  EXPECT_EQ("-3 512 2147482112 1", bound()) << "defaults written at once, Tinyint sign-extended";

  g_calls.clear();
  set_text("T_TINY", "-7");
  set_text("T_BOOL", "off");
  set_text("T_LONG", "3m");
  set_text("T_S16", "folder");
  set_text("T_RAW", "anything 12");  // Raw: value 0
  EXPECT_EQ("-7 512 3145728 0", bound());
  EXPECT_EQ(
      "T_TINY='-7'=-7 T_BOOL='FALSE'=0 T_LONG='3m'=3145728 T_S16='folder'=0 "
      "T_RAW='anything 12'=0",
      g_calls);

  // Clearing a value: default again, callback without text.
  g_calls.clear();
  ASSERT_EQ(1, cfg_set_raw("T_LONG", 0, nullptr));
  EXPECT_EQ(2147482112, cfg_get_long("T_LONG", 0));
  EXPECT_EQ("-7 512 2147482112 0", bound());
  EXPECT_EQ("T_LONG=null=0", g_calls);

  // Reset: every value gone, callbacks told, bound variables at default.
  g_calls.clear();
  cfg_reset_all(0, 0);
  EXPECT_EQ("-3 512 2147482112 1", bound());
  EXPECT_EQ("T_BOOL=1 T_S16='sixteen'", shown({"T_BOOL", "T_S16"}));
  for (const char *name : {"T_BOOL", "T_TINY", "T_SHORT", "T_LONG", "T_S16", "T_RAW"})
    EXPECT_NE(std::string::npos, g_calls.find(name + std::string("=null=0"))) << g_calls;
  EXPECT_EQ(std::string::npos, g_calls.find('\'')) << g_calls;
  cfg_release();
}

intptr_t g_func_cleared = 0;
intptr_t note_clear(const char *, const char *text, int32_t, int) {
  if (text == nullptr) ++g_func_cleared;
  return 5;
}

TEST(ConfigValues, DefinitionsApplyEarlierValuesAndAreCounted) {
  // Values set before the definition are applied at it; binding afterwards
  // takes the applied value.
  set_text("T_LONG", "64k");
  set_text("T_BOOL", "no");
  EXPECT_EQ(CFG_RAW, cfg_get_type("T_LONG", 0));
  g_calls.clear();
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(65536, cfg_get_long("T_LONG", 0));
  EXPECT_EQ(0, cfg_get_bool("T_BOOL", 0));
  EXPECT_EQ(CFG_LONG, cfg_get_type("T_LONG", 0));
  EXPECT_EQ("T_BOOL='FALSE'=0 T_LONG='64k'=65536", g_calls);
  int32_t bound = 0;
  cfg_bind("T_LONG", 0, &bound);
  EXPECT_EQ(65536, bound);
  // The environment reaches defined variables only, and only when applied.
  set_text("U_USER", "mine");
  setenv("T_SHORT", "99", 1);
  setenv("U_USER", "env", 1);
  EXPECT_EQ(512, cfg_get_short("T_SHORT", 0)) << "getters do not read the environment";
  ASSERT_EQ(1, cfg_apply_environment(0));
  EXPECT_EQ(99, cfg_get_short("T_SHORT", 0));
  EXPECT_STREQ("mine", cfg_get_string("U_USER", 0));
  cfg_release();

  const ConfigVarDef table[] = {{"D_ONE", CFG_LONG, 1, nullptr, nullptr, 0, nullptr, 0},
                                {"D_FUNC", CFG_FUNC, 0, nullptr, nullptr, 0, note_clear, 0}};
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

TEST(ConfigValues, NoMemoryForStorageEndsTheProcess) {
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EXIT(
      {
        alloc_fail_nth(2);  // the set's block array is the first, its first block the second
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
  EXPECT_EQ("T_RAW='ap8qGh8a'=0", g_calls) << "the configuration's own alphabet";
  int32_t length = 0;
  uint8_t *back = cfg_get_base64("T_RAW", 0, &length);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(6, length) << "3 bytes for every group of 4 characters";
  EXPECT_EQ(0, memcmp("\x00\xFF\x10\x80\x7F\x00", back, 6));
  M_free(back, "test", 1, nullptr);
  // Characters outside the alphabet count as 0, a short group is completed.
  ASSERT_EQ(1, cfg_set_raw("T_RAW", 0, "[]!*b"));
  back = cfg_get_base64("T_RAW", 0, &length);
  EXPECT_EQ(std::string("\xFB\xF0\x00\x04\x00\x00", 6),
            std::string(reinterpret_cast<char *>(back), length));
  M_free(back, "test", 1, nullptr);
  EXPECT_EQ(nullptr, cfg_get_base64("T_S65", 0, &length));
  EXPECT_EQ(0, length);
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

// Reports of every value applied, in the library's own texts, or in the
// message file's when there is one.
TEST(ConfigValues, VerboseReportsInTheirOwnTextsOrTheMessageFiles) {
  cfg_define_table(kTable, kCount, 0);
  EXPECT_EQ(0, cfg_set_verbose(1, 0));
  TempDir dir;
  write_file(dir / "m.msg",
             MsgFileBuilder().add(707, {"%2 <- %1\n"}).add(1391, {"user %s", " = %s\n"}).bytes());
  StderrCapture err;
  set_text("T_LONG", "64k");
  set_text("T_S65", "short text");
  set_text("T_S256", std::string(100, 'v').c_str());
  set_text("U_FREE", "free value");
  set_text("T_BOOL", "maybe");
  cfg_define_table(kTable, 1, 0);
  setenv("A_MESSAGE", (dir / "m.msg").c_str(), 1);
  char error[300];
  ASSERT_EQ(1, Amsg_init(error));
  set_text("T_SHORT", "12");
  set_text("U_X", "y");
  EXPECT_TRUE(matches_golden("config/verbose.txt", err.text()));
  EXPECT_EQ(1, cfg_set_verbose(0, 0));
  Amsg_shutdown();
  cfg_release();
}

}  // namespace
}  // namespace kel::test
