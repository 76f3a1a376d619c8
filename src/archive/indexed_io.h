// The seam between kel and the indexed file engine. The writer asks it
// whether a listed file is an indexed file and reads its texts and records
// through it; the reader re-creates indexed files through it. Each
// operation stands for one entry point of the file system and must keep
// that entry point's results and error codes (file-system error codes of
// <kelfs/errors.h>):
//
//   open_input     v5_open(path, 0, "0,0,0"): null for any file that is
//                  not an indexed file, or cannot be opened as one; the
//                  writer then archives it as a plain file
//   info           v5_info(file, code, out), 1 or 0. Codes -4 (record
//                  count, "%010ld"), -1, -2, -3 (record parameters,
//                  physical parameters, comment: the texts of interface
//                  level 3, carried unchanged), -5 (the 256-byte
//                  translation table; 0 with E_UNSUPPORTED when the file
//                  has none, any other failure is an error) and 0 to
//                  keys - 1 (key descriptions). `out` holds kInfoTextSize
//                  bytes.
//   start_first    v5_start(file, record, 0, 0, 1) with a cleared record:
//                  the first record in key-0 order; 0 with E_NOT_FOUND
//                  when the file is empty
//   next           v5_next(file, record): the record's length, 0 at the
//                  end (E_NOT_FOUND) or on failure (any other code);
//                  `record` holds kMaxRecordLength bytes (writer.h)
//   close          v5_close(file)
//   make           v5_make(name, comment, physical, record parameters,
//                          keys joined by commas, translation table or
//                          null): format version 6 members
//   make_v4        v_make(name, old key description, comment): version 4
//   make_v2        v2_make(name, P, Q): version 5 (old style), P "%d,1" of
//                  the node blocks, Q the old key description from its
//                  eleventh character on, a comma and the comment
//   open_restore   v5_open(name, 0x601, "0,0,0"): output, exclusive,
//                  deferred writes, for the records that follow
//   write          v5_write(file, record, length): 1 or 0. A success may
//                  leave code 101 (another record has the same alternate
//                  key): not a failure. A failure with E_DUPLICATE skips
//                  that record and the restore goes on; any other failure
//                  ends the run.
//   remove         v5_remove(name): the old file and its segments, before
//                  a make; its failure is ignored (there may be none)
//   rename         v5_rename(from, to): the old file and its segments set
//                  aside under a hidden name while its member is restored,
//                  and put back when the restore fails. Null in a stand-in
//                  engine, and when it fails having moved nothing (the old
//                  file is no indexed file the engine can open): the old
//                  file is then moved aside as a single file.
//   mark_incomplete
//                  v5_mark_incomplete(file), 1 or 0, right after
//                  open_restore: the file refuses every other open until
//                  its close has written all of it, so that a restore cut
//                  short (killed, even with SIGKILL) never leaves a file
//                  that looks complete. Null in a stand-in engine that has
//                  no such mark.
//   in_use         1 when another program has the indexed file `name` open
//                  (v5_open(name, 0x200, "0,0,0") refused with
//                  E_FILE_LOCKED), else 0, closing what it opened: a
//                  restore never replaces a file under a program's feet,
//                  whose later writes would go to the removed file. Null in
//                  a stand-in engine that cannot tell.
//
// The build's own operations (indexed_io.cpp) call the entry points of
// <kelfs/kelfs.h>. Tests may route the seam to a stand-in engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::archive {

struct IndexedOps {
  void *(*open_input)(const char *path);
  int (*info)(void *file, int32_t code, char *out);
  int (*start_first)(void *file, char *record);
  uint32_t (*next)(void *file, char *record);
  int (*close)(void *file);
  int (*make)(const char *name, const char *comment, const char *physical,
              const char *record_parameters, const char *keys, const char *table);
  int (*make_v4)(const char *name, const char *key_description, const char *comment);
  int (*make_v2)(const char *name, const char *p, const char *q);
  void *(*open_restore)(const char *name);
  int (*write)(void *file, const char *record, uint32_t length);
  int (*remove)(const char *name);
  int (*rename)(const char *from, const char *to);
  int (*mark_incomplete)(void *file);
  int (*in_use)(const char *name);
};

// v5_info codes used by the archive.
constexpr int32_t kInfoRecordParameters = -1;
constexpr int32_t kInfoPhysicalParameters = -2;
constexpr int32_t kInfoComment = -3;
constexpr int32_t kInfoRecordCount = -4;
constexpr int32_t kInfoTranslationTable = -5;
constexpr int32_t kTranslationTableSize = 256;
// An indexed file has 1 to 120 keys of up to 16 segments each; a key's
// description text ("%02d,%1d" and ",%03d,%010d" per segment) is at most
// 4 + 16 x 15 characters. Every text v5_info returns fits kInfoTextSize.
constexpr int32_t kMaxKeys = 120;
constexpr size_t kMaxKeyText = 244;
constexpr int kInfoTextSize = 512;

const IndexedOps &indexed_ops();
// Tests: route the seam to a stand-in engine; null restores the build's own.
void indexed_set_ops(const IndexedOps *ops);

}  // namespace kel::archive
