// Bulk addition: random records added in bulk on top of a file that holds
// records, every key's order compared with the reference model and the
// structural check; duplicates reaching the duplicates log byte for byte
// and the hooks; a key buffer far smaller than one key's entries; and a
// bulk phase that does not end well: killed before its close, or meeting a
// record it cannot read.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "common/test_util.h"
#include "indexed/access_fixture.h"
#include "indexed/access_model.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

constexpr int32_t kBulkOpen = 0x8000 | 0x600 | 2;
// Key 0: 8 bytes at 0, unique; key 1: 3 at 8, duplicates; key 2: 5 at 11,
// unique.
const std::vector<KeySpec> kKeys = {{{{8, 0}}, false}, {{{3, 8}}, true}, {{{5, 11}}, false}};

struct Hooks {
  static inline std::vector<v5_progress> progress;
  static inline std::vector<std::string> rejected;
  static void on_progress(void *p) { progress.push_back(*static_cast<v5_progress *>(p)); }
  static void on_duplicate(DorvexFile *, const char *r, uint32_t n) { rejected.emplace_back(r, n); }
};

class BulkTest : public AccessTest {
 protected:
  DorvexFile *make_bulk_file(const char *name, int version = 5) {
    return make_open(name, version, "40,20,3", "1,0,8,0,1,1,3,8,1,0,5,11", "1,1,1,70,0", 2);
  }
  std::string random_record() {
    auto digits = [&](int n, int values) {
      std::string s = std::to_string(std::uniform_int_distribution<int>(0, values - 1)(rng_));
      return std::string(n - s.size(), '0') + s;
    };
    std::string r(20 + rng_() % 21, ' ');
    r.replace(0, 16, digits(8, 3000) + digits(3, 40) + digits(5, 5000));
    for (size_t i = 16; i < r.size(); i += 3) r[i] = static_cast<char>('a' + rng_() % 26);
    return r;
  }
  // What a flush does to `batch` (in file order): per key in turn, the
  // records in key order (equal values in file order) are added, and one
  // whose value a unique key already holds is rejected. The survivors go
  // into the model in file order; the rejected come back in the order of
  // their first rejection, the order of the duplicates log.
  static std::vector<std::string> apply(FileModel &model, const std::vector<std::string> &batch) {
    std::vector<size_t> rejected;
    std::vector<bool> out(batch.size());
    for (int k = 0; k < static_cast<int>(kKeys.size()); ++k) {
      if (kKeys[k].duplicates) continue;
      std::vector<size_t> order(batch.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return model.key_of(k, batch[a]) < model.key_of(k, batch[b]);
      });
      std::set<std::string> held;
      for (const auto &e : model.tree(k)) held.insert(e.key);
      for (size_t i : order) {
        if (held.insert(model.key_of(k, batch[i])).second) continue;
        if (!out[i]) rejected.push_back(i);
        out[i] = true;
      }
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      if (!out[i]) {
        EXPECT_TRUE(model.write(batch[i]).ok);
      }
    }
    std::vector<std::string> log;
    for (size_t i : rejected) log.push_back(batch[i]);
    return log;
  }
  // `whole`: the structural check too (an open adding in bulk keeps the
  // file marked incomplete, which the check reports).
  void expect_like_model(DorvexFile *f, const FileModel &model, bool whole = true) {
    if (whole) {
      ASSERT_TRUE(sound(f));
    }
    for (int k = 0; k < static_cast<int>(kKeys.size()); ++k) {
      std::vector<std::string> got;
      if (start(f, std::string(40, '\0'), k, 0, 1) == 1)
        for (std::string r; got.size() <= model.records().size() && !(r = next(f)).empty();)
          got.push_back(r);
      EXPECT_EQ(got, model.in_order(k)) << "key " << k;
    }
  }
  // The broken-code byte of a version 5 header, on disk.
  std::string broken_code(const char *name) { return read_file(dir_ / name).substr(109, 1); }

  std::mt19937 rng_{31};
};

