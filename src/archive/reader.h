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
// A restore cut short by the end of the run (standard input ended before
// the trailer, a full disk, a corrupt record) never leaves a partly written
// file behind looking complete: the file is removed and named (message
// 1181) before kel stops.
#pragma once

namespace kel::archive {

// Reads, lists and restores (or consumes) the next member. names[first ..
// count - 1] select members by output name or stored name; none selects
// all. 0 after the trailer, 1 after any other member.
int extract_member(char **names, int first, int count);

// Creates the missing folders of `path` (with -id; otherwise message 909).
// 1 when at least one folder was created.
int make_parent_dirs(const char *path);

// Scans the archive for the next member header and asks the operator
// whether to start from it; on yes the header is pushed back so that the
// next extract_member reads it.
void recovery_search();

}  // namespace kel::archive
