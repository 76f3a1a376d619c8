// Bulk addition: a file opened with 0x8000, 0x600 (deny-write and
// exclusive) and a writing access takes new records without touching its
// trees. Each write only appends the record to the data area (never into
// a deleted slot) and counts it; the keys of all those records are added
// later, key by key in sorted order, when the file is closed or when any
// other operation needs the trees (a read, start, delete or rewrite
// first adds the waiting keys).
//
// Adding the waiting keys (bulk_flush):
//   1. Keys are taken in groups: from the first key not yet done, each key
//      in turn gets room for one entry per waiting record; the group stops
//      before the first key that no longer fits the key buffer
//      (V_BULK_MEMORY bytes, at least 512). When the keys do not all fit,
//      all of them are taken at once instead, each sorted in runs through
//      a temporary file and merged (bulk_keys.cpp), so that the records
//      are read once; where that cannot be done, a first key that does
//      not fit alone takes the whole buffer, in runs or in batches.
//   2. The records are walked in file order from the first one added in
//      bulk; deleted ones are skipped. Each gives one entry per key of the
//      group. A record that cannot be read is E_BROKEN with secondary code
//      5, written into the header.
//   3. Each key's entries are sorted (key bytes, then data segment, then
//      offset) and put into its tree in that order, key after key: an
//      empty tree is built bottom up, any other gets them one by one. An
//      entry refused as a duplicate (its unique key value is in the tree
//      already, or came first in the sorted order) puts the record on the
//      duplicates list.
//   4. Every record on the list is written to the duplicates log
//      (DUPLICATES_LOG; a big-endian length of 2 bytes, 4 when the maximum
//      record size exceeds 65535, then the record), removed from every key
//      whose entry points to it, deleted, and then handed to the duplicate
//      hook (last, so that a hook that uses the file system cannot disturb
//      the shared record buffer the removal works from).
//   The progress hook sees every hundredth of the insertions.
//
// A bulk phase cut short (process killed, a failing close) must not leave
// a file that opens as if whole while keys are missing. The open for bulk
// addition therefore marks the file incomplete (dorvex_mark_incomplete:
// broken code 24 in the header, written through at once); only the final
// successful close, after every key was added and every block written,
// clears the mark. Until then every other open fails with E_BROKEN and
// secondary code 24 (unless V_FORCE_OPEN is on), and so does every open
// after a kill. A file whose flush failed keeps the mark, or the broken
// code of its failure.
//
// Entries of the key buffer, one area per key of a group (native order;
// they leave memory only for the temporary file of the runs, which the
// same process reads back). For a key of length n an entry takes (n + 20)
// rounded down to a multiple of 4 bytes:
//
//   offset  width  field
//   0       4      the record's offset, negated (the leaf pointer)
//   4       2      its data segment
//   6       2      (unused)
//   8       4      the duplicate number: the record's sequence number in a
//                  key that allows duplicates, else 0
//   12      n + 2  the key value: length n + 1, key number, key bytes
//
// and each entry has a sort slot of 16 bytes (the first 8 key bytes as a
// big-endian number, and the entry's index) in front of the key's
// entries, so room for one entry counts entry size + 16 bytes.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

namespace kel::indexed {

// At the end of an open that asked for bulk addition: the key buffer
// ("bulk key buffer"), the duplicates log when DUPLICATES_LOG names one
// (opened with flags 0x201: output, exclusive), and the incomplete mark.
// False with the error set (E_NO_MEMORY, the log's open error, the
// header's error); the open then fails, its close having taken back the
// count of openers (the header version moves on: see open_file_with).
bool bulk_begin(DorvexFile *f);
// Closes the duplicates log and frees the state (close, failed open).
void bulk_end(DorvexFile *f);

// Records added in bulk whose keys are not in the trees yet.
bool bulk_waiting(const DorvexFile *f);
// A write appended the record at `at` in bulk mode.
void bulk_queue(DorvexFile *f, SegAddr at);
// Adds the waiting keys (above), as an operation of its own on the file.
// 1 / 0 with the error set. Nothing waiting: 1.
bool bulk_flush(DorvexFile *f);

}  // namespace kel::indexed
