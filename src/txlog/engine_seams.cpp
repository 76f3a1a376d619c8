// The log's side of the engines' seams: the record writers the indexed
// engine and the relative handler call after a change succeeded, the
// file-level records, deferred closes and reopens, and the indexed file
// operations wrapped with their records.
//
// Every writer appends one record to the TM file (tm_file.cpp) and does
// nothing while the log itself is rolling back (suppressed). A data file's
// changes can only be replayed on a file the log has seen opened, so the
// first change of a file whose open never reached a unit (it was opened
// before the transaction began) is preceded by an open record of its own.
// An indexed file opened for output (made anew) is recorded there as
// opened for input-output: a replay must not empty it again.
#include <cstring>

#include "indexed/engine.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "relseq/relative.h"
#include "relseq/relative_log.h"
#include "state.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::txlog {

namespace {

// The access bits of an open mode: 0 input, 1 output, 2 input-output.
constexpr int32_t kAccessMask = 3;
constexpr int32_t kAccessInputOutput = 2;

bool suppressed() {
  return state().suppressed > 0;
}

const char *name_of(void *file, bool relative) {
  const char *n = relative ? kel::file_name(static_cast<RelativeFile *>(file)->file)
                           : indexed::file_name(static_cast<DorvexFile *>(file));
  return n ? n : "";
}

uint32_t text_size(const char *t) {
  return t ? static_cast<uint32_t>(strlen(t)) + 1 : 1;
}

const uint8_t *text_bytes(const char *t) {
  static const uint8_t kEmpty[1] = {0};
  return t ? reinterpret_cast<const uint8_t *>(t) : kEmpty;
}

bool name_fits(const char *t) {
  return text_size(t) <= kNameLimit || log_fail(kLogNotFound);
}

bool file_record(uint16_t type, void *file, bool relative) {
  uint8_t id[kFileIdSize];
  make_file_id(file_number_of(file, relative), id);
  Part p{id, kFileIdSize, false};
  return tm_append(type, file, relative, &p, 1);
}

bool names_record(uint16_t type, const char *from, const char *to) {
  if (!name_fits(from) || !name_fits(to)) return false;
  Part parts[2] = {{text_bytes(from), text_size(from), false},
                   {text_bytes(to), text_size(to), false}};
  return tm_append(type, nullptr, false, parts, to ? 2 : 1);
}

// A record change: TM header, then the image and the before-image, each
// a part of its own for scrambling.
bool change_record(uint16_t type, void *file, bool relative, uint32_t number, const uint8_t *data,
                   uint32_t length, const uint8_t *before, uint32_t before_length) {
  if (kTmHeaderSize + length > kLogDataLimit) return log_fail(kLogIoFailed);
  if (!ensure_open_logged(file, relative)) return false;
  uint8_t header[kTmHeaderSize];
  make_file_id(file_number_of(file, relative), header);
  store_be32(header + kTmRecordNumber, number);
  store_be16(header + kTmLength, static_cast<uint16_t>(length));
  Part parts[3] = {
      {header, kTmHeaderSize, false}, {data, length, true}, {before, before_length, true}};
  return tm_append(type, file, relative, parts, before ? 3 : 2);
}

// --- indexed ---------------------------------------------------------------

bool ix_in_transaction() {
  return engines_in_transaction();
}
bool ix_undoing() {
  return suppressed() || state().replaying;
}
bool ix_log_rewrite(DorvexFile *f, const uint8_t *record, uint32_t length, const uint8_t *before,
                    uint32_t before_length) {
  return suppressed() ||
         change_record(kRewrite, f, false, 0, record, length, before, before_length);
}
bool ix_log_write(DorvexFile *f, const uint8_t *record, uint32_t length) {
  return suppressed() || change_record(kWrite, f, false, 0, record, length, nullptr, 0);
}
// The record's sequence number stays in memory with its node (the TM
// format has no place for it): the undo puts the record back where it was
// among equal alternate values.
bool ix_log_delete(DorvexFile *f, const uint8_t *key, uint32_t key_length, const uint8_t *before,
                   uint32_t before_length, uint32_t sequence) {
  if (suppressed()) return true;
  if (!change_record(kDelete, f, false, 0, key, key_length, before, before_length)) return false;
  state().newest->sequence = sequence;
  return true;
}

const indexed::IndexedLog kIndexedLog = {ix_in_transaction, ix_undoing,   nullptr,
                                         ix_log_rewrite,    ix_log_write, ix_log_delete};

// --- relative --------------------------------------------------------------

constexpr uint16_t R = kRelativeForm;

bool rel_keep_locks() {
  return state().hooks.keep_locks && state().hooks.keep_locks();
}
bool rel_keep_read_locks() {
  return state().hooks.keep_read_locks && state().hooks.keep_read_locks();
}

// The deferred-close node of a file of this name.
Node *deferred_node(const char *name) {
  for (Node *n = state().newest; n; n = n->older) {
    if (!(n->type & kDeferredClose)) continue;
    const char *a = name_of(n->file, n->relative);
    bool same = true;
    for (size_t i = 0;; ++i) {
      char x = a[i] == '\\' ? '/' : a[i], y = name[i] == '\\' ? '/' : name[i];
      if (x != y) {
        same = false;
        break;
      }
      if (x == '\0') break;
    }
    if (same) return n;
  }
  return nullptr;
}

void *reopen(const char *name, bool relative) {
  Node *n = deferred_node(name);
  if (n == nullptr || n->relative != relative) return nullptr;
  void *file = n->file;
  free_node(n);
  return file;
}

RelativeFile *rel_reopen(const char *name) {
  return static_cast<RelativeFile *>(reopen(name, true));
}
bool rel_deferred_pending(const char *name) {
  return deferred_node(name) != nullptr;
}
bool rel_register(RelativeFile *f) {
  return register_file(f, true);
}
void rel_unregister(RelativeFile *f) {
  unregister_file(f);
}
bool rel_log_open(RelativeFile *f, const char *name, int32_t mode, uint32_t minimum,
                  uint32_t maximum, int32_t blocks) {
  return suppressed() || record_open(f, true, name, mode, minimum, maximum, blocks);
}

bool defer_close(void *file, bool relative) {
  if (suppressed() || !file_has_changes(file)) return false;
  return file_record(kDeferredClose | (relative ? R : 0) | kClose, file, relative);
}

// A plain close inside a transaction: the file's records are no longer
// undone (its handle goes away).
bool log_close(void *file, bool relative) {
  if (suppressed()) return true;
  for (Node *n = state().newest; n; n = n->older)
    if (n->file == file) n->flags |= kNodeClosed;
  FileEntry *e = entry_of(file);
  if (e == nullptr || !e->open_logged) return true;
  e->open_logged = false;
  return file_record((relative ? R : 0) | kClose, file, relative);
}

bool rel_defer_close(RelativeFile *f) {
  return defer_close(f, true);
}
bool rel_log_close(RelativeFile *f) {
  return log_close(f, true);
}
bool rel_log_make(const char *name, const char *params, int32_t blocks) {
  if (suppressed()) return true;
  if (!name_fits(name) || text_size(params) > kNameLimit) return log_fail(kLogNotFound);
  uint8_t b[4];
  store_be32(b, static_cast<uint32_t>(blocks));
  Part parts[3] = {{b, 4, false},
                   {text_bytes(name), text_size(name), false},
                   {text_bytes(params), text_size(params), false}};
  return tm_append(R | kMake, nullptr, true, parts, 3);
}
bool rel_log_copy(const char *from, const char *to) {
  return suppressed() || names_record(R | kCopy, from, to);
}
bool rel_log_rename(const char *from, const char *to) {
  return suppressed() || names_record(R | kRename, from, to);
}
bool rel_log_remove(const char *name) {
  return suppressed() || names_record(R | kRemove, name, nullptr);
}
bool rel_log_write(RelativeFile *f, int32_t number, const uint8_t *record, uint32_t length) {
  return suppressed() || change_record(R | kWrite, f, true, static_cast<uint32_t>(number), record,
                                       length, nullptr, 0);
}
bool rel_log_rewrite(RelativeFile *f, int32_t number, const uint8_t *record, uint32_t length,
                     const uint8_t *before, uint32_t before_length) {
  return suppressed() || change_record(R | kRewrite, f, true, static_cast<uint32_t>(number), record,
                                       length, before, before_length);
}
bool rel_log_delete(RelativeFile *f, int32_t number, const uint8_t *before,
                    uint32_t before_length) {
  return suppressed() || change_record(R | kDelete, f, true, static_cast<uint32_t>(number), nullptr,
                                       0, before, before_length);
}

const relseq::RelativeLog kRelativeLog = {
    ix_in_transaction, ix_undoing,           nullptr,         rel_keep_locks, rel_keep_read_locks,
    rel_reopen,        rel_deferred_pending, rel_register,    rel_unregister, rel_log_open,
    rel_defer_close,   rel_log_close,        rel_log_make,    rel_log_copy,   rel_log_rename,
    rel_log_remove,    rel_log_write,        rel_log_rewrite, rel_log_delete};

// A file-level operation the log could not record; memory is reported as
// such, everything else as the log's refusal.
bool refused() {
  return fs_fail(state().error == kLogNoMemory ? E_NO_MEMORY : E_LOG_REFUSED);
}

}  // namespace

