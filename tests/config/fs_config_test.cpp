#include "config/fs_config.h"
#include "kelfs/kelfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/config.h"

namespace kel {
namespace {

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

struct Expected {
  const char *name;
  int32_t type;
  int32_t number;
  const char *text;
};

// The table as the rest of the file system expects to read it.
const Expected kExpected[] = {
    {"CARRIAGE_CONTROL_FILTER", CFG_TINYINT, 0, nullptr},
    {"COMPRESS_FACTOR", CFG_TINYINT, 70, nullptr},
    {"DUPLICATES_LOG", CFG_STRING256, 0, ""},
    {"EOL_CHAR", CFG_TINYINT, 10, nullptr},
    {"LARGE_FILE_LIMIT_1TB", CFG_BOOL, 0, nullptr},
    {"LARGE_FILE_LIMIT_2TB", CFG_BOOL, 0, nullptr},
    {"LOCKS_PER_FILE", CFG_SHORT, 10, nullptr},
    {"LOGGING", CFG_BOOL, 1, nullptr},
    {"LOG_BUFFER_SIZE", CFG_SHORT, 512, nullptr},
    {"LOG_DEVICE", CFG_BOOL, 0, nullptr},
    {"LOG_DIR", CFG_STRING65, 0, ""},
    {"LOG_ENCRYPTION", CFG_BOOL, 0, nullptr},
    {"LOG_FILE", CFG_STRING65, 0, ""},
    {"MAX_FILES", CFG_SHORT, 32, nullptr},
    {"MAX_LOCKS", CFG_SHORT, 32, nullptr},
    {"NO_LOG_FILE_OK", CFG_BOOL, 0, nullptr},
    {"OPEN_FILES_ONCE", CFG_BOOL, 1, nullptr},
    {"QUEUE_READERS", CFG_BOOL, 0, nullptr},
    {"REL_DELETED_VALUE", CFG_SHORT, 0, nullptr},
    {"TRX_HOLDS_LOCKS", CFG_BOOL, 0, nullptr},
    {"USE_LARGE_FILE_API", CFG_BOOL, 0, nullptr},
    {"V_BASENAME_TRANSLATION", CFG_BOOL, 1, nullptr},
    {"V_BUFFERS", CFG_LONG, -1, nullptr},
    {"V_BUFFER_DATA", CFG_BOOL, 1, nullptr},
    {"V_BULK_MEMORY", CFG_LONG, 1048576, nullptr},
    {"V_CACHE_FLUSH_PERCENT", CFG_SHORT, 25, nullptr},
    {"V_FORCE_OPEN", CFG_BOOL, 0, nullptr},
    {"V_INDEX_BLOCK_PERCENT", CFG_SHORT, 100, nullptr},
    {"V_INTERNAL_LOCKS", CFG_BOOL, 1, nullptr},
    {"V_LOCK_METHOD", CFG_SHORT, 0, nullptr},
    {"V_MARK_READ_CORRUPT", CFG_BOOL, 1, nullptr},
    {"V_NO_ASYNC_CACHE_DATA", CFG_BOOL, 0, nullptr},
    {"V_OPEN_STRICT", CFG_BOOL, 0, nullptr},
    {"V_READ_AHEAD", CFG_BOOL, 1, nullptr},
    {"V_SEG_SIZE", CFG_LONG, 2147482112, nullptr},
    {"V_TRACE", CFG_LONG, 0, nullptr},
    {"V_STRIP_DOT_EXTENSION", CFG_BOOL, 1, nullptr},
    {"V_VERSION", CFG_SHORT, 5, nullptr},
    {"WAIT_FOR_ALL_PIPES", CFG_BOOL, 1, nullptr},
    {"A_SEQ_DEFAULT_BLOCK_SIZE", CFG_LONG, 0, nullptr},
};

TEST(FsConfig, TheFortyVariablesWithTheirDefaults) {
  setenv("V_TRACE", "31", 1);  // the environment does not reach the getters
  v5_init_cfg();
  for (const Expected &e : kExpected) {
    EXPECT_EQ(e.type, cfg_get_type(e.name, 0)) << e.name;
    if (e.text) {
      EXPECT_STREQ(e.text, cfg_get_string(e.name, 0)) << e.name;
    } else {
      EXPECT_EQ(e.number, cfg_get_long(e.name, 0)) << e.name;
    }
  }
  const FsSettings &s = fs_settings();
  EXPECT_EQ(0u, s.trace);
  EXPECT_EQ(32, s.max_files);
  EXPECT_TRUE(s.open_files_once);
  EXPECT_TRUE(s.strip_dot_extension);
  EXPECT_EQ(0, use_large_file_api());
  unsetenv("V_TRACE");
  cfg_release();
}

TEST(FsConfig, CallbackClampsAndFallsBack) {
  v5_init_cfg();
  FsSettings &s = fs_settings();
  for (const char *v : {"0", "150", "-3"}) {
    set_text("V_CACHE_FLUSH_PERCENT", v);
    EXPECT_EQ(25, s.cache_flush_percent) << v;
  }
  set_text("V_CACHE_FLUSH_PERCENT", "100");
  EXPECT_EQ(100, s.cache_flush_percent);
  set_text("V_INDEX_BLOCK_PERCENT", "1001");
  EXPECT_EQ(100, s.index_block_percent);
  set_text("V_INDEX_BLOCK_PERCENT", "1000");
  EXPECT_EQ(1000, s.index_block_percent);
  for (const char *v : {"3", "256", "0"}) {
    set_text("V_LOCK_METHOD", "770");
    set_text("V_LOCK_METHOD", v);
    EXPECT_EQ(0, s.lock_method) << v;
  }
  for (int16_t m : {1, 2, 257, 258, 514, 770}) {
    cfg_set_short("V_LOCK_METHOD", 0, m);
    EXPECT_EQ(m, s.lock_method);
  }
  set_text("MAX_FILES", "40000");
  EXPECT_EQ(32767, s.max_files);
  cfg_set_short("MAX_FILES", 0, 100);
  EXPECT_EQ(100, s.max_files);
  set_text("V_TRACE", "17");
  EXPECT_EQ(17u, s.trace);
  set_text("EOL_CHAR", "13");
  EXPECT_EQ(13, s.eol_char);
  set_text("LOG_DIR", std::string(70, 'd').c_str());
  EXPECT_EQ(std::string(65, 'd'), s.log_dir) << "the 65string's width";
  set_text("QUEUE_READERS", "yes");
  EXPECT_TRUE(s.queue_readers);

  // Clearing a value restores each working value's default.
  set_text("V_STRIP_DOT_EXTENSION", "off");
  EXPECT_FALSE(s.strip_dot_extension);
  cfg_set_raw("V_STRIP_DOT_EXTENSION", 0, nullptr);
  EXPECT_TRUE(s.strip_dot_extension);
  EXPECT_EQ(1, cfg_get_bool("V_STRIP_DOT_EXTENSION", 0));
  for (const char *name : {"MAX_FILES", "V_TRACE", "EOL_CHAR", "LOG_DIR", "QUEUE_READERS",
                           "V_CACHE_FLUSH_PERCENT", "V_LOCK_METHOD"})
    cfg_set_raw(name, 0, nullptr);
  EXPECT_EQ(32, s.max_files);
  EXPECT_EQ(0u, s.trace);
  EXPECT_EQ(10, s.eol_char);
  EXPECT_STREQ("", s.log_dir);
  EXPECT_FALSE(s.queue_readers);
  EXPECT_EQ(25, s.cache_flush_percent);
  cfg_release();
}

TEST(FsConfig, ValuesSetBeforeInitAndTheLargeFileBinding) {
  set_text("V_TRACE", "20");
  set_text("USE_LARGE_FILE_API", "on");
  cfg_set_long("V_SEG_SIZE", 0, 1048576);
  v5_init_cfg();
  EXPECT_EQ(20u, fs_settings().trace);
  EXPECT_EQ(1, use_large_file_api());
  EXPECT_EQ(1048576, cfg_get_long("V_SEG_SIZE", 0));
  set_text("USE_LARGE_FILE_API", "0");
  EXPECT_EQ(0, use_large_file_api());
  set_text("USE_LARGE_FILE_API", "true");
  EXPECT_EQ(1, use_large_file_api());
  cfg_release();
}

TEST(FsConfig, DefinedOnceAndUndefinedAtShutdown) {
  v5_init_cfg();
  v5_init_cfg();
  set_text("MAX_LOCKS", "64");
  EXPECT_EQ(64, fs_settings().max_locks);
  v5_deinit_cfg();
  EXPECT_EQ(0, cfg_get_type("MAX_LOCKS", 0)) << "a single definition to undo";
  EXPECT_EQ(32, fs_settings().max_locks) << "working values back at their defaults";
  v5_deinit_cfg();
  v5_init_cfg();
  EXPECT_EQ(CFG_SHORT, cfg_get_type("MAX_LOCKS", 0));
  EXPECT_EQ(32, cfg_get_short("MAX_LOCKS", 0));
  // The environment reaches the table through the apply operation.
  setenv("V_TRACE", "8", 1);
  cfg_apply_environment(0);
  EXPECT_EQ(8u, fs_settings().trace);
  unsetenv("V_TRACE");
  v5_deinit_cfg();
  cfg_release();
}

}  // namespace
}  // namespace kel
