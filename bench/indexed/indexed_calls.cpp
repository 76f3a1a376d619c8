// Instructions and system calls per call of the indexed engine's entry
// points, one phase per run, on indexed_bench's records (bench_records.h).
// Instructions come from callgrind, collecting only inside the entry point:
//
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=v5_next
//       ./build-bench/indexed_calls walk-key0 --records 20000
//
// and are divided by the calls this program prints; the system calls are
// the cache's own counters over the phase.
//
// Phases:
//   insert-asc, insert-rand  v5_write of every record, in ascending or
//                            random key 0 order, into a new file opened as
//                            kel restores (exclusive, deferred writes: 0x601)
//   walk-key0, walk-key1     v5_next over every record of a file made by
//                            insert-rand, opened exclusive input (0x200)
//   keyed                    v5_read of N / 10 random keys 0, same open
// Options: --records N (default 20,000), --dir folder (default /dev/shm),
// --buffers B (V_BUFFERS; default: the configuration's 64 blocks),
// --repeat R (the walks and keyed reads R times over the same file; the
// program then prints their processor and wall seconds, which compare two
// builds on a loaded machine better than indexed_bench's wall clock),
// --keep 1 (the walks and keyed reads use the file a previous run with
// --keep 1 left, and every phase leaves its file: a file of millions of
// records is made natively once and then read under callgrind).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench_records.h"
#include "cache/cache.h"
#include "config/config.h"
#include "kelfs/kelfs.h"

namespace {

[[noreturn]] void die(const char *what, const std::string &detail = "") {
  fprintf(stderr, "indexed_calls: %s %s\n", what, detail.c_str());
  exit(2);
}

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long long cache_syscalls() {
  const kel::CacheCounters &c = kel::cache_counters();
  return static_cast<long long>(c.read_calls) + c.write_calls + c.pread_calls + c.pwrite_calls +
         c.lseek_calls;
}

void make_file(const std::string &path, long records, bool ascending, long *calls) {
  v5_remove(path.c_str());
  if (!v5_make(path.c_str(), "bench", "1,1,1,100,0", "100,100,2", "1,0,8,0,1,1,10,8", nullptr))
    die("v5_make", path);
  DorvexFile *f =
      v5_open(path.c_str(), KEL_OPEN_OUTPUT | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
  if (!f) die("v5_open", path);
  std::vector<long> order = bench::shuffled(records, 7);
  char r[bench::kRecordBytes];
  for (long i = 0; i < records; ++i) {
    bench::make_record(ascending ? i : order[static_cast<size_t>(i)], records, r);
    if (!v5_write(f, r, bench::kRecordBytes)) die("v5_write", std::to_string(*fs_error_code()));
  }
  if (!v5_close(f)) die("v5_close", path);
  *calls = records;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) die("usage: indexed_calls PHASE [--records N] [--dir D] [--buffers B]");
  const std::string phase = argv[1];
  long records = 20000;
  std::string dir = "/dev/shm";
  long buffers = -1;
  long repeat = 1;
  bool keep = false;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--records")
      records = atol(argv[i + 1]);
    else if (a == "--dir")
      dir = argv[i + 1];
    else if (a == "--buffers")
      buffers = atol(argv[i + 1]);
    else if (a == "--repeat")
      repeat = atol(argv[i + 1]);
    else if (a == "--keep")
      keep = atol(argv[i + 1]) != 0;
    else
      die("unknown option", a);
  }
  v5_init_cfg();
  if (buffers >= 0) cfg_set_long("V_BUFFERS", 0, static_cast<int32_t>(buffers));
  const std::string path = dir + "/indexed_calls";
  long calls = 0;
  long long s0 = 0;
  if (phase == "insert-asc" || phase == "insert-rand") {
    s0 = cache_syscalls();
    make_file(path, records, phase == "insert-asc", &calls);
  } else {
    long made;
    FILE *existing = keep ? fopen(path.c_str(), "rb") : nullptr;
    if (existing)
      fclose(existing);
    else
      make_file(path, records, false, &made);
    DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, "0,0,0");
    if (!f) die("v5_open", path);
    char r[bench::kRecordBytes] = {};
    s0 = cache_syscalls();
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID), wall0 = seconds(CLOCK_MONOTONIC);
    for (long pass = 0; pass < repeat; ++pass) {
      long done = 0;
      memset(r, 0, sizeof r);  // from the first key
      if (phase == "walk-key0" || phase == "walk-key1") {
        if (v5_start(f, r, phase == "walk-key0" ? 0 : 1, 0, 1))
          while (v5_next(f, r) == bench::kRecordBytes) ++done;
        if (done != records) die("walk ended early at", std::to_string(done));
      } else if (phase == "keyed") {
        std::mt19937_64 rng(11);
        for (; done < records / 10; ++done) {
          snprintf(r, sizeof r, "%08ld", static_cast<long>(rng() % static_cast<uint64_t>(records)));
          if (v5_read(f, r, 0) != bench::kRecordBytes) die("v5_read", r);
        }
      } else {
        die("unknown phase", phase);
      }
      calls += done;
    }
    if (repeat > 1)
      printf("%s: %.3f s processor, %.3f s wall for %ld passes\n", phase.c_str(),
             seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, seconds(CLOCK_MONOTONIC) - wall0, repeat);
    v5_close(f);
  }
  long long syscalls = cache_syscalls() - s0;
  printf("%s: %ld calls, %lld system calls (%.3f per call)\n", phase.c_str(), calls, syscalls,
         calls ? static_cast<double>(syscalls) / static_cast<double>(calls) : 0.0);
  if (!keep) v5_remove(path.c_str());
  return 0;
}