TEST_F(BulkTest, OnTopOfRecordsWithDuplicatesLogAndHooks) {
  DorvexFile *f = make_bulk_file("bulk");
  ASSERT_NE(f, nullptr);
  FileModel model(kKeys, nullptr);
  for (int i = 0; i < 300; ++i) {
    std::string r = random_record();
    EXPECT_EQ(model.write(r).ok, write(f, r) == 1);
  }
  ASSERT_EQ(v5_close(f), 1);

  cfg_set_string("DUPLICATES_LOG", 0, "dups.log");
  Hooks::progress.clear();
  Hooks::rejected.clear();
  EXPECT_EQ(v5_register_progress(Hooks::on_progress), nullptr);
  EXPECT_EQ(v5_register_duplicate(Hooks::on_duplicate), nullptr);
  f = v5_open("bulk", kBulkOpen, "0,0,0");
  ASSERT_NE(f, nullptr) << error();
  EXPECT_EQ(broken_code("bulk"), "\x18");  // incomplete until the close
  std::vector<std::string> batch;
  for (int i = 0; i < 2000; ++i) {
    batch.push_back(random_record());
    ASSERT_EQ(write(f, batch.back()), 1) << error();
  }
  ASSERT_EQ(v5_close(f), 1) << error() << "/" << secondary();
  EXPECT_EQ(broken_code("bulk"), std::string(1, '\0'));
  EXPECT_EQ(v5_register_progress(nullptr), Hooks::on_progress);
  EXPECT_EQ(v5_register_duplicate(nullptr), Hooks::on_duplicate);

  std::vector<std::string> rejected = apply(model, batch);
  ASSERT_GT(rejected.size(), 100u);
  std::string log;
  for (const std::string &r : rejected) log += std::string{'\0', static_cast<char>(r.size())} + r;
  EXPECT_EQ(read_file(dir_ / "dups.log"), log);
  EXPECT_EQ(Hooks::rejected, rejected);
  ASSERT_FALSE(Hooks::progress.empty());
  EXPECT_NEAR(Hooks::progress.size(), 100, 1);
  EXPECT_EQ(Hooks::progress.back().done, 6000u);
  EXPECT_EQ(Hooks::progress.back().total, 6000u);

  f = v5_open("bulk", 2, "0,0,0");
  ASSERT_NE(f, nullptr);
  expect_like_model(f, model);
  EXPECT_EQ(v5_close(f), 1);
}

// Keys that do not fit the key buffer: 100 bytes work as 512, 11 entries
// a batch, each batch inserted on its own; with 8192 bytes the batches are
// sorted runs, merged. A read half-way adds the waiting keys first; the
// first half builds the empty trees, the second adds to them. Versions 5,
// 4 and 3.
TEST_F(BulkTest, SmallBuffersAndReadHalfWay) {
  for (auto [version, memory] : {std::pair{5, 100}, {4, 8192}, {3, 8192}}) {
    SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(memory));
    cfg_set_long("V_BULK_MEMORY", 0, memory);
    DorvexFile *f = make_bulk_file("small", version);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(v5_close(f), 1);
    f = v5_open("small", kBulkOpen, "0,0,0");
    ASSERT_NE(f, nullptr);
    FileModel model(kKeys, nullptr);
    for (int half = 0; half < 2; ++half) {
      std::vector<std::string> batch;
      for (int i = 0; i < 400; ++i) {
        batch.push_back(random_record());
        ASSERT_EQ(write(f, batch.back()), 1);
      }
      if (half == 0) {
        EXPECT_EQ(read(f, batch[0], 0), batch[0]);  // the first of its key 0 value
        apply(model, batch);
        expect_like_model(f, model, false);
      } else {
        ASSERT_EQ(v5_close(f), 1) << error() << "/" << secondary();
        apply(model, batch);
      }
    }
    f = v5_open("small", 0, "0,0,0");
    ASSERT_NE(f, nullptr);
    expect_like_model(f, model);
    EXPECT_EQ(v5_close(f), 1);
  }
}

