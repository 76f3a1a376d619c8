// The indexed engine against SQLite and Berkeley DB on the same records, in
// the same run, and kel archiving and restoring the engine's file.
//
// Records: N (default 1,000,000) of 100 bytes, shaped like a COBOL master
// record: key 0, 8 digits, unique; key 1, 10 digits with about N / 10
// distinct values (duplicates); a name and a town padded with blanks, an
// amount and a date with leading zeros, a status letter and a blank filler.
//
// Engines (each in a child process of its own, so that every one starts
// with a cold process and the process-wide cache of the engine is set up
// from its own configuration):
//
//   dorvex      the engine with the default configuration (V_BUFFERS: 64
//               blocks of 512 bytes); inserts through an exclusive,
//               deferred-write open (0x601, the open kel restores with),
//               reads through an exclusive input open (0x200)
//   dorvex64    the same with V_BUFFERS = 131072 (64 MiB)
//   dorvex64d   dorvex64 with V_NO_ASYNC_CACHE_DATA = 1: data segments go
//               through the pool on every open (not only deferred ones)
//   bdb         Berkeley DB 5.3, no environment, default cache: a B-tree
//               primary (key 0 -> record) and a sorted-duplicates B-tree
//               secondary on key 1 (DB->associate)
//   bdb64       the same in a private environment with one 64 MiB cache
//   sqlite      SQLite: a WITHOUT ROWID table (key 0 primary key, key 1,
//               record) and an index on key 1; inserts in one transaction
//   lmdb        LMDB: a primary (key 0 -> record) and a sorted-duplicates
//               secondary (key 1 -> key 0) in one memory-mapped
//               environment, commits every 10,000 inserts
//   cobol       the COBOL runtime's own indexed handler (GnuCOBOL on
//               Berkeley DB, Debian's gnucobol3): cobol_peer.cob, built
//               next to this program when cobc is found, run once per
//               phase on the same records; each phase's time is the run's
//               less a run that only reads the same input (so the input
//               file and the process start are not counted); no bulk phase
//
// Phases, timed separately, each engine in turn:
//   insert-asc   a new file, records in ascending key 0 order, closed
//   insert-rand  a new file, records in random key 0 order, closed
//   bulk-rand    the same records, random order, added in bulk: dorvex
//                through a bulk open (0x8000 | 0x600, V_BULK_MEMORY left
//                as configured); sqlite inserts into the table without
//                the key 1 index and then creates it; bdb sorts the
//                records by key 0, puts them with DB_MULTIPLE_KEY into
//                the primary alone, and then associates the secondary
//                with DB_CREATE, which builds it
//   read-key0    every record of the random-order file in key 0 order
//   read-keyed   N / 10 random reads by key 0
//   read-key1    every record in key 1 order
//   bytes        the files' sizes on disk (both files, the random one shown)
//   rewrite-same N / 10 random records of the random-order file (dorvex
//                only) rewritten with an image of the same length whose
//                stored form keeps its size (another status letter): in
//                place
//   rewrite-grow as many rewritten with blanks turned into letters, which
//                compress worse: the records move to the end of the data
// and, for dorvex only, kel -o of the ascending file into an archive and
// kel -i of that archive into an empty folder.
//
// Usage: indexed_bench [--records N] [--runs R] [--dir folder] [--kel path]
//                      [--cobol path] [--engines a,b,...] [--compression F] [--node-blocks B]
//                      [--inserts-only] [--bulk-only]
// The folder defaults to /dev/shm (files on tmpfs: no engine pays for the
// disk, so the figures compare the engines' own work); the kel and
// cobol_peer binaries to the ones next to this program. Without a built
// cobol_peer the default engines leave cobol out.
#include <db.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../bdb_secondary.h"
#include "bench_records.h"
#include "cache/cache.h"
#include "config/config.h"
#include "kelfs/kelfs.h"

