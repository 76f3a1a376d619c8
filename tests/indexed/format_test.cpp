// The format sub-layer: every named header field's offset and width in
// every version (a golden file); make's parameter texts with their
// defaults, caps and refusals; keys built through the collating table.
#include <gtest/gtest.h>

#include <tuple>

#include "common/golden.h"
#include "indexed/format/layout.h"
#include "indexed/format/params.h"
#include "kelfs/errors.h"

namespace kel::indexed {
namespace {

// Every slot's offset and width in versions 2 to 5, as a golden file
// (indexed/header_layout.txt, first checked against a table of the
// fields written out by hand); "-" where the version has no such field.
TEST(HeaderLayout, EveryNamedFieldSitsWhereTheFormatPutsIt) {
  std::string text;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    text += "slot " + std::to_string(slot) + ":";
    for (int v = 2; v <= 5; ++v) {
      const HeaderLayout &l = *header_layout(v);
      text += l.offset[slot] == kAbsent
                  ? " -"
                  : " " + std::to_string(l.offset[slot]) + "/" + std::to_string(l.width[slot]);
    }
    text += "\n";
  }
  EXPECT_TRUE(test::matches_golden("indexed/header_layout.txt", text));
  EXPECT_EQ(nullptr, header_layout(6));
  // A slot the version lacks reads 0 and writes nothing.
  uint8_t h[512];
  memset(h, 0x55, sizeof h);
  set_slot(h, *header_layout(3), kSetAsideHeadOffset, 77);
  EXPECT_EQ(0u, get_slot(h, *header_layout(3), kSetAsideCount));
  EXPECT_EQ(std::vector<uint8_t>(512, 0x55), std::vector<uint8_t>(h, h + 512));
}

bool make(int version, const char *physical, const char *record, const char *keys, MakeParams *p) {
  *fs_error_code() = 0;
  return parse_make_params(version, "comment", physical, record, keys, p);
}

TEST(MakeParams, DefaultsCapsAndLongKeys) {
  MakeParams p;
  ASSERT_TRUE(make(5, "0,0,0,0,0", "100,0,1", "1,0,8,0", &p));
  EXPECT_EQ(std::tuple(1u, 1u, 1u, 0u, 0u, 100u),
            std::tuple(p.node_blocks, p.preallocation, p.extension, p.compress_factor, p.scramble,
                       p.min_record))
      << "zeros mean one; minimum 0 means the maximum";
  ASSERT_TRUE(make(4, "1,70000,500,0,0", "100,50,1,9", "1,0,8,0", &p));
  EXPECT_EQ(std::tuple(65535u, 99u, 9), std::tuple(p.preallocation, p.extension, p.fourth));
  ASSERT_TRUE(make(5, "1,9999999,9999999,0,0", "100,50,1", "1,0,8,0", &p));
  EXPECT_EQ(std::tuple(2097152u, 2097152u), std::tuple(p.preallocation, p.extension));
  ASSERT_TRUE(make(5, "1,1,1,0,0", "300,0,1", "1,0,126,0", &p));
  EXPECT_EQ(2u, p.node_blocks) << "a key of 126 bytes needs nodes of two blocks";
  ASSERT_TRUE(make(5, "1,1,1,0,0", "300,0,1", "1,0,125,0", &p));
  EXPECT_EQ(1u, p.node_blocks);
}

TEST(MakeParams, LimitsAreRefusedWithTheirCodes) {
  std::string sixteen;
  for (int k = 0; k < 16; ++k) sixteen += std::string(k ? "," : "") + "1,0,1," + std::to_string(k);
  const std::tuple<int, const char *, const char *, const char *, int> cases[] = {
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
      {2, nullptr, "100,0,16", sixteen.c_str(), E_UNSUPPORTED},
  };
  MakeParams p;
  for (auto [version, physical, record, keys, code] : cases) {
    EXPECT_FALSE(make(version, physical, record, keys, &p)) << record << " / " << keys;
    EXPECT_EQ(code, *fs_error_code()) << record << " / " << keys;
  }
  EXPECT_TRUE(make(5, nullptr, "100,0,16", sixteen.c_str(), &p));
}

// A key in two segments built through a collating table and put back
// through the reverse table (the later byte that maps to a value wins; no
// byte maps to a lower-case letter).
TEST(Keys, BuiltThroughTheTranslationTableAndPutBack) {
  KeyDesc k{};
  k.segments = 2;
  k.segment_size[0] = 3;
  k.segment_offset[0] = 5;
  k.segment_size[1] = 2;
  const uint8_t record[] = "ab---cDe--";
  uint8_t key[8], upper[256], reverse[256];
  EXPECT_EQ(5, build_key(k, record, nullptr, key));
  EXPECT_EQ(0, memcmp(key, "cDeab", 5));
  for (int i = 0; i < 256; ++i) upper[i] = static_cast<uint8_t>(toupper(i));
  build_key(k, record, upper, key);
  EXPECT_EQ(0, memcmp(key, "CDEAB", 5));
  build_reverse_table(upper, reverse);
  EXPECT_EQ(std::tuple('a', 'z', 0), std::tuple(reverse['A'], reverse['Z'], reverse['z']));
  uint8_t out[11] = "..........";
  key_to_record_bytes(k, key, reverse, out);
  EXPECT_EQ(0, memcmp(out, "ab...cde..", 10));
}

}  // namespace
}  // namespace kel::indexed
