// Sub-layer format/ (the bottom of the engine): the encodings of the file,
// with no open file and no I/O. It owns the physical header's layout
// (layout.h), the parameter texts and key descriptions (params.h), the
// nodes and their prefix-compressed entries (node_format.h) and segment
// addresses (seg_addr.h). It calls support only.
//
// The physical header of an indexed (Dorvex) file and the table through
// which every field of it is reached.
//
// The header fills the first 512-byte blocks of data segment 0. Its fields
// move and widen between format versions 2, 3, 4 and 5, so code never names
// an offset: it names a slot of HeaderLayout, which gives the field's
// offset (kAbsent when the version has no such field) and width in each
// version. Versions 3 to 5 are big-endian.
//
// Version 2 keeps data and index in one file, as version 3, and its nodes
// and data nodes are those of version 3 (big-endian). Its header, key
// descriptions and record headers (records.h) are in the byte order of the
// machine that wrote it (`native` in its layout). The first 144 bytes (slot
// 44) are one fixed structure, read and written as one piece, starting with
// the 32-bit 0x10121416 and the 16-bit version 2 (on this little-endian
// machine the bytes 16 14 12 10 02 00); the comment is at offset 245. Only
// those are common to every program that writes version 2 files. The order
// of the other fields (record sizes, counts, chain heads, then the key
// descriptions from offset 288, all in block 0 since a version 2 file has
// at most 15 keys) is this engine's own, the v2 column below: a version 2
// file written by another program may not be readable here. Bytes 88-143
// of the structure are zero. Widths are those of version 3.
//
// slot  field                                            v2    v3    v4    v5   width
//  0    magic (v2: 0x10121416 native; v3: 10 12 14 16;    0      0     0     0   4
//       v4, v5: 10 12 14 19)
//  1    format version                                    4      4     4     4   2
//  2    node size in 512-byte blocks                      6      6     6     6   2
//  3    preallocation count                               8      8     8     8   2 (v5: 4)
//  4    extension count                                  10     10    10    12   2 (v5: 4)
//  5    data segment 0 size in bytes                      -      -    12    16   4
//  6    highest data segment number                       -      -    16    20   2
//  7    first data position: offset (header area end)    40     16    18    22   4
//  8    first data position: data segment                 -      -    22    26   2
//  9    end of data (next append position): offset       44     20    24    28   4
// 10    end of data: data segment                         -      -    28    32   2
// 11    position of the first record: offset             48     24    30    34   4
// 12    position of the first record: data segment        -      -    34    38   2
// 13    head of the deleted-record chain: offset         52     28    36    40   4
// 14    head of the deleted-record chain: segment         -      -    40    44   2
// 15    head of the set-aside chain: offset               -      -     -    46   4
// 16    head of the set-aside chain: segment              -      -     -    50   2
// 17    key description version                          68     32    42    52   4
// 18    head of the free-node list: offset               56     36    46    56   4
// 19    head of the free-node list: index segment         -      -    50    60   2
// 20    number of records                                20     40    52    62   4
// 21    records in the deleted-record chain              24     44    56    66   4
// 22    records in the set-aside chain                    -      -     -    70   4
// 23    record sequence counter (0xFFFFFFFF: broken)     60     48    60    74   4
// 24    header version (update counter)                  64     52    64    78   4
// 25    offset of the key translation table block        72     56    68    82   4
// 26    index bytes in use                               32     60    72    86   4 (v5: 6)
// 27    consecutive failed reuses of the deleted head    76     64    76    92   2
// 28    number of openers for update                     78     66    78    94   2
// 29    number of nodes in use                           28     68    80    96   2 (v5: 4)
// 30    number of free nodes                             30     70    82   100   2 (v5: 4)
// 31    node entry format byte (low byte)                80     72    84   104   2
// 32    number of keys allowing duplicates (low byte)    82     74    86   106   2
// 33    broken code (low byte)                           84     76    88   108   2
// 34    update-open flag (low byte)                      86     78    90   110   2
// 35    v5: node size in bytes; v4: header area bytes     -      -    92   112   4
// 36    current data segment                              -      -    96   116   2
// 37    current index segment                             -      -    98   118   2
// 38    reserved                                          -      -   100   120   2
// 39    segment size limit                                -      -   102   122   4
// 40    size of the file (v2, v3) / current data seg.    36     12   106   126   4
// 41    index segment 0 size in bytes                     -      -   110   130   4
// 42    highest index segment number                      -      -   114   134   2
// 43    carried, role unsettled (make writes zero)        -     80     -   136   4
// 44    number of header bytes read as one piece        144     96   116   149   (a count)
// 45    maximum record size                              12     96   116   149   2 (v5: 4)
// 46    minimum record size                              14     98   118   153   2 (v5: 4)
// 47    number of keys                                   16    100   120   157   1
// 48    record compression factor                        17    101   121   158   1
// 49    record scrambling flag                           18    102   122   159   1
// 50    maximum key length                               19    103   123   160   1
// 51    comment text                                    245    128   128   162   30
// 52    first key description                           288    160   160   194   -
//
// Slots 53-61 and 67 are offsets inside one key description, 62-66 inside a
// node entry of a key that allows duplicates, 68-70 the size and packing of
// key descriptions, 71-75 and 76-80 the small header at the start of every
// further data segment and every index segment:
//
// slot  field                                            v2    v3    v4    v5   width
// 53    root node offset                                  0      0     0     0   4
// 54    root node index segment                           -      -     4     4   2
// 55    tree height                                       4      4     6     6   1
// 56    number of segments                                5      5     7     7   1
// 57    duplicates allowed (0 or 1)                       6      6     8     8   1
// 58    key length in bytes                               7      7     9     9   1
// 59    (zero)                                            8      8    10    10   1
// 60    size of segment 0                                 9      9    11    11   1
// 61    record offset of segment 0                       10     10    12    12   2 (v5: 4)
// 62    entry: pointer offset                             0      0     0     0   4
// 63    entry: pointer segment                            -      -     4     4   2
// 64    entry: duplicate sequence number                  4      4     6     6   4
// 65    entry: L (1 + suffix length)                      8      8    10    10   1
// 66    entry: P (prefix count)                           9      9    11    11   1
// 67    distance between two segments' fields             3      4     3     6   -
// 68    size of one key description                      12     32    59   106   -
// 69    key descriptions in the first header block       15     11     5     3   -
// 70    key descriptions in each further header block    16     16     8     4   -
// 71/76 segment header: magic 10121417 / 10121418        -      0     0     0   4
// 72/77 segment header: format version                    -      4     4     4   2
// 73/78 segment header: segment number                    -      6     6     6   2
// 74/79 segment header: bytes in use                      -      8     8     8   4
// 75/80 segment header: header version at last close      -     12    12    12   4
#pragma once

