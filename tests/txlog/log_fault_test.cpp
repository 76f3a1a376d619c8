// Damaged logs, a full disk and failing allocations: each gives the
// documented result to the writer and to recovery, and the files never hold
// anything but committed (or, in the live files, rolled back) work; a
// writer killed at any moment leaves the committed units (below).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

// Every case starts from the files made, saved and open.
class LogFaults : public TxlogTest {
 protected:
  void SetUp() override {
    TxlogTest::SetUp();
    make_files();
    save();
    open_files();
  }
  // A write of a new record to file a.
  Change write_a(int k) {
    char head[24];
    snprintf(head, sizeof head, "K%07dA%03d", k % 10000000, k % 3);
    Change c{0, 'w', head + std::string(28, static_cast<char>('a' + k % 26))};
    EXPECT_EQ(v5_write(a_, c.record.data(), kRecordSize), 1);
    return c;
  }
};

// A damaged copy of the log: `put` written at `at` (empty: the log cut
// there), and what the writer's next begin and a recovery make of it.
struct Damage {
  const char *what;
  size_t at;
  std::string put;
  int begin;
  int16_t begin_error;
  int recover;
  int16_t recover_error;
  bool second_unit;  // recovery keeps the second committed unit
};

TEST_F(LogFaults, DamagedLogs) {
  World first, both;  // after the first unit, and after both
  for (int k : {1, 2}) {
    ASSERT_EQ(v5_begin(), 1);
    both.apply(write_a(k));
    ASSERT_EQ(v5_commit(0), 1);
    if (k == 1) first = both;
  }
  close_files();
  Alog_shutdown();
  const std::string pristine = read_file("shared.log");
  size_t n = pristine.size(), w2 = 0, seen = 0;  // w2: the second unit's write record
  for (const LogRecord &x : parse_log(pristine))
    if (x.type == 7 && ++seen == 2) w2 = x.offset;
  const Damage rows[] = {
      {"cut inside the last header", n - 5, "", 0, 12, 1, 6, false},
      {"cut inside the last record's data", n - 1, "", 0, 12, 0, 6, false},
      {"bad end mark", n - 1, "x", 0, 12, 1, 0, true},
      {"garbage type", w2 + 2, "\x07\x77", 1, 0, 0, 6, false},
      {"file never opened", w2 + 15, std::string(1, pristine[w2 + 15] ^ 0x40), 1, 0, 0, 13, false},
  };
  for (const Damage &d : rows) {
    SCOPED_TRACE(d.what);
    std::string log = pristine;
    d.put.empty() ? log.resize(d.at) : (void)log.replace(d.at, d.put.size(), d.put);
    write_file("shared.log", log);
    EXPECT_EQ(v5_begin(), d.begin);
    EXPECT_EQ(*Alog_error_code(), d.begin_error);
    v5_rollback(0);
    recover_into(d.second_unit ? both : first, d.recover, d.recover_error);
  }
}

// A full disk while the TM file grows fails the change that could not be
// recorded (code 22, log error 9); a rollback takes back every change that
// was recorded. A full disk while a unit is copied into the log fails the
// commit and takes the transaction back; the cut unit makes every later
// begin fail (12), and recovery rolls it back.
TEST_F(LogFaults, FullDisk) {
  World w;
  for (int k = 1; k <= 40; ++k) {  // a log larger than the data files
    ASSERT_EQ(v5_begin(), 1);
    w.apply(write_a(k));
    ASSERT_EQ(v5_commit(0), 1);
  }
  uint64_t log_size = read_file("shared.log").size();
  std::string one = w.ix[0].records.begin()->second.first;
  {
    ASSERT_EQ(v5_begin(), 1);
    FileSizeLimit full(log_size);
    int done = 0;
    std::string r = one;
    for (; done < 200; ++done) {
      r[20] = static_cast<char>('A' + done % 26);
      if (v5_rewrite(a_, r.data(), kRecordSize) != 1) break;
    }
    ASSERT_LT(done, 200) << "the TM file never filled";
    EXPECT_EQ(*fs_error_code(), E_LOG_REFUSED);
    EXPECT_EQ(*Alog_error_code(), 9);
  }
  // The refused rewrite was done but not recorded; the rollback of the
  // recorded ones puts the record back as it was before all of them.
  ASSERT_EQ(v5_rollback(0), 1) << *Alog_error_code();
  expect_files(w);
  {
    ASSERT_EQ(v5_begin(), 1);
    std::string r = one;
    r[21] = '#';
    ASSERT_EQ(v5_rewrite(a_, r.data(), kRecordSize), 1);
    FileSizeLimit full(read_file("shared.log").size() + 20);
    EXPECT_EQ(v5_commit(0), 0);
    EXPECT_EQ(*Alog_error_code(), 9);
  }
  expect_files(w);
  EXPECT_EQ(v5_begin(), 0);
  EXPECT_EQ(*Alog_error_code(), 12);
  v5_rollback(0);
  // Recovery from the saved files: the cut unit is read up to its cut
  // (log error 6) and rolled back.
  recover_into(w, 0, 6);
}

