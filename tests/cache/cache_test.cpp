// The block cache. Each scenario checks the bytes read and written and
// compares its trace (one line a call, the system calls made for it) and
// the metrics report at shutdown whole with a golden file: together they
// say which calls reached the disk, which were served from the pool and
// how dirty blocks went back. A random run checks every transfer against
// a plain string.
#include "cache/cache.h"
#include "indexed/broken_codes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/fails.h"
#include "common/golden.h"
#include "common/random_driver.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

constexpr int kBlock = 512;

// `count` blocks, block i filled with the character base + i.
std::string blocks(int count, char base = 'a') {
  std::string s;
  for (int i = 0; i < count; ++i) s.append(kBlock, static_cast<char>(base + i));
  return s;
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    config_.buffers = 64;
    set_cache_config_override(&config_);
  }
  void TearDown() override {
    Bshutdown();
    set_trace_bits(0);
    set_cache_config_override(nullptr);
  }
  // Opens path_ through the cache and records its kind.
  int open_cached(int flags, int kind = kKindIndex, const std::string &path = "") {
    int f = Bopen((path.empty() ? path_ : path).c_str(), flags);
    EXPECT_GE(f, 0);
    Bset_kind(f, kind);
    return f;
  }
  // Writes whole blocks `numbers` (block b filled with base + b) and
  // returns the expected contents of the file afterwards.
  std::string dirty(int f, std::string expected, std::initializer_list<int> numbers, char base) {
    for (int b : numbers) {
      std::string data(kBlock, static_cast<char>(base + b));
      EXPECT_EQ(kBlock, Bpwrite(f, data.data(), kBlock, b * kBlock));
      expected.replace(b * kBlock, kBlock, data);
    }
    return expected;
  }
  std::string read(int f, int length, int64_t offset) {
    std::string out(static_cast<size_t>(length), '\0');
    EXPECT_EQ(length, Bpread(f, out.data(), length, offset));
    return out;
  }
  // From here on every call is traced and the metrics are reported.
  void trace() {
    capture_.emplace();
    set_trace_bits(kTraceInner | kTraceCacheMetrics);
  }
  // Shuts the cache down and compares what was traced with
  // tests/golden/cache/<name>.txt, the file named "P".
  ::testing::AssertionResult traced(const std::string &name) {
    Bshutdown();
    set_trace_bits(0);
    return matches_golden("cache/" + name + ".txt", replace_all(capture_->text(), path_, "P"));
  }
  CacheConfig config_;
  TempDir dir_;
  std::string path_ = dir_ / "segment";
  std::optional<StderrCapture> capture_;
};

TEST_F(CacheTest, SharedHeaderIsReadEveryTimeAnExclusiveOneIsKept) {
  write_file(path_, blocks(4));
  int other = open(path_.c_str(), O_RDWR);  // stands for another process
  trace();
  for (int flags : {int{A_IO}, 0x402}) {  // 0x400 alone counts as no mode bit
    int f = open_cached(flags);
    read(f, 100, 0);
    read(f, 100, 0);
    ASSERT_EQ(2, pwrite(other, "ZZ", 2, 10));
    EXPECT_EQ("ZZ", read(f, 100, 0).substr(10, 2)) << "the other process's change is seen";
    ASSERT_EQ(2, pwrite(other, "aa", 2, 10));
    // Other blocks are kept, and a write goes to the disk at once.
    read(f, 100, 600);
    read(f, 100, 700);
    ASSERT_EQ(3, Bpwrite(f, "new", 3, 600));
    EXPECT_EQ("new", read_file(path_).substr(600, 3));
    ASSERT_EQ(3, Bpwrite(f, "bbb", 3, 600));
    EXPECT_EQ(1, Bclose(f));
  }
  for (int flags : {0x202, 0x100}) {
    int f = open_cached(flags);
    read(f, 100, 0);
    read(f, 100, 0);
    EXPECT_EQ(1, Bclose(f));
  }
  close(other);
  EXPECT_TRUE(traced("shared_header"));
}

TEST_F(CacheTest, DeferredPartialLastBlockIsWrittenBackWhole) {
  config_.buffers = 1;  // the one buffer held block 0 before: its old bytes must not show
  write_file(path_, std::string(700, 'x'));
  trace();
  int f = open_cached(0x602);
  read(f, 10, 0);
  ASSERT_EQ(10, Bpwrite(f, "0123456789", 10, 600));
  EXPECT_EQ(std::string(700, 'x'), read_file(path_));
  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(std::string(600, 'x') + "0123456789" + std::string(90, 'x') + std::string(324, '\0'),
            read_file(path_));
  EXPECT_TRUE(traced("deferred_last_block"));
}

