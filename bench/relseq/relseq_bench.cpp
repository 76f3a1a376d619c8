// Relative and sequential files against the plain system calls they stand
// on, in the same run.
//
// Relative: N (default 1,000,000) fixed records of 100 bytes.
//   write      Ar_write by record number 1..N into a new file opened
//              exclusive, against pwrite of the same 100-byte slots
//   write-shr  the same through a shared open (another process may write:
//              the file's size is asked before every write)
//   read-seq   Ar_read of records 1..N (file open for input), against pread
//   read-rand  Ar_read in a random order (the same for both), against pread
//   next       Ar_next from record 1 to the end, against pread of 1..N
// Sequential: a text file of about M MB (default 100) of lines of 0 to 160
// letters.
//   lines      As_read of every line (record type line, record size 256,
//              the default block), against getline on a stdio stream
//   lines-64k  the same with A_SEQ_DEFAULT_BLOCK_SIZE = 65536
//
// Every phase runs R times (default 5) in turn with its peer; the median
// time of each side and their ratio are printed. `--only prepare` makes the
// files and leaves them; then `--only PHASE --side kel|raw` runs one side
// of one phase once on them, for counting its system calls with strace -c.
//
// Usage: relseq_bench [--records N] [--megabytes M] [--runs R] [--dir folder]
//                     [--only PHASE --side SIDE]
// The folder defaults to /dev/shm (files on tmpfs: no side pays for the
// disk).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "kelfs/kelfs.h"

namespace {

constexpr uint32_t kRecord = 100;
constexpr uint32_t kLineRecord = 256;

struct Options {
  long records = 1000000;
  long megabytes = 100;
  int runs = 5;
  std::string dir = "/dev/shm";
  std::string only, side;
};

Options g_opt;
std::string g_rel, g_raw, g_text;
std::vector<int32_t> g_order;
volatile uint64_t g_sink;

double seconds(const std::function<void()> &fn) {
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "relseq_bench: %s failed (error %d)\n", what, *fs_error_code());
    exit(1);
  }
}

std::string record_for(long n) {
  char buf[kRecord + 1];
  snprintf(buf, sizeof buf, "%08ld%-92s", n, "customer name and town, amount and date");
  return std::string(buf, kRecord);
}

void kel_write(int32_t sharing) {
  unlink(g_rel.c_str());
  check(Ar_make(g_rel.c_str(), "", 0), "Ar_make");
  RelativeFile *f = Ar_open(g_rel.c_str(), KEL_OPEN_IO | sharing, kRecord, kRecord, 0);
  check(f != nullptr, "Ar_open");
  std::string r = record_for(0);
  for (long n = 1; n <= g_opt.records; ++n) {
    memcpy(r.data(), &n, sizeof n);
    check(Ar_write(f, r.data(), kRecord, static_cast<int32_t>(n)) == 1, "Ar_write");
  }
  check(Ar_close(f), "Ar_close");
}

void raw_write() {
  int fd = open(g_raw.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "open");
  std::string r = record_for(0);
  for (long n = 1; n <= g_opt.records; ++n) {
    memcpy(r.data(), &n, sizeof n);
    check(pwrite(fd, r.data(), kRecord, (n - 1) * kRecord) == kRecord, "pwrite");
  }
  close(fd);
}

void kel_read(bool random) {
  RelativeFile *f = Ar_open(g_rel.c_str(), KEL_OPEN_INPUT, kRecord, kRecord, 0);
  check(f != nullptr, "Ar_open");
  char r[kRecord];
  uint64_t sum = 0;
  for (long i = 0; i < g_opt.records; ++i) {
    int32_t n = random ? g_order[i] : static_cast<int32_t>(i + 1);
    check(Ar_read(f, r, n) == kRecord + 1, "Ar_read");
    sum += static_cast<uint8_t>(r[0]);
  }
  g_sink = sum;
  Ar_close(f);
}

void raw_read(bool random) {
  int fd = open(g_raw.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "open");
  char r[kRecord];
  uint64_t sum = 0;
  for (long i = 0; i < g_opt.records; ++i) {
    int64_t n = random ? g_order[i] : i + 1;
    check(pread(fd, r, kRecord, (n - 1) * kRecord) == kRecord, "pread");
    sum += static_cast<uint8_t>(r[0]);
  }
  g_sink = sum;
  close(fd);
}

void kel_next() {
  RelativeFile *f = Ar_open(g_rel.c_str(), KEL_OPEN_INPUT, kRecord, kRecord, 0);
  check(f != nullptr && Ar_start(f, 1, 0), "Ar_start");
  char r[kRecord];
  long count = 0;
  while (Ar_next(f, r) > 0) ++count;
  check(count == g_opt.records, "Ar_next");
  Ar_close(f);
}

