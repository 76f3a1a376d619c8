// The file table: sharing rules and the lock band between processes, one
// descriptor per file inside a process, record locks, the trace of the lock
// calls (rows of osfile/calls.txt), failures and the helpers around files.
// The update lock on byte 0 is decided by the indexed engine's process
// test.
#include "osfile/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "common/fails.h"
#include "common/faults.h"
#include "common/golden.h"
#include "common/lock_probe.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

// What a step of the other process answers when its call failed.
constexpr int64_t refused(int16_t code) {
  return -100 - code;
}
int64_t answer(bool ok, int64_t value) {
  return ok ? value : refused(*fs_error_code());
}

// The other process, forked before this one opens anything (it must not
// inherit the file table). Its steps work on `path`.
struct Peer {
  explicit Peer(const std::string &path)
      : worker({[path](int64_t mode) {  // open: the file number
                  int32_t f = Aopen(path.c_str(), static_cast<int32_t>(mode));
                  return answer(f >= 0, f);
                },
                [](int64_t file) { return answer(Aclose(int32_t(file)) == 1, 1); },
                [](int64_t file_and_offset) {  // lock: the file number in the low 16 bits
                  *fs_lock_holder() = 0;
                  int32_t rc = Arec_lock64(file_and_offset & 0xFFFF, file_and_offset >> 16, 1);
                  return answer(rc == 0, 0);
                },
                [](int64_t) -> int64_t { return *fs_lock_holder(); },
                [](int64_t) -> int64_t { return setgid(65534) == 0 && setuid(65534) == 0; }}) {}
  int64_t open(int mode) { return worker.run(0, mode); }
  int64_t close(int64_t file) { return worker.run(1, file); }
  int64_t lock(int64_t file, int64_t offset) { return worker.run(2, offset << 16 | file); }
  pid_t holder() { return static_cast<pid_t>(worker.run(3)); }
  bool become_nobody() { return worker.run(4) == 1; }
  bool can_open(int mode) {
    int64_t f = open(mode);
    return f >= 0 && close(f) == 1;
  }
  Worker worker;
};

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    write_file(path_, std::string(1000, 'd'));
  }
  void TearDown() override { Afree_files(); }
  // What another process sees locked in [start, start + length).
  std::string seen(int64_t start, int64_t length) { return lock_seen(path_, start, length); }
  TempDir dir_;
  std::string path_ = dir_ / "data";
};

int access_mode(int fd) {
  return fcntl(fd, F_GETFL) & O_ACCMODE;
}

// The calls of the rows of osfile/calls.txt: an open by its number, the
// other process's opens by theirs; a failed call shows its error codes, a
// step the other process was refused "refused" and the code.
std::vector<std::pair<int, int>> g_renumbered;

std::string said(int64_t result, bool failed) {
  return std::to_string(result) + (failed ? " error " + std::to_string(*fs_error_code()) + "/" +
                                                std::to_string(*fs_error_secondary())
                                          : "");
}

std::string peer_said(int64_t answer) {
  return answer <= refused(0) ? "refused " + std::to_string(refused(0) - answer)
                              : std::to_string(answer);
}

