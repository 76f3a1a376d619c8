// A writer killed at a random moment (between operations, in the middle of
// a change, in the middle of a commit's copy into the log): the files
// saved before it started, with its log replayed, hold exactly the
// transactions whose units the log holds whole, and every transaction the
// writer saw committed is among them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class Crash : public TxlogTest {
 protected:
  // The child: transactions of random changes until it is killed; each
  // change is told to the parent before the commit, "c" after it.
  [[noreturn]] void write_until_killed(int out) {
    open_files();
    World w;
    for (;;) {
      if (v5_begin() != 1) _exit(2);
      int count = 1 + static_cast<int>(rng_() % 12);
      std::string told;
      for (int i = 0; i < count; ++i) {
        Change c;
        if (!random_change(w, &c)) _exit(3);
        w.apply(c);
        told += std::to_string(c.file) + " " + c.kind + " " + std::to_string(c.slot) + " " +
                c.record + "\n";
      }
      if (write(out, told.data(), told.size()) != static_cast<ssize_t>(told.size())) _exit(4);
      if (v5_commit(0) != 1) _exit(5);
      if (write(out, "c\n", 2) != 2) _exit(6);
    }
  }

  // The transactions the child told of, and how many it saw committed.
  static std::vector<std::vector<Change>> told(const std::string &text, size_t *committed) {
    std::vector<std::vector<Change>> out(1);
    *committed = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line == "c") {
        ++*committed;
        out.emplace_back();
        continue;
      }
      std::istringstream f(line);
      Change c;
      f >> c.file >> c.kind >> c.slot;
      f.get();
      std::getline(f, c.record);
      if (c.record.size() == kRecordSize) out.back().push_back(c);
    }
    return out;
  }
};

TEST_F(Crash, KilledWriterRecoversToTheCommittedUnits) {
  cfg_set_short("LOG_BUFFER_SIZE", 0, 0);  // every piece of a unit is a write of its own
  make_files();
  save("saved");
  for (int round = 0; round < 6 && !HasFatalFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    unlink("shared.log");
    restore("saved");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    rng_.seed(seed_ + static_cast<uint32_t>(round));
    uint32_t wait_us = 20000 + static_cast<uint32_t>(rng_() % 80000);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(p[0]);
      write_until_killed(p[1]);
    }
    close(p[1]);
    usleep(wait_us);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(p[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(p[0]);

    // Units whose commit record the log holds whole.
    std::string log = read_file("shared.log");
    size_t units = 0, last_start = 0, last_end = 0;
    for (const LogRecord &r : parse_log(log)) {
      units += r.type == 3 && r.whole;
      if (r.type == 2) last_start = r.offset;
      if (r.type == 3 && r.whole) last_end = r.offset + 8 + r.data.size();
    }
    size_t committed = 0;
    std::vector<std::vector<Change>> transactions = told(text, &committed);
    ASSERT_GE(units, committed) << "a commit the writer saw is missing from the log";
    ASSERT_LE(units, committed + 1);
    ASSERT_LE(units, transactions.size());
    World w;
    for (size_t t = 0; t < units; ++t)
      for (const Change &c : transactions[t]) w.apply(c);

    restore("saved");  // what the writer left is of no use
    int result = v5_recover();
    EXPECT_TRUE(result == 1 || *Alog_error_code() == 6) << *Alog_error_code();
    open_files();
    expect_files(w);
    close_files();
    Alog_shutdown();

    // What a kill in the middle of the last commit's copy leaves: the log
    // cut at any byte of that unit. The reader stops there and the unit is
    // rolled back.
    if (units == 0 || last_start > last_end) continue;
    size_t cut = last_start + 1 + rng_() % (last_end - last_start - 1);
    write_file("shared.log", log.substr(0, cut));
    World before;
    for (size_t t = 0; t + 1 < units; ++t)
      for (const Change &c : transactions[t]) before.apply(c);
    restore("saved");
    result = v5_recover();
    EXPECT_TRUE(result == 1 || *Alog_error_code() == 6) << *Alog_error_code();
    open_files();
    expect_files(before);
    close_files();
    Alog_shutdown();
  }
}

}  // namespace
}  // namespace kel::test
