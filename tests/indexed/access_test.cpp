// The record operations through the entry points, beyond what the model
// decides: arguments and open modes they refuse, record locks between opens
// of one process (also met by the physical scan), a write undone key by
// key when a later key is a duplicate (with the engine's inner-step trace
// in the rows), deletes by each key's own duplicate number, broken
// nodes that mark the file, positions outside the segments, a full disk;
// rewrites refused, a lock that follows a moved record, the rewrite's
// trace (a golden file) and its call of the transaction log; bulk
// additions cut short, unreadable or failing allocations; a writer killed
// and a reader beside a writer in another process.
#include "common/call_script.h"
#include "indexed/access/access_state.h"
#include "indexed/access/transaction.h"
#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"

namespace kel::test {
namespace {

using AccessTest = EngineTest;

// Arguments and open modes refused, record locks between opens of one
// process, broken nodes that mark the file; a write undone key by key
// and deletes by each key's own duplicate number, with the engine's
// inner steps; positions outside the segments; writes stopped by a full
// disk: rows of a golden file. A writer killed with the file open; a
// reader beside a writer in another process that inserts and deletes
// around its position, or that grows the file into further segments and
// the tree by levels while the reader has blocks of it cached: rows of
// two more.
TEST_F(AccessTest, FixedCallSequences) {
  for (const char *rows : {"indexed/access_calls.txt", "indexed/dead_writer_calls.txt",
                           "indexed/reader_beside_writer_calls.txt"}) {
    CallScript script;
    add_engine_verbs(script);
    // walks H: every key's walk and the physical scan, as their length and
    // a hash (FNV-1a), to see that they did not change.
    script.add("walks", [&](const Call &c) {
      DorvexFile *f = script.file<DorvexFile>(c.text(0));
      std::string all = walk(f, 0) + "\n" + walk(f, 1) + "\n" + walk(f, 2) + "\n" + scan(f);
      uint64_t hash = 14695981039346656037u;
      for (char ch : all) hash = (hash ^ static_cast<uint8_t>(ch)) * 1099511628211u;
      return std::to_string(all.size()) + " bytes, hash " + std::to_string(hash);
    });
    EXPECT_TRUE(script.run(rows));
  }
}

// The transaction log of the rewrite case: always in a transaction, keeps
// what it is handed, refuses when told to.
struct LogProbe {
  static inline std::string record, before;
  static inline bool refuse = false;
  static bool yes() { return true; }
  static bool log(DorvexFile *, const uint8_t *r, uint32_t n, const uint8_t *b, uint32_t bn) {
    record.assign(reinterpret_cast<const char *>(r), n);
    before.assign(reinterpret_cast<const char *>(b), bn);
    return !refuse;
  }
};

// Refused rewrites, a record moved with its lock, the trace of a rewrite
// in place and of a move; inside a transaction the log gets both images
// and the record stays locked, and a refusal of the log fails the rewrite
// ("log on|refuse|off", "logged": the record and the image before it):
// rows of a golden file.
TEST_F(AccessTest, RewritesRefusedMovedTracedAndLogged) {
  CallScript script;
  add_engine_verbs(script);
  static const indexed::IndexedLog log = {LogProbe::yes, nullptr, nullptr,
                                          LogProbe::log, nullptr, nullptr};
  script.add("log", [](const Call &c) {
    indexed::set_indexed_log(c.text(0) == "off" ? nullptr : &log);
    LogProbe::refuse = c.text(0) == "refuse";
    return std::string("done");
  });
  script.add("logged", [](const Call &) { return as_row({LogProbe::record, LogProbe::before}); });
  EXPECT_TRUE(script.run("indexed/rewrite_calls.txt"));
}

// A bulk addition killed before its close, a duplicates log that cannot be
// made, the close's trace of every key it adds, a record added in bulk
// that cannot be read back: rows of a golden file. Every allocation of a
// bulk session failing in turn leaves no block allocated and a file that
// either refuses to open (incomplete) or is whole.
TEST_F(AccessTest, BulkAdditionsCutShortUnreadableOrWithoutMemory) {
  constexpr int32_t kBulkOpen = 0x8000 | 0x600 | KEL_OPEN_IO;
  // Key 0: 8 bytes at 0, unique; key 1: 3 at 8, duplicates; key 2: 5 at
  // 11, unique.
  const FileShape shape{5, "1,1,1,70,0", 40, 20, {{{{8, 0}}}, {{{3, 8}}, true}, {{{5, 11}}}}};
  RecordGen gen(shape, {{3000}, {40}, {5000}});
  std::mt19937 rng(12);  // records whose duplicates meet the failing allocations
  auto made = [&](const char *name) {
    DorvexFile *f = shape.make_open(name);
    return f != nullptr && v5_close(f) == 1;
  };
  CallScript script;
  add_engine_verbs(script);
  EXPECT_TRUE(script.run("indexed/bulk_calls.txt"));

  cfg_set_long("V_BULK_MEMORY", 0, 8192);
  std::vector<std::string> records;
  for (int i = 0; i < 300; ++i) records.push_back(gen.random(rng));
  bool whole = false, failed = false;
  auto session = [&] {
    if (!(whole = made("alloc"))) return;
    DorvexFile *b = v5_open("alloc", kBulkOpen, "0,0,0");
    failed = b == nullptr;
    for (size_t i = 0; b != nullptr && i < records.size(); ++i) failed |= write(b, records[i]) != 1;
    failed |= b == nullptr || v5_close(b) != 1;
  };
  session();  // the process-wide tables and buffers, made on first use
  ASSERT_FALSE(failed);
  const int64_t live = alloc_live_blocks();
  auto judge = [&](int n) {
    EXPECT_EQ(live, alloc_live_blocks()) << n;
    DorvexFile *g = whole ? v5_open("alloc", 0, "0,0,0") : nullptr;
    if (whole && g == nullptr) {
      EXPECT_TRUE(kel::test::failed(true, E_BROKEN, indexed::kBrokenIncomplete)) << n;
    } else if (g != nullptr) {
      EXPECT_TRUE(sound(g)) << n;
      EXPECT_EQ(1, v5_close(g));
    }
  };
  EXPECT_GT(fail_each_allocation(session, judge), 10);
  EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace kel::test
