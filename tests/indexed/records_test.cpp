// Record storage: record headers of every version, compression and
// scrambling of the stored bytes, slot sizes, the deleted and set-aside
// chains, version 3 data nodes, and broken records.
#include "indexed/storage/records.h"

#include <map>
#include <random>

#include "indexed/dorvex_fixture.h"
#include "indexed/storage/storage.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;
using indexed::SegAddr;
using indexed::Slot;

class RecordsTest : public DorvexTest {
 protected:
  // Makes and opens r.dat for update, the header held for an update.
  DorvexFile *open_new(int version, const char *record, const char *keys,
                       const char *physical = nullptr) {
    return open_update("r.dat", version, record, keys, physical);
  }
  // Bytes of data segment 0 as on disk now.
  static std::string disk(DorvexFile *f, SegAddr at, uint32_t length) {
    std::string b(length, '\0');
    EXPECT_TRUE(indexed::data_read(f, at, reinterpret_cast<uint8_t *>(&b[0]), length));
    return b;
  }
  static SegAddr deleted_head(DorvexFile *f) {
    return indexed::hget_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg);
  }
  static SegAddr set_aside_head(DorvexFile *f) {
    return indexed::hget_addr(f, indexed::kSetAsideHeadOffset, indexed::kSetAsideHeadSeg);
  }
};

// --- record headers ---------------------------------------------------------------

TEST_F(RecordsTest, Version5HeadersAreAlways15Bytes) {
  DorvexFile *f = open_new(5, "100,1,1", "1,0,1,0");
  std::string r = "record number one!!!";
  SegAddr at = add(f, r, 7);
  EXPECT_EQ((SegAddr{512, 0}), at);
  // Slot, stored length, flags, sequence number (none without duplicates)
  // and two reserved bytes.
  std::string h;
  put(h, {{0, 4, 20}, {4, 4, 20}, {8, 1, 0}, {9, 4, 0}, {13, 2, 0}});
  EXPECT_EQ(h + r, disk(f, at, 35));
  EXPECT_EQ(547u, slot(f, indexed::kEndOfDataOffset));
  EXPECT_EQ(1u, slot(f, indexed::kRecordCount));
  finish(f);

  f = open_new(5, "100,1,1", "1,1,1,0");  // a key with duplicates
  at = add(f, r, 7);
  put(h, 9, 4, 7);
  EXPECT_EQ(h + r, disk(f, at, 35));
  uint32_t sequence = 0;
  EXPECT_EQ(r, read(f, at, &sequence));
  EXPECT_EQ(7u, sequence);
  finish(f);
}

TEST_F(RecordsTest, Version4And3HeadersCarryTheSequenceOnlyWithDuplicates) {
  std::string r(30, 'q');
  DorvexFile *f = open_new(4, "100,1,1", "1,0,1,0");
  SegAddr at = add(f, r, 9);
  EXPECT_EQ("00 1e 00 1e ", hex(disk(f, at, 4), 0, 4));
  EXPECT_EQ(r, disk(f, SegAddr{at.offset + 4, 0}, 30));
  finish(f);
  f = open_new(4, "100,1,1", "1,1,1,0", "1,1,1,70,0");
  at = add(f, std::string(60, ' '), 9);
  EXPECT_EQ("00 14 80 02 00 00 00 09 fd 3c ", hex(disk(f, at, 10), 0, 10))
      << "slot 60 - 58 x 70 / 100 = 20, compressed bit 15, sequence 9";
  finish(f);
  f = open_new(3, "100,1,1", "1,1,1,0");
  at = add(f, r, 9);
  EXPECT_EQ((SegAddr{513, 0}), at) << "one byte past the data node's mark";
  EXPECT_EQ("00 1e 00 1e 00 00 00 09 ", hex(disk(f, at, 8), 0, 8));
  EXPECT_EQ(255u, static_cast<uint8_t>(read_file("r.dat")[512])) << "a data node now";
  finish(f);
}

