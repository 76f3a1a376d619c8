// Sub-layer tree/: the B-trees, written over an abstract node store so
// that they know nothing of segments or the cache (access/ gives them one
// over the file's node blocks; the tests one in memory). It calls format/
// (node encodings, key descriptions) and support and messages only.
//
// The B-trees of an indexed file: key search, insertion with node split,
// deletion with node combine, written over an abstract node store.
//
// Every key has a tree of its own. Leaf entries point at records (offset
// negated), interior entries at child nodes; the node and entry format is in
// node_format.h. The invariants every operation keeps:
//
//  - Every node on the right-most path (root included) ends with the
//    high-key entry (full key 0x7F, duplicate number 0); no other node has
//    it. In the right-most leaf its pointer is null, in an interior node it
//    points to the right-most child.
//  - The key of an interior entry equals the last key (full key and
//    duplicate number) of its child, so it is >= every key of the child's
//    subtree and < every key of the next entry's subtree.
//  - All leaves are at depth height - 1. An empty tree has a null root and
//    height 0; a single leaf has height 1.
//  - The header's "index bytes in use" is the sum of `used` over all nodes
//    of all trees: every change of an entry area reports its growth.
//
// The node image: the process has ONE node buffer (kMaxNodeSize bytes)
// shared by all open files. A file's image records the address of the node
// it last read; a node is read again unless the address asked for equals
// the recorded one, and every operation on the file ends with
// vi_end_operation, which clears the address (offset -1, segment 65535),
// since another file may overwrite the buffer in between.
#pragma once

#include <cstdint>
#include <cstring>

#include "format/node_format.h"
#include "format/node_memo.h"
#include "format/params.h"
#include "format/seg_addr.h"
#include "indexed/broken_codes.h"
#include "support/alloc.h"

namespace kel::indexed {

constexpr int kMaxDepth = 32;

// Results of combine.
enum CombineResult : int {
  COMBINE_ERROR = 0,
  COMBINE_RIGHT = 1,  // merged with the right neighbour, or the node became empty
  COMBINE_LEFT = 2,   // merged with the left neighbour
  COMBINE_NONE = 3,   // nothing merged
};

// The seam to the storage layer: node blocks in the index segments, the
// free-node list, the header counters and the key descriptions. Every
// failure returns false with the primary error (and secondary code) already
// set by the store.
class NodeStore {
 public:
  virtual ~NodeStore() = default;

  // Format version of the file: 3, 4 or 5.
  virtual int version() const = 0;
  // Node size in bytes (512 x the header's node blocks), at most kMaxNodeSize.
  virtual int node_size() const = 0;
  virtual int key_count() const = 0;
  virtual const KeyDesc &key_desc(int key) const = 0;

