// Writes under transactions with the shared log on, against SQLite (WAL,
// synchronous NORMAL and FULL) and Berkeley DB transactions (commits that
// write the log without syncing it, and commits that sync it), in the same
// run: N records (default 100,000) in transactions of 1 and of 100 records,
// and the engine's plain writes (no transaction) as the baseline.
//
// Records: 100 bytes; key 0 (8 digits, unique, in random order), key 1 (10
// digits, about N / 10 distinct values, duplicates), a filler. Every engine
// keeps both keys: dorvex a file with two keys, SQLite a WITHOUT ROWID
// table with an index on key 1, Berkeley DB a primary B-tree with a
// sorted-duplicates secondary.
//
// Durability: the log of this file system is written with write() and
// never synced (see src/txlog/log_files.cpp): a commit survives the
// process, not the machine. That is SQLite's WAL with synchronous NORMAL
// and Berkeley DB's DB_TXN_WRITE_NOSYNC; SQLite FULL and Berkeley DB's
// default sync every commit.
//
// Reported per scenario: microseconds per record and per commit, bytes of
// log per record (dorvex: the log file's size; SQLite: the WAL frames
// written, counted by its WAL hook; Berkeley DB: its log statistics), and
// the system calls per commit that flush (fsync and fdatasync, counted by
// wrapping them) and that write (write and pwrite).
//
// Usage: txlog_bench [--records N] [--dir folder] [--runs R]
// The folder defaults to /dev/shm; give a disk folder to see what syncing
// costs.
#include <db.h>
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../bdb_secondary.h"
#include "config/config.h"
#include "kelfs/kelfs.h"

// --- counted system calls ----------------------------------------------------

namespace {
struct Calls {
  long flushes = 0;
  long writes = 0;
};
Calls g_calls;

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
  static auto f = real<int (*)(int)>("fsync");
  ++g_calls.flushes;
  return f(fd);
}
extern "C" int fdatasync(int fd) {
  static auto f = real<int (*)(int)>("fdatasync");
  ++g_calls.flushes;
  return f(fd);
}
extern "C" ssize_t write(int fd, const void *b, size_t n) {
  static auto f = real<ssize_t (*)(int, const void *, size_t)>("write");
  ++g_calls.writes;
  return f(fd, b, n);
}
// With 64-bit offsets (the build's _FILE_OFFSET_BITS) this defines
// pwrite64; the 32-bit pwrite, which Berkeley DB calls, is wrapped below
// under its own symbol.
extern "C" ssize_t pwrite_32(int fd, const void *b, size_t n, long o) __asm__("pwrite");
extern "C" ssize_t pwrite_32(int fd, const void *b, size_t n, long o) {
  static auto f = real<ssize_t (*)(int, const void *, size_t, long)>("pwrite");
  ++g_calls.writes;
  return f(fd, b, n, o);
}
extern "C" ssize_t pwrite(int fd, const void *b, size_t n, off_t o) {
  static auto f = real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite64");
  ++g_calls.writes;
  return f(fd, b, n, o);
}

namespace {

constexpr int kRecord = 100;
constexpr int kKey1At = 8;
constexpr int kKey1 = 10;

struct Options {
  int records = 100000;
  int runs = 1;
  std::string dir = "/dev/shm";
} g_options;

[[noreturn]] void die(const char *what, const char *why) {
  fprintf(stderr, "txlog_bench: %s: %s\n", what, why);
  exit(1);
}

std::vector<std::string> make_records(int n) {
  std::vector<std::string> out;
  std::mt19937 rng(42);
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (int k : order) {
    char r[kRecord + 1];
    snprintf(r, sizeof r, "%08d%010d%-82s", k, static_cast<int>(rng() % (n / 10 + 1)),
             "FILLER OF A COBOL MASTER RECORD");
    out.emplace_back(r, kRecord);
  }
  return out;
}

struct Result {
  double seconds = 0;
  double log_bytes = 0;
  Calls calls;
};

std::string path(const std::string &name) {
  return g_options.dir + "/txlog_bench_" + name;
}

off_t size_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : 0;
}

// --- dorvex ------------------------------------------------------------------

Result run_dorvex(const std::vector<std::string> &records, int per_tx) {
  std::string name = path("dorvex"), log = path("dorvex.log");
  v5_init_cfg();
  v5_remove(name.c_str());
  unlink(log.c_str());
  if (per_tx > 0) cfg_set_string("LOG_FILE", 0, log.c_str());
  if (!v5_make(name.c_str(), nullptr, nullptr, "100,100,2", "1,0,8,0,1,1,10,8", nullptr))
    die("v5_make", name.c_str());
  DorvexFile *f = v5_open(name.c_str(), KEL_OPEN_IO, "");
  if (!f) die("v5_open", name.c_str());
  Result r;
  g_calls = {};
  auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i < records.size(); ++i) {
    if (per_tx > 0 && i % per_tx == 0 && !v5_begin()) die("v5_begin", "log error");
    if (!v5_write(f, records[i].data(), kRecord)) die("v5_write", name.c_str());
    if (per_tx > 0 && ((i + 1) % per_tx == 0 || i + 1 == records.size()) && !v5_commit(0))
      die("v5_commit", "log error");
  }
  if (!v5_close(f)) die("v5_close", name.c_str());
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.calls = g_calls;
  Alog_shutdown();
  r.log_bytes = static_cast<double>(size_of(log));
  v5_remove(name.c_str());
  unlink(log.c_str());
  return r;
}

