// Segment names, growth into further segments, whole-file copy, rename and
// remove. (Segments that another process added: process_test.)
#include "indexed/storage/segments.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/golden.h"
#include "indexed/engine_fixture.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

constexpr int kData = indexed::kDataSegment;
constexpr int kIndex = indexed::kIndexSegment;

std::string name_of(const char *file, int kind, int number) {
  const char *n = segment_name(file, kind, number);
  return n ? n : "<null>";
}

class SegmentsTest : public EngineTest {
 protected:
  // Adds `count` records and `nodes` nodes in one update; the addresses
  // go to addr_ and nodes_.
  void fill(DorvexFile *f, int count, int nodes) {
    for (int i = 0; i < count; ++i)
      addr_.push_back(add(f, segment_record(static_cast<int>(addr_.size()))));
    for (int i = 0; i < nodes; ++i) {
      SegAddr at;
      ASSERT_TRUE(indexed::node_allocate(f, &at)) << codes();
      nodes_.push_back(at);
    }
  }
  std::vector<SegAddr> addr_, nodes_;
};

TEST_F(SegmentsTest, NamesBySuffixFormatsVariablesAndTranslation) {
  // The last extension goes, also after a dot in a folder name; numbers in
  // lower-case hex, four digits past 255.
  const std::tuple<const char *, int, int, const char *> names[] = {
      {"cust.dat", kData, 0, "cust.dat"},
      {"cust.dat", kData, 1, "cust.d01"},
      {"cust.dat", kData, 255, "cust.dff"},
      {"cust.dat", kData, 256, "cust.d0100"},
      {"cust.dat", kIndex, 0, "cust.vix"},
      {"cust.dat", kIndex, 1, "cust.v01"},
      {"cust.dat", kIndex, 0x123, "cust.v0123"},
      {"a.b/cust", kData, 1, "a.b/cust.d01"},
      {"x.y.z", kData, 1, "x.y.d01"}};
  for (auto [file, kind, number, name] : names) EXPECT_EQ(name, name_of(file, kind, number));
  cfg_set_short("V_STRIP_DOT_EXTENSION", 0, 0);
  EXPECT_EQ("cust.dat.d01", name_of("cust.dat", kData, 1));
  EXPECT_EQ("cust.dat.vix", name_of("cust.dat", kIndex, 0));
  EXPECT_EQ("<null>", name_of(std::string(300, 'n').c_str(), kData, 1));
  EXPECT_EQ(E_PARAM, error());
  cfg_set_short("V_STRIP_DOT_EXTENSION", 0, 1);

  // A pair of formats named after the file (one alone is not used); the
  // format is the user's text, so only integer conversions take the number.
  cfg_set_string("CUST_DAT_DATA_FMT", 0, "/d1/cust%d.dat");
  EXPECT_EQ("cust.d03", name_of("cust.dat", kData, 3));
  setenv("CUST_DAT_INDEX_FMT", "/d2/cust%03x.idx", 1);
  EXPECT_EQ("/d1/cust3.dat", name_of("cust.dat", kData, 3));
  EXPECT_EQ("/d2/cust01a.idx", name_of("cust.dat", kIndex, 26));
  EXPECT_EQ("cust.dat", name_of("cust.dat", kData, 0));
  cfg_set_string("CUST_DAT_DATA_FMT", 0, "%s-%n-%5.3d-%%-%lu");
  EXPECT_EQ("%s-%n-  007-%-7", name_of("cust.dat", kData, 7));
  unsetenv("CUST_DAT_INDEX_FMT");
  // A variable named like one segment redirects it.
  cfg_set_string("CUST_D01", 0, "/elsewhere/c1");
  EXPECT_EQ("/elsewhere/c1", name_of("cust.dat", kData, 1));
  EXPECT_EQ("cust.d02", name_of("cust.dat", kData, 2));
  setenv("CUST_VIX", "/idx/c.vix", 1);
  EXPECT_EQ("/idx/c.vix", name_of("cust.dat", kIndex, 0));
  unsetenv("CUST_VIX");

  // Basename translation names the other segments after the translation,
  // in the folder of the name given (no prefix for a redirection).
  ASSERT_EQ(1, cfg_set_programmatic("acct.dat", -1, "mine.dat", -1, 0));
  EXPECT_EQ("dir/acct.dat", name_of("dir/acct.dat", kData, 0)) << "segment 0 is the name";
  EXPECT_EQ("dir/mine.d01", name_of("dir/acct.dat", kData, 1));
  EXPECT_EQ("dir/mine.vix", name_of("dir/acct.dat", kIndex, 0));
  cfg_set_string("MINE_D01", 0, "/redirected");
  EXPECT_EQ("/redirected", name_of("dir/acct.dat", kData, 1));
  cfg_set_string("MINE_DAT_DATA_FMT", 0, "/f/d%d");
  cfg_set_string("MINE_DAT_INDEX_FMT", 0, "/f/i%d");
  EXPECT_EQ("/f/d2", name_of("dir/acct.dat", kData, 2));
  ASSERT_EQ(1, cfg_set_programmatic("acct.dat", -1, "/abs/mine.dat", -1, 0));
  EXPECT_EQ("/abs/mine.d02", name_of("dir/acct.dat", kData, 2));
  cfg_set_short("V_BASENAME_TRANSLATION", 0, 0);
  EXPECT_EQ("dir/acct.d02", name_of("dir/acct.dat", kData, 2));
}