namespace {

constexpr int kRecord = 100;
constexpr int kKey0 = 8, kKey0At = 0;
constexpr int kKey1 = 10, kKey1At = 8;

struct Options {
  long records = 1000000;
  int runs = 5;
  std::string dir = "/dev/shm";
  std::string kel, cobol;
  std::vector<std::string> engines = {"dorvex", "dorvex64", "bdb",  "bdb64",
                                      "sqlite", "lmdb",     "cobol"};
  bool engines_given = false;
  int compression = 100;
  int node_blocks = 1;
  bool inserts_only = false;
  bool bulk_only = false;
};
Options g_options;

[[noreturn]] void die(const char *what, const std::string &detail = "") {
  fprintf(stderr, "indexed_bench: %s %s\n", what, detail.c_str());
  exit(2);
}

// ---------------------------------------------------------------- records --

// Record i of the set (bench_records.h).
void make_record(long i, char *r) {
  bench::make_record(i, g_options.records, r);
}

// ------------------------------------------------------------------ timing --

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One engine run: seconds per phase, bytes, syscall counts.
using Figures = std::map<std::string, double>;

long long file_bytes(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Checks that a full read saw every record once, in order.
// What one walk in a key's order returned: every record, each key at
// least the one before it, or the run dies naming the walk.
class WalkCheck {
 public:
  explicit WalkCheck(int key)
      : at_(key == 0 ? kKey0At : kKey1At), width_(key == 0 ? kKey0 : kKey1) {}
  void see(const char *r) {
    if (count_ > 0 && memcmp(prev_ + at_, r + at_, static_cast<size_t>(width_)) > 0)
      ordered_ = false;
    memcpy(prev_, r, kRecord);
    ++count_;
  }
  void done(const char *what) const {
    if (count_ != g_options.records || !ordered_) die(what, "did not return every record in order");
  }

 private:
  int at_, width_;
  long count_ = 0;
  bool ordered_ = true;
  char prev_[kRecord];
};

// The key 0 of a random record of the file, for the keyed reads.
void random_key0(std::mt19937_64 &rng, char (&want)[16]) {
  snprintf(want, sizeof want, "%08ld",
           static_cast<long>(rng() % static_cast<uint64_t>(g_options.records)));
}

// ------------------------------------------------------------------ dorvex --

long long cache_syscalls() {
  const kel::CacheCounters &c = kel::cache_counters();
  return static_cast<long long>(c.read_calls) + c.write_calls + c.pread_calls + c.pwrite_calls +
         c.lseek_calls;
}

void dorvex_insert(const std::string &path, bool ascending, Figures &f, const char *phase) {
  char physical[64];
  snprintf(physical, sizeof physical, "%d,1,1,%d,0", g_options.node_blocks, g_options.compression);
  v5_remove(path.c_str());
  double t0 = now();
  long long s0 = cache_syscalls();
  if (!v5_make(path.c_str(), "bench", physical, "100,100,2", "1,0,8,0,1,1,10,8", nullptr))
    die("v5_make", path);
  DorvexFile *file =
      v5_open(path.c_str(), KEL_OPEN_OUTPUT | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
  if (!file) die("v5_open", path);
  std::vector<long> order;
  if (!ascending) order = bench::shuffled(g_options.records, 7);
  char r[kRecord];
  for (long i = 0; i < g_options.records; ++i) {
    make_record(ascending ? i : order[static_cast<size_t>(i)], r);
    if (!v5_write(file, r, kRecord)) die("v5_write", std::to_string(*fs_error_code()));
  }
  if (!v5_close(file)) die("v5_close", path);
  f[phase] = now() - t0;
  f[std::string(phase) + " syscalls"] = static_cast<double>(cache_syscalls() - s0);
}

void dorvex_bulk(const std::string &path, Figures &f) {
  char physical[64];
  snprintf(physical, sizeof physical, "%d,1,1,%d,0", g_options.node_blocks, g_options.compression);
  v5_remove(path.c_str());
  double t0 = now();
  long long s0 = cache_syscalls();
  if (!v5_make(path.c_str(), "bench", physical, "100,100,2", "1,0,8,0,1,1,10,8", nullptr))
    die("v5_make", path);
  DorvexFile *file = v5_open(
      path.c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED | KEL_OPEN_BULK, "0,0,0");
  if (!file) die("v5_open bulk", path);
  std::vector<long> order = bench::shuffled(g_options.records, 7);
  char r[kRecord];
  for (long i = 0; i < g_options.records; ++i) {
    make_record(order[static_cast<size_t>(i)], r);
    if (!v5_write(file, r, kRecord)) die("v5_write", std::to_string(*fs_error_code()));
  }
  if (!v5_close(file)) die("v5_close bulk", std::to_string(*fs_error_code()));
  f["bulk-rand"] = now() - t0;
  f["bulk-rand syscalls"] = static_cast<double>(cache_syscalls() - s0);
  f["bytes-bulk"] = static_cast<double>(file_bytes(path) + file_bytes(path + ".vix"));
  // Every record must be reachable by both keys, in order.
  file = v5_open(path.c_str(), KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, "0,0,0");
  if (!file) die("v5_open", path);
  for (int key : {0, 1}) {
    memset(r, 0, sizeof r);
    WalkCheck walk(key);
    if (v5_start(file, r, key, 0, 1))
      while (v5_next(file, r) == kRecord) walk.see(r);
    walk.done("bulk-rand");
  }
  v5_close(file);
  v5_remove(path.c_str());
}

// Rewrites N / 10 random records through the open the inserts use
// (exclusive, deferred writes; the close, which writes everything out, is
// timed too): "rewrite-same" with another status letter (the stored form
// keeps its size: in place), "rewrite-grow" with the blanks of the name,
// the town and the filler turned into letters, which compress worse, so
// the records move.
void dorvex_rewrite(const std::string &path, Figures &f) {
  char r[kRecord];
  for (const char *phase : {"rewrite-same", "rewrite-grow"}) {
    const bool same = phase[8] == 's';
    std::mt19937_64 rng(same ? 13 : 17);
    long count = g_options.records / 10;
    double t0 = now();
    long long s0 = cache_syscalls();
    DorvexFile *file =
        v5_open(path.c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
    if (!file) die("v5_open", path);
    for (long i = 0; i < count; ++i) {
      make_record(static_cast<long>(rng() % static_cast<uint64_t>(g_options.records)), r);
      if (same) {
        r[80] = static_cast<char>('A' + (r[80] - 'A' + 1) % 4);
      } else {
        for (int j = 18; j < kRecord; ++j)
          if (r[j] == ' ') r[j] = static_cast<char>('a' + (i + j) % 26);
      }
      if (!v5_rewrite(file, r, kRecord)) die("v5_rewrite", std::to_string(*fs_error_code()));
    }
    if (!v5_close(file)) die("v5_close", path);
    f[phase] = now() - t0;
    f[std::string(phase) + " syscalls"] = static_cast<double>(cache_syscalls() - s0);
  }
}

Figures run_dorvex(bool big_cache, bool cache_data = false) {
  v5_init_cfg();
  if (big_cache) cfg_set_long("V_BUFFERS", 0, (64 << 20) / kel::kCacheBlockSize);
  if (cache_data) cfg_set_programmatic("V_NO_ASYNC_CACHE_DATA", -1, "1", -1, 0);
  Figures f;
  const std::string a = g_options.dir + "/dorvex_asc", b = g_options.dir + "/dorvex_rand";
  if (g_options.bulk_only) {
    dorvex_bulk(g_options.dir + "/dorvex_bulk", f);
    return f;
  }
  dorvex_insert(a, true, f, "insert-asc");
  dorvex_insert(b, false, f, "insert-rand");
  dorvex_bulk(g_options.dir + "/dorvex_bulk", f);
  f["bytes-asc"] = static_cast<double>(file_bytes(a) + file_bytes(a + ".vix"));
  f["bytes"] = static_cast<double>(file_bytes(b) + file_bytes(b + ".vix"));
  f["bytes data"] = static_cast<double>(file_bytes(b));
  if (!g_options.inserts_only) {
    DorvexFile *file = v5_open(b.c_str(), KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, "0,0,0");
    if (!file) die("v5_open", b);
    char r[kRecord];
    for (int key : {0, 1}) {
      const char *phase = key == 0 ? "read-key0" : "read-key1";
      double t0 = now();
      long long s0 = cache_syscalls();
      memset(r, 0, sizeof r);
      WalkCheck walk(key);
      if (v5_start(file, r, key, 0, 1))
        while (v5_next(file, r) == kRecord) walk.see(r);
      f[phase] = now() - t0;
      f[std::string(phase) + " syscalls"] = static_cast<double>(cache_syscalls() - s0);
      walk.done(phase);
    }
    std::mt19937_64 rng(11);
    long reads = g_options.records / 10;
    double t0 = now();
    long long s0 = cache_syscalls();
    for (long i = 0; i < reads; ++i) {
      long want = static_cast<long>(rng() % static_cast<uint64_t>(g_options.records));
      snprintf(r, sizeof r, "%08ld", want);
      if (v5_read(file, r, 0) != kRecord) die("v5_read", std::to_string(*fs_error_code()));
    }
    f["read-keyed"] = now() - t0;
    f["read-keyed syscalls"] = static_cast<double>(cache_syscalls() - s0);
    v5_close(file);
    dorvex_rewrite(b, f);
  }
  v5_remove(b.c_str());
  // The ascending file stays for kel (default configuration only).
  if (big_cache) v5_remove(a.c_str());
  return f;
}

// --------------------------------------------------------------------- kel --

// In a child: runs `program` with `args`; never returns.
[[noreturn]] void exec_program(const std::string &program, const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Runs kel with `args` in `cwd`, standard input from `input`; seconds.
double run_kel(const std::vector<std::string> &args, const std::string &cwd,
               const std::string &input) {
  double t0 = now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int in = open(input.c_str(), O_RDONLY);
    int null = open("/dev/null", O_WRONLY);
    if (in < 0 || null < 0) _exit(126);
    dup2(in, 0);
    dup2(null, 2);
    exec_program(g_options.kel, args);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("kel failed:", args[0]);
  return now() - t0;
}

Figures run_kel_phases() {
  Figures f;
  const std::string &d = g_options.dir;
  FILE *list = fopen((d + "/kel.list").c_str(), "w");
  if (!list) die("list file");
  fprintf(list, "dorvex_asc\n");
  fclose(list);
  f["kel -o"] = run_kel({"-of", "kel.archive"}, d, d + "/kel.list");
  f["archive bytes"] = static_cast<double>(file_bytes(d + "/kel.archive"));
  const std::string into = d + "/kel.restore";
  mkdir(into.c_str(), 0755);
  f["kel -i"] = run_kel({"-if", d + "/kel.archive"}, into, "/dev/null");
  // The restored file must hold every record.
  v5_init_cfg();
  DorvexFile *file = v5_open((into + "/dorvex_asc").c_str(), KEL_OPEN_INPUT, "0,0,0");
  char count[64] = "0";
  if (!file || !v5_info(file, -4, count) || atol(count) != g_options.records)
    die("kel -i restored", count);
  v5_close(file);
  v5_remove((into + "/dorvex_asc").c_str());
  rmdir(into.c_str());
  unlink((d + "/kel.archive").c_str());
  unlink((d + "/kel.list").c_str());
  v5_remove((d + "/dorvex_asc").c_str());
  return f;
}

// -------------------------------------------------------------- berkeley db --

struct Bdb {
  DB_ENV *env = nullptr;
  DB *primary = nullptr, *secondary = nullptr;

  void open(const std::string &name, bool big_cache, bool create) {
    std::string home = g_options.dir;
    if (big_cache) {
      check(db_env_create(&env, 0), "db_env_create");
      check(env->set_cachesize(env, 0, 64u << 20, 1), "set_cachesize");
      check(env->open(env, home.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0), "env open");
    }
    std::string p = name + ".db", s = name + "_k1.db";
    if (!big_cache) {
      p = home + "/" + p;
      s = home + "/" + s;
    }
    u_int32_t flags = create ? DB_CREATE | DB_TRUNCATE : DB_RDONLY;
    check(db_create(&primary, env, 0), "db_create");
    check(primary->open(primary, nullptr, p.c_str(), nullptr, DB_BTREE, flags, 0644), "open");
    check(db_create(&secondary, env, 0), "db_create");
    check(secondary->set_flags(secondary, DB_DUP | DB_DUPSORT), "set_flags");
    check(secondary->open(secondary, nullptr, s.c_str(), nullptr, DB_BTREE, flags, 0644), "open");
    check(primary->associate(primary, nullptr, secondary, bench::bdb_key1_of, 0), "associate");
  }
  void close() {
    check(secondary->close(secondary, 0), "close");
    check(primary->close(primary, 0), "close");
    if (env) check(env->close(env, 0), "env close");
    env = nullptr;
  }
  static void check(int r, const char *what) {
    if (r != 0) die(what, db_strerror(r));
  }
};

// The best bulk path of Berkeley DB: the records sorted by key 0, put into
// the primary alone in DB_MULTIPLE_KEY batches of about 4 MiB, then the
// secondary associated with DB_CREATE, which builds it from the primary.
double bdb_bulk(bool big_cache) {
  const std::string &d = g_options.dir;
  double t0 = now();
  std::vector<long> order = bench::shuffled(g_options.records, 7);
  std::vector<char> records(static_cast<size_t>(g_options.records) * kRecord);
  for (long i = 0; i < g_options.records; ++i)
    make_record(order[static_cast<size_t>(i)], &records[static_cast<size_t>(i) * kRecord]);
  std::vector<uint32_t> sorted(static_cast<size_t>(g_options.records));
  std::iota(sorted.begin(), sorted.end(), 0u);
  std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
    return memcmp(&records[size_t{a} * kRecord], &records[size_t{b} * kRecord], kKey0) < 0;
  });
  Bdb db;
  std::string home = d;
  if (big_cache) {
    Bdb::check(db_env_create(&db.env, 0), "db_env_create");
    Bdb::check(db.env->set_cachesize(db.env, 0, 64u << 20, 1), "set_cachesize");
    Bdb::check(db.env->open(db.env, home.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0),
               "env open");
  }
  std::string p = big_cache ? "bdb_bulk.db" : d + "/bdb_bulk.db";
  std::string s = big_cache ? "bdb_bulk_k1.db" : d + "/bdb_bulk_k1.db";
  Bdb::check(db_create(&db.primary, db.env, 0), "db_create");
  Bdb::check(db.primary->open(db.primary, nullptr, p.c_str(), nullptr, DB_BTREE,
                              DB_CREATE | DB_TRUNCATE, 0644),
             "open");
  std::vector<char> buffer(4u << 20);
  DBT keys = {}, none = {};
  keys.data = buffer.data();
  keys.ulen = static_cast<u_int32_t>(buffer.size());
  keys.flags = DB_DBT_USERMEM | DB_DBT_BULK;
  void *at = nullptr;
  DB_MULTIPLE_WRITE_INIT(at, &keys);
  // 20,000 records take about 2.5 MiB of the buffer (record, key, and 16
  // bytes of offsets each).
  constexpr size_t kBatch = 20000;
  for (size_t i = 0; i < sorted.size(); ++i) {
    char *r = &records[size_t{sorted[i]} * kRecord];
    DB_MULTIPLE_KEY_WRITE_NEXT(at, &keys, r, kKey0, r, kRecord);
    if (at == nullptr) die("bdb bulk buffer");
    if ((i + 1) % kBatch == 0 || i + 1 == sorted.size()) {
      Bdb::check(db.primary->put(db.primary, nullptr, &keys, &none, DB_MULTIPLE_KEY), "put bulk");
      DB_MULTIPLE_WRITE_INIT(at, &keys);
    }
  }
  Bdb::check(db_create(&db.secondary, db.env, 0), "db_create");
  Bdb::check(db.secondary->set_flags(db.secondary, DB_DUP | DB_DUPSORT), "set_flags");
  Bdb::check(db.secondary->open(db.secondary, nullptr, s.c_str(), nullptr, DB_BTREE,
                                DB_CREATE | DB_TRUNCATE, 0644),
             "open");
  Bdb::check(
      db.primary->associate(db.primary, nullptr, db.secondary, bench::bdb_key1_of, DB_CREATE),
      "associate");
  DB_BTREE_STAT *stat = nullptr;
  Bdb::check(db.secondary->stat(db.secondary, nullptr, &stat, 0), "stat");
  bool complete = stat->bt_ndata == static_cast<u_int32_t>(g_options.records);
  free(stat);
  db.close();
  double seconds = now() - t0;
  if (!complete) die("bdb bulk: the secondary misses records");
  unlink((d + "/bdb_bulk.db").c_str());
  unlink((d + "/bdb_bulk_k1.db").c_str());
  return seconds;
}

Figures run_bdb(bool big_cache) {
  Figures f;
  const std::string &d = g_options.dir;
  for (bool ascending : {true, false}) {
    const char *phase = ascending ? "insert-asc" : "insert-rand";
    std::string name = ascending ? "bdb_asc" : "bdb_rand";
    double t0 = now();
    Bdb db;
    db.open(name, big_cache, true);
    std::vector<long> order;
    if (!ascending) order = bench::shuffled(g_options.records, 7);
    char r[kRecord];
    for (long i = 0; i < g_options.records; ++i) {
      make_record(ascending ? i : order[static_cast<size_t>(i)], r);
      DBT key = {}, data = {};
      key.data = r;
      key.size = kKey0;
      data.data = r;
      data.size = kRecord;
      Bdb::check(db.primary->put(db.primary, nullptr, &key, &data, DB_NOOVERWRITE), "put");
    }
    db.close();
    f[phase] = now() - t0;
    f[ascending ? "bytes-asc" : "bytes"] = static_cast<double>(
        file_bytes(d + "/" + name + ".db") + file_bytes(d + "/" + name + "_k1.db"));
  }
  f["bulk-rand"] = bdb_bulk(big_cache);
  if (!g_options.inserts_only) {
    Bdb db;
    db.open("bdb_rand", big_cache, false);
    for (int key : {0, 1}) {
      const char *phase = key == 0 ? "read-key0" : "read-key1";
      double t0 = now();
      DB *which = key == 0 ? db.primary : db.secondary;
      DBC *cursor;
      Bdb::check(which->cursor(which, nullptr, &cursor, 0), "cursor");
      DBT k = {}, data = {};
      WalkCheck walk(key);
      while (cursor->get(cursor, &k, &data, DB_NEXT) == 0) {
        const char *r = static_cast<const char *>(data.data);
        if (data.size != kRecord) die("bdb record size");
        walk.see(r);
      }
      cursor->close(cursor);
      f[phase] = now() - t0;
      walk.done(phase);
    }
    std::mt19937_64 rng(11);
    long reads = g_options.records / 10;
    double t0 = now();
    char want[16], out[kRecord];
    for (long i = 0; i < reads; ++i) {
      random_key0(rng, want);
      DBT k = {}, data = {};
      k.data = want;
      k.size = kKey0;
      data.data = out;
      data.ulen = kRecord;
      data.flags = DB_DBT_USERMEM;
      Bdb::check(db.primary->get(db.primary, nullptr, &k, &data, 0), "get");
    }
    f["read-keyed"] = now() - t0;
    db.close();
  }
  for (const char *n : {"bdb_asc", "bdb_rand"}) {
    unlink((d + "/" + n + ".db").c_str());
    unlink((d + "/" + n + "_k1.db").c_str());
  }
  return f;
}

// ------------------------------------------------------------------ sqlite --

void sq(sqlite3 *db, const char *sql) {
  char *error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) die(sql, error ? error : "");
}

sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) die(sql, sqlite3_errmsg(db));
  return s;
}

