#include "osfile/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/fails.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "messages/diag.h"
#include "support/alloc.h"

namespace kel {
namespace {

using test::failed;
using test::StderrCapture;
using test::TempDir;
using test::Worker;

// --- the other process --------------------------------------------------------

// Requests understood by the worker (the path always comes last):
//   open MODE PATH / close FILE / lock FILE OFFSET -> "rc err sec holder"
//   probe START LENGTH PATH  -> "U|R|W start length pid", a raw F_GETLK for a
//                               write lock, on a descriptor kept open so
//                               that probing never drops the worker's locks
//   rename FROM TO / exists PATH
//   setuid                   -> becomes the unprivileged user 65534
std::string handle(const std::string &request) {
  static std::map<std::string, int> probe_fds;
  std::istringstream in(request);
  std::string op;
  in >> op;
  *fs_error_code() = 0;
  *fs_error_secondary() = 0;
  *fs_lock_holder() = 0;
  int32_t rc = 0;
  if (op == "open") {
    int mode;
    std::string path;
    in >> mode >> path;
    rc = Aopen(path.c_str(), mode);
  } else if (op == "close") {
    int file;
    in >> file;
    rc = Aclose(file);
  } else if (op == "lock") {
    int file;
    int64_t offset;
    in >> file >> offset;
    rc = Arec_lock64(file, offset, 1);
  } else if (op == "probe") {
    int64_t start, length;
    std::string path;
    in >> start >> length >> path;
    if (!probe_fds.count(path)) probe_fds[path] = open(path.c_str(), O_RDONLY);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    if (fcntl(probe_fds[path], F_GETLK, &fl) != 0) return "E " + std::to_string(errno);
    const char *type = fl.l_type == F_UNLCK ? "U" : (fl.l_type == F_RDLCK ? "R" : "W");
    std::ostringstream out;
    out << type << ' ' << fl.l_start << ' ' << fl.l_len << ' ' << fl.l_pid;
    return out.str();
  } else if (op == "rename") {
    std::string from, to;
    in >> from >> to;
    rc = Arename(from.c_str(), to.c_str());
  } else if (op == "exists") {
    std::string path;
    in >> path;
    rc = Aexists(path.c_str());
  } else if (op == "setuid") {
    rc = (setgid(65534) == 0 && setuid(65534) == 0) ? 0 : -1;
  } else {
    return "unknown request";
  }
  std::ostringstream out;
  out << rc << ' ' << *fs_error_code() << ' ' << *fs_error_secondary() << ' ' << *fs_lock_holder();
  return out.str();
}

struct Result {
  int rc = -99, err = -99, sec = -99, holder = -99;
};

Result parse(const std::string &reply) {
  std::istringstream in(reply);
  Result r;
  in >> r.rc >> r.err >> r.sec >> r.holder;
  return r;
}

// Workers are forked before this process opens anything, so that they do
// not inherit its file table.
struct Peer {
  Worker worker{handle};
  Result call(const std::string &request) { return parse(worker.call(request)); }
  Result open(int mode, const std::string &path) {
    return call("open " + std::to_string(mode) + " " + path);
  }
  Result close(int file) { return call("close " + std::to_string(file)); }
  Result lock(int file, int64_t offset) {
    return call("lock " + std::to_string(file) + " " + std::to_string(offset));
  }
  // What a lock test of [start, start + length) sees of the other processes.
  std::string probe(int64_t start, int64_t length, const std::string &path) {
    return worker.call("probe " + std::to_string(start) + " " + std::to_string(length) + " " +
                       path);
  }
  pid_t pid() const { return worker.pid(); }
  // Whether the other process can open the file with `mode` (it closes it
  // again).
  ::testing::AssertionResult can_open(int mode, const std::string &path) {
    Result r = open(mode, path);
    if (r.rc < 0) return ::testing::AssertionFailure() << "error " << r.err;
    return close(r.rc).rc == 1 ? ::testing::AssertionSuccess()
                               : ::testing::AssertionFailure() << "close failed";
  }
};

// A request the other process saw refused with `err`.
::testing::AssertionResult refused(const Result &r, int err) {
  if (r.rc == -1 && r.err == err) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "rc " << r.rc << ", error " << r.err;
}

std::string held(char type, int64_t start, int64_t length, pid_t pid) {
  std::ostringstream out;
  out << type << ' ' << start << ' ' << length << ' ' << pid;
  return out.str();
}

// --- the five kinds of opener ---------------------------------------------------

struct Kind {
  const char *name;
  int mode;
  bool exclusive, deny_write, writer;
};

constexpr Kind kKinds[] = {{"exclusive", 0x202, true, false, true},
                           {"deny-write writer", 0x102, false, true, true},
                           {"deny-write reader", 0x100, false, true, false},
                           {"sharing writer", 0x002, false, false, true},
                           {"sharing reader", 0x000, false, false, false}};

// Exclusive means nobody else; deny-write means no other writer.
bool conflict(const Kind &a, const Kind &b) {
  return a.exclusive || b.exclusive || (a.deny_write && b.writer) || (b.deny_write && a.writer);
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    path_ = dir_ / "data";
    test::write_file(path_, std::string(1000, 'd'));
  }
  // The layer's exit operation: the next case starts with new tables.
  void TearDown() override { Afree_files(); }
  TempDir dir_;
  std::string path_;
};

void check_sharing_matrix(const std::string &path) {
  Peer peer;
  for (const Kind &a : kKinds) {
    for (const Kind &b : kKinds) {
      SCOPED_TRACE(std::string("this process: ") + a.name + ", other: " + b.name);
      int f = Aopen(path.c_str(), a.mode);
      ASSERT_GE(f, 0);
      if (conflict(a, b)) {
        EXPECT_TRUE(refused(peer.open(b.mode, path), E_FILE_LOCKED));
      } else {
        EXPECT_TRUE(peer.can_open(b.mode, path));
      }
      EXPECT_EQ(1, Aclose(f));
    }
  }
}

TEST_F(FilesTest, SharingRulesBetweenProcessesHoldInBothOrders) {
  check_sharing_matrix(path_);
  Afree_files();
  force_large_file_api(1);
  check_sharing_matrix(path_);
}

TEST_F(FilesTest, LockBandSitsJustBelowTheTopForEverySetting) {
  struct Setting {
    const char *name;
    int large;
    bool limit_1tb, limit_2tb, open32;
    int64_t top;
  };
  const Setting settings[] = {{"no large files", 0, false, false, false, 2147483647LL},
                              {"1TB limit", 1, true, false, false, 1099511627775LL},
                              {"2TB limit", 1, false, true, false, 2199023255551LL},
                              {"both limits", 1, true, true, false, 1099511627775LL},
                              {"no limit", 1, false, false, false, INT64_MAX},
                              {"Aopen32 with large files", 1, false, false, true, 2147483647LL}};
  for (const Setting &s : settings) {
    SCOPED_TRACE(s.name);
    Afree_files();
    fs_settings().large_file_limit_1tb = s.limit_1tb;
    fs_settings().large_file_limit_2tb = s.limit_2tb;
    force_large_file_api(s.large);
    Peer peer;
    const int64_t t = s.top;
    struct Expect {
      int mode;
      char type;
      int64_t start, length;
    };
    const Expect expects[] = {
        {0x202, 'W', t - 302, 302},  // the whole band
        {0x102, 'R', t - 201, 1},    // deny-write writer
        {0x100, 'R', t - 301, 1},    // deny-write reader
        {0x002, 'R', t - 200, 1},    // sharing writer
        {0x000, 'R', t - 100, 1},    // sharing reader
    };
    for (const Expect &e : expects) {
      SCOPED_TRACE(e.mode);
      int f = s.open32 ? Aopen32(path_.c_str(), e.mode) : Aopen(path_.c_str(), e.mode);
      ASSERT_GE(f, 0);
      EXPECT_EQ(held(e.type, e.start, e.length, getpid()), peer.probe(t - 302, 302, path_));
      EXPECT_EQ('U', peer.probe(t - 303, 1, path_)[0]);
      EXPECT_EQ('U', peer.probe(t, 1, path_)[0]);
      EXPECT_EQ('U', peer.probe(0, t - 302, path_)[0]) << "nothing below the band";
      int64_t slot;
      int32_t length;
      ASSERT_TRUE(open_lock_slot(f, &slot, &length));
      EXPECT_EQ(e.start, slot);
      EXPECT_EQ(e.length, length);
      EXPECT_EQ(1, Aclose(f));
      EXPECT_EQ('U', peer.probe(t - 302, 302, path_)[0]) << "released at close";
    }
  }
}

TEST_F(FilesTest, OutputOpenIsRefusedWhileAnotherProcessHasTheFileOpen) {
  test::write_file(path_, "keep me");
  Peer peer;
  Result r = peer.open(A_INPUT, path_);
  ASSERT_GE(r.rc, 0);
  EXPECT_TRUE(failed(Aopen(path_.c_str(), A_OUTPUT) == -1, E_FILE_LOCKED));
  EXPECT_EQ("keep me", test::read_file(path_));

  // Extending shares with a reader, keeps the bytes and starts at the end.
  int f = Aopen(path_.c_str(), A_EXTEND);
  ASSERT_GE(f, 0);
  EXPECT_EQ(7, lseek(Ahold_file(f, 0), 0, SEEK_CUR));
  EXPECT_EQ("keep me", test::read_file(path_));
  Aclose(f);

  EXPECT_EQ(1, peer.close(r.rc).rc);
  f = Aopen(path_.c_str(), A_OUTPUT);
  ASSERT_GE(f, 0) << "nobody else has it open now";
  EXPECT_EQ("", test::read_file(path_)) << "output empties the file";
  Aclose(f);

  // Output creates a missing file.
  std::string fresh = dir_ / "fresh";
  f = Aopen(fresh.c_str(), A_OUTPUT);
  ASSERT_GE(f, 0);
  EXPECT_TRUE(test::file_exists(fresh));
  Aclose(f);
}

TEST_F(FilesTest, OpensInsideOneProcessExcludeEachOtherWithInternalLocks) {
  struct Case {
    int existing, added;
    bool conflict;
  };
  const Case cases[] = {
      {A_INPUT, A_OUTPUT, true}, {A_IO, A_OUTPUT, true},  {A_INPUT, 0x200, true},
      {0x200, A_INPUT, true},    {0x100, A_IO, true},     {0x100, A_EXTEND, true},
      {A_IO, 0x100, true},       {A_EXTEND, 0x100, true}, {0x100, 0x100, false},
      {A_INPUT, A_INPUT, false}, {A_IO, A_IO, false},     {A_OUTPUT, A_INPUT, false},
      {0x102, A_INPUT, false},   {0x100, A_INPUT, false}};
  for (bool internal : {true, false}) {
    fs_settings().internal_locks = internal;
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << "internal " << internal << " existing 0x" << std::hex
                                      << c.existing << " added 0x" << c.added);
      int a = Aopen(path_.c_str(), c.existing);
      ASSERT_GE(a, 0);
      int b = Aopen(path_.c_str(), c.added);
      if (internal && c.conflict) {
        EXPECT_TRUE(failed(b == -1, E_FILE_LOCKED));
      } else {
        EXPECT_GE(b, 0);
        Aclose(b);
      }
      Aclose(a);
    }
  }

  // Record locks: a record held through one open refuses the other open.
  fs_settings().internal_locks = true;
  int a = Aopen(path_.c_str(), A_IO);
  int b = Aopen(path_.c_str(), A_IO);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(0, Arec_lock(a, 50, 1));
  *fs_lock_holder() = 0;
  EXPECT_TRUE(failed(Arec_lock(b, 50, 1) == -1, E_REC_LOCKED));
  EXPECT_EQ(getpid(), *fs_lock_holder());
  EXPECT_EQ(0, Arec_lock(a, 50, 0));
  EXPECT_EQ(0, Arec_lock(b, 50, 1));
  EXPECT_EQ(0, Arec_lock(b, 50, 0));
  fs_settings().internal_locks = false;
  EXPECT_EQ(0, Arec_lock(a, 60, 1));
  EXPECT_EQ(0, Arec_lock(b, 60, 1)) << "without internal locks nothing is checked";
  EXPECT_EQ(1, record_lock_count());
  Aclose(a);
  Aclose(b);
  EXPECT_EQ(0, record_lock_count()) << "the last close takes the file's record locks";
}

