// The seam between kel and the indexed file engine. The writer asks it
// whether a listed file is an indexed file and reads its texts and records
// through it; the reader re-creates indexed files through it. Each
// operation stands for one entry point of the file system:
//
//   open_input     v5_open(path, 0, "0,0,0")
//   info           v5_info(file, code, out)
//   start_first    v5_start(file, record, 0, 0, 1)
//   next           v5_next(file, record)
//   close          v5_close(file)
//   make           v5_make(name, comment, physical, record parameters,
//                          keys, key translation table or null)
//   make_v4        v_make(name, old key description, comment)
//   make_v2        v2_make(name, P, Q)
//   open_restore   v5_open(name, 0x601, "0,0,0")
//   write          v5_write(file, record, length)
//   remove         v5_remove(name)
//
// Failures leave their reason in the file-system error codes. This build
// carries no indexed engine: open_input answers "not an indexed file", so
// every listed file is archived as a plain file, and indexed_engine_present
// is false, so the reader consumes indexed members without restoring them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::archive {

struct IndexedOps {
  void *(*open_input)(const char *path);
  int (*info)(void *file, int32_t code, char *out);
  int (*start_first)(void *file, char *record);
  uint32_t (*next)(void *file, char *record);
  int (*close)(void *file);
  int (*make)(const char *name, const char *comment, const char *physical,
              const char *record_parameters, const char *keys, const char *table);
  int (*make_v4)(const char *name, const char *key_description, const char *comment);
  int (*make_v2)(const char *name, const char *p, const char *q);
  void *(*open_restore)(const char *name);
  int (*write)(void *file, const char *record, uint32_t length);
  int (*remove)(const char *name);
};

// v5_info codes used by the archive.
constexpr int32_t kInfoRecordParameters = -1;
constexpr int32_t kInfoPhysicalParameters = -2;
constexpr int32_t kInfoComment = -3;
constexpr int32_t kInfoRecordCount = -4;
constexpr int32_t kInfoTranslationTable = -5;
constexpr int32_t kTranslationTableSize = 256;
// An indexed file has 1 to 120 keys of up to 16 segments each; a key's
// description text ("%02d,%1d" and ",%03d,%010d" per segment) is at most
// 4 + 16 x 15 characters. Every text v5_info returns fits kInfoTextSize.
constexpr int32_t kMaxKeys = 120;
constexpr size_t kMaxKeyText = 244;
constexpr int kInfoTextSize = 512;

const IndexedOps &indexed_ops();
bool indexed_engine_present();
// Tests: route the seam to a stand-in engine; null restores the build's own.
void indexed_set_ops(const IndexedOps *ops, bool present);

}  // namespace kel::archive
