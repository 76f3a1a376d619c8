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

}  // namespace
}  // namespace kel::archive
