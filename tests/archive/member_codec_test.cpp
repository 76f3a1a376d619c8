#include "archive/member_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "archive/archive_model.h"

namespace kel::archive {
namespace {

TEST(MemberCodec, FormatsHeadersAndTrailerToTheByte) {
  MemberHeader h;
  h.mode = 0100600;
  h.owner = 500;
  h.group = 100;
  h.mtime = 1000000000;
  h.data_size = 12;
  h.type = kTypeText;
  char out[128];
  size_t n = format_member_header(h, "a/b", out);
  EXPECT_EQ(std::string("10121417100600005000010010000000000030000000012Ta/b"),
            std::string(out, n));
  n = format_trailer(out);
  EXPECT_EQ(std::string("10121417000000000000000000000000000100000000000NTRAILER!!!"),
            std::string(out, n));

  // Values wider than their fields are clamped so that the later fields
  // keep their places.
  h.owner = 123456;
  h.group = 70000;
  h.mtime = -5;
  n = format_member_header(h, "x", out);
  ASSERT_EQ(kMemberHeaderSize + 1, n);
  EXPECT_EQ(std::string("99999"), std::string(out + kOwnerOffset, kOwnerWidth));
  EXPECT_EQ(std::string("70000"), std::string(out + kGroupOffset, kGroupWidth));
  EXPECT_EQ(std::string("0000000000"), std::string(out + kTimeOffset, kTimeWidth));
}

TEST(MemberCodec, ParsesWhatTheModelWritesAndRejectsDamagedFields) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    unsigned mode = rng() % 0200000;
    int uid = static_cast<int>(rng() % 100000), gid = static_cast<int>(rng() % 100000);
    long long mtime = rng() % 2000000000LL;
    long long size = (static_cast<long long>(rng()) << 2) % 9999999999LL;
    std::string name(rng() % 40 + 1, 'n');
    char type = "TBNV"[rng() % 4];
    std::string text = test::model_member(mode, uid, gid, mtime, name, size, type);
    MemberHeader h;
    ASSERT_EQ(HeaderCheck::kOk, parse_member_header(text.c_str(), &h));
    EXPECT_EQ(mode, h.mode);
    EXPECT_EQ(uid, h.owner);
    EXPECT_EQ(gid, h.group);
    EXPECT_EQ(mtime, h.mtime);
    EXPECT_EQ(static_cast<int>(name.size()), h.name_length);
    EXPECT_EQ(size, h.data_size);
    EXPECT_EQ(type, h.type);
  }

  // Damaged fields; leading blanks are what a printf without zero padding
  // leaves, and pass.
  const std::string good = test::model_member(0100644, 1, 2, 3, "abc", 4, 'T');
  struct Damage {
    size_t at;
    const char *bytes;
    HeaderCheck want;
  } damages[] = {{0, "10121418", HeaderCheck::kBadMagic},
                 {0, "  121417", HeaderCheck::kBadMagic},
                 {kModeOffset, "10064x", HeaderCheck::kBadField},
                 {kModeOffset, "100648", HeaderCheck::kBadField},  // not octal
                 {kOwnerOffset, "-0001", HeaderCheck::kBadField},
                 {kNameLengthOffset, "   ", HeaderCheck::kBadField},
                 {kSizeOffset, "00000001 0", HeaderCheck::kBadField},
                 {kOwnerOffset, "   12", HeaderCheck::kOk}};
  MemberHeader h;
  for (const Damage &d : damages) {
    std::string t = good;
    t.replace(d.at, strlen(d.bytes), d.bytes);
    EXPECT_EQ(d.want, parse_member_header(t.c_str(), &h)) << d.bytes;
  }
  EXPECT_EQ(12, h.owner);
  // The start of a header is enough to reach the name, whatever the rest.
  std::string trailer = test::model_trailer();
  trailer.replace(kModeOffset, 6, "zzzzzz");
  int32_t length = 0;
  EXPECT_EQ(HeaderCheck::kOk, parse_member_start(trailer.c_str(), &length));
  EXPECT_EQ(10, length);
  EXPECT_EQ(HeaderCheck::kBadField, parse_member_header(trailer.c_str(), &h));
}

