#include "common/test_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kel::test {

TempDir::TempDir(bool chdir_into) {
  const char *base = getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/keltest.XXXXXX";
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  if (chdir_into) {
    old_cwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
  }
}

// Read-only folders inside are made writable again so that all can go.
TempDir::~TempDir() {
  std::error_code ec;
  if (!old_cwd_.empty()) std::filesystem::current_path(old_cwd_, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> folder_entries(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(path, ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string random_data(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(rng());
  return s;
}

StderrCapture::StderrCapture() {
  int tmp = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (tmp < 0) throw std::runtime_error("cannot capture the error output");
  fflush(nullptr);
  // Close-on-exec, so that a child spawned meanwhile does not inherit the
  // saved descriptor (and keep the real error output open behind kel's back).
  saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0) {
    close(tmp);
    throw std::runtime_error("cannot save the error output");
  }
  dup2(tmp, 2);
  close(tmp);
}

StderrCapture::~StderrCapture() {
  fflush(nullptr);
  dup2(saved_, 2);
  close(saved_);
}

std::string StderrCapture::text() const {
  fflush(nullptr);
  return read_file(dir_ / "stderr");
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
