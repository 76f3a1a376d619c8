// dorvex-tool transact and recover: changes under transactions with the
// shared log, and the replay of a log onto files restored from a backup
// (the operator's way back to the last committed work: restore last
// night's archive with kel, then replay today's log).
#include <algorithm>
#include <cstring>
#include <iterator>

#include "kelfs/config.h"
#include "tool.h"

namespace kel::tools {

namespace {

// The log error codes as kelfs.h lists them; for a replayed or undone
// operation that failed (1) the file system's own reason follows.
const char *const kLogErrors[] = {"",
                                  "an undo or a replayed operation failed",
                                  "too many open files",
                                  "log file not found or bad name",
                                  "permission denied",
                                  "read, write, seek or open failure",
                                  "the log ends inside a record or holds an unknown record",
                                  "log lock refused",
                                  "out of memory",
                                  "short write (disk full)",
                                  "no log file named",
                                  "the work file ends inside a record",
                                  "the log does not end with its end mark: a commit was cut short",
                                  "the log names a file it has not seen opened",
                                  "",
                                  "",
                                  "recovery inside a transaction",
                                  "no transaction was begun"};

int log_failed(const char *what, const char *log) {
  const int code = *Alog_error_code();
  std::string text =
      code > 0 && code < static_cast<int>(std::size(kLogErrors)) ? kLogErrors[code] : "";
  if (code == 1) text += ": " + fs_reason();
  return fail(log, std::string(what) + ": log error " + std::to_string(code) +
                       (text.empty() ? "" : " (" + text + ")"));
}

}  // namespace

int transact_command(const char *name, const char *log) {
  cfg_set_string("LOG_FILE", KELFS_CONFIG_SET, log);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | KEL_OPEN_LOGGED, "0,0,0");
  if (f == nullptr) return fail_fs(name);
  std::vector<char> line(65536 + 2);
  bool open = false;
  int committed = 0, rolled_back = 0;
  while (fgets(line.data(), static_cast<int>(line.size()), stdin) != nullptr) {
    size_t n = strcspn(line.data(), "\n");
    line[n] = '\0';
    if (n == 0) continue;
    if (strcmp(line.data(), "commit") == 0 || strcmp(line.data(), "rollback") == 0) {
      bool commit = line[0] == 'c';
      if (open && !(commit ? v5_commit(0) : v5_rollback(0))) {
        v5_close(f);
        return log_failed(line.data(), log);
      }
      if (open) ++(commit ? committed : rolled_back);
      open = false;
      continue;
    }
    if (line[0] != '+' && line[0] != '=' && line[0] != '-') {
      if (open) v5_rollback(0);
      v5_close(f);
      return fail(name, "a change line starts with +, = or -: " + std::string(line.data()));
    }
    if (!open && !v5_begin()) {
      v5_close(f);
      return log_failed("begin", log);
    }
    open = true;
    // A delete names its record by the primary key's bytes: a line shorter
    // than the key reads blanks there, not what an earlier line left.
    std::fill(line.begin() + static_cast<std::ptrdiff_t>(n), line.end(), ' ');
    const char *record = line.data() + 1;
    uint32_t length = static_cast<uint32_t>(n - 1);
    int ok = line[0] == '+'   ? v5_write(f, record, length)
             : line[0] == '=' ? v5_rewrite(f, record, length)
                              : v5_delete(f, record);
    if (!ok) {
      int rc = fail_fs(name);
      v5_rollback(0);
      v5_close(f);
      return rc;
    }
  }
  if (open && !v5_commit(0)) {
    v5_close(f);
    return log_failed("commit", log);
  }
  if (open) ++committed;
  if (!v5_close(f)) return fail_fs(name);
  fprintf(stderr, "dorvex-tool: %d transactions committed, %d rolled back\n", committed,
          rolled_back);
  return kExitOk;
}

int recover_command(const char *log) {
  cfg_set_string("LOG_FILE", KELFS_CONFIG_SET, log);
  if (!v5_recover()) return log_failed("recover", log);
  fprintf(stderr, "dorvex-tool: %s replayed\n", log);
  return kExitOk;
}

}  // namespace kel::tools
