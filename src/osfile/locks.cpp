// The lock primitive and Afcntl, the one place that calls fcntl for
// byte-range locks. Stateless: the process-wide facts it needs (the
// large-file setting, the trace switch) belong to other modules.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"

namespace {

const char *command_name(int32_t cmd) {
  switch (cmd) {
    case A_F_GETLK:
      return "F_GETLK";
    case A_F_SETLK:
      return "F_SETLK";
    case A_F_SETLKW:
      return "F_SETLKW";
    case A_F_GETLK64:
      return "F_GETLK64";
    case A_F_SETLK64:
      return "F_SETLK64";
    case A_F_SETLKW64:
      return "F_SETLKW64";
    default:
      return "BOGUS";
  }
}

const char *type_name(int32_t type) {
  switch (type) {
    case F_RDLCK:
      return "F_RDLCK";
    case F_WRLCK:
      return "F_WRLCK";
    case F_UNLCK:
      return "F_UNLCK";
    default:
      return "BOGUS";
  }
}

// One trace line, written as a whole. It shows the request record as it
// stands after the call, so that a test (F_GETLK) shows its answer.
void trace_call(int32_t fd, int32_t cmd, bool large, const ALockRequest &rq, int32_t ret,
                int saved_errno) {
  char line[320];
  int n = snprintf(line, sizeof line, "V: Afcntl(): fd=%d cmd=%s", fd, command_name(cmd));
  n += snprintf(line + n, sizeof line - n, " l_type=%s l_whence=%d", type_name(rq.type), rq.whence);
  if (large) {
    n += snprintf(line + n, sizeof line - n, " l_start=%lld l_len=%lld",
                  static_cast<long long>(rq.start), static_cast<long long>(rq.length));
  } else {
    n += snprintf(line + n, sizeof line - n, " l_start=%ld l_len=%ld", static_cast<long>(rq.start),
                  static_cast<long>(rq.length));
  }
  n += snprintf(line + n, sizeof line - n, " ret=%d", ret);
  if (ret == -1) {
    snprintf(line + n, sizeof line - n, " errno=%d\n", saved_errno);
  } else {
    snprintf(line + n, sizeof line - n, "\n");
  }
  eprintf("%s", line);
}

bool fits_32(int64_t v) {
  return v >= INT32_MIN && v <= INT32_MAX;
}

int32_t map_failure(int e) {
  switch (e) {
    case ENOLCK:
    case EDEADLK:
    case ENOSPC:
    case EMFILE:
      return 2;
    case EAGAIN:
    case EACCES:
      return 1;
    default:
      return -1;
  }
}

bool refused(int e) {
  return e == EAGAIN || e == EACCES;
}

struct Commands {
  int32_t get, set, set_wait;
};

Commands commands() {
  if (kel::large_file_api()) return {A_F_GETLK64, A_F_SETLK64, A_F_SETLKW64};
  return {A_F_GETLK, A_F_SETLK, A_F_SETLKW};
}

// A refused non-waiting lock is followed by a test of the same range with
// the same lock type, so that only a holder that really conflicts is named.
// A holder can let go between the refusal and the test; then the lock is
// tried again, 11 attempts in all.
constexpr int kLockAttempts = 11;

int32_t lock_without_wait(int32_t fd, int16_t type, int64_t start, int64_t length) {
  Commands c = commands();
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    ALockRequest rq{type, 0, start, length, 0};
    if (Afcntl(fd, c.set, &rq) != -1) return 0;
    int e = errno;
    if (!refused(e)) return map_failure(e);
    ALockRequest test{type, 0, start, length, 0};
    if (Afcntl(fd, c.get, &test) == -1) {
      *fs_lock_holder() = 0;
      return 1;
    }
    if (test.type != F_UNLCK) {
      *fs_lock_holder() = test.pid;
      return 1;
    }
  }
  *fs_lock_holder() = 0;
  return 1;
}

}  // namespace

// The 32-bit commands pass the request through the 32-bit lock record:
// start and length are cut to 32 bits, and an answer that does not fit
// fails with EOVERFLOW, as the 32-bit system call does.
extern "C" int32_t Afcntl(int32_t fd, int32_t cmd, ALockRequest *request) {
  bool large = false;
  int host = -1;
  switch (cmd) {
    case A_F_GETLK64:
      large = true;
      [[fallthrough]];
    case A_F_GETLK:
      host = F_GETLK;
      break;
    case A_F_SETLK64:
      large = true;
      [[fallthrough]];
    case A_F_SETLK:
      host = F_SETLK;
      break;
    case A_F_SETLKW64:
      large = true;
      [[fallthrough]];
    case A_F_SETLKW:
      host = F_SETLKW;
      break;
    default:
      break;
  }
  int32_t ret = -1;
  int saved_errno = EINVAL;
  if (host != -1) {
    struct flock fl {};
    fl.l_type = request->type;
    fl.l_whence = request->whence;
    fl.l_start = large ? request->start : static_cast<int32_t>(request->start);
    fl.l_len = large ? request->length : static_cast<int32_t>(request->length);
    ret = fcntl(fd, host, &fl);
    saved_errno = errno;
    if (ret != -1 && host == F_GETLK) {
      if (!large && fl.l_type != F_UNLCK &&
          (!fits_32(fl.l_start) || !fits_32(fl.l_len) || !fits_32(fl.l_start + fl.l_len))) {
        ret = -1;
        saved_errno = EOVERFLOW;
      } else {
        request->type = fl.l_type;
        request->whence = fl.l_whence;
        request->start = fl.l_start;
        request->length = fl.l_len;
        request->pid = fl.l_pid;
      }
    }
  }
  if (kel::trace_on(kel::kTraceLocks)) trace_call(fd, cmd, large, *request, ret, saved_errno);
  errno = saved_errno;
  return ret;
}

extern "C" int32_t Alock_range(int32_t fd, int64_t start, int64_t length, int32_t op) {
  Commands c = commands();
  switch (op) {
    case 0: {
      ALockRequest rq{F_UNLCK, 0, start, length, 0};
      Afcntl(fd, c.set, &rq);
      return 0;
    }
    case 1:
      return lock_without_wait(fd, F_RDLCK, start, length);
    case 2:
      return lock_without_wait(fd, F_WRLCK, start, length);
    case 3: {
      ALockRequest rq{F_WRLCK, 0, start, length, 0};
      if (Afcntl(fd, c.get, &rq) == -1) return map_failure(errno);
      if (rq.type == F_UNLCK) return 0;
      *fs_lock_holder() = rq.pid;
      return 1;
    }
    case 4:
    case 5: {
      ALockRequest rq{static_cast<int16_t>(op == 4 ? F_RDLCK : F_WRLCK), 0, start, length, 0};
      if (Afcntl(fd, c.set_wait, &rq) != -1) return 0;
      return map_failure(errno);
    }
    default:
      errno = EINVAL;
      return -1;
  }
}
