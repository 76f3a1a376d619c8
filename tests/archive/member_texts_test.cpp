// The texts in front of an indexed member's records: their bytes, and the
// parse of those bytes and of damaged ones.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/member_codec.h"

namespace kel::archive {
namespace {

struct Source {
  std::string bytes;
  size_t at = 0;
};

bool read_from(void *context, char *out, size_t n) {
  auto *s = static_cast<Source *>(context);
  if (s->bytes.size() - s->at < n) return false;
  memcpy(out, s->bytes.data() + s->at, n);
  s->at += n;
  return true;
}

TEST(MemberTexts, BytesAndParse) {
  const char *keys[] = {"01,0,008,0000000000", "01,1,012,0000000028"};
  IndexedTexts t;
  t.record_parameters = "0000000040,0000000040,002";
  t.physical_parameters = "01,0000000,0000001,000,0";
  t.comment = "c";
  t.key_count = 2;
  t.keys = keys;
  const std::string expected =
      "250000000040,0000000040,002"
      "2401,0000000,0000001,000,0"
      "01c"
      "000"
      "002"
      "01901,0,008,0000000000"
      "01901,1,012,0000000028";
  char out[kIndexedTextsMax];
  ASSERT_EQ(indexed_texts_size(t), expected.size());
  ASSERT_EQ(std::string(out, format_indexed_texts(t, out)), expected);

  ParsedIndexedTexts parsed;
  Source s{expected};
  ASSERT_EQ(parse_indexed_texts(read_from, &s, &parsed), TextsResult::kOk);
  EXPECT_STREQ(parsed.record_parameters, t.record_parameters);
  EXPECT_STREQ(parsed.comment, "c");
  EXPECT_FALSE(parsed.has_table);
  EXPECT_EQ(parsed.key_count, 2);
  EXPECT_STREQ(parsed.keys, "01,0,008,0000000000,01,1,012,0000000028");
  EXPECT_EQ(s.at, expected.size());

  // A table travels as "256" and its bytes, NULs included.
  std::string table(256, '\0');
  for (int b = 0; b < 256; ++b) table[static_cast<size_t>(b)] = static_cast<char>(255 - b);
  t.table = table.data();
  std::string with_table(out, format_indexed_texts(t, out));
  EXPECT_EQ(with_table.substr(56, 3 + 256), "256" + table);
  s = {with_table};
  ASSERT_EQ(parse_indexed_texts(read_from, &s, &parsed), TextsResult::kOk);
  EXPECT_TRUE(parsed.has_table);
  EXPECT_EQ(std::string(parsed.table, 256), table);

  // Too long for its count, no keys, too many keys: nothing to format.
  const std::string long_comment(kIndexedMaxText + 1, 'x');
  t.comment = long_comment.c_str();
  EXPECT_EQ(indexed_texts_size(t), 0u);
  t.comment = "c";
  t.key_count = 0;
  EXPECT_EQ(indexed_texts_size(t), 0u);
  t.key_count = kIndexedMaxKeys + 1;
  EXPECT_EQ(indexed_texts_size(t), 0u);

  // Damaged texts: cut short, a count that is no number, a table of
  // another size, no keys, a NUL inside a text.
  const struct {
    std::string bytes;
    TextsResult result;
  } damaged[] = {
      {expected.substr(0, expected.size() - 1), TextsResult::kShort},
      {"2x" + expected.substr(2), TextsResult::kBadField},
      {expected.substr(0, 56) + "255", TextsResult::kBadField},
      {expected.substr(0, 59) + "000", TextsResult::kBadField},
      {expected.substr(0, 56) + "000001019" + std::string(1, '\0') + expected.substr(66),
       TextsResult::kBadField},
  };
  for (const auto &d : damaged) {
    s = {d.bytes};
    EXPECT_EQ(parse_indexed_texts(read_from, &s, &parsed), d.result) << d.bytes;
  }
}

}  // namespace
}  // namespace kel::archive
