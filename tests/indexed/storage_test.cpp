// The storage layer: record headers of every version, compression slots
// and scrambling against bytes built by hand, the deleted and set-aside
// chains, version 3 data nodes, a random run of additions, deletions and
// rewrites against a map of what must be there, the one read of a record,
// node blocks from the end and from the free list, the header counters and
// key roots. (Damaged records and nodes: the fuzz target of the engine;
// a full disk: access_test.)
#include <unistd.h>

#include <map>

#include "cache/cache.h"
#include "common/random_driver.h"
#include "indexed/engine_fixture.h"
#include "indexed/storage/storage.h"
#include "support/be.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

// One key of one byte at 0 (duplicates when asked): the records' keys do
// not matter to the storage layer.
FileShape one_key(int version, uint32_t max, bool dups, const char *physical = nullptr) {
  return FileShape{version, physical, max, 1, {{{{1, 0}}, dups}}};
}

class StorageTest : public EngineTest {
 protected:
  // Bytes of the data segment at `at`, as on disk now.
  static std::string disk(DorvexFile *f, SegAddr at, uint32_t length) {
    std::string b(length, '\0');
    EXPECT_TRUE(indexed::data_read(f, at, reinterpret_cast<uint8_t *>(&b[0]), length));
    return b;
  }
  static SegAddr head(DorvexFile *f, bool set_aside = false) {
    return set_aside
               ? indexed::hget_addr(f, indexed::kSetAsideHeadOffset, indexed::kSetAsideHeadSeg)
               : indexed::hget_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg);
  }
  static SegAddr allocate(DorvexFile *f) {
    SegAddr at{-1, 0};
    EXPECT_TRUE(indexed::node_allocate(f, &at)) << codes();
    return at;
  }
};

TEST_F(StorageTest, RecordHeadersOfEveryVersion) {
  // Version 5: slot, stored length, flags, sequence number (only with
  // duplicates), two reserved bytes.
  std::string r = "record number one!!!";
  for (bool dups : {false, true}) {
    DorvexFile *f = open_update(one_key(5, 100, dups));
    SegAddr at = add(f, r, 7);
    EXPECT_EQ((SegAddr{512, 0}), at);
    std::string h;
    put(h, {{0, 4, 20}, {4, 4, 20}, {8, 1, 0}, {9, 4, dups ? 7u : 0u}, {13, 2, 0}});
    EXPECT_EQ(h + r, disk(f, at, 35));
    EXPECT_EQ(547u, slot(f, indexed::kEndOfDataOffset));
    EXPECT_EQ(1u, slot(f, indexed::kRecordCount));
    uint32_t sequence = 0;
    EXPECT_EQ(r, read_at(f, at, &sequence));
    EXPECT_EQ(dups ? 7u : 0u, sequence);
    finish(f);
  }
  // Versions 4 and 3: slot and stored length of two bytes, the compressed
  // bit 15 of the length, the sequence number only with duplicates; version
  // 3 records start one byte past the data node's mark, 255.
  std::string q(30, 'q');
  DorvexFile *f = open_update(one_key(4, 100, false));
  EXPECT_EQ("00 1e 00 1e " + hex(q, 0, 30), hex(disk(f, add(f, q, 9), 34), 0, 34));
  finish(f);
  f = open_update(one_key(4, 100, true, "1,1,1,70,0"));
  EXPECT_EQ("00 14 80 02 00 00 00 09 fd 3c ",
            hex(disk(f, add(f, std::string(60, ' '), 9), 10), 0, 10))
      << "slot 60 - 58 x 70 / 100 = 20";
  finish(f);
  f = open_update(one_key(3, 100, true));
  SegAddr at = add(f, q, 9);
  EXPECT_EQ((SegAddr{513, 0}), at);
  EXPECT_EQ("00 1e 00 1e 00 00 00 09 ", hex(disk(f, at, 8), 0, 8));
  EXPECT_EQ(255u, static_cast<uint8_t>(read_file("f.dat")[512]));
  finish(f);
}

