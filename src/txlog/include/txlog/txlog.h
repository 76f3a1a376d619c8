// The transaction log as the entry points see it: transactions over
// indexed and relative files with before-images in a private work file
// (the TM file), units copied at commit into the shared log and the
// per-file logs, rollback, and recovery by replay of the shared log.
//
// The log sits above the indexed engine and the relative handler: it undoes
// and replays changes through their own operations. At start-up it
// installs itself into their seams (IndexedLog, RelativeLog), through which
// the engines hand it their changes. The file-level operations of indexed
// files (open, close, make, copy, rename, remove) come through the log's
// own wrappers below, which record them around the engine's operations; the
// relative handler records its own through RelativeLog.
//
// Every operation sets the log error code (log_error_code(); the codes are
// LogError of log_format.h) and returns 1, or 0 on failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelfs/kelfs.h"

namespace kel::txlog {

// Questions the log asks the entry points (the per-thread keep-locks and
// keep-read-locks flags live in their thread data).
struct Hooks {
  bool (*keep_locks)();
  bool (*keep_read_locks)();
};
// Installs the log into the engines' seams; idempotent.
void install(const Hooks &hooks);

int32_t log_begin(int32_t quiet);
int32_t log_commit();
int32_t log_end_commit();
int32_t log_rollback();
int32_t log_shutdown();
int32_t log_recover();
// LOCK_DIR, "lock." and the last path component of `name`, cut to fit a
// buffer of kLockNameSize bytes.
constexpr size_t kLockNameSize = 600;
char *make_lockname(char *buffer, const char *name);
// The log error of a recovery asked for inside a transaction.
constexpr int16_t kRecoverInTransaction = 16;
int16_t *log_error_code();
// Between a begin and its end commit or rollback.
bool transaction_open();

// Indexed files' file-level operations, recorded inside a transaction.
DorvexFile *indexed_open(const char *name, int32_t mode);
int32_t indexed_close(DorvexFile *file);
int32_t indexed_make(const char *name, const char *comment, const char *physical,
                     const char *record, const char *keys, const uint8_t *table);
int32_t indexed_copy(const char *from, const char *to);
int32_t indexed_rename(const char *from, const char *to);
int32_t indexed_remove(const char *name);

}  // namespace kel::txlog