// Inserts every record into table r, in key 0 order or shuffled.
void insert_all(sqlite3 *db, bool ascending) {
  sqlite3_stmt *ins = prepare(db, "INSERT INTO r VALUES(?1, ?2, ?3)");
  std::vector<long> order;
  if (!ascending) order = bench::shuffled(g_options.records, 7);
  char r[kRecord];
  for (long i = 0; i < g_options.records; ++i) {
    make_record(ascending ? i : order[static_cast<size_t>(i)], r);
    sqlite3_bind_blob(ins, 1, r + kKey0At, kKey0, SQLITE_STATIC);
    sqlite3_bind_blob(ins, 2, r + kKey1At, kKey1, SQLITE_STATIC);
    sqlite3_bind_blob(ins, 3, r, kRecord, SQLITE_STATIC);
    if (sqlite3_step(ins) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
}

Figures run_sqlite() {
  Figures f;
  const std::string &d = g_options.dir;
  for (bool ascending : {true, false}) {
    const char *phase = ascending ? "insert-asc" : "insert-rand";
    std::string path = d + (ascending ? "/sqlite_asc.db" : "/sqlite_rand.db");
    unlink(path.c_str());
    double t0 = now();
    sqlite3 *db;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open", path);
    sq(db,
       "CREATE TABLE r(k0 BLOB PRIMARY KEY, k1 BLOB NOT NULL, rec BLOB NOT NULL) WITHOUT ROWID;"
       "CREATE INDEX r_k1 ON r(k1); BEGIN");
    insert_all(db, ascending);
    sq(db, "COMMIT");
    sqlite3_close(db);
    f[phase] = now() - t0;
    f[ascending ? "bytes-asc" : "bytes"] = static_cast<double>(file_bytes(path));
  }
  {
    // The best bulk path: the table without the key 1 index, filled in one
    // transaction, then the index created.
    std::string path = d + "/sqlite_bulk.db";
    unlink(path.c_str());
    double t0 = now();
    sqlite3 *db;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open", path);
    sq(db,
       "CREATE TABLE r(k0 BLOB PRIMARY KEY, k1 BLOB NOT NULL, rec BLOB NOT NULL) WITHOUT ROWID;"
       "BEGIN");
    insert_all(db, false);
    sq(db, "COMMIT; CREATE INDEX r_k1 ON r(k1)");
    sqlite3_close(db);
    f["bulk-rand"] = now() - t0;
    unlink(path.c_str());
  }
  if (!g_options.inserts_only) {
    sqlite3 *db;
    if (sqlite3_open((d + "/sqlite_rand.db").c_str(), &db) != SQLITE_OK) die("sqlite3_open");
    for (int key : {0, 1}) {
      const char *phase = key == 0 ? "read-key0" : "read-key1";
      double t0 = now();
      sqlite3_stmt *s = prepare(db, key == 0 ? "SELECT rec FROM r ORDER BY k0"
                                             : "SELECT rec FROM r INDEXED BY r_k1 ORDER BY k1");
      WalkCheck walk(key);
      while (sqlite3_step(s) == SQLITE_ROW) {
        const char *r = static_cast<const char *>(sqlite3_column_blob(s, 0));
        if (sqlite3_column_bytes(s, 0) != kRecord) die("sqlite record size");
        walk.see(r);
      }
      sqlite3_finalize(s);
      f[phase] = now() - t0;
      walk.done(phase);
    }
    sqlite3_stmt *get = prepare(db, "SELECT rec FROM r WHERE k0 = ?1");
    std::mt19937_64 rng(11);
    long reads = g_options.records / 10;
    double t0 = now();
    char want[16], out[kRecord];
    for (long i = 0; i < reads; ++i) {
      random_key0(rng, want);
      sqlite3_bind_blob(get, 1, want, kKey0, SQLITE_STATIC);
      if (sqlite3_step(get) != SQLITE_ROW) die("select", sqlite3_errmsg(db));
      memcpy(out, sqlite3_column_blob(get, 0), kRecord);
      sqlite3_reset(get);
    }
    f["read-keyed"] = now() - t0;
    sqlite3_finalize(get);
    sqlite3_close(db);
  }
  unlink((d + "/sqlite_asc.db").c_str());
  unlink((d + "/sqlite_rand.db").c_str());
  return f;
}

// -------------------------------------------------------------------- lmdb --

// LMDB: one environment per file (a memory map of 4 GiB reserved, sparse on
// tmpfs), a primary database (key 0 -> record) and a sorted-duplicates
// secondary (key 1 -> key 0), kept by the program as LMDB has no
// associate. Inserts commit every 10,000 records (one write transaction
// holds a limited number of dirty pages); a walk in key 1 order looks up
// every record in the primary, as Berkeley DB's secondary does.
struct Lmdb {
  MDB_env *env = nullptr;
  MDB_dbi primary = 0, secondary = 0;

  static void check(int r, const char *what) {
    if (r != 0) die(what, mdb_strerror(r));
  }
  void open(const std::string &path, bool create) {
    if (create) unlink(path.c_str()), unlink((path + "-lock").c_str());
    check(mdb_env_create(&env), "mdb_env_create");
    check(mdb_env_set_mapsize(env, size_t{4} << 30), "mdb_env_set_mapsize");
    check(mdb_env_set_maxdbs(env, 2), "mdb_env_set_maxdbs");
    check(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | (create ? 0 : MDB_RDONLY), 0644),
          "mdb_env_open");
    MDB_txn *txn;
    check(mdb_txn_begin(env, nullptr, create ? 0 : MDB_RDONLY, &txn), "mdb_txn_begin");
    check(mdb_dbi_open(txn, "k0", create ? MDB_CREATE : 0, &primary), "mdb_dbi_open");
    check(mdb_dbi_open(txn, "k1", (create ? MDB_CREATE : 0) | MDB_DUPSORT, &secondary),
          "mdb_dbi_open");
    check(mdb_txn_commit(txn), "mdb_txn_commit");
  }
  void close() {
    mdb_env_close(env);
    env = nullptr;
  }
  // Puts records [0, count) (record i at at(i)) into the primary (key 0 ->
  // record) or the secondary (key 1 -> key 0), committing every 10,000;
  // `flags` MDB_APPEND / MDB_APPENDDUP when they come sorted.
  template <class At>
  void put(bool into_secondary, long count, At at, unsigned flags) {
    MDB_txn *txn = nullptr;
    for (long i = 0; i < count; ++i) {
      if (txn == nullptr) check(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
      char *r = at(i);
      MDB_val k0{kKey0, r + kKey0At}, k1{kKey1, r + kKey1At}, rec{kRecord, r};
      if (into_secondary)
        check(mdb_put(txn, secondary, &k1, &k0, flags), "mdb_put k1");
      else
        check(mdb_put(txn, primary, &k0, &rec, MDB_NOOVERWRITE | flags), "mdb_put");
      if ((i + 1) % 10000 == 0 || i + 1 == count) {
        check(mdb_txn_commit(txn), "mdb_txn_commit");
        txn = nullptr;
      }
    }
  }
};

long long lmdb_bytes(const std::string &path) {
  // The file is sparse on tmpfs: count what it holds.
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_blocks) * 512 : 0;
}

Figures run_lmdb() {
  Figures f;
  const std::string &d = g_options.dir;
  char r[kRecord];
  for (bool ascending : {true, false}) {
    const char *phase = ascending ? "insert-asc" : "insert-rand";
    std::string path = d + (ascending ? "/lmdb_asc" : "/lmdb_rand");
    std::vector<long> order;
    if (!ascending) order = bench::shuffled(g_options.records, 7);
    double t0 = now();
    Lmdb db;
    db.open(path, true);
    MDB_txn *txn = nullptr;
    for (long i = 0; i < g_options.records; ++i) {
      if (txn == nullptr) Lmdb::check(mdb_txn_begin(db.env, nullptr, 0, &txn), "mdb_txn_begin");
      make_record(ascending ? i : order[static_cast<size_t>(i)], r);
      MDB_val k0{kKey0, r + kKey0At}, rec{kRecord, r}, k1{kKey1, r + kKey1At};
      Lmdb::check(mdb_put(txn, db.primary, &k0, &rec, MDB_NOOVERWRITE), "mdb_put");
      Lmdb::check(mdb_put(txn, db.secondary, &k1, &k0, 0), "mdb_put k1");
      if ((i + 1) % 10000 == 0 || i + 1 == g_options.records) {
        Lmdb::check(mdb_txn_commit(txn), "mdb_txn_commit");
        txn = nullptr;
      }
    }
    db.close();
    f[phase] = now() - t0;
    f[ascending ? "bytes-asc" : "bytes"] = static_cast<double>(lmdb_bytes(path));
  }
  {
    // Bulk: the records sorted by key 0 appended to the primary, then the
    // (key 1, key 0) pairs sorted and appended to the secondary.
    std::string path = d + "/lmdb_bulk";
    double t0 = now();
    std::vector<long> order = bench::shuffled(g_options.records, 7);
    std::vector<char> records(static_cast<size_t>(g_options.records) * kRecord);
    for (long i = 0; i < g_options.records; ++i)
      make_record(order[static_cast<size_t>(i)], &records[static_cast<size_t>(i) * kRecord]);
    std::vector<uint32_t> sorted(static_cast<size_t>(g_options.records));
    std::iota(sorted.begin(), sorted.end(), 0u);
    auto rec = [&](uint32_t i) { return &records[size_t{i} * kRecord]; };
    std::sort(sorted.begin(), sorted.end(),
              [&](uint32_t a, uint32_t b) { return memcmp(rec(a), rec(b), kKey0) < 0; });
    Lmdb db;
    db.open(path, true);
    db.put(
        false, g_options.records, [&](long i) { return rec(sorted[static_cast<size_t>(i)]); },
        MDB_APPEND);
    std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
      int c = memcmp(rec(a) + kKey1At, rec(b) + kKey1At, kKey1);
      return c != 0 ? c < 0 : memcmp(rec(a), rec(b), kKey0) < 0;
    });
    db.put(
        true, g_options.records, [&](long i) { return rec(sorted[static_cast<size_t>(i)]); },
        MDB_APPENDDUP);
    db.close();
    f["bulk-rand"] = now() - t0;
    unlink(path.c_str());
    unlink((path + "-lock").c_str());
  }
  if (!g_options.inserts_only) {
    Lmdb db;
    db.open(d + "/lmdb_rand", false);
    MDB_txn *txn;
    Lmdb::check(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
    for (int key : {0, 1}) {
      const char *phase = key == 0 ? "read-key0" : "read-key1";
      double t0 = now();
      MDB_cursor *cursor;
      Lmdb::check(mdb_cursor_open(txn, key == 0 ? db.primary : db.secondary, &cursor), "cursor");
      MDB_val k, v;
      WalkCheck walk(key);
      while (mdb_cursor_get(cursor, &k, &v, MDB_NEXT) == 0) {
        if (key == 1) {
          MDB_val k0 = v;
          Lmdb::check(mdb_get(txn, db.primary, &k0, &v), "mdb_get");
        }
        const char *rr = static_cast<const char *>(v.mv_data);
        if (v.mv_size != kRecord) die("lmdb record size");
        walk.see(rr);
      }
      mdb_cursor_close(cursor);
      f[phase] = now() - t0;
      walk.done(phase);
    }
    std::mt19937_64 rng(11);
    long reads = g_options.records / 10;
    double t0 = now();
    char want[16], out[kRecord];
    for (long i = 0; i < reads; ++i) {
      random_key0(rng, want);
      MDB_val k{kKey0, want}, v;
      Lmdb::check(mdb_get(txn, db.primary, &k, &v), "mdb_get");
      memcpy(out, v.mv_data, kRecord);
    }
    f["read-keyed"] = now() - t0;
    mdb_txn_abort(txn);
    db.close();
  }
  for (const char *n : {"/lmdb_asc", "/lmdb_rand"}) {
    unlink((d + n).c_str());
    unlink((d + n + "-lock").c_str());
  }
  return f;
}

