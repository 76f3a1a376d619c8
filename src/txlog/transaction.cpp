// Transactions: begin, commit and end commit, rollback and shutdown, and
// the transaction file list whose record locks are released when a
// transaction ends.
//
// A failed end commit takes the transaction back: the unit did not reach
// the log whole (it has no end mark, or its commit record is missing), so
// recovery will roll it back too, and the live files must agree with what
// a replay gives. The caller sees 0 and the log error of the failed copy.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/engine.h"
#include "layer/layer.h"
#include "osfile/files.h"
#include "relseq/relative.h"
#include "state.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::txlog {

namespace {

void add_name(uint8_t *block, uint32_t *at, const char *name) {
  size_t n = name ? strnlen(name, kIdentityNameSize - 1) : 0;
  if (n) memcpy(block + *at, name, n);
  block[*at + n] = 0;
  *at += static_cast<uint32_t>(n + 1);
}

// Process id, host id, terminal, user and host names, taken once.
void take_identity() {
  State &s = state();
  if (s.identity && s.pid == static_cast<uint32_t>(getpid())) return;
  s.pid = static_cast<uint32_t>(getpid());
  s.host_id = static_cast<uint32_t>(Ahostid());
  uint8_t *b = s.start_block;
  b[0] = kStartVersion;
  store_be32(b + kStartPid, s.pid);
  uint32_t at = kStartNames;
  const char *tty = isatty(0) ? ttyname(0) : nullptr;
  add_name(b, &at, tty);
  struct passwd *pw = getpwuid(getuid());
  add_name(b, &at, pw ? pw->pw_name : nullptr);
  struct utsname u;
  add_name(b, &at, uname(&u) == 0 ? u.nodename : nullptr);
  s.start_size = at;
  s.identity = true;
}

bool no_log_file_ok() {
  const char *v = Agetenv("NO_LOG_FILE_OK");
  return v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
}

// Writes the start block followed by the end mark as a record of `type`
// to the shared log and to every per-file log (those in `from_state` only
// when it is not negative, which then move to `to_state`).
bool write_marker(uint16_t type, uint32_t time, int from_state, uint8_t to_state) {
  State &s = state();
  if (s.shared >= 0 && !put_record(s.shared, type, time, s.start_block, s.start_size, true))
    return false;
  for (int32_t i = 0; i < s.log_count; ++i) {
    PerFileLog &l = s.logs[i];
    if (from_state >= 0 && l.state != from_state) continue;
    if (!put_record(l.handle, type, time, s.start_block, s.start_size, true)) return false;
    if (from_state >= 0) l.state = to_state;
  }
  return true;
}

// The bytes of a node that go to the log: all of it, less the
// before-images.
bool copy_length(const Node *n, uint32_t *length) {
  switch (n->type) {
    case kRelativeForm | kDelete:
      *length = kRelativeDeleteLogSize;
      return true;
    case kDelete:
    case kRewrite:
    case kRelativeForm | kRewrite: {
      uint8_t header[kTmHeaderSize];
      if (!tm_read(n->offset, header, kTmHeaderSize)) return false;
      *length = kTmHeaderSize + load_be16(header + kTmLength);
      return true;
    }
    default:
      *length = n->length;
      return true;
  }
}

bool copy_node(const Node *n) {
  State &s = state();
  uint32_t length = 0;
  if (!copy_length(n, &length)) return false;
  if (length > kLogDataLimit) return log_fail(kLogIoFailed);
  int32_t handle = handle_of_log(n->log);
  if (handle >= 0) {
    uint8_t header[kLogHeaderSize];
    store_be16(header + kLogLength, static_cast<uint16_t>(length));
    store_be16(header + kLogType, n->type);
    store_be32(header + kLogTime, n->time);
    if (!log_out(handle, header, kLogHeaderSize)) return false;
    uint8_t piece[kCopyPiece];
    for (uint32_t done = 0; done < length;) {
      uint32_t k = length - done < kCopyPiece ? length - done : kCopyPiece;
      if (!tm_read(n->offset + done, piece, k) || !log_out(handle, piece, k)) return false;
      done += k;
    }
  }
  for (int32_t i = 0; i < s.log_count; ++i) {
    PerFileLog &l = s.logs[i];
    if (n->type == kStart && l.state == 1) {
      if (!put_record(l.handle, kStart, n->time, s.start_block, s.start_size, false)) return false;
      l.state = 2;
    } else if (n->type == kCommit && l.state == 2) {
      if (!put_record(l.handle, kCommit, n->time, kEndMark, kEndMarkSize, false)) return false;
      l.state = 0;
    }
  }
  return true;
}

// Copies every node, oldest first, into its log and hands the whole unit
// to the system (the final flush). The logs are locked by the caller.
bool copy_unit() {
  if (!set_device_flag(1)) return false;
  for (Node *n = state().oldest; n; n = n->newer)
    if (!copy_node(n)) return false;
  if (!log_flush()) return false;
  // The unit is in the log: a lock file whose flag cannot be cleared
  // stops later appends (error 12), but this commit stands.
  set_device_flag(0);
  return true;
}

// The opens recorded in a transaction that never reaches a log did not
// happen as far as recovery knows: the next change of such a file records
// its open again.
void forget_opens() {
  for (Node *n = state().newest; n; n = n->older) {
    if ((n->type & kBaseTypeMask) != kOpen) continue;
    if (FileEntry *e = entry_of(n->file)) e->open_logged = false;
  }
}

// Ends the transaction: its nodes are dropped (deferred closes carried
// out as each goes), the TM file is rewound and the transaction's locks
// are released. `newest_first` for a transaction that never reached a log;
// a copied unit goes oldest first, so that its deferred closes follow the
// order in which the program asked for them.
void end_nodes(bool newest_first) {
  State &s = state();
  ++s.suppressed;
  while (Node *n = newest_first ? s.newest : s.oldest) {
    unlink_node(n);
    run_deferred_close(n);
    KEL_FREE(n);
  }
  --s.suppressed;
  tm_rewind();
  s.open = false;
  release_transaction_locks();
}

// Ends the transaction without touching any log.
void discard_nodes() {
  forget_opens();
  end_nodes(true);
}

void finish_copied() {
  end_nodes(false);
}

// Reads part `length` bytes at `offset` of the TM file into a new block
// and restores scrambled data.
uint8_t *read_part(int64_t offset, uint32_t length) {
  uint8_t *p = static_cast<uint8_t *>(KEL_ALLOC(length ? length : 1, "log file buffer (rollback)"));
  if (p == nullptr) return log_fail(kLogNoMemory), nullptr;
  if (!tm_read(offset, p, length)) {
    KEL_FREE(p);
    return nullptr;
  }
  if (fs_settings().log_encryption) unscramble(p, length);
  return p;
}

// The record of a relative slot image: variable-length slots begin with
// their length field.
void slot_record(RelativeFile *f, const uint8_t *slot, uint32_t size, const uint8_t **record,
                 uint32_t *length) {
  const relseq::SlotLayout &l = f->layout;
  if (!l.variable) {
    *record = slot;
    *length = size;
    return;
  }
  uint32_t n = l.length_width == 2 ? load_be16(slot) : load_be32(slot);
  uint32_t room = size > l.length_width ? size - l.length_width : 0;
  *record = slot + l.length_width;
  *length = n < room ? n : room;
}

// Undoes one change: a write is deleted, a rewrite or delete puts the
// before-image back.
bool undo(const Node *n) {
  uint8_t header[kTmHeaderSize];
  if (!tm_read(n->offset, header, kTmHeaderSize)) return false;
  uint32_t data = load_be16(header + kTmLength);
  int32_t number = static_cast<int32_t>(load_be32(header + kTmRecordNumber));
  uint16_t base = n->type & kBaseTypeMask;
  bool image_is_before = base != kWrite;
  uint32_t skip = image_is_before ? data : 0;
  if (kTmHeaderSize + skip > n->length) return log_fail(kLogTmCut);
  uint32_t length = image_is_before ? n->length - kTmHeaderSize - skip : data;
  MemPtr<uint8_t> image(read_part(n->offset + kTmHeaderSize + skip, length));
  if (!image.get()) return false;
  int32_t ok = 0;
  if (!n->relative) {
    auto *f = static_cast<DorvexFile *>(n->file);
    if (base == kDelete)
      ok = v5i_restore(f, image.get(), length, n->sequence);
    else if (base == kRewrite)
      ok = v5i_rewrite(f, image.get(), length);
    else
      ok = v5i_delete(f, image.get());
  } else {
    auto *f = static_cast<RelativeFile *>(n->file);
    const uint8_t *record = nullptr;
    uint32_t record_length = 0;
    slot_record(f, image.get(), length, &record, &record_length);
    const char *r = reinterpret_cast<const char *>(record);
    if (base == kDelete)
      ok = relseq::relative_write(f, r, record_length, number);
    else if (base == kRewrite)
      ok = relseq::relative_rewrite(f, r, record_length, number);
    else
      ok = relseq::relative_delete(f, number);
  }
  return ok != 0 || log_fail(kLogUndoFailed);
}

}  // namespace

