#include "archive/fatal.h"

#include <csignal>
#include <cstdlib>

#include "archive/texts.h"
#include "kelfs/errors.h"
#include "messages/msg.h"

namespace kel::archive {

namespace {

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

struct FatalState {
  CleanupFn fn = nullptr;
  void *context = nullptr;
  // Shared with the signal handler.
  volatile sig_atomic_t in_member = 0;
  volatile sig_atomic_t signal = 0;
};
FatalState g_fatal;

void run_cleanup() {
  CleanupFn fn = g_fatal.fn;
  g_fatal.fn = nullptr;  // never twice, even if the clean-up itself fails
  if (fn) fn(g_fatal.context);
}

// Async-signal-safe: sigaction, raise and plain stores only.
void on_signal(int signo) {
  if (g_fatal.in_member) {
    g_fatal.signal = signo;
    return;
  }
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(signo, &dfl, nullptr);
  raise(signo);
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

void catch_interruptions() {
  for (int signo : kCaughtSignals) {
    struct sigaction old = {};
    if (sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;  // no SA_RESTART: waiting reads return EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
  }
}

void member_begins() {
  g_fatal.in_member = 1;
}

void member_ends() {
  g_fatal.in_member = 0;
}

void stop_if_interrupted() {
  if (g_fatal.signal == 0) return;
  eprintf(printf_text_of(kMsgInterrupted), static_cast<int>(g_fatal.signal));
  say(kMsgAborted);
  fatal_exit();
}

}  // namespace kel::archive
