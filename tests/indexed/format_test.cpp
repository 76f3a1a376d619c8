// The format sub-layer: every named header field's offset and width in
// every version (a golden file); make's parameter texts with their
// defaults and caps (their refusals: file_test's call rows); keys built
// through the collating table.
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
