// The operator's terminal: where the answers to volume prompts come from.
// The prompts themselves go to the error output; the answers are read from
// a duplicate of the error output when that is a terminal (the operator
// sees the prompt there), else from /dev/tty, so that standard input stays
// free to carry the list of files or the archive.
#pragma once

#include <cstdio>

namespace kel::archive {

// Reads one line of at most size - 1 characters into `buffer` (newline
// included when it fits). The rest of a longer line is read and dropped, so
// that it never answers the next prompt. The terminal is opened on first
// use; when it cannot be, the system error is reported for "console", a
// line says that kel needs an operator terminal (message 1197) and the run
// ends with status 1. The end of the operator's input also ends the
// run (message 1188): every dialogue would otherwise ask forever.
void tty_read_line(char *buffer, int size);

// Tests: answer prompts from this stream instead of the terminal.
void operator_use_stream(FILE *stream);
// Closes the terminal stream (end of run).
void operator_release();

}  // namespace kel::archive
