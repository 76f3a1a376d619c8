#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "config/config.h"

namespace kel {
namespace {

// An independent encoder: the bits of the input, six at a time, through
// the configuration's alphabet.
std::string reference_encode(const std::vector<uint8_t> &bytes) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789[]";
  std::string bits;
  for (uint8_t b : bytes)
    for (int i = 7; i >= 0; --i) bits += ((b >> i) & 1) ? '1' : '0';
  while (bits.size() % 24) bits += '0';
  std::string out;
  for (size_t i = 0; i < bits.size(); i += 6)
    out += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
  return out;
}

TEST(ConfigBase64, RoundTripsMatchTheReference) {
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes(round == 0 ? 0 : rng() % 40);
    for (uint8_t &b : bytes) b = static_cast<uint8_t>(rng());
    std::string enc(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    base64_encode(bytes.data(), static_cast<int32_t>(bytes.size()), enc.data());
    enc.resize(strlen(enc.c_str()));
    ASSERT_EQ(reference_encode(bytes), enc);
    // Every group of four characters decodes to three bytes, the padding 0.
    std::vector<uint8_t> back(3 * ((enc.size() + 3) / 4) + 1);
    int32_t n = base64_decode(enc.c_str(), back.data());
    ASSERT_EQ(static_cast<int32_t>(3 * ((bytes.size() + 2) / 3)), n);
    for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], back[i]);
    for (size_t i = bytes.size(); i < static_cast<size_t>(n); ++i) ASSERT_EQ(0, back[i]);
  }
  // Pinned forms; characters outside the alphabet count as 0 and a short
  // last group is completed with zero bits.
  char out[8];
  const uint8_t abc[] = {'a', 'b', 'c'};
  base64_encode(abc, 3, out);
  EXPECT_STREQ("ywjJ", out);
  uint8_t back[8] = {};
  EXPECT_EQ(3, base64_decode("[]!*", back));
  EXPECT_EQ(0, memcmp("\xFB\xF0\x00", back, 3));  // 62 = 111110, 63 = 111111, then 0, 0
  EXPECT_EQ(3, base64_decode("b", back));
  EXPECT_EQ(0x04, back[0]);
}

}  // namespace
}  // namespace kel