std::vector<std::pair<int, int>> g_renumbered;
void record_renumber(int32_t old_fd, int32_t new_fd) {
  g_renumbered.emplace_back(old_fd, new_fd);
}

int access_mode(int fd) {
  return fcntl(fd, F_GETFL) & O_ACCMODE;
}

TEST_F(FilesTest, OpensOfOneFileShareOneDescriptorAndKeepTheirLocks) {
  Peer peer;
  set_descriptor_renumber_hook(record_renumber);
  int a = Aopen(path_.c_str(), A_INPUT);
  int b = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  int reader_fd = Ahold_file(a, 0);
  EXPECT_EQ(reader_fd, Ahold_file(b, 0)) << "a plain reader takes the keeper's descriptor";
  EXPECT_TRUE(g_renumbered.empty());

  // A writer brings a read-write descriptor that replaces the reader's.
  int c = Aopen(path_.c_str(), A_IO);
  ASSERT_GE(c, 0);
  int writer_fd = Ahold_file(c, 0);
  EXPECT_EQ(O_RDWR, access_mode(writer_fd));
  EXPECT_EQ(writer_fd, Ahold_file(a, 0));
  EXPECT_EQ(writer_fd, Ahold_file(b, 0));
  ASSERT_EQ(1u, g_renumbered.size());
  EXPECT_EQ(std::make_pair(reader_fd, writer_fd), g_renumbered[0]);
  EXPECT_NE(reader_fd, writer_fd);
  EXPECT_EQ(-1, fcntl(reader_fd, F_GETFD)) << "the old one is closed";
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x100, path_).err) << "a writer is open";
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x200, path_).err);

  // A second writer joins the read-write descriptor.
  int d = Aopen(path_.c_str(), A_IO);
  ASSERT_GE(d, 0);
  EXPECT_EQ(writer_fd, Ahold_file(d, 0));
  EXPECT_EQ(1u, g_renumbered.size());
  EXPECT_EQ(1, Aclose(d));
  EXPECT_EQ(O_RDWR, access_mode(Ahold_file(a, 0))) << "c still writes";

  // When the last writer goes, the readers get a read-only descriptor and
  // their open locks are placed again on it.
  EXPECT_EQ(1, Aclose(c));
  int again_fd = Ahold_file(a, 0);
  EXPECT_EQ(O_RDONLY, access_mode(again_fd));
  EXPECT_EQ(again_fd, Ahold_file(b, 0));
  ASSERT_EQ(2u, g_renumbered.size());
  EXPECT_EQ(std::make_pair(writer_fd, again_fd), g_renumbered[1]);
  EXPECT_TRUE(peer.can_open(0x100, path_)) << "no writer left";
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x200, path_).err) << "the readers' locks came back";
  int64_t t = lock_band_top(false);
  EXPECT_EQ(held('R', t - 100, 1, getpid()), peer.probe(t - 302, 302, path_));

  EXPECT_EQ(1, Aclose(a));
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x200, path_).err) << "b is still open";
  EXPECT_EQ(1, Aclose(b));
  EXPECT_TRUE(peer.can_open(0x200, path_));

  fs_settings().open_files_once = false;
  a = Aopen(path_.c_str(), A_INPUT);
  b = Aopen(path_.c_str(), A_INPUT);
  EXPECT_NE(Ahold_file(a, 0), Ahold_file(b, 0));
  Aclose(a);
  Aclose(b);
  set_descriptor_renumber_hook(nullptr);
}

