// The storage layer: a random run of additions, deletions and rewrites
// against a map of what must be there, in every version, and the one read
// of a record. (The bytes of records, chains and nodes: images_test;
// damaged records and nodes: the fuzz target of the engine; a full disk:
// access_test.)
#include <unistd.h>

#include <map>

#include "cache/cache.h"
#include "common/random_driver.h"
#include "indexed/engine_fixture.h"
#include "indexed/storage/storage.h"
#include "support/be.h"

namespace kel::test {
namespace {

using indexed::SegAddr;

// One key of one byte at 0 (duplicates when asked): the records' keys do
// not matter to the storage layer.
FileShape one_key(int version, uint32_t max, bool dups, const char *physical = nullptr) {
  return FileShape{version, physical, max, 1, {{{{1, 0}}, dups}}};
}

class StorageTest : public EngineTest {
 protected:
  static SegAddr head(DorvexFile *f, bool set_aside = false) {
    return set_aside
               ? indexed::hget_addr(f, indexed::kSetAsideHeadOffset, indexed::kSetAsideHeadSeg)
               : indexed::hget_addr(f, indexed::kDeletedHeadOffset, indexed::kDeletedHeadSeg);
  }
};

// Additions, deletions and rewrites at random against a map of what must
// be where, in every version, with and without compression, scrambling
// and duplicates, across segments: every 100 steps every record reads back
// with its sequence number and the counts match the chains.
TEST_F(StorageTest, RandomOperationsMatchAModel) {
  struct Variant {
    int version;
    const char *physical;
    bool dups;
  };
  const Variant variants[] = {{5, "1,1,3,70,1", true},  {5, "2,1,1,0,0", false},
                              {4, "1,1,2,100,1", true}, {4, "1,1,1,0,0", false},
                              {3, "1,1,2,70,1", true},  {3, "2,2,1,0,0", false}};
  cfg_set_long("V_SEG_SIZE", 0, 1);
  auto less = [](SegAddr a, SegAddr b) {
    return a.segment != b.segment ? a.segment < b.segment : a.offset < b.offset;
  };
  for (const Variant &v : variants) {
    SCOPED_TRACE(std::to_string(v.version) + " " + v.physical);
    FileShape shape = one_key(v.version, 1200, v.dups, v.physical);
    shape.min_record = 4;
    RandomRun run(20240611, 4000);
    RecordGen gen(shape, {});
    DorvexFile *f = open_update(shape);
    ASSERT_NE(nullptr, f);
    std::map<SegAddr, std::pair<std::string, uint32_t>, decltype(less)> model(less);
    uint32_t sequence = 0;
    auto any = [&] { return std::next(model.begin(), static_cast<long>(run.below(model.size()))); };
    auto add_one = [&] {
      std::string r = gen.random(run.rng());
      SegAddr at = add(f, r, ++sequence);
      ASSERT_EQ(0u, model.count(at)) << "a live slot was handed out again";
      model[at] = {r, sequence};
    };
    auto delete_one = [&] {
      if (model.size() < 3) return add_one();
      auto it = any();
      ASSERT_TRUE(indexed::delete_record(f, it->first)) << codes();
      model.erase(it);
    };
    auto rewrite_one = [&] {
      if (model.size() < 3) return add_one();
      auto it = any();
      std::string r = gen.random(run.rng());
      SegAddr moved;
      ASSERT_TRUE(indexed::rewrite_record(f, it->first, reinterpret_cast<const uint8_t *>(r.data()),
                                          static_cast<uint32_t>(r.size()), &moved));
      uint32_t seq = it->second.second;
      if (!(moved == it->first)) model.erase(it);
      model[moved] = {r, seq};
    };
    // The length of a chain from its head slots, following the headers.
    auto chain = [&](bool set_aside) {
      int n = 0;
      for (SegAddr at = head(f, set_aside); at != indexed::kNullAddr; ++n) {
        indexed::RecordHeader h;
        if (!indexed::read_record_header(f, at, &h) || !h.deleted || n > 100000) return -1;
        at = h.next;
      }
      return n;
    };
    auto check = [&] {
      ASSERT_TRUE(indexed::header_write(f));
      for (const auto &[at, content] : model) {
        uint32_t seq = 0;
        ASSERT_EQ(content.first, read_at(f, at, &seq)) << at.offset << "/" << at.segment;
        ASSERT_EQ(v.dups ? content.second : 0u, seq);
      }
      ASSERT_EQ(model.size(), slot(f, indexed::kRecordCount));
      ASSERT_EQ(static_cast<int>(slot(f, indexed::kDeletedCount)), chain(false));
      ASSERT_EQ(static_cast<int>(slot(f, indexed::kSetAsideCount)), chain(true));
    };
    ASSERT_TRUE(
        run.run({{"add", 5, add_one}, {"delete", 3, delete_one}, {"rewrite", 2, rewrite_one}},
                run.operations(), check, 100));
    if (v.version >= 4) {
      EXPECT_GE(f->data.count, 2) << "the run crossed into segment 1";
    }
    finish(f);
    f = dorvex_open("f.dat", KEL_OPEN_INPUT);
    ASSERT_NE(nullptr, f);
    ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kLocked));
    for (const auto &[at, content] : model) ASSERT_EQ(content.first, read_at(f, at));
    indexed::header_release(f);
    EXPECT_EQ(model.size(), std::stoul(info(f, -4)));
    dorvex_close(f);
  }
}

}  // namespace
}  // namespace kel::test
