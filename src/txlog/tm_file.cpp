// The TM file and its record list. The TM file is private to the process:
// records are appended without framing (the list in memory says where each
// begins, how long it is and what it is), and the file is rewound after
// every end commit and rollback, so it holds one transaction at a time.
//
// Every record is handed to the system (the stream flushed) before the
// operation that wrote it returns: a full disk must fail the change that
// could not be recorded (the engine then fails it with code 22), not a
// later one, or a rollback would lack a before-image. The TM file is never
// synced: it serves rollback within this process and is worthless after a
// crash (recovery works from the log files).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/fs_config.h"
#include "indexed/engine.h"
#include "layer/layer.h"
#include "osfile/files.h"
#include "relseq/relative.h"
#include "relseq/relative_log.h"
#include "state.h"
#include "support/alloc.h"
#include "support/be.h"

struct RelativeFile;

namespace kel::txlog {

namespace {

// After a failed write the stream may still hold bytes it could not
// write; it is opened again so that none of them lands later.
bool tm_failed(int16_t code) {
  State &s = state();
  Astream_close(s.tm);
  s.tm = Astream_open(s.tm_name, "rb+");
  s.tm_pos = -1;
  return log_fail(code);
}

// Writes at the TM file's end, positioning the stream only when it is not
// there already (a seek flushes the stream's buffer).
bool tm_write(const uint8_t *data, uint32_t length) {
  State &s = state();
  if (length == 0) return true;
  if (s.tm_pos != s.tm_end) {
    if (Astream_seek(s.tm, s.tm_end, SEEK_SET) != 0) return log_fail(kLogIoFailed);
    s.tm_pos = s.tm_end;
  }
  size_t n = Astream_write(data, 1, length, s.tm);
  s.tm_pos += static_cast<int64_t>(n);
  s.tm_end += static_cast<int64_t>(n);
  if (n != length)
    return tm_failed(errno == ENOSPC || errno == EFBIG ? kLogShortWrite : kLogIoFailed);
  return true;
}

bool tm_write_scrambled(const uint8_t *data, uint32_t length) {
  uint8_t piece[kCopyPiece];
  for (uint32_t done = 0; done < length;) {
    uint32_t n = length - done < kCopyPiece ? length - done : kCopyPiece;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t at = done + i;
      piece[i] = static_cast<uint8_t>(data[at] + length + 7 * at);
    }
    if (!tm_write(piece, n)) return false;
    done += n;
  }
  return true;
}

}  // namespace

bool tm_create() {
  State &s = state();
  uint32_t pid = static_cast<uint32_t>(getpid());
  if (s.tm != nullptr && s.tm_pid == pid) return true;
  if (s.tm != nullptr) {  // the parent's, inherited through a fork: left to it
    Astream_close(s.tm);
    s.tm = nullptr;
  }
  s.tm_pid = pid;
  const char *dir = fs_settings().log_dir[0] != '\0' ? fs_settings().log_dir : ".";
  if (!Atemp_file(dir, "TM", "", s.tm_name, sizeof s.tm_name))
    return log_fail(error_of_errno(false));
  s.tm = Astream_open(s.tm_name, "wb+");
  if (s.tm == nullptr) {
    int16_t code = error_of_errno(false);
    Aunlink(s.tm_name);
    s.tm_name[0] = '\0';
    return log_fail(code);
  }
  s.tm_end = 0;
  s.tm_pos = 0;
  return true;
}

void tm_remove() {
  State &s = state();
  if (s.tm == nullptr) return;
  Astream_close(s.tm);
  Aunlink(s.tm_name);
  s.tm = nullptr;
  s.tm_name[0] = '\0';
}

void tm_rewind() {
  State &s = state();
  s.tm_end = 0;
  if (s.tm != nullptr && Astream_seek(s.tm, 0, SEEK_SET) == 0)
    s.tm_pos = 0;
  else
    s.tm_pos = -1;
}

bool tm_append(uint16_t type, void *file, bool relative, const Part *parts, int count) {
  State &s = state();
  if (s.tm == nullptr) return log_fail(kLogNoTmFile);
  FileEntry *e = file ? entry_of(file) : nullptr;
  if (e && e->log == kLogUnchosen && !choose_log(e)) return false;
  Node *n = static_cast<Node *>(KEL_ALLOC(sizeof(Node), "log record node"));
  if (n == nullptr) return log_fail(kLogNoMemory);
  n->type = type;
  n->offset = s.tm_end;
  n->time = static_cast<uint32_t>(time(nullptr));
  n->file = file;
  n->relative = relative;
  n->flags = 0;
  n->sequence = 0;
  n->log = e ? e->log : kSharedLog;
  bool scramble_parts = fs_settings().log_encryption;
  for (int i = 0; i < count; ++i) {
    const Part &p = parts[i];
    bool ok = scramble_parts && p.scrambled ? tm_write_scrambled(p.data, p.size)
                                            : tm_write(p.data, p.size);
    if (!ok) {
      // The record is not in the list: the next one overwrites its bytes.
      s.tm_end = n->offset;
      KEL_FREE(n);
      return false;
    }
  }
  if (Astream_flush(s.tm) != 0) {
    s.tm_end = n->offset;
    KEL_FREE(n);
    return tm_failed(errno == ENOSPC || errno == EFBIG ? kLogShortWrite : kLogIoFailed);
  }
  n->length = static_cast<uint32_t>(s.tm_end - n->offset);
  n->older = s.newest;
  n->newer = nullptr;
  if (s.newest) s.newest->newer = n;
  s.newest = n;
  if (s.oldest == nullptr) s.oldest = n;
  return true;
}

bool tm_read(int64_t offset, uint8_t *out, uint32_t length) {
  State &s = state();
  if (s.tm == nullptr) return log_fail(kLogNoTmFile);
  if (Astream_seek(s.tm, offset, SEEK_SET) != 0) {
    s.tm_pos = -1;
    return log_fail(kLogIoFailed);
  }
  size_t n = Astream_read(out, 1, length, s.tm);
  s.tm_pos = offset + static_cast<int64_t>(n);
  if (n != length) return log_fail(kLogTmCut);
  return true;
}

void unlink_node(Node *n) {
  State &s = state();
  if (n->newer)
    n->newer->older = n->older;
  else
    s.newest = n->older;
  if (n->older)
    n->older->newer = n->newer;
  else
    s.oldest = n->newer;
}

void free_node(Node *n) {
  unlink_node(n);
  KEL_FREE(n);
}

void make_file_id(int32_t number, uint8_t *out) {
  State &s = state();
  store_be32(out + kFileIdHost, s.host_id);
  store_be16(out + kFileIdPid, static_cast<uint16_t>(s.pid & 0xFFFF));
  store_be16(out + kFileIdNumber, static_cast<uint16_t>(number));
}

int32_t file_number_of(void *file, bool relative) {
  if (relative) return static_cast<RelativeFile *>(file)->file;
  return indexed::file_number(static_cast<DorvexFile *>(file));
}

bool file_has_changes(void *file) {
  for (Node *n = state().newest; n; n = n->older) {
    uint16_t base = n->type & kBaseTypeMask;
    if (n->file == file && (base == kDelete || base == kRewrite || base == kWrite)) return true;
  }
  return false;
}

}  // namespace kel::txlog
