// Helpers shared by the tests: temporary folders, whole-file reads and
// writes, and running the built kel with captured output.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kel::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at the
// end of the scope. The constructor can also make it the working folder.
class TempDir {
 public:
  explicit TempDir(bool chdir_into = false);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_cwd_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// An `env` value that removes the variable instead of setting it.
inline constexpr const char *kUnset = "\x01unset";

// Runs `program` with `args` (argv[0] excluded) in folder `cwd`, feeding
// `input` on standard input. `env` entries are set in (or, with the value
// kUnset, removed from) the child's copy of the environment.
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const std::string &input = "", const std::string &cwd = "",
                      const std::map<std::string, std::string> &env = {});

// run_program on the built kel.
RunResult run_kel(const std::vector<std::string> &args, const std::string &input = "",
                  const std::string &cwd = "", const std::map<std::string, std::string> &env = {});

const char *kel_binary();

// A full disk for this process: the soft RLIMIT_FSIZE is lowered to `bytes`
// and SIGXFSZ ignored, so that writes past the limit fail with EFBIG (a
// write that crosses it is cut short). Both are restored at the end of the
// scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  uint64_t old_soft_ = 0;
  void (*old_handler_)(int) = nullptr;
};

// Redirects the error output (file descriptor 2, where the stream layer's
// error stream and so every diagnostic goes) into a temporary file for the
// lifetime of the object; text() returns what was written so far.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;
  std::string text() const;

 private:
  int saved_;
  std::string path_;
};

// Reads a child's standard output and error output (either may be -1)
// into `r` until both end, while feeding `input` into `in_fd` (closed at
// the end; -1 for none).
void collect_output(int out_fd, int err_fd, int in_fd, const std::string &input, RunResult &r);

// Runs `op` with the n-th allocation failing, for n = 1, 2, ... until a
// run meets no failure, and calls `check(n)` after every run that failed.
// The primary error code is cleared before each run. Returns the number
// of runs that failed.
int fail_each_allocation(const std::function<void()> &op, const std::function<void(int)> &check);

}  // namespace kel::test
