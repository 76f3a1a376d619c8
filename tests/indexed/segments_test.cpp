// Segment names, growth into further segments, whole-file copy, rename and
// remove. (Segments that another process added: access_process_test.)
#include "indexed/storage/segments.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/test_util.h"
#include "indexed/dorvex_fixture.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;
using indexed::SegAddr;

constexpr int kData = indexed::kDataSegment;
constexpr int kIndex = indexed::kIndexSegment;

std::string name_of(const char *file, int kind, int number) {
  const char *n = segment_name(file, kind, number);
  return n ? n : "<null>";
}

class SegmentsTest : public DorvexTest {
 protected:
  // A record of 1000 bytes that tells its number.
  static std::string record(int i) {
    std::string r(1000, static_cast<char>('a' + i % 26));
    snprintf(&r[0], 9, "%08d", i);
    r[8] = '#';
    return r;
  }

  // Makes g.dat with segments of the smallest size (81920 bytes), records
  // of 1000 bytes stored as they are, and growth by 20 nodes.
  void make_small_segments(const char *name = "g.dat") {
    cfg_set_long("V_SEG_SIZE", 0, 1);
    ASSERT_EQ(1, make(name, "1000,0,1", "1,0,8,0", "1,1,20,0,0")) << error();
  }

  // Adds `count` records and `nodes` nodes in one update; the addresses
  // go to addr_ and nodes_.
  void fill(DorvexFile *f, int count, int nodes) {
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate)) << error();
    for (int i = 0; i < count; ++i) addr_.push_back(add(f, record(static_cast<int>(addr_.size()))));
    for (int i = 0; i < nodes; ++i) {
      SegAddr at;
      ASSERT_TRUE(indexed::node_allocate(f, &at)) << error();
      nodes_.push_back(at);
    }
    ASSERT_TRUE(indexed::header_write(f));
    indexed::header_release(f);
  }

  std::vector<SegAddr> addr_;
  std::vector<SegAddr> nodes_;
};

// --- names ------------------------------------------------------------------------

TEST_F(SegmentsTest, NamesBySuffixInLowerCaseHex) {
  struct Case {
    const char *file;
    int kind, number;
    const char *name;
  };
  // The last extension goes, also after a dot in a folder name.
  for (const Case &c : {Case{"cust.dat", kData, 0, "cust.dat"},
                        {"cust.dat", kData, 1, "cust.d01"},
                        {"cust.dat", kData, 255, "cust.dff"},
                        {"cust.dat", kData, 256, "cust.d0100"},
                        {"cust.dat", kIndex, 0, "cust.vix"},
                        {"cust.dat", kIndex, 1, "cust.v01"},
                        {"cust.dat", kIndex, 0x123, "cust.v0123"},
                        {"a.b/cust", kData, 1, "a.b/cust.d01"},
                        {"x.y.z", kData, 1, "x.y.d01"}})
    EXPECT_EQ(c.name, name_of(c.file, c.kind, c.number));
  cfg_set_short("V_STRIP_DOT_EXTENSION", 0, 0);
  EXPECT_EQ("cust.dat.d01", name_of("cust.dat", kData, 1));
  EXPECT_EQ("cust.dat.vix", name_of("cust.dat", kIndex, 0));
  EXPECT_EQ("cust.dat", name_of("cust.dat", kData, 0));
  EXPECT_EQ("<null>", name_of(std::string(300, 'n').c_str(), kData, 1));
  EXPECT_EQ(E_PARAM, error());
}

TEST_F(SegmentsTest, FormatPairsAndVariablesNamedLikeTheSegment) {
  cfg_set_string("CUST_DAT_DATA_FMT", 0, "/d1/cust%d.dat");
  EXPECT_EQ("cust.d03", name_of("cust.dat", kData, 3)) << "one of the pair alone is not used";
  setenv("CUST_DAT_INDEX_FMT", "/d2/cust%03x.idx", 1);
  EXPECT_EQ("/d1/cust3.dat", name_of("cust.dat", kData, 3));
  EXPECT_EQ("/d2/cust000.idx", name_of("cust.dat", kIndex, 0));
  EXPECT_EQ("/d2/cust01a.idx", name_of("cust.dat", kIndex, 26));
  EXPECT_EQ("cust.dat", name_of("cust.dat", kData, 0));
  // A format is the user's text: only integer conversions take the number.
  cfg_set_string("CUST_DAT_DATA_FMT", 0, "%s-%n-%5.3d-%%-%lu");
  EXPECT_EQ("%s-%n-  007-%-7", name_of("cust.dat", kData, 7));
  unsetenv("CUST_DAT_INDEX_FMT");

  cfg_set_string("CUST_D01", 0, "/elsewhere/c1");
  EXPECT_EQ("/elsewhere/c1", name_of("cust.dat", kData, 1));
  EXPECT_EQ("cust.d02", name_of("cust.dat", kData, 2));
  setenv("CUST_VIX", "/idx/c.vix", 1);
  EXPECT_EQ("/idx/c.vix", name_of("cust.dat", kIndex, 0));
  unsetenv("CUST_VIX");
}

