#include "cache/cache.h"
#include "indexed/broken_codes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <random>
#include <string>

#include "common/fails.h"
#include "common/test_util.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "support/alloc.h"

namespace kel {
namespace {

using test::read_file;
using test::StderrCapture;
using test::TempDir;
using test::write_file;

constexpr int kBlock = 512;

// `count` blocks, block i filled with the character base + i.
std::string blocks(int count, char base = 'a') {
  std::string s;
  for (int i = 0; i < count; ++i) s.append(kBlock, static_cast<char>(base + i));
  return s;
}

std::string block_of(char c) {
  return std::string(kBlock, c);
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    config_.buffers = 64;
    set_cache_config_override(&config_);
    path_ = dir_ / "segment";
  }
  void TearDown() override {
    Bshutdown();
    set_cache_config_override(nullptr);
  }
  // Opens path_ through the cache and records its kind.
  int open_cached(int flags, int kind = kKindIndex) {
    int f = Bopen(path_.c_str(), flags);
    EXPECT_GE(f, 0);
    Bset_kind(f, kind);
    return f;
  }
  // Writes whole blocks `numbers` (block b filled with base + b) and
  // returns the expected contents of the file afterwards.
  std::string dirty(int f, std::string expected, std::initializer_list<int> numbers, char base) {
    for (int b : numbers) {
      std::string data = block_of(static_cast<char>(base + b));
      EXPECT_EQ(kBlock, Bpwrite(f, data.data(), kBlock, b * kBlock));
      expected.replace(b * kBlock, kBlock, data);
    }
    return expected;
  }
  // The trace lines expected: every "P" stands for the quoted path.
  std::string lines(std::initializer_list<std::string> calls) const {
    std::string out;
    for (std::string c : calls) {
      const std::string quoted = "\"" + path_ + "\"";
      for (size_t at = 0; (at = c.find('P', at)) != std::string::npos; at += quoted.size())
        c.replace(at, 1, quoted);
      out += "V: " + c + "\n";
    }
    return out;
  }
  CacheConfig config_;
  TempDir dir_;
  std::string path_;
};

TEST_F(CacheTest, SharedHeaderIsReadEveryTimeAnExclusiveOneIsKept) {
  write_file(path_, blocks(4));
  int other = open(path_.c_str(), O_RDWR);  // stands for another process
  ASSERT_GE(other, 0);
  char buf[100];

  for (int flags : {int{A_IO}, 0x402}) {  // 0x400 alone counts as no mode bit
    SCOPED_TRACE(flags);
    int f = open_cached(flags);
    CacheCounters before = cache_counters();
    ASSERT_EQ(100, Bpread(f, buf, 100, 0));
    ASSERT_EQ(100, Bpread(f, buf, 100, 0));
    EXPECT_EQ(before.pread_calls + 2, cache_counters().pread_calls);
    EXPECT_EQ(before.page_zero_faults + 1, cache_counters().page_zero_faults);
    ASSERT_EQ(2, pwrite(other, "ZZ", 2, 10));
    ASSERT_EQ(100, Bpread(f, buf, 100, 0));
    EXPECT_EQ("ZZ", std::string(buf + 10, 2)) << "the other process's change is seen";
    EXPECT_EQ(before.pread_calls + 3, cache_counters().pread_calls);
    ASSERT_EQ(2, pwrite(other, "aa", 2, 10));

    // Other blocks are kept, and a write goes to the disk at once.
    ASSERT_EQ(100, Bpread(f, buf, 100, 600));
    ASSERT_EQ(100, Bpread(f, buf, 100, 700));
    EXPECT_EQ(before.pread_calls + 4, cache_counters().pread_calls);
    ASSERT_EQ(3, Bpwrite(f, "new", 3, 600));
    EXPECT_EQ("new", read_file(path_).substr(600, 3));
    ASSERT_EQ(3, Bpwrite(f, "bbb", 3, 600));
    EXPECT_EQ(1, Bclose(f));
  }

  for (int flags : {0x202, 0x100}) {
    SCOPED_TRACE(flags);
    int f = open_cached(flags);
    CacheCounters before = cache_counters();
    ASSERT_EQ(100, Bpread(f, buf, 100, 0));
    ASSERT_EQ(100, Bpread(f, buf, 100, 0));
    EXPECT_EQ(before.pread_calls + 1, cache_counters().pread_calls);
    EXPECT_EQ(before.hits + 1, cache_counters().hits);
    EXPECT_EQ(before.page_zero_faults, cache_counters().page_zero_faults);
    EXPECT_EQ(1, Bclose(f));
  }
  close(other);
}

TEST_F(CacheTest, DeferredPartialLastBlockIsWrittenBackWhole) {
  config_.buffers = 1;  // the one buffer held block 0 before: its old bytes must not show
  write_file(path_, std::string(700, 'x'));
  int f = open_cached(0x602);
  char buf[10];
  ASSERT_EQ(10, Bpread(f, buf, 10, 0));
  ASSERT_EQ(10, Bpwrite(f, "0123456789", 10, 600));
  EXPECT_EQ(std::string(700, 'x'), read_file(path_));
  CacheCounters before = cache_counters();
  EXPECT_EQ(1, Bclose(f));
  std::string expected =
      std::string(600, 'x') + "0123456789" + std::string(90, 'x') + std::string(324, '\0');
  EXPECT_EQ(expected, read_file(path_));
  EXPECT_EQ(before.pwrite_calls + 1, cache_counters().pwrite_calls);
  EXPECT_EQ(before.blocks_written + 1, cache_counters().blocks_written);
}

TEST_F(CacheTest, ReadAheadServesOnlySmallReadsPastTheFirstBlock) {
  config_.no_async_cache_data = true;  // data segments use the pool
  const std::string content = blocks(16);
  write_file(path_, content);
  int f = open_cached(A_IO, kKindData);
  char buf[2048];
  auto read_check = [&](int length, int64_t offset) {
    ASSERT_EQ(length, Bpread(f, buf, length, offset));
    EXPECT_EQ(content.substr(offset, length), std::string(buf, length));
  };
  read_check(100, 600);  // fills the read-ahead buffer with [512, 2560)
  EXPECT_EQ(1u, cache_counters().read_ahead_misses);
  EXPECT_EQ(1u, cache_counters().pread_calls);
  read_check(100, 1100);
  EXPECT_EQ(1u, cache_counters().read_ahead_hits);
  read_check(2048, 4096);  // too long for read-ahead: read directly
  EXPECT_EQ(2u, cache_counters().read_ahead_misses);
  EXPECT_EQ(2u, cache_counters().pread_calls);
  read_check(100, 1600);
  EXPECT_EQ(2u, cache_counters().read_ahead_hits) << "the long read left the buffer alone";
  read_check(100, 10);  // the first block: read directly
  EXPECT_EQ(3u, cache_counters().read_ahead_misses);
  EXPECT_EQ(3u, cache_counters().pread_calls);
  read_check(100, 2100);
  EXPECT_EQ(3u, cache_counters().read_ahead_hits) << "the first block left the buffer alone";
  read_check(100, 2600);  // past the buffer
  EXPECT_EQ(4u, cache_counters().read_ahead_misses);

  // Without the pool for data segments the calls are direct.
  EXPECT_EQ(1, Bclose(f));
  config_.no_async_cache_data = false;
  f = open_cached(A_IO, kKindData);
  CacheCounters before = cache_counters();
  read_check(100, 600);
  read_check(100, 600);
  EXPECT_EQ(before.pread_calls + 2, cache_counters().pread_calls);
  EXPECT_EQ(before.read_ahead_misses, cache_counters().read_ahead_misses);
  EXPECT_EQ(before.faults, cache_counters().faults);
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
  std::string changed = block_of('#');
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
  StderrCapture capture;
  set_trace_bits(8);
  int f = open_cached(0x602);
  char buf[kBlock];
  EXPECT_EQ(512, Bseek(f, 512));
  EXPECT_EQ(512, Bread(f, buf, 512));
  EXPECT_EQ(block_of('b'), std::string(buf, 512));
  std::string data = block_of('Q');
  EXPECT_EQ(512, Bwrite(f, data.data(), 512));
  EXPECT_EQ(100, Bpread(f, buf, 100, 0));
  EXPECT_EQ(2, Bpwrite(f, "zz", 2, 10));
  std::string on_disk = read_file(path_);
  EXPECT_EQ(data, on_disk.substr(1024, 512)) << "written at once";
  EXPECT_EQ("zz", on_disk.substr(10, 2));
  EXPECT_EQ(1, Bclose(f));
  set_trace_bits(0);
  const CacheCounters &k = cache_counters();
  EXPECT_EQ(0u, k.hits + k.faults + k.page_loads);
  EXPECT_EQ(0, cache_buffer_count());
  // One system call each: the trace names it.
  EXPECT_EQ(lines({"Bopen(P)", "Bseek(P, 0 -> 512), lseek(512)", "Bread(P, 512)@512, read(512)",
                   "Bwrite(P, 512)@1024, write(512)", "Bpread(P, 100)@0, pread(100, 0)",
                   "Bpwrite(P, 2)@10, pwrite(2, 10)", "Bclose(P)"}),
            capture.text());
  EXPECT_EQ(5u, k.lseek_calls + k.read_calls + k.write_calls + k.pread_calls + k.pwrite_calls);
}

TEST_F(CacheTest, BufferCountAndPrimeHashSize) {
  struct Case {
    int32_t setting, buffers, buckets;
  };
  for (Case c : {Case{-1, 64, 61}, Case{0, 0, 0}, Case{1, 1, 1}, Case{2, 2, 2}, Case{3, 3, 3},
                 Case{10, 10, 7}, Case{100, 100, 97}, Case{128, 128, 127}}) {
    config_.buffers = c.setting;
    ASSERT_EQ(1, Binit());
    EXPECT_EQ(c.buffers, cache_buffer_count()) << c.setting;
    EXPECT_EQ(c.buckets, cache_bucket_count()) << c.setting;
    Bshutdown();
  }
}

TEST_F(CacheTest, ADirtyVictimTakesTheOldestQuarterOfThePoolWithIt) {
  config_.buffers = 8;
  const std::string original = blocks(20);
  write_file(path_, original);
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {0, 1, 2, 3, 4, 5, 6, 7}, 'A');
  CacheCounters before = cache_counters();
  char buf[kBlock];
  ASSERT_EQ(kBlock, Bpread(f, buf, kBlock, 10 * kBlock));
  EXPECT_EQ(original.substr(10 * kBlock, kBlock), std::string(buf, kBlock));
  EXPECT_EQ(before.pwrite_calls + 1, cache_counters().pwrite_calls);
  EXPECT_EQ(before.blocks_written + 2, cache_counters().blocks_written);
  std::string on_disk = read_file(path_);
  EXPECT_EQ(expected.substr(0, 2 * kBlock), on_disk.substr(0, 2 * kBlock));
  EXPECT_EQ(original.substr(2 * kBlock), on_disk.substr(2 * kBlock));

  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(before.pwrite_calls + 2, cache_counters().pwrite_calls) << "blocks 2-7 in one run";
  EXPECT_EQ(expected, read_file(path_));
}

