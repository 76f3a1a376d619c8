// The log files: the shared log (LOG_FILE), the per-file logs named by a
// variable after the data file's name, and the lock file of LOG_DEVICE.
//
// What reaches the disk when. Every append happens under the log lock
// (below) and goes through one output buffer of LOG_BUFFER_SIZE bytes,
// flushed with write() when it fills, when output turns to another log,
// and when the logs are unlocked at the end of every begin, end commit and
// rollback. So when an end commit returns, its whole unit has been handed
// to the system with write(): a process killed after that point loses
// nothing, and one killed during the copy leaves a unit without its end
// mark, which every later append refuses (error 12) and recovery reads as
// an incomplete unit to be rolled back. The log is never synced (no fsync
// or O_SYNC): a machine crash or power loss can lose the units whose pages
// the system had not yet written back, the last few seconds of commits,
// and can leave the log cut inside a unit; what remains is still read by
// recovery up to that point. Installations that need more durability put
// the log on a device or file system mounted for synchronous writes.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "config/fs_config.h"
#include "layer/layer.h"
#include "state.h"
#include "support/alloc.h"
#include "support/be.h"

namespace kel::txlog {

namespace {

// Layer file modes.
constexpr int32_t kOpenReadWrite = 2;
constexpr int32_t kOpenCreate = 1;
constexpr int32_t kOpenCreateAtEnd = 3;
constexpr int32_t kLockWait = 1;
constexpr int32_t kUnlock = 0;

bool log_device() {
  const char *dir = Agetenv("LOCK_DIR");
  return fs_settings().log_device && dir != nullptr && dir[0] != '\0';
}

// Names compare with '/' and '\' equal.
bool same_name(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char x = *a == '\\' ? '/' : *a;
    char y = *b == '\\' ? '/' : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

bool raw_write(int32_t handle, const uint8_t *data, uint32_t length) {
  if (length == 0) return true;
  int32_t n = Alayer_write(handle, data, length);
  if (n < 0) return log_fail(kLogIoFailed);
  if (static_cast<uint32_t>(n) != length) return log_fail(kLogShortWrite);
  return true;
}

bool open_lock_file() {
  State &s = state();
  if (s.lock_file >= 0) return true;
  char name[kLockNameSize];
  make_lockname(name, fs_settings().log_file);
  s.lock_file = Alayer_open(name, kOpenCreate);
  if (s.lock_file < 0) return log_fail(error_of_errno(false));
  return true;
}

bool lock(int32_t handle) {
  if (Alayer_lock(handle, 0, 1, kLockWait) != 0) return log_fail(error_of_errno(true));
  return true;
}

// The last two bytes of a log that is not empty are the end mark; the
// position is left at the end, where the next append goes.
bool ends_with_mark(int32_t handle) {
  int64_t end = Alayer_seek(handle, 0, SEEK_END);
  if (end < 0) return log_fail(kLogIoFailed);
  if (end == 0) return true;
  uint8_t last[kEndMarkSize] = {};
  if (end < 2 || Alayer_pread(layer_fd(handle), last, kEndMarkSize, end - 2) != 2 ||
      memcmp(last, kEndMark, kEndMarkSize) != 0)
    return log_fail(kLogNoEndMark);
  return true;
}

}  // namespace

char *make_lockname(char *buffer, const char *name) {
  const char *dir = Agetenv("LOCK_DIR");
  bool slash = dir != nullptr && dir[0] != '\0' && dir[strlen(dir) - 1] != '/';
  snprintf(buffer, kLockNameSize, "%s%slock.%s", dir ? dir : "", slash ? "/" : "",
           Abase_name(name ? name : ""));
  return buffer;
}

bool any_log_open() {
  return state().shared >= 0 || state().log_count > 0;
}

bool open_shared(bool at_start) {
  State &s = state();
  const char *name = fs_settings().log_file;
  if (s.shared >= 0 && strcmp(s.shared_name, name) != 0) close_shared();
  if (s.shared >= 0 || name[0] == '\0') return true;
  s.shared = Alayer_open(name, at_start ? kOpenReadWrite : kOpenCreateAtEnd);
  if (s.shared < 0) return log_fail(error_of_errno(false));
  strncpy(s.shared_name, name, sizeof s.shared_name - 1);
  return true;
}

void close_shared() {
  State &s = state();
  if (s.shared < 0) return;
  log_flush();
  if (s.buffer_handle == s.shared) s.buffer_handle = -1;
  Alayer_close(s.shared);
  s.shared = -1;
  s.shared_name[0] = '\0';
}

void close_all_logs() {
  State &s = state();
  close_shared();
  for (int32_t i = 0; i < s.log_count; ++i) Alayer_close(s.logs[i].handle);
  KEL_FREE(s.logs);
  s.logs = nullptr;
  s.log_count = s.log_capacity = 0;
  if (s.lock_file >= 0) Alayer_close(s.lock_file);
  s.lock_file = -1;
  KEL_FREE(s.buffer);
  s.buffer = nullptr;
  s.buffer_size = s.buffered = 0;
  s.buffer_handle = -1;
}

int32_t handle_of_log(int32_t log) {
  State &s = state();
  return log == kSharedLog ? s.shared : s.logs[log].handle;
}

// The variable that names a file's own log: the last path component, one
// leading '.' skipped, up to the next '.', upper-cased with '-' as '_',
// followed by "_LOG" (cust-master.dat: CUST_MASTER_LOG).
int32_t per_file_log_for(const char *file_name) {
  State &s = state();
  const char *base = Abase_name(file_name);
  if (*base == '.') ++base;
  char variable[kNameLimit + 8];
  size_t n = 0;
  for (; base[n] != '\0' && base[n] != '.' && n < kNameLimit; ++n) {
    char c = base[n];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '-') c = '_';
    variable[n] = c;
  }
  strcpy(variable + n, "_LOG");
  const char *path = Agetenv(variable);
  if (path == nullptr || path[0] == '\0' || same_name(path, fs_settings().log_file))
    return kSharedLog;
  for (int32_t i = 0; i < s.log_count; ++i)
    if (same_name(s.logs[i].name, path)) return i;
  if (strlen(path) >= kNameLimit) return log_fail(kLogNotFound), -2;
  if (s.log_count == s.log_capacity) {
    int32_t grown = s.log_capacity ? s.log_capacity * 2 : 4;
    void *p = s.logs
                  ? KEL_REALLOC(s.logs, static_cast<uint32_t>(grown * sizeof(PerFileLog)))
                  : KEL_ALLOC(static_cast<uint32_t>(grown * sizeof(PerFileLog)), "log list entry");
    if (p == nullptr) return log_fail(kLogNoMemory), -2;
    s.logs = static_cast<PerFileLog *>(p);
    s.log_capacity = grown;
  }
  int32_t handle = Alayer_open(path, kOpenCreateAtEnd);
  if (handle < 0) return log_fail(error_of_errno(false)), -2;
  PerFileLog &l = s.logs[s.log_count];
  l.handle = handle;
  strcpy(l.name, path);
  l.state = 0;
  return s.log_count++;
}

bool lock_logs() {
  State &s = state();
  if (log_device()) {
    if (!open_lock_file() || !lock(s.lock_file)) return false;
  } else if (s.shared >= 0 && !lock(s.shared)) {
    return false;
  }
  for (int32_t i = 0; i < s.log_count; ++i)
    if (!lock(s.logs[i].handle)) return false;
  return true;
}

void unlock_logs() {
  State &s = state();
  log_flush();
  if (s.lock_file >= 0) Alayer_lock(s.lock_file, 0, 1, kUnlock);
  if (s.shared >= 0) Alayer_lock(s.shared, 0, 1, kUnlock);
  for (int32_t i = 0; i < s.log_count; ++i) Alayer_lock(s.logs[i].handle, 0, 1, kUnlock);
}

bool check_ends() {
  State &s = state();
  if (log_device()) {
    uint8_t flag = 0;
    if (Alayer_pread(layer_fd(s.lock_file), &flag, 1, 0) < 0) return log_fail(kLogIoFailed);
    if (flag != 0) return log_fail(kLogNoEndMark);
    // A device cannot be positioned; a file used as one is appended to.
    if (s.shared >= 0) Alayer_seek(s.shared, 0, SEEK_END);
  } else if (s.shared >= 0 && !ends_with_mark(s.shared)) {
    return false;
  }
  for (int32_t i = 0; i < s.log_count; ++i)
    if (!ends_with_mark(s.logs[i].handle)) return false;
  return true;
}

bool set_device_flag(uint8_t value) {
  State &s = state();
  if (!log_device()) return true;
  if (Alayer_pwrite(layer_fd(s.lock_file), &value, 1, 0) != 1) return log_fail(kLogIoFailed);
  return true;
}

bool log_flush() {
  State &s = state();
  if (s.buffered == 0) return true;
  uint32_t n = s.buffered;
  s.buffered = 0;
  return raw_write(s.buffer_handle, s.buffer, n);
}

bool log_out(int32_t handle, const uint8_t *data, uint32_t length) {
  State &s = state();
  if (s.buffer == nullptr && fs_settings().log_buffer_size > 0) {
    uint32_t size = static_cast<uint32_t>(fs_settings().log_buffer_size);
    s.buffer = static_cast<uint8_t *>(KEL_ALLOC(size, "log file output buffer"));
    if (s.buffer == nullptr) return log_fail(kLogNoMemory);
    s.buffer_size = size;
  }
  if (s.buffer_size == 0) return raw_write(handle, data, length);
  if (s.buffered > 0 && (s.buffer_handle != handle || length > s.buffer_size - s.buffered))
    if (!log_flush()) return false;
  if (length > s.buffer_size) return raw_write(handle, data, length);
  memcpy(s.buffer + s.buffered, data, length);
  s.buffered += length;
  s.buffer_handle = handle;
  return true;
}

bool put_record(int32_t handle, uint16_t type, uint32_t time, const uint8_t *data, uint32_t length,
                bool end_mark) {
  uint8_t header[kLogHeaderSize];
  store_be16(header + kLogLength, static_cast<uint16_t>(length + (end_mark ? kEndMarkSize : 0)));
  store_be16(header + kLogType, type);
  store_be32(header + kLogTime, time);
  return log_out(handle, header, kLogHeaderSize) && log_out(handle, data, length) &&
         (!end_mark || log_out(handle, kEndMark, kEndMarkSize));
}

}  // namespace kel::txlog
