// Writing and deleting records through the entry points, beyond what the
// model-based test checks: the undo of a write that meets a duplicate key,
// the inner-step trace lines, record lengths, deleting through the last
// record read of an unlocked open, and failures of memory and disk
// half-way.
#include <algorithm>
#include <set>
#include <sstream>

#include "common/test_util.h"
#include "indexed/access_fixture.h"
#include "indexed/storage/header.h"
#include "messages/diag.h"

namespace kel::test {
namespace {

// Records of 40 bytes (20 at least): key 0 four bytes at 0 (unique), key 1
// two bytes at 4 (duplicates), key 2 three bytes at 6 (unique).
class WriteTest : public AccessTest {
 protected:
  static std::string rec(const std::string &k0, const std::string &k1, const std::string &k2,
                         size_t length = 40) {
    return record(length, {{0, k0}, {4, k1}, {6, k2}}, '-');
  }
  DorvexFile *make_three(const char *name = "three", const char *physical = nullptr) {
    return make_open(name, 5, "40,20,3", "1,0,4,0,1,1,2,4,1,0,3,6", physical);
  }

  // The file's records in every key's order and in physical order.
  std::string contents(DorvexFile *f) {
    std::string out;
    for (int k = 0; k < f->key_count; ++k) {
      std::string low(40, '\0');
      if (start(f, low, k, 0, 1) == 1)
        for (std::string r; !(r = next(f)).empty();) out += r + "|";
      out += "\n";
    }
    if (v5_nkrstart(f) == 0)
      for (uint32_t n; (n = v5_nkrnext(f, buffer_)) != 0;) out += std::string(buffer_, n) + "|";
    return out;
  }