// Small reads past the first block go through the read-ahead buffer of
// four blocks; long reads and the first block do not disturb it.
TEST_F(CacheTest, ReadAheadServesOnlySmallReadsPastTheFirstBlock) {
  config_.no_async_cache_data = true;  // data segments use the pool
  const std::string content = blocks(16);
  write_file(path_, content);
  trace();
  int f = open_cached(A_IO, kKindData);
  const std::pair<int, int> reads[] = {{100, 600}, {100, 1100}, {2048, 4096}, {100, 1600},
                                       {100, 10},  {100, 2100}, {100, 2600}};
  for (auto [length, offset] : reads)
    EXPECT_EQ(content.substr(offset, length), read(f, length, offset)) << offset;
  // Without the pool for data segments the calls are direct.
  EXPECT_EQ(1, Bclose(f));
  config_.no_async_cache_data = false;
  f = open_cached(A_IO, kKindData);
  EXPECT_EQ(content.substr(600, 100), read(f, 100, 600));
  EXPECT_EQ(content.substr(600, 100), read(f, 100, 600));
  EXPECT_TRUE(traced("read_ahead"));
}

// Bpread_ahead on a data segment that bypasses the pool: a shared open
// walks through the copy window (one pread for a run of records stored in
// order, none for what it covers; a jump reads just what is asked), which
// a write or a moved version empties; a deny-write open reads through the
// mapping, which shows its own writes and grows with the file. Short at the
// end of the file, as pread; block 0 and the pool's files go as Bpread.
TEST_F(CacheTest, WalkReadsComeFromTheWindowOrTheMapping) {
  std::string content = blocks(200);
  write_file(path_, content);
  char buf[1024];
  auto walk = [&](int f, int64_t offset, int length) {
    SCOPED_TRACE(offset);
    int64_t want = std::min<int64_t>(length, static_cast<int64_t>(content.size()) - offset);
    ASSERT_EQ(want, Bpread_ahead(f, buf, length, offset));
    EXPECT_EQ(content.substr(offset, want), std::string(buf, want));
  };
  int f = open_cached(A_IO, kKindData);
  uint32_t p0 = cache_counters().pread_calls;
  walk(f, 5000, 100);  // a jump: reads 100 bytes
  for (int64_t at = 5100; at + 100 <= 5100 + 32768; at += 100) walk(f, at, 100);
  EXPECT_EQ(p0 + 2, cache_counters().pread_calls) << "one window for the run";
  walk(f, 100, 100);  // block 0
  EXPECT_EQ(p0 + 3, cache_counters().pread_calls);
  std::string changed(kBlock, '#');
  ASSERT_EQ(kBlock, Bpwrite(f, changed.data(), kBlock, 20 * kBlock));
  content.replace(20 * kBlock, kBlock, changed);
  walk(f, 20 * kBlock, 100);
  walk(f, 20 * kBlock + 100, 100);
  Bset_version(f, 77);
  walk(f, 20 * kBlock + 200, 100);
  EXPECT_EQ(p0 + 6, cache_counters().pread_calls) << "the write and the version emptied it";
  walk(f, static_cast<int64_t>(content.size()) - 50, 1000);
  EXPECT_EQ(1, Bclose(f));

  f = open_cached(A_IO | A_DENY_WRITE, kKindData);
  p0 = cache_counters().pread_calls;
  for (int64_t at = 512; at + 1000 < static_cast<int64_t>(content.size()); at += 7777)
    walk(f, at, 1000);
  ASSERT_EQ(kBlock, Bpwrite(f, changed.data(), kBlock, 3 * kBlock));
  content.replace(3 * kBlock, kBlock, changed);
  walk(f, 3 * kBlock, 100);
  ASSERT_EQ(kBlock, Bpwrite(f, changed.data(), kBlock, 200 * kBlock));
  content += changed;
  walk(f, 200 * kBlock + 10, 1000);
  EXPECT_EQ(p0, cache_counters().pread_calls) << "the mapping makes no read";
  EXPECT_EQ(1, Bclose(f));

  config_.no_async_cache_data = true;  // through the pool: as Bpread
  f = open_cached(A_IO, kKindData);
  uint32_t faults = cache_counters().faults;
  walk(f, 600, 100);
  EXPECT_EQ(faults + 1, cache_counters().faults);
  EXPECT_EQ(1, Bclose(f));
}

