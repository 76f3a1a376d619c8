/* Open-mode bits of the file system's open calls.
 *
 *   bits     meaning
 *   0x0003   access: 0 input, 1 output, 2 input-output, 3 extend
 *   0x0010   relative files: record locks stay until unlock
 *   0x0100   deny-write sharing: no other opener may write
 *   0x0200   exclusive: no other opener at all
 *   0x0400   deferred writes (block cache; no locking meaning)
 *   0x0800   no locking for this file
 *   0x1000   an input open may fall back to read-only access
 *   0x2000   append
 *   0x4000   relative files: the file takes part in transactions
 *   0x8000   bulk addition (indexed files, with 0x600 and a writing access)
 */
#ifndef KELFS_MODES_H
#define KELFS_MODES_H

enum {
  KEL_OPEN_INPUT = 0,
  KEL_OPEN_OUTPUT = 1,
  KEL_OPEN_IO = 2,
  KEL_OPEN_EXTEND = 3,
  KEL_OPEN_ACCESS_MASK = 0x3,
  KEL_OPEN_LOCK_MANY = 0x10,
  KEL_OPEN_DENY_WRITE = 0x100,
  KEL_OPEN_EXCLUSIVE = 0x200,
  KEL_OPEN_DEFERRED = 0x400,
  KEL_OPEN_NO_LOCKING = 0x800,
  KEL_OPEN_READ_FALLBACK = 0x1000,
  KEL_OPEN_APPEND = 0x2000,
  KEL_OPEN_LOGGED = 0x4000,
  KEL_OPEN_BULK = 0x8000
};

#endif
