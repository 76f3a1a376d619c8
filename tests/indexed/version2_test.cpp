// Version 2 files: the header, key descriptions and record headers to the
// byte (in this machine's order, little-endian), a random run of writes,
// deletes and reads against the reference model with the structural check,
// and what the version cannot hold or a damaged file holds.
#include <random>

#include "indexed/access_fixture.h"
#include "indexed/access_model.h"

namespace kel::test {
namespace {

// Little-endian fields at literal offsets.
uint64_t le(const std::string &bytes, size_t offset, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i)
    v = (v << 8) | static_cast<uint8_t>(bytes.at(offset + static_cast<size_t>(i)));
  return v;
}

::testing::AssertionResult has_le(const std::string &bytes, std::initializer_list<Field> fields) {
  for (const Field &f : fields)
    if (le(bytes, f.offset, f.width) != f.value)
      return ::testing::AssertionFailure()
             << "at " << f.offset << ": " << le(bytes, f.offset, f.width) << ", not " << f.value;
  return ::testing::AssertionSuccess();
}

class Version2 : public AccessTest {
 protected:
  void SetUp() override {
    AccessTest::SetUp();
    set_version(2);
  }
};

TEST_F(Version2, HeaderKeysAndRecordsToTheByte) {
  ASSERT_EQ(1, make("v2", "60,20,2", "1,0,8,0,1,1,4,8", "1,3,1,70,0", "old file"));
  std::string b = read_file("v2");
  ASSERT_EQ(1536u, b.size());
  EXPECT_EQ(std::string("\x16\x14\x12\x10\x02\x00", 6), b.substr(0, 6));
  // Sizes and counts, then positions: one header block, records from 513.
  EXPECT_TRUE(has_le(b, {{6, 2, 1},
                         {8, 2, 3},
                         {10, 2, 1},
                         {12, 2, 60},
                         {14, 2, 20},
                         {16, 1, 2},
                         {17, 1, 70},
                         {18, 1, 0},
                         {19, 1, 8},
                         {20, 4, 0},
                         {36, 4, 1536},
                         {40, 4, 512},
                         {44, 4, 513},
                         {48, 4, 513},
                         {52, 4, 0},
                         {56, 4, 0},
                         {80, 2, 8},
                         {82, 2, 1},
                         {84, 2, 0}}));
  EXPECT_EQ(std::string(56, '\0'), b.substr(88, 56));
  EXPECT_EQ(std::string("old file\0", 9), b.substr(245, 9));
  // Key descriptions of 12 bytes from 288: root, height, segments,
  // duplicates, length, zero, size, offset.
  EXPECT_EQ("00 00 00 00 00 01 00 08 00 08 00 00 00 00 00 00 00 01 01 04 00 04 08 00 ",
            hex(b, 288, 24));
  EXPECT_EQ(std::string(1, '\x05'), b.substr(1024, 1));  // a node not in use

  DorvexFile *f = v5_open("v2", 2, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("002", info(f, -10));
  // 48 spaces compress to 254 ' ' 48: 15 stored bytes in a slot of
  // 60 - 45 x 70 / 100 = 29. A record holding the byte 254 is stored as
  // it is.
  const std::string packed = "ABCD0001KEY1" + std::string(48, ' ');
  const std::string raw = "BBBB0002KEY2\xfe" + std::string(7, 'x');
  ASSERT_EQ(1, write(f, packed));
  ASSERT_EQ(1, write(f, raw));
  ASSERT_EQ(1, v5_delete(f, packed.data()));
  ASSERT_EQ(1, v5_close(f));
  b = read_file("v2");
  EXPECT_EQ(0xFF, static_cast<uint8_t>(b[512]));  // the data node's mark
  // Header of 9 bytes (a key allows duplicates): slot, stored length,
  // sequence number, mark. The deleted record keeps its length, gets mark
  // 127 and the chain link (none: 0) at the start of its data area.
  EXPECT_TRUE(has_le(b, {{513, 2, 29}, {515, 2, 15}, {522, 4, 0}, {551, 2, 20}, {553, 2, 20}}));
  EXPECT_EQ(127, b[521]);
  EXPECT_EQ(0, b[559]);
  EXPECT_EQ(raw, b.substr(560, 20));
  EXPECT_EQ(std::string("KEY1\xfe \x30", 7), b.substr(530, 7));
  EXPECT_TRUE(has_le(b, {{20, 4, 1}, {24, 4, 1}, {52, 4, 513}, {44, 4, 580}}));
  f = v5_open("v2", 0, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(raw, read(f, raw, 0));
  EXPECT_TRUE(sound(f));
  v5_close(f);
}

// Random writes, deletes and keyed reads on a file with a collating table,
// compression and an alternate key with duplicates, checked against the
// model; every key walked in order and the structure checked at the end.
TEST_F(Version2, RandomRunAgainstTheModel) {
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  const std::vector<KeySpec> keys = {{{{8, 0}}, false}, {{{3, 8}}, true}, {{{6, 11}}, false}};
  DorvexFile *f =
      make_open("model", 2, "100,20,3", "1,0,8,0,1,1,3,8,1,0,6,11", "1,1,1,70,0", 2, table.data());
  ASSERT_NE(nullptr, f) << error();
  FileModel model(keys, table.data());
  std::mt19937 rng(2);
  auto record = [&] {
    std::string r(20 + rng() % 81, ' ');
    for (size_t i = 0; i < r.size(); ++i)
      if (rng() % 3) r[i] = static_cast<char>("abcXYZ \xfe"[rng() % 8]);
    snprintf(&r[0], 9, "%08u", static_cast<unsigned>(rng() % 3000));
    r[8] = static_cast<char>('a' + rng() % 6);
    snprintf(&r[11], 7, "%06u", static_cast<unsigned>(rng() % 100000));
    r[17] = ' ';
    return r;
  };
  for (int step = 0; step < 6000 && !HasFatalFailure(); ++step) {
    std::string r = record();
    const unsigned what = rng() % 10;
    if (what < 6 || model.records().empty()) {
      FileModel::Outcome want = model.write(r);
      ASSERT_EQ(want.ok ? 1 : 0, write(f, r)) << step;
      ASSERT_EQ(want.code, error()) << step;
    } else {
      auto it = model.records().begin();
      std::advance(it, static_cast<long>(rng() % model.records().size()));
      const std::string victim = it->second;
      if (what < 9) {
        ASSERT_TRUE(model.remove(victim).ok);
        ASSERT_EQ(1, v5_delete(f, victim.data())) << step << " " << error();
      } else {
        ASSERT_EQ(model.read(0, victim).record, read(f, victim, 0)) << step;
      }
    }
    if (step == 3000) {
      ASSERT_TRUE(sound(f));
      ASSERT_EQ(1, v5_close(f));
      f = v5_open("model", 2, "0,0,0");
      ASSERT_NE(nullptr, f);
      model.reopen();
    }
  }
  EXPECT_GE(f->keys[0].height, 2);
  ASSERT_TRUE(sound(f));
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(1, start(f, std::string(100, '\0'), k, 0, 1)) << k;
    std::vector<std::string> got;
    for (std::string r; !(r = next(f)).empty();) got.push_back(r);
    EXPECT_TRUE(got == model.in_order(k)) << "key " << k;
  }
  ASSERT_EQ(1, v5_close(f));
}

TEST_F(Version2, WhatTheVersionCannotHoldOrADamagedFileHolds) {
  // 16 keys, a key of two segments, a key of 126 bytes.
  std::string sixteen = "1,0,1,0";
  for (int k = 1; k < 16; ++k) sixteen += ",1,1,1," + std::to_string(k);
  EXPECT_TRUE(fails(make("x", "40,0,16", sixteen.c_str()), E_UNSUPPORTED));
  EXPECT_TRUE(fails(make("x", "40,0,1", "2,0,4,0,4,4"), E_UNSUPPORTED));
  EXPECT_TRUE(fails(make("x", "200,0,1", "1,0,126,0", "2,1,1,0,0"), E_UNSUPPORTED));
  EXPECT_TRUE(fails(make("x", "40000,0,1", "1,0,8,0"), E_PARAM));

  ASSERT_EQ(1, make("d", "20,0,1", "1,0,8,0"));
  DorvexFile *f = v5_open("d", 2, "0,0,0");
  ASSERT_NE(nullptr, f);
  const std::string r = "KEY00001" + std::string(12, '-');
  ASSERT_EQ(1, write(f, r));
  ASSERT_EQ(1, v5_close(f));
  std::string good = read_file("d");
  std::string bad = good;
  bad[517] = 5;  // a record mark that is none of 0, "~" and 127
  write_file("d", bad);
  f = v5_open("d", 0, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(fails(read(f, r, 0), E_BROKEN, 82));
  v5_close(f);
  bad = good;
  bad[16] = 16;  // more keys than version 2 has
  write_file("d", bad);
  EXPECT_TRUE(fails(v5_open("d", 0, "0,0,0"), E_BROKEN, 1));
}

}  // namespace
}  // namespace kel::test
