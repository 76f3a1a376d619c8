#include "support/be.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kel {
namespace {

// Every width through the dispatching helpers, which use the fixed ones:
// pinned bytes, most significant first, nothing written past the field,
// and the value loaded back.
TEST(BigEndian, FieldsOfEveryWidthHoldPinnedBytes) {
  const uint64_t v = 0x8877665544332211ull;
  const uint8_t bytes[] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  uint8_t b[9];
  for (int width : {1, 2, 4, 6, 8}) {
    memset(b, 0xEE, sizeof b);
    uint64_t mask = width == 8 ? ~0ull : ((1ull << (8 * width)) - 1);
    store_be(b, width, v);
    EXPECT_EQ(0, memcmp(b, bytes + 8 - width, static_cast<size_t>(width))) << "width " << width;
    EXPECT_EQ(0xEE, b[width]) << "wrote past the field";
    EXPECT_EQ(v & mask, load_be(b, width)) << "width " << width;
  }
  // Signed values survive a round trip through their field width.
  store_be32(b, static_cast<uint32_t>(-5));
  EXPECT_EQ(-5, static_cast<int32_t>(load_be32(b)));
}

}  // namespace
}  // namespace kel