class FileRows : public FilesTest {
 protected:
  Verbs verbs() {
    auto n = [](const Words &a, size_t i) { return static_cast<int32_t>(number(a.at(i))); };
    auto path = [this](const Words &a, size_t i) {
      return a.size() <= i ? path_ : a[i][0] == '/' ? a[i] : dir_ / a[i];
    };
    // A call on one or two paths, 1 on success.
    auto on_paths = [path](int32_t (*call)(const char *, const char *)) {
      return [path, call](const Words &a) {
        int32_t rc = call(path(a, 0).c_str(), path(a, 1).c_str());
        return said(rc, rc != 1);
      };
    };
    auto flag = [](bool &setting) {
      return act([&setting](const Words &a) { setting = number(a.at(0)) != 0; });
    };
    auto held = [this] {
      pid_t holder = *fs_lock_holder();
      return holder == 0          ? ""
             : holder == getpid() ? " held here"
             : peer_ && holder == peer_->worker.pid()
                 ? " held by the other process"
                 : " held by process " + std::to_string(holder);
    };
    FsSettings &s = fs_settings();
    return {
        {"begin", act([this] {
           Afree_files();
           reset_fs_settings();
           force_large_file_api(0);
           peer_.reset();
           set_descriptor_renumber_hook(nullptr);
           if (raw_ >= 0) close(std::exchange(raw_, -1));
         })},
        // From here on each change of a file's descriptor is noted.
        {"watch_renumbering", act([] {
           set_descriptor_renumber_hook(
               [](int32_t from, int32_t to) { g_renumbered.emplace_back(from, to); });
         })},
        // The other process, forked with this one's settings before this
        // one opens anything (it must not inherit the file table).
        {"fork", act([this] { peer_.emplace(path_); })},
        {"limit_1tb", flag(s.large_file_limit_1tb)},
        {"limit_2tb", flag(s.large_file_limit_2tb)},
        {"internal_locks", flag(s.internal_locks)},
        {"open_files_once", flag(s.open_files_once)},
        {"queue_readers", flag(s.queue_readers)},
        {"max_locks", act([n](const Words &a) { fs_settings().max_locks = n(a, 0); })},
        {"max_files", act([n](const Words &a) { fs_settings().max_files = n(a, 0); })},
        {"large_files", act([n](const Words &a) { force_large_file_api(n(a, 0)); })},
        // Each change since the last: the old descriptor closed or not,
        // and the opens that hold the new one.
        {"renumbered",
         [](const Words &) {
           std::string out;
           for (auto [from, to] : std::exchange(g_renumbered, {})) {
             out += std::string(out.empty() ? "" : ", ") +
                    (fcntl(from, F_GETFD) == -1 ? "closed" : "open") + ", now that of";
             for (int32_t f = 0; f < 8; ++f)
               if (Ahold_file(f, 0) == to) out += " " + std::to_string(f);
           }
           return out.empty() ? std::string("none") : out;
         }},
        // MODE [FILE]
        {"open",
         [path](const Words &a) {
           int32_t f = Aopen(path(a, 1).c_str(), static_cast<int32_t>(number(a.at(0))));
           return said(f, f < 0);
         }},
        {"open32",
         [this](const Words &a) {
           int32_t f = Aopen32(path_.c_str(), static_cast<int32_t>(number(a.at(0))));
           return said(f, f < 0);
         }},
        {"close",
         [n](const Words &a) {
           int32_t rc = Aclose(n(a, 0));
           return said(rc, rc != 1);
         }},
        // F OFFSET OP: the holder of a refused lock is named.
        {"lock",
         [this, n, held](const Words &a) {
           *fs_lock_holder() = 0;
           int32_t rc = Arec_lock64(n(a, 0), number(a.at(1)), n(a, 2));
           return said(rc, rc != 0) + held();
         }},
        // The lock calls on a descriptor of the file of its own ("raw",
        // shown as F in the trace): afcntl F|-1 CMD TYPE START LENGTH, and
        // lock_range START LENGTH OP, which names the holder.
        {"raw", act([this] { raw_ = open(path_.c_str(), O_RDWR); })},
        {"afcntl",
         [this, n](const Words &a) {
           ALockRequest rq{static_cast<int16_t>(n(a, 2)), 0, number(a.at(3)), number(a.at(4)), 0};
           return std::to_string(Afcntl(a.at(0) == "F" ? raw_ : n(a, 0), n(a, 1), &rq));
         }},
        {"lock_range",
         [this, n, held](const Words &a) {
           *fs_lock_holder() = 0;
           int32_t rc = Alock_range(raw_, number(a.at(0)), number(a.at(1)), n(a, 2));
           return std::to_string(rc) + held();
         }},
        {"trace", act([n](const Words &a) { set_trace_bits(static_cast<uint32_t>(n(a, 0))); })},
        {"locks", [](const Words &) { return std::to_string(record_lock_count()); }},
        {"kept_out",
         [n](const Words &a) { return std::to_string(Afile_writers_kept_out(n(a, 0))); }},
        // What another process sees locked in [START, START + LENGTH).
        {"seen", [this](const Words &a) { return seen(number(a.at(0)), number(a.at(1))); }},
        {"band_top", [](const Words &) { return std::to_string(lock_band_top(false)); }},
        {"slot",
         [n](const Words &a) {
           int64_t slot;
           int32_t length;
           if (!open_lock_slot(n(a, 0), &slot, &length)) return std::string("none");
           return std::to_string(slot) + " " + std::to_string(length);
         }},
        // The access mode of the descriptor an open holds.
        {"descriptor",
         [n](const Words &a) {
           int fd = Ahold_file(n(a, 0), 0), mode = fd < 0 ? -1 : access_mode(fd);
           return std::string(mode == O_RDWR     ? "read-write"
                              : mode == O_RDONLY ? "read-only"
                              : mode == O_WRONLY ? "write-only"
                                                 : "none");
         }},
        {"hold", [n](const Words &a) { return std::to_string(Ahold_file(n(a, 0), n(a, 1))); }},
        // F G [WHICH]: G's descriptor for reading, or for writing (WHICH 1).
        {"same_descriptor",
         [n](const Words &a) {
           int32_t which = a.size() > 2 ? n(a, 2) : 0;
           return std::to_string(Ahold_file(n(a, 0), 0) == Ahold_file(n(a, 1), which));
         }},
        // The other process: open MODE, close F, lock F OFFSET, holder,
        // can_open MODE.
        {"peer",
         [this](const Words &a) {
           const std::string &step = a.at(0);
           int64_t x = a.size() > 1 ? number(a[1]) : 0;
           if (step == "holder")
             return std::string(peer_->holder() == getpid() ? "this process" : "another");
           if (step == "can_open") return std::to_string(peer_->can_open(static_cast<int>(x)));
           return peer_said(step == "open"    ? peer_->open(static_cast<int>(x))
                            : step == "close" ? peer_->close(x)
                                              : peer_->lock(x, number(a.at(2))));
         }},
        {"mkdir", act([path](const Words &a) { mkdir(path(a, 0).c_str(), 0755); })},
        {"mkfifo", act([path](const Words &a) { mkfifo(path(a, 0).c_str(), 0644); })},
        {"link", act([path](const Words &a) { link(path(a, 0).c_str(), path(a, 1).c_str()); })},
        {"write_file", act([path](const Words &a) { write_file(path(a, 0), a.at(1)); })},
        {"file",
         [path](const Words &a) {
           return file_exists(path(a, 0)) ? as_word(read_file(path(a, 0))) : "none";
         }},
        {"rename", on_paths([](const char *from, const char *to) { return Arename(from, to); })},
        {"exists", on_paths([](const char *name, const char *) { return Aexists(name); })},
        {"remove", on_paths([](const char *name, const char *) { return Aremove(name); })},
        {"missing",
         [this](const Words &) {
           return replace_all(fs_missing_file_name(), dir_.path(), "<dir>");
         }},
    };
  }
  std::optional<Peer> peer_;
  int raw_ = -1;
};

