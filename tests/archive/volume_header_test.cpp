#include "archive/volume_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/archive_model.h"

namespace kel::archive {
namespace {

TEST(VolumeHeader, FormatsTheFixedFieldsAndZeroFillsTheBlock) {
  for (int32_t block : {512, 1024}) {
    uint8_t buf[1024];
    memset(buf, 0xAA, sizeof buf);
    VolumeHeader h;
    h.format_version = 6;
    h.volume = 3;
    h.media_size = 100;
    h.record_size = 5120;
    h.media_block = block;
    format_volume_header(buf, block, h, 0);
    std::string got(reinterpret_cast<char *>(buf), static_cast<size_t>(block));
    std::string want = test::model_volume_header(6, 3, 100, 5120, block);
    // The creation time is the ctime text of the moment, newline included.
    char stamp[32];
    time_t zero = 0;
    ctime_r(&zero, stamp);
    want.replace(22, 25, stamp);
    EXPECT_EQ(want, got);
    if (block == 512) {  // nothing beyond the block
      EXPECT_EQ(0xAA, buf[512]);
    }
  }
  // Volume 100 and later keep the two-digit field.
  uint8_t buf[512];
  VolumeHeader h;
  h.format_version = 5;
  h.volume = 123;
  h.record_size = 512;
  h.media_block = 512;
  format_volume_header(buf, 512, h, 0);
  EXPECT_EQ(0, memcmp(buf, "KEL!0523000000051205120", 22));
}

TEST(VolumeHeader, ParsesFieldsAndSwappedMedia) {
  std::string h = test::model_volume_header(6, 2, 99, 1024, 1024);
  h.push_back('\0');
  VolumeHeader v;
  ASSERT_TRUE(parse_volume_header(reinterpret_cast<const uint8_t *>(h.data()), &v));
  EXPECT_EQ(6, v.format_version);
  EXPECT_EQ(2, v.volume);
  EXPECT_EQ(99, v.media_size);
  EXPECT_EQ(1024, v.record_size);
  EXPECT_EQ(1024, v.media_block);
  EXPECT_STREQ("Thu Jan  1 00:00:00 1970", v.created);

  // The oldest headers lack the media block field.
  std::string old = "KEL!0401000000051200";
  old.resize(513, '\0');
  ASSERT_TRUE(parse_volume_header(reinterpret_cast<const uint8_t *>(old.data()), &v));
  EXPECT_EQ(0, v.media_block);
  std::string junk = "KEL!xx";
  junk.resize(513, '\0');
  EXPECT_FALSE(parse_volume_header(reinterpret_cast<const uint8_t *>(junk.data()), &v));

  std::string swapped = test::swap_pairs_of(h.substr(0, 512));
  auto *b = reinterpret_cast<uint8_t *>(swapped.data());
  EXPECT_FALSE(volume_magic_ok(b));
  swap_pairs(b, kVolumeSwapWidth);
  EXPECT_TRUE(volume_magic_ok(b));
  EXPECT_EQ(0, memcmp(b, h.data(), kVolumeSwapWidth));
}

}  // namespace
}  // namespace kel::archive
