// Old-style archives through the built kel: one that kel writes (-o1) and
// archives of formats 4 and 5 built by hand restore their indexed members.
// Restored files are walked in the order of both keys and checked. (-i2,
// version 2 files, is among the versions of kel_indexed_test.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "common/spawn.h"
#include "kelfs/kelfs.h"

namespace kel::test {
namespace {

// The records of `path` in the order of `key` (key 1 equal values in
// primary-key order, as a restore writes them), its version and comment.
struct Walked {
  std::vector<std::string> records;
  std::string version, comment;
};
Walked walk(const std::string &path, int key) {
  Walked w;
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  EXPECT_NE(nullptr, f) << path << " " << *fs_error_code();
  if (f == nullptr) return w;
  char buffer[64] = {}, text[64] = {};
  if (v5_start(f, buffer, key, 0, 1)) {
    for (uint32_t n; (n = v5_next(f, buffer)) > 0;) w.records.emplace_back(buffer, n);
  }
  EXPECT_EQ(E_NOT_FOUND, *fs_error_code());
  w.version = (v5_info(f, -10, text), text);
  w.comment = (v5_info(f, -3, text), text);
  EXPECT_EQ(1, v5_check(f, 0)) << v5_check_report();
  v5_close(f);
  return w;
}

// Key 0 is bytes 0-3 (0-7 in `people`), key 1 the next 4 (10) with
// duplicates.
void expect_records(const std::string &path, std::vector<std::string> want, size_t k0, size_t k1,
                    const std::string &version, const std::string &comment) {
  SCOPED_TRACE(path);
  std::sort(want.begin(), want.end());
  Walked w = walk(path, 0);
  EXPECT_TRUE(w.records == want);
  EXPECT_EQ(version, w.version);
  EXPECT_EQ(comment, w.comment);
  std::stable_sort(want.begin(), want.end(), [&](const std::string &a, const std::string &b) {
    return a.substr(k0, k1) < b.substr(k0, k1);
  });
  EXPECT_TRUE(walk(path, 1).records == want);
}

class KelOldStyle : public KelTest {
 protected:
  KelOldStyle() {
    v5_init_cfg();
    for (const char *d : {"src", "out"}) mkdir((dir_ / d).c_str(), 0755);
  }
};

TEST_F(KelOldStyle, EveryOlderFormRestores) {
  // kel -o1 and back: variable lengths, compression, nodes of two blocks,
  // duplicates in key 1.
  std::vector<std::string> records;
  for (int i = 0; i < 400; ++i) {
    char head[32];
    snprintf(head, sizeof head, "%08dGROUP%05d", (i * 7919) % 100000, i % 21);
    records.push_back(head + std::string(static_cast<size_t>(5 + i % 38), "  x"[i % 3]));
  }
  const std::string src = dir_ / "src/people";
  ASSERT_EQ(1,
            v5_make(src.c_str(), "people", "2,1,1,70,0", "60,20,2", "1,0,8,0,1,1,10,8", nullptr));
  DorvexFile *f = v5_open(src.c_str(), KEL_OPEN_IO, "0,0,0");
  for (const std::string &r : records)
    ASSERT_EQ(1, v5_write(f, r.data(), static_cast<uint32_t>(r.size())));
  ASSERT_EQ(1, v5_close(f));
  RunResult made = kel({"-o1"}, "people\n", "src");
  ASSERT_EQ(0, made.status) << made.err;
  RunResult r = kel({"-i"}, made.out, "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(made.err, r.err);
  expect_records(dir_ / "out/people", records, 8, 10, "005", "people");
  // A primary key with duplicates has no old-style description: the file
  // is not archived, rather than restored without its duplicates.
  ASSERT_EQ(1, v5_make((dir_ / "src/dup").c_str(), "", "1,1,1,0,0", "20,20,1", "1,1,8,0", nullptr));
  RunResult refused = kel({"-o1"}, "dup\n", "src");
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("dup: record or key layout does not fit the archive format\n2 blocks\n", refused.err);

  // Format 4 (fixed records without a length, a description without
  // flags: the oldest make form has none) and 5 (lengths and flags), the
  // records in primary-key order as kel writes them.
  for (int version : {4, 5}) {
    SCOPED_TRACE(version);
    const bool v5 = version == 5;
    const std::vector<std::string> rs =
        v5 ? std::vector<std::string>{"KEY1GRP1record 1", "KEY2GRP1r2", "KEY3GRP2"}
           : std::vector<std::string>{"KEY1GRP1record 1", "KEY2GRP1record 2", "KEY3GRP2record 3"};
    const std::string keys =
        std::string("001,001,1,0016,02,004,0000,004,0004,Y") + (v5 ? ",Y,N,N" : "");
    std::string archive =
        model_archive(model_member(0100600, 0, 0, 1, "old", (v5 ? 18 : 16) * 3, 'V') +
                          model_old_data("note", keys, rs, v5),
                      512, 512, version);
    r = kel({"-i"}, archive, "out");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::to_string(archive.size() / 512) + " blocks\n", r.err);
    expect_records(dir_ / "out/old", rs, 4, 4, "005", "note");
  }
}

}  // namespace
}  // namespace kel::test
