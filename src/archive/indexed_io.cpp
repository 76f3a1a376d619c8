#include "archive/indexed_io.h"

#include "kelfs/kelfs.h"

namespace kel::archive {

namespace {

// The build's own engine, entered through its public entry points only, so
// that every call kel makes is traced and serialised like any other caller's.
DorvexFile *dorvex(void *file) {
  return static_cast<DorvexFile *>(file);
}

constexpr int32_t kOpenInput = KEL_OPEN_INPUT;
// 0x601: output, exclusive, deferred writes. Nobody else may see the file
// while it is rebuilt, and the cache writes its blocks when it is closed.
constexpr int32_t kOpenRestore = KEL_OPEN_OUTPUT | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED;
// 0x200: input, exclusive. Refused with E_FILE_LOCKED while another
// program has the file open: the test of in_use.
constexpr int32_t kOpenAlone = KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE;
constexpr char kOpenParams[] = "0,0,0";
constexpr int32_t kKeyZero = 0;
constexpr int32_t kWholeKey = 0;
constexpr int32_t kNotLessThan = 1;

void *engine_open_input(const char *path) {
  return v5_open(path, kOpenInput, kOpenParams);
}
int engine_info(void *file, int32_t code, char *out) {
  return v5_info(dorvex(file), code, out);
}
int engine_start_first(void *file, char *record) {
  return v5_start(dorvex(file), record, kKeyZero, kWholeKey, kNotLessThan);
}
uint32_t engine_next(void *file, char *record) {
  return v5_next(dorvex(file), record);
}
int engine_close(void *file) {
  return v5_close(dorvex(file));
}
int engine_make(const char *name, const char *comment, const char *physical,
                const char *record_parameters, const char *keys, const char *table) {
  return v5_make(name, comment, physical, record_parameters, keys, table);
}
int engine_make_v4(const char *name, const char *key_description, const char *comment) {
  return v_make(name, key_description, comment);
}
int engine_make_v2(const char *name, const char *p, const char *q) {
  return v2_make(name, p, q);
}
void *engine_open_restore(const char *name) {
  return v5_open(name, kOpenRestore, kOpenParams);
}
int engine_write(void *file, const char *record, uint32_t length) {
  return v5_write(dorvex(file), record, length);
}
int engine_remove(const char *name) {
  return v5_remove(name);
}
int engine_rename(const char *from, const char *to) {
  return v5_rename(from, to);
}
int engine_mark_incomplete(void *file) {
  return v5_mark_incomplete(dorvex(file));
}
int engine_in_use(const char *name) {
  DorvexFile *file = v5_open(name, kOpenAlone, kOpenParams);
  if (file == nullptr) return *fs_error_code() == E_FILE_LOCKED ? 1 : 0;
  v5_close(file);
  return 0;
}

constexpr IndexedOps kEngine = {
    engine_open_input, engine_info,    engine_start_first,     engine_next,         engine_close,
    engine_make,       engine_make_v4, engine_make_v2,         engine_open_restore, engine_write,
    engine_remove,     engine_rename,  engine_mark_incomplete, engine_in_use};

struct SeamState {
  const IndexedOps *ops = &kEngine;
};
SeamState g_seam;

}  // namespace

const IndexedOps &indexed_ops() {
  return *g_seam.ops;
}

void indexed_set_ops(const IndexedOps *ops) {
  g_seam.ops = ops ? ops : &kEngine;
}

}  // namespace kel::archive
