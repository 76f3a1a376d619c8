#include "format/layout.h"

#include <cstring>

#include "support/be.h"

namespace kel::indexed {

namespace {

constexpr int16_t A = kAbsent;

// Offsets per slot (see layout.h for the table with field names).
constexpr HeaderLayout kLayouts[3] = {
    {3,
     {0,  4,  6,  8,  10, A,   A,   16,  A,   20,  A,   24, A,  28, A, A, A, 32, 36, A,  40,
      44, A,  48, 52, 56, 60,  64,  66,  68,  70,  72,  74, 76, 78, A, A, A, A,  A,  12, A,
      A,  80, 96, 96, 98, 100, 101, 102, 103, 128, 160, 0,  A,  4,  5, 6, 7, 8,  9,  10, 0,
      A,  4,  8,  9,  4,  32,  11,  16,  0,   4,   6,   8,  12, 0,  4, 6, 8, 12},
     {4, 2, 2, 2, 2, 0, 0, 4, 0, 4, 0, 4, 0, 4, 0, 0, 0, 4, 4, 0, 4, 4, 0, 4, 4,  4, 4,
      2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 4, 0, 0, 4, 0, 2, 2, 1, 1, 1, 1, 30, 0, 4,
      0, 1, 1, 1, 1, 1, 1, 2, 4, 0, 4, 1, 1, 0, 0, 0, 0, 4, 2, 2, 4, 4, 4, 2, 2,  4, 4}},
    {4,
     {0,   4,   6,  8,  10,  12,  16,  18,  22,  24, 28,  30,  34,  36,  40,  A,   A,
      42,  46,  50, 52, 56,  A,   60,  64,  68,  72, 76,  78,  80,  82,  84,  86,  88,
      90,  92,  96, 98, 100, 102, 106, 110, 114, A,  116, 116, 118, 120, 121, 122, 123,
      128, 160, 0,  4,  6,   7,   8,   9,   10,  11, 12,  0,   4,   6,   10,  11,  3,
      59,  5,   8,  0,  4,   6,   8,   12,  0,   4,  6,   8,   12},
     {4, 2, 2, 2, 2, 4, 2, 4, 2, 4, 2, 4, 2, 4, 2, 0, 0, 4, 4, 2, 4, 4, 0, 4, 4,  4, 4,
      2, 2, 2, 2, 2, 2, 2, 2, 4, 2, 2, 2, 4, 4, 4, 2, 0, 0, 2, 2, 1, 1, 1, 1, 30, 0, 4,
      2, 1, 1, 1, 1, 1, 1, 2, 4, 2, 4, 1, 1, 0, 0, 0, 0, 4, 2, 2, 4, 4, 4, 2, 2,  4, 4}},
    {5,
     {0,   4,   6,   8,   12,  16,  20,  22,  26,  28,  32,  34,  38,  40,  44,  46,  50,
      52,  56,  60,  62,  66,  70,  74,  78,  82,  86,  92,  94,  96,  100, 104, 106, 108,
      110, 112, 116, 118, 120, 122, 126, 130, 134, 136, 149, 149, 153, 157, 158, 159, 160,
      162, 194, 0,   4,   6,   7,   8,   9,   10,  11,  12,  0,   4,   6,   10,  11,  6,
      106, 3,   4,   0,   4,   6,   8,   12,  0,   4,   6,   8,   12},
     {4, 2, 2, 4, 4, 4, 2, 4, 2, 4, 2, 4, 2, 4, 2, 4, 2, 4, 4, 2, 4, 4, 4, 4, 4,  4, 6,
      2, 2, 4, 4, 2, 2, 2, 2, 4, 2, 2, 2, 4, 4, 4, 2, 4, 0, 4, 4, 1, 1, 1, 1, 30, 0, 4,
      2, 1, 1, 1, 1, 1, 1, 4, 4, 2, 4, 1, 1, 0, 0, 0, 0, 4, 2, 2, 4, 4, 4, 2, 2,  4, 4}},
};

// Version 2: the offsets of its 144-byte structure and of its key
// descriptions (the v2 column of layout.h), the widths of version 3, in
// the machine's byte order.
constexpr HeaderLayout kVersion2 = {
    2,
    {0,  4, 6,   8,  10, A,  A,  40, A,  44,  A,   48, A,  52, A, A, A, 68, 56, A,  20,
     24, A, 60,  64, 72, 32, 76, 78, 28, 30,  80,  82, 84, 86, A, A, A, A,  A,  36, A,
     A,  A, 144, 12, 14, 16, 17, 18, 19, 245, 288, 0,  A,  4,  5, 6, 7, 8,  9,  10, 0,
     A,  4, 8,   9,  3,  12, 15, 16, A,  A,   A,   A,  A,  A,  A, A, A, A},
    {4, 2, 2, 2, 2, 0, 0, 4, 0, 4, 0, 4, 0, 4, 0, 0, 0, 4, 4, 0, 4, 4, 0, 4, 4,  4, 4,
     2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 4, 0, 0, 4, 0, 2, 2, 1, 1, 1, 1, 30, 0, 4,
     0, 1, 1, 1, 1, 1, 1, 2, 4, 0, 4, 1, 1, 0, 0, 0, 0, 4, 2, 2, 4, 4, 4, 2, 2,  4, 4},
    true};

}  // namespace

const HeaderLayout *header_layout(int version) {
  if (version == 2) return &kVersion2;
  if (version < 3 || version > 5) return nullptr;
  return &kLayouts[version - 3];
}

uint64_t load_native(const uint8_t *p, int width) {
  switch (width) {
    case 1:
      return p[0];
    case 2: {
      uint16_t v;
      memcpy(&v, p, sizeof v);
      return v;
    }
    case 4: {
      uint32_t v;
      memcpy(&v, p, sizeof v);
      return v;
    }
    default:
      return 0;
  }
}

void store_native(uint8_t *p, int width, uint64_t value) {
  switch (width) {
    case 1:
      p[0] = static_cast<uint8_t>(value);
      break;
    case 2: {
      uint16_t v = static_cast<uint16_t>(value);
      memcpy(p, &v, sizeof v);
      break;
    }
    case 4: {
      uint32_t v = static_cast<uint32_t>(value);
      memcpy(p, &v, sizeof v);
      break;
    }
    default:
      break;
  }
}

uint8_t get_slot_low_byte(const uint8_t *header, const HeaderLayout &l, Slot s) {
  if (!has_slot(l, s)) return 0;
  if (l.native) return static_cast<uint8_t>(load_native(header + l.offset[s], 2));
  return header[l.offset[s] + 1];
}

int header_blocks_for_keys(const HeaderLayout &l, int keys) {
  int first = l.offset[kKeyDescsFirstBlock];
  int per_block = l.offset[kKeyDescsPerBlock];
  if (keys <= first) return 1;
  return 1 + (keys - first + per_block - 1) / per_block;
}

int32_t key_description_offset(const HeaderLayout &l, int key) {
  int first = l.offset[kKeyDescsFirstBlock];
  int size = l.offset[kKeyDescSize];
  if (key < first) return l.offset[kFirstKeyDesc] + key * size;
  int per_block = l.offset[kKeyDescsPerBlock];
  int rest = key - first;
  return kHeaderBlock * (1 + rest / per_block) + (rest % per_block) * size;
}

}  // namespace kel::indexed
