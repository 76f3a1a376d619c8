// Several processes writing and deleting in one indexed file at the same
// time, each in a key 0 range of its own (so that no operation's outcome
// depends on another's) while key 1 values collide across them. However
// the operations interleave, the file must end sound and hold exactly the
// records each process's own sequence leaves behind, also while the
// writers add segments, and a reader walking the file meanwhile sees every
// walk through in key order. The processes start
// together through a pipe; nothing is asserted about their timing.
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "indexed/access_fixture.h"

namespace kel::test {
namespace {

constexpr const char *kFile = "busy";
constexpr int kWriters = 3;
constexpr int kSteps = 6000;

// Records of 24 to 40 bytes: key 0 six bytes at 0 (the writer's digit,
// then five digits), key 1 two letters at 6 from a small set.
std::string record_of(int writer, int n, std::mt19937 &rng) {
  char k0[8];
  snprintf(k0, sizeof k0, "%d%05d", writer, n);
  std::string r = k0;
  r += static_cast<char>('A' + rng() % 3);
  r += static_cast<char>('A' + rng() % 3);
  size_t length = 24 + rng() % 17;
  while (r.size() < length) r += ' ';
  return r;
}

// The records one writer's sequence leaves (its model), by key 0. The
// writer follows the same sequence, so parent and child agree on it.
template <typename Apply>
std::map<std::string, std::string> run_sequence(int writer, Apply apply) {
  std::mt19937 rng(static_cast<uint32_t>(1000 + writer));
  std::map<std::string, std::string> live;
  for (int step = 0; step < kSteps; ++step) {
    int n = static_cast<int>(rng() % 3000);
    std::string r = record_of(writer, n, rng);
    std::string key = r.substr(0, 6);
    bool remove = rng() % 3 == 0;
    if (remove) {
      if (apply(false, r)) live.erase(key);
    } else if (live.count(key) == 0) {
      if (apply(true, r)) live[key] = r;
    }
  }
  return live;
}

struct Shape {
  int version;
  int32_t segment_size;        // V_SEG_SIZE; 1 gives the smallest segments, 0 the default
  int16_t reader_lock_method;  // the reader's V_LOCK_METHOD: 1 and 2 read unlocked
};

class ConcurrentWriters : public AccessTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(ConcurrentWriters, EveryProcessFindsItsOwnRecordsAndTheFileStaysSound) {
  if (GetParam().segment_size) cfg_set_long("V_SEG_SIZE", 0, GetParam().segment_size);
  DorvexFile *made =
      make_open(kFile, GetParam().version, "40,24,2", "1,0,6,0,1,1,2,6", "1,1,1,100,0");
  ASSERT_NE(nullptr, made);
  ASSERT_EQ(1, v5_close(made));

  int go[2];
  ASSERT_EQ(0, pipe(go));
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char c;
      if (::read(go[0], &c, 1) != 0) _exit(10);  // waits for the start: the end of the pipe
      DorvexFile *f = v5_open(kFile, 2, "0,0,0");
      if (f == nullptr) _exit(11);
      int status = 0;
      run_sequence(w + 1, [&](bool add, const std::string &r) {
        if (add) {
          int rc = v5_write(f, r.data(), static_cast<uint32_t>(r.size()));
          if (rc != 1 && *fs_error_code() != E_DUPLICATE_ALTERNATE) status = 12;
          return status == 0;
        }
        // A record this writer does not hold is not found; anything else
        // is a failure.
        if (v5_delete(f, r.data()) == 1) return true;
        if (*fs_error_code() != E_NOT_FOUND) status = 13;
        return false;
      });
      if (v5_close(f) != 1) status = 14;
      _exit(status);
    }
    children[w] = pid;
  }
  // A reader walks key 0 over and over meanwhile, as kel -o does on a
  // file in use: every walk ends at the end of the file, in key order,
  // with records as the writers write them.
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    close(go[1]);
    char c;
    if (::read(go[0], &c, 1) != 0) _exit(10);
    cfg_set_short("V_LOCK_METHOD", 0, GetParam().reader_lock_method);
    DorvexFile *f = v5_open(kFile, 0, "0,0,0");
    if (f == nullptr) _exit(11);
    for (int walk = 0; walk < 20; ++walk) {
      char record[64] = {};
      if (v5_start(f, record, 0, 0, 1) != 1) {
        if (*fs_error_code() == E_NOT_FOUND) continue;  // nothing written yet
        _exit(12);
      }
      std::string last;
      uint32_t n;
      while ((n = v5_next(f, record)) > 0) {
        std::string r(record, n);
        if (n < 24 || n > 40 || r[6] < 'A' || r[6] > 'C') _exit(13);
        if (r.substr(0, 6) <= last) _exit(14);
        last = r.substr(0, 6);
      }
      if (*fs_error_code() != E_NOT_FOUND) _exit(15);
    }
    _exit(v5_close(f) == 1 ? 0 : 16);
  }
  close(go[0]);
  close(go[1]);  // all writers and the reader start now
  int reader_status = 0;
  ASSERT_EQ(reader, waitpid(reader, &reader_status, 0));
  EXPECT_TRUE(WIFEXITED(reader_status) && WEXITSTATUS(reader_status) == 0)
      << "reader status " << reader_status;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  std::map<std::string, std::string> expected;
  for (int w = 1; w <= kWriters; ++w) {
    std::map<std::string, bool> held;
    auto live = run_sequence(w, [&](bool add, const std::string &r) {
      std::string key = r.substr(0, 6);
      if (add) return held[key] = true;
      bool was = held[key];
      held[key] = false;
      return was;
    });
    expected.insert(live.begin(), live.end());
  }
  ASSERT_GT(expected.size(), 1000u);

  DorvexFile *f = v5_open(kFile, 0, "0,0,0");
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(sound(f));
  std::map<std::string, std::string> found;
  std::string first(40, '\0');
  if (start(f, first, 0, 0, 1) == 1) {
    for (std::string r = next(f); !r.empty(); r = next(f)) found[r.substr(0, 6)] = r;
  }
  EXPECT_EQ(E_NOT_FOUND, *fs_error_code());
  EXPECT_EQ(expected, found);
  // Key 1 holds the same records, each once.
  std::multiset<std::string> by_key1;
  if (start(f, first, 1, 0, 1) == 1) {
    for (std::string r = next(f); !r.empty(); r = next(f)) by_key1.insert(r);
  }
  std::multiset<std::string> want;
  for (auto &[key, r] : expected) want.insert(r);
  EXPECT_EQ(want, by_key1);
  if (GetParam().segment_size) {
    char segments[32] = {};
    ASSERT_EQ(1, v5_info(f, -7, segments));
    EXPECT_GT(atoi(segments), 1) << segments << ": the data grew into more segments";
    EXPECT_GT(atoi(segments + 6), 1) << segments << ": the index grew into more segments";
  }
  EXPECT_EQ(1, v5_close(f));
}

// Version 5; version 4 with the smallest segments, so that the writers
// add data and index segments under each other's feet; version 3; and the
// reader in the two unlocked read modes, retrying what the writers change
// under it.
INSTANTIATE_TEST_SUITE_P(Shapes, ConcurrentWriters,
                         ::testing::Values(Shape{5, 0, 0}, Shape{4, 1, 0}, Shape{3, 0, 0},
                                           Shape{5, 0, 1}, Shape{4, 1, 2}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                           return "v" + std::to_string(info.param.version) +
                                  (info.param.segment_size ? "_small_segments" : "") +
                                  "_reader_method" + std::to_string(info.param.reader_lock_method);
                         });

}  // namespace
}  // namespace kel::test
