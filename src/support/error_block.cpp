// The error block of the support library ("Stdlib thread data"): thread data
// by name, one process-wide block in this program (see include/kelfs/errors.h).
//
//   offset  width  field
//   0       2      primary error code (signed)
//   2       2      no-lock request (relative reads take no record lock)
//   4       4      secondary error code (signed)
//   8       4      last relative record number
//   12      4      process id of the holder of a refusing lock
//   16      112    reserved for other modules
//
// It is allocated on first use. When even that allocation fails, a static
// block stands in, so that the out-of-memory code itself can always be left.
#include <cstring>

#include "kelfs/errors.h"
#include "support/alloc.h"

namespace {

struct ErrorBlock {
  int16_t primary;
  int16_t no_lock_request;
  int32_t secondary;
  int32_t last_record_number;
  int32_t lock_holder;
  unsigned char reserved[112];
};
static_assert(sizeof(ErrorBlock) == 128);

ErrorBlock g_fallback;
ErrorBlock *g_block = nullptr;
bool g_allocating = false;

// Process-wide: the name of the file that was missing when an open failed.
char g_missing_name[257];

ErrorBlock *block() {
  if (g_block) return g_block;
  if (g_allocating) return &g_fallback;  // M_alloc failed and reports back here
  g_allocating = true;
  auto *b = static_cast<ErrorBlock *>(KEL_ALLOC(sizeof(ErrorBlock), "Stdlib thread data"));
  g_allocating = false;
  if (b == nullptr) return &g_fallback;
  *b = g_fallback;  // keep whatever was recorded meanwhile
  g_block = b;
  return g_block;
}

}  // namespace

extern "C" int16_t *fs_error_code(void) {
  return &block()->primary;
}
extern "C" int32_t *fs_error_secondary(void) {
  return &block()->secondary;
}
extern "C" int16_t *fs_no_lock_request(void) {
  return &block()->no_lock_request;
}
extern "C" int32_t *fs_last_record_number(void) {
  return &block()->last_record_number;
}
extern "C" int32_t *fs_lock_holder(void) {
  return &block()->lock_holder;
}

extern "C" const char *fs_missing_file_name(void) {
  return g_missing_name;
}

extern "C" void fs_set_missing_file_name(const char *name) {
  if (name == nullptr) name = "";
  strncpy(g_missing_name, name, sizeof g_missing_name - 1);
  g_missing_name[sizeof g_missing_name - 1] = '\0';
}
