// The whole-file entry points of the indexed family: their trace lines and
// the engine's shutdown at the last v5_exit.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cache/cache.h"
#include "common/test_util.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/shared_buffers.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

std::string pointer(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

class V5FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
  }
  TempDir dir_{true};
};

TEST_F(V5FilesTest, EveryEntryPointTracesItsCallAndResult) {
  std::string table(256, 'T');
  fs_settings().trace = kTraceEntryPoints;
  StderrCapture capture;
  int made = v5_make("cust", nullptr, "1,1,1,0,0", "100,0,1", "1,0,8,0", table.data());
  DorvexFile *f = v5_open("cust", 0, "0,0,0");
  char buf[300] = {};
  int got = v5_info(f, -10, buf);
  int closed = v5_close(f);
  int copied = v5_copy("cust", "copy");
  int renamed = v5_rename("copy", "moved");
  int removed = v5_remove("moved");
  DorvexFile *none = v5_open(nullptr, 0x601, nullptr);
  fs_settings().trace = 0;
  EXPECT_EQ(1, made);
  EXPECT_EQ(1, got);
  EXPECT_STREQ("005", buf);
  EXPECT_EQ(1, closed);
  EXPECT_EQ(1, copied);
  EXPECT_EQ(1, renamed);
  EXPECT_EQ(1, removed);
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ("V: v5_make(\"cust\", \"<NULL>\", \"1,1,1,0,0\", \"100,0,1\", \"1,0,8,0\", \"" + table +
                "\")\n"
                "V: v5_make() returning 1\n"
                "V: v5_open(\"cust\", 0x0, \"0,0,0\")\n"
                "V: v5_open() returning " +
                pointer(f) +
                "\n"
                "V: v5_info(" +
                pointer(f) + " \"cust\", -10, " + pointer(buf) +
                ")\n"
                "V: v5_info() returning 1\n"
                "V: v5_close(" +
                pointer(f) +
                " \"cust\")\n"
                "V: v5_close() returning 1\n"
                "V: v5_copy(\"cust\", \"copy\")\n"
                "V: v5_copy() returning 1\n"
                "V: v5_rename(\"copy\", \"moved\")\n"
                "V: v5_rename() returning 1\n"
                "V: v5_remove(\"moved\")\n"
                "V: v5_remove() returning 1\n"
                "V: v5_open(\"<NULL>\", 0x601, \"<NULL>\")\n"
                "V: v5_open() returning " +
                pointer(nullptr) + "\n",
            capture.text());
  EXPECT_FALSE(file_exists("moved"));
  EXPECT_FALSE(file_exists("moved.vix"));
  EXPECT_TRUE(file_exists("cust.vix"));
}

TEST_F(V5FilesTest, TheLastExitReleasesTheEnginesBuffersAndTheCache) {
  ASSERT_EQ(1, v5_init());
  ASSERT_EQ(1, v5_init());
  ASSERT_EQ(1, v5_make("e.dat", nullptr, nullptr, "5000,0,1", "1,0,8,0", nullptr));
  DorvexFile *f = v5_open("e.dat", 2, "");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, v5_close(f));
  EXPECT_GE(indexed::record_buffer_size(), 5000u);
  EXPECT_GT(cache_buffer_count(), 0);
  v5_exit();
  EXPECT_GE(indexed::record_buffer_size(), 5000u) << "one initialisation is left";
  v5_exit();
  EXPECT_EQ(0u, indexed::record_buffer_size());
  EXPECT_EQ(0, cache_buffer_count());
  EXPECT_EQ(64, [] {
    DorvexFile *g = v5_open("e.dat", 0, "");
    int n = cache_buffer_count();
    v5_close(g);
    return n;
  }()) << "V_BUFFERS -1: the built-in 64, again on first use";
}

}  // namespace
}  // namespace kel::test
