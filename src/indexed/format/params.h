// The parameter texts of an indexed file: what make is given, what the
// information call gives back, and the in-memory key descriptions. The
// archive carries these texts unchanged and hands them back to make on
// restore, so their forms are part of the archive format.
//
//   physical parameters  "%u,%u,%u,%u,%u": node size in blocks,
//                        preallocation count, extension count, record
//                        compression factor, record scrambling flag
//                        (absent: 1,1,1,0,0; 0 counts or size mean 1)
//   record parameters    "%u,%u,%hd[,%d]": maximum and minimum record
//                        size (minimum 0 = maximum), number of keys, an
//                        optional fourth number that is kept
//   key parameters       per key "%d,%u" (segments, duplicates allowed)
//                        then per segment "%u,%u" (size, record offset),
//                        all separated by commas
//
// Texts given back by the information call at interface level 3 (levels
// 2 and below use the narrower forms noted):
//
//   code -1  "%010d,%010d,%03d"         max, min record size, keys
//            (level <= 2: "%05d,%05d,%03d", sizes capped at 32767)
//   code -2  "%02d,%07d,%07d,%03d,%1d"  node blocks, 0, extension count,
//            compression factor, scrambling flag
//            (level <= 2: "%02d,%05d,%02d,%03d,%1d", extension capped at 99)
//   key k    "%02d,%1d" then ",%03d,%010d" per segment (size, offset)
//            (level < 3: segments ",%03d,%05d", offset capped at 32767;
//             level < 2: the text begins "%1d,%1d", segments capped at 6)
#pragma once

#include <cstdint>

namespace kel::indexed {

constexpr int kMaxKeys = 120;
constexpr int kMaxKeySegments = 16;
constexpr int kKeyLengthLimit = 250;  // bytes of one key, all segments
constexpr int kMaxSegmentSize = 250;

// One key as the engine keeps it in memory (array "dorvex keys").
struct KeyDesc {
  uint32_t root_offset;
  uint16_t root_segment;
  uint8_t height;
  uint8_t segments;
  uint8_t duplicates;
  uint8_t length;
  uint8_t segment_size[kMaxKeySegments];
  uint32_t segment_offset[kMaxKeySegments];
};
static_assert(sizeof(KeyDesc) == 92);

struct MakeParams {
  int version = 5;
  uint32_t node_blocks = 1;
  uint32_t preallocation = 1;
  uint32_t extension = 1;
  uint32_t compress_factor = 0;
  uint32_t scramble = 0;
  uint32_t max_record = 0;
  uint32_t min_record = 0;
  int32_t key_count = 0;
  int32_t fourth = 0;
  char comment[31] = {};
  uint8_t max_key_length = 0;
  int32_t duplicate_keys = 0;  // keys that allow duplicates
  KeyDesc keys[kMaxKeys] = {};
};

// Parses and checks the texts of a make for format `version` (2-5). On
// failure returns false with E_PARAM, or E_UNSUPPORTED for a combination
// that version 2 cannot hold. `physical` and `comment` may be null.
bool parse_make_params(int version, const char *comment, const char *physical, const char *record,
                       const char *keys, MakeParams *out);

// The segments one key may have in a file of `version`: 16 (versions 4
// and 5), 6 (version 3), 1 (version 2).
constexpr int max_key_segments(int version) {
  return version >= 4 ? kMaxKeySegments : version == 3 ? 6 : 1;
}

// The largest record a file of `version` can hold.
constexpr int64_t max_record_limit(int version) {
  return version == 5 ? 0x4000000 : 32767;
}
// Whether a key description read from a file obeys the rules make applies:
// 1 to the version's number of segments of 1 to 250 bytes each, together
// the key's length of at most 250 bytes (version 2: 125), every segment
// inside a record of `max_record` bytes. A description that does not would
// make the engine read key bytes outside the record.
bool key_description_valid(const KeyDesc &key, int version, uint32_t max_record);

// An information text, built in place. The longest is a key's text at
// the full level: 5 bytes and 15 for each of up to 16 segments.
struct ParamText {
  char text[256];
  const char *c_str() const { return text; }
};

// The information texts.
ParamText record_params_text(uint32_t max_record, uint32_t min_record, int key_count,
                             int32_t level);
ParamText physical_params_text(uint32_t node_blocks, uint32_t extension, uint32_t compress_factor,
                               uint32_t scramble, int32_t level);
ParamText key_text(const KeyDesc &key, int32_t level);

// Builds the key value of `key` from a record: for each segment, its bytes
// at its offset, each mapped through `table` when there is one. Returns the
// key length.
int build_key(const KeyDesc &key, const uint8_t *record, const uint8_t *table, uint8_t *out);
// Puts key bytes back into their segment positions of a record, mapping
// them through `reverse` when there is one.
void key_to_record_bytes(const KeyDesc &key, const uint8_t *key_bytes, const uint8_t *reverse,
                         uint8_t *record);
// reverse[table[i]] = i for i from 0 to 255 (a later i wins).
void build_reverse_table(const uint8_t *table, uint8_t *reverse);

}  // namespace kel::indexed
