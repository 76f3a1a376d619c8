// A second process for tests of inter-process behaviour (locks, sharing).
// The worker is forked at construction and then runs one request at a time
// on the parent's demand: the parent writes a request into a pipe and
// waits for the reply, so the two processes take turns in a fixed order
// without any sleep. Requests and replies are texts; the handler, which
// runs in the child, interprets them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace kel::test {

class Worker {
 public:
  using Handler = std::function<std::string(const std::string &request)>;

  // Forks; the child answers every request with handler(request) until the
  // parent goes away, then leaves with _exit (no test-framework clean-up).
  explicit Worker(Handler handler);
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // Sends a request and waits for its reply; "<worker died>" when the
  // child ended instead of answering.
  std::string call(const std::string &request);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
};

}  // namespace kel::test