// Each row's error codes are its own; what it wrote on the error output
// (the trace) follows it.
TEST_F(FileRows, Calls) {
  StderrCapture err;
  size_t shown = 0;
  EXPECT_TRUE(run_rows("osfile/calls.txt", verbs(), [&] {
    *fs_error_code() = *fs_error_secondary() = 0;
    std::string text = err.text();
    return replace_all(text.substr(std::exchange(shown, text.size())), "fd=" + std::to_string(raw_),
                       "fd=F");
  }));
  set_descriptor_renumber_hook(nullptr);
  set_trace_bits(0);
  if (raw_ >= 0) close(raw_);
}

// Missing files, a handle not in use and a full file table: rows of
// osfile/calls.txt.
TEST_F(FilesTest, OpenFailuresAndTheReadOnlyFallback) {
  // The process out of descriptors.
  int lowest = dup(0);
  close(lowest);
  struct rlimit saved, limit;
  getrlimit(RLIMIT_NOFILE, &saved);
  limit = saved;
  limit.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  int opened = Aopen(path_.c_str(), A_INPUT);
  int16_t code = *fs_error_code();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(failed(opened == -1, E_TOO_MANY_FILES)) << code;
  // Permissions, seen by an unprivileged process.
  if (geteuid() != 0) GTEST_SKIP() << "needs to own files that another user cannot write";
  std::string secret = dir_ / "secret";
  write_file(secret, "s");
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  ASSERT_EQ(0, chmod(path_.c_str(), 0644));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  Peer peer(path_), secret_peer(secret);
  ASSERT_TRUE(peer.become_nobody() && secret_peer.become_nobody());
  EXPECT_EQ(refused(E_PERMISSION), secret_peer.open(A_INPUT));
  EXPECT_EQ(refused(E_PERMISSION), peer.open(A_EXCLUSIVE)) << "needs read-write";
  EXPECT_EQ(refused(E_PERMISSION), peer.open(A_IO | A_READ_ONLY_FALLBACK)) << "input only";
  ASSERT_GE(peer.open(A_EXCLUSIVE | A_READ_ONLY_FALLBACK), 0) << "falls back to read-only";
  int f = Aopen(path_.c_str(), A_EXCLUSIVE | A_IO);
  EXPECT_GE(f, 0) << "the fallback open holds no lock";
  Aclose(f);
}