TEST_F(StorageTest, CompressionSlotsAndScrambling) {
  // Factor 70: a 100-byte record stored in 40 bytes gets 100 - 60 x 70 /
  // 100 = 58 bytes; 100 spaces stored in 2 get 32 (rounded up); a record
  // that does not shrink is stored as it is, its slot its length.
  DorvexFile *f = open_update(one_key(5, 100, false, "1,1,1,70,0"));
  std::string r = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKL" + std::string(62, ' ');
  SegAddr at = add(f, r);
  EXPECT_EQ("00 00 00 3a 00 00 00 28 04 ", hex(disk(f, at, 9), 0, 9));
  EXPECT_EQ(r.substr(0, 38) + "\xfd\x3e", disk(f, at, 15 + 40).substr(15));
  EXPECT_EQ(512u + 15 + 58, slot(f, indexed::kEndOfDataOffset));
  EXPECT_EQ(r, read_at(f, at));
  EXPECT_EQ("00 00 00 20 00 00 00 02 04 ", hex(disk(f, add(f, std::string(100, ' ')), 9), 0, 9));
  EXPECT_EQ("00 00 00 0f 00 00 00 0f 00 ", hex(disk(f, add(f, "no runs in here"), 9), 0, 9));
  finish(f);
  // A header factor of 1 means COMPRESS_FACTOR.
  cfg_set_tinyint("COMPRESS_FACTOR", 0, 50);
  f = open_update(one_key(5, 100, false, "1,1,1,1,0"));
  EXPECT_EQ(50, f->compress_factor);
  EXPECT_EQ(70u, get(disk(f, add(f, r), 4), 0, 4)) << "100 - 60 x 50 / 100";
  finish(f);
  // Scrambling adds the seed (the sequence number, 0 without duplicates)
  // plus 7 i to byte i after compression.
  for (bool dups : {true, false}) {
    f = open_update(one_key(5, 100, dups, "1,1,1,0,1"));
    std::string s = "scramble me";
    at = add(f, s, 300);  // the seed wraps round a byte
    std::string stored = disk(f, SegAddr{at.offset + 15, 0}, static_cast<uint32_t>(s.size()));
    for (size_t i = 0; i < s.size(); ++i)
      EXPECT_EQ(static_cast<uint8_t>(s[i] + (dups ? 300 : 0) + 7 * i),
                static_cast<uint8_t>(stored[i]));
    EXPECT_EQ(s, read_at(f, at));
    finish(f);
  }
}

