#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/fails.h"
#include "common/lock_probe.h"
#include "common/test_util.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

class LayerFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(0, open_handles()) << "every handle closed";
    layer_files_release();
  }
  static int open_handles() {
    int n = 0;
    for (int32_t h = 0; h < layer_capacity(); ++h) n += layer_fd(h) >= 0;
    return n;
  }
  std::string size_of(int32_t h) {
    struct stat st;
    return Alayer_fstat(h, &st) == 0 ? std::to_string(st.st_size) : "none";
  }
  TempDir dir_;
  std::string path_ = dir_ / "data";
};

bool cloexec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

TEST_F(LayerFiles, ArrayGrowsByTenAndHandlesStayValid) {
  std::vector<int32_t> handles;
  for (int i = 0; i <= 10; ++i) {
    handles.push_back(Alayer_open((dir_ / ("f" + std::to_string(i))).c_str(), 1));
    ASSERT_EQ(i, handles.back());
    EXPECT_EQ(i < 10 ? 10 : 20, layer_capacity());
  }
  for (int i = 0; i <= 10; ++i) {
    std::string text = "file " + std::to_string(i);
    ASSERT_EQ(int32_t(text.size()), Alayer_write(handles[i], text.data(), uint32_t(text.size())));
    EXPECT_TRUE(cloexec(layer_fd(handles[i])));
  }
  EXPECT_EQ(0, Alayer_close(handles[3]));
  EXPECT_EQ(-1, layer_fd(handles[3]));
  EXPECT_EQ(3, Alayer_open((dir_ / "again").c_str(), 1)) << "the first free entry";
  for (int i = 0; i <= 10; ++i) Alayer_close(i);
  EXPECT_EQ("file 10", read_file(dir_ / "f10"));
  // Closed or never opened handles are refused.
  errno = 0;
  EXPECT_EQ(-1, Alayer_close(3));
  EXPECT_EQ(EBADF, errno);
  EXPECT_EQ(-1, Alayer_write(25, "x", 1));
  EXPECT_EQ(-1, Alayer_read(-1, nullptr, 0));
  layer_files_release();
  EXPECT_EQ(0, layer_capacity());
}

TEST_F(LayerFiles, AccessModesTruncateAppendAndFailures) {
  // 2: read-write of an existing file only; 0: read only.
  errno = 0;
  EXPECT_EQ(-1, Alayer_open(path_.c_str(), 2));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, Alayer_open(path_.c_str(), 0));
  EXPECT_FALSE(file_exists(path_));
  EXPECT_EQ(0, open_handles()) << "a failed open keeps no entry";
  // 1: created.
  int32_t h = Alayer_open(path_.c_str(), 1);
  EXPECT_EQ(10, Alayer_write(h, "0123456789", 10));
  EXPECT_EQ("10", size_of(h));
  EXPECT_EQ(4, Alayer_seek(h, 4, SEEK_SET));
  char buf[16] = {};
  EXPECT_EQ(3, Alayer_read(h, buf, 3));
  EXPECT_STREQ("456", buf);
  EXPECT_EQ(2, Alayer_pwrite(layer_fd(h), "AB", 2, 8));
  EXPECT_EQ(4, Alayer_pread(layer_fd(h), buf, 4, 6));
  EXPECT_EQ("67AB", std::string(buf, 4));
  Alayer_close(h);
  // 3: positioned at the end of the existing bytes.
  h = Alayer_open(path_.c_str(), 3);
  EXPECT_EQ(10, Alayer_seek(h, 0, SEEK_CUR));
  EXPECT_EQ(1, Alayer_write(h, "Z", 1));
  Alayer_close(h);
  h = Alayer_open(path_.c_str(), 0);
  EXPECT_EQ(-1, Alayer_write(h, "x", 1));
  EXPECT_EQ(EBADF, errno);
  Alayer_close(h);
  // 0x2000: every write appends, wherever the position is.
  h = Alayer_open(path_.c_str(), 2 | 0x2000);
  Alayer_seek(h, 0, SEEK_SET);
  Alayer_write(h, "+", 1);
  Alayer_close(h);
  EXPECT_EQ("01234567ABZ+", read_file(path_));
  h = Alayer_open(path_.c_str(), 2 | 0x40);
  EXPECT_EQ("0", size_of(h)) << "0x40 truncates";
  Alayer_close(h);
  EXPECT_EQ(0, Aunlink(path_.c_str()));
  EXPECT_EQ(-1, Aunlink(path_.c_str()));
  EXPECT_EQ(ENOENT, errno);
  // A descriptor wrapped by a handle of its own, close-on-exec.
  int fd = open(path_.c_str(), O_RDWR | O_CREAT, 0600);
  h = Alayer_dup(fd);
  EXPECT_NE(fd, layer_fd(h));
  EXPECT_TRUE(cloexec(layer_fd(h)));
  close(fd);
  EXPECT_EQ(2, Alayer_write(h, "hi", 2));
  EXPECT_EQ("hi", read_file(path_));
  Alayer_close(h);
  errno = 0;
  EXPECT_EQ(-1, Alayer_dup(fd));
  EXPECT_EQ(EBADF, errno);
}

