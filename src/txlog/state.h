// The transaction log's process-wide state, kept in one place (state.cpp)
// and shared by its parts: the TM file and its record list (tm_file.cpp),
// the log files (log_files.cpp), transactions (transaction.cpp), the
// engines' seams (engine_seams.cpp) and recovery (recovery.cpp).
#pragma once

#include <cstdint>

#include "kelfs/kelfs.h"
#include "log_format.h"
#include "txlog/txlog.h"

namespace kel::txlog {

// Which log a file's records go to: the shared log, or a per-file log.
constexpr int32_t kSharedLog = -1;
constexpr int32_t kLogUnchosen = -3;  // not yet asked (see choose_log)

// One record of the TM file ("log record node"), newest first.
struct Node {
  uint16_t type;
  uint32_t length;  // bytes in the TM file
  int64_t offset;   // where they start
  uint32_t time;
  void *file;  // null for start and commit
  bool relative;
  int32_t log;        // kSharedLog or the per-file log's index
  uint8_t flags;      // kNodeClosed
  uint32_t sequence;  // an indexed delete: the record's duplicate sequence number
  Node *newer;
  Node *older;
};
// A plain close record was written for the node's file: its changes are
// no longer undone.
constexpr uint8_t kNodeClosed = 1;

// A file opened while the log is installed ("log file entry node").
struct FileEntry {
  void *file;
  bool relative;
  int32_t log;       // kSharedLog or a per-file log
  bool open_logged;  // an open record for it reached a unit
};

// A per-file log ("log list entry"): its state cycles 0 idle -> 1 start
// written -> 2 start copied -> 0 commit copied.
struct PerFileLog {
  int32_t handle;
  char name[kNameLimit];
  uint8_t state;
};

struct State {
  // TM file
  void *tm = nullptr;
  char tm_name[kNameLimit] = "";
  uint32_t tm_pid = 0;  // the process that made it (a child of a fork makes its own)
  int64_t tm_end = 0;   // where the next record goes
  int64_t tm_pos = -1;  // the stream's position, -1 unknown
  Node *newest = nullptr;
  Node *oldest = nullptr;
  bool open = false;       // between begin and end commit / rollback
  int suppressed = 0;      // rollback, deferred closes: writers do nothing
  bool replaying = false;  // recovery: no log file is written

  // process identity, taken at the first begin
  bool identity = false;
  uint32_t pid = 0;
  uint32_t host_id = 0;
  uint8_t start_block[kStartBlockLimit] = {};
  uint32_t start_size = 0;

  // logs
  int32_t shared = -1;  // layer handle of the shared log
  char shared_name[kNameLimit] = "";
  int32_t lock_file = -1;      // LOG_DEVICE: the lock file's handle
  PerFileLog *logs = nullptr;  // "log list entry"
  int32_t log_count = 0;
  int32_t log_capacity = 0;

  // output buffer ("log file output buffer")
  uint8_t *buffer = nullptr;
  uint32_t buffer_size = 0;
  uint32_t buffered = 0;
  int32_t buffer_handle = -1;

  // files of the transaction file list
  FileEntry *files = nullptr;
  int32_t file_count = 0;
  int32_t file_capacity = 0;

  Hooks hooks = {};
  int16_t error = 0;
};

State &state();

// Sets the log error code and returns false.
bool log_fail(int16_t code);
// The log error of a failed open or lock, from errno.
int16_t error_of_errno(bool lock);
bool logging_on();
bool engines_in_transaction();

// --- TM file and record list (tm_file.cpp) ---------------------------------
bool tm_create();
void tm_remove();
// Appends a record: a node, then the parts' bytes. `parts` of `sizes`;
// parts flagged in `scrambled` are scrambled under LOG_ENCRYPTION.
struct Part {
  const uint8_t *data;
  uint32_t size;
  bool scrambled;
};
bool tm_append(uint16_t type, void *file, bool relative, const Part *parts, int count);
bool tm_read(int64_t offset, uint8_t *out, uint32_t length);
void tm_rewind();
void free_node(Node *n);
void unlink_node(Node *n);
void make_file_id(int32_t number, uint8_t *out);
int32_t file_number_of(void *file, bool relative);
bool file_has_changes(void *file);

// --- log files (log_files.cpp) ---------------------------------------------
bool open_shared(bool at_start);
void close_shared();
void close_all_logs();
bool lock_logs();
void unlock_logs();
bool check_ends();
bool log_out(int32_t handle, const uint8_t *data, uint32_t length);
bool log_flush();
bool put_record(int32_t handle, uint16_t type, uint32_t time, const uint8_t *data, uint32_t length,
                bool end_mark);
int32_t handle_of_log(int32_t log);
int32_t per_file_log_for(const char *file_name);
bool set_device_flag(uint8_t value);
bool any_log_open();

// --- transactions (transaction.cpp) ----------------------------------------
FileEntry *entry_of(void *file);
bool register_file(void *file, bool relative);
bool choose_log(FileEntry *e);
void unregister_file(void *file);
void release_transaction_locks();
void run_deferred_close(Node *n);
bool rollback_inner(bool write_log_record);
bool ensure_open_logged(void *file, bool relative);

// --- engine seams (engine_seams.cpp) ---------------------------------------
bool record_open(void *file, bool relative, const char *name, int32_t mode, uint32_t minimum,
                 uint32_t maximum, int32_t blocks);
bool close_file_now(void *file, bool relative);

}  // namespace kel::txlog
