// Random sequences of writes, deletes, starts, keyed reads and
// next/previous walks through the entry points, checked step by step
// against the reference model, with the whole-file check every few steps,
// a reopen half-way, and full walks of every key at the end. One test per
// file shape: node sizes of 1, 2 and 16 blocks, keys up to 250 bytes, many
// keys, keys in two parts, a collating table, compression, scrambling,
// versions 3, 4 and 5, and segments small enough to grow.
#include <algorithm>
#include <random>
#include <sstream>

#include "common/test_util.h"
#include "indexed/access_fixture.h"
#include "indexed/access_model.h"

namespace kel::test {
namespace {

struct KeyValues {
  size_t values;           // distinct values drawn
  bool mixed_case;         // letters in random case (equal under the case-folding table)
  bool scattered = false;  // a lead that varies with the value: little to compress
};

struct Shape {
  int version;
  const char *physical;
  uint32_t max_record, min_record;
  std::vector<KeySpec> keys;
  std::vector<KeyValues> values;
  bool case_table = false;
  int32_t segment_size = 0;  // V_SEG_SIZE; 0 keeps the default
  int operations = 6000;
  int peak_height = 3;  // key 0's tree must grow at least this high
  bool grows_segments = false;
  // Half-way, deleted-chain heads too short for the records that follow
  // are tried until the engine sets them aside (version 4: drops them).
  bool sets_heads_aside = false;
  // V_LOCK_METHOD. With one process nobody changes the file under an
  // unlocked reader: its checks must never find anything to retry.
  int16_t lock_method = 0;
};

std::string key_text(const std::vector<KeySpec> &keys) {
  std::string s;
  for (const KeySpec &k : keys) {
    if (!s.empty()) s += ',';
    s += std::to_string(k.parts.size()) + ',' + (k.duplicates ? "1" : "0");
    for (const KeyPart &p : k.parts)
      s += ',' + std::to_string(p.size) + ',' + std::to_string(p.offset);
  }
  return s;
}

std::vector<uint8_t> case_folding_table() {
  std::vector<uint8_t> t(256);
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  return t;
}

class ModelRun : public AccessTest {
 protected:
  void run(const Shape &s, uint32_t seed) {
    rng_.seed(seed);
    shape_ = &s;
    if (s.segment_size) cfg_set_long("V_SEG_SIZE", 0, s.segment_size);
    cfg_set_short("V_LOCK_METHOD", 0, s.lock_method);
    std::vector<uint8_t> table = case_folding_table();
    const uint8_t *t = s.case_table ? table.data() : nullptr;
    std::string record_text = std::to_string(s.max_record) + ',' + std::to_string(s.min_record) +
                              ',' + std::to_string(s.keys.size());
    f_ = make_open("model", s.version, record_text.c_str(), key_text(s.keys).c_str(), s.physical, 2,
                   t);
    ASSERT_NE(f_, nullptr) << error() << "/" << secondary();
    FileModel model(s.keys, t);
    model_ = &model;
    for (int step = 0; step < s.operations && !HasFatalFailure(); ++step) {
      step_ = step;
      // The file grows, turns over, then shrinks.
      int percent = step * 100 / s.operations;
      if (percent < 45)
        one_step(60, 5);
      else if (percent < 75)
        one_step(35, 25);
      else
        one_step(20, 35);
      if (step % 40 == 39) {
        ASSERT_TRUE(sound(f_)) << "after step " << step;
        peak_ = std::max(peak_, static_cast<int>(f_->keys[0].height));
        char counts[20] = {};
        ASSERT_EQ(v5_info(f_, -7, counts), 1);
        segments_ = std::max(segments_, std::string(counts));
      }
      if (step == s.operations / 2) {
        if (s.sets_heads_aside) set_heads_aside();
        ASSERT_EQ(v5_close(f_), 1);
        f_ = v5_open("model", 2, "0,0,0");
        ASSERT_NE(f_, nullptr);
        model.reopen();
      }
    }
    ASSERT_TRUE(sound(f_));
    EXPECT_GE(peak_, s.peak_height);
    if (s.grows_segments) {
      EXPECT_GT(std::stoi(segments_.substr(0, 5)), 1) << segments_;
      EXPECT_GT(std::stoi(segments_.substr(6, 5)), 1) << segments_;
    }
    walk_all();
    scan_all();
    drain();
    StderrCapture report;
    ASSERT_EQ(v5_close(f_), 1);
    if (s.lock_method) expect_no_retries(s.lock_method, report.text());
  }

