// Entry points of the sequential family (As_): sequential files and pipes.
#include "entry.h"
#include "kelfs/kelfs.h"
#include "layer/layer.h"
#include "osfile/files.h"
#include "relseq/sequential.h"

using kel::fsapi::entry;
using kel::fsapi::Ptr;
using kel::fsapi::Str;
using kel::fsapi::TraceHandle;
namespace rs = kel::relseq;

extern "C" SequentialFile *As_open(const char *name, int32_t mode, uint32_t record_size,
                                   int32_t record_type, uint32_t block_size, int32_t pad_char,
                                   const char *pipe, int32_t flags) {
  return entry<SequentialFile *>(
      {"As_open", "\"%s\", 0x%x, %u, %d, %u, %d, %p \"%s\", 0x%x", "%p", nullptr}, nullptr,
      [&] {
        return rs::sequential_open(name, mode, record_size, record_type, block_size, pad_char, pipe,
                                   flags);
      },
      Str{name}, static_cast<unsigned>(mode), record_size, record_type, block_size, pad_char,
      TraceHandle{pipe, pipe}, static_cast<unsigned>(flags));
}

extern "C" int As_close(SequentialFile *file, int32_t keep) {
  return entry(
      {"As_close", "%p, %d", "%d", nullptr}, 0, [&] { return rs::sequential_close(file, keep); },
      Ptr{file}, keep);
}

extern "C" int As_info(SequentialFile *file, int32_t code, char *buffer) {
  return entry(
      {"As_info", "%p, %d, %p", "%d", nullptr}, 0,
      [&] { return rs::sequential_info(file, code, buffer); }, Ptr{file}, code, Ptr{buffer});
}

// The thread data's sequential value is read and set back to -1 by every
// sequential read; no operation of this system sets it.
extern "C" int As_read(SequentialFile *file, char *record) {
  return entry(
      {"As_read", "%p, %p", "%d", nullptr}, 0,
      [&] {
        kel::fsapi::ThreadData *td = kel::fsapi::thread_data();
        if (td != nullptr) td->sequential_value = -1;
        return rs::sequential_read(file, record);
      },
      Ptr{file}, Ptr{record});
}

extern "C" int As_write(SequentialFile *file, const char *record, uint32_t length,
                        int32_t advancing) {
  return entry(
      {"As_write", "%p, %p, %u, %d", "%d", nullptr}, 0,
      [&] { return rs::sequential_write(file, record, length, advancing); }, Ptr{file}, Ptr{record},
      length, advancing);
}

extern "C" int As_rewrite(SequentialFile *file, const char *record, uint32_t length) {
  return entry(
      {"As_rewrite", "%p, %p, %u", "%d", nullptr}, 0,
      [&] { return rs::sequential_rewrite(file, record, length); }, Ptr{file}, Ptr{record}, length);
}

extern "C" int64_t As_seek(SequentialFile *file, int64_t offset, int32_t whence) {
  return entry<int64_t>(
      {"As_seek", "%p, %lld, %d", "%lld", nullptr}, -1,
      [&] { return rs::sequential_seek(file, offset, whence); }, Ptr{file},
      static_cast<long long>(offset), whence);
}

extern "C" int As_copy(const char *from, const char *to) {
  return entry(
      {"As_copy", "\"%s\", \"%s\"", "%d", nullptr}, 0, [&] { return Acopy_file(from, to); },
      Str{from}, Str{to});
}

extern "C" int As_rename(const char *from, const char *to) {
  return entry(
      {"As_rename", "\"%s\", \"%s\"", "%d", nullptr}, 0, [&] { return Arename(from, to); },
      Str{from}, Str{to});
}

extern "C" int As_remove(const char *name) {
  return entry(
      {"As_remove", "\"%s\"", "%d", nullptr}, 0, [&] { return Aremove(name); }, Str{name});
}