TEST_F(CacheTest, ReadingAroundDirtyBlocksFlushesThemAsARunFirst) {
  const std::string original = blocks(8);
  write_file(path_, original);
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {3, 4}, '0');
  CacheCounters before = cache_counters();
  char buf[4 * kBlock];
  ASSERT_EQ(4 * kBlock, Bpread(f, buf, 4 * kBlock, 2 * kBlock));
  EXPECT_EQ(expected.substr(2 * kBlock, 4 * kBlock), std::string(buf, 4 * kBlock));
  EXPECT_EQ(before.page_unloads + 1, cache_counters().page_unloads);
  EXPECT_EQ(before.continuous + 2, cache_counters().continuous);
  EXPECT_EQ(before.pwrite_calls + 1, cache_counters().pwrite_calls);
  EXPECT_EQ(before.pread_calls + 1, cache_counters().pread_calls);
  EXPECT_EQ(expected, read_file(path_));

  // All cached now (and not block 0): served from the pool.
  before = cache_counters();
  ASSERT_EQ(4 * kBlock, Bpread(f, buf, 4 * kBlock, 2 * kBlock));
  EXPECT_EQ(before.pread_calls, cache_counters().pread_calls);
  EXPECT_EQ(before.hits + 4, cache_counters().hits);
  Bclose(f);
}