  // Reads the node-size bytes at `at` (a short read is E_BROKEN 9).
  virtual bool read_node(SegAddr at, uint8_t *block) = 0;
  // Writes the node-size bytes of `block` at `at`.
  virtual bool write_node(SegAddr at, const uint8_t *block) = 0;
  // A hint that the node at `at` will be read soon (a walk's next leaf):
  // the store may start loading it. Nothing by default; never an error.
  virtual void hint_node(SegAddr at) { (void)at; }
  // Takes a node: the head of the free-node list (its type byte must be 3,
  // else E_BROKEN 12) or a new node at the end of the index, growing the
  // index into a new segment when needed; counts it in use. Nothing is
  // written: the caller writes the node once it has filled it.
  virtual bool allocate_node(SegAddr *at) = 0;
  // Writes the free-node head at `at` (type 3, the current list head's
  // offset and, in versions 4 and 5, segment; the rest of the block
  // untouched), makes it the list head and moves it from the in-use count
  // to the free count.
  virtual bool free_node(SegAddr at) = 0;
  // Adds `delta` (possibly negative) to the header's index bytes in use.
  virtual void add_index_bytes(int64_t delta) = 0;
  // Sets a key's root and height in its description, increments the
  // header's key description version and writes the description, so that
  // other processes reload the key roots.
  virtual bool set_key_root(int key, SegAddr root, uint8_t height) = 0;
};

// The image of the node being worked on.
struct NodeImage {
  SegAddr addr = kNoNode;
  int used = 0;  // bytes of entries
  // The whole block: the process-wide node buffer, or for an insertion at
  // the remembered place the key's leaf copy (vi_work_in).
  uint8_t *buf = nullptr;
  uint8_t *entries() const { return buf + kNodeHeaderSize; }
};

// Where a search stopped: the node, the offset of the entry inside the
// node's entry area, the offset of the entry before it (-1 when none) and
// the node's depth (0 is the root).
struct NodePosition {
  SegAddr node = kNoNode;
  int offset = 0;
  int previous = -1;
  int depth = 0;
};

// Counters of the verified unlocked-read mode, printed by the file
// statistics report.
struct TreeCounters {
  long find_key_mismatches = 0;  // parent key below the child's first key
  long non_bnode_blocks = 0;     // a searched block was not a tree node
};

// Where the last insertion into one key's tree went, so that the next one
// whose key falls between the entry it added and that entry's successor
// goes straight to the leaf, without the descent from the root and the
// search of the leaf. Keys arriving in ascending order (a restore) land
// there every time. It is trusted only while `changes` equals the key's
// change count in the tree context: every node of the key's tree written,
// taken or freed moves that count (a root is set only together with
// them), so a split, combine, new root, delete, rewrite or undo forgets
// it, and so does any other insertion into the key that did not record
// itself. It is kept only by an open that keeps other writers out; no
// other process can change the tree under it.
//
// It also keeps a copy of the leaf as its insertion wrote it (the key's
// slot of TreeContext::insert_images): while the memo is trusted, no node
// of the key changed since, so the copy is the leaf's bytes in the file and
// the next insertion there starts from it instead of reading the leaf
// through the block cache again.
struct InsertMemo {
  bool valid = false;
  uint64_t changes = 0;
  SegAddr leaf = kNoNode;
  int depth = 0;       // the leaf's depth
  int root_depth = 0;  // and the path down to it
  SegAddr path[kMaxDepth];
  int start = 0;        // offset of the entry added
  int end = 0;          // offset of its successor: where the next entry goes
  FullKey last;         // key of the entry added
  FullKey next;         // key of its successor
  uint32_t misses = 0;  // insertions in a row that went elsewhere
  int leaf_used = -1;   // bytes in use of the leaf copy; -1: none
};

// The tree state of one open file (part of its control block).
struct TreeContext {
  NodeStore *store = nullptr;
  NodeImage node;
  // The reconstruction buffer lives in `search.key`: the full key of the
  // entry the last node search stopped at (results 3 to 5).
  NodeSearch search;
  int key_number = 0;
  EntryLayout layout{};
  // The key `layout` was set for in this operation (-1: none yet); no
  // key's layout changes during an operation, so vi_set_key keeps it.
  int layout_key = -1;
  // Node address at each depth of the last descent; kNoNode marks a level
  // without a node. The levels before root_depth are kNoNode: root_depth is
  // 1 only after the root was lowered during the current operation (the
  // old root's child keeps its depth), until a root split takes that level
  // again. A root split at depth 0 instead moves every level down by one.
  SegAddr path[kMaxDepth];
  int root_depth = 0;
  bool equal_seen = false;  // a search met an entry with an equal key
  // The leaf after the one the last vi_find_key_below went down to (the
  // next child of that leaf's parent), hinted to the store there; kNoNode
  // when that search did not know it.
  SegAddr next_leaf = kNoNode;
  // Set by the reading side for the current operation (cleared when it
  // ends, so that writers never run in verified mode).
  bool verified = false;      // verified unlocked-read mode
  bool debug_output = false;  // print the ">>AR DBG" lines
  TreeCounters counters;

  // Per operation: the two temporary node buffers of split and combine
  // (taken at the first need, kept for the whole operation so that a
  // failure to get them happens before anything was changed), the levels
  // added on top by root splits (frames below adjust their depths by it)
  // and the number of splits done.
  MemPtr<uint8_t> scratch[2];
  int depth_shift = 0;
  uint32_t split_count = 0;
  // The key key_add is adding, kept here so that its bytes are not
  // cleared at every call (only its `length` bytes are ever read).
  FullKey adding;

