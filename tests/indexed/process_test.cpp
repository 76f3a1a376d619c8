// Several processes on one indexed file: unlocked reads that meet a
// writer in a worker half-way, writers and a reader all running at once,
// and a walk over duplicates beside a process that locks and changes the
// records ahead of it. (A reader beside a writer taking turns step by step, and a writer
// killed with the file open: access_test's call rows.)
#include <map>
#include <set>

#include "common/worker.h"
#include "indexed/access/access.h"
#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"

namespace kel::test {
namespace {

constexpr const char *kFile = "shared";

using ProcessTest = EngineTest;

// Unlocked reads that meet the writer half-way: the read probe hands the
// middle of a read over to the writer once (rows of a golden file).
CallScript *g_script = nullptr;
std::string g_point;
std::vector<Words> g_rows;
std::vector<std::string> g_done;

void probe(DorvexFile *, const char *point) {
  if (g_rows.empty() || g_point != point) return;
  for (const Words &row : g_rows) g_done.push_back(g_script->other(row));
  g_rows.clear();
}

TEST_F(ProcessTest, UnlockedReadsMeetAWriterHalfWay) {
  CallScript script;
  g_script = &script;
  // during POINT ROW ; ROW ...
  script.add("during", [](const Call &c) {
    g_point = c.text(0);
    g_rows.assign(1, Words());
    for (size_t i = 1; i < c.args.size(); ++i) {
      if (c.text(i) == ";")
        g_rows.emplace_back();
      else
        g_rows.back().push_back(c.text(i));
    }
    return std::string("ready");
  });
  script.add("done", [](const Call &) {
    std::string out = g_rows.empty() ? "" : "not run";
    for (const std::string &d : g_done) out += (out.empty() ? "" : "; ") + d;
    g_done.clear();
    return out;
  });
  indexed::set_read_probe(probe);
  EXPECT_TRUE(script.run("indexed/unlocked_read_calls.txt"));
  indexed::set_read_probe(nullptr);
  g_script = nullptr;
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
    std::vector<std::unique_ptr<Worker>> workers;  // the writers, then the reader
    for (int w = 0; w <= kWriters; ++w)
      workers.push_back(std::make_unique<Worker>(std::vector<Worker::Step>{[w, &c](int64_t) {
        return w < kWriters ? run_writer(w, c.lock_method) : run_reader(c.lock_method);
      }}));
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
    // Sound: key 1 holds one entry per live record, each pointing at a
    // record with its value; key 0's walk says which records live.
    std::string want;
    for (auto &[key, r] : expected) want += r + "|";
    EXPECT_TRUE(same(want, walk(f, 0)));
    if (c.segment_size) {
      std::string segments = info(f, -7);
      EXPECT_GT(std::stoi(segments.substr(0, 5)), 1) << segments;
      EXPECT_GT(std::stoi(segments.substr(6, 5)), 1) << segments;
    }
    EXPECT_EQ(1, v5_close(f));
  }
}

// A walk of key 1 (duplicates, in runs that span several one-block
// leaves) beside a second process that locks the record the walk comes to
// next, and deletes and adds duplicates ahead of it: every record comes in
// the model's order, (key 1, write sequence), with "another follows"
// exactly when the model's next has the same value; a locked record fails
// the step and is the next one read.
TEST_F(ProcessTest, AWalkOverDuplicatesBesideALockerAndAWriter) {
  const FileShape shape{5, "1,1,1,100,0", 30, 30, {{{{4, 0}}}, {{{2, 4}}, true}}};
  auto record = [&](int64_t i) {
    return shape.record({std::to_string(10000 + i).substr(1), std::string("k") + "abc"[i % 3]});
  };
  std::map<std::pair<std::string, int64_t>, int64_t> model;  // (key 1, sequence): record
  auto added = [&](int64_t i) { model[{record(i).substr(4, 2), i}] = i; };
  DorvexFile *f = shape.make_open(kFile);
  ASSERT_NE(nullptr, f) << codes();
  for (int64_t i = 0; i < 240; added(i++)) ASSERT_NE(0, write(f, record(i)));
  ASSERT_EQ(1, v5_close(f)) << codes();
  DorvexFile *w = nullptr;
  Worker other({[&](int64_t) { return int64_t{(w = v5_open(kFile, KEL_OPEN_IO, "")) != nullptr}; },
                [&](int64_t i) { return static_cast<int64_t>(read(w, record(i), 0).size()); },
                [&](int64_t) { return int64_t{v5_unlock(w)}; },
                [&](int64_t i) { return int64_t{v5_delete(w, record(i).data())}; },
                [&](int64_t i) { return int64_t{write(w, record(i))}; },
                [&](int64_t) { return int64_t{v5_close(w)}; }});
  ASSERT_EQ(1, other.run(0));
  ASSERT_NE(nullptr, f = v5_open(kFile, KEL_OPEN_IO, "")) << codes();
  ASSERT_EQ(1, start(f, std::string(30, '\0'), 1, 0, V5_START_NOT_LESS));
  int64_t sequence = 240, step = 0;
  for (auto at = model.begin(); at != model.end(); ++step) {
    if (step % 7 == 3) {
      ASSERT_EQ(30, other.run(1, at->second));
      EXPECT_EQ("", next(f)) << step;
      EXPECT_EQ(E_REC_LOCKED, error()) << step;
      ASSERT_EQ(1, other.run(2));
    }
    if (auto ahead = std::next(at); step % 5 == 1 && ahead != model.end()) {
      ASSERT_EQ(1, other.run(3, ahead->second));
      model.erase(ahead);
    }
    if (step % 11 == 4) {
      ASSERT_NE(0, other.run(4, sequence));
      added(sequence++);
    }
    ASSERT_EQ(record(at->second), next(f)) << step;
    auto following = std::next(at);
    bool shared = following != model.end() && following->first.first == at->first.first;
    EXPECT_EQ(shared ? E_DUPLICATE_ALTERNATE : 0, error()) << step;
    at = following;
  }
  EXPECT_EQ("", next(f));
  EXPECT_EQ(E_NOT_FOUND, error());
  EXPECT_TRUE(sound(f));
  EXPECT_EQ(1, other.run(5));
  EXPECT_EQ(1, v5_close(f));
}

}  // namespace
}  // namespace kel::test
