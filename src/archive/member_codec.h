// The member codec: formats and parses the texts that describe one archived
// file. It never touches a descriptor; the writer and the reader move its
// texts through the record layer.
//
// Member header: 48 characters of text, no terminator, then the name.
//
//   offset  width  written  field
//   0       8      %08lx    magic, the hexadecimal text "10121417"
//   8       6      %06o     file mode, file-type bits included (100644 ...)
//   14      5      %05d     owner user number
//   19      5      %05d     owner group number
//   24      10     %010ld   modification time, seconds since 1970 (UTC)
//   34      3      %03d     length of the name in bytes
//   37      10     %010ld   data size (plain: bytes; V: see below)
//   47      1      %c       type letter: T text, B binary, N old-style plain,
//                           V indexed
//   48      n               the name, no terminator
//
// Plain members (T, B, N) carry exactly data-size bytes. A V member of
// format version 6 carries three parameter texts ("%02d%s": record
// parameters, physical parameters, comment), the key translation table
// ("256" and 256 bytes, or "000"), the number of keys ("%03d") and each key's
// description ("%03d%s"), then the records in primary-key order, each as a
// 2-byte big-endian length and the bytes. Its data size is (maximum record
// length + 2) x number of records; the reader counts records with it.
// Versions 4 and 5 begin instead with "%02d%03d" (comment length, old key
// description length), the comment and the old key description; version 5
// records have the 2-byte length, version 4 records are exactly the maximum
// record length long and the data size is records x maximum length.
//
// The trailer is a member named "TRAILER!!!" with every other field zero and
// type N; the reader stops at that name whatever the other fields hold.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::archive {

constexpr uint32_t kMemberMagic = 0x10121417;
constexpr char kMemberMagicText[] = "10121417";
constexpr size_t kMemberHeaderSize = 48;
constexpr size_t kMagicOffset = 0, kMagicWidth = 8;
constexpr size_t kModeOffset = 8, kModeWidth = 6;
constexpr size_t kOwnerOffset = 14, kOwnerWidth = 5;
constexpr size_t kGroupOffset = 19, kGroupWidth = 5;
constexpr size_t kTimeOffset = 24, kTimeWidth = 10;
constexpr size_t kNameLengthOffset = 34, kNameLengthWidth = 3;
constexpr size_t kSizeOffset = 37, kSizeWidth = 10;
constexpr size_t kTypeOffset = 47;

// The largest values the fixed-width fields can show.
constexpr int32_t kMaxNameLength = 999;
constexpr int32_t kMaxOwner = 99999;
constexpr int64_t kMaxDataSize = 9999999999LL;
constexpr int64_t kMaxTime = 9999999999LL;

constexpr char kTypeText = 'T';
constexpr char kTypeBinary = 'B';
constexpr char kTypeOldPlain = 'N';
constexpr char kTypeIndexed = 'V';

constexpr char kTrailerName[] = "TRAILER!!!";

// First four bytes (big-endian) of files that are always archived binary.
constexpr uint32_t kBinaryMagicA = 0x10121420;
constexpr uint32_t kBinaryMagicB = 0x10121421;

struct MemberHeader {
  uint32_t mode = 0;
  int32_t owner = 0;
  int32_t group = 0;
  int64_t mtime = 0;
  int32_t name_length = 0;
  int64_t data_size = 0;
  char type = kTypeText;
};

// Formats the 48 header characters and the name into `out` (at least
// kMemberHeaderSize + strlen(name) + 1 bytes) and returns the length
// without the terminator. The name length is taken from `name`. Owner and
// group numbers above 99999 are written as 99999 and times outside
// 0..9999999999 are clamped, so that the fields keep their widths; the
// caller keeps the data size and the name within their limits.
size_t format_member_header(const MemberHeader &header, const char *name, char *out);
// The trailer member's header and name.
size_t format_trailer(char *out);

enum class HeaderCheck { kOk, kBadMagic, kBadField };
// Checks the magic and reads the name length: enough to reach the name.
HeaderCheck parse_member_start(const char *text48, int32_t *name_length);
// Reads every field. Fields must hold their numbers right-aligned (blanks
// may lead, digits fill the rest); owner, group, name length and size must
// not be negative.
HeaderCheck parse_member_header(const char *text48, MemberHeader *out);

// True when the first four bytes force the binary type letter.
bool has_binary_magic(const uint8_t *bytes, size_t count);

// Name conversion of foreign path syntax, used in both directions. A name
// that begins with "[" loses it and has each of ":", ".", "\\" and "]"
// turned into "/" ([a.b]f gives a/b/f); any other name has each ":" and
// "\\" turned into "/". `out` needs strlen(in) + 1 bytes.
void convert_name(const char *in, char *out);