TEST_F(RecordsTest, CompressedRecordsGetTheirSlotByTheFactor) {
  // Factor 70: a 100-byte record stored in 40 bytes gets 100 - 60 x 70 /
  // 100 = 58 bytes.
  DorvexFile *f = open_new(5, "100,1,1", "1,0,1,0", "1,1,1,70,0");
  std::string r = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKL" + std::string(62, ' ');
  SegAddr at = add(f, r);
  std::string h = disk(f, at, 15 + 40);
  EXPECT_EQ(58u, get(h, 0, 4));
  EXPECT_EQ(40u, get(h, 4, 4));
  EXPECT_EQ(4u, get(h, 8, 1)) << "compressed";
  EXPECT_EQ(r.substr(0, 38) + "\xfd\x3e", h.substr(15));
  EXPECT_EQ(512u + 15 + 58, slot(f, indexed::kEndOfDataOffset));
  EXPECT_EQ(r, read(f, at));
  // 100 spaces stored in 2 bytes: 100 - 98 x 70 / 100 rounds up to 32.
  SegAddr spaces = add(f, std::string(100, ' '));
  EXPECT_EQ("00 00 00 20 00 00 00 02 04 ", hex(disk(f, spaces, 9), 0, 9));
  // Not shorter: stored as it is, no compressed flag, slot = length.
  std::string plain = "no runs in here";
  SegAddr p = add(f, plain);
  EXPECT_EQ("00 00 00 0f 00 00 00 0f 00 ", hex(disk(f, p, 9), 0, 9));
  finish(f);

  // A header factor of 1 means COMPRESS_FACTOR.
  cfg_set_tinyint("COMPRESS_FACTOR", 0, 50);
  f = open_new(5, "100,1,1", "1,0,1,0", "1,1,1,1,0");
  EXPECT_EQ(50, f->compress_factor);
  at = add(f, r);
  EXPECT_EQ(70u, get(disk(f, at, 4), 0, 4)) << "100 - 60 x 50 / 100";
  finish(f);
}

TEST_F(RecordsTest, ScramblingAddsSeedPlusSevenIAfterCompression) {
  DorvexFile *f = open_new(5, "100,1,1", "1,1,1,0", "1,1,1,0,1");
  std::string r = "scramble me";
  SegAddr at = add(f, r, 300);  // the seed wraps round a byte
  std::string stored = disk(f, SegAddr{at.offset + 15, 0}, static_cast<uint32_t>(r.size()));
  for (size_t i = 0; i < r.size(); ++i)
    EXPECT_EQ(static_cast<uint8_t>(r[i] + 300 + 7 * i), static_cast<uint8_t>(stored[i])) << i;
  EXPECT_EQ(r, read(f, at));
  finish(f);
  // Without duplicates the seed is 0, whatever sequence number is given.
  f = open_new(5, "100,1,1", "1,0,1,0", "1,1,1,0,1");
  at = add(f, r, 5);
  stored = disk(f, SegAddr{at.offset + 15, 0}, static_cast<uint32_t>(r.size()));
  EXPECT_EQ(static_cast<uint8_t>(r[3] + 21), static_cast<uint8_t>(stored[3]));
  finish(f);
}

// --- chains -----------------------------------------------------------------------

TEST_F(RecordsTest, DeletedSlotsAreReusedHeadFirst) {
  DorvexFile *f = open_new(5, "50,1,1", "1,0,1,0");
  SegAddr a = add(f, std::string(40, 'a'));
  SegAddr b = add(f, std::string(40, 'b'));
  SegAddr c = add(f, std::string(40, 'c'));
  ASSERT_TRUE(indexed::delete_record(f, b));
  std::string h = disk(f, b, 15);
  EXPECT_EQ("00 00 00 28 00 00 00 28 01 00 00 00 00 00 00 ", hex(h, 0, 15))
      << "flag 1, stored length kept, end of chain";
  ASSERT_TRUE(indexed::delete_record(f, a));
  EXPECT_EQ(static_cast<uint64_t>(b.offset), get(disk(f, a, 15), 9, 4)) << "a links to b";
  EXPECT_EQ(a, deleted_head(f));
  EXPECT_EQ(1u, slot(f, indexed::kRecordCount));
  EXPECT_EQ(2u, slot(f, indexed::kDeletedCount));
  EXPECT_EQ("<6,81>", read(f, a));
  EXPECT_TRUE(fails(indexed::delete_record(f, a), E_BROKEN, 81));
  // A shorter record takes the head's slot and keeps its size.
  SegAddr d = add(f, std::string(10, 'd'));
  EXPECT_EQ(a, d);
  EXPECT_EQ(40u, get(disk(f, d, 4), 0, 4));
  EXPECT_EQ(b, deleted_head(f));
  EXPECT_EQ(2u, slot(f, indexed::kRecordCount));
  EXPECT_EQ(1u, slot(f, indexed::kDeletedCount));
  EXPECT_EQ(std::string(10, 'd'), read(f, d));
  EXPECT_EQ(std::string(40, 'c'), read(f, c));
  ASSERT_TRUE(indexed::header_write(f));
  EXPECT_EQ("0000000001", info(f, -11));
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  finish(f);
}

