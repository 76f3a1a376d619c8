// The start of a program that writes messages to standard error (kel,
// dorvex-tool). A program started with one of the standard descriptors
// closed would give that number to the first file it opens: its messages,
// or the listing meant for standard output, would then be written into
// that file. Each closed one is held by a descriptor of the root folder
// instead, on which every read and write fails. Header-only, so that the
// programs above the file system's library reach it without its private
// names.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kel {

inline void hold_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int held = open("/", O_RDONLY | O_DIRECTORY);
      if (held >= 0 && held != fd) close(held);
    }
  }
}

}  // namespace kel
