#include "messages/diag.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/test_util.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel {
namespace {

TEST(Eprintf, LongTextsAreWrittenWhole) {
  // A long argument, and numbers that widen a format estimated below 300
  // bytes (270 literal bytes and ten conversions) past them.
  std::string big(1000, 'L');
  big[0] = 'B';
  big[999] = 'E';
  std::string format(270, '.');
  for (int i = 0; i < 10; ++i) format.insert(static_cast<size_t>(i) * 27, "%d");
  std::string widened = format;
  for (size_t at; (at = widened.find("%d")) != std::string::npos;)
    widened.replace(at, 2, std::to_string(INT_MIN));
  ASSERT_GT(widened.size(), 300u);
  *fs_error_code() = 0;
  int64_t live = alloc_live_blocks();
  test::StderrCapture err;
  eprintf("<%s>\n", big.c_str());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  eprintf(format.c_str(), INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN,
          INT_MIN, INT_MIN);
#pragma GCC diagnostic pop
  EXPECT_EQ("<" + big + ">\n" + widened, err.text());
  EXPECT_EQ(live, alloc_live_blocks()) << "the eprintf buffers are freed";
}

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
