// Sub-layer storage/: the open file and its bytes. It owns the open-file
// record (this header), make, open, close and information (dorvex.h,
// make.cpp, info.cpp), the header reader and writer (header.h), the data
// and index segments and the positions they hold (segments.h), record
// storage with compression and scrambling (records.h, compress.h), node
// blocks and the free-node list (storage.h), slot walks (slot_walk.h), the
// shared scratch buffers and the engine's process-wide settings. It calls
// format/ and the layers below the engine (cache, osfile, config,
// messages, layer, support); the sub-layers above hang their state on an
// open file through the hooks of dorvex.h, and are never called directly.
//
// The open-file state of an indexed (Dorvex) file: one DorvexFile per
// v5_open, reached by every operation of the engine.
//
// The storage layer (header, segments, records, node blocks) owns the first
// part. The layers above it keep their state behind the four pointers at the
// end, each created by its own module and released by it before the file is
// freed:
//
//   tree   node image (address, used, pointer into the process's one shared
//          8192-byte node buffer), SearchPath of 32 levels, reconstruction
//          buffer, current key number and entry layout, equal-key-seen flag
//   read   current-record state of positioning and sequential reading
//          (position state, key of reference, current key and duplicate
//          number, pending flag, leaf address, change snapshot, prefetch
//          slots and keys, last-record address and primary key, retry flag)
//   locks  the file's record-lock list and its limit
//   bulk   bulk-addition state (first record, count, key buffer, duplicates
//          list, duplicates log)
//
// The storage layer never looks behind them. The layers create and free
// their state through the UpperLayerHooks of dorvex.h: attach at the end of
// an open, finish / release_locks / detach during close.
#pragma once

#include <cstdint>

#include "format/layout.h"
#include "format/params.h"
#include "format/seg_addr.h"
#include "indexed/engine.h"
#include "osfile/files.h"

namespace kel::indexed {

// Segment kinds; the same numbers are the block cache's file kinds.
enum SegmentKind : int32_t { kDataSegment = 255, kIndexSegment = 254 };

// The open files of one kind of segment, indexed by segment number.
//   files     file numbers of the file table; -1 when not open
//   sizes     data: bytes written into the segment (its header, records and
//             the zero-filled room ahead of the end of data);
//             index: bytes in use, the offset where the next node at the
//             end of the segment goes
//   reserved  index only: how far the segment has been zero-filled (never
//             below its size); a node past it makes the index grow
struct SegmentSet {
  int32_t count = 0;  // highest segment number + 1
  int32_t *files = nullptr;
  uint32_t *sizes = nullptr;
  uint32_t *reserved = nullptr;
};

// Header accesses, printed by the statistics report at close.
struct HeaderCounters {
  long updates = 0;
  long locked_reads = 0;
  long unlocked_reads = 0;
  long unlocked_waited = 0;  // found the update-open flag set
  long unlocked_retried = 0;
};

// Consistency checks of unlocked readers (verified mode), also printed at
// close.
struct ReaderCounters {
  long common_read_mismatches = 0;
  long find_key_mismatches = 0;
  long record_past_eof = 0;
  long detections_81 = 0;
  long detections_82 = 0;
  long read_rec_mismatches = 0;
  long seq_read_mismatches = 0;
  long non_bnode_blocks = 0;
};

// State of the layers above the storage, owned by them.
struct TreeState;
struct ReadState;
struct LockList;
struct BulkState;

}  // namespace kel::indexed

struct DorvexFile {
  // --- identity -----------------------------------------------------------
  char *name = nullptr;           // the name it was opened with
  int32_t mode = 0;               // the open flags as given
  int32_t seg_flags = 0;          // flags every segment is opened with
  bool writers_kept_out = false;  // see keeps_writers_out
  bool for_update = false;        // access other than input
  bool as_a_whole = false;        // opened past broken codes (open_file_with)
  int version = 0;
  const kel::indexed::HeaderLayout *layout = nullptr;

