#include "storage/compress.h"

#include <cstring>

namespace kel::indexed {

namespace {

constexpr uint8_t kRunAny = 254;
constexpr uint8_t kRunSpace = 253;
constexpr uint8_t kRunZeroDigit = 252;
constexpr uint8_t kRunNul = 251;
constexpr uint8_t kLiteral = 250;

uint8_t short_run_marker(uint8_t c) {
  switch (c) {
    case ' ':
      return kRunSpace;
    case '0':
      return kRunZeroDigit;
    case 0:
      return kRunNul;
    default:
      return 0;
  }
}

// Appends bytes to the output while it stays shorter than the record.
class Output {
 public:
  Output(uint8_t *out, int32_t limit) : out_(out), limit_(limit) {}
  bool put(uint8_t b) {
    if (n_ >= limit_) return false;
    out_[n_++] = b;
    return true;
  }
  int32_t size() const { return n_; }

 private:
  uint8_t *out_;
  int32_t limit_;
  int32_t n_ = 0;
};

}  // namespace

int32_t compress_record(int version, const uint8_t *in, int32_t length, uint8_t *out) {
  if (version == 2) {
    for (int32_t i = 0; i < length; ++i)
      if (in[i] == kRunAny) return -1;
  }
  Output o(out, length);
  int32_t i = 0;
  while (i < length) {
    uint8_t c = in[i];
    int32_t r = 1;
    while (i + r < length && in[i + r] == c) ++r;
    i += r;
    uint8_t marker = version >= 3 ? short_run_marker(c) : 0;
    if (marker) {
      while (r > 2) {
        int32_t n = r < kMaxRun ? r : kMaxRun;
        if (!o.put(marker) || !o.put(static_cast<uint8_t>(n))) return -1;
        r -= n;
      }
    }
    while (r > 3) {
      int32_t n = r < kMaxRun ? r : kMaxRun;
      if (!o.put(kRunAny) || !o.put(c) || !o.put(static_cast<uint8_t>(n))) return -1;
      r -= n;
    }
    for (; r > 0; --r) {
      if (version >= 3 && c >= kLiteral && c <= kRunAny && !o.put(kLiteral)) return -1;
      if (!o.put(c)) return -1;
    }
  }
  return o.size() < length ? o.size() : -1;
}

// Whether byte b of the stored form stands for itself: every byte but the
// markers 250 to 254 (version 2: but 254).
bool literal_byte(int version, uint8_t b) {
  return version >= 3 ? b < kLiteral || b > kRunAny : b != kRunAny;
}

int32_t decompress_record(int version, const uint8_t *in, int32_t length, uint8_t *out,
                          int32_t max_length) {
  int32_t n = 0;
  auto emit = [&](uint8_t c, int32_t count) {
    if (count > max_length - n) return false;
    memset(out + n, c, static_cast<size_t>(count));
    n += count;
    return true;
  };
  // A marker whose operands are missing cannot come from the compressor:
  // the stored record is damaged.
  int32_t i = 0;
  while (i < length) {
    // Bytes that stand for themselves go over in one copy; the output
    // holds what fits when they overflow it.
    int32_t start = i;
    while (i < length && literal_byte(version, in[i])) ++i;
    if (i > start) {
      int32_t count = i - start;
      int32_t room = max_length - n;
      memcpy(out + n, in + start, static_cast<size_t>(count < room ? count : room));
      if (count > room) return -1;
      n += count;
      continue;
    }
    uint8_t b = in[i++];
    bool ok;
    if (b == kRunAny) {
      if (i + 1 >= length) return -1;
      ok = emit(in[i], in[i + 1]);
      i += 2;
    } else if (b >= kRunNul && b <= kRunSpace) {
      if (i >= length) return -1;
      uint8_t c = b == kRunSpace ? ' ' : b == kRunZeroDigit ? '0' : 0;
      ok = emit(c, in[i++]);
    } else {  // kLiteral
      if (i >= length) return -1;
      ok = emit(in[i++], 1);
    }
    if (!ok) return -1;
  }
  return n;
}

int32_t slot_size(int version, int32_t record_length, int32_t stored_length, int32_t factor) {
  if (stored_length >= record_length) return record_length;
  int32_t size = record_length - (record_length - stored_length) * factor / 100;
  int32_t minimum = version <= 3 ? 4 : version == 4 ? 6 : 1;
  return size < minimum ? minimum : size;
}

void scramble(uint8_t *bytes, int32_t length, uint32_t seed) {
  for (int32_t i = 0; i < length; ++i)
    bytes[i] = static_cast<uint8_t>(bytes[i] + seed + 7u * static_cast<uint32_t>(i));
}

void unscramble(uint8_t *bytes, int32_t length, uint32_t seed) {
  for (int32_t i = 0; i < length; ++i)
    bytes[i] = static_cast<uint8_t>(bytes[i] - seed - 7u * static_cast<uint32_t>(i));
}

}  // namespace kel::indexed
