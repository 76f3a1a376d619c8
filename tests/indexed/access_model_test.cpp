// Random operations through the entry points against the reference model
// (FileModel, below): writes (also of the maximum length given as 0, and one
// byte too long), rewrites (in place or moved, refused for a taken unique
// value or a bad length), bulk additions (the duplicates log and the hooks
// against the model's rejections, a key buffer far smaller than the keys,
// a read half-way), deletes, starts in every mode with whole and partial
// keys, keyed reads, next and previous walks, unlocks, reopens, and writes
// and deletes with each of their allocations failing in turn. The file
// grows, turns over and shrinks, with the structural check after every 40
// steps; at the end every key is walked both ways, the physical scan is
// compared, and the file is drained to empty trees and filled again. One
// run per shape: nodes of 1, 2 and 16 blocks, keys of up to 250 bytes,
// twelve keys, keys in two parts, a collating table, compression and
// scrambling, versions 2, 3, 4 and 5, segments small enough to grow, and
// the unlocked read modes.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "common/random_driver.h"
#include "indexed/engine_fixture.h"
#include "support/be.h"

namespace kel::test {
namespace {

// A reference model of an indexed file for the random tests: the records,
// one ordered set of (key value, duplicate number) entries per key, and the
// current-record state, with the outcome every operation must have.
//
// The duplicate number of an entry is the record's write sequence (the
// count of successful writes before it) in keys that allow duplicates, 0
// in the others, exactly as the engine numbers them; so the model orders
// equal keys as the trees do and the search rules carry over unchanged.
class FileModel {
 public:
  struct Entry {
    std::string key;  // translated key bytes
    uint64_t dup;
    uint64_t id;
    bool operator<(const Entry &o) const {
      if (int c = key.compare(o.key)) return c < 0;
      return dup < o.dup;
    }
  };
  using Tree = std::set<Entry>;

  struct Outcome {
    bool ok = false;
    int16_t code = 0;    // the primary error afterwards
    std::string record;  // the record read
  };

  FileModel(std::vector<KeySpec> keys, const uint8_t *table) : keys_(std::move(keys)) {
    for (int i = 0; i < 256; ++i) table_[i] = table ? table[i] : static_cast<uint8_t>(i);
    trees_.resize(keys_.size());
  }

  std::string key_of(int k, const std::string &record) const {
    std::string out;
    for (const KeyPart &p : keys_[k].parts)
      for (size_t i = 0; i < p.size; ++i)
        out += static_cast<char>(table_[static_cast<uint8_t>(record[p.offset + i])]);
    return out;
  }
  std::string raw_primary(const std::string &record) const {
    std::string out;
    for (const KeyPart &p : keys_[0].parts) out += record.substr(p.offset, p.size);
    return out;
  }

  const std::map<uint64_t, std::string> &records() const { return records_; }

  // --- writes ---
  // Whether a write of the record succeeds: no unique key value taken.
  bool accepts(const std::string &record) const {
    for (size_t k = 0; k < keys_.size(); ++k)
      if (!keys_[k].duplicates && has_key(static_cast<int>(k), key_of(static_cast<int>(k), record)))
        return false;
    return true;
  }
  Outcome write(const std::string &record) {
    last_.reset();
    if (!accepts(record)) return fail(E_DUPLICATE);
    bool shared = false;
    uint64_t id = sequence_++;
    records_[id] = record;
    for (int k = 0; k < static_cast<int>(keys_.size()); ++k) {
      shared = shared || has_key(k, key_of(k, record));  // before its own entry goes in
      trees_[k].insert(Entry{key_of(k, record), dup_of(k, id), id});
    }
    return done(shared);
  }
  // A write refused for its length: only the last-record fields go.
  void refused_write() { last_.reset(); }

  // The record a delete or a rewrite acts on: the last one read when its
  // primary key bytes are the record's, else the first of its key 0 value.
  std::optional<uint64_t> target(const std::string &record) {
    std::optional<uint64_t> id;
    if (last_ && raw_primary(records_[*last_]) == raw_primary(record)) id = last_;
    last_.reset();
    if (auto it = first_equal(0, key_of(0, record)); !id && it) id = (*it)->id;
    return id;
  }
  Outcome remove(const std::string &record) {
    std::optional<uint64_t> id = target(record);
    if (!id) return fail(E_NOT_FOUND);
    const std::string stored = records_[*id];
    for (size_t k = 0; k < keys_.size(); ++k)
      trees_[k].erase(
          Entry{key_of(static_cast<int>(k), stored), dup_of(static_cast<int>(k), *id), *id});
    records_.erase(*id);
    return done(false);
  }