  // The memory of the last insertion per key (InsertMemo), taken by
  // vi_remember_inserts for opens that keep other writers out.
  uint64_t changes[kMaxKeys] = {};  // per key: moved by every node change
  MemPtr<InsertMemo> insert_memo;
  // Per key, node_size bytes: the copy of the leaf the memo points to.
  MemPtr<uint8_t> insert_images;
  // What the decoded-node memo trusts for this open (node_memo.h): set
  // only for an open that keeps other writers out (one that keeps the
  // insertion memory, or an input open with exclusive or deny-write use,
  // which nobody can change at all), since only such an open is sure
  // nobody else changes its nodes. Its descents then search
  // the interior nodes this open has found byte for byte as the memo holds
  // them without reading them again. Every node written, taken or freed
  // through this context is forgotten; a failed operation starts a new
  // epoch.
  MemoTrust trust;
};

// Prepares the tree state of a newly opened file.
void vi_tree_init(TreeContext *f, NodeStore *store);
// Ends an operation on the file: clears the node image's address, the
// search path, the next leaf and the verified-mode flags, and releases the
// temporary node buffers. Every operation on the file must end with it.
void vi_end_operation(TreeContext *f);
// Sets every level of the search path to kNoNode, which is all ones: one
// fill of the whole path.
inline void vi_clear_path(TreeContext *f) {
  static_assert(kNoNode.offset == -1 && kNoNode.segment == 0xFFFF);
  memset(static_cast<void *>(f->path), 0xFF, sizeof f->path);
}
// Sets the current key number and entry layout from the key's flags.
void vi_set_key(TreeContext *f, int key);
// Makes the file remember where the last insertion of each key went
// (InsertMemo), for an open that keeps other writers out; E_NO_MEMORY.
bool vi_remember_inserts(TreeContext *f);
// Gives the open a trust of its own in the decoded-node memo (`trust`):
// only for an open that keeps other writers out.
void vi_trust_own_nodes(TreeContext *f);
// Forgets where the last insertions went (InsertMemo): after an operation
// that failed, whose changes may not all have reached the file.
inline void vi_forget_inserts(TreeContext *f) {
  for (uint64_t &c : f->changes) ++c;
  ++f->trust.epoch;
}

// --- the node image (btree_node.cpp) ---

// Reads the node at `at` into the image unless it is already there; false
// (image address cleared) on a read failure.
bool vi_read_node(TreeContext *f, SegAddr at);
// Writes the image's node (type B_NODE, used).
bool vi_write_node(TreeContext *f);
// Takes a new node; the image becomes that node, zeroed, with used 0.
bool vi_alloc_node(TreeContext *f, SegAddr *at);
// Puts the node at `at` on the free-node list; an image holding it is cleared.
bool vi_free_node(TreeContext *f, SegAddr at);
// Pointer and duplicate number of the image's entry at `offset`.
SegAddr vi_entry_pointer(const TreeContext *f, int offset);
uint32_t vi_entry_dup(const TreeContext *f, int offset);
// Full key (and duplicate number) of the image's entry containing `offset`;
// an offset outside the entries gives length 0. False with E_BROKEN.
bool vi_key_at_offset(TreeContext *f, int offset, FullKey *key, uint32_t *dup);
// In the node at `parent`, the entry whose pointer is `child` and the entry
// before it (-1 when it is the first). E_BROKEN 7 when there is none.
bool vi_find_parent_entry(TreeContext *f, SegAddr parent, SegAddr child, int *offset,
                          int *previous);
// Removes the image's entry at `offset` (the successor takes over the bytes
// it borrowed) and subtracts the bytes freed from the index bytes in use.
bool vi_remove_entry(TreeContext *f, int offset, bool *was_last);

// --- search (btree_search.cpp) ---

// The node's identity in the decoded-node memo.
inline uint64_t memo_node_id(SegAddr node, int key) {
  return static_cast<uint64_t>(static_cast<uint32_t>(node.offset)) |
         static_cast<uint64_t>(node.segment) << 32 | static_cast<uint64_t>(key & 0xFF) << 48;
}

// `search_key` is a SearchKey: a length byte, then the full key (the key
// number byte and the key bytes). Results are the SR_* codes of
// node_format.h; for results 3 to 5 the reconstruction buffer
// (f->search.key, with f->search.dup) holds the entry stopped at. A
// search meeting an equal key sets f->equal_seen.
//
// vi_search_node searches one node (pos->depth is left to the caller);
// SR_PAST_END when no entry is at or after the key. In verified mode a
// block that is no tree node is counted and gives SR_ERROR.
int vi_search_node(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr node,
                   NodePosition *pos);
// vi_find_key descends from the key's root to a leaf entry, recording the
// search path: SR_EMPTY for an empty tree (no node read), else 3 to 5, or
// SR_ERROR (E_BROKEN 4 when a node ends below the key; in verified mode
// that, and a parent key below its child's first key, are SR_ERROR with no
// error set, for the caller to retry).
int vi_find_key(TreeContext *f, const uint8_t *search_key, uint32_t dup, NodePosition *pos);
// The same search for a key above every key of the leaf at `leaf_depth` of
// `path` (a search path of an earlier vi_find_key, in a tree that has not
// changed since): the descent starts at the lowest ancestor of that leaf
// whose keys reach the searched key, not at the root. Same results.
int vi_find_key_below(TreeContext *f, const uint8_t *search_key, uint32_t dup, const SegAddr *path,
                      int leaf_depth, NodePosition *pos);
// Steps back to the entry before `pos` in key order, across leaves; the
// reconstruction buffer then holds its full key. 0 with E_NOT_FOUND before
// the first entry of the tree, or with the error of a failed read.
int vi_step_back(TreeContext *f, NodePosition *pos);
// Descends from the node at `from` (at `depth`) to the last entry of the
// right-most leaf of its subtree, recording the search path.
int vi_descend_last(TreeContext *f, SegAddr from, int depth, NodePosition *pos);

// --- insertion (btree_insert.cpp) ---

// Adds (key, dup) with `pointer` (a record's offset already negated, and
// its segment). E_DUPLICATE for an equal key when `duplicates` is false;
// E_BROKEN 3 when the same key and duplicate number are present.
bool key_add(TreeContext *f, const uint8_t *search_key, uint32_t dup, SegAddr pointer,
             bool duplicates);
// Inserts (key, dup, pointer) into the node at pos (its entry offset),
// splitting full nodes; pos follows the entry into the node that receives it.
// `before`, when given, is the full key of the entry that ends at the
// offset (the search that found pos rebuilt it); otherwise the node is
// walked to rebuild it.
bool vi_node_insert(TreeContext *f, const FullKey &key, uint32_t dup, SegAddr pointer,
                    NodePosition *pos, const FullKey *before = nullptr);
// The key before the stopping point of the last node search, when that
// search rebuilt it, for vi_node_insert at the position it found.
const FullKey *searched_before(const TreeContext *f);

// --- building an empty tree (btree_build.cpp) ---

// Builds the tree of an empty key from entries added in ascending order of
// (key, duplicate number), each added after the one before; nothing is in
// the tree until finish() sets its root. Every failure sets the error; the
// nodes written so far are then lost to the tree (the file is broken).
class TreeBuilder {
 public:
  TreeBuilder(TreeContext *t, int key);
  ~TreeBuilder();
  TreeBuilder(const TreeBuilder &) = delete;
  TreeBuilder &operator=(const TreeBuilder &) = delete;

