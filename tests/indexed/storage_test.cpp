// The storage primitives of the trees: node blocks, allocation from the end
// of the index and from the free-node list, the header counters and the
// key roots.
#include "indexed/storage/storage.h"

#include "indexed/dorvex_fixture.h"
#include "indexed/storage/segments.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

class StorageTest : public DorvexTest {
 protected:
  DorvexFile *open_new(int version, const char *physical = "1,1,1,0,0") {
    return open_update("n.dat", version, "100,0,2", "1,0,8,0,1,1,4,8", physical);
  }
  static SegAddr allocate(DorvexFile *f) {
    SegAddr at{-1, 0};
    EXPECT_TRUE(indexed::node_allocate(f, &at)) << error() << "/" << secondary();
    return at;
  }
  static SegAddr free_head(DorvexFile *f) {
    return indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg);
  }
  static size_t index_size() { return read_file("n.vix").size(); }
};

TEST_F(StorageTest, NodesComeFromTheEndThenFromTheFreeList) {
  DorvexFile *f = open_new(5);
  for (int32_t at : {512, 1024, 1536}) EXPECT_EQ((SegAddr{at, 0}), allocate(f));
  EXPECT_EQ(3u, slot(f, indexed::kNodesInUse));
  std::string block(512, '\xab');
  ASSERT_TRUE(indexed::node_write(f, SegAddr{1024, 0}, reinterpret_cast<uint8_t *>(&block[0])));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{1024, 0}));
  ASSERT_TRUE(indexed::node_free(f, SegAddr{512, 0}));
  EXPECT_EQ(1u, slot(f, indexed::kNodesInUse));
  EXPECT_EQ(2u, slot(f, indexed::kFreeNodes));
  EXPECT_EQ((SegAddr{512, 0}), free_head(f));
  std::string vix = read_file("n.vix");
  EXPECT_EQ("03 00 00 00 00 00 00 ab ab ", hex(vix, 1024, 9)) << "7 bytes, the rest untouched";
  EXPECT_EQ("03 00 00 04 00 00 00 ", hex(vix, 512, 7)) << "512 links to 1024";
  EXPECT_EQ((SegAddr{512, 0}), allocate(f));
  EXPECT_EQ((SegAddr{1024, 0}), allocate(f));
  EXPECT_EQ(0u, slot(f, indexed::kFreeNodes));
  EXPECT_EQ(indexed::kNullAddr, free_head(f));
  EXPECT_EQ((SegAddr{2048, 0}), allocate(f));
  EXPECT_EQ(4u, slot(f, indexed::kNodesInUse));
  finish(f);
  std::string h = read_file("n.dat");
  EXPECT_EQ(4u, get(h, 96, 4));
  EXPECT_EQ(2560u, get(h, 130, 4)) << "index segment 0 bytes in use";
}

TEST_F(StorageTest, NodesOfTwoBlocksAndOfVersion3) {
  DorvexFile *f = open_new(5, "2,1,1,0,0");
  EXPECT_EQ((SegAddr{512, 0}), allocate(f)) << "nodes start after the segment header";
  EXPECT_EQ((SegAddr{1536, 0}), allocate(f));
  finish(f);

  f = open_new(3, "1,2,1,0,0");
  // The file holds the header block and one node not in use; index nodes
  // go to its end.
  EXPECT_EQ((SegAddr{1024, 0}), allocate(f));
  SegAddr b = allocate(f);
  EXPECT_EQ((SegAddr{1536, 0}), b);
  ASSERT_TRUE(indexed::node_free(f, SegAddr{1024, 0}));
  ASSERT_TRUE(indexed::node_free(f, b));
  finish(f);
  std::string v3 = read_file("n.dat");
  EXPECT_EQ(2048u, v3.size());
  EXPECT_EQ(2048u, get(v3, 12, 4)) << "size of the file";
  EXPECT_EQ("03 00 00 04 00 00 ", hex(v3, 1536, 6)) << "5 bytes: no segment field";
  EXPECT_EQ(1536u, get(v3, 36, 4));
}

TEST_F(StorageTest, TheIndexGrowsByTheExtensionAndUsesPreallocatedBlocks) {
  DorvexFile *f = open_new(5, "1,1,10,0,0");
  EXPECT_EQ(512u, index_size());
  allocate(f);
  EXPECT_EQ(5632u, index_size()) << "10 nodes of zeros past the header";
  for (int i = 0; i < 9; ++i) allocate(f);
  EXPECT_EQ(5632u, index_size());
  EXPECT_EQ((SegAddr{5632, 0}), allocate(f));
  EXPECT_EQ(10752u, index_size());
  finish(f);

  cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, 50);
  f = open_new(5, "1,1,10,0,0");
  allocate(f);
  EXPECT_EQ(3072u, index_size()) << "10 x 50% = 5 nodes";
  finish(f);

  cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, 100);
  f = open_new(5, "1,10,1,0,0");
  EXPECT_EQ(5120u, index_size());
  for (int i = 0; i < 9; ++i) allocate(f);
  EXPECT_EQ(5120u, index_size()) << "the preallocated blocks are used first";
  EXPECT_EQ((SegAddr{5120, 0}), allocate(f));
  EXPECT_EQ(5632u, index_size());
  finish(f);
}

TEST_F(StorageTest, CountersAndKeyRootsReachTheHeader) {
  DorvexFile *f = open_new(5);
  indexed::index_bytes_adjust(f, 100);
  indexed::index_bytes_adjust(f, -30);
  EXPECT_EQ(70u, slot(f, indexed::kIndexBytesInUse));
  uint32_t before = static_cast<uint32_t>(slot(f, indexed::kKeyDescVersion));
  ASSERT_TRUE(indexed::set_key_root(f, 1, SegAddr{0x1234, 2}, 3));
  EXPECT_EQ(before + 1, slot(f, indexed::kKeyDescVersion));
  EXPECT_EQ(before + 1, f->key_desc_version);
  std::string h = read_file("n.dat");
  EXPECT_EQ("00 00 12 34 00 02 03 01 01 04 ", hex(h, 300, 10))
      << "root, segment, height written; segments, duplicates, length kept";
  EXPECT_EQ(8u, get(h, 300 + 12, 4));
  finish(f);
  h = read_file("n.dat");
  EXPECT_EQ(70u, get(h, 86, 6));
  EXPECT_EQ(1u, get(h, 52, 4));
}

TEST_F(StorageTest, DamageIsBrokenWithItsCode) {
  DorvexFile *f = open_new(5);
  SegAddr a = allocate(f);
  std::string block(512, '\0');
  block[0] = 1;  // a tree node
  ASSERT_TRUE(indexed::node_write(f, a, reinterpret_cast<uint8_t *>(&block[0])));
  indexed::hset_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg, a);
  SegAddr b{7, 7};
  EXPECT_TRUE(fails(indexed::node_allocate(f, &b), E_BROKEN, 12));
  EXPECT_EQ(indexed::kNullAddr, b);
  uint8_t buf[512];
  EXPECT_TRUE(fails(indexed::node_read(f, SegAddr{512, 5}, buf), E_BROKEN, 68));
  EXPECT_STREQ("n.v05", fs_missing_file_name());
  EXPECT_TRUE(fails(indexed::node_read(f, SegAddr{1 << 20, 0}, buf), E_BROKEN, 26)) << "beyond";
  indexed::header_release(f);
  dorvex_close(f);
}

}  // namespace
}  // namespace kel::test