  // A rewrite: the record keeps its duplicate number in every key, so it
  // keeps its place among equal values. `maybe_shared`: 101 may or may not
  // come (an unchanged key that shares its value is added again only when
  // the record moved).
  Outcome rewrite(const std::string &record, bool *maybe_shared) {
    *maybe_shared = false;
    std::optional<uint64_t> id = target(record);
    if (!id) return fail(E_NOT_FOUND);
    const std::string old = records_[*id];
    for (int k = 1; k < static_cast<int>(keys_.size()); ++k) {
      std::string now = key_of(k, record);
      if (now != key_of(k, old) && !keys_[k].duplicates && has_key(k, now))
        return fail(E_DUPLICATE);
    }
    bool shared = false;
    for (int k = 0; k < static_cast<int>(keys_.size()); ++k) {
      std::string before = key_of(k, old), now = key_of(k, record);
      trees_[k].erase(Entry{before, dup_of(k, *id), *id});
      bool equal = has_key(k, now);
      (now == before ? *maybe_shared : shared) |= equal && keys_[k].duplicates;
      trees_[k].insert(Entry{now, dup_of(k, *id), *id});
    }
    records_[*id] = record;
    return done(shared);
  }

  // What the close of a bulk addition does to `batch` (in the order
  // written): per unique key in turn, the records in key order (equal
  // values in the order written) are added, and one whose value the key
  // already holds is rejected. The survivors go in in the order written;
  // the rejected come back in the order of their first rejection, which is
  // the order of the duplicates log.
  std::vector<std::string> bulk(const std::vector<std::string> &batch) {
    std::vector<size_t> rejected;
    std::vector<bool> out(batch.size());
    for (int k = 0; k < static_cast<int>(keys_.size()); ++k) {
      if (keys_[k].duplicates) continue;
      std::vector<size_t> order(batch.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return key_of(k, batch[a]) < key_of(k, batch[b]);
      });
      std::set<std::string> held;
      for (const Entry &e : trees_[k]) held.insert(e.key);
      for (size_t i : order) {
        if (held.insert(key_of(k, batch[i])).second || out[i]) continue;
        rejected.push_back(i);
        out[i] = true;
      }
    }
    for (size_t i = 0; i < batch.size(); ++i)
      if (!out[i]) write(batch[i]);
    std::vector<std::string> log;
    for (size_t i : rejected) log.push_back(batch[i]);
    return log;
  }

  void unlock() { last_.reset(); }
  // A new open: nothing of the old position survives.
  void reopen() {
    state_ = 1;
    key_ref_ = 0;
    last_.reset();
  }

  // --- positioning and reading ---
  Outcome start(int k, const std::string &record, size_t length, int mode) {
    std::string key = key_of(k, record);
    size_t size = keys_[k].size();
    bool partial = length > 0 && length < size;
    if (partial)
      key.replace(length, size - length, size - length, mode == 2 || mode == 4 ? '\xff' : '\0');
    // Modes 0 and 1 take the first entry not below the key, 2 the first
    // above it, 3 and 4 the entry before those; mode 0 only when it holds
    // the key (its first `length` bytes when partial).
    const Tree &t = trees_[k];
    auto low = t.lower_bound(Entry{key, 0, 0}), high = t.upper_bound(Entry{key, 0xFFFFFFFF, 0});
    auto from = mode == 2 || mode == 4 ? high : low;
    size_t n = partial ? length : size;
    std::optional<Tree::const_iterator> e;
    if (mode == 0 && low != t.end() && low->key.compare(0, n, key, 0, n) == 0) e = low;
    if ((mode == 1 || mode == 2) && from != t.end()) e = from;
    if (mode == 3 || mode == 4) e = before_or_none(t, from);
    if (!e) return fail(E_NOT_FOUND);
    position(k, **e, true);
    return done(false);
  }

  Outcome read(int k, const std::string &record) {
    auto it = first_equal(k, key_of(k, record));
    if (!it) return fail(E_NOT_FOUND);
    return returned(k, *it, true);
  }

  Outcome next() {
    if (state_ != 1 && state_ != 3) return fail(E_NO_CURRENT);
    const Tree &t = trees_[key_ref_];
    Tree::const_iterator it;
    if (state_ == 1)
      it = t.begin();
    else if (pending_)
      it = t.lower_bound(current_);
    else
      it = t.upper_bound(current_);
    if (it == t.end()) {
      state_ = 2;
      return fail(E_NOT_FOUND);
    }
    return returned(key_ref_, it, true);
  }