TEST_F(FilesTest, RecordLockTableHasALimitAndNamesTheHolder) {
  fs_settings().max_locks = 3;
  Peer peer;
  int f = Aopen(path_.c_str(), A_IO);
  ASSERT_GE(f, 0);
  for (int32_t offset : {512, 1024, 1536}) EXPECT_EQ(0, Arec_lock(f, offset, 1));
  EXPECT_EQ(3, record_lock_count());
  EXPECT_TRUE(failed(Arec_lock(f, 2048, 1) == -1, E_LOCK_TABLE_FULL, 2));
  EXPECT_EQ(3, record_lock_count());
  EXPECT_EQ(0, Arec_lock(f, 2048, 2)) << "op 2 does nothing";

  Result w = peer.open(A_IO, path_);
  ASSERT_GE(w.rc, 0);
  EXPECT_EQ(0, peer.lock(w.rc, 2048).rc) << "the refused lock left nothing behind";
  Result r = peer.lock(w.rc, 512);
  EXPECT_TRUE(refused(r, E_REC_LOCKED));
  EXPECT_EQ(getpid(), r.holder);

  *fs_lock_holder() = 0;
  EXPECT_EQ(0, Arec_lock(f, 512, 0));
  EXPECT_EQ(2, record_lock_count());
  EXPECT_TRUE(failed(Arec_lock(f, 2048, 1) == -1, E_REC_LOCKED));
  EXPECT_EQ(peer.pid(), *fs_lock_holder());
  EXPECT_EQ(2, record_lock_count());
  EXPECT_EQ(0, peer.lock(w.rc, 512).rc);

  // Without large files a 64-bit offset keeps its low word only.
  EXPECT_EQ(0, Arec_lock64(f, 0x100000010LL, 1));
  EXPECT_EQ(held('W', 16, 1, getpid()), peer.probe(16, 1, path_));
  EXPECT_EQ(0, Arec_lock64(f, 0x100000010LL, 0));
  EXPECT_EQ('U', peer.probe(16, 1, path_)[0]);
  force_large_file_api(1);
  EXPECT_EQ(0, Arec_lock64(f, 0x100000020LL, 1));
  EXPECT_EQ(held('W', 0x100000020LL, 1, getpid()), peer.probe(0x100000000LL, 0x100, path_));
  Aclose(f);
}

