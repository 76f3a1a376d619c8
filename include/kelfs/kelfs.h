/* The file system's entry points: indexed (Dorvex) files, relative files,
 * sequential files and pipes.
 *
 *   #include <kelfs/kelfs.h>     entry points, open modes, error codes
 *   #include <kelfs/config.h>    settings (optional)
 *   cc prog.c $(pkg-config --cflags --libs kelfs)
 *
 * Order of initialisation (the settings: <kelfs/config.h>):
 *   1. v5_init_cfg() defines the file system's configuration variables.
 *      Call it first: without it every setting reads 0, not its default.
 *   2. cfg_apply_environment(KELFS_CONFIG_SET) and the cfg_set_ calls.
 *   3. v5_init() for indexed files, Ar_init() for relative and sequential
 *      files. Each counts its calls; the tables are made on first use.
 *   4. The operations. At the end v5_exit() and Ar_exit() once per init,
 *      then v5_deinit_cfg(); a process that simply ends may skip them.
 *   examples/indexed_two_keys.c and examples/relative_sequential.c show it.
 *
 * Results and errors: an operation returns 1 (or a handle, or a length)
 * on success and 0 (or null) on failure, and leaves the reason in the
 * primary error code *fs_error_code() (E_... of <kelfs/errors.h>);
 * *fs_error_secondary() details E_BROKEN. fs_error_text(code) gives the
 * text of a code, report_fs_error(name) prints a line. Read the codes
 * after a failure: a success does not clear them, except where said.
 * Besides the codes listed with each operation, any of them can leave
 * E_PARAM (a null file or buffer, an argument out of range), E_SYSERR
 * (the system refused a read or write: errno tells why), E_NO_MEMORY, and
 * the writing ones E_DISK_FULL. An indexed operation that meets a damaged
 * file leaves E_BROKEN with the secondary code of what it met:
 *    1 header  3-7, 20-23 tree nodes  9 short read  12 free-node list
 *   13 deleted chain  24 marked incomplete (v5_mark_incomplete)
 *   25 a writer ended without closing (dorvex-tool check clears it)
 *   26 a position outside the segments  27 v5_check found problems
 *   42 sequence counter exhausted  68 a segment file is missing
 *   81, 82, 85 record slots  99 segment number.
 *
 * Tracing: with V_TRACE=1 (in the environment, taken by
 * cfg_apply_environment) every entry point writes one line on entry and
 * one on return to the error output.
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

/* --- indexed files ------------------------------------------------------
 *
 * An indexed file NAME is the data file NAME and the index file NAME.vix
 * (more segments, NAME.d01 ... and NAME.v01 ..., as they fill V_SEG_SIZE).
 * Records are 0 to 67108864 bytes; every record has 1 to 120 keys, key 0
 * (the primary key) unique unless made otherwise, each key 1 to 16
 * segments (byte ranges of the record) of 250 bytes at most in all.
 *
 * v5_make: makes (or replaces, removing the old file and its segments) an
 * empty file. Texts are decimal numbers separated by commas:
 *
 *   physical_params  "NODE,PREALLOC,EXTEND,COMPRESS,SCRAMBLE", may be null
 *                    (1,1,1,0,0). NODE: node size in 512-byte blocks,
 *                    1-16 (0: 1); PREALLOC: nodes made at once, EXTEND:
 *                    nodes added when the file grows (0: 1); COMPRESS:
 *                    record compression factor 0-100 (0 none, 1 the
 *                    COMPRESS_FACTOR setting, 70 by default); SCRAMBLE 0/1.
 *   record_params    "MAX,MIN,KEYS[,N]": maximum and minimum record size
 *                    (MIN 0: equal to MAX; MIN < MAX: variable length),
 *                    number of keys 1-120; a fourth number is stored.
 *   key_params       for each key in order "SEGMENTS,DUPS" (DUPS 1 allows
 *                    duplicate values), then per segment "SIZE,OFFSET";
 *                    all joined by commas. Every segment must end within
 *                    MIN. Two keys, key 0 the bytes 0-7, key 1 with
 *                    duplicates the bytes 28-39: "1,0,8,0,1,1,12,28".
 *   comment          up to 30 characters, may be null.
 *   translation_table  null, or 256 bytes mapping every key byte before it
 *                    is compared (the file's collating order).
 *
 * Returns 1, or 0 with E_PARAM (a text out of its grammar or limits),
 * E_UNSUPPORTED (V_VERSION 2 and a layout version 2 cannot hold), E_SYSERR
 * or E_DISK_FULL (what was made is removed). The format version made is
 * V_VERSION (default 5), or the setting NAME_VERSION for this file. */
int v5_make(const char *name, const char *comment, const char *physical_params,
            const char *record_params, const char *key_params, const char *translation_table);
