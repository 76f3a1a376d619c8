#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "config/config.h"

namespace kel {
namespace {

// An independent encoder: the bits of the input, six at a time, through
// the configuration's alphabet.
std::string reference_encode(const std::string &bytes) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789[]";
  std::string bits, out;
  for (char b : bytes)
    for (int i = 7; i >= 0; --i) bits += ((b >> i) & 1) ? '1' : '0';
  bits.append((24 - bits.size() % 24) % 24, '0');
  for (size_t i = 0; i < bits.size(); i += 6)
    out += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
  return out;
}

std::string decoded(const std::string &text) {
  std::string out(3 * ((text.size() + 3) / 4) + 1, '\x55');
  out.resize(
      static_cast<size_t>(base64_decode(text.c_str(), reinterpret_cast<uint8_t *>(out.data()))));
  return out;
}

// Every group of four characters decodes to three bytes, the padding 0;
// characters outside the alphabet count as 0 and a short last group is
// completed with zero bits.
TEST(ConfigBase64, RoundTripsMatchTheReference) {
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(round == 0 ? 0 : rng() % 40, '\0');
    for (char &b : bytes) b = static_cast<char>(rng());
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    base64_encode(reinterpret_cast<const uint8_t *>(bytes.data()),
                  static_cast<int32_t>(bytes.size()), text.data());
    text.resize(strlen(text.c_str()));
    ASSERT_EQ(reference_encode(bytes), text);
    ASSERT_EQ(bytes + std::string((3 - bytes.size() % 3) % 3, '\0'), decoded(text));
  }
  EXPECT_EQ(std::string("\xFB\xF0\x00", 3), decoded("[]!*"));
  EXPECT_EQ(std::string("\x04\x00\x00", 3), decoded("b"));
}

}  // namespace
}  // namespace kel
