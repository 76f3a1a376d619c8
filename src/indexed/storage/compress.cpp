#include "storage/compress.h"

#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kel::indexed {

namespace {

constexpr uint8_t kRunAny = 254;
constexpr uint8_t kRunSpace = 253;
constexpr uint8_t kRunZeroDigit = 252;
constexpr uint8_t kRunNul = 251;
constexpr uint8_t kLiteral = 250;
constexpr uint64_t kHighBits = 0x8080808080808080ull;
static_assert(kLiteral >= 0x80, "every marker byte has its high bit set");

// Whether byte b of the stored form stands for itself: every byte but the
// markers 250 to 254 (version 2: but 254).
bool literal_byte(int version, uint8_t b) {
  return version >= 3 ? b < kLiteral || b > kRunAny : b != kRunAny;
}

// Bit 7 of each byte of the result is set where that byte of `v` is 0, and
// only there (no borrow crosses bytes, so the first set bit is exact on
// either byte order).
uint64_t zero_bytes(uint64_t v) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((v & kLow7) + kLow7) | v | kLow7);
}

// The place, counted in memory order, of the first byte of a word loaded
// with memcpy that has any bit of `mask` set (mask != 0).
int32_t first_byte(uint64_t mask) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  return (std::endian::native == std::endian::little ? std::countr_zero(mask)
                                                     : std::countl_zero(mask)) /
         8;
}

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
  bool put_all(const uint8_t *bytes, int32_t count) {
    if (count > limit_ - n_) return false;
    memcpy(out_ + n_, bytes, static_cast<size_t>(count));
    n_ += count;
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
    // A stretch of bytes without a marker and without three equal bytes in
    // a row stands for itself (the common case of text): it goes over in
    // one copy. Pairs of equal bytes may lie inside it, since a run of two
    // is stored as its two bytes whatever the byte (the shortest run with a
    // form of its own has three), so digits and letters that repeat once do
    // not end it. The stretch ends where a run of three or more starts (a
    // run it contained would start at or before such a place, so the byte
    // where it ends begins a whole run) or at a marker byte, or at the last
    // byte; that byte is encoded below.
    int32_t j = i;
    for (uint64_t w, next, next2; j + 10 <= length; j += 8) {
      memcpy(&w, in + j, sizeof w);
      memcpy(&next, in + j + 1, sizeof next);
      memcpy(&next2, in + j + 2, sizeof next2);
      uint64_t stop = (w & kHighBits) | zero_bytes((w ^ next) | (next ^ next2));
      if (stop) {
        j += first_byte(stop);
        break;
      }
    }
    while (j + 1 < length && literal_byte(version, in[j]) &&
           !(in[j + 1] == in[j] && j + 2 < length && in[j + 2] == in[j]))
      ++j;
    if (j > i) {
      if (!o.put_all(in + i, j - i)) return -1;
      i = j;
    }
    // The run's length, eight bytes at a time while they are all c.
    uint8_t c = in[i];
    int32_t r = 1;
    for (uint64_t w, all_c = 0x0101010101010101ull * c; i + r + 8 <= length; r += 8) {
      memcpy(&w, in + i + r, sizeof w);
      if (w != all_c) {
        r += first_byte(w ^ all_c);
        break;
      }
    }
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

namespace {

// Bytes that a staged expansion may write past the output's end: short
// pieces are copied and filled a whole kPiece bytes at a time.
constexpr int32_t kPiece = 16;
// Records up to this length are expanded into a staging area on the stack
// that has kPiece bytes to spare, then copied out whole.
constexpr int32_t kStagedMax = 1024;

// Where the stretch of literal bytes from `i` ends: at the first marker,
// or at `length`. Every marker has its high bit set, so eight bytes without
// one are all literal (the common case of text records) and go by at once;
// in a word with high bits the first of them is looked at directly.
int32_t literal_end(int version, const uint8_t *in, int32_t i, int32_t length) {
  while (i < length) {
    if (i + 8 <= length) {
      uint64_t w;
      memcpy(&w, in + i, sizeof w);
      uint64_t high = w & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      i += first_byte(high);
    } else if (!(in[i] & 0x80)) {
      ++i;
      continue;
    }
    if (!literal_byte(version, in[i])) return i;
    ++i;
  }
  return length;
}

// The expansion of every version straight into `out`, byte counts exact
// (on a failure, `out` holds what was expanded before it: the runs that
// fit, and of a literal stretch that overflows, as much as fits).
int32_t expand(int version, const uint8_t *in, int32_t length, uint8_t *out, int32_t max_length) {
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
    i = literal_end(version, in, i, length);
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

// A run of `count` bytes c (count <= kStagedMax) into staging at `out`,
// which has kPiece bytes to spare past the run's end: one or two kPiece
// stores for the short runs records are full of.
inline void staged_run(uint8_t *out, uint8_t c, int32_t count) {
  if (count <= kPiece) {
    memset(out, c, kPiece);
  } else if (count <= 2 * kPiece) {
    memset(out, c, kPiece);
    memset(out + kPiece, c, kPiece);
  } else {
    memset(out, c, static_cast<size_t>(count));
  }
}

// Stores the 8 stored bytes at `in` whole to `out` and returns how many of
// them come before the first with the high bit set (every marker has it).
inline int32_t literal_word8(const uint8_t *in, uint8_t *out) {
  uint64_t w;
  memcpy(&w, in, sizeof w);
  memcpy(out, &w, sizeof w);
  uint64_t high = w & kHighBits;
  return high == 0 ? 8 : first_byte(high);
}

// The last `rest` (1 to 7) of the stored bytes, from the word of the last
// eight at `last8` (the stored form has at least eight): shifted so that
// the first of them comes first, stored whole, and counted as
// literal_word8 counts. Nothing past the stored form is read.
inline int32_t literal_tail(const uint8_t *last8, int32_t rest, uint8_t *out) {
  uint64_t w;
  memcpy(&w, last8, sizeof w);
  const int skip = 8 * (8 - rest);
  uint64_t kept;  // bits of the word that hold the `rest` bytes, once shifted
  if constexpr (std::endian::native == std::endian::little) {
    w >>= skip;
    kept = ~uint64_t{0} >> skip;
  } else {
    w <<= skip;
    kept = ~uint64_t{0} << skip;
  }
  memcpy(out, &w, sizeof w);
  uint64_t high = w & kHighBits & kept;
  return high == 0 ? rest : first_byte(high);
}

// The same for 16 bytes: one load, one mask of the high bits and one store
// where the processor has the instructions. The stretches of text between
// a record's runs are mostly longer than eight bytes (about 47 instructions
// less per record of the benchmark's, whose 58 stored bytes are ten pieces).
inline int32_t literal_word16(const uint8_t *in, uint8_t *out) {
#if defined(__SSE2__)
  const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), w);
  const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(w));
  return high == 0 ? 16 : std::countr_zero(high);
#else
  int32_t k = literal_word8(in, out);
  return k < 8 ? k : 8 + literal_word8(in + 8, out + 8);
#endif
}

