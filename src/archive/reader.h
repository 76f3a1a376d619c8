// The archive reader: one member at a time from the record layer, listed,
// restored, or consumed; and the recovery search for a damaged archive.
//
// Untrusted input. Every field of a member header is checked before it is
// used: a bad magic, a field that is not a number, a negative size or name
// length, a name holding a zero byte, an indexed member whose maximum record
// length exceeds the 32766 bytes of the record buffer (or is 0 in a format
// version 4 member, which would never end), a key text longer than its
// 244-byte slot, or a translation table of another size than 256: each is a
// corrupt archive (messages 912 and 913, status 1). No length taken from the
// archive is ever used to write into a buffer before it has been compared
// with that buffer.
//
// Names are restored as stored, absolute or relative, ".." included: that
// is what operators of such archives expect. With -ic every member lands in
// the current folder.
//
// A restore cut short by a fatal stop (standard input ended before the
// trailer, a full disk, a corrupt record, a signal) never leaves a partly
// written file behind looking complete: the file is removed and named
// (message 1181) on the way out, before the status reaches the driver. A plain member is written to
// a temporary name in its folder and renamed when complete, so not even kill -9 leaves a cut file
// under its name. An indexed member is made under its own name (the name decides its version,
// segments and log); the engine keeps it marked broken until its final close.
//
// Indexed files are made and filled private (umask 077); at the end every
// segment gets the archived permission bits. A plain member whose target
// is a file of an indexed file re-created in this run is refused (message
// 1193) and never written over it.
//
// Names are shown in listings and messages with their control characters
// escaped (show_name).
#pragma once

#include <sys/types.h>

#include "archive/grow_array.h"
#include "archive/member_codec.h"
#include "archive/volume.h"

namespace kel::archive {

struct SegmentName {
  char name[kMaxNameLength + 1];
};

// The reader's part of the run's state.
struct ReaderState {
  ReaderState(TransferState &transfer, VolumeState &volume, OperatorState &terminal,
              Interrupts &interrupts)
      : transfer(transfer), volume(volume), terminal(terminal), interrupts(interrupts) {}

  TransferState &transfer;
  VolumeState &volume;
  OperatorState &terminal;
  Interrupts &interrupts;
  // The last owner looked up for the -itv listing.
  int32_t listed_uid = -1;
  char listed_owner[64] = {};
  // The files of every indexed file re-created in this run: no plain
  // member may overwrite one of them.
  GrowArray<FileId> restored_segments{"restored indexed segments"};
  GrowArray<SegmentName> segment_names{"restored segment names"};
  // Which of the requested member names an archive member matched.
  GrowArray<uint8_t> found{"requested member names"};
  bool umask_known = false;
  mode_t umask_value = 0;
};

// Reads, lists and restores (or consumes) the next member. names[first ..
// count - 1] select members by output name or stored name; none selects
// all. `*trailer` is true after the trailer, false after any other member.
Status extract_member(ReaderState &r, char **names, int first, int count, bool *trailer);

// Names every requested member name that no member matched (message 1196),
// as tar and cpio do; the input run's status stays as it is.
void report_names_not_found(const ReaderState &r, char **names, int first, int count);

// Creates the missing folders of `path` (with -id; otherwise message 909).
// 1 when at least one folder was created.
int make_parent_dirs(const TransferState &t, const char *path);

// Scans the archive for the next member header and asks the operator
// whether to start from it; on yes the header is pushed back so that the
// next extract_member reads it.
Status recovery_search(ReaderState &r);

}  // namespace kel::archive