void make_text() {
  FILE *out = fopen(g_text.c_str(), "w");
  check(out != nullptr, "fopen");
  std::mt19937 rng(7);
  long target = g_opt.megabytes * 1000000;
  std::string line;
  for (long size = 0; size < target;) {
    line.assign(rng() % 161, 'x');
    for (char &c : line) c = static_cast<char>('a' + rng() % 26);
    line += '\n';
    fwrite(line.data(), 1, line.size(), out);
    size += static_cast<long>(line.size());
  }
  fclose(out);
}

long g_lines = 0;

void kel_lines(long block_setting) {
  cfg_set_long("A_SEQ_DEFAULT_BLOCK_SIZE", 0, static_cast<int32_t>(block_setting));
  SequentialFile *s =
      As_open(g_text.c_str(), KEL_OPEN_INPUT, kLineRecord, AS_LINE, 0, -1, nullptr, 0);
  check(s != nullptr, "As_open");
  char r[kLineRecord];
  long count = 0;
  uint64_t sum = 0;
  for (int n; (n = As_read(s, r)) > 0; ++count) sum += static_cast<uint32_t>(n);
  check(*fs_error_code() == E_NOT_FOUND, "As_read");
  g_sink = sum;
  g_lines = count;
  As_close(s, 0);
}

void raw_lines() {
  FILE *in = fopen(g_text.c_str(), "r");
  check(in != nullptr, "fopen");
  char *line = nullptr;
  size_t capacity = 0;
  long count = 0;
  uint64_t sum = 0;
  for (ssize_t n; (n = getline(&line, &capacity, in)) > 0; ++count) sum += static_cast<uint64_t>(n);
  free(line);
  fclose(in);
  g_sink = sum;
  g_lines = count;
}

struct Phase {
  const char *name;
  std::function<void()> kel, raw;
  const char *unit;  // what one "record" is
};

std::vector<Phase> phases() {
  return {
      {"write", [] { kel_write(KEL_OPEN_EXCLUSIVE); }, raw_write, "record"},
      {"write-shr", [] { kel_write(0); }, raw_write, "record"},
      {"read-seq", [] { kel_read(false); }, [] { raw_read(false); }, "record"},
      {"read-rand", [] { kel_read(true); }, [] { raw_read(true); }, "record"},
      {"next", kel_next, [] { raw_read(false); }, "record"},
      {"lines", [] { kel_lines(0); }, raw_lines, "line"},
      {"lines-64k", [] { kel_lines(65536); }, raw_lines, "line"},
  };
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void parse(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--records")
      g_opt.records = atol(v.c_str());
    else if (a == "--megabytes")
      g_opt.megabytes = atol(v.c_str());
    else if (a == "--runs")
      g_opt.runs = atoi(v.c_str());
    else if (a == "--dir")
      g_opt.dir = v;
    else if (a == "--only")
      g_opt.only = v;
    else if (a == "--side")
      g_opt.side = v;
  }
}

}  // namespace

int main(int argc, char **argv) {
  parse(argc, argv);
  v5_init_cfg();
  check(Ar_init(), "Ar_init");
  g_rel = g_opt.dir + "/relseq_bench.rel";
  g_raw = g_opt.dir + "/relseq_bench.raw";
  g_text = g_opt.dir + "/relseq_bench.txt";
  g_order.resize(static_cast<size_t>(g_opt.records));
  for (long i = 0; i < g_opt.records; ++i) g_order[i] = static_cast<int32_t>(i + 1);
  std::shuffle(g_order.begin(), g_order.end(), std::mt19937(42));
  if (g_opt.only.empty() || g_opt.only == "prepare") {
    kel_write(KEL_OPEN_EXCLUSIVE);
    raw_write();
    make_text();
  }
  if (!g_opt.only.empty()) {
    // One side of one phase on the files a "prepare" run left.
    for (const Phase &p : phases()) {
      if (g_opt.only == p.name) (g_opt.side == "raw" ? p.raw : p.kel)();
    }
    Ar_exit();
    return 0;
  } else {
    printf("%-10s %12s %12s %8s %12s\n", "phase", "kel ns/rec", "raw ns/rec", "ratio", "records");
    for (const Phase &p : phases()) {
      std::vector<double> k, r;
      for (int i = 0; i < g_opt.runs; ++i) {
        k.push_back(seconds(p.kel));
        r.push_back(seconds(p.raw));
      }
      double count = std::string(p.unit) == "line" ? static_cast<double>(g_lines)
                                                   : static_cast<double>(g_opt.records);
      printf("%-10s %12.1f %12.1f %8.2f %12.0f\n", p.name, median(k) / count * 1e9,
             median(r) / count * 1e9, median(k) / median(r), count);
    }
  }
  unlink(g_rel.c_str());
  unlink(g_raw.c_str());
  unlink(g_text.c_str());
  Ar_exit();
  return 0;
}
