// The older forms end to end through the built kel: an old-style archive
// that kel writes (-o1) and archives of formats 4 and 5 built by hand
// restore their indexed members, and -i2 restores them as version 2
// files. Every restored file is compared, in the order of each key, with
// the records it must hold, and checked.
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

constexpr int kMax = 60;

// Records of 23 to 60 bytes: a unique key of 8 bytes at 0, one of 10
// bytes at 8 shared by about 20 records each, compressible rest.
std::vector<std::string> people(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    char head[32];
    snprintf(head, sizeof head, "%08dGROUP%05d", (i * 7919) % 100000, i % (n / 20 + 1));
    std::string r = head + std::string(static_cast<size_t>(5 + i % 38), ' ');
    r[20 + i % 3] = static_cast<char>('a' + i % 26);
    out.push_back(r);
  }
  return out;
}

// The records of `path` in the order of key `key`, and the file's
// version; the structural check must find it sound.
std::vector<std::string> walk(const std::string &path, int key, std::string *version) {
  std::vector<std::string> out;
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  EXPECT_NE(nullptr, f) << path << " " << *fs_error_code();
  if (f == nullptr) return out;
  char buffer[kMax + 1] = {};
  if (v5_start(f, buffer, key, 0, 1)) {
    for (uint32_t n; (n = v5_next(f, buffer)) > 0;) out.emplace_back(buffer, n);
  }
  EXPECT_EQ(E_NOT_FOUND, *fs_error_code());
  char text[16] = {};
  v5_info(f, -10, text);
  *version = text;
  EXPECT_EQ(1, v5_check(f, 0)) << v5_check_report();
  v5_close(f);
  return out;
}

// The order of key 1 in a file restored in key-0 order: its value, then
// the primary key.
std::vector<std::string> by_key1(std::vector<std::string> records) {
  std::sort(records.begin(), records.end(), [](const std::string &a, const std::string &b) {
    return a.substr(8, 10) + a.substr(0, 8) < b.substr(8, 10) + b.substr(0, 8);
  });
  return records;
}

std::string comment_of(const std::string &path) {
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  char text[64] = {};
  if (f) {
    v5_info(f, -3, text);
    v5_close(f);
  }
  return text;
}

class KelOldStyle : public KelTest {
 protected:
  KelOldStyle() {
    v5_init_cfg();
    for (const char *d : {"src", "out", "v2"}) mkdir((dir_ / d).c_str(), 0755);
  }

  // The restored file holds `records` in the order of both keys.
  void expect_records(const std::string &path, std::vector<std::string> records,
                      const std::string &version) {
    SCOPED_TRACE(path);
    std::sort(records.begin(), records.end());
    std::string v0, v1;
    EXPECT_TRUE(walk(dir_ / path, 0, &v0) == records);
    EXPECT_TRUE(walk(dir_ / path, 1, &v1) == by_key1(records));
    EXPECT_EQ(version, v0);
  }
};

TEST_F(KelOldStyle, EveryOlderFormRestores) {
  // kel -o1 and back: variable lengths, compression, duplicates on key 1.
  const std::vector<std::string> records = people(400);
  std::string src = dir_ / "src/people";
  ASSERT_EQ(1,
            v5_make(src.c_str(), "people", "2,1,1,70,0", "60,20,2", "1,0,8,0,1,1,10,8", nullptr));
  DorvexFile *f = v5_open(src.c_str(), KEL_OPEN_IO, "0,0,0");
  ASSERT_NE(nullptr, f);
  for (const std::string &r : records)
    ASSERT_EQ(1, v5_write(f, r.data(), static_cast<uint32_t>(r.size())));
  ASSERT_EQ(1, v5_close(f));
  RunResult old_style = kel({"-o1"}, "people\n", "src");
  ASSERT_EQ(0, old_style.status) << old_style.err;
  RunResult r = kel({"-i"}, old_style.out, "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(old_style.err, r.err);
  expect_records("out/people", records, "005");
  EXPECT_EQ("people", comment_of(dir_ / "out/people"));
  // A primary key with duplicates has no old-style description: the file
  // is not archived, rather than restored without its duplicates.
  ASSERT_EQ(1, v5_make((dir_ / "src/dup").c_str(), "", "1,1,1,0,0", "20,20,1", "1,1,8,0", nullptr));
  RunResult refused = kel({"-o1"}, "dup\n", "src");
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("dup: record or key layout does not fit the archive format\n2 blocks\n", refused.err);

  // -i2: the members of a current archive become version 2 files.
  RunResult current = kel({"-o"}, "people\n", "src");
  ASSERT_EQ(0, current.status) << current.err;
  r = kel({"-i2"}, current.out, "v2");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(current.err, r.err);
  expect_records("v2/people", records, "002");

  // Formats 4 (fixed records, no length, a description without flags, as
  // the oldest make form has none) and 5 (lengths and flags), by hand.
  const std::vector<std::string> fixed = {"KEY2GRP1record 2", "KEY1GRP1record 1",
                                          "KEY3GRP2record 3"};
  const std::vector<std::string> varying = {"KEY2GRP1r2", "KEY1GRP1record 1", "KEY3GRP2"};
  for (int version : {4, 5}) {
    SCOPED_TRACE(version);
    const bool v5 = version == 5;
    const std::string keys = v5 ? "001,001,1,0016,02,004,0000,004,0004,Y,Y,N,N"
                                : "001,001,1,0016,02,004,0000,004,0004,Y";
    const std::vector<std::string> &rs = v5 ? varying : fixed;
    const long long size = (16 + (v5 ? 2 : 0)) * 3;
    std::string archive = model_archive(
        model_member(0100600, 0, 0, 1, "old", size, 'V') + model_old_data("note", keys, rs, v5),
        512, 512, version);
    r = kel({"-i"}, archive, "out");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::to_string(archive.size() / 512) + " blocks\n", r.err);
    std::vector<std::string> want = rs;
    std::sort(want.begin(), want.end());
    std::string made;
    EXPECT_TRUE(walk(dir_ / "out/old", 0, &made) == want);
    EXPECT_EQ("005", made);
    EXPECT_EQ(3u, walk(dir_ / "out/old", 1, &made).size());
    EXPECT_EQ("note", comment_of(dir_ / "out/old"));
  }
}

}  // namespace
}  // namespace kel::test