  Outcome previous() {
    if (state_ != 2 && state_ != 3) return fail(E_NO_CURRENT);
    const Tree &t = trees_[key_ref_];
    std::optional<Tree::const_iterator> e;
    // From the end (state 2), or from the position: the entry there when a
    // start left it pending and it is still there, else the one before.
    auto it = state_ == 2 ? t.end() : t.lower_bound(current_);
    if (state_ == 3 && pending_ && it != t.end() && it->key == current_.key &&
        it->dup == current_.dup)
      e = it;
    else
      e = before_or_none(t, it);
    if (!e) {
      state_ = 1;
      return fail(E_NOT_FOUND);
    }
    return returned(key_ref_, *e, false);
  }

  // The records in the order of key k.
  std::vector<std::string> in_order(int k) const {
    std::vector<std::string> out;
    for (const Entry &e : trees_[k]) out.push_back(records_.at(e.id));
    return out;
  }

 protected:
  static Outcome fail(int16_t code) { return Outcome{false, code, ""}; }
  // Success; 101 when another record shares an alternate key value.
  static Outcome done(bool shared, std::string record = "") {
    return Outcome{true, static_cast<int16_t>(shared ? E_DUPLICATE_ALTERNATE : 0),
                   std::move(record)};
  }
  uint64_t dup_of(int k, uint64_t id) const { return keys_[k].duplicates ? id : 0; }
  bool has_key(int k, const std::string &key) const { return first_equal(k, key).has_value(); }
  std::optional<Tree::const_iterator> first_equal(int k, const std::string &key) const {
    const Tree &t = trees_[k];
    auto it = t.lower_bound(Entry{key, 0, 0});
    if (it == t.end() || it->key != key) return std::nullopt;
    return it;
  }
  static std::optional<Tree::const_iterator> before_or_none(const Tree &t,
                                                            Tree::const_iterator it) {
    if (it == t.begin()) return std::nullopt;
    return std::prev(it);
  }
  void position(int k, const Entry &e, bool pending) {
    state_ = 3;
    key_ref_ = k;
    current_ = e;
    pending_ = pending;
  }
  // A record returned at `it`: it becomes the position and the last record;
  // with the duplicate check, 101 when an equal key follows.
  Outcome returned(int k, Tree::const_iterator it, bool dup_check) {
    position(k, *it, false);
    last_ = it->id;
    auto after = std::next(it);
    return done(
        dup_check && keys_[k].duplicates && after != trees_[k].end() && after->key == it->key,
        records_.at(it->id));
  }

  std::vector<KeySpec> keys_;
  uint8_t table_[256];
  std::map<uint64_t, std::string> records_;
  std::vector<Tree> trees_;
  uint64_t sequence_ = 0;
  int state_ = 1;
  int key_ref_ = 0;
  Entry current_{};
  bool pending_ = false;
  std::optional<uint64_t> last_;
};

using Op = RandomRun::Op;

struct Case {
  const char *name;
  uint32_t seed;
  int operations;
  FileShape shape;
  std::vector<KeyValues> values;
  int peak_height = 3;       // key 0's tree must grow at least this high
  int16_t lock_method = 0;   // V_LOCK_METHOD
  int32_t bulk_memory = -1;  // V_BULK_MEMORY of bulk additions; -1: none, 0: the default
  // Exclusive opens (deferred writes too) go straight to where the last
  // insertion of a key went when the next key follows it: runs of
  // ascending writes then take that way.
  int32_t open_mode = KEL_OPEN_IO;
};

constexpr int32_t kTinyBuffer = 100;  // works as 512 bytes: 11 entries a batch
constexpr int32_t kBulkOpen = 0x8000 | 0x600 | KEL_OPEN_IO;

// The hooks of a bulk addition: what they were handed.
struct BulkHooks {
  static inline std::vector<v5_progress> progress;
  static inline std::vector<std::string> rejected;
  static void on_progress(void *p) { progress.push_back(*static_cast<v5_progress *>(p)); }
  static void on_duplicate(DorvexFile *, const char *r, uint32_t n) { rejected.emplace_back(r, n); }
};

void PrintTo(const Case &c, std::ostream *out) {
  *out << c.name;
}

class AccessModel : public EngineTest, public ::testing::WithParamInterface<Case> {
 protected:
  const Case &c_ = GetParam();
  RandomRun run_{c_.seed, c_.operations};
  RecordGen gen_{c_.shape, c_.values};
  FileModel model_{c_.shape.keys, c_.shape.table()};
  DorvexFile *f_ = nullptr;
  int peak_ = 0;
  std::string segments_;
  int no_memory_ = 0;  // operations failed for want of memory
  int moved_ = 0, in_place_ = 0, bulk_rejected_ = 0;
  std::vector<std::pair<std::string, size_t>> by_key0_;  // key 0's values in key order

