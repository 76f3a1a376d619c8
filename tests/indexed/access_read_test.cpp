// Positioning, keyed and sequential reading, the physical scan and record
// locks inside one process, through the entry points.
#include "config/config.h"
#include "indexed/access_fixture.h"
#include "indexed/header.h"
#include "indexed/storage.h"

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
  std::string key0s_forward(DorvexFile *f) {
    std::string out;
    for (std::string r; !(r = next(f)).empty();) out += r.substr(0, 4) + " ";
    return out;
  }
};

TEST_F(ReadTest, StartModesWithFullAndPartialKeys) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  fill(f, {{"bbaa", "x1"}, {"bbcc", "x2"}, {"ddaa", "x3"}, {"ffff", "x4"}});
  struct Case {
    const char *key;
    int length, mode;
    const char *first;  // key 0 of the record v5_next returns; null: E_NOT_FOUND
  };
  const Case cases[] = {
      {"bbcc", 0, 0, "bbcc"},  {"bbbb", 0, 0, nullptr}, {"bbzz", 2, 0, "bbaa"},
      {"ddzz", 2, 0, "ddaa"},  {"cczz", 2, 0, nullptr}, {"bbzz", 4, 0, nullptr},
      {"bbcc", 0, 1, "bbcc"},  {"bbcd", 0, 1, "ddaa"},  {"zzzz", 0, 1, nullptr},
      {"bb", 2, 1, "bbaa"},    {"bbcc", 0, 2, "ddaa"},  {"bb", 2, 2, "ddaa"},
      {"ffff", 0, 2, nullptr}, {"bbaa", 0, 3, nullptr}, {"ddaa", 0, 3, "bbcc"},
      {"dd", 2, 3, "bbcc"},    {"ff", 1, 3, "ddaa"},    {"ddaa", 0, 4, "ddaa"},
      {"dd", 2, 4, "ddaa"},    {"zzzz", 0, 4, "ffff"},  {"aaaa", 0, 4, nullptr},
      {"bb", 2, 4, "bbcc"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " length " + std::to_string(c.length) + " mode " +
                 std::to_string(c.mode));
    int ok = start(f, rec(c.key), 0, c.length, c.mode);
    if (c.first == nullptr) {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(error(), E_NOT_FOUND);
      continue;
    }
    ASSERT_EQ(ok, 1) << error();
    EXPECT_EQ(next(f).substr(0, 4), c.first);
    // The entry positioned on is returned by v5_previous as well.
    ASSERT_EQ(start(f, rec(c.key), 0, c.length, c.mode), 1);
    EXPECT_EQ(previous(f).substr(0, 4), c.first);
  }
  // Bad arguments.
  EXPECT_EQ(start(f, rec("bbaa"), 2, 0, 0), 0);
  EXPECT_EQ(error(), E_PARAM);
  EXPECT_EQ(start(f, rec("bbaa"), 0, 0, 5), 0);
  EXPECT_EQ(error(), E_PARAM);
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(ReadTest, StartOnAnAlternateKeyAndAnEmptyFile) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(start(f, rec("aaaa"), 0, 0, 1), 0);
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(start(f, rec("aaaa"), 1, 0, 4), 0);
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(next(f), "");  // state 1 in an empty file: the end at once
  EXPECT_EQ(error(), E_NOT_FOUND);
  fill(f, {{"aaaa", "k2"}, {"bbbb", "k1"}, {"cccc", "k2"}, {"dddd", "k1"}});
  ASSERT_EQ(start(f, rec("", "k2"), 1, 0, 0), 1);
  // Records with equal alternate keys follow in the order they were written.
  EXPECT_EQ(key0s_forward(f), "aaaa cccc ");
  ASSERT_EQ(start(f, rec("", "k1"), 1, 0, 1), 1);
  EXPECT_EQ(key0s_forward(f), "bbbb dddd aaaa cccc ");
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(ReadTest, EndsOfTheKeyOrderAndPositionStates) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  fill(f, {{"bbbb", "a"}, {"aaaa", "a"}, {"cccc", "a"}});
  // From the open: v5_previous has no position, v5_next starts at the first.
  EXPECT_EQ(previous(f), "");
  EXPECT_EQ(error(), E_NO_CURRENT);
  EXPECT_EQ(key0s_forward(f), "aaaa bbbb cccc ");
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(next(f), "");  // after the end: no position any more
  EXPECT_EQ(error(), E_NO_CURRENT);
  EXPECT_EQ(previous(f).substr(0, 4), "cccc");
  EXPECT_EQ(previous(f).substr(0, 4), "bbbb");
  EXPECT_EQ(previous(f).substr(0, 4), "aaaa");
  EXPECT_EQ(previous(f), "");
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(previous(f), "");
  EXPECT_EQ(error(), E_NO_CURRENT);
  EXPECT_EQ(next(f).substr(0, 4), "aaaa");
  EXPECT_EQ(error(), 0);
  // A failed keyed read keeps the position.
  EXPECT_EQ(read(f, rec("abcd"), 0), "");
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(next(f).substr(0, 4), "bbbb");
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(ReadTest, KeyedReadsReportFollowingDuplicates) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  fill(f, {{"aaaa", "dd"}, {"bbbb", "dd"}, {"cccc", "dd"}, {"eeee", "ee"}});
  // The first of equal keys, with 101: another record has the value.
  EXPECT_EQ(read(f, rec("", "dd"), 1).substr(0, 4), "aaaa");
  EXPECT_EQ(error(), E_DUPLICATE_ALTERNATE);
  EXPECT_EQ(next(f).substr(0, 4), "bbbb");
  EXPECT_EQ(error(), E_DUPLICATE_ALTERNATE);
  EXPECT_EQ(next(f).substr(0, 4), "cccc");  // the last of them
  EXPECT_EQ(error(), 0);
  EXPECT_EQ(next(f).substr(0, 4), "eeee");
  EXPECT_EQ(error(), 0);
  EXPECT_EQ(previous(f).substr(0, 4), "cccc");  // v5_previous makes no such check
  EXPECT_EQ(error(), 0);
  EXPECT_EQ(read(f, rec("", "ee"), 1).substr(0, 4), "eeee");
  EXPECT_EQ(error(), 0);
  EXPECT_EQ(read(f, rec("bbbb"), 0).substr(0, 6), "bbbbdd");
  EXPECT_EQ(error(), 0);
  EXPECT_EQ(read(f, rec("bbbb"), 7), "");
  EXPECT_EQ(error(), E_PARAM);
  EXPECT_EQ(v5_close(f), 1);
}

