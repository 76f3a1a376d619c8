#include "format/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/layout.h"
#include "kelfs/errors.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// Reads comma-separated unsigned decimal numbers. A field may carry
// leading blanks and zeros; anything else between commas is an error.
class NumberList {
 public:
  explicit NumberList(const char *text) : p_(text ? text : "") {}
  // Next number; false at the end of the text or on a malformed field.
  bool next(int64_t *value) {
    while (*p_ == ' ') ++p_;
    if (*p_ == '\0') return false;
    bool negative = false;
    if (*p_ == '-' || *p_ == '+') negative = *p_++ == '-';
    if (*p_ < '0' || *p_ > '9') return bad_ = true, false;
    int64_t v = 0;
    while (*p_ >= '0' && *p_ <= '9') {
      if (v < (int64_t{1} << 40)) v = v * 10 + (*p_ - '0');
      ++p_;
    }
    while (*p_ == ' ') ++p_;
    if (*p_ == ',') {
      ++p_;
    } else if (*p_ != '\0') {
      return bad_ = true, false;
    }
    *value = negative ? -v : v;
    return true;
  }
  bool at_end() const { return *p_ == '\0' && !bad_; }
  bool bad() const { return bad_; }

 private:
  const char *p_;
  bool bad_ = false;
};

bool parse_physical(int version, const char *text, MakeParams *p) {
  uint32_t *fields[5] = {&p->node_blocks, &p->preallocation, &p->extension, &p->compress_factor,
                         &p->scramble};
  NumberList list(text);
  int64_t v;
  for (uint32_t *field : fields) {
    if (!list.next(&v)) break;
    if (v < 0 || v > 0xFFFFFFFF) return fs_fail(E_PARAM);
    *field = static_cast<uint32_t>(v);
  }
  if (list.bad() || !list.at_end()) return fs_fail(E_PARAM);
  uint32_t max_blocks = version == 5 ? 16 : 2;
  if (p->node_blocks == 0) p->node_blocks = 1;
  if (p->node_blocks > max_blocks) return fs_fail(E_PARAM);
  uint32_t pre_cap = version == 5 ? 2097152 : 65535;
  uint32_t ext_cap = version == 5 ? 2097152 : 99;
  if (p->preallocation == 0) p->preallocation = 1;
  if (p->preallocation > pre_cap) p->preallocation = pre_cap;
  if (p->extension == 0) p->extension = 1;
  if (p->extension > ext_cap) p->extension = ext_cap;
  if (p->compress_factor > 100 || p->scramble > 1) return fs_fail(E_PARAM);
  return true;
}

bool parse_record(int version, const char *text, MakeParams *p) {
  NumberList list(text);
  int64_t v[4];
  int n = 0;
  while (n < 4 && list.next(&v[n])) ++n;
  if (list.bad() || !list.at_end() || n < 3) return fs_fail(E_PARAM);
  if (v[0] < 1 || v[0] > max_record_limit(version) || v[1] < 0 || v[1] > v[0])
    return fs_fail(E_PARAM);
  if (v[2] < 1 || v[2] > kMaxKeys) return fs_fail(E_PARAM);
  p->max_record = static_cast<uint32_t>(v[0]);
  p->min_record = v[1] == 0 ? p->max_record : static_cast<uint32_t>(v[1]);
  p->key_count = static_cast<int32_t>(v[2]);
  p->fourth = n == 4 ? static_cast<int32_t>(v[3]) : 0;
  return true;
}

bool parse_keys(int version, const char *text, MakeParams *p) {
  NumberList list(text);
  int max_segments = version >= 4 ? kMaxKeySegments : 6;
  for (int k = 0; k < p->key_count; ++k) {
    KeyDesc &key = p->keys[k];
    int64_t segments, duplicates;
    if (!list.next(&segments) || !list.next(&duplicates)) return fs_fail(E_PARAM);
    if (segments < 1 || segments > max_segments || duplicates < 0 || duplicates > 1)
      return fs_fail(E_PARAM);
    key.segments = static_cast<uint8_t>(segments);
    key.duplicates = static_cast<uint8_t>(duplicates);
    int length = 0;
    for (int s = 0; s < segments; ++s) {
      int64_t size, offset;
      if (!list.next(&size) || !list.next(&offset)) return fs_fail(E_PARAM);
      if (size < 1 || size > kMaxSegmentSize || offset < 0) return fs_fail(E_PARAM);
      if (offset + size > static_cast<int64_t>(p->min_record)) return fs_fail(E_PARAM);
      key.segment_size[s] = static_cast<uint8_t>(size);
      key.segment_offset[s] = static_cast<uint32_t>(offset);
      length += static_cast<int>(size);
    }
    if (length > kKeyLengthLimit) return fs_fail(E_PARAM);
    key.length = static_cast<uint8_t>(length);
    if (key.length > p->max_key_length) p->max_key_length = key.length;
    if (key.duplicates) ++p->duplicate_keys;
  }
  if (list.bad() || !list.at_end()) return fs_fail(E_PARAM);
  return true;
}

}  // namespace

bool key_description_valid(const KeyDesc &key, int version, uint32_t max_record) {
  if (key.segments < 1 || key.segments > max_key_segments(version)) return false;
  if (version == 2 && key.length > kV2MaxKeyLength) return false;
  int length = 0;
  for (int s = 0; s < key.segments; ++s) {
    int size = key.segment_size[s];
    if (size < 1 || size > kMaxSegmentSize) return false;
    if (static_cast<uint64_t>(key.segment_offset[s]) + static_cast<uint64_t>(size) > max_record)
      return false;
    length += size;
  }
  return length == key.length && length <= kKeyLengthLimit;
}