TEST_F(SegmentsTest, BasenameTranslationKeepsTheDirectoryAsPrefix) {
  ASSERT_EQ(1, cfg_set_programmatic("cust.dat", -1, "acct.dat", -1, 0));
  EXPECT_EQ("dir/cust.dat", name_of("dir/cust.dat", kData, 0)) << "segment 0 is the name";
  EXPECT_EQ("dir/acct.d01", name_of("dir/cust.dat", kData, 1));
  EXPECT_EQ("dir/acct.vix", name_of("dir/cust.dat", kIndex, 0));
  cfg_set_string("ACCT_D01", 0, "/redirected");
  EXPECT_EQ("/redirected", name_of("dir/cust.dat", kData, 1)) << "no prefix on a redirection";
  cfg_set_string("ACCT_DAT_DATA_FMT", 0, "/f/d%d");
  cfg_set_string("ACCT_DAT_INDEX_FMT", 0, "/f/i%d");
  EXPECT_EQ("/f/d2", name_of("dir/cust.dat", kData, 2));
  ASSERT_EQ(1, cfg_set_programmatic("cust.dat", -1, "/abs/acct.dat", -1, 0));
  EXPECT_EQ("/abs/acct.d02", name_of("dir/cust.dat", kData, 2));
  cfg_set_short("V_BASENAME_TRANSLATION", 0, 0);
  EXPECT_EQ("dir/cust.d02", name_of("dir/cust.dat", kData, 2));
}

// --- growth -----------------------------------------------------------------------

TEST_F(SegmentsTest, DataAndIndexGrowIntoSecondSegments) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 100, 170);
  // 80 records of 1015 bytes fit between 512 and 81920; the 81st opens
  // data segment 1 at 512.
  EXPECT_EQ((SegAddr{512 + 79 * 1015, 0}), addr_[79]);
  EXPECT_EQ((SegAddr{512, 1}), addr_[80]);
  EXPECT_EQ((SegAddr{512 + 19 * 1015, 1}), addr_[99]);
  // 159 nodes fit index segment 0; the 160th opens index segment 1.
  EXPECT_EQ((SegAddr{512, 0}), nodes_[0]);
  EXPECT_EQ((SegAddr{81408, 0}), nodes_[158]);
  EXPECT_EQ((SegAddr{512, 1}), nodes_[159]);
  EXPECT_EQ((SegAddr{512 + 10 * 512, 1}), nodes_[169]);
  EXPECT_EQ("00002,00002", info(f, -7));
  EXPECT_EQ("000000000081920000000000020992000000000081920000000000006144", info(f, -9));
  EXPECT_EQ("0000000100", info(f, -4));
  // Code -8: per segment its name in 128 bytes and its size.
  char names[4 * 138 + 1];
  ASSERT_EQ(1, dorvex_info(f, -8, names));
  const char *expected[4][2] = {{"g.dat", "0000081920"},
                                {"g.d01", "0000020992"},
                                {"g.vix", "0000081920"},
                                {"g.v01", "0000006144"}};
  for (int i = 0; i < 4; ++i) {
    std::string entry(names + i * 138, 138);
    EXPECT_EQ(std::string(expected[i][0]) + std::string(123, '\0') + expected[i][1], entry) << i;
  }
  ASSERT_EQ(1, dorvex_close(f));

  // Data segment 0 keeps its size; the highest data segment, the end of
  // data in it, the first record where it was, nodes in use, the current
  // data segment's size, index segment 0's and the highest index segment.
  std::string h = read_file("g.dat");
  EXPECT_EQ(81920u, h.size());
  EXPECT_TRUE(has_fields(h, {{16, 4, 81920},
                             {20, 2, 1},
                             {28, 4, 512 + 20 * 1015},
                             {32, 2, 1},
                             {34, 4, 512},
                             {96, 4, 170},
                             {126, 4, 20992},
                             {130, 4, 81920},
                             {134, 2, 1}}));
  EXPECT_EQ(std::string(81920 - 81712, '\0'), h.substr(81712)) << "a zero tail ends the segment";

  std::string d1 = read_file("g.d01");
  EXPECT_EQ(20992u, d1.size());
  EXPECT_EQ("10 12 14 17 00 05 00 01 00 00 52 00 ", hex(d1, 0, 12));
  std::string v1 = read_file("g.v01");
  EXPECT_EQ("10 12 14 18 00 05 00 01 00 00 18 00 ", hex(v1, 0, 12)) << "bytes in use 6144";
  EXPECT_GE(v1.size(), 6144u);
  EXPECT_GE(read_file("g.vix").size(), 81920u);

  f = dorvex_open("g.dat", 0);
  ASSERT_NE(nullptr, f);
  for (size_t i = 0; i < addr_.size(); ++i)
    ASSERT_EQ(record(static_cast<int>(i)), read(f, addr_[i])) << i;
  EXPECT_EQ("00002,00002", info(f, -7));
  dorvex_close(f);
}

