// Sequential reading in the order of the key of reference: v5_next (the
// loop of seq_read, with the prefetch fast path) and v5_previous.
#include <cstring>

#include "access/access.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// Copies a SearchKey (its length byte and the bytes it counts) between two
// buffers of kSearchKeySize bytes: the short keys of every step of a walk
// as one fixed 16-byte copy, which the compiler does in place of a call.
void copy_search_key(uint8_t *to, const uint8_t *from) {
  static_assert(kSearchKeySize >= 16);
  size_t n = static_cast<size_t>(from[0]) + 1;
  if (n <= 16)
    memcpy(to, from, 16);
  else
    memcpy(to, from, n);
}

// The current key of state 1 (before the first) or 2 (after the last):
// the key number of reference and key size bytes of `fill`.
void edge_key(DorvexFile *f, uint8_t fill) {
  ReadState &r = *f->read;
  int size = f->keys[r.key_of_reference].length;
  r.current_key[0] = static_cast<uint8_t>(size + 1);
  r.current_key[1] = static_cast<uint8_t>(r.key_of_reference);
  memset(r.current_key + 2, fill, static_cast<size_t>(size));
}

// Step 3 of seq_read: the record of prefetch slot 0, read straight away
// while the file is as it was when the slots were filled. Returns the
// record length, or -1 when the slow path is to be taken.
int64_t fast_next(Operation &op, DorvexFile *f, uint8_t *record) {
  ReadState &r = *f->read;
  int key = r.key_of_reference;
  read_probe(f, "prefetched");
  SegAddr at;
  // A prefetched pointer that is no record goes the slow way, which reads
  // the entry again and reports it.
  if (!record_of_pointer(r.prefetch[0], &at)) return -1;
  uint32_t sequence = 0;
  int64_t length = vi_read_rec(f, record, at, kLockTake, kLockAutoRelease, &sequence);
  if (length < 0) return -1;
  uint8_t rebuilt[kSearchKeySize];
  build_search_key(f, key, record, rebuilt);
  int size = f->keys[key].length;
  bool accepted = true;
  if (op.header_checked() && op.header_moved()) accepted = false;
  if (op.verified() && memcmp(rebuilt + 2, r.prefetch_keys[0], static_cast<size_t>(size)) != 0)
    accepted = false;
  if (!accepted) {
    ++f->reader_counters.seq_read_mismatches;
    if (op.debug_output()) eprintf(">>AR DBG seq_read() mismatch\n");
    return -1;
  }
  // The current key is taken from the record, so a record whose key is not
  // after the position (a leaf entry pointing at another record: damage)
  // would send the next search back to where the walk has been, for ever.
  // The slow path reads the entry found by searching, whose key is after
  // the position by comparison, so every walk ends.
  uint32_t dup = f->keys[key].duplicates ? sequence : 0;
  int order = compare_keys(rebuilt + 2, size, r.current_key + 2, size);
  if (order < 0 || (order == 0 && dup < r.current_dup)) return -1;
  memmove(r.prefetch, r.prefetch + 1, sizeof r.prefetch[0] * (kPrefetchSlots - 1));
  if (r.prefetch_keyed)
    memmove(r.prefetch_keys, r.prefetch_keys + 1, sizeof r.prefetch_keys[0] * (kPrefetchSlots - 1));
  r.prefetch[kPrefetchSlots - 1] = r.walk_next < r.walk_count ? r.walk[r.walk_next++] : kNullAddr;
  // The record kHintAhead steps on, in the view the leaf's hints took (a
  // record of another segment goes unhinted): one turn of hint_ahead's
  // loop, in line (the call cost 70 instructions a step).
  SegAddr ahead;
  if (record_of_pointer(r.prefetch[kHintAhead - 1], &ahead))
    hint_record(r.view, ahead);
  else if (r.next_leaf != kNoNode)
    hint_next_leaf(f);
  copy_search_key(r.current_key, rebuilt);
  r.current_dup = dup;
  r.position = kOnEntry;
  r.pending = false;
  return length;
}

