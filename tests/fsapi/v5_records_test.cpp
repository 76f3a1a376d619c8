// The record entry points of the indexed family: their trace lines, one
// of each shape of arguments and results (v5_nkrstart enters under the
// name v5_nkrnext and returns under its own). What they do: tests/indexed.
#include "fsapi/v5_fixture.h"

namespace kel::test {
namespace {

using V5RecordsTest = V5Test;

TEST_F(V5RecordsTest, EveryEntryPointTracesItsCallAndResult) {
  ASSERT_EQ(v5_make("cust", nullptr, nullptr, "12,12,1", "1,0,4,0", nullptr), 1);
  DorvexFile *f = v5_open("cust", 2, "0,0,0");
  ASSERT_NE(f, nullptr);
  char rec[13] = "abcd00000000";
  char buf[13] = {};
  set_trace_bits(kTraceEntryPoints);
  StderrCapture capture;
  EXPECT_EQ(v5_write(f, rec, 12), 1);
  EXPECT_EQ(v5_start(f, rec, 0, 2, 1), 1);
  EXPECT_EQ(v5_next(f, buf), 12u);
  EXPECT_EQ(v5_nkrstart(f), 0);
  EXPECT_EQ(v5_delete(f, rec), 1);
  EXPECT_EQ(v5_check(f, 0), 1);
  set_trace_bits(0);
  std::string p = pointer(f) + " \"cust\"";
  std::string r = p + ", " + pointer(rec), b = p + ", " + pointer(buf);
  EXPECT_EQ(capture.text(),
            call_lines("v5_write", r + ", 12", "1") + call_lines("v5_start", r + ", 0, 2, 1", "1") +
                call_lines("v5_next", b, "12") + call_lines("v5_nkrstart", p, "0", "v5_nkrnext") +
                call_lines("v5_delete", r, "1") + call_lines("v5_check", p + ", 0x0", "1"));
  EXPECT_EQ(v5_close(f), 1);
  // A null handle is traced with "<NULL>" for its name and fails with
  // E_PARAM.
  set_trace_bits(kTraceEntryPoints);
  StderrCapture null_capture;
  EXPECT_EQ(v5_unlock(nullptr), 0);
  set_trace_bits(0);
  EXPECT_EQ(*fs_error_code(), E_PARAM);
  EXPECT_EQ(null_capture.text(), call_lines("v5_unlock", pointer(nullptr) + " \"<NULL>\"", "0"));
}

}  // namespace
}  // namespace kel::test