TEST_F(CacheTest, VersionChangeDropsTheFilesBlocks) {
  write_file(path_, blocks(4));
  int f = open_cached(0x602);
  Bstore_version(f, 5);
  ASSERT_EQ(2, Bpwrite(f, "zz", 2, 600));
  Bset_version(f, 5);
  char buf[2];
  ASSERT_EQ(2, Bpread(f, buf, 2, 600));
  EXPECT_EQ("zz", std::string(buf, 2)) << "same version: kept";
  Bset_version(f, 6);
  CacheCounters before = cache_counters();
  ASSERT_EQ(2, Bpread(f, buf, 2, 600));
  EXPECT_EQ("bb", std::string(buf, 2)) << "another version: dropped unwritten";
  EXPECT_EQ(before.pread_calls + 1, cache_counters().pread_calls);
  EXPECT_EQ(1, Bclose(f));
  EXPECT_EQ(blocks(4), read_file(path_));
}

TEST_F(CacheTest, BlocksFollowTheirFileToANewDescriptor) {
  write_file(path_, blocks(4));
  int r = open_cached(A_INPUT);
  char buf[100];
  ASSERT_EQ(100, Bpread(r, buf, 100, 600));
  int old_fd = file_descriptor(r);
  int w = open_cached(A_IO);  // the writer's read-write descriptor replaces the reader's
  ASSERT_GE(w, 0);
  ASSERT_NE(old_fd, file_descriptor(r));
  ASSERT_EQ(file_descriptor(w), file_descriptor(r));
  CacheCounters before = cache_counters();
  ASSERT_EQ(100, Bpread(r, buf, 100, 600));
  EXPECT_EQ(before.hits + 1, cache_counters().hits);
  EXPECT_EQ(before.pread_calls, cache_counters().pread_calls);
  EXPECT_EQ(std::string(100, 'b'), std::string(buf, 100));
  EXPECT_EQ(1, Bclose(w));
  ASSERT_EQ(100, Bpread(r, buf, 100, 700)) << "the reader goes on after the writer closed";
  EXPECT_EQ(std::string(100, 'b'), std::string(buf, 100));
  EXPECT_EQ(1, Bclose(r));
}

