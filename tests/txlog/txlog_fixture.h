// Shared set-up of the transaction log's tests: a working folder with the
// shared log "shared.log", two indexed files and a relative file of 40-byte
// records, and a model of them that applies changes as the files do.
//
// Indexed records: key 0 is bytes 0-7 (unique), key 1 bytes 8-11 (with
// duplicates, so that the order of equal values, the write order, is
// checked too). Relative records fill their slot.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/random_driver.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "fsapi/entry.h"
#include "indexed/engine.h"
#include "kelfs/kelfs.h"
#include "kelfs/modes.h"
#include "support/be.h"

namespace kel::test {

constexpr uint32_t kRecordSize = 40;
constexpr int kSlots = 30;
constexpr int32_t kLogged = 0x4000;

// One change as the model sees it; `before` is what a rollback puts back.
struct Change {
  int file;   // 0 and 1 indexed ("a", "b"), 2 relative ("r")
  char kind;  // 'w' write, 'u' rewrite, 'd' delete
  std::string record;
  int slot = 0;
  std::string before;
};

// The files' contents: records with their write sequence (the order of
// equal alternate values), and the relative slots.
struct World {
  struct Indexed {
    std::map<std::string, std::pair<std::string, uint64_t>> records;
    uint64_t counter = 0;
    std::map<std::string, std::vector<uint64_t>> deleted;  // sequences, for undo
  };
  Indexed ix[2];
  std::map<int, std::string> slots;

  void apply(const Change &c) {
    if (c.file == 2) {
      if (c.kind == 'd')
        slots.erase(c.slot);
      else
        slots[c.slot] = c.record;
      return;
    }
    Indexed &x = ix[c.file];
    std::string key = c.record.substr(0, 8);
    if (c.kind == 'w') {
      x.records[key] = {c.record, x.counter++};
    } else if (c.kind == 'u') {
      x.records[key].first = c.record;
    } else {
      x.deleted[key].push_back(x.records[key].second);
      x.records.erase(key);
    }
  }
  // The rollback's undo: a deleted record comes back with its sequence.
  void undo(const Change &c) {
    if (c.file != 2 && c.kind != 'u') {
      Indexed &x = ix[c.file];
      std::string key = c.record.substr(0, 8);
      if (c.kind == 'w') return (void)x.records.erase(key);
      x.records[key] = {c.before, x.deleted[key].back()};
      x.deleted[key].pop_back();
      return;
    }
    char inverse = c.kind == 'w' ? 'd' : c.kind == 'u' ? 'u' : 'w';
    apply(Change{c.file, inverse, c.kind == 'w' ? c.record : c.before, c.slot, ""});
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

class TxlogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
    cfg_set_string("LOG_FILE", 0, "shared.log");
    cfg_set_short("LOCKS_PER_FILE", 0, 400);
    cfg_set_short("MAX_LOCKS", 0, 2000);
    fsapi::thread_data()->transaction_depth = 0;
  }
  void TearDown() override {
    close_files();
    Alog_shutdown();
    indexed::shutdown();
  }

  static void make_files() {
    ASSERT_EQ(v5_make("a", nullptr, nullptr, "40,40,2", "1,0,8,0,1,1,4,8", nullptr), 1);
    ASSERT_EQ(v5_make("b", nullptr, nullptr, "40,40,2", "1,0,8,0,1,1,4,8", nullptr), 1);
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
    a_ = b_ = nullptr;
    r_ = nullptr;
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
  // The saved files put back, the log replayed (`result` -1: either a
  // whole log or one cut inside its last unit, log error 6), and the files
  // checked against `w`.
  void recover_into(const World &w, int result, int16_t error = 0) {
    close_files();
    Alog_shutdown();
    save(true);
    int got = v5_recover();
    EXPECT_EQ(got, result >= 0 ? result : got);
    EXPECT_EQ(*Alog_error_code(), result >= 0 ? error : got == 1 ? 0 : 6);
    open_files();
    expect_files(w);
  }

  // A change that succeeds on `w`, drawn at random, carried out on the
  // files; false when the file system refused it.
  bool random_change(const World &w, Change *c) {
    auto below = [&](int n) { return static_cast<int>(run_.below(static_cast<size_t>(n))); };
    c->file = below(3);
    std::string body(kRecordSize, ' ');
    for (char &ch : body) ch = static_cast<char>('a' + below(26));
    char head[13];
    if (c->file == 2) {
      c->slot = 1 + below(kSlots);
      auto it = w.slots.find(c->slot);
      c->kind = it == w.slots.end() ? 'w' : below(2) ? 'u' : 'd';
      c->before = it == w.slots.end() ? "" : it->second;
      c->record = body;
      if (c->kind == 'w') return Ar_write(r_, body.data(), kRecordSize, c->slot) == 1;
      if (c->kind == 'u') return Ar_rewrite(r_, body.data(), kRecordSize, c->slot) == 1;
      return Ar_delete(r_, c->slot) == 1;
    }
    DorvexFile *f = c->file == 0 ? a_ : b_;
    snprintf(head, sizeof head, "K%07dA%03d", below(60), below(5));
    body.replace(0, 12, head);
    auto it = w.ix[c->file].records.find(body.substr(0, 8));
    c->kind = it == w.ix[c->file].records.end() ? 'w' : below(2) ? 'u' : 'd';
    c->before = it == w.ix[c->file].records.end() ? "" : it->second.first;
    c->record = body;
    if (c->kind == 'w') return v5_write(f, body.data(), kRecordSize) == 1;
    if (c->kind == 'u') return v5_rewrite(f, body.data(), kRecordSize) == 1;
    return v5_delete(f, body.data()) == 1;
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
    for (int n = 1; n <= kSlots; ++n) {
      char buffer[kRecordSize + 1] = {};
      int got = Ar_read(r_, buffer, n);
      auto it = w.slots.find(n);
      ASSERT_EQ(got, it == w.slots.end() ? 0 : static_cast<int>(kRecordSize) + 1)
          << "slot " << n << " error " << *fs_error_code() << "/" << *fs_error_secondary();
      if (got) {
        ASSERT_EQ(std::string(buffer, kRecordSize), it->second) << "slot " << n;
      }
    }
  }

  TempDir dir_{true};
  // The random driver's seed (KEL_TEST_SEED replays a run) and draws.
  RandomRun run_{20261207u, 700};
  ::testing::ScopedTrace trace_{__FILE__, __LINE__, "KEL_TEST_SEED=" + std::to_string(run_.seed())};
  DorvexFile *a_ = nullptr;
  DorvexFile *b_ = nullptr;
  RelativeFile *r_ = nullptr;
};

}  // namespace kel::test