// ------------------------------------------------------------------- cobol --

// Runs cobol_peer with `args`; the seconds it took and the count it
// printed. A failed run ends the bench.
std::pair<double, long> run_cobol_peer(const std::vector<std::string> &args) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe");
  double t0 = now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    exec_program(g_options.cobol, args);
  }
  close(fds[1]);
  char out[64] = "";
  ssize_t got = read(fds[0], out, sizeof out - 1);
  out[got > 0 ? got : 0] = '\0';
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = now() - t0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("cobol_peer failed:", args[0]);
  return {seconds, atol(out)};
}

// The records of `order` (all records when empty), or for `keys` > 0 that
// many random key 0 values padded to a record, back to back in `path`.
void write_cobol_input(const std::string &path, const std::vector<long> &order, long keys = 0) {
  FILE *out = fopen(path.c_str(), "w");
  if (!out) die("cobol input", path);
  char r[kRecord];
  std::mt19937_64 rng(11);
  long count = keys > 0 ? keys : g_options.records;
  for (long i = 0; i < count; ++i) {
    if (keys > 0) {
      char want[16];
      random_key0(rng, want);
      memset(r, ' ', kRecord);
      memcpy(r, want, kKey0);
    } else {
      make_record(order.empty() ? i : order[static_cast<size_t>(i)], r);
    }
    if (fwrite(r, kRecord, 1, out) != 1) die("cobol input", path);
  }
  if (fclose(out) != 0) die("cobol input", path);
}