// The fields of the position that a failed v5_next puts back (the read
// state as a whole holds kilobytes of prefetched keys). Of the current key
// only its length byte and the bytes it counts mean anything.
class PositionSnapshot {
 public:
  explicit PositionSnapshot(const ReadState &r)
      : position_(r.position), current_dup_(r.current_dup), pending_(r.pending) {
    copy_search_key(current_key_, r.current_key);
  }
  void restore(ReadState &r) const {
    r.position = position_;
    copy_search_key(r.current_key, current_key_);
    r.current_dup = current_dup_;
    r.pending = pending_;
  }

 private:
  int position_;
  uint32_t current_dup_;
  bool pending_;
  uint8_t current_key_[kSearchKeySize];
};

// Marks the record reads of one v5_next or v5_previous as those of a walk,
// which the storage layer may serve ahead of time (records.cpp).
class Walk {
 public:
  explicit Walk(DorvexFile *f) : f_(f) { f_->walking = true; }
  ~Walk() { f_->walking = false; }
  Walk(const Walk &) = delete;
  Walk &operator=(const Walk &) = delete;

 private:
  DorvexFile *f_;
};

bool fast_path_open(DorvexFile *f) {
  const ReadState &r = *f->read;
  return !r.pending && r.leaf != kNoNode &&
         r.snapshot == static_cast<uint32_t>(hget(f, kHeaderVersion)) &&
         !(r.prefetch[0] == kNullAddr);
}

// Step 4: the entry after the current position, from the saved leaf while
// it can be trusted, else from the root. *descended: the search went down
// from the root (or from an ancestor of the walk's leaf), so the tree's
// search path leads to the entry found.
int search_next(DorvexFile *f, NodePosition *pos, bool *descended) {
  ReadState &r = *f->read;
  TreeContext *t = tree_of(f);
  // A walk that took every entry of the unchanged leaf is past its end:
  // the leaf's own search would say so (SR_PAST_END). The next entry is
  // then searched from the nearest ancestor of the leaf that reaches it.
  bool past_leaf = r.walk_to_leaf_end && r.prefetch[0] == kNullAddr && !r.pending;
  int walk_depth = r.walk_depth;
  clear_prefetch(r);
  t->next_leaf = kNoNode;
  *descended = true;
  bool trusted = r.leaf != kNoNode && r.snapshot == static_cast<uint32_t>(hget(f, kHeaderVersion));
  if (trusted && past_leaf && walk_depth > 0)
    return vi_find_key_below(t, r.current_key, r.current_dup, r.walk_path, walk_depth, pos);
  if (trusted && !past_leaf) {
    vi_set_key(t, r.key_of_reference);
    int result = vi_search_node(t, r.current_key, r.current_dup, r.leaf, pos);
    if (result >= SR_GREATER) {
      *descended = false;
      return result;
    }
    fs_set_status(0);
  }
  return vi_find_key(t, r.current_key, r.current_dup, pos);
}

// One attempt of seq_read: the record length, or -1 (r.retry set when the
// caller is to start again).
int64_t next_attempt(Operation &op, DorvexFile *f, uint8_t *record, bool last_try) {
  ReadState &r = *f->read;
  r.retry = false;
  if (r.position == kBeforeFirst) {
    edge_key(f, 0x00);
    r.current_dup = 0;
    r.pending = true;
  } else if (r.position != kOnEntry) {
    fs_fail(E_NO_CURRENT);
    return -1;
  }
  if (!r.pending) {
    // No record is ever given the sequence number 0xFFFFFFFF (the header's
    // counter is broken at that value), so a position on it came from a
    // damaged entry or record; the number after it would wrap to 0 and send
    // the walk back to the first entry of the key, for ever.
    if (r.current_dup == 0xFFFFFFFF) return fs_fail(E_BROKEN, kBrokenOutOfOrder), -1;
    ++r.current_dup;
  }
  if (fast_path_open(f)) {
    int64_t length = fast_next(op, f, record);
    if (length >= 0) {
      op.tree_untouched();
      return length;
    }
    fs_set_status(0);
  }
  NodePosition pos;
  bool descended = false;
  int result = search_next(f, &pos, &descended);
  TreeContext *t = tree_of(f);
  if (result >= SR_GREATER && entry_of_key(t->search.key, r.key_of_reference)) {
    int64_t length = common_read(op, f, pos, record, r.key_of_reference, true, true);
    // A walk that will run to the leaf's end keeps the way down to it.
    // Only a read that prefetched knows it will: one that looked for a
    // following duplicate (whose search may have left the tree's path at
    // another leaf) did not prefetch, so the path kept is this descent's.
    if (length >= 0 && descended && r.walk_to_leaf_end && pos.depth < kMaxDepth) {
      memcpy(r.walk_path, t->path, sizeof(SegAddr) * static_cast<size_t>(pos.depth + 1));
      r.walk_depth = pos.depth;
      r.next_leaf = t->next_leaf;
    }
    if (length < 0 && r.retry && !last_try) {
      r.position = kOnEntry;
      r.pending = true;
    }
    return length;
  }
  if (!last_try && (op.verified() || (op.header_checked() && op.header_moved()))) {
    r.position = kOnEntry;
    r.pending = true;
    r.retry = true;
    return -1;
  }
  if (result == SR_ERROR) return -1;
  r.position = kAfterLast;
  fs_fail(E_NOT_FOUND);
  return -1;
}

