// kel and the indexed engine end to end: indexed files made through the
// engine's entry points in the test process, archived and restored by the
// built kel in temporary folders, and compared in the order of every key
// against a model of the records; members compared byte for byte with the
// model; archives built by hand for what kel never writes (duplicate keys).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "common/spawn.h"
#include "config/config.h"
#include "indexed/check/file_check.h"
#include "kelfs/kelfs.h"

namespace kel::test {
namespace {

// ---------------------------------------------------------------- model --

struct Segment {
  int size, offset;
};
struct Key {
  bool duplicates;
  std::vector<Segment> segments;
  int length() const {
    int n = 0;
    for (const Segment &s : segments) n += s.size;
    return n;
  }
};

// An indexed file's shape, in the terms of the make parameters.
struct Layout {
  std::string comment;
  std::string physical;  // node blocks, preallocation, extension, compression, scrambling
  int max_length, min_length;
  std::vector<Key> keys;
  std::string table;  // empty, or 256 bytes

  std::string record_parameters() const {
    return std::to_string(max_length) + "," + std::to_string(min_length) + "," +
           std::to_string(keys.size());
  }
  std::string key_parameters() const {
    std::string p;
    for (const Key &k : keys) {
      if (!p.empty()) p += ",";
      p += std::to_string(k.segments.size()) + "," + (k.duplicates ? "1" : "0");
      for (const Segment &s : k.segments)
        p += "," + std::to_string(s.size) + "," + std::to_string(s.offset);
    }
    return p;
  }
  // The key value as the engine orders it: segments joined, translated.
  std::string key_value(size_t k, const std::string &record) const {
    std::string v;
    for (const Segment &s : keys[k].segments) v += record.substr(s.offset, s.size);
    if (!table.empty()) {
      for (char &c : v) c = table[static_cast<uint8_t>(c)];
    }
    return v;
  }
  // The record byte whose translation is the smallest: a record of it
  // only is below every key.
  char lowest_byte() const {
    if (table.empty()) return 0;
    int low = 0;
    for (int b = 1; b < 256; ++b)
      if (static_cast<uint8_t>(table[b]) < static_cast<uint8_t>(table[low])) low = b;
    return static_cast<char>(low);
  }
};

// `n` records of the layout: unique keys from a permutation of the record
// numbers, keys with duplicates from about n / 10 values, every other byte
// random or a run of blanks (so that compression has something to do),
// lengths between the minimum and the maximum.
std::vector<std::string> make_records(const Layout &l, int n, unsigned seed) {
  std::mt19937 rng(seed);
  const uint32_t groups = static_cast<uint32_t>(std::max(1, n / 10));
  std::vector<std::string> records;
  for (int i = 0; i < n; ++i) {
    int length = l.min_length + static_cast<int>(rng() % (l.max_length - l.min_length + 1));
    std::string r(static_cast<size_t>(length), ' ');
    for (size_t b = static_cast<size_t>(length) / 3; b < r.size(); ++b)
      r[b] = static_cast<char>(rng());
    for (size_t k = 0; k < l.keys.size(); ++k) {
      const Key &key = l.keys[k];
      // A unique number: i scrambled by an odd multiplier, distinct for
      // every i below 2^32; big-endian bytes, the rest of the key random.
      uint32_t number = key.duplicates ? static_cast<uint32_t>(rng()) % groups
                                       : static_cast<uint32_t>(i) * 2654435761u + k;
      std::string v(static_cast<size_t>(key.length()), '\0');
      for (size_t b = 0; b < v.size(); ++b) v[b] = static_cast<char>(rng());
      for (size_t b = 0; b < 4 && b < v.size(); ++b)
        v[b] = static_cast<char>(number >> (8 * (3 - b)));
      size_t at = 0;
      for (const Segment &s : key.segments) {
        r.replace(static_cast<size_t>(s.offset), static_cast<size_t>(s.size), v, at,
                  static_cast<size_t>(s.size));
        at += static_cast<size_t>(s.size);
      }
    }
    records.push_back(r);
  }
  return records;
}

// The order of key k in a file whose records were written in key-0 order:
// by key value, and duplicates in the order of their primary keys.
std::vector<std::string> model_order(const Layout &l, size_t k, std::vector<std::string> records) {
  std::vector<std::pair<std::string, size_t>> order;
  for (size_t i = 0; i < records.size(); ++i)
    order.emplace_back(l.key_value(k, records[i]) + l.key_value(0, records[i]), i);
  std::sort(order.begin(), order.end());
  std::vector<std::string> sorted;
  for (const auto &o : order) sorted.push_back(std::move(records[o.second]));
  return sorted;
}

// ------------------------------------------------------- engine helpers --

void make_indexed(const std::string &path, const Layout &l,
                  const std::vector<std::string> &records) {
  ASSERT_EQ(
      1, v5_make(path.c_str(), l.comment.c_str(), l.physical.c_str(), l.record_parameters().c_str(),
                 l.key_parameters().c_str(), l.table.empty() ? nullptr : l.table.data()))
      << *fs_error_code();
  DorvexFile *f =
      v5_open(path.c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
  ASSERT_NE(nullptr, f) << *fs_error_code();
  for (const std::string &r : records)
    ASSERT_EQ(1, v5_write(f, r.data(), static_cast<uint32_t>(r.size()))) << *fs_error_code();
  ASSERT_EQ(1, v5_close(f));
}

// Every record of the file in the order of key k.
std::vector<std::string> walk(const std::string &path, const Layout &l, int k) {
  std::vector<std::string> out;
  // Exclusive: the header is not read again for every record.
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, "0,0,0");
  EXPECT_NE(nullptr, f) << path << " " << *fs_error_code();
  if (f == nullptr) return out;
  std::string buffer(static_cast<size_t>(l.max_length), l.lowest_byte());
  if (v5_start(f, buffer.data(), k, 0, 1)) {
    uint32_t n;
    while ((n = v5_next(f, buffer.data())) > 0) out.emplace_back(buffer.data(), n);
  }
  EXPECT_EQ(E_NOT_FOUND, *fs_error_code()) << path << " key " << k;
  v5_close(f);
  return out;
}

// What v5_info tells of the file: record count, the three parameter
// texts, the translation table (or "none") and every key text.
std::vector<std::string> info_texts(const std::string &path, int *version = nullptr) {
  std::vector<std::string> out;
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  EXPECT_NE(nullptr, f) << path;
  if (f == nullptr) return out;
  char text[512];
  for (int32_t code : {-4, -1, -2, -3}) {
    EXPECT_EQ(1, v5_info(f, code, text));
    out.push_back(text);
  }
  if (v5_info(f, -5, text)) {
    out.emplace_back(text, 256);
  } else {
    EXPECT_EQ(E_UNSUPPORTED, *fs_error_code());
    out.push_back("none");
  }
  int keys = atoi(out[1].c_str() + 22);
  for (int k = 0; k < keys; ++k) {
    EXPECT_EQ(1, v5_info(f, k, text));
    out.push_back(text);
  }
  if (version) {
    EXPECT_EQ(1, v5_info(f, -10, text));
    *version = atoi(text);
  }
  v5_close(f);
  return out;
}

// The engine's structural check of the file; its report when unsound.
testing::AssertionResult sound(const std::string &path) {
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  if (f == nullptr) return testing::AssertionFailure() << path << ": code " << *fs_error_code();
  indexed::CheckReport report;
  bool ok = indexed::dorvex_check(f, &report);
  v5_close(f);
  if (ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << path << ":\n" << report.text;
}

bool indexed_exists(const std::string &path) {
  return file_exists(path) || file_exists(path + ".vix");
}

// --------------------------------------------------------------- layouts --

// One unique 8-byte key, fixed-length records, no compression.
Layout unique_key() {
  return {"unique", "1,1,1,0,0", 40, 40, {{false, {{8, 0}}}}, ""};
}

// Alternate keys with duplicates, a key of three segments, a unique
// alternate of two, variable lengths and compression.
Layout alternates() {
  return {"alternates",
          "2,1,1,70,0",
          120,
          48,
          {{false, {{6, 0}}},
           {true, {{4, 6}}},
           {true, {{3, 10}, {2, 20}, {5, 30}}},
           {false, {{5, 13}, {5, 40}}}},
          ""};
}

// A descending collation: byte 0 is the highest key byte, so a search from
// a cleared record would start at the end.
Layout descending_table() {
  Layout l = {"descending", "1,1,1,1,0", 60, 30, {{false, {{6, 2}}}, {true, {{3, 10}}}}, ""};
  for (int i = 0; i < 256; ++i) l.table += static_cast<char>(255 - i);
  return l;
}

// ---------------------------------------------------------------- tests --

class KelIndexed : public KelTest {
 protected:
  KelIndexed() {
    v5_init_cfg();
    // The test's own engine makes and walks the files with a larger cache
    // (4 MiB) than kel's default, only to keep the suite fast.
    cfg_set_long("V_BUFFERS", 0, 8192);
    cfg_set_programmatic("V_NO_ASYNC_CACHE_DATA", -1, "1", -1, 0);
    for (const char *d : {"src", "out"}) mkdir((dir_ / d).c_str(), 0755);
  }

  // Archives src/<name> with kel -o and restores it into out with
  // `restore_option`; both runs must succeed quietly.
  void round_trip(const std::string &name, const std::string &restore_option = "-i") {
    RunResult made = kel({"-o"}, name + "\n", "src");
    ASSERT_EQ(0, made.status) << made.err;
    ASSERT_EQ(std::to_string(made.out.size() / 512) + " blocks\n", made.err);
    RunResult r = kel({restore_option}, made.out, "out");
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(made.err, r.err);
  }

  // Both files hold the model's records in every key's order and tell the
  // same texts.
  void expect_same(const std::string &name, const Layout &l,
                   const std::vector<std::string> &records) {
    std::string restored = dir_ / ("out/" + name), original = dir_ / ("src/" + name);
    EXPECT_EQ(info_texts(original), info_texts(restored));
    for (size_t k = 0; k < l.keys.size(); ++k) {
      SCOPED_TRACE("key " + std::to_string(k));
      std::vector<std::string> want = model_order(l, k, records);
      EXPECT_TRUE(walk(restored, l, static_cast<int>(k)) == want);
      // The original was written in another order: its duplicates may
      // stand in another order, its key values may not.
      EXPECT_TRUE(model_order(l, k, walk(original, l, static_cast<int>(k))) == want);
    }
  }
};

TEST_F(KelIndexed, HundredThousandRecordsComeBackInEveryKeysOrder) {
  const Layout l = alternates();
  const std::vector<std::string> records = make_records(l, 100000, 1);
  make_indexed(dir_ / "src/big", l, records);
  round_trip("big");
  expect_same("big", l, records);
}

TEST_F(KelIndexed, EveryLayoutAndFileVersionRoundTrips) {
  struct Case {
    Layout layout;
    int16_t made;        // V_VERSION of the original
    const char *option;  // the restore's
    int restored;
  } cases[] = {{unique_key(), 3, "-i", 5},  {descending_table(), 5, "-i", 5},
               {alternates(), 4, "-i3", 3}, {alternates(), 5, "-i4", 4},
               {alternates(), 3, "-i5", 5}, {unique_key(), 2, "-i2", 2}};
  int i = 0;
  for (const Case &c : cases) {
    std::string name = "f" + std::to_string(i++);
    SCOPED_TRACE(name + " " + c.layout.comment + " " + c.option);
    std::vector<std::string> records = make_records(c.layout, 2000, static_cast<unsigned>(i));
    cfg_set_short("V_VERSION", 0, c.made);
    make_indexed(dir_ / ("src/" + name), c.layout, records);
    chmod((dir_ / ("src/" + name)).c_str(), 0640);
    int version = 0;
    info_texts(dir_ / ("src/" + name), &version);
    EXPECT_EQ(c.made, version);
    round_trip(name, c.option);
    info_texts(dir_ / ("out/" + name), &version);
    EXPECT_EQ(c.restored, version);
    expect_same(name, c.layout, records);
    struct stat st;
    ASSERT_EQ(0, stat((dir_ / ("out/" + name)).c_str(), &st));
    EXPECT_EQ(0100640u, st.st_mode);
  }
  cfg_set_short("V_VERSION", 0, 5);  // the next cases of this process make version 5
}

TEST_F(KelIndexed, MembersToTheByte) {
  // A member carries the texts v5_info gives, then the records in key-0
  // order behind their lengths; an empty file has data size 0. With -r the
  // file's own bytes travel as a binary member.
  const Layout l = descending_table(), none = alternates();
  std::vector<std::string> records = make_records(l, 30, 2);
  make_indexed(dir_ / "src/idx", l, records);
  make_indexed(dir_ / "src/empty", none, {});
  auto member_of = [&](const std::string &name, const std::vector<std::string> &ordered) {
    std::vector<std::string> t = info_texts(dir_ / ("src/" + name));
    ModelIndexed x;
    x.record_parameters = t[1];
    x.physical_parameters = t[2];
    x.comment = t[3];
    x.table = t[4] == "none" ? "" : t[4];
    x.keys.assign(t.begin() + 5, t.end());
    x.records = ordered;
    long long size = (atoi(t[1].c_str()) + 2) * static_cast<long long>(ordered.size());
    return model_header_of(dir_ / "src", name, "", size, 'V') + model_v6_data(x);
  };
  RunResult r = kel({"-o"}, "idx\nempty\n", "src");
  ASSERT_EQ(0, r.status) << r.err;
  std::string want =
      model_archive(member_of("idx", model_order(l, 0, records)) + member_of("empty", {}));
  EXPECT_EQ(masked(want), masked(r.out));

  RunResult restored = kel({"-i"}, r.out, "out");
  ASSERT_EQ(0, restored.status) << restored.err;
  EXPECT_EQ(info_texts(dir_ / "src/empty"), info_texts(dir_ / "out/empty"));
  EXPECT_TRUE(walk(dir_ / "out/empty", none, 1).empty());

  r = kel({"-or"}, "idx\n", "src");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(masked(model_archive(model_file_member(dir_ / "src", "idx", 'B'))), masked(r.out));
}

TEST_F(KelIndexed, OldStyleOutputToTheByte) {
  // Key 0 of 8 bytes at 0, key 1 of 10 bytes at 8 with duplicates.
  Layout l = {"old", "1,1,1,0,0", 40, 20, {{false, {{8, 0}}}, {true, {{10, 8}}}}, ""};
  std::vector<std::string> records = make_records(l, 25, 5);
  make_indexed(dir_ / "src/idx", l, records);
  RunResult r = kel({"-o1"}, "idx\n", "src");
  ASSERT_EQ(0, r.status) << r.err;
  std::string data = model_old_data("old", "001,001,1,0040,02,008,0000,010,0008,Y,Y,N,N",
                                    model_order(l, 0, records), true);
  std::string want =
      model_archive(model_header_of(dir_ / "src", "idx", "", 42 * 25, 'V') + data, 512, 512, 5);
  EXPECT_EQ(masked(want), masked(r.out));

  // A key of two segments has no old-style description.
  Layout split = {"", "1,1,1,0,0", 20, 20, {{false, {{4, 0}}}, {true, {{2, 4}, {2, 10}}}}, ""};
  make_indexed(dir_ / "src/split", split, make_records(split, 5, 6));
  r = kel({"-o1"}, "idx\nsplit\nidx\n", "src");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Cannot create old-style archive with split keys\n", r.err);
}

TEST_F(KelIndexed, DuplicateKeysAreReportedAndSkipped) {
  // A primary key twice, then a unique alternate key twice.
  ModelIndexed x = sample_indexed({"AAAA111x", "BBBB222y", "AAAA333z", "CCCC222w", "DDDD444v"});
  x.keys[1] = "01,0,003,0000000004";
  std::string archive =
      model_archive(model_v6_member("dup", x) + model_plain(0100644, 0, 0, 1, "after", "a", 'T'));
  RunResult r = kel({"-i"}, archive, "out");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("dup: Duplicate key\ndup: Duplicate key\n" + std::to_string(archive.size() / 512) +
                " blocks\n",
            r.err);
  // The refused records left nothing behind in either key.
  Layout l = {"", "", 10, 8, {{false, {{4, 0}}}, {false, {{3, 4}}}}, ""};
  std::vector<std::string> kept = {"AAAA111x", "BBBB222y", "DDDD444v"};
  EXPECT_EQ(kept, walk(dir_ / "out/dup", l, 0));
  EXPECT_EQ(kept, walk(dir_ / "out/dup", l, 1));
  EXPECT_EQ("a", read_file(dir_ / "out/after"));
}

// The disk fills while records are written (the cache writes blocks back
// to make room), or only when the file is closed and its deferred blocks
// are written: either way the run stops and the file is removed.
TEST_F(KelIndexed, FullDiskWhileRestoringRemovesThePartialFile) {
  const Layout l = unique_key();
  struct Case {
    int records;
    long long limit;
  } cases[] = {{20000, 200000}, {30, 1024}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.records);
    make_indexed(dir_ / "src/idx", l, make_records(l, c.records, 8));
    RunResult made = kel({"-o"}, "idx\n", "src");
    ASSERT_EQ(0, made.status) << made.err;
    RunResult r = kel({"-i"}, made.out, "out", c.limit);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("idx: Disk full\nidx: not restored completely, removed\n", r.err);
    EXPECT_FALSE(indexed_exists(dir_ / "out/idx"));
  }
}

// kel -i killed with SIGKILL in the middle of a large indexed member: the
// file it leaves refuses every open (broken, code 24) and the structural
// check does not call it sound. A completed restore leaves no mark.
TEST_F(KelIndexed, AKilledRestoreLeavesAFileEveryOpenRefuses) {
  const Layout l = unique_key();
  make_indexed(dir_ / "src/idx", l, make_records(l, 30000, 9));
  RunResult made = kel({"-o"}, "idx\n", "src");
  ASSERT_EQ(0, made.status) << made.err;
  const std::string fifo = dir_ / "archive.fifo", restored = dir_ / "out/idx";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  int to_kel = -1;  // held open past the kill: an end of input would clean up
  {
    SpawnOptions o = options({"-i"}, "", "out");
    o.stdin_path = fifo;
    PtySession session(o);
    to_kel = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(to_kel, 0);
    size_t half = made.out.size() / 2;
    ASSERT_EQ(static_cast<ssize_t>(half), write(to_kel, made.out.data(), half));
    // The mark is the low byte of the broken-code field (offset 108).
    for (int i = 0; i < 1000 && read_file(restored).substr(108, 2) != std::string("\0\x18", 2); ++i)
      usleep(10000);
  }  // SIGKILL
  close(to_kel);
  for (int32_t mode : {KEL_OPEN_INPUT, KEL_OPEN_IO}) {
    EXPECT_EQ(nullptr, v5_open(restored.c_str(), mode, "0,0,0"));
    EXPECT_EQ(E_BROKEN, *fs_error_code());
    EXPECT_EQ(24, *fs_error_secondary());
  }
  cfg_set_short("V_FORCE_OPEN", 0, 1);
  DorvexFile *f = v5_open(restored.c_str(), KEL_OPEN_INPUT, "0,0,0");
  cfg_set_short("V_FORCE_OPEN", 0, 0);
  ASSERT_NE(nullptr, f);
  indexed::CheckReport report;
  EXPECT_FALSE(indexed::dorvex_check(f, &report));
  EXPECT_NE(std::string::npos, report.text.find("marked broken with code 24")) << report.text;
  v5_close(f);
  // Restored whole over the cut one: no mark.
  RunResult r = kel({"-i"}, made.out, "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string(2, '\0'), read_file(restored).substr(108, 2));
  EXPECT_EQ(30000u, walk(restored, l, 0).size());
}

TEST_F(KelIndexed, FindListsWithSegmentsRestoreSoundFiles) {
  // find . -name 'people*' | kel -ov: a private indexed file of several
  // data segments, its segments listed before and after it.
  const Layout l = unique_key();
  const std::vector<std::string> records = make_records(l, 4000, 11);
  cfg_set_short("V_VERSION", 0, 5);
  cfg_set_long("V_SEG_SIZE", 0, 0x14000);
  make_indexed(dir_ / "src/people", l, records);
  cfg_set_long("V_SEG_SIZE", 0, 0x7FFFFA00);
  std::vector<std::string> segments;
  for (const std::string &name : folder_entries(dir_ / "src")) {
    chmod((dir_ / ("src/" + name)).c_str(), 0600);
    if (name != "people") segments.push_back(name);
  }
  ASSERT_GE(segments.size(), 3u) << "data segments and the index";
  std::string listed;
  for (const std::string &name : segments) listed += name + "\n";
  RunResult made = kel({"-ov"}, listed + "people\n" + listed, "src");
  ASSERT_EQ(0, made.status) << made.err;
  std::string left;
  for (const std::string &name : segments)
    left += name + ": segment of an indexed file archived record by record, left out\n";
  EXPECT_EQ(listed + "people\n" + listed + left + left + std::to_string(made.out.size() / 512) +
                " blocks\n",
            made.err);
  EXPECT_EQ("people\n", kel({"-it"}, made.out).out);
  RunResult r = kel({"-i"}, made.out, "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(walk(dir_ / "out/people", l, 0) == model_order(l, 0, records));
  EXPECT_TRUE(sound(dir_ / "out/people"));
  EXPECT_EQ(std::vector<std::string>({"people", "people.vix"}), folder_entries(dir_ / "out"));
  for (const std::string &name : folder_entries(dir_ / "out")) {
    struct stat st;
    ASSERT_EQ(0, stat((dir_ / ("out/" + name)).c_str(), &st));
    EXPECT_EQ(0100600u, st.st_mode) << name;
  }

  // -r takes every listed file as its bytes; a segment whose file is not
  // archived through the engine travels as bytes as before.
  made = kel({"-or"}, "people\n" + listed, "src");
  ASSERT_EQ(0, made.status) << made.err;
  EXPECT_EQ("people\n" + listed, kel({"-it"}, made.out).out);
  made = kel({"-o"}, segments[0] + "\n", "src");
  EXPECT_EQ(segments[0] + "\n", kel({"-it"}, made.out).out);

  // An indexed file that cannot be opened (locked by another process, its
  // index missing) is reported and not archived, never as its first bytes.
  DorvexFile *locked =
      v5_open((dir_ / "src/people").c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, "0,0,0");
  ASSERT_NE(nullptr, locked);
  made = kel({"-o"}, "people\n", "src");
  v5_close(locked);
  EXPECT_EQ(1, made.status);
  EXPECT_EQ("people: File locked\n2 blocks\n", made.err);
  ASSERT_EQ(0, rename((dir_ / "src/people.vix").c_str(), (dir_ / "src/gone").c_str()));
  made = kel({"-o"}, "people\n", "src");
  EXPECT_EQ(1, made.status);
  EXPECT_EQ("people.vix: File broken (code 68)\n2 blocks\n", made.err);
}

TEST_F(KelIndexed, HostileArchivesAreShownAndRestoredSafely) {
  // Names that would rewrite the listing line; bytes of 0x80 and above stay.
  const std::string spoof = "no/such\033[2K\r/evil", other = "tab\tback\\del\x7f\xc3\xa9";
  // Largest preallocation and extension of version 5 in a 2 KB archive.
  ModelIndexed huge = sample_indexed();
  huge.physical_parameters = "16,2097152,2097152,070,0";
  // An old archive of a find list: the index again as a plain member.
  const std::string archive =
      model_archive(model_plain(0100644, 0, 0, 1, spoof, "x", 'T') +
                    model_plain(0100644, 0, 0, 1, other, "y", 'T') + model_v6_member("idx", huge) +
                    model_plain(0100644, 0, 0, 1, "idx.vix", "old bytes", 'B'));
  ASSERT_LE(archive.size(), 2048u);
  const std::string shown = "no/such\\033[2K\\r/evil",
                    shown_other = "tab\\tback\\\\del\\177\xc3\xa9";
  EXPECT_EQ(shown + "\n" + shown_other + "\nidx\nidx.vix\n", kel({"-itu"}, archive).out);
  RunResult r = kel({"-iu"}, archive, "out");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("use '-d' to create directories\n" + shown + ": No such file or directory\n" +
                "idx.vix: segment of an indexed file restored in this run, not overwritten\n" +
                std::to_string(archive.size() / 512) + " blocks\n",
            r.err);
  EXPECT_EQ("y", read_file(dir_ / ("out/" + other)));
  const Layout l = {"", "", 10, 8, {{false, {{4, 0}}}, {true, {{3, 4}}}}, ""};
  EXPECT_EQ(huge.records, walk(dir_ / "out/idx", l, 0));
  EXPECT_TRUE(sound(dir_ / "out/idx"));
  struct stat st;
  off_t bytes = 0;
  for (const char *name : {"out/idx", "out/idx.vix"}) {
    ASSERT_EQ(0, stat((dir_ / name).c_str(), &st));
    bytes += st.st_size;
  }
  EXPECT_LT(bytes, 1 << 20);
}

}  // namespace
}  // namespace kel::test