// Without memory for a new segment the addition fails and changes
// nothing; a segment number above 65534 is a broken file (99).
TEST_F(SegmentsTest, ANewSegmentWithoutMemoryOrBeyondTheLastNumber) {
  DorvexFile *f = make_small_segments();
  ASSERT_NE(nullptr, f);
  fill(f, 80, 159);
  std::string r = segment_record(80);
  SegAddr at;
  auto counts = [&] {
    return std::to_string(f->data.count) + std::to_string(f->index.count) +
           std::to_string(file_exists("g.d01")) + std::to_string(file_exists("g.v01"));
  };
  auto add_one = [&] {
    return indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at);
  };
  int failures = FailEachAllocation{.op = add_one, .state = counts}.run();
  EXPECT_GT(failures, 0);
  EXPECT_EQ((SegAddr{512, 1}), at);
  failures =
      FailEachAllocation{.op = [&] { return indexed::node_allocate(f, &at); }, .state = counts}
          .run();
  EXPECT_GT(failures, 0);
  EXPECT_EQ((SegAddr{512, 1}), at);
  // Pretend the end of data sits at the end of the last possible segment.
  ASSERT_TRUE(indexed::reserve_segments(f, kData, 65535));
  f->data.files[65534] = f->data0;
  f->data.sizes[65534] = 81920;
  indexed::hset_addr(f, indexed::kEndOfDataOffset, indexed::kEndOfDataSeg, SegAddr{81900, 65534});
  EXPECT_TRUE(
      fails(indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at),
            E_BROKEN, 99));
  f->data.files[65534] = -1;
  f->data.count = 2;
  indexed::header_release(f);
  dorvex_close(f);
}