// Version 2 files hold at most 15 keys of one segment and at most 125
// bytes each; anything beyond is a combination the version cannot express.
bool parse_make_params(int version, const char *comment, const char *physical, const char *record,
                       const char *keys, MakeParams *out) {
  MakeParams &p = *out;
  p = MakeParams{};
  p.version = version;
  if (!parse_physical(version, physical, &p)) return false;
  if (!parse_record(version, record, &p)) return false;
  if (!parse_keys(version, keys, &p)) return false;
  if (comment) {
    strncpy(p.comment, comment, sizeof p.comment - 1);
    p.comment[sizeof p.comment - 1] = '\0';
  }
  if (version == 2) {
    if (p.key_count > kV2MaxKeys) return fs_fail(E_UNSUPPORTED);
    for (int k = 0; k < p.key_count; ++k)
      if (p.keys[k].segments > max_key_segments(2) || p.keys[k].length > kV2MaxKeyLength)
        return fs_fail(E_UNSUPPORTED);
  }
  if (p.max_key_length >= 126 && p.node_blocks < 2) p.node_blocks = 2;
  return true;
}

ParamText record_params_text(uint32_t max_record, uint32_t min_record, int key_count,
                             int32_t level) {
  ParamText out;
  char *buf = out.text;
  constexpr size_t kSize = sizeof out.text;
  if (level <= 2) {
    snprintf(buf, kSize, "%05d,%05d,%03d",
             static_cast<int>(max_record > 32767 ? 32767 : max_record),
             static_cast<int>(min_record > 32767 ? 32767 : min_record), key_count);
  } else {
    snprintf(buf, kSize, "%010d,%010d,%03d", static_cast<int>(max_record),
             static_cast<int>(min_record), key_count);
  }
  return out;
}

ParamText physical_params_text(uint32_t node_blocks, uint32_t extension, uint32_t compress_factor,
                               uint32_t scramble, int32_t level) {
  ParamText out;
  char *buf = out.text;
  constexpr size_t kSize = sizeof out.text;
  if (level <= 2) {
    snprintf(buf, kSize, "%02d,%05d,%02d,%03d,%1d", static_cast<int>(node_blocks), 0,
             static_cast<int>(extension > 99 ? 99 : extension), static_cast<int>(compress_factor),
             static_cast<int>(scramble));
  } else {
    snprintf(buf, kSize, "%02d,%07d,%07d,%03d,%1d", static_cast<int>(node_blocks), 0,
             static_cast<int>(extension), static_cast<int>(compress_factor),
             static_cast<int>(scramble));
  }
  return out;
}

ParamText key_text(const KeyDesc &key, int32_t level) {
  ParamText out;
  char buf[32];
  int segments = key.segments;
  if (level < 2) {
    if (segments > 6) segments = 6;
    snprintf(buf, sizeof buf, "%1d,%1d", segments, key.duplicates);
  } else {
    snprintf(buf, sizeof buf, "%02d,%1d", segments, key.duplicates);
  }
  size_t used = static_cast<size_t>(snprintf(out.text, sizeof out.text, "%s", buf));
  for (int s = 0; s < segments; ++s) {
    if (level < 3) {
      uint32_t offset = key.segment_offset[s] > 32767 ? 32767 : key.segment_offset[s];
      snprintf(buf, sizeof buf, ",%03d,%05d", key.segment_size[s], static_cast<int>(offset));
    } else {
      snprintf(buf, sizeof buf, ",%03d,%010d", key.segment_size[s],
               static_cast<int>(key.segment_offset[s]));
    }
    used += static_cast<size_t>(snprintf(out.text + used, sizeof out.text - used, "%s", buf));
  }
  return out;
}

int build_key(const KeyDesc &key, const uint8_t *record, const uint8_t *table, uint8_t *out) {
  int n = 0;
  for (int s = 0; s < key.segments; ++s) {
    const uint8_t *src = record + key.segment_offset[s];
    int size = key.segment_size[s];
    if (table == nullptr) {
      // A part of 8 to 16 bytes (most keys: a number or a code) as two
      // overlapping fixed copies, which the compiler does in place of a call.
      if (size >= 8 && size <= 16) {
        memcpy(out + n, src, 8);
        memcpy(out + n + size - 8, src + size - 8, 8);
      } else {
        memcpy(out + n, src, static_cast<size_t>(size));
      }
      n += size;
      continue;
    }
    for (int i = 0; i < size; ++i) out[n++] = table[src[i]];
  }
  return n;
}

void key_to_record_bytes(const KeyDesc &key, const uint8_t *key_bytes, const uint8_t *reverse,
                         uint8_t *record) {
  int n = 0;
  for (int s = 0; s < key.segments; ++s) {
    uint8_t *dst = record + key.segment_offset[s];
    for (int i = 0; i < key.segment_size[s]; ++i, ++n)
      dst[i] = reverse ? reverse[key_bytes[n]] : key_bytes[n];
  }
}

void build_reverse_table(const uint8_t *table, uint8_t *reverse) {
  memset(reverse, 0, 256);
  for (int i = 0; i < 256; ++i) reverse[table[i]] = static_cast<uint8_t>(i);
}

}  // namespace kel::indexed