  std::string random_record() { return gen_.random(run_.rng()); }
  // An existing record most of the time, else a new one.
  std::string some_record() {
    const auto &recs = model_.records();
    if (recs.empty() || run_.chance(25)) return random_record();
    return std::next(recs.begin(), static_cast<long>(run_.below(recs.size())))->second;
  }

  void expect(const FileModel::Outcome &want, bool ok, const std::string &got = "") {
    ASSERT_EQ(want.ok, ok) << "error " << codes();
    EXPECT_EQ(want.code, error());
    if (ok) {
      ASSERT_EQ(want.record, got);
    }
  }

  void write_one() {
    std::string r = random_record();
    bool whole = r.size() == c_.shape.max_record && run_.chance(30);
    run_.note(r.substr(0, 12));
    int ok = v5_write(f_, r.data(), whole ? 0 : static_cast<uint32_t>(r.size()));
    expect(model_.write(r), ok == 1);
  }
  // Writes in ascending order of key 0, as a restore writes: a stretch of
  // the key's values next to each other in key order (a scattered key's
  // values are not in the order of their numbers), those not in the file
  // yet going in one after the other.
  void write_ascending() {
    if (by_key0_.empty()) {
      for (size_t v = 0; v < gen_.values(0); ++v)
        by_key0_.emplace_back(model_.key_of(0, gen_.with_key0(v, run_.rng())), v);
      std::sort(by_key0_.begin(), by_key0_.end());
    }
    size_t at = run_.below(by_key0_.size()), n = 2 + run_.below(30);
    run_.note(std::to_string(n) + " from " + std::to_string(at));
    for (size_t i = at; i < at + n && i < by_key0_.size(); ++i) {
      std::string r = gen_.with_key0(by_key0_[i].second, run_.rng());
      expect(model_.write(r), write(f_, r) == 1);
    }
  }
  void delete_one() {
    std::string r = some_record();
    run_.note(r.substr(0, 12));
    expect(model_.remove(r), v5_delete(f_, r.data()) == 1);
  }
  void start_one() {
    std::string r = some_record();
    int k = static_cast<int>(run_.below(c_.shape.keys.size()));
    int mode = static_cast<int>(run_.below(5));
    size_t length = run_.chance(50) ? 0 : run_.below(c_.shape.keys[k].size() + 1);
    run_.note("key " + std::to_string(k) + " mode " + std::to_string(mode) + " length " +
              std::to_string(length));
    expect(model_.start(k, r, length, mode), start(f_, r, k, static_cast<int>(length), mode) == 1);
  }
  void read_one() {
    std::string r = some_record();
    int k = static_cast<int>(run_.below(c_.shape.keys.size()));
    std::string got = read(f_, r, k);
    expect(model_.read(k, r), !got.empty(), got);
  }
  void walk_some() {
    bool forward = run_.chance(50);
    size_t n = 1 + run_.below(run_.chance(20) ? 30 : 3);
    run_.note(std::to_string(n) + (forward ? " forward" : " back"));
    for (; n > 0 && !HasFatalFailure(); --n) {
      std::string got = forward ? next(f_) : previous(f_);
      expect(forward ? model_.next() : model_.previous(), !got.empty(), got);
      if (got.empty()) break;
    }
  }
  // A new image of an existing record (or of none): the same primary key,
  // another length and body half of the time, an alternate key changed
  // now and then.
  void rewrite_one() {
    const std::string old = some_record();
    std::string r = run_.chance(50) ? old : random_record(), other = random_record();
    for (size_t k = 0; k < c_.shape.keys.size(); ++k)
      for (const KeyPart &p : c_.shape.keys[k].parts)
        r.replace(p.offset, p.size,
                  (k > 0 && run_.chance(30) ? other : old).substr(p.offset, p.size));
    bool bad_length = run_.chance(3);
    run_.note(r.substr(0, 12) + (bad_length ? " too long" : ""));
    uint64_t deleted = indexed::hget(f_, indexed::kDeletedCount);
    int ok = v5_rewrite(f_, r.data(), bad_length ? c_.shape.max_record + 1 : r.size());
    if (bad_length) {
      EXPECT_TRUE(fails(ok, E_PARAM));
      return model_.refused_write();
    }
    bool maybe = false;
    FileModel::Outcome want = model_.rewrite(r, &maybe);
    if (maybe && ok == 1 && error() == E_DUPLICATE_ALTERNATE) want.code = E_DUPLICATE_ALTERNATE;
    expect(want, ok == 1);
    if (ok == 1) ++(indexed::hget(f_, indexed::kDeletedCount) > deleted ? moved_ : in_place_);
  }
  // Closes, adds a batch in bulk, compares the duplicates log and what the
  // hooks were handed with the model's rejections, and opens again. Now
  // and then a keyed read half-way adds the waiting keys first.
  void bulk_add() {
    std::remove("dups.log");
    BulkHooks::progress.clear();
    BulkHooks::rejected.clear();
    EXPECT_EQ(nullptr, v5_register_progress(BulkHooks::on_progress));
    EXPECT_EQ(nullptr, v5_register_duplicate(BulkHooks::on_duplicate));
    ASSERT_NO_FATAL_FAILURE(reopen(kBulkOpen));
    std::vector<std::string> batch, rejected;
    size_t n = 20 + run_.below(300), half = run_.chance(30) ? n / 2 : n;
    run_.note(std::to_string(n) + " records" + (half < n ? ", a read half-way" : ""));
    for (size_t i = 0; i < n; ++i) {
      batch.push_back(random_record());
      ASSERT_EQ(1, write(f_, batch.back())) << codes();
      if (i + 1 == half) {
        rejected = model_.bulk(batch);
        batch.clear();
        std::string r = some_record();
        EXPECT_EQ(model_.read(0, r).record, read(f_, r, 0));
      }
    }
    ASSERT_EQ(1, v5_close(f_)) << codes();
    for (const std::string &r : model_.bulk(batch)) rejected.push_back(r);
    bulk_rejected_ += static_cast<int>(rejected.size());
    // The log and the hook in one order: the model's, unless a key buffer
    // too small for sorted runs inserted each batch on its own (the same
    // records, in the order of the batches).
    std::string log;
    for (const std::string &r : BulkHooks::rejected) {
      char length[2];
      store_be16(length, static_cast<uint16_t>(r.size()));
      log += std::string(length, 2) + r;
    }
    EXPECT_TRUE(same(log, file_exists("dups.log") ? read_file("dups.log") : ""));
    std::vector<std::string> logged = BulkHooks::rejected;
    if (c_.bulk_memory == kTinyBuffer) {
      std::sort(rejected.begin(), rejected.end());
      std::sort(logged.begin(), logged.end());
    }
    EXPECT_EQ(rejected, logged);
    EXPECT_FALSE(BulkHooks::progress.empty());
    for (const v5_progress &p : BulkHooks::progress) EXPECT_LE(p.done, p.total);
    EXPECT_EQ(BulkHooks::on_progress, v5_register_progress(nullptr));
    EXPECT_EQ(BulkHooks::on_duplicate, v5_register_duplicate(nullptr));
    ASSERT_NE(nullptr, f_ = v5_open("model", c_.open_mode, "0,0,0"));
    model_.reopen();
  }
  void too_long() {
    std::string r = random_record();
    EXPECT_TRUE(fails(v5_write(f_, r.data(), c_.shape.max_record + 1), E_PARAM));
    model_.refused_write();
  }
  // The file closed and opened again, in the run's own mode unless `mode`
  // says another.
  void reopen(int32_t mode = 0) {
    StderrCapture statistics;  // a close under V_LOCK_METHOD 0x100 reports
    ASSERT_EQ(1, v5_close(f_));
    ASSERT_NE(nullptr, f_ = v5_open("model", mode ? mode : c_.open_mode, "0,0,0")) << codes();
    model_.reopen();
  }