FileEntry *entry_of(void *file) {
  State &s = state();
  for (int32_t i = 0; i < s.file_count; ++i)
    if (s.files[i].file == file) return &s.files[i];
  return nullptr;
}

void run_deferred_close(Node *n) {
  if (!(n->type & kDeferredClose)) return;
  KeptErrors kept;
  close_file_now(n->file, n->relative);
}

void release_transaction_locks() {
  State &s = state();
  if (s.hooks.keep_locks && s.hooks.keep_locks()) return;
  KeptErrors kept;
  for (int32_t i = 0; i < s.file_count; ++i) {
    FileEntry &e = s.files[i];
    if (e.relative)
      relseq::relative_unlock(static_cast<RelativeFile *>(e.file));
    else
      v5i_unlock(static_cast<DorvexFile *>(e.file));
  }
}

bool rollback_inner(bool to_log) {
  State &s = state();
  ++s.suppressed;
  bool ok = true;
  for (Node *n = s.newest; n && ok; n = n->older) {
    uint16_t base = n->type & kBaseTypeMask;
    if ((n->flags & kNodeClosed) || (base != kDelete && base != kRewrite && base != kWrite))
      continue;
    ok = undo(n);
  }
  for (Node *n = s.newest; n;) {
    Node *older = n->older;
    uint16_t base = n->type & kBaseTypeMask;
    if (base == kStartLogOnly || base == kDelete || base == kRewrite || base == kWrite)
      free_node(n);
    n = older;
  }
  --s.suppressed;
  int16_t error = s.error;
  bool logged = to_log && logging_on() && any_log_open();
  if (logged) {
    uint16_t type = s.newest && s.newest->type == kStart ? kRollbackEmpty : kRollback;
    bool marked = lock_logs() && check_ends() &&
                  write_marker(type, static_cast<uint32_t>(time(nullptr)), -1, 0) && log_flush();
    unlock_logs();
    if (!marked) {
      logged = false;
      ok = false;
      error = s.error;
    }
  }
  // The file-level records that remain (start, opens, makes, closes) and a
  // commit record make a unit of their own: recovery performs them.
  s.tm_end = s.newest ? s.newest->offset + s.newest->length : 0;
  Part commit{kEndMark, kEndMarkSize, false};
  if (logged && s.newest && tm_append(kCommit, nullptr, false, &commit, 1)) {
    bool copied = lock_logs() && check_ends() && copy_unit();
    unlock_logs();
    if (!copied) {
      ok = false;
      error = s.error;
      forget_opens();
    }
  } else {
    forget_opens();
  }
  finish_copied();
  s.error = ok ? 0 : error;
  return ok;
}

