#include "support/be.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kel {
namespace {

TEST(BigEndian, StoresPinnedBytesAndLoadsThemBack) {
  uint8_t b[8] = {};
  store_be16(b, 0x1234);
  EXPECT_EQ(0, memcmp(b, "\x12\x34", 2));
  EXPECT_EQ(0x1234, load_be16(b));

  store_be32(b, 0x10121419u);
  EXPECT_EQ(0, memcmp(b, "\x10\x12\x14\x19", 4));
  EXPECT_EQ(0x10121419u, load_be32(b));

  store_be48(b, 0x0000A1B2C3D4E5F6ull & 0xFFFFFFFFFFFFull);
  EXPECT_EQ(0, memcmp(b, "\xA1\xB2\xC3\xD4\xE5\xF6", 6));
  EXPECT_EQ(0xA1B2C3D4E5F6ull, load_be48(b));

  store_be64(b, 0x0102030405060708ull);
  EXPECT_EQ(0, memcmp(b, "\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(0x0102030405060708ull, load_be64(b));
}

TEST(BigEndian, WidthDispatchMatchesTheFixedHelpers) {
  uint8_t b[8];
  for (int width : {1, 2, 4, 6, 8}) {
    memset(b, 0xEE, sizeof b);
    uint64_t v = 0x8877665544332211ull;
    uint64_t mask = width == 8 ? ~0ull : ((1ull << (8 * width)) - 1);
    store_be(b, width, v);
    EXPECT_EQ(v & mask, load_be(b, width)) << "width " << width;
    // The most significant stored byte comes first.
    EXPECT_EQ(static_cast<uint8_t>((v & mask) >> (8 * (width - 1))), b[0]);
    if (width < 8) {
      EXPECT_EQ(0xEE, b[width]) << "wrote past the field";
    }
  }
  // Signed values survive a round trip through their field width.
  store_be32(b, static_cast<uint32_t>(-5));
  EXPECT_EQ(-5, static_cast<int32_t>(load_be32(b)));
}

}  // namespace
}  // namespace kel
