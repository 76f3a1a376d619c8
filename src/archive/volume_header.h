// The volume header: the first media block of every volume (after the bytes
// of an -oh header file), formed by "KEL!%02d%02d%05d%05d%04d%s", a zero
// byte, and zero bytes up to the media block size.
//
//   offset  width  content
//   0       4      magic "KEL!"
//   4       2      format version (6; 5 for old-style archives), decimal
//   6       2      volume number from 1 (written modulo 100, see below)
//   8       5      media size in media blocks, 0 when unlimited
//   13      5      record size in bytes
//   18      4      media block size in bytes (512 or 1024; blank or 0
//                  in the oldest archives, meaning 512)
//   22      25     creation time as ctime text, newline included
//   47      1      zero byte
//   48      rest   zero bytes up to the media block size
//
// On byte-swapped media (a tape written on a machine of the other byte
// order) the header reads correctly only after its first 46 bytes are
// swapped pairwise; every later record of such media is swapped too.
//
// The volume field has two digits. Volume 100 and later are written modulo
// 100 (so the field keeps its width and the fields after it stay in place),
// and the reader compares volume numbers modulo 100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kel::archive {

constexpr char kVolumeMagic[] = "KEL!";
constexpr size_t kVolumeMagicWidth = 4;
constexpr size_t kVolumeFieldsOffset = 4;
constexpr size_t kVolumeSwapWidth = 46;
constexpr size_t kVolumeCreatedWidth = 25;
constexpr int32_t kVolumeNumberModulus = 100;
constexpr int32_t kMaxMediaSize = 99999;

struct VolumeHeader {
  int32_t format_version = 0;
  int32_t volume = 0;
  int32_t media_size = 0;
  int32_t record_size = 0;
  int32_t media_block = 0;  // 0 when the field is missing
  char created[64] = {};    // ctime text without its newline
};

// Clears `block` (media_block bytes) and writes the header into it.
void format_volume_header(uint8_t *block, int32_t media_block, const VolumeHeader &header,
                          time_t now);

bool volume_magic_ok(const uint8_t *block);
// Swaps bytes 0 and 1, 2 and 3, ... of `count` bytes (count even).
void swap_pairs(uint8_t *bytes, size_t count);

// Reads the fields behind the magic; `block` must be zero-terminated. False
// when the numbers are missing (only the media block field may be).
bool parse_volume_header(const uint8_t *block, VolumeHeader *out);

}  // namespace kel::archive
