#include <gtest/gtest.h>

#include <string>

#include "common/test_util.h"
#include "config/config.h"

namespace kel {
namespace {

const ConfigKeyword kFlags[] = {{"READ", 1}, {"WRITE", 2}, {"RECOVER", 8}, {"APPEND", 4}};

int32_t parse(const char *text, bool verbose = false) {
  return cfg_parse_number(text, kFlags, 4, verbose);
}

TEST(ConfigParse, KeywordsAreAbbreviatedAndOrd) {
  EXPECT_EQ(3, parse("read,write"));
  EXPECT_EQ(3, parse("  WRITE   Read "));
  EXPECT_EQ(1, parse("re")) << "the first keyword in table order wins";
  EXPECT_EQ(8, parse("rec"));
  EXPECT_EQ(4, parse(",,append,"));
  EXPECT_EQ(0, parse("readx")) << "longer than any keyword: no match, not a number";
  EXPECT_EQ(15, parse("r,w,rec,a"));
  // Tokens keep at most 30 characters: a long run is one token.
  EXPECT_EQ(0, parse(std::string(40, 'R').c_str()));
}

TEST(ConfigParse, DecimalsAndUnitLetters) {
  EXPECT_EQ(65536, cfg_parse_number("64K", nullptr, 0, false));
  EXPECT_EQ(65536, cfg_parse_number("64k", nullptr, 0, false));
  EXPECT_EQ(-2048, cfg_parse_number("-2k", nullptr, 0, false));
  EXPECT_EQ(-12, cfg_parse_number("12-", nullptr, 0, false));
  EXPECT_EQ(-12, cfg_parse_number("12-k", nullptr, 0, false) / 1024);
  EXPECT_EQ(12, cfg_parse_number("+12", nullptr, 0, false));
  EXPECT_EQ(-12, cfg_parse_number("-12-", nullptr, 0, false)) << "one sign only";
  EXPECT_EQ(3145728, cfg_parse_number("3 M", nullptr, 0, false));
  EXPECT_EQ(1073741824, cfg_parse_number("1G", nullptr, 0, false));
  EXPECT_EQ(-2147483647 - 1, cfg_parse_number("2g", nullptr, 0, false)) << "32-bit words";
  EXPECT_EQ(7, cfg_parse_number("7x", nullptr, 0, false));
  EXPECT_EQ(42, cfg_parse_number("  42  ", nullptr, 0, false));
  EXPECT_EQ(0, cfg_parse_number("junk", nullptr, 0, false));
  EXPECT_EQ(0, cfg_parse_number("", nullptr, 0, false));
  EXPECT_EQ(0, cfg_parse_number("4g", nullptr, 0, false)) << "2^32 in a 32-bit word";
  EXPECT_EQ(0, cfg_parse_number(nullptr, nullptr, 0, false));
  // A number among keywords is read when no keyword matched at all.
  EXPECT_EQ(17, parse("17"));
  EXPECT_EQ(2, parse("17 write")) << "a keyword matched: the number is not read";
}

TEST(ConfigParse, UnmatchedTokensAreReportedWhenVerbose) {
  test::StderrCapture err;
  EXPECT_EQ(0, parse("bogus", true));
  EXPECT_EQ(-5, parse("-5", true)) << "a signed number is no keyword miss";
  EXPECT_EQ(1, parse("read=x", true));
  EXPECT_EQ(99, cfg_parse_number("99zz", nullptr, 0, true)) << "no keywords, nothing to list";
  const std::string list = " 'READ' 'WRITE' 'RECOVER' 'APPEND'\n";
  EXPECT_EQ("Warning: BOGUS does not match any of the following keywords:" + list +
                "Warning: = does not match any of the following keywords:" + list +
                "Warning: X does not match any of the following keywords:" + list,
            err.text());
}

}  // namespace
}  // namespace kel