TEST_F(FilesTest, LocksOfAFileSurviveTheCloseOfAnotherOpenOfIt) {
  Peer peer;
  // Own descriptors: closing b's drops every lock of this process on the
  // file, a's record lock and open lock included, unless they are taken
  // again.
  fs_settings().open_files_once = false;
  int a = Aopen(path_.c_str(), A_IO);
  int b = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(0, Arec_lock(a, 100, 1));
  ASSERT_EQ(1, Aclose(b));
  Result w = peer.open(A_IO, path_);
  ASSERT_GE(w.rc, 0);
  Result r = peer.lock(w.rc, 100);
  EXPECT_TRUE(refused(r, E_REC_LOCKED));
  EXPECT_EQ(getpid(), r.holder);
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x200, path_).err);
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x100, path_).err) << "a's writer slot holds";
  peer.close(w.rc);
  Aclose(a);
  EXPECT_EQ(0, record_lock_count());

  fs_settings().open_files_once = true;
  // When the closing open leaves the shared descriptor to the others as it
  // is (readers that queue as writers have a read-write one already), its
  // own slot still goes: another process may deny writers again.
  fs_settings().queue_readers = true;
  int writer = Aopen(path_.c_str(), A_IO);
  int reader = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(writer, 0);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(Ahold_file(writer, 0), Ahold_file(reader, 0));
  ASSERT_EQ(1, Aclose(writer));
  EXPECT_TRUE(peer.can_open(0x100, path_)) << "no writer is left";
  EXPECT_EQ(E_FILE_LOCKED, peer.open(0x200, path_).err) << "the reader's slot holds";
  Aclose(reader);
}

