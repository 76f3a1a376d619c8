// Record rewrite: random writes, rewrites, deletes and reads checked step by
// step against the reference model, with the structural check every few
// steps and every key walked at the end; then the cases a random run does
// not decide: a refused rewrite leaves the file's bytes as they were, a
// lock follows a moved record, the traces, and the transaction log's call.
#include <random>

#include "common/test_util.h"
#include "indexed/access_fixture.h"
#include "indexed/access_model.h"

namespace kel::test {
namespace {

// The model with rewrites: the record keeps its duplicate number in every
// key, so it keeps its place among equal values.
class RewriteModel : public FileModel {
 public:
  using FileModel::FileModel;

  // `maybe_shared`: 101 may or may not come (an unchanged key that shares
  // its value is added again only when the record moved).
  Outcome rewrite(const std::string &record, bool *maybe_shared) {
    *maybe_shared = false;
    std::optional<uint64_t> id;
    if (last_ && raw_primary(records_[*last_]) == raw_primary(record)) id = last_;
    last_.reset();
    if (!id) {
      auto it = first_equal(0, key_of(0, record));
      if (!it) return fail(E_NOT_FOUND);
      id = (*it)->id;
    }
    const std::string old = records_[*id];
    for (size_t k = 1; k < keys_.size(); ++k) {
      std::string now = key_of(static_cast<int>(k), record);
      if (now != key_of(static_cast<int>(k), old) && !keys_[k].duplicates &&
          has_key(static_cast<int>(k), now))
        return fail(E_DUPLICATE);
    }
    bool shared = false;
    for (size_t k = 0; k < keys_.size(); ++k) {
      int key = static_cast<int>(k);
      std::string before = key_of(key, old), now = key_of(key, record);
      trees_[k].erase(Entry{before, dup_of(key, *id), *id});
      bool equal = has_key(key, now);
      (now == before ? *maybe_shared : shared) |= equal && keys_[k].duplicates;
      trees_[k].insert(Entry{now, dup_of(key, *id), *id});
    }
    records_[*id] = record;
    Outcome o;
    o.ok = true;
    o.code = shared ? E_DUPLICATE_ALTERNATE : 0;
    return o;
  }
};

struct Shape {
  int version;
  const char *physical;
  uint32_t max_record, min_record;
  std::vector<KeySpec> keys;
  std::vector<size_t> values;  // distinct values per key
  bool case_table;
};

class RewriteRun : public AccessTest {
 protected:
  void run(const Shape &s, uint32_t seed) {
    rng_.seed(seed);
    shape_ = &s;
    std::vector<uint8_t> table(256);
    for (int i = 0; i < 256; ++i)
      table[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    std::string keys;
    for (const KeySpec &k : s.keys) {
      keys += (keys.empty() ? "" : ",") + std::to_string(k.parts.size()) + ',' +
              (k.duplicates ? "1" : "0");
      for (const KeyPart &p : k.parts)
        keys += ',' + std::to_string(p.size) + ',' + std::to_string(p.offset);
    }
    std::string record = std::to_string(s.max_record) + ',' + std::to_string(s.min_record) + ',' +
                         std::to_string(s.keys.size());
    const uint8_t *t = s.case_table ? table.data() : nullptr;
    f_ = make_open("rw", s.version, record.c_str(), keys.c_str(), s.physical, 2, t);
    ASSERT_NE(f_, nullptr) << error();
    RewriteModel model(s.keys, t);
    int moved = 0, in_place = 0, refused = 0;
    for (int step = 0; step < 3000 && !HasFatalFailure(); ++step) {
      int dice = static_cast<int>(below(100));
      if (dice < 30 || model.records().size() < 20) {
        std::string r = random_record();
        expect(step, "write", model.write(r), write(f_, r) == 1, "");
      } else if (dice < 70) {
        std::string r = changed(some_record(model));
        bool bad_length = chance(3);
        uint32_t length = bad_length ? s.max_record + 1 : static_cast<uint32_t>(r.size());
        uint64_t deleted = indexed::hget(f_, indexed::kDeletedCount);
        int ok = v5_rewrite(f_, r.data(), length);
        if (bad_length) {
          EXPECT_EQ(ok, 0);
          EXPECT_EQ(error(), E_PARAM);
          model.refused_write();
          continue;
        }
        bool maybe = false;
        FileModel::Outcome want = model.rewrite(r, &maybe);
        if (maybe && ok == 1 && error() == E_DUPLICATE_ALTERNATE) want.code = E_DUPLICATE_ALTERNATE;
        expect(step, "rewrite", want, ok == 1, "");
        if (ok == 1) ++(indexed::hget(f_, indexed::kDeletedCount) > deleted ? moved : in_place);
        if (want.code == E_DUPLICATE) ++refused;
      } else if (dice < 80) {
        std::string r = some_record(model);
        expect(step, "delete", model.remove(r), v5_delete(f_, r.data()) == 1, "");
      } else {
        std::string r = some_record(model);
        int k = static_cast<int>(below(s.keys.size()));
        std::string got = read(f_, r, k);
        expect(step, "read", model.read(k, r), !got.empty(), got);
      }
      if (step % 50 == 49) {
        ASSERT_TRUE(sound(f_)) << "after step " << step;
      }
    }
    EXPECT_GT(moved, 50);
    EXPECT_GT(in_place, 50);
    EXPECT_GT(refused, 5);
    for (int k = 0; k < static_cast<int>(s.keys.size()); ++k) {
      std::vector<std::string> got;
      std::string low(s.max_record, '\0');
      if (start(f_, low, k, 0, 1) == 1)
        for (std::string r; got.size() <= model.records().size() && !(r = next(f_)).empty();)
          got.push_back(r);
      ASSERT_EQ(got, model.in_order(k)) << "key " << k;
    }
    ASSERT_TRUE(sound(f_));
    EXPECT_EQ(v5_close(f_), 1);
  }

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

  // Key k's value v: a lead and the number in letters, so that values
  // share prefixes; letters in random case, equal under the case table.
  std::string value(int k, size_t v) {
    size_t size = shape_->keys[k].size();
    std::string out = std::to_string(v);
    for (char &c : out) c = static_cast<char>((chance(50) ? 'a' : 'A') + (c - '0'));
    out.insert(0, size > out.size() ? size - out.size() : 0, 'k');
    return out.substr(out.size() - size);
  }
  void set_key(std::string &r, int k, const std::string &v) {
    size_t at = 0;
    for (const KeyPart &p : shape_->keys[k].parts) {
      r.replace(p.offset, p.size, v.substr(at, p.size));
      at += p.size;
    }
  }
  // A body of runs (compresses well) or of letters (does not).
  std::string body(size_t length) {
    std::string r(length, ' ');
    bool plain = chance(50);
    for (size_t i = 0; i < length; ++i) r[i] = plain ? "  0"[i / 9 % 3] : 'a' + below(26);
    return r;
  }
  std::string random_record() {
    const Shape &s = *shape_;
    std::string r = body(s.min_record + below(s.max_record - s.min_record + 1));
    for (int k = 0; k < static_cast<int>(s.keys.size()); ++k)
      set_key(r, k, value(k, below(s.values[k])));
    return r;
  }
  std::string some_record(const RewriteModel &m) {
    if (m.records().empty() || chance(5)) return random_record();
    auto it = m.records().begin();
    std::advance(it, static_cast<long>(below(m.records().size())));
    return it->second;
  }
  // A new image of `r`: the same primary key, another length and body
  // half of the time, and each alternate key changed now and then.
  std::string changed(const std::string &r) {
    const Shape &s = *shape_;
    std::string out = chance(50) ? r : body(s.min_record + below(s.max_record - s.min_record + 1));
    for (int k = 0; k < static_cast<int>(s.keys.size()); ++k) {
      std::string v;
      for (const KeyPart &p : s.keys[k].parts) v += r.substr(p.offset, p.size);
      set_key(out, k, k > 0 && chance(30) ? value(k, below(s.values[k])) : v);
    }
    return out;
  }

  void expect(int step, const char *what, const FileModel::Outcome &want, bool ok,
              const std::string &got) {
    ASSERT_EQ(ok, want.ok) << what << " at step " << step << ": error " << error() << "/"
                           << secondary();
    EXPECT_EQ(error(), want.code) << what << " at step " << step;
    if (ok) {
      ASSERT_EQ(got, want.record) << what << " at step " << step;
    }
  }

  std::mt19937 rng_;
  const Shape *shape_ = nullptr;
  DorvexFile *f_ = nullptr;
};

// Version 5 with compression and scrambling: a unique and a duplicate
// alternate key, one of them in two parts.
TEST_F(RewriteRun, CompressedV5) {
  run({5,
       "1,1,1,70,1",
       120,
       30,
       {{{{8, 0}}, false}, {{{4, 8}}, true}, {{{3, 12}, {3, 20}}, false}},
       {4000, 12, 600},
       false},
      21);
}

// Version 4 and version 3 with a case-folding table; version 4 with a
// primary key that allows duplicates.
TEST_F(RewriteRun, TableV4V3) {
  Shape v4{4,
           "1,1,1,100,0",
           90,
           24,
           {{{{6, 0}}, true}, {{{6, 6}}, false}, {{{2, 12}}, true}},
           {900, 3000, 6},
           true};
  run(v4, 22);
  if (HasFatalFailure()) return;
  Shape v3{3, "1,1,1,70,0", 80, 20, {{{{8, 0}}, false}, {{{4, 8}}, false}}, {3000, 400}, true};
  run(v3, 23);
}

// The transaction log of the cases below: always in a transaction, keeps
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

class RewriteCases : public AccessTest {
 protected:
  std::string files() {
    std::string all;
    for (const std::string &name : folder_entries(dir_.path()))
      all += name + read_file(dir_ / name);
    return all;
  }
  static int rewrite(DorvexFile *f, const std::string &r) {
    return v5_rewrite(f, r.data(), static_cast<uint32_t>(r.size()));
  }
};

TEST_F(RewriteCases, RefusalsLocksTracesAndLog) {
  // Key 0: 4 bytes at 0; key 1: 4 bytes at 4, unique. Keeps its locks.
  DorvexFile *f = make_open("one", 5, "60,10,2", "1,0,4,0,1,0,4,4", "1,1,1,70,0", 2 | 0x4000);
  ASSERT_NE(f, nullptr);
  std::string a = record(60, {{0, "AAAA1111"}}, ' '), b = record(60, {{0, "BBBB2222"}}, ' ');
  ASSERT_EQ(write(f, a), 1);
  ASSERT_EQ(write(f, b), 1);

  // Refused rewrites change no byte of the file.
  std::string before = files();
  struct {
    std::string image;
    uint32_t length;
    int16_t code;
  } refusals[] = {{record(60, {{0, "AAAA2222"}}), 60, E_DUPLICATE},
                  {record(60, {{0, "ZZZZ3333"}}), 60, E_NOT_FOUND},
                  {a, 9, E_PARAM},
                  {a, 61, E_PARAM}};
  for (auto &r : refusals) {
    EXPECT_EQ(v5_rewrite(f, r.image.data(), r.length), 0);
    EXPECT_EQ(error(), r.code) << r.image;
  }
  EXPECT_EQ(files(), before);

  // A record read under a lock and rewritten with an image that
  // compresses worse moves, and its lock moves with it.
  ASSERT_EQ(read(f, a, 0), a);
  std::string moved = record(60, {{0, "AAAA1111"}, {8, "qwertyuiopasdfghjkl"}}, 'x');
  uint64_t deleted = indexed::hget(f, indexed::kDeletedCount);
  ASSERT_EQ(rewrite(f, moved), 1);
  EXPECT_EQ(indexed::hget(f, indexed::kDeletedCount), deleted + 1);
  DorvexFile *g = v5_open("one", 2, "0,0,0");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(read(g, a, 0), "");
  EXPECT_EQ(error(), E_REC_LOCKED);
  EXPECT_EQ(rewrite(g, a), 0);
  EXPECT_EQ(error(), E_REC_LOCKED);
  ASSERT_EQ(v5_unlock(f), 1);
  EXPECT_EQ(read(g, a, 1), moved);

  // Traces: an alternate key changed in place moves that key only; a move
  // replaces every entry.
  cfg_set_long("V_TRACE", 0, 9);
  std::string in_place, moving;
  {
    StderrCapture err;
    ASSERT_EQ(rewrite(f, record(60, {{0, "BBBB7777"}}, ' ')), 1);
    in_place = err.text();
  }
  {
    StderrCapture err;
    ASSERT_EQ(rewrite(f, record(60, {{0, "BBBB7777"}, {8, "zxcvbnmlkjhgfdsapoi"}}, 'y')), 1);
    moving = err.text();
  }
  cfg_set_long("V_TRACE", 0, 0);
  for (const char *line : {"V: v5_rewrite(", "V: v5i_rewrite(): Subtracting key #1\n",
                           "V: v5i_rewrite(): Adding key #1\n", "V: v5_rewrite() returning 1\n"}) {
    EXPECT_NE(in_place.find(line), std::string::npos) << line << " in\n" << in_place;
    EXPECT_NE(moving.find(line), std::string::npos) << line << " in\n" << moving;
  }
  EXPECT_EQ(in_place.find("key #0"), std::string::npos) << in_place;
  EXPECT_EQ(in_place.find("rewrite_rec"), std::string::npos) << in_place;
  EXPECT_NE(moving.find("V: rewrite_rec(): vi_sub_rec()\n"), std::string::npos) << moving;
  EXPECT_NE(moving.find("V: v5i_rewrite(): Adding key #0\n"), std::string::npos) << moving;

  // Inside a transaction on a file that takes part, the log gets both
  // images and the record stays locked; a refusal of the log fails.
  static const indexed::IndexedLog log = {LogProbe::yes, nullptr, nullptr,
                                          LogProbe::log, nullptr, nullptr};
  indexed::set_indexed_log(&log);
  std::string c = record(20, {{0, "BBBB7777"}}, 'c');
  EXPECT_EQ(rewrite(f, c), 1);
  EXPECT_EQ(LogProbe::record, c);
  EXPECT_EQ(LogProbe::before, record(60, {{0, "BBBB7777"}, {8, "zxcvbnmlkjhgfdsapoi"}}, 'y'));
  EXPECT_EQ(read(g, c, 0), "");
  EXPECT_EQ(error(), E_REC_LOCKED);
  LogProbe::refuse = true;
  EXPECT_EQ(rewrite(f, c), 0);
  EXPECT_EQ(error(), E_LOG_REFUSED);
  indexed::set_indexed_log(nullptr);
  LogProbe::refuse = false;
  ASSERT_TRUE(sound(f));
  EXPECT_EQ(v5_close(g), 1);
  EXPECT_EQ(v5_close(f), 1);

  DorvexFile *in = v5_open("one", 0, "0,0,0");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(rewrite(in, c), 0);
  EXPECT_EQ(error(), E_MODE_CLASH);
  EXPECT_EQ(v5_close(in), 1);
}

}  // namespace
}  // namespace kel::test