// --- sqlite ------------------------------------------------------------------

struct WalCount {
  long frames = 0;
  int last = 0;
};

int wal_hook(void *arg, sqlite3 *db, const char *schema, int pages) {
  auto *w = static_cast<WalCount *>(arg);
  w->frames += pages > w->last ? pages - w->last : pages;
  w->last = pages;
  // The default checkpoint (1000 pages), which a WAL hook replaces.
  if (pages >= 1000) {
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    w->last = 0;
  }
  return SQLITE_OK;
}

void exec(sqlite3 *db, const char *sql) {
  char *error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) die(sql, error);
}

Result run_sqlite(const std::vector<std::string> &records, int per_tx, bool full) {
  std::string name = path("sqlite.db");
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((name + suffix).c_str());
  sqlite3 *db = nullptr;
  if (sqlite3_open(name.c_str(), &db) != SQLITE_OK) die("sqlite3_open", name.c_str());
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
  exec(db, "CREATE TABLE t (k0 BLOB PRIMARY KEY, k1 BLOB, rec BLOB) WITHOUT ROWID");
  exec(db, "CREATE INDEX t_k1 ON t (k1)");
  WalCount wal;
  sqlite3_wal_hook(db, wal_hook, &wal);
  wal.frames = 0;
  sqlite3_stmt *insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &insert, nullptr);
  Result r;
  g_calls = {};
  auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i < records.size(); ++i) {
    if (i % per_tx == 0) exec(db, "BEGIN");
    const char *rec = records[i].data();
    sqlite3_bind_blob(insert, 1, rec, 8, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, rec + kKey1At, kKey1, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, rec, kRecord, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
    sqlite3_reset(insert);
    if ((i + 1) % per_tx == 0 || i + 1 == records.size()) exec(db, "COMMIT");
  }
  sqlite3_finalize(insert);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.calls = g_calls;
  int page = 4096;
  sqlite3_stmt *q = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &q, nullptr) == SQLITE_OK &&
      sqlite3_step(q) == SQLITE_ROW)
    page = sqlite3_column_int(q, 0);
  sqlite3_finalize(q);
  r.log_bytes = static_cast<double>(wal.frames) * (page + 24);
  sqlite3_close(db);
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((name + suffix).c_str());
  return r;
}

// --- berkeley db -------------------------------------------------------------

void check(int r, const char *what) {
  if (r != 0) die(what, db_strerror(r));
}

Result run_bdb(const std::vector<std::string> &records, int per_tx, bool sync) {
  std::string home = path("bdb");
  std::string clean = "rm -rf '" + home + "'";
  if (system(clean.c_str()) != 0) die("rm", home.c_str());
  mkdir(home.c_str(), 0755);
  DB_ENV *env = nullptr;
  check(db_env_create(&env, 0), "db_env_create");
  check(env->set_cachesize(env, 0, 64u << 20, 1), "set_cachesize");
  check(env->open(env, home.c_str(),
                  DB_CREATE | DB_INIT_TXN | DB_INIT_LOG | DB_INIT_LOCK | DB_INIT_MPOOL | DB_PRIVATE,
                  0),
        "env open");
  if (!sync) check(env->set_flags(env, DB_TXN_WRITE_NOSYNC, 1), "set_flags");
  DB *primary = nullptr, *secondary = nullptr;
  check(db_create(&primary, env, 0), "db_create");
  check(
      primary->open(primary, nullptr, "p.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT, 0644),
      "open");
  check(db_create(&secondary, env, 0), "db_create");
  check(secondary->set_flags(secondary, DB_DUP | DB_DUPSORT), "set_flags");
  check(secondary->open(secondary, nullptr, "s.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT,
                        0644),
        "open");
  check(primary->associate(primary, nullptr, secondary, bench::bdb_key1_of, DB_AUTO_COMMIT),
        "associate");
  DB_LOG_STAT *before = nullptr;
  check(env->log_stat(env, &before, 0), "log_stat");
  Result r;
  g_calls = {};
  auto t0 = std::chrono::steady_clock::now();
  DB_TXN *txn = nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i % per_tx == 0) check(env->txn_begin(env, nullptr, &txn, 0), "txn_begin");
    DBT key, data;
    memset(&key, 0, sizeof key);
    memset(&data, 0, sizeof data);
    key.data = const_cast<char *>(records[i].data());
    key.size = 8;
    data.data = const_cast<char *>(records[i].data());
    data.size = kRecord;
    check(primary->put(primary, txn, &key, &data, 0), "put");
    if ((i + 1) % per_tx == 0 || i + 1 == records.size()) check(txn->commit(txn, 0), "commit");
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.calls = g_calls;
  DB_LOG_STAT *after = nullptr;
  check(env->log_stat(env, &after, 0), "log_stat");
  r.log_bytes = (after->st_w_mbytes - before->st_w_mbytes) * 1048576.0 +
                static_cast<double>(after->st_w_bytes) - static_cast<double>(before->st_w_bytes);
  free(before);
  free(after);
  secondary->close(secondary, 0);
  primary->close(primary, 0);
  env->close(env, 0);
  if (system(clean.c_str()) != 0) die("rm", home.c_str());
  return r;
}