  // Every key's records in order and the physical scan's: what a failed
  // operation must leave as it found.
  std::string contents() {
    std::string out;
    for (int k = 0; k < static_cast<int>(c_.shape.keys.size()); ++k) out += walk(f_, k) + "\n";
    return out + scan(f_);
  }
  // `op` with its allocations failing in turn: each failure leaves the
  // file sound and as it was. Then the file is opened again (the walks of
  // the state moved it).
  void without_memory(const std::function<bool()> &op) {
    no_memory_ += FailEachAllocation{.op = op,
                                     .state = [&] { return contents(); },
                                     .after = [&](int) { EXPECT_TRUE(sound(f_)); }}
                      .run();
    reopen();
  }
  // A write (the slot it took may stay on the deleted chain), and a delete
  // of a record that is there. A delete gives nothing back once a key's
  // entry is gone, so only files of one key take it.
  void write_without_memory() {
    std::string r = random_record();
    if (!model_.accepts(r)) return;
    without_memory([&] { return write(f_, r) == 1; });
    model_.write(r);
  }
  void delete_without_memory() {
    const auto &recs = model_.records();
    if (recs.empty()) return;
    std::string r = std::next(recs.begin(), static_cast<long>(run_.below(recs.size())))->second;
    without_memory([&] { return v5_delete(f_, r.data()) == 1; });
    model_.remove(r);
  }

