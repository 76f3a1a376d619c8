// Record compression: the stored forms of the marker rules byte by byte,
// random records rich in runs and marker bytes compress to what a
// run-at-a-time reference encoder makes, and random stored forms rich in
// markers decode as a byte-at-a-time reference decoder says (the same
// length or refusal, the same bytes left in the output buffer). (Records round trip in every
// version: the storage and access models' runs.)
#include "indexed/storage/compress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/row_script.h"

namespace kel::indexed {
namespace {

using Bytes = std::vector<uint8_t>;

// The stored form of the record, or nothing when it stays uncompressed.
Bytes compressed(int version, const Bytes &record) {
  Bytes out(record.size());
  int32_t n =
      compress_record(version, record.data(), static_cast<int32_t>(record.size()), out.data());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// The stored-form rules, one output byte at a time: 254 c n is n times c;
// from version 3 on 253, 252 and 251 n are n spaces, zeros and NULs, and
// 250 c is c itself.
int32_t reference_decompress(int version, const uint8_t *in, int32_t length, uint8_t *out,
                             int32_t max_length) {
  int32_t n = 0, i = 0;
  auto emit = [&](uint8_t c, int32_t count) {
    if (count > max_length - n) return false;
    while (count-- > 0) out[n++] = c;
    return true;
  };
  while (i < length) {
    uint8_t b = in[i++];
    bool ok;
    if (b == 254) {
      if (i + 1 >= length) return -1;
      ok = emit(in[i], in[i + 1]);
      i += 2;
    } else if (version >= 3 && b >= 250 && b <= 253) {
      if (i >= length) return -1;
      ok = b == 250 ? emit(in[i++], 1) : emit(b == 253 ? ' ' : b == 252 ? '0' : 0, in[i++]);
    } else {
      ok = emit(b, 1);
    }
    if (!ok) return -1;
  }
  return n;
}

// The encoding rules, one run of equal bytes at a time: from version 3 on
// a run of three or more spaces, zeros or NULs becomes marker pairs of at
// most 127; four or more of any byte become 254 c n; what remains stays
// literal, a byte 250 to 254 escaped by 250 from version 3 on. Version 2
// refuses a record holding 254; a form not shorter than the record is
// refused (-1).
Bytes reference_compress(int version, const Bytes &in) {
  Bytes out;
  if (version == 2 && std::find(in.begin(), in.end(), 254) != in.end()) return {};
  for (size_t i = 0; i < in.size();) {
    uint8_t c = in[i];
    int r = 1;
    while (i + r < in.size() && in[i + r] == c) ++r;
    i += static_cast<size_t>(r);
    uint8_t marker = c == ' ' ? 253 : c == '0' ? 252 : c == 0 ? 251 : 0;
    for (; version >= 3 && marker && r > 2; r -= std::min(r, 127))
      out.insert(out.end(), {marker, static_cast<uint8_t>(std::min(r, 127))});
    for (; r > 3; r -= std::min(r, 127))
      out.insert(out.end(), {254, c, static_cast<uint8_t>(std::min(r, 127))});
    for (; r > 0; --r) {
      if (version >= 3 && c >= 250 && c <= 254) out.push_back(250);
      out.push_back(c);
    }
  }
  return out.size() < in.size() ? out : Bytes{};
}

// Random records rich in runs and marker bytes compress as the reference
// encoder says; random stored forms rich in markers decode as the reference
// decoder says (the same length or refusal, the same bytes left in the
// output buffer).
TEST(Compression, RandomRecordsAndStoredFormsFollowTheRules) {
  std::mt19937 rng(99);
  const uint8_t alphabet[] = {' ', '0', 0, 'a', 'b', 250, 251, 252, 253, 254, 255, 'z'};
  for (int round = 0; round < 50000; ++round) {
    int version = 2 + static_cast<int>(rng() % 4);
    Bytes in(rng() % 300);
    uint32_t mode = rng() % 3;
    for (size_t i = 0; i < in.size(); ++i) {
      if (i > 0 && rng() % 3 == 0)
        in[i] = in[i - 1];
      else
        in[i] = static_cast<uint8_t>(mode == 0   ? alphabet[rng() % 12]
                                     : mode == 1 ? rng() % 256
                                                 : 'A' + rng() % 4);
    }
    ASSERT_EQ(reference_compress(version, in), compressed(version, in))
        << "round " << round << " version " << version;
    // The first 80 bytes of the record, made richer in markers, as a
    // stored form.
    in.resize(std::min<size_t>(in.size(), 80));
    for (uint8_t &b : in) {
      uint32_t pick = rng() % 10;
      b = pick < 4 ? static_cast<uint8_t>(250 + rng() % 6) : pick < 6 ? b % 8 : b;
    }
    int32_t max = static_cast<int32_t>(rng() % 300), length = static_cast<int32_t>(in.size());
    Bytes out(400, 0xA5), want(400, 0xA5);
    ASSERT_EQ(reference_decompress(version, in.data(), length, want.data(), max),
              decompress_record(version, in.data(), length, out.data(), max))
        << "round " << round << " version " << version;
    ASSERT_EQ(want, out) << "round " << round;
  }
}

// The stored forms of fixed records, and slot sizes: rows of
// indexed/compress_rows.txt.
TEST(Compression, StoredFormsOfTheMarkerRules) {
  test::Verbs verbs = {{"stored",
                        [](const test::Words &a) {
                          Bytes in(a.at(1).begin(), a.at(1).end()),
                              b = compressed(static_cast<int>(test::number(a.at(0))), in);
                          b = b.empty() ? in : b;  // the record itself, uncompressed
                          return test::as_word(std::string(b.begin(), b.end()));
                        }},
                       {"slot_size", [](const test::Words &a) {
                          auto n = [&](size_t i) {
                            return static_cast<int32_t>(test::number(a.at(i)));
                          };
                          return std::to_string(slot_size(n(0), n(1), n(2), n(3)));
                        }}};
  EXPECT_TRUE(test::run_rows("indexed/compress_rows.txt", verbs));
}

}  // namespace
}  // namespace kel::indexed