// Every allocation of a commit and of a rollback failing in turn: the
// commit either succeeds or takes the transaction back (log error 8); the
// rollback either succeeds or stops with log error 8 or 1, leaving sound
// files. Recovery afterwards gives exactly the committed work.
TEST_F(LogFaults, AllocationFailuresInCommitAndRollback) {
  World w;
  int k = 0;
  for (bool commit : {true, false}) {
    for (int n = 1, failed = 1; failed; ++n) {
      ASSERT_EQ(v5_begin(), 1);
      std::vector<Change> changes = {write_a(++k), write_a(++k)};
      alloc_fail_nth(n);
      int result = commit ? v5_commit(0) : v5_rollback(0);
      failed = alloc_failure_triggered();
      alloc_fail_nth(0);
      if (result == 1 && commit)
        for (const Change &c : changes) w.apply(c);
      if (result != 1) {
        int16_t error = *Alog_error_code();
        EXPECT_TRUE(error == 8 || (!commit && error == 1)) << n << ": " << error;
        // What the rollback could not undo stays: remove it by hand.
        for (const Change &c : changes)
          if (!commit) v5_delete(a_, c.record.data());
      }
      expect_files(w);
    }
  }
  recover_into(w, 1, 0);
}

// A writer killed at a random moment (between operations, in the middle of
// a change, in the middle of a commit's copy into the log): the files
// saved before it started, with its log replayed, hold exactly the
// transactions whose units the log holds whole, and every transaction the
// writer saw committed is among them.
TEST_F(TxlogTest, KilledWriterRecoversToTheCommittedUnits) {
  // The writer: transactions of random changes until it is killed; a "c"
  // goes to "told" after each commit.
  auto write_until_killed = [&](int64_t) -> int64_t {
    open_files();
    World w;
    for (int out = open("told", O_WRONLY | O_CREAT | O_APPEND, 0644);;) {
      if (v5_begin() != 1) _exit(2);
      for (size_t i = 0, count = 1 + run_.below(12); i < count; ++i) {
        Change c;
        if (!random_change(w, &c)) _exit(3);
        w.apply(c);
      }
      if (v5_commit(0) != 1 || ::write(out, "c", 1) != 1) _exit(4);
    }
  };
  cfg_set_short("LOG_BUFFER_SIZE", 0, 0);  // every piece of a unit is a write of its own
  make_files();
  save();
  for (int round = 0; round < 6 && !HasFatalFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    close_files();  // before the writer forks
    Alog_shutdown();
    unlink("shared.log");
    unlink("told");
    save(true);
    auto pause = static_cast<useconds_t>(20000 + run_.below(80000));
    {
      // The writer draws from a copy of run_ as it is now; this process
      // makes the same draws again below.
      Worker writer({write_until_killed});
      writer.begin(0);
      usleep(pause);
      ASSERT_EQ(waitpid(writer.pid(), nullptr, WNOHANG), 0) << "the writer stopped by itself";
      writer.kill();
    }

    // Units whose commit record the log holds whole.
    std::string log = read_file("shared.log");
    size_t units = 0, last_start = 0, last_end = 0;
    for (const LogRecord &r : parse_log(log)) {
      units += r.type == 3 && r.whole;
      if (r.type == 2) last_start = r.offset;
      if (r.type == 3 && r.whole) last_end = r.offset + 8 + r.data.size();
    }
    std::string told = read_file("told");
    auto committed = static_cast<size_t>(std::count(told.begin(), told.end(), 'c'));
    ASSERT_GE(units, committed) << "a commit the writer saw is missing from the log";
    ASSERT_LE(units, committed + 1);
    World w, before;  // after all the units, and without the last one
    for (size_t t = 0; t < units; ++t) {
      before = w;
      for (size_t i = 0, count = 1 + run_.below(12); i < count; ++i) {
        Change c;
        random_change(w, &c, false);
        w.apply(c);
      }
    }

    recover_into(w, -1);  // from the saved files: what the writer left is of no use

    // What a kill in the middle of the last commit's copy leaves: the log
    // cut at any byte of that unit. The reader stops there and the unit is
    // rolled back.
    if (units == 0 || last_start > last_end) continue;
    size_t cut = last_start + 1 + run_.below(last_end - last_start - 1);
    write_file("shared.log", log.substr(0, cut));
    recover_into(before, -1);
  }
}

}  // namespace
}  // namespace kel::test