  // The mix of a phase: `writes` and `deletes` per cent of the steps, the
  // reads share the rest. Weights are per mille.
  std::vector<Op> mix(int writes, int deletes) {
    int rest = 1000 - 10 * (writes + deletes);
    bool one_key = c_.shape.keys.size() == 1;
    return {{"write", 10 * writes, [&] { write_one(); }},
            {"ascending writes", c_.open_mode != KEL_OPEN_IO ? writes / 6 : 0,
             [&] { write_ascending(); }},
            {"delete", 10 * deletes, [&] { delete_one(); }},
            {"rewrite", 10 * writes / 2, [&] { rewrite_one(); }},
            {"bulk addition", c_.bulk_memory >= 0 ? 3 : 0, [&] { bulk_add(); }},
            {"start", rest / 4, [&] { start_one(); }},
            {"read", rest / 4, [&] { read_one(); }},
            {"walk", rest / 2 - 40, [&] { walk_some(); }},
            {"unlock", 10,
             [&] {
               EXPECT_EQ(1, v5_unlock(f_));
               model_.unlock();
             }},
            {"too long a write", 20, [&] { too_long(); }},
            {"reopen", 2, [&] { reopen(); }},
            {"write without memory", one_key ? 20 : 3, [&] { write_without_memory(); }},
            {"delete without memory", one_key ? 20 : 0, [&] { delete_without_memory(); }}};
  }

  void check() {
    ASSERT_TRUE(sound(f_));
    peak_ = std::max(peak_, static_cast<int>(f_->keys[0].height));
    segments_ = std::max(segments_, info(f_, -7));
  }

  // Every key in both directions from the ends, and the physical scan.
  void walk_all() {
    for (int k = 0; k < static_cast<int>(c_.shape.keys.size()); ++k) {
      std::string want, got;
      for (const std::string &r : model_.in_order(k)) want += r + "|";
      ASSERT_TRUE(same(want, walk(f_, k, want.size()))) << "key " << k << " forward";
      EXPECT_EQ(E_NOT_FOUND, error());
      for (std::string r;
           !want.empty() && got.size() <= want.size() && !(r = previous(f_)).empty();)
        got.insert(0, r + "|");
      EXPECT_EQ(E_NOT_FOUND, error());
      ASSERT_TRUE(same(want, got)) << "key " << k << " backward";
    }
    std::multiset<std::string> want, got;
    for (const auto &[id, r] : model_.records()) want.insert(r);
    int started = v5_nkrstart(f_);
    if (c_.shape.version < 4) {  // no physical scan in version 3
      EXPECT_EQ(1, started);
      EXPECT_TRUE(fails(v5_nkrnext(f_, buffer_), E_NOT_FOUND));
      return;
    }
    EXPECT_EQ(0, started);
    for (uint32_t n; got.size() <= want.size() && (n = v5_nkrnext(f_, buffer_)) != 0;)
      got.insert(std::string(buffer_, n));
    EXPECT_EQ(E_NOT_FOUND, error());
    EXPECT_TRUE(got == want) << got.size() << " records scanned, " << want.size() << " live";
  }