// The log of a file: chosen when it first matters (the file takes part in
// a transaction), so that a program that never begins one, kel among
// them, opens no per-file log. A per-file log joining an open transaction
// gets its start record at once.
bool choose_log(FileEntry *e) {
  State &s = state();
  e->log = kSharedLog;
  if (!logging_on()) return true;
  const char *name = e->relative ? kel::file_name(static_cast<RelativeFile *>(e->file)->file)
                                 : indexed::file_name(static_cast<DorvexFile *>(e->file));
  int32_t log = per_file_log_for(name ? name : "");
  if (log == -2) return false;
  if (log >= 0 && s.open && s.logs[log].state == 0) {
    PerFileLog &l = s.logs[log];
    bool ok = lock_logs() && check_ends() &&
              put_record(l.handle, kStartLogOnly, static_cast<uint32_t>(time(nullptr)),
                         s.start_block, s.start_size, true) &&
              log_flush();
    unlock_logs();
    if (!ok) return false;
    l.state = 1;
  }
  e->log = log;
  return true;
}

bool register_file(void *file, bool relative) {
  State &s = state();
  if (entry_of(file)) return true;
  if (s.file_count == s.file_capacity) {
    int32_t grown = s.file_capacity ? s.file_capacity * 2 : 8;
    uint32_t bytes = static_cast<uint32_t>(grown * sizeof(FileEntry));
    void *p = s.files ? KEL_REALLOC(s.files, bytes) : KEL_ALLOC(bytes, "log file entry node");
    if (p == nullptr) return log_fail(kLogNoMemory);
    s.files = static_cast<FileEntry *>(p);
    s.file_capacity = grown;
  }
  FileEntry &e = s.files[s.file_count++];
  e = FileEntry{file, relative, kLogUnchosen, false};
  if (s.open && !choose_log(&e)) {
    --s.file_count;
    return false;
  }
  return true;
}