TEST(MemberCodec, ConvertsForeignPathSyntax) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      // The drive and bracket forms kel -i meets: kel_input_test.
      {"[a]b.c", "a/b/c"},
      {"plain/name.dat", "plain/name.dat"},
      {"dev:file", "dev/file"},
      {"[x:y\\z]", "x/y/z/"},
      {"", ""},
      {"[", ""},
      {"a[b]c.d", "a[b]c.d"},  // only a leading bracket starts the bracket form
  };
  for (const auto &c : cases) {
    char out[64];
    convert_name(c.in, out);
    EXPECT_STREQ(c.out, out) << c.in;
  }
  // The conversion never lengthens a name and leaves no ':' or '\\'.
  std::mt19937 rng(3);
  const char alphabet[] = "ab:\\.[]/";
  for (int i = 0; i < 1000; ++i) {
    std::string in;
    for (size_t n = rng() % 20; n > 0; --n) in += alphabet[rng() % 8];
    char out[64];
    convert_name(in.c_str(), out);
    EXPECT_LE(strlen(out), in.size());
    EXPECT_EQ(nullptr, strpbrk(out, ":\\"));
  }
}

TEST(MemberCodec, OldKeyDescriptionFromTheIndexedTexts) {
  // Key 0: 8 bytes at offset 0; key 1: 10 bytes at offset 8, duplicates.
  const char *keys[] = {"01,0,008,0000000000", "01,1,010,0000000008"};
  char out[256];
  ASSERT_EQ(OldKeyResult::kOk,
            build_old_key_description("0000000100,0000000100,002", "01,0000000,0000001,000,0", keys,
                                      2, out, sizeof out));
  EXPECT_STREQ("001,001,1,0100,02,008,0000,010,0008,Y,N,N,N", out);
  EXPECT_EQ(43u, strlen(out));

  // Variable length, compression and scrambling flags.
  ASSERT_EQ(OldKeyResult::kOk,
            build_old_key_description("0000000100,0000000010,001", "02,0000000,0000001,070,1", keys,
                                      1, out, sizeof out));
  EXPECT_STREQ("001,001,2,0100,01,008,0000,Y,Y,Y", out);
  EXPECT_EQ(11u * 1 + 21, strlen(out));

  const char *split[] = {"02,0,004,0000000000,004,0000000010"};
  EXPECT_EQ(OldKeyResult::kSplitKey,
            build_old_key_description("0000000100,0000000100,001", "01,0000000,0000001,000,0",
                                      split, 1, out, sizeof out));
  const char *split_second[] = {"01,0,008,0000000000", "02,1,004,0000000010,004,0000000020"};
  EXPECT_EQ(OldKeyResult::kSplitKey,
            build_old_key_description("0000000100,0000000100,002", "01,0000000,0000001,000,0",
                                      split_second, 2, out, sizeof out));
  EXPECT_EQ(OldKeyResult::kTooWide,
            build_old_key_description("0000010000,0000010000,001", "01,0000000,0000001,000,0", keys,
                                      1, out, sizeof out));
  EXPECT_EQ(OldKeyResult::kBadText, build_old_key_description("junk", "01,0000000,0000001,000,0",
                                                              keys, 1, out, sizeof out));

  int32_t blocks = 0, length = 0;
  ASSERT_TRUE(parse_old_key_description("001,001,2,0100,01,008,0000,Y,Y,Y", &blocks, &length));
  EXPECT_EQ(2, blocks);
  EXPECT_EQ(100, length);
  EXPECT_FALSE(parse_old_key_description("001,001", &blocks, &length));

  EXPECT_EQ(100, max_record_length_of("0000000100,0000000010,001"));
  EXPECT_EQ(-1, max_record_length_of("x100"));
  EXPECT_EQ(-1, max_record_length_of("-5,1,1"));
}

}  // namespace
}  // namespace kel::archive
