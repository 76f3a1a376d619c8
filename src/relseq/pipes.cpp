// Pipe children and the process-wide pipe state (see pipes.h).
#include "pipes.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "config/config.h"
#include "kelfs/errors.h"
#include "relseq/sequential.h"
#include "support/descriptor.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

// Children closed without a wait, reaped at later closes and at shutdown.
// When the list is full the oldest is waited for at once.
constexpr int kMaxUnwaited = 64;

struct PipeState {
  int32_t open_pipes = 0;
  int kept_fd = -1;
  pid_t kept_child = 0;
  bool kept_to_child = false;
  SequentialFile *open_files = nullptr;
  pid_t unwaited[kMaxUnwaited] = {};
  int unwaited_count = 0;
};

PipeState &state() {
  static PipeState s;
  return s;
}

void wait_for(pid_t child) {
  if (child <= 0) return;
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

// Children that have ended meanwhile are reaped without waiting.
void reap_ended() {
  PipeState &s = state();
  int kept = 0;
  for (int i = 0; i < s.unwaited_count; ++i) {
    int status;
    pid_t r = waitpid(s.unwaited[i], &status, WNOHANG);
    if (r == 0) s.unwaited[kept++] = s.unwaited[i];
  }
  s.unwaited_count = kept;
}

void remember_unwaited(pid_t child) {
  PipeState &s = state();
  if (s.unwaited_count == kMaxUnwaited) {
    wait_for(s.unwaited[0]);
    for (int i = 1; i < s.unwaited_count; ++i) s.unwaited[i - 1] = s.unwaited[i];
    --s.unwaited_count;
  }
  s.unwaited[s.unwaited_count++] = child;
}

// In the child: `end` becomes standard input or output (without
// close-on-exec; every other descriptor of ours has it) and the command
// runs. Only async-signal-safe calls from here on.
[[noreturn]] void run_child(int end, int target, const char *command) {
  if (end == target) {
    fcntl(target, F_SETFD, 0);
  } else if (dup2(end, target) < 0) {
    _exit(127);
  }
  execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
  execlp("sh", "sh", "-c", command, static_cast<char *>(nullptr));
  const char *shell = getenv("SHELL");
  if (shell != nullptr && *shell != '\0')
    execl(shell, shell, "-c", command, static_cast<char *>(nullptr));
  _exit(127);
}

}  // namespace

int start_pipe(const char *command, bool to_child, pid_t *child) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return fs_fail(E_SYSERR), -1;
  kel::Descriptor ours(to_child ? ends[1] : ends[0]);
  kel::Descriptor theirs(to_child ? ends[0] : ends[1]);
  pid_t pid = fork();
  if (pid < 0) return fs_fail(E_SYSERR), -1;
  if (pid == 0) run_child(theirs.get(), to_child ? STDIN_FILENO : STDOUT_FILENO, command);
  theirs.reset();
  *child = pid;
  ++state().open_pipes;
  return ours.release();
}

bool take_shared_channel(bool to_child, int *fd, pid_t *child) {
  PipeState &s = state();
  if (s.kept_fd < 0 || s.kept_to_child != to_child) return false;
  *fd = s.kept_fd;
  *child = s.kept_child;
  s.kept_fd = -1;
  s.kept_child = 0;
  return true;
}

// A second kept pipe ends the first: only one channel can be taken over.
void keep_shared_channel(bool to_child, int fd, pid_t child) {
  PipeState &s = state();
  if (s.kept_fd >= 0) end_pipe(s.kept_fd, s.kept_child);
  s.kept_fd = fd;
  s.kept_child = child;
  s.kept_to_child = to_child;
}

void end_pipe(int fd, pid_t child) {
  PipeState &s = state();
  if (fd >= 0) close(fd);
  if (s.open_pipes > 0) --s.open_pipes;
  reap_ended();
  if (s.open_pipes == 0 || cfg_get_bool("WAIT_FOR_ALL_PIPES", 0)) {
    wait_for(child);
  } else if (child > 0) {
    remember_unwaited(child);
  }
}

void register_pipe_file(SequentialFile *f) {
  PipeState &s = state();
  f->next_pipe = s.open_files;
  s.open_files = f;
}

void unregister_pipe_file(SequentialFile *f) {
  for (SequentialFile **p = &state().open_files; *p != nullptr; p = &(*p)->next_pipe) {
    if (*p == f) {
      *p = f->next_pipe;
      return;
    }
  }
}

// The files stay allocated (their callers own them): they are only marked
// ended, so that a later As_close frees them and does nothing else.
void end_pipes() {
  PipeState &s = state();
  if (s.kept_fd >= 0) {
    end_pipe(s.kept_fd, s.kept_child);
    s.kept_fd = -1;
    s.kept_child = 0;
  }
  for (SequentialFile *f = s.open_files; f != nullptr;) {
    SequentialFile *next = f->next_pipe;
    end_pipe(f->descriptor, f->child);
    f->descriptor = -1;
    f->child = 0;
    f->next_pipe = nullptr;
    f = next;
  }
  s.open_files = nullptr;
  for (int i = 0; i < s.unwaited_count; ++i) wait_for(s.unwaited[i]);
  s.unwaited_count = 0;
  s.open_pipes = 0;
}

// SIGPIPE is held back around the write; one raised by this write is
// taken off the pending set again, one that was pending before is left.
ssize_t write_to_pipe(int fd, const void *bytes, size_t length) {
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_set, &old_set);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE);
  ssize_t n;
  do {
    n = write(fd, bytes, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EPIPE && !was_pending) {
    int e = errno;
    timespec zero{0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
    errno = e;
  }
  int e = errno;
  sigprocmask(SIG_SETMASK, &old_set, nullptr);
  errno = e;
  return n;
}

int32_t open_pipe_count() {
  return state().open_pipes;
}

}  // namespace kel::relseq
