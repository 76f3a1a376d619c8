// The whole-file check: its report of a sound file, and each kind of
// damage it must find, made on purpose in files written through the entry
// points.
#include "indexed/access_fixture.h"
#include "indexed/storage/header.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"
#include "support/be.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

class FileCheckTest : public AccessTest {
 protected:
  // 20-byte records, key 0 four bytes at 0, key 1 two bytes at 4 with
  // duplicates; no compression, so record bytes lie on disk as written.
  DorvexFile *make_small(const char *name, int version = 5, int count = 6) {
    DorvexFile *f = make_open(name, version, "20,20,2", "1,0,4,0,1,1,2,4");
    if (f == nullptr) return nullptr;
    for (int i = 0; i < count; ++i) {
      char k0[16];
      snprintf(k0, sizeof k0, "%04d", i);
      if (write(f, record(20, {{0, k0}, {4, i % 2 ? "aa" : "bb"}})) != 1) return nullptr;
    }
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
  // The record the first entry of key 0's root leaf points at.
  static SegAddr first_record(DorvexFile *f) {
    uint8_t node[512];
    SegAddr root{static_cast<int32_t>(f->keys[0].root_offset), f->keys[0].root_segment};
    EXPECT_TRUE(indexed::node_read(f, root, node));
    return SegAddr{-static_cast<int32_t>(load_be32(node + 3)), load_be16(node + 7)};
  }
  static std::string where(SegAddr at) {
    return std::to_string(at.offset) + "/" + std::to_string(at.segment);
  }
  static ::testing::AssertionResult finds(DorvexFile *f, const std::string &line) {
    std::string text = check_text(f);
    if (text.find("problem: " + line) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << line << "\" in\n" << text;
  }
};

TEST_F(FileCheckTest, ReportOfASoundFile) {
  DorvexFile *f = make_small("sound");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(v5_delete(f, record(20, {{0, "0002"}}).data()), 1);
  indexed::CheckReport report;
  EXPECT_TRUE(indexed::dorvex_check(f, &report));
  EXPECT_EQ(std::string(report.text.c_str()),
            "file sound: version 5, 2 keys, nodes of 512 bytes\n"
            "records: 5 live, 1 deleted, 0 set aside\n"
            "nodes: 2 in the trees, 0 free; " +
                std::to_string(report.entry_bytes) +
                " index bytes in use\n"
                "key 0: 4 bytes, height 1\n"
                "key 1: 2 bytes with duplicates, height 1\n"
                "result: sound\n");
  EXPECT_EQ(report.live_records, 5u);
  EXPECT_EQ(report.deleted_records, 1u);
  EXPECT_EQ(report.tree_nodes, 2u);
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(FileCheckTest, HeaderCountsThatDisagree) {
  DorvexFile *f = make_small("counts");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(v5_delete(f, record(20, {{0, "0001"}}).data()), 1);
  poke(f, indexed::kRecordCount, 9);
  EXPECT_TRUE(finds(f, "header: 9 records counted, 5 live records in the data"));
  poke(f, indexed::kRecordCount, 5);
  poke(f, indexed::kDeletedCount, 3);
  EXPECT_TRUE(finds(f, "header: 3 records counted on the deleted chain, 1 found"));
  poke(f, indexed::kDeletedCount, 1);
  poke(f, indexed::kNodesInUse, 7);
  EXPECT_TRUE(finds(f, "header: 7 nodes counted in use, 2 in the trees"));
  poke(f, indexed::kNodesInUse, 2);
  uint64_t bytes = indexed::hget(f, indexed::kIndexBytesInUse);
  poke(f, indexed::kIndexBytesInUse, bytes + 1);
  EXPECT_TRUE(finds(f, "header: " + std::to_string(bytes + 1) + " index bytes counted in use, " +
                           std::to_string(bytes) + " in the trees"));
  poke(f, indexed::kIndexBytesInUse, bytes);
  poke(f, indexed::kFreeNodes, 2);
  EXPECT_TRUE(finds(f, "header: 2 free nodes counted, 0 on the free list"));
  poke(f, indexed::kFreeNodes, 0);
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(FileCheckTest, EntriesThatDoNotMatchTheirRecords) {
  DorvexFile *f = make_small("entries");
  ASSERT_NE(f, nullptr);
  SegAddr at = first_record(f);  // record 0000, the first in key 0's order
  // Its key bytes change on disk: the entries no longer match.
  ASSERT_TRUE(indexed::data_write(f, SegAddr{at.offset + indexed::kV5RecordHeader, at.segment},
                                  reinterpret_cast<const uint8_t *>("9999"), 4));
  EXPECT_TRUE(finds(
      f, "key 0: the entry for the record at " + where(at) + " has another key than the record"));
  // Marked deleted behind the trees' back: entries point at no live record.
  uint8_t flags = indexed::kRecordDeleted;
  ASSERT_TRUE(indexed::data_write(f, SegAddr{at.offset + 8, at.segment}, &flags, 1));
  EXPECT_TRUE(finds(f, "key 1: an entry points at " + where(at) + ", which is no live record"));
  EXPECT_TRUE(finds(f, "key 0: 6 entries for 5 live records"));
  EXPECT_TRUE(finds(f, "header: 6 records counted, 5 live records in the data"));
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(FileCheckTest, DamagedTreesAndLists) {
  DorvexFile *f = make_small("trees", 5, 200);
  ASSERT_NE(f, nullptr);
  // Deletes free nodes.
  for (int i = 0; i < 180; ++i) {
    char k0[16];
    snprintf(k0, sizeof k0, "%04d", i);
    ASSERT_EQ(v5_delete(f, record(20, {{0, k0}}).data()), 1);
  }
  ASSERT_TRUE(sound(f));
  SegAddr free_head = indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg);
  ASSERT_FALSE(free_head == indexed::kNullAddr);
  uint8_t node[512];
  ASSERT_TRUE(indexed::node_read(f, free_head, node));
  node[0] = 1;
  ASSERT_TRUE(indexed::node_write(f, free_head, node));
  EXPECT_TRUE(finds(f, "free list: the node " + where(free_head) + " has the type 1"));
  node[0] = 3;
  ASSERT_TRUE(indexed::node_write(f, free_head, node));
  // A free node that is also in a tree: the list's head becomes the root.
  SegAddr root{static_cast<int32_t>(f->keys[0].root_offset), f->keys[0].root_segment};
  uint8_t head[7] = {3};
  store_be32(head + 1, static_cast<uint32_t>(root.offset));
  store_be16(head + 5, root.segment);
  ASSERT_TRUE(indexed::node_read(f, free_head, node));
  memcpy(node, head, sizeof head);
  ASSERT_TRUE(indexed::node_write(f, free_head, node));
  EXPECT_TRUE(finds(f, "free list: the node " + where(root) + " is in a tree"));
  EXPECT_EQ(v5_close(f), 1);

  // Keys out of order in a leaf.
  DorvexFile *g = make_small("order", 5, 3);
  ASSERT_NE(g, nullptr);
  root = SegAddr{static_cast<int32_t>(g->keys[0].root_offset), g->keys[0].root_segment};
  ASSERT_TRUE(indexed::node_read(g, root, node));
  node[3 + 8 + 4] = '9';  // the first entry's key: "0000" becomes "0009"
  ASSERT_TRUE(indexed::node_write(g, root, node));
  EXPECT_TRUE(finds(g, "tree: key 0"));
  EXPECT_NE(check_text(g).find("(code 105)"), std::string::npos) << check_text(g);
  EXPECT_EQ(v5_close(g), 1);
}

TEST_F(FileCheckTest, DeletedAndSetAsideChains) {
  // Records of 10 to 100 bytes. One short record deleted, then more than
  // thirty longer ones that cannot use its slot: it is set aside.
  DorvexFile *f = make_open("chains", 5, "100,10,1", "1,0,4,0");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write(f, record(10, {{0, "aaaa"}})), 1);
  ASSERT_EQ(v5_delete(f, record(10, {{0, "aaaa"}}).data()), 1);
  for (int i = 0; i < 33; ++i) {
    char k0[16];
    snprintf(k0, sizeof k0, "%04d", i);
    ASSERT_EQ(write(f, record(100, {{0, k0}}, 'x')), 1);
  }
  indexed::CheckReport report;
  EXPECT_TRUE(indexed::dorvex_check(f, &report)) << report.text;
  EXPECT_EQ(report.set_aside_records, 1u);
  EXPECT_EQ(report.deleted_records, 0u);
  // A deleted record whose link leads back to itself.
  ASSERT_EQ(v5_delete(f, record(100, {{0, "0005"}}).data()), 1);
  SegAddr head = indexed::hget_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg);
  uint8_t link[6];
  store_be32(link, static_cast<uint32_t>(head.offset));
  store_be16(link + 4, head.segment);
  ASSERT_TRUE(indexed::data_write(f, SegAddr{head.offset + 9, head.segment}, link, 6));
  EXPECT_TRUE(finds(f, "deleted chain: reaches the record at " + where(head) + " twice"));
  EXPECT_EQ(v5_close(f), 1);
}

TEST_F(FileCheckTest, BrokenMarkAndUnreadableHeader) {
  DorvexFile *f = make_small("marked");
  ASSERT_NE(f, nullptr);
  indexed::mark_broken(f, 21);
  // Through the entry point: problems found are E_BROKEN, secondary 27;
  // no file is E_PARAM.
  EXPECT_EQ(v5_check(f, V5_CHECK_CLEAR_DEAD_WRITERS), 0);
  EXPECT_EQ(*fs_error_code(), E_BROKEN);
  EXPECT_EQ(*fs_error_secondary(), 27);
  EXPECT_NE(std::string(v5_check_report()).find("header: the file is marked broken with code 21"),
            std::string::npos);
  EXPECT_EQ(v5_check(nullptr, 0), 0);
  EXPECT_EQ(*fs_error_code(), E_PARAM);
  EXPECT_STREQ(v5_check_report(), "problem: no file\n");
  EXPECT_EQ(v5_close(f), 1);
}

}  // namespace
}  // namespace kel::test
