// Random transactions on the shared random driver: writes, rewrites and
// deletes on two indexed files (one taking part with 0x4000, one without)
// and a relative file, nested begins, closes and reopens inside a
// transaction, commit or rollback at random. Every few steps the files hold
// what the live model holds, in every key's order, and pass the structural
// check. At the end the files saved before the run, with the shared log
// replayed, hold exactly the committed work.
#include <algorithm>

#include "common/call_script.h"
#include "common/spawn.h"
#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class TransactionModel : public TxlogTest {
 protected:
  // The adapter of the random driver: the files and two models, the live
  // one (every change at once, rolled back ones taken back: the live
  // model as the outermost begin found it) and the committed one (what a
  // replay of the log must give).
  World live_, committed_, at_begin_;
  std::vector<Change> pending_;
  int depth_ = 0;

  void change() {
    if (depth_ == 0) {
      ASSERT_EQ(v5_begin(), 1) << *Alog_error_code();
      depth_ = 1;
      at_begin_ = live_;
    }
    Change c;
    ASSERT_TRUE(random_change(live_, &c)) << c.kind << " " << *fs_error_code();
    run_.note(std::to_string(c.file) + c.kind + " " + c.record.substr(0, 12));
    live_.apply(c);
    pending_.push_back(c);
  }
  void nest() {
    if (depth_ == 0 || depth_ > 2) return;
    ASSERT_EQ(v5_begin(), 1);
    ++depth_;
  }
  // Only the outermost commit or rollback acts.
  void end(bool commit) {
    if (depth_ == 0) return;
    run_.note(std::string(commit ? "commit" : "rollback") + " at depth " + std::to_string(depth_));
    ASSERT_EQ(commit ? v5_commit(0) : v5_rollback(0), 1) << *Alog_error_code();
    if (--depth_ > 0) return;
    for (const Change &c : pending_) commit ? committed_.apply(c) : void();
    if (!commit) live_ = at_begin_;
    pending_.clear();
    EXPECT_EQ(fsapi::thread_data()->transaction_depth, 0);
  }
  // A file with changes keeps its handle across a close inside the
  // transaction: the close is deferred to its end.
  void reopen() {
    bool changed = std::any_of(pending_.begin(), pending_.end(), [](auto &x) { return !x.file; });
    DorvexFile *old = a_;
    ASSERT_EQ(v5_close(a_), 1);
    a_ = v5_open("a", kLogged | KEL_OPEN_IO, "");
    ASSERT_NE(a_, nullptr);
    EXPECT_TRUE(!changed || a_ == old);
  }
  // `count` random operations with the live files checked every few, then
  // the open transaction committed.
  void run_transactions(int count) {
    ASSERT_TRUE(run_.run(
        {{"change", 60, [&] { change(); }},
         {"nested begin", 4, [&] { nest(); }},
         {"commit", 12, [&] { end(true); }},
         {"rollback", 6, [&] { end(false); }},
         {"close and reopen", 3, [&] { reopen(); }}},
        count, [&] { expect_files(live_); }, 10));
    while (depth_ > 0) end(true);
  }
  // kel in the working folder (the test's), reading `input`.
  RunResult kel_run(const std::vector<std::string> &args, const std::string &input = "") {
    write_file("kel.in", input);
    SpawnOptions o;
    o.args = args;
    o.stdin_path = "kel.in";
    return spawn_kel(o);
  }
};

TEST_F(TransactionModel, RandomTransactionsCommitAndRollBackAndReplay) {
  make_files();
  save();
  open_files();
  run_transactions(run_.operations());
  recover_into(committed_, 1);
}

// Point-in-time recovery end to end: the files archived with kel -o, then
// changed under transactions with the shared log on, removed, restored
// with kel -i and the log replayed: every key's order is the model's.
TEST_F(TransactionModel, ArchiveChangeRemoveRestoreReplay) {
  make_files();
  open_files();
  cfg_set_short("LOGGING", 0, 0);  // yesterday's work, before the archive
  for (int i = 0; i < 60; ++i) {
    Change c;
    ASSERT_TRUE(random_change(live_, &c));
    live_.apply(c);
  }
  close_files();
  RunResult archived = kel_run({"-ovf", "night.kel"}, "a\nb\nr\n");
  ASSERT_EQ(archived.status, 0) << archived.err;
  // A restore writes the records in primary-key order: equal alternate
  // values then follow that order.
  committed_ = live_;
  for (World::Indexed &x : committed_.ix) {
    x.counter = 0;
    for (auto &[key, v] : x.records) v.second = x.counter++;
  }
  cfg_set_short("LOGGING", 0, 1);  // today's work, under transactions
  open_files();
  run_transactions(300);
  close_files();
  ASSERT_EQ(Alog_shutdown(), 1);
  ASSERT_EQ(v5_remove("a") + v5_remove("b") + Ar_remove("r"), 3);
  RunResult restored = kel_run({"-ivf", "night.kel"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  ASSERT_EQ(v5_recover(), 1) << *Alog_error_code();
  open_files();
  expect_files(committed_);
}

// Records changed in a transaction stay locked to another process until
// it ends: rows of a golden file.
TEST_F(TransactionModel, ChangedRecordsStayLockedUntilTheEnd) {
  CallScript script;
  EXPECT_TRUE(script.run("txlog/transaction_lock_calls.txt"));
}

}  // namespace
}  // namespace kel::test
