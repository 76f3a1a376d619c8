// The file table: every data file of the indexed engine, the relative and
// the sequential handlers is opened here and known by a small file number.
// Processes that share data files coordinate only through POSIX advisory
// byte-range locks placed by this layer:
//
//   - an open lock in a reserved band of 302 bytes just below the top
//     offset T, where no data can ever lie (the layout is in files.cpp);
//   - the file-wide update lock on byte 0 (Ahold_file / Arelease_file);
//   - one-byte write locks on records at offsets the engines choose.
//
// POSIX locks never conflict inside one process, so the layer also keeps a
// process-wide record-lock table and checks opens of one file against each
// other (V_INTERNAL_LOCKS). Closing any descriptor of a file drops all of
// the process's locks on it; the layer therefore places the locks of the
// file's remaining opens again after every such close.
//
// Every operation reports failure through the process-wide file-system error
// code (kelfs/errors.h) and returns -1 or 0 as documented.
//
// Layering: this layer sits below the block cache and never calls it. When
// it replaces the descriptor of an open file by another (descriptor sharing
// under OPEN_FILES_ONCE), it tells whoever registered a renumber hook, so
// that cached blocks follow the file: the cache registers Brenumber there.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// Open-mode bits. The access is in the low two bits.
enum : int32_t {
  A_INPUT = 0x0000,
  A_OUTPUT = 0x0001,
  A_IO = 0x0002,
  A_EXTEND = 0x0003,
  A_ACCESS_MASK = 0x0003,
  A_DENY_WRITE = 0x0100,          // no other opener may write
  A_EXCLUSIVE = 0x0200,           // no other opener at all
  A_DEFERRED = 0x0400,            // deferred writes (block cache only)
  A_NO_LOCKING = 0x0800,          // this file is never locked
  A_READ_ONLY_FALLBACK = 0x1000,  // (mode only) input may fall back to O_RDONLY
  A_APPEND = 0x2000,              // (mode only) the descriptor gets O_APPEND
  // (mode only) the file is created here and must not exist: O_CREAT |
  // O_EXCL | O_NOFOLLOW with a read-write descriptor whatever the access,
  // so that nothing standing at the name (a symbolic link above all) is
  // followed or truncated. Used for the segments of indexed files.
  A_CREATE_NEW = 0x40000,
};

// Lock commands given to Afcntl. The numbers are those of the 32-bit Linux
// ABI, where the 64-bit commands are distinct; Afcntl maps them to the
// host's commands.
enum : int32_t {
  A_F_GETLK = 5,
  A_F_SETLK = 6,
  A_F_SETLKW = 7,
  A_F_GETLK64 = 12,
  A_F_SETLK64 = 13,
  A_F_SETLKW64 = 14,
};

// The one lock request record used for every lock call, whatever the
// large-file setting. `type` is F_RDLCK, F_WRLCK or F_UNLCK; `whence` is
// always 0 (from the start); `pid` is filled by a test (F_GETLK).
struct ALockRequest {
  int16_t type;
  int16_t whence;
  int64_t start;
  int64_t length;
  int32_t pid;
};

// Allocates the tables on first use (no-op when done): 1, or 0 with
// E_NO_MEMORY and nothing left allocated.
int32_t Ainit_files(void);
// Frees the tables and marks the layer uninitialised. Files still open are
// closed (their descriptors and names released).
void Afree_files(void);

// Opens a file: file number >= 0, or -1. Aopen places its locks at large
// offsets when USE_LARGE_FILE_API is on; Aopen32 never does (the block cache
// and bulk loading use it).
int32_t Aopen(const char *name, int32_t mode);
int32_t Aopen32(const char *name, int32_t mode);
// Closes a file number: 1, or 0 (E_PARAM) for a number that is not open.
int32_t Aclose(int32_t file);
int32_t Aclose32(int32_t file);

