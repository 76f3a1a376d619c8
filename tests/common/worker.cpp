#include "common/worker.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
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

// A frame is a 32-bit length followed by the bytes.
bool send_frame(int fd, const std::string &text) {
  uint32_t n = static_cast<uint32_t>(text.size());
  return move_all(::write, fd, reinterpret_cast<const char *>(&n), sizeof n) &&
         move_all(::write, fd, text.data(), text.size());
}

bool receive_frame(int fd, std::string *text) {
  uint32_t n = 0;
  if (!move_all(::read, fd, reinterpret_cast<char *>(&n), sizeof n)) return false;
  text->assign(n, '\0');
  return move_all(::read, fd, text->data(), n);
}

}  // namespace

Worker::Worker(Handler handler) {
  signal(SIGPIPE, SIG_IGN);  // a worker that died must not take the test with it
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(down[1]);
    close(up[0]);
    std::string request;
    while (receive_frame(down[0], &request)) {
      if (!send_frame(up[1], handler(request))) break;
    }
    _exit(0);
  }
  close(down[0]);
  close(up[1]);
  to_child_ = down[1];
  from_child_ = up[0];
}

Worker::~Worker() {
  close(to_child_);
  close(from_child_);
  int status;
  waitpid(pid_, &status, 0);
}

std::string Worker::call(const std::string &request) {
  std::string reply;
  if (!send_frame(to_child_, request) || !receive_frame(from_child_, &reply))
    return "<worker died>";
  return reply;
}

}  // namespace kel::test
