// Pieces shared by the relative handler's files: the process-wide slot
// buffer, the held descriptor, lock slots and read_slot.
#pragma once

#include <cstdint>

#include "kelfs/errors.h"
#include "osfile/files.h"
#include "relseq/relative.h"
#include "relseq/relative_log.h"

namespace kel::relseq {

// The process-wide buffer for whole slots ("relative file record"), grown
// to the largest slot opened so far; false (E_NO_MEMORY) when it cannot
// grow.
bool grow_slot_buffer(uint32_t size);
uint8_t *slot_buffer();
void free_slot_buffer();

// The file's descriptor for the length of one operation. Relative
// operations never take the file-wide update lock: every change is one
// positioned write of whole slots, so there is nothing to make consistent
// across calls, and a record is guarded by its own record lock.
class HeldFile {
 public:
  explicit HeldFile(const RelativeFile *f) : file_(f->file), fd_(Ahold_file(f->file, 0)) {}
  ~HeldFile() { Arelease_file(file_); }
  HeldFile(const HeldFile &) = delete;
  HeldFile &operator=(const HeldFile &) = delete;
  int fd() const { return fd_; }

 private:
  int32_t file_;
  int fd_;
};

// Transaction state, through the installed log (none: never in one).
bool in_transaction();
// Inside a transaction on a file opened with 0x4000.
bool in_logged_transaction(const RelativeFile *f);

// Mode checks of the record operations (E_MODE_CLASH).
bool may_read(const RelativeFile *f);
bool may_write(const RelativeFile *f);
bool may_update(const RelativeFile *f);

// Lock slots.
int32_t find_lock(const RelativeFile *f, int64_t position);
void release_lock_slot(RelativeFile *f, int32_t slot);
// The lock of the previous read goes when the next operation starts
// (unless the file locks many).
void release_auto_lock(RelativeFile *f);
// Ar_unlock's rule: what a transaction keeps stays, the rest goes.
void release_locks(RelativeFile *f);
// Every lock, whatever its flags (close).
void release_every_lock(RelativeFile *f);
int32_t locks_in_use(const RelativeFile *f);
// Locks record n for this file: the slot index, or -1 (error set). A
// record this file already holds gets `flags` added and *fresh false.
int32_t lock_record(RelativeFile *f, int64_t n, uint8_t flags, bool *fresh);

// Reads slot n: the record length + 1, or 0 with the error set
// (E_NOT_FOUND for an empty slot or one that does not exist; then
// *past_end tells whether the slot lies wholly or partly past the end of
// the file). `record` (may be null) receives the record.
struct SlotRequest {
  bool peek = false;
  bool lock = false;
  uint8_t flags = 0;
  char *record = nullptr;
};
int32_t read_slot(RelativeFile *f, int fd, int64_t n, const SlotRequest &request,
                  bool *past_end = nullptr);

// Positioned writes of slot bytes: 1, or 0 with E_DISK_FULL (short) or
// E_SYSERR.
int32_t write_at(int fd, const void *bytes, uint32_t length, int64_t offset);

// Number of slots in the file now; -1 with E_SYSERR.
int64_t current_slot_count(const RelativeFile *f, int fd);

}  // namespace kel::relseq