// Renames, Aexists and Aremove: rows of osfile/calls.txt.
TEST_F(FilesTest, StatAndTheMoveAcrossFileSystems) {
  // Sizes beyond 2 GiB need the large-file setting.
  int fd = open((dir_ / "big").c_str(), O_CREAT | O_RDWR, 0644);
  ASSERT_EQ(0, ftruncate(fd, 3LL << 30));  // sparse
  struct stat st;
  errno = 0;
  EXPECT_EQ(-1, Astat((dir_ / "big").c_str(), &st));
  EXPECT_EQ(EOVERFLOW, errno);
  EXPECT_EQ(-1, Afstat(fd, &st));
  EXPECT_EQ(-1, Astat((dir_ / "none").c_str(), &st));
  EXPECT_EQ(0, Astat(path_.c_str(), &st));
  EXPECT_EQ(1000, st.st_size);
  force_large_file_api(1);
  EXPECT_EQ(0, Astat((dir_ / "big").c_str(), &st));
  EXPECT_EQ(0, Afstat(fd, &st));
  EXPECT_EQ(3LL << 30, st.st_size);
  close(fd);

  // Across file systems the move falls back to the shell's mv.
  struct stat here, there;
  ASSERT_EQ(0, stat(dir_.path().c_str(), &here));
  if (stat("/dev/shm", &there) != 0 || here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system";
  std::string odd = dir_ / "it's a name", away = "/dev/shm/kel test '" + std::to_string(getpid());
  write_file(odd, "moved");
  EXPECT_EQ(1, Arename(odd.c_str(), away.c_str()));
  EXPECT_EQ("moved", read_file(away));
  EXPECT_FALSE(file_exists(odd));
  unlink(away.c_str());
  if (geteuid() != 0) return;
  // A failed mv: nothing moved, and the code says so.
  std::string closed = "/dev/shm/keltest-closed-" + std::to_string(getpid()), source = dir_ / "s";
  ASSERT_EQ(0, mkdir(closed.c_str(), 0755));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  write_file(source, "stays");
  Worker nobody({[](int64_t) -> int64_t { return setgid(65534) == 0 && setuid(65534) == 0; },
                 [&](int64_t) -> int64_t {
                   int32_t rc = Arename(source.c_str(), (closed + "/x").c_str());
                   return rc == 0 ? *fs_error_code() : -1;
                 }});
  ASSERT_EQ(1, nobody.run(0));
  EXPECT_EQ(E_LOCK_TABLE_FULL, nobody.run(1));
  EXPECT_EQ("stays", read_file(source));
  EXPECT_FALSE(file_exists(closed + "/x"));
  rmdir(closed.c_str());
}

TEST_F(FilesTest, OutOfMemoryLeavesNothingHalfDone) {
  *fs_error_code() = 0;  // the error block itself is allocated on first use
  Afree_files();
  const int64_t baseline = alloc_live_blocks();
  EXPECT_EQ(5, FailEachAllocation{.op = [] { return Ainit_files() == 1; }}.run()) << "five tables";
  // The open's copy of the name: no lock left behind by a failure.
  Peer peer(path_);
  int f = -1;
  FailEachAllocation open{.op = [&] { return (f = Aopen(path_.c_str(), A_IO)) >= 0; },
                          .after = [&](int) { EXPECT_TRUE(peer.can_open(A_EXCLUSIVE)); }};
  EXPECT_EQ(1, open.run());
  // Afree_files closes what is still open and frees the names.
  int g = Aopen((dir_ / "other").c_str(), A_OUTPUT);
  int fa = Ahold_file(f, 0), fb = Ahold_file(g, 0);
  Afree_files();
  EXPECT_EQ(baseline, alloc_live_blocks());
  EXPECT_EQ(-1, fcntl(fa, F_GETFD));
  EXPECT_EQ(-1, fcntl(fb, F_GETFD));
  // The host name, cut to the buffer.
  struct utsname u;
  ASSERT_EQ(0, uname(&u));
  char name[65], tiny[4];
  EXPECT_EQ(1, Ahost_name(name, sizeof name));
  EXPECT_STREQ(u.nodename, name);
  EXPECT_EQ(1, Ahost_name(tiny, sizeof tiny));
  EXPECT_EQ(std::string(u.nodename).substr(0, 3), tiny);
  EXPECT_EQ(0, Ahost_name(tiny, 0));
}

}  // namespace
}  // namespace kel::test
