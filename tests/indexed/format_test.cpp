// The format sub-layer: every named header field where the format puts it,
// written out independently of the implementation's positional tables;
// key descriptions that never cross a block; make's parameter texts with
// their defaults, caps and refusals; texts that travel in archives and
// make the same file again; keys built through the collating table.
#include <gtest/gtest.h>

#include <random>

#include "indexed/format/layout.h"
#include "indexed/format/params.h"
#include "kelfs/errors.h"

namespace kel::indexed {
namespace {

constexpr int16_t A = kAbsent;

// Slot: offsets in versions 3, 4, 5, then widths.
const std::tuple<Slot, int16_t, int16_t, int16_t, int8_t, int8_t, int8_t> kRows[] = {
    {kMagic, 0, 0, 0, 4, 4, 4},
    {kVersion, 4, 4, 4, 2, 2, 2},
    {kNodeBlocks, 6, 6, 6, 2, 2, 2},
    {kPreallocation, 8, 8, 8, 2, 2, 4},
    {kExtension, 10, 10, 12, 2, 2, 4},
    {kDataSeg0Size, A, 12, 16, 0, 4, 4},
    {kHighestDataSeg, A, 16, 20, 0, 2, 2},
    {kFirstDataOffset, 16, 18, 22, 4, 4, 4},
    {kFirstDataSeg, A, 22, 26, 0, 2, 2},
    {kEndOfDataOffset, 20, 24, 28, 4, 4, 4},
    {kEndOfDataSeg, A, 28, 32, 0, 2, 2},
    {kFirstRecordOffset, 24, 30, 34, 4, 4, 4},
    {kFirstRecordSeg, A, 34, 38, 0, 2, 2},
    {kDeletedHeadOffset, 28, 36, 40, 4, 4, 4},
    {kDeletedHeadSeg, A, 40, 44, 0, 2, 2},
    {kSetAsideHeadOffset, A, A, 46, 0, 0, 4},
    {kSetAsideHeadSeg, A, A, 50, 0, 0, 2},
    {kKeyDescVersion, 32, 42, 52, 4, 4, 4},
    {kFreeNodeOffset, 36, 46, 56, 4, 4, 4},
    {kFreeNodeSeg, A, 50, 60, 0, 2, 2},
    {kRecordCount, 40, 52, 62, 4, 4, 4},
    {kDeletedCount, 44, 56, 66, 4, 4, 4},
    {kSetAsideCount, A, A, 70, 0, 0, 4},
    {kSequenceCounter, 48, 60, 74, 4, 4, 4},
    {kHeaderVersion, 52, 64, 78, 4, 4, 4},
    {kTranslationBlock, 56, 68, 82, 4, 4, 4},
    {kIndexBytesInUse, 60, 72, 86, 4, 4, 6},
    {kFailedReuses, 64, 76, 92, 2, 2, 2},
    {kUpdateOpeners, 66, 78, 94, 2, 2, 2},
    {kNodesInUse, 68, 80, 96, 2, 2, 4},
    {kFreeNodes, 70, 82, 100, 2, 2, 4},
    {kEntryFormat, 72, 84, 104, 2, 2, 2},
    {kDuplicateKeys, 74, 86, 106, 2, 2, 2},
    {kBrokenCode, 76, 88, 108, 2, 2, 2},
    {kUpdateOpenFlag, 78, 90, 110, 2, 2, 2},
    {kNodeBytesOrHeaderArea, A, 92, 112, 0, 4, 4},
    {kCurrentDataSeg, A, 96, 116, 0, 2, 2},
    {kCurrentIndexSeg, A, 98, 118, 0, 2, 2},
    {kReserved38, A, 100, 120, 0, 2, 2},
    {kSegSizeLimit, A, 102, 122, 0, 4, 4},
    {kCurrentDataSegSize, 12, 106, 126, 4, 4, 4},
    {kIndexSeg0Size, A, 110, 130, 0, 4, 4},
    {kHighestIndexSeg, A, 114, 134, 0, 2, 2},
    {kSlot43, 80, A, 136, 4, 0, 4},
    {kMaxRecordSize, 96, 116, 149, 2, 2, 4},
    {kMinRecordSize, 98, 118, 153, 2, 2, 4},
    {kKeyCount, 100, 120, 157, 1, 1, 1},
    {kCompressFactor, 101, 121, 158, 1, 1, 1},
    {kScrambleFlag, 102, 122, 159, 1, 1, 1},
    {kMaxKeyLength, 103, 123, 160, 1, 1, 1},
    {kComment, 128, 128, 162, 30, 30, 30},
    {kKdRootOffset, 0, 0, 0, 4, 4, 4},
    {kKdRootSeg, A, 4, 4, 0, 2, 2},
    {kKdHeight, 4, 6, 6, 1, 1, 1},
    {kKdSegments, 5, 7, 7, 1, 1, 1},
    {kKdDuplicates, 6, 8, 8, 1, 1, 1},
    {kKdKeyLength, 7, 9, 9, 1, 1, 1},
    {kKdSeg0Size, 9, 11, 11, 1, 1, 1},
    {kKdSeg0Offset, 10, 12, 12, 2, 2, 4},
    {kIndexSegBytes, 8, 8, 8, 4, 4, 4},
    {kDataSegNumber, 6, 6, 6, 2, 2, 2},
};

TEST(HeaderLayout, EveryNamedFieldSitsWhereTheFormatPutsIt) {
  for (const auto &[slot, v3, v4, v5, w3, w4, w5] : kRows) {
    const int16_t offsets[3] = {v3, v4, v5};
    const int8_t widths[3] = {w3, w4, w5};
    for (int v = 3; v <= 5; ++v) {
      EXPECT_EQ(offsets[v - 3], header_layout(v)->offset[slot]) << "slot " << slot << " v" << v;
      if (offsets[v - 3] != A) {
        EXPECT_EQ(widths[v - 3], header_layout(v)->width[slot]) << "slot " << slot << " v" << v;
      }
    }
  }
  EXPECT_EQ(nullptr, header_layout(6));
  // A slot the version lacks reads 0 and writes nothing.
  uint8_t h[512];
  memset(h, 0x55, sizeof h);
  set_slot(h, *header_layout(3), kSetAsideHeadOffset, 77);
  EXPECT_EQ(0u, get_slot(h, *header_layout(3), kSetAsideCount));
  EXPECT_EQ(std::vector<uint8_t>(512, 0x55), std::vector<uint8_t>(h, h + 512));
}

// Version 5: three descriptions in the first block, four in each further
// one; in every version none crosses a block and the widest key's last
// segment fields fit the description.
TEST(HeaderLayout, KeyDescriptionsNeverCrossABlockBoundary) {
  const int offsets[] = {194, 300, 406, 512, 618, 724, 830, 1024};
  const int blocks[] = {1, 1, 1, 2, 2, 2, 2, 3};
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(offsets[k], key_description_offset(*header_layout(5), k)) << k;
    EXPECT_EQ(blocks[k], header_blocks_for_keys(*header_layout(5), k + 1)) << k;
  }
  for (int v = 3; v <= 5; ++v) {
    const HeaderLayout &l = *header_layout(v);
    int size = l.offset[kKeyDescSize];
    for (int k = 0; k < 120; ++k) {
      int32_t at = key_description_offset(l, k);
      EXPECT_EQ(at / 512, (at + size - 1) / 512) << "key " << k << " v" << v;
      EXPECT_LT((at + size - 1) / 512, header_blocks_for_keys(l, k + 1));
    }
    int last = l.offset[kKdSeg0Offset] + ((v == 3 ? 6 : 16) - 1) * l.offset[kKdSegDistance];
    EXPECT_LE(last + l.width[kKdSeg0Offset], size) << "v" << v;
  }
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

// The texts that travel in archives must make the same file again.
TEST(MakeParams, KeyAndRecordTextsRoundTripThroughMake) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 500; ++trial) {
    uint32_t max_record = 1 + rng() % 5000, min_record = 1 + rng() % max_record;
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
