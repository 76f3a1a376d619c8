// Record locks of an indexed file and the one reader of single records
// (vi_read_rec).
//
// A record lock is a one-byte write lock of the OS layer (Arec_lock, 32-bit
// offset) on the record's offset in its data segment; inside the process the
// OS layer's lock table makes two opens of one file exclude each other too.
// The file remembers its locks in its lock list (access_state.h). A lock
// taken by a read carries the auto-release flag: the file's next read,
// write or delete releases it first, unless the file keeps its locks.
//
// No lock is taken on a file open for input, or opened deny-write (0x100)
// or exclusive (0x200): nobody else can change its records.
#pragma once

#include <cstdint>

#include "access/access_state.h"

namespace kel::indexed {

// Lock modes of vi_read_rec.
enum ReadLockMode : int {
  kLockTake = 0,  // lock the record and keep the lock in the list
  kLockNone = 1,  // take no lock
  kLockTest = 2,  // lock and release at once: fails only when it is held
};

// Releases the first lock of the list that carries the auto-release flag
// (nothing when the file keeps its locks). The list is compacted by moving
// its last entry into the hole.
void release_auto_lock(DorvexFile *f);
// Releases every lock of the list (v5_unlock, close).
void release_all_locks(DorvexFile *f, bool keep_write_locks);
// Releases the lock on the record at `at`, if the list holds one.
void release_record_lock(DorvexFile *f, SegAddr at);
// A record moved from `from` to `to`: the list's lock on it (if any)
// follows it, or leaves the list when the new place cannot be locked.
void move_record_lock(DorvexFile *f, SegAddr from, SegAddr to);
// Forgets the last record read under a lock.
void clear_last_record(DorvexFile *f);

// Reads (when `record` is given) and locks, as `lock_mode` says, the
// record at `at`; `flags` go with a lock taken into the list. Returns the
// record length (0 without a record buffer), or -1 with the error set:
// E_LOCK_TABLE_FULL (secondary code 3) when the list is full,
// E_REC_LOCKED when another open holds the record, or the error of the
// record read. A failure after the lock was taken releases it again.
// *sequence (may be null) receives the record's sequence number.
//
// In verified unlocked-read mode a record that reads as deleted (the
// condition of secondary code 81) or with a stored length beyond its slot
// (82), or whose header reads differently before and after the record, is
// counted and fails the read, for the caller to retry under the lock.
int64_t vi_read_rec(DorvexFile *f, uint8_t *record, SegAddr at, int lock_mode, uint8_t flags,
                    uint32_t *sequence = nullptr);

// The raw bytes of key 0's parts of a record (no translation): what the
// last-record fields keep. Returns their number.
int primary_key_bytes(const DorvexFile *f, const uint8_t *record, uint8_t *out);

}  // namespace kel::indexed