  // The inner-step trace lines of the engine (the cache traces with the
  // same bit).
  static std::string engine_lines(const std::string &trace) {
    std::istringstream in(trace);
    std::string out;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("V: v5i_", 0) == 0) out += line + "\n";
    return out;
  }
};

TEST_F(WriteTest, DuplicateKeyTakesEverythingBack) {
  DorvexFile *f = make_three();
  ASSERT_NE(f, nullptr);
  // Enough records that the additions before the failing key split nodes,
  // which the undo then combines again.
  for (int i = 0; i < 200; ++i) {
    char k0[16], k2[16];
    snprintf(k0, sizeof k0, "%04d", i * 2);
    snprintf(k2, sizeof k2, "%03d", i);
    ASSERT_EQ(write(f, rec(k0, i % 2 ? "aa" : "bb", k2)), 1) << i;
  }
  ASSERT_TRUE(sound(f));
  std::string before = contents(f);
  uint64_t records = indexed::hget(f, indexed::kRecordCount);
  for (int i = 0; i < 200; i += 7) {
    char k0[16], k2[16];
    snprintf(k0, sizeof k0, "%04d", i * 2 + 1);  // new key 0
    snprintf(k2, sizeof k2, "%03d", 199 - i);    // key 2 already there
    StderrCapture trace;
    set_trace_bits(kTraceInner);
    EXPECT_TRUE(fails(write(f, rec(k0, "aa", k2)), E_DUPLICATE));
    set_trace_bits(0);
    EXPECT_EQ(engine_lines(trace.text()),
              "V: v5i_write(): add_rec()\n"
              "V: v5i_write(): Adding key #0\n"
              "V: v5i_write(): Adding key #1\n"
              "V: v5i_write(): Adding key #2\n"
              "V: v5i_write(): Subtracting key #1\n"
              "V: v5i_write(): Subtracting key #0\n"
              "V: v5i_write(): vi_sub_rec()\n");
    ASSERT_TRUE(sound(f)) << i;
  }
  EXPECT_EQ(contents(f), before);
  EXPECT_EQ(indexed::hget(f, indexed::kRecordCount), records);
  // A duplicate primary key fails at once: nothing to take back but the
  // record.
  StderrCapture trace;
  set_trace_bits(kTraceInner);
  EXPECT_TRUE(fails(write(f, rec("0000", "zz", "zzz")), E_DUPLICATE));
  set_trace_bits(0);
  EXPECT_EQ(engine_lines(trace.text()),
            "V: v5i_write(): add_rec()\n"
            "V: v5i_write(): Adding key #0\n"
            "V: v5i_write(): vi_sub_rec()\n");
  EXPECT_EQ(contents(f), before);
  EXPECT_EQ(v5_close(f), 1);
}

// Writes of random lengths, of length 0 (the maximum) and one byte too
// long are checked against the model; these are the other refusals.
TEST_F(WriteTest, RecordLengthsOutsideTheLimitsAreRefused) {
  DorvexFile *f = make_three();
  ASSERT_NE(f, nullptr);
  std::string shortest = rec("eeee", "zz", "005", 20);
  EXPECT_EQ(write(f, shortest), 1);
  EXPECT_EQ(read(f, shortest, 0), shortest);
  EXPECT_TRUE(fails(write(f, rec("ffff", "zz", "006", 19)), E_PARAM));
  EXPECT_TRUE(fails(v5_write(f, nullptr, 30), E_PARAM));
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(WriteTest, DeleteRemovesEveryKeyByItsOwnDuplicateNumber) {
  DorvexFile *f = make_three();
  ASSERT_NE(f, nullptr);
  for (const char *k0 : {"aaaa", "bbbb", "cccc", "dddd"})
    ASSERT_EQ(write(f, rec(k0, "xx", std::string(k0, 3))), 1);
  StderrCapture trace;
  set_trace_bits(kTraceInner);
  EXPECT_EQ(v5_delete(f, rec("bbbb", "", "").data()), 1);
  set_trace_bits(0);
  EXPECT_EQ(engine_lines(trace.text()),
            "V: v5i_delete(): Subtracting key #0\n"
            "V: v5i_delete(): Subtracting key #1\n"
            "V: v5i_delete(): Subtracting key #2\n"
            "V: v5i_delete(): vi_sub_rec()\n");
  // Key values are taken from the stored record, not the caller's: the
  // check finds every entry matching its record.
  EXPECT_EQ(v5_delete(f, rec("dddd", "qq", "qqq").data()), 1);
  EXPECT_TRUE(fails(v5_delete(f, rec("bbbb", "", "").data()), E_NOT_FOUND));
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
}

// Deny-write and exclusive opens take no record locks but keep the last
// record read, through which a delete goes (the model covers the shared
// open: with duplicates in the primary key a delete by key takes the
// first of equal records, after a read the record read).
TEST_F(WriteTest, DeleteThroughTheLastRecordReadOfAnUnlockedOpen) {
  DorvexFile *f = make_open("dup0", 5, "20,20,1", "1,1,4,0", nullptr, 0x202);
  ASSERT_NE(f, nullptr);
  for (const char *tail : {"first", "secnd", "third"})
    ASSERT_EQ(write(f, record(20, {{0, "same"}, {4, tail}})), 1);
  std::string any = record(20, {{0, "same"}});
  ASSERT_EQ(read(f, any, 0).substr(4, 5), "first");
  EXPECT_EQ(next(f).substr(4, 5), "secnd");
  EXPECT_EQ(v5_delete(f, any.data()), 1);
  ASSERT_EQ(read(f, any, 0).substr(4, 5), "first");
  EXPECT_EQ(next(f).substr(4, 5), "third");
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
}

// Every allocation of a write or a delete failing in turn: each failure is
// E_NO_MEMORY, leaks nothing and leaves the file sound with its records as
// they were (a failed write may leave its slot on the deleted chain). A
// delete takes nothing back once a key's entry is gone, so deletes are
// tried on a file of one key.
TEST_F(WriteTest, NoMemoryHalfWay) {
  // 100-byte keys in one-block nodes: most additions split, most removals
  // combine.
  auto rec2 = [](int i, int j) {
    char a[16], b[16];
    snprintf(a, sizeof a, "%05d", i);
    snprintf(b, sizeof b, "%05d", j);
    std::string k0, k1;
    for (int n = 0; n < 20; ++n) k0 += a, k1 += b;
    return record(220, {{0, k0}, {100, k1}});
  };
  for (bool writing : {true, false}) {
    int failures = 0;
    DorvexFile *f = writing ? make_open("nomem2", 5, "220,220,2", "1,0,100,0,1,1,100,100")
                            : make_open("nomem1", 5, "220,220,1", "1,0,100,0");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(write(f, rec2(i * 2, i % 5)), 1);
    for (int op = 0; op < 20; ++op) {
      std::string r = writing ? rec2(op * 12 + 1, op % 5) : rec2((op * 7) % 60 * 2, 0);
      for (int n = 1;; ++n) {
        std::string before = contents(f);
        int64_t live = alloc_live_blocks();
        alloc_fail_nth(n);
        int ok = writing ? write(f, r) : v5_delete(f, r.data());
        bool tripped = alloc_failure_triggered();
        alloc_fail_nth(0);
        EXPECT_EQ(alloc_live_blocks(), live);
        if (!tripped) {
          ASSERT_EQ(ok, 1) << error();
          break;
        }
        ++failures;
        ASSERT_EQ(ok, 0);
        ASSERT_EQ(error(), E_NO_MEMORY);
        ASSERT_TRUE(sound(f)) << "allocation " << n;
        EXPECT_EQ(contents(f), before) << "allocation " << n;
      }
    }
    EXPECT_GE(failures, 8) << (writing ? "writes" : "deletes");
    EXPECT_EQ(v5_close(f), 1);
  }
}

// A full disk stops writes with E_DISK_FULL; the file stays sound and
// keeps every record written before.
TEST_F(WriteTest, FullDisk) {
  DorvexFile *f = make_three("full", "1,1,1,0,0");
  ASSERT_NE(f, nullptr);
  std::vector<std::string> written;
  {
    FileSizeLimit limit(read_file("full").size() + 4000);
    for (int i = 0; i < 2000; ++i) {
      char k0[16], k2[16];
      snprintf(k0, sizeof k0, "%04d", i);
      snprintf(k2, sizeof k2, "%03d", i % 1000);
      std::string r = rec(k0, "dd", k2);
      if (write(f, r) != 1) {
        EXPECT_TRUE(error() == E_DISK_FULL || error() == E_SYSERR) << error();
        break;
      }
      written.push_back(r);
    }
  }
  ASSERT_LT(written.size(), 2000u);
  ASSERT_TRUE(sound(f));
  for (const std::string &r : written) ASSERT_EQ(read(f, r, 0), r);
  EXPECT_EQ(v5_close(f), 1);
}

}  // namespace
}  // namespace kel::test
