// The operator's terminal: where the answers to volume prompts come from.
// The prompts themselves go to the error output; the answers are read from
// a duplicate of the error output when that is a terminal (the operator
// sees the prompt there), else from /dev/tty, so that standard input stays
// free to carry the list of files or the archive.
#pragma once

#include <cstdio>

#include "archive/fatal.h"

namespace kel::archive {

struct OperatorState {
  explicit OperatorState(Interrupts &interrupts) : interrupts(interrupts) {}
  // Closes the terminal stream when it was opened here.
  ~OperatorState();
  OperatorState(const OperatorState &) = delete;
  OperatorState &operator=(const OperatorState &) = delete;

  Interrupts &interrupts;
  FILE *tty = nullptr;
  bool owned = false;
};

// Reads one line of at most size - 1 characters into `buffer` (newline
// included when it fits). The rest of a longer line is read and dropped, so
// that it never answers the next prompt. The terminal is opened on first
// use; when it cannot be, the system error is reported for "console", a
// line says that kel needs an operator terminal (message 1197) and the run
// ends (kFatal). The end of the operator's input also ends the run
// (message 1188): every dialogue would otherwise ask forever.
Status tty_read_line(OperatorState &op, char *buffer, int size);

// Tests: answer prompts from this stream instead of the terminal.
void operator_use_stream(OperatorState &op, FILE *stream);

}  // namespace kel::archive
