// A writer killed at a random moment (between operations, in the middle of
// a change, in the middle of a commit's copy into the log): the files
// saved before it started, with its log replayed, hold exactly the
// transactions whose units the log holds whole, and every transaction the
// writer saw committed is among them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class Crash : public TxlogTest {
 protected:
  // The worker's step: transactions of random changes until it is killed;
  // each change goes to "told" before the commit, "c" after it.
  [[noreturn]] void write_until_killed() {
    open_files();
    World w;
    for (int out = open("told", O_WRONLY | O_CREAT | O_APPEND, 0644);;) {
      if (v5_begin() != 1) _exit(2);
      std::string told;
      for (size_t i = 0, count = 1 + run_.below(12); i < count; ++i) {
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

  // The transactions the child told of; all but the last it saw committed.
  static std::vector<std::vector<Change>> told(const std::string &text) {
    std::vector<std::vector<Change>> out(1);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream f(line);
      Change c;
      if (line == "c")
        out.emplace_back();
      else if (f >> c.file >> c.kind >> c.slot >> c.record && c.record.size() == kRecordSize)
        out.back().push_back(c);
    }
    return out;
  }
};

TEST_F(Crash, KilledWriterRecoversToTheCommittedUnits) {
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
    {
      Worker writer({[&](int64_t) -> int64_t { write_until_killed(); }});
      writer.begin(0);
      usleep(static_cast<useconds_t>(20000 + run_.below(80000)));
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
    std::vector<std::vector<Change>> transactions = told(read_file("told"));
    size_t committed = transactions.size() - 1;
    ASSERT_GE(units, committed) << "a commit the writer saw is missing from the log";
    ASSERT_LE(units, committed + 1);
    World w;
    for (size_t t = 0; t < units; ++t)
      for (const Change &c : transactions[t]) w.apply(c);

    recover_into(w, -1);  // from the saved files: what the writer left is of no use

    // What a kill in the middle of the last commit's copy leaves: the log
    // cut at any byte of that unit. The reader stops there and the unit is
    // rolled back.
    if (units == 0 || last_start > last_end) continue;
    size_t cut = last_start + 1 + run_.below(last_end - last_start - 1);
    write_file("shared.log", log.substr(0, cut));
    World before;
    for (size_t t = 0; t + 1 < units; ++t)
      for (const Change &c : transactions[t]) before.apply(c);
    recover_into(before, -1);
  }
}

}  // namespace
}  // namespace kel::test
