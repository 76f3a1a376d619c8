#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sstream>
#include <string>

#include "common/fails.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "support/alloc.h"

namespace kel {
namespace {

bool cloexec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

int open_handles() {
  int n = 0;
  for (int32_t h = 0; h < layer_capacity(); ++h) n += layer_fd(h) >= 0;
  return n;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(rng());
  return s;
}

TEST(LayerFiles, ArrayGrowsByTenAndHandlesStayValid) {
  test::TempDir dir;
  std::vector<int32_t> handles;
  for (int i = 0; i < 10; ++i) {
    handles.push_back(Alayer_open((dir / ("f" + std::to_string(i))).c_str(), 1));
    ASSERT_EQ(i, handles.back());
  }
  EXPECT_EQ(10, layer_capacity());
  handles.push_back(Alayer_open((dir / "f10").c_str(), 1));
  EXPECT_EQ(10, handles.back());
  EXPECT_EQ(20, layer_capacity());
  for (int i = 0; i <= 10; ++i) {
    std::string text = "file " + std::to_string(i);
    ASSERT_EQ(static_cast<int32_t>(text.size()),
              Alayer_write(handles[i], text.data(), static_cast<uint32_t>(text.size())));
    EXPECT_TRUE(cloexec(layer_fd(handles[i])));
  }
  // The first free entry is taken again.
  EXPECT_EQ(0, Alayer_close(handles[3]));
  EXPECT_EQ(-1, layer_fd(handles[3]));
  EXPECT_EQ(3, Alayer_open((dir / "again").c_str(), 1));
  for (int i = 0; i <= 10; ++i) Alayer_close(i);
  for (int i = 0; i <= 10; ++i) {
    if (i == 3) continue;
    EXPECT_EQ("file " + std::to_string(i), test::read_file(dir / ("f" + std::to_string(i))));
  }
  // Closed or never opened handles are refused.
  errno = 0;
  EXPECT_EQ(-1, Alayer_close(3));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(-1, Alayer_write(25, "x", 1));
  EXPECT_EQ(-1, Alayer_read(-1, nullptr, 0));
  layer_files_release();
  EXPECT_EQ(0, layer_capacity());
}

TEST(LayerFiles, AccessModesTruncateAppendAndFailures) {
  test::TempDir dir;
  std::string path = dir / "data";
  // 2: read-write of an existing file only.
  errno = 0;
  EXPECT_EQ(-1, Alayer_open(path.c_str(), 2));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, Alayer_open(path.c_str(), 0));
  EXPECT_FALSE(test::file_exists(path));
  EXPECT_EQ(0, open_handles()) << "a failed open keeps no entry";