void install(const Hooks &hooks) {
  state().hooks = hooks;
  indexed::set_indexed_log(&kIndexedLog);
  relseq::set_relative_log(&kRelativeLog);
}

bool record_open(void *file, bool relative, const char *name, int32_t mode, uint32_t minimum,
                 uint32_t maximum, int32_t blocks) {
  if (!name_fits(name)) return false;
  uint8_t fixed[kFileIdSize + 12];
  make_file_id(file_number_of(file, relative), fixed);
  store_be32(fixed + kFileIdSize, static_cast<uint32_t>(mode));
  uint32_t size = kFileIdSize + 4;
  if (relative) {
    store_be16(fixed + size, static_cast<uint16_t>(minimum));
    store_be16(fixed + size + 2, static_cast<uint16_t>(maximum));
    store_be32(fixed + size + 4, static_cast<uint32_t>(blocks));
    size += 8;
  }
  Part parts[2] = {{fixed, size, false}, {text_bytes(name), text_size(name), false}};
  if (!tm_append((relative ? R : 0) | kOpen, file, relative, parts, 2)) return false;
  if (FileEntry *e = entry_of(file)) e->open_logged = true;
  return true;
}

bool ensure_open_logged(void *file, bool relative) {
  FileEntry *e = entry_of(file);
  if (e == nullptr || e->open_logged) return true;
  const char *name = name_of(file, relative);
  if (relative) {
    auto *f = static_cast<RelativeFile *>(file);
    uint32_t maximum = f->layout.maximum;
    uint32_t minimum = f->layout.variable ? 0 : maximum;
    int32_t mode = (f->logged ? relseq::kOpenLogged : 0) | kAccessInputOutput;
    return record_open(file, true, name, mode, minimum, maximum, 0);
  }
  int32_t mode = indexed::open_flags(static_cast<DorvexFile *>(file));
  if ((mode & kAccessMask) != 0) mode = (mode & ~kAccessMask) | kAccessInputOutput;
  return record_open(file, false, name, mode, 0, 0, 0);
}