/* Opens an indexed file of any version (2 to 5). `mode`: KEL_OPEN_INPUT,
 * KEL_OPEN_IO (KEL_OPEN_OUTPUT empties the file first: made anew with its
 * own parameters), or'ed with KEL_OPEN_DENY_WRITE, KEL_OPEN_EXCLUSIVE,
 * KEL_OPEN_DEFERRED (blocks written at close), KEL_OPEN_NO_LOCKING,
 * KEL_OPEN_BULK (with KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED and a writing
 * access: v5_write adds records in bulk, their keys sorted in at close or
 * at the next read). `params` is only traced: pass null or "0,0,0".
 * Returns the file, or null with E_NO_FILE (fs_missing_file_name() names
 * the file that is missing), E_FILE_TYPE (not an indexed file), E_BROKEN
 * (secondary codes above; V_FORCE_OPEN=1 opens it anyway), E_FILE_LOCKED
 * (another opener's sharing refuses this one; fs_lock_holder() names it),
 * E_TOO_MANY_FILES (MAX_FILES), E_PERMISSION. */
DorvexFile *v5_open(const char *name, int32_t mode, const char *params);
/* Writes what is pending (bulk keys, deferred blocks, the header), releases
 * the file's locks and frees the handle, also when it fails. 1, or 0. */
int v5_close(DorvexFile *file);
/* Marks a file open for update as incomplete until this open's final
 * successful close (a restore or a load under way): every other open fails
 * with E_BROKEN and secondary code 24 unless V_FORCE_OPEN is on, also after
 * the process was killed. 1, or 0 (E_PARAM when not open for update). */
int v5_mark_incomplete(DorvexFile *file);
/* Describes an open file: writes the text of `code` into `buffer` and
 * returns 1, or 0 with E_PARAM for an unknown code, E_UNSUPPORTED for
 * V5_INFO_TRANSLATION_TABLE when the file has none. 512 bytes hold every
 * text but the segment lists (V5_INFO_SEGMENT_NAMES needs 138 bytes per
 * segment, V5_INFO_SEGMENT_SIZES 15). A code 0 to keys - 1 gives that
 * key's description, "SS,D" then ",SIZE,OFFSET" per segment ("%02d,%1d"
 * and ",%03d,%010d"); joined by commas they make a key_params text of
 * v5_make, and codes -1, -2 and -3 give its record_params,
 * physical_params and comment. */
enum {
  V5_INFO_RECORD_PARAMS = -1,     /* "%010d,%010d,%03d": max, min, keys */
  V5_INFO_PHYSICAL_PARAMS = -2,   /* "%02d,%07d,%07d,%03d,%1d" */
  V5_INFO_COMMENT = -3,           /* the comment */
  V5_INFO_RECORD_COUNT = -4,      /* "%010ld" records */
  V5_INFO_TRANSLATION_TABLE = -5, /* 256 bytes, not terminated */
  V5_INFO_LOCKS = -6,             /* "%04d" record locks held */
  V5_INFO_SEGMENT_COUNTS = -7,    /* "%05lu,%05lu" data, index segments */
  V5_INFO_SEGMENT_NAMES = -8,     /* per segment: 128-byte name, "%010ld" size */
  V5_INFO_SEGMENT_SIZES = -9,     /* per segment "%015ld" (data, then index) */
  V5_INFO_VERSION = -10,          /* "%03d" format version */
  V5_INFO_DELETED_COUNT = -11,    /* "%010ld" deleted records */
  V5_INFO_DESCRIPTOR = -12        /* "%010ld" the data file's descriptor */
};
int v5_info(DorvexFile *file, int32_t code, char *buffer);
/* Reads the record whose key `key` equals the key bytes in `record` (the
 * first of equal values of a key with duplicates), into `record`, and
 * makes it the current record for v5_next/v5_previous in that key's
 * order. Returns the record's length, or 0 with E_NOT_FOUND, E_REC_LOCKED
 * (another opener holds it: fs_lock_holder()), E_MODE_CLASH (open for
 * output only). A success leaves code 101 when another record has the same
 * value of an alternate key. */
enum { V5_KEY_PRIMARY = 0 };
uint32_t v5_read(DorvexFile *file, char *record, int32_t key);
/* Positions on the first entry of key `key` that stands in relation `mode`
 * (V5_START_...) to the key bytes in `record`; `length` 0 compares the
 * whole key, a smaller length its first `length` bytes. Reads nothing:
 * the next v5_next returns the record positioned on. A cleared record
 * with V5_START_NOT_LESS starts at the first record when the file has no
 * translation table. 1, or 0 with E_NOT_FOUND (no such entry), E_PARAM
 * (a key number the file does not have). */