  // --- header -------------------------------------------------------------
  // The part of the header that changes while the file is open: bytes 0 up
  // to the layout's slot 44 ("physical header data"). Everything beyond it
  // is fixed at make and read once at open.
  uint8_t *header = nullptr;
  int32_t header_size = 0;
  uint32_t last_header_version = 0;  // slot 24 at the last read or write
  uint32_t key_desc_version = 0;     // slot 17 the key descriptions match
  bool header_held = false;          // this operation holds the update lock
  bool header_for_update = false;    // ... and reads for an update
  bool header_changed = false;       // to be written with its counter + 1
  // An open that keeps other writers out (exclusive, deny-write): the
  // image has not changed since the header reader last checked it (every
  // hset clears this), so the next header access has nothing to check.
  bool image_checked = false;
  // ... and the header access of the current operation found it sound:
  // what this steady open writes after its own changes is sound too, and
  // header_write takes image_checked back (header.cpp).
  bool image_sound = false;
  kel::indexed::HeaderCounters header_counters;
  kel::indexed::ReaderCounters reader_counters;

  // --- segments -----------------------------------------------------------
  int32_t data0 = -1;  // file number of data segment 0 (also data.files[0])
  kel::indexed::SegmentSet data;
  kel::indexed::SegmentSet index;
  uint32_t seg_limit = 0;   // slot 39 (versions 4 and 5)
  int32_t header_area = 0;  // slot 7: the first data position in segment 0

  // A sequential read (v5_next, v5_previous) is under way: its record
  // reads may be served ahead of time (records.cpp, read_slot_start).
  bool walking = false;

  // --- records and keys ---------------------------------------------------
  int32_t node_size = 0;  // bytes
  uint32_t max_record = 0;
  uint32_t min_record = 0;
  int32_t key_count = 0;
  kel::indexed::KeyDesc *keys = nullptr;  // "dorvex keys"
  uint8_t max_key_length = 0;
  bool duplicates = false;      // a key allows duplicates (slot 32 > 0)
  uint8_t header_factor = 0;    // slot 48 as stored
  int32_t compress_factor = 0;  // in effect: 1 became COMPRESS_FACTOR
  uint8_t scramble = 0;
  char comment[31] = {};
  uint8_t *translation = nullptr;  // "dorvex key translation table"
  uint8_t *reverse = nullptr;      // "dorvex reverse key translation table"

  // --- the layers above ---------------------------------------------------
  kel::indexed::TreeState *tree = nullptr;
  kel::indexed::ReadState *read = nullptr;
  kel::indexed::LockList *locks = nullptr;
  kel::indexed::BulkState *bulk = nullptr;
  bool bulk_requested = false;  // 0x8000 with 0x600 and a writing access
  bool bulk_running = false;    // records are appended, never put in slots

  // --- incomplete mark ----------------------------------------------------
  // This open wrote the broken code "incomplete" into the header (see
  // dorvex_mark_incomplete): its own header reads pass over that code, and
  // its final successful close clears it.
  bool marked_incomplete = false;
};

// An open that keeps every other writer out: exclusive (no other opener)
// or deny-write (other openers only read, and a reader never writes the
// header), with locking in force, as the file table found at open
// (Afile_writers_kept_out). Nobody else changes such a file between its
// operations. The mode bits alone are not enough: while V_INTERNAL_LOCKS is
// off a second open of the file in this process may write it, and the
// steady header, the trusted interior nodes and the mapped reads would
// miss its changes. (0x800 never reaches the segments' opens: they lock
// in any case, see segment_open_flags.) The answer is the one at open, kept
// off the hot paths: a process that switches V_INTERNAL_LOCKS off while
// such an open holds must not open the file again meanwhile.
inline bool keeps_writers_out(const DorvexFile *f) {
  return f->writers_kept_out;
}
