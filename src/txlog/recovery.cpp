// Recovery: the shared log read from its start, every unit performed again
// inside transactions of the log's own, with no log file written (the
// replay must not append what it replays). A unit the log holds only in
// part (no commit record: the writer was killed, or the disk filled, in
// the middle of its end commit) is rolled back at the end. Files the
// replay opened are closed when their close record comes or at the end.
//
// Records are read into buffers of fixed size for their type; a record
// longer than its buffer is a corrupt log (log error 6), as is an unknown
// type.
#include <cerrno>
#include <cstring>

#include "config/fs_config.h"
#include "indexed/engine.h"
#include "layer/layer.h"
#include "relseq/relative.h"
#include "state.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/fail.h"

namespace kel::txlog {

static_assert(kLogInTransaction == kRecoverInTransaction);

namespace {

// The recovery file list: file id as the log names it -> handle.
struct Replayed {
  uint8_t id[kFileIdSize];
  void *file;  // null once closed
  bool relative;
};

struct Replay {
  Replayed *files = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
  ~Replay() { KEL_FREE(files); }

  Replayed *find(const uint8_t *id) {
    for (int32_t i = 0; i < count; ++i)
      if (files[i].file && memcmp(files[i].id, id, kFileIdSize) == 0) return &files[i];
    return nullptr;
  }
  bool add(const uint8_t *id, void *file, bool relative) {
    Replayed *slot = nullptr;
    for (int32_t i = 0; i < count && !slot; ++i)
      if (files[i].file == nullptr) slot = &files[i];
    if (slot == nullptr) {
      if (count == capacity) {
        int32_t grown = capacity ? capacity * 2 : 8;
        uint32_t bytes = static_cast<uint32_t>(grown * sizeof(Replayed));
        void *p = files ? KEL_REALLOC(files, bytes) : KEL_ALLOC(bytes, "recovery file list");
        if (p == nullptr) return log_fail(kLogNoMemory);
        files = static_cast<Replayed *>(p);
        capacity = grown;
      }
      slot = &files[count++];
    }
    memcpy(slot->id, id, kFileIdSize);
    slot->file = file;
    slot->relative = relative;
    return true;
  }
  void close_all() {
    for (int32_t i = 0; i < count; ++i) {
      if (files[i].file == nullptr) continue;
      if (files[i].relative)
        relseq::relative_close(static_cast<RelativeFile *>(files[i].file));
      else
        indexed_close(static_cast<DorvexFile *>(files[i].file));
      files[i].file = nullptr;
    }
  }
};

// Reads exactly `length` bytes; false with 6 (cut) or 5 (read failure).
// `got` tells how many came (0 at a clean end).
bool read_exact(uint8_t *out, uint32_t length, uint32_t *got) {
  *got = 0;
  while (*got < length) {
    int32_t n = Alayer_read(state().shared, out + *got, length - *got);
    if (n < 0) return log_fail(kLogIoFailed);
    if (n == 0) return log_fail(kLogCut);
    *got += static_cast<uint32_t>(n);
  }
  return true;
}

// The texts of a record: `count` NUL-ended strings from `data`; false
// when one is not ended inside the record.
bool split_texts(const uint8_t *data, uint32_t length, const char **out, int count,
                 uint32_t *used) {
  uint32_t at = 0;
  for (int i = 0; i < count; ++i) {
    const void *end = at < length ? memchr(data + at, 0, length - at) : nullptr;
    if (end == nullptr) return log_fail(kLogCut);
    out[i] = reinterpret_cast<const char *>(data + at);
    at = static_cast<uint32_t>(static_cast<const uint8_t *>(end) - data) + 1;
  }
  *used = at;
  return true;
}

const char *absent_if_empty(const char *t) {
  return t[0] == '\0' ? nullptr : t;
}

class Replayer {
 public:
  // One record; false ends the replay with failure, *corrupt marks an
  // unknown type.
  bool perform(uint16_t type, uint8_t *data, uint32_t length, bool *corrupt);
  Replay list;