TEST_F(RecordsTest, Version4DeletedRecordsKeepTheirLinkInTheDataArea) {
  DorvexFile *f = open_new(4, "50,1,1", "1,0,1,0");
  SegAddr a = add(f, std::string(40, 'a'));
  SegAddr b = add(f, std::string(40, 'b'));
  ASSERT_TRUE(indexed::delete_record(f, a));
  ASSERT_TRUE(indexed::delete_record(f, b));
  EXPECT_EQ("00 28 00 00 00 00 02 00 00 00 ", hex(disk(f, b, 10), 0, 10))
      << "stored length 0; next: offset 512, segment 0";
  SegAddr c = add(f, std::string(6, 'c'));
  EXPECT_EQ(b, c);
  EXPECT_EQ(a, deleted_head(f));
  // A 3-byte record (once a's slot is taken) still gets a slot that can
  // hold the link later.
  EXPECT_EQ(a, add(f, "xyz"));
  EXPECT_EQ(6u, get(disk(f, add(f, "uvw"), 2), 0, 2));
  finish(f);
}

// After 31 failed attempts to reuse the head, the 32nd takes it off the
// deleted chain: version 5 sets it aside, older versions drop it.
TEST_F(RecordsTest, AHeadThatNeverFitsIsSetAsideAfterThirtyOneFailures) {
  for (int version : {5, 4}) {
    SCOPED_TRACE(version);
    DorvexFile *f = open_new(version, "100,1,1", "1,0,1,0");
    SegAddr small = add(f, std::string(5, 's'));
    add(f, std::string(6, 't'));
    ASSERT_TRUE(indexed::delete_record(f, small));
    for (int i = 1; i <= 31; ++i) {
      add(f, std::string(50, 'x'));
      ASSERT_EQ(static_cast<uint64_t>(i), slot(f, indexed::kFailedReuses));
    }
    EXPECT_EQ(small, deleted_head(f));
    add(f, std::string(50, 'x'));
    EXPECT_EQ(0u, slot(f, indexed::kFailedReuses));
    EXPECT_EQ(indexed::kNullAddr, deleted_head(f));
    EXPECT_EQ(0u, slot(f, indexed::kDeletedCount));
    EXPECT_EQ(33u, slot(f, indexed::kRecordCount));
    ASSERT_TRUE(indexed::header_write(f));
    indexed::header_release(f);
    if (version == 5) {
      EXPECT_EQ(small, set_aside_head(f));
      EXPECT_EQ(1u, slot(f, indexed::kSetAsideCount));
      EXPECT_EQ(3u, get(disk(f, small, 9), 8, 1)) << "deleted and set aside";
      EXPECT_EQ("0000000001", info(f, -11));
    } else {
      EXPECT_EQ("0000000000", info(f, -11));
    }
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
    // A record that fits resets the count; one added in bulk never reuses.
    SegAddr d = add(f, std::string(60, 'd'));
    ASSERT_TRUE(indexed::delete_record(f, d));
    f->bulk_running = true;
    EXPECT_NE(d, add(f, std::string(10, 'e')));
    f->bulk_running = false;
    EXPECT_EQ(d, add(f, std::string(10, 'e')));
    finish(f);
  }
}

// --- the model --------------------------------------------------------------------

std::string random_record(std::mt19937 &rng, uint32_t min, uint32_t max) {
  std::uniform_int_distribution<uint32_t> length(min, max);
  std::string r(length(rng), '\0');
  const char fills[] = {' ', '0', '\0', 'x', static_cast<char>(250), static_cast<char>(254)};
  for (size_t i = 0; i < r.size();) {
    size_t run = std::min<size_t>(r.size() - i, rng() % 8 == 0 ? rng() % 200 : 1);
    char c = rng() % 2 ? fills[rng() % 6] : static_cast<char>(rng());
    for (size_t k = 0; k < std::max<size_t>(run, 1); ++k) r[i++] = c;
  }
  return r;
}

