// Running the built kel the way an operator would: in its own session
// (so that it has no controlling terminal unless the test gives it one),
// with limits, with standard streams on files, and with its error output
// on a pseudo-terminal whose master side the test reads and answers.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace kel::test {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct SpawnOptions {
  std::vector<std::string> args;
  std::string cwd;
  std::map<std::string, std::string> env;
  std::string stdin_path;      // empty: /dev/null
  std::string stdout_path;     // empty: captured into RunResult::out
  long long fsize_limit = -1;  // RLIMIT_FSIZE in bytes; SIGXFSZ is ignored
  mode_t umask_value = 022;
  const char *program = nullptr;  // null: the built kel (last: brace lists
                                  // of arguments must not convert to it)
};

// Runs kel (in a new session: no controlling terminal, so /dev/tty cannot
// be opened) and collects its status and output.
RunResult spawn_kel(const SpawnOptions &options);

// kel with its error output on a pseudo-terminal (echo and output
// processing off, so that the test sees exactly what kel wrote). Standard
// output goes to options.stdout_path, or to /dev/null when it is empty.
class PtySession {
 public:
  explicit PtySession(const SpawnOptions &options);
  ~PtySession();
  PtySession(const PtySession &) = delete;
  PtySession &operator=(const PtySession &) = delete;

  // Reads the terminal until `text` appears after the previous expectation.
  // False when kel ends (or 60 seconds pass) first.
  bool expect(const std::string &text);
  // Types a line (a newline is added).
  void send(const std::string &line);
  // Ends the operator's input (the terminal's end-of-file character).
  void send_eof();
  // Reads the terminal to its end and returns the exit status.
  int wait();
  // kel's process, for signals.
  pid_t pid() const { return pid_; }
  // Everything kel wrote on the terminal so far.
  const std::string &transcript() const { return transcript_; }
  // Where the last matched expectation ends in the transcript.
  size_t consumed() const { return consumed_; }

 private:
  bool read_some(int timeout_ms);
  int master_ = -1;
  pid_t pid_ = -1;
  std::string transcript_;
  size_t consumed_ = 0;
  int status_ = -1;
};

// A test of the built kel in a temporary folder of its own. kel runs with
// umask 0 and TZ=UTC, so that restored modes and listed times do not
// depend on the machine.
class KelTest : public testing::Test {
 protected:
  // kel with `args` in the folder `cwd` below the test's folder, reading
  // `input` from a file as its standard input.
  SpawnOptions options(std::vector<std::string> args, const std::string &input = "",
                       const std::string &cwd = "");
  TempDir dir_;
};

}  // namespace kel::test
