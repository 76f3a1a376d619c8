#include "indexed/format/params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "kelfs/errors.h"

namespace kel::indexed {
namespace {

bool make(int version, const char *physical, const char *record, const char *keys, MakeParams *p) {
  *fs_error_code() = 0;
  return parse_make_params(version, "comment", physical, record, keys, p);
}

TEST(MakeParams, DefaultsAndZerosMeanOne) {
  MakeParams p;
  ASSERT_TRUE(make(5, "0,0,0,0,0", "100,0,1", "1,0,8,0", &p));
  EXPECT_EQ(1u, p.node_blocks);
  EXPECT_EQ(1u, p.preallocation);
  EXPECT_EQ(1u, p.extension);
  EXPECT_EQ(0u, p.compress_factor);
  EXPECT_EQ(0u, p.scramble);
  EXPECT_EQ(100u, p.min_record) << "minimum 0 means the maximum";
  // Counts are capped, not refused.
  ASSERT_TRUE(make(4, "1,70000,500,0,0", "100,50,1,9", "1,0,8,0", &p));
  EXPECT_EQ(65535u, p.preallocation);
  EXPECT_EQ(99u, p.extension);
  EXPECT_EQ(9, p.fourth);
  ASSERT_TRUE(make(5, "1,9999999,9999999,0,0", "100,50,1", "1,0,8,0", &p));
  EXPECT_EQ(2097152u, p.preallocation);
  EXPECT_EQ(2097152u, p.extension);
}

TEST(MakeParams, LimitsAreRefusedWithTheirCodes) {
  MakeParams p;
  struct Case {
    int version;
    const char *physical, *record, *keys;
    int code;
  } cases[] = {
      {5, "17,1,1,0,0", "100,0,1", "1,0,8,0", E_PARAM},   // node size
      {4, "3,1,1,0,0", "100,0,1", "1,0,8,0", E_PARAM},    // node size before v5
      {5, "1,1,1,101,0", "100,0,1", "1,0,8,0", E_PARAM},  // compression factor
      {5, "1,1,1,0,2", "100,0,1", "1,0,8,0", E_PARAM},    // scrambling flag
      {5, nullptr, "100,0", "1,0,8,0", E_PARAM},          // too few record values
      {5, nullptr, "100,0,1,2,3", "1,0,8,0", E_PARAM},    // too many
      {4, nullptr, "32768,0,1", "1,0,8,0", E_PARAM},      // record size before v5
      {5, nullptr, "67108865,0,1", "1,0,8,0", E_PARAM},   // record size v5
      {5, nullptr, "100,0,121", "1,0,8,0", E_PARAM},      // keys
      {5, nullptr, "100,0,0", "", E_PARAM},
      {5, nullptr, "100,50,1", "1,0,8,45", E_PARAM},  // ends beyond the minimum
      {5, nullptr, "100,0,1", "1,2,8,0", E_PARAM},    // duplicates flag
      {5, nullptr, "100,0,1",
       "17,0,1,0,1,1,1,2,1,3,1,4,1,5,1,6,1,7,1,8,1,9,1,10,1,11,1,12,1,13,1,14,1,15,1,16",
       E_PARAM},  // segments
      {3, nullptr, "100,0,1", "7,0,1,0,1,1,1,2,1,3,1,4,1,5,1,6", E_PARAM},
      {5, nullptr, "600,0,1", "1,0,251,0", E_PARAM},         // segment size
      {5, nullptr, "600,0,1", "2,0,200,0,51,200", E_PARAM},  // key length
      {5, nullptr, "100,0,2", "1,0,8,0", E_PARAM},           // a key missing
      {5, nullptr, "100,0,1", "1,0,8,0,9", E_PARAM},         // trailing garbage
      {5, nullptr, "100,0,1", "1,0,8,x", E_PARAM},
      {2, nullptr, "100,0,16", "", E_PARAM},
      {2, nullptr, "100,0,1", "2,0,4,0,4,4", E_UNSUPPORTED},
      {2, nullptr, "200,0,1", "1,0,126,0", E_UNSUPPORTED},
  };
  for (const Case &c : cases) {
    EXPECT_FALSE(make(c.version, c.physical, c.record, c.keys, &p)) << c.record << " / " << c.keys;
    EXPECT_EQ(c.code, *fs_error_code()) << c.record << " / " << c.keys;
  }
  std::string sixteen_keys;
  for (int k = 0; k < 16; ++k)
    sixteen_keys += std::string(k ? "," : "") + "1,0,1," + std::to_string(k);
  EXPECT_FALSE(make(2, nullptr, "100,0,16", sixteen_keys.c_str(), &p));
  EXPECT_EQ(E_UNSUPPORTED, *fs_error_code());
  EXPECT_TRUE(make(5, nullptr, "100,0,16", sixteen_keys.c_str(), &p));
}

TEST(MakeParams, LongKeysForceTwoBlockNodes) {
  MakeParams p;
  ASSERT_TRUE(make(5, "1,1,1,0,0", "300,0,1", "1,0,126,0", &p));
  EXPECT_EQ(2u, p.node_blocks);
  ASSERT_TRUE(make(5, "1,1,1,0,0", "300,0,1", "1,0,125,0", &p));
  EXPECT_EQ(1u, p.node_blocks);
}

// The texts that travel in archives must make the same file again.
TEST(InfoTexts, KeyAndRecordTextsRoundTripThroughMake) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 500; ++trial) {
    uint32_t max_record = 1 + rng() % 5000;
    uint32_t min_record = 1 + rng() % max_record;
    int keys = 1 + static_cast<int>(rng() % 12);
    std::string key_params;
    for (int k = 0; k < keys; ++k) {
      KeyDesc d{};
      d.segments = static_cast<uint8_t>(1 + rng() % 4);
      d.duplicates = k == 0 ? 0 : rng() % 2;
      for (int s = 0; s < d.segments; ++s) {
        d.segment_size[s] = static_cast<uint8_t>(1 + rng() % std::min<uint32_t>(60, min_record));
        d.segment_offset[s] = rng() % (min_record - d.segment_size[s] + 1);
      }
      key_params += std::string(k ? "," : "") + key_text(d, 3).text;
    }
    std::string record = record_params_text(max_record, min_record, keys, 3).text;
    std::string physical =
        physical_params_text(1 + rng() % 16, 1 + rng() % 1000, rng() % 101, rng() % 2, 3).text;
    MakeParams p;
    ASSERT_TRUE(make(5, physical.c_str(), record.c_str(), key_params.c_str(), &p))
        << record << " " << key_params << " code " << *fs_error_code();
    std::string again;
    for (int k = 0; k < keys; ++k) again += std::string(k ? "," : "") + key_text(p.keys[k], 3).text;
    EXPECT_EQ(key_params, again);
    EXPECT_EQ(record, record_params_text(p.max_record, p.min_record, p.key_count, 3).text);
  }
}