  // The file through an input open that keeps writers out (exclusive after
  // exclusive runs, else deny-write), whose descents search the interior
  // nodes they found unchanged without reading them again: every record
  // read by every key, and every key walked; then the run's own open again.
  void read_through_input_open() {
    ASSERT_NO_FATAL_FAILURE(
        reopen(KEL_OPEN_INPUT |
               (c_.open_mode & KEL_OPEN_EXCLUSIVE ? KEL_OPEN_EXCLUSIVE : KEL_OPEN_DENY_WRITE)));
    for (int k = 0; k < static_cast<int>(c_.shape.keys.size()); ++k)
      for (const auto &[id, r] : model_.records()) {
        std::string got = read(f_, r, k);
        expect(model_.read(k, r), !got.empty(), got);
        if (HasFailure()) return;
      }
    walk_all();
    reopen();
  }

  // Deletes every record: the trees become empty (null roots, height 0;
  // the structural check holds the header's counts of nodes and index
  // bytes in use to the trees, so they are 0 too); then the file takes
  // records again.
  void drain() {
    std::vector<std::string> left;
    for (const auto &[id, r] : model_.records()) left.push_back(r);
    std::shuffle(left.begin(), left.end(), run_.rng());
    for (const std::string &r : left) {
      expect(model_.remove(r), v5_delete(f_, r.data()) == 1);
      if (HasFatalFailure()) return;
    }
    ASSERT_TRUE(sound(f_));
    for (int k = 0; k < f_->key_count; ++k) {
      EXPECT_EQ(0, f_->keys[k].height) << "key " << k;
      EXPECT_EQ(0u, f_->keys[k].root_offset) << "key " << k;
    }
    EXPECT_TRUE(fails(v5_delete(f_, random_record().data()), E_NOT_FOUND));
    model_.unlock();
    for (int i = 0; i < 30; ++i) write_one();
  }

  // The statistics of the close: unlocked reads happened and no check
  // failed. Header-checked reads never retried; verified reads retry every
  // search that finds nothing, by design, so only their checks count.
  static void expect_no_retries(int16_t method, const std::string &report) {
    EXPECT_EQ(std::string::npos, report.find(" 0 unlocked reads\n")) << report;
    if (method & 0x1) {
      EXPECT_NE(std::string::npos, report.find(" 0 unlocked reads retried\n")) << report;
    }
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(">>AR ", 0) == 0) {
        EXPECT_EQ(": 0", line.substr(line.size() - 3)) << line;
      }
  }
};

TEST_P(AccessModel, RandomOperationsMatchTheModel) {
  cfg_set_short("V_LOCK_METHOD", 0, c_.lock_method);
  if (c_.bulk_memory > 0) cfg_set_long("V_BULK_MEMORY", 0, c_.bulk_memory);
  cfg_set_string("DUPLICATES_LOG", 0, "dups.log");
  ASSERT_NE(nullptr, f_ = c_.shape.make_open("model", c_.open_mode)) << codes();
  auto check = [&] { this->check(); };
  // The file grows, turns over, then shrinks.
  int n = run_.operations();
  ASSERT_TRUE(run_.run(mix(60, 5), n * 45 / 100, check, 40));
  ASSERT_TRUE(run_.run(mix(35, 25), n * 30 / 100, check, 40));
  ASSERT_TRUE(run_.run(mix(20, 35), n - n * 75 / 100, check, 40));
  EXPECT_GE(peak_, c_.peak_height);
  // Each way the shape offers was taken more than five times.
  const std::tuple<bool, int, const char *> taken[] = {
      {c_.shape.keys.size() == 1, no_memory_, "operations failed for want of memory"},
      {true, in_place_, "rewrites in place"},
      {c_.shape.min_record < c_.shape.max_record, moved_, "rewrites that moved"},
      {c_.bulk_memory >= 0, bulk_rejected_, "records rejected in bulk"}};
  for (const auto &[offered, count, what] : taken)
    EXPECT_TRUE(!offered || count > 5) << count << " " << what;
  if (c_.shape.segment_size) {
    EXPECT_GT(std::stoi(segments_.substr(0, 5)), 1) << segments_;
    EXPECT_GT(std::stoi(segments_.substr(6, 5)), 1) << segments_;
  }
  ASSERT_TRUE(run_.check([&] { walk_all(); }));
  ASSERT_TRUE(run_.check([&] { read_through_input_open(); }));
  ASSERT_TRUE(run_.check([&] { drain(); }));
  ASSERT_TRUE(run_.check([&] { walk_all(); }));
  StderrCapture report;
  ASSERT_EQ(1, v5_close(f_));
  if (c_.lock_method) expect_no_retries(c_.lock_method, report.text());
}

