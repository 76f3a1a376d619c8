// Decoded nodes: the search of a node that is searched again and again (the
// root and the levels below it) by binary search over its decoded entries.
//
// An entry's key is stored as bytes borrowed from the previous entry's key
// and a suffix (node_format.h), so a search of the stored form must walk
// every entry up to the one it stops at. The memo keeps, for a number of
// nodes, the node's entry area as it was decoded and, for every entry, its
// offset, duplicate number and full key; a search whose entry area is
// byte for byte the one remembered searches the full keys by halves.
//
// A memo entry is found by the node's identity (address and key number,
// given by the caller) but trusted only by its contents: the entry area
// and the entry layout must be equal to the remembered ones, so a node that
// changed (this process's insert, another process's write, another file's
// node at the same address) is simply decoded again. Only nodes whose every
// entry decodes soundly and whose keys ascend strictly are remembered;
// every other node is searched as the stored form is, with the damage
// reported as before. Interior nodes are decoded at their first search,
// leaves at the second in a row (node_memo.cpp says why, and how its two
// tables are organised).
//
// The memo is process-wide, as the node buffer is: fixed tables (no
// allocation, so no search can fail for want of memory), emptied with the
// engine's shared buffers.
#pragma once

#include <cstdint>

#include "format/node_format.h"
#include "format/seg_addr.h"

namespace kel::indexed {

// Who may search a remembered interior node without reading it: an open
// (a number never reused in the process) in one of its epochs. The open
// must be the only one that can change its file's nodes, and must call
// forget_trusted_node for every node it writes, takes or frees; a new
// epoch withdraws its trust from every node at once.
struct MemoTrust {
  uint64_t owner = 0;  // 0: nobody
  uint64_t epoch = 0;
};

// search_entries with the memo; `node_id` names the node (any value that
// differs between the nodes the caller searches). With `trust`, an
// interior node found in the memo byte for byte as it is in the area
// becomes trusted by it.
void search_entries_memo(const uint8_t *area, int used, const EntryLayout &layout, uint64_t node_id,
                         const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out,
                         const MemoTrust *trust = nullptr);

// The search of interior node `node_id` as the memo remembers it, without
// its entry area, when `trust` trusts it: true with the search's outcome
// and, in *child, the pointer of the entry it stopped at (always a child
// node), but without the full keys (out->key, out->before), which a
// descent needs only from its leaf; false otherwise.
bool search_trusted(uint64_t node_id, const MemoTrust &trust, const EntryLayout &layout,
                    const uint8_t *key, int key_length, uint32_t dup, NodeSearch *out,
                    SegAddr *child);

// Withdraws every trust in node `node_id` (its contents are changing).
void forget_trusted_node(uint64_t node_id);

// Asks for transparent huge pages for the interior-node table (once per
// process; without them nothing changes). For processes with a large
// block pool: see node_memo.cpp.
void advise_node_memo_huge_pages();

// Forgets every node.
void release_node_memo();

}  // namespace kel::indexed