  // The statistics of the close: unlocked reads happened and no check
  // failed. Header-checked reads never retried; verified reads retry every
  // search that finds nothing, by design, so only their checks count.
  static void expect_no_retries(int16_t method, const std::string &report) {
    EXPECT_EQ(report.find(" 0 unlocked reads\n"), std::string::npos) << report;
    if (method & 0x1) {
      EXPECT_NE(report.find(" 0 unlocked reads retried\n"), std::string::npos) << report;
    }
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(">>AR ", 0) == 0) {
        EXPECT_EQ(line.substr(line.size() - 3), ": 0") << line;
      }
  }

  // Deletes every record: the trees become empty (null roots, height 0);
  // then the file takes records again.
  void drain() {
    std::vector<std::string> left;
    for (const auto &[id, r] : model_->records()) left.push_back(r);
    std::shuffle(left.begin(), left.end(), rng_);
    for (size_t i = 0; i < left.size(); ++i) {
      expect("drain", model_->remove(left[i]), v5_delete(f_, left[i].data()) == 1, "");
      if (i % 97 == 0) {
        ASSERT_TRUE(sound(f_)) << "draining";
      }
    }
    ASSERT_TRUE(sound(f_));
    for (int k = 0; k < f_->key_count; ++k) {
      EXPECT_EQ(f_->keys[k].height, 0) << "key " << k;
      EXPECT_EQ(f_->keys[k].root_offset, 0u) << "key " << k;
    }
    EXPECT_EQ(indexed::hget(f_, indexed::kNodesInUse), 0u);
    EXPECT_EQ(indexed::hget(f_, indexed::kIndexBytesInUse), 0u);
    EXPECT_EQ(v5_delete(f_, left.empty() ? random_record().data() : left[0].data()), 0);
    EXPECT_EQ(error(), E_NOT_FOUND);
    model_->unlock();
    for (int i = 0; i < 30; ++i) {
      std::string r = random_record();
      expect("write again", model_->write(r), write(f_, r) == 1, "");
    }
    ASSERT_TRUE(sound(f_));
    walk_all();
  }

  // A short record deleted heads the chain; more than 30 long writes in
  // a row fail to reuse it, and it goes off the chain.
  void set_heads_aside() {
    // Key 0 (8 bytes at 0) takes values the random records never have.
    auto unique = [&](size_t length, int n) {
      std::string r = random_record();
      r.resize(length, ' ');
      char key[9];
      snprintf(key, sizeof key, "~%07d", n);
      return r.replace(0, 8, key);
    };
    for (int round = 0; round < 3; ++round) {
      std::string shortest = unique(shape_->min_record, round * 100);
      expect("short write", model_->write(shortest), write(f_, shortest) == 1, "");
      expect("delete", model_->remove(shortest), v5_delete(f_, shortest.data()) == 1, "");
      for (int i = 1; i <= 32; ++i) {
        std::string r = unique(shape_->max_record, round * 100 + i);
        expect("long write", model_->write(r), write(f_, r) == 1, "");
      }
    }
  }

  // --- random values ---
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

  // The bytes of value v of key k: a constant lead, then the number in
  // letters, so that keys share prefixes and order by the number's digits.
  std::string key_value(int k, size_t v) {
    const KeySpec &spec = shape_->keys[k];
    size_t size = spec.size();
    std::string digits;
    for (size_t n = v; digits.size() < 4 || n > 0; n /= 20)
      digits.insert(digits.begin(), 'a' + n % 20);
    std::string out(size > digits.size() ? size - digits.size() : 0, k % 2 ? 'Q' : 'p');
    if (shape_->values[k].scattered) {
      uint32_t h = static_cast<uint32_t>(v) * 2654435761u;
      for (size_t i = 0; i + digits.size() < size; ++i, h = h * 1103515245u + 12345u)
        out[i] = static_cast<char>('a' + (h >> 16) % 26);
    }
    out += digits.substr(digits.size() > size ? digits.size() - size : 0);
    if (shape_->values[k].mixed_case)
      for (char &c : out)
        if (c >= 'a' && c <= 'z' && chance(50)) c = static_cast<char>(c - 32);
    return out;
  }

  std::string random_record() {
    const Shape &s = *shape_;
    size_t length = s.min_record + below(s.max_record - s.min_record + 1);
    std::string r(length, ' ');
    // Runs of spaces, zeros, NULs and letters, for the compressor.
    for (size_t i = 0; i < length;) {
      size_t run = 1 + below(12);
      char c = "  0\0xyz\xfb"[below(8)];
      for (size_t j = 0; j < run && i < length; ++j, ++i) r[i] = c == 'x' ? 'a' + below(26) : c;
    }
    for (size_t k = 0; k < s.keys.size(); ++k) {
      std::string v = key_value(static_cast<int>(k), below(s.values[k].values));
      size_t at = 0;
      for (const KeyPart &p : s.keys[k].parts) {
        r.replace(p.offset, p.size, v.substr(at, p.size));
        at += p.size;
      }
    }
    return r;
  }

