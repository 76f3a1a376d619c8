// Positioning, keyed and sequential reading, the physical scan and record
// locks inside one process, through the entry points.
#include "config/config.h"
#include "indexed/access_fixture.h"
#include "indexed/storage/header.h"
#include "indexed/storage/storage.h"

namespace kel::test {
namespace {

// Records of 30 bytes: key 0 four bytes at 0 (unique), key 1 two bytes at
// 4 (duplicates allowed).
class ReadTest : public AccessTest {
 protected:
  static std::string rec(const std::string &k0, const std::string &k1 = "zz") {
    return record(30, {{0, k0}, {4, k1}});
  }
  DorvexFile *make_standard(const char *name = "std", int version = 5, int32_t mode = 2) {
    return make_open(name, version, "30,30,2", "1,0,4,0,1,1,2,4", nullptr, mode);
  }
  // Writes the records (key 0, key 1).
  static void fill(DorvexFile *f, std::vector<std::pair<std::string, std::string>> records) {
    for (auto &[k0, k1] : records) ASSERT_EQ(write(f, rec(k0, k1)), 1) << k0 << " " << error();
  }
};

// Starts, keyed reads and the walks in both directions are checked against
// the reference model; here are the arguments it never makes.
TEST_F(ReadTest, BadArguments) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  fill(f, {{"bbaa", "x1"}});
  EXPECT_TRUE(fails(start(f, rec("bbaa"), 2, 0, 0), E_PARAM)) << "no key 2";
  EXPECT_TRUE(fails(start(f, rec("bbaa"), 0, 0, 5), E_PARAM)) << "no mode 5";
  EXPECT_TRUE(fails(read(f, rec("bbaa"), 7), E_PARAM));
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(ReadTest, ModeClashes) {
  DorvexFile *made = make_standard("clash", 5, 0);
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(v5_close(made), 1);
  for (int32_t mode : {1, 3}) {
    DorvexFile *f = v5_open("clash", mode, "0,0,0");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write(f, rec(mode == 1 ? "aaaa" : "bbbb")), 1);
    EXPECT_TRUE(fails(read(f, rec("aaaa"), 0), E_MODE_CLASH));
    EXPECT_TRUE(fails(start(f, rec("aaaa"), 0, 0, 0), E_MODE_CLASH));
    EXPECT_TRUE(fails(next(f), E_MODE_CLASH));
    EXPECT_TRUE(fails(previous(f), E_MODE_CLASH));
    EXPECT_EQ(v5_nkrstart(f), -1);
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_TRUE(fails(v5_nkrnext(f, buffer_), E_MODE_CLASH));
    EXPECT_TRUE(fails(v5_delete(f, rec("aaaa").data()), E_MODE_CLASH)) << "only input-output";
    EXPECT_EQ(v5_close(f), 1);
  }
  DorvexFile *f = v5_open("clash", 0, "0,0,0");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(fails(write(f, rec("cccc")), E_MODE_CLASH));
  EXPECT_TRUE(fails(v5_delete(f, rec("aaaa").data()), E_MODE_CLASH));
  EXPECT_EQ(read(f, rec("aaaa"), 0).substr(0, 4), "aaaa");
  EXPECT_EQ(v5_close(f), 1);
}

// Two opens of one file in one process exclude each other through the OS
// layer's lock table.
TEST_F(ReadTest, RecordLocksBetweenOpensOfOneProcess) {
  DorvexFile *a = make_standard();
  ASSERT_NE(a, nullptr);
  fill(a, {{"aaaa", "x"}, {"bbbb", "x"}, {"cccc", "x"}});
  DorvexFile *b = v5_open("std", 2, "0,0,0");
  ASSERT_NE(b, nullptr);
  char info[8] = {};
  ASSERT_EQ(read(a, rec("bbbb"), 0).substr(0, 4), "bbbb");
  ASSERT_EQ(v5_info(a, -6, info), 1);
  EXPECT_STREQ(info, "0001");
  EXPECT_EQ(next(b).substr(0, 4), "aaaa");
  EXPECT_TRUE(fails(next(b), E_REC_LOCKED));
  EXPECT_EQ(*fs_lock_holder(), static_cast<int32_t>(getpid()));
  EXPECT_TRUE(fails(next(b), E_REC_LOCKED)) << "the same record is tried again";
  EXPECT_TRUE(fails(v5_delete(b, rec("bbbb").data()), E_REC_LOCKED));
  // The next read of `a` releases its lock on bbbb automatically.
  ASSERT_EQ(read(a, rec("cccc"), 0).substr(0, 4), "cccc");
  EXPECT_EQ(next(b).substr(0, 4), "bbbb");
  EXPECT_TRUE(fails(next(b), E_REC_LOCKED)) << "cccc now";
  EXPECT_EQ(v5_unlock(a), 1);
  ASSERT_EQ(v5_info(a, -6, info), 1);
  EXPECT_STREQ(info, "0000");
  EXPECT_EQ(next(b).substr(0, 4), "cccc");
  EXPECT_EQ(v5_close(b), 1);
  // A file open for input takes no locks.
  DorvexFile *in = v5_open("std", 0, "0,0,0");
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(read(in, rec("aaaa"), 0).substr(0, 4), "aaaa");
  ASSERT_EQ(v5_info(in, -6, info), 1);
  EXPECT_STREQ(info, "0000");
  EXPECT_EQ(read(a, rec("aaaa"), 0).substr(0, 4), "aaaa");
  EXPECT_EQ(v5_close(in), 1);
  EXPECT_EQ(v5_close(a), 1);
}

// With multiple-record locking (0x4000) the file keeps its locks until
// v5_unlock, up to LOCKS_PER_FILE of them.
TEST_F(ReadTest, MultipleRecordLocksAndAFullLockList) {
  cfg_set_short("LOCKS_PER_FILE", 0, 3);
  DorvexFile *made = make_standard("multi", 5, 0);
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(v5_close(made), 1);
  DorvexFile *f = v5_open("multi", 0x4002, "0,0,0");
  ASSERT_NE(f, nullptr);
  fill(f, {{"aaaa", "x"}, {"bbbb", "x"}, {"cccc", "x"}, {"dddd", "x"}});
  DorvexFile *other = v5_open("multi", 2, "0,0,0");
  ASSERT_NE(other, nullptr);
  EXPECT_NE(next(f), "");
  EXPECT_NE(next(f), "");
  EXPECT_NE(read(f, rec("aaaa"), 0), "");  // held already: no second lock
  EXPECT_NE(read(f, rec("cccc"), 0), "");
  char info[8] = {};
  ASSERT_EQ(v5_info(f, -6, info), 1);
  EXPECT_STREQ(info, "0003");
  EXPECT_TRUE(fails(read(f, rec("dddd"), 0), E_LOCK_TABLE_FULL, 3));
  EXPECT_NE(read(other, rec("dddd"), 0), "");  // the refused read left no lock
  EXPECT_TRUE(fails(read(other, rec("aaaa"), 0), E_REC_LOCKED));
  EXPECT_EQ(v5_unlock(f), 1);
  EXPECT_NE(read(other, rec("aaaa"), 0), "");
  EXPECT_EQ(v5_close(other), 1);
  EXPECT_EQ(v5_close(f), 1);
}

// The physical scan: records in the order they lie, deleted ones skipped
// (the model checks the scan's contents, also of version 3 files).
TEST_F(ReadTest, PhysicalScan) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  fill(f, {{"dddd", "x"}, {"aaaa", "x"}, {"cccc", "x"}, {"bbbb", "x"}});
  ASSERT_EQ(v5_delete(f, rec("aaaa").data()), 1);
  ASSERT_EQ(v5_nkrstart(f), 0);
  std::string order;
  for (uint32_t n; (n = v5_nkrnext(f, buffer_)) != 0;) {
    EXPECT_EQ(n, 30u);
    order += std::string(buffer_, 4) + " ";
  }
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(order, "dddd cccc bbbb ");
  // The deleted slot is reused: the scan sees the new record in its place.
  fill(f, {{"eeee", "x"}});
  ASSERT_EQ(v5_nkrstart(f), 0);
  order.clear();
  for (uint32_t n; (n = v5_nkrnext(f, buffer_)) != 0;) order += std::string(buffer_, 4) + " ";
  EXPECT_EQ(order, "dddd eeee cccc bbbb ");
  // A locked record stops the scan until it is free.
  DorvexFile *other = v5_open("std", 2, "0,0,0");
  ASSERT_NE(read(other, rec("eeee"), 0), "");
  ASSERT_EQ(v5_nkrstart(f), 0);
  EXPECT_NE(v5_nkrnext(f, buffer_), 0u);
  EXPECT_TRUE(fails(v5_nkrnext(f, buffer_), E_REC_LOCKED));
  EXPECT_EQ(v5_unlock(other), 1);
  EXPECT_EQ(v5_nkrnext(f, buffer_), 30u);
  EXPECT_EQ(std::string(buffer_, 4), "eeee");
  EXPECT_EQ(v5_close(other), 1);
  EXPECT_EQ(v5_close(f), 1);
}

