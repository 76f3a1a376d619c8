// The storage primitives the B-trees are built on: node blocks on the index
// segments (version 3: in the one file), the free-node list, the node and
// index-byte counters of the header, and the key roots.
//
// Every call runs inside an operation that holds the header for update
// (header.h): the counters and list heads change in the header image, which
// the operation writes at its end.
//
// Free node on disk (the rest of the block keeps what it held):
//
//   offset  width  field
//   0       1      3 (free node)
//   1       4      offset of the next free node (0 with segment 0: none)
//   5       2      its index segment (versions 4 and 5 only)
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

namespace kel::indexed {

// Reads / writes the node-size block at a node address through the block
// cache; an input open that keeps writers out copies the nodes it reads
// from the index's read mapping where that shows them (storage.cpp says
// why the pool holds nothing newer then). A short read is E_BROKEN 9; a
// node in a segment the file does not have is E_BROKEN 68.
bool node_read(DorvexFile *f, SegAddr at, uint8_t *block);
bool node_write(DorvexFile *f, SegAddr at, const uint8_t *block);
// The node at `at` as the file's read mapping shows it (Bmapped_at: for
// hints only, the address valid until the next call on the cache), or
// null; never an error: a pointer a hint cannot follow is the read's to
// report.
const uint8_t *node_mapped(const DorvexFile *f, SegAddr at);
// Hints the processor to load the node at `at` where node_mapped shows it.
void node_hint(const DorvexFile *f, SegAddr at);

// A node for a tree: the head of the free-node list when there is one
// (its type byte must be 3, else E_BROKEN 12; the free count falls), else
// a new node at the end of the index (version 3: of the file), the index
// growing as needed. The count of nodes in use grows by 1. On failure
// *at is the null address.
bool node_allocate(DorvexFile *f, SegAddr *at);

// The next free node a free node's block names (the table above).
SegAddr free_node_next(const DorvexFile *f, const uint8_t *block);
// Puts the node at `at` on the free-node list (5 or 7 bytes written); the
// count of nodes in use falls by 1, the count of free nodes grows by 1.
bool node_free(DorvexFile *f, SegAddr at);

// Adds `delta` (may be negative) to the header's index bytes in use.
void index_bytes_adjust(DorvexFile *f, int64_t delta);

// A key's tree has a new root or height: both go into f->keys[key] and its
// description on disk, and the key description version grows by 1 so that
// other processes reload their key descriptions.
bool set_key_root(DorvexFile *f, int key, SegAddr root, uint8_t height);

}  // namespace kel::indexed
