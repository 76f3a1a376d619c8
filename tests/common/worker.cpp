#include "common/worker.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <set>
#include <stdexcept>

namespace kel::test {
namespace {

// Moves `size` bytes through read or write, whatever the pieces.
template <typename Io, typename Bytes>
bool move_all(Io io, int fd, Bytes *data, size_t size) {
  while (size > 0) {
    ssize_t n = io(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

template <typename T>
bool send(int fd, const T &value) {
  return move_all(::write, fd, reinterpret_cast<const char *>(&value), sizeof value);
}
template <typename T>
bool receive(int fd, T *value) {
  return move_all(::read, fd, reinterpret_cast<char *>(value), sizeof *value);
}

// The parent's ends of the pipes of every live worker. A child closes
// those of the other workers, so that each child sees the end of its input
// when its own worker goes, whatever the order the workers go in.
std::set<int> &parent_ends() {
  static std::set<int> ends;
  return ends;
}

}  // namespace

Worker::Worker(std::vector<Step> steps) {
  signal(SIGPIPE, SIG_IGN);  // a worker that died must not take the test with it
  // Close-on-exec: a kel spawned while the worker lives holds no end of its
  // pipes (a write end it kept would hide the parent's going from the child).
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    for (int fd : parent_ends()) close(fd);
    close(down[1]);
    close(up[0]);
    // Steps until the parent goes away.
    uint64_t step = 0;
    int64_t argument = 0;
    while (receive(down[0], &step) && receive(down[0], &argument)) {
      int64_t result = step < steps.size() ? steps[step](argument) : kDied;
      if (!send(up[1], result)) break;
    }
    _exit(0);
  }
  close(down[0]);
  close(up[1]);
  to_child_ = down[1];
  from_child_ = up[0];
  parent_ends().insert({to_child_, from_child_});
}

Worker::~Worker() {
  parent_ends().erase(to_child_);
  parent_ends().erase(from_child_);
  close(to_child_);
  close(from_child_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

void Worker::begin(size_t step, int64_t argument) {
  sent_ = send(to_child_, static_cast<uint64_t>(step)) && send(to_child_, argument);
}

int64_t Worker::end() {
  int64_t result = kDied;
  if (!sent_ || !receive(from_child_, &result)) return kDied;
  sent_ = false;
  return result;
}

void Worker::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace kel::test
