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

namespace kel::test {

namespace {

// In the child: everything but the standard streams is already set up.
[[noreturn]] void exec_kel(const SpawnOptions &o) {
  setsid();
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
  for (const auto &[k, v] : o.env) {
    if (v == kUnset) {
      unsetenv(k.c_str());
    } else {
      setenv(k.c_str(), v.c_str(), 1);
    }
  }
  umask(o.umask_value);
  if (o.fsize_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(o.fsize_limit);
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  signal(SIGPIPE, SIG_DFL);
  alarm(o.alarm_seconds);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(kel_binary()));
  for (const auto &a : o.args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(kel_binary(), argv.data());
  _exit(127);
}

int open_or_die(const std::string &path, int flags) {
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) _exit(125);
  return fd;
}

int decode_status(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunResult spawn_kel(const SpawnOptions &o) {
  signal(SIGPIPE, SIG_IGN);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    int in = o.stdin_path.empty() ? in_pipe[0] : open_or_die(o.stdin_path, O_RDONLY);
    int out = o.stdout_path.empty() ? out_pipe[1]
                                    : open_or_die(o.stdout_path, O_WRONLY | O_CREAT | O_TRUNC);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err_pipe[1], 2);
    exec_kel(o);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult r;
  int in_fd = in_pipe[1];
  if (!o.stdin_path.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  collect_output(out_pipe[0], err_pipe[0], in_fd, o.input, r);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = decode_status(status);
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
    int in = open_or_die(o.stdin_path.empty() ? "/dev/null" : o.stdin_path, O_RDONLY);
    int out = open_or_die(o.stdout_path.empty() ? "/dev/null" : o.stdout_path,
                          O_WRONLY | O_CREAT | O_TRUNC);
    dup2(in, 0);
    dup2(out, 1);
    dup2(slave, 2);
    if (in > 2) close(in);
    if (out > 2) close(out);
    if (slave > 2) close(slave);
    exec_kel(o);
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

}  // namespace kel::test