TEST_F(FilesTest, DirectoriesAreRefusedAndDevicesOpenUnlocked) {
  Peer peer;
  std::string sub = dir_ / "sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  for (int mode : {A_INPUT, A_OUTPUT, A_IO})
    EXPECT_TRUE(failed(Aopen(sub.c_str(), mode) == -1, E_FILE_TYPE));

  std::string fifo = dir_ / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  int p = Aopen(fifo.c_str(), A_IO);
  ASSERT_GE(p, 0);
  EXPECT_EQ(1, Afile_unlocked(p));
  EXPECT_EQ(0, Arec_lock(p, 5, 1));
  EXPECT_EQ(0, record_lock_count());
  int64_t slot;
  int32_t length;
  EXPECT_FALSE(open_lock_slot(p, &slot, &length));
  Aclose(p);

  int n1 = Aopen("/dev/null", A_INPUT);
  int n2 = Aopen("/dev/null", A_OUTPUT);
  ASSERT_GE(n1, 0);
  ASSERT_GE(n2, 0) << "no conflict checks for a file that is never locked";
  EXPECT_EQ(1, Afile_unlocked(n2));
  EXPECT_EQ(Ahold_file(n1, 0), Ahold_file(n1, 1));
  Aclose(n1);
  Aclose(n2);

  int f = Aopen(path_.c_str(), A_IO | A_NO_LOCKING);
  ASSERT_GE(f, 0);
  EXPECT_EQ(1, Afile_unlocked(f));
  EXPECT_EQ('U', peer.probe(0, 0, path_)[0]) << "no lock at all";
  EXPECT_TRUE(peer.can_open(0x202, path_));
  Aclose(f);
  f = Aopen(path_.c_str(), A_INPUT);
  EXPECT_EQ(0, Afile_unlocked(f));
  Aclose(f);
}

