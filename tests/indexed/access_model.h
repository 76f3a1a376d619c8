// A reference model of an indexed file for the random tests: the records,
// one ordered set of (key value, duplicate number) entries per key, and the
// current-record state, with the outcome every operation must have.
//
// The duplicate number of an entry is the record's write sequence (the
// count of successful writes before it) in keys that allow duplicates, 0
// in the others, exactly as the engine numbers them; so the model orders
// equal keys as the trees do and the search rules carry over unchanged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/shapes.h"
#include "kelfs/errors.h"

namespace kel::test {

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
  const Tree &tree(int k) const { return trees_[k]; }

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
    Outcome o;
    bool shared = false;
    for (size_t k = 0; k < keys_.size(); ++k) {
      std::string key = key_of(static_cast<int>(k), record);
      bool equal = has_key(static_cast<int>(k), key);
      if (equal && !keys_[k].duplicates) return fail(E_DUPLICATE);
      shared = shared || equal;
    }
    uint64_t id = sequence_++;
    records_[id] = record;
    for (size_t k = 0; k < keys_.size(); ++k)
      trees_[k].insert(
          Entry{key_of(static_cast<int>(k), record), dup_of(static_cast<int>(k), id), id});
    o.ok = true;
    o.code = shared ? E_DUPLICATE_ALTERNATE : 0;
    return o;
  }
  // A write refused for its length: only the last-record fields go.
  void refused_write() { last_.reset(); }

  Outcome remove(const std::string &record) {
    std::optional<uint64_t> id;
    if (last_ && raw_primary(records_[*last_]) == raw_primary(record)) id = last_;
    last_.reset();
    if (!id) {
      auto it = first_equal(0, key_of(0, record));
      if (!it) return fail(E_NOT_FOUND);
      id = (*it)->id;
    }
    const std::string stored = records_[*id];
    for (size_t k = 0; k < keys_.size(); ++k)
      trees_[k].erase(
          Entry{key_of(static_cast<int>(k), stored), dup_of(static_cast<int>(k), *id), *id});
    records_.erase(*id);
    Outcome o;
    o.ok = true;
    return o;
  }

  // A rewrite: the record keeps its duplicate number in every key, so it
  // keeps its place among equal values. `maybe_shared`: 101 may or may not
  // come (an unchanged key that shares its value is added again only when
  // the record moved).
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
    Outcome o;
    o.ok = true;
    o.code = shared ? E_DUPLICATE_ALTERNATE : 0;
    return o;
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
    const Tree &t = trees_[k];
    std::optional<Tree::const_iterator> e;
    switch (mode) {
      case 0: {
        auto it = t.lower_bound(Entry{key, 0, 0});
        size_t n = partial ? length : size;
        if (it != t.end() && it->key.compare(0, n, key, 0, n) == 0) e = it;
        break;
      }
      case 1:
        e = at_or_none(t, t.lower_bound(Entry{key, 0, 0}));
        break;
      case 2:
        e = at_or_none(t, t.upper_bound(Entry{key, 0xFFFFFFFF, 0}));
        break;
      case 3:
        e = before_or_none(t, t.lower_bound(Entry{key, 0, 0}));
        break;
      case 4:
        e = before_or_none(t, t.upper_bound(Entry{key, 0xFFFFFFFF, 0}));
        break;
    }
    if (!e) return fail(E_NOT_FOUND);
    position(k, **e, true);
    Outcome o;
    o.ok = true;
    return o;
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
    if (state_ == 2) {
      e = before_or_none(t, t.end());
    } else {
      auto it = t.lower_bound(current_);
      if (pending_ && it != t.end() && it->key == current_.key && it->dup == current_.dup)
        e = it;
      else
        e = before_or_none(t, it);
    }
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
  static Outcome fail(int16_t code) {
    Outcome o;
    o.code = code;
    return o;
  }
  uint64_t dup_of(int k, uint64_t id) const { return keys_[k].duplicates ? id : 0; }
  bool has_key(int k, const std::string &key) const { return first_equal(k, key).has_value(); }
  std::optional<Tree::const_iterator> first_equal(int k, const std::string &key) const {
    const Tree &t = trees_[k];
    auto it = t.lower_bound(Entry{key, 0, 0});
    if (it == t.end() || it->key != key) return std::nullopt;
    return it;
  }
  static std::optional<Tree::const_iterator> at_or_none(const Tree &t, Tree::const_iterator it) {
    if (it == t.end()) return std::nullopt;
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
    Outcome o;
    o.ok = true;
    o.record = records_.at(it->id);
    auto after = std::next(it);
    if (dup_check && keys_[k].duplicates && after != trees_[k].end() && after->key == it->key)
      o.code = E_DUPLICATE_ALTERNATE;
    return o;
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

}  // namespace kel::test