KeySpec key(size_t size, size_t offset, bool duplicates = false) {
  return KeySpec{{{size, offset}}, duplicates};
}
Case shape(const char *name, uint32_t seed, int operations, FileShape shape,
           std::vector<KeyValues> values, int peak_height = 3, int16_t lock = 0) {
  return Case{name, seed, operations, std::move(shape), std::move(values), peak_height, lock};
}

std::vector<Case> cases() {
  // Version 5, nodes of one block; a key in two parts. Also with unlocked
  // reads, header-checked (0x101) and verified (0x102).
  const FileShape one_block{
      5, nullptr, 120, 40, {key(8, 0), key(3, 8, true), {{{2, 11}, {2, 20}}, true}}};
  const std::vector<KeyValues> one_block_values = {{3000, false, true}, {7}, {40}};
  std::vector<Case> all = {
      shape("OneBlockNodesV5", 1, 3000, one_block, one_block_values),
      shape("HeaderCheckedReads", 11, 3000, one_block, one_block_values, 2, 0x101),
      shape("VerifiedReads", 12, 3000, one_block, one_block_values, 2, 0x102),
      // Keys of 250 bytes in nodes of two blocks; long runs of equal keys.
      shape("LongKeysTwoBlockNodes", 2, 1500,
            {5, "2,1,1,0,0", 400, 300, {key(250, 0), key(20, 250, true)}},
            {{300, false, true}, {4}}),
      // Version 3 with a case-folding collating table and compression.
      shape("Version3TableCompression", 4, 3500,
            {3, "1,1,1,70,0", 100, 30, {key(16, 0), key(4, 16, true)}, true},
            {{3000, true, true}, {10, true}}),
      // Version 4, two-block nodes, a primary key with duplicates, the table.
      shape("DuplicatePrimaryKeyV4", 5, 6000,
            {4, "2,1,1,0,0", 60, 30, {key(6, 0, true), key(8, 6)}, true}, {{200, true}, {5000}}, 2),
      // Compression and scrambling in segments small enough that the data
      // and the index grow into further segments.
      shape(
          "SegmentsGrowV5", 6, 5000,
          {5, "1,1,1,70,1", 250, 110, {key(40, 0), key(30, 40, true), key(30, 70)}, false, 0x14000},
          {{1500, false, true}, {50}, {1500, false, true}}),
      // Nodes of sixteen blocks: few splits, long nodes to search.
      shape("SixteenBlockNodes", 7, 6000, {5, "16,1,1,0,0", 50, 50, {key(12, 0), key(2, 12, true)}},
            {{20000, false, true}, {20}}, 2),
      // One key of 100 bytes in one-block nodes: most additions split and
      // most removals combine, also while allocations fail.
      shape("SplitsAndCombinesWithoutMemory", 9, 2000, {5, nullptr, 220, 100, {key(100, 0)}},
            {{5000, false, true}}),
      // Version 2 (this machine's byte order) with the table, compression
      // and an alternate key with duplicates.
      shape("Version2TableCompression", 10, 4000,
            {2, "1,1,1,70,0", 100, 20, {key(8, 0), key(3, 8, true), key(6, 11)}, true},
            {{3000, true, true}, {6, true}, {3000}}, 2),
      // Twelve keys in version 4; key 5 is unique too, so a write can fail
      // after five keys were added and must take them all back.
      shape("ManyKeysV4", 3, 2000, {4, nullptr, 80, 60, {}}, {}, 2)};
  for (size_t k = 0; k < 12; ++k) {
    all[10].shape.keys.push_back(key(5, 5 * k, k != 0 && k != 5));
    all[10].values.push_back({k == 0 || k == 5 ? size_t{2000} : k + 2});
  }
  // Bulk additions: into one-block nodes through a key buffer of 100
  // bytes (a few entries a batch, each batch inserted on its own); in
  // versions 3 and 4 through 8192 bytes (sorted runs, merged); with the
  // default buffer where the data grows into further segments.
  all[0].bulk_memory = kTinyBuffer;
  all[4].bulk_memory = all[10].bulk_memory = 8192;
  all[6].bulk_memory = 0;
  // Sixteen-block nodes exclusive: walks take hundreds of entries of one
  // leaf from what the open kept of it.
  all[0].open_mode = all[7].open_mode = all[8].open_mode = KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE;
  all[5].open_mode = all[6].open_mode = all[10].open_mode =
      KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED;
  return all;
}

INSTANTIATE_TEST_SUITE_P(Shapes, AccessModel, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kel::test