  // An existing record most of the time, else a new random one.
  std::string some_record() {
    const auto &recs = model_->records();
    if (recs.empty() || chance(25)) return random_record();
    auto it = recs.begin();
    std::advance(it, static_cast<long>(below(recs.size())));
    return it->second;
  }

  // --- one step ---
  void expect(const char *what, const FileModel::Outcome &want, bool ok, const std::string &got) {
    ASSERT_EQ(ok, want.ok) << what << " at step " << step_ << ": error " << error() << "/"
                           << secondary();
    EXPECT_EQ(error(), want.code) << what << " at step " << step_;
    if (ok) {
      ASSERT_EQ(got, want.record) << what << " at step " << step_;
    }
  }

  // `writes` and `deletes` are the percentages of those steps; reads share
  // the rest.
  void one_step(int writes, int deletes) {
    int k = static_cast<int>(below(shape_->keys.size()));
    int dice = static_cast<int>(below(100));
    if (dice < 2) {
      std::string r = random_record();
      EXPECT_EQ(v5_write(f_, r.data(), shape_->max_record + 1), 0);
      EXPECT_EQ(error(), E_PARAM);
      model_->refused_write();
    } else if (dice < 2 + writes) {
      std::string r = random_record();
      bool whole = r.size() == shape_->max_record && chance(30);
      int ok = v5_write(f_, r.data(), whole ? 0 : static_cast<uint32_t>(r.size()));
      expect("write", model_->write(r), ok == 1, "");
    } else if (dice < 2 + writes + deletes) {
      std::string r = some_record();
      expect("delete", model_->remove(r), v5_delete(f_, r.data()) == 1, "");
    } else if (dice < 2 + writes + deletes + (100 - writes - deletes) / 4) {
      std::string r = some_record();
      int mode = static_cast<int>(below(5));
      size_t size = shape_->keys[k].size();
      size_t length = chance(50) ? 0 : below(size + 1);
      expect("start", model_->start(k, r, length, mode),
             start(f_, r, k, static_cast<int>(length), mode) == 1, "");
    } else if (dice < 2 + writes + deletes + (100 - writes - deletes) / 2) {
      std::string r = some_record();
      std::string got = read(f_, r, k);
      expect("read", model_->read(k, r), !got.empty(), got);
    } else if (dice < 99) {
      bool forward = chance(50);
      for (size_t n = 1 + below(chance(20) ? 30 : 3); n > 0; --n) {
        std::string got = forward ? next(f_) : previous(f_);
        expect(forward ? "next" : "previous", forward ? model_->next() : model_->previous(),
               !got.empty(), got);
        if (got.empty() || HasFatalFailure()) break;
      }
    } else {
      EXPECT_EQ(v5_unlock(f_), 1);
      model_->unlock();
    }
  }

  // Every key in both directions from the ends.
  void walk_all() {
    for (int k = 0; k < static_cast<int>(shape_->keys.size()); ++k) {
      std::vector<std::string> want = model_->in_order(k);
      std::string low(shape_->max_record, '\0');
      std::vector<std::string> got;
      // Bounded, so that a walk that goes round in circles fails.
      if (start(f_, low, k, 0, 1) == 1)
        for (std::string r; got.size() <= want.size() && !(r = next(f_)).empty();) got.push_back(r);
      EXPECT_EQ(error(), E_NOT_FOUND);
      ASSERT_EQ(got, want) << "key " << k << " forward";
      if (want.empty()) continue;
      got.clear();
      for (std::string r; got.size() <= want.size() && !(r = previous(f_)).empty();)
        got.push_back(r);
      EXPECT_EQ(error(), E_NOT_FOUND);
      std::reverse(got.begin(), got.end());
      ASSERT_EQ(got, want) << "key " << k << " backward";
    }
  }

  // The physical scan returns every record once.
  void scan_all() {
    std::multiset<std::string> want, got;
    for (const auto &[id, r] : model_->records()) want.insert(r);
    int started = v5_nkrstart(f_);
    if (shape_->version < 4) {
      EXPECT_EQ(started, 1);
      EXPECT_EQ(v5_nkrnext(f_, buffer_), 0u);
      EXPECT_EQ(error(), E_NOT_FOUND);
      return;
    }
    EXPECT_EQ(started, 0);
    for (uint32_t n; got.size() <= want.size() && (n = v5_nkrnext(f_, buffer_)) != 0;)
      got.insert(std::string(buffer_, n));
    EXPECT_EQ(error(), E_NOT_FOUND);
    EXPECT_TRUE(got == want) << got.size() << " records scanned, " << want.size() << " live";
  }

