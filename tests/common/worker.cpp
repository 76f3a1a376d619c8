#include "common/worker.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <stdexcept>

namespace kel::test {
namespace {

bool write_all(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void *data, size_t size) {
  char *p = static_cast<char *>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A frame is a 32-bit length followed by the bytes.
bool send_frame(int fd, const std::string &text) {
  uint32_t n = static_cast<uint32_t>(text.size());
  return write_all(fd, &n, sizeof n) && write_all(fd, text.data(), text.size());
}

bool receive_frame(int fd, std::string *text) {
  uint32_t n = 0;
  if (!read_all(fd, &n, sizeof n)) return false;
  text->assign(n, '\0');
  return read_all(fd, text->data(), n);
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