// GnuCOBOL keeps key 0 with the records in FILE and each alternate key in
// FILE.1, FILE.2, ...
long long cobol_bytes(const std::string &path, bool remove) {
  long long bytes = file_bytes(path);
  if (remove) unlink(path.c_str());
  for (int k = 1; k < 8; ++k) {
    std::string alternate = path + "." + std::to_string(k);
    bytes += file_bytes(alternate);
    if (remove) unlink(alternate.c_str());
  }
  return bytes;
}

Figures run_cobol() {
  Figures f;
  const std::string d = g_options.dir, in = d + "/cobol_in", a = d + "/cobol_asc",
                    b = d + "/cobol_rand";
  const long n = g_options.records;
  auto timed = [&](const char *phase, const std::string &file, long expect) {
    auto [seconds, count] = run_cobol_peer({phase, file, in});
    double scan = run_cobol_peer({"scan", "-", in}).first;
    if (count != expect) die("cobol_peer did not handle every record in", phase);
    return seconds - scan;
  };
  cobol_bytes(a, true);
  cobol_bytes(b, true);
  write_cobol_input(in, {});
  f["insert-asc"] = timed("load", a, n);
  write_cobol_input(in, bench::shuffled(n, 7));
  f["insert-rand"] = timed("load", b, n);
  f["bytes-asc"] = static_cast<double>(cobol_bytes(a, true));
  f["bytes"] = static_cast<double>(cobol_bytes(b, false));
  f["bytes data"] = static_cast<double>(file_bytes(b));
  if (!g_options.inserts_only) {
    // The walks read no input: their whole run counts.
    f["read-key0"] = run_cobol_peer({"walk0", b, "-"}).first;
    f["read-key1"] = run_cobol_peer({"walk1", b, "-"}).first;
    write_cobol_input(in, {}, n / 10);
    f["read-keyed"] = timed("keyed", b, n / 10);
  }
  cobol_bytes(b, true);
  unlink(in.c_str());
  return f;
}

