// Fixed sequences of file-system calls kept as rows of a golden file under
// tests/golden, run by the row interpreter (row_script.h, whose word forms
// they use): each row is one call of a public entry point (or a step on
// the files, a setting) with its arguments, then " => " and what the call
// did: its result, the record or text it gave back and the error codes it
// left. The word - is a null pointer; a call's numbers take C's forms
// (0x...; a setting's value is read as the configuration reads it:
// decimal). Records and texts come back as words (as_record()). The
// outcome is the result, then the name of the primary code (E_...) with
// "/S" for a secondary code S when one was left (and "log error L" for the
// transaction log's code). The codes are cleared before each call but
// report, holder and missing, which show what the call before left. Open
// files get the name given as the first argument of their open (the
// handle) and are named by it afterwards. A row "other CALL ..." runs the
// call in a second process (forked before the first row, so it inherits
// no open file), with handles of its own; "other kill" ends it with
// SIGKILL. A row "stderr CALL ..." shows what the call wrote on the error
// output too (lines of text behind the row, each behind "| "; an open
// handle's address as <H>, the buffer's as <buffer>, others as "0x…").
//
//   v5_make NAME COMMENT PHYSICAL RECORD KEYS [fold|TABLE]   v5_open H NAME MODE
//   v5_close H   v5_write H REC [LENGTH]   v5_rewrite H REC
//   v5_delete H REC   v5_read H REC KEY   v5_start H REC KEY LENGTH MODE
//   v5_next H   v5_previous H   v5_nkrstart H   v5_nkrnext H   v5_unlock H
//   v5_info H CODE   v5_check H FLAGS   v5_check_report   v5_begin
//   v5_commit N   v5_rollback N   v5_exit   v5_copy FROM TO   v5_remove NAME
//   v5_rename FROM TO
//   v_make NAME KEYS PARAMS
//   v2_make NAME PHYSICAL KEYS   v2_open H NAME MODE   v2_info H   v_info H
//   Ar_make NAME PARAMS BLOCKS   Ar_open H NAME MODE MAX MIN BLOCKS
//   Ar_close H   Ar_info H CODE   Ar_read H N   Ar_start H N MODE
//   Ar_next H   Ar_previous H   Ar_write H REC N   Ar_unlock H
//   As_open H NAME MODE SIZE TYPE BLOCK PAD PIPE FLAGS   As_close H KEEP
//   As_read H   As_write H REC ADVANCING   As_seek H OFFSET WHENCE
//
//   set NAME VALUE     a setting, as the environment gives it
//   env NAME VALUE|-   an environment variable set or removed
//   put NAME BYTES...  a file of the bytes joined
//   file NAME, size NAME, unlink NAME, mkdir NAME, ls (the working folder)
//   poke NAME OFFSET WIDTH VALUE, field NAME OFFSET WIDTH: big-endian
//   save NAME          its bytes kept; then "same NAME": still those bytes,
//                      or the offsets where they differ? ("same NAME OTHER":
//                      the bytes of the file OTHER)
//   locks NAME START LENGTH   what another process sees (lock_seen)
//   kind NAME          file, link, folder or missing (not following a link)
//   damage NAME OFFSET WIDTH VALUE  the bytes kept, with a field changed
//   fsize BYTES|-      a full disk (FileSizeLimit), or none
//   report NAME        report_fs_error's line
//   holder             the lock holder: "self", "other" or a process id
//   missing            the name of the missing file
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/row_script.h"
#include "common/test_util.h"
#include "common/worker.h"

namespace kel::test {

// One row's call: its arguments, the call's name left out. A missing
// argument throws, and the row's outcome says so.
struct Call {
  Words args;
  const std::string &text(size_t i) const { return args.at(i); }
  const char *ptr(size_t i) const { return text(i) == "-" ? nullptr : args[i].c_str(); }
  int64_t num(size_t i) const { return number(text(i)); }
};

// The big-endian field of `width` bytes (1, 2, 4, 6 or 8, as load_be knows
// them) at `at` in `size` bytes; another, or one past the end, throws.
uint8_t *be_field(void *bytes, size_t size, int64_t at, int64_t width);

class CallScript {
 public:
  using Command = std::function<std::string(const Call &)>;
  CallScript();
  // A test's own step, a command more.
  void add(const std::string &name, Command command) { commands_[name] = std::move(command); }
  // The open file named `handle`.
  template <class T>
  T *file(const std::string &handle) {
    return static_cast<T *>(handles_[handle]);
  }
  // Runs the rows of the golden file `name` (below tests/golden) and
  // compares what happened with them.
  ::testing::AssertionResult run(const std::string &name);
  // A call run in the second process (during a call, say), its outcome.
  std::string other(const Words &call);

  // Outcomes: a result with the codes left; the result `n` of a read and
  // the record of `n` - `over` bytes it left in the buffer (none when `n`
  // is 0 or less), with the codes.
  static std::string result(int64_t r);
  std::string record(int64_t n, int64_t over = 0);
  char buffer[70100] = {};

 private:
  std::string opened(const Call &c, void *handle);
  std::string closed(const Call &c, int64_t r);
  std::string execute(const std::string &name, const Words &args);
  TempDir exchange_;  // the files that carry a row and its outcome
  std::map<std::string, Command> commands_;
  std::map<std::string, void *> handles_;
  std::map<std::string, std::string> saved_;
  std::unique_ptr<FileSizeLimit> limit_;
  std::unique_ptr<Worker> other_;
};

}  // namespace kel::test
