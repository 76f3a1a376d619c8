// Segment names, growth into further segments, whole-file copy, rename and
// remove (names and copies: rows of golden files). (Segments that another
// process added: access_test's rows of a reader beside a writer.)
#include "indexed/storage/segments.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/call_script.h"
#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

constexpr int kData = indexed::kDataSegment;
constexpr int kIndex = indexed::kIndexSegment;

using SegmentsTest = EngineTest;

// Without memory for a new segment the addition fails and changes
// nothing; a segment number above 65534 is a broken file (99).
TEST_F(SegmentsTest, ANewSegmentWithoutMemoryOrBeyondTheLastNumber) {
  // A file of segments of the smallest size (81920 bytes) for records of
  // 1000 bytes stored as they are, growing by 20 nodes, opened for update
  // with the header held for an update, as the storage layer's callers
  // hold it.
  ASSERT_EQ(1, (FileShape{5, "1,1,20,0,0", 1000, 1000, {{{{8, 0}}}}, false, 1}.make("g.dat")))
      << codes();
  DorvexFile *f = dorvex_open("g.dat", KEL_OPEN_IO);
  ASSERT_NE(nullptr, f) << codes();
  ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
  SegAddr at;
  auto add = [&](const std::string &r) {
    return indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()), 1000, 0, &at);
  };
  for (int i = 0; i < 80; ++i) ASSERT_TRUE(add(segment_record(i))) << codes();
  for (int i = 0; i < 159; ++i) ASSERT_TRUE(indexed::node_allocate(f, &at)) << codes();
  std::string r = segment_record(80);
  auto counts = [&] {
    return std::to_string(f->data.count) + std::to_string(f->index.count) +
           std::to_string(file_exists("g.d01")) + std::to_string(file_exists("g.v01"));
  };
  // The record opens data segment 1, the node index segment 1.
  for (bool data : {true, false}) {
    auto op = [&] { return data ? add(r) : indexed::node_allocate(f, &at); };
    EXPECT_GT((FailEachAllocation{.op = op, .state = counts}.run()), 0) << data;
    EXPECT_EQ((SegAddr{512, 1}), at);
  }
  // Pretend the end of data sits at the end of the last possible segment.
  ASSERT_TRUE(indexed::reserve_segments(f, kData, 65535));
  f->data.files[65534] = f->data0;
  f->data.sizes[65534] = 81920;
  indexed::hset_addr(f, indexed::kEndOfDataOffset, indexed::kEndOfDataSeg, SegAddr{81900, 65534});
  EXPECT_TRUE(fails(add(r), E_BROKEN, 99));
  f->data.files[65534] = -1;
  f->data.count = 2;
  indexed::header_release(f);
  dorvex_close(f);
}

// A symbolic link at a segment's name (planted by a hostile archive, say)
// is removed and the segment made in its place; the file it pointed to is
// never written. Copy, rename and remove walk every segment in order
// (traced with V_TRACE 4; a version 3 file is one file and traces
// nothing); a make replaces the old file with all its segments, a copy
// skips a segment whose names are equal, a file that cannot be opened is
// neither copied nor removed (rows of a golden file); a failing step stops
// the walk and what was done stays done.
TEST_F(SegmentsTest, LinksReplacedAndEverySegmentCopiedRenamedRemovedAndMadeAnew) {
  CallScript script;
  add_engine_verbs(script);
  script.add("symlink", [](const Call &c) { return std::to_string(symlink(c.ptr(0), c.ptr(1))); });
  EXPECT_TRUE(script.run("indexed/segment_copies.txt"));
  // Names by suffix, formats, variables and translation: rows of another.
  script.add("segment", [](const Call &c) {
    const char *n =
        segment_name(c.ptr(0), c.text(1) == "i" ? kIndex : kData, static_cast<int>(c.num(2)));
    return n ? as_record(n) : CallScript::result(0);
  });
  EXPECT_TRUE(script.run("indexed/segment_names.txt"));
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
