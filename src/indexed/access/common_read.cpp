// Reading the record of a found leaf entry, and the helpers of the reading
// operations.
#include <algorithm>
#include <cstring>

#include "access/access.h"
#include "access/reading.h"
#include "access/record_locks.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/header.h"
#include "storage/records.h"
#include "storage/storage.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

ReadProbe g_probe = nullptr;

// Verified mode: a record address at or beyond the end of data can only
// come from a node that a writer is changing.
bool past_end_of_data(const DorvexFile *f, SegAddr at) {
  SegAddr end = hget_addr(f, kEndOfDataOffset, kEndOfDataSeg);
  if (at.segment != end.segment) return at.segment > end.segment;
  return static_cast<uint32_t>(at.offset) >= static_cast<uint32_t>(end.offset);
}

// Whether the entry after the one at `offset` in the image has the full
// key `key` (*follows); *at_end when there is none in this leaf. False
// with E_BROKEN when an entry does not decode: damage after the entry read
// must be reported, never taken for "no equal key follows".
bool next_entry_equal(TreeContext *t, int offset, const FullKey &key, bool *follows, bool *at_end) {
  Entry e, next;
  int32_t broken = 0;
  *follows = false;
  *at_end = false;
  if (!decode_entry(t->node.entries(), t->node.used, offset, t->layout, &e, &broken))
    return fs_fail(E_BROKEN, broken);
  int at = offset + e.size;
  if (at >= t->node.used) {
    *at_end = true;
    return true;
  }
  if (!decode_entry(t->node.entries(), t->node.used, at, t->layout, &next, &broken))
    return fs_fail(E_BROKEN, broken);
  *follows =
      next.prefix <= key.length && next.prefix + next.suffix_length() == key.length &&
      memcmp(next.suffix, key.bytes + next.prefix, static_cast<size_t>(next.suffix_length())) == 0;
  return true;
}

// Step 5 of common_read: does another entry with the same key follow?
bool equal_key_follows(DorvexFile *f, const NodePosition &pos, const FullKey &key, uint32_t dup,
                       bool *follows) {
  TreeContext *t = tree_of(f);
  if (!vi_read_node(t, pos.node)) return false;
  bool at_end;
  if (!next_entry_equal(t, pos.offset, key, follows, &at_end)) return false;
  if (!at_end) return true;
  uint8_t search[kSearchKeySize];
  search[0] = static_cast<uint8_t>(key.length);
  memcpy(search + 1, key.bytes, static_cast<size_t>(key.length));
  NodePosition next;
  int result = vi_find_key(t, search, dup + 1, &next);
  if (result == SR_ERROR) return false;
  *follows = result == SR_EQUAL || result == SR_EXACT;
  return vi_read_node(t, pos.node);
}

// Step 7: the entries that follow in the leaf, up to 10, until the leaf or
// the key's entries end (the high-key entry is the only later entry that
// borrows nothing).
void prefetch(DorvexFile *f, const NodePosition &pos, const FullKey &current, bool keep_keys) {
  TreeContext *t = tree_of(f);
  ReadState &r = *f->read;
  clear_prefetch(r);
  Entry e;
  if (!decode_entry(t->node.entries(), t->node.used, pos.offset, t->layout, &e, nullptr)) return;
  r.prefetch_keyed = keep_keys;
  FullKey key = current;
  int at = pos.offset + e.size;
  for (int slot = 0; slot < kPrefetchSlots && at < t->node.used; ++slot) {
    if (!decode_entry(t->node.entries(), t->node.used, at, t->layout, &e, nullptr)) break;
    if (e.prefix == 0 || e.prefix > key.length) break;
    memcpy(key.bytes + e.prefix, e.suffix, static_cast<size_t>(e.suffix_length()));
    key.length = e.prefix + e.suffix_length();
    r.prefetch[slot] = SegAddr{e.pointer, e.segment};
    if (keep_keys && key.length > 1) {
      size_t n = static_cast<size_t>(std::min(key.length - 1, kKeyLengthLimit));
      memcpy(r.prefetch_keys[slot], key.bytes + 1, n);
    }
    at += e.size;
  }
  // The rest of the leaf, on an open that keeps other writers out: only
  // the pointers are wanted, with the same stops as above (an entry that
  // borrows nothing, or more than its predecessor's key has).
  if (!r.walk || keep_keys) return;
  int key_length = key.length;
  while (r.walk_count < r.walk_capacity &&
         decode_entry(t->node.entries(), t->node.used, at, t->layout, &e, nullptr)) {
    if (e.prefix == 0 || e.prefix > key_length) break;
    r.walk[r.walk_count++] = SegAddr{e.pointer, e.segment};
    key_length = e.prefix + e.suffix_length();
    at += e.size;
  }
  r.walk_to_leaf_end = at == t->node.used;
  hint_ahead(f);
}

}  // namespace

void set_read_probe(ReadProbe probe) {
  g_probe = probe;
}

void read_probe(DorvexFile *f, const char *point) {
  if (g_probe) g_probe(f, point);
}

bool reads_allowed(DorvexFile *f) {
  int32_t access = f->mode & A_ACCESS_MASK;
  if (access != A_OUTPUT && access != A_EXTEND) return true;
  return fs_fail(E_MODE_CLASH);
}