// A symbolic link at a segment's name (planted by a hostile archive, say)
// is removed and the segment made in its place; the file it pointed to is
// never written. Copy, rename and remove walk every segment in order
// (traced with V_TRACE 4; a version 3 file is one file and traces
// nothing); a make replaces the old file with all its segments; a copy
// skips a segment whose names are equal; a file that cannot be opened is
// neither copied nor removed; a failing step stops the walk and what was
// done stays done.
TEST_F(SegmentsTest, LinksReplacedAndEverySegmentCopiedRenamedRemovedAndMadeAnew) {
  write_file("victim", "precious");
  for (const char *name : {"g.vix", "g.d01", "g.v01"}) ASSERT_EQ(0, symlink("victim", name));
  DorvexFile *f = make_small_segments();
  ASSERT_NE(nullptr, f);
  fill(f, 100, 170);
  finish(f);
  EXPECT_EQ("precious", read_file("victim"));
  struct stat st;
  for (const char *name : {"g.vix", "g.d01", "g.v01"}) {
    ASSERT_EQ(0, lstat(name, &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
  }
  cfg_set_long("V_TRACE", 0, 4);
  StderrCapture trace;
  EXPECT_EQ(1, v5_copy("g.dat", "h.dat"));
  for (const char *s : {".dat", ".d01", ".vix", ".v01"})
    EXPECT_EQ(read_file(std::string("g") + s), read_file(std::string("h") + s)) << s;
  EXPECT_EQ(1, v5_rename("h.dat", "k.dat"));
  EXPECT_FALSE(file_exists("h.d01"));
  ASSERT_NE(nullptr, f = dorvex_open("k.dat", KEL_OPEN_INPUT));
  EXPECT_EQ(segment_record(99), read_at(f, addr_[99]));
  dorvex_close(f);
  EXPECT_EQ(1, v5_remove("k.dat"));
  EXPECT_TRUE(folder_entries(".") ==
              (std::vector<std::string>{"g.d01", "g.dat", "g.v01", "g.vix", "victim"}));
  ASSERT_EQ(1, (FileShape{3, nullptr, 100, 100, {{{{8, 0}}}}}.make("v3.dat")));
  EXPECT_EQ(1, v5_copy("v3.dat", "w3.dat"));
  EXPECT_EQ(read_file("v3.dat"), read_file("w3.dat"));
  EXPECT_EQ(1, v5_rename("w3.dat", "x3.dat"));
  EXPECT_EQ(1, v5_remove("x3.dat"));
  EXPECT_FALSE(file_exists("x3.dat") || file_exists("w3.vix"));
  EXPECT_TRUE(matches_golden("indexed/segment_walks.txt", trace.text()));
  cfg_set_long("V_TRACE", 0, 0);
  ASSERT_EQ(1, v5_copy("g.dat", "m.dat"));
  ASSERT_TRUE(file_exists("m.d01") && file_exists("m.v01"));
  ASSERT_EQ(1, (FileShape{5, nullptr, 100, 100, {{{{8, 0}}}}}.make("m.dat")));
  EXPECT_FALSE(file_exists("m.d01") || file_exists("m.v01"));
  EXPECT_EQ(512u, read_file("m.vix").size());
  ASSERT_EQ(1, (FileShape{3, nullptr, 100, 100, {{{{8, 0}}}}}.make("m.dat")));
  EXPECT_FALSE(file_exists("m.vix")) << "a version 3 file has no index segment";

  cfg_set_string("H_VIX", 0, "g.vix");  // h's index segment 0 is g's
  EXPECT_EQ(1, v5_copy("g.dat", "h.dat"));
  EXPECT_TRUE(file_exists("h.d01"));
  EXPECT_FALSE(file_exists("h.vix"));
  ASSERT_EQ(0, unlink("g.d01"));
  EXPECT_TRUE(fails(v5_copy("g.dat", "n.dat"), E_BROKEN, 68));
  EXPECT_FALSE(file_exists("n.dat"));
  EXPECT_EQ(0, v5_remove("g.dat"));
  EXPECT_TRUE(file_exists("g.dat")) << "nothing removed";
  EXPECT_TRUE(fails(v5_copy(nullptr, "x"), E_PARAM));
  ASSERT_EQ(1, (FileShape{5, nullptr, 100, 100, {{{{8, 0}}}}}.make("a.dat")));
  mkdir("ro", 0555);
  cfg_set_string("B_VIX", 0, "ro/b.vix");
  if (geteuid() != 0) {  // root writes into a read-only folder
    EXPECT_EQ(0, v5_copy("a.dat", "b.dat"));
    EXPECT_TRUE(file_exists("b.dat"));
    EXPECT_FALSE(file_exists("ro/b.vix"));
  }
}

}  // namespace
}  // namespace kel::test
