#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/test_util.h"
#include "config/config.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel {
namespace {

void set_text(const char *name, const char *value) {
  ASSERT_EQ(1, cfg_set_programmatic(name, -1, value, -1, 0));
}

TEST(Agetenv, ValueTextThenEnvironment) {
  setenv("KT_ENV_ONLY", "from env", 1);
  setenv("KT_BOTH", "env both", 1);
  setenv("KT_EMPTY", "env empty", 1);
  EXPECT_STREQ("from env", Agetenv("KT_ENV_ONLY"));
  set_text("KT_BOTH", "config both");
  EXPECT_STREQ("config both", Agetenv("KT_BOTH"));
  set_text("KT_EMPTY", "");
  EXPECT_EQ(nullptr, Agetenv("KT_EMPTY")) << "an empty value text hides the environment";
  EXPECT_EQ(nullptr, Agetenv("KT_NOWHERE"));
  setenv("KT_NOWHERE", "", 1);
  EXPECT_EQ(nullptr, Agetenv("KT_NOWHERE")) << "an empty environment text is none";
  // A defined variable without a value text falls back too.
  const ConfigVarDef def[] = {{"KT_DEFINED", CFG_LONG, 4, nullptr, nullptr, 0, nullptr, 0}};
  cfg_define_table(def, 1, 0);
  setenv("KT_DEFINED", "env 7", 1);
  EXPECT_STREQ("env 7", Agetenv("KT_DEFINED"));
  cfg_set_long("KT_DEFINED", 0, 12);
  EXPECT_STREQ("12", Agetenv("KT_DEFINED"));
  cfg_release();
}

TEST(Agetenv, TenBuffersInTurnGrowingAsNeeded) {
  for (int i = 0; i < 11; ++i) {
    std::string name = "KT_P" + std::to_string(i);
    setenv(name.c_str(), (std::string(i * 10, '.') + std::to_string(i)).c_str(), 1);
  }
  const char *first = Agetenv("KT_P0");
  EXPECT_STREQ("0", first);
  std::vector<const char *> results;
  for (int i = 1; i < 10; ++i) results.push_back(Agetenv(("KT_P" + std::to_string(i)).c_str()));
  EXPECT_STREQ("0", first) << "valid for ten calls";
  for (int i = 1; i < 10; ++i)
    EXPECT_EQ(std::string((i)*10, '.') + std::to_string(i), results[i - 1]);
  setenv("KT_P10", "ten", 1);  // fits the first buffer: no reallocation
  const char *eleventh = Agetenv("KT_P10");
  EXPECT_EQ(first, eleventh);
  EXPECT_STREQ("ten", first);
  cfg_release();
}

TEST(Agetenv, NoMemoryForThePool) {
  setenv("KT_X", "x", 1);
  EXPECT_STREQ("x", Agetenv("KT_X"));
  cfg_release();
  *fs_error_code() = 0;  // the error block is created once, on first use
  int64_t live = alloc_live_blocks();
  test::StderrCapture err;
  const char *got = nullptr;
  int failures = test::fail_each_allocation([&] { got = Agetenv("KT_X"); },
                                            [&](int n) {
                                              EXPECT_EQ(nullptr, got) << n;
                                              cfg_release();
                                              EXPECT_EQ(live, alloc_live_blocks()) << n;
                                            });
  EXPECT_STREQ("x", got);
  EXPECT_EQ(12, failures) << "the key, the thread record and the ten pool buffers";
  std::string reports;
  for (int i = 0; i < 10; ++i) reports += "config: Not enough memory\n";
  EXPECT_EQ(reports, err.text()) << "one report for each pool buffer";
  cfg_release();
}

TEST(TranslateName, ChainsStopsAndKinds) {
  int32_t kind = -1;
  EXPECT_STREQ("cust.dat", cfg_translate_name("  cust.dat ", &kind)) << "case kept";
  EXPECT_EQ(2, kind);
  set_text("CUST.DAT", "/data/Cust.Dat");
  EXPECT_STREQ("/data/Cust.Dat", cfg_translate_name("cust.dat", &kind));
  // A chain through a variable and the environment.
  set_text("A_START", "middle");
  setenv("MIDDLE", "  -F /files/end  ", 1);
  EXPECT_STREQ("/files/end", cfg_translate_name("a_start", &kind));
  EXPECT_EQ(1, kind);
  set_text("K_D", "-d data");
  set_text("K_P", "-P pipe");
  set_text("K_Q", "-q  queue ");
  set_text("K_X", "-x other");
  cfg_translate_name("K_D", &kind);
  EXPECT_EQ(0, kind);
  cfg_translate_name("K_P", &kind);
  EXPECT_EQ(3, kind);
  EXPECT_STREQ("queue", cfg_translate_name("K_Q", &kind));
  EXPECT_EQ(4, kind);
  EXPECT_STREQ("other", cfg_translate_name("K_X", &kind));
  EXPECT_EQ(2, kind);
  // A name that translates to itself stops at once.
  set_text("SELF", "self");
  test::StderrCapture err;
  EXPECT_STREQ("self", cfg_translate_name("SELF", &kind));
  // A default text is a translation too.
  const ConfigVarDef def[] = {{"HAS_DEFAULT", CFG_STRING65, 0, "target", nullptr, 0, nullptr, 0}};
  cfg_define_table(def, 1, 0);
  EXPECT_STREQ("target", cfg_translate_name("has_default", &kind));
  EXPECT_EQ("", err.text());
  cfg_release();
}

TEST(TranslateName, ACycleRunsTheThousandSteps) {
  set_text("CYC_A", "cyc_b");
  set_text("CYC_B", "cyc_a");
  test::StderrCapture err;
  int32_t kind;
  const char *r = cfg_translate_name("CYC_A", &kind);
  EXPECT_STREQ("cyc_a", r);
  EXPECT_EQ("INFINITE LOOP TRANSLATING 'cyc_a'\n", err.text());
  cfg_release();
}

}  // namespace
}  // namespace kel