enum {
  V5_START_EQUAL = 0,
  V5_START_NOT_LESS = 1,
  V5_START_GREATER = 2,
  V5_START_LESS = 3,
  V5_START_NOT_GREATER = 4
};
int v5_start(DorvexFile *file, char *record, int32_t key, int32_t length, int32_t mode);
/* The next (previous) record in the order of the current key, into
 * `record`. The length, or 0 with E_NOT_FOUND past the last (first),
 * E_NO_CURRENT without a position, E_REC_LOCKED. */
uint32_t v5_next(DorvexFile *file, char *record);
uint32_t v5_previous(DorvexFile *file, char *record);
/* Every record in the order it is stored, reading no tree: v5_nkrstart
 * returns 0 (1 for a version 2 or 3 file, whose scan is empty) or -1 on
 * failure; then v5_nkrnext until 0 with E_NOT_FOUND. The scan ends after
 * as many records as the header counts. */
int v5_nkrstart(DorvexFile *file);
uint32_t v5_nkrnext(DorvexFile *file, char *record);
/* Releases the record locks the file holds. 1, or 0. */
int v5_unlock(DorvexFile *file);
/* Adds a record of `length` bytes (between the minimum and the maximum
 * record size). 1 (code 101 when an alternate key's value is shared), or 0
 * with E_DUPLICATE (a unique key's value is taken: nothing is added),
 * E_MODE_CLASH (open for input), E_PARAM (a length out of range). */
int v5_write(DorvexFile *file, const char *record, uint32_t length);
/* Deletes the record whose primary key equals that of `record`. 1, or 0
 * with E_NOT_FOUND, E_REC_LOCKED, E_MODE_CLASH. */
int v5_delete(DorvexFile *file, const char *record);
/* Replaces the record with the primary key of `record` (which cannot
 * change) by `record`, of `length` bytes (0: the maximum record size).
 * The record keeps its place among equal alternate key values; a changed
 * value of a unique alternate key that another record has fails with
 * E_DUPLICATE and changes nothing. 1 (primary code 101 when an alternate
 * key now shares its value), or 0 with the reason (E_NOT_FOUND,
 * E_REC_LOCKED, E_MODE_CLASH, E_PARAM). */
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
/* Copy, rename and remove an indexed file with all its segments (the
 * file must not be open). 1, or 0 with E_NO_FILE, E_SYSERR. */
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
/* Copies "Dorvex" into `name` (7 bytes), "5" into `version` (2 bytes) and
 * the build's version text into `build` (30 bytes); `n` and `m` are only
 * traced. Returns 1. */
int v5_version(char *name, char *version, char *build, int32_t n, int32_t *m);
/* Sets bits 0 and 1 of *flags: the engine has both optional abilities. */
void v5_abilities(uint8_t *flags);
/* Each registration installs a process-wide hook (null: none) and returns
 * the previous one. The set-file-attributes hook is called with each file
 * the engine creates (a make's data file, every new segment). */
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
/* Initialisation of the indexed family (counted: v5_exit once per call).
 * v5_init_vers also sets the interface level of the v5_info texts (3, the
 * forms above; 2 and 1 give the narrower older forms) and stores 3 in
 * *out when out is not null. 1, or 0. */
int v5_init(void);
int v5_init_vers(int32_t version, int32_t *out);
void v5_exit(void);
/* Defines (undefines) the file system's configuration variables. */
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
 * A relative file is an array of record slots numbered from 1, with no
 * header. Ar_open's maximum and minimum record size describe it: equal,
 * fixed-length slots of that size; different, variable-length records of
 * up to the maximum (slot = maximum + 2, or + 4 from 65536 on). `blocks`
 * and Ar_make's `params` and `blocks` are carried for the record; pass 0
 * and "".
 *
 * Open modes: access in the low two bits (<kelfs/modes.h>); 0x10 keeps every
 * record lock until Ar_unlock (KEL_OPEN_LOCK_MANY); 0x4000 lets the file take
 * part in transactions (KEL_OPEN_LOGGED). Reads return the record length + 1
 * (0 on failure: E_NOT_FOUND for an empty or missing slot, E_REC_LOCKED);
 * Ar_next, Ar_previous and Ar_write leave the record number they dealt
 * with in fs_last_record_number(). Ar_write to a slot in use fails with
 * E_DUPLICATE; Ar_rewrite and Ar_delete of an empty slot with
 * E_NOT_FOUND. Ar_open of a missing file: E_NO_FILE; of a file whose size
 * is no multiple of the slot: E_FILE_TYPE. The others return 1 or 0. */
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
 * advances to a new page. `block_size` 0 takes the default buffer;
 * `pad_char` -1 pads nothing. As_read returns the record length + 1, or 0
 * with E_NOT_FOUND at the end; As_seek's whence is 0 absolute, 1 from the
 * next position, 2 from the end, and it returns the new offset (-1 on
 * failure). An output or extend open needs the file: make it first with
 * Ar_make(name, "", 0); As_open of a missing file gives E_NO_FILE. */
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
