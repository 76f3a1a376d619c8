#include "config/fs_config.h"
#include "kelfs/kelfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"

namespace kel {
namespace {

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

// The variables the rest of the file system reads through getters of
// their own type, with the defaults it relies on, and the working values.
TEST(FsConfig, DefaultsOfEachTypeAndTheWorkingValues) {
  setenv("V_TRACE", "31", 1);  // the environment does not reach the getters
  v5_init_cfg();
  const struct {
    const char *name;
    int32_t type;
    long value;
  } defaults[] = {{"OPEN_FILES_ONCE", CFG_BOOL, 1},     {"USE_LARGE_FILE_API", CFG_BOOL, 0},
                  {"COMPRESS_FACTOR", CFG_TINYINT, 70}, {"MAX_FILES", CFG_SHORT, 32},
                  {"V_VERSION", CFG_SHORT, 5},          {"V_BUFFERS", CFG_LONG, -1},
                  {"V_SEG_SIZE", CFG_LONG, 2147482112}, {"V_TRACE", CFG_LONG, 0}};
  for (const auto &d : defaults) {
    EXPECT_EQ(d.type, cfg_get_type(d.name, 0)) << d.name;
    EXPECT_EQ(d.value, cfg_get_long(d.name, 0)) << d.name;
  }
  EXPECT_EQ(CFG_STRING65, cfg_get_type("LOG_DIR", 0));
  EXPECT_EQ(CFG_STRING256, cfg_get_type("DUPLICATES_LOG", 0));
  EXPECT_STREQ("", cfg_get_string("DUPLICATES_LOG", 0));
  const FsSettings &s = fs_settings();
  EXPECT_EQ(0u, s.trace);
  EXPECT_EQ(32, s.max_files);
  EXPECT_TRUE(s.open_files_once);
  EXPECT_TRUE(s.strip_dot_extension);
  EXPECT_EQ(0, use_large_file_api());
  unsetenv("V_TRACE");
  cfg_release();
}

// The working value that a variable of the table sets.
long working_value(const std::string &name, const FsSettings &s = fs_settings()) {
  if (name == "V_CACHE_FLUSH_PERCENT") return s.cache_flush_percent;
  if (name == "V_INDEX_BLOCK_PERCENT") return s.index_block_percent;
  if (name == "V_LOCK_METHOD") return s.lock_method;
  if (name == "MAX_FILES") return s.max_files;
  if (name == "MAX_LOCKS") return s.max_locks;
  if (name == "V_TRACE") return static_cast<long>(s.trace);
  if (name == "EOL_CHAR") return s.eol_char;
  if (name == "QUEUE_READERS") return s.queue_readers;
  if (name == "V_STRIP_DOT_EXTENSION") return s.strip_dot_extension;
  if (name == "LOG_DIR") return static_cast<long>(strlen(s.log_dir));
  ADD_FAILURE() << name;
  return -1;
}

TEST(FsConfig, CallbackClampsAndFallsBack) {
  v5_init_cfg();
  // Out of range: the default. The lock methods are 0, 1 and 2 and those
  // plus 256 or 512; another one leaves 0. The log folder keeps the
  // 65string's width.
  const std::string long_dir(70, 'd');
  struct Case {
    const char *name, *text;
    long want;
  } cases[] = {{"V_CACHE_FLUSH_PERCENT", "0", 25},
               {"V_CACHE_FLUSH_PERCENT", "150", 25},
               {"V_CACHE_FLUSH_PERCENT", "100", 100},
               {"V_INDEX_BLOCK_PERCENT", "1001", 100},
               {"V_INDEX_BLOCK_PERCENT", "1000", 1000},
               {"V_LOCK_METHOD", "3", 0},
               {"V_LOCK_METHOD", "256", 0},
               {"V_LOCK_METHOD", "2", 2},
               {"V_LOCK_METHOD", "258", 258},
               {"V_LOCK_METHOD", "514", 514},
               {"MAX_FILES", "40000", 32767},
               {"V_TRACE", "17", 17},
               {"EOL_CHAR", "13", 13},
               {"LOG_DIR", long_dir.c_str(), 65},
               {"QUEUE_READERS", "yes", 1},
               {"V_STRIP_DOT_EXTENSION", "off", 0}};
  for (const Case &c : cases) {
    set_text(c.name, c.text);
    EXPECT_EQ(c.want, working_value(c.name)) << c.name << " " << c.text;
  }
  EXPECT_EQ(std::string(65, 'd'), fs_settings().log_dir);
  // Clearing a value restores each working value's default.
  const FsSettings defaults;
  for (const Case &c : cases) {
    cfg_set_raw(c.name, 0, nullptr);
    EXPECT_EQ(working_value(c.name, defaults), working_value(c.name)) << c.name;
  }
  cfg_release();
}

// Any text an operator may put into a variable (through the environment
// or a configuration file) is taken or refused: the clamped working values
// stay inside their clamps and nothing reads or writes outside a buffer.
// (MAX_FILES is kept as given; the file table and the cache take at least
// one entry.)
TEST(FsConfig, RandomTextsKeepEveryWorkingValueInItsRange) {
  v5_init_cfg();
  std::mt19937 rng(20261206);
  const char pieces[] = "0123456789 ,;-+kKmMgGxX=\'\"on off yes no read 999999999999";
  std::vector<std::string> names;
  std::istringstream in(
      "V_CACHE_FLUSH_PERCENT V_INDEX_BLOCK_PERCENT LOG_DIR LOG_FILE DUPLICATES_LOG V_LOCK_METHOD "
      "MAX_FILES EOL_CHAR V_TRACE COMPRESS_FACTOR V_SEG_SIZE");
  for (std::string name; in >> name;) names.push_back(name);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    size_t length = rng() % 8 ? rng() % 12 : 200 + rng() % 400;
    for (size_t i = 0; i < length; ++i) text += pieces[rng() % (sizeof pieces - 1)];
    const std::string &name = names[rng() % names.size()];
    cfg_set_programmatic(name.c_str(), -1, text.c_str(), -1, 0);
    const FsSettings &s = fs_settings();
    ASSERT_TRUE(s.cache_flush_percent >= 1 && s.cache_flush_percent <= 100) << name << "=" << text;
    ASSERT_TRUE(s.index_block_percent >= 1 && s.index_block_percent <= 1000) << name << "=" << text;
    ASSERT_LE(strlen(s.log_dir), 65u);
    ASSERT_LE(strlen(s.log_file), 65u);
  }
  cfg_release();
}

TEST(FsConfig, DefinedOnceWithEarlierValuesAndUndefinedAtShutdown) {
  set_text("V_TRACE", "20");
  set_text("USE_LARGE_FILE_API", "on");
  cfg_set_long("V_SEG_SIZE", 0, 1048576);
  v5_init_cfg();
  v5_init_cfg();
  EXPECT_EQ(20, working_value("V_TRACE"));
  EXPECT_EQ(1048576, cfg_get_long("V_SEG_SIZE", 0));
  for (auto [text, on] : {std::pair{"0", 0}, {"true", 1}}) {
    set_text("USE_LARGE_FILE_API", text);
    EXPECT_EQ(on, use_large_file_api());
  }
  set_text("MAX_LOCKS", "64");
  EXPECT_EQ(64, working_value("MAX_LOCKS"));
  v5_deinit_cfg();
  EXPECT_EQ(0, cfg_get_type("MAX_LOCKS", 0)) << "a single definition to undo";
  EXPECT_EQ(32, working_value("MAX_LOCKS")) << "working values back at their defaults";
  v5_deinit_cfg();
  v5_init_cfg();
  EXPECT_EQ(CFG_SHORT, cfg_get_type("MAX_LOCKS", 0));
  EXPECT_EQ(32, cfg_get_short("MAX_LOCKS", 0));
  // The environment reaches the table through the apply operation.
  setenv("V_TRACE", "8", 1);
  cfg_apply_environment(0);
  EXPECT_EQ(8, working_value("V_TRACE"));
  unsetenv("V_TRACE");
  v5_deinit_cfg();
  cfg_release();
}

}  // namespace
}  // namespace kel
