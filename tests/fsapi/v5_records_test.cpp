// The record entry points of the indexed family: their trace lines, in
// the formats of the table of entry points (v5_nkrstart enters under the
// name v5_nkrnext and returns under its own).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"

namespace kel::test {
namespace {

std::string pointer(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

class V5RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
  }
  TempDir dir_{true};
};

TEST_F(V5RecordsTest, EveryEntryPointTracesItsCallAndResult) {
  ASSERT_EQ(v5_make("cust", nullptr, nullptr, "12,12,1", "1,0,4,0", nullptr), 1);
  DorvexFile *f = v5_open("cust", 2, "0,0,0");
  ASSERT_NE(f, nullptr);
  char rec[13] = "abcd00000000";
  char buf[13] = {};
  fs_settings().trace = kTraceEntryPoints;
  StderrCapture capture;
  EXPECT_EQ(v5_write(f, rec, 12), 1);
  EXPECT_EQ(v5_start(f, rec, 0, 2, 1), 1);
  EXPECT_EQ(v5_next(f, buf), 12u);
  EXPECT_EQ(v5_previous(f, buf), 0u);  // nothing before the only record
  EXPECT_EQ(v5_read(f, rec, 0), 12u);
  EXPECT_EQ(v5_nkrstart(f), 0);
  EXPECT_EQ(v5_nkrnext(f, buf), 12u);
  EXPECT_EQ(v5_unlock(f), 1);
  EXPECT_EQ(v5_delete(f, rec), 1);
  EXPECT_EQ(v5_next(f, buf), 0u);
  fs_settings().trace = 0;
  std::string p = pointer(f) + " \"cust\"";
  std::string r = pointer(rec), b = pointer(buf);
  EXPECT_EQ(capture.text(), "V: v5_write(" + p + ", " + r +
                                ", 12)\n"
                                "V: v5_write() returning 1\n"
                                "V: v5_start(" +
                                p + ", " + r +
                                ", 0, 2, 1)\n"
                                "V: v5_start() returning 1\n"
                                "V: v5_next(" +
                                p + ", " + b +
                                ")\n"
                                "V: v5_next() returning 12\n"
                                "V: v5_previous(" +
                                p + ", " + b +
                                ")\n"
                                "V: v5_previous() returning 0\n"
                                "V: v5_read(" +
                                p + ", " + r +
                                ", 0)\n"
                                "V: v5_read() returning 12\n"
                                "V: v5_nkrnext(" +
                                p +
                                ")\n"
                                "V: v5_nkrstart() returning 0\n"
                                "V: v5_nkrnext(" +
                                p + ", " + b +
                                ")\n"
                                "V: v5_nkrnext() returning 12\n"
                                "V: v5_unlock(" +
                                p +
                                ")\n"
                                "V: v5_unlock() returning 1\n"
                                "V: v5_delete(" +
                                p + ", " + r +
                                ")\n"
                                "V: v5_delete() returning 1\n"
                                "V: v5_next(" +
                                p + ", " + b +
                                ")\n"
                                "V: v5_next() returning 0\n");
  EXPECT_EQ(v5_close(f), 1);
  // A null handle is traced with "<NULL>" for its name and fails with
  // E_PARAM.
  fs_settings().trace = kTraceEntryPoints;
  StderrCapture null_capture;
  EXPECT_EQ(v5_unlock(nullptr), 0);
  fs_settings().trace = 0;
  EXPECT_EQ(*fs_error_code(), E_PARAM);
  EXPECT_EQ(null_capture.text(), "V: v5_unlock(" + pointer(nullptr) +
                                     " \"<NULL>\")\n"
                                     "V: v5_unlock() returning 0\n");
}

}  // namespace
}  // namespace kel::test
