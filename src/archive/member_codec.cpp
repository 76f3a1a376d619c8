#include "archive/member_codec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/be.h"

namespace kel::archive {

namespace {

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// A fixed-width numeric field: blanks may lead, an optional sign (decimal
// fields only), then digits of the given base up to the end of the field.
bool parse_field(const char *p, size_t width, int base, bool allow_sign, int64_t *out) {
  size_t i = 0;
  while (i < width && p[i] == ' ') ++i;
  bool negative = false;
  if (allow_sign && i < width && (p[i] == '-' || p[i] == '+')) {
    negative = p[i] == '-';
    ++i;
  }
  if (i == width) return false;
  int64_t value = 0;
  for (; i < width; ++i) {
    char c = p[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    if (digit >= base) return false;
    value = value * base + digit;
  }
  *out = negative ? -value : value;
  return true;
}

}  // namespace

int parse_number_list(const char *text, int64_t *out, int max) {
  int n = 0;
  const char *p = text;
  while (n < max && *p) {
    char *end;
    long long v = strtoll(p, &end, 10);
    if (end == p) return -1;
    out[n++] = v;
    p = end;
    if (*p == ',') {
      ++p;
    } else if (*p != '\0') {
      return -1;
    }
  }
  return n;
}

size_t format_member_header(const MemberHeader &h, const char *name, char *out) {
  size_t name_length = strlen(name);
  int n = sprintf(
      out, "%08lx%06o%05d%05d%010lld%03d%010lld%c%s", static_cast<unsigned long>(kMemberMagic),
      h.mode & 0777777u, static_cast<int>(clamp64(h.owner, 0, kMaxOwner)),
      static_cast<int>(clamp64(h.group, 0, kMaxOwner)),
      static_cast<long long>(clamp64(h.mtime, 0, kMaxTime)), static_cast<int>(name_length),
      static_cast<long long>(clamp64(h.data_size, 0, kMaxDataSize)), h.type, name);
  return static_cast<size_t>(n);
}

size_t format_trailer(char *out) {
  MemberHeader h;
  h.type = kTypeOldPlain;
  return format_member_header(h, kTrailerName, out);
}

HeaderCheck parse_member_start(const char *text, int32_t *name_length) {
  if (memcmp(text + kMagicOffset, kMemberMagicText, kMagicWidth) != 0) {
    // Older writers may have used upper-case hexadecimal or blanks; what
    // counts is the value.
    int64_t magic;
    if (!parse_field(text + kMagicOffset, kMagicWidth, 16, false, &magic) || magic != kMemberMagic)
      return HeaderCheck::kBadMagic;
  }
  int64_t length;
  if (!parse_field(text + kNameLengthOffset, kNameLengthWidth, 10, true, &length) || length < 0)
    return HeaderCheck::kBadField;
  *name_length = static_cast<int32_t>(length);
  return HeaderCheck::kOk;
}

HeaderCheck parse_member_header(const char *text, MemberHeader *out) {
  HeaderCheck start = parse_member_start(text, &out->name_length);
  if (start != HeaderCheck::kOk) return start;
  int64_t mode, owner, group, mtime, size;
  if (!parse_field(text + kModeOffset, kModeWidth, 8, false, &mode) ||
      !parse_field(text + kOwnerOffset, kOwnerWidth, 10, true, &owner) || owner < 0 ||
      !parse_field(text + kGroupOffset, kGroupWidth, 10, true, &group) || group < 0 ||
      !parse_field(text + kTimeOffset, kTimeWidth, 10, true, &mtime) ||
      !parse_field(text + kSizeOffset, kSizeWidth, 10, true, &size) || size < 0)
    return HeaderCheck::kBadField;
  out->mode = static_cast<uint32_t>(mode);
  out->owner = static_cast<int32_t>(owner);
  out->group = static_cast<int32_t>(group);
  out->mtime = mtime;
  out->data_size = size;
  out->type = text[kTypeOffset];
  return HeaderCheck::kOk;
}

bool has_binary_magic(const uint8_t *bytes, size_t count) {
  if (count <= 3) return false;
  uint32_t first = load_be32(bytes);
  return first == kBinaryMagicA || first == kBinaryMagicB;
}

void convert_name(const char *in, char *out) {
  if (in[0] == '[') {
    for (const char *p = in + 1; *p; ++p) {
      char c = *p;
      *out++ = (c == ':' || c == '.' || c == '\\' || c == ']') ? '/' : c;
    }
  } else {
    for (const char *p = in; *p; ++p) {
      char c = *p;
      *out++ = (c == ':' || c == '\\') ? '/' : c;
    }
  }
  *out = '\0';
}

const char *show_name(const char *name, ShownName *out) {
  char *o = out->text;
  char *const end = out->text + sizeof out->text - 5;  // room for one escape
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p && o < end; ++p) {
    const unsigned char c = *p;
    const char *named = c == '\n'   ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                        : c == '\\' ? "\\\\"
                                    : nullptr;
    if (named) {
      memcpy(o, named, 2);
      o += 2;
    } else if (c < 0x20 || c == 0x7F) {
      o += snprintf(o, 5, "\\%03o", c);
    } else {
      *o++ = static_cast<char>(c);
    }
  }
  *o = '\0';
  return out->text;
}

int64_t max_record_length_of(const char *record_parameters) {
  char *end;
  long long v = strtoll(record_parameters, &end, 10);
  if (end == record_parameters || v < 0 || (*end != ',' && *end != '\0')) return -1;
  return v;
}

OldKeyResult build_old_key_description(const char *record_parameters,
                                       const char *physical_parameters,
                                       const char *const *key_texts, int32_t key_count, char *out,
                                       size_t out_size) {
  int64_t rec[4], phys[5];
  if (parse_number_list(record_parameters, rec, 4) < 3) return OldKeyResult::kBadText;
  if (parse_number_list(physical_parameters, phys, 5) < 5) return OldKeyResult::kBadText;
  // The description's length travels in a 3-digit field: at most 88 keys.
  if (key_count < 1 || 11 * key_count + 21 > 999) return OldKeyResult::kTooWide;
  const int64_t max_length = rec[0], min_length = rec[1];
  if (phys[0] < 0 || phys[0] > 9 || max_length < 0 || max_length > 9999)
    return OldKeyResult::kTooWide;
  if (out_size < static_cast<size_t>(11 * key_count + 22)) return OldKeyResult::kTooWide;

  char *p = out;
  p += sprintf(p, "%03d,%03d,%01d,%04d,%02d", 1, 1, static_cast<int>(phys[0]),
               static_cast<int>(max_length), static_cast<int>(key_count));
  for (int32_t k = 0; k < key_count; ++k) {
    int64_t key[4];
    // A key description: segments, duplicates, then size and offset of
    // each segment. An old-style description has room for one segment.
    int n = parse_number_list(key_texts[k], key, 4);
    if (n < 2) return OldKeyResult::kBadText;
    if (key[0] != 1) return OldKeyResult::kSplitKey;
    if (n < 4) return OldKeyResult::kBadText;
    if (key[2] < 0 || key[2] > 999 || key[3] < 0 || key[3] > 9999) return OldKeyResult::kTooWide;
    // Key 0 has no duplicates mark in the description: its restore would
    // refuse every record after the first of each primary key value.
    if (k == 0 && key[1] != 0) return OldKeyResult::kTooWide;
    if (k == 0) {
      p += sprintf(p, ",%03d,%04d", static_cast<int>(key[2]), static_cast<int>(key[3]));
    } else {
      p += sprintf(p, ",%03d,%04d,%c", static_cast<int>(key[2]), static_cast<int>(key[3]),
                   key[1] != 0 ? 'Y' : 'N');
    }
  }
  sprintf(p, ",%c,%c,%c", min_length != max_length ? 'Y' : 'N', phys[3] != 0 ? 'Y' : 'N',
          phys[4] != 0 ? 'Y' : 'N');
  return OldKeyResult::kOk;
}

bool parse_old_key_description(const char *text, int32_t *node_blocks, int32_t *max_record_length) {
  int first, second, blocks, length;
  if (sscanf(text, "%03d,%03d,%01d,%04d", &first, &second, &blocks, &length) != 4) return false;
  if (blocks < 0 || length < 0) return false;
  *node_blocks = blocks;
  *max_record_length = length;
  return true;
}

}  // namespace kel::archive

