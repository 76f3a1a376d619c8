// The configuration's values through their setters and getters (and the
// file system's table of variables with their defaults): the
// calls and their results are rows of tests/golden/config/values.txt
// (common/row_script.h); the verbs below are the library's calls. A name
// written NAME@n is taken in the set n, else in set 0. "calls" shows the
// callbacks heard since the last "calls" or "define".
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/faults.h"
#include "common/golden.h"
#include "common/msg_file.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"
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

int g_func_cleared = 0;
intptr_t note_clear(const char *, const char *text, int32_t, int) {
  if (text == nullptr) ++g_func_cleared;
  return 5;
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
// A second table: D_ONE alone is the one-entry table naming it again.
const ConfigVarDef kSecond[] = {{"D_ONE", CFG_LONG, 1, nullptr, nullptr, 0, nullptr, 0},
                                {"D_FUNC", CFG_FUNC, 0, nullptr, nullptr, 0, note_clear, 0}};

// The tables of the written file and of the statistics.
const ConfigVarDef kFileTable[] = {{"B_EMPTY", CFG_LONG, 3, nullptr, nullptr, 0, nullptr, 0},
                                   {"C_LONG_VALUE", CFG_RAW, 0, nullptr, nullptr, 0, nullptr, 0}};
const ConfigVarDef kCounted[] = {{"S_BOOL", CFG_BOOL, 0, nullptr, nullptr, 0, nullptr, 0},
                                 {"S_UNUSED", CFG_LONG, 0, nullptr, nullptr, 0, nullptr, 0},
                                 {"S_STR", CFG_STRING16, 0, "", nullptr, 0, nullptr, 0}};

// The variables that "bind" can tie to one of its own, and their values.
struct Bound {
  int16_t tiny = 0x5555, shorty = 0;
  int32_t longy = 0;
  uint8_t booly = 9;
} g_bound;

struct Named {
  std::string name;
  int32_t set;
};
Named named(const std::string &word) {
  size_t at = word.find('@');
  if (at == std::string::npos) return {word, 0};
  return {word.substr(0, at), static_cast<int32_t>(number(word.substr(at + 1)))};
}

constexpr int32_t kCount = std::size(kTable);

int32_t number_at(const Words &a) {
  return static_cast<int32_t>(number(a.at(0)));
}

// A number variable as its number, the others as their text.
std::string value_of(const Named &n) {
  int32_t type = cfg_get_type(n.name.c_str(), n.set);
  if (type == CFG_RAW || (type >= CFG_STRING16 && type <= CFG_STRING256))
    return as_word(cfg_get_string(n.name.c_str(), n.set));
  return std::to_string(cfg_get_long(n.name.c_str(), n.set));
}

// Taken from a result of the library, freed with the description the
// library gave it.
std::string base64_of(const Named &n) {
  int32_t length = -1;
  uint8_t *bytes = cfg_get_base64(n.name.c_str(), n.set, &length);
  std::string shown =
      std::to_string(length) + " " +
      (bytes ? as_word(std::string(reinterpret_cast<char *>(bytes), length)) : "null");
  if (bytes) M_free(bytes, "test", 1, nullptr);
  return shown;
}

const ConfigKeyword kFlags[] = {{"READ", 1}, {"WRITE", 2}, {"RECOVER", 8}, {"APPEND", 4}};

std::string parsed(const Words &a, const ConfigKeyword *keywords, int32_t count) {
  const char *text = a.at(0) == "null" ? nullptr : a[0].c_str();
  return std::to_string(cfg_parse_number(text, keywords, count, a.size() > 1));
}

long working_value(const std::string &name) {
  const FsSettings &s = fs_settings();
  if (name == "V_CACHE_FLUSH_PERCENT") return s.cache_flush_percent;
  if (name == "V_INDEX_BLOCK_PERCENT") return s.index_block_percent;
  if (name == "V_LOCK_METHOD") return s.lock_method;
  if (name == "MAX_FILES") return s.max_files;
  if (name == "V_TRACE") return static_cast<long>(trace_bits());
  if (name == "EOL_CHAR") return s.eol_char;
  if (name == "QUEUE_READERS") return s.queue_readers;
  if (name == "V_STRIP_DOT_EXTENSION") return s.strip_dot_extension;
  if (name == "OPEN_FILES_ONCE") return s.open_files_once;
  if (name == "USE_LARGE_FILE_API") return use_large_file_api();
  if (name == "LOG_DIR") return static_cast<long>(strlen(s.log_dir));
  return -1;
}

Verbs config_verbs() {
  // NAME[@SET] VALUE: the setter's result; a setter of a number is given
  // VALUE as a number.
  auto set_call = [](auto setter) {
    return [setter](const Words &a) {
      Named n = named(a.at(0));
      if constexpr (std::is_invocable_v<decltype(setter), const char *, int32_t, std::string>)
        return std::to_string(setter(n.name.c_str(), n.set, a.at(1)));
      else
        return std::to_string(setter(n.name.c_str(), n.set, number(a.at(1))));
    };
  };
  auto get_call = [](auto getter) {
    return [getter](const Words &a) {
      Named n = named(a.at(0));
      return std::to_string(getter(n.name.c_str(), n.set));
    };
  };
  return {
      {"define", act([](const Words &a) {
         g_calls.clear();
         cfg_define_table(kTable, a.empty() ? kCount : static_cast<int32_t>(number(a[0])), 0);
       })},
      {"define_second", act([](const Words &a) { cfg_define_table(kSecond, number_at(a), 0); })},
      {"define_file", act([] { cfg_define_table(kFileTable, 2, 0); })},
      {"define_counted", act([] { cfg_define_table(kCounted, 3, 0); })},
      {"statistics", [](const Words &) { return std::to_string(cfg_set_statistics(1, 0)); }},
      // The file written, its lines under the row.
      {"write_file",
       [](const Words &a) {
         int rc = cfg_write_file(a.at(0).c_str(), 0);
         return std::to_string(rc) + "\n" + (rc ? read_file(a[0]) : "");
       }},
      {"file",
       [](const Words &a) { return file_exists(a.at(0)) ? "\n" + read_file(a[0]) : "none"; }},
      {"undefine_second",
       act([](const Words &a) { cfg_undefine_table(kSecond, number_at(a), 0); })},
      {"release", act(cfg_release)},
      {"init_fs", act([] { v5_init_cfg(); })},
      {"reset", act([] { cfg_reset_all(0, 0); })},
      {"free_set", act([](const Words &a) { cfg_free_set(number_at(a)); })},
      {"value", [](const Words &a) { return value_of(named(a.at(0))); }},
      {"string", [](const Words &a) { return as_word(cfg_get_string(a.at(0).c_str(), 0)); }},
      {"type", get_call(cfg_get_type)},
      {"long", get_call(cfg_get_long)},
      {"short", get_call(cfg_get_short)},
      {"tiny", get_call(cfg_get_tinyint)},
      {"byte", get_call(cfg_get_byte)},
      {"bool", get_call(cfg_get_bool)},
      {"set",
       [](const Words &a) {
         return std::to_string(cfg_set_programmatic(a.at(0).c_str(), -1, a.at(1).c_str(), -1, 0));
       }},
      // The name's first n bytes only.
      {"set_cut",
       [](const Words &a) {
         return std::to_string(cfg_set_programmatic(
             a.at(0).c_str(), static_cast<int32_t>(number(a.at(1))), a.at(2).c_str(), -1, 0));
       }},
      {"set_long", set_call(cfg_set_long)},
      {"set_short", set_call(cfg_set_short)},
      {"set_tiny", set_call(cfg_set_tinyint)},
      {"set_byte", set_call([](const char *n, int32_t s, const std::string &v) {
         return cfg_set_byte(n, s, static_cast<uint8_t>(v.at(0)));
       })},
      {"set_string", set_call([](const char *n, int32_t s, const std::string &v) {
         return cfg_set_string(n, s, v.c_str());
       })},
      // The value null clears it.
      {"set_raw", set_call([](const char *n, int32_t s, const std::string &v) {
         return cfg_set_raw(n, s, v == "null" ? nullptr : v.c_str());
       })},
      {"set_comment", set_call([](const char *n, int32_t s, const std::string &v) {
         return cfg_set_comment(n, s, v == "null" ? nullptr : v.c_str());
       })},
      {"set_base64", set_call([](const char *n, int32_t s, const std::string &v) {
         return cfg_set_base64(n, s, reinterpret_cast<const uint8_t *>(v.data()),
                               static_cast<int32_t>(v.size()));
       })},
      {"set_list",
       [](const Words &a) {
         std::vector<const char *> list;
         for (size_t i = 1; i < a.size(); ++i) list.push_back(a[i].c_str());
         return std::to_string(cfg_set_value_list(a.at(0).c_str(), 0, list.data()));
       }},
      // The strings up to the empty one, each behind its NUL.
      {"list",
       [](const Words &a) {
         const char *at = cfg_get_value_list(a.at(0).c_str(), 0);
         if (at == nullptr) return std::string("null");
         std::string all;
         for (; *at; at += strlen(at) + 1) all += std::string(at) + '\0';
         return as_word(all);
       }},
      {"comment", [](const Words &a) { return as_word(cfg_get_comment(a.at(0).c_str(), 0)); }},
      {"base64", [](const Words &a) { return base64_of(named(a.at(0))); }},
      {"verbose",
       [](const Words &a) {
         Named n = named(a.at(1));
         return std::to_string(cfg_set_verbose(static_cast<int>(number(a.at(0))), n.set));
       }},
      // A message file with texts 707 and 1391 for the reports, opened.
      {"messages",
       [](const Words &) {
         write_file(
             "m.msg",
             MsgFileBuilder().add(707, {"%2 <- %1\n"}).add(1391, {"user %s", " = %s\n"}).bytes());
         setenv("A_MESSAGE", "m.msg", 1);
         char error[300];
         return std::to_string(Amsg_init(error));
       }},
      {"close_messages", act(Amsg_shutdown)},
      {"calls",
       [](const Words &) {
         std::string heard = g_calls;
         g_calls.clear();
         return heard.empty() ? std::string("none") : heard;
       }},
      {"func_cleared", [](const Words &) { return std::to_string(g_func_cleared); }},
      {"bind",
       [](const Words &a) {
         Bound &b = g_bound;
         const std::map<std::string, void *> at = {{"T_TINY", &b.tiny},
                                                   {"T_SHORT", &b.shorty},
                                                   {"T_LONG", &b.longy},
                                                   {"T_BOOL", &b.booly}};
         return std::to_string(
             cfg_bind(a.at(0).c_str(), 0, at.count(a[0]) ? at.at(a[0]) : &b.longy));
       }},
      // T_TINY T_SHORT T_LONG T_BOOL as bound.
      {"bound",
       [](const Words &) {
         const Bound &b = g_bound;
         return std::to_string(b.tiny) + " " + std::to_string(b.shorty) + " " +
                std::to_string(b.longy) + " " + std::to_string(b.booly);
       }},
      // NAME VALUE, or NAME - to remove it.
      {"setenv", act([](const Words &a) {
         a.at(1) == "-" ? unsetenv(a[0].c_str()) : setenv(a[0].c_str(), a[1].c_str(), 1);
       })},
      {"apply_environment", [](const Words &) { return std::to_string(cfg_apply_environment(0)); }},
      {"agetenv", [](const Words &a) { return as_word(Agetenv(a.at(0).c_str())); }},
      // A number with unit letters, or (VERB flags) the READ, WRITE,
      // RECOVER and APPEND keywords; "verbose" reports unmatched tokens.
      {"number", [](const Words &a) { return parsed(a, nullptr, 0); }},
      {"flags", [](const Words &a) { return parsed(a, kFlags, std::size(kFlags)); }},
      // Every variable the written configuration file names, with its type
      // and its value as the getters give it.
      {"table",
       [](const Words &) {
         if (cfg_write_file("all.cfg", 0) != 1) return std::string("not written");
         std::istringstream lines(read_file("all.cfg"));
         std::string listing;
         int count = 0;
         for (std::string line; std::getline(lines, line); ++count) {
           Named n{line.substr(0, line.find(' ')), 0};
           listing += "\n" + n.name + " type " + std::to_string(cfg_get_type(n.name.c_str(), 0)) +
                      " " + value_of(n);
         }
         return std::to_string(count) + " variables" + listing;
       }},
      // The working value a variable of the file system's table sets.
      {"working", [](const Words &a) { return std::to_string(working_value(a.at(0))); }},
      // The translation and its kind.
      {"translate",
       [](const Words &a) {
         int32_t kind = -1;
         const char *to = cfg_translate_name(a.at(0).c_str(), &kind);
         return as_word(to) + " kind " + std::to_string(kind);
       }},
  };
}

// What a row wrote on the error output shows under it.
TEST(ConfigValues, Rows) {
  TempDir dir(true);  // where the rows write their files
  StderrCapture err;
  size_t said = 0;
  EXPECT_TRUE(run_rows("config/values.txt", config_verbs(), [&] {
    std::string text = err.text();
    return text.substr(std::exchange(said, text.size()));
  }));
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

// The first texts of Agetenv are rows of config/values.txt.
TEST(Agetenv, ResultsInTenBuffersAndWithoutMemory) {
  // Results live in ten buffers taken in turn, each grown as needed.
  std::vector<const char *> results;
  for (int i = 0; i < 10; ++i) {
    std::string name = "KT_P" + std::to_string(i);
    setenv(name.c_str(), (std::string(i * 10, '.') + std::to_string(i)).c_str(), 1);
    results.push_back(Agetenv(name.c_str()));
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(std::string(i * 10, '.') + std::to_string(i), results[i]);
  setenv("KT_P10", "ten", 1);  // fits the first buffer: no reallocation
  EXPECT_EQ(results[0], Agetenv("KT_P10"));
  EXPECT_STREQ("ten", results[0]);
  cfg_release();

  // Without memory for the pool: no value, one report a buffer.
  setenv("KT_BOTH", "env both", 1);
  *fs_error_code() = 0;  // the error block is created once, on first use
  int64_t live = alloc_live_blocks();
  StderrCapture err;
  const char *got = nullptr;
  int failures = fail_each_allocation([&] { got = Agetenv("KT_BOTH"); },
                                      [&](int n) {
                                        EXPECT_EQ(nullptr, got) << n;
                                        cfg_release();
                                        EXPECT_EQ(live, alloc_live_blocks()) << n;
                                      });
  EXPECT_STREQ("env both", got);
  EXPECT_EQ(13, failures) << "the key, the thread record, the library and the ten pool buffers";
  std::string reports;
  for (int i = 0; i < 10; ++i) reports += "config: Not enough memory\n";
  EXPECT_EQ(reports, err.text());
  cfg_release();
}

}  // namespace
}  // namespace kel::test
