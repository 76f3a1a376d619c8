// The archive writer: one listed file becomes one member.
#pragma once

#include <unistd.h>

#include "archive/grow_array.h"
#include "archive/member_codec.h"
#include "archive/volume.h"

namespace kel::archive {

// The record buffer shared by the writer and the reader: a 2-byte length
// and the record, so the longest record that fits is 32766 bytes.
constexpr int kRecordBufferSize = 32768;
constexpr int kMaxRecordLength = kRecordBufferSize - 2;

// Tests: read plain files through this function instead of read(2), to
// make files fail or shrink while they are copied.
using FileRead = long (*)(int fd, void *buffer, unsigned long count);

// A listed file that carries a segment's header: it waits for the end of
// the list, when it is known whether its indexed file went record by
// record (then the segment stays behind) or not (then it travels as bytes).
struct Deferred {
  char path[kMaxNameLength + 1];
  uint8_t text_default;
};

// The writer's part of the run's state: the lists of the run.
struct WriterState {
  WriterState(TransferState &transfer, VolumeState &volume) : transfer(transfer), volume(volume) {}

  TransferState &transfer;
  VolumeState &volume;
  FileRead file_read = [](int fd, void *buffer, unsigned long count) -> long {
    return ::read(fd, buffer, count);
  };
  GrowArray<FileId> engine_segments{"archived indexed segments"};
  GrowArray<Deferred> deferred{"deferred segment files"};
};

// Archives the file `path` (as given in the list). `*result` is 0 when it
// was archived, 1 when it was not: it does not exist or cannot be read, is
// not a regular file (skipped silently), or could not be copied whole.
//
// A plain file is copied byte for byte, exactly the size that its status
// showed when its header was written, so that the member always holds the
// bytes its header announces and the stream stays parseable:
// - a read error stops the copy; the error is reported, the rest of the
//   member is filled with zero bytes and the file counts as not archived;
// - a file that shrank is padded the same way (message 1184 and 1189) and
//   counts as not archived;
// - a file that grew is cut at the announced size (message 1184) and counts
//   as archived, holding its first bytes as they were.
// Files larger than the data-size field can show (9999999999 bytes) are not
// archived (message 1185).
// A file that is no longer the regular file its status showed when it is
// opened is not archived (message 1204).
//
// Segments. An indexed file goes record by record, so its segment files
// (further data segments, index segments) must not travel as bytes as
// well: restored after it, they would overwrite the new file with the old
// bytes. A listed file whose first bytes are a segment's header is
// therefore held back until archive_deferred_segments; an indexed file the
// engine cannot open is reported with the engine's error and not archived.
// With -r every file goes as its bytes, as listed.
//
// A fatal stop on the way (a failing archive, a split key in an old-style
// archive) closes the indexed file being read before the status is passed
// on.
Status archive_file(WriterState &w, const char *path, int *result);

// The end of the list: every held-back segment file that belongs to no
// indexed file archived through the engine in this run goes as its bytes
// now; the others stay behind (said under -v; they count as archived).
// Adds the number of files not archived to `*not_archived`.
Status archive_deferred_segments(WriterState &w, int *not_archived);

// Writes the trailer member.
Status write_trailer(WriterState &w);

}  // namespace kel::archive