// Length of a chain from its head slots, following the record headers.
int chain_length(DorvexFile *f, Slot offset, Slot segment) {
  int n = 0;
  for (SegAddr at = indexed::hget_addr(f, offset, segment); at != indexed::kNullAddr; ++n) {
    indexed::RecordHeader h;
    if (!indexed::read_record_header(f, at, &h) || !h.deleted || n > 100000) return -1;
    at = h.next;
  }
  return n;
}

struct AddrLess {
  bool operator()(const SegAddr &a, const SegAddr &b) const {
    return a.segment != b.segment ? a.segment < b.segment : a.offset < b.offset;
  }
};

// Adds, deletes and rewrites at random against a map of what must be
// there, in every version, with and without compression, scrambling and
// duplicates, across segments.
TEST_F(RecordsTest, RandomOperationsMatchAModel) {
  struct Variant {
    int version;
    const char *physical;
    const char *keys;
  };
  const Variant variants[] = {
      {5, "1,1,3,70,1", "1,1,4,0"}, {5, "2,1,1,0,0", "1,0,4,0"},  {4, "1,1,2,100,1", "1,1,4,0"},
      {4, "1,1,1,0,0", "1,0,4,0"},  {3, "1,1,2,70,1", "1,1,4,0"}, {3, "2,2,1,0,0", "1,0,4,0"},
  };
  cfg_set_long("V_SEG_SIZE", 0, 1);
  std::mt19937 rng(20240611);
  for (const Variant &v : variants) {
    SCOPED_TRACE(std::string("version ") + std::to_string(v.version) + " " + v.physical);
    DorvexFile *f = open_new(v.version, "1200,4,1", v.keys, v.physical);
    ASSERT_NE(nullptr, f);
    std::map<SegAddr, std::pair<std::string, uint32_t>, AddrLess> model;
    uint32_t sequence = 0;
    for (int step = 0; step < 4000; ++step) {
      int op = static_cast<int>(rng() % 10);
      if (op < 5 || model.size() < 3) {
        std::string r = random_record(rng, 4, 1200);
        SegAddr at = add(f, r, ++sequence);
        ASSERT_EQ(0u, model.count(at)) << "a live slot was handed out again";
        model[at] = {r, sequence};
      } else {
        auto it = model.begin();
        std::advance(it, rng() % model.size());
        if (op < 8) {
          ASSERT_TRUE(indexed::delete_record(f, it->first)) << error() << "/" << secondary();
          model.erase(it);
        } else {
          std::string r = random_record(rng, 4, 1200);
          SegAddr moved;
          ASSERT_TRUE(indexed::rewrite_record(f, it->first,
                                              reinterpret_cast<const uint8_t *>(r.data()),
                                              static_cast<uint32_t>(r.size()), &moved));
          uint32_t seq = it->second.second;
          if (!(moved == it->first)) model.erase(it);
          model[moved] = {r, seq};
        }
      }
      if (step % 100 == 99) {
        ASSERT_TRUE(indexed::header_write(f));
        for (const auto &[at, content] : model) {
          uint32_t seq = 0;
          ASSERT_EQ(content.first, read(f, at, &seq)) << at.offset << "/" << at.segment;
          if (f->duplicates) {
            ASSERT_EQ(content.second, seq);
          }
        }
        ASSERT_EQ(model.size(), slot(f, indexed::kRecordCount));
        ASSERT_EQ(static_cast<int>(slot(f, indexed::kDeletedCount)),
                  chain_length(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg));
        ASSERT_EQ(static_cast<int>(slot(f, indexed::kSetAsideCount)),
                  chain_length(f, indexed::kSetAsideHeadOffset, indexed::kSetAsideHeadSeg));
      }
    }
    if (v.version >= 4) {
      EXPECT_GE(f->data.count, 2) << "the model crossed into segment 1";
    }
    finish(f);
    f = dorvex_open("r.dat", 0);
    ASSERT_NE(nullptr, f);
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kLocked));
    for (const auto &[at, content] : model) ASSERT_EQ(content.first, read(f, at));
    indexed::header_release(f);
    EXPECT_EQ(model.size(), std::stoul(info(f, -4)));
    dorvex_close(f);
  }
}

// --- version 3 data nodes ---------------------------------------------------------

