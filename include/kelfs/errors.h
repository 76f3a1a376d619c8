/* Error codes of the file system.
 *
 * Every file operation returns 0, a null handle or a length of 0 on failure
 * and leaves the reason in the primary error code; E_BROKEN
 * is detailed by a 32-bit secondary code whose values belong to the module
 * that detected the damage. Codes above 99 are not failures that get
 * reported: the indexed engine uses 100 and 101 for conditions its callers
 * handle themselves (101: another record has the same alternate key).
 *
 * Threads: the codes below, like the rest of the file system's state, are
 * process-wide. There is one error block for the whole process, whichever
 * thread calls; the file system runs one operation at a time, and a
 * program that calls it from several threads must serialise the calls (one
 * lock around each call and the reading of its codes). See <kelfs/kelfs.h>.
 */
#ifndef KELFS_ERRORS_H
#define KELFS_ERRORS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  E_INTERNAL = 0,
  E_SYSERR = 1,
  E_PARAM = 2,
  E_TOO_MANY_FILES = 3,
  E_MODE_CLASH = 4,
  E_REC_LOCKED = 5,
  E_BROKEN = 6,
  E_DUPLICATE = 7,
  E_NOT_FOUND = 8,
  E_NO_CURRENT = 9,
  E_DISK_FULL = 10,
  E_FILE_LOCKED = 11,
  E_REC_SIZE = 12,
  E_FILE_TYPE = 13,
  E_NO_MEMORY = 14,
  E_NO_FILE = 15,
  E_PERMISSION = 16,
  E_UNSUPPORTED = 17,
  E_LOCK_TABLE_FULL = 18,
  E_COPY_FAILED = 21,         /* layer file copy failed (no text of its own) */
  E_LOG_REFUSED = 22,         /* the transaction log refused an operation */
  E_DUPLICATE_ALTERNATE = 101 /* success: another record shares an alternate key */
};

/* Address of the primary code (16-bit signed), one for the whole process. */
int16_t *fs_error_code(void);
/* Address of the secondary code (32-bit signed), chiefly detailing E_BROKEN. */
int32_t *fs_error_secondary(void);
/* The no-lock request word: when not 0, relative reads take no record lock. */
int16_t *fs_no_lock_request(void);
/* The record number of the last relative next/previous/write. */
int32_t *fs_last_record_number(void);
/* Process id of the holder of a lock that refused us (0 when unknown). */
int32_t *fs_lock_holder(void);

/* The name of the file whose absence failed the last open with E_NO_FILE
 * (may be a segment or companion file rather than the name the caller used). */
const char *fs_missing_file_name(void);
void fs_set_missing_file_name(const char *name);

/* The text of a primary code, without printing it: "Record not found" for
 * E_NOT_FOUND (from the message file when one is open). E_SYSERR gives
 * the system error text of the current errno (sys_error_text(-1)); a code
 * without a text gives "Unknown error code". The text stays valid until
 * the next call of this function or of sys_error_text. */
const char *fs_error_text(int code);
/* The system error text for an errno value; a negative value means errno.
   A value without a text of its own gives "Unknown error" (message 624)
   followed by the operating system's description in parentheses; that
   text lives until the next call. */
const char *sys_error_text(int errno_value);
/* Writes "<name>: <system error text>\n" to the error output. */
void report_sys_error(const char *name);
/* Writes one line for the current primary code; returns the text used, or
 * null when nothing (or a system / broken-file line) was written. */
const char *report_fs_error(const char *name);

#ifdef __cplusplus
}
#endif

#endif
