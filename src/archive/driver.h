// The kel driver: start-up, the option word, one run, the end-of-run summary.
#pragma once

namespace kel::archive {

// The whole program; returns the exit status.
int kel_main(int argc, char **argv);

// V_SEG_SIZE and MAX_FILES from the environment, before the options.
void apply_start_environment();

}  // namespace kel::archive
