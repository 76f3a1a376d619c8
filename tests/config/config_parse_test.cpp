#include <gtest/gtest.h>

#include "common/golden.h"
#include "common/test_util.h"
#include "config/config.h"

namespace kel::test {
namespace {

const ConfigKeyword kFlags[] = {{"READ", 1}, {"WRITE", 2}, {"RECOVER", 8}, {"APPEND", 4}};

// Keywords are abbreviated and OR'd, the first in table order wins; a token
// keeps 30 characters; a number among keywords is read when no keyword
// matched at all. Numbers: decimals with unit letters and one sign, in
// 32-bit words.
TEST(ConfigParse, KeywordsNumbersAndUnitLetters) {
  const char *forty_rs = "RRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRR";  // 40
  const struct {
    const char *text;
    bool keywords;
    int32_t want;
  } cases[] = {{"read,write", true, 3},
               {"  WRITE   Read ", true, 3},
               {"re", true, 1},
               {"rec", true, 8},
               {",,append,", true, 4},
               {"r,w,rec,a", true, 15},
               {"readx", true, 0},
               {forty_rs, true, 0},
               {"17", true, 17},
               {"17 write", true, 2},
               {"64K", false, 65536},
               {"64k", false, 65536},
               {"-2k", false, -2048},
               {"12-", false, -12},
               {"12-k", false, -12288},
               {"+12", false, 12},
               {"-12-", false, -12},
               {"3 M", false, 3145728},
               {"1G", false, 1073741824},
               {"2g", false, INT32_MIN},
               {"4g", false, 0},
               {"7x", false, 7},
               {"  42  ", false, 42},
               {"junk", false, 0},
               {"", false, 0},
               {nullptr, false, 0}};
  for (const auto &c : cases)
    EXPECT_EQ(c.want,
              cfg_parse_number(c.text, c.keywords ? kFlags : nullptr, c.keywords ? 4 : 0, false))
        << (c.text ? c.text : "(null)");
  // Unmatched tokens are reported when verbose: not a signed number, nor
  // when there are no keywords to list.
  StderrCapture err;
  EXPECT_EQ(0, cfg_parse_number("bogus", kFlags, 4, true));
  EXPECT_EQ(-5, cfg_parse_number("-5", kFlags, 4, true));
  EXPECT_EQ(1, cfg_parse_number("read=x", kFlags, 4, true));
  EXPECT_EQ(99, cfg_parse_number("99zz", nullptr, 0, true));
  EXPECT_TRUE(matches_golden("config/keyword_warnings.txt", err.text()));
}

}  // namespace
}  // namespace kel::test
