// Random transactions on the shared random driver: writes, rewrites and
// deletes on two indexed files (one taking part with 0x4000, one without)
// and a relative file, nested begins, closes and reopens inside a
// transaction, commit or rollback at random. Every few steps the files hold
// what the live model holds, in every key's order, and pass the structural
// check. At the end the files archived before the run, restored, with the
// shared log replayed, hold exactly the committed work. Then the log's
// bytes (below).
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "common/call_script.h"
#include "common/golden.h"
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
};

// Point-in-time recovery end to end: the files archived with kel -o, then
// changed under the random transactions with the shared log on, removed,
// restored with kel -i and the log replayed: every key's order is the
// committed model's.
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
  write_file("names", "a\nb\nr\n");  // kel runs in the working folder, the test's
  SpawnOptions kel;
  kel.args = {"-ovf", "night.kel"};
  kel.stdin_path = "names";
  RunResult archived = spawn_kel(kel);
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
  run_transactions(run_.operations());
  close_files();
  ASSERT_EQ(Alog_shutdown(), 1);
  ASSERT_EQ(v5_remove("a") + v5_remove("b") + Ar_remove("r"), 3);
  kel.args = {"-ivf", "night.kel"};
  kel.stdin_path.clear();
  RunResult restored = spawn_kel(kel);
  ASSERT_EQ(restored.status, 0) << restored.err;
  ASSERT_EQ(v5_recover(), 1) << *Alog_error_code();
  open_files();
  expect_files(committed_);
}

std::string be_bytes(uint32_t v, int width) {
  std::string s(static_cast<size_t>(width), '\0');
  store_be(s.data(), width, v);
  return s;
}
// This process's start block: its id, terminal, user and host.
std::string start_block() {
  std::string s = std::string(1, '\1') + be_bytes(static_cast<uint32_t>(getpid()), 4);
  s += std::string(isatty(0) ? ttyname(0) : "") + '\0';
  s += std::string(getpwuid(getuid())->pw_name) + '\0';
  struct utsname u;
  uname(&u);
  return s + u.nodename + '\0';
}

// The log as text after a count of its records, a line per record: its
// type, then its data escaped, with the parts that change from run to run
// named: the start block, and the file id (this host's id and this
// process's id, then the file's number) that begins the records of types
// 5 and up. Every record's time lies between `since` and now.
std::string log_text(const std::string &path, time_t since) {
  const std::vector<LogRecord> records = parse_log(read_file(path));
  const std::string host = be_bytes(static_cast<uint32_t>(gethostid()), 4) +
                           be_bytes(static_cast<uint32_t>(getpid()) & 0xFFFF, 2);
  std::string text = std::to_string(records.size()) + " records";
  for (const LogRecord &x : records) {
    EXPECT_TRUE(x.time >= since && x.time <= time(nullptr)) << x.time;
    std::string data = escaped(x.data);
    if ((x.type & 0x3FFF) >= 5 && x.data.compare(0, 6, host) == 0)
      data = "<file id " + std::to_string(load_be16(x.data.data() + 6)) + ">" +
             escaped(x.data.substr(8));
    text += "\n" + escaped(be_bytes(x.type, 2)) + " " +
            replace_all(data, escaped(start_block()), "<start block>");
  }
  return text;
}

// The log's bytes: every record of a unit with its header, the start
// block, file ids and TM headers, the end marks; scrambled record data;
// a file with a log of its own; the lock file of LOG_DEVICE. Rows of
// txlog/log_calls.txt, with "log NAME" showing a log a line per record.
// Records changed in a transaction stay locked to another process until
// it ends: rows of txlog/transaction_lock_calls.txt.
TEST_F(TxlogTest, LogRecordsToTheByteAndLockedChanges) {
  time_t since = time(nullptr);
  CallScript script;
  script.add("log", [&](const Call &c) { return log_text(c.text(0), since); });
  script.add("lockname", [](const Call &c) {
    char name[600];
    return as_word(Alog_make_lockname(name, c.ptr(0)));
  });
  script.add("log_shutdown", [](const Call &) { return CallScript::result(Alog_shutdown()); });
  EXPECT_TRUE(script.run("txlog/log_calls.txt"));
  EXPECT_TRUE(CallScript().run("txlog/transaction_lock_calls.txt"));
}

}  // namespace
}  // namespace kel::test
