// Several processes on one indexed file: a reader here and a writer in a
// worker taking turns step by step (positions that survive the writer's
// inserts and deletes, records the writer holds, a reader's cached blocks
// of a file the writer grew, unlocked reads that meet the writer half-way),
// a writer killed with the file open, the update lock seen from outside,
// and writers and a reader all running at once.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "common/call_script.h"
#include "common/worker.h"
#include "indexed/access/access.h"
#include "indexed/engine_fixture.h"

namespace kel::test {
namespace {

constexpr const char *kFile = "shared";

// The small shape's record with key 0 "%04d" of n, key 1 "kk" and a
// version letter at 10.
std::string rec(int64_t n, char version = 'a') {
  char k0[16];
  snprintf(k0, sizeof k0, "%04d", static_cast<int>(n));
  std::string r = small_shape().record({k0, "kk"});
  r[10] = version;
  return r;
}

int64_t result(bool ok) {
  return ok ? 0 : *fs_error_code();
}

// The writer's steps, each giving 0 or the primary error. A write's
// argument is the key number plus 10000 for each version letter after 'a'.
enum WriterStep { kOpen, kWrite, kDelete };
std::vector<Worker::Step> writer() {
  static DorvexFile *f = nullptr;  // the child's open
  return {
      [](int64_t) { return result((f = v5_open(kFile, KEL_OPEN_IO, "0,0,0")) != nullptr); },
      [](int64_t n) {
        std::string r = rec(n % 10000, static_cast<char>('a' + n / 10000));
        return result(v5_write(f, r.data(), 30) == 1);
      },
      [](int64_t n) { return result(v5_delete(f, rec(n).data()) == 1); },
  };
}

class ProcessTest : public EngineTest {
 protected:
  // Makes the file with the records of `keys` and closes it again, so
  // that nothing is open when a worker is forked.
  void make_file(std::vector<int> keys) {
    DorvexFile *f = small_shape().make_open(kFile);
    ASSERT_NE(nullptr, f);
    for (int k : keys) ASSERT_EQ(1, write(f, rec(k)));
    ASSERT_EQ(1, v5_close(f));
  }
  std::string key0(const std::string &r) { return r.empty() ? "-" : r.substr(0, 4); }
  std::string next_key(DorvexFile *f) { return key0(next(f)); }
};

// A writer killed with the file open, and a reader beside a writer that
// inserts and deletes around its position: rows of golden files.
TEST_F(ProcessTest, FixedCallSequences) {
  for (const char *rows :
       {"indexed/dead_writer_calls.txt", "indexed/reader_beside_writer_calls.txt"}) {
    CallScript script;
    EXPECT_TRUE(script.run(rows));
  }
}

// Records of 1000 bytes with a key of 250 bytes in segments of the
// smallest size: a few hundred records grow the data and the index into
// further segments and the tree by levels. A reader that had the file
// open, and blocks of it cached, before the writer grew it finds the new
// segments, the new roots and the changed nodes.
TEST_F(ProcessTest, AReaderFindsWhatAWriterAddedInNewSegments) {
  FileShape shape{5, nullptr, 1000, 1000, {{{{250, 0}}}}, false, 1};
  RecordGen gen(shape, {{1000, false, true}});
  auto big = [&](int i) {
    std::mt19937 rng(static_cast<uint32_t>(i));
    return gen.with_key0(static_cast<size_t>(i), rng);
  };
  DorvexFile *made = shape.make_open("grow");
  ASSERT_NE(nullptr, made);
  ASSERT_EQ(1, v5_close(made));
  Worker other({[&](int64_t to) {
    static DorvexFile *f = v5_open("grow", KEL_OPEN_IO, "0,0,0");
    static int written = 0;
    for (; written < to; ++written)
      if (v5_write(f, big(written).data(), 1000) != 1) return int64_t{*fs_error_code()};
    return int64_t{0};
  }});
  DorvexFile *f = v5_open("grow", KEL_OPEN_INPUT, "0,0,0");
  ASSERT_NE(nullptr, f);
  auto expect_all = [&](int count) {
    std::map<std::string, std::string> by_key;
    for (int i = 0; i < count; ++i) by_key[big(i).substr(0, 250)] = big(i);
    std::string want;
    for (auto &[key, r] : by_key) want += r + "|";
    EXPECT_TRUE(same(want, walk(f, 0)));
  };
  ASSERT_EQ(0, other.run(0, 20));
  expect_all(20);
  EXPECT_EQ("00001,00001", info(f, -7));
  uint8_t height = f->keys[0].height;
  ASSERT_EQ(0, other.run(0, 400));
  expect_all(400);
  EXPECT_EQ("0000000400", info(f, -4));
  std::string segments = info(f, -7);  // data and index segments
  EXPECT_GT(std::stoi(segments.substr(0, 5)), 1) << segments;
  EXPECT_GT(std::stoi(segments.substr(6, 5)), 1) << segments;
  EXPECT_GT(f->keys[0].height, height);
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(1, v5_close(f));
}

// The update lock is byte 0 of data segment 0: another process sees it
// held while this one has the header.
TEST_F(ProcessTest, TheHeaderIsHeldUnderTheFileWideUpdateLock) {
  make_file({});
  Worker other({[](int64_t) -> int64_t {
    int fd = ::open(kFile, O_RDWR);
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_len = 1;
    int rc = fcntl(fd, F_GETLK, &probe);
    close(fd);
    return rc != 0 ? -1 : probe.l_type;
  }});
  DorvexFile *f = dorvex_open(kFile, KEL_OPEN_IO);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(F_UNLCK, other.run(0));
  ASSERT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
  EXPECT_EQ(F_WRLCK, other.run(0));
  indexed::header_release(f);
  EXPECT_EQ(F_UNLCK, other.run(0));
  dorvex_close(f);
}

// The read probe hands the middle of a read over to the writer once: at
// the point named it runs the waiting writer steps.
Worker *g_writer = nullptr;
std::vector<std::pair<int, int64_t>> g_steps;
const char *g_point = "";

void probe(DorvexFile *, const char *point) {
  if (g_steps.empty() || strcmp(point, g_point) != 0) return;
  for (auto [step, argument] : g_steps) EXPECT_EQ(0, g_writer->run(step, argument));
  g_steps.clear();
}

class UnlockedReads : public ProcessTest {
 protected:
  void SetUp() override {
    ProcessTest::SetUp();
    indexed::set_read_probe(probe);
  }
  void TearDown() override {
    indexed::set_read_probe(nullptr);
    g_writer = nullptr;
    ProcessTest::TearDown();
  }
  // Sets the lock method and starts the writer on a new file.
  void begin(int16_t method) {
    cfg_set_short("V_LOCK_METHOD", 0, 0);
    make_file({10, 20, 30});
    cfg_set_short("V_LOCK_METHOD", 0, method);
    worker_ = std::make_unique<Worker>(writer());
    g_writer = worker_.get();
    ASSERT_EQ(0, worker_->run(kOpen));
  }
  // The statistics the close prints (V_LOCK_METHOD 0x100).
  static std::string close_report(DorvexFile *f) {
    StderrCapture capture;
    EXPECT_EQ(1, v5_close(f));
    return capture.text();
  }
  static bool has(const std::string &text, const std::string &line) {
    return text.find(line) != std::string::npos;
  }
  std::unique_ptr<Worker> worker_;
};

// The writer replaces the record after the reader's position just before
// the reader takes it from its prefetch slot: the fast path sees another
// key (verified) or a moved header (header-checked) and searches the leaf
// it knows, whose stale entry leads to the record of the other key; that
// is noticed as well, and the retry under the lock finds the new record.
TEST_F(UnlockedReads, RetryAfterAWriterChangedTheNextRecord) {
  for (int16_t method : {0x102, 0x101, 0x302}) {
    SCOPED_TRACE(method);
    begin(method);
    DorvexFile *f = v5_open(kFile, KEL_OPEN_IO, "0,0,0");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ("0010", next_key(f));  // fills the prefetch slots
    g_point = "prefetched";
    g_steps = {{kDelete, 20}, {kWrite, 25}};  // 0025 takes the slot 0020 left
    StderrCapture during;
    EXPECT_EQ("0025", next_key(f));
    EXPECT_EQ(0, error());
    EXPECT_TRUE(g_steps.empty());
    std::string debug = during.text();
    EXPECT_EQ("0030", next_key(f));
    EXPECT_TRUE(sound(f));
    std::string report = close_report(f);
    EXPECT_TRUE(has(report, " 1 unlocked reads retried\n")) << report;
    bool verified = method & 0x2;
    EXPECT_EQ(verified, has(report, ">>AR seq_read() mismatches: 1\n")) << report;
    EXPECT_EQ(verified, has(report, ">>AR common_read() mismatches: 1\n")) << report;
    EXPECT_EQ(verified, has(report, ">>AR vi_read_rec() 98,81 detections: 0\n")) << report;
    bool debugging = method & 0x200;
    EXPECT_EQ(debugging, has(debug, ">>AR DBG seq_read() mismatch\n")) << debug;
    EXPECT_EQ(debugging, has(debug, ">>AR DBG common_read() mismatch\n")) << debug;
    worker_.reset();
  }
}

// The writer deletes the record a keyed read has just found: verified mode
// reads a deleted record (a 98,81 detection), header-checked mode sees the
// header moved; both retry under the lock and report the record missing.
// Then the writer replaces a record by one of the same key in the same
// slot: verified mode finds nothing wrong with what it read, header-checked
// mode reads again under the lock; both return the new record.
TEST_F(UnlockedReads, RecordsReplacedUnderKeyedReads) {
  for (int16_t method : {0x102, 0x101}) {
    SCOPED_TRACE(method);
    begin(method);
    DorvexFile *f = v5_open(kFile, KEL_OPEN_IO, "0,0,0");
    ASSERT_NE(nullptr, f);
    g_point = "record";
    g_steps = {{kDelete, 20}};
    EXPECT_TRUE(fails(read(f, rec(20), 0), E_NOT_FOUND));
    g_steps = {{kDelete, 30}, {kWrite, 30 + 2 * 10000}};
    std::string got = read(f, rec(30), 0);
    ASSERT_EQ(30u, got.size());
    EXPECT_EQ('c', got[10]);
    EXPECT_TRUE(g_steps.empty());
    std::string report = close_report(f);
    bool verified = method & 0x2;
    EXPECT_TRUE(
        has(report, verified ? " 1 unlocked reads retried\n" : " 2 unlocked reads retried\n"))
        << report;
    EXPECT_EQ(verified, has(report, ">>AR vi_read_rec() 98,81 detections: 1\n")) << report;
    worker_.reset();
  }
}

// Writers writing and deleting in one file at the same time, each in a
// key 0 range of its own (so that no operation's outcome depends on
// another's) while key 1 values collide across them, and a reader walking
// key 0 over and over meanwhile, as kel -o does on a file in use. However
// the operations interleave, the file must end sound and hold exactly the
// records each writer's own sequence leaves, also while the writers add
// segments; every walk of the reader runs to the end in key order.
// Nothing is asserted about timing.
constexpr int kWriters = 3;
const FileShape kBusy{5, "1,1,1,100,0", 40, 24, {{{{6, 0}}}, {{{2, 6}}, true}}};

// The records one writer's sequence leaves, by key 0; `apply` does (or
// models) each step and says whether it succeeded.
template <typename Apply>
std::map<std::string, std::string> writer_sequence(int writer, Apply apply) {
  RecordGen gen(kBusy, {{kWriters * 3000}, {9}});
  std::mt19937 rng(static_cast<uint32_t>(1000 + writer));
  std::map<std::string, std::string> live;
  for (int step = 0; step < 3000; ++step) {
    std::string r = gen.with_key0(static_cast<size_t>(writer * 3000 + rng() % 3000), rng);
    std::string key = r.substr(0, 6);
    if (rng() % 3 == 0) {
      if (apply(false, r)) live.erase(key);
    } else if (live.count(key) == 0 && apply(true, r)) {
      live[key] = r;
    }
  }
  return live;
}

// A writer's whole sequence in its own process: 0, or what went wrong.
// Writers run with the reader's V_LOCK_METHOD, as every process of an
// installation does: bit value 1 makes them raise the header's
// update-in-progress flag that unlocked readers look for.
int64_t run_writer(int writer, int16_t lock_method) {
  cfg_set_short("V_LOCK_METHOD", 0, lock_method);
  DorvexFile *f = v5_open(kFile, KEL_OPEN_IO, "0,0,0");
  if (f == nullptr) return 1;
  int64_t status = 0;
  writer_sequence(writer, [&](bool add, const std::string &r) {
    if (add) {
      if (v5_write(f, r.data(), static_cast<uint32_t>(r.size())) != 1 &&
          *fs_error_code() != E_DUPLICATE_ALTERNATE)
        status = 2;
      return status == 0;
    }
    // A record this writer does not hold is not found; anything else fails.
    if (v5_delete(f, r.data()) == 1) return true;
    if (*fs_error_code() != E_NOT_FOUND) status = 3;
    return false;
  });
  return v5_close(f) == 1 ? status : 4;
}

// The reader's twenty walks: 0, or what went wrong.
int64_t run_reader(int16_t lock_method) {
  cfg_set_short("V_LOCK_METHOD", 0, lock_method);
  DorvexFile *f = v5_open(kFile, KEL_OPEN_INPUT, "0,0,0");
  if (f == nullptr) return 1;
  for (int walk = 0; walk < 20; ++walk) {
    char record[64] = {};
    if (v5_start(f, record, 0, 0, 1) != 1) {
      if (*fs_error_code() == E_NOT_FOUND) continue;  // nothing written yet
      return 2;
    }
    std::string last;
    for (uint32_t n; (n = v5_next(f, record)) > 0; last.assign(record, 6))
      if (n < 24 || n > 40 || std::string(record, 6) <= last) return 3;
    // A walk ends at E_NOT_FOUND; anything else comes back as 1000 + the
    // code + 100000 x the secondary code, so that a failure names it.
    if (*fs_error_code() != E_NOT_FOUND)
      return 1000 + *fs_error_code() + 100000 * int64_t{*fs_error_secondary()};
  }
  return v5_close(f) == 1 ? 0 : 5;
}

TEST_F(ProcessTest, ConcurrentWritersAndAReaderLeaveEachWritersRecords) {
  struct Case {
    int version;
    int32_t segment_size;  // V_SEG_SIZE; 1 gives the smallest segments
    int16_t lock_method;   // 1 and 2 read unlocked
  };
  for (const Case c : {Case{5, 0, 0}, {4, 1, 0}, {3, 0, 0}, {5, 0, 1}, {4, 1, 2}}) {
    SCOPED_TRACE(std::to_string(c.version) + " " + std::to_string(c.segment_size) + " " +
                 std::to_string(c.lock_method));
    FileShape shape = kBusy;
    shape.version = c.version;
    shape.segment_size = c.segment_size;
    ASSERT_EQ(1, shape.make(kFile));
    std::vector<std::unique_ptr<Worker>> workers;
    for (int w = 0; w < kWriters; ++w)
      workers.push_back(std::make_unique<Worker>(
          std::vector<Worker::Step>{[w, &c](int64_t) { return run_writer(w, c.lock_method); }}));
    workers.push_back(std::make_unique<Worker>(
        std::vector<Worker::Step>{[&c](int64_t) { return run_reader(c.lock_method); }}));
    for (auto &w : workers) w->begin(0);
    for (auto &w : workers) EXPECT_EQ(0, w->end());
    workers.clear();

    std::map<std::string, std::string> expected;
    for (int w = 0; w < kWriters; ++w) {
      std::set<std::string> held;
      auto live = writer_sequence(w, [&](bool add, const std::string &r) {
        return add ? held.insert(r.substr(0, 6)).second : held.erase(r.substr(0, 6)) > 0;
      });
      expected.insert(live.begin(), live.end());
    }
    ASSERT_GT(expected.size(), 1000u);
    DorvexFile *f = v5_open(kFile, KEL_OPEN_INPUT, "0,0,0");
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(sound(f));
    std::string want;
    std::multiset<std::string> by_key1;
    for (auto &[key, r] : expected) want += r + "|", by_key1.insert(r);
    EXPECT_TRUE(same(want, walk(f, 0)));
    std::string all1 = walk(f, 1);
    std::multiset<std::string> found1;
    for (size_t at = 0, end; (end = all1.find('|', at)) != std::string::npos; at = end + 1)
      found1.insert(all1.substr(at, end - at));
    EXPECT_TRUE(by_key1 == found1) << "key 1 holds the same records, each once";
    if (c.segment_size) {
      std::string segments = info(f, -7);
      EXPECT_GT(std::stoi(segments.substr(0, 5)), 1) << segments;
      EXPECT_GT(std::stoi(segments.substr(6, 5)), 1) << segments;
    }
    EXPECT_EQ(1, v5_close(f));
  }
}

}  // namespace
}  // namespace kel::test
