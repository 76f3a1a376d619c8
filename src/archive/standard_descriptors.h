// The start of a program that writes messages to standard error (kel,
// dorvex-tool). A program started with one of the standard descriptors
// closed would give that number to the first file it opens: its messages,
// or the listing meant for standard output, would then be written into
// that file. Each closed one is held by a descriptor of the root folder
// instead, on which every read and write fails. It sits with kel's own
// sources and dorvex-tool's include root links it, as it does the
// big-endian helpers: only the two programs reach it, no layer of the file
// system.
// Header-only, so that dorvex-tool needs none of the library's private
// names for it.
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