TEST_F(CacheTest, WithoutBuffersEveryCallIsADirectSystemCall) {
  config_.buffers = 0;
  write_file(path_, blocks(4));
  trace();
  int f = open_cached(0x602);
  char buf[kBlock];
  EXPECT_EQ(512, Bseek(f, 512));
  EXPECT_EQ(512, Bread(f, buf, 512));
  EXPECT_EQ(blocks(2).substr(512), std::string(buf, 512));
  std::string data(kBlock, 'Q');
  EXPECT_EQ(512, Bwrite(f, data.data(), 512));
  read(f, 100, 0);
  EXPECT_EQ(2, Bpwrite(f, "zz", 2, 10));
  EXPECT_EQ(data, read_file(path_).substr(1024, 512)) << "written at once";
  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(0, cache_buffer_count());
  EXPECT_TRUE(traced("no_buffers"));
}

TEST_F(CacheTest, BufferCountAndPrimeHashSize) {
  const struct {
    int32_t setting, buffers, buckets;
  } rows[] = {{-1, 64, 61}, {0, 0, 0},   {1, 1, 1},      {2, 2, 2},
              {3, 3, 3},    {10, 10, 7}, {100, 100, 97}, {128, 128, 127}};
  for (auto [setting, buffers, buckets] : rows) {
    config_.buffers = setting;
    ASSERT_EQ(1, Binit());
    EXPECT_EQ(buffers, cache_buffer_count()) << setting;
    EXPECT_EQ(buckets, cache_bucket_count()) << setting;
    Bshutdown();
  }
  // Without an override the count comes from the configuration.
  set_cache_config_override(nullptr);
  v5_init_cfg();
  cfg_set_long("V_BUFFERS", 0, 10);
  ASSERT_EQ(1, Binit());
  EXPECT_EQ(10, cache_buffer_count());
  Bshutdown();
  cfg_release();
}

// A dirty victim takes the oldest quarter of the pool with it: blocks 0
// and 1 in one write, the rest in one run at the close.
TEST_F(CacheTest, ADirtyVictimTakesTheOldestQuarterOfThePoolWithIt) {
  config_.buffers = 8;
  const std::string original = blocks(20);
  write_file(path_, original);
  trace();
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {0, 1, 2, 3, 4, 5, 6, 7}, 'A');
  EXPECT_EQ(original.substr(10 * kBlock, kBlock), read(f, kBlock, 10 * kBlock));
  EXPECT_EQ(expected.substr(0, 2 * kBlock) + original.substr(2 * kBlock), read_file(path_));
  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(expected, read_file(path_));
  EXPECT_TRUE(traced("dirty_victim"));
}

// A read across dirty blocks flushes them as one run first, then reads
// the range with one call; read again, it comes from the pool.
TEST_F(CacheTest, ReadingAroundDirtyBlocksFlushesThemAsARunFirst) {
  const std::string original = blocks(8);
  write_file(path_, original);
  trace();
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {3, 4}, '0');
  EXPECT_EQ(expected.substr(2 * kBlock, 4 * kBlock), read(f, 4 * kBlock, 2 * kBlock));
  EXPECT_EQ(expected, read_file(path_));
  EXPECT_EQ(expected.substr(2 * kBlock, 4 * kBlock), read(f, 4 * kBlock, 2 * kBlock));
  Bclose(f);
  EXPECT_TRUE(traced("read_around_dirty"));
}

TEST_F(CacheTest, VersionChangeDropsTheFilesBlocksAndBlocksFollowANewDescriptor) {
  write_file(path_, blocks(4));
  int f = open_cached(0x602);
  Bstore_version(f, 5);
  ASSERT_EQ(2, Bpwrite(f, "zz", 2, 600));
  Bset_version(f, 5);
  EXPECT_EQ("zz", read(f, 2, 600)) << "same version: kept";
  Bset_version(f, 6);
  EXPECT_EQ("bb", read(f, 2, 600)) << "another version: dropped unwritten";
  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(blocks(4), read_file(path_));
  // The writer's read-write descriptor replaces the reader's; the
  // reader's blocks follow (a hit in the trace's report).
  Bshutdown();
  trace();
  int r = open_cached(A_INPUT);
  read(r, 100, 600);
  int old_fd = file_descriptor(r);
  int w = open_cached(A_IO);
  ASSERT_NE(old_fd, file_descriptor(r));
  ASSERT_EQ(file_descriptor(w), file_descriptor(r));
  EXPECT_EQ(std::string(100, 'b'), read(r, 100, 600));
  EXPECT_EQ(1, Bclose(w));
  EXPECT_EQ(std::string(100, 'b'), read(r, 100, 700)) << "the reader goes on alone";
  EXPECT_EQ(1, Bclose(r));
  EXPECT_TRUE(traced("new_descriptor"));
}

