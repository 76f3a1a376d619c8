// The indexed (Dorvex) engine as the layers above it see it: the
// operations behind the v5_ entry points, on an open file that stays an
// opaque DorvexFile out here, and the engine's process-wide settings and
// hooks. The engine's own layers and their headers sit beside its sources.
//
// Open flags of dorvex_open: bits 0-1 the access (0 input, 1 output,
// 2 input-output, 3 extend; output first makes the file anew from its own
// information texts, then output and extend work as input-output), 0x100 /
// 0x200 / 0x400 the sharing and deferred-write bits of the file table and
// the cache, 0x4000 and 0x10 kept, 0x8000 with 0x600 and a writing access
// asks for bulk addition.
//
// Every record operation clears the primary error on entry and leaves the
// reason of a failure there. Reads return the record length (0: failure);
// the record buffer must hold the file's maximum record size. A read,
// write or delete that succeeds with the primary code 101 reports that
// another record has the same value of an alternate key that allows
// duplicates.
#pragma once

#include <cstdint>

#include "kelfs/kelfs.h"

extern "C" {
// 1, or 0 with E_PARAM, E_UNSUPPORTED, E_NO_MEMORY, E_DISK_FULL,
// E_SYSERR or the OS layer's error; a failed make leaves no file behind.
// `table` (256 bytes) may be null.
int32_t dorvex_make(const char *name, const char *comment, const char *physical, const char *record,
                    const char *keys, const uint8_t *table);
// The older make descriptions (storage/make_old.h): each is turned into
// today's texts and made by dorvex_make. 1, or 0 with E_PARAM for a text
// without the form, or make's error.
int32_t dorvex_make_old(const char *name, const char *physical, const char *keys);
int32_t dorvex_make_oldest(const char *name, const char *text, const char *extra);
// The texts that describe an open file in those forms, each written into a
// buffer of V_OLD_INFO_SIZE bytes. 1, or 0 with E_PARAM or E_UNSUPPORTED
// (a file the form cannot describe) and empty texts.
int32_t dorvex_old_info(DorvexFile *file, char *physical, char *keys);
int32_t dorvex_oldest_info(DorvexFile *file, char *text, char *extra);
DorvexFile *dorvex_open(const char *name, int32_t flags);
// 1, or 0 when writing the header or a segment failed; the file is closed
// and its state freed either way.
int32_t dorvex_close(DorvexFile *file);
// Marks the file open for update as incomplete until this open's final
// successful close: a restore, a bulk load, any filling that must not be
// mistaken for a whole file when it is cut short (killed, a full disk, a
// failing close). The broken code kBrokenIncomplete goes into the header's
// broken-code field and reaches the file at once (the cache writes it
// through), so that every other open, in this process or another, fails
// with E_BROKEN and that code unless V_FORCE_OPEN is on, and the
// structural check reports it. This open goes on as before. Its close
// writes every block of every segment first and only then clears the mark
// and writes the header; a close that fails on the way leaves the mark.
// 1, or 0 with E_PARAM (not open for update) or the header's error.
int32_t dorvex_mark_incomplete(DorvexFile *file);
// The information texts (see info.cpp). 1, or 0 with E_PARAM or
// E_UNSUPPORTED.
int32_t dorvex_info(DorvexFile *file, int32_t code, char *out);

// Whole files, every segment: > 0 on success, 0 on failure (the first
// failing step's error; the segments already handled stay as they are).
// Remove takes data segment 0 and index segment 0 only when
// `with_segment0` is set.
int32_t dorvex_copy(const char *from, const char *to);
int32_t dorvex_rename(const char *from, const char *to);
int32_t dorvex_remove(const char *name, int32_t with_segment0);

// Start modes.
enum : int32_t {
  V_START_EQUAL = 0,
  V_START_NOT_LESS = 1,
  V_START_GREATER = 2,
  V_START_LESS = 3,
  V_START_NOT_GREATER = 4,
};

// Positions on the key `key` of `record` (its first `length` bytes when
// 0 < length < the key's size) by `mode`, without reading a record.
// 1, or 0 with E_NOT_FOUND, E_PARAM, E_MODE_CLASH or a read error.
int32_t v5i_start(DorvexFile *file, const uint8_t *record, int32_t key, int32_t length,
                  int32_t mode);
// Reads the first record whose key `key` equals that of `record` into
// `record`; it becomes the current record.
uint32_t v5i_read(DorvexFile *file, uint8_t *record, int32_t key);
// The next / previous record in the order of the key of reference;
// E_NOT_FOUND at either end, E_NO_CURRENT without a position.
uint32_t v5i_next(DorvexFile *file, uint8_t *record);
uint32_t v5i_previous(DorvexFile *file, uint8_t *record);
// Sets up the physical-order scan: 0 for a version 4 or 5 file, 1 for a
// version 3 file (whose scan is empty); -1 with the error set when the
// header cannot be read or the file is open for output only.
int32_t v5i_nkrstart(DorvexFile *file);
// The next live record in physical order; E_NOT_FOUND at the end.
uint32_t v5i_nkrnext(DorvexFile *file, uint8_t *record);
// Releases the file's record locks. 1, or 0 when the header cannot be read.
int32_t v5i_unlock(DorvexFile *file);
// Adds a record of `length` bytes (0: the maximum record size). 1, or 0
// with E_MODE_CLASH, E_PARAM, E_DUPLICATE (nothing of the record is left)
// or the error of the storage.
int32_t v5i_write(DorvexFile *file, const uint8_t *record, uint32_t length);
// Puts a deleted record back with the duplicate sequence number it had
// (the transaction log's undo of a delete), so that it takes its old place
// among the records sharing its alternate values; the file's sequence
// counter does not move. As v5i_write otherwise.
int32_t v5i_restore(DorvexFile *file, const uint8_t *record, uint32_t length, uint32_t sequence);
// Deletes the record with the primary key of `record` (the last record
// read under a lock when its primary key is that one). 1, or 0 with
// E_MODE_CLASH, E_NOT_FOUND, E_REC_LOCKED or the error of the storage.
int32_t v5i_delete(DorvexFile *file, const uint8_t *record);
// Replaces the record with the primary key of `record` (the last record
// read under a lock when its primary key is that one) by `record`, of
// `length` bytes (0: the maximum record size). The record keeps its
// duplicate sequence number; it stays where it is when its new stored form
// fits its slot and moves to the end of data otherwise. 1 (primary code
// 101 when an alternate key now shares its value), or 0 with
// E_MODE_CLASH, E_PARAM, E_NOT_FOUND, E_REC_LOCKED, E_DUPLICATE (the file
// is as it was), E_LOG_REFUSED or the error of the storage.
int32_t v5i_rewrite(DorvexFile *file, const uint8_t *record, uint32_t length);

// The structural check of the whole file (check/file_check.h): 1 when it is
// sound; 0 with E_BROKEN and kBrokenCheckProblems when problems were found,
// E_PARAM without a file, or the header's error when the header cannot be
// read. V5_CHECK_CLEAR_DEAD_WRITERS resets the count of openers for update
// that a process which ended left behind, on a sound file that this open
// holds exclusively for update. The report stays until the next check.
int32_t v5i_check(DorvexFile *file, int32_t flags);
const char *v5i_check_report(void);
}

