// The reading side shared by positioning, keyed and sequential reads.
//
// The current position is a key entry: (current key, current duplicate
// number) in the tree of the key of reference. Nothing else ties the
// position to the tree, so records inserted or deleted by anybody are seen
// correctly: v5_next searches for (key, number + 1), which passes the
// current entry (in a tree of unique keys every number reads as 0) and
// stops at whatever follows it now. Two shortcuts avoid the search from the
// root while the file has not changed (the header version equals the
// position's snapshot): the leaf that held the entry is searched alone, and
// the records of up to 10 entries that follow in that leaf are read straight
// from the prefetch slots.
#pragma once

#include <cstdint>

#include "access/access_state.h"
#include "access/operation.h"

namespace kel::indexed {

// E_MODE_CLASH for a file open for output only (access 1 or 3).
bool reads_allowed(DorvexFile *f);
// E_PARAM unless 0 <= key < number of keys.
bool key_in_range(DorvexFile *f, int32_t key);
// Builds the SearchKey of `key` from a record (translated).
void build_search_key(const DorvexFile *f, int key, const uint8_t *record, uint8_t *out);
// Whether a rebuilt full key belongs to the tree of `key` (the high-key
// entry does not).
bool entry_of_key(const FullKey &key, int key_number);

void clear_prefetch(ReadState &r);
// How many records ahead of its position a walk has the processor load:
// when a leaf's pointers are taken, the next kHintAhead records, then at
// every step the one kHintAhead on. A record of a file filled in random
// order lies at a random place of the data segment, and each read missed
// the processor's caches one after the other; hinted ahead, the misses
// overlap. Ten, the whole of the slots: at 1,000,000 records it took
// about 12 % less processor time than eight, and 16 or 24 (hinted from
// the walk's rest of the leaf) no less than ten, for more instructions
// (bench/RESULTS.md, tenth round). Within the slots, so that a step finds
// its record there.
constexpr int kHintAhead = 10;
static_assert(kHintAhead <= kPrefetchSlots);
// Hints the processor to load the records of the first kHintAhead
// prefetch slots (hint_record), in the view of their data segment taken
// afresh: at every fill of the slots from a leaf.
void hint_ahead(DorvexFile *f);
// Where the walk's hints run past the end of its leaf: the records of the
// first kHintAhead entries of the next leaf (ReadState::next_leaf, whose
// block was hinted when the walk entered its leaf), decoded from the index
// as the mapping shows it, so that the first records of the next leaf are
// on their way before the walk gets there; once per leaf. Nothing where
// the index is not mapped; a block that does not decode as a leaf's
// entries stops the hints (it is the read's to report).
void hint_next_leaf(DorvexFile *f);

// Makes (key, dup) of `leaf` the current position (state 3, snapshot of
// the header version); the prefetch slots are emptied.
void set_position(DorvexFile *f, int key_number, const FullKey &key, uint32_t dup, SegAddr leaf,
                  bool pending);

// Reads the record of the leaf entry at `pos`, whose full key and
// duplicate number the reconstruction buffer holds, and makes the entry the
// current position. `after_next`: fill the prefetch slots from the leaf;
// `dup_check`: set 101 when an equal key follows (then no prefetch).
// Returns the record length, or -1 with the error set; r.retry set asks the
// caller to start again under the lock. A record locked by another open
// still becomes the position, pending, so that the next v5_next retries it.
int64_t common_read(Operation &op, DorvexFile *f, const NodePosition &pos, uint8_t *record,
                    int key_number, bool after_next, bool dup_check);

// Calls the test probe, if one is set.
void read_probe(DorvexFile *f, const char *point);

}  // namespace kel::indexed