TEST_F(CacheTest, SyncLeavesExclusiveDeferredFilesUnlessAsked) {
  std::string other = dir_ / "other";
  write_file(path_, blocks(2));
  write_file(other, blocks(2));
  int f = open_cached(0x602);                     // open-mode bits 0x600
  int g = open_cached(0x502, kKindIndex, other);  // deny-write, deferred
  ASSERT_EQ(2, Bpwrite(f, "FF", 2, 0));
  ASSERT_EQ(2, Bpwrite(g, "GG", 2, 0));
  EXPECT_EQ(1, Bsync(2));
  EXPECT_EQ(blocks(2), read_file(path_));
  EXPECT_EQ("GG", read_file(other).substr(0, 2));
  EXPECT_EQ(1, Bsync(3));
  EXPECT_EQ("FF", read_file(path_).substr(0, 2));
  Bclose(f);
  Bclose(g);
}

// Random reads and writes of every shape against a plain string, with a
// small pool so that buffers are reused all the time.
class CacheModel {
 public:
  CacheModel(const std::string &path, int flags, int kind, uint32_t seed)
      : path_(path), run_(seed, 3000), deferred_((flags & 0x400) && (flags & 0x300)) {
    for (char &c : model_) c = static_cast<char>('a' + run_.below(26));
    write_file(path, model_);
    f_ = Bopen(path.c_str(), flags);
    Bset_kind(f_, kind);
  }
  void go() {
    ASSERT_GE(f_, 0);
    auto whole = [&] { ASSERT_EQ(model_, read_file(path_)); };
    run_.run({{"write", 3, [&] { transfer(true, false); }},
              {"read", 3, [&] { transfer(false, false); }},
              {"seek and transfer", 1, [&] { transfer(run_.chance(50), true); }},
              {"sync", 1,
               [&] {
                 ASSERT_EQ(1, Bsync(3));
                 whole();
               }}},
             run_.operations(), [] {});
    ASSERT_EQ(1, Bclose(f_));
    whole();
  }

 private:
  // Aligned runs of whole blocks, or any bytes anywhere.
  void transfer(bool write, bool seek) {
    int64_t offset;
    size_t length;
    if (run_.chance(50)) {
      length = (1 + run_.below(6)) * kBlock;
      offset = static_cast<int64_t>(run_.below(kBlocks - length / kBlock + 1)) * kBlock;
    } else {
      length = 1 + run_.below(1500);
      offset = static_cast<int64_t>(run_.below(model_.size() - length + 1));
    }
    run_.note(std::to_string(length) + "@" + std::to_string(offset));
    const int n = static_cast<int>(length);
    if (seek) {
      ASSERT_EQ(offset, Bseek(f_, offset));
    }
    std::string data(length, '\0');
    if (write) {
      for (char &c : data) c = static_cast<char>('A' + run_.below(26));
      ASSERT_EQ(n, seek ? Bwrite(f_, data.data(), n) : Bpwrite(f_, data.data(), n, offset));
      model_.replace(offset, length, data);
      if (!deferred_ && !seek) {
        ASSERT_EQ(model_, read_file(path_)) << "written through";
      }
    } else {
      ASSERT_EQ(n, seek ? Bread(f_, data.data(), n) : Bpread(f_, data.data(), n, offset));
      ASSERT_EQ(model_.substr(offset, length), data);
    }
  }
  static constexpr size_t kBlocks = 40;
  std::string path_;
  RandomRun run_;
  bool deferred_;
  std::string model_ = std::string(kBlocks * kBlock, '\0');
  int f_;
};

TEST_F(CacheTest, RandomTransfersAgreeWithAPlainModel) {
  config_.buffers = 5;
  fs_settings().cache_flush_percent = 40;
  uint32_t seed = 1;
  const std::pair<int, int> opens[] = {
      {0x602, kKindIndex}, {0x502, kKindOther}, {A_IO, kKindIndex}, {0x202, kKindIndex}};
  for (auto [flags, kind] : opens) {
    SCOPED_TRACE(flags);
    CacheModel(path_, flags, kind, seed++).go();
  }
  config_.no_async_cache_data = true;
  config_.buffer_data = false;
  Bshutdown();
  CacheModel(path_, A_IO, kKindData, seed++).go();
  CacheModel(path_, 0x602, kKindData, seed++).go();
}