bool close_file_now(void *file, bool relative) {
  unregister_file(file);
  if (relative) return relseq::relative_close(static_cast<RelativeFile *>(file)) != 0;
  return dorvex_close(static_cast<DorvexFile *>(file)) != 0;
}

DorvexFile *indexed_open(const char *name, int32_t mode) {
  if (name != nullptr) {
    if (void *again = reopen(name, false)) return static_cast<DorvexFile *>(again);
  }
  indexed::install_access_layers();
  DorvexFile *f = dorvex_open(name, mode);
  if (f == nullptr) return nullptr;
  bool ok = register_file(f, false);
  if (ok && engines_in_transaction() && (mode & kAccessMask) != 0)
    ok = record_open(f, false, name, mode, 0, 0, 0);
  if (!ok) {
    unregister_file(f);
    dorvex_close(f);
    refused();
    return nullptr;
  }
  return f;
}

int32_t indexed_close(DorvexFile *f) {
  if (f == nullptr) return dorvex_close(f);
  bool refusal = false;
  if (engines_in_transaction() && (indexed::open_flags(f) & kAccessMask) != 0) {
    if (defer_close(f, false)) return 1;
    refusal = !log_close(f, false);
  }
  unregister_file(f);
  int32_t ok = dorvex_close(f);
  if (refusal) return refused(), 0;
  return ok;
}

int32_t indexed_make(const char *name, const char *comment, const char *physical,
                     const char *record, const char *keys, const uint8_t *table) {
  if (name != nullptr && deferred_node(name) != nullptr) return 1;
  if (!dorvex_make(name, comment, physical, record, keys, table)) return 0;
  if (!engines_in_transaction()) return 1;
  static const uint8_t kNoTable[1] = {0};
  uint32_t size = text_size(name) + text_size(comment) + text_size(physical) + text_size(record) +
                  text_size(keys) + (table ? kTranslationTableSize : 1);
  if (size > kMakeDataLimit) return log_fail(kLogIoFailed), refused(), 0;
  Part parts[6] = {{text_bytes(name), text_size(name), false},
                   {text_bytes(comment), text_size(comment), false},
                   {text_bytes(physical), text_size(physical), false},
                   {text_bytes(record), text_size(record), false},
                   {text_bytes(keys), text_size(keys), false},
                   {table ? table : kNoTable, table ? kTranslationTableSize : 1, false}};
  if (!tm_append(kMake, nullptr, false, parts, 6)) return refused(), 0;
  return 1;
}

int32_t indexed_copy(const char *from, const char *to) {
  int32_t ok = dorvex_copy(from, to);
  if (ok && engines_in_transaction() && !names_record(kCopy, from, to)) return refused(), 0;
  return ok;
}

int32_t indexed_rename(const char *from, const char *to) {
  int32_t ok = dorvex_rename(from, to);
  if (ok && engines_in_transaction() && !names_record(kRename, from, to)) return refused(), 0;
  return ok;
}

int32_t indexed_remove(const char *name) {
  int32_t ok = dorvex_remove(name, 1);
  if (ok && engines_in_transaction() && !names_record(kRemove, name, nullptr)) return refused(), 0;
  return ok;
}

}  // namespace kel::txlog
