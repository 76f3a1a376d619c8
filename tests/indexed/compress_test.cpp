#include "indexed/storage/compress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kel::indexed {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string &s) {
  return Bytes(s.begin(), s.end());
}

// Returns the stored form, or the record itself when it stays uncompressed.
Bytes stored(int version, const Bytes &record) {
  Bytes out(record.size());
  int32_t n =
      compress_record(version, record.data(), static_cast<int32_t>(record.size()), out.data());
  if (n < 0) return record;
  out.resize(static_cast<size_t>(n));
  return out;
}

Bytes expand(int version, const Bytes &in, int32_t max) {
  Bytes out(static_cast<size_t>(max));
  int32_t n =
      decompress_record(version, in.data(), static_cast<int32_t>(in.size()), out.data(), max);
  if (n < 0) return {};
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Compression, StoredFormsOfTheMarkerRules) {
  EXPECT_EQ((Bytes{253, 100}), stored(5, Bytes(100, ' ')));
  EXPECT_EQ((Bytes{253, 127, 253, 73}), stored(5, Bytes(200, ' ')));
  EXPECT_EQ((Bytes{252, 10}), stored(4, Bytes(10, '0')));
  EXPECT_EQ((Bytes{251, 5, 'A', 'B', 'C', 'D', 'E', 'F'}),
            stored(3, bytes(std::string(5, '\0') + "ABCDEF")));
  // Three equal letters stay literal, four become 254 c 4.
  EXPECT_EQ((Bytes{'x', 'x', 'x', 254, 'y', 4, 253, 5}), stored(5, bytes("xxxyyyy     ")));
  // Two spaces stay literal: a marker pair would not be shorter.
  EXPECT_EQ((Bytes{'a', ' ', ' ', 'b', 253, 9}), stored(5, bytes("a  b         ")));
  // A single byte 251 inside a compressed record is escaped as 250 251.
  Bytes rec = Bytes(20, ' ');
  rec[3] = 251;
  EXPECT_EQ((Bytes{253, 3, 250, 251, 253, 16}), stored(5, rec));
  // A record whose compressed form is not shorter stays as it is.
  Bytes plain = bytes("ABCDEFGHIJ");
  EXPECT_EQ(-1, compress_record(5, plain.data(), 10, Bytes(10).data()));
  Bytes markers = {250, 251, 252, 253, 254, 'a', 'b'};
  EXPECT_EQ(-1, compress_record(5, markers.data(), 7, Bytes(7).data()));
  // Version 2 knows only the 254 form and refuses records holding 254.
  EXPECT_EQ((Bytes{254, ' ', 10}), stored(2, Bytes(10, ' ')));
  Bytes v2 = Bytes(10, ' ');
  v2[9] = 254;
  EXPECT_EQ(-1, compress_record(2, v2.data(), 10, Bytes(10).data()));
}

TEST(Compression, RandomRecordsRoundTripInEveryVersion) {
  std::mt19937 rng(1234);
  // Records made of runs of a few characters, as COBOL records are.
  const uint8_t alphabet[] = {' ', '0', 0, 'A', 'z', 250, 251, 252, 253, 254, 255, '7'};
  for (int version : {2, 3, 4, 5}) {
    for (int trial = 0; trial < 2000; ++trial) {
      Bytes rec;
      size_t len = rng() % 600;
      while (rec.size() < len) {
        uint8_t c = alphabet[rng() % sizeof alphabet];
        size_t run = 1 + (rng() % 4 == 0 ? rng() % 300 : rng() % 4);
        rec.insert(rec.end(), std::min(run, len - rec.size()), c);
      }
      Bytes s = stored(version, rec);
      ASSERT_LE(s.size(), rec.size());
      if (s.size() < rec.size() || s == rec) {
        Bytes back = s.size() < rec.size() ? expand(version, s, static_cast<int32_t>(len)) : s;
        ASSERT_EQ(rec, back) << "version " << version << " trial " << trial;
      }
    }
  }
}

TEST(Compression, DecompressionRefusesOverlongAndTruncatedData) {
  Bytes s = {253, 100};
  Bytes out(100);
  EXPECT_EQ(-1, decompress_record(5, s.data(), 2, out.data(), 99));
  EXPECT_EQ(100, decompress_record(5, s.data(), 2, out.data(), 100));
  for (Bytes cut : {Bytes{254, 'a'}, Bytes{253}, Bytes{250}, Bytes{'x', 251}}) {
    EXPECT_EQ(-1,
              decompress_record(5, cut.data(), static_cast<int32_t>(cut.size()), out.data(), 100));
  }
  Bytes zero_count = {254, 'a', 0, 253, 0, 'b'};
  EXPECT_EQ(1, decompress_record(5, zero_count.data(), 6, out.data(), 100));
  EXPECT_EQ('b', out[0]);
}

TEST(Compression, SlotSizes) {
  // The factor's rounding: records_test.
  EXPECT_EQ(100, slot_size(5, 100, 100, 70)) << "uncompressed: exactly L";
  EXPECT_EQ(1, slot_size(5, 10, 0, 100));
  EXPECT_EQ(6, slot_size(4, 10, 2, 100));
  EXPECT_EQ(4, slot_size(3, 10, 2, 100));
}

}  // namespace
}  // namespace kel::indexed