// A name as listings and messages show it: control characters (0x00-0x1F)
// and DEL escaped as tar escapes them (\n, \r, \t, \\ for the backslash
// itself, \ooo in octal for the others), so that a stored name cannot move
// the cursor, erase a line or pose as another name; bytes of 0x80 and above
// stay as they are (names in national character sets). A name too long for
// the buffer is cut.
struct ShownName {
  char text[4 * (kMaxNameLength + 1) + 1];
};
const char *show_name(const char *name, ShownName *out);

// The comma-separated decimal numbers of a parameter text, at most `max`
// of them; their count, or -1 when the text holds anything else.
int parse_number_list(const char *text, int64_t *out, int max);

// The first number of a record parameter text: the maximum record length.
// -1 when the text does not begin with a number.
int64_t max_record_length_of(const char *record_parameters);

// The old key description of format versions 4 and 5, built from the
// texts of the indexed file (record parameters, physical parameters and
// the key descriptions): "%03d,%03d,%01d,%04d,%02d" of 1, 1, node blocks,
// maximum record length and number of keys; ",%03d,%04d" (size, offset)
// for key 0; ",%03d,%04d,%c" (size, offset, duplicates Y/N) for the other
// keys; ",%c,%c,%c": variable length, compression, scrambling. Its length
// is 11 x keys + 21. A key of several segments is kSplitKey; numbers
// beyond their fields, and a key 0 that allows duplicates (the form has no
// mark for it), are kTooWide.
enum class OldKeyResult { kOk, kSplitKey, kTooWide, kBadText };
OldKeyResult build_old_key_description(const char *record_parameters,
                                       const char *physical_parameters,
                                       const char *const *key_texts, int32_t key_count, char *out,
                                       size_t out_size);
// Reads node blocks and maximum record length from an old key description
// ("%03d,%03d,%01d,%04d": its third and fourth numbers).
bool parse_old_key_description(const char *text, int32_t *node_blocks, int32_t *max_record_length);

// The texts in front of an indexed member's records, format version 6:
//
//   width   field
//   2 + n   "%02d" and the record parameter text (v5_info code -1)
//   2 + n   "%02d" and the physical parameter text (code -2)
//   2 + n   "%02d" and the comment (code -3)
//   3 + n   "256" and the key translation table's 256 bytes, or "000"
//   3       "%03d" the number of keys, 1 to kIndexedMaxKeys
//   3 + n   per key "%03d" and its description (codes 0 to keys - 1)
//
// No text holds a NUL. kel's writer and reader and dorvex-tool's unload
// and load share this form.
constexpr int32_t kIndexedMaxKeys = 120;
constexpr size_t kIndexedMaxText = 99;      // a 2-digit count
constexpr size_t kIndexedMaxKeyText = 244;  // 16 segments: "%02d,%1d" + 16 x ",%03d,%010d"
constexpr size_t kIndexedTableSize = 256;
constexpr size_t kIndexedTextsMax = 3 * (2 + kIndexedMaxText) + 3 + kIndexedTableSize + 3 +
                                    kIndexedMaxKeys * (3 + kIndexedMaxKeyText);
struct IndexedTexts {
  const char *record_parameters = "";
  const char *physical_parameters = "";
  const char *comment = "";
  const char *table = nullptr;  // 256 bytes, or null for none
  int32_t key_count = 0;
  const char *const *keys = nullptr;
};
// The bytes format_indexed_texts writes, or 0 when a text is too long for
// its count or the number of keys is out of range.
size_t indexed_texts_size(const IndexedTexts &texts);
// Writes the texts into `out` (indexed_texts_size bytes, no terminator).
size_t format_indexed_texts(const IndexedTexts &texts, char *out);

// The texts as parse_indexed_texts finds them: NUL-terminated, the key
// descriptions joined by commas (v5_make's key parameter text).
struct ParsedIndexedTexts {
  char record_parameters[kIndexedMaxText + 1];
  char physical_parameters[kIndexedMaxText + 1];
  char comment[kIndexedMaxText + 1];
  char table[kIndexedTableSize];
  bool has_table = false;
  int32_t key_count = 0;
  char keys[kIndexedMaxKeys * (kIndexedMaxKeyText + 1)];
};
// Reads the texts through `read` (exactly n bytes into out, false at the
// end of the data or on an error). kShort: `read` failed; kBadField: a
// count that is no number or out of range, or a NUL in a text.
enum class TextsResult { kOk, kShort, kBadField };
using ReadExactly = bool (*)(void *context, char *out, size_t n);
TextsResult parse_indexed_texts(ReadExactly read, void *context, ParsedIndexedTexts *out);

}  // namespace kel::archive