TEST_F(BulkTest, CutShortOrUnreadableStaysMarked) {
  // Killed before its close: every later open refuses the file.
  DorvexFile *f = make_bulk_file("killed");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(v5_close(f), 1);
  pid_t child = fork();
  if (child == 0) {
    DorvexFile *c = v5_open("killed", kBulkOpen, "0,0,0");
    for (int i = 0; c != nullptr && i < 200; ++i) write(c, random_record());
    _exit(c != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(v5_open("killed", 0, "0,0,0"), nullptr);
  EXPECT_EQ(error(), E_BROKEN);
  EXPECT_EQ(secondary(), indexed::kBrokenIncomplete);

  // A duplicates log that cannot be made fails the open, which leaves
  // the file as it was.
  f = make_bulk_file("nolog");
  ASSERT_EQ(v5_close(f), 1);
  cfg_set_string("DUPLICATES_LOG", 0, "no/such/folder/dups");
  EXPECT_EQ(v5_open("nolog", kBulkOpen, "0,0,0"), nullptr);
  EXPECT_EQ(error(), E_NO_FILE);
  cfg_set_string("DUPLICATES_LOG", 0, "");
  f = v5_open("nolog", 0, "0,0,0");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
  // The trace of every key added.
  f = v5_open("nolog", kBulkOpen, "0,0,0");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write(f, record(20, {{0,
                                  "12345678ab\x01"
                                  "07777"}})),
            1);
  cfg_set_long("V_TRACE", 0, 8);
  std::string trace;
  {
    StderrCapture err;
    EXPECT_EQ(v5_close(f), 1);
    trace = err.text();
  }
  cfg_set_long("V_TRACE", 0, 0);
  for (const char *line : {"V: WriteBulkKey(): adding key #0, 8 bytes: 12345678\n",
                           "V: WriteBulkKey(): adding key #1, 3 bytes: ab\\x01\n",
                           "V: WriteBulkKey(): adding key #2, 5 bytes: 07777\n"})
    EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;

  // A record added in bulk that cannot be read back: broken, code 5.
  f = make_bulk_file("damaged");
  ASSERT_EQ(v5_close(f), 1);
  f = v5_open("damaged", kBulkOpen, "0,0,0");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(write(f, random_record()), 1);
  ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
  indexed::SegAddr first =
      indexed::hget_addr(f, indexed::kFirstRecordOffset, indexed::kFirstRecordSeg);
  const uint8_t bad[9] = {0, 0, 0, 5, 0, 0, 0, 99, 0};  // stored length beyond the slot
  ASSERT_TRUE(indexed::data_write(f, first, bad, sizeof bad));
  indexed::header_release(f);
  EXPECT_EQ(v5_close(f), 0);
  EXPECT_EQ(error(), E_BROKEN);
  EXPECT_EQ(secondary(), indexed::kBrokenBulkRecord);
  EXPECT_EQ(v5_open("damaged", 0, "0,0,0"), nullptr);
  EXPECT_EQ(secondary(), indexed::kBrokenBulkRecord);
}

// Every allocation of a bulk session failing in turn (the open, the
// writes, the keys added in runs at the close): no block left allocated,
// and a file that either refuses to open (marked incomplete) or is whole
// (a write that failed added nothing; a temporary file that could not be
// made only slows the close down).
TEST_F(BulkTest, AllocationFailures) {
  cfg_set_long("V_BULK_MEMORY", 0, 8192);
  std::vector<std::string> records;
  for (int i = 0; i < 300; ++i) records.push_back(random_record());
  bool made = false, failed = false;
  auto session = [&] {
    DorvexFile *f = make_bulk_file("alloc");
    made = f != nullptr && v5_close(f) == 1;
    if (!made) return;
    failed = false;
    f = v5_open("alloc", kBulkOpen, "0,0,0");
    for (size_t i = 0; f != nullptr && i < records.size(); ++i) failed |= write(f, records[i]) != 1;
    failed |= f == nullptr || v5_close(f) != 1;
  };
  session();  // the process-wide tables and buffers, made on first use
  ASSERT_FALSE(failed);
  int64_t live = alloc_live_blocks();
  int failures = fail_each_allocation(session, [&](int n) {
    std::string at = "allocation " + std::to_string(n);
    EXPECT_EQ(live, alloc_live_blocks()) << at;
    if (!made) return;
    DorvexFile *g = v5_open("alloc", 0, "0,0,0");
    if (g == nullptr) {
      EXPECT_EQ(error(), E_BROKEN) << at;
      EXPECT_EQ(secondary(), indexed::kBrokenIncomplete) << at;
      return;
    }
    EXPECT_TRUE(sound(g)) << at;
    EXPECT_EQ(v5_close(g), 1);
  });
  EXPECT_GT(failures, 10);
  EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace kel::test