// Record lock of one byte. op 1 lock, 0 unlock, 2 nothing; 0 or -1.
// Arec_lock sign-extends its offset; Arec_lock64 uses the high word only
// when USE_LARGE_FILE_API is on and otherwise sign-extends the low word.
int32_t Arec_lock(int32_t file, int32_t offset, int32_t op);
int32_t Arec_lock64(int32_t file, int64_t offset, int32_t op);

// The file's descriptor, or -1. With `take` non-zero and no update lock
// held, first takes the file-wide update lock on byte 0 (waiting).
int32_t Ahold_file(int32_t file, int32_t take);
// Drops the file-wide update lock if held.
void Arelease_file(int32_t file);
// 1 when the open keeps every other writer out, in this process and in
// others: exclusive or deny-write with locking in force (no 0x800, a lock
// taken at open, V_INTERNAL_LOCKS on). Nobody else changes such a file
// between this open's operations.
int32_t Afile_writers_kept_out(int32_t file);

// The only caller of fcntl for locks; traces when V_TRACE has its bit of
// value 16.
int32_t Afcntl(int32_t fd, int32_t cmd, struct ALockRequest *request);
// Lock primitive on [start, start + length): op 0 unlock, 1 read lock,
// 2 write lock (both without waiting), 3 test for a write lock, 4 read lock
// and 5 write lock (both waiting). 0 done / free, 1 held by another process
// (its pid in fs_lock_holder(), 0 when unknown), 2 lock resources
// exhausted, -1 other error.
int32_t Alock_range(int32_t fd, int64_t start, int64_t length, int32_t op);

// 1 / 0.
int32_t Arename(const char *from, const char *to);
int32_t Aexists(const char *name);
int32_t Aremove(const char *name);
// stat/fstat in the 64-bit layout. Without USE_LARGE_FILE_API they behave
// as the 32-bit calls: a size beyond 2^31-1 fails with EOVERFLOW and only
// the low 32 bits of the inode number are kept. 0 or -1 (errno set).
int32_t Astat(const char *name, struct stat *buffer);
int32_t Afstat(int32_t fd, struct stat *buffer);

// The node name of uname() into `buffer`; 1, or 0 with an empty buffer.
int32_t Ahost_name(char *buffer, size_t size);
int32_t Ahostid(void);
void Async(void);
}

namespace kel {

// Called with (old descriptor, new descriptor) after the layer has moved
// every open of a file to a new descriptor; null unregisters.
using DescriptorRenumberHook = void (*)(int32_t old_fd, int32_t new_fd);
void set_descriptor_renumber_hook(DescriptorRenumberHook hook);

// The descriptor of an open file, or -1 (no error code is set).
int32_t file_descriptor(int32_t file);
// The name an open file was opened with, or null.
const char *file_name(int32_t file);
// The name of some open file that uses descriptor `fd`, or null.
const char *file_name_of_descriptor(int32_t fd);

// The top offset T of the lock band for large-file opens, as chosen by
// Ainit_files from LARGE_FILE_LIMIT_1TB / _2TB (2^31-1 for small opens).
int64_t lock_band_top(bool large);
// The open lock slot recorded for a file: false when none is held.
bool open_lock_slot(int32_t file, int64_t *offset, int32_t *length);
// Number of entries in the record-lock table.
int32_t record_lock_count();

// Whether another process holds a writer's place in the open-lock band of
// the file: a slot of the deny-write or sharing writers' rows (T-201 to
// T-101), or an exclusive open's whole band. 1 yes, 0 no, -1 cannot tell
// (the file is not locked: no-locking flag, read-only fallback, or the
// test failed). A writer whose slot was refused (all 100 taken) holds
// none, but then the others do.
int32_t other_writer_in_band(int32_t file);
// Whether another entry of this process has the same file open.
bool open_elsewhere_in_process(int32_t file);

// Tests only: force USE_LARGE_FILE_API to 0 or 1; -1 follows the
// configuration again.
void force_large_file_api(int value);
// USE_LARGE_FILE_API as this layer sees it.
bool large_file_api();

}  // namespace kel
