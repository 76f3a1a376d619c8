// Helpers shared by the tests: temporary folders, whole-file reads and
// writes, a full disk and captured error output. (The allocation-failure
// loop and the fault verbs are in faults.h.)
#pragma once

#include <cstdint>
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
// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> folder_entries(const std::string &path);
// `n` bytes drawn from a generator seeded with `seed`: the same on every
// machine.
std::string random_data(size_t n, unsigned seed);

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
  TempDir dir_;  // the file that takes the output
  int saved_;
};

}  // namespace kel::test
