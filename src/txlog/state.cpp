#include <cerrno>

#include "config/fs_config.h"
#include "state.h"

namespace kel::txlog {

State &state() {
  static State s;
  return s;
}

bool log_fail(int16_t code) {
  state().error = code;
  return false;
}

int16_t error_of_errno(bool lock) {
  if (lock) return errno == EACCES ? kLogLockRefused : kLogIoFailed;
  switch (errno) {
    case EMFILE:
      return kLogTooManyFiles;
    case ENOENT:
    case EINVAL:
      return kLogNotFound;
    case EACCES:
    case EPERM:
      return kLogPermission;
    default:
      return kLogIoFailed;
  }
}

// The replay of recovery runs with LOGGING off, whatever the variable says:
// a replayed unit must never be appended to a log again.
bool logging_on() {
  return fs_settings().logging != 0 && !state().replaying;
}

bool engines_in_transaction() {
  const State &s = state();
  return s.open && s.suppressed == 0;
}

int16_t *log_error_code() {
  return &state().error;
}

bool transaction_open() {
  return state().open;
}

}  // namespace kel::txlog
