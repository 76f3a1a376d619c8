// Two processes on one indexed file, taking turns through pipes: a reader
// here, a writer in a forked worker. The reader's position survives the
// writer's inserts and deletes, a record the writer holds is refused and
// tried again, and the unlocked read modes notice a writer at work in the
// middle of a read, retry under the lock and count what they saw.
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <vector>

#include "common/fails.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "config/config.h"
#include "indexed/access/access.h"
#include "indexed/access_fixture.h"
#include "indexed/storage/header.h"

namespace kel::test {
namespace {

constexpr const char *kFile = "shared";

// Records of 30 bytes: key 0 four bytes at 0, key 1 two bytes at 4
// (duplicates), a version letter at 10.
std::string rec(const std::string &k0, char version = 'a') {
  std::string r(30, '.');
  r.replace(0, 4, k0);
  r.replace(4, 2, "kk");
  r[10] = version;
  return r;
}

// The writer: requests are "<command> <key 0> [version]".
std::string writer(const std::string &request) {
  static DorvexFile *f = nullptr;
  static char buffer[64];
  std::istringstream in(request);
  std::string command, key;
  char version = 'a';
  in >> command >> key >> version;
  auto result = [](bool ok) {
    return ok ? std::string("ok") : "error " + std::to_string(*fs_error_code());
  };
  std::string r = rec(key, version);
  if (command == "open") return result((f = v5_open(kFile, 2, "0,0,0")) != nullptr);
  if (command == "write") return result(v5_write(f, r.data(), 30) == 1);
  if (command == "delete") return result(v5_delete(f, r.data()) == 1);
  if (command == "lock") {
    memcpy(buffer, r.data(), 30);
    return result(v5_read(f, buffer, 0) != 0);
  }
  if (command == "unlock") return result(v5_unlock(f) == 1);
  return "unknown request";
}

class ProcessTest : public AccessTest {
 protected:
  // Makes the file with the records of `keys` and closes it again, so
  // that nothing is open when the worker is forked.
  void make_file(std::vector<std::string> keys) {
    DorvexFile *f = make_open(kFile, 5, "30,30,2", "1,0,4,0,1,1,2,4");
    ASSERT_NE(f, nullptr);
    for (const std::string &k : keys) ASSERT_EQ(write(f, rec(k)), 1);
    ASSERT_EQ(v5_close(f), 1);
  }
  std::string key0(const std::string &r) { return r.empty() ? "-" : r.substr(0, 4); }
  std::string next_key(DorvexFile *f) { return key0(next(f)); }
};

// A writer killed with SIGKILL while it has the file open for update
// leaves its count of openers for update behind. While it lived, another
// writer opened the file as usual; once it is gone, every open refuses the
// file (broken, code 25, with a line saying what to run), so that no
// insert lands on a header that may be stale. An open without locks cannot
// tell and opens it; V_FORCE_OPEN lets the records be read; the check that
// finds the file sound clears it.
TEST_F(ProcessTest, AWriterThatEndedLeavesAFileNobodyTrusts) {
  make_file({"0010", "0020"});
  {
    Worker other(writer);
    ASSERT_EQ(other.call("open"), "ok");
    ASSERT_EQ(other.call("write 0030"), "ok");
    DorvexFile *f = v5_open(kFile, 2, "0,0,0");
    ASSERT_NE(f, nullptr) << "a live writer is no dead one";
    ASSERT_EQ(v5_close(f), 1);
    kill(other.pid(), SIGKILL);
  }
  for (int32_t mode : {0, 2, 2 | 0x200}) {
    EXPECT_TRUE(fails(v5_open(kFile, mode, "0,0,0"), E_BROKEN, 25)) << mode;
  }
  StderrCapture report;
  report_fs_error(kFile);
  EXPECT_NE(report.text().find("shared: File broken (code 25)\nshared: left open for update by a "
                               "process that ended; run \"dorvex-tool check shared\""),
            std::string::npos)
      << report.text();
  DorvexFile *f = v5_open(kFile, 0x800, "0,0,0");
  ASSERT_NE(f, nullptr) << error() << "/" << secondary();
  ASSERT_EQ(v5_close(f), 1);
  cfg_set_short("V_FORCE_OPEN", 0, 1);
  f = v5_open(kFile, 2 | 0x200, "0,0,0");
  cfg_set_short("V_FORCE_OPEN", 0, 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(key0(read(f, rec("0030"), 0)), "0030");
  ASSERT_EQ(v5_check(f, V5_CHECK_CLEAR_DEAD_WRITERS), 1) << v5_check_report();
  EXPECT_NE(std::string(v5_check_report())
                .find("result: sound\nleft open for update by a process that ended: cleared\n"),
            std::string::npos)
      << v5_check_report();
  ASSERT_EQ(v5_close(f), 1);
  f = v5_open(kFile, 2, "0,0,0");
  ASSERT_NE(f, nullptr) << error() << "/" << secondary();
  EXPECT_EQ(write(f, rec("0040")), 1);
  EXPECT_EQ(indexed::hget(f, indexed::kRecordCount), 4u);
  ASSERT_EQ(v5_close(f), 1);
}

class NextAcrossWriters : public ProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(NextAcrossWriters, SeesInsertsAndSkipsDeletes) {
  make_file({"0010", "0020", "0030", "0040", "0050"});
  cfg_set_short("V_LOCK_METHOD", 0, static_cast<int16_t>(GetParam()));
  Worker other(writer);
  ASSERT_EQ(other.call("open"), "ok");
  // A reader open for input takes no record locks: the writer may delete
  // the record the reader stands on.
  DorvexFile *f = v5_open(kFile, 0, "0,0,0");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(next_key(f), "0010");
  ASSERT_EQ(other.call("write 0015"), "ok");
  EXPECT_EQ(next_key(f), "0015");
  ASSERT_EQ(other.call("delete 0020"), "ok");
  EXPECT_EQ(next_key(f), "0030");
  ASSERT_EQ(other.call("write 0005"), "ok");   // behind the reader
  ASSERT_EQ(other.call("delete 0030"), "ok");  // the current record itself
  EXPECT_EQ(next_key(f), "0040");
  ASSERT_EQ(other.call("delete 0050"), "ok");
  ASSERT_EQ(other.call("write 0060"), "ok");
  EXPECT_EQ(next_key(f), "0060");
  EXPECT_TRUE(fails(next(f), E_NOT_FOUND));
  ASSERT_EQ(other.call("write 0070"), "ok");
  EXPECT_EQ(key0(previous(f)), "0070");
  EXPECT_EQ(key0(previous(f)), "0060");
  ASSERT_EQ(other.call("delete 0040"), "ok");
  EXPECT_EQ(key0(previous(f)), "0015");
  // The physical scan sees what the writer left; new records took the
  // slots that deletes had freed, latest first.
  ASSERT_EQ(v5_nkrstart(f), 0);
  std::string all;
  for (uint32_t n; (n = v5_nkrnext(f, buffer_)) != 0;) all += std::string(buffer_, 4) + " ";
  EXPECT_EQ(all, "0010 0005 0070 0060 0015 ");
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
}

// Locked reads, header-checked and verified unlocked reads.
INSTANTIATE_TEST_SUITE_P(LockMethods, NextAcrossWriters, ::testing::Values(0, 1, 2));

TEST_F(ProcessTest, LockedRecordIsRefusedAndTriedAgain) {
  make_file({"0010", "0020", "0030", "0040"});
  Worker other(writer);
  ASSERT_EQ(other.call("open"), "ok");
  ASSERT_EQ(other.call("lock 0030"), "ok");
  DorvexFile *f = v5_open(kFile, 2, "0,0,0");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(next_key(f), "0010");
  EXPECT_EQ(next_key(f), "0020");
  EXPECT_TRUE(fails(next(f), E_REC_LOCKED));
  EXPECT_EQ(*fs_lock_holder(), static_cast<int32_t>(other.pid()));
  EXPECT_TRUE(fails(next(f), E_REC_LOCKED));
  EXPECT_TRUE(fails(read(f, rec("0030"), 0), E_REC_LOCKED));
  EXPECT_TRUE(fails(v5_delete(f, rec("0030").data()), E_REC_LOCKED));
  ASSERT_EQ(other.call("unlock"), "ok");
  EXPECT_EQ(next_key(f), "0030");
  EXPECT_EQ(next_key(f), "0040");
  // Now this side holds 0040: the writer cannot delete it.
  EXPECT_EQ(other.call("delete 0040"), "error 5");
  EXPECT_EQ(v5_unlock(f), 1);
  EXPECT_EQ(other.call("delete 0040"), "ok");
  EXPECT_EQ(v5_close(f), 1);
}

// Records of 1000 bytes with a key of 250 bytes, in segments of the
// smallest size: few entries a node, so that a few hundred records grow
// the data and the index into further segments and the tree by levels.
std::string big_record(int i) {
  char lead[16];
  snprintf(lead, sizeof lead, "%08d", i);
  std::string r(1000, static_cast<char>('a' + i % 26));
  r.replace(0, 8, lead);
  return r;
}

// A reader that had the file open, and blocks of it cached, before another
// process grew it finds the new segments, the new roots and the changed
// nodes.
TEST_F(ProcessTest, AReaderFindsWhatAWriterAddedInNewSegments) {
  cfg_set_long("V_SEG_SIZE", 0, 1);
  DorvexFile *made = make_open("grow", 5, "1000,1000,1", "1,0,250,0");
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(v5_close(made), 1);
  Worker other([](const std::string &request) {
    static DorvexFile *f = v5_open("grow", 2, "0,0,0");
    int from = 0, to = 0;
    std::istringstream(request) >> from >> to;
    for (int i = from; i < to; ++i)
      if (v5_write(f, big_record(i).data(), 1000) != 1) return "error " + std::to_string(i);
    return std::string("ok");
  });
  DorvexFile *f = v5_open("grow", 0, "0,0,0");
  ASSERT_NE(f, nullptr);
  auto walk = [&](int count) {
    ASSERT_EQ(start(f, std::string(1000, '\0'), 0, 0, 1), 1);
    for (int i = 0; i < count; ++i) ASSERT_EQ(next(f), big_record(i)) << i;
    EXPECT_TRUE(fails(next(f), E_NOT_FOUND));
  };
  ASSERT_EQ(other.call("0 20"), "ok");
  ASSERT_NO_FATAL_FAILURE(walk(20));
  EXPECT_EQ(info(f, -7), "00001,00001");
  uint8_t height = f->keys[0].height;
  ASSERT_EQ(other.call("20 400"), "ok");
  ASSERT_NO_FATAL_FAILURE(walk(400));
  EXPECT_EQ(info(f, -4), "0000000400");
  std::string segments = info(f, -7);  // data and index segments
  EXPECT_GT(std::stoi(segments.substr(0, 5)), 1) << segments;
  EXPECT_GT(std::stoi(segments.substr(6, 5)), 1) << segments;
  EXPECT_GT(f->keys[0].height, height);
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(v5_close(f), 1);
}

// The read probe hands the middle of a read over to the writer once: it
// sends the waiting requests when the read passes the point named.
Worker *g_writer = nullptr;
std::vector<std::string> g_requests;
const char *g_point = "";

void probe(DorvexFile *, const char *point) {
  if (g_requests.empty() || strcmp(point, g_point) != 0) return;
  for (const std::string &r : g_requests) EXPECT_EQ(g_writer->call(r), "ok") << r;
  g_requests.clear();
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
  void begin(int16_t method, std::vector<std::string> keys) {
    cfg_set_short("V_LOCK_METHOD", 0, 0);
    make_file(keys);
    cfg_set_short("V_LOCK_METHOD", 0, method);
    worker_ = std::make_unique<Worker>(writer);
    g_writer = worker_.get();
    ASSERT_EQ(worker_->call("open"), "ok");
  }
  // The statistics the close prints (V_LOCK_METHOD 0x100).
  static std::string close_report(DorvexFile *f) {
    StderrCapture capture;
    EXPECT_EQ(v5_close(f), 1);
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
    begin(method, {"0010", "0020", "0030"});
    DorvexFile *f = v5_open(kFile, 2, "0,0,0");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(next_key(f), "0010");  // fills the prefetch slots
    g_point = "prefetched";
    g_requests = {"delete 0020", "write 0025"};  // 0025 takes the slot 0020 left
    StderrCapture during;
    EXPECT_EQ(next_key(f), "0025");
    EXPECT_EQ(error(), 0);
    EXPECT_TRUE(g_requests.empty());
    std::string debug = during.text();
    EXPECT_EQ(next_key(f), "0030");
    EXPECT_TRUE(sound(f));
    std::string report = close_report(f);
    EXPECT_TRUE(has(report, " 1 unlocked reads retried\n")) << report;
    if (method & 0x2) {
      EXPECT_TRUE(has(report, ">>AR seq_read() mismatches: 1\n")) << report;
      EXPECT_TRUE(has(report, ">>AR common_read() mismatches: 1\n")) << report;
      EXPECT_TRUE(has(report, ">>AR vi_read_rec() 98,81 detections: 0\n")) << report;
    } else {
      EXPECT_FALSE(has(report, ">>AR")) << report;
    }
    EXPECT_EQ(has(debug, ">>AR DBG seq_read() mismatch\n"), (method & 0x200) != 0) << debug;
    EXPECT_EQ(has(debug, ">>AR DBG common_read() mismatch\n"), (method & 0x200) != 0) << debug;
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
    begin(method, {"0010", "0020", "0030"});
    DorvexFile *f = v5_open(kFile, 2, "0,0,0");
    ASSERT_NE(f, nullptr);
    g_point = "record";
    g_requests = {"delete 0020"};
    EXPECT_TRUE(fails(read(f, rec("0020"), 0), E_NOT_FOUND));
    g_requests = {"delete 0030", "write 0030 c"};
    std::string got = read(f, rec("0030"), 0);
    ASSERT_EQ(got.size(), 30u);
    EXPECT_EQ(got[10], 'c');
    EXPECT_TRUE(g_requests.empty());
    std::string report = close_report(f);
    bool verified = method & 0x2;
    EXPECT_TRUE(
        has(report, verified ? " 1 unlocked reads retried\n" : " 2 unlocked reads retried\n"))
        << report;
    if (verified) {
      EXPECT_TRUE(has(report, ">>AR vi_read_rec() 98,81 detections: 1\n")) << report;
    }
    worker_.reset();
  }
}

}  // namespace
}  // namespace kel::test
