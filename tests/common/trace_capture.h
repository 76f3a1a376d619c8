// Captures what the diagnostic writer sends to the error stream of the
// stream layer, for tests of trace lines and reports.
#pragma once

#include <cstdio>
#include <string>

#include "osfile/layer.h"

namespace kel::test {

class TraceCapture {
 public:
  TraceCapture() : file_(tmpfile()) { Astream_init(stdin, stdout, file_); }
  ~TraceCapture() {
    Astream_init(stdin, stdout, stderr);
    fclose(file_);
  }
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;

  // Everything written so far.
  std::string text() {
    fflush(file_);
    std::string s;
    rewind(file_);
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
    return s;
  }

 private:
  FILE *file_;
};

}  // namespace kel::test
