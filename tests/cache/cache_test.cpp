// The block cache. The fixed scenarios are rows of
// tests/golden/cache/scenarios.txt (common/row_script.h): each call with
// the bytes it read or wrote, the file's bytes on disk where they matter,
// and under each call its trace (the system calls made for it) and at the
// end the metrics report: together they say which calls reached the disk,
// which were served from the pool and how dirty blocks went back; the
// pool sized by the configuration, opens without memory and the checked
// transfers with their codes are rows too. A random run checks every
// transfer against a plain string.
#include "cache/cache.h"
#include "indexed/broken_codes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/faults.h"
#include "common/golden.h"
#include "common/random_driver.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"
#include "osfile/files.h"

namespace kel::test {
namespace {

constexpr int kBlock = 512;
// A checked read cut short leaves the engine's code for a broken file.
static_assert(kShortBlockRead == indexed::kBrokenShortRead);

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
  // The scenarios' calls. A file is named by its name in the test's
  // folder (the segment, "P" in the traces, unless another is named), an
  // open by its number; a transfer's bytes are runs (as_runs), a kind
  // index, data or other.
  Verbs verbs() {
    auto fn = [](const Words &a, size_t i) { return static_cast<int32_t>(number(a.at(i))); };
    auto path = [this](const Words &a, size_t i) { return a.size() > i ? dir_ / a[i] : path_; };
    return {
        {"begin", act([this] {
           Bshutdown();
           set_trace_bits(0);
           reset_fs_settings();
           cfg_release();
           config_ = CacheConfig{};
           config_.buffers = 64;
           set_cache_config_override(&config_);
         })},
        {"buffers", act([this, fn](const Words &a) { config_.buffers = fn(a, 0); })},
        {"pool_for_data", act([this](const Words &) { config_.no_async_cache_data = true; })},
        {"no_pool_for_data", act([this](const Words &) { config_.no_async_cache_data = false; })},
        // FILE BLOCKS [FIRST]: blocks filled with FIRST, FIRST + 1, ...
        {"blocks", act([path](const Words &a) {
           write_file(path(a, 0),
                      blocks(static_cast<int>(number(a.at(1))), a.size() > 2 ? a[2][0] : 'a'));
         })},
        {"write_file", act([path](const Words &a) { write_file(path(a, 0), from_runs(a, 1)); })},
        {"file", [path](const Words &a) { return as_runs(read_file(path(a, 0))); }},
        // Every call from here on traced, the metrics reported at shutdown.
        {"trace", act([] { set_trace_bits(kTraceInner | kTraceCacheMetrics); })},
        {"shutdown", act(Bshutdown)},
        {"init", [](const Words &) { return std::to_string(Binit()); }},
        {"pool",
         [](const Words &) {
           return std::to_string(cache_buffer_count()) + " buffers " +
                  std::to_string(cache_bucket_count()) + " buckets";
         }},
        // FLAGS [KIND [FILE]]
        {"open",
         [this, path](const Words &a) {
           const std::map<std::string, int> kinds = {
               {"index", kKindIndex}, {"data", kKindData}, {"other", kKindOther}};
           int f = Bopen(path(a, 2).c_str(), static_cast<int>(number(a.at(0))));
           if (f >= 0) Bset_kind(f, kinds.at(a.size() > 1 ? a[1] : "index"));
           return std::to_string(f);
         }},
        {"close", [fn](const Words &a) { return std::to_string(Bclose(fn(a, 0))); }},
        {"sync", [fn](const Words &a) { return std::to_string(Bsync(fn(a, 0))); }},
        {"seek", [fn](const Words &a) { return std::to_string(Bseek(fn(a, 0), number(a.at(1)))); }},
        // F LENGTH OFFSET, or F LENGTH at the position.
        {"read",
         [fn](const Words &a) {
           std::string out(static_cast<size_t>(number(a.at(1))), '\0');
           int64_t n = a.size() > 2 ? Bpread(fn(a, 0), out.data(), fn(a, 1), number(a[2]))
                                    : Bread(fn(a, 0), out.data(), fn(a, 1));
           return std::to_string(n) + ": " + as_runs(out.substr(0, n < 0 ? 0 : n));
         }},
        // F OFFSET BYTES..., or F at BYTES... at the position.
        {"write",
         [fn](const Words &a) {
           bool here = a.at(1) == "at";
           std::string data = from_runs(a, 2);
           int32_t n = static_cast<int32_t>(data.size());
           return std::to_string(here ? Bwrite(fn(a, 0), data.data(), n)
                                      : Bpwrite(fn(a, 0), data.data(), n, number(a[1])));
         }},
        // Writes whole blocks N... of the file, block b filled with BASE + b.
        {"dirty",
         [fn](const Words &a) {
           std::string done;
           for (size_t i = 2; i < a.size(); ++i) {
             std::string data(kBlock, static_cast<char>(a[1][0] + number(a[i])));
             done += " " +
                     std::to_string(Bpwrite(fn(a, 0), data.data(), kBlock, number(a[i]) * kBlock));
           }
           return done.substr(1);
         }},
        // F OFFSET LENGTH through Bpread_ahead, the walk's read.
        {"ahead",
         [fn](const Words &a) {
           std::string out(static_cast<size_t>(number(a.at(2))), '\0');
           int64_t n = Bpread_ahead(fn(a, 0), out.data(), fn(a, 2), number(a.at(1)));
           return std::to_string(n) + ": " + as_runs(out.substr(0, n < 0 ? 0 : n));
         }},
        // F OFFSET LENGTH: the bytes Bmapped_at shows, or "none".
        {"mapped",
         [fn](const Words &a) {
           const uint8_t *p = Bmapped_at(fn(a, 0), number(a.at(1)), fn(a, 2));
           return p ? as_runs(std::string(reinterpret_cast<const char *>(p),
                                          static_cast<size_t>(fn(a, 2))))
                    : std::string("none");
         }},
        // F: the valid length Bmapped_view gives, and whether the mapping
        // holds the file's bytes where Bmapped_at points; else "none".
        {"view",
         [this, fn](const Words &a) {
           int64_t valid = -1;
           const uint8_t *p = Bmapped_view(fn(a, 0), &valid);
           if (p == nullptr) return "none, valid " + std::to_string(valid);
           const std::string disk = read_file(path_);
           bool same = static_cast<size_t>(valid) == disk.size() &&
                       memcmp(p, disk.data(), disk.size()) == 0 && p == Bmapped_at(fn(a, 0), 0, 1);
           return std::to_string(valid) + (same ? " as on disk" : " differs");
         }},
        // F FROM TO STEP LENGTH: reads through Bpread_ahead while they end
        // before TO, each compared with the file's bytes on disk.
        {"walk",
         [this, fn](const Words &a) {
           const std::string disk = read_file(path_);
           std::string out(static_cast<size_t>(number(a.at(4))), '\0');
           int reads = 0;
           for (int64_t at = number(a.at(1)); at + fn(a, 4) <= number(a.at(2));
                at += number(a.at(3)), ++reads)
             if (Bpread_ahead(fn(a, 0), out.data(), fn(a, 4), at) != fn(a, 4) ||
                 out != disk.substr(at, out.size()))
               return "differs at " + std::to_string(at);
           return std::to_string(reads) + " reads as on disk";
         }},
        // The system's reads and the pool's faults since the last "counted".
        {"counted",
         [this](const Words &) {
           CacheCounters now = cache_counters();
           std::string said = std::to_string(now.pread_calls - counted_.pread_calls) + " preads " +
                              std::to_string(now.faults - counted_.faults) + " faults";
           counted_ = now;
           return said;
         }},
        // F OFFSET LENGTH and F OFFSET BYTES...: the checked transfers,
        // their result with the codes they left (cleared before), the
        // bytes a read gave.
        {"read_at",
         [fn](const Words &a) {
           std::string out(static_cast<size_t>(number(a.at(2))), '\0');
           std::string r =
               coded([&] { return read_at(fn(a, 0), out.data(), number(a.at(1)), fn(a, 2)); });
           return r + (r == "1" ? ": " + as_runs(out) : "");
         }},
        {"write_at",
         [fn](const Words &a) {
           std::string data = from_runs(a, 2);
           return coded([&] {
             return write_at(fn(a, 0), data.data(), number(a.at(1)),
                             static_cast<int32_t>(data.size()));
           });
         }},
        // N buffers through V_BUFFERS, as the cache reads its configuration.
        {"configured", act([](const Words &a) {
           set_cache_config_override(nullptr);
           v5_init_cfg();
           cfg_set_long("V_BUFFERS", 0, static_cast<int32_t>(number(a.at(0))));
         })},
        {"set_version", act([fn](const Words &a) { Bset_version(fn(a, 0), fn(a, 1)); })},
        {"store_version", act([fn](const Words &a) { Bstore_version(fn(a, 0), fn(a, 1)); })},
        // The access mode of the descriptor that holds the open.
        {"descriptor",
         [fn](const Words &a) {
           int mode = fcntl(file_descriptor(fn(a, 0)), F_GETFL) & O_ACCMODE;
           return std::string(mode == O_RDWR     ? "read-write"
                              : mode == O_RDONLY ? "read-only"
                                                 : "other");
         }},
        {"same_descriptor",
         [fn](const Words &a) {
           return std::to_string(file_descriptor(fn(a, 0)) == file_descriptor(fn(a, 1)));
         }},
        // Another process's write, through a descriptor of its own.
        {"other_write",
         [this](const Words &a) {
           int fd = open(path_.c_str(), O_RDWR);
           std::string data = from_runs(a, 1);
           std::string n = std::to_string(pwrite(fd, data.data(), data.size(), number(a.at(0))));
           close(fd);
           return n;
         }},
    };
  }
  // The result of a call made with the codes cleared, and the codes it left.
  static std::string coded(const std::function<int32_t()> &call) {
    *fs_error_code() = *fs_error_secondary() = 0;
    int32_t r = call();
    return std::to_string(r) + (*fs_error_code() ? " code " + std::to_string(*fs_error_code()) +
                                                       "/" + std::to_string(*fs_error_secondary())
                                                 : "");
  }
  CacheConfig config_;
  CacheCounters counted_{};
  TempDir dir_;
  std::string path_ = dir_ / "segment";
};

TEST_F(CacheTest, Scenarios) {
  Verbs verbs = this->verbs();
  StderrCapture err;
  size_t said = 0;
  add_fault_verbs(verbs);
  EXPECT_TRUE(run_rows("cache/scenarios.txt", verbs, [&] {
    std::string text = err.text();
    return replace_all(text.substr(std::exchange(said, text.size())), path_, "P");
  }));
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
  uint32_t seed = 1;
  const std::pair<int, int> opens[] = {{0x602, kKindIndex},
                                       {0x502, kKindOther},
                                       {0xE02, kKindIndex},  // 0x800: block 0 never a hit
                                       {A_IO, kKindIndex},
                                       {0x202, kKindIndex}};
  // 8192 buffers: a pool of huge pages, its blocks and headers aligned.
  // 30 buffers written back whole: lists long enough for runs joined
  // across gaps of the 40-block file.
  for (int32_t buffers : {5, 30, 8192}) {
    config_.buffers = buffers;
    fs_settings().cache_flush_percent = buffers == 30 ? 100 : 40;
    Bshutdown();
    for (auto [flags, kind] : opens) {
      SCOPED_TRACE(testing::Message() << flags << " " << buffers);
      CacheModel(path_, flags, kind, seed++).go();
    }
  }
  config_.buffers = 5;
  config_.no_async_cache_data = true;
  config_.buffer_data = false;
  Bshutdown();
  CacheModel(path_, A_IO, kKindData, seed++).go();
  CacheModel(path_, 0x602, kKindData, seed++).go();
}

// The pool's own allocations. (An open without memory and the checked
// transfers: rows of the scenarios.)
TEST_F(CacheTest, OutOfMemoryForThePool) {
  *fs_error_code() = 0;  // the error block itself is allocated on first use
  for (int32_t buffers : {64, 0}) {
    config_.buffers = buffers;
    FailEachAllocation init{.op = [] { return Binit() == 1; },
                            .after = [](int) { EXPECT_EQ(0, cache_buffer_count()); }};
    EXPECT_EQ(buffers ? 7 : 2, init.run());  // the pool, its table, the data window, ...
    Bshutdown();
  }
}

}  // namespace
}  // namespace kel::test