// The expansion of versions 3 to 5 into staging (kPiece bytes to spare past
// max_length), with the results of expand and, in *produced, the bytes of
// staging that hold output (on a failure, what was expanded before it, as
// expand leaves in `out`): literal bytes go over a word at a time, each word
// stored whole and counted up to its first byte with the high bit set
// (every marker has it); such a byte that is no marker is one literal byte
// more. Words of 16 bytes while 16 remain, then of 8, then the last few
// out of the word of the last eight (nothing may be read past the stored
// form; one shorter than eight is taken a byte at a time). Each word is
// stored whole: staging has kPiece (16) bytes to spare.
int32_t expand_staged(const uint8_t *in, int32_t length, uint8_t *out, int32_t max_length,
                      int32_t *produced) {
  int32_t n = 0, i = 0;
  auto fail = [&] {
    *produced = n;
    return -1;
  };
  while (i < length) {
    uint8_t b;
    const int32_t rest = length - i;
    const int32_t word = rest >= 16 ? 16 : rest >= 8 ? 8 : length >= 8 ? rest : 0;
    if (word > 0) {
      int32_t k = word == 16  ? literal_word16(in + i, out + n)
                  : word == 8 ? literal_word8(in + i, out + n)
                              : literal_tail(in + length - 8, rest, out + n);
      if (k > max_length - n) {
        n = max_length;
        return fail();
      }
      n += k;
      i += k;
      if (k == word) continue;
      b = in[i];
    } else {
      b = in[i];
      if (!(b & 0x80)) {
        if (n >= max_length) return fail();
        out[n++] = b;
        ++i;
        continue;
      }
    }
    ++i;
    if (b < kLiteral || b > kRunAny) {  // a literal byte with the high bit
      if (n >= max_length) return fail();
      out[n++] = b;
      continue;
    }
    uint8_t c;
    int32_t count;
    if (b == kRunAny) {
      if (i + 1 >= length) return fail();
      c = in[i];
      count = in[i + 1];
      i += 2;
    } else {
      if (i >= length) return fail();
      c = b == kRunSpace ? ' ' : b == kRunZeroDigit ? '0' : b == kRunNul ? 0 : in[i];
      count = b == kLiteral ? 1 : in[i];
      ++i;
    }
    if (count > max_length - n) return fail();
    staged_run(out + n, c, count);
    n += count;
  }
  *produced = n;
  return n;
}

}  // namespace

int32_t decompress_record(int version, const uint8_t *in, int32_t length, uint8_t *out,
                          int32_t max_length) {
  if (max_length < 0 || max_length > kStagedMax || version < 3)
    return expand(version, in, length, out, max_length);
  int32_t produced = 0;
  uint8_t staged[kStagedMax + kPiece];
  int32_t r = expand_staged(in, length, staged, max_length, &produced);
  memcpy(out, staged, static_cast<size_t>(produced));
  return r;
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