#include <cstdint>

#include "support/be.h"

namespace kel::indexed {

enum Slot : int {
  kMagic = 0,
  kVersion = 1,
  kNodeBlocks = 2,
  kPreallocation = 3,
  kExtension = 4,
  kDataSeg0Size = 5,
  kHighestDataSeg = 6,
  kFirstDataOffset = 7,
  kFirstDataSeg = 8,
  kEndOfDataOffset = 9,
  kEndOfDataSeg = 10,
  kFirstRecordOffset = 11,
  kFirstRecordSeg = 12,
  kDeletedHeadOffset = 13,
  kDeletedHeadSeg = 14,
  kSetAsideHeadOffset = 15,
  kSetAsideHeadSeg = 16,
  kKeyDescVersion = 17,
  kFreeNodeOffset = 18,
  kFreeNodeSeg = 19,
  kRecordCount = 20,
  kDeletedCount = 21,
  kSetAsideCount = 22,
  kSequenceCounter = 23,
  kHeaderVersion = 24,
  kTranslationBlock = 25,
  kIndexBytesInUse = 26,
  kFailedReuses = 27,
  kUpdateOpeners = 28,
  kNodesInUse = 29,
  kFreeNodes = 30,
  kEntryFormat = 31,
  kDuplicateKeys = 32,
  kBrokenCode = 33,
  kUpdateOpenFlag = 34,
  kNodeBytesOrHeaderArea = 35,
  kCurrentDataSeg = 36,
  kCurrentIndexSeg = 37,
  kReserved38 = 38,
  kSegSizeLimit = 39,
  kCurrentDataSegSize = 40,
  kIndexSeg0Size = 41,
  kHighestIndexSeg = 42,
  kSlot43 = 43,
  kHeaderReadBytes = 44,
  kMaxRecordSize = 45,
  kMinRecordSize = 46,
  kKeyCount = 47,
  kCompressFactor = 48,
  kScrambleFlag = 49,
  kMaxKeyLength = 50,
  kComment = 51,
  kFirstKeyDesc = 52,
  kKdRootOffset = 53,
  kKdRootSeg = 54,
  kKdHeight = 55,
  kKdSegments = 56,
  kKdDuplicates = 57,
  kKdKeyLength = 58,
  kKdZero = 59,
  kKdSeg0Size = 60,
  kKdSeg0Offset = 61,
  kEntryPointer = 62,
  kEntryPointerSeg = 63,
  kEntryDupNumber = 64,
  kEntryLength = 65,
  kEntryPrefix = 66,
  kKdSegDistance = 67,
  kKeyDescSize = 68,
  kKeyDescsFirstBlock = 69,
  kKeyDescsPerBlock = 70,
  kDataSegMagic = 71,
  kDataSegVersion = 72,
  kDataSegNumber = 73,
  kDataSegBytes = 74,
  kDataSegHeaderVersion = 75,
  kIndexSegMagic = 76,
  kIndexSegVersion = 77,
  kIndexSegNumber = 78,
  kIndexSegBytes = 79,
  kIndexSegHeaderVersion = 80,
  kSlotCount = 81,
};

constexpr int16_t kAbsent = -32768;
constexpr int kCommentSize = 30;
constexpr int kHeaderBlock = 512;

// Magic numbers of the file, of further data segments and of index segments.
constexpr uint8_t kMagicV3[4] = {0x10, 0x12, 0x14, 0x16};
constexpr uint8_t kMagicV4[4] = {0x10, 0x12, 0x14, 0x19};
constexpr uint8_t kDataSegmentMagic[4] = {0x10, 0x12, 0x14, 0x17};
constexpr uint8_t kIndexSegmentMagic[4] = {0x10, 0x12, 0x14, 0x18};
// A version 2 header starts with this magic number and the version 2 in
// the machine's byte order (on a little-endian machine 16 14 12 10 02 00).
constexpr uint32_t kMagicV2 = 0x10121416;

// Version 2 limits: one segment per key, keys of at most 125 bytes, at
// most 15 keys (their descriptions all fit block 0).
constexpr int kV2MaxKeys = 15;
constexpr int kV2MaxKeyLength = 125;

struct HeaderLayout {
  int version;
  int16_t offset[kSlotCount];  // kAbsent: the version has no such field
  int8_t width[kSlotCount];    // bytes; 0 for slots that are not fields
  bool native = false;         // integers in the machine's order (version 2)
};

// The layout of format version 2, 3, 4 or 5; null for any other version.
const HeaderLayout *header_layout(int version);

// An unsigned field of `width` bytes (1, 2 or 4) in the machine's own byte
// order, as version 2 files keep them.
uint64_t load_native(const uint8_t *p, int width);
void store_native(uint8_t *p, int width, uint64_t value);

// A field of `width` bytes in the byte order of the layout's version.
inline uint64_t load_field(const HeaderLayout &l, const uint8_t *p, int width) {
  return l.native ? load_native(p, width) : load_be(p, width);
}
inline void store_field(const HeaderLayout &l, uint8_t *p, int width, uint64_t value) {
  if (l.native)
    store_native(p, width, value);
  else
    store_be(p, width, value);
}

inline bool has_slot(const HeaderLayout &l, Slot s) {
  return l.offset[s] != kAbsent;
}

// Reads or writes an integer field of `header` through the layout. A slot
// that the version lacks reads as 0 and is not written. Inline: every
// record operation reads and writes a dozen header fields.
inline uint64_t get_slot(const uint8_t *header, const HeaderLayout &l, Slot s) {
  if (!has_slot(l, s) || l.width[s] == 0) return 0;
  return load_field(l, header + l.offset[s], l.width[s]);
}
inline void set_slot(uint8_t *header, const HeaderLayout &l, Slot s, uint64_t value) {
  if (!has_slot(l, s) || l.width[s] == 0) return;
  store_field(l, header + l.offset[s], l.width[s], value);
}

// Low byte of a 16-bit field that keeps its value in its low byte (slots
// 27, 31-34; "at offset + 1" in the big-endian versions): the same as
// get_slot for a sane file, but a damaged high byte does not change the
// meaning.
uint8_t get_slot_low_byte(const uint8_t *header, const HeaderLayout &l, Slot s);

// Number of 512-byte header blocks for `keys` key descriptions, not
// counting the key translation table block.
int header_blocks_for_keys(const HeaderLayout &l, int keys);
// Byte offset, from the start of the file, of key description `key`: the
// first block holds slot 69 of them from slot 52 on, each further block
// slot 70 of them from its start, so that none crosses a block boundary.
int32_t key_description_offset(const HeaderLayout &l, int key);

}  // namespace kel::indexed
