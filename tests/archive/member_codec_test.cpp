#include "archive/member_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "archive/archive_model.h"

namespace kel::archive {
namespace {

TEST(MemberCodec, HeadersAgainstTheModel) {
  // Random headers formatted to the model's bytes and parsed back.
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    MemberHeader h;
    h.mode = rng() % 0200000;
    h.owner = static_cast<int32_t>(rng() % 100000);
    h.group = static_cast<int32_t>(rng() % 100000);
    h.mtime = rng() % 2000000000LL;
    h.data_size = (static_cast<long long>(rng()) << 2) % 9999999999LL;
    h.type = "TBNV"[rng() % 4];
    std::string name(rng() % 40 + 1, 'n');
    std::string want =
        test::model_member(h.mode, h.owner, h.group, h.mtime, name, h.data_size, h.type);
    char out[128];
    ASSERT_EQ(want, std::string(out, format_member_header(h, name.c_str(), out)));
    MemberHeader p;
    ASSERT_EQ(HeaderCheck::kOk, parse_member_header(want.c_str(), &p));
    EXPECT_EQ(std::make_tuple(h.mode, h.owner, h.group, h.mtime, h.data_size, h.type),
              std::make_tuple(p.mode, p.owner, p.group, p.mtime, p.data_size, p.type));
    EXPECT_EQ(static_cast<int>(name.size()), p.name_length);
  }
  char out[128];
  EXPECT_EQ(test::model_trailer(), std::string(out, format_trailer(out)));
  // Values wider than their fields are clamped so that the later fields
  // keep their places.
  MemberHeader h;
  h.owner = 123456;
  h.group = 70000;
  h.mtime = -5;
  h.type = kTypeText;
  EXPECT_EQ(test::model_member(0, 99999, 70000, 0, "x", 0, 'T'),
            std::string(out, format_member_header(h, "x", out)));

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

TEST(MemberCodec, ConvertsForeignPathSyntax) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"[a]b.c", "a/b/c"},
      {"plain/name.dat", "plain/name.dat"},
      {"dev:file", "dev/file"},
      {"[x:y\\z]", "x/y/z/"},
      {"", ""},
      {"[", ""},
      {"a[b]c.d", "a[b]c.d"},  // only a leading bracket starts the bracket form
  };
  char out[64];
  for (const auto &c : cases) {
    convert_name(c.in, out);
    EXPECT_STREQ(c.out, out) << c.in;
  }
  // The conversion never lengthens a name and leaves no ':' or '\\'.
  std::mt19937 rng(3);
  for (int i = 0; i < 1000; ++i) {
    std::string in;
    for (size_t n = rng() % 20; n > 0; --n) in += "ab:\\.[]/"[rng() % 8];
    convert_name(in.c_str(), out);
    EXPECT_LE(strlen(out), in.size());
    EXPECT_EQ(nullptr, strpbrk(out, ":\\"));
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

}  // namespace
}  // namespace kel::archive
