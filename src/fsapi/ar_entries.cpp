// Entry points of the relative family (Ar_), with the reference-counted
// start-up and shutdown of the relative and sequential handlers.
#include <cstdio>

#include "entry.h"
#include "families.h"
#include "kelfs/kelfs.h"
#include "layer/layer.h"
#include "relseq/relative.h"
#include "txlog/txlog.h"

using kel::fsapi::entry;
using kel::fsapi::entry_void;
using kel::fsapi::Ptr;
using kel::fsapi::Str;
namespace rs = kel::relseq;

namespace {

int init_relseq() {
  Astream_init(stdin, stdout, stderr);
  int32_t &count = kel::fsapi::relseq_init_count();
  if (count >= 1) {
    ++count;
    return 1;
  }
  if (!rs::relative_init()) return 0;
  ++count;
  return 1;
}

// The OS layer's tables are released here only when the indexed family is
// down too: its open files live in the same table.
void exit_relseq() {
  int32_t &count = kel::fsapi::relseq_init_count();
  if (count == 1 && kel::fsapi::indexed_init_count() == 0) kel::txlog::log_shutdown();
  if (count > 0 && --count == 0) rs::relseq_shutdown(kel::fsapi::indexed_init_count() == 0);
  if (count == 0 && kel::fsapi::indexed_init_count() == 0) kel::fsapi::release_thread_data();
}

long traced(int32_t n) {
  return static_cast<long>(n);
}

}  // namespace

extern "C" int Ar_init(void) {
  return entry({"Ar_init", "", "%d", nullptr}, 0, [] { return init_relseq(); });
}

extern "C" void Ar_exit(void) {
  entry_void({"Ar_exit", "", nullptr, nullptr}, [] { exit_relseq(); });
}

extern "C" int Ar_make(const char *name, const char *params, int32_t blocks) {
  return entry(
      {"Ar_make", "\"%s\", \"%s\", %ld", "%d", nullptr}, 0,
      [&] { return rs::relative_make(name, params, blocks); }, Str{name}, Str{params},
      traced(blocks));
}

extern "C" RelativeFile *Ar_open(const char *name, int32_t mode, uint32_t maximum, uint32_t minimum,
                                 int32_t blocks) {
  return entry<RelativeFile *>(
      {"Ar_open", "\"%s\", 0x%x, %u, %u, %ld", "%p", nullptr}, nullptr,
      [&] { return rs::relative_open(name, mode, maximum, minimum, blocks); }, Str{name},
      static_cast<unsigned>(mode), maximum, minimum, traced(blocks));
}

extern "C" int Ar_close(RelativeFile *file) {
  return entry(
      {"Ar_close", "%p", "%d", nullptr}, 0, [&] { return rs::relative_close(file); }, Ptr{file});
}

extern "C" int Ar_info(RelativeFile *file, int32_t code, char *buffer) {
  return entry(
      {"Ar_info", "%p, %d, %p", "%d", nullptr}, 0,
      [&] { return rs::relative_info(file, code, buffer); }, Ptr{file}, code, Ptr{buffer});
}

extern "C" int Ar_read(RelativeFile *file, char *record, int32_t number) {
  return entry(
      {"Ar_read", "%p, %p, %ld", "%d", nullptr}, 0,
      [&] { return rs::relative_read(file, record, number); }, Ptr{file}, Ptr{record},
      traced(number));
}

extern "C" int Ar_start(RelativeFile *file, int32_t number, int32_t mode) {
  return entry(
      {"Ar_start", "%p, %ld, %d", "%d", nullptr}, 0,
      [&] { return rs::relative_start(file, number, mode); }, Ptr{file}, traced(number), mode);
}

extern "C" int Ar_next(RelativeFile *file, char *record) {
  return entry(
      {"Ar_next", "%p, %p", "%d", nullptr}, 0, [&] { return rs::relative_next(file, record); },
      Ptr{file}, Ptr{record});
}

extern "C" int Ar_previous(RelativeFile *file, char *record) {
  return entry(
      {"Ar_previous", "%p, %p", "%d", nullptr}, 0,
      [&] { return rs::relative_previous(file, record); }, Ptr{file}, Ptr{record});
}

extern "C" int Ar_write(RelativeFile *file, const char *record, uint32_t length, int32_t number) {
  return entry(
      {"Ar_write", "%p, %p, %u, %ld", "%d", nullptr}, 0,
      [&] { return rs::relative_write(file, record, length, number); }, Ptr{file}, Ptr{record},
      length, traced(number));
}

extern "C" int Ar_rewrite(RelativeFile *file, const char *record, uint32_t length, int32_t number) {
  return entry(
      {"Ar_rewrite", "%p, %p, %u, %ld", "%d", nullptr}, 0,
      [&] { return rs::relative_rewrite(file, record, length, number); }, Ptr{file}, Ptr{record},
      length, traced(number));
}

extern "C" int Ar_delete(RelativeFile *file, int32_t number) {
  return entry(
      {"Ar_delete", "%p, %ld", "%d", nullptr}, 0, [&] { return rs::relative_delete(file, number); },
      Ptr{file}, traced(number));
}

extern "C" int Ar_unlock(RelativeFile *file) {
  return entry(
      {"Ar_unlock", "%p", "%d", nullptr}, 0, [&] { return rs::relative_unlock(file); }, Ptr{file});
}

extern "C" int Ar_copy(const char *from, const char *to) {
  return entry(
      {"Ar_copy", "\"%s\", \"%s\"", "%d", nullptr}, 0, [&] { return rs::relative_copy(from, to); },
      Str{from}, Str{to});
}

extern "C" int Ar_rename(const char *from, const char *to) {
  return entry(
      {"Ar_rename", "\"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] { return rs::relative_rename(from, to); }, Str{from}, Str{to});
}

extern "C" int Ar_remove(const char *name) {
  return entry(
      {"Ar_remove", "\"%s\"", "%d", nullptr}, 0, [&] { return rs::relative_remove(name); },
      Str{name});
}