TEST_F(StorageTest, DeletedSlotsAreReusedAndHeadsThatNeverFitGoAside) {
  DorvexFile *f = open_update(one_key(5, 50, false));
  SegAddr a = add(f, std::string(40, 'a')), b = add(f, std::string(40, 'b'));
  SegAddr c = add(f, std::string(40, 'c'));
  ASSERT_TRUE(indexed::delete_record(f, b));
  EXPECT_EQ("00 00 00 28 00 00 00 28 01 00 00 00 00 00 00 ", hex(disk(f, b, 15), 0, 15))
      << "flag 1, stored length kept, end of chain";
  ASSERT_TRUE(indexed::delete_record(f, a));
  EXPECT_EQ(static_cast<uint64_t>(b.offset), get(disk(f, a, 15), 9, 4)) << "a links to b";
  EXPECT_EQ(a, head(f));
  EXPECT_EQ(2u, slot(f, indexed::kDeletedCount));
  EXPECT_EQ("<6,81>", read_at(f, a));
  EXPECT_TRUE(fails(indexed::delete_record(f, a), E_BROKEN, 81));
  // A shorter record takes the head's slot and keeps its size.
  EXPECT_EQ(a, add(f, std::string(10, 'd')));
  EXPECT_EQ(40u, get(disk(f, a, 4), 0, 4));
  EXPECT_EQ(b, head(f));
  EXPECT_EQ(1u, slot(f, indexed::kDeletedCount));
  EXPECT_EQ(std::string(40, 'c'), read_at(f, c));
  finish(f);
  // Version 4 keeps the link in the data area: stored length 0, then the
  // next record's offset and segment; a 3-byte record gets a slot that can
  // hold the link later.
  f = open_update(one_key(4, 50, false));
  a = add(f, std::string(40, 'a'));
  b = add(f, std::string(40, 'b'));
  ASSERT_TRUE(indexed::delete_record(f, a));
  ASSERT_TRUE(indexed::delete_record(f, b));
  EXPECT_EQ("00 28 00 00 00 00 02 00 00 00 ", hex(disk(f, b, 10), 0, 10));
  EXPECT_EQ(b, add(f, std::string(6, 'c')));
  EXPECT_EQ(a, add(f, "xyz"));
  EXPECT_EQ(6u, get(disk(f, add(f, "uvw"), 2), 0, 2));
  finish(f);
  // After 31 failed attempts to reuse the head, the 32nd takes it off the
  // deleted chain: version 5 sets it aside, older versions drop it. A
  // record that fits resets the count; one added in bulk never reuses.
  for (int version : {5, 4}) {
    f = open_update(one_key(version, 100, false));
    SegAddr small = add(f, std::string(5, 's'));
    add(f, std::string(6, 't'));
    ASSERT_TRUE(indexed::delete_record(f, small));
    for (int i = 1; i <= 31; ++i) {
      add(f, std::string(50, 'x'));
      ASSERT_EQ(static_cast<uint64_t>(i), slot(f, indexed::kFailedReuses));
    }
    EXPECT_EQ(small, head(f));
    add(f, std::string(50, 'x'));
    EXPECT_EQ(0u, slot(f, indexed::kFailedReuses));
    EXPECT_EQ(indexed::kNullAddr, head(f));
    EXPECT_EQ(0u, slot(f, indexed::kDeletedCount));
    EXPECT_EQ(33u, slot(f, indexed::kRecordCount));
    ASSERT_TRUE(indexed::header_write(f));
    EXPECT_EQ(version == 5 ? "0000000001" : "0000000000", info(f, -11));
    if (version == 5) {
      EXPECT_EQ(small, head(f, true));
      EXPECT_EQ(1u, slot(f, indexed::kSetAsideCount));
      EXPECT_EQ(3u, get(disk(f, small, 9), 8, 1)) << "deleted and set aside";
    }
    SegAddr d = add(f, std::string(60, 'd'));
    ASSERT_TRUE(indexed::delete_record(f, d));
    f->bulk_running = true;
    EXPECT_NE(d, add(f, std::string(10, 'e')));
    f->bulk_running = false;
    EXPECT_EQ(d, add(f, std::string(10, 'e')));
    finish(f);
  }
}