  std::mt19937 rng_;
  const Shape *shape_ = nullptr;
  FileModel *model_ = nullptr;
  DorvexFile *f_ = nullptr;
  int step_ = 0;
  int peak_ = 0;
  std::string segments_;
};

// Version 5, nodes of one block; a key in two parts. Also with unlocked
// reads, header-checked (0x101) and verified (0x102).
Shape one_block_nodes(int16_t lock_method) {
  Shape s{5,
          nullptr,
          120,
          40,
          {{{{8, 0}}, false}, {{{3, 8}}, true}, {{{2, 11}, {2, 20}}, true}},
          {{3000, false, true}, {7, false}, {40, false}}};
  s.lock_method = lock_method;
  return s;
}
TEST_F(ModelRun, OneBlockNodesV5) {
  run(one_block_nodes(0), 1);
}
TEST_F(ModelRun, OneBlockNodesHeaderCheckedReads) {
  run(one_block_nodes(0x101), 11);
}
TEST_F(ModelRun, OneBlockNodesVerifiedReads) {
  run(one_block_nodes(0x102), 12);
}

// Keys of 250 bytes in nodes of two blocks; long runs of equal keys.
TEST_F(ModelRun, LongKeysTwoBlockNodes) {
  Shape s{5,
          "2,1,1,0,0",
          400,
          300,
          {{{{250, 0}}, false}, {{{20, 250}}, true}},
          {{300, false, true}, {4, false}}};
  s.operations = 1500;
  run(s, 2);
}

// Twelve keys in version 4; key 5 is unique too, so a write can fail after
// five keys were added and must take them all back.
TEST_F(ModelRun, ManyKeysV4) {
  Shape s{4, nullptr, 80, 60, {}, {}};
  for (size_t k = 0; k < 12; ++k) {
    s.keys.push_back({{{5, 5 * k}}, k != 0 && k != 5});
    s.values.push_back({k == 0 || k == 5 ? size_t{2000} : k + 2, false});
  }
  s.peak_height = 2;
  run(s, 3);
}

// Version 3 with a case-folding collating table and compression.
TEST_F(ModelRun, Version3TableCompression) {
  Shape s{3,
          "1,1,1,70,0",
          100,
          30,
          {{{{16, 0}}, false}, {{{4, 16}}, true}},
          {{3000, true, true}, {10, true}},
          true};
  run(s, 4);
}

// Version 4, two-block nodes, a primary key that allows duplicates, and
// the collating table.
TEST_F(ModelRun, DuplicatePrimaryKeyV4) {
  Shape s{
      4,   "2,1,1,0,0", 60, 30, {{{{6, 0}}, true}, {{{8, 6}}, false}}, {{200, true}, {5000, false}},
      true};
  s.peak_height = 2;
  run(s, 5);
}

// Records of very different lengths in version 4: deleted-chain heads
// that keep failing to be reused are dropped from the chain and its count
// (slot 21), and the physical scan must still return every record.
TEST_F(ModelRun, DroppedChainHeadsV4) {
  Shape s{4, nullptr, 400, 10, {{{{8, 0}}, false}}, {{3000, false, true}}};
  s.operations = 3000;
  s.peak_height = 2;
  s.sets_heads_aside = true;
  run(s, 8);
}

// Compression and scrambling in segments small enough that the data and
// the index grow into further segments.
TEST_F(ModelRun, SegmentsGrowV5) {
  Shape s{5,
          "1,1,1,70,1",
          250,
          110,
          {{{{40, 0}}, false}, {{{30, 40}}, true}, {{{30, 70}}, false}},
          {{1500, false, true}, {50, false}, {1500, false, true}}};
  s.segment_size = 0x14000;
  s.grows_segments = true;
  run(s, 6);
}

// Nodes of sixteen blocks: few splits, long nodes to search.
TEST_F(ModelRun, SixteenBlockNodes) {
  Shape s{5,
          "16,1,1,0,0",
          50,
          50,
          {{{{12, 0}}, false}, {{{2, 12}}, true}},
          {{20000, false, true}, {20, false}}};
  s.peak_height = 2;
  run(s, 7);
}

}  // namespace
}  // namespace kel::test
