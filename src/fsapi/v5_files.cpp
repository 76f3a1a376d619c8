// Entry points of the indexed family that work on whole files: make, open,
// close, information, copy, rename and remove.
#include "entry.h"
#include "indexed/engine.h"
#include "indexed_handle.h"
#include "kelfs/kelfs.h"
#include "txlog/txlog.h"

using kel::fsapi::BoundedStr;
using kel::fsapi::entry;
using kel::fsapi::handle_of;
using kel::fsapi::Ptr;
using kel::fsapi::Str;
using kel::fsapi::TraceHandle;

namespace {

constexpr size_t kTableSize = 256;

}  // namespace

extern "C" int v5_make(const char *name, const char *comment, const char *physical_params,
                       const char *record_params, const char *key_params,
                       const char *translation_table) {
  return entry(
      {"v5_make", "\"%s\", \"%s\", \"%s\", \"%s\", \"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] {
        return kel::txlog::indexed_make(name, comment, physical_params, record_params, key_params,
                                        reinterpret_cast<const uint8_t *>(translation_table));
      },
      Str{name}, Str{comment}, Str{physical_params}, Str{record_params}, Str{key_params},
      BoundedStr{translation_table, kTableSize});
}

// The parameter text is traced but has no meaning for indexed files. The
// layers above the storage hang their state on every file this opens. The
// file-level operations go through the transaction log, which records them
// inside a transaction.
extern "C" DorvexFile *v5_open(const char *name, int32_t mode, const char *params) {
  return entry<DorvexFile *>(
      {"v5_open", "\"%s\", 0x%x, \"%s\"", "%p", nullptr}, nullptr,
      [&] {
        kel::indexed::install_access_layers();
        return kel::txlog::indexed_open(name, mode);
      },
      Str{name}, static_cast<unsigned>(mode), Str{params});
}

extern "C" int v5_close(DorvexFile *file) {
  return entry(
      {"v5_close", "%p \"%s\"", "%d", nullptr}, 0, [&] { return kel::txlog::indexed_close(file); },
      handle_of(file));
}

extern "C" int v5_mark_incomplete(DorvexFile *file) {
  return entry(
      {"v5_mark_incomplete", "%p \"%s\"", "%d", nullptr}, 0,
      [&] { return dorvex_mark_incomplete(file); }, handle_of(file));
}

extern "C" int v5_info(DorvexFile *file, int32_t code, char *buffer) {
  return entry(
      {"v5_info", "%p \"%s\", %d, %p", "%d", nullptr}, 0,
      [&] { return dorvex_info(file, code, buffer); }, handle_of(file), code, Ptr{buffer});
}

extern "C" int v5_copy(const char *from, const char *to) {
  return entry(
      {"v5_copy", "\"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] { return kel::txlog::indexed_copy(from, to); }, Str{from}, Str{to});
}

extern "C" int v5_rename(const char *from, const char *to) {
  return entry(
      {"v5_rename", "\"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] { return kel::txlog::indexed_rename(from, to); }, Str{from}, Str{to});
}

extern "C" int v5_remove(const char *name) {
  return entry(
      {"v5_remove", "\"%s\"", "%d", nullptr}, 0, [&] { return kel::txlog::indexed_remove(name); },
      Str{name});
}