// --- the run -----------------------------------------------------------------

struct Scenario {
  const char *name;
  const char *durability;
  int per_tx;  // 0: no transaction
  Result (*run)(const std::vector<std::string> &, int);
};

Result dorvex(const std::vector<std::string> &r, int n) {
  return run_dorvex(r, n);
}
Result sqlite_normal(const std::vector<std::string> &r, int n) {
  return run_sqlite(r, n, false);
}
Result sqlite_full(const std::vector<std::string> &r, int n) {
  return run_sqlite(r, n, true);
}
Result bdb_nosync(const std::vector<std::string> &r, int n) {
  return run_bdb(r, n, false);
}
Result bdb_sync(const std::vector<std::string> &r, int n) {
  return run_bdb(r, n, true);
}

// Each scenario in a child process of its own; the result comes back
// through a pipe.
Result in_child(const Scenario &s, const std::vector<std::string> &records) {
  int p[2];
  if (pipe(p) != 0) die("pipe", strerror(errno));
  pid_t child = fork();
  if (child < 0) die("fork", strerror(errno));
  if (child == 0) {
    close(p[0]);
    Result r = s.run(records, s.per_tx);
    if (::write(p[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(0);
  }
  close(p[1]);
  Result r;
  if (read(p[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) die(s.name, "no result");
  close(p[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string o = argv[i];
    if (o == "--records")
      g_options.records = atoi(argv[i + 1]);
    else if (o == "--dir")
      g_options.dir = argv[i + 1];
    else if (o == "--runs")
      g_options.runs = atoi(argv[i + 1]);
    else
      die("usage", "txlog_bench [--records N] [--dir folder] [--runs R]");
  }
  std::vector<std::string> records = make_records(g_options.records);
  const Scenario scenarios[] = {
      {"dorvex plain writes", "-", 0, dorvex},
      {"dorvex, shared log", "process", 1, dorvex},
      {"dorvex, shared log", "process", 100, dorvex},
      {"sqlite WAL NORMAL", "process", 1, sqlite_normal},
      {"sqlite WAL NORMAL", "process", 100, sqlite_normal},
      {"sqlite WAL FULL", "machine", 1, sqlite_full},
      {"sqlite WAL FULL", "machine", 100, sqlite_full},
      {"bdb WRITE_NOSYNC", "process", 1, bdb_nosync},
      {"bdb WRITE_NOSYNC", "process", 100, bdb_nosync},
      {"bdb txn (sync)", "machine", 1, bdb_sync},
      {"bdb txn (sync)", "machine", 100, bdb_sync},
  };
  printf("%d records of %d bytes in %s, median of %d run(s)\n", g_options.records, kRecord,
         g_options.dir.c_str(), g_options.runs);
  printf("%-22s %-8s %6s %10s %11s %12s %10s %10s\n", "engine", "survives", "tx", "us/record",
         "us/commit", "log B/rec", "flush/cmt", "write/cmt");
  for (const Scenario &s : scenarios) {
    std::vector<Result> runs;
    for (int i = 0; i < g_options.runs; ++i) runs.push_back(in_child(s, records));
    std::sort(runs.begin(), runs.end(),
              [](const Result &a, const Result &b) { return a.seconds < b.seconds; });
    const Result &r = runs[runs.size() / 2];
    double n = g_options.records;
    double commits = s.per_tx ? (n + s.per_tx - 1) / s.per_tx : 0;
    char tx[16];
    snprintf(tx, sizeof tx, "%d", s.per_tx);
    printf("%-22s %-8s %6s %10.2f %11s %12.1f %10s %10s\n", s.name, s.durability,
           s.per_tx ? tx : "-", r.seconds * 1e6 / n,
           commits ? std::to_string(r.seconds * 1e6 / commits).substr(0, 8).c_str() : "-",
           r.log_bytes / n,
           commits ? std::to_string(r.calls.flushes / commits).substr(0, 6).c_str() : "-",
           commits ? std::to_string(r.calls.writes / commits).substr(0, 6).c_str() : "-");
  }
  return 0;
}
