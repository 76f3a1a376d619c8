// Version 2 files: header, key descriptions and record headers to the byte
// (this machine's order, little-endian), a random run against the
// reference model with the structural check, a damaged record mark.
// Damaged version 2 files are among the shapes of damaged_file_test.
#include <random>

#include "indexed/access_fixture.h"
#include "indexed/access_model.h"

namespace kel::test {
namespace {

class Version2 : public AccessTest {
 protected:
  void SetUp() override {
    AccessTest::SetUp();
    set_version(2);
  }
};

TEST_F(Version2, HeaderKeysAndRecordsToTheByte) {
  ASSERT_EQ(1, make("v2", "60,20,2", "1,0,8,0,1,1,4,8", "1,3,1,70,0", "old file"));
  DorvexFile *f = v5_open("v2", 2, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("002", info(f, -10));
  // 48 blanks compress to 254 ' ' 48 (15 stored bytes, a slot of
  // 60 - 45 x 70 / 100 = 29); a record holding the byte 254 is stored as
  // it is; the first record is deleted again.
  const std::string packed = "ABCD0001KEY1" + std::string(48, ' ');
  const std::string raw = "BBBB0002KEY2\xfe" + std::string(7, 'x');
  ASSERT_EQ(1, write(f, packed));
  ASSERT_EQ(1, write(f, raw));
  ASSERT_EQ(1, v5_delete(f, packed.data()));
  ASSERT_EQ(1, v5_close(f));
  const std::string b = read_file("v2");
  ASSERT_EQ(2560u, b.size());  // 3 preallocated nodes and two roots
  // Magic, version, node blocks, preallocation, extension, record sizes,
  // keys, compression, scrambling, longest key; records, deleted records,
  // nodes, free nodes, index bytes; file size, header area end, end of
  // data, first record, deleted head, free-node head, sequence counter,
  // header version, key description version, table block; failed reuses,
  // update openers, entry format, duplicate keys, broken code, update flag.
  EXPECT_EQ(
      "16 14 12 10 02 00 01 00 03 00 01 00 3c 00 14 00 02 46 00 08 01 00 00 00 01 00 00 00 "
      "02 00 00 00 30 00 00 00 00 0a 00 00 00 02 00 00 44 02 00 00 01 02 00 00 01 02 00 00 "
      "00 00 00 00 02 00 00 00 05 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 08 00 01 00 "
      "00 00 00 00 ",
      hex(b, 0, 88));
  EXPECT_EQ(std::string(56, '\0'), b.substr(88, 56));
  EXPECT_EQ(std::string("old file\0", 9), b.substr(245, 9));
  // Key descriptions from 288, 12 bytes: root, height, segments,
  // duplicates, length, zero, size, offset.
  EXPECT_EQ("00 06 00 00 01 01 00 08 00 08 00 00 00 08 00 00 01 01 01 04 00 04 08 00 ",
            hex(b, 288, 24));
  // The data node (mark 255) from 512: the deleted record (slot 29,
  // stored 15, sequence 0, mark 127, its chain link 0 over its first
  // bytes), then the other (slot and length 20, sequence 1, mark 0).
  EXPECT_EQ(
      "ff 1d 00 0f 00 00 00 00 00 7f 00 00 00 00 30 30 30 31 4b 45 59 31 fe 20 30 00 00 00 00 00 "
      "00 00 00 00 00 00 00 00 00 14 00 14 00 01 00 00 00 00 ",
      hex(b, 512, 48));
  EXPECT_EQ(raw, b.substr(560, 20));
  f = v5_open("v2", 0, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(raw, read(f, raw, 0));
  EXPECT_TRUE(sound(f));
  v5_close(f);
  // A record mark that is none of the three: a damaged record header.
  write_file("v2", b.substr(0, 559) + '\x05' + b.substr(560));
  f = v5_open("v2", 0, "0,0,0");
  EXPECT_TRUE(fails(read(f, raw, 0), E_BROKEN, 82));
  v5_close(f);
}

// Writes, deletes and keyed reads on a file with a collating table,
// compression and an alternate key with duplicates, against the model; a
// reopen half-way; every key walked and the structure checked at the end.
TEST_F(Version2, RandomRunAgainstTheModel) {
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  DorvexFile *f =
      make_open("model", 2, "100,20,3", "1,0,8,0,1,1,3,8,1,0,6,11", "1,1,1,70,0", 2, table.data());
  ASSERT_NE(nullptr, f) << error();
  FileModel model({{{{8, 0}}, false}, {{{3, 8}}, true}, {{{6, 11}}, false}}, table.data());
  std::mt19937 rng(2);
  for (int step = 0; step < 6000 && !HasFatalFailure(); ++step) {
    char head[24];
    snprintf(head, sizeof head, "%08u%c%c%c%06u", static_cast<unsigned>(rng() % 3000),
             "abcXYZ"[rng() % 6], "aA\xfe"[rng() % 3], ' ', static_cast<unsigned>(rng() % 99999));
    std::string r = head + std::string(3 + rng() % 80, "  x\xfe"[rng() % 4]);
    if (rng() % 10 < 6 || model.records().empty()) {
      FileModel::Outcome want = model.write(r);
      ASSERT_EQ(want.ok ? 1 : 0, write(f, r)) << step;
      ASSERT_EQ(want.code, error()) << step;
      continue;
    }
    auto it = model.records().begin();
    std::advance(it, static_cast<long>(rng() % model.records().size()));
    const std::string victim = it->second;
    ASSERT_EQ(model.read(0, victim).record, read(f, victim, 0)) << step;
    ASSERT_TRUE(model.remove(victim).ok);
    ASSERT_EQ(1, v5_delete(f, victim.data())) << step << " " << error();
    if (step > 3000 && model.records().size() % 500 == 0) {
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

}  // namespace
}  // namespace kel::test
