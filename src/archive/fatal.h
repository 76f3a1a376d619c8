// Fatal stops and interruptions.
//
// A fatal error does not end the process where it is found. Its message is
// printed there, and the function returns a Status other than kOk; every
// level on the way up passes it on and cleans up what it started (the
// writer closes the indexed file it reads, the reader removes and names a
// member it had begun to restore), up to the driver, which ends the run as
// a fatal stop ends it: no block total, no closing of the archive (no eject
// command, no sync), the message library shut down, status 1. A failed
// write or close of the archive ends it at once: the message library is
// left as it is.
//
// Interruptions. While an input run restores a member, SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE must not leave a cut file behind, so kel
// catches them (those its parent did not set to be ignored). The handler
// is async-signal-safe by doing almost nothing:
//   - outside a member it puts the default action back and raises the
//     signal again: nothing is half done, and kel ends as it always did;
//   - inside a member it only records the signal. It is installed without
//     SA_RESTART, so a read of the terminal that waits returns EINTR; the
//     archive is read only after wait_for_input, and the restore checks at
//     every piece of data it handles. They call stop_if_interrupted, which
//     prints messages 1195 and 913 and returns kFatal: the restore removes
//     and names the cut member on its way out, as at any fatal stop.
// A signal may arrive while the restore is busy, just before it waits for
// more of the archive (a pipe whose writer has stalled): wait_for_input
// looks at the recorded signal with the caught signals blocked and waits
// in ppoll, which unblocks them as it starts, so no signal is left
// unanswered until more data comes. kill -9 cannot be caught: a plain
// member then leaves only its hidden temporary file, never a file under
// its own name.
#pragma once

#include <csignal>
#include <cstdint>

namespace kel::archive {

// Ignoring a Status is a compile error (-Werror): no fatal stop can be
// dropped on the way up. (clang-format misreads the attribute.)
// clang-format off
enum class [[nodiscard]] Status : uint8_t {
  kOk,
  // The run must end; the message has been printed.
  kFatal,
  // Writing or closing the archive failed (the system error has been
  // reported for "output"): the run ends at once, the message library is
  // left as it is.
  kFatalArchiveWrite,
};
// clang-format on

// Hands a fatal status on to the caller.
#define KEL_RETURN_IF_FATAL(expr)                          \
  do {                                                     \
    if (const ::kel::archive::Status kel_status_ = (expr); \
        kel_status_ != ::kel::archive::Status::kOk)        \
      return kel_status_;                                  \
  } while (0)

// The signal state of one run. The handler records into it; the run reads
// it where it can stop cleanly.
struct Interrupts {
  Interrupts() = default;
  // Afterwards a signal takes its default action again.
  ~Interrupts();
  Interrupts(const Interrupts &) = delete;
  Interrupts &operator=(const Interrupts &) = delete;

  volatile sig_atomic_t in_member = 0;
  volatile sig_atomic_t signal = 0;
};

// Installs the handler of the signals above for this run (input runs).
void catch_interruptions(Interrupts &interrupts);

// Inside a member: returns when `fd` has something to read (data, its end,
// an error) or stops the run when a caught signal has come, whenever it
// came. Outside a member it returns at once: a signal there ends kel.
Status wait_for_input(const Interrupts &interrupts, int fd);
// Marks the span in which a member is being restored.
void member_begins(Interrupts &interrupts);
void member_ends(Interrupts &interrupts);
// Once a signal came: message 1195 and 913, kFatal.
Status stop_if_interrupted(const Interrupts &interrupts);

}  // namespace kel::archive