bool key_in_range(DorvexFile *f, int32_t key) {
  if (key >= 0 && key < f->key_count) return true;
  return fs_fail(E_PARAM);
}

void build_search_key(const DorvexFile *f, int key, const uint8_t *record, uint8_t *out) {
  int n = build_key(f->keys[key], record, f->translation, out + 2);
  out[0] = static_cast<uint8_t>(n + 1);
  out[1] = static_cast<uint8_t>(key);
}

bool entry_of_key(const FullKey &key, int key_number) {
  return key.length > 1 && key.bytes[0] == key_number;
}

void clear_prefetch(ReadState &r) {
  for (SegAddr &slot : r.prefetch) slot = kNullAddr;
  r.walk_next = r.walk_count = 0;
  r.walk_to_leaf_end = false;
  r.walk_depth = 0;
  r.next_leaf = kNoNode;
  // The mapping may move before the next leaf: its view is taken afresh.
  r.view = RecordView{};
}

void hint_ahead(DorvexFile *f) {
  ReadState &r = *f->read;
  for (int i = 0; i < kHintAhead; ++i) {
    SegAddr at;
    if (!record_of_pointer(r.prefetch[i], &at)) return;
    if (at.segment != r.view.segment) record_view(f, at, &r.view);
    hint_record(r.view, at);
  }
}

void hint_next_leaf(DorvexFile *f) {
  ReadState &r = *f->read;
  const SegAddr leaf = r.next_leaf;
  r.next_leaf = kNoNode;
  const uint8_t *block = node_mapped(f, leaf);
  if (block == nullptr || block[0] != kTreeNode) return;
  const int used = node_used(block, f->node_size);
  if (used < 0) return;
  const EntryLayout layout = key_entry_layout(f->version, f->keys[r.key_of_reference]);
  int at = 0;
  for (int i = 0; i < kHintAhead && at < used; ++i) {
    Entry e;
    if (!decode_entry(block + kNodeHeaderSize, used, at, layout, &e, nullptr)) return;
    SegAddr record;
    if (!record_of_pointer(SegAddr{e.pointer, e.segment}, &record)) return;
    if (record.segment != r.view.segment) record_view(f, record, &r.view);
    hint_record(r.view, record);
    at += e.size;
  }
}

void set_position(DorvexFile *f, int key_number, const FullKey &key, uint32_t dup, SegAddr leaf,
                  bool pending) {
  ReadState &r = *f->read;
  r.position = kOnEntry;
  r.key_of_reference = key_number;
  r.current_key[0] = static_cast<uint8_t>(key.length);
  memcpy(r.current_key + 1, key.bytes, static_cast<size_t>(key.length));
  r.current_dup = dup;
  r.leaf = leaf;
  r.snapshot = static_cast<uint32_t>(hget(f, kHeaderVersion));
  r.pending = pending;
  clear_prefetch(r);
}

int64_t common_read(Operation &op, DorvexFile *f, const NodePosition &pos, uint8_t *record,
                    int key_number, bool after_next, bool dup_check) {
  TreeContext *t = tree_of(f);
  ReadState &r = *f->read;
  r.retry = false;
  const FullKey key = t->search.key;
  const uint32_t dup = t->search.dup;
  SegAddr at;
  bool pointer_ok = record_of_pointer(vi_entry_pointer(t, pos.offset), &at);
  if (!pointer_ok && !op.verified()) {
    fs_fail(E_BROKEN, kBrokenPosition);
    return -1;
  }
  if (op.verified() && (!pointer_ok || past_end_of_data(f, at))) {
    ++f->reader_counters.record_past_eof;
    if (op.debug_output()) eprintf(">>AR DBG record pointer past EOF detection\n");
    r.retry = true;
    return -1;
  }
  read_probe(f, "record");
  int64_t length = vi_read_rec(f, record, at, kLockTake, kLockAutoRelease);
  if (length < 0) {
    if (op.verified() || (op.header_checked() && op.header_moved())) {
      r.retry = true;
    } else if (*fs_error_code() == E_REC_LOCKED) {
      set_position(f, key_number, key, dup, pos.node, true);
    }
    return -1;
  }
  if (op.verified()) {
    uint8_t rebuilt[kSearchKeySize];
    build_search_key(f, key_number, record, rebuilt);
    if (rebuilt[0] != key.length || memcmp(rebuilt + 1, key.bytes, key.length) != 0) {
      ++f->reader_counters.common_read_mismatches;
      if (op.debug_output()) eprintf(">>AR DBG common_read() mismatch\n");
      r.retry = true;
      return -1;
    }
  }
  bool shared = false;
  bool check = dup_check && f->keys[key_number].duplicates;
  if (check && !equal_key_follows(f, pos, key, dup, &shared)) {
    // A verified search may fail on a tree that a writer is changing.
    r.retry = op.verified();
    return -1;
  }
  if (op.header_checked() && op.header_moved()) {
    r.retry = true;
    return -1;
  }
  set_position(f, key_number, key, dup, pos.node, false);
  if (after_next && !check)
    prefetch(f, pos, key, (fs_settings().lock_method & kLockMethodVerified) != 0);
  if (shared) fs_set_status(E_DUPLICATE_ALTERNATE);
  return length;
}

}  // namespace kel::indexed
