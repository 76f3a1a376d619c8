// Sub-layer access/: the record operations behind v5i_start ... v5i_delete
// (indexed/engine.h): the frame of each operation (operation.h), the
// per-file state (this header), positioning and reading (reading.h),
// physical-order reading, writing, deleting and record locks
// (record_locks.h), rewrite, and bulk addition (bulk.h). It calls tree/,
// storage/ and format/, and the file table for record locks.
//
// The per-file state of the layers above the storage: the B-tree context
// with its node store, the current-record state of reading, and the
// record-lock list. All three hang on the open file (DorvexFile::tree,
// ::read, ::locks); they are created when the file is opened and freed when
// it is closed, through the upper-layer hooks that install_access_layers
// puts in place.
#pragma once

#include <cstdint>

#include "format/params.h"
#include "storage/dorvex_file.h"
#include "storage/records.h"
#include "tree/btree.h"

namespace kel::indexed {

constexpr int kPrefetchSlots = 10;
// A SearchKey: a length byte, then the full key (key number, key bytes).
constexpr int kSearchKeySize = 1 + kMaxFullKey;

// The B-trees' seam to the storage layer of one open file.
class FileNodeStore final : public NodeStore {
 public:
  explicit FileNodeStore(DorvexFile *f) : f_(f) {}
  int version() const override { return f_->version; }
  int node_size() const override { return f_->node_size; }
  int key_count() const override { return f_->key_count; }
  const KeyDesc &key_desc(int key) const override { return f_->keys[key]; }
  bool read_node(SegAddr at, uint8_t *block) override;
  bool write_node(SegAddr at, const uint8_t *block) override;
  void hint_node(SegAddr at) override;
  bool allocate_node(SegAddr *at) override;
  bool free_node(SegAddr at) override;
  void add_index_bytes(int64_t delta) override;
  bool set_key_root(int key, SegAddr root, uint8_t height) override;

 private:
  DorvexFile *f_;
};

struct TreeState {
  explicit TreeState(DorvexFile *f) : store(f) {}
  FileNodeStore store;
  TreeContext ctx;
};

// Position states of the current record.
enum PositionState : int {
  kBeforeFirst = 1,  // set at open, and by v5_previous running off the start
  kAfterLast = 2,    // set by v5_next running off the end
  kOnEntry = 3,      // positioned on a key entry
};

// The current-record state (see reading.h for how the operations use it).
struct ReadState {
  int position = kBeforeFirst;
  int key_of_reference = 0;
  uint8_t current_key[kSearchKeySize] = {};  // SearchKey of the current entry
  uint32_t current_dup = 0;
  // The entry at (current key, current duplicate number) has not been
  // returned yet: after a start, or after a read that found it locked.
  bool pending = false;
  SegAddr leaf = kNoNode;  // leaf that held the current entry
  uint32_t snapshot = 0;   // header version when the position was taken
  // Stored pointers (negated offset, segment) of the entries that follow
  // the current one in its leaf; the null address marks an empty slot.
  SegAddr prefetch[kPrefetchSlots] = {};
  // Their key bytes (without the key number), kept in verified mode only.
  uint8_t prefetch_keys[kPrefetchSlots][kKeyLengthLimit] = {};
  bool prefetch_keyed = false;  // the slots were filled with their keys
  // The walk's rest of the leaf, for opens that keep other writers out
  // (exclusive, deny-write): the stored pointers of the entries after the
  // ten slots, up to the leaf's end or its high-key entry. Each record the
  // fast path takes moves the next of them into slot 9, so a walk reads a
  // whole leaf without searching it again. They are trusted exactly as the
  // slots are (same leaf, header version unchanged: on such an open only
  // the open itself changes the file, and every change moves the version),
  // emptied with them, and never kept with prefetched keys (verified
  // mode). `walk` has room for the most entries a node can hold
  // ("dorvex walk entries"); not allocated on other opens.
  MemPtr<SegAddr> walk;
  int32_t walk_capacity = 0;
  int32_t walk_next = 0;   // index of the next pointer to move into slot 9
  int32_t walk_count = 0;  // pointers held
  // The slots and the walk reach the leaf's last entry: once the fast path
  // has taken them all, the position is the leaf's last entry, and the
  // next search starts above the leaf without searching the leaf first.
  bool walk_to_leaf_end = false;
  // The search path (root first) down to that leaf at walk_depth, when the
  // leaf was found by a descent; walk_depth 0: none.
  SegAddr walk_path[kMaxDepth] = {};
  int walk_depth = 0;
  // Where the walk hints the records ahead of it (hint_ahead), taken
  // again at every leaf; emptied with the slots.
  RecordView view;
  // The leaf after the walk's leaf when the search that found the walk's
  // leaf knew it (TreeContext::next_leaf): its first records are hinted
  // once the hints reach the walk's leaf end (hint_next_leaf); kNoNode:
  // none, or hinted already. Emptied with the slots.
  SegAddr next_leaf = kNoNode;
  // The last record read under a lock and its primary key (the raw bytes
  // of key 0's parts, concatenated); the null address: none.
  SegAddr last_record = kNullAddr;
  uint8_t last_key[kKeyLengthLimit] = {};
  bool retry = false;  // the last step asks its operation to start again
  // The physical-order scan: next slot to look at, the end of data when it
  // started, and records left to return.
  SegAddr scan = kNullAddr;
  SegAddr scan_end = kNullAddr;
  uint32_t scan_left = 0;
};

// One record lock the file holds.
struct LockEntry {
  int32_t offset;
  uint16_t segment;
  uint8_t flags;  // kLockAutoRelease | kLockByWrite
};
enum : uint8_t {
  kLockAutoRelease = 1,  // released by the file's next operation
  kLockByWrite = 2,      // taken by a write
};

struct LockList {
  int32_t count = 0;
  int32_t limit = 1;
  bool keep = false;             // the file keeps its locks until v5_unlock
  LockEntry *entries = nullptr;  // `limit` entries, "dorvex record locks"
};

inline TreeContext *tree_of(DorvexFile *f) {
  return &f->tree->ctx;
}

}  // namespace kel::indexed