  // `search_key` is a SearchKey of this key.
  bool add(const uint8_t *search_key, uint32_t dup, SegAddr pointer);
  bool finish();

 private:
  struct Level {
    MemPtr<uint8_t> block;  // "temporary node buffer"
    int used = 0;
    FullKey last;  // the last key added, what the next entry compresses against
    uint32_t last_dup = 0;
  };
  bool level_buffer(int level);
  int append(Level &v, const FullKey &key, uint32_t dup, SegAddr pointer, int capacity);
  bool write_level(int level, SegAddr *at);
  bool add_at(int level, const FullKey &key, uint32_t dup, SegAddr pointer);

  TreeContext *t_;
  int key_;
  int high_size_ = 0;  // bytes of the high-key entry
  int height_ = 0;
  uint64_t added_ = 0;
  Level levels_[kMaxDepth];
};

// --- deletion (btree_delete.cpp) ---

// Removes the entry (key, dup). E_BROKEN 6 when it is not in the tree.
bool key_sub(TreeContext *f, const uint8_t *search_key, uint32_t dup);
// Removes the entry at pos and combines an under-filled node.
int combine(TreeContext *f, NodePosition *pos);
// Re-keys the entry of `parent` that points to child->node with the child's
// last key; `depth` is the parent's depth.
bool update_separator(TreeContext *f, SegAddr parent, NodePosition *child, int depth);

// --- internal helpers shared by the tree modules ---
// Node capacity: node size - 3 bytes of entries.
inline int node_capacity(const TreeContext *f) {
  return f->store->node_size() - kNodeHeaderSize;
}
// Searches the node at `node` for a full key given by bytes and length.
int search_node_full(TreeContext *f, const uint8_t *key, int key_length, uint32_t dup, SegAddr node,
                     NodePosition *pos);
// Descends from the root towards (key, dup) and stops at `depth`, recording
// the search path; pos receives the first entry not less than (key, dup)
// in the node at that depth.
bool descend_to_depth(TreeContext *f, const FullKey &key, uint32_t dup, int depth,
                      NodePosition *pos);
// Makes `block` (a copy of the node at `at`, possibly changed) the image.
void vi_load_image(TreeContext *f, SegAddr at, const uint8_t *block, int used);
// Makes `block` itself (a whole node block of the file's context, holding
// the node at `at`) the image, without copying it: changes to the image
// go to it until the next node is read or taken, or the operation ends,
// when the image is the process-wide node buffer again.
void vi_work_in(TreeContext *f, SegAddr at, uint8_t *block, int used);
// Whether the image holds the node at `at` for this file.
bool vi_holds_node(const TreeContext *f, SegAddr at);
// Gets the two temporary node buffers of the operation (E_NO_MEMORY).
bool take_scratch(TreeContext *f);
// Writes a composed block as the node at `at` (type B_NODE, used); an image
// holding that node takes the new contents.
bool write_block(TreeContext *f, SegAddr at, uint8_t *block, int used);
// The high-key search key (length 1, byte 0x7F).
extern const uint8_t kHighSearchKey[2];
// The full key of the high-key entry that ends every level of a tree.
const FullKey &high_key();

}  // namespace kel::indexed
