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
