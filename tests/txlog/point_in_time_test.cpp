// Point-in-time recovery end to end: the files archived with kel -o, then
// changed under transactions with the shared log on, removed, restored
// with kel -i and the log replayed: every key's order is the model's.
#include "common/spawn.h"
#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class PointInTime : public TxlogTest {
 protected:
  RunResult kel_run(const std::vector<std::string> &args, const std::string &input = "") {
    write_file(dir_ / "kel.in", input);
    SpawnOptions o;
    o.args = args;
    o.cwd = dir_.path();
    o.stdin_path = dir_ / "kel.in";
    return spawn_kel(o);
  }
};

TEST_F(PointInTime, ArchiveChangeRemoveRestoreReplay) {
  make_files();
  open_files();
  World w;
  cfg_set_short("LOGGING", 0, 0);  // yesterday's work, before the archive
  for (int i = 0; i < 60; ++i) {
    Change c;
    ASSERT_TRUE(random_change(w, &c));
    w.apply(c);
  }
  close_files();
  RunResult archived = kel_run({"-ovf", "night.kel"}, "a\nb\nr\n");
  ASSERT_EQ(archived.status, 0) << archived.err;
  // A restore writes the records in primary-key order: equal alternate
  // values then follow that order.
  for (World::Indexed &x : w.ix) {
    x.counter = 0;
    for (auto &[key, v] : x.records) v.second = x.counter++;
  }

  cfg_set_short("LOGGING", 0, 1);  // today's work, under transactions
  open_files();
  World live = w;
  for (int t = 0; t < 40; ++t) {
    ASSERT_EQ(v5_begin(), 1) << *Alog_error_code();
    std::vector<Change> changes;
    for (int i = 0, n = 1 + static_cast<int>(run_.below(6)); i < n; ++i) {
      Change c;
      ASSERT_TRUE(random_change(live, &c));
      live.apply(c);
      changes.push_back(c);
    }
    if (run_.chance(75)) {
      ASSERT_EQ(v5_commit(0), 1);
      for (const Change &c : changes) w.apply(c);
    } else {
      ASSERT_EQ(v5_rollback(0), 1);
      for (auto it = changes.rbegin(); it != changes.rend(); ++it) live.undo(*it);
    }
  }
  close_files();
  ASSERT_EQ(Alog_shutdown(), 1);

  ASSERT_EQ(v5_remove("a"), 1);
  ASSERT_EQ(v5_remove("b"), 1);
  ASSERT_EQ(Ar_remove("r"), 1);
  RunResult restored = kel_run({"-ivf", "night.kel"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  ASSERT_EQ(v5_recover(), 1) << *Alog_error_code();
  open_files();
  expect_files(w);
}

}  // namespace
}  // namespace kel::test