TEST_F(SegmentsTest, NoMemoryForANewSegmentFailsTheAdditionOnly) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 80, 159);
  int64_t live = alloc_live_blocks();
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  std::string r = record(80);
  SegAddr at;
  alloc_fail_nth(1);
  EXPECT_TRUE(
      fails(indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at),
            E_NO_MEMORY));
  alloc_fail_nth(1);
  EXPECT_TRUE(fails(indexed::node_allocate(f, &at), E_NO_MEMORY));
  alloc_fail_nth(0);
  EXPECT_EQ(1, f->data.count);
  EXPECT_EQ(1, f->index.count);
  EXPECT_EQ(live, alloc_live_blocks());
  EXPECT_FALSE(file_exists("g.d01"));
  ASSERT_TRUE(indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at));
  EXPECT_EQ((SegAddr{512, 1}), at);
  ASSERT_TRUE(indexed::node_allocate(f, &at));
  EXPECT_EQ((SegAddr{512, 1}), at);
  ASSERT_TRUE(indexed::header_write(f));
  indexed::header_release(f);
  EXPECT_EQ("00002,00002", info(f, -7));
  dorvex_close(f);
}

TEST_F(SegmentsTest, ASegmentNumberAbove65534IsABrokenFile) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  // Pretend the end of data sits at the end of the last possible segment.
  ASSERT_TRUE(indexed::reserve_segments(f, kData, 65535));
  f->data.files[65534] = f->data0;
  f->data.sizes[65534] = 81920;
  indexed::hset_addr(f, indexed::kEndOfDataOffset, indexed::kEndOfDataSeg, SegAddr{81900, 65534});
  std::string r = record(0);
  SegAddr at;
  EXPECT_TRUE(
      fails(indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at),
            E_BROKEN, 99));
  f->data.files[65534] = -1;
  f->data.count = 1;
  indexed::header_release(f);
  dorvex_close(f);
}

// --- whole files ------------------------------------------------------------------

TEST_F(SegmentsTest, CopyRenameAndRemoveWalkEverySegmentInOrder) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 100, 170);
  dorvex_close(f);
  const char *suffixes[] = {".dat", ".d01", ".vix", ".v01"};
  // The trace lines of a walk from file `from` (to file `to`, when given).
  auto walk = [&](const std::string &verb, const std::string &from, const std::string &to) {
    std::string out;
    for (int i = 0; i < 4; ++i)
      out += verb + (i < 2 ? " data" : " index") + " segment (#" + std::to_string(i % 2) +
             "): " + from + suffixes[i] + (to.empty() ? "" : " -> " + to + suffixes[i]) + "\n";
    return out;
  };
  cfg_set_long("V_TRACE", 0, 4);
  StderrCapture copy;
  EXPECT_EQ(1, v5_copy("g.dat", "h.dat"));
  EXPECT_EQ(walk("copying", "g", "h"), copy.text());
  for (const char *s : suffixes)
    EXPECT_EQ(read_file(std::string("g") + s), read_file(std::string("h") + s)) << s;
  StderrCapture rename;
  EXPECT_EQ(1, v5_rename("h.dat", "k.dat"));
  EXPECT_EQ(walk("renaming", "h", "k"), rename.text());
  for (const char *s : suffixes) {
    EXPECT_FALSE(file_exists(std::string("h") + s)) << s;
    EXPECT_TRUE(file_exists(std::string("k") + s)) << s;
  }
  f = dorvex_open("k.dat", 0);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(record(99), read(f, addr_[99]));
  dorvex_close(f);
  StderrCapture remove;
  EXPECT_EQ(1, v5_remove("k.dat"));
  EXPECT_EQ(walk("removing", "k", ""), remove.text());
  for (const char *s : suffixes) EXPECT_FALSE(file_exists(std::string("k") + s)) << s;

  // Without trace level, nothing is written.
  cfg_set_long("V_TRACE", 0, 0);
  StderrCapture quiet;
  EXPECT_EQ(1, v5_copy("g.dat", "q.dat"));
  EXPECT_EQ(1, v5_remove("q.dat"));
  EXPECT_EQ("", quiet.text());
}

