// Random damage to the bytes of an indexed file: whatever the damage, every
// operation ends with a result or an error code, never a crash, a read or
// write outside a buffer (the sanitizer build runs this too) or an endless
// walk. Nothing is asserted about which error a damaged byte gives: a
// damaged record may also read back as another record.
#include <random>
#include <string>
#include <vector>

#include "common/fails.h"
#include "common/test_util.h"
#include "indexed/access/access_state.h"
#include "indexed/access_fixture.h"
#include "indexed/storage/header.h"

namespace kel::test {
namespace {

// Records of 20 to 60 bytes: key 0 eight digits at 0 (unique), key 1 four
// letters at 8 (duplicates), blanks and digits after them so that
// compression has runs to take.
std::string sample_record(std::mt19937 &rng, uint32_t n) {
  char k0[16];
  snprintf(k0, sizeof k0, "%08u", n);
  std::string r = k0;
  for (int i = 0; i < 4; ++i) r += static_cast<char>('A' + rng() % 6);
  size_t length = 20 + rng() % 41;
  while (r.size() < length) r += rng() % 3 ? ' ' : static_cast<char>('0' + rng() % 10);
  return r;
}

struct Shape {
  int version;
  const char *physical;  // node blocks, preallocation, extension, compression, scrambling
};

class DamagedFile : public AccessTest, public ::testing::WithParamInterface<Shape> {
 protected:
  static constexpr int kRecords = 3000;

  void make_sample() {
    std::mt19937 rng(11);
    DorvexFile *f = make_open("good", GetParam().version, "60,20,2", "1,0,8,0,1,1,4,8",
                              GetParam().physical, 2, nullptr);
    ASSERT_NE(nullptr, f);
    std::vector<std::string> written;
    for (int i = 0; i < kRecords; ++i) {
      std::string r = sample_record(rng, static_cast<uint32_t>(rng() % 1000000));
      int rc = write(f, r);
      ASSERT_TRUE(rc == 1 || rc == E_DUPLICATE_ALTERNATE || *fs_error_code() == E_DUPLICATE);
      if (rc != 0) written.push_back(r);
    }
    // Every tenth record deleted leaves a chain for the damage to reach too.
    for (size_t i = 0; i < written.size(); i += 10) ASSERT_EQ(1, v5_delete(f, written[i].data()));
    ASSERT_TRUE(sound(f));
    ASSERT_EQ(1, v5_close(f));
    good_data_ = read_file(dir_ / "good");
    if (GetParam().version >= 4) good_index_ = read_file(dir_ / "good.vix");
  }

  // Walks key `key` from one end with v5_next or v5_previous; a walk that
  // returns more records than the file can hold has gone round in circles.
  void walk(DorvexFile *f, int key, bool forward) {
    std::string edge(60, forward ? '\0' : '\xff');
    if (start(f, edge, key, 0, forward ? 1 : 4) != 1) return;
    int returned = 0;
    while ((forward ? v5_next(f, buffer_) : v5_previous(f, buffer_)) != 0) {
      ASSERT_LT(++returned, 4 * kRecords)
          << "endless walk of key " << key << (forward ? " forward" : " back");
    }
  }

  std::string good_data_;
  std::string good_index_;
};

TEST_P(DamagedFile, EveryOperationEndsWithAResultOrAnError) {
  make_sample();
  std::mt19937 rng(20261206);
  int refused_opens = 0;
  int unsound = 0;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string data = good_data_;
    std::string index = good_index_;
    int hits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < hits; ++i) {
      // Mostly the index (nodes), then records, now and then a header.
      int where = static_cast<int>(rng() % 10);
      std::string &bytes = where < 6 && !index.empty() ? index : data;
      size_t at = where == 9 ? rng() % 1024 : rng() % bytes.size();
      switch (rng() % 3) {
        case 0:
          bytes[at] = static_cast<char>(rng());
          break;
        case 1:
          bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
          break;
        default:
          bytes[at] = static_cast<char>(rng() % 2 ? 0 : 0xFF);
          break;
      }
    }
    write_file(dir_ / "bad", data);
    if (!index.empty()) write_file(dir_ / "bad.vix", index);

    // Reads take the header lock, or run unlocked, header-checked or
    // verified, in turn: the unlocked modes retry what they find wrong.
    cfg_set_short("V_LOCK_METHOD", 0, static_cast<int16_t>(round % 3));
    DorvexFile *f = v5_open("bad", 2, "0,0,0");
    if (f == nullptr) {
      EXPECT_NE(0, *fs_error_code());
      ++refused_opens;
      continue;
    }
    for (int key : {0, 1}) {
      walk(f, key, true);
      walk(f, key, false);
    }
    std::mt19937 ops(static_cast<uint32_t>(round));
    for (int i = 0; i < 200; ++i) {
      std::string r = sample_record(ops, static_cast<uint32_t>(ops() % 1000000));
      switch (ops() % 4) {
        case 0:
          read(f, r, static_cast<int>(ops() % 2));
          break;
        case 1:
          write(f, r);
          break;
        case 2:
          v5_delete(f, r.data());
          break;
        default:
          start(f, r, static_cast<int>(ops() % 2), static_cast<int>(ops() % 9),
                static_cast<int>(ops() % 5));
          v5_next(f, buffer_);
          break;
      }
    }
    if (v5_nkrstart(f) == 1) {
      int returned = 0;
      while (v5_nkrnext(f, buffer_) != 0) ASSERT_LT(++returned, 4 * kRecords);
    }
    indexed::CheckReport report;
    if (!indexed::dorvex_check(f, &report)) ++unsound;
    v5_close(f);
  }
  // The damage reached the checks: some opens refused, some files found
  // unsound (most damage to node bytes is seen by the check).
  EXPECT_GT(refused_opens + unsound, 40);
}

