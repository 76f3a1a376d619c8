// The whole-file entry points of the indexed family: their trace lines, one
// of each shape, and the engine's shutdown at the last v5_exit.
#include "cache/cache.h"
#include "fsapi/v5_fixture.h"
#include "indexed/storage/shared_buffers.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

using V5FilesTest = V5Test;

TEST_F(V5FilesTest, EveryEntryPointTracesItsCallAndResult) {
  std::string table(256, 'T');
  set_trace_bits(kTraceEntryPoints);
  StderrCapture capture;
  // The results are in the trace lines.
  v5_make("cust", nullptr, "1,1,1,0,0", "100,0,1", "1,0,8,0", table.data());
  DorvexFile *f = v5_open("cust", 0, "0,0,0");
  char buf[300] = {};
  v5_info(f, -10, buf);
  v5_close(f);
  v5_copy("cust", "copy");
  v5_open(nullptr, 0x601, nullptr);
  set_trace_bits(0);
  EXPECT_STREQ("005", buf);
  std::string h = pointer(f) + " \"cust\"";
  EXPECT_EQ(
      call_lines("v5_make",
                 "\"cust\", \"<NULL>\", \"1,1,1,0,0\", \"100,0,1\", \"1,0,8,0\", \"" + table + "\"",
                 "1") +
          call_lines("v5_open", "\"cust\", 0x0, \"0,0,0\"", pointer(f)) +
          call_lines("v5_info", h + ", -10, " + pointer(buf), "1") +
          call_lines("v5_close", h, "1") + call_lines("v5_copy", "\"cust\", \"copy\"", "1") +
          call_lines("v5_open", "\"<NULL>\", 0x601, \"<NULL>\"", pointer(nullptr)),
      capture.text());
  EXPECT_TRUE(file_exists("copy.vix"));
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
