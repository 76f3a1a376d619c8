// Shared set-up of the transaction log's tests, on the engine tests' own
// (engine_fixture.h): a working folder with the shared log "shared.log",
// two indexed files and a relative file of 40-byte records, and a model
// of them that applies changes as the files do.
//
// Indexed records: key 0 is bytes 0-7 (unique), key 1 bytes 8-11 (with
// duplicates, so that the order of equal values, the write order, is
// checked too). Relative records fill their slot.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "common/random_driver.h"
#include "common/worker.h"
#include "fsapi/entry.h"
#include "indexed/engine_fixture.h"
#include "kelfs/modes.h"
#include "support/be.h"

namespace kel::test {

constexpr uint32_t kRecordSize = 40;
constexpr int kSlots = 30;
constexpr int32_t kLogged = 0x4000;

// One change as the model sees it.
struct Change {
  int file;   // 0 and 1 indexed ("a", "b"), 2 relative ("r")
  char kind;  // 'w' write, 'u' rewrite, 'd' delete
  std::string record;
  int slot = 0;
};

// The files' contents: records with their write sequence (the order of
// equal alternate values), and the relative slots.
struct World {
  struct Indexed {
    std::map<std::string, std::pair<std::string, uint64_t>> records;
    uint64_t counter = 0;
  };
  Indexed ix[2];
  std::map<int, std::string> slots;

  void apply(const Change &c) {
    if (c.file == 2)
      return c.kind == 'd' ? (void)slots.erase(c.slot) : (void)(slots[c.slot] = c.record);
    Indexed &x = ix[c.file];
    std::string key = c.record.substr(0, 8);
    if (c.kind == 'w')
      x.records[key] = {c.record, x.counter++};
    else if (c.kind == 'u')
      x.records[key].first = c.record;
    else
      x.records.erase(key);
  }
  // Records of indexed file `f` in the order of key `k`.
  std::vector<std::string> order(int f, int k) const {
    std::map<std::pair<std::string, uint64_t>, std::string> sorted;
    for (const auto &[key, v] : ix[f].records)
      sorted[{k == 0 ? key : v.first.substr(8, 4), v.second}] = v.first;
    std::vector<std::string> out;
    for (const auto &[_, r] : sorted) out.push_back(r);
    return out;
  }
};

// A log file's records, read independently of the log's own reader: an
// 8-byte header (length, type, time, big-endian) and the data.
struct LogRecord {
  uint16_t type;
  uint32_t time;
  std::string data;  // cut short when the log ends inside it
  size_t offset;
  bool whole;
};
inline std::vector<LogRecord> parse_log(const std::string &bytes) {
  std::vector<LogRecord> out;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    uint16_t length = load_be16(bytes.data() + at);
    out.push_back({load_be16(bytes.data() + at + 2), load_be32(bytes.data() + at + 4),
                   bytes.substr(at + 8, length), at, at + 8 + length <= bytes.size()});
    at += 8 + length;
  }
  return out;
}