// Additions, deletions and rewrites at random against a map of what must
// be where, in every version, with and without compression, scrambling
// and duplicates, across segments: every 100 steps every record reads back
// with its sequence number and the counts match the chains.
TEST_F(StorageTest, RandomOperationsMatchAModel) {
  struct Variant {
    int version;
    const char *physical;
    bool dups;
  };
  const Variant variants[] = {{5, "1,1,3,70,1", true},  {5, "2,1,1,0,0", false},
                              {4, "1,1,2,100,1", true}, {4, "1,1,1,0,0", false},
                              {3, "1,1,2,70,1", true},  {3, "2,2,1,0,0", false}};
  cfg_set_long("V_SEG_SIZE", 0, 1);
  auto less = [](SegAddr a, SegAddr b) {
    return a.segment != b.segment ? a.segment < b.segment : a.offset < b.offset;
  };
  for (const Variant &v : variants) {
    SCOPED_TRACE(std::to_string(v.version) + " " + v.physical);
    FileShape shape = one_key(v.version, 1200, v.dups, v.physical);
    shape.min_record = 4;
    RandomRun run(20240611, 4000);
    RecordGen gen(shape, {});
    DorvexFile *f = open_update(shape);
    ASSERT_NE(nullptr, f);
    std::map<SegAddr, std::pair<std::string, uint32_t>, decltype(less)> model(less);
    uint32_t sequence = 0;
    auto any = [&] { return std::next(model.begin(), static_cast<long>(run.below(model.size()))); };
    auto add_one = [&] {
      std::string r = gen.random(run.rng());
      SegAddr at = add(f, r, ++sequence);
      ASSERT_EQ(0u, model.count(at)) << "a live slot was handed out again";
      model[at] = {r, sequence};
    };
    auto delete_one = [&] {
      if (model.size() < 3) return add_one();
      auto it = any();
      ASSERT_TRUE(indexed::delete_record(f, it->first)) << codes();
      model.erase(it);
    };
    auto rewrite_one = [&] {
      if (model.size() < 3) return add_one();
      auto it = any();
      std::string r = gen.random(run.rng());
      SegAddr moved;
      ASSERT_TRUE(indexed::rewrite_record(f, it->first, reinterpret_cast<const uint8_t *>(r.data()),
                                          static_cast<uint32_t>(r.size()), &moved));
      uint32_t seq = it->second.second;
      if (!(moved == it->first)) model.erase(it);
      model[moved] = {r, seq};
    };
    // The length of a chain from its head slots, following the headers.
    auto chain = [&](bool set_aside) {
      int n = 0;
      for (SegAddr at = head(f, set_aside); at != indexed::kNullAddr; ++n) {
        indexed::RecordHeader h;
        if (!indexed::read_record_header(f, at, &h) || !h.deleted || n > 100000) return -1;
        at = h.next;
      }
      return n;
    };
    auto check = [&] {
      ASSERT_TRUE(indexed::header_write(f));
      for (const auto &[at, content] : model) {
        uint32_t seq = 0;
        ASSERT_EQ(content.first, read_at(f, at, &seq)) << at.offset << "/" << at.segment;
        ASSERT_EQ(v.dups ? content.second : 0u, seq);
      }
      ASSERT_EQ(model.size(), slot(f, indexed::kRecordCount));
      ASSERT_EQ(static_cast<int>(slot(f, indexed::kDeletedCount)), chain(false));
      ASSERT_EQ(static_cast<int>(slot(f, indexed::kSetAsideCount)), chain(true));
    };
    ASSERT_TRUE(
        run.run({{"add", 5, add_one}, {"delete", 3, delete_one}, {"rewrite", 2, rewrite_one}},
                run.operations(), check, 100));
    if (v.version >= 4) {
      EXPECT_GE(f->data.count, 2) << "the run crossed into segment 1";
    }
    finish(f);
    f = dorvex_open("f.dat", KEL_OPEN_INPUT);
    ASSERT_NE(nullptr, f);
    ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kLocked));
    for (const auto &[at, content] : model) ASSERT_EQ(content.first, read_at(f, at));
    indexed::header_release(f);
    EXPECT_EQ(model.size(), std::stoul(info(f, -4)));
    dorvex_close(f);
  }
}

// Version 3 keeps records and nodes in one file: a record runs on across
// linked data nodes (each ends in a 4-byte link and starts with the mark
// 255); an index node takes the end of the file, and the data then runs
// into the free node after its own and, past that, to a new node.
TEST_F(StorageTest, Version3RecordsRunAcrossLinkedDataNodes) {
  DorvexFile *f = open_update(one_key(3, 300, false, "1,3,1,0,0"));
  std::string r1(300, '1'), r2(300, '2');
  SegAddr a = add(f, r1), b = add(f, r2);
  EXPECT_EQ((SegAddr{513, 0}), a);
  EXPECT_EQ((SegAddr{817, 0}), b);
  std::string file = read_file("f.dat");
  EXPECT_EQ("00 00 04 00 ff ", hex(file, 1020, 5));
  EXPECT_EQ(std::string(199, '2') + file.substr(1020, 5) + std::string(101, '2'),
            file.substr(821, 305));
  EXPECT_EQ(r2, read_at(f, b));
  EXPECT_EQ((SegAddr{1536, 0}), allocate(f));
  std::vector<SegAddr> more;
  for (int i = 0; i < 4; ++i) more.push_back(add(f, std::string(300, static_cast<char>('a' + i))));
  EXPECT_EQ(2048u, get(read_file("f.dat"), 1024 + 508, 4)) << "past the index node at 1536";
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(std::string(300, static_cast<char>('a' + i)), read_at(f, more[i]));
  EXPECT_EQ(r1, read_at(f, a));
  EXPECT_EQ("<6,31>", read_at(f, SegAddr{1020, 0})) << "on a node's link";
  EXPECT_EQ("<6,31>", read_at(f, SegAddr{1024, 0})) << "on a node's mark";
  finish(f);
}