// ----------------------------------------------------------------- driver --

Figures run_engine(const std::string &engine) {
  if (engine == "dorvex") return run_dorvex(false);
  if (engine == "dorvex64") return run_dorvex(true);
  if (engine == "dorvex64d") return run_dorvex(true, true);
  if (engine == "bdb") return run_bdb(false);
  if (engine == "bdb64") return run_bdb(true);
  if (engine == "sqlite") return run_sqlite();
  if (engine == "lmdb") return run_lmdb();
  if (engine == "cobol") return run_cobol();
  if (engine == "kel") return run_kel_phases();
  die("unknown engine", engine);
}

// Runs one engine in a child process; its figures come back through a
// pipe as "name=value" lines, with its peak memory.
Figures run_child(const std::string &engine) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Figures f = run_engine(engine);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    f["peak MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
    FILE *out = fdopen(fds[1], "w");
    for (const auto &[name, value] : f) fprintf(out, "%s=%.9g\n", name.c_str(), value);
    fclose(out);
    _exit(0);
  }
  close(fds[1]);
  FILE *in = fdopen(fds[0], "r");
  Figures f;
  char line[256];
  while (fgets(line, sizeof line, in)) {
    char *eq = strchr(line, '=');
    if (eq) {
      *eq = '\0';
      f[line] = atof(eq + 1);
    }
  }
  fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("engine run failed:", engine);
  return f;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<std::string> split(const std::string &text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    if (comma > at) out.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

void parse(int argc, char **argv) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string s = self;
    g_options.kel = s.substr(0, s.rfind('/') + 1) + "kel";
    g_options.cobol = s.substr(0, s.rfind('/') + 1) + "cobol_peer";
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value for", a);
      return argv[++i];
    };
    if (a == "--records") {
      g_options.records = atol(value().c_str());
    } else if (a == "--runs") {
      g_options.runs = atoi(value().c_str());
    } else if (a == "--dir") {
      g_options.dir = value();
    } else if (a == "--kel") {
      g_options.kel = value();
    } else if (a == "--cobol") {
      g_options.cobol = value();
    } else if (a == "--engines") {
      g_options.engines = split(value());
      g_options.engines_given = true;
    } else if (a == "--compression") {
      g_options.compression = atoi(value().c_str());
    } else if (a == "--node-blocks") {
      g_options.node_blocks = atoi(value().c_str());
    } else if (a == "--inserts-only") {
      g_options.inserts_only = true;
    } else if (a == "--bulk-only") {
      g_options.bulk_only = g_options.inserts_only = true;
    } else {
      die("unknown option", a);
    }
  }
  if (g_options.records < 10 || g_options.records > 99999999) die("records: 10 to 99999999");
  auto &e = g_options.engines;
  if (access(g_options.cobol.c_str(), X_OK) != 0 && std::count(e.begin(), e.end(), "cobol")) {
    if (g_options.engines_given)
      die("no cobol peer at", g_options.cobol + " (install Debian's gnucobol3, make bench again)");
    e.erase(std::find(e.begin(), e.end(), "cobol"));
  }
}

}  // namespace

