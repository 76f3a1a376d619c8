/* The file system's entry points.
 *
 * Every file operation of the system enters here. Each entry point writes a
 * trace line on entry and one on return when V_TRACE has its bit of value 1, makes
 * sure the file system's thread data exists, and hands its arguments
 * unchanged to the implementing module. Failures are left in the error
 * codes of <kelfs/errors.h>.
 *
 * Threads: the file system runs one operation at a time. Its error codes,
 * its thread data (kept, despite the name, in one process-wide slot) and
 * its scratch state (the indexed engine's node buffer and search path, the
 * block cache, the file table, the lock tables) are process-wide, and no
 * entry point takes a lock. A program that calls the file system from
 * several threads must serialise the calls itself: one mutex held around
 * each call and the reading of the error codes it left. Processes that
 * share files coordinate through the file system's byte-range locks.
 */
#ifndef KELFS_KELFS_H
#define KELFS_KELFS_H

#include <stdint.h>

#include "kelfs/errors.h"
#include "kelfs/modes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An open indexed (Dorvex) file. */
typedef struct DorvexFile DorvexFile;
/* An open relative file (records addressed by number, from 1). */
typedef struct RelativeFile RelativeFile;
/* An open sequential file or pipe. */
typedef struct SequentialFile SequentialFile;

/* Hooks of bulk addition and of file creation. The progress hook of bulk
 * addition gets a v5_progress: the key insertions done so far and their
 * total (records added in bulk x keys); it is called each time another
 * hundredth is done. The duplicate hook gets each record that bulk
 * addition rejected as a duplicate (a later record with the value of a
 * unique key), once the record is out of the file. */
typedef struct v5_progress {
  uint64_t done;
  uint64_t total;
} v5_progress;
typedef void (*v5_progress_fn)(void *progress);
typedef void (*v5_duplicate_fn)(DorvexFile *file, const char *record, uint32_t length);
typedef int (*v5_query_retry_fn)(void);
typedef void (*v5_set_file_attrs_fn)(const void *owner, const char *name);

/* --- indexed files ------------------------------------------------------ */
int v5_make(const char *name, const char *comment, const char *physical_params,
            const char *record_params, const char *key_params, const char *translation_table);
DorvexFile *v5_open(const char *name, int32_t mode, const char *params);
int v5_close(DorvexFile *file);
/* Marks a file open for update as incomplete until this open's final
 * successful close (a restore or a load under way): every other open fails
 * with E_BROKEN and secondary code 24 unless V_FORCE_OPEN is on, also after
 * the process was killed. 1, or 0 (E_PARAM when not open for update). */
int v5_mark_incomplete(DorvexFile *file);
int v5_info(DorvexFile *file, int32_t code, char *buffer);
uint32_t v5_read(DorvexFile *file, char *record, int32_t key);
int v5_start(DorvexFile *file, char *record, int32_t key, int32_t length, int32_t mode);
uint32_t v5_next(DorvexFile *file, char *record);
uint32_t v5_previous(DorvexFile *file, char *record);
int v5_nkrstart(DorvexFile *file);
uint32_t v5_nkrnext(DorvexFile *file, char *record);
int v5_unlock(DorvexFile *file);
int v5_write(DorvexFile *file, const char *record, uint32_t length);
int v5_delete(DorvexFile *file, const char *record);
/* Replaces the record with the primary key of `record` (which cannot
 * change) by `record`, of `length` bytes (0: the maximum record size).
 * The record keeps its place among equal alternate key values; a changed
 * value of a unique alternate key that another record has fails with
 * E_DUPLICATE and changes nothing. 1 (primary code 101 when an alternate
 * key now shares its value), or 0 with the reason. */
int v5_rewrite(DorvexFile *file, const char *record, uint32_t length);
/* The structural check of a whole indexed file: every key's tree (order,
 * separators, prefix counts, heights, nodes reached once), every record
 * slot, the deleted and set-aside chains, the free-node list and the
 * header's counts; open it with V_FORCE_OPEN on to check a file marked
 * broken. 1 when the file is sound; 0 with E_BROKEN and secondary code 27
 * when problems were found, E_PARAM without a file, or the header's error
 * when its header cannot be read. With V5_CHECK_CLEAR_DEAD_WRITERS, a
 * sound file that this open holds exclusively for update (KEL_OPEN_IO |
 * KEL_OPEN_EXCLUSIVE) and that a process left open for update when it
 * ended (E_BROKEN, secondary code 25, at other opens) gets its count of
 * openers for update reset, and the report says so in its last line.
 * v5_check_report gives the report of the last check: one problem a line,
 * then a summary; it stays until the next check. */
