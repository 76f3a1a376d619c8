#include "common/test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel::test {

TempDir::TempDir(bool chdir_into) {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/keltest.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  if (chdir_into) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) old_cwd_ = cwd;
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
  }
}

TempDir::~TempDir() {
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
    // nothing sensible to do in a destructor
  }
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void collect_output(int out_fd, int err_fd, int in_fd, const std::string &input, RunResult &r) {
  size_t written = 0;
  if (in_fd >= 0 && input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  char buf[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (out_fd >= 0) {
      fds[n] = {out_fd, POLLIN, 0};
      idx_out = n++;
    }
    if (err_fd >= 0) {
      fds[n] = {err_fd, POLLIN, 0};
      idx_err = n++;
    }
    if (in_fd >= 0) {
      fds[n] = {in_fd, POLLOUT, 0};
      idx_in = n++;
    }
    if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (idx_in >= 0 && fds[idx_in].revents) {
      ssize_t w = write(in_fd, input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 || written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    for (auto [idx, fd, dest] :
         {std::tuple{idx_out, &out_fd, &r.out}, std::tuple{idx_err, &err_fd, &r.err}}) {
      if (idx >= 0 && fds[idx].revents) {
        ssize_t got = read(*fd, buf, sizeof buf);
        if (got > 0) {
          dest->append(buf, static_cast<size_t>(got));
        } else {
          close(*fd);
          *fd = -1;
        }
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
}

RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const std::string &input, const std::string &cwd,
                      const std::map<std::string, std::string> &env) {
  signal(SIGPIPE, SIG_IGN);  // a child that does not read its input
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto &[k, v] : env) {
      if (v == kUnset) {
        unsetenv(k.c_str());
      } else {
        setenv(k.c_str(), v.c_str(), 1);
      }
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult r;
  collect_output(out_pipe[0], err_pipe[0], in_pipe[1], input, r);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

const char *kel_binary() {
  return KEL_BINARY;
}

StderrCapture::StderrCapture() {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/kelcap.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  int tmp = mkstemp(buf.data());
  if (tmp < 0) throw std::runtime_error("mkstemp failed");
  path_ = buf.data();
  fflush(nullptr);
  saved_ = dup(2);
  dup2(tmp, 2);
  close(tmp);
}

StderrCapture::~StderrCapture() {
  fflush(nullptr);
  dup2(saved_, 2);
  close(saved_);
  unlink(path_.c_str());
}

std::string StderrCapture::text() const {
  fflush(nullptr);
  return read_file(path_);
}

int fail_each_allocation(const std::function<void()> &op, const std::function<void(int)> &check) {
  int failures = 0;
  for (int n = 1;; ++n) {
    *fs_error_code() = 0;
    alloc_fail_nth(n);
    op();
    bool failed = alloc_failure_triggered();
    alloc_fail_nth(0);
    if (!failed) return failures;
    ++failures;
    check(n);
  }
}

RunResult run_kel(const std::vector<std::string> &args, const std::string &input,
                  const std::string &cwd, const std::map<std::string, std::string> &env) {
  return run_program(kel_binary(), args, input, cwd, env);
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  struct rlimit lim;
  getrlimit(RLIMIT_FSIZE, &lim);
  old_soft_ = lim.rlim_cur;
  lim.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &lim) != 0) throw std::runtime_error("setrlimit failed");
  old_handler_ = signal(SIGXFSZ, SIG_IGN);
}

FileSizeLimit::~FileSizeLimit() {
  struct rlimit lim;
  getrlimit(RLIMIT_FSIZE, &lim);
  lim.rlim_cur = old_soft_;
  setrlimit(RLIMIT_FSIZE, &lim);
  signal(SIGXFSZ, old_handler_);
}

}  // namespace kel::test
