// The bytes of indexed files, every version: one scripted run makes files
// and works on them through make, the entry points and the storage layer,
// and writes down where each record and node went and the image of every
// file after each step (a hex dump, lines of zeros left out), compared
// whole with the golden file indexed/file_images.txt. The steps: headers
// of every version with their key descriptions and collating table; a
// version 2 file in this machine's byte order; record headers of every
// version with and without duplicates, compression slots and factors,
// scrambling; the deleted chain of versions 4 and 5, reuse of its head
// and the head set aside or dropped after 32 failed reuses; version 3
// records that run across linked data nodes; node blocks from the end and
// from the free list, key roots and the header counters, the index's
// growth; data and index grown into second segments; tree nodes of a
// first key, of a first root split and of keys sharing prefixes.
//
// The golden file was first written on code that passed the earlier
// tests of these bytes (fields at literal offsets, built without the
// layout tables), and checked against their expectations; a change of any
// byte now shows in its diff.
#include <sys/stat.h>
#include <unistd.h>

#include "common/golden.h"
#include "indexed/engine_fixture.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

FileShape one_key(int version, uint32_t max, bool dups, const char *physical = nullptr) {
  return FileShape{version, physical, max, 1, {{{{1, 0}}, dups}}};
}

class ImagesTest : public EngineTest {
 protected:
  void step(const std::string &what) { log_ += "== " + what + "\n"; }
  // A record added through the storage layer: where it went, and it reads
  // back as written.
  SegAddr added(DorvexFile *f, const std::string &r, uint32_t sequence = 0) {
    SegAddr at = add(f, r, sequence);
    log_ += "added " + std::to_string(r.size()) + " bytes at " + where(at) + "\n";
    EXPECT_EQ(r, read_at(f, at));
    return at;
  }
  // A node allocated; where it went, unless `quietly`.
  SegAddr node(DorvexFile *f, bool quietly = false) {
    SegAddr at{-1, 0};
    EXPECT_TRUE(indexed::node_allocate(f, &at)) << codes();
    if (!quietly) log_ += "node at " + where(at) + "\n";
    return at;
  }
  void removed(DorvexFile *f, SegAddr at) {
    EXPECT_TRUE(indexed::delete_record(f, at)) << codes();
    log_ += "deleted " + where(at) + "\n";
  }
  // The files as they are now (their first `upto` bytes).
  void image(std::initializer_list<std::string> names, size_t upto = SIZE_MAX) {
    for (const std::string &name : names) {
      std::string b = read_file(name);
      log_ += name + ", " + std::to_string(b.size()) + " bytes\n";
      for (size_t at = 0; at < std::min(upto, b.size()); at += 16) {
        if (b.find_first_not_of('\0', at) >= at + 16) continue;
        char offset[24];
        snprintf(offset, sizeof offset, "%06zx: ", at);
        log_ += offset + hex(b, at, 16) + "\n";
      }
    }
  }
  static std::string where(SegAddr at) {
    return std::to_string(at.offset) + "/" + std::to_string(at.segment);
  }
  std::string log_;
};