TEST_F(FilesTest, AfcntlTracesEveryLockCallInOneLine) {
  Peer peer;
  Result w = peer.open(A_IO, path_);
  ASSERT_GE(w.rc, 0);
  ASSERT_EQ(0, peer.lock(w.rc, 40).rc);

  int fd = open(path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  StderrCapture capture;
  set_trace_bits(16);
  ALockRequest rq{F_RDLCK, 0, 5, 1, 0};
  EXPECT_EQ(0, Afcntl(fd, A_F_SETLK, &rq));
  rq = ALockRequest{F_WRLCK, 0, 7, 2, 0};
  EXPECT_EQ(-1, Afcntl(-1, A_F_SETLKW, &rq));
  EXPECT_EQ(-1, Afcntl(fd, 99, &rq));
  rq = ALockRequest{9, 0, 7, 2, 0};
  EXPECT_EQ(-1, Afcntl(fd, A_F_SETLK, &rq));
  // Refused, then tested: the holder is named.
  *fs_lock_holder() = 0;
  EXPECT_EQ(1, Alock_range(fd, 40, 1, 2));
  EXPECT_EQ(peer.pid(), *fs_lock_holder());
  force_large_file_api(1);
  EXPECT_EQ(0, Alock_range(fd, 1LL << 40, 3, 2));
  EXPECT_EQ(0, Alock_range(fd, 1LL << 40, 3, 0));
  set_trace_bits(17);  // other bits do not matter
  EXPECT_EQ(0, Alock_range(fd, 1000, 1, 3));
  set_trace_bits(8);
  EXPECT_EQ(0, Alock_range(fd, 1000, 1, 3));
  // One line a call: "F" stands for the descriptor.
  std::string expected;
  for (std::string line :
       {"F cmd=F_SETLK l_type=F_RDLCK l_whence=0 l_start=5 l_len=1 ret=0",
        "-1 cmd=F_SETLKW l_type=F_WRLCK l_whence=0 l_start=7 l_len=2 ret=-1 errno=9",
        "F cmd=BOGUS l_type=F_WRLCK l_whence=0 l_start=7 l_len=2 ret=-1 errno=22",
        "F cmd=F_SETLK l_type=BOGUS l_whence=0 l_start=7 l_len=2 ret=-1 errno=22",
        "F cmd=F_SETLK l_type=F_WRLCK l_whence=0 l_start=40 l_len=1 ret=-1 errno=11",
        "F cmd=F_GETLK l_type=F_WRLCK l_whence=0 l_start=40 l_len=1 ret=0",
        "F cmd=F_SETLK64 l_type=F_WRLCK l_whence=0 l_start=1099511627776 l_len=3 ret=0",
        "F cmd=F_SETLK64 l_type=F_UNLCK l_whence=0 l_start=1099511627776 l_len=3 ret=0",
        "F cmd=F_GETLK64 l_type=F_UNLCK l_whence=0 l_start=1000 l_len=1 ret=0"})
    expected +=
        "V: Afcntl(): fd=" + (line[0] == 'F' ? std::to_string(fd) + line.substr(1) : line) + "\n";
  EXPECT_EQ(expected, capture.text());
  close(fd);
}

TEST_F(FilesTest, OpenFailuresAndTheReadOnlyFallback) {
  std::string missing = dir_ / "missing";
  EXPECT_TRUE(failed(Aopen(missing.c_str(), A_INPUT) == -1, E_NO_FILE));
  EXPECT_EQ(missing, fs_missing_file_name());
  EXPECT_TRUE(failed(Aopen(missing.c_str(), A_IO) == -1, E_NO_FILE));
  EXPECT_TRUE(test::fails(Aclose(5), E_PARAM));
  EXPECT_EQ(-1, Ahold_file(5, 1));

  Afree_files();
  fs_settings().max_files = 2;
  int a = Aopen(path_.c_str(), A_INPUT);
  int b = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_TRUE(failed(Aopen(path_.c_str(), A_INPUT) == -1, E_TOO_MANY_FILES));
  Aclose(a);
  Aclose(b);

  // The process is out of descriptors.
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit saved, limit;
  getrlimit(RLIMIT_NOFILE, &saved);
  limit = saved;
  limit.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_EQ(-1, Aopen(path_.c_str(), A_INPUT));
  int16_t code = *fs_error_code();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(E_TOO_MANY_FILES, code);

  // Permissions, seen by an unprivileged process.
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  std::string secret = dir_ / "secret", shared = dir_ / "shared";
  test::write_file(secret, "s");
  test::write_file(shared, "r");
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  ASSERT_EQ(0, chmod(shared.c_str(), 0644));
  if (geteuid() != 0) GTEST_SKIP() << "needs to be able to own files the peer cannot write";
  Peer peer;
  ASSERT_EQ(0, peer.call("setuid").rc);
  EXPECT_TRUE(refused(peer.open(A_INPUT, secret), E_PERMISSION));
  EXPECT_TRUE(refused(peer.open(A_EXCLUSIVE, shared), E_PERMISSION)) << "needs read-write";
  EXPECT_TRUE(refused(peer.open(A_IO | A_READ_ONLY_FALLBACK, shared), E_PERMISSION))
      << "only input falls back";
  Result r = peer.open(A_EXCLUSIVE | A_READ_ONLY_FALLBACK, shared);
  ASSERT_GE(r.rc, 0) << "falls back to read-only";
  int f = Aopen(shared.c_str(), A_EXCLUSIVE | A_IO);
  EXPECT_GE(f, 0) << "the fallback open holds no lock";
  Aclose(f);
}

TEST_F(FilesTest, UpdateLockOnByteZero) {
  Peer peer;
  int r = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(r, 0);
  EXPECT_EQ(Ahold_file(r, 0), Ahold_file(r, 1));
  EXPECT_EQ(held('R', 0, 1, getpid()), peer.probe(0, 1, path_));
  EXPECT_EQ(Ahold_file(r, 0), Ahold_file(r, 1)) << "held already: nothing more";
  Arelease_file(r);
  EXPECT_EQ('U', peer.probe(0, 1, path_)[0]);
  Arelease_file(r);  // not held: nothing

  int w = Aopen(path_.c_str(), A_IO);
  ASSERT_GE(w, 0);
  EXPECT_GE(Ahold_file(w, 1), 0);
  EXPECT_EQ(held('W', 0, 1, getpid()), peer.probe(0, 1, path_));
  Arelease_file(w);
  Aclose(w);
  Aclose(r);

  int d = Aopen(path_.c_str(), A_DENY_WRITE | A_IO);
  ASSERT_GE(d, 0);
  EXPECT_GE(Ahold_file(d, 1), 0);
  EXPECT_EQ('U', peer.probe(0, 1, path_)[0]) << "a deny-write open needs no update lock";
  Aclose(d);

  fs_settings().queue_readers = true;
  int q = Aopen(path_.c_str(), A_INPUT);
  ASSERT_GE(q, 0);
  EXPECT_EQ(O_RDWR, access_mode(Ahold_file(q, 0)));
  EXPECT_GE(Ahold_file(q, 1), 0);
  EXPECT_EQ(held('W', 0, 1, getpid()), peer.probe(0, 1, path_)) << "readers queue as writers";
  Aclose(q);
}

TEST_F(FilesTest, RenameExistsRemove) {
  std::string one = dir_ / "one", two = dir_ / "two";
  test::write_file(one, "first");
  test::write_file(two, "second");
  EXPECT_EQ(1, Arename(one.c_str(), two.c_str()));
  EXPECT_EQ("first", test::read_file(two));
  EXPECT_FALSE(test::file_exists(one));
  // A rename onto the same file, by its own name, another spelling of it
  // or another link of it, loses nothing.
  std::string link_name = dir_ / "link";
  ASSERT_EQ(0, link(two.c_str(), link_name.c_str()));
  for (const std::string &same : {two, dir_.path() + "/./two", link_name}) {
    EXPECT_EQ(1, Arename(two.c_str(), same.c_str())) << same;
    EXPECT_EQ("first", test::read_file(two)) << same;
  }
  EXPECT_EQ("first", test::read_file(link_name));
  unlink(link_name.c_str());
  EXPECT_TRUE(test::fails(Arename(one.c_str(), two.c_str()), E_NO_FILE));
  EXPECT_EQ(one, fs_missing_file_name());

  EXPECT_EQ(1, Aexists(two.c_str()));
  EXPECT_TRUE(test::fails(Aexists(one.c_str()), E_NO_FILE));
  std::string sub = dir_ / "sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  EXPECT_TRUE(test::fails(Aremove(sub.c_str()), E_PERMISSION));
  EXPECT_TRUE(test::fails(Aremove(one.c_str()), E_NO_FILE));
  EXPECT_EQ(1, Aremove(two.c_str()));
  EXPECT_FALSE(test::file_exists(two));

  // Across file systems the move falls back to the shell's mv.
  struct stat here, there;
  ASSERT_EQ(0, stat(dir_.path().c_str(), &here));
  if (stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system";
  std::string odd = dir_ / "it's a name";
  test::write_file(odd, "moved");
  std::string away = "/dev/shm/kel test '" + std::to_string(getpid()) + "'";
  EXPECT_EQ(1, Arename(odd.c_str(), away.c_str()));
  EXPECT_EQ("moved", test::read_file(away));
  EXPECT_FALSE(test::file_exists(odd));
  unlink(away.c_str());

  if (geteuid() != 0) return;
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  std::string closed_dir = "/dev/shm/keltest-closed-" + std::to_string(getpid());
  ASSERT_EQ(0, mkdir(closed_dir.c_str(), 0755));
  std::string source = dir_ / "source";
  test::write_file(source, "stays");
  Peer peer;
  ASSERT_EQ(0, peer.call("setuid").rc);
  Result r = peer.call("rename " + source + " " + closed_dir + "/x");
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(E_LOCK_TABLE_FULL, r.err) << "a failed mv";
  EXPECT_EQ("stays", test::read_file(source));
  EXPECT_EQ(E_NO_FILE, peer.call("exists " + closed_dir + "/x").err);
  rmdir(closed_dir.c_str());
}

TEST_F(FilesTest, StatFollowsTheLargeFileSetting) {
  std::string big = dir_ / "big";
  int fd = open(big.c_str(), O_CREAT | O_RDWR, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 3LL << 30));  // sparse
  struct stat st;
  errno = 0;
  EXPECT_EQ(-1, Astat(big.c_str(), &st));
  EXPECT_EQ(EOVERFLOW, errno);
  EXPECT_EQ(-1, Afstat(fd, &st));
  EXPECT_EQ(0, Astat(path_.c_str(), &st));
  EXPECT_EQ(1000, st.st_size);
  EXPECT_EQ(-1, Astat((dir_ / "none").c_str(), &st));
  force_large_file_api(1);
  EXPECT_EQ(0, Astat(big.c_str(), &st));
  EXPECT_EQ(3LL << 30, st.st_size);
  EXPECT_EQ(0, Afstat(fd, &st));
  EXPECT_EQ(3LL << 30, st.st_size);
  close(fd);
}

TEST_F(FilesTest, OutOfMemoryLeavesNothingHalfDone) {
  *fs_error_code() = 0;  // the error block itself is allocated on first use
  Afree_files();
  const int64_t baseline = alloc_live_blocks();
  int32_t rc = -1;
  int failures = test::fail_each_allocation([&] { rc = Ainit_files(); },
                                            [&](int n) {
                                              EXPECT_EQ(0, rc);
                                              EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
                                              EXPECT_EQ(baseline, alloc_live_blocks()) << n;
                                            });
  EXPECT_EQ(1, rc);
  EXPECT_EQ(5, failures) << "five tables";

  // The open's copy of the name.
  const int64_t ready = alloc_live_blocks();
  alloc_fail_nth(1);
  int opened = Aopen(path_.c_str(), A_IO);
  alloc_fail_nth(0);
  EXPECT_TRUE(failed(opened == -1, E_NO_MEMORY));
  EXPECT_EQ(ready, alloc_live_blocks());
  Peer peer;
  EXPECT_TRUE(peer.can_open(A_EXCLUSIVE, path_)) << "no lock was left behind";

  // Afree_files closes what is still open and frees the names.
  int a = Aopen(path_.c_str(), A_IO);
  int b = Aopen((dir_ / "other").c_str(), A_OUTPUT);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  int fa = Ahold_file(a, 0), fb = Ahold_file(b, 0);
  Afree_files();
  EXPECT_EQ(baseline, alloc_live_blocks());
  EXPECT_EQ(-1, fcntl(fa, F_GETFD));
  EXPECT_EQ(-1, fcntl(fb, F_GETFD));
}

TEST(FilesHost, HostNameFitsTheBuffer) {
  struct utsname u;
  ASSERT_EQ(0, uname(&u));
  char name[65];
  EXPECT_EQ(1, Ahost_name(name, sizeof name));
  EXPECT_STREQ(u.nodename, name);
  char tiny[4];
  EXPECT_EQ(1, Ahost_name(tiny, sizeof tiny));
  EXPECT_EQ(std::string(u.nodename).substr(0, 3), tiny);
  EXPECT_EQ(0, Ahost_name(tiny, 0));
}

}  // namespace
}  // namespace kel