// A segment that bypasses the pool gives the record header and the stored
// form in one pread where they fit the one read of 1024 bytes, in two
// otherwise; through the pool (a deferred open) records read the same.
// The one read may run past the segment's end: short, no error, while
// header and stored form arrived; a segment that ends inside them is
// broken (9), as one ending inside a version 4 deleted record's link; a
// deleted record whose bytes are all there is 81.
TEST_F(StorageTest, OneReadOfARecordAndSegmentsThatEndInsideIt) {
  std::mt19937 rng(7);
  for (auto [version, physical, dups] : {std::tuple{5, "1,1,1,0,0", false},
                                         {5, "1,1,1,70,1", true},
                                         {4, "1,1,1,0,0", true},
                                         {4, "1,1,1,100,1", false}}) {
    SCOPED_TRACE(physical);
    FileShape shape = one_key(version, 1500, dups, physical);
    shape.min_record = 4;
    DorvexFile *f = open_update(shape);
    std::vector<std::tuple<SegAddr, std::string, uint32_t>> written;
    for (uint32_t i = 0; i < 300; ++i) {
      std::string r(4 + rng() % 1497, ' ');
      for (size_t k = 0; k < r.size(); k += 1 + rng() % 9)
        r[k] = static_cast<char>('a' + rng() % 26);
      written.emplace_back(add(f, r, 1000 + i), r, dups ? 1000 + i : 0);
    }
    ASSERT_TRUE(cache_bypasses_pool(f->data.files[0]));
    int32_t header = indexed::record_header_size(f);
    for (const auto &[at, r, seq] : written) {
      indexed::RecordHeader h;
      ASSERT_TRUE(indexed::read_record_header(f, at, &h));
      uint32_t before = cache_counters().pread_calls, sequence = 0;
      ASSERT_EQ(r, read_at(f, at, &sequence));
      EXPECT_EQ(seq, sequence);
      EXPECT_EQ(header + static_cast<int32_t>(h.stored) <= 1024 ? 1u : 2u,
                cache_counters().pread_calls - before);
    }
    finish(f);
    f = dorvex_open("f.dat", KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED);
    ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
    ASSERT_FALSE(cache_bypasses_pool(f->data.files[0]));
    for (const auto &[at, r, seq] : written) ASSERT_EQ(r, read_at(f, at));
    finish(f);
  }
  for (int version : {4, 5}) {
    DorvexFile *f = open_update(one_key(version, 1500, false));
    std::string small(40, 's'), large(1400, 'L');
    SegAddr a = add(f, small), b = add(f, large), c = add(f, small);
    int32_t header = indexed::record_header_size(f);
    auto cut = [&](int64_t size) { ASSERT_EQ(0, truncate("f.dat", size)); };
    ASSERT_TRUE(indexed::delete_record(f, c));
    EXPECT_EQ("<6,81>", read_at(f, c));
    cut(c.offset + header + 2);
    EXPECT_EQ(version == 4 ? "<6,9>" : "<6,81>", read_at(f, c));
    cut(c.offset);
    uint32_t before = cache_counters().pread_calls;
    EXPECT_EQ(large, read_at(f, b));
    EXPECT_EQ(2u, cache_counters().pread_calls - before);
    cut(b.offset + header + 1399);
    EXPECT_EQ("<6,9>", read_at(f, b));
    cut(b.offset);
    EXPECT_EQ(small, read_at(f, a));
    cut(a.offset + header + 39);
    EXPECT_EQ("<6,9>", read_at(f, a));
    cut(a.offset + header - 1);
    EXPECT_EQ("<6,9>", read_at(f, a));
    indexed::header_release(f);
    dorvex_close(f);
  }
}