TEST_F(CacheTest, OutOfMemoryAndFailedTransfers) {
  *fs_error_code() = 0;  // the error block itself is allocated on first use
  for (int32_t buffers : {64, 0}) {
    config_.buffers = buffers;
    FailEachAllocation init{.op = [] { return Binit() == 1; },
                            .after = [](int) { EXPECT_EQ(0, cache_buffer_count()); }};
    EXPECT_EQ(buffers ? 7 : 2, init.run());  // the pool, its table, the data window, ...
    Bshutdown();
  }
  config_.buffers = 64;
  write_file(path_, blocks(2));
  alloc_fail_nth(1);  // the pool, made by the first open
  EXPECT_TRUE(failed(Bopen(path_.c_str(), A_IO) == -1, E_NO_MEMORY));
  alloc_fail_nth(0);
  Bclose(open_cached(A_IO));  // what lasts beyond a close exists
  int f = -1;
  EXPECT_EQ(1,
            FailEachAllocation{.op = [&] { return (f = Bopen(path_.c_str(), A_IO)) >= 0; }}.run());
  // Checked transfers: a short read is a broken file, a full disk a full
  // disk only when part of the write fitted.
  Bset_kind(f, kKindIndex);
  std::string buf(4096, 'w');
  EXPECT_EQ(1, read_at(f, buf.data(), 0, 512));
  EXPECT_TRUE(fails(read_at(f, buf.data(), 512, 1024), E_BROKEN, kShortBlockRead));
  EXPECT_EQ(0, read_at(f, buf.data(), 1020, 10)) << "a pooled block cut by the end of the file";
  static_assert(kShortBlockRead == indexed::kBrokenShortRead);
  EXPECT_TRUE(fails(read_at(77, buf.data(), 0, 512), E_SYSERR));
  EXPECT_TRUE(fails(write_at(77, buf.data(), 0, 512), E_SYSERR));
  std::string deferred_path = dir_ / "deferred";
  write_file(deferred_path, "");
  int g = open_cached(0x602, kKindIndex, deferred_path);
  {
    FileSizeLimit limit(4096);
    EXPECT_TRUE(fails(write_at(f, buf.data(), 2048, 4096), E_DISK_FULL)) << "half fits";
    EXPECT_TRUE(fails(write_at(f, buf.data(), 8192, 512), E_SYSERR)) << "nothing fits";
    EXPECT_EQ(1, write_at(g, buf.data(), 8192, 512)) << "deferred: only in the pool";
    EXPECT_EQ(0, Bclose(g)) << "the write-back fails";
  }
  EXPECT_EQ("", read_file(deferred_path));
  EXPECT_EQ(1, Bclose(f));
}

// Scattered dirty blocks of an exclusive deferred file: nothing reaches
// the disk, whole blocks are not read before, and Bsync writes them back
// as one sorted run (its trace line names the file). The read-ahead line
// of the second report gives the hits' percentage.
TEST_F(CacheTest, SortedWriteBackAndTheMetricsReport) {
  const std::string original = blocks(10);
  write_file(path_, original);
  trace();
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {3, 1, 2, 7, 5, 6, 4, 8}, '0');
  EXPECT_EQ(original, read_file(path_));
  EXPECT_EQ(1, Bsync(3));  // bit 0: files opened 0x600 too; bit 1: no system sync
  EXPECT_EQ(expected, read_file(path_));
  read(f, 100, 1600);  // a hit
  char buf[kBlock];
  ASSERT_EQ(0, Bseek(f, 0));
  ASSERT_EQ(kBlock, Bread(f, buf, kBlock));  // block 0: from disk, page zero
  ASSERT_EQ(100, Bwrite(f, buf, 100));       // into block 1: hit, dirty
  ASSERT_EQ(1, Bclose(f));
  Bshutdown();
  config_.no_async_cache_data = true;
  f = open_cached(A_IO, kKindData);
  for (int64_t offset : {600, 1100, 1600, 2100}) read(f, 100, offset);
  ASSERT_EQ(1, Bclose(f));
  EXPECT_TRUE(traced("sorted_write_back"));
}

}  // namespace
}  // namespace kel::test