// Runs of equal alternate keys across many leaves: the duplicate check at
// the end of a leaf searches the next one.
TEST_F(ReadTest, DuplicateRunsAcrossLeaves) {
  DorvexFile *f = make_standard();
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 300; ++i) {
    char k0[16];
    snprintf(k0, sizeof k0, "%04d", i);
    ASSERT_EQ(write(f, rec(k0, i % 3 == 0 ? "aa" : "bb")), 1);
  }
  ASSERT_TRUE(sound(f));
  ASSERT_EQ(start(f, rec("", "aa"), 1, 0, 0), 1);
  int n = 0;
  for (std::string r; !(r = next(f)).empty(); ++n) {
    int i = n < 100 ? 3 * n : (n - 100) / 2 * 3 + 1 + (n - 100) % 2;
    char k0[16];
    snprintf(k0, sizeof k0, "%04d", i);
    ASSERT_EQ(r.substr(0, 4), k0);
    EXPECT_EQ(error(), n == 99 || n == 299 ? 0 : E_DUPLICATE_ALTERNATE) << n;
  }
  EXPECT_EQ(n, 300);
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
    EXPECT_EQ(read(f, rec("aaaa"), 0), "");
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(start(f, rec("aaaa"), 0, 0, 0), 0);
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(next(f), "");
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(previous(f), "");
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(v5_nkrstart(f), -1);
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(v5_nkrnext(f, buffer_), 0u);
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(v5_delete(f, rec("aaaa").data()), 0);  // only input-output deletes
    EXPECT_EQ(error(), E_MODE_CLASH);
    EXPECT_EQ(v5_close(f), 1);
  }
  DorvexFile *f = v5_open("clash", 0, "0,0,0");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(write(f, rec("cccc")), 0);
  EXPECT_EQ(error(), E_MODE_CLASH);
  EXPECT_EQ(v5_delete(f, rec("aaaa").data()), 0);
  EXPECT_EQ(error(), E_MODE_CLASH);
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
  EXPECT_EQ(next(b), "");
  EXPECT_EQ(error(), E_REC_LOCKED);
  EXPECT_EQ(*fs_lock_holder(), static_cast<int32_t>(getpid()));
  EXPECT_EQ(next(b), "");  // still there: the same record is tried again
  EXPECT_EQ(error(), E_REC_LOCKED);
  EXPECT_EQ(v5_delete(b, rec("bbbb").data()), 0);
  EXPECT_EQ(error(), E_REC_LOCKED);
  // The next read of `a` releases its lock on bbbb automatically.
  ASSERT_EQ(read(a, rec("cccc"), 0).substr(0, 4), "cccc");
  EXPECT_EQ(next(b).substr(0, 4), "bbbb");
  EXPECT_EQ(next(b), "");
  EXPECT_EQ(error(), E_REC_LOCKED);  // cccc now
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
  EXPECT_EQ(read(f, rec("dddd"), 0), "");
  EXPECT_EQ(error(), E_LOCK_TABLE_FULL);
  EXPECT_EQ(secondary(), 3);
  EXPECT_NE(read(other, rec("dddd"), 0), "");  // the refused read left no lock
  EXPECT_EQ(read(other, rec("aaaa"), 0), "");
  EXPECT_EQ(error(), E_REC_LOCKED);
  EXPECT_EQ(v5_unlock(f), 1);
  EXPECT_NE(read(other, rec("aaaa"), 0), "");
  EXPECT_EQ(v5_close(other), 1);
  EXPECT_EQ(v5_close(f), 1);
}

