// The option word: its run letter, its option letters and the command-line
// words they take.
//
// The first word begins with "-"; its second character selects the run and
// is taken as written ("o" output, "i" input, "v" version; a word written
// wholly in capitals counts as written in lower case); the letters
// after it are folded to lower case and applied left to right, so that a
// later letter overrides an earlier one. A letter that takes an argument
// takes the next unused word, in the order in which such letters appear:
// -ofl arch list gives arch to f and list to l. Files named by f, h and l
// are opened when their letter is met.
#pragma once

#include "archive/transfer.h"

namespace kel::archive {

enum class OptionResult {
  kOutputRun,
  kInputRun,
  kVersion,
  kFailed,  // its message has been printed; the run ends with status 1
};

// Applies the option word to `t`. `first_name` receives the index of the
// first word that no letter took (member names of an input run).
OptionResult parse_options(TransferState &t, int argc, char **argv, int *first_name);

// Prints the two usage lines.
void print_usage();

}  // namespace kel::archive
