// The format sub-layer: every named header field's offset and width in
// every version (a golden file); make's parameter texts with their
// defaults and caps (their refusals: file_test's call rows); keys built
// through the collating table.
#include <gtest/gtest.h>

#include <tuple>

#include "common/golden.h"
#include "common/row_script.h"
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

// make's parameter texts: rows of indexed/make_params.txt.
TEST(MakeParams, DefaultsCapsAndLongKeys) {
  test::Verbs verbs = {{"make", [](const test::Words &a) {
                          MakeParams p;
                          *fs_error_code() = 0;
                          if (!parse_make_params(static_cast<int>(test::number(a.at(0))), "comment",
                                                 a.at(1).c_str(), a.at(2).c_str(), a.at(3).c_str(),
                                                 &p))
                            return std::string("refused");
                          char out[200];
                          snprintf(out, sizeof out,
                                   "nodes %u prealloc %u extension %u factor %u scramble %u "
                                   "min %u fourth %d",
                                   p.node_blocks, p.preallocation, p.extension, p.compress_factor,
                                   p.scramble, p.min_record, p.fourth);
                          return std::string(out);
                        }}};
  EXPECT_TRUE(test::run_rows("indexed/make_params.txt", verbs));
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