// Nodes come from the end of the index, then from the free-node list,
// whose links live in the first 7 bytes of each free node (5 in version
// 3); the index grows by the extension (V_INDEX_BLOCK_PERCENT of it) and
// uses preallocated blocks first; counters and key roots reach the header.
TEST_F(StorageTest, NodeBlocksTheFreeListAndTheHeaderCounters) {
  FileShape two = FileShape{5, "1,1,1,0,0", 100, 100, {{{{8, 0}}}, {{{4, 8}}, true}}};
  DorvexFile *f = open_update(two);
  for (int32_t at : {512, 1024, 1536}) EXPECT_EQ((SegAddr{at, 0}), allocate(f));
  std::string block(512, '\xab');
  ASSERT_TRUE(indexed::node_write(f, SegAddr{1024, 0}, reinterpret_cast<uint8_t *>(&block[0])));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{1024, 0}));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{512, 0}));
  EXPECT_EQ(1u, slot(f, indexed::kNodesInUse));
  EXPECT_EQ(2u, slot(f, indexed::kFreeNodes));
  std::string vix = read_file("f.vix");
  EXPECT_EQ("03 00 00 00 00 00 00 ab ab ", hex(vix, 1024, 9)) << "7 bytes, the rest untouched";
  EXPECT_EQ("03 00 00 04 00 00 00 ", hex(vix, 512, 7)) << "512 links to 1024";
  EXPECT_EQ((SegAddr{512, 0}), allocate(f));
  EXPECT_EQ((SegAddr{1024, 0}), allocate(f));
  EXPECT_EQ(indexed::kNullAddr,
            indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg));
  EXPECT_EQ((SegAddr{2048, 0}), allocate(f));
  indexed::index_bytes_adjust(f, 100);
  indexed::index_bytes_adjust(f, -30);
  uint32_t version = static_cast<uint32_t>(slot(f, indexed::kKeyDescVersion));
  ASSERT_TRUE(indexed::set_key_root(f, 1, SegAddr{0x1234, 2}, 3));
  EXPECT_EQ(version + 1, f->key_desc_version);
  EXPECT_EQ("00 00 12 34 00 02 03 01 01 04 00 04 00 00 00 08 ", hex(read_file("f.dat"), 300, 16))
      << "root, segment, height written; segments, duplicates, length, offset kept";
  finish(f);
  std::string h = read_file("f.dat");
  EXPECT_EQ("00 00 00 04 ", hex(h, 96, 4)) << "nodes in use";
  EXPECT_EQ("00 00 0a 00 ", hex(h, 130, 4)) << "index segment 0 bytes in use";
  EXPECT_EQ("00 00 00 00 00 46 ", hex(h, 86, 6)) << "index bytes in use";
  EXPECT_EQ("00 00 00 01 ", hex(h, 52, 4)) << "key description version";

  two.physical = "2,1,1,0,0";  // nodes of two blocks start after the segment header
  f = open_update(two);
  EXPECT_EQ((SegAddr{512, 0}), allocate(f));
  EXPECT_EQ((SegAddr{1536, 0}), allocate(f));
  finish(f);
  two.version = 3;  // one file: the header, a node not in use, then the index nodes
  two.physical = "1,2,1,0,0";
  f = open_update(two);
  EXPECT_EQ((SegAddr{1024, 0}), allocate(f));
  EXPECT_EQ((SegAddr{1536, 0}), allocate(f));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{1024, 0}));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{1536, 0}));
  finish(f);
  h = read_file("f.dat");
  EXPECT_EQ(2048u, h.size());
  EXPECT_EQ(2048u, get(h, 12, 4)) << "size of the file";
  EXPECT_EQ("03 00 00 04 00 00 ", hex(h, 1536, 6)) << "5 bytes: no segment field";
  EXPECT_EQ(1536u, get(h, 36, 4)) << "the free list's head";

  // Growth: by the extension, by V_INDEX_BLOCK_PERCENT of it, preallocated
  // blocks first.
  struct Growth {
    int16_t percent;
    const char *physical;
    std::vector<size_t> sizes;  // of the index after the 1st, 10th and 11th node
  };
  for (const Growth &g : {Growth{100, "1,1,10,0,0", {5632, 5632, 10752}},
                          Growth{50, "1,1,10,0,0", {3072, 5632, 8192}},
                          Growth{100, "1,10,1,0,0", {5120, 5632, 6144}}}) {
    cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, g.percent);
    two = FileShape{5, g.physical, 100, 100, {{{{8, 0}}}}};
    f = open_update(two);
    for (int i = 1; i <= 11; ++i) {
      allocate(f);
      if (i == 1 || i == 10 || i == 11) {
        EXPECT_EQ(g.sizes[i == 1    ? 0
                          : i == 10 ? 1
                                    : 2],
                  read_file("f.vix").size())
            << g.physical << " " << i;
      }
    }
    finish(f);
  }
}

}  // namespace
}  // namespace kel::test
