#include "archive/member_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_model.h"

namespace kel::archive {
namespace {

TEST(MemberCodec, HeadersAgainstTheModel) {
  // Every run compares whole members with the model; here the field edges.
  char out[128];
  EXPECT_EQ(test::model_trailer(), std::string(out, format_trailer(out)));
  // Values wider than their fields are clamped so that the later fields
  // keep their places.
  MemberHeader h{.mode = 0177777,
                 .owner = 123456,
                 .group = 70000,
                 .mtime = -5,
                 .data_size = 9999999999LL,
                 .type = kTypeText};
  const std::string widest = test::model_member(0177777, 99999, 70000, 0, "x", 9999999999LL, 'T');
  EXPECT_EQ(widest, std::string(out, format_member_header(h, "x", out)));
  MemberHeader p;
  ASSERT_EQ(HeaderCheck::kOk, parse_member_header(widest.c_str(), &p));
  EXPECT_EQ(std::make_tuple(0177777u, 99999, 9999999999LL, 1),
            std::make_tuple(p.mode, p.owner, p.data_size, p.name_length));

  // Damage in general is the fuzz target's; leading blanks are what a
  // printf without zero padding leaves, and pass.
  const std::string good = test::model_member(0100644, 1, 2, 3, "abc", 4, 'T');
  struct {
    size_t at;
    const char *bytes;
    HeaderCheck want;
  } damages[] = {{0, "  121417", HeaderCheck::kBadMagic},
                 {0, "1012141a", HeaderCheck::kBadMagic},
                 {0, "1012141F", HeaderCheck::kBadMagic},
                 {kNameLengthOffset, "   ", HeaderCheck::kBadField},
                 {kTimeOffset, "+000000003", HeaderCheck::kOk},
                 {kModeOffset, "100648", HeaderCheck::kBadField},  // not octal
                 {kOwnerOffset, "-0001", HeaderCheck::kBadField},
                 {kSizeOffset, "00000001 0", HeaderCheck::kBadField},
                 {kOwnerOffset, "   12", HeaderCheck::kOk}};
  for (const auto &d : damages) {
    std::string t = good;
    t.replace(d.at, strlen(d.bytes), d.bytes);
    EXPECT_EQ(d.want, parse_member_header(t.c_str(), &h)) << d.bytes;
  }
  EXPECT_EQ(12, h.owner);
}

// The listing in golden/archive/input.txt shows the foreign name forms;
// names it cannot carry (empty, a bracket form cut after its opening
// bracket) become the empty name.
TEST(MemberCodec, NamesWithNothingToConvert) {
  char out[8];
  for (const char *in : {"", "["}) {
    convert_name(in, out);
    EXPECT_STREQ("", out) << in;
  }
}

TEST(MemberCodec, OldKeyDescriptionFromTheIndexedTexts) {
  // Key 0: 8 bytes at offset 0; key 1: 10 bytes at offset 8, duplicates.
  const char *keys[] = {"01,0,008,0000000000", "01,1,010,0000000008"};
  const char *split[] = {"01,0,008,0000000000", "02,1,004,0000000010,004,0000000020"};
  struct {
    const char *record, *physical;
    const char **keys;
    int count;
    OldKeyResult result;
    const char *text = "";
  } cases[] = {
      {"0000000100,0000000100,002", "01,0000000,0000001,000,0", keys, 2, OldKeyResult::kOk,
       "001,001,1,0100,02,008,0000,010,0008,Y,N,N,N"},
      // Variable length, compression and scrambling flags.
      {"0000000100,0000000010,001", "02,0000000,0000001,070,1", keys, 1, OldKeyResult::kOk,
       "001,001,2,0100,01,008,0000,Y,Y,Y"},
      {"0000000100,0000000100,002", "01,0000000,0000001,000,0", split, 2, OldKeyResult::kSplitKey},
      {"0000000100,0000000100,001", "01,0000000,0000001,000,0", split + 1, 1,
       OldKeyResult::kSplitKey},
      {"0000010000,0000010000,001", "01,0000000,0000001,000,0", keys, 1, OldKeyResult::kTooWide},
      {"junk", "01,0000000,0000001,000,0", keys, 1, OldKeyResult::kBadText}};
  for (const auto &c : cases) {
    char out[256] = "";
    EXPECT_EQ(c.result,
              build_old_key_description(c.record, c.physical, c.keys, c.count, out, sizeof out));
    if (c.result == OldKeyResult::kOk) {
      EXPECT_STREQ(c.text, out);
    }
  }
  int32_t blocks = 0, length = 0;
  ASSERT_TRUE(parse_old_key_description("001,001,2,0100,01,008,0000,Y,Y,Y", &blocks, &length));
  EXPECT_EQ(2, blocks);
  EXPECT_EQ(100, length);
  EXPECT_FALSE(parse_old_key_description("001,001", &blocks, &length));
}

// The texts ahead of an indexed member's records (kel writes them;
// dorvex-tool's unload reads them back): their bytes round trip, a table
// travels as "256" and its bytes, NULs included, and damaged texts are
// refused with the reason.
TEST(MemberCodec, IndexedTexts) {
  const char *keys[] = {"01,0,008,0000000000", "01,1,012,0000000028"};
  std::string table(256, '\0');
  for (int b = 0; b < 256; ++b) table[static_cast<size_t>(b)] = static_cast<char>(255 - b);
  IndexedTexts t{
      "0000000040,0000000040,002", "01,0000000,0000001,000,0", "c", table.data(), 2, keys};
  char out[kIndexedTextsMax];
  const std::string bytes(out, format_indexed_texts(t, out));
  ASSERT_EQ(indexed_texts_size(t), bytes.size());
  EXPECT_EQ("250000000040,0000000040,0022401,0000000,0000001,000,001c256" + table +
                "00201901,0,008,000000000001901,1,012,0000000028",
            bytes);
  auto read_from = [](void *file, char *into, size_t n) {
    return fread(into, 1, n, static_cast<FILE *>(file)) == n;
  };
  const std::string plain = bytes.substr(0, 56) + "000" + bytes.substr(56 + 3 + 256);
  const struct {
    std::string bytes;
    TextsResult result;
  } cases[] = {{bytes, TextsResult::kOk},
               {plain, TextsResult::kOk},
               {plain.substr(0, plain.size() - 1), TextsResult::kShort},
               {"2x" + plain.substr(2), TextsResult::kBadField},
               {plain.substr(0, 56) + "255", TextsResult::kBadField},
               {plain.substr(0, 59) + "000", TextsResult::kBadField},
               {plain.substr(0, 56) + "000001019" + std::string(1, '\0') + plain.substr(66),
                TextsResult::kBadField}};
  for (const auto &c : cases) {
    ParsedIndexedTexts parsed;
    FILE *in = fmemopen(const_cast<char *>(c.bytes.data()), c.bytes.size(), "r");
    TextsResult result = parse_indexed_texts(read_from, in, &parsed);
    const long at = ftell(in);
    fclose(in);
    ASSERT_EQ(c.result, result) << c.bytes;
    if (c.result != TextsResult::kOk) continue;
    EXPECT_EQ(static_cast<long>(c.bytes.size()), at);
    EXPECT_STREQ(t.record_parameters, parsed.record_parameters);
    EXPECT_STREQ("c", parsed.comment);
    EXPECT_EQ(c.bytes == bytes ? table : "",
              parsed.has_table ? std::string(parsed.table, 256) : "");
    EXPECT_STREQ("01,0,008,0000000000,01,1,012,0000000028", parsed.keys);
  }
  t.key_count = kIndexedMaxKeys + 1;  // too many keys: nothing to format
  EXPECT_EQ(0u, indexed_texts_size(t));
}

}  // namespace
}  // namespace kel::archive
