// The relative file handler: records addressed by number in the slots of
// relative_format.h, with record locks through the OS file layer and, for
// files opened with 0x4000, changes handed to the transaction log
// (relative_log.h). The entry points Ar_* of fsapi call these unchanged.
#pragma once

#include <cstdint>

#include "relseq/relative_format.h"

namespace kel::relseq {

// Open-mode bits of relative files besides the OS layer's.
constexpr int32_t kOpenLockMany = 0x10;  // locks stay until Ar_unlock
constexpr int32_t kOpenLogged = 0x4000;  // the file takes part in transactions

// Flags of a lock slot.
constexpr uint8_t kLockAutoRelease = 0x1;  // taken by a read: goes at the next operation
constexpr uint8_t kLockKept = 0x2;         // taken by an update in a transaction

// Modes of Ar_start.
enum StartMode : int32_t {
  kStartEqual = 0,
  kStartNotLess = 1,
  kStartGreater = 2,
  kStartLess = 3,
  kStartNotGreater = 4,
};
// Record numbers with a meaning of their own.
constexpr int32_t kAfterLastSlot = -1;  // Ar_write
constexpr int32_t kLastRecordRead = 0;  // Ar_rewrite, Ar_delete

struct LockSlot {
  int64_t position;  // -1 when free
  uint8_t flags;
};

}  // namespace kel::relseq

// The open file ("relative file info"; its lock slots follow it in the
// same block).
struct RelativeFile {
  int32_t file;  // file-table number
  int32_t mode;  // access: 0 input, 1 output, 2 input-output, 3 extend
  bool logged;
  bool lock_many;
  kel::relseq::SlotLayout layout;
  int64_t current;    // record for the next Ar_next/Ar_previous; -1 undefined
  bool started;       // the next sequential read returns `current` itself
  int8_t fell_off;    // 1: a previous-read passed record 1; 2: a next-read passed the last
  int64_t last_read;  // default of rewrite and delete; -1 none
  // An open no other open can write beside (exclusive or deny-write, with
  // locking in force) knows the file's size without asking the system.
  bool sole_writer;
  int64_t known_size;
  int32_t lock_count;
  kel::relseq::LockSlot *locks;
};

namespace kel::relseq {

// Process-wide start-up: LOCKS_PER_FILE below 1 becomes 10 and the OS
// layer's tables exist. 1/0.
int32_t relative_init();
// Shutdown: pipes ended, the OS layer's tables released (when
// `release_files`), the slot buffer freed.
void relseq_shutdown(bool release_files);

int32_t relative_make(const char *name, const char *params, int32_t blocks);
RelativeFile *relative_open(const char *name, int32_t mode, uint32_t maximum, uint32_t minimum,
                            int32_t blocks);
int32_t relative_close(RelativeFile *f);
int32_t relative_info(RelativeFile *f, int32_t code, char *buffer);
int32_t relative_read(RelativeFile *f, char *record, int32_t number);
int32_t relative_start(RelativeFile *f, int32_t number, int32_t mode);
int32_t relative_next(RelativeFile *f, char *record);
int32_t relative_previous(RelativeFile *f, char *record);
int32_t relative_write(RelativeFile *f, const char *record, uint32_t length, int32_t number);
int32_t relative_rewrite(RelativeFile *f, const char *record, uint32_t length, int32_t number);
int32_t relative_delete(RelativeFile *f, int32_t number);
int32_t relative_unlock(RelativeFile *f);
int32_t relative_copy(const char *from, const char *to);
int32_t relative_rename(const char *from, const char *to);
int32_t relative_remove(const char *name);

}  // namespace kel::relseq
