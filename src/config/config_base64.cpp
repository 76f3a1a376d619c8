// Base64 in the configuration's own alphabet: 64 characters
// "a-z A-Z 0-9 [ ]" (value 0 is 'a', 26 'A', 52 '0', 62 '[', 63 ']'). Each
// group of 3 bytes becomes 4 characters, most significant 6 bits first;
// missing bytes of the last group count as 0 and there is no padding, so
// decoding yields 3 bytes for every (possibly partial) group of 4.
#include <cstring>

#include "config/config.h"

namespace {

constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789[]";

uint32_t value_of(char c) {
  const char *at = c ? strchr(kAlphabet, c) : nullptr;
  return at ? static_cast<uint32_t>(at - kAlphabet) : 0;  // foreign characters count 0
}

}  // namespace

namespace kel {

void base64_encode(const uint8_t *bytes, int32_t length, char *out) {
  for (int32_t i = 0; i < length; i += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < length) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < length) group |= bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) *out++ = kAlphabet[(group >> shift) & 63];
  }
  *out = '\0';
}

int32_t base64_decode(const char *text, uint8_t *out) {
  size_t chars = strlen(text);
  int32_t n = 0;
  for (size_t i = 0; i < chars; i += 4) {
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k)
      group = (group << 6) | (i + k < chars ? value_of(text[i + k]) : 0);
    out[n++] = static_cast<uint8_t>(group >> 16);
    out[n++] = static_cast<uint8_t>(group >> 8);
    out[n++] = static_cast<uint8_t>(group);
  }
  return n;
}

}  // namespace kel
