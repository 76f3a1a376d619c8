// Entry points of the transaction log (Alog_).
#include "entry.h"
#include "kelfs/kelfs.h"
#include "txlog/txlog.h"

using kel::fsapi::entry;

extern "C" int Alog_begin(int32_t quiet) {
  return entry(
      {"Alog_begin", "%d", "%d", nullptr}, 0, [&] { return kel::txlog::log_begin(quiet); }, quiet);
}

extern "C" int Alog_commit(void) {
  return entry({"Alog_commit", "", "%d", nullptr}, 0, [] { return kel::txlog::log_commit(); });
}

extern "C" int Alog_end_commit(void) {
  return entry({"Alog_end_commit", "", "%d", nullptr}, 0,
               [] { return kel::txlog::log_end_commit(); });
}

extern "C" int Alog_rollback(void) {
  return entry({"Alog_rollback", "", "%d", nullptr}, 0, [] { return kel::txlog::log_rollback(); });
}

extern "C" int Alog_shutdown(void) {
  return entry({"Alog_shutdown", "", "%d", nullptr}, 0, [] { return kel::txlog::log_shutdown(); });
}

extern "C" int Alog_recover(void) {
  return entry({"Alog_recover", "", "%d", nullptr}, 0, [] { return kel::txlog::log_recover(); });
}

// The result is traced as its pointer and its text.
extern "C" char *Alog_make_lockname(char *buffer, const char *name) {
  kel::fsapi::ensure_configuration();
  if (kel::trace_on(kel::kTraceEntryPoints))
    eprintf("V: Alog_make_lockname(%p, \"%s\")\n", static_cast<void *>(buffer),
            name ? name : "<NULL>");
  char *result = kel::txlog::make_lockname(buffer, name);
  if (kel::trace_on(kel::kTraceEntryPoints))
    eprintf("V: Alog_make_lockname() returning %p \"%s\"\n", static_cast<void *>(result), result);
  return result;
}

extern "C" int16_t *Alog_error_code(void) {
  return kel::txlog::log_error_code();
}
