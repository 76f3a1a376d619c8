#include "archive/indexed_io.h"

#include "kelfs/errors.h"

namespace kel::archive {

namespace {

// Without the engine nothing is an indexed file and nothing can be made.
void *no_open(const char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return nullptr;
}
int no_info(void *, int32_t, char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
int no_start(void *, char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
uint32_t no_next(void *, char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
int no_close(void *) {
  return 1;
}
int no_make(const char *, const char *, const char *, const char *, const char *, const char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
int no_make3(const char *, const char *, const char *) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
int no_write(void *, const char *, uint32_t) {
  *fs_error_code() = E_UNSUPPORTED;
  return 0;
}
int no_remove(const char *) {
  return 0;
}

constexpr IndexedOps kNoEngine = {no_open,  no_info,  no_start, no_next,  no_close, no_make,
                                  no_make3, no_make3, no_open,  no_write, no_remove};

struct SeamState {
  const IndexedOps *ops = &kNoEngine;
  bool present = false;
};
SeamState g_seam;

}  // namespace

const IndexedOps &indexed_ops() {
  return *g_seam.ops;
}
bool indexed_engine_present() {
  return g_seam.present;
}

void indexed_set_ops(const IndexedOps *ops, bool present) {
  g_seam.ops = ops ? ops : &kNoEngine;
  g_seam.present = ops ? present : false;
}

}  // namespace kel::archive