// A damaged node fails the read with its secondary code, which goes into
// the header of a file open for writing (on reads only with
// V_MARK_READ_CORRUPT), so that every later access fails alike.
TEST_F(ReadTest, BrokenNodesMarkTheFile) {
  for (int mark_reads : {1, 0}) {
    SCOPED_TRACE(mark_reads);
    ASSERT_EQ(cfg_set_programmatic("V_MARK_READ_CORRUPT", -1, mark_reads ? "1" : "0", -1, 0), 1);
    std::string name = "broken" + std::to_string(mark_reads);
    DorvexFile *f = make_standard(name.c_str());
    ASSERT_NE(f, nullptr);
    fill(f, {{"aaaa", "x"}, {"bbbb", "x"}});
    // The root leaf of key 0: its first entry's length byte becomes 0.
    indexed::SegAddr root{static_cast<int32_t>(f->keys[0].root_offset), f->keys[0].root_segment};
    uint8_t node[512];
    ASSERT_TRUE(indexed::node_read(f, root, node));
    node[3 + 6] = 0;
    ASSERT_TRUE(indexed::node_write(f, root, node));
    EXPECT_TRUE(fails(read(f, rec("bbbb"), 0), E_BROKEN, 21));
    std::string got = read(f, rec("", "x"), 1);  // key 1 is sound, but...
    if (mark_reads) {
      EXPECT_TRUE(fails(got, E_BROKEN, 21)) << "...the header says the file is broken";
    } else {
      EXPECT_EQ(got.substr(0, 4), "aaaa");
      EXPECT_EQ(error(), E_DUPLICATE_ALTERNATE);
      EXPECT_TRUE(fails(write(f, rec("cccc")), E_BROKEN, 21)) << "a write marks it all the same";
      EXPECT_TRUE(fails(read(f, rec("", "x"), 1), E_BROKEN, 21));
    }
    EXPECT_EQ(v5_close(f), 1);
    EXPECT_TRUE(fails(v5_open(name.c_str(), 0, "0,0,0"), E_BROKEN, 21));
  }
}

}  // namespace
}  // namespace kel::test
