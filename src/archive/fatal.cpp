#include "archive/fatal.h"

#include <poll.h>

#include <atomic>

#include "archive/texts.h"

namespace kel::archive {

namespace {

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// The one process-wide variable of a run: a signal handler is given only
// the signal's number, so it reaches the run's signal state through this
// pointer. It is set while an input run catches signals and cleared when
// that state ends; the handler then acts as outside a member. A lock-free
// atomic may be read in a handler.
std::atomic<Interrupts *> g_catching{nullptr};
static_assert(std::atomic<Interrupts *>::is_always_lock_free);

// Async-signal-safe: sigaction, raise and plain stores only.
void on_signal(int signo) {
  Interrupts *interrupts = g_catching.load();
  if (interrupts != nullptr && interrupts->in_member) {
    interrupts->signal = signo;
    return;
  }
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(signo, &dfl, nullptr);
  raise(signo);
}

}  // namespace

Interrupts::~Interrupts() {
  Interrupts *self = this;
  g_catching.compare_exchange_strong(self, nullptr);
}

void catch_interruptions(Interrupts &interrupts) {
  g_catching.store(&interrupts);
  for (int signo : kCaughtSignals) {
    struct sigaction old = {};
    if (sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;  // no SA_RESTART: waiting reads return EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
  }
}

Status wait_for_input(const Interrupts &interrupts, int fd) {
  if (interrupts.in_member == 0) return Status::kOk;
  sigset_t caught, old;
  sigemptyset(&caught);
  for (int signo : kCaughtSignals) sigaddset(&caught, signo);
  if (sigprocmask(SIG_BLOCK, &caught, &old) != 0) return stop_if_interrupted(interrupts);
  if (interrupts.signal == 0) {
    // A descriptor poll cannot wait on (a regular file, a tape) reports
    // itself ready at once; an error shows at the read that follows.
    pollfd p = {fd, POLLIN, 0};
    ppoll(&p, 1, nullptr, &old);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return stop_if_interrupted(interrupts);
}

void member_begins(Interrupts &interrupts) {
  interrupts.in_member = 1;
}

void member_ends(Interrupts &interrupts) {
  interrupts.in_member = 0;
}

Status stop_if_interrupted(const Interrupts &interrupts) {
  if (interrupts.signal == 0) return Status::kOk;
  eprintf(printf_text_of(kMsgInterrupted), static_cast<int>(interrupts.signal));
  say(kMsgAborted);
  return Status::kFatal;
}

}  // namespace kel::archive