// The engine tests' set-up, with the log's settings.
class TxlogTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    cfg_set_string("LOG_FILE", 0, "shared.log");
    cfg_set_short("LOCKS_PER_FILE", 0, 400);
    cfg_set_short("MAX_LOCKS", 0, 2000);
    fsapi::thread_data()->transaction_depth = 0;
  }
  void TearDown() override {
    close_files();
    Alog_shutdown();
    EngineTest::TearDown();
  }

  static void make_files() {
    for (const char *n : {"a", "b"})
      ASSERT_EQ(v5_make(n, nullptr, nullptr, "40,40,2", "1,0,8,0,1,1,4,8", nullptr), 1);
    ASSERT_EQ(Ar_make("r", "", 0), 1);
  }
  void open_files() {
    a_ = v5_open("a", kLogged | KEL_OPEN_IO, "");
    b_ = v5_open("b", KEL_OPEN_IO, "");
    r_ = Ar_open("r", kLogged | KEL_OPEN_IO, kRecordSize, kRecordSize, 0);
    ASSERT_TRUE(a_ && b_ && r_) << *fs_error_code();
  }
  void close_files() {
    if (a_) v5_close(a_);
    if (b_) v5_close(b_);
    if (r_) Ar_close(r_);
    a_ = b_ = nullptr, r_ = nullptr;
  }
  // The files saved into folder "saved" (`back`: put back from there).
  static void save(bool back = false) {
    mkdir("saved", 0755);
    for (std::string n : {"a", "b", "r"}) {
      std::string from = back ? "saved/" + n : n, to = back ? n : "saved/" + n;
      if (n != "r") v5_remove(to.c_str());
      ASSERT_EQ(n == "r" ? Ar_copy(from.c_str(), to.c_str()) : v5_copy(from.c_str(), to.c_str()),
                1);
    }
  }
  // The saved files put back, the log replayed (`result` -1: success, or a
  // log cut inside its last unit, log error 6), and the files
  // checked against `w`.
  void recover_into(const World &w, int result, int16_t error = 0) {
    close_files();
    Alog_shutdown();
    save(true);
    int got = v5_recover(), log_error = *Alog_error_code();
    EXPECT_TRUE(result >= 0 ? got == result && log_error == error : got == 1 || log_error == 6)
        << got << ", log error " << log_error;
    open_files();
    expect_files(w);
  }

  // A change that succeeds on `w`, drawn at random, carried out on the
  // files (unless `act` is false: the draw alone, as a replay of another
  // process's draws makes it); false when the file system refused it.
  bool random_change(const World &w, Change *c, bool act = true) {
    auto below = [&](int n) { return static_cast<int>(run_.below(static_cast<size_t>(n))); };
    c->file = below(3);
    c->record.assign(kRecordSize, ' ');
    for (char &ch : c->record) ch = static_cast<char>('a' + below(26));
    bool found;
    if (c->file == 2) {
      c->slot = 1 + below(kSlots);
      found = w.slots.count(c->slot);
    } else {
      char head[13];
      snprintf(head, sizeof head, "K%07dA%03d", below(60), below(5));
      c->record.replace(0, 12, head);
      found = w.ix[c->file].records.count(c->record.substr(0, 8));
    }
    c->kind = !found ? 'w' : below(2) ? 'u' : 'd';
    if (!act) return true;
    const char *r = c->record.data();
    DorvexFile *f = c->file == 0 ? a_ : b_;
    if (c->file == 2)
      return (c->kind == 'w'   ? Ar_write(r_, r, kRecordSize, c->slot)
              : c->kind == 'u' ? Ar_rewrite(r_, r, kRecordSize, c->slot)
                               : Ar_delete(r_, c->slot)) == 1;
    return (c->kind == 'w'   ? v5_write(f, r, kRecordSize)
            : c->kind == 'u' ? v5_rewrite(f, r, kRecordSize)
                             : v5_delete(f, r)) == 1;
  }

  // The files hold exactly what `w` says, in every key's order.
  void expect_files(const World &w) {
    for (int f = 0; f < 2; ++f) {
      DorvexFile *file = f == 0 ? a_ : b_;
      for (int k = 0; k < 2; ++k) {
        std::vector<std::string> got;
        char buffer[kRecordSize] = {};
        if (v5_start(file, buffer, k, 0, V_START_NOT_LESS) == 1)
          while (v5_next(file, buffer) == kRecordSize) got.emplace_back(buffer, kRecordSize);
        v5_unlock(file);  // a file opened with 0x4000 keeps its read locks
        ASSERT_EQ(got, w.order(f, k)) << "file " << f << " key " << k;
      }
      ASSERT_EQ(v5i_check(file, 0), 1) << v5i_check_report();
    }
    std::map<int, std::string> slots;
    for (int n = 1; n <= kSlots; ++n) {
      char buffer[kRecordSize + 1] = {};
      if (int got = Ar_read(r_, buffer, n); got) {
        EXPECT_EQ(got, static_cast<int>(kRecordSize) + 1) << "slot " << n;
        slots[n].assign(buffer, kRecordSize);
      }
    }
    ASSERT_EQ(slots, w.slots);
  }

  // The random driver's seed (KEL_TEST_SEED replays a run) and draws.
  RandomRun run_{20261207u, 700};
  ::testing::ScopedTrace trace_{__FILE__, __LINE__, "KEL_TEST_SEED=" + std::to_string(run_.seed())};
  DorvexFile *a_ = nullptr, *b_ = nullptr;
  RelativeFile *r_ = nullptr;
};

}  // namespace kel::test
