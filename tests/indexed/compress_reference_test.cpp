// Decompression against a byte-at-a-time reference decoder, on random
// stored forms rich in markers, in every version: the same length or
// refusal, and the same bytes in the output buffer (also what a refused
// form left there).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "indexed/storage/compress.h"

namespace kel::test {
namespace {

// The stored-form rules, one output byte at a time.
int32_t reference_decompress(int version, const uint8_t *in, int32_t length, uint8_t *out,
                             int32_t max_length) {
  int32_t n = 0;
  auto emit = [&](uint8_t c, int32_t count) {
    if (count > max_length - n) return false;
    for (int32_t k = 0; k < count; ++k) out[n++] = c;
    return true;
  };
  int32_t i = 0;
  while (i < length) {
    uint8_t b = in[i++];
    bool ok;
    if (b == 254) {
      if (i + 1 >= length) return -1;
      ok = emit(in[i], in[i + 1]);
      i += 2;
    } else if (version >= 3 && b >= 251 && b <= 253) {
      if (i >= length) return -1;
      ok = emit(b == 253 ? ' ' : b == 252 ? '0' : 0, in[i++]);
    } else if (version >= 3 && b == 250) {
      if (i >= length) return -1;
      ok = emit(in[i++], 1);
    } else {
      ok = emit(b, 1);
    }
    if (!ok) return -1;
  }
  return n;
}

TEST(CompressionReference, RandomStoredFormsDecodeAsByTheRules) {
  std::mt19937 rng(99);
  for (int round = 0; round < 20000; ++round) {
    int version = 2 + static_cast<int>(rng() % 4);
    std::vector<uint8_t> in(rng() % 80);
    for (uint8_t &b : in) {
      uint32_t pick = rng() % 10;
      b = static_cast<uint8_t>(pick < 4 ? 250 + rng() % 6 : pick < 6 ? rng() % 8 : rng() % 256);
    }
    int32_t max = static_cast<int32_t>(rng() % 300);
    std::vector<uint8_t> got(400, 0xA5), want(400, 0xA5);
    int32_t length = static_cast<int32_t>(in.size());
    int32_t a = indexed::decompress_record(version, in.data(), length, got.data(), max);
    int32_t b = reference_decompress(version, in.data(), length, want.data(), max);
    ASSERT_EQ(b, a) << "round " << round << " version " << version;
    ASSERT_EQ(want, got) << "round " << round << " version " << version;
  }
}

}  // namespace
}  // namespace kel::test
