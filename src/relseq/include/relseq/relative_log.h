// The transaction log as the relative handler sees it. The log sits above
// this layer (it undoes relative changes through this handler), so it
// installs this table at its start-up, as the transaction log of the entry
// points is installed (fsapi/entry.h). Until a table is installed no
// transaction is ever open for relative files: every operation acts at once
// and nothing is recorded.
//
// The handler asks `in_transaction` before each change; for a file opened
// with 0x4000 ("logged") inside a transaction it records the change with
// its before-image through the calls below, keeps the record locked until
// the transaction ends, and fails the operation with E_LOG_REFUSED (22)
// when a call returns false. Every pointer of the table may be null (the
// step is then skipped, or answered false).
#pragma once

#include <cstdint>

struct RelativeFile;

namespace kel::relseq {

struct RelativeLog {
  // A transaction is open.
  bool (*in_transaction)();
  // The log is rolling back or recovering: rewrites and deletes are then
  // allowed whatever the open mode.
  bool (*undoing)();
  // Before-images are wanted even outside a transaction.
  bool (*captures_before_images)();
  // The per-thread keep-locks and keep-read-locks flags of the entry points.
  bool (*keep_locks)();
  bool (*keep_read_locks)();

  // A file of this name whose close was deferred in the current
  // transaction, taken back by a new open; null when there is none.
  RelativeFile *(*reopen)(const char *name);
  // A deferred-close file of this name exists (a make then counts as done).
  bool (*deferred_close_pending)(const char *name);
  // The file joins (leaves) the list of files the transaction releases.
  bool (*register_file)(RelativeFile *file);
  void (*unregister_file)(RelativeFile *file);

  // File-level records (inside a transaction).
  bool (*log_open)(RelativeFile *file, const char *name, int32_t mode, uint32_t minimum,
                   uint32_t maximum, int32_t blocks);
  // Defers the close of a logged file to the end of the transaction: true
  // when it took the file (the close then returns at once).
  bool (*defer_close)(RelativeFile *file);
  bool (*log_close)(RelativeFile *file);
  bool (*log_make)(const char *name, const char *params, int32_t blocks);
  bool (*log_copy)(const char *from, const char *to);
  bool (*log_rename)(const char *from, const char *to);
  bool (*log_remove)(const char *name);

  // Record changes. `before` is the whole old slot as read from the file
  // (length field included in a variable-length file).
  bool (*log_write)(RelativeFile *file, int32_t number, const uint8_t *record, uint32_t length);
  bool (*log_rewrite)(RelativeFile *file, int32_t number, const uint8_t *record, uint32_t length,
                      const uint8_t *before, uint32_t before_length);
  bool (*log_delete)(RelativeFile *file, int32_t number, const uint8_t *before,
                     uint32_t before_length);
};

// Installs the table (null: none). The table must outlive its use.
void set_relative_log(const RelativeLog *log);
const RelativeLog *relative_log();

}  // namespace kel::relseq
