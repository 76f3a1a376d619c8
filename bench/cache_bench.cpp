// The block cache against plain pread/pwrite on the same file, 512-byte
// blocks, random and sequential, reads and writes. One benchmark iteration
// transfers one block, so the time column is the cost per block. Besides
// time, each run reports the system calls it made per block (from the
// cache's counters; the plain runs make exactly one) and the calls saved
// per block against the plain run.
//
//   random reads    an index segment (kind 254) opened exclusive, the way
//                   the engine reads nodes: blocks stay in the pool
//   sequential      a data segment (kind 255) kept in the pool
//   reads           (V_NO_ASYNC_CACHE_DATA): 2048-byte read-ahead
//   writes          deferred writes (exclusive + 0x400), synced every 4096
//                   blocks and at the end: sorted runs of up to 32 blocks
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "osfile/files.h"

namespace {

constexpr int kBlock = 512;
constexpr int kFileBlocks = 8192;   // 4 MiB
constexpr int kPoolBuffers = 2048;  // 1 MiB
constexpr int kSyncEvery = 4096;
constexpr size_t kSequence = 1 << 16;

class BenchFile {
 public:
  BenchFile() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kelbench.XXXXXX";
    dir_.assign(templ);
    if (mkdtemp(dir_.data()) == nullptr) abort();
    path_ = dir_ + "/segment";
    int fd = open(path_.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    std::vector<char> data(static_cast<size_t>(kFileBlocks) * kBlock, 'k');
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) abort();
    close(fd);
  }
  ~BenchFile() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const char *path() const { return path_.c_str(); }

 private:
  std::string dir_, path_;
};

BenchFile &bench_file() {
  static BenchFile f;
  return f;
}

// Block numbers: uniform over the first `range` blocks, or in order.
std::vector<int64_t> offsets(bool random, int range) {
  std::vector<int64_t> v(kSequence);
  std::mt19937 rng(12345);
  for (size_t i = 0; i < v.size(); ++i) {
    int64_t block = random ? static_cast<int64_t>(rng() % range) : static_cast<int64_t>(i % range);
    v[i] = block * kBlock;
  }
  return v;
}

uint64_t system_calls(const kel::CacheCounters &k) {
  return uint64_t{k.read_calls} + k.write_calls + k.pread_calls + k.pwrite_calls + k.lseek_calls;
}

void report(benchmark::State &state, uint64_t calls) {
  double blocks = static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kBlock);
  state.counters["syscalls_per_block"] = static_cast<double>(calls) / blocks;
  state.counters["syscalls_saved_per_block"] = 1.0 - static_cast<double>(calls) / blocks;
}

kel::CacheConfig g_config;

int open_cached(int flags, int kind) {
  g_config = kel::CacheConfig{};
  g_config.buffers = kPoolBuffers;
  g_config.no_async_cache_data = true;
  kel::set_cache_config_override(&g_config);
  int f = Bopen(bench_file().path(), flags);
  if (f < 0) abort();
  Bset_kind(f, kind);
  return f;
}

void BM_CacheRead(benchmark::State &state) {
  bool random = state.range(0) != 0;
  std::vector<int64_t> at = offsets(random, static_cast<int>(state.range(1)));
  int f = open_cached(0x200, random ? kel::kKindIndex : kel::kKindData);
  char buf[kBlock];
  uint64_t before = system_calls(kel::cache_counters());
  size_t i = 0;
  for (auto _ : state) {
    if (Bpread(f, buf, kBlock, at[i++ & (kSequence - 1)]) != kBlock) state.SkipWithError("read");
    benchmark::DoNotOptimize(buf);
  }
  report(state, system_calls(kel::cache_counters()) - before);
  Bclose(f);
  Bshutdown();
}

void BM_PlainRead(benchmark::State &state) {
  std::vector<int64_t> at = offsets(state.range(0) != 0, static_cast<int>(state.range(1)));
  int fd = open(bench_file().path(), O_RDONLY);
  char buf[kBlock];
  size_t i = 0;
  for (auto _ : state) {
    if (pread(fd, buf, kBlock, at[i++ & (kSequence - 1)]) != kBlock) state.SkipWithError("read");
    benchmark::DoNotOptimize(buf);
  }
  report(state, state.iterations());
  close(fd);
}

void BM_CacheWrite(benchmark::State &state) {
  std::vector<int64_t> at = offsets(state.range(0) != 0, static_cast<int>(state.range(1)));
  int f = open_cached(0x602, kel::kKindIndex);
  char buf[kBlock] = {'w'};
  uint64_t before = system_calls(kel::cache_counters());
  size_t i = 0;
  for (auto _ : state) {
    if (Bpwrite(f, buf, kBlock, at[i & (kSequence - 1)]) != kBlock) state.SkipWithError("write");
    if (++i % kSyncEvery == 0) Bsync(3);
  }
  Bsync(3);
  report(state, system_calls(kel::cache_counters()) - before);
  Bclose(f);
  Bshutdown();
}

void BM_PlainWrite(benchmark::State &state) {
  std::vector<int64_t> at = offsets(state.range(0) != 0, static_cast<int>(state.range(1)));
  int fd = open(bench_file().path(), O_RDWR);
  char buf[kBlock] = {'w'};
  size_t i = 0;
  for (auto _ : state) {
    if (pwrite(fd, buf, kBlock, at[i++ & (kSequence - 1)]) != kBlock) state.SkipWithError("write");
  }
  report(state, state.iterations());
  close(fd);
}

// {random, blocks}: random within the pool's size, random over four times
// the pool, sequential through the whole file.
void patterns(benchmark::internal::Benchmark *b) {
  b->ArgNames({"random", "blocks"});
  b->Args({1, kPoolBuffers});
  b->Args({1, kFileBlocks});
  b->Args({0, kFileBlocks});
}

BENCHMARK(BM_CacheRead)->Apply(patterns);
BENCHMARK(BM_PlainRead)->Apply(patterns);
BENCHMARK(BM_CacheWrite)->Apply(patterns);
BENCHMARK(BM_PlainWrite)->Apply(patterns);

}  // namespace

BENCHMARK_MAIN();
