#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"

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

// The table as the rest of the file system expects to read it: the
// variables of each type with their defaults.
const std::pair<int32_t, const char *> kExpected[] = {
    {CFG_BOOL,
     "LARGE_FILE_LIMIT_1TB=0 LARGE_FILE_LIMIT_2TB=0 LOGGING=1 LOG_DEVICE=0 LOG_ENCRYPTION=0 "
     "NO_LOG_FILE_OK=0 OPEN_FILES_ONCE=1 QUEUE_READERS=0 TRX_HOLDS_LOCKS=0 USE_LARGE_FILE_API=0 "
     "V_BASENAME_TRANSLATION=1 V_BUFFER_DATA=1 V_FORCE_OPEN=0 V_INTERNAL_LOCKS=1 "
     "V_MARK_READ_CORRUPT=1 V_NO_ASYNC_CACHE_DATA=0 V_OPEN_STRICT=0 V_READ_AHEAD=1 "
     "V_STRIP_DOT_EXTENSION=1 WAIT_FOR_ALL_PIPES=1"},
    {CFG_TINYINT, "CARRIAGE_CONTROL_FILTER=0 COMPRESS_FACTOR=70 EOL_CHAR=10"},
    {CFG_SHORT,
     "LOCKS_PER_FILE=10 LOG_BUFFER_SIZE=512 MAX_FILES=32 MAX_LOCKS=32 REL_DELETED_VALUE=0 "
     "V_CACHE_FLUSH_PERCENT=25 V_INDEX_BLOCK_PERCENT=100 V_LOCK_METHOD=0 V_VERSION=5"},
    {CFG_LONG,
     "V_BUFFERS=-1 V_BULK_MEMORY=1048576 V_SEG_SIZE=2147482112 V_TRACE=0 "
     "A_SEQ_DEFAULT_BLOCK_SIZE=0"},
    {CFG_STRING65, "LOG_DIR='' LOG_FILE=''"},
    {CFG_STRING256, "DUPLICATES_LOG=''"},
};

TEST(FsConfig, TheFortyVariablesWithTheirDefaults) {
  setenv("V_TRACE", "31", 1);  // the environment does not reach the getters
  v5_init_cfg();
  int count = 0;
  for (const auto &[type, expected] : kExpected) {
    std::istringstream words(expected);
    std::string word, got;
    while (words >> word) {
      std::string name = word.substr(0, word.find('='));
      EXPECT_EQ(type, cfg_get_type(name.c_str(), 0)) << name;
      const char *text = cfg_get_string(name.c_str(), 0);
      got += (got.empty() ? "" : " ") + name + "=" +
             (type >= CFG_STRING16 ? "'" + std::string(text ? text : "(null)") + "'"
                                   : std::to_string(cfg_get_long(name.c_str(), 0)));
      ++count;
    }
    EXPECT_EQ(expected, got);
  }
  EXPECT_EQ(40, count);
  const FsSettings &s = fs_settings();
  EXPECT_EQ(0u, trace_bits());
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
  if (name == "V_TRACE") return static_cast<long>(trace_bits());
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
  } cases[] = {
      {"V_CACHE_FLUSH_PERCENT", "0", 25},
      {"V_CACHE_FLUSH_PERCENT", "150", 25},
      {"V_CACHE_FLUSH_PERCENT", "-3", 25},
      {"V_CACHE_FLUSH_PERCENT", "100", 100},
      {"V_INDEX_BLOCK_PERCENT", "1001", 100},
      {"V_INDEX_BLOCK_PERCENT", "1000", 1000},
      {"V_LOCK_METHOD", "770", 770},
      {"V_LOCK_METHOD", "3", 0},
      {"V_LOCK_METHOD", "1", 1},
      {"V_LOCK_METHOD", "256", 0},
      {"V_LOCK_METHOD", "2", 2},
      {"V_LOCK_METHOD", "257", 257},
      {"V_LOCK_METHOD", "0", 0},
      {"V_LOCK_METHOD", "258", 258},
      {"V_LOCK_METHOD", "514", 514},
      {"MAX_FILES", "40000", 32767},
      {"MAX_FILES", "100", 100},
      {"V_TRACE", "17", 17},
      {"EOL_CHAR", "13", 13},
      {"LOG_DIR", long_dir.c_str(), 65},
      {"QUEUE_READERS", "yes", 1},
      {"V_STRIP_DOT_EXTENSION", "off", 0},
  };
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
  for (const auto &[type, text] : kExpected) {
    std::istringstream in(text);
    for (std::string item; in >> item;) names.push_back(item.substr(0, item.find('=')));
  }
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