TEST_F(ImagesTest, FilesOfEveryVersionToTheByte) {
  // Headers: magic, version, node blocks, preallocation, extension,
  // segment sizes, header area, end of data, first record, entry format,
  // keys with duplicates, node bytes, segment limit, record sizes, key
  // count, compression, scrambling, longest key, the comment; each key
  // description; version 3 marks the nodes not yet in use 5.
  // Four keys of version 5: three fit the first block, the fourth opens
  // the second; the collating table takes a third, at 16. Six of version
  // 4: five in the first block.
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(255 - i);
  struct Made {
    int version;
    const char *physical, *comment;
    const uint8_t *table;
    const char *record, *keys;
  };
  const char *two_keys = "1,0,8,0,2,1,4,10,2,20";
  for (const Made &m :
       {Made{5, "2,3,4,70,1", "Customer file", nullptr, "100,50,2", two_keys},
        {4, "1,2,7,1,0", "Customer file", nullptr, "100,50,2", two_keys},
        {3, "1,3,1,0,0", "Customer file", nullptr, "100,50,2", two_keys},
        {4, nullptr, nullptr, nullptr, "40,0,6", "1,0,1,0,1,0,1,1,1,0,1,2,1,0,1,3,1,0,1,4,1,0,1,5"},
        {5, nullptr, nullptr, table, "40,0,4", "1,0,1,0,1,0,1,1,1,0,1,2,1,1,1,3"}}) {
    set_version(m.version);
    step("made, version " + std::to_string(m.version) + ", " + (m.physical ? m.physical : "-") +
         ", keys " + m.keys + (m.table ? ", a collating table" : ""));
    ASSERT_EQ(1, dorvex_make("c.dat", m.comment, m.physical, m.record, m.keys, m.table));
    image({"c.dat"});
    if (m.version > 3) image({"c.vix"});
    EXPECT_EQ(m.version > 3, file_exists("c.vix"));
  }
  DorvexFile *f = dorvex_open("c.dat", KEL_OPEN_INPUT);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(table), 255), info(f, -5)) << "up to its 0";
  EXPECT_EQ(255, f->reverse[0]);
  dorvex_close(f);

  // Version 2: header, key descriptions and record headers little-endian.
  // 48 blanks compress to 254 ' ' 48; a record holding the byte 254 is
  // stored as it is; the first record is deleted again. (A damaged record
  // mark: file_test's rows.)
  set_version(2);
  step("version 2: two records written, the first deleted");
  ASSERT_EQ(1, dorvex_make("v2", "old file", "1,3,1,70,0", "60,20,2", "1,0,8,0,1,1,4,8", nullptr));
  ASSERT_NE(nullptr, f = v5_open("v2", KEL_OPEN_IO, "0,0,0"));
  const std::string packed = "ABCD0001KEY1" + std::string(48, ' ');
  const std::string raw = "BBBB0002KEY2\xfe" + std::string(7, 'x');
  ASSERT_EQ(1, write(f, packed));
  ASSERT_EQ(1, write(f, raw));
  ASSERT_EQ(1, v5_delete(f, packed.data()));
  ASSERT_EQ(1, v5_close(f));
  image({"v2"});

  // Record headers: version 5 slot, stored length, flags, sequence number
  // (only with duplicates), two reserved bytes; versions 4 and 3 two-byte
  // slot and length, the compressed bit 15; version 3 records start one
  // byte past the data node's mark. Factor 70: a 100-byte record stored
  // in 40 bytes gets a slot of 100 - 60 x 70 / 100; one that does not
  // shrink is stored as it is; a header factor of 1 means COMPRESS_FACTOR.
  // Scrambling adds the seed (the sequence number, 0 without duplicates,
  // wrapping round a byte) plus 7 i to byte i.
  set_version(5);
  cfg_set_tinyint("COMPRESS_FACTOR", 0, 50);
  const std::string r = "record number one!!!", q(30, 'q'), blank(60, ' '),
                    c = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKL" + std::string(62, ' ');
  const std::tuple<int, bool, const char *, std::vector<std::string>, uint32_t> stored[] = {
      {5, false, "1,1,1,0,0", {r}, 7},
      {5, true, "1,1,1,0,0", {r}, 7},
      {4, false, "1,1,1,0,0", {q}, 9},
      {4, true, "1,1,1,70,0", {blank}, 9},
      {3, true, "1,1,1,0,0", {q}, 9},
      {5, false, "1,1,1,70,0", {c, std::string(100, ' '), "no runs in here"}, 0},
      {5, false, "1,1,1,1,0", {c}, 0},
      {5, true, "1,1,1,0,1", {"scramble me"}, 300},
      {5, false, "1,1,1,0,1", {"scramble me"}, 300}};
  for (const auto &[version, dups, physical, records, given] : stored) {
    step("records, version " + std::to_string(version) + (dups ? ", duplicates, " : ", ") +
         physical);
    f = open_update(one_key(version, 100, dups, physical));
    for (const std::string &record : records) {
      uint32_t sequence = 0;
      read_at(f, added(f, record, given), &sequence);
      EXPECT_EQ(dups ? given : 0u, sequence);
    }
    finish(f);
    image({"f.dat"});
  }

  // Deleted records: flag 1, stored length kept, linked from the head; a
  // shorter record takes the head's slot and keeps its size; version 4
  // keeps the link in the data area, and gives a 3-byte record a slot that
  // can hold the link later. After 31 failed attempts to reuse the head
  // the 32nd takes it off the chain: version 5 sets it aside (flag 3),
  // version 4 drops it. A record added in bulk never reuses a slot.
  for (int version : {5, 4}) {
    step("deleted records, version " + std::to_string(version));
    f = open_update(one_key(version, 50, false));
    SegAddr a = added(f, std::string(40, 'a')), bb = added(f, std::string(40, 'b'));
    added(f, std::string(40, 'c'));
    removed(f, bb);
    removed(f, a);
    EXPECT_EQ("<6,81>", read_at(f, a));
    EXPECT_TRUE(fails(indexed::delete_record(f, a), E_BROKEN, 81));
    added(f, std::string(version == 5 ? 10 : 6, 'd'));
    added(f, "xyz");
    added(f, "uvw");
    finish(f);
    image({"f.dat"});
  }
  for (int version : {5, 4}) {
    step("a head that never fits, version " + std::to_string(version));
    f = open_update(one_key(version, 100, false));
    SegAddr small = added(f, std::string(5, 's'));
    added(f, std::string(6, 't'));
    removed(f, small);
    for (int i = 1; i <= 32; ++i) {
      add(f, std::string(50, 'x'));
      ASSERT_EQ(static_cast<uint64_t>(i % 32), slot(f, indexed::kFailedReuses));
    }
    SegAddr d = added(f, std::string(60, 'd'));
    removed(f, d);
    f->bulk_running = true;
    added(f, std::string(10, 'e'));
    f->bulk_running = false;
    added(f, std::string(10, 'e'));
    finish(f);
    image({"f.dat"});
  }

  // Version 3 keeps records and nodes in one file: a record runs on
  // across linked data nodes (each ends in a 4-byte link and starts with
  // the mark 255); an index node takes the end of the file, and the data
  // then runs into the free node after its own and, past that, to a new
  // node. Reads on a node's link or mark are broken (31).
  step("version 3 records across data nodes");
  f = open_update(one_key(3, 300, false, "1,3,1,0,0"));
  added(f, std::string(300, '1'));
  added(f, std::string(300, '2'));
  node(f);
  for (int i = 0; i < 4; ++i) added(f, std::string(300, static_cast<char>('a' + i)));
  EXPECT_EQ("<6,31>", read_at(f, SegAddr{1020, 0})) << "on a node's link";
  EXPECT_EQ("<6,31>", read_at(f, SegAddr{1024, 0})) << "on a node's mark";
  finish(f);
  image({"f.dat"});

  // Nodes come from the end of the index, then from the free-node list,
  // whose links live in the first 7 bytes of each free node (5 in version
  // 3); counters and key roots reach the header.
  FileShape two{5, "1,1,1,0,0", 100, 100, {{{{8, 0}}}, {{{4, 8}}, true}}};
  for (auto [version, physical] : {std::pair{5, "1,1,1,0,0"}, {5, "2,1,1,0,0"}, {3, "1,2,1,0,0"}}) {
    step(std::string("nodes, the free list and the counters, version ") + std::to_string(version) +
         ", " + physical);
    two.version = version;
    two.physical = physical;
    f = open_update(two);
    SegAddr n1 = node(f), n2 = node(f);
    node(f);
    std::string block(2048, '\xab');
    ASSERT_TRUE(indexed::node_write(f, n2, reinterpret_cast<uint8_t *>(&block[0])));
    ASSERT_TRUE(indexed::node_free(f, n2));
    ASSERT_TRUE(indexed::node_free(f, n1));
    image({version == 3 ? "f.dat" : "f.vix"});
    node(f);
    node(f);
    node(f);
    indexed::index_bytes_adjust(f, 100);
    indexed::index_bytes_adjust(f, -30);
    ASSERT_TRUE(indexed::set_key_root(f, 1, SegAddr{0x1234, 2}, 3));
    finish(f);
    image({"f.dat"});
  }
  // The index grows by the extension, by V_INDEX_BLOCK_PERCENT of it,
  // preallocated blocks first.
  for (auto [percent, physical] :
       {std::pair{100, "1,1,10,0,0"}, {50, "1,1,10,0,0"}, {100, "1,10,1,0,0"}}) {
    cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, static_cast<int16_t>(percent));
    step("index growth, " + std::to_string(percent) + "%, " + physical);
    f = open_update(FileShape{5, physical, 100, 100, {{{{8, 0}}}}});
    for (int i = 1; i <= 11; ++i) {
      node(f, true);
      log_ += std::to_string(i) + " nodes: index of " + std::to_string(read_file("f.vix").size()) +
              " bytes\n";
    }
    finish(f);
  }
  cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, 100);

  // 80 records of 1015 bytes fit between 512 and 81920 (the smallest
  // segment size); the 81st opens data segment 1 at 512. 159 nodes fit
  // index segment 0; the 160th opens index segment 1. The information
  // texts of the segments, their names and sizes (code -8).
  step("data and index grown into second segments");
  f = make_small_segments();
  for (int i = 0; i < 100; ++i) {
    std::string rec = segment_record(i);
    SegAddr at = add(f, rec);
    ASSERT_EQ(rec, read_at(f, at));
    if (i == 79 || i == 80 || i == 99)
      log_ += "record " + std::to_string(i) + " at " + where(at) + "\n";
  }
  for (int i = 0; i < 170; ++i) node(f, i != 0 && i != 158 && i != 159 && i != 169);
  finish(f);
  ASSERT_NE(nullptr, f = dorvex_open("g.dat", KEL_OPEN_INPUT));
  char names[4 * 138 + 1] = {};
  ASSERT_EQ(1, dorvex_info(f, -8, names));
  for (int i = 0; i < 4; ++i)
    log_ += std::string(names + 138 * i) + " " + std::string(names + 138 * i + 128, 10) + "\n";
  for (int code : {-7, -9, -4}) log_ += info(f, code) + "\n";
  dorvex_close(f);
  image({"g.dat", "g.d01", "g.vix", "g.v01"}, 512);
  EXPECT_EQ(std::string(81920 - 81712, '\0'), read_file("g.dat").substr(81712))
      << "a zero tail ends the segment";

  // Tree nodes: the first key of a version 5 tree and of a version 3 key
  // with duplicates; five keys of 100 bytes, whose fifth splits the root
  // leaf (the left node, the right node, the new root; the old root on the
  // free list); keys sharing prefixes of every length, added in random
  // order and a third of them deleted again, in nodes of one block.
  struct Tree {
    FileShape shape;
    int records;
  };
  for (const Tree &t : {Tree{{5, nullptr, 4, 4, {{{{4, 0}}}}}, 1},
                        Tree{{3, nullptr, 5, 5, {{{{3, 0}}}, {{{2, 3}}, true}}}, 1},
                        Tree{{5, nullptr, 100, 100, {{{{100, 0}}}}}, 5},
                        Tree{{4, nullptr, 20, 20, {{{{12, 0}}}, {{{3, 12}}, true}}}, 150}}) {
    step("a tree of " + std::to_string(t.records) + " records, version " +
         std::to_string(t.shape.version));
    ASSERT_NE(nullptr, f = t.shape.make_open("tree"));
    std::mt19937 rng(17);
    std::vector<std::string> records;
    for (int i = 0; i < t.records; ++i) {
      std::string r(t.shape.max_record, static_cast<char>('A' + i % 26));
      for (size_t k = 1 + rng() % 12; t.records > 5 && k < 15; ++k) r[k] = "AB0 "[rng() % 4];
      if (write(f, r) == 1) records.push_back(r);
    }
    for (size_t i = 0; t.records > 5 && i < records.size(); i += 3)
      ASSERT_EQ(1, v5_delete(f, records[i].data()));
    ASSERT_TRUE(sound(f));
    ASSERT_EQ(1, v5_close(f));
    image({t.shape.version == 3 ? "tree" : "tree.vix"});
  }
  EXPECT_TRUE(matches_golden("indexed/file_images.txt", log_));
}

}  // namespace
}  // namespace kel::test
