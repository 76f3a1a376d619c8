// Layer streams: a stream handle points to a stream object that holds the
// standard I/O stream. The standard library's stdin, stdout and stderr
// values are themselves accepted as handles and map to three built-in
// objects, so that callers can pass them unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "layer/layer.h"
#include "support/alloc.h"

namespace {

struct StreamObject {
  FILE *fp;
  uint32_t flags;
};

constexpr uint32_t kBuiltIn = 1;

struct StreamState {
  bool ready = false;
  FILE *std_files[3] = {};
  StreamObject std_objects[3] = {};
};

StreamState &state() {
  static StreamState s;
  return s;
}

void bind_standard(FILE *in, FILE *out, FILE *err) {
  StreamState &s = state();
  s.ready = true;
  FILE *files[3] = {in, out, err};
  for (int i = 0; i < 3; ++i) {
    s.std_files[i] = files[i];
    s.std_objects[i] = StreamObject{files[i], kBuiltIn};
  }
}

void setup() {
  if (!state().ready) bind_standard(stdin, stdout, stderr);
}

// The object behind a handle: one of the built-in three when the handle is
// a registered standard FILE (or the library's own stdin/stdout/stderr).
StreamObject *object(void *stream) {
  setup();
  StreamState &s = state();
  if (stream == nullptr) return nullptr;
  for (int i = 0; i < 3; ++i) {
    if (stream == s.std_files[i] || stream == &s.std_objects[i]) return &s.std_objects[i];
  }
  if (stream == stdin) return &s.std_objects[0];
  if (stream == stdout) return &s.std_objects[1];
  if (stream == stderr) return &s.std_objects[2];
  return static_cast<StreamObject *>(stream);
}

FILE *fp_of(void *stream) {
  StreamObject *o = object(stream);
  return o ? o->fp : nullptr;
}

}  // namespace

extern "C" void Astream_init(FILE *in, FILE *out, FILE *err) {
  bind_standard(in, out, err);
}

extern "C" void *Astream_open(const char *path, const char *mode) {
  setup();
  char clean[16];
  size_t n = 0;
  for (const char *m = mode; *m && n + 1 < sizeof clean; ++m) {
    if (*m != 'b' && *m != 't') clean[n++] = *m;
  }
  clean[n] = '\0';
  auto *obj = static_cast<StreamObject *>(KEL_ALLOC(sizeof(StreamObject), "Layer stream"));
  if (obj == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  FILE *fp = fopen(path, clean);
  if (fp == nullptr) {
    int saved = errno;
    KEL_FREE(obj);
    errno = saved;
    return nullptr;
  }
  fcntl(fileno(fp), F_SETFD, FD_CLOEXEC);
  obj->fp = fp;
  obj->flags = 0;
  return obj;
}

extern "C" int Astream_close(void *stream) {
  StreamObject *o = object(stream);
  if (o == nullptr || o->fp == nullptr) return EOF;  // a standard stream closed before
  int rc = fclose(o->fp);
  if (o->flags & kBuiltIn) {
    o->fp = nullptr;
  } else {
    KEL_FREE(o);
  }
  return rc;
}

extern "C" size_t Astream_read(void *buffer, size_t size, size_t count, void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fread(buffer, size, count, fp) : 0;
}

extern "C" size_t Astream_write(const void *buffer, size_t size, size_t count, void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fwrite(buffer, size, count, fp) : 0;
}

extern "C" char *Astream_gets(char *buffer, int length, void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fgets(buffer, length, fp) : nullptr;
}

extern "C" int Astream_getc(void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fgetc(fp) : EOF;
}

extern "C" int Astream_seek(void *stream, int64_t offset, int whence) {
  FILE *fp = fp_of(stream);
  return fp ? fseeko(fp, static_cast<off_t>(offset), whence) : -1;
}

extern "C" int64_t Astream_tell(void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? static_cast<int64_t>(ftello(fp)) : -1;
}

extern "C" int Astream_printf(void *stream, const char *format, ...) {
  FILE *fp = fp_of(stream);
  if (fp == nullptr) return -1;
  va_list args;
  va_start(args, format);
  int n = vfprintf(fp, format, args);
  va_end(args);
  return n;
}

extern "C" int Astream_puts(const char *text, void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fputs(text, fp) : EOF;
}

extern "C" int Astream_flush(void *stream) {
  FILE *fp = fp_of(stream);
  return fp ? fflush(fp) : EOF;
}

namespace kel {
FILE *stream_file(void *stream) {
  return fp_of(stream);
}
}  // namespace kel