TEST_F(SegmentsTest, CopySkipsASegmentWhoseNamesAreEqualAndStopsAtTheFirstFailure) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 100, 0);
  dorvex_close(f);
  cfg_set_string("H_VIX", 0, "g.vix");  // h's index segment 0 is g's
  EXPECT_EQ(1, v5_copy("g.dat", "h.dat"));
  EXPECT_TRUE(file_exists("h.d01"));
  EXPECT_FALSE(file_exists("h.vix"));

  // A file that cannot be opened is not copied at all.
  ASSERT_EQ(0, unlink("g.d01"));
  EXPECT_TRUE(fails(v5_copy("g.dat", "n.dat"), E_BROKEN, 68));
  EXPECT_FALSE(file_exists("n.dat"));
  EXPECT_EQ(0, v5_remove("g.dat"));
  EXPECT_TRUE(file_exists("g.dat")) << "nothing removed";
  EXPECT_TRUE(fails(v5_copy(nullptr, "x"), E_PARAM));

  // A failing step stops the walk; what was done stays done.
  ASSERT_EQ(1, make("a.dat", "100,0,1", "1,0,8,0"));
  mkdir("ro", 0555);
  cfg_set_string("B_VIX", 0, "ro/b.vix");
  if (geteuid() != 0) {
    EXPECT_EQ(0, v5_copy("a.dat", "b.dat"));
    EXPECT_TRUE(file_exists("b.dat"));
    EXPECT_FALSE(file_exists("ro/b.vix"));
  }
}

TEST_F(SegmentsTest, VersionThreeFilesAreOneFile) {
  set_version(3);
  ASSERT_EQ(1, make("v3.dat", "100,0,1", "1,0,8,0"));
  cfg_set_long("V_TRACE", 0, 4);
  StderrCapture capture;
  EXPECT_EQ(1, v5_copy("v3.dat", "w3.dat"));
  EXPECT_EQ(read_file("v3.dat"), read_file("w3.dat"));
  EXPECT_FALSE(file_exists("w3.vix"));
  EXPECT_EQ(1, v5_rename("w3.dat", "x3.dat"));
  EXPECT_EQ(1, v5_remove("x3.dat"));
  EXPECT_FALSE(file_exists("x3.dat"));
  EXPECT_EQ("", capture.text()) << "no segment lines for one file";
}

TEST_F(SegmentsTest, MakeReplacesAnOldFileWithAllItsSegments) {
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 100, 170);
  dorvex_close(f);
  ASSERT_EQ(1, make("g.dat", "100,0,1", "1,0,8,0"));
  EXPECT_FALSE(file_exists("g.d01"));
  EXPECT_FALSE(file_exists("g.v01"));
  EXPECT_EQ(512u, read_file("g.vix").size());
  set_version(3);
  ASSERT_EQ(1, make("g.dat", "100,0,1", "1,0,8,0"));
  EXPECT_FALSE(file_exists("g.vix")) << "a version 3 file has no index segment";
}

// A symbolic link at a segment's name (planted by a hostile archive, say)
// is removed and the segment made in its place; the file it pointed to is
// never written.
TEST_F(SegmentsTest, SegmentsAreMadeNewWhereverALinkStands) {
  write_file("victim", "precious");
  ASSERT_EQ(0, symlink("victim", "g.vix"));
  ASSERT_EQ(0, symlink("victim", "g.d01"));
  ASSERT_EQ(0, symlink("victim", "g.v01"));
  make_small_segments();
  DorvexFile *f = dorvex_open("g.dat", 2);
  ASSERT_NE(nullptr, f);
  fill(f, 100, 170);
  ASSERT_EQ(1, dorvex_close(f));
  EXPECT_EQ("precious", read_file("victim"));
  struct stat st;
  for (const char *name : {"g.vix", "g.d01", "g.v01"}) {
    ASSERT_EQ(0, lstat(name, &st)) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
  }
}

}  // namespace
}  // namespace kel::test
