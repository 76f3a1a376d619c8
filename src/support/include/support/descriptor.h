// The owner of a file descriptor while it is not yet handed to the table
// that keeps it: every path out of the code that opened it closes it,
// unless it was released to its keeper. The close keeps errno, so that a
// failure's reason survives its clean-up.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kel {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  Descriptor(Descriptor &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Descriptor &operator=(Descriptor &&o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  // Hands the descriptor to its keeper; this owner holds none any more.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (errno kept) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace kel