TEST_F(CacheTest, SyncLeavesExclusiveDeferredFilesUnlessAsked) {
  std::string other = dir_ / "other";
  write_file(path_, blocks(2));
  write_file(other, blocks(2));
  int f = open_cached(0x602);           // open-mode bits 0x600
  int g = Bopen(other.c_str(), 0x502);  // deny-write, deferred
  Bset_kind(g, kKindIndex);
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
void run_model(const std::string &path, int flags, int kind, uint32_t seed) {
  const int kBlocks = 40;
  std::mt19937 rng(seed);
  std::string model(kBlocks * kBlock, '\0');
  for (char &c : model) c = static_cast<char>('a' + rng() % 26);
  write_file(path, model);
  int f = Bopen(path.c_str(), flags);
  ASSERT_GE(f, 0);
  Bset_kind(f, kind);
  const bool deferred = (flags & 0x400) && (flags & 0x300);
  int64_t position = 0;
  std::vector<char> buf(8 * kBlock);
  auto pick = [&](bool aligned, int64_t *offset, int *length) {
    if (aligned) {
      int n = 1 + static_cast<int>(rng() % 6);
      *offset = static_cast<int64_t>(rng() % (kBlocks - n + 1)) * kBlock;
      *length = n * kBlock;
    } else {
      *length = 1 + static_cast<int>(rng() % 1500);
      *offset = static_cast<int64_t>(rng() % (model.size() - *length + 1));
    }
  };
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE(step);
    int op = static_cast<int>(rng() % 8);
    int64_t offset;
    int length;
    pick(rng() % 2 == 0, &offset, &length);
    if (op <= 2) {
      for (int i = 0; i < length; ++i) buf[i] = static_cast<char>('A' + rng() % 26);
      ASSERT_EQ(length, Bpwrite(f, buf.data(), length, offset));
      model.replace(offset, length, buf.data(), length);
      if (!deferred) {
        ASSERT_EQ(model, read_file(path));
      }
    } else if (op <= 5) {
      ASSERT_EQ(length, Bpread(f, buf.data(), length, offset));
      ASSERT_EQ(model.substr(offset, length), std::string(buf.data(), length));
    } else if (op == 6) {
      ASSERT_EQ(offset, Bseek(f, offset));
      position = offset;
      if (rng() % 2) {
        ASSERT_EQ(length, Bread(f, buf.data(), length));
        ASSERT_EQ(model.substr(position, length), std::string(buf.data(), length));
      } else {
        for (int i = 0; i < length; ++i) buf[i] = static_cast<char>('a' + rng() % 26);
        ASSERT_EQ(length, Bwrite(f, buf.data(), length));
        model.replace(position, length, buf.data(), length);
      }
    } else {
      ASSERT_EQ(1, Bsync(3));
      ASSERT_EQ(model, read_file(path));
    }
  }
  ASSERT_EQ(1, Bclose(f));
  ASSERT_EQ(model, read_file(path));
}

