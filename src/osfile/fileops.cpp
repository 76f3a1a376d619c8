// Whole-file services of the OS layer: rename by link, existence and
// removal tests, stat in the large-file layout, and the host identity.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelfs/errors.h"
#include "osfile/files.h"
#include "support/alloc.h"
#include "support/fail.h"

using kel::fs_fail;

namespace {

// A failed system call as a file-system code: ENOENT is E_NO_FILE (with
// the name kept), EACCES E_PERMISSION, anything else E_SYSERR. The system's
// own number is never left as the code: errno values and file-system codes
// share a range (ENOENT is 2, E_PARAM is 2), so a caller could not tell
// them apart. A refused link (EPERM: a directory, protected hard links)
// also counts as a permission failure for a rename.
void set_errno_error(int e, const char *name, bool eperm_denies = false) {
  if (e == ENOENT) {
    fs_fail(E_NO_FILE);
    fs_set_missing_file_name(name);
  } else if (e == EACCES || (eperm_denies && e == EPERM)) {
    fs_fail(E_PERMISSION);
  } else {
    fs_fail(E_SYSERR);
  }
}

bool plain_shell_word(const char *s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    char c = *s;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              strchr("_./+-,:@%=", c) != nullptr;
    if (!ok) return false;
  }
  return true;
}

// Appends a name as one shell word: as it is when it holds only harmless
// characters (so the usual command reads "mv a b"), otherwise in single
// quotes, so that no name can run a command of its own.
char *append_word(char *out, const char *name) {
  if (plain_shell_word(name)) {
    size_t n = strlen(name);
    memcpy(out, name, n);
    return out + n;
  }
  *out++ = '\'';
  for (; *name; ++name) {
    if (*name == '\'') {
      memcpy(out, "'\\''", 4);
      out += 4;
    } else {
      *out++ = *name;
    }
  }
  *out++ = '\'';
  return out;
}

// "mv %s %s" across devices; 1 when the command succeeded.
int32_t move_across_devices(const char *from, const char *to) {
  size_t size = 4 * (strlen(from) + strlen(to)) + 16;
  kel::MemPtr<char> command(static_cast<char *>(KEL_ALLOC(size, "rename command")));
  if (!command) return 0;
  char *p = command.get();
  memcpy(p, "mv ", 3);
  p = append_word(p + 3, from);
  *p++ = ' ';
  p = append_word(p, to);
  *p = '\0';
  int status = system(command.get());
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 1;
  return fs_fail(E_LOCK_TABLE_FULL);
}

// Whether two names are links of one file (or one name spelt twice).
bool same_file(const char *a, const char *b) {
  struct stat sa, sb;
  return lstat(a, &sa) == 0 && lstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

// An existing `to` is replaced. When `to` already names the same file as
// `from`, nothing is done (as rename(2) does): unlinking `to` first would
// take the file's only name away when the two names are one.
extern "C" int32_t Arename(const char *from, const char *to) {
  int rc = link(from, to);
  if (rc != 0 && errno == EEXIST) {
    if (same_file(from, to)) return 1;
    unlink(to);
    rc = link(from, to);
  }
  if (rc != 0) {
    int e = errno;
    if (e == EXDEV) return move_across_devices(from, to);
    set_errno_error(e, from, true);
    return 0;
  }
  if (unlink(from) != 0) {
    // Both names now lead to the same file: taking the new one away again
    // loses nothing.
    int e = errno;
    unlink(to);
    set_errno_error(e, from, true);
    return 0;
  }
  return 1;
}

extern "C" int32_t Aexists(const char *name) {
  struct stat st;
  if (stat(name, &st) == 0) return 1;
  set_errno_error(errno, name);
  return 0;
}

extern "C" int32_t Aremove(const char *name) {
  struct stat st;
  if (stat(name, &st) != 0) {
    fs_fail(E_NO_FILE);
    fs_set_missing_file_name(name);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    return fs_fail(E_PERMISSION);
  }
  if (unlink(name) == 0) return 1;
  set_errno_error(errno, name);
  return 0;
}

namespace {

// What the 32-bit call would have answered.
int32_t as_32_bit(int32_t rc, struct stat *buffer) {
  if (rc != 0) return rc;
  if (buffer->st_size > INT32_MAX) {
    errno = EOVERFLOW;
    return -1;
  }
  buffer->st_ino = static_cast<uint32_t>(buffer->st_ino);
  return 0;
}

}  // namespace

extern "C" int32_t Astat(const char *name, struct stat *buffer) {
  int32_t rc = stat(name, buffer);
  return kel::large_file_api() ? rc : as_32_bit(rc, buffer);
}

extern "C" int32_t Afstat(int32_t fd, struct stat *buffer) {
  int32_t rc = fstat(fd, buffer);
  return kel::large_file_api() ? rc : as_32_bit(rc, buffer);
}

extern "C" int32_t Ahost_name(char *buffer, size_t size) {
  if (size == 0) return 0;
  struct utsname u;
  if (uname(&u) != 0) {
    buffer[0] = '\0';
    return 0;
  }
  snprintf(buffer, size, "%s", u.nodename);
  return 1;
}

extern "C" int32_t Ahostid(void) {
  return static_cast<int32_t>(gethostid());
}

extern "C" void Async(void) {
  sync();
}
