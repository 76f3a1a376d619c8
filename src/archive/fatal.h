// The ends of a run that stop kel with status 1. Fatal errors print their
// message first (the caller does), then the message library is shut down;
// failures to write or close the archive leave at once. Either way a
// registered clean-up runs first: the reader uses it so that a file whose
// restore was cut short is never left behind looking complete.
//
// Interruptions. While an input run restores a member, SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE must not leave a cut file behind, so kel
// catches them (those its parent did not set to be ignored). The handler
// is async-signal-safe by doing almost nothing:
//   - outside a member it puts the default action back and raises the
//     signal again: nothing is half done, and kel ends as it always did;
//   - inside a member it only records the signal. It is installed without
//     SA_RESTART, so a read of the archive or of the terminal that waits
//     returns EINTR; those reads, and the restore at every piece of data it
//     handles, call stop_if_interrupted, which prints message 1195, runs
//     the clean-up (the cut member is removed and named) and exits with
//     status 1, as any fatal stop does.
// A signal that arrives between that check and a read that then waits is
// acted on when the read returns (more data, the end of the archive) or at
// the next signal. kill -9 cannot be caught: a plain member then leaves
// only its hidden temporary file, never a file under its own name.
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

// Installs the handler of the signals above (input runs).
void catch_interruptions();
// Marks the span in which a member is being restored.
void member_begins();
void member_ends();
// Ends the run (message 1195, clean-up, status 1) once a signal came.
void stop_if_interrupted();

}  // namespace kel::archive