namespace kel::archive {

namespace {

bool counted_fits(const char *text, size_t max) {
  return strlen(text) <= max;
}

char *put_counted(char *out, int digits, const char *bytes, size_t length) {
  out += sprintf(out, "%0*d", digits, static_cast<int>(length));
  memcpy(out, bytes, length);
  return out + length;
}

TextsResult read_count(ReadExactly read, void *context, int digits, int64_t max, int32_t *out) {
  char text[4];
  if (!read(context, text, static_cast<size_t>(digits))) return TextsResult::kShort;
  int64_t value;
  if (!parse_field(text, static_cast<size_t>(digits), 10, false, &value) || value > max)
    return TextsResult::kBadField;
  *out = static_cast<int32_t>(value);
  return TextsResult::kOk;
}

TextsResult read_counted(ReadExactly read, void *context, int digits, size_t max, char *out) {
  int32_t length;
  TextsResult r = read_count(read, context, digits, static_cast<int64_t>(max), &length);
  if (r != TextsResult::kOk) return r;
  if (!read(context, out, static_cast<size_t>(length))) return TextsResult::kShort;
  if (memchr(out, '\0', static_cast<size_t>(length)) != nullptr) return TextsResult::kBadField;
  out[length] = '\0';
  return TextsResult::kOk;
}

}  // namespace

size_t indexed_texts_size(const IndexedTexts &t) {
  if (t.key_count < 1 || t.key_count > kIndexedMaxKeys ||
      !counted_fits(t.record_parameters, kIndexedMaxText) ||
      !counted_fits(t.physical_parameters, kIndexedMaxText) ||
      !counted_fits(t.comment, kIndexedMaxText))
    return 0;
  size_t size = 2 + strlen(t.record_parameters) + 2 + strlen(t.physical_parameters) + 2 +
                strlen(t.comment) + 3 + (t.table ? kIndexedTableSize : 0) + 3;
  for (int32_t k = 0; k < t.key_count; ++k) {
    if (!counted_fits(t.keys[k], kIndexedMaxKeyText)) return 0;
    size += 3 + strlen(t.keys[k]);
  }
  return size;
}

size_t format_indexed_texts(const IndexedTexts &t, char *out) {
  char *p = out;
  p = put_counted(p, 2, t.record_parameters, strlen(t.record_parameters));
  p = put_counted(p, 2, t.physical_parameters, strlen(t.physical_parameters));
  p = put_counted(p, 2, t.comment, strlen(t.comment));
  p = t.table ? put_counted(p, 3, t.table, kIndexedTableSize) : put_counted(p, 3, "", 0);
  p += sprintf(p, "%03d", static_cast<int>(t.key_count));
  for (int32_t k = 0; k < t.key_count; ++k) p = put_counted(p, 3, t.keys[k], strlen(t.keys[k]));
  return static_cast<size_t>(p - out);
}

TextsResult parse_indexed_texts(ReadExactly read, void *context, ParsedIndexedTexts *out) {
  TextsResult r;
  if ((r = read_counted(read, context, 2, kIndexedMaxText, out->record_parameters)) !=
          TextsResult::kOk ||
      (r = read_counted(read, context, 2, kIndexedMaxText, out->physical_parameters)) !=
          TextsResult::kOk ||
      (r = read_counted(read, context, 2, kIndexedMaxText, out->comment)) != TextsResult::kOk)
    return r;
  int32_t table;
  if ((r = read_count(read, context, 3, kIndexedTableSize, &table)) != TextsResult::kOk) return r;
  if (table != 0 && table != static_cast<int32_t>(kIndexedTableSize)) return TextsResult::kBadField;
  out->has_table = table != 0;
  if (out->has_table && !read(context, out->table, kIndexedTableSize)) return TextsResult::kShort;
  if ((r = read_count(read, context, 3, kIndexedMaxKeys, &out->key_count)) != TextsResult::kOk)
    return r;
  if (out->key_count < 1) return TextsResult::kBadField;
  char *p = out->keys;
  for (int32_t k = 0; k < out->key_count; ++k) {
    if (k > 0) *p++ = ',';
    if ((r = read_counted(read, context, 3, kIndexedMaxKeyText, p)) != TextsResult::kOk) return r;
    p += strlen(p);
  }
  return TextsResult::kOk;
}

}  // namespace kel::archive
