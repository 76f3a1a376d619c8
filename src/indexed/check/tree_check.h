// The structural check of the B-trees of an indexed file: every key's tree
// is walked from its root and every invariant of btree.h is verified. The
// check reads through the node store into its own buffer and leaves the
// node images of open files alone.
//
// The first problem found is reported as a text and a number. Damage that
// the tree operations themselves report keeps their secondary code (20, 21,
// 22 for entries, or the store's code of a failed read); the others:
//
//   code  problem
//   101   a block in a tree is not a tree node (type byte not 1)
//   102   `used` exceeds the node's capacity
//   103   bytes after the entries are not zero
//   104   a node has no entries
//   105   keys out of order (full key, then duplicate number)
//   106   an interior entry's key differs from its child's last key
//   107   the high-key entry is missing from, or misplaced on, the
//         right-most path, or appears elsewhere
//   108   a leaf not at depth height - 1, an interior node there, or a
//         tree deeper than 32 levels
//   109   a pointer of the wrong kind (interior entries point to nodes,
//         leaf entries to records, the last leaf's high key is null)
//   110   root and height disagree (null root with height, or the reverse)
//   111   a node is reached twice (within a tree or from two trees)
//   112   a key of the wrong key number or length
//   113   a node cannot be read (the store's error; a short read keeps 9)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/check_memory.h"
#include "tree/btree.h"

namespace kel::indexed {

enum TreeFault : int32_t {
  kFaultNodeType = 101,
  kFaultUsed = 102,
  kFaultTail = 103,
  kFaultEmptyNode = 104,
  kFaultOrder = 105,
  kFaultSeparator = 106,
  kFaultHighKey = 107,
  kFaultDepth = 108,
  kFaultPointer = 109,
  kFaultRoot = 110,
  kFaultNodeTwice = 111,
  kFaultKeyShape = 112,
  kFaultRead = 113,
};

// A leaf entry: which record a key of a key's tree points to.
struct TreeRecord {
  int key = 0;
  SegAddr record;  // the record's address (the stored offset negated back)
  uint32_t dup = 0;
  CheckString full_key;  // key number byte and key bytes
};

struct TreeCheckResult {
  int32_t code = 0;  // 0: sound
  CheckString text;  // the first problem found
  CheckVector<TreeRecord> records;
  CheckVector<SegAddr> nodes;  // every node in use, sorted by segment, offset
  uint64_t entry_bytes = 0;    // sum of `used`: the header's index bytes in use
};

// Checks the trees of all keys; false when a problem was found (described
// in out->code and out->text).
bool check_trees(NodeStore *store, TreeCheckResult *out);
// Checks one key's tree, adding to `out` (nodes seen in earlier calls count
// as used).
bool check_key_tree(NodeStore *store, int key, TreeCheckResult *out);

}  // namespace kel::indexed
