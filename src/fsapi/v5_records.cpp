// Entry points of the indexed family that work on records: positioning,
// keyed, sequential and physical reads, record locks, write, rewrite and
// delete, and the structural check.
#include "entry.h"
#include "indexed/engine.h"
#include "indexed_handle.h"
#include "kelfs/kelfs.h"

using kel::fsapi::entry;
using kel::fsapi::handle_of;
using kel::fsapi::Ptr;
using kel::fsapi::TraceHandle;

namespace {

uint8_t *bytes(char *record) {
  return reinterpret_cast<uint8_t *>(record);
}
const uint8_t *bytes(const char *record) {
  return reinterpret_cast<const uint8_t *>(record);
}

}  // namespace

extern "C" uint32_t v5_read(DorvexFile *file, char *record, int32_t key) {
  return entry<uint32_t>(
      {"v5_read", "%p \"%s\", %p, %d", "%u", nullptr}, 0,
      [&] { return v5i_read(file, bytes(record), key); }, handle_of(file), Ptr{record}, key);
}

extern "C" int v5_start(DorvexFile *file, char *record, int32_t key, int32_t length, int32_t mode) {
  return entry(
      {"v5_start", "%p \"%s\", %p, %d, %d, %d", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_start(file, bytes(record), key, length, mode)); },
      handle_of(file), Ptr{record}, key, length, mode);
}

extern "C" uint32_t v5_next(DorvexFile *file, char *record) {
  return entry<uint32_t>(
      {"v5_next", "%p \"%s\", %p", "%u", nullptr}, 0, [&] { return v5i_next(file, bytes(record)); },
      handle_of(file), Ptr{record});
}

extern "C" uint32_t v5_previous(DorvexFile *file, char *record) {
  return entry<uint32_t>(
      {"v5_previous", "%p \"%s\", %p", "%u", nullptr}, 0,
      [&] { return v5i_previous(file, bytes(record)); }, handle_of(file), Ptr{record});
}

// Its entry line carries the name v5_nkrnext, its return line its own.
extern "C" int v5_nkrstart(DorvexFile *file) {
  return entry(
      {"v5_nkrnext", "%p \"%s\"", "%d", "v5_nkrstart"}, -1,
      [&] { return static_cast<int>(v5i_nkrstart(file)); }, handle_of(file));
}

extern "C" uint32_t v5_nkrnext(DorvexFile *file, char *record) {
  return entry<uint32_t>(
      {"v5_nkrnext", "%p \"%s\", %p", "%u", nullptr}, 0,
      [&] { return v5i_nkrnext(file, bytes(record)); }, handle_of(file), Ptr{record});
}

extern "C" int v5_unlock(DorvexFile *file) {
  return entry(
      {"v5_unlock", "%p \"%s\"", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_unlock(file)); }, handle_of(file));
}

extern "C" int v5_write(DorvexFile *file, const char *record, uint32_t length) {
  return entry(
      {"v5_write", "%p \"%s\", %p, %u", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_write(file, bytes(record), length)); }, handle_of(file),
      Ptr{record}, length);
}

extern "C" int v5_rewrite(DorvexFile *file, const char *record, uint32_t length) {
  return entry(
      {"v5_rewrite", "%p \"%s\", %p, %u", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_rewrite(file, bytes(record), length)); }, handle_of(file),
      Ptr{record}, length);
}

extern "C" int v5_delete(DorvexFile *file, const char *record) {
  return entry(
      {"v5_delete", "%p \"%s\", %p", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_delete(file, bytes(record))); }, handle_of(file),
      Ptr{record});
}

extern "C" int v5_check(DorvexFile *file, int32_t flags) {
  return entry(
      {"v5_check", "%p \"%s\", 0x%x", "%d", nullptr}, 0,
      [&] { return static_cast<int>(v5i_check(file, flags)); }, handle_of(file),
      static_cast<unsigned>(flags));
}

extern "C" const char *v5_check_report(void) {
  return entry<const char *>({"v5_check_report", "", "%p", nullptr}, nullptr,
                             [] { return v5i_check_report(); });
}