TEST_F(RecordsTest, Version3RecordsRunAcrossLinkedDataNodes) {
  DorvexFile *f = open_new(3, "300,1,1", "1,0,1,0", "1,3,1,0,0");
  std::string r1(300, '1'), r2(300, '2');
  SegAddr a = add(f, r1);
  SegAddr b = add(f, r2);
  EXPECT_EQ((SegAddr{513, 0}), a);
  EXPECT_EQ((SegAddr{817, 0}), b);
  std::string file = read_file("r.dat");
  EXPECT_EQ("00 00 04 00 ff ", hex(file, 1020, 5)) << "link to the next node, now a data node";
  EXPECT_EQ(std::string(1020 - 821, '2'), file.substr(821, 1020 - 821));
  EXPECT_EQ(std::string(300 - 199, '2'), file.substr(1025, 101));
  EXPECT_EQ(r2, read(f, b));
  // An index node takes the end of the file; the data then runs into the
  // free node after its own and, past that, to a new node at the end.
  SegAddr node;
  ASSERT_TRUE(indexed::node_allocate(f, &node));
  EXPECT_EQ((SegAddr{1536, 0}), node);
  std::vector<SegAddr> more;
  for (int i = 0; i < 4; ++i) more.push_back(add(f, std::string(300, static_cast<char>('a' + i))));
  file = read_file("r.dat");
  EXPECT_EQ(2048u, get(file, 1024 + 508, 4)) << "past the index node at 1536";
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(std::string(300, static_cast<char>('a' + i)), read(f, more[i]));
  EXPECT_EQ(r1, read(f, a));
  // Addresses on a node's mark or link are broken.
  EXPECT_EQ("<6,31>", read(f, SegAddr{1020, 0}));
  EXPECT_EQ("<6,31>", read(f, SegAddr{1024, 0}));
  finish(f);
}

// --- broken records ---------------------------------------------------------------

TEST_F(RecordsTest, DamagedRecordsAreBrokenWithTheirCodes) {
  DorvexFile *f = open_new(5, "100,1,1", "1,0,1,0", "1,1,1,70,0");
  SegAddr a = add(f, std::string(100, 'z'));
  SegAddr b = add(f, std::string(50, 'y'));
  // The compressed form of a record longer than the maximum.
  const uint8_t overlong[] = {254, 'z', 127};
  ASSERT_TRUE(indexed::data_write(f, SegAddr{a.offset + 15, 0}, overlong, 3));
  EXPECT_EQ("<6,85>", read(f, a));
  // A stored length beyond the slot.
  uint8_t length[4] = {0, 0, 0, 99};
  ASSERT_TRUE(indexed::data_write(f, SegAddr{b.offset + 4, 0}, length, 4));
  EXPECT_EQ("<6,82>", read(f, b));
  // A deleted-chain head that is no deleted record.
  SegAddr c = add(f, std::string(30, 'x'));
  indexed::hset_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg, c);
  SegAddr at;
  EXPECT_TRUE(fails(indexed::add_record(f, reinterpret_cast<const uint8_t *>("abc"), 3, 0, &at),
                    E_BROKEN, 13));
  // A record in a data segment the file does not have.
  EXPECT_EQ("<6,68>", read(f, SegAddr{512, 3}));
  EXPECT_STREQ("r.d03", fs_missing_file_name());
  indexed::header_release(f);
  dorvex_close(f);
}

TEST_F(RecordsTest, AFullDiskLosesNoRecordWrittenBefore) {
  DorvexFile *f = open_new(5, "1000,1,1", "1,0,1,0", "1,1,4,0,0");
  indexed::header_release(f);
  std::vector<std::pair<SegAddr, std::string>> written;
  {
    FileSizeLimit full(60000);
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
      std::string r(1000, static_cast<char>('A' + i % 26));
      SegAddr at;
      bool ok = indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at);
      if (!ok) {
        EXPECT_TRUE(error() == E_DISK_FULL || error() == E_SYSERR) << error();
        indexed::header_release(f);
        break;
      }
      ASSERT_TRUE(indexed::header_write(f));
      indexed::header_release(f);
      written.emplace_back(at, r);
    }
  }
  EXPECT_GT(written.size(), 40u);
  EXPECT_LT(written.size(), 60u);
  EXPECT_EQ(1, dorvex_close(f));
  f = dorvex_open("r.dat", 0);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(std::to_string(written.size()), std::to_string(std::stoul(info(f, -4))));
  for (const auto &[at, r] : written) EXPECT_EQ(r, read(f, at));
  dorvex_close(f);
}

}  // namespace
}  // namespace kel::test
