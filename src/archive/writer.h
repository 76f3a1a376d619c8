// The archive writer: one listed file becomes one member.
#pragma once

namespace kel::archive {

// The record buffer shared by the writer and the reader: a 2-byte length
// and the record, so the longest record that fits is 32766 bytes.
constexpr int kRecordBufferSize = 32768;
constexpr int kMaxRecordLength = kRecordBufferSize - 2;

// Archives the file `path` (as given in the list). 0 when it was archived,
// 1 when it was not: it does not exist or cannot be read, is not a regular
// file (skipped silently), or could not be copied whole.
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
//
// Segments. An indexed file goes record by record, so its segment files
// (further data segments, index segments) must not travel as bytes as
// well: restored after it, they would overwrite the new file with the old
// bytes. A listed file whose first bytes are a segment's header is
// therefore held back until archive_deferred_segments; an indexed file the
// engine cannot open is reported with the engine's error and not archived.
// With -r every file goes as its bytes, as listed.
int archive_file(const char *path);

// The end of the list: every held-back segment file that belongs to no
// indexed file archived through the engine in this run goes as its bytes
// now; the others stay behind (said under -v; they count as archived).
// Returns the number of files not archived.
int archive_deferred_segments();

// Releases the lists of the run (end of run; tests).
void writer_release();

// Writes the trailer member.
void write_trailer();

// Tests: read plain files through this function instead of read(2), to
// make files fail or shrink while they are copied; null restores read(2).
using FileRead = long (*)(int fd, void *buffer, unsigned long count);
void writer_set_file_read(FileRead read_fn);

}  // namespace kel::archive