namespace kel::indexed {

// The name the file was opened with (for the entry points' trace lines).
const char *file_name(const DorvexFile *file);
// What the transaction log needs to know of an open file: the file-table
// number of its data segment 0 (its identity in log records), the open
// flags as given, and its maximum record size.
int32_t file_number(const DorvexFile *file);
int32_t open_flags(const DorvexFile *file);
uint32_t max_record_size(const DorvexFile *file);
// The raw bytes of key 0's parts of `record` (what a delete hands to the
// log), and the reverse: those bytes put back into their places in
// `record`. The first returns their number.
int primary_key_of(const DorvexFile *file, const uint8_t *record, uint8_t *out);
void place_primary_key(const DorvexFile *file, const uint8_t *key, uint8_t *record);

// Installs the hooks that create and free this state; idempotent. The
// engine's start-up (v5_init, v5_open) calls it before any open.
void install_access_layers();

// The interface level of the information texts: 3 at start, replaced by
// the first argument of v5_init_vers. Levels 2 and below use the older,
// narrower forms of the record, physical and key texts.
int32_t interface_level();
void set_interface_level(int32_t level);

// Hooks installed through the entry points. Bulk addition calls the first
// two; the engine calls the last after it creates a file.
v5_progress_fn progress_hook();
v5_duplicate_fn duplicate_hook();
v5_set_file_attrs_fn set_file_attrs_hook();
v5_progress_fn exchange_progress_hook(v5_progress_fn hook);
v5_duplicate_fn exchange_duplicate_hook(v5_duplicate_fn hook);
v5_query_retry_fn exchange_query_retry_hook(v5_query_retry_fn hook);
void set_set_file_attrs_hook(v5_set_file_attrs_fn hook);

// The transaction log as the engine sees it. The log sits above the engine
// (it undoes changes through the engine's own operations), so it installs
// this table at its start-up, as the relative handler's log table is
// installed. Until one is installed no transaction is ever open for
// indexed files: every operation acts at once and nothing is recorded.
// Every pointer may be null (the question is then answered no, and a
// record that cannot be handed over fails its operation with
// E_LOG_REFUSED).
//
// The write, rewrite and delete hand their changes here, after the change
// itself succeeded. The file-level operations (open, close, make, copy,
// rename, remove) are recorded by the log itself around its calls of the
// operations above (the log's own entry points for them), so the engine
// does not ask about them.
struct IndexedLog {
  // A transaction is open.
  bool (*in_transaction)();
  // The log is rolling back or recovering: changes are allowed whatever
  // the open mode.
  bool (*undoing)();
  // The log's locking setting: a changed record stays locked (by a write
  // lock kept in the file's lock list) even outside a transaction.
  bool (*locks_changes)();
  // The rewrite of `file`, after it succeeded: the new image and the
  // stored record it replaced. False: the log could not record it.
  bool (*log_rewrite)(DorvexFile *file, const uint8_t *record, uint32_t length,
                      const uint8_t *before, uint32_t before_length);
  // The write of `record` (of `length` bytes) to `file`, after it
  // succeeded.
  bool (*log_write)(DorvexFile *file, const uint8_t *record, uint32_t length);
  // The delete of the record whose primary key is `key` (the raw bytes of
  // key 0's parts, `key_length` of them): `before` is the stored record
  // that went, `sequence` its duplicate sequence number (for v5i_restore).
  bool (*log_delete)(DorvexFile *file, const uint8_t *key, uint32_t key_length,
                     const uint8_t *before, uint32_t before_length, uint32_t sequence);
};
// Installs the table (null: none). The table must outlive its use.
void set_indexed_log(const IndexedLog *log);
const IndexedLog *indexed_log();

// The engine's shutdown (last v5_exit): releases its process-wide buffers
// and shuts the block cache down.
void shutdown();

}  // namespace kel::indexed