 private:
  bool change(uint16_t type, uint8_t *data, uint32_t length);
  bool open(bool relative, const uint8_t *data, uint32_t length);
  bool close(const uint8_t *data, uint32_t length);
  bool make(bool relative, const uint8_t *data, uint32_t length);
  bool names(uint16_t base, bool relative, const uint8_t *data, uint32_t length);
};

bool Replayer::change(uint16_t type, uint8_t *data, uint32_t length) {
  bool relative = (type & kRelativeForm) != 0;
  uint16_t base = type & kBaseTypeMask;
  uint32_t header = relative && base == kDelete ? kRelativeDeleteLogSize : kTmHeaderSize;
  if (length < header) return log_fail(kLogCut);
  Replayed *r = list.find(data);
  if (r == nullptr || r->relative != relative) return log_fail(kLogUnknownFile);
  uint32_t number = load_be32(data + kTmRecordNumber);
  uint8_t *image = data + header;
  uint32_t size = length - header;
  if (header == kTmHeaderSize && load_be16(data + kTmLength) < size)
    size = load_be16(data + kTmLength);
  if (fs_settings().log_encryption) unscramble(image, size);
  int32_t ok = 0;
  if (relative) {
    auto *f = static_cast<RelativeFile *>(r->file);
    const char *rec = reinterpret_cast<const char *>(image);
    int32_t n = static_cast<int32_t>(number);
    if (base == kWrite)
      ok = relseq::relative_write(f, rec, size, n);
    else if (base == kRewrite)
      ok = relseq::relative_rewrite(f, rec, size, n);
    else
      ok = relseq::relative_delete(f, n);
  } else {
    auto *f = static_cast<DorvexFile *>(r->file);
    if (base == kWrite) {
      ok = v5i_write(f, image, size);
    } else if (base == kRewrite) {
      ok = v5i_rewrite(f, image, size);
    } else {
      MemPtr<uint8_t> record;
      if (!record.allocate(indexed::max_record_size(f) + 1, "log file buffer (delete, record)"))
        return log_fail(kLogNoMemory);
      indexed::place_primary_key(f, image, record.get());
      ok = v5i_read(f, record.get(), 0) != 0 && v5i_delete(f, record.get());
    }
  }
  return ok != 0 || log_fail(kLogUndoFailed);
}

bool Replayer::open(bool relative, const uint8_t *data, uint32_t length) {
  uint32_t fixed = kFileIdSize + 4 + (relative ? 8 : 0);
  if (length <= fixed || data[length - 1] != 0) return log_fail(kLogCut);
  int32_t mode = static_cast<int32_t>(load_be32(data + kFileIdSize));
  const char *name = reinterpret_cast<const char *>(data + fixed);
  // A file id seen again (its close never reached the log) names a new
  // open: the old one is closed first.
  if (Replayed *old = list.find(data)) {
    if (old->relative)
      relseq::relative_close(static_cast<RelativeFile *>(old->file));
    else
      indexed_close(static_cast<DorvexFile *>(old->file));
    old->file = nullptr;
  }
  void *file = nullptr;
  if (relative) {
    uint32_t minimum = load_be16(data + kFileIdSize + 4);
    uint32_t maximum = load_be16(data + kFileIdSize + 6);
    int32_t blocks = static_cast<int32_t>(load_be32(data + kFileIdSize + 8));
    file = relseq::relative_open(name, mode, maximum, minimum, blocks);
  } else {
    file = indexed_open(name, mode);
  }
  if (file == nullptr) return log_fail(kLogUndoFailed);
  return list.add(data, file, relative);
}

bool Replayer::close(const uint8_t *data, uint32_t length) {
  if (length < kFileIdSize) return log_fail(kLogCut);
  Replayed *r = list.find(data);
  if (r == nullptr) return log_fail(kLogUnknownFile);
  void *file = r->file;
  r->file = nullptr;
  int32_t ok = r->relative ? relseq::relative_close(static_cast<RelativeFile *>(file))
                           : indexed_close(static_cast<DorvexFile *>(file));
  return ok != 0 || log_fail(kLogUndoFailed);
}

bool Replayer::make(bool relative, const uint8_t *data, uint32_t length) {
  uint32_t used = 0;
  int32_t ok = 0;
  if (relative) {
    const char *t[2] = {};
    if (length < 4 || !split_texts(data + 4, length - 4, t, 2, &used)) return false;
    ok = relseq::relative_make(t[0], absent_if_empty(t[1]), static_cast<int32_t>(load_be32(data)));
  } else {
    const char *t[5] = {};
    if (!split_texts(data, length, t, 5, &used) || used >= length) return log_fail(kLogCut);
    const uint8_t *table = data + used;
    bool has_table = length - used >= kTranslationTableSize && table[0] != 0;
    ok = indexed_make(t[0], absent_if_empty(t[1]), absent_if_empty(t[2]), t[3], t[4],
                      has_table ? table : nullptr);
  }
  return ok != 0 || log_fail(kLogUndoFailed);
}

bool Replayer::names(uint16_t base, bool relative, const uint8_t *data, uint32_t length) {
  const char *t[2] = {};
  uint32_t used = 0;
  if (!split_texts(data, length, t, base == kRemove ? 1 : 2, &used)) return false;
  int32_t ok = 0;
  if (base == kCopy)
    ok = relative ? relseq::relative_copy(t[0], t[1]) : indexed_copy(t[0], t[1]);
  else if (base == kRename)
    ok = relative ? relseq::relative_rename(t[0], t[1]) : indexed_rename(t[0], t[1]);
  else
    ok = relative ? relseq::relative_remove(t[0]) : indexed_remove(t[0]);
  return ok != 0 || log_fail(kLogUndoFailed);
}

bool Replayer::perform(uint16_t type, uint8_t *data, uint32_t length, bool *corrupt) {
  bool relative = (type & kRelativeForm) != 0;
  uint16_t base = type & kBaseTypeMask;
  bool deferred = (type & kDeferredClose) != 0;
  if (deferred && base != kClose) return *corrupt = true, false;
  switch (base) {
    case kStartLogOnly:
    case kRollbackEmpty:
    case kRollback:
      return !relative || (*corrupt = true, false);
    case kStart:
      if (relative) return *corrupt = true, false;
      return log_begin(1) != 0;
    case kCommit:
      if (relative) return *corrupt = true, false;
      return log_commit() != 0 && log_end_commit() != 0;
    case kDelete:
    case kRewrite:
    case kWrite:
      return change(type, data, length);
    case kOpen:
      return open(relative, data, length);
    case kMake:
      return make(relative, data, length);
    case kClose:
      return close(data, length);
    case kCopy:
    case kRename:
    case kRemove:
      return names(base, relative, data, length);
    default:
      *corrupt = true;
      return false;
  }
}

// The buffer a record of this type is read into.
uint32_t buffer_limit(uint16_t type) {
  uint16_t base = type & kBaseTypeMask;
  switch (base) {
    case kDelete:
    case kRewrite:
    case kWrite:
      return kLogDataLimit;
    case kMake:
      return (type & kRelativeForm) ? 4 + 2 * kNameLimit : kMakeDataLimit;
    case kOpen:
      return kFileIdSize + 12 + kNameLimit;
    case kCopy:
    case kRename:
      return 2 * kNameLimit;
    case kRemove:
      return kNameLimit;
    case kClose:
      return kFileIdSize;
    default:
      return kStartBlockLimit + kEndMarkSize;
  }
}

}  // namespace

int32_t log_recover() {
  State &s = state();
  if (s.open) return log_fail(kLogInTransaction), 0;
  s.error = 0;
  if (s.shared >= 0 && strcmp(s.shared_name, fs_settings().log_file) != 0) close_shared();
  if (s.shared < 0) {
    if (fs_settings().log_file[0] == '\0') return log_fail(kLogNotFound), 0;
    if (!open_shared(true)) return 0;
  }
  if (!lock_logs()) return unlock_logs(), 0;
  s.replaying = true;
  Replayer replayer;
  bool ok = true;
  bool corrupt = false;
  MemPtr<uint8_t> data;
  if (!data.allocate(kLogDataLimit + 1, "log file buffer (recovery)")) {
    ok = false;
    s.error = kLogNoMemory;
  }
  while (ok) {
    uint8_t header[kLogHeaderSize];
    uint32_t got = 0;
    if (!read_exact(header, kLogHeaderSize, &got)) {
      // The end of the log, or a header cut short: the replay ends as at
      // the end; a cut header leaves its error code for the caller to see.
      if (got == 0 && s.error == kLogCut) s.error = 0;
      break;
    }
    uint16_t length = load_be16(header + kLogLength);
    uint16_t type = load_be16(header + kLogType);
    if (length > buffer_limit(type)) {
      corrupt = true;
      break;
    }
    if (!read_exact(data.get(), length, &got)) {
      ok = false;
      break;
    }
    if (!replayer.perform(type, data.get(), length, &corrupt)) {
      ok = false;
      break;
    }
  }
  int16_t error = s.error;
  {
    KeptErrors kept;
    if (s.open) rollback_inner(false);
    replayer.list.close_all();
    unlock_logs();
  }
  s.replaying = false;
  if (corrupt) {
    s.error = kLogCut;
    return 0;
  }
  s.error = error;
  if (!ok && s.error == 0) s.error = kLogUndoFailed;
  return ok ? 1 : 0;
}

}  // namespace kel::txlog
