// Random transactions against the model: writes, rewrites and deletes on
// two indexed files (one taking part with 0x4000, one without) and a
// relative file, nested begins, closes and reopens inside a transaction,
// commit or rollback at random. After every transaction the files hold
// what the model holds, in every key's order, and pass the structural
// check. At the end the files saved before the run, with the shared log
// replayed, hold exactly the committed work.
#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class TransactionModel : public TxlogTest {};

TEST_F(TransactionModel, RandomTransactionsCommitAndRollBackAndReplay) {
  make_files();
  save("saved");
  open_files();
  World live, committed;
  for (int t = 0; t < 120 && !HasFatalFailure(); ++t) {
    SCOPED_TRACE("transaction " + std::to_string(t));
    ASSERT_EQ(v5_begin(), 1) << *Alog_error_code();
    std::vector<Change> changes;
    int count = 1 + static_cast<int>(rng_() % 8);
    bool nested = count >= 3 && rng_() % 4 == 0;
    for (int i = 0; i < count; ++i) {
      if (nested && i == 1) {
        ASSERT_EQ(v5_begin(), 1);
      }
      if (nested && i == count - 1) {
        ASSERT_EQ(rng_() % 2 ? v5_commit(0) : v5_rollback(0), 1);
      }
      Change c;
      ASSERT_TRUE(random_change(live, &c)) << c.kind << " " << *fs_error_code();
      live.apply(c);
      changes.push_back(c);
      if (rng_() % 12 == 0) {
        // A file with changes keeps its handle across a close in the
        // transaction: the close is deferred to its end.
        bool changed = false;
        for (const Change &x : changes) changed = changed || x.file == 0;
        DorvexFile *old = a_;
        ASSERT_EQ(v5_close(a_), 1);
        a_ = v5_open("a", kLogged | KEL_OPEN_IO, "");
        ASSERT_NE(a_, nullptr);
        if (changed) {
          EXPECT_EQ(a_, old);
        }
      }
    }
    bool commit = rng_() % 10 < 7;
    if (commit) {
      ASSERT_EQ(v5_commit(0), 1) << *Alog_error_code();
      for (const Change &c : changes) committed.apply(c);
    } else {
      ASSERT_EQ(v5_rollback(0), 1) << *Alog_error_code();
      for (auto it = changes.rbegin(); it != changes.rend(); ++it) live.undo(*it);
    }
    EXPECT_EQ(fsapi::thread_data()->transaction_depth, 0);
    expect_files(live);
  }
  close_files();
  ASSERT_EQ(Alog_shutdown(), 1);
  restore("saved");
  ASSERT_EQ(v5_recover(), 1) << *Alog_error_code();
  open_files();
  expect_files(committed);
}

// Records changed in a transaction on a file opened with 0x4000 stay
// locked to another process until the transaction ends; a file without
// 0x4000 keeps no lock.
TEST_F(TransactionModel, ChangedRecordsStayLockedUntilTheEnd) {
  // The other process starts before this one opens anything.
  Worker other([](const std::string &request) {
    static DorvexFile *files[2] = {};
    if (!files[0]) files[0] = v5_open("a", kLogged | KEL_OPEN_IO, "");
    if (!files[1]) files[1] = v5_open("b", KEL_OPEN_IO, "");
    char record[kRecordSize];
    memcpy(record, request.data() + 1, 8);
    int file = request[0] - '0';
    std::string got = v5_read(files[file], record, 0) ? "read" : std::to_string(*fs_error_code());
    v5_unlock(files[file]);
    return got;
  });
  make_files();
  open_files();
  std::string one = "K0000001A001" + std::string(28, 'x');
  std::string two = "K0000002A001" + std::string(28, 'y');
  for (DorvexFile *f : {a_, b_}) {
    ASSERT_EQ(v5_write(f, one.data(), kRecordSize), 1);
    ASSERT_EQ(v5_write(f, two.data(), kRecordSize), 1);
  }
  for (int end = 0; end < 2; ++end) {
    ASSERT_EQ(v5_begin(), 1);
    std::string three = "K000000" + std::to_string(3 + end) + "A002" + std::string(28, 'z');
    ASSERT_EQ(v5_write(a_, three.data(), kRecordSize), 1);
    ASSERT_EQ(v5_rewrite(a_, one.data(), kRecordSize), 1);
    ASSERT_EQ(v5_rewrite(b_, one.data(), kRecordSize), 1);
    EXPECT_EQ(other.call("0" + three.substr(0, 8)), std::to_string(E_REC_LOCKED));
    EXPECT_EQ(other.call("0" + one.substr(0, 8)), std::to_string(E_REC_LOCKED));
    EXPECT_EQ(other.call("1" + one.substr(0, 8)), "read");
    EXPECT_EQ(other.call("0" + two.substr(0, 8)), "read");
    ASSERT_EQ(end ? v5_rollback(0) : v5_commit(0), 1);
    EXPECT_EQ(other.call("0" + one.substr(0, 8)), "read");
    EXPECT_EQ(other.call("0" + three.substr(0, 8)), end ? std::to_string(E_NOT_FOUND) : "read");
  }
}

}  // namespace
}  // namespace kel::test
