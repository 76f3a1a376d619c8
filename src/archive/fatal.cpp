#include "archive/fatal.h"

#include <cstdlib>

#include "kelfs/errors.h"
#include "messages/msg.h"

namespace kel::archive {

namespace {

struct FatalState {
  CleanupFn fn = nullptr;
  void *context = nullptr;
};
FatalState g_fatal;

void run_cleanup() {
  CleanupFn fn = g_fatal.fn;
  g_fatal.fn = nullptr;  // never twice, even if the clean-up itself fails
  if (fn) fn(g_fatal.context);
}

}  // namespace

void set_fatal_cleanup(CleanupFn fn, void *context) {
  g_fatal.fn = fn;
  g_fatal.context = context;
}

void fatal_exit() {
  run_cleanup();
  Amsg_shutdown();
  exit(1);
}

void fatal_io_exit(const char *what) {
  report_sys_error(what);
  run_cleanup();
  exit(1);
}

}  // namespace kel::archive
