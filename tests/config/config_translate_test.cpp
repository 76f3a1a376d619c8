#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/faults.h"
#include "common/test_util.h"
#include "config/config.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

TEST(Agetenv, ValueTextThenEnvironmentInTenBuffers) {
  setenv("KT_ENV_ONLY", "from env", 1);
  setenv("KT_BOTH", "env both", 1);
  setenv("KT_EMPTY", "env empty", 1);
  setenv("KT_BLANK", "", 1);
  set_text("KT_BOTH", "config both");
  set_text("KT_EMPTY", "");
  EXPECT_STREQ("from env", Agetenv("KT_ENV_ONLY"));
  EXPECT_STREQ("config both", Agetenv("KT_BOTH"));
  EXPECT_EQ(nullptr, Agetenv("KT_EMPTY")) << "an empty value text hides the environment";
  EXPECT_EQ(nullptr, Agetenv("KT_NOWHERE"));
  EXPECT_EQ(nullptr, Agetenv("KT_BLANK")) << "an empty environment text is none";
  // A defined variable without a value text falls back too.
  const ConfigVarDef def[] = {{"KT_DEFINED", CFG_LONG, 4, nullptr, nullptr, 0, nullptr, 0}};
  cfg_define_table(def, 1, 0);
  setenv("KT_DEFINED", "env 7", 1);
  EXPECT_STREQ("env 7", Agetenv("KT_DEFINED"));
  cfg_set_long("KT_DEFINED", 0, 12);
  EXPECT_STREQ("12", Agetenv("KT_DEFINED"));
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

TEST(TranslateName, ChainsStopsCyclesAndKinds) {
  set_text("CUST.DAT", "/data/Cust.Dat");
  set_text("A_START", "middle");  // a chain through a variable and the environment
  setenv("MIDDLE", "  -F /files/end  ", 1);
  set_text("K_D", "-d data");
  set_text("K_P", "-P pipe");
  set_text("K_Q", "-q  queue ");
  set_text("K_X", "-x other");
  set_text("SELF", "self");  // translates to itself: stops at once
  const ConfigVarDef def[] = {{"HAS_DEFAULT", CFG_STRING65, 0, "target", nullptr, 0, nullptr, 0}};
  cfg_define_table(def, 1, 0);  // a default text is a translation too
  const struct {
    const char *name, *want;
    int32_t kind;
  } cases[] = {{"cust.dat", "/data/Cust.Dat", 2},
               {"  unknown.Dat ", "unknown.Dat", 2},
               {"a_start", "/files/end", 1},
               {"K_D", "data", 0},
               {"K_P", "pipe", 3},
               {"K_Q", "queue", 4},
               {"K_X", "other", 2},
               {"SELF", "self", 2},
               {"has_default", "target", 2}};
  StderrCapture err;
  for (const auto &c : cases) {
    int32_t kind = -1;
    EXPECT_STREQ(c.want, cfg_translate_name(c.name, &kind)) << c.name;
    EXPECT_EQ(c.kind, kind) << c.name;
  }
  EXPECT_EQ("", err.text());
  // A cycle runs the thousand steps and is reported.
  set_text("CYC_A", "cyc_b");
  set_text("CYC_B", "cyc_a");
  int32_t kind;
  EXPECT_STREQ("cyc_a", cfg_translate_name("CYC_A", &kind));
  EXPECT_EQ("INFINITE LOOP TRANSLATING 'cyc_a'\n", err.text());
  cfg_release();
}

}  // namespace
}  // namespace kel::test