enum { V5_CHECK_CLEAR_DEAD_WRITERS = 0x1 };
int v5_check(DorvexFile *file, int32_t flags);
const char *v5_check_report(void);
int v5_copy(const char *from, const char *to);
int v5_rename(const char *from, const char *to);
int v5_remove(const char *name);

/* --- older forms --------------------------------------------------------
 * Version 2 files are made with V_VERSION (or NAME_VERSION) 2 and opened like
 * any other; v2_open is v5_open without its unused parameter text.
 *
 * The old description, v2_make(name, physical, keys): physical "%d,%d" (node
 * blocks, preallocation count); keys "%d,%d,%d,%d" (maximum record size,
 * number of keys, size and offset of key 0), per further key ",%d,%d,%c"
 * (size, offset, "y" or "Y" when it allows duplicates), up to three flags
 * ",y" or ",n" (variable-length records, compression, scrambling), then ","
 * and the comment. Every key has one segment; key 0 allows no duplicates.
 * The oldest description, v_make(name, keys, params): keys "%d,%d,%d,%s"
 * (preallocation count, a number not used, node blocks, then the old key
 * text without flags), params the comment. v2_info and v_info give the texts
 * that describe an open file in those forms, one text per buffer of
 * V_OLD_INFO_SIZE bytes; a file that a form cannot describe leaves them
 * empty with E_UNSUPPORTED. */
enum { V_OLD_INFO_SIZE = 4096 };
int v_make(const char *name, const char *keys, const char *params);
void v_info(DorvexFile *file, char *keys, char *params);
int v2_make(const char *name, const char *physical, const char *keys);
DorvexFile *v2_open(const char *name, int32_t mode);
void v2_info(DorvexFile *file, char *physical, char *keys);

/* --- the engine as a whole ---------------------------------------------- */
int v5_version(char *name, char *version, char *build, int32_t n, int32_t *m);
void v5_abilities(uint8_t *flags);
v5_progress_fn v5_register_progress(v5_progress_fn callback);
v5_duplicate_fn v5_register_duplicate(v5_duplicate_fn callback);
v5_query_retry_fn v5_register_query_retry(v5_query_retry_fn callback);
void v5_register_set_file_attrs(v5_set_file_attrs_fn callback);
/* Transactions (see README, "The transaction log"): v5_begin raises the
 * transaction depth and begins a transaction when it becomes 1; v5_commit
 * and v5_rollback lower it and commit or roll back when it reaches 0 (the
 * argument is only traced); a depth below 0 is set back to 0 and the call
 * succeeds. v5_recover replays the shared log (LOG_FILE) from its start.
 * On failure the log error code (Alog_error_code) tells why. */
int v5_begin(void);
int v5_commit(int32_t n);
int v5_rollback(int32_t n);
int v5_recover(void);
int v5_init(void);
int v5_init_vers(int32_t version, int32_t *out);
void v5_exit(void);
void v5_init_cfg(void);
void v5_deinit_cfg(void);

/* --- the transaction log ---------------------------------------------------
 * 1, or 0 with the log error code set:
 *   1 an undo or a replayed operation failed   2 too many open files
 *   3 log file not found or bad name            4 permission denied
 *   5 read, write, seek or open failure        6 log ends inside a record,
 *                                                or an unknown record type
 *   7 log lock refused                          8 out of memory
 *   9 short write (disk full)                  10 no LOG_FILE (and
 *                                                NO_LOG_FILE_OK not set)
 *  11 TM file ends inside a record             12 the log does not end with
 *                                                its end mark: an earlier
 *                                                commit was cut short
 *  13 recovery met a file it has not seen opened
 *  16 recovery called inside a transaction     17 no transaction was begun
 * Operations on data files that the log refuses to record fail with the
 * file-system error code 22 (E_LOG_REFUSED). */
