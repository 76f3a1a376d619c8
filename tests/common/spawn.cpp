#include "common/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace kel::test {

namespace {

const char *const kKel = KEL_BINARY;

// Reads a child's standard output and error output into `r` until both
// end.
void collect_output(int out_fd, int err_fd, RunResult &r) {
  char buf[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};  // poll skips -1
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (auto [i, fd, dest] : {std::tuple{0, &out_fd, &r.out}, std::tuple{1, &err_fd, &r.err}}) {
      if (*fd >= 0 && fds[i].revents) {
        ssize_t got = read(*fd, buf, sizeof buf);
        if (got > 0)
          dest->append(buf, static_cast<size_t>(got));
        else
          close(std::exchange(*fd, -1));
      }
    }
  }
}

// The folder where a coverage build's kel run under a file size limit
// would put its counters, and the line it writes for each file it skips.
// Nothing can be made below /proc, so nothing is ever written there (a
// folder elsewhere could be made, even in place of a device that went
// missing).
constexpr const char *kNoCounters = "/proc/kel-no-counters";
constexpr const char *kSkippedCounters = "profiling:/proc/kel-no-counters";

// Drops those lines from text after `from`: they are no output of kel's.
void drop_skipped_counters(std::string *text, size_t from) {
  for (size_t at; (at = text->find(kSkippedCounters, from)) != std::string::npos;) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) break;
    text->erase(at, end + 1 - at);
  }
}

int open_or_die(const std::string &path, int flags) {
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) _exit(125);
  return fd;
}

// In the child: the standard input from o.stdin_path (or /dev/null), the
// output to `out` (-1: o.stdout_path, or /dev/null) and the error output
// to `err`; descriptors beyond those end at the exec (O_CLOEXEC) or here.
[[noreturn]] void exec_kel(const SpawnOptions &o, int out, int err) {
  int in = open_or_die(o.stdin_path.empty() ? "/dev/null" : o.stdin_path, O_RDONLY);
  if (out < 0)
    out = open_or_die(o.stdout_path.empty() ? "/dev/null" : o.stdout_path,
                      O_WRONLY | O_CREAT | O_TRUNC);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int fd : {in, out, err})
    if (fd > 2) close(fd);
  setsid();
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
  for (const auto &[k, v] : o.env) setenv(k.c_str(), v.c_str(), 1);
  umask(o.umask_value);
  if (o.fsize_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(o.fsize_limit);
    setrlimit(RLIMIT_FSIZE, &lim);
    // A coverage build's counters could not be written whole under the
    // limit and would spoil the shared counter files: this run's go
    // nowhere (the variable means nothing to any other build).
    setenv("GCOV_PREFIX", kNoCounters, 1);
  }
  // kel keeps the hang-up, interrupt and quit signals ignored when it was
  // started with them ignored (under nohup, a job in the background of a
  // shell without job control): the runs must not inherit that from the
  // test's own start.
  for (int signo : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT}) signal(signo, SIG_DFL);
  alarm(120);  // a run that hangs is killed by SIGALRM
  std::vector<char *> argv;
  const char *program = o.program != nullptr ? o.program : kKel;
  argv.push_back(const_cast<char *>(program));
  for (const auto &a : o.args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program, argv.data());
  _exit(127);
}

int decode_status(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunResult spawn_kel(const SpawnOptions &o) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    exec_kel(o, o.stdout_path.empty() ? out_pipe[1] : -1, err_pipe[1]);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult r;
  collect_output(out_pipe[0], err_pipe[0], r);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = decode_status(status);
  drop_skipped_counters(&r.err, 0);
  return r;
}

PtySession::PtySession(const SpawnOptions &o) {
  int slave = -1;
  if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  struct termios tio;
  tcgetattr(slave, &tio);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    exec_kel(o, -1, slave);
  }
  close(slave);
}

PtySession::~PtySession() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (master_ >= 0) close(master_);
}

bool PtySession::read_some(int timeout_ms) {
  pollfd p = {master_, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r <= 0) return false;
  char buf[4096];
  ssize_t n = read(master_, buf, sizeof buf);
  if (n <= 0) return false;  // EIO: every holder of the slave has gone
  transcript_.append(buf, static_cast<size_t>(n));
  drop_skipped_counters(&transcript_, consumed_);
  return true;
}

bool PtySession::expect(const std::string &text) {
  for (;;) {
    size_t at = transcript_.find(text, consumed_);
    if (at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    if (!read_some(60000)) return false;
  }
}

void PtySession::send(const std::string &line) {
  std::string l = line + "\n";
  if (write(master_, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
    throw std::runtime_error("pty write failed");
}

void PtySession::send_eof() {
  char eof = 4;  // VEOF of the default terminal settings
  if (write(master_, &eof, 1) != 1) throw std::runtime_error("pty write failed");
}

int PtySession::wait() {
  while (read_some(60000)) {
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = decode_status(status);
  return status_;
}

SpawnOptions KelTest::options(std::vector<std::string> args, const std::string &input,
                              const std::string &cwd) {
  SpawnOptions o;
  o.args = std::move(args);
  o.cwd = cwd.empty() ? dir_.path() : dir_ / cwd;
  o.env["TZ"] = "UTC";
  o.umask_value = 0;
  o.stdin_path = dir_ / ".stdin";
  write_file(o.stdin_path, input);
  return o;
}

}  // namespace kel::test
