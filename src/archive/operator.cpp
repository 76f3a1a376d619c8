#include "archive/operator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/fatal.h"
#include "archive/texts.h"
#include "kelfs/errors.h"

namespace kel::archive {

namespace {

struct OperatorState {
  FILE *tty = nullptr;
  bool owned = false;
};
OperatorState g_operator;

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

void tty_read_line(char *buffer, int size) {
  if (g_operator.tty == nullptr) {
    g_operator.tty = open_terminal();
    if (g_operator.tty == nullptr) {
      report_sys_error("console");
      say(kMsgNoTerminal);
      fatal_exit();
    }
    g_operator.owned = true;
  }
  while (fgets(buffer, size, g_operator.tty) == nullptr) {
    // A signal while the operator is asked: the restore under way ends
    // cleanly; any other interruption asks on.
    if (ferror(g_operator.tty) && errno == EINTR) {
      stop_if_interrupted();
      clearerr(g_operator.tty);
      continue;
    }
    say(kMsgNoOperator);
    fatal_exit();
  }
  size_t n = strlen(buffer);
  if (n > 0 && buffer[n - 1] != '\n' && static_cast<int>(n) == size - 1) {
    int c;
    while ((c = fgetc(g_operator.tty)) != EOF && c != '\n') {
    }
  }
}

void operator_use_stream(FILE *stream) {
  operator_release();
  g_operator.tty = stream;
  g_operator.owned = false;
}

void operator_release() {
  if (g_operator.tty && g_operator.owned) fclose(g_operator.tty);
  g_operator = OperatorState{};
}

}  // namespace kel::archive
