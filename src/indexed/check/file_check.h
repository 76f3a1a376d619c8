// Sub-layer check/ (the top of the engine): the structural check behind
// v5i_check, which walks what every layer below keeps. It calls access/,
// tree/, storage/ and format/ and changes nothing but, when asked, the
// count of openers for update that a process which ended left behind.
//
// The structural check of a whole indexed file, for the operators' check
// command and for the tests. Under the header lock it walks:
//
//   - the data area slot by slot (slot_walk.h): every live record is read
//     and decoded, and its key values are built;
//   - every key's tree (tree_check.h): ordering, separators, prefix counts,
//     high-key entries, heights, pointer kinds, nodes reached once;
//   - every leaf entry: it points at a live record whose key, built from
//     the record, is the entry's key, with the record's sequence number as
//     the duplicate number in keys that allow duplicates; each key has one
//     entry per live record;
//   - the free-node list: free-node type, no node twice, none in a tree;
//   - the deleted-record chain and (version 5) the set-aside chain: marks,
//     no record twice, and only slots the data area has;
//   - the header's counts against what was found: live records (slot 20),
//     deleted and set-aside records (21, 22), nodes in use and free nodes
//     (29, 30), index bytes in use (26).
//
// The report lists every problem on a line of its own, then a summary.
#pragma once

#include <cstdint>
#include <string>

#include "check/check_memory.h"
#include "storage/dorvex_file.h"

namespace kel::indexed {

struct CheckReport {
  int32_t problems = 0;
  bool header_unreadable = false;  // the error codes tell why
  CheckString text;
  // What the walks found.
  uint64_t live_records = 0;
  uint64_t deleted_records = 0;    // on the deleted chain
  uint64_t set_aside_records = 0;  // on the set-aside chain
  uint64_t tree_nodes = 0;
  uint64_t free_nodes = 0;
  uint64_t entry_bytes = 0;
};

// True when the file is sound. The report is filled either way; a header
// that cannot be read is a problem of its own (the error codes say why).
bool dorvex_check(DorvexFile *file, CheckReport *report);

// After dorvex_check found a file sound that was left open for update by
// a process that ended (E_BROKEN 25 at open), the operator's check clears
// the condition: with the file held exclusively for update (no other
// process can have it), only this open counts as an opener for update
// from now on, and its close leaves the count at 0. True when the count
// was above 1 and is reset; false with E_PARAM when the file is not held
// so, or with the header's error.
bool dorvex_clear_dead_writers(DorvexFile *file);

}  // namespace kel::indexed