// Positions beyond what the segments hold: in the header, the open says
// broken (secondary code 26), with V_FORCE_OPEN too; in a key root or a
// leaf pointer (0x80000000, whose negation does not exist), the first use
// says so. Nothing is written beyond the file's end.
TEST_P(DamagedFile, PositionsOutsideTheSegmentsAreBroken) {
  make_sample();
  const int v = GetParam().version;
  const indexed::HeaderLayout &l = *indexed::header_layout(v);
  auto patched = [&](std::string bytes, int32_t at, uint32_t value) {
    bytes.replace(static_cast<size_t>(at), 4,
                  std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                              static_cast<char>(value >> 8), static_cast<char>(value)});
    return bytes;
  };
  auto put = [&](const std::string &data, const std::string &index) {
    write_file(dir_ / "bad", data);
    if (v >= 4) write_file(dir_ / "bad.vix", index);
  };
  // 7f 00 e3 40 at the end of data is the damage that grew files to 2 GB.
  for (indexed::Slot slot : {indexed::kEndOfDataOffset, indexed::kFirstRecordOffset,
                             indexed::kDeletedHeadOffset, indexed::kFreeNodeOffset}) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    put(patched(good_data_, l.offset[slot], 0x7f00e340u), good_index_);
    cfg_set_short("V_FORCE_OPEN", 0, 1);
    EXPECT_TRUE(fails(v5_open("bad", 2, "0,0,0"), E_BROKEN, indexed::kBrokenPosition));
    cfg_set_short("V_FORCE_OPEN", 0, 0);
  }
  // The stored pointer of the second record in key 0's order.
  DorvexFile *f = v5_open("good", 0, "0,0,0");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, start(f, std::string(60, '\0'), 0, 0, 1));
  ASSERT_NE("", next(f));
  indexed::SegAddr second = f->read->prefetch[0];
  ASSERT_EQ(1, v5_close(f));
  std::string pattern = patched(std::string(4, '\0'), 0, static_cast<uint32_t>(second.offset));
  if (v >= 4)
    pattern +=
        std::string{static_cast<char>(second.segment >> 8), static_cast<char>(second.segment)};
  std::string nodes = v >= 4 ? good_index_ : good_data_;
  for (size_t at = 0; (at = nodes.find(pattern, at)) != std::string::npos; at += pattern.size())
    nodes = patched(nodes, static_cast<int32_t>(at), 0x80000000u);
  ASSERT_NE(nodes, v >= 4 ? good_index_ : good_data_);
  int32_t root = indexed::key_description_offset(l, 0) + l.offset[indexed::kKdRootOffset];
  for (bool leaf : {true, false}) {
    SCOPED_TRACE(leaf ? "leaf pointer" : "root");
    std::string data = leaf ? good_data_ : patched(good_data_, root, 0x7f000000u);
    if (leaf && v < 4) data = nodes;
    put(data, leaf ? nodes : good_index_);
    f = v5_open("bad", 2, "0,0,0");
    ASSERT_NE(nullptr, f);
    if (leaf) {
      ASSERT_EQ(1, start(f, std::string(60, '\0'), 0, 0, 1));
      EXPECT_NE("", next(f));
      EXPECT_TRUE(fails(next(f), E_BROKEN, indexed::kBrokenPosition));
    } else {
      EXPECT_TRUE(
          fails(start(f, std::string(60, '\0'), 0, 0, 1), E_BROKEN, indexed::kBrokenPosition));
    }
    std::mt19937 rng(5);
    for (int i = 0; i < 10; ++i) write(f, sample_record(rng, 2000000u + static_cast<uint32_t>(i)));
    EXPECT_FALSE(sound(f));
    v5_close(f);
    // Version 2 keeps no broken code: the writes go on and may add nodes.
    if (v >= 3) {
      EXPECT_LE(read_file(dir_ / "bad").size(), good_data_.size());
    }
    if (v >= 4) {
      EXPECT_LE(read_file(dir_ / "bad.vix").size(), good_index_.size());
    }
  }
}

// Version 5 with compression and scrambling, version 4 with nodes of two
// blocks, versions 3 and 2 (nodes and records in one file).
INSTANTIATE_TEST_SUITE_P(Shapes, DamagedFile,
                         ::testing::Values(Shape{5, "1,1,1,100,1"}, Shape{4, "2,1,1,0,0"},
                                           Shape{3, "1,1,1,100,0"}, Shape{2, "1,1,1,100,0"}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                           return "v" + std::to_string(info.param.version);
                         });

}  // namespace
}  // namespace kel::test