// The physical scan: records in the order they lie, deleted ones skipped;
// a version 3 file gets an empty scan.
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
  EXPECT_EQ(v5_nkrnext(f, buffer_), 0u);
  EXPECT_EQ(error(), E_REC_LOCKED);
  EXPECT_EQ(v5_unlock(other), 1);
  EXPECT_EQ(v5_nkrnext(f, buffer_), 30u);
  EXPECT_EQ(std::string(buffer_, 4), "eeee");
  EXPECT_EQ(v5_close(other), 1);
  EXPECT_EQ(v5_close(f), 1);

  DorvexFile *v3 = make_standard("v3", 3);
  ASSERT_NE(v3, nullptr);
  fill(v3, {{"aaaa", "x"}});
  EXPECT_EQ(v5_nkrstart(v3), 1);
  EXPECT_EQ(v5_nkrnext(v3, buffer_), 0u);
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(v5_close(v3), 1);
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
    EXPECT_EQ(read(f, rec("bbbb"), 0), "");
    EXPECT_EQ(error(), E_BROKEN);
    EXPECT_EQ(secondary(), 21);
    std::string got = read(f, rec("", "x"), 1);  // key 1 is sound, but...
    if (mark_reads) {
      EXPECT_EQ(got, "");
      EXPECT_EQ(error(), E_BROKEN);
      EXPECT_EQ(secondary(), 21);  // ...the header says the file is broken
    } else {
      EXPECT_EQ(got.substr(0, 4), "aaaa");
      EXPECT_EQ(error(), E_DUPLICATE_ALTERNATE);
      EXPECT_EQ(write(f, rec("cccc")), 0);  // a write marks it all the same
      EXPECT_EQ(error(), E_BROKEN);
      EXPECT_EQ(secondary(), 21);
      EXPECT_EQ(read(f, rec("", "x"), 1), "");
      EXPECT_EQ(secondary(), 21);
    }
    EXPECT_EQ(v5_close(f), 1);
    EXPECT_EQ(v5_open(name.c_str(), 0, "0,0,0"), nullptr);
    EXPECT_EQ(error(), E_BROKEN);
    EXPECT_EQ(secondary(), 21);
  }
}

}  // namespace
}  // namespace kel::test