  // 1: created.
  int32_t h = Alayer_open(path.c_str(), 1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(10, Alayer_write(h, "0123456789", 10));
  struct stat st;
  ASSERT_EQ(0, Alayer_fstat(h, &st));
  EXPECT_EQ(10, st.st_size);
  EXPECT_EQ(4, Alayer_seek(h, 4, SEEK_SET));
  char buf[16] = {};
  EXPECT_EQ(3, Alayer_read(h, buf, 3));
  EXPECT_STREQ("456", buf);
  EXPECT_EQ(2, Alayer_pwrite(layer_fd(h), "AB", 2, 8));
  EXPECT_EQ(4, Alayer_pread(layer_fd(h), buf, 4, 6));
  EXPECT_EQ("67AB", std::string(buf, 4));
  Alayer_close(h);

  // 3: positioned at the end of the existing bytes.
  h = Alayer_open(path.c_str(), 3);
  EXPECT_EQ(10, Alayer_seek(h, 0, SEEK_CUR));
  EXPECT_EQ(1, Alayer_write(h, "Z", 1));
  Alayer_close(h);
  EXPECT_EQ("01234567ABZ", test::read_file(path));

  // 0: read only.
  h = Alayer_open(path.c_str(), 0);
  EXPECT_EQ(-1, Alayer_write(h, "x", 1));
  EXPECT_EQ(EBADF, errno);
  Alayer_close(h);

  // 0x2000: every write appends, wherever the position is.
  h = Alayer_open(path.c_str(), 2 | 0x2000);
  Alayer_seek(h, 0, SEEK_SET);
  Alayer_write(h, "+", 1);
  Alayer_close(h);
  EXPECT_EQ("01234567ABZ+", test::read_file(path));

  // 0x40: truncated.
  h = Alayer_open(path.c_str(), 2 | 0x40);
  ASSERT_EQ(0, Alayer_fstat(h, &st));
  EXPECT_EQ(0, st.st_size);
  Alayer_close(h);

  EXPECT_EQ(0, Aunlink(path.c_str()));
  EXPECT_FALSE(test::file_exists(path));
  EXPECT_EQ(-1, Aunlink(path.c_str()));
  EXPECT_EQ(ENOENT, errno);
  layer_files_release();
}

TEST(LayerFiles, DupWrapsADescriptorCloseOnExec) {
  test::TempDir dir;
  int fd = open((dir / "d").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  int32_t h = Alayer_dup(fd);
  ASSERT_GE(h, 0);
  EXPECT_NE(fd, layer_fd(h));
  EXPECT_TRUE(cloexec(layer_fd(h)));
  EXPECT_EQ(2, Alayer_write(h, "hi", 2));
  close(fd);
  EXPECT_EQ("hi", test::read_file(dir / "d"));
  Alayer_close(h);
  errno = 0;
  EXPECT_EQ(-1, Alayer_dup(fd));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(0, open_handles());
  layer_files_release();
}

// What another process sees of [start, start + 1) of the file: F_UNLCK or
// the holder.
std::pair<int, pid_t> probe_lock(const std::string &path, off_t start) {
  test::Worker other([&](const std::string &) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock l = {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = 1;
    fcntl(fd, F_GETLK, &l);
    return std::to_string(l.l_type) + " " + std::to_string(l.l_type == F_UNLCK ? 0 : l.l_pid);
  });
  int type = -1, pid = -1;
  std::istringstream(other.call("probe")) >> type >> pid;
  return {type, pid};
}

TEST(LayerFiles, LockPlacesAndRemovesAWriteLock) {
  test::TempDir dir;
  std::string path = dir / "locked";
  int32_t h = Alayer_open(path.c_str(), 1);
  ASSERT_EQ(0, Alayer_lock(h, 100, 10, 1));
  EXPECT_EQ(std::make_pair(static_cast<int>(F_WRLCK), getpid()), probe_lock(path, 105));
  EXPECT_EQ(F_UNLCK, probe_lock(path, 110).first) << "the range ends before 110";
  EXPECT_EQ(F_UNLCK, probe_lock(path, 99).first);
  EXPECT_EQ(0, Alayer_lock(h, 100, 10, 0));
  EXPECT_EQ(F_UNLCK, probe_lock(path, 105).first);
  EXPECT_EQ(0, Alayer_lock(h, 100, 10, 0)) << "unlocking always answers 0";
  Alayer_close(h);
  layer_files_release();
}

TEST(LayerFiles, FullDiskWritesReturnZero) {
  test::TempDir dir;
  int32_t h = Alayer_open((dir / "full").c_str(), 1);
  ASSERT_GE(h, 0);
  std::string block(600, 'b');
  {
    test::FileSizeLimit limit(1000);
    EXPECT_EQ(600, Alayer_write(h, block.data(), 600));
    EXPECT_EQ(400, Alayer_write(h, block.data(), 600)) << "cut short at the limit";
    errno = 0;
    EXPECT_EQ(0, Alayer_write(h, block.data(), 600));
    EXPECT_EQ(EFBIG, errno);
    EXPECT_EQ(0, Alayer_pwrite(layer_fd(h), "x", 1, 5000));
  }
  Alayer_close(h);
  EXPECT_EQ(1000u, test::read_file(dir / "full").size());
  layer_files_release();
}

TEST(FileCopy, CopiesBytesOnly) {
  test::TempDir dir;
  umask(022);
  std::string from = dir / "from", to = dir / "to";
  std::string data = random_bytes(20000, 7);
  test::write_file(from, data);
  chmod(from.c_str(), 0600);
  test::write_file(to, std::string(30000, 'o'));  // longer: truncated
  *fs_error_code() = 0;
  EXPECT_EQ(1, Acopy_file(from.c_str(), to.c_str()));
  EXPECT_EQ(data, test::read_file(to));
  struct stat st;
  ASSERT_EQ(0, stat(to.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777) << "the destination keeps its own mode";

  std::string empty = dir / "empty", empty_copy = dir / "empty.copy";
  test::write_file(empty, "");
  EXPECT_EQ(1, Acopy_file(empty.c_str(), empty_copy.c_str()));
  EXPECT_TRUE(test::file_exists(empty_copy));
  EXPECT_EQ("", test::read_file(empty_copy));
  EXPECT_EQ(0, open_handles());
  layer_files_release();
}

TEST(FileCopy, FailuresSetCode21AndCloseEverything) {
  test::TempDir dir;
  std::string from = dir / "from";
  test::write_file(from, random_bytes(5000, 3));
  *fs_error_code() = 0;
  EXPECT_TRUE(
      test::fails(Acopy_file((dir / "missing").c_str(), (dir / "to").c_str()), E_COPY_FAILED));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(test::file_exists(dir / "to"));

  // Onto itself: refused before the destination is truncated.
  const std::string before = test::read_file(from);
  for (const std::string &same : {from, dir.path() + "/./from"}) {
    *fs_error_code() = 0;
    EXPECT_TRUE(test::fails(Acopy_file(from.c_str(), same.c_str()), E_COPY_FAILED)) << same;
    EXPECT_EQ(before, test::read_file(from));
  }

  *fs_error_code() = 0;
  EXPECT_TRUE(test::fails(Acopy_file(from.c_str(), (dir / "no/such/dir").c_str()), E_COPY_FAILED));
  EXPECT_EQ(0, open_handles()) << "the source is closed when the destination fails";

  // A full disk half-way.
  *fs_error_code() = 0;
  {
    test::FileSizeLimit limit(3000);
    EXPECT_EQ(0, Acopy_file(from.c_str(), (dir / "partial").c_str()));
  }
  EXPECT_EQ(E_COPY_FAILED, *fs_error_code());
  EXPECT_EQ(EFBIG, errno);
  EXPECT_EQ(0, open_handles());
  layer_files_release();
}

TEST(FileCopy, WithoutMemoryTheStackBufferStillCopies) {
  test::TempDir dir;
  std::string from = dir / "from", to = dir / "to";
  std::string data = random_bytes(9000, 11);
  test::write_file(from, data);
  Alayer_close(Alayer_open(from.c_str(), 0));  // the array exists already
  *fs_error_code() = 0;
  int64_t live = alloc_live_blocks();
  alloc_fail_nth(1);  // the copy buffer
  EXPECT_EQ(1, Acopy_file(from.c_str(), to.c_str()));
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ(data, test::read_file(to));
  EXPECT_EQ(live, alloc_live_blocks());

  // Failing the array itself (first use) fails the copy cleanly.
  layer_files_release();
  unlink(to.c_str());
  live = alloc_live_blocks();
  alloc_fail_nth(1);
  EXPECT_EQ(0, Acopy_file(from.c_str(), to.c_str()));
  EXPECT_EQ(E_COPY_FAILED, *fs_error_code());
  EXPECT_EQ(live, alloc_live_blocks());
  EXPECT_EQ(1, Acopy_file(from.c_str(), to.c_str()));
  layer_files_release();
}

}  // namespace
}  // namespace kel
