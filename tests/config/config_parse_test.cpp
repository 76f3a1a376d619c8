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
  const std::pair<const char *, int32_t> keywords[] = {
      {"read,write", 3}, {"  WRITE   Read ", 3}, {"re", 1},     {"rec", 8}, {",,append,", 4},
      {"r,w,rec,a", 15}, {"readx", 0},           {forty_rs, 0}, {"17", 17}, {"17 write", 2}};
  for (auto [text, want] : keywords)
    EXPECT_EQ(want, cfg_parse_number(text, kFlags, 4, false)) << text;
  const std::pair<const char *, int32_t> numbers[] = {
      {"64K", 65536},     {"64k", 65536},    {"-2k", -2048}, {"12-", -12},
      {"12-k", -12288},   {"+12", 12},       {"-12-", -12},  {"3 M", 3145728},
      {"1G", 1073741824}, {"2g", INT32_MIN}, {"4g", 0},      {"7x", 7},
      {"  42  ", 42},     {"junk", 0},       {"", 0},        {nullptr, 0}};
  for (auto [text, want] : numbers)
    EXPECT_EQ(want, cfg_parse_number(text, nullptr, 0, false)) << (text ? text : "(null)");
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
