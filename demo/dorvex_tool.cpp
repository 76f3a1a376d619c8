// dorvex-tool: a small operator's tool over the indexed engine, used by the
// demo to make a sample indexed file, to list its records in the order of a
// key (so that a restored file can be compared with the original, record
// by record, whatever its bytes), and to check a file's structure.
//
//   dorvex-tool make NAME < records     one record per line (the line's bytes)
//   dorvex-tool list NAME KEY           the records in the order of key KEY
//   dorvex-tool check NAME              the structural check's report (it
//                                       also clears the mark of a writer
//                                       that ended, when the file is sound)
//   dorvex-tool transact NAME LOG       changes under transactions, logged
//                                       to LOG, one per line: "+record"
//                                       writes, "=record" rewrites,
//                                       "-record" deletes (by its key),
//                                       "commit" and "rollback" end the
//                                       transaction the changes began
//   dorvex-tool recover LOG             replays LOG into the files it names
//
// The sample layout is a customer master: records of 40 to 64 bytes, key 0
// the customer number (bytes 0-7, unique), key 1 the town (bytes 28-39,
// duplicates allowed); records compressed (factor 100).
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "kelfs/errors.h"
#include "kelfs/kelfs.h"
#include "kelfs/modes.h"

namespace {

constexpr int kMaxRecord = 64;

int failed(const char *what, const char *name) {
  fprintf(stderr, "dorvex-tool: %s: ", what);
  report_fs_error(name);
  return 1;
}

int make(const char *name) {
  if (!v5_make(name, "kel demo", "1,1,1,100,0", "64,40,2", "1,0,8,0,1,1,12,28", nullptr))
    return failed("make", name);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, "0,0,0");
  if (f == nullptr) return failed("open", name);
  char line[256];
  int written = 0;
  while (fgets(line, sizeof line, stdin) != nullptr) {
    size_t n = strcspn(line, "\n");
    if (n < 40 || n > kMaxRecord) {
      fprintf(stderr, "dorvex-tool: a record of %zu bytes skipped (40 to 64)\n", n);
      continue;
    }
    if (!v5_write(f, line, static_cast<uint32_t>(n))) {
      v5_close(f);
      return failed("write", name);
    }
    ++written;
  }
  if (!v5_close(f)) return failed("close", name);
  fprintf(stderr, "dorvex-tool: %s made with %d records\n", name, written);
  return 0;
}

int list(const char *name, int key) {
  DorvexFile *f = v5_open(name, KEL_OPEN_INPUT, "0,0,0");
  if (f == nullptr) return failed("open", name);
  char record[kMaxRecord + 1] = {};
  uint32_t n = 0;
  if (v5_start(f, record, key, 0, 1)) {
    while ((n = v5_next(f, record)) > 0) printf("%.*s\n", static_cast<int>(n), record);
  }
  bool ended = *fs_error_code() == E_NOT_FOUND;
  v5_close(f);
  return ended ? 0 : failed("read", name);
}

// The check opens the file past its broken codes (V_FORCE_OPEN), so that
// it reports every problem, a broken or incomplete mark among them. It
// holds the file exclusively for update when it may: a file that a process
// left open for update when it ended, and that the check finds sound, gets
// its count of openers for update reset and opens normally again.
int check(const char *name) {
  cfg_set_short("V_FORCE_OPEN", 0, 1);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, "0,0,0");
  if (f == nullptr) f = v5_open(name, KEL_OPEN_INPUT, "0,0,0");
  if (f == nullptr) return failed("open", name);
  bool sound = v5_check(f, V5_CHECK_CLEAR_DEAD_WRITERS) != 0;
  fputs(v5_check_report(), stdout);
  if (!v5_close(f)) return failed("close", name);
  return sound ? 0 : 1;
}

int log_failed(const char *what) {
  fprintf(stderr, "dorvex-tool: %s: log error %d\n", what, *Alog_error_code());
  return 1;
}

int transact(const char *name, const char *log) {
  cfg_set_string("LOG_FILE", 0, log);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | 0x4000, "0,0,0");
  if (f == nullptr) return failed("open", name);
  char line[256];
  bool open = false;
  int committed = 0, rolled_back = 0;
  while (fgets(line, sizeof line, stdin) != nullptr) {
    size_t n = strcspn(line, "\n");
    line[n] = '\0';
    if (strcmp(line, "commit") == 0 || strcmp(line, "rollback") == 0) {
      bool commit = line[0] == 'c';
      if (open && !(commit ? v5_commit(0) : v5_rollback(0))) return log_failed(line);
      open = false;
      ++(commit ? committed : rolled_back);
      continue;
    }
    if (!open && !v5_begin()) return log_failed("begin");
    open = true;
    const char *record = line + 1;
    uint32_t length = static_cast<uint32_t>(n - 1);
    int ok = line[0] == '+'   ? v5_write(f, record, length)
             : line[0] == '=' ? v5_rewrite(f, record, length)
                              : v5_delete(f, record);
    if (!ok) {
      failed(line[0] == '+' ? "write" : line[0] == '=' ? "rewrite" : "delete", name);
      v5_rollback(0);
      v5_close(f);
      return 1;
    }
  }
  if (open && !v5_commit(0)) return log_failed("commit");
  if (!v5_close(f)) return failed("close", name);
  fprintf(stderr, "dorvex-tool: %d transactions committed, %d rolled back\n", committed,
          rolled_back);
  return 0;
}

int recover(const char *log) {
  cfg_set_string("LOG_FILE", 0, log);
  if (!v5_recover()) return log_failed("recover");
  fprintf(stderr, "dorvex-tool: %s replayed\n", log);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  v5_init_cfg();
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 3) return make(argv[2]);
  if (command == "list" && argc == 4) return list(argv[2], atoi(argv[3]));
  if (command == "check" && argc == 3) return check(argv[2]);
  if (command == "transact" && argc == 4) return transact(argv[2], argv[3]);
  if (command == "recover" && argc == 3) return recover(argv[2]);
  fprintf(stderr,
          "usage: dorvex-tool make NAME < records | list NAME KEY | check NAME\n"
          "       | transact NAME LOG < changes | recover LOG\n");
  return 2;
}
