// The whole-file check: the report of a sound file and of each kind of
// damage it must find, made on purpose in files written through the entry
// points; the reports, one after the other, are a golden file.
#include "common/golden.h"
#include "indexed/engine_fixture.h"
#include "support/be.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

class CheckTest : public EngineTest {
 protected:
  // Records of 20 bytes, key 0 four bytes at 0, key 1 two at 4 with
  // duplicates; no compression, so record bytes lie on disk as written.
  const FileShape shape_{5, nullptr, 20, 20, {{{{4, 0}}}, {{{2, 4}}, true}}};
  std::string rec(int i) {
    char k0[16];
    snprintf(k0, sizeof k0, "%04d", i);
    return shape_.record({k0, i % 2 ? "aa" : "bb"});
  }
  DorvexFile *make_file(const char *name, int count) {
    DorvexFile *f = shape_.make_open(name);
    for (int i = 0; i < count; ++i) EXPECT_EQ(1, write(f, rec(i)));
    return f;
  }
  // Sets a header field as a writer would.
  static void poke(DorvexFile *f, indexed::Slot slot, uint64_t value) {
    ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
    indexed::hset(f, slot, value);
    indexed::header_mark_changed(f);
    ASSERT_TRUE(indexed::header_write(f));
    indexed::header_release(f);
  }
  static SegAddr root(DorvexFile *f) {
    return SegAddr{static_cast<int32_t>(f->keys[0].root_offset), f->keys[0].root_segment};
  }
  void report(const std::string &what, DorvexFile *f) {
    indexed::CheckReport r;
    indexed::dorvex_check(f, &r);
    reports_ += "== " + what + "\n" + r.text.c_str();
  }
  std::string reports_;
};

TEST_F(CheckTest, ReportsOfASoundFileAndOfEachDamage) {
  DorvexFile *f = make_file("counts", 6);
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, v5_delete(f, rec(2).data()));
  indexed::CheckReport sound_report;
  EXPECT_TRUE(indexed::dorvex_check(f, &sound_report));
  EXPECT_EQ(std::tuple(5u, 1u, 0u, 2u),
            std::tuple(sound_report.live_records, sound_report.deleted_records,
                       sound_report.set_aside_records, sound_report.tree_nodes));
  report("a sound file", f);
  // Header counts that disagree with what the file holds, one at a time.
  uint64_t bytes = slot(f, indexed::kIndexBytesInUse);
  const std::pair<indexed::Slot, uint64_t> counts[] = {{indexed::kRecordCount, 9},
                                                       {indexed::kDeletedCount, 3},
                                                       {indexed::kNodesInUse, 7},
                                                       {indexed::kIndexBytesInUse, bytes + 1},
                                                       {indexed::kFreeNodes, 2}};
  for (auto [s, value] : counts) {
    uint64_t kept = slot(f, s);
    poke(f, s, value);
    report("header slot " + std::to_string(s) + " set to " + std::to_string(value), f);
    poke(f, s, kept);
  }
  EXPECT_TRUE(sound(f));
  // The first record in key 0's order changes its key bytes on disk, then
  // is marked deleted behind the trees' back.
  uint8_t node[512];
  ASSERT_TRUE(indexed::node_read(f, root(f), node));
  SegAddr first{-static_cast<int32_t>(load_be32(node + 3)), load_be16(node + 7)};
  ASSERT_TRUE(indexed::data_write(f,
                                  SegAddr{first.offset + indexed::kV5RecordHeader, first.segment},
                                  reinterpret_cast<const uint8_t *>("9999"), 4));
  report("a record's key bytes changed", f);
  uint8_t flags = indexed::kRecordDeleted;
  ASSERT_TRUE(indexed::data_write(f, SegAddr{first.offset + 8, first.segment}, &flags, 1));
  report("a record marked deleted behind the trees", f);
  EXPECT_EQ(1, v5_close(f));

  // Deletes free nodes; the free list's head then claims to be a tree node,
  // then links to the root of key 0.
  ASSERT_NE(nullptr, f = make_file("trees", 200));
  for (int i = 0; i < 180; ++i) ASSERT_EQ(1, v5_delete(f, rec(i).data()));
  ASSERT_TRUE(sound(f));
  SegAddr free_head = indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg);
  ASSERT_TRUE(indexed::node_read(f, free_head, node));
  node[0] = 1;
  ASSERT_TRUE(indexed::node_write(f, free_head, node));
  report("the free list's head of type 1", f);
  node[0] = 3;
  store_be32(node + 1, static_cast<uint32_t>(root(f).offset));
  store_be16(node + 5, root(f).segment);
  ASSERT_TRUE(indexed::node_write(f, free_head, node));
  report("a free node in a tree", f);
  EXPECT_EQ(1, v5_close(f));
  // Keys out of order in a leaf: the first entry's "0000" becomes "0009".
  ASSERT_NE(nullptr, f = make_file("order", 3));
  ASSERT_TRUE(indexed::node_read(f, root(f), node));
  node[3 + 8 + 4] = '9';
  ASSERT_TRUE(indexed::node_write(f, root(f), node));
  report("keys out of order", f);
  EXPECT_EQ(1, v5_close(f));

  // One short record deleted, then 33 longer ones that cannot use its
  // slot: it is set aside. Then a deleted record whose link leads back to
  // itself.
  FileShape chains{5, nullptr, 100, 10, {{{{4, 0}}}}};
  ASSERT_NE(nullptr, f = chains.make_open("chains"));
  ASSERT_EQ(1, write(f, chains.record({"aaaa"})));
  ASSERT_EQ(1, v5_delete(f, chains.record({"aaaa"}).data()));
  for (int i = 0; i < 33; ++i)
    ASSERT_EQ(1, write(f, chains.record({rec(i).substr(0, 4)}, 100, 'x')));
  report("a record set aside", f);
  ASSERT_EQ(1, v5_delete(f, chains.record({"0005"}).data()));
  SegAddr head = indexed::hget_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg);
  uint8_t link[6];
  store_be32(link, static_cast<uint32_t>(head.offset));
  store_be16(link + 4, head.segment);
  ASSERT_TRUE(indexed::data_write(f, SegAddr{head.offset + 9, head.segment}, link, 6));
  report("a deleted record linked to itself", f);
  EXPECT_EQ(1, v5_close(f));

  // Through the entry point: problems found are E_BROKEN 27; no file is
  // E_PARAM.
  ASSERT_NE(nullptr, f = make_file("marked", 6));
  indexed::mark_broken(f, 21);
  EXPECT_TRUE(failed(v5_check(f, V5_CHECK_CLEAR_DEAD_WRITERS) == 0, E_BROKEN, 27));
  reports_ += std::string("== marked broken\n") + v5_check_report();
  EXPECT_TRUE(failed(v5_check(nullptr, 0) == 0, E_PARAM));
  reports_ += std::string("== no file\n") + v5_check_report();
  EXPECT_EQ(1, v5_close(f));
  EXPECT_TRUE(matches_golden("indexed/check_reports.txt", reports_));
}

}  // namespace
}  // namespace kel::test
