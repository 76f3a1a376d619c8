// What another process sees of the POSIX locks on a file: a worker forked
// for the question tests [start, start + length) for a write lock, as any
// other user of the file would before locking.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "common/worker.h"

namespace kel::test {

// "U" when nothing is held there, else the first lock found: "R" or "W",
// its start and its length ("W 100 10"). The holder is not named: the
// prober sees only the locks of other processes, and the test's is the
// only other one on its files.
inline std::string lock_seen(const std::string &path, int64_t start, int64_t length) {
  // The child's own copy of `l` holds the answer between the steps.
  struct flock l = {
      .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = start, .l_len = length, .l_pid = 0};
  Worker prober({[&](int64_t) -> int64_t {
                   int fd = open(path.c_str(), O_RDONLY);
                   return fd >= 0 && fcntl(fd, F_GETLK, &l) == 0 ? l.l_type : -1;
                 },
                 [&](int64_t) -> int64_t { return l.l_start; },
                 [&](int64_t) -> int64_t { return l.l_len; }});
  int64_t type = prober.run(0);
  if (type < 0) return "no answer";
  if (type == F_UNLCK) return "U";
  return std::string(type == F_RDLCK ? "R " : "W ") + std::to_string(prober.run(1)) + " " +
         std::to_string(prober.run(2));
}

}  // namespace kel::test
