// The formats of the transaction log: the records of the private work file
// (TM file) and of the log files, every integer big-endian.
//
// File id (8 bytes) names an open data file in log records:
//
//   offset  width  meaning
//   0       4      host id (gethostid)
//   4       2      low 16 bits of the process id
//   6       2      the file's number in the file table
//
// TM header (14 bytes), in front of the data of every record change:
//
//   offset  width  meaning
//   0       8      file id
//   8       4      record number (relative files; 0 for indexed files)
//   12      2      data length: the record's length (the new record's for
//                  a rewrite, the key's for an indexed delete, 0 for a
//                  relative delete)
//
// Start block (the data of start and rollback records):
//
//   offset  width  meaning
//   0       1      version (kStartVersion)
//   1       4      process id
//   5       n      terminal name, user name and host name, each ended by a
//                  NUL (an empty name is a single NUL)
//
// Log record: an 8-byte header followed by `length` bytes of data.
//
//   offset  width  meaning
//   0       2      length of the data
//   2       2      record type (below)
//   4       4      time of the change, seconds since 1970
//
// A unit is what one end commit or rollback appends: its records, the last
// one ending with the end mark 0xBE 0xAD (the data of a commit record is
// the end mark itself; start-only and rollback records carry the start
// block followed by the end mark). A log that is not empty therefore always
// ends with the end mark, unless an append was cut short.
//
// Record types and their data (TM file / log file):
//
//   type    operation          TM data                          in the log
//   1       start (log only)   -                                start block + end mark
//   2       start              start block                      start block
//   3       commit             end mark                         end mark
//   4       empty rollback     -                                start block + end mark
//   14      rollback           -                                start block + end mark
//   5       indexed delete     TM header + key + deleted record TM header + key
//   6       indexed rewrite    TM header + new + old record     TM header + new record
//   7       indexed write      TM header + record               all
//   8       indexed open       file id, mode (4), name          all
//   9       indexed make       name, comment, physical, record, key texts,
//                              then a 256-byte table or one NUL all
//   10      indexed close      file id                          all
//   0x400A  deferred close     file id                          all
//   11/12   copy / rename      from-name, to-name               all
//   13      remove             name                             all
//   0x8005  relative delete    TM header (length 0) + old slot  file id + record number
//   0x8006  relative rewrite   TM header + new record + old slot  TM header + new record
//   0x8007  relative write     TM header + record               all
//   0x8008  relative open      file id, mode (4), minimum (2),
//                              maximum (2), blocks (4), name    all
//   0x8009  relative make      blocks (4), name, parameters     all
//   0x800A  relative close     file id                          all
//   0xC00A  deferred close     file id                          all
//   0x800B-D copy/rename/remove as 11-13                        all
//
// Names and parameter texts end with a NUL. The "old slot" of a relative
// change is the whole slot as it was (its length field included in a
// file of variable-length records).
#pragma once

#include <cstdint>

namespace kel::txlog {

enum RecordType : uint16_t {
  kStartLogOnly = 1,
  kStart = 2,
  kCommit = 3,
  kRollbackEmpty = 4,
  kDelete = 5,
  kRewrite = 6,
  kWrite = 7,
  kOpen = 8,
  kMake = 9,
  kClose = 10,
  kCopy = 11,
  kRename = 12,
  kRemove = 13,
  kRollback = 14,
};
constexpr uint16_t kRelativeForm = 0x8000;   // the relative-file form of a type
constexpr uint16_t kDeferredClose = 0x4000;  // a close done at the end of the transaction
constexpr uint16_t kBaseTypeMask = 0x3FFF;

constexpr uint32_t kFileIdSize = 8;
constexpr uint32_t kFileIdHost = 0;
constexpr uint32_t kFileIdPid = 4;
constexpr uint32_t kFileIdNumber = 6;

constexpr uint32_t kTmHeaderSize = 14;
constexpr uint32_t kTmRecordNumber = 8;
constexpr uint32_t kTmLength = 12;
// What the log keeps of a relative delete: file id and record number.
constexpr uint32_t kRelativeDeleteLogSize = 12;

constexpr uint32_t kLogHeaderSize = 8;
constexpr uint32_t kLogLength = 0;
constexpr uint32_t kLogType = 2;
constexpr uint32_t kLogTime = 4;
// The 16-bit length field bounds a record's data in the log.
constexpr uint32_t kLogDataLimit = 0xFFFF;

constexpr uint8_t kEndMark[2] = {0xBE, 0xAD};
constexpr uint32_t kEndMarkSize = 2;

constexpr uint8_t kStartVersion = 1;
constexpr uint32_t kStartPid = 1;
constexpr uint32_t kStartNames = 5;
constexpr uint32_t kIdentityNameSize = 65;  // each of terminal, user, host
constexpr uint32_t kStartBlockLimit = kStartNames + 3 * kIdentityNameSize;

// Indexed make: at most this many bytes of data.
constexpr uint32_t kMakeDataLimit = 756;
constexpr uint32_t kTranslationTableSize = 256;
// Names in log records (open, copy, rename, remove, relative make).
constexpr uint32_t kNameLimit = 257;

// Pieces in which the TM file is copied into the log.
constexpr uint32_t kCopyPiece = 512;

// Log error codes (per thread; 0 none).
enum LogError : int16_t {
  kLogUndoFailed = 1,
  kLogTooManyFiles = 2,
  kLogNotFound = 3,
  kLogPermission = 4,
  kLogIoFailed = 5,
  kLogCut = 6,
  kLogLockRefused = 7,
  kLogNoMemory = 8,
  kLogShortWrite = 9,
  kLogNoLogFile = 10,
  kLogTmCut = 11,
  kLogNoEndMark = 12,
  kLogUnknownFile = 13,
  kLogInTransaction = 16,
  kLogNoTmFile = 17,
};

// Record data parts are scrambled under LOG_ENCRYPTION: byte i of a part
// of length L becomes (byte + L + 7 i) mod 256.
inline void scramble(uint8_t *p, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(p[i] + length + 7 * i);
}
inline void unscramble(uint8_t *p, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(p[i] - length - 7 * i);
}

}  // namespace kel::txlog
