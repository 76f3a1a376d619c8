#include "indexed/format/layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kel::indexed {
namespace {

struct Row {
  Slot slot;
  int16_t v3, v4, v5;
  int8_t w3, w4, w5;
};

constexpr int16_t A = kAbsent;

// The header fields by name, written out independently of the positional
// tables of the implementation.
const std::vector<Row> kRows = {
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
  for (const Row &r : kRows) {
    const int16_t offsets[3] = {r.v3, r.v4, r.v5};
    const int8_t widths[3] = {r.w3, r.w4, r.w5};
    for (int v = 3; v <= 5; ++v) {
      const HeaderLayout *l = header_layout(v);
      ASSERT_NE(nullptr, l);
      EXPECT_EQ(offsets[v - 3], l->offset[r.slot]) << "slot " << r.slot << " v" << v;
      if (offsets[v - 3] != A) {
        EXPECT_EQ(widths[v - 3], l->width[r.slot]) << "slot " << r.slot;
      }
    }
  }
  EXPECT_EQ(nullptr, header_layout(6));
}

// The fields' bytes are checked in the files made (dorvex_test); here the
// slots a version lacks, and that no key description crosses a block.
TEST(HeaderLayout, ASlotTheVersionLacksReadsZeroAndWritesNothing) {
  const HeaderLayout &l3 = *header_layout(3);
  uint8_t h[512];
  memset(h, 0x55, sizeof h);
  set_slot(h, l3, kSetAsideHeadOffset, 77);
  EXPECT_EQ(0u, get_slot(h, l3, kSetAsideCount));
  for (uint8_t b : h) ASSERT_EQ(0x55, b);
}

TEST(HeaderLayout, KeyDescriptionsNeverCrossABlockBoundary) {
  // Version 5: 3 descriptions in the first block, 4 in each further one.
  const HeaderLayout &l5 = *header_layout(5);
  const int offsets[] = {194, 300, 406, 512, 618, 724, 830, 1024};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(offsets[k], key_description_offset(l5, k)) << k;
  const int blocks[] = {1, 1, 1, 2, 2, 2, 2, 3};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(blocks[k], header_blocks_for_keys(l5, k + 1)) << k;
  for (int v = 3; v <= 5; ++v) {
    const HeaderLayout &l = *header_layout(v);
    int size = l.offset[kKeyDescSize];
    for (int k = 0; k < 120; ++k) {
      int32_t at = key_description_offset(l, k);
      EXPECT_EQ(at / 512, (at + size - 1) / 512) << "key " << k << " v" << v;
      EXPECT_LT((at + size - 1) / 512, header_blocks_for_keys(l, k + 1));
    }
    // The last segment's fields of the widest key fit the description.
    int max_segments = v == 3 ? 6 : 16;
    int last = l.offset[kKdSeg0Offset] + (max_segments - 1) * l.offset[kKdSegDistance];
    EXPECT_LE(last + l.width[kKdSeg0Offset], size) << "v" << v;
  }
}

}  // namespace
}  // namespace kel::indexed