void unregister_file(void *file) {
  State &s = state();
  for (int32_t i = 0; i < s.file_count; ++i) {
    if (s.files[i].file != file) continue;
    s.files[i] = s.files[--s.file_count];
    return;
  }
}

int32_t log_begin(int32_t quiet) {
  State &s = state();
  s.error = 0;
  bool logging = logging_on();
  if (logging && open_shared(false) && fs_settings().log_file[0] == '\0' && !quiet &&
      !no_log_file_ok())
    s.error = kLogNoLogFile;
  int16_t error = s.error;
  if (!tm_create()) return 0;
  take_identity();
  if (s.open) return 1;
  Part start{s.start_block, s.start_size, false};
  if (!tm_append(kStart, nullptr, false, &start, 1)) return 0;
  s.open = true;
  if (logging && any_log_open()) {
    bool ok = lock_logs() && check_ends() && write_marker(kStartLogOnly, s.newest->time, 0, 1) &&
              log_flush();
    unlock_logs();
    if (!ok) return 0;
  }
  s.error = error;
  if (logging && s.shared < 0 && s.error != 0) return 0;
  return 1;
}

int32_t log_commit() {
  State &s = state();
  s.error = 0;
  if (s.tm == nullptr) return log_fail(kLogNoTmFile), 0;
  Part commit{kEndMark, kEndMarkSize, false};
  if (tm_append(kCommit, nullptr, false, &commit, 1)) return 1;
  // A commit that cannot be recorded takes the transaction back, as a
  // failed end commit does.
  int16_t error = s.error;
  rollback_inner(false);
  s.error = error;
  return 0;
}

int32_t log_end_commit() {
  State &s = state();
  if (s.tm == nullptr) return log_fail(kLogNoTmFile), 0;
  if (!logging_on() || !any_log_open()) {
    discard_nodes();
    return 1;
  }
  bool ok = lock_logs() && check_ends() && copy_unit();
  unlock_logs();
  if (!ok) {
    int16_t error = s.error;
    rollback_inner(false);
    s.error = error;
    return 0;
  }
  finish_copied();
  return 1;
}

int32_t log_rollback() {
  State &s = state();
  s.error = 0;
  if (s.tm == nullptr) return log_fail(kLogNoTmFile), 0;
  return rollback_inner(true) ? 1 : 0;
}

int32_t log_shutdown() {
  State &s = state();
  int32_t result = s.open ? (rollback_inner(true) ? 1 : 0) : 1;
  KeptErrors kept;
  close_all_logs();
  tm_remove();
  KEL_FREE(s.files);
  s.files = nullptr;
  s.file_count = s.file_capacity = 0;
  return result;
}

}  // namespace kel::txlog
