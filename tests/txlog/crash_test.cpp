// A writer killed at a random moment (between operations, in the middle of
// a change, in the middle of a commit's copy into the log): the files
// saved before it started, with its log replayed, hold exactly the
// transactions whose units the log holds whole, and every transaction the
// writer saw committed is among them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class Crash : public TxlogTest {
 protected:
  // The worker's step: transactions of random changes until it is killed;
  // a "c" goes to "told" after each commit.
  [[noreturn]] void write_until_killed() {
    open_files();
    World w;
    for (int out = open("told", O_WRONLY | O_CREAT | O_APPEND, 0644);;) {
      if (v5_begin() != 1) _exit(2);
      for (size_t i = 0, count = 1 + run_.below(12); i < count; ++i) {
        Change c;
        if (!random_change(w, &c)) _exit(3);
        w.apply(c);
      }
      if (v5_commit(0) != 1 || write(out, "c", 1) != 1) _exit(4);
    }
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
    auto pause = static_cast<useconds_t>(20000 + run_.below(80000));
    {
      // The writer draws from a copy of run_ as it is now; this process
      // makes the same draws again below.
      Worker writer({[&](int64_t) -> int64_t { write_until_killed(); }});
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
