// The ends of a run that stop kel with status 1. Fatal errors print their
// message first (the caller does), then the message library is shut down;
// failures to write or close the archive leave at once. Either way a
// registered clean-up runs first: the reader uses it so that a file whose
// restore was cut short is never left behind looking complete.
#pragma once

namespace kel::archive {

using CleanupFn = void (*)(void *context);

// Registers the clean-up to run before a fatal exit; null clears it.
void set_fatal_cleanup(CleanupFn fn, void *context);

// Clean-up, message library shut down, exit status 1.
[[noreturn]] void fatal_exit();
// The system error for `what` ("output", "input file"), clean-up, exit 1
// without shutting anything down.
[[noreturn]] void fatal_io_exit(const char *what);

}  // namespace kel::archive
