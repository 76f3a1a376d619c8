// Layer files, layer streams and path helpers: the thin layer through which
// the log, the message and configuration libraries, the diagnostic writer,
// the relative and sequential handlers reach files, so that every
// descriptor is close-on-exec, large-file offsets follow USE_LARGE_FILE_API,
// a full disk is reported uniformly (a write returns 0) and the three
// standard streams are handles like any other.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" {

// Layer files: a handle is the index of an entry in the layer file array.
// Mode: access = mode & 3 (0 read, 1 read-write + create, 2 read-write,
// 3 read-write + create positioned at the end); 0x40 truncate, 0x2000
// append, 0x80000 large file (with USE_LARGE_FILE_API). Created files get
// 0666 less the umask; every descriptor is close-on-exec. All return -1
// with errno on failure.
int32_t Alayer_open(const char *path, int32_t mode);
int32_t Alayer_close(int32_t handle);
int32_t Alayer_read(int32_t handle, void *buffer, uint32_t length);
// A full disk (ENOSPC, or EFBIG past a file size limit) returns 0, not -1.
int32_t Alayer_write(int32_t handle, const void *buffer, uint32_t length);
int32_t Alayer_pread(int fd, void *buffer, uint32_t length, int64_t offset);
int32_t Alayer_pwrite(int fd, const void *buffer, uint32_t length, int64_t offset);
int64_t Alayer_seek(int32_t handle, int64_t offset, int whence);
int32_t Alayer_fstat(int32_t handle, struct stat *buffer);
// op 1: waiting write lock of [offset, offset + length); op 0: unlock.
int32_t Alayer_lock(int32_t handle, int64_t offset, int64_t length, int32_t op);
int32_t Alayer_dup(int fd);
int32_t Aunlink(const char *name);
// Copies the bytes of `from` to `to` (created or truncated); 1, or 0 with
// the file-system error code 21.
int32_t Acopy_file(const char *from, const char *to);

// Layer streams. The standard I/O library's stdin, stdout and stderr are
// accepted wherever a stream is.
void *Astream_open(const char *path, const char *mode);
int Astream_close(void *stream);
size_t Astream_read(void *buffer, size_t size, size_t count, void *stream);
size_t Astream_write(const void *buffer, size_t size, size_t count, void *stream);
char *Astream_gets(char *buffer, int length, void *stream);
int Astream_getc(void *stream);
int Astream_seek(void *stream, int64_t offset, int whence);
int64_t Astream_tell(void *stream);
int Astream_printf(void *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
int Astream_puts(const char *text, void *stream);
int Astream_flush(void *stream);
void Astream_init(FILE *in, FILE *out, FILE *err);

// Path helpers.
// The part after the last '/' (double-byte characters stepped over whole).
const char *Abase_name(const char *path);
// Appends `name` to `directory` in place (the caller sizes the buffer).
char *Ajoin_path(char *directory, const char *name);
// Creates a new empty file directory/prefix + 6 random characters + suffix
// and leaves its name in `buffer`; 1, or 0 with an empty buffer (name too
// long for `size`, 32768 names drawn that all exist, any other error). An
// empty or null directory means A_TMPDIR, else TMPDIR, else ".".
int Atemp_file(const char *directory, const char *prefix, const char *suffix, char *buffer,
               size_t size);
}

namespace kel {
// USE_LARGE_FILE_API (16-bit, 0 off): whether opens with the large-file bit
// ask for O_LARGEFILE. The word lives here, where it is used; the file
// system's configuration table binds it, so that it follows the variable.
int16_t *large_file_api_word();
// The descriptor behind a layer file handle, -1 when none.
int layer_fd(int32_t handle);
// Number of entries of the layer file array (tests).
int32_t layer_capacity();
// Closes every layer file still open and frees the array (exit operation).
void layer_files_release();
// Tests only: draw the random characters of Atemp_file from `hook` (null:
// the process's own generator again).
void temp_file_draw_hook(uint32_t (*hook)());
// The FILE behind a stream (stdin/stdout/stderr map to themselves).
FILE *stream_file(void *stream);
}  // namespace kel