TEST_F(LayerFiles, LockAndAFullDisk) {
  int32_t h = Alayer_open(path_.c_str(), 1);
  ASSERT_EQ(0, Alayer_lock(h, 100, 10, 1));
  EXPECT_EQ("W 100 10", lock_seen(path_, 0, 0));
  EXPECT_EQ(0, Alayer_lock(h, 100, 10, 0));
  EXPECT_EQ("U", lock_seen(path_, 0, 0));
  EXPECT_EQ(0, Alayer_lock(h, 100, 10, 0)) << "unlocking always answers 0";
  // A full disk: a write cut short at the limit, then 0.
  std::string block(600, 'b');
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(600, Alayer_write(h, block.data(), 600));
    EXPECT_EQ(400, Alayer_write(h, block.data(), 600));
    errno = 0;
    EXPECT_EQ(0, Alayer_write(h, block.data(), 600));
    EXPECT_EQ(EFBIG, errno);
    EXPECT_EQ(0, Alayer_pwrite(layer_fd(h), "x", 1, 5000));
  }
  Alayer_close(h);
  EXPECT_EQ(1000u, read_file(path_).size());
}

// A copy takes the bytes only: the destination keeps its own mode.
TEST_F(LayerFiles, CopyTakesBytesAndFailsWithCode21) {
  umask(022);
  const std::string from = dir_ / "from", to = dir_ / "to", data = random_data(20000, 7);
  write_file(from, data);
  chmod(from.c_str(), 0600);
  write_file(to, std::string(30000, 'o'));  // longer: truncated
  EXPECT_EQ(1, Acopy_file(from.c_str(), to.c_str()));
  EXPECT_EQ(data, read_file(to));
  struct stat st;
  ASSERT_EQ(0, stat(to.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
  write_file(path_, "");
  EXPECT_EQ(1, Acopy_file(path_.c_str(), (dir_ / "empty").c_str()));
  EXPECT_EQ("", read_file(dir_ / "empty"));
  // Failures: a missing source, a copy onto itself (refused before the
  // destination is truncated), a missing folder, a full disk half-way.
  const std::string missing = dir_ / "missing", same = dir_.path() + "/./from";
  const std::string no_folder = dir_ / "no/such/dir", partial = dir_ / "partial";
  const std::pair<const std::string *, const std::string *> copies[] = {
      {&missing, &to}, {&from, &from}, {&from, &same}, {&from, &no_folder}, {&from, &partial}};
  for (const auto &[source, target] : copies) {
    *fs_error_code() = 0;
    int32_t rc;
    {
      FileSizeLimit limit(target == &partial ? 3000 : 1 << 30);
      rc = Acopy_file(source->c_str(), target->c_str());
    }
    EXPECT_TRUE(fails(rc, E_COPY_FAILED)) << *source << " to " << *target;
    EXPECT_EQ(data, read_file(from));
  }
  EXPECT_FALSE(file_exists(dir_ / "missing"));
  // Without memory for the copy buffer a buffer on the stack serves; a
  // failure of the handle array itself (first use) fails the copy.
  int64_t live = alloc_live_blocks();
  alloc_fail_nth(1);
  EXPECT_EQ(1, Acopy_file(from.c_str(), (dir_ / "stack").c_str()));
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ(data, read_file(dir_ / "stack"));
  EXPECT_EQ(live, alloc_live_blocks());
  layer_files_release();
  live = alloc_live_blocks();
  alloc_fail_nth(1);
  EXPECT_TRUE(fails(Acopy_file(from.c_str(), (dir_ / "stack").c_str()), E_COPY_FAILED));
  EXPECT_EQ(live, alloc_live_blocks());
}

}  // namespace
}  // namespace kel::test