int64_t next(Operation &op, DorvexFile *f, uint8_t *record) {
  if (record == nullptr) {
    fs_fail(E_PARAM);
    return -1;
  }
  if (!reads_allowed(f)) return -1;
  const Walk walk(f);
  ReadState &r = *f->read;
  // A failure leaves the position as it was, unless the record found was
  // locked (it became the pending position) or the end was reached.
  const PositionSnapshot before(r);
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool last_try = attempt == 1;
    if (!op.begin(HeaderAccess::kRead, attempt > 0)) break;
    int64_t length = next_attempt(op, f, record, last_try);
    if (length >= 0) return length;
    if (!last_try && !r.retry && op.fault_needs_confirming()) {
      before.restore(r);
      continue;
    }
    if (!r.retry || last_try) break;
  }
  if (*fs_error_code() != E_REC_LOCKED && *fs_error_code() != E_NOT_FOUND) before.restore(r);
  return -1;
}

bool not_found_at_start(ReadState &r) {
  r.position = kBeforeFirst;
  return fs_fail(E_NOT_FOUND);
}

int64_t previous(Operation &op, DorvexFile *f, uint8_t *record) {
  if (record == nullptr) {
    fs_fail(E_PARAM);
    return -1;
  }
  if (!reads_allowed(f)) return -1;
  const Walk walk(f);
  ReadState &r = *f->read;
  if (r.position == kAfterLast) {
    edge_key(f, 0xFF);
    r.current_dup = 0xFFFFFFFF;
    r.pending = false;
  } else if (r.position != kOnEntry) {
    fs_fail(E_NO_CURRENT);
    return -1;
  }
  if (!op.begin(HeaderAccess::kLocked)) return -1;
  TreeContext *t = tree_of(f);
  NodePosition pos;
  int result = vi_find_key(t, r.current_key, r.current_dup, &pos);
  if (result == SR_ERROR) return -1;
  if (result == SR_EMPTY) return not_found_at_start(r), -1;
  if (!(r.pending && result == SR_EXACT)) {
    if (!vi_step_back(t, &pos)) {
      if (*fs_error_code() == E_NOT_FOUND) not_found_at_start(r);
      return -1;
    }
    // Every step must move back, or a damaged tree could hold the walk.
    const FullKey &k = t->search.key;
    int order = compare_keys(k.bytes, k.length, r.current_key + 1, r.current_key[0]);
    if (order > 0 || (order == 0 && t->search.dup >= r.current_dup))
      return fs_fail(E_BROKEN, kBrokenOutOfOrder), -1;
  }
  if (!entry_of_key(t->search.key, r.key_of_reference)) return not_found_at_start(r), -1;
  return common_read(op, f, pos, record, r.key_of_reference, false, false);
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" uint32_t v5i_next(DorvexFile *file, uint8_t *record) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  int64_t length = next(op, file, record);
  op.finish(length >= 0);
  return length < 0 ? 0 : static_cast<uint32_t>(length);
}

extern "C" uint32_t v5i_previous(DorvexFile *file, uint8_t *record) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  int64_t length = previous(op, file, record);
  op.finish(length >= 0);
  return length < 0 ? 0 : static_cast<uint32_t>(length);
}