int Alog_begin(int32_t quiet);
int Alog_commit(void);
int Alog_end_commit(void);
int Alog_rollback(void);
int Alog_shutdown(void);
int Alog_recover(void);
/* LOCK_DIR joined with "lock." and the last path component of `name`,
 * cut to 599 bytes: `buffer` must hold 600. */
char *Alog_make_lockname(char *buffer, const char *name);
/* The calling thread's log error code. */
int16_t *Alog_error_code(void);

/* --- relative files ------------------------------------------------------
 * Open modes: access in the low two bits (<kelfs/modes.h>); 0x10 keeps every
 * record lock until Ar_unlock (KEL_OPEN_LOCK_MANY); 0x4000 lets the file take
 * part in transactions (KEL_OPEN_LOGGED). Reads return the record length + 1
 * (0 on failure); Ar_next, Ar_previous and Ar_write leave the record number
 * they dealt with in fs_last_record_number(). */
enum {
  AR_START_EQUAL = 0,
  AR_START_NOT_LESS = 1,
  AR_START_GREATER = 2,
  AR_START_LESS = 3,
  AR_START_NOT_GREATER = 4,
  AR_WRITE_AFTER_LAST = -1, /* Ar_write: the slot after the last one */
  AR_LAST_READ = 0          /* Ar_rewrite, Ar_delete: the record read last */
};
int Ar_init(void);
void Ar_exit(void);
int Ar_make(const char *name, const char *params, int32_t blocks);
RelativeFile *Ar_open(const char *name, int32_t mode, uint32_t maximum, uint32_t minimum,
                      int32_t blocks);
int Ar_close(RelativeFile *file);
int Ar_info(RelativeFile *file, int32_t code, char *buffer);
int Ar_read(RelativeFile *file, char *record, int32_t number);
int Ar_start(RelativeFile *file, int32_t number, int32_t mode);
int Ar_next(RelativeFile *file, char *record);
int Ar_previous(RelativeFile *file, char *record);
int Ar_write(RelativeFile *file, const char *record, uint32_t length, int32_t number);
int Ar_rewrite(RelativeFile *file, const char *record, uint32_t length, int32_t number);
int Ar_delete(RelativeFile *file, int32_t number);
int Ar_unlock(RelativeFile *file);
int Ar_copy(const char *from, const char *to);
int Ar_rename(const char *from, const char *to);
int Ar_remove(const char *name);

/* --- sequential files and pipes -------------------------------------------
 * Record types: fixed binary, variable binary (big-endian length prefix of 2
 * bytes, 4 when the record size exceeds 65535), text lines, print lines.
 * A non-null `pipe` makes `name` a shell command connected to the file.
 * Flags: bit 0 takes over the pipe kept by a close with keep; bit 1 asks an
 * extend open to write its buffer out after a computed number of records.
 * Advancing: lines to advance after the record (negative: before it);
 * AS_NO_ADVANCING writes none; a magnitude of AS_ADVANCE_PAGE or more
 * advances to a new page. */
enum {
  AS_FIXED = -1,
  AS_VARIABLE = -2,
  AS_LINE = -3,
  AS_PRINT = -4,
  AS_SHARED_PIPE = 0x1,
  AS_FLUSH_BY_RECORDS = 0x2,
  AS_NO_ADVANCING = 32767,
  AS_ADVANCE_PAGE = 9999
};
SequentialFile *As_open(const char *name, int32_t mode, uint32_t record_size, int32_t record_type,
                        uint32_t block_size, int32_t pad_char, const char *pipe, int32_t flags);
int As_close(SequentialFile *file, int32_t keep);
int As_info(SequentialFile *file, int32_t code, char *buffer);
int As_read(SequentialFile *file, char *record);
int As_write(SequentialFile *file, const char *record, uint32_t length, int32_t advancing);
int As_rewrite(SequentialFile *file, const char *record, uint32_t length);
int64_t As_seek(SequentialFile *file, int64_t offset, int32_t whence);
int As_copy(const char *from, const char *to);
int As_rename(const char *from, const char *to);
int As_remove(const char *name);

#ifdef __cplusplus
}
#endif

#endif