int main(int argc, char **argv) {
  parse(argc, argv);
  const Options &o = g_options;
  bool with_kel = std::find(o.engines.begin(), o.engines.end(), "dorvex") != o.engines.end() &&
                  !o.inserts_only && access(o.kel.c_str(), X_OK) == 0;
  std::map<std::string, std::map<std::string, std::vector<double>>> all;  // engine, figure
  for (int run = 0; run < o.runs; ++run) {
    for (const std::string &e : o.engines) {
      fprintf(stderr, "run %d: %s\n", run + 1, e.c_str());
      for (const auto &[name, value] : run_child(e)) all[e][name].push_back(value);
      if (e == "dorvex" && with_kel) {
        for (const auto &[name, value] : run_child("kel")) all["kel"][name].push_back(value);
      } else if (e == "dorvex") {
        unlink((o.dir + "/dorvex_asc").c_str());
        unlink((o.dir + "/dorvex_asc.vix").c_str());
      }
    }
  }

  const double n = static_cast<double>(o.records);
  printf("records %ld of %d bytes, %d runs, medians; folder %s; node blocks %d, compression %d\n\n",
         o.records, kRecord, o.runs, o.dir.c_str(), o.node_blocks, o.compression);
  const char *phases[] = {"insert-asc", "insert-rand", "bulk-rand",    "read-key0",
                          "read-keyed", "read-key1",   "rewrite-same", "rewrite-grow"};
  printf("| phase |");
  for (const std::string &e : o.engines) printf(" %s s | %s k/s |", e.c_str(), e.c_str());
  printf("\n|---|");
  for (size_t i = 0; i < o.engines.size(); ++i) printf("---:|---:|");
  printf("\n");
  for (const char *p : phases) {
    if (o.inserts_only && strncmp(p, "read", 4) == 0) continue;
    double count = strcmp(p, "read-keyed") == 0 || strncmp(p, "rewrite", 7) == 0 ? n / 10 : n;
    printf("| %s |", p);
    for (const std::string &e : o.engines) {
      double s = median(all[e][p]);
      printf(" %.3f | %.0f |", s, s > 0 ? count / s / 1000 : 0);
    }
    printf("\n");
  }
  for (const char *b : {"bytes-asc", "bytes"}) {
    printf("| %s (MB) |", b);
    for (const std::string &e : o.engines) printf(" %.1f | |", median(all[e][b]) / 1e6);
    printf("\n");
  }
  printf("| peak MiB |");
  for (const std::string &e : o.engines) printf(" %.0f | |", median(all[e]["peak MiB"]));
  printf("\n\nraw record bytes: %.1f MB\n", n * kRecord / 1e6);
  for (const std::string &e : o.engines) {
    if (all[e].count("bytes data"))
      printf("%s random-order file: data %.1f MB, index %.1f MB\n", e.c_str(),
             median(all[e]["bytes data"]) / 1e6,
             (median(all[e]["bytes"]) - median(all[e]["bytes data"])) / 1e6);
  }

  for (const std::string &e :
       {std::string("dorvex"), std::string("dorvex64"), std::string("dorvex64d")}) {
    if (!all.count(e)) continue;
    printf("\n%s system calls per record (cache counters):", e.c_str());
    for (const char *p : phases) {
      std::string key = std::string(p) + " syscalls";
      if (!all[e].count(key)) continue;
      double count = strcmp(p, "read-keyed") == 0 || strncmp(p, "rewrite", 7) == 0 ? n / 10 : n;
      printf(" %s %.3f;", p, median(all[e][key]) / count);
    }
    printf("\n");
  }
  if (all.count("kel")) {
    double out = median(all["kel"]["kel -o"]), in = median(all["kel"]["kel -i"]);
    printf("\nkel -o: %.3f s, %.0f records/s, archive %.1f MB; kel -i: %.3f s, %.0f records/s\n",
           out, n / out, median(all["kel"]["archive bytes"]) / 1e6, in, n / in);
  }

  auto ratio = [&](const char *a, const char *b, const char *phase) {
    if (!all.count(a) || !all.count(b)) return;
    double x = median(all[a][phase]), y = median(all[b][phase]);
    if (x > 0 && y > 0) printf("%s / %s %s: %.2f x (speed)\n", a, b, phase, y / x);
  };
  printf("\nratios (speed of the first over the second; above 1: the first is faster)\n");
  for (const char *e : {"dorvex", "dorvex64"}) {
    if (!all.count(e)) continue;
    double bulk = median(all[e]["bulk-rand"]);
    if (bulk > 0)
      printf("%s bulk-rand / its own insert-rand: %.2f x; / its own insert-asc: %.2f x\n", e,
             median(all[e]["insert-rand"]) / bulk, median(all[e]["insert-asc"]) / bulk);
    for (const char *peer : {"bdb", "bdb64", "sqlite", "lmdb"}) ratio(e, peer, "bulk-rand");
  }
  for (const char *p : {"insert-asc", "insert-rand", "read-key0", "read-keyed", "read-key1"})
    ratio("dorvex", "cobol", p);
  if (all.count("kel") && all.count("cobol")) {
    // A restore is ascending inserts: kel -i against the handler's own.
    double in = median(all["kel"]["kel -i"]), load = median(all["cobol"]["insert-asc"]);
    if (in > 0 && load > 0) printf("kel -i / cobol insert-asc: %.2f x (speed)\n", load / in);
  }
  ratio("dorvex", "bdb", "insert-asc");
  ratio("dorvex", "bdb", "insert-rand");
  ratio("dorvex64", "bdb64", "insert-asc");
  ratio("dorvex64", "bdb64", "insert-rand");
  for (const char *p : {"read-key0", "read-keyed", "read-key1"}) {
    ratio("dorvex", "bdb", p);
    ratio("dorvex64", "bdb64", p);
    ratio("dorvex64d", "bdb64", p);
  }
  for (const char *p : {"insert-asc", "insert-rand", "read-key0", "read-keyed", "read-key1"}) {
    ratio("dorvex", "sqlite", p);
    ratio("dorvex64", "lmdb", p);
  }
  if (all.count("dorvex"))
    printf("dorvex bytes / raw record bytes: %.2f\n",
           median(all["dorvex"]["bytes"]) / (n * kRecord));
  return 0;
}