TEST_F(CacheTest, RandomTransfersAgreeWithAPlainModel) {
  config_.buffers = 5;
  fs_settings().cache_flush_percent = 40;
  struct Case {
    int flags, kind;
  };
  uint32_t seed = 1;
  for (Case c : {Case{0x602, kKindIndex}, Case{0x502, kKindOther}, Case{A_IO, kKindIndex},
                 Case{0x202, kKindIndex}}) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
    run_model(path_, c.flags, c.kind, seed++);
  }
  config_.no_async_cache_data = true;
  config_.buffer_data = false;
  Bshutdown();
  run_model(path_, A_IO, kKindData, seed++);
  run_model(path_, 0x602, kKindData, seed++);
}

TEST_F(CacheTest, OutOfMemoryAtInitLeavesNothingBehind) {
  *fs_error_code() = 0;  // the error block itself is allocated on first use
  const int64_t baseline = alloc_live_blocks();
  for (int32_t buffers : {64, 0}) {
    config_.buffers = buffers;
    int32_t rc = -1;
    int failures = test::fail_each_allocation([&] { rc = Binit(); },
                                              [&](int n) {
                                                EXPECT_EQ(0, rc);
                                                EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
                                                EXPECT_EQ(0, cache_buffer_count());
                                                EXPECT_EQ(baseline, alloc_live_blocks()) << n;
                                              });
    EXPECT_EQ(1, rc);
    EXPECT_EQ(buffers ? 7 : 2, failures);
    Bshutdown();
    EXPECT_EQ(baseline, alloc_live_blocks());
  }
  write_file(path_, blocks(1));
  alloc_fail_nth(1);
  EXPECT_EQ(-1, Bopen(path_.c_str(), A_IO));
  alloc_fail_nth(0);
  EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
  EXPECT_GE(Bopen(path_.c_str(), A_IO), 0);
}

TEST_F(CacheTest, CheckedTransfersReportShortReadsAndAFullDisk) {
  write_file(path_, blocks(2));
  int f = open_cached(A_IO);
  std::vector<char> buf(4096, 'w');
  EXPECT_EQ(1, read_at(f, buf.data(), 0, 512));
  EXPECT_TRUE(test::fails(read_at(f, buf.data(), 512, 1024), E_BROKEN, kShortBlockRead)) << "short";
  static_assert(kShortBlockRead == indexed::kBrokenShortRead);
  EXPECT_TRUE(test::fails(read_at(77, buf.data(), 0, 512), E_SYSERR));
  EXPECT_TRUE(test::fails(write_at(77, buf.data(), 0, 512), E_SYSERR));

  std::string deferred_path = dir_ / "deferred";
  write_file(deferred_path, "");
  int g = Bopen(deferred_path.c_str(), 0x602);
  Bset_kind(g, kKindIndex);
  {
    test::FileSizeLimit limit(4096);
    EXPECT_TRUE(test::fails(write_at(f, buf.data(), 2048, 4096), E_DISK_FULL)) << "half fits";
    EXPECT_TRUE(test::fails(write_at(f, buf.data(), 8192, 512), E_SYSERR))
        << "nothing at all fits: the system's error";
    EXPECT_EQ(1, write_at(g, buf.data(), 8192, 512)) << "deferred: only in the pool";
    EXPECT_EQ(0, Bclose(g)) << "the write-back fails";
  }
  EXPECT_EQ(0u, read_file(deferred_path).size());
  EXPECT_EQ(1, Bclose(f));
}

