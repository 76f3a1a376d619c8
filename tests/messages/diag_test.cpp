#include "messages/diag.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/test_util.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel {
namespace {

TEST(Eprintf, NoMemoryDropsOnlyLongTexts) {
  *fs_error_code() = 0;
  test::StderrCapture err;
  alloc_fail_nth(1);
  eprintf("%s", std::string(500, 'x').c_str());
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ("", err.text()) << "dropped silently";
  alloc_fail_nth(1);
  eprintf("short %d\n", 7);
  EXPECT_FALSE(alloc_failure_triggered()) << "short texts need no allocation";
  alloc_fail_nth(0);
  EXPECT_EQ("short 7\n", err.text());
}

}  // namespace
}  // namespace kel
