#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/golden.h"
#include "common/test_util.h"
#include "config/config.h"

namespace kel {
namespace {

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

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

// The working value that a variable of the table sets.
long working_value(const std::string &name, const FsSettings &s = fs_settings()) {
  if (name == "V_CACHE_FLUSH_PERCENT") return s.cache_flush_percent;
  if (name == "V_INDEX_BLOCK_PERCENT") return s.index_block_percent;
  if (name == "V_LOCK_METHOD") return s.lock_method;
  if (name == "MAX_FILES") return s.max_files;
  if (name == "V_TRACE") return static_cast<long>(trace_bits());
  if (name == "EOL_CHAR") return s.eol_char;
  if (name == "QUEUE_READERS") return s.queue_readers;
  if (name == "V_STRIP_DOT_EXTENSION") return s.strip_dot_extension;
  if (name == "LOG_DIR") return static_cast<long>(strlen(s.log_dir));
  ADD_FAILURE() << name;
  return -1;
}

// Out of range: the default. The lock methods are 0, 1 and 2 and those
// plus 256 or 512; another one leaves 0. The log folder keeps the
// 65string's width. Clearing a value restores each working value's default.
TEST(FsConfig, CallbackClampsAndFallsBack) {
  v5_init_cfg();
  const std::pair<const char *, std::vector<std::pair<std::string, long>>> cases[] = {
      {"V_CACHE_FLUSH_PERCENT", {{"0", 25}, {"150", 25}, {"-3", 25}, {"100", 100}}},
      {"V_INDEX_BLOCK_PERCENT", {{"1001", 100}, {"1000", 1000}}},
      {"V_LOCK_METHOD", {{"770", 770}, {"3", 0}, {"1", 1}, {"256", 0}, {"2", 2}}},
      {"V_LOCK_METHOD", {{"257", 257}, {"0", 0}, {"258", 258}, {"514", 514}}},
      {"MAX_FILES", {{"40000", 32767}, {"100", 100}}},
      {"V_TRACE", {{"17", 17}}},
      {"EOL_CHAR", {{"13", 13}}},
      {"LOG_DIR", {{std::string(70, 'd'), 65}}},
      {"QUEUE_READERS", {{"yes", 1}}},
      {"V_STRIP_DOT_EXTENSION", {{"off", 0}}}};
  for (const auto &[name, texts] : cases) {
    for (const auto &[text, want] : texts) {
      set_text(name, text.c_str());
      EXPECT_EQ(want, working_value(name)) << name << " " << text;
    }
  }
  EXPECT_EQ(std::string(65, 'd'), fs_settings().log_dir);
  const FsSettings defaults;
  for (const auto &[name, texts] : cases) {
    cfg_set_raw(name, 0, nullptr);
    EXPECT_EQ(working_value(name, defaults), working_value(name)) << name;
  }
  cfg_release();
}

}  // namespace
}  // namespace kel