TEST_F(CacheTest, SortedWriteBackAndTheMetricsReportAtShutdown) {
  // Scattered dirty blocks of an exclusive deferred file: nothing reaches
  // the disk, whole blocks are not read before, and Bsync writes them back
  // as one sorted run.
  const std::string original = blocks(10);
  write_file(path_, original);
  int f = open_cached(0x602);
  std::string expected = dirty(f, original, {3, 1, 2, 7, 5, 6, 4, 8}, '0');
  EXPECT_EQ(original, read_file(path_));
  EXPECT_EQ(0u, cache_counters().pwrite_calls + cache_counters().pread_calls);
  char buf[kBlock];
  {
    // One line a call; a system call made for it is named on its line.
    StderrCapture capture;
    set_trace_bits(8);
    EXPECT_EQ(1, Bsync(3));  // bit 0: files opened 0x600 too; bit 1: no system sync
    EXPECT_EQ(expected, read_file(path_));
    ASSERT_EQ(100, Bpread(f, buf, 100, 1600));  // hit
    ASSERT_EQ(0, Bseek(f, 0));
    ASSERT_EQ(kBlock, Bread(f, buf, kBlock));  // block 0: from disk, page zero
    ASSERT_EQ(100, Bwrite(f, buf, 100));       // into block 1: hit, dirty
    ASSERT_EQ(1, Bclose(f));
    set_trace_bits(0);
    EXPECT_EQ(
        lines({"Bsync(3) file: P, pwrite(4096, 512)", "Bpread(P, 100)@1600", "Bseek(P, 0 -> 0)",
               "Bread(P, 512)@0", "Bwrite(P, 100)@512", "Bclose(P), pwrite(512, 512)"}),
        capture.text());
  }
  StderrCapture capture;
  set_trace_bits(4);
  Bshutdown();
  EXPECT_EQ(
      "V: Dorvex Cache Metrics:\n"
      "V:   # of cache buffers = 64\n"
      "V:   1 Bread() calls\n"
      "V:   1 Bwrite() calls\n"
      "V:   1 Bseek() calls\n"
      "V:   1 Bpread() calls\n"
      "V:   8 Bpwrite() calls\n"
      "V:   2 cache hits 9 cache faults (1 page zero)\n"
      "V:   1 page loads, 0 page unloads (0.00 continuous)\n"
      "V:   0 read() calls\n"
      "V:   1 pread() calls\n"
      "V:   0 write() calls\n"
      "V:   2 pwrite() calls\n"
      "V:   0 lseek() calls\n"
      "V:   3 total system calls\n"
      "V:   9 total blocks written, 4.50 blocks / write\n"
      "V:   0 read-ahead attempts, 0 hits, 0 misses (0.00%)\n",
      capture.text());

  // The percentage on the read-ahead line is that of the hits.
  config_.no_async_cache_data = true;
  set_trace_bits(0);
  f = open_cached(A_IO, kKindData);
  for (int64_t offset : {600, 1100, 1600, 2100}) ASSERT_EQ(100, Bpread(f, buf, 100, offset));
  ASSERT_EQ(1, Bclose(f));
  set_trace_bits(4);
  Bshutdown();
  std::string text = capture.text();
  ASSERT_NE(std::string::npos, text.rfind("V:   4 read-ahead")) << text;
  EXPECT_EQ("V:   4 read-ahead attempts, 3 hits, 1 misses (75.00%)\n",
            text.substr(text.rfind("V:   4 read-ahead")));
}

}  // namespace
}  // namespace kel
