// Reading one record: a data segment that bypasses the pool gives the
// record header and the stored form in one read where they fit, and the
// record reads the same, with the same errors, whichever way it is read.
#include <unistd.h>

#include <random>

#include "cache/cache.h"
#include "indexed/dorvex_fixture.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"
#include "support/be.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;
using indexed::SegAddr;

class RecordReadTest : public DorvexTest {
 protected:
  DorvexFile *open_file(int32_t flags) {
    DorvexFile *f = dorvex_open("r.dat", flags);
    EXPECT_NE(nullptr, f) << error();
    if (f) {
      EXPECT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
    }
    return f;
  }
  // The record at `at`, or "<code,secondary>"; *calls gets the pread calls
  // the read made.
  static std::string read(DorvexFile *f, SegAddr at, uint32_t *sequence, uint32_t *calls) {
    std::string out(f->max_record, '\0');
    uint32_t before = cache_counters().pread_calls;
    int64_t n = indexed::read_record(f, at, reinterpret_cast<uint8_t *>(&out[0]), sequence);
    *calls = cache_counters().pread_calls - before;
    if (n < 0) return "<" + std::to_string(error()) + "," + std::to_string(secondary()) + ">";
    out.resize(static_cast<size_t>(n));
    return out;
  }
};

// Records of every length up to the maximum, in versions 4 and 5, plain,
// compressed and scrambled with sequence numbers: each reads back whole,
// with its sequence number, in one pread when header and stored form fit
// the one read of 1024 bytes and in two otherwise; through the pool (a
// deferred open) they read the same.
TEST_F(RecordReadTest, OneReadForHeaderAndDataWhenTheSegmentBypassesThePool) {
  struct Variant {
    int version;
    const char *physical;
    const char *keys;
  };
  const Variant variants[] = {
      {5, "1,1,1,0,0", "1,0,4,0"},
      {5, "1,1,1,70,1", "1,1,4,0"},
      {4, "1,1,1,0,0", "1,1,4,0"},
      {4, "1,1,1,100,1", "1,0,4,0"},
  };
  std::mt19937 rng(7);
  for (const Variant &v : variants) {
    SCOPED_TRACE(std::string("version ") + std::to_string(v.version) + " " + v.physical);
    set_version(v.version);
    ASSERT_EQ(1, make("r.dat", "1500,4,1", v.keys, v.physical)) << error();
    DorvexFile *f = open_file(KEL_OPEN_IO);
    ASSERT_NE(nullptr, f);
    struct Written {
      SegAddr at;
      std::string record;
      uint32_t sequence;
    };
    std::vector<Written> written;
    for (uint32_t i = 0; i < 300; ++i) {
      size_t length = 4 + rng() % 1497;
      std::string r(length, ' ');
      for (size_t k = 0; k < length; k += 1 + rng() % 9) r[k] = static_cast<char>('a' + rng() % 26);
      written.push_back({add(f, r, 1000 + i), r, 1000 + i});
    }
    ASSERT_TRUE(cache_bypasses_pool(f->data.files[0]));
    int32_t header = indexed::record_header_size(f);
    for (const Written &w : written) {
      uint8_t h[indexed::kV5RecordHeader];
      ASSERT_TRUE(indexed::data_read(f, w.at, h, static_cast<uint32_t>(header)));
      uint32_t stored = v.version >= 5 ? load_be32(h + 4) : (load_be16(h + 2) & 0x7FFFu);
      uint32_t sequence = 0, calls = 0;
      ASSERT_EQ(w.record, read(f, w.at, &sequence, &calls));
      EXPECT_EQ(f->duplicates ? w.sequence : 0u, sequence);
      EXPECT_EQ(header + stored <= 1024 ? 1u : 2u, calls) << "stored " << stored;
    }
    finish(f);
    f = open_file(KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED);
    ASSERT_NE(nullptr, f);
    ASSERT_FALSE(cache_bypasses_pool(f->data.files[0]));
    for (const Written &w : written) {
      uint32_t sequence = 0, calls = 0;
      ASSERT_EQ(w.record, read(f, w.at, &sequence, &calls));
      EXPECT_EQ(f->duplicates ? w.sequence : 0u, sequence);
    }
    finish(f);
    ASSERT_EQ(1, v5_remove("r.dat"));
  }
}

// The one read goes past the record: at the end of the segment it comes
// back short, which is no error while the header and the stored form
// arrived. A segment that ends inside them is broken (secondary code 9),
// as is one that ends inside a version 4 deleted record's link; a deleted
// record whose bytes are all there is secondary code 81.
TEST_F(RecordReadTest, ASegmentEndingInsideTheRecordIsBrokenAndOneEndingBehindItIsNot) {
  for (int version : {4, 5}) {
    SCOPED_TRACE("version " + std::to_string(version));
    set_version(version);
    ASSERT_EQ(1, make("r.dat", "1500,4,1", "1,0,4,0", "1,1,1,0,0")) << error();
    DorvexFile *f = open_file(KEL_OPEN_IO);
    ASSERT_NE(nullptr, f);
    std::string small(40, 's'), large(1400, 'L');
    SegAddr a = add(f, small, 0);
    SegAddr b = add(f, large, 0);
    SegAddr c = add(f, small, 0);
    int32_t header = indexed::record_header_size(f);
    uint32_t sequence = 0, calls = 0;
    // Each cut shortens the segment further (a cut zeroes what it drops).
    auto cut = [&](int64_t size) { ASSERT_EQ(0, truncate("r.dat", size)); };

    ASSERT_TRUE(indexed::delete_record(f, c));
    EXPECT_EQ("<6,81>", read(f, c, &sequence, &calls));
    cut(c.offset + header + 2);  // a version 4 link of 6 bytes is cut short
    EXPECT_EQ(version == 4 ? "<6,9>" : "<6,81>", read(f, c, &sequence, &calls));

    cut(c.offset);  // the large record needs a second read, to the end
    EXPECT_EQ(large, read(f, b, &sequence, &calls));
    EXPECT_EQ(2u, calls);
    cut(b.offset + header + 1399);
    EXPECT_EQ("<6,9>", read(f, b, &sequence, &calls));

    cut(b.offset);  // the one read of the small record comes back short
    EXPECT_EQ(small, read(f, a, &sequence, &calls));
    EXPECT_EQ(1u, calls);
    cut(a.offset + header + 39);
    EXPECT_EQ("<6,9>", read(f, a, &sequence, &calls));
    cut(a.offset + header - 1);
    EXPECT_EQ("<6,9>", read(f, a, &sequence, &calls));
    indexed::header_release(f);
    dorvex_close(f);
    ASSERT_EQ(1, v5_remove("r.dat"));
  }
}

}  // namespace
}  // namespace kel::test