TEST(Keys, BuiltThroughTheTranslationTableAndPutBack) {
  KeyDesc k{};
  k.segments = 2;
  k.segment_size[0] = 3;
  k.segment_offset[0] = 5;
  k.segment_size[1] = 2;
  k.segment_offset[1] = 0;
  const uint8_t record[] = "ab---cDe--";
  uint8_t key[8];
  EXPECT_EQ(5, build_key(k, record, nullptr, key));
  EXPECT_EQ(0, memcmp(key, "cDeab", 5));
  uint8_t upper[256], reverse[256];
  for (int i = 0; i < 256; ++i) upper[i] = static_cast<uint8_t>(toupper(i));
  build_key(k, record, upper, key);
  EXPECT_EQ(0, memcmp(key, "CDEAB", 5));
  build_reverse_table(upper, reverse);
  EXPECT_EQ('a', reverse['A']) << "the later byte that maps to a value wins";
  EXPECT_EQ('z', reverse['Z']);
  EXPECT_EQ(0, reverse['z']) << "no byte maps to a lower-case letter";
  uint8_t out[11] = "..........";
  key_to_record_bytes(k, key, reverse, out);
  EXPECT_EQ(0, memcmp(out, "ab...cde..", 10));
}

}  // namespace
}  // namespace kel::indexed
