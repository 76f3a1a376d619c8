#include "archive/operator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/texts.h"
#include "kelfs/errors.h"

namespace kel::archive {

namespace {

FILE *open_terminal() {
  if (isatty(STDERR_FILENO)) {
    int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
      FILE *f = fdopen(fd, "r");
      if (f) return f;
      close(fd);
    }
  }
  int fd = open("/dev/tty", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "r");
  if (f == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}

}  // namespace

OperatorState::~OperatorState() {
  if (tty && owned) fclose(tty);
}

Status tty_read_line(OperatorState &op, char *buffer, int size) {
  if (op.tty == nullptr) {
    op.tty = open_terminal();
    if (op.tty == nullptr) {
      report_sys_error("console");
      say(kMsgNoTerminal);
      return Status::kFatal;
    }
    op.owned = true;
  }
  // A signal noted before the question (while the volume ended, while the
  // prompt was written) ends the restore instead of waiting for an answer.
  KEL_RETURN_IF_FATAL(stop_if_interrupted(op.interrupts));
  while (fgets(buffer, size, op.tty) == nullptr) {
    // A signal while the operator is asked: the restore under way ends
    // cleanly; any other interruption asks on.
    if (ferror(op.tty) && errno == EINTR) {
      KEL_RETURN_IF_FATAL(stop_if_interrupted(op.interrupts));
      clearerr(op.tty);
      continue;
    }
    say(kMsgNoOperator);
    return Status::kFatal;
  }
  size_t n = strlen(buffer);
  if (n > 0 && buffer[n - 1] != '\n' && static_cast<int>(n) == size - 1) {
    int c;
    while ((c = fgetc(op.tty)) != EOF && c != '\n') {
    }
  }
  return Status::kOk;
}

void operator_use_stream(OperatorState &op, FILE *stream) {
  if (op.tty && op.owned) fclose(op.tty);
  op.tty = stream;
  op.owned = false;
}

}  // namespace kel::archive
